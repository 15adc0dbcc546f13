#!/usr/bin/env bash
# Installs what is missing, builds greenlark with AddressSanitizer and
# UndefinedBehaviorSanitizer (warnings are errors) and runs every test: the Qt
# tests, the Windows syntax check, the format check and a bounded fuzz run,
# all through CTest.
set -euo pipefail
cd "$(dirname "$0")"
source ./packages.sh
install_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

build=${GREENLARK_TEST_BUILD:-build-test}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug \
  -DGREENLARK_SANITIZE=ON -DGREENLARK_WERROR=ON -DGREENLARK_MINGW_CHECK=ON \
  -DGREENLARK_FUZZ_SECONDS="${GREENLARK_FUZZ_SECONDS:-60}"
cmake --build "$build" -j"$(nproc)"

export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
