#!/usr/bin/env bash
# Installs what is missing, builds and runs every test: unit tests under SDL's dummy video
# driver and end-to-end tests of the real player in an X server (Xvfb) that the tests start.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
cmake -S . -B build -DKORLAN_TESTS=ON >/dev/null
cmake --build build -j"$(nproc)"
cd build
ctest --output-on-failure -j2 --timeout 300
