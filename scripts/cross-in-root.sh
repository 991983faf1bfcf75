#!/usr/bin/env bash
# The part of scripts/test-cross.sh that runs inside its root, in the clone: cross-builds the player
# and the unit tests for ARCH, runs the unit tests under qemu-user, shows the player's picture in an
# X server and holds it to the target's own ffmpeg decode of the same frame, and last cross-builds
# the Debian package with its tests.
# Usage (in the root): scripts/cross-in-root.sh ARCH
set -euo pipefail
cd "$(dirname "$0")/.."
arch="$1"
# Elapsed seconds inside the root at the start of each stage.
stage() { echo "== ${SECONDS}s $arch in the root: $*"; }
# Asked as the target (-A) rather than the host (-a), which dpkg-architecture holds against the
# build machine's gcc and warns.
triplet=$(dpkg-architecture -A"$arch" -qDEB_TARGET_GNU_TYPE)
cpu=$(dpkg-architecture -A"$arch" -qDEB_TARGET_GNU_CPU)
qemu="qemu-${cpu/powerpc/ppc}"   # qemu names ppc64el's cpu ppc64le
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
# qemu-user does not search PATH; -nostdin: ffmpeg otherwise reads keys from standard input.
ffmpeg=("${emulator[@]}" /usr/bin/ffmpeg -nostdin -v error -y)
"${ffmpeg[@]}" -f lavfi -i testsrc2=size=720x576:rate=25 -frames:v 1 -target pal-dv -an -f dv picture.dv
"${ffmpeg[@]}" -i picture.dv -pix_fmt rgb24 -f rawvideo picture.rgb
# -displayfd: Xvfb takes the first free display number and writes it.
Xvfb -displayfd 3 -screen 0 720x596x24 -nolisten tcp -noreset -extension MIT-SHM 3>display.txt 2>xvfb.log &
xvfb=$!
for _ in $(seq 100); do [ -s display.txt ] && break; sleep 0.1; done
[ -s display.txt ] || { cat xvfb.log; echo "Xvfb did not start"; exit 1; }
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
kill "$player"
wait "$player" || true
kill "$xvfb"
if [ $exact = yes ]; then
  echo "the player's picture is exactly ffmpeg's decode"
else
  "${emulator[@]}" /usr/bin/ffmpeg -v info -f rawvideo -pix_fmt rgb24 -s 720x576 -i shown.rgb \
    -f rawvideo -pix_fmt rgb24 -s 720x576 -i picture.rgb -lavfi psnr -f null - 2>&1 | grep PSNR || true
  echo "the player's picture differs from ffmpeg's decode"
  exit 1
fi

# The package as Debian's cross toolchain builds it, with its tests (built; they ran above); the
# log only on failure.
stage "dpkg-buildpackage -a $arch"
cd ..
dpkg-buildpackage -a "$arch" -b -us -uc >../package.log 2>&1 ||
  { tail -n 30 ../package.log; exit 1; }
ls ../korlan_*_"$arch".deb
stage "done"
