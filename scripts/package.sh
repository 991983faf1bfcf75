#!/usr/bin/env bash
# Builds the Debian package: installs what the build needs, builds it, leaves
# dist/korlan_VERSION_ARCH.deb (beside its debug symbols and the build log) and prints what
# lintian says of it; fails when the build fails or lintian reports an error.
# Usage: scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
# build-dep reads the Build-Depends of debian/control and brings build-essential with them.
$sudo apt-get build-dep -y -qq --no-install-recommends ./ >/dev/null
$sudo apt-get install -y -qq --no-install-recommends dpkg-dev lintian >/dev/null

# dpkg-buildpackage builds inside the source tree and writes the packages beside it: build in a
# scratch copy, so that neither lands in the checkout.
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/korlan"
tar -c --exclude-vcs --exclude='./build*' --exclude=./dist . | tar -x -C "$scratch/korlan"
mkdir -p dist
log=dist/build.log
echo "building the package, log in $log"
if ! (cd "$scratch/korlan" && dpkg-buildpackage -b -us -uc) >"$log" 2>&1; then
  tail -n 40 "$log"
  exit 1
fi

version="$(dpkg-parsechangelog -S Version)"
deb="dist/korlan_${version}_$(dpkg-architecture -q DEB_HOST_ARCH).deb"
mv "$scratch"/*.deb dist/
echo "built $deb"

echo "lintian:"
lintian --display-info "$deb"
