#!/usr/bin/env bash
# Builds the frame fuzzer with clang in build-fuzz, writes its seed corpus and runs it.
# Usage: scripts/fuzz.sh [SECONDS] [more libFuzzer arguments]   (default: 60 seconds)
# Findings are kept as build-fuzz/crash-*; the corpus grows in build-fuzz/corpus across runs.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
tree=build-fuzz

cmake -S . -B "$tree" -DCMAKE_CXX_COMPILER=clang++ -DKORLAN_FUZZ=ON -DKORLAN_TESTS=OFF >/dev/null
cmake --build "$tree" -j"$(nproc)" --target frame_fuzz dvclip >/dev/null

# Seeds, each one frame's slot (144000 bytes) as the player would read it from such a file: the
# first frame of a PAL, an NTSC and a DV50 test clip, and a frame of FFmpeg's own test pattern.
seeds="$tree/seeds"
if [ ! -f "$seeds/testsrc2-pal" ]; then
  mkdir -p "$seeds"
  for kind in pal ntsc dv50; do
    "$tree/dvclip" "$tree/seed.dv" 2 "$kind"
    head -c 144000 "$tree/seed.dv" >"$seeds/clip-$kind"
  done
  ffmpeg -v error -y -f lavfi -i testsrc2=size=720x576:rate=25 -frames:v 1 -target pal-dv -an -f dv \
    "$tree/seed.dv"
  head -c 144000 "$tree/seed.dv" >"$seeds/testsrc2-pal"
  rm -f "$tree/seed.dv"
fi
mkdir -p "$tree/corpus"

# Only the player's own code is instrumented, not libavcodec, so coverage says little about how
# deep a frame got into the decoder: keep whole frames instead of letting libFuzzer shrink them.
log="$tree/fuzz.log"
echo "fuzzing for ${seconds}s, log in $log"
status=0
"$tree/tests/fuzz/frame_fuzz" -max_len=144000 -reduce_inputs=0 -timeout=10 -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="$tree/" "$@" "$tree/corpus" "$seeds" >"$log" 2>&1 || status=$?
grep -E '^#[0-9]+.*(DONE|INITED)|stat::number_of_executed_units|ERROR|SUMMARY' "$log" || true
[ "$status" -eq 0 ] || { tail -n 60 "$log"; exit "$status"; }
