#!/usr/bin/env bash
# Korlan against its peers, every figure a ratio of two numbers measured side by side in this run.
# Installs what is missing, builds build-bench (Release), makes the clips, starts an X server of
# its own and prints one table. Usage: bench/run.sh [--quick]   (--quick: fewer repetitions and a
# memory run of 10,000 passes instead of 100,000; about 3 minutes instead of about 10)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

quick=0
[ "${1:-}" = "--quick" ] && quick=1
reps=5 long_passes=100000
[ $quick -eq 1 ] && reps=3 long_passes=10000
frames=2000          # the clip: 80 seconds of PAL
window_from=100      # flips before this one are start-up and warm-up
window_to=2100

scripts/install-deps.sh bench
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKORLAN_BENCH=ON >/dev/null
cmake --build build-bench -j"$(nproc)" --target korlan dvclip korlan_bench kb_launch flipwatch bare_loop bare_window \
  >/dev/null
build=$root/build-bench
bin=$build/bench
work=$build/bench/work
mkdir -p "$work"
korlan=$build/korlan
shim=$bin/flipwatch.so

# --- Clips ---
clip=$work/testsrc2.dv   # encoded by the ffmpeg command line, as a user's tape would be
if [ ! -f "$clip" ] || [ "$(stat -c %s "$clip")" -ne $((frames * 144000)) ]; then
  ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=720x576:rate=25 -frames:v $frames -target pal-dv -an \
    -f dv "$clip"
fi
# 13 GB of tape with real frames only at both ends (the rest is a hole that reads as zeros); the
# frames carry their index in cells (the cells hold it modulo 65536).
sparse=$work/sparse13g.dv
sparse_frames=90278      # 13.0 GB
if [ ! -f "$sparse" ] || [ "$(stat -c %s "$sparse")" -ne $((sparse_frames * 144000)) ]; then
  rm -f "$sparse"
  "$build/dvclip" "$work/head.dv" 50 pal 0
  "$build/dvclip" "$work/tail.dv" 50 pal $((sparse_frames - 50))
  truncate -s $((sparse_frames * 144000)) "$sparse"
  dd if="$work/head.dv" of="$sparse" bs=144000 conv=notrunc status=none
  dd if="$work/tail.dv" of="$sparse" bs=144000 seek=$((sparse_frames - 50)) conv=notrunc status=none
  rm -f "$work/head.dv" "$work/tail.dv"
fi
cat "$clip" > /dev/null   # in the page cache for everyone

# --- An X server of our own ---
# A display number under 10: mpv takes :10 and above for a remote display and turns shared memory
# off. -noreset: otherwise Xvfb resets whenever its last client leaves, and the next program's
# connection waits about 0.2 s for it, which every start-up figure would measure.
xvfb_pid=""
cleanup() { [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true; }
trap cleanup EXIT
for n in 1 2 3 4 5 6 7 8 9; do
  if [ ! -e /tmp/.X$n-lock ] && [ ! -e /tmp/.X11-unix/X$n ]; then
    Xvfb :$n -screen 0 1024x768x24 -nolisten tcp -noreset >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 100); do [ -e /tmp/.X11-unix/X$n ] && break; sleep 0.05; done
    export DISPLAY=:$n
    break
  fi
done
[ -n "$xvfb_pid" ] || { echo "no free X display under :10" >&2; exit 1; }
unset SDL_VIDEODRIVER

# --- Helpers ---
val() { awk -v k="$2" '$1 == k { print $2 }' "$1"; }
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
verdict() {  # verdict RATIO OP LIMIT
  awk -v r="$1" -v op="$2" -v l="$3" 'BEGIN { ok = (op == ">=") ? r >= l : r <= l; print ok ? "met" : "NOT met" }'
}
rows=()
row() { rows+=("$(printf '%-44s %-26s %-30s %7s  %s %-5s %s' "$@")"); }

launch() { "$bin/kb_launch" "$@"; }
# watched RESULT REPORT ENV... -- PROGRAM ARGS...: run a program under flipwatch.so
watched() {
  local result=$1 report=$2
  shift 2
  local envs=()
  while [ "$1" != "--" ]; do envs+=("$1"); shift; done
  shift
  env KB_REPORT="$report" "${envs[@]}" "$bin/kb_launch" --preload "$shim" "$result" "$@"
}
mpv_run() { launch "$1" mpv --no-config --untimed --no-audio --vo=x11 --frames="$2" "$clip"; }

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"

# --- 1. Decoding: dvreadblock against the ffmpeg command line (Google Benchmark, one process) ---
echo "decoding ..."
"$bin/korlan_bench" "$clip" --benchmark_filter='^Decode_' --benchmark_out="$work/decode.csv" \
  --benchmark_out_format=csv >"$work/decode.txt" 2>&1
