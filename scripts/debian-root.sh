# A throwaway Debian root for tests, sourced by scripts/test-in-debian.sh and scripts/test-cross.sh.
# The caller sets `root` (an absolute path) and `label` (what the log calls the run); on any exit
# every mount under the root is undone and what still runs inside it is ended.
[ "$(id -u)" -eq 0 ] || { echo "$0: needs root (debootstrap, mount, chroot)" >&2; exit 1; }

# Elapsed seconds at the start of each stage: the log shows where the minutes go.
stage() { echo "== ${SECONDS}s $label: $*"; }

# The mirror that this machine's apt names: deb822 sources or, as in a debootstrapped root, one
# `deb URI SUITE main` line.
debian_mirror() {
  local mirror=""
  [ -f /etc/apt/sources.list.d/debian.sources ] &&
    mirror=$(awk '$1 == "URIs:" { print $2; exit }' /etc/apt/sources.list.d/debian.sources)
  [ -n "$mirror" ] || [ ! -f /etc/apt/sources.list ] ||
    mirror=$(sed 's/\[[^]]*\]//' /etc/apt/sources.list | awk '$1 == "deb" { print $2; exit }')
  [ -n "$mirror" ] || { echo "no Debian mirror named in /etc/apt" >&2; return 1; }
  echo "$mirror"
}

# Undo every mount under the root, deepest first, and end what is still running inside it. A
# mount left behind would make the next run's rm -rf reach into the host's /dev.
root_cleanup() {
  local pid mounts m
  for pid in /proc/[0-9]*; do
    [ "$(readlink "$pid/root" 2>/dev/null)" = "$root" ] && kill -KILL "${pid#/proc/}" 2>/dev/null
  done
  mounts=$(awk -v r="$root/" 'index($5, r) == 1 { print $5 }' /proc/self/mountinfo | sort -r)
  for m in $mounts; do umount "$m" || umount -l "$m"; done
  return 0
}
trap root_cleanup EXIT
trap 'exit 130' INT TERM

# root_create SUITE: a fresh minbase root of SUITE from this machine's mirror, its own apt source
# (the release's main suite alone), with /proc, /sys, /dev and /dev/pts mounted.
root_create() {
  local suite="$1" mirror
  mirror=$(debian_mirror)
  scripts/install-deps.sh root
  root_cleanup
  # --one-file-system: even so, never follow a mount out of the root.
  rm -rf --one-file-system "$root"
  mkdir -p "$root"
  echo "debootstrap --variant=minbase $suite from $mirror"
  debootstrap --variant=minbase "$suite" "$root" "$mirror" >"$root.debootstrap.log" 2>&1 ||
    { tail -n 30 "$root.debootstrap.log"; return 1; }

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
}

# Runs a command in the root with a clean environment; leading NAME=VALUE words add to it.
in_root() {
  chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

# root_install PACKAGE...: from the root's own apt source, without recommends.
root_install() {
  in_root DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

# A clean clone of HEAD at /root/korlan in the root: uncommitted changes are not tested.
root_clone() {
  local head
  head=$(git rev-parse HEAD)
  git diff --quiet HEAD || echo "note: uncommitted changes are not tested, only $head"
  echo "cloning $head into /root/korlan"
  git clone -q --no-checkout "$PWD" "$root/root/korlan"
  git -C "$root/root/korlan" checkout -q --detach "$head"
}

# A root that passed holds nothing to look at, and takes gigabytes; a failed one stays for a look
# inside.
root_remove() {
  root_cleanup
  rm -rf --one-file-system "$root"
}
