#!/usr/bin/env bash
# The desktop files as a desktop sees them: the entry and the AppStream metadata validate, with
# the entry installed in a data directory DV files (video/dv) open with Korlan, and the manual page,
# the metainfo's latest release and the build (CMake's project) give the package's version.
# Usage: desktop_test.sh DATA_DIR WORK_DIR VERSION   (VERSION: CMake's project version)
set -euo pipefail
data="$1" work="$2" built="$3"

package=$(sed -n '1s/^korlan (\([^)]*\)).*/\1/p' "$data/../debian/changelog")
manual=$(sed -n 's/^\.TH .* "korlan \([^"]*\)" .*/\1/p' "$data/korlan.1")
release=$(sed -n 's/^ *<release version="\([^"]*\)".*/\1/p' "$data/io.github.korlan.Korlan.metainfo.xml" | head -n 1)
[ -n "$package" ] && [ "$manual" = "$package" ] && [ "$release" = "$package" ] && [ "$built" = "$package" ] ||
  { echo "versions differ: debian/changelog '$package', manual page '$manual', metainfo '$release', CMake '$built'"; exit 1; }
echo "version $package everywhere"

desktop-file-validate "$data/korlan.desktop"
appstreamcli validate --no-net "$data/io.github.korlan.Korlan.metainfo.xml"

# A scratch data directory that holds only our entry; a clean environment, so that no desktop
# session or user choice of the machine answers instead.
rm -rf "$work"
mkdir -p "$work/applications"
cp "$data/korlan.desktop" "$work/applications/"
update-desktop-database "$work/applications"
default="$(env -i PATH="$PATH" HOME="$work" XDG_DATA_HOME="$work" XDG_DATA_DIRS="$work" \
  XDG_CONFIG_HOME="$work" XDG_CONFIG_DIRS="$work" xdg-mime query default video/dv)"
[ "$default" = korlan.desktop ] || { echo "video/dv opens with '$default', not korlan.desktop"; exit 1; }
echo "video/dv opens with $default"
