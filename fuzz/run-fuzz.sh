#!/bin/sh
# Builds greenlark's fuzz targets (fuzz/CMakeLists.txt) with clang's libFuzzer in
# a tree of their own and runs each for its share of a bounded time.
#   fuzz/run-fuzz.sh [seconds [target...]]   (default 60, every target)
# GREENLARK_FUZZ_ARGS adds libFuzzer options (-runs=1000000). Exits non-zero
# on a finding; the input is left in the work folder.
set -eu

seconds=${1:-60}
[ $# -gt 0 ] && shift
here=$(cd "$(dirname "$0")" && pwd)
work=${GREENLARK_FUZZ_DIR:-${TMPDIR:-/tmp}/greenlark-fuzz}
cxx=${CXX_FUZZ:-clang++}
targets=${*:-$(cd "$here" && ls fuzz_*.cpp | sed 's/^fuzz_//; s/\.cpp$//')}

# 77: CTest counts the run as skipped, not passed (SKIP_RETURN_CODE); a finding
# must not exit with it, as libFuzzer's does unless told otherwise.
skip() {
    echo "fuzz: skipped, $1"
    exit 77
}

command -v "$cxx" >/dev/null 2>&1 || skip "$cxx not found"
mkdir -p "$work"
probe="$work/probe.cpp"
printf '%s\n' '#include <cstdint>' '#include <cstddef>' \
    'extern "C" int LLVMFuzzerTestOneInput(const uint8_t *, size_t) { return 0; }' >"$probe"
"$cxx" -fsanitize=fuzzer "$probe" -o "$work/probe" >/dev/null 2>&1 ||
    skip "$cxx cannot link libFuzzer (install libclang-rt-dev)"

# A debug build, for Qt's assertions in its inline code, optimised as a fuzzer wants.
cmake -S "$(dirname "$here")" -B "$work/build" -DCMAKE_CXX_COMPILER="$cxx" -DGREENLARK_FUZZ=ON \
    -DGREENLARK_TESTS=OFF -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1"
# shellcheck disable=SC2046
cmake --build "$work/build" -j"$(nproc)" --target $(for t in $targets; do echo "fuzz_$t"; done)
each=$((seconds / $(echo $targets | wc -w)))
[ "$each" -ge 1 ] || each=1

for target in $targets; do
    # New inputs go to the work folder; the seeds in the tree stay as they are.
    mkdir -p "$work/$target"
    echo "fuzz: $target for $each seconds"
    # The plain schedule: the targets are small, and weighing inputs by the
    # rarity of their features only costs runs.
    # QJsonDocument::fromJson loses a few hundred bytes on some damaged documents
    # (a key twice in a nested object); the journal's own code holds only values.
    # QSettings keeps a cache across inputs, which makes every input look like
    # a leak and costs a scan of the heap each.
    atexit=1 perinput=1
    case $target in journal) atexit=0 perinput=0 ;; settingsfiles) perinput=0 ;; esac
    # shellcheck disable=SC2086
    (cd "$work" && ASAN_OPTIONS=detect_leaks=$atexit "$work/build/fuzz/fuzz_$target" \
        -detect_leaks=$perinput -max_total_time="$each" -timeout=10 -rss_limit_mb=2048 \
        -error_exitcode=1 -timeout_exitcode=1 -entropic=0 -print_final_stats=1 \
        ${GREENLARK_FUZZ_ARGS:-} "$target" "$here/corpus/$target")
done
