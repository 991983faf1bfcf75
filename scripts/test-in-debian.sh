#!/usr/bin/env bash
# Runs README's test command in a fresh Debian root, as a new user would on a machine with only
# the toolchain: debootstrap SUITE (minbase) from the mirror this machine's apt uses, install
# g++, cmake, make, git, put a clean clone of HEAD under /root and run scripts/test.sh there as
# root. Uncommitted changes are not tested. Needs root (debootstrap, mount, chroot).
# Usage: scripts/test-in-debian.sh SUITE   (trixie, bookworm, ...); the root is build-debian/SUITE,
# removed when the suite passes.
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -eq 1 ] || { echo "usage: $0 SUITE   (trixie, bookworm, ...)" >&2; exit 2; }
suite="$1" label="$1" root="$PWD/build-debian/$1"
source scripts/debian-root.sh

stage "debootstrap"
root_create "$suite"

stage "installing the toolchain: g++ cmake make git ca-certificates"
in_root apt-get update -qq
root_install g++ cmake make git ca-certificates

stage "cloning"
root_clone

# KORLAN_IN_DEBIAN tells scripts/test.sh where it runs.
stage "scripts/test.sh"
in_root KORLAN_IN_DEBIAN="$suite" bash -c 'cd /root/korlan && scripts/test.sh'
stage "passed"
root_remove
