#!/usr/bin/env bash
# Installs what building, testing and benchmarking need, from Debian's packages only.
# Usage: scripts/install-deps.sh [run|test|bench|root|package]   (default: test)
# Package names only, never a versioned one: the same names install on Debian 12 and Debian 13;
# `where_available` names the few that only later releases have, installed where apt knows them.
set -euo pipefail

run=(cmake g++ make pkg-config libsdl1.2-dev libx11-dev libwayland-dev libavcodec-dev libswscale-dev libavutil-dev libseccomp-dev)
test=("${run[@]}" libgtest-dev ffmpeg xvfb libxtst-dev valgrind clang libclang-rt-dev desktop-file-utils appstream xdg-utils
      weston xwayland libsdl1.2-compat  # the end-to-end tests also run the player on Wayland, XWayland and sdl12-compat
      libxcb1-dev libxcb-xtest0-dev libdbus-1-dev dbus-daemon)  # the hostile decoder's X and D-Bus attempts
bench=("${test[@]}" libbenchmark-dev mpv linux-perf)
# sdl2-compat, SDL 2's interface over SDL 3, beside SDL 2 (Debian 13 on): the end-to-end tests and
# the benchmarks run the player on it too.
where_available=(libsdl2-compat)
root=(debootstrap)   # scripts/test-in-debian.sh, scripts/test-cross.sh
package=(dpkg-dev lintian autopkgtest)   # scripts/package.sh, and autopkgtest for what it builds

case "${1:-test}" in
  run) wanted=("${run[@]}") ;;
  test) wanted=("${test[@]}") ;;
  bench) wanted=("${bench[@]}") ;;
  root) wanted=("${root[@]}") ;;
  package) wanted=("${package[@]}") ;;
  *) echo "usage: $0 [run|test|bench|root|package]" >&2; exit 2 ;;
esac

case "${1:-test}" in
  test|bench)
    for package in "${where_available[@]}"; do
      apt-cache show "$package" >/dev/null 2>&1 && wanted+=("$package")
    done ;;
esac

missing=()
for package in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
