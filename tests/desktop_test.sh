#!/usr/bin/env bash
# The desktop files as a desktop sees them: the entry and the AppStream metadata validate, and with
# the entry installed in a data directory, DV files (video/dv) open with Korlan.
# Usage: desktop_test.sh DATA_DIR WORK_DIR
set -euo pipefail
data="$1" work="$2"

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
