#!/usr/bin/env bash
# Cross-builds Korlan for another Debian architecture in a fresh Debian root and tests it there
# under qemu-user: the unit tests, then the real player's picture in an X server against the
# target's own ffmpeg decode of the same frame. Debian's cross toolchain (crossbuild-essential-ARCH,
# `apt-get build-dep -a ARCH`), never on the host: libsdl1.2-dev has no Multi-Arch field, so
# build-dep -a would trade the host's for the target's. qemu is called explicitly (CMake's
# cross-compiling emulator): these machines have no binfmt_misc handlers, and none are registered.
# Uncommitted changes are not tested. Needs root (debootstrap, mount, chroot).
# Usage: scripts/test-cross.sh ARCH [SUITE]   (s390x, arm64, ...; SUITE defaults to bookworm); the
# root is build-debian/cross-ARCH, removed when the tests pass.
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -ge 1 ] && [ $# -le 2 ] || { echo "usage: $0 ARCH [SUITE]   (s390x, arm64, ...)" >&2; exit 2; }
arch="$1" suite="${2:-bookworm}"
label="$arch on $suite" root="$PWD/build-debian/cross-$arch"
source scripts/debian-root.sh

stage "debootstrap"
root_create "$suite"
# The root's own apt source, the release's main suite alone, has every architecture at one version.
in_root dpkg --add-architecture "$arch"
in_root apt-get update -qq

stage "installing the cross toolchain and qemu"
root_install crossbuild-essential-"$arch" qemu-user-static git ca-certificates
root_clone
stage "apt-get build-dep -a $arch -P nocheck, and what the tests need"
in_root bash -c "cd /root/korlan && DEBIAN_FRONTEND=noninteractive \
  apt-get build-dep -y -qq -a $arch -P nocheck --no-install-recommends ./ >/dev/null"
# Test-only, for the target: GoogleTest, XTest (the test tree links it), and the ffmpeg that the
# decoder's output is held to. For the build machine: the X server and xwd for the picture.
root_install libgtest-dev:"$arch" libxtst-dev:"$arch" ffmpeg:"$arch" xvfb x11-apps

# The rest runs inside the root, in the clone.
in_root ARCH="$arch" bash -euo pipefail -s <<'EOF'
stage() { echo "== $ARCH in the root: $*"; }
cd /root/korlan
triplet=$(dpkg-architecture -a"$ARCH" -qDEB_HOST_GNU_TYPE)
cpu=$(dpkg-architecture -a"$ARCH" -qDEB_HOST_GNU_CPU)
qemu="qemu-${cpu/powerpc/ppc}-static"   # qemu names ppc64el's cpu ppc64le
# The target's libraries and loader are installed multiarch, under / itself.
emulator=("$qemu" -L /)

stage "build"
cmake -S . -B build-cross -DKORLAN_TESTS=ON -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="$cpu" \
  -DCMAKE_CXX_COMPILER="$triplet-g++" -DPKG_CONFIG_EXECUTABLE="/usr/bin/$triplet-pkg-config" \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$(IFS=';'; echo "${emulator[*]}")" >/dev/null
# The player and the unit tests' binaries only.
cmake --build build-cross -j"$(nproc)" \
  --target korlan frame_source_test dvlib_test display_test player_test damage_test

# The end-to-end tests spawn the player, which without binfmt_misc the host cannot exec; the
# desktop files' test reads data only, nothing of the architecture.
stage "ctest -L unit under $qemu (end-to-end and desktop files' tests left to the native run)"
(cd build-cross && ctest -L unit -E '^desktop[.]' --output-on-failure -j2 --timeout 600)

# The player's picture on the target, grabbed from its window, against the target's own ffmpeg
# decode of the one frame it shows. Xvfb without MIT-SHM: shared-memory images of a big-endian
# client under qemu come out wrong on a little-endian server.
stage "the player's picture under $qemu against ffmpeg's decode"
cd build-cross
ffmpeg=("${emulator[@]}" /usr/bin/ffmpeg -v error -y)   # qemu-user does not search PATH
"${ffmpeg[@]}" -f lavfi -i testsrc2=size=720x576:rate=25 -frames:v 1 -target pal-dv -an -f dv picture.dv
"${ffmpeg[@]}" -i picture.dv -pix_fmt rgb24 -f rawvideo picture.rgb
# -displayfd: Xvfb takes the first free display number and writes it.
Xvfb -displayfd 3 -screen 0 720x596x24 -nolisten tcp -noreset -extension MIT-SHM 3>display.txt 2>xvfb.log &
xvfb=$!
for _ in $(seq 100); do [ -s display.txt ] && break; sleep 0.1; done
export DISPLAY=":$(cat display.txt)"
"${emulator[@]}" ./korlan picture.dv &
player=$!
# The window sits at the screen's corner: no window manager moves it.
exact=no
for _ in $(seq 60); do
  sleep 1
  xwd -root -silent >shown.xwd
  "${ffmpeg[@]}" -i shown.xwd -vf crop=720:576:0:0 -pix_fmt rgb24 -f rawvideo shown.rgb
  cmp -s shown.rgb picture.rgb && { exact=yes; break; }
done
kill "$player" "$xvfb"
wait "$player" || true
if [ $exact = yes ]; then
  echo "the player's picture is exactly ffmpeg's decode"
else
  "${emulator[@]}" /usr/bin/ffmpeg -v info -f rawvideo -pix_fmt rgb24 -s 720x576 -i shown.rgb \
    -f rawvideo -pix_fmt rgb24 -s 720x576 -i picture.rgb -lavfi psnr -f null - 2>&1 | grep PSNR || true
  echo "the player's picture differs from ffmpeg's decode"
  exit 1
fi
EOF
stage "passed"
root_remove
