#!/usr/bin/env bash
# Two builds of the player side by side: exec to the first flip, the unpaced rate over flips 50 to
# 350, and peak memory over a run of 1000 frames (the player's resident memory plus the private
# memory of the processes it started, sampled every 20 ms), on each SDL 1.2 implementation here, in
# rounds run back to back in alternating order. Each figure is the median of the rounds' ratios,
# A over B. For a change against the landed player, build that one in a worktree of its own
# (bench/README.md says how).
# Usage: bench/pair.sh PLAYER_A PLAYER_B [ROUNDS]   (default 15; needs bench/run.sh's packages)
set -euo pipefail
cd "$(dirname "$0")/.."
a=$(readlink -f "$1") b=$(readlink -f "$2") rounds=${3:-15}
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKORLAN_BENCH=ON >/dev/null
cmake --build build-bench -j"$(nproc)" --target dvclip kb_launch flipwatch >/dev/null
build=$PWD/build-bench work=$PWD/build-bench/bench/pair
mkdir -p "$work"
clip=$work/clip.dv
[ -f "$clip" ] || "$build/dvclip" "$clip" 1200 >/dev/null
PLAYER=$a
source bench/servers.sh

val() { awk -v k="$2" '$1 == k { print $2 }' "$1"; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# kB: the process's resident memory, and the private memory of each process below it.
memory() {
  local kb
  kb=$(awk '$1 == "VmRSS:" { print $2 }' "/proc/$1/status" 2>/dev/null) || return 0
  for child in $(cat /proc/"$1"/task/*/children 2>/dev/null); do
    kb=$((kb + $(private "$child")))
  done
  echo "$kb"
}
private() {
  local kb
  kb=$(awk '$1 ~ /^Private_/ { s += $2 } END { print s + 0 }' "/proc/$1/smaps_rollup" 2>/dev/null) || kb=0
  for child in $(cat /proc/"$1"/task/*/children 2>/dev/null); do kb=$((kb + $(private "$child"))); done
  echo "$kb"
}
run() {  # run IMPL BINARY ENV...: one watched run; prints its report's "name value" lines, and peak_kb
  local impl=$1 binary=$2 peak=0 kb player
  shift 2
  env DISPLAY="${display[$impl]}" LD_LIBRARY_PATH="${dir[$impl]}" KB_REPORT="$work/rep" "$@" nice -n -5 \
    "$build/bench/kb_launch" --preload "$build/bench/flipwatch.so" "$work/res" "$binary" "$clip" &
  local launcher=$!
  while kill -0 "$launcher" 2>/dev/null; do
    player=$(cat "/proc/$launcher/task/$launcher/children" 2>/dev/null) || true
    [ -n "$player" ] && kb=$(memory $player) && [ -n "$kb" ] && [ "$kb" -gt "$peak" ] && peak=$kb
    sleep 0.02
  done
  wait "$launcher"
  [ "$(val "$work/res" status)" = 0 ] || { cat "$work/res.log"; exit 1; }
  cat "$work/rep"
  echo "peak_kb $peak"
}
pair() {  # pair NAME IMPL KEY... -- ENV...: both players, in this round's order; keeps each KEY's ratio
  local name=$1 impl=$2 keys=() ra rb key
  shift 2
  while [ "$1" != "--" ]; do keys+=("$1"); shift; done
  shift
  if [ $((round % 2)) -eq 0 ]; then ra=$(run "$impl" "$a" "$@"); rb=$(run "$impl" "$b" "$@")
  else rb=$(run "$impl" "$b" "$@"); ra=$(run "$impl" "$a" "$@"); fi
  for key in "${keys[@]}"; do
    awk -v x="$(echo "$ra" | val /dev/stdin "$key")" -v y="$(echo "$rb" | val /dev/stdin "$key")" \
      'BEGIN { print x / y, x, y }' >>"$work/$name.$key"
  done
}
rm -f "$work"/*.first_flip_ms "$work"/*.window_fps "$work"/*.peak_kb
for round in $(seq "$rounds"); do
  for impl in "${impls[@]}"; do
    pair "$impl" "$impl" first_flip_ms -- KB_QUIT_AFTER=1
    pair "$impl" "$impl" window_fps -- KB_QUIT_AFTER=350 KB_WINDOW=50:350
    pair "$impl" "$impl" peak_kb -- KB_QUIT_AFTER=1000
  done
done
for impl in "${impls[@]}"; do
  for key in first_flip_ms window_fps peak_kb; do
    f=$work/$impl.$key
    echo "$impl $key: A / B $(cut -d' ' -f1 "$f" | median) (rounds $(cut -d' ' -f1 "$f" | sort -g | sed -n '1p;$p' |
      paste -sd-)); A $(cut -d' ' -f2 "$f" | median), B $(cut -d' ' -f3 "$f" | median)"
  done
done