ff_col() {  # items per second of the median of a benchmark's repetitions
  awk -F, -v pat="$1" '$1 == "name" { for (i = 1; i <= NF; i++) if ($i == "items_per_second") c = i }
    c && $1 ~ pat { print $c }' "$work/decode.csv" | head -1
}
dv_fps=$(ff_col 'Decode_Dvreadblock.*_median')
rd_fps=$(ff_col 'Decode_ReadAndDvreadblock.*_median')
ff_fps=$(ff_col 'Decode_FfmpegCommandLine.*_median')
r=$(ratio "$dv_fps" "$ff_fps")
row "1 decode, frames/s" "dvreadblock $(printf %.1f "$dv_fps")" "ffmpeg -threads 1 $(printf %.1f "$ff_fps")" "$r" ">=" 1.0 "$(verdict "$r" ">=" 1.0)"
r=$(ratio "$rd_fps" "$ff_fps")
row "  (read + decode, frames/s)" "read+dvreadblock $(printf %.1f "$rd_fps")" "ffmpeg -threads 1 $(printf %.1f "$ff_fps")" "$r" "" "" ""

# --- 2 and 6. The loop against a bare loop, decoding on and off (real binaries, interleaved) ---
echo "playback loops ..."
k_fps=() b_fps=() kf_fps=() bp_fps=()
for i in $(seq $reps); do
  watched "$work/k.res" "$work/k.rep" KB_QUIT_AFTER=$window_to KB_WINDOW=$window_from:$window_to -- "$korlan" "$clip"
  k_fps+=("$(val "$work/k.rep" window_fps)")
  watched "$work/b.res" "$work/b.rep" KB_WINDOW=$window_from:$window_to -- "$bin/bare_loop" "$clip" $window_to decode
  b_fps+=("$(val "$work/b.rep" window_fps)")
  # F1 at the first pass: from then on passes read and present only
  watched "$work/kf.res" "$work/kf.rep" KB_KEYS=1:282 KB_QUIT_AFTER=$window_to KB_WINDOW=$window_from:$window_to -- \
    "$korlan" "$clip"
  kf_fps+=("$(val "$work/kf.rep" window_fps)")
  watched "$work/bp.res" "$work/bp.rep" KB_WINDOW=$window_from:$window_to -- "$bin/bare_loop" "$clip" $window_to present
  bp_fps+=("$(val "$work/bp.rep" window_fps)")
done
k=$(echo "${k_fps[*]}" | median) b=$(echo "${b_fps[*]}" | median)
r=$(ratio "$k" "$b")
row "2 playback, frames/s (flips $window_from-$window_to)" "korlan $(printf %.1f "$k")" "bare loop $(printf %.1f "$b")" "$r" ">=" 0.95 "$(verdict "$r" ">=" 0.95)"
kf=$(echo "${kf_fps[*]}" | median) bp=$(echo "${bp_fps[*]}" | median)
r=$(ratio "$kf" "$bp")
pass_ms=$(awk -v f="$k" 'BEGIN { printf "%.3f", 1000 / f }')

# --- 3, 4, 5. Against mpv: rate, CPU per frame, start-up, peak memory ---
echo "korlan and mpv ..."
k_rate=() k_cpu=() m_rate=() m_cpu=() k_start=() w_start=() m_start=() k_rss=() m_rss=()
for i in $(seq $reps); do
  watched "$work/k1.res" "$work/k1.rep" KB_QUIT_AFTER=1 -- "$korlan" "$clip"
  watched "$work/kn.res" "$work/kn.rep" KB_QUIT_AFTER=$frames -- "$korlan" "$clip"
  watched "$work/w.res" "$work/w.rep" -- "$bin/bare_window" "$clip"
  mpv_run "$work/m1.res" 1
  mpv_run "$work/mn.res" $frames
  # From exec to exit for N frames and for one: the difference is N - 1 frames with no start-up.
  k_rate+=("$(awk -v n=$frames -v a="$(val "$work/kn.res" wall_ms)" -v b="$(val "$work/k1.res" wall_ms)" 'BEGIN { print (n - 1) * 1000 / (a - b) }')")
  m_rate+=("$(awk -v n=$frames -v a="$(val "$work/mn.res" wall_ms)" -v b="$(val "$work/m1.res" wall_ms)" 'BEGIN { print (n - 1) * 1000 / (a - b) }')")
  k_cpu+=("$(awk -v n=$frames -v a="$(val "$work/kn.res" cpu_ms)" -v b="$(val "$work/k1.res" cpu_ms)" 'BEGIN { print (a - b) / (n - 1) }')")
  m_cpu+=("$(awk -v n=$frames -v a="$(val "$work/mn.res" cpu_ms)" -v b="$(val "$work/m1.res" cpu_ms)" 'BEGIN { print (a - b) / (n - 1) }')")
  k_start+=("$(val "$work/k1.rep" first_flip_ms)")
  w_start+=("$(val "$work/w.rep" first_flip_ms)")
  m_start+=("$(val "$work/m1.res" wall_ms)")
  k_rss+=("$(val "$work/kn.res" maxrss_kb)")
  m_rss+=("$(val "$work/mn.res" maxrss_kb)")
  for f in kn k1 mn m1; do [ "$(val "$work/$f.res" status)" = 0 ] || { echo "$f failed:"; cat "$work/$f.res.log"; exit 1; }; done
