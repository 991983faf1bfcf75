#!/usr/bin/env bash
# Installs what is missing, builds and runs every test: unit tests under SDL's dummy video
# driver, end-to-end tests of the real player in an X server (Xvfb) that the tests start, again
# on SDL 3 where sdl2-compat is installed, and the player under valgrind. Then the whole suite
# again built with AddressSanitizer and UndefinedBehaviorSanitizer (build-asan), a minute of
# fuzzing the decoder (scripts/fuzz.sh), the first suite once more on a fresh Debian 13
# (scripts/test-in-debian.sh trixie, as root), there with the Debian package built and its
# autopkgtest run, and the unit tests cross-built for big-endian s390x under qemu
# (scripts/test-cross.sh s390x, as root).
# Usage: scripts/test.sh [quick]   (quick: only the first suite, on this machine)
set -euo pipefail
cd "$(dirname "$0")/.."
# Elapsed seconds at the start of each stage: the log shows where the minutes go.
stage() { echo "== ${SECONDS}s test.sh: $*"; }

stage "installing what is missing"
scripts/install-deps.sh test
stage "build"
cmake -S . -B build -DKORLAN_TESTS=ON >/dev/null
cmake --build build -j"$(nproc)"
stage "ctest"
(cd build && ctest --output-on-failure -j2 --timeout 300)
# Where sdl2-compat is installed (Debian 13), the end-to-end cases once more with the player on
# sdl12-compat over SDL 3: its folder first in the library path, as the SDL each case starts on.
sdl3_dir=$(dpkg -L libsdl2-compat 2>/dev/null | grep '/libSDL2-2\.0\.so\.0$' | xargs -r dirname || true)
# Where SDL 2 itself is sdl2-compat (Debian unstable), that folder only links to it.
if [ -n "$sdl3_dir" ] && [ "$(readlink -f "$sdl3_dir/libSDL2-2.0.so.0")" != "$(readlink -f "$sdl3_dir/../libSDL2-2.0.so.0")" ]; then
  stage "ctest -L e2e over SDL 3 ($sdl3_dir)"
  (cd build && LD_LIBRARY_PATH="$sdl3_dir" ctest --output-on-failure -j2 --timeout 300 -L e2e)
fi

if [ "${1:-}" = quick ]; then stage "done"; exit 0; fi
# Inside scripts/test-in-debian.sh's root (KORLAN_IN_DEBIAN) the first suite is what proves the
# platform, with the package as Debian builds it and its autopkgtest, which installs packages and
# so runs only in a throwaway root; the checked builds and the fuzzer run on the host.
if [ -n "${KORLAN_IN_DEBIAN:-}" ]; then
  stage "package"
  scripts/package.sh
  stage "autopkgtest"
  autopkgtest dist/korlan_*.deb . -- null
  stage "done"
  exit 0
fi

stage "build-asan"
cmake -S . -B build-asan -DKORLAN_SANITIZE=ON -DKORLAN_TESTS=ON >/dev/null
cmake --build build-asan -j"$(nproc)"
stage "ctest in build-asan"
# Leak checking stays on; only system libraries' own leaks are suppressed (tests/sanitizer).
export ASAN_OPTIONS=detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1
export LSAN_OPTIONS="suppressions=$PWD/tests/sanitizer/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS=print_stacktrace=1
(cd build-asan && ctest --output-on-failure -j2 --timeout 300)

stage "fuzzing"
scripts/fuzz.sh 60

stage "Debian 13"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo scripts/test-in-debian.sh trixie

stage "s390x"
$sudo scripts/test-cross.sh s390x
stage "done"
