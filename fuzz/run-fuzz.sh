#!/bin/sh
# Builds greenlark's fuzz targets with clang's libFuzzer out of the source tree
# and runs each for its share of a bounded time.
#   fuzz/run-fuzz.sh [seconds [target...]]   (default 60, every target)
# GREENLARK_FUZZ_ARGS adds libFuzzer options (-runs=1000000). Exits non-zero
# on a finding; the input is left in the work folder.
set -eu

seconds=${1:-60}
[ $# -gt 0 ] && shift
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
work=${GREENLARK_FUZZ_DIR:-${TMPDIR:-/tmp}/greenlark-fuzz}
cxx=${CXX_FUZZ:-clang++}
all="frameparser nodelist bypasslist kioslaverc journal settingsfiles guardword"
targets=${*:-$all}

# 77: CTest counts the run as skipped, not passed (SKIP_RETURN_CODE); a finding
# must not exit with it, as libFuzzer's does unless told otherwise.
skip() {
    echo "fuzz: skipped, $1"
    exit 77
}

# What each target is built from, beside its own file, and the libraries
# (pkg-config names) they need. The desktops' mappings come with their stores.
sources() {
    stores="platform/proxystore.cpp platform/storemodules.cpp platform/bypasslist.cpp
        platform/internetoptionsstore.cpp platform/internetoptions.cpp platform/standinfile.cpp
        platform/plainini.cpp"
    case $1 in
    frameparser) echo link/controlframe.cpp link/recvqueue.cpp link/controlmessages.cpp ;;
    nodelist) echo link/controlmessages.cpp ;;
    bypasslist | kioslaverc) echo "$stores" platform/desktopproxy.cpp platform/kdeproxystore.cpp \
        platform/gnomeproxystore.cpp ;;
    journal) echo "$stores" userproxy/proxyjournal.cpp ;;
    settingsfiles) echo "$stores" session/proxysettingsfile.cpp ;;
    guardword) echo platform/userguard.cpp ;;
    *) return 1 ;;
    esac
}

command -v "$cxx" >/dev/null 2>&1 || skip "$cxx not found"
command -v pkg-config >/dev/null 2>&1 || skip "pkg-config not found"
qt=$(pkg-config --cflags --libs Qt5Core Qt5DBus gio-2.0 2>/dev/null) ||
    skip "Qt5Core, Qt5DBus or gio-2.0 not found by pkg-config"
kconfig=/usr/include/KF5/KConfigCore
[ -d "$kconfig" ] || skip "KConfig's headers not found"

mkdir -p "$work"
probe="$work/probe.cpp"
printf '%s\n' '#include <cstdint>' '#include <cstddef>' \
    'extern "C" int LLVMFuzzerTestOneInput(const uint8_t *, size_t) { return 0; }' >"$probe"
"$cxx" -fsanitize=fuzzer "$probe" -o "$work/probe" >/dev/null 2>&1 ||
    skip "$cxx cannot link libFuzzer (install libclang-rt-dev)"

count=0
for target in $targets; do
    sources "$target" >/dev/null || { echo "fuzz: no target $target" >&2; exit 2; }
    count=$((count + 1))
done
each=$((seconds / count))
[ "$each" -ge 1 ] || each=1

for target in $targets; do
    # Qt is built with -reduce-relocations, so its users must be position independent.
    # shellcheck disable=SC2046,SC2086
    "$cxx" -std=c++17 -g -O1 -fPIC -fsanitize=fuzzer,address,undefined \
        -fno-sanitize-recover=undefined -DGREENLARK_MODULE_PATH=\"../lib/greenlark\" -I"$root" -I"$kconfig" -I"$(dirname "$kconfig")" \
        "$here/fuzz_$target.cpp" $(cd "$root" && for s in $(sources "$target"); do
            echo "$root/$s"; done) $qt -lKF5ConfigCore -o "$work/fuzz_$target"
    # New inputs go to the work folder; the seeds in the tree stay as they are.
    mkdir -p "$work/$target"
    echo "fuzz: $target for $each seconds"
    # The plain schedule: the targets are small, and weighing inputs by the
    # rarity of their features only costs runs.
    # shellcheck disable=SC2086
    # QJsonDocument::fromJson loses a few hundred bytes on some damaged documents
    # (a key twice in a nested object); the journal's own code holds only values.
    # QSettings keeps a cache across inputs, which makes every input look like
    # a leak and costs a scan of the heap each.
    atexit=1 perinput=1
    case $target in journal) atexit=0 perinput=0 ;; settingsfiles) perinput=0 ;; esac
    (cd "$work" && ASAN_OPTIONS=detect_leaks=$atexit "./fuzz_$target" -detect_leaks=$perinput -max_total_time="$each" -timeout=10 -rss_limit_mb=2048 \
        -error_exitcode=1 -timeout_exitcode=1 \
        -entropic=0 -print_final_stats=1 ${GREENLARK_FUZZ_ARGS:-} \
        "$target" "$here/corpus/$target")
done
