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
suite="$1"
[ "$(id -u)" -eq 0 ] || { echo "$0: needs root (debootstrap, mount, chroot)" >&2; exit 1; }

# Elapsed seconds at the start of each stage: the log shows where the minutes go.
stage() { echo "== ${SECONDS}s $suite: $*"; }

# The mirror that this machine's apt names: deb822 sources or, as in a debootstrapped root, one
# `deb URI SUITE main` line.
mirror=""
[ -f /etc/apt/sources.list.d/debian.sources ] &&
  mirror=$(awk '$1 == "URIs:" { print $2; exit }' /etc/apt/sources.list.d/debian.sources)
[ -n "$mirror" ] || [ ! -f /etc/apt/sources.list ] ||
  mirror=$(sed 's/\[[^]]*\]//' /etc/apt/sources.list | awk '$1 == "deb" { print $2; exit }')
[ -n "$mirror" ] || { echo "$0: no Debian mirror named in /etc/apt" >&2; exit 1; }

root="$PWD/build-debian/$suite"
head=$(git rev-parse HEAD)
git diff --quiet HEAD || echo "note: uncommitted changes are not tested, only $head"

# Undo every mount under the root, deepest first, and end what is still running inside it, on
# any exit. A mount left behind would make the next run's rm -rf reach into the host's /dev.
cleanup() {
  local pid mounts
  for pid in /proc/[0-9]*; do
    [ "$(readlink "$pid/root" 2>/dev/null)" = "$root" ] && kill -KILL "${pid#/proc/}" 2>/dev/null
  done
  mounts=$(awk -v r="$root/" 'index($5, r) == 1 { print $5 }' /proc/self/mountinfo | sort -r)
  for m in $mounts; do umount "$m" || umount -l "$m"; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

stage "installing debootstrap"
scripts/install-deps.sh root
cleanup
# --one-file-system: even so, never follow a mount out of the root.
rm -rf --one-file-system "$root"
mkdir -p "$root"

stage "debootstrap --variant=minbase $suite from $mirror"
debootstrap --variant=minbase "$suite" "$root" "$mirror" >"$root.debootstrap.log" 2>&1 ||
  { tail -n 30 "$root.debootstrap.log"; exit 1; }

mount -t proc proc "$root/proc"
mount --bind /sys "$root/sys"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
# The host's /dev/shm is a mount of its own: under the bind of /dev lies a bare directory that
# only root may write.
mount -t tmpfs -o mode=1777 shm "$root/dev/shm"
# No daemons from package installs: nothing would stop them.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"

# Only a clean environment goes in; KORLAN_IN_DEBIAN tells scripts/test.sh where it runs.
in_root() {
  chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb KORLAN_IN_DEBIAN="$suite" \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

stage "installing the toolchain: g++ cmake make git ca-certificates"
in_root apt-get update -qq
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
  g++ cmake make git ca-certificates >/dev/null

stage "cloning $head into /root/korlan"
git clone -q --no-checkout "$PWD" "$root/root/korlan"
git -C "$root/root/korlan" checkout -q --detach "$head"

stage "scripts/test.sh"
in_root bash -c 'cd /root/korlan && scripts/test.sh'
stage "passed"
# A root that passed holds nothing to look at, and about 2 GB; a failed one stays for a look inside.
cleanup
rm -rf --one-file-system "$root"
