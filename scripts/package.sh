#!/usr/bin/env bash
# Builds the Debian package as Debian builds it: first the source package, from the files git
# knows (tracked, or new and not ignored) as the working tree has them; then the binary package
# from that source package alone (dpkg-source -x), which runs the unit tests. Leaves in dist/ the
# source package (korlan_VERSION.dsc and .tar.xz), korlan_VERSION_ARCH.deb and its debug symbols,
# the .buildinfo and .changes of each of the two builds, and their logs; prints what lintian says
# of them all and fails when a build fails or lintian reports an error.
# Usage: scripts/package.sh   (DEB_BUILD_OPTIONS=nocheck builds without the tests)
set -euo pipefail
cd "$(dirname "$0")/.."

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
# build-dep reads the Build-Depends of debian/control and brings build-essential with them.
$sudo apt-get build-dep -y -qq --no-install-recommends ./ >/dev/null
scripts/install-deps.sh package

# dpkg-buildpackage writes the packages beside the source tree: build in a scratch folder.
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
# The source package keeps the copy's file modes and dates: make them the same under any umask
# and from any checkout (group and others get the owner's bits but write; every file is dated as
# the latest changelog entry), so that the same files give the same packages.
umask 022
mkdir "$scratch/korlan"
git ls-files -z --cached --others --exclude-standard |
  tar -c --mode=go=u,go-w --mtime="@$(dpkg-parsechangelog -S Timestamp)" --null -T - |
  tar -x -C "$scratch/korlan"
rm -rf dist
mkdir dist

# build LOG DIR ARGS...: dpkg-buildpackage ARGS in DIR, its output in dist/LOG.
build() {
  local log="dist/$1" dir="$2"
  shift 2
  echo "dpkg-buildpackage $*, log in $log"
  (cd "$dir" && dpkg-buildpackage -us -uc "$@") >"$log" 2>&1 || { tail -n 40 "$log"; exit 1; }
}
build source.log "$scratch/korlan" -S
dpkg-source -x "$scratch"/korlan_*.dsc "$scratch/binary" >>dist/source.log 2>&1
build build.log "$scratch/binary" -b
find "$scratch" -maxdepth 1 -type f -exec mv -t dist {} +
ls dist

echo "lintian:"
lintian --pedantic --display-info --display-experimental dist/*.changes
