#!/usr/bin/env bash
# What the player's confinement costs: exec to the first flip on each SDL 1.2 implementation, and
# the part of it from the window open (SDL_SetVideoMode's return) on, where the confinement falls:
# SDL's start-up before it varies by tens of milliseconds from run to run; then the pass (figure
# 2's flips 50 to 350) on the system's SDL. The player against the same player linked without it
# (korlan_unconfined, built with the tests), in rounds run back to back in alternating order; each
# figure is the median of the rounds' ratios, confined over unconfined, and of their differences.
# Usage: bench/confine.sh [ROUNDS]   (default 25; needs bench/run.sh's packages)
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-25}
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKORLAN_BENCH=ON >/dev/null
cmake --build build-bench -j"$(nproc)" --target korlan korlan_unconfined dvclip kb_launch flipwatch >/dev/null
build=$PWD/build-bench work=$PWD/build-bench/bench/confine unconfined=$PWD/build-bench/tests/korlan_unconfined
mkdir -p "$work"
clip=$work/clip.dv
[ -f "$clip" ] || "$build/dvclip" "$clip" 400 >/dev/null
PLAYER=$build/korlan
source bench/servers.sh
names=()

val() { awk -v k="$2" '$1 == k { print $2 }' "$1"; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# Each player has a Mesa shader cache of its own (SDL 2 draws through Mesa): the confined one keeps
# only what it compiled before confining itself, as a user's does.
run() {  # run IMPL BINARY ENV...: one watched run; prints its report's "name value" lines
  local impl=$1 binary=$2
  shift 2
  env DISPLAY="${display[$impl]}" LD_LIBRARY_PATH="${dir[$impl]}" XDG_CACHE_HOME="$work/cache.${binary##*/}" \
    KB_REPORT="$work/rep" "$@" nice -n -5 \
    "$build/bench/kb_launch" --preload "$build/bench/flipwatch.so" "$work/res" "$binary" "$clip"
  [ "$(val "$work/res" status)" = 0 ] || { cat "$work/res.log"; exit 1; }
  awk '{ print } $1 == "mode_ms" { mode = $2 } $1 == "first_flip_ms" { flip = $2 } END { print "after_mode_ms", flip - mode }' \
    "$work/rep"
}
pair() {  # pair NAME IMPL KEY... -- ENV...: both players, in this round's order; keeps each KEY's ratio
  local name=$1 impl=$2 keys=() a b key
  shift 2
  while [ "$1" != "--" ]; do keys+=("$1"); shift; done
  shift
  if [ $((round % 2)) -eq 0 ]; then a=$(run "$impl" "$build/korlan" "$@"); b=$(run "$impl" "$unconfined" "$@")
  else b=$(run "$impl" "$unconfined" "$@"); a=$(run "$impl" "$build/korlan" "$@"); fi
  for key in "${keys[@]}"; do
    awk -v k="$key" -v a="$(echo "$a" | val /dev/stdin "$key")" -v b="$(echo "$b" | val /dev/stdin "$key")" \
      'BEGIN { print a / b, a - b }' >>"$work/$name.$key"
  done
}
rm -rf "$work"/*.first_flip_ms "$work"/*.after_mode_ms "$work"/*.window_fps "$work"/cache.*
for round in $(seq "$rounds"); do
  for impl in "${impls[@]}"; do pair "$impl" "$impl" first_flip_ms after_mode_ms -- KB_QUIT_AFTER=1; done
  pair system system window_fps -- KB_QUIT_AFTER=350 KB_WINDOW=50:350
done
for impl in "${impls[@]}"; do names+=("$impl.first_flip_ms" "$impl.after_mode_ms"); done
for name in "${names[@]}" system.window_fps; do
  echo "$name: confined / unconfined $(cut -d' ' -f1 "$work/$name" | median), difference" \
    "$(cut -d' ' -f2 "$work/$name" | median); rounds' ratios $(cut -d' ' -f1 "$work/$name" | sort -g | sed -n '1p;$p' | paste -sd-)"
done
