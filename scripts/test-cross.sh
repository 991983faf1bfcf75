#!/usr/bin/env bash
# Cross-builds Korlan for another Debian architecture in a fresh Debian root and tests it there
# under qemu-user (scripts/cross-in-root.sh): the unit tests, the real player's picture in an X
# server against the target's own ffmpeg decode of the same frame, and the package. Debian's cross
# toolchain (crossbuild-essential-ARCH, `apt-get build-dep -a ARCH`), never on the host:
# libsdl1.2-dev has no Multi-Arch field, so build-dep -a would trade the host's for the target's.
# qemu is called explicitly (CMake's cross-compiling emulator): these machines have no binfmt_misc
# handlers, and none are registered.
# Uncommitted changes are not tested. Needs root (debootstrap, mount, chroot).
# Usage: scripts/test-cross.sh ARCH [SUITE]   (s390x, arm64, ...; SUITE defaults to bookworm); the
# root is build-debian/cross-ARCH, removed when the tests pass.
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -ge 1 ] && [ $# -le 2 ] || { echo "usage: $0 ARCH [SUITE]   (s390x, arm64, ...)" >&2; exit 2; }
# Debian 12 by default: the mirror these machines use lacks some of Debian 13's s390x packages (apt
# gets 404 for libc6 among others), while Debian 12's are all there.
arch="$1" suite="${2:-bookworm}"
label="$arch on $suite" root="$PWD/build-debian/cross-$arch"
source scripts/debian-root.sh

stage "debootstrap"
root_create "$suite"
# The root's own apt source, the release's main suite alone, has every architecture at one version.
in_root dpkg --add-architecture "$arch"
in_root apt-get update -qq

stage "installing the cross toolchain and qemu"
# qemu-user, not qemu-user-static: on Debian 13 that is a transitional package that brings the
# binfmt_misc registrations along (and qemu-user's binaries are static there).
root_install crossbuild-essential-"$arch" qemu-user
root_clone
stage "apt-get build-dep -a $arch -P nocheck, and what the tests need"
in_root bash -c "cd /root/korlan && DEBIAN_FRONTEND=noninteractive \
  apt-get build-dep -y -qq -a $arch -P nocheck --no-install-recommends ./ >/dev/null"
# Test-only, for the target: GoogleTest, XTest, xcb's XTest and libdbus (the test tree links them,
# the hostile decoder's shim the last two), and the ffmpeg that the decoder's output is held to.
# For the build machine: the X server and xwd for the picture, dbus-daemon and the desktop files'
# tools, which the package's test dependencies name (the package is built with its tests).
root_install libgtest-dev:"$arch" libxtst-dev:"$arch" libxcb1-dev:"$arch" libxcb-xtest0-dev:"$arch" \
  libdbus-1-dev:"$arch" ffmpeg:"$arch" dbus-daemon xvfb x11-apps \
  desktop-file-utils appstream xdg-utils

# The build and the tests, inside the root.
in_root bash /root/korlan/scripts/cross-in-root.sh "$arch"
stage "passed"
root_remove
