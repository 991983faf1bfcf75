#!/usr/bin/env bash
# Installs what is missing, builds, writes a 20-second demo clip and plays it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh run
cmake -S . -B build -DKORLAN_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
[ -f build/demo.dv ] || build/dvclip build/demo.dv 500
exec build/korlan build/demo.dv
