#!/usr/bin/env bash
# Korlan against its peers, every figure a ratio of two numbers measured side by side in this run.
# The same built player runs on both SDL 1.2 implementations that Debian ships, classic SDL 1.2.15
# and sdl12-compat (the SDL 1.2 interface over SDL 2), and on sdl12-compat over SDL 3 where
# sdl2-compat is installed, each on an X server of its own.
# Installs what is missing, builds build-bench (Release), makes the clips, starts the X servers and
# prints the tables. Usage: bench/run.sh [--quick]   (--quick: fewer repetitions and a memory run
# of 10,000 passes instead of 100,000; about 6 minutes instead of about 16)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

quick=0
[ "${1:-}" = "--quick" ] && quick=1
pairs=25 mpv_pairs=8 long_passes=100000
[ $quick -eq 1 ] && pairs=7 mpv_pairs=3 long_passes=10000
frames=2000          # the clip: 80 seconds of PAL
rate_frames=1000     # frames shown by each run measured against mpv
priority=-5
window_from=50       # flips before this one are start-up and warm-up
window_to=350

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

# --- The SDL 1.2 implementations ---
# The player asks for libSDL-1.2.so.0; which library answers is settled when it starts. Debian 12's
# libsdl1.2-compat keeps sdl12-compat in a folder of its own, which LD_LIBRARY_PATH puts first. On
# Debian 13 sdl12-compat is the system's only SDL 1.2 and that folder links to it: one column there,
# and one more for sdl12-compat over SDL 3 where sdl2-compat (SDL 2's interface over SDL 3) is
# installed: its folder, first in the library path, holds the libSDL2-2.0.so.0 that sdl12-compat
# loads.
compat_lib=$(dpkg -L libsdl1.2-compat 2>/dev/null | grep '/libSDL-1\.2\.so\.0$' || true)
[ -n "$compat_lib" ] || { echo "sdl12-compat is missing: apt-get install libsdl1.2-compat" >&2; exit 1; }
sdl3_lib=$(dpkg -L libsdl2-compat 2>/dev/null | grep '/libSDL2-2\.0\.so\.0$' || true)
system_lib=$(ldd "$korlan" | awk '$1 == "libSDL-1.2.so.0" { print $3 }')
declare -A sdl_dir=([compat]=$(dirname "$compat_lib")) \
  name=([classic]=classic [compat]=sdl12-compat [sdl3]="sdl12-compat over SDL 3")
impls=(compat)
if [ "$(readlink -f "$system_lib")" != "$(readlink -f "$compat_lib")" ]; then
  impls=(classic compat)
  sdl_dir[classic]=""
fi
# Where SDL 2 itself is sdl2-compat (Debian unstable), that folder only links to it.
if [ -n "$sdl3_lib" ] && [ "$(readlink -f "$sdl3_lib")" != "$(readlink -f "$(dirname "$sdl3_lib")/../libSDL2-2.0.so.0")" ]; then
  impls+=(sdl3)
  sdl_dir[sdl3]=$(dirname "$sdl3_lib"):${sdl_dir[compat]}
fi
main_impl=${impls[0]}   # the system's own SDL, for the figures measured once
has() { [[ " ${impls[*]} " == *" $1 "* ]]; }   # has IMPL: whether this run measures it

# --- An X server for each implementation ---
# A fresh one each: with no window manager an SDL 2 window takes the input focus, and a classic SDL
# window opened later on the same server gets no keys. A display number under 10: mpv takes :10
# and above for a remote display and turns shared memory off. -noreset: otherwise Xvfb resets
# whenever its last client leaves, and the next program's connection waits about 0.2 s for it,
# which every start-up figure would measure.
declare -A display xvfb_pid
cleanup() { for pid in "${xvfb_pid[@]}"; do kill "$pid" 2>/dev/null || true; done; }
trap cleanup EXIT
start_xvfb() {  # start_xvfb IMPL
  local n
  for n in 1 2 3 4 5 6 7 8 9; do
    { [ -e /tmp/.X$n-lock ] || [ -e /tmp/.X11-unix/X$n ]; } && continue
    nice -n "$priority" Xvfb :$n -screen 0 1024x768x24 -nolisten tcp -noreset >/dev/null 2>&1 &
    xvfb_pid[$1]=$!
    for _ in $(seq 100); do
      { [ -e /tmp/.X11-unix/X$n ] || ! kill -0 "${xvfb_pid[$1]}" 2>/dev/null; } && break
      sleep 0.05
    done
    # In a chroot, an X server outside it can hold the number (its abstract socket) unseen in /tmp.
    if [ -e /tmp/.X11-unix/X$n ]; then display[$1]=:$n; return; fi
    kill "${xvfb_pid[$1]}" 2>/dev/null || true
    unset "xvfb_pid[$1]"
  done
  echo "no free X display under :10" >&2
  exit 1
}
for impl in "${impls[@]}"; do start_xvfb "$impl"; done
unset SDL_VIDEODRIVER DISPLAY

