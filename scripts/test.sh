#!/usr/bin/env bash
# Installs what is missing, builds and runs every test: unit tests under SDL's dummy video
# driver, end-to-end tests of the real player in an X server (Xvfb) that the tests start, and
# the player under valgrind. Then the whole suite again built with AddressSanitizer and
# UndefinedBehaviorSanitizer (build-asan), and a minute of fuzzing the decoder (scripts/fuzz.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
cmake -S . -B build -DKORLAN_TESTS=ON >/dev/null
cmake --build build -j"$(nproc)"
(cd build && ctest --output-on-failure -j2 --timeout 300)

cmake -S . -B build-asan -DKORLAN_SANITIZE=ON -DKORLAN_TESTS=ON >/dev/null
cmake --build build-asan -j"$(nproc)"
# Leak checking stays on; only system libraries' own leaks are suppressed (tests/sanitizer).
export ASAN_OPTIONS=detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1
export LSAN_OPTIONS="suppressions=$PWD/tests/sanitizer/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS=print_stacktrace=1
(cd build-asan && ctest --output-on-failure -j2 --timeout 300)

scripts/fuzz.sh 60
