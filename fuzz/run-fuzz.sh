#!/bin/sh
# Builds the frame parser's fuzz target with clang's libFuzzer out of the source
# tree and runs it for a bounded time.
#   fuzz/run-fuzz.sh [seconds]   (default 60)
# Exits non-zero on a finding; the crashing input is left in the work folder.
set -eu

seconds=${1:-60}
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
work=${GREENLARK_FUZZ_DIR:-${TMPDIR:-/tmp}/greenlark-fuzz}
cxx=${CXX_FUZZ:-clang++}

# 77: CTest counts the run as skipped, not passed (SKIP_RETURN_CODE).
skip() {
    echo "fuzz_frameparser: skipped, $1"
    exit 77
}

command -v "$cxx" >/dev/null 2>&1 || skip "$cxx not found"
command -v pkg-config >/dev/null 2>&1 || skip "pkg-config not found"
qt=$(pkg-config --cflags --libs Qt5Core 2>/dev/null) || skip "Qt5Core not found by pkg-config"

mkdir -p "$work/corpus"
probe="$work/probe.cpp"
printf '%s\n' '#include <cstdint>' '#include <cstddef>' \
    'extern "C" int LLVMFuzzerTestOneInput(const uint8_t *, size_t) { return 0; }' >"$probe"
"$cxx" -fsanitize=fuzzer "$probe" -o "$work/probe" >/dev/null 2>&1 ||
    skip "$cxx cannot link libFuzzer (install libclang-rt-dev)"

# Qt is built with -reduce-relocations, so its users must be position independent.
# shellcheck disable=SC2086
"$cxx" -std=c++17 -g -O1 -fPIC -fsanitize=fuzzer,address,undefined \
    -fno-sanitize-recover=undefined -I"$root" \
    "$here/fuzz_frameparser.cpp" "$root/link/controlframe.cpp" "$root/link/recvqueue.cpp" \
    "$root/link/controlmessages.cpp" \
    $qt -o "$work/fuzz_frameparser"

# New inputs go to the work folder; the seeds in the tree stay as they are.
cd "$work"
# The parser has under two hundred edges, which a run covers within seconds;
# weighing every input by how rare its features are then only costs: the
# plain schedule runs a fifth more inputs in the same time.
exec ./fuzz_frameparser -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -entropic=0 -print_final_stats=1 corpus "$here/corpus"