# --- Helpers ---
val() { awk -v k="$2" '$1 == k { print $2 }' "$1"; }
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
spread() { tr ' ' '\n' | grep -v '^$' | sort -g | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "pairs %s-%s", lo, hi }'; }
verdict() {  # verdict RATIO OP LIMIT
  awk -v r="$1" -v op="$2" -v l="$3" 'BEGIN { ok = (op == ">=") ? r >= l : r <= l; print ok ? "met" : "NOT met" }'
}
# Every measurement is kept in a file of its own kind, named like "rate.compat" or, for the ratio of
# two runs of one round, "rate.compat.over.mpv"; one value a line.
values=$work/values
rm -rf "$values" && mkdir -p "$values"
keep() { echo "$2" >>"$values/$1"; }
last() { tail -1 "$values/$1"; }
med() { median <"$values/$1"; }
rows=()
row() { rows+=("$(printf '%-52s %-26s %-30s %7s  %s %-5s %-8s %s' "$@")"); }

# on IMPL COMMAND...: the command against one SDL implementation, on that implementation's X server
on() { local impl=$1; shift; env DISPLAY="${display[$impl]}" LD_LIBRARY_PATH="${sdl_dir[$impl]}" "$@"; }
# Every measured program runs at a raised priority (both sides alike), so that other work on the
# machine disturbs the pairs less; without root this is a no-op with a warning.
# watched IMPL RESULT REPORT ENV... -- PROGRAM ARGS...: a program under flipwatch.so
watched() {
  local impl=$1 result=$2 report=$3
  shift 3
  local envs=()
  while [ "$1" != "--" ]; do envs+=("$1"); shift; done
  shift
  on "$impl" env KB_REPORT="$report" "${envs[@]}" nice -n "$priority" "$bin/kb_launch" --preload "$shim" "$result" "$@"
}
# mpv draws with neither SDL; it runs on the first implementation's server.
mpv_run() {
  on "$main_impl" nice -n "$priority" "$bin/kb_launch" "$1" mpv --no-config --untimed --no-audio --vo=x11 \
    --frames="$2" "$clip"
}
succeeded() {  # succeeded RESULT...: every run ended with status 0, or the bench stops
  for result in "$@"; do
    [ "$(val "$result" status)" = 0 ] || { echo "$result failed:"; cat "$result.log"; exit 1; }
  done
}
# in_turn ROUND STEP...: the steps one after the other, in reverse order every other round
in_turn() {
  local round=$1 i
  shift
  local steps=("$@")
  if [ $((round % 2)) -eq 1 ]; then
    for ((i = 0; i < ${#steps[@]}; i++)); do ${steps[i]}; done
  else
    for ((i = ${#steps[@]} - 1; i >= 0; i--)); do ${steps[i]}; done
  fi
}
hz=$(getconf CLK_TCK)
server_ticks() { awk '{ print $14 + $15 }' "/proc/${xvfb_pid[$1]}/stat"; }  # an X server's CPU time

# against LABEL KIND PEER PEER_LABEL OP LIMIT FORMAT: a row for each implementation, the player's
# KIND against PEER's, with the ratios of the rounds; an @ in PEER stands for the implementation.
against() {
  local label=$1 kind=$2 op=$5 limit=$6 fmt=$7 impl peer r
  for impl in "${impls[@]}"; do
    peer=${3//@/$impl}
    r=$(med "$kind.$impl.over.$peer" | awk '{ printf "%.3f", $1 }')
    row "$label, ${name[$impl]}" "korlan $(printf "$fmt" "$(med "$kind.$impl")")" \
      "$4 $(printf "$fmt" "$(med "$kind.$peer")")" "$r" "$op" "$limit" "$([ -n "$op" ] && verdict "$r" "$op" "$limit")" \
      "$(spread <"$values/$kind.$impl.over.$peer")"
  done
}
# pair_ratios KIND: each round's sdl12-compat figure over its classic one, and sdl12-compat over
# SDL 3's over sdl12-compat over SDL 2's, for the tables of the SDLs
pair_ratios() {
  local kind=$1
  if has classic; then keep "$kind.compat.over.classic" "$(ratio "$(last "$kind.compat")" "$(last "$kind.classic")")"; fi
  if has sdl3; then keep "$kind.sdl3.over.compat" "$(ratio "$(last "$kind.sdl3")" "$(last "$kind.compat")")"; fi
  return 0
}

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"

# --- 1. Decoding: dvreadblock beside the ffmpeg command line (Google Benchmark, one process) ---
echo "decoding ..."
csv_median() {  # csv_median FILE BENCHMARK COLUMN: a column of the median of a benchmark's repetitions
  awk -F, -v pat="$2" -v want="$3" '$1 == "name" { for (i = 1; i <= NF; i++) { gsub(/"/, "", $i); col[$i] = i } }
    col[want] && $1 ~ pat && $1 ~ /_median"$/ { print $col[want] }' "$1" | head -1
}
on "$main_impl" nice -n "$priority" "$bin/korlan_bench" "$clip" --benchmark_filter='^Decode_SideBySide' \
  --benchmark_out="$work/decode.csv" --benchmark_out_format=csv >"$work/decode.txt" 2>&1
dv_fps=$(csv_median "$work/decode.csv" Decode_SideBySide dvreadblock_fps)
ff_fps=$(csv_median "$work/decode.csv" Decode_SideBySide ffmpeg_fps)
r=$(csv_median "$work/decode.csv" Decode_SideBySide ratio)
decode_r=$(awk -F, '$1 == "name" { for (i = 1; i <= NF; i++) { gsub(/"/, "", $i); col[$i] = i } }
  col["ratio"] && $1 ~ /Decode_SideBySide/ && $1 !~ /_(mean|median|stddev|cv)"$/ { printf "%.3f ", $col["ratio"] }' "$work/decode.csv")
row "1 decode, frames/s" "dvreadblock $(printf %.1f "$dv_fps")" "ffmpeg -threads 1 $(printf %.1f "$ff_fps")" \
  "$(printf %.3f "$r")" ">=" 1.0 "$(verdict "$r" ">=" 1.0)" "$(echo "$decode_r" | spread)"

# Each part of a pass on its own, on each implementation (reading and decoding need no SDL).
echo "parts of a pass ..."
for impl in "${impls[@]}"; do
  filter='^Part_(Wrap|Strip|Update|Flip)'
  [ "$impl" = "$main_impl" ] && filter='^(Decode_Dv|Decode_Read|Part_)'
  on "$impl" nice -n "$priority" "$bin/korlan_bench" "$clip" --benchmark_filter="$filter" >"$work/parts.$impl.txt" 2>&1
done

# This machine's speed drifts from one run to the next (it is a VM on a shared host; the same
# binary has been seen at 170, 260 and 375 frames/s in consecutive runs), so every comparison is
# made in rounds run back to back in alternating order, the runs kept short: the ratio reported is
# the median of the rounds' ratios, each side's number the median of its runs, and the last column
# the range of the rounds' ratios.

# --- 2 and 6. The loop against a bare loop, decoding on and off (real binaries, the system's SDL) ---
echo "playback loops ..."
loop_korlan() {  # loop_korlan on|off: F1 at the first pass switches decoding off
  local keys=()
  [ "$1" = off ] && keys=(KB_KEYS=1:282)
  watched "$main_impl" "$work/k.res" "$work/k.rep" "${keys[@]}" KB_QUIT_AFTER=$window_to \
    KB_WINDOW=$window_from:$window_to -- "$korlan" "$clip"
  keep "loop.$1" "$(val "$work/k.rep" window_fps)"
}
loop_bare() {  # loop_bare on|off
  local mode=decode
  [ "$1" = off ] && mode=present
  watched "$main_impl" "$work/b.res" "$work/b.rep" KB_WINDOW=$window_from:$window_to -- \
    "$bin/bare_loop" "$clip" $window_to $mode
  keep "loop.bare-$1" "$(val "$work/b.rep" window_fps)"
}
for i in $(seq $pairs); do
  in_turn "$i" "loop_korlan on" "loop_bare on" "loop_korlan off" "loop_bare off"
  keep loop.on.over.bare-on "$(ratio "$(last loop.on)" "$(last loop.bare-on)")"
  keep loop.off.over.bare-off "$(ratio "$(last loop.off)" "$(last loop.bare-off)")"
done
r=$(med loop.on.over.bare-on | awk '{ printf "%.3f", $1 }')
row "2 playback, frames/s (flips $window_from-$window_to)" "korlan $(printf %.1f "$(med loop.on)")" \
  "bare loop $(printf %.1f "$(med loop.bare-on)")" "$r" ">=" 0.95 "$(verdict "$r" ">=" 0.95)" "$(spread <"$values/loop.on.over.bare-on")"

# --- 3 and 5. Against mpv, on each implementation: rate, CPU per frame, peak memory ---
echo "korlan and mpv ..."
# From exec to exit for N frames and for one: the difference is N - 1 frames with no start-up.
per_frame_rate() { awk -v n=$rate_frames -v a="$(val "$1" wall_ms)" -v b="$(val "$2" wall_ms)" 'BEGIN { print (n - 1) * 1000 / (a - b) }'; }
per_frame_cpu() { awk -v n=$rate_frames -v a="$(val "$1" cpu_ms)" -v b="$(val "$2" cpu_ms)" 'BEGIN { print (a - b) / (n - 1) }'; }
server_per_frame() { awk -v t="$1" -v n=$rate_frames -v hz="$hz" 'BEGIN { print t * 1000 / hz / n }'; }
rate_korlan() {  # rate_korlan IMPL
  local impl=$1 x0 x1
  watched "$impl" "$work/k1.res" "$work/k1.rep" KB_QUIT_AFTER=1 -- "$korlan" "$clip"
  x0=$(server_ticks "$impl")
  watched "$impl" "$work/kn.res" "$work/kn.rep" KB_QUIT_AFTER=$rate_frames KB_WINDOW=$window_from:$rate_frames -- \
    "$korlan" "$clip"
  x1=$(server_ticks "$impl")
  succeeded "$work/k1.res" "$work/kn.res"
  keep "rate.$impl" "$(per_frame_rate "$work/kn.res" "$work/k1.res")"
  keep "cpu.$impl" "$(per_frame_cpu "$work/kn.res" "$work/k1.res")"
  keep "rss.$impl" "$(val "$work/kn.res" maxrss_kb)"
  keep "server.$impl" "$(server_per_frame $((x1 - x0)))"
  for part in rest present flip; do keep "allocs-$part.$impl" "$(val "$work/kn.rep" "allocs_${part}_per_flip")"; done
}
rate_mpv() {
  local x0 x1
  mpv_run "$work/m1.res" 1
  x0=$(server_ticks "$main_impl")
  mpv_run "$work/mn.res" $rate_frames
  x1=$(server_ticks "$main_impl")
  succeeded "$work/m1.res" "$work/mn.res"
  keep rate.mpv "$(per_frame_rate "$work/mn.res" "$work/m1.res")"
  keep cpu.mpv "$(per_frame_cpu "$work/mn.res" "$work/m1.res")"
  keep rss.mpv "$(val "$work/mn.res" maxrss_kb)"
  keep server.mpv "$(server_per_frame $((x1 - x0)))"
}
steps=()
for impl in "${impls[@]}"; do steps+=("rate_korlan $impl"); done
for i in $(seq $mpv_pairs); do
  in_turn "$i" "${steps[@]}" rate_mpv
  for kind in rate cpu rss server; do
    for impl in "${impls[@]}"; do keep "$kind.$impl.over.mpv" "$(ratio "$(last "$kind.$impl")" "$(last "$kind.mpv")")"; done
    pair_ratios "$kind"
  done
done

# --- 4 and 5. Start-up and its memory: the player and the bare window on each implementation, and
# mpv, one after the other, the order reversed every other round ---
echo "start-up ..."
startup_korlan() {  # startup_korlan IMPL
  watched "$1" "$work/ks.res" "$work/ks.rep" KB_QUIT_AFTER=1 -- "$korlan" "$clip"
  succeeded "$work/ks.res"
  keep "start.$1" "$(val "$work/ks.rep" first_flip_ms)"
  keep "rss1.$1" "$(val "$work/ks.res" maxrss_kb)"
  for stamp in init mode first_wrap; do keep "$stamp.$1" "$(val "$work/ks.rep" "${stamp}_ms")"; done
}
startup_bare() {  # startup_bare IMPL
  watched "$1" "$work/ws.res" "$work/ws.rep" -- "$bin/bare_window" "$clip"
  succeeded "$work/ws.res"
  keep "start.bare-$1" "$(val "$work/ws.rep" first_flip_ms)"
  keep "rss1.bare-$1" "$(val "$work/ws.res" maxrss_kb)"
  for stamp in init mode; do keep "$stamp.bare-$1" "$(val "$work/ws.rep" "${stamp}_ms")"; done
}
startup_mpv() {
  mpv_run "$work/ms.res" 1
  succeeded "$work/ms.res"
  keep start.mpv "$(val "$work/ms.res" wall_ms)"
  keep rss1.mpv "$(val "$work/ms.res" maxrss_kb)"
}
steps=()
for impl in "${impls[@]}"; do steps+=("startup_korlan $impl" "startup_bare $impl"); done
for i in $(seq $pairs); do
  in_turn "$i" "${steps[@]}" startup_mpv
  for kind in start rss1; do
    for impl in "${impls[@]}"; do
      keep "$kind.$impl.over.mpv" "$(ratio "$(last "$kind.$impl")" "$(last "$kind.mpv")")"
      keep "$kind.$impl.over.bare-$impl" "$(ratio "$(last "$kind.$impl")" "$(last "$kind.bare-$impl")")"
    done
    pair_ratios "$kind"
  done
done

against "3 playback against mpv, frames/s" rate mpv mpv ">=" 1.0 %.1f
against "3 CPU time per frame, ms" cpu mpv mpv "<=" 0.7 %.3f
against "  (X server's CPU time per frame, ms)" server mpv "for mpv" "" "" %.3f
against "4 start-up: exec to first frame, ms" start mpv "mpv, one frame and exit" "<=" 0.35 %.1f
against "4 start-up: exec to first frame, ms" start bare-@ "bare window" "<=" 1.25 %.1f
against "5 peak RSS over $rate_frames frames, kB" rss mpv mpv "<=" 0.4 %.0f
against "5 peak RSS, first frame and exit, kB" rss1 mpv "mpv, one frame" "<=" 0.4 %.0f
against "5 peak RSS, first frame and exit, kB" rss1 bare-@ "bare window" "" "" %.0f

# --- 5. Memory over a long run, allocations per pass (the system's SDL) ---
echo "memory over $long_passes passes ..."
watched "$main_impl" "$work/long.res" "$work/long.rep" KB_QUIT_AFTER=$long_passes KB_WINDOW=1000:$long_passes -- \
  "$korlan" "$clip"
from=$(val "$work/long.rep" rss_from_kb) to=$(val "$work/long.rep" rss_to_kb)
growth=$((to - from))
row "5 RSS growth, pass 1,000 to $long_passes, kB" "korlan $from -> $to" "limit 1024" "$growth" "<=" 1024 \
  "$([ "$growth" -le 1024 ] && echo met || echo "NOT met")"

r=$(med loop.off.over.bare-off | awk '{ printf "%.3f", $1 }')
row "6 decoding off (F1), passes/s" "korlan $(printf %.1f "$(med loop.off)")" \
  "bare read+present $(printf %.1f "$(med loop.bare-off)")" "$r" ">=" 0.95 "$(verdict "$r" ">=" 0.95)" \
  "$(spread <"$values/loop.off.over.bare-off")"

# --- 7. Random access on 13 GB (the system's SDL) ---
echo "random access ..."
# End at the 30th pass, Home at the 60th (the player idles, paused, in between).
watched "$main_impl" "$work/sp.res" "$work/sp.rep" KB_KEYS=30:279,60:278 KB_QUIT_AT=62 KB_WINDOW=5:25 -- \
  "$korlan" "$sparse"
sparse_pass_ms=$(awk -v f="$(val "$work/sp.rep" window_fps)" 'BEGIN { printf "%.3f", 1000 / f }')  # flips 5-25: frames of the head, decoded
last=$((sparse_frames - 1))
end_ok=$([ "$(val "$work/sp.rep" key0_flip_pass)" = 31 ] && [ "$(val "$work/sp.rep" key0_strip)" = $((720 * last / sparse_frames)) ] &&
  [ "$(val "$work/sp.rep" key0_picture)" = $((last % 65536)) ] && echo yes || echo no)
home_ok=$([ "$(val "$work/sp.rep" key1_flip_pass)" = 61 ] && [ "$(val "$work/sp.rep" key1_strip)" = 0 ] &&
  [ "$(val "$work/sp.rep" key1_picture)" = 0 ] && echo yes || echo no)
end_ms=$(val "$work/sp.rep" key0_after_ms) home_ms=$(val "$work/sp.rep" key1_after_ms)
r=$(ratio "$end_ms" "$sparse_pass_ms")
row "7 End on 13 GB: key to frame $last shown, ms" "korlan $end_ms (next pass: $end_ok)" "one pass $sparse_pass_ms" "$r" "" "" \
  "$([ "$end_ok" = yes ] && echo met || echo "NOT met")"
r=$(ratio "$home_ms" "$sparse_pass_ms")
row "7 Home on 13 GB: key to frame 0 shown, ms" "korlan $home_ms (next pass: $home_ok)" "one pass $sparse_pass_ms" "$r" "" "" \
  "$([ "$home_ok" = yes ] && echo met || echo "NOT met")"

# --- Where a pass goes: the CPU profile of the player over the clip, on each implementation ---
echo "profiles ..."
profile() {  # profile IMPL: the shares of the player's CPU time, all its threads, by part
  local data=$work/perf.$1.data
  on "$1" perf record -q -e cpu-clock -F 2000 -o "$data" -- env LD_PRELOAD="$shim" KB_QUIT_AFTER=$frames \
    "$korlan" "$clip" >/dev/null 2>&1 || return 0
  perf report -i "$data" --no-children --sort dso,sym --stdio 2>/dev/null | grep -E '^ +[0-9]' |
    awk '{ pct = $1 + 0; dso = $2; sym = $NF
      if (dso == "[JIT]") part = "Mesa llvmpipe, its compiled drawing code (the texture drawn, the window cleared)"
      else if (dso ~ /swrast_dri|libgallium|libGL|libglapi|libLLVM/) part = "Mesa, the rest (texture upload, swap to X)"
      else if (dso ~ /libSDL3/) part = "SDL 3 (the 24-to-32-bit blit, fills, the framebuffer)"
      else if (dso ~ /libSDL2/) part = "SDL 2 (the 24-to-32-bit blit, fills, the screen copied into the texture)"
      else if (dso ~ /libSDL-1\.2\.so\.1\.2/) part = "sdl12-compat itself"
      else if (dso ~ /libSDL/) part = "SDL 1.2 (the 24-to-32-bit blit, strip fills)"
      else if (dso ~ /libswscale/ || (dso == "korlan" && sym ~ /yuv|rgb|sws/)) part = "colour conversion (libswscale)"
      else if (dso == "korlan" && sym ~ /frame_file|run_playback|handle_frame|display_|clamp/) part = "the player itself"
      else if (dso ~ /libavcodec|libavutil/ || dso == "korlan") part = "decoding (libavcodec dvvideo)"
      else if (dso ~ /kernel/ && sym ~ /read|copy_to|filemap|fdget/) part = "reading the file (kernel)"
      else if (dso ~ /libX11|libxcb|libXext/) part = "Xlib and XCB (window updates, events)"
      else if (dso ~ /kernel/) part = "kernel, other (X socket, page faults, scheduling)"
      else if (dso ~ /libc/ && sym ~ /memmove|memcpy/) part = "memcpy (the frame into the decoder, pixels)"
      else part = "other (" dso ")"
      share[part] += pct }
      END { for (p in share) if (share[p] >= 0.05) printf "  %6.2f%%  %s\n", share[p], p }' | sort -rn
  perf report -i "$data" --no-children --sort comm --stdio 2>/dev/null | grep -E '^ +[0-9]' |
    awk '$2 != "korlan" { other += $1 } END { printf "  (%.1f%% of it on threads other than the main one)\n", other }'
}
profiles=()
for impl in "${impls[@]}"; do profiles+=("$(profile "$impl")"); done

echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
printf '%-52s %-26s %-30s %7s  %s\n' "figure" "korlan" "peer" "ratio" "target"
for line in "${rows[@]}"; do echo "$line"; done

if has classic; then
  echo
  echo "the two SDL 1.2 implementations beside mpv (medians; sdl12-compat over classic and over mpv, round by round)"
  printf '%-40s %12s %14s %10s %9s %-15s %9s %-15s\n' "" classic sdl12-compat mpv ratio "target" "÷ mpv" "target"
  sdl_row() {  # sdl_row LABEL KIND FORMAT [OP LIMIT MPV_LIMIT]: the targets against classic and mpv
    local r m
    r=$(med "$2.compat.over.classic") m=$(med "$2.compat.over.mpv")
    printf "%-40s %12s %14s %10s %9.3f %-15s %9.3f %-15s %s\n" "$1" "$(printf "$3" "$(med "$2.classic")")" \
      "$(printf "$3" "$(med "$2.compat")")" "$(printf "$3" "$(med "$2.mpv")")" "$r" \
      "${4:+$4 $5 $(verdict "$r" "$4" "$5")}" "$m" "${4:+$4 $6 $(verdict "$m" "$4" "$6")}" \
      "$(spread <"$values/$2.compat.over.classic")"
  }
  sdl_row "playback, frames/s" rate %.1f ">=" 1.4 0.7
  sdl_row "CPU time per frame, ms" cpu %.3f
  sdl_row "X server's CPU time per frame, ms" server %.3f
  sdl_row "peak RSS over $rate_frames frames, kB" rss %.0f "<=" 1.3 0.45
  sdl_row "start-up: exec to first frame, ms" start %.1f "<=" 1.3 0.5
  sdl_row "peak RSS, first frame and exit, kB" rss1 %.0f "<=" 1.3 0.45
fi
if has sdl3; then
  echo
  echo "sdl12-compat over SDL 3 beside sdl12-compat over SDL 2, on X11 (medians; SDL 3's over SDL 2's, round by round;"
  echo "the targets: at least 0.95 times SDL 2's speed, in frames/s, time and memory alike)"
  printf '%-40s %16s %16s %9s %-15s\n' "" "over SDL 2" "over SDL 3" ratio target
  sdl3_row() {  # sdl3_row LABEL KIND FORMAT [OP LIMIT]
    local r
    r=$(med "$2.sdl3.over.compat")
    printf "%-40s %16s %16s %9.3f %-15s %s\n" "$1" "$(printf "$3" "$(med "$2.compat")")" "$(printf "$3" "$(med "$2.sdl3")")" \
      "$r" "${4:+$4 $5 $(verdict "$r" "$4" "$5")}" "$(spread <"$values/$2.sdl3.over.compat")"
  }
  sdl3_row "playback, frames/s" rate %.1f ">=" 0.95
  sdl3_row "CPU time per frame, ms" cpu %.3f
  sdl3_row "X server's CPU time per frame, ms" server %.3f
  sdl3_row "peak RSS over $rate_frames frames, kB" rss %.0f "<=" 1.053
  sdl3_row "start-up: exec to first frame, ms" start %.1f "<=" 1.053
  sdl3_row "peak RSS, first frame and exit, kB" rss1 %.0f "<=" 1.053
fi

echo
for impl in "${impls[@]}"; do
  echo "start-up, median ms from exec, ${name[$impl]}: korlan: SDL_Init $(med "init.$impl"), window open $(med "mode.$impl")," \
    "first frame decoded $(med "first_wrap.$impl"), on screen $(med "start.$impl"); bare window: SDL_Init" \
    "$(med "init.bare-$impl"), window open $(med "mode.bare-$impl"), flipped $(med "start.bare-$impl")"
  echo "heap allocations per pass (flips $window_from-$rate_frames), ${name[$impl]}: $(med "allocs-rest.$impl") reading," \
    "decoding and polling; $(med "allocs-present.$impl") presenting; $(med "allocs-flip.$impl") in SDL_Flip"
done
echo "heap allocations per pass (flips 1,000-$long_passes), ${name[$main_impl]}: $(val "$work/long.rep" allocs_rest_per_flip)," \
  "$(val "$work/long.rep" allocs_present_per_flip), $(val "$work/long.rep" allocs_flip_per_flip)"
for i in "${!impls[@]}"; do
  [ -n "${profiles[i]}" ] || continue
  echo
  echo "where the player's CPU time goes over $frames frames, ${name[${impls[i]}]} (perf, cpu-clock):"
  echo "${profiles[i]}"
done
echo
for impl in "${impls[@]}"; do
  echo "parts of a pass, ${name[$impl]} (Google Benchmark; CPU of the calling thread only):"
  grep -E '^(Decode_.*_median|Part_)' "$work/parts.$impl.txt" | sed 's/^/  /'
done
echo "Google Benchmark output: $work/decode.txt, $work/parts.*.txt"