done
k=$(echo "${k_rate[*]}" | median) m=$(echo "${m_rate[*]}" | median)
r=$(ratio "$k" "$m")
row "3 playback against mpv, frames/s" "korlan $(printf %.1f "$k")" "mpv $(printf %.1f "$m")" "$r" ">=" 1.0 "$(verdict "$r" ">=" 1.0)"
k=$(echo "${k_cpu[*]}" | median) m=$(echo "${m_cpu[*]}" | median)
r=$(ratio "$k" "$m")
row "3 CPU time per frame, ms" "korlan $(printf %.3f "$k")" "mpv $(printf %.3f "$m")" "$r" "<=" 0.7 "$(verdict "$r" "<=" 0.7)"
k=$(echo "${k_start[*]}" | median) w=$(echo "${w_start[*]}" | median) m=$(echo "${m_start[*]}" | median)
r=$(ratio "$k" "$m")
row "4 start-up: exec to first frame, ms" "korlan $(printf %.1f "$k")" "mpv, one frame and exit $(printf %.1f "$m")" "$r" "<=" 0.35 "$(verdict "$r" "<=" 0.35)"
r=$(ratio "$k" "$w")
row "4 start-up: exec to first frame, ms" "korlan $(printf %.1f "$k")" "bare window $(printf %.1f "$w")" "$r" "<=" 1.25 "$(verdict "$r" "<=" 1.25)"
k=$(echo "${k_rss[*]}" | median) m=$(echo "${m_rss[*]}" | median)
r=$(ratio "$k" "$m")
row "5 peak RSS over $frames frames, kB" "korlan $k" "mpv $m" "$r" "<=" 0.4 "$(verdict "$r" "<=" 0.4)"

# --- 5. Memory over a long run, allocations per pass ---
echo "memory over $long_passes passes ..."
watched "$work/long.res" "$work/long.rep" KB_QUIT_AFTER=$long_passes KB_WINDOW=1000:$long_passes -- "$korlan" "$clip"
from=$(val "$work/long.rep" rss_from_kb) to=$(val "$work/long.rep" rss_to_kb)
growth=$((to - from))
row "5 RSS growth, pass 1,000 to $long_passes, kB" "korlan $from -> $to" "limit 1024" "$growth" "<=" 1024 \
  "$([ "$growth" -le 1024 ] && echo met || echo "NOT met")"
rest=$(val "$work/long.rep" allocs_rest_per_flip) present=$(val "$work/long.rep" allocs_present_per_flip)
flip=$(val "$work/long.rep" allocs_flip_per_flip)

r=$(ratio "$kf" "$bp")
row "6 decoding off (F1), passes/s" "korlan $(printf %.1f "$kf")" "bare read+present $(printf %.1f "$bp")" "$r" ">=" 0.95 "$(verdict "$r" ">=" 0.95)"

# --- 7. Random access on 13 GB ---
echo "random access ..."
# End at the 30th pass, Home at the 60th (the player idles, paused, in between).
watched "$work/sp.res" "$work/sp.rep" KB_KEYS=30:279,60:278 KB_QUIT_AT=62 -- "$korlan" "$sparse"
last=$((sparse_frames - 1))
end_ok=$([ "$(val "$work/sp.rep" key0_flip_pass)" = 31 ] && [ "$(val "$work/sp.rep" key0_strip)" = $((720 * last / sparse_frames)) ] &&
  [ "$(val "$work/sp.rep" key0_picture)" = $((last % 65536)) ] && echo yes || echo no)
home_ok=$([ "$(val "$work/sp.rep" key1_flip_pass)" = 61 ] && [ "$(val "$work/sp.rep" key1_strip)" = 0 ] &&
  [ "$(val "$work/sp.rep" key1_picture)" = 0 ] && echo yes || echo no)
end_ms=$(val "$work/sp.rep" key0_after_ms) home_ms=$(val "$work/sp.rep" key1_after_ms)
r=$(ratio "$end_ms" "$pass_ms")
row "7 End on 13 GB: key to frame $last shown, ms" "korlan $end_ms (next pass: $end_ok)" "one pass $pass_ms" "$r" "" "" \
  "$([ "$end_ok" = yes ] && echo met || echo "NOT met")"
r=$(ratio "$home_ms" "$pass_ms")
row "7 Home on 13 GB: key to frame 0 shown, ms" "korlan $home_ms (next pass: $home_ok)" "one pass $pass_ms" "$r" "" "" \
  "$([ "$home_ok" = yes ] && echo met || echo "NOT met")"

echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
printf '%-44s %-26s %-30s %7s  %s\n' "figure" "korlan" "peer" "ratio" "target"
for line in "${rows[@]}"; do echo "$line"; done
echo
echo "heap allocations per pass (flips 1,000-$long_passes): $rest reading, decoding and polling;" \
  "$present presenting (wrapper surface, blit, strip, SDL_UpdateRect); $flip in SDL_Flip"
echo "Google Benchmark output: $work/decode.txt; run $bin/korlan_bench $clip for the parts of a pass"
