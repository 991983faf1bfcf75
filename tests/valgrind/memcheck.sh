#!/usr/bin/env bash
# The real player under valgrind's memcheck, with SDL's dummy video driver, on a clip with damaged
# frames, for a fixed number of presentations; then SIGTERM, which must end it with status 0.
# valgrind follows the processes the player forks (its decoder's), each with a log of its own.
# Usage: memcheck.sh KORLAN DVCLIP PRELOAD_LIB WORK_DIR
set -euo pipefail
korlan="$1" dvclip="$2" preload="$3" work="$4"
flips=200
mkdir -p "$work"
clip="$work/memcheck.dv"

# 25 frames; frame 5 random bytes, frame 9 zeros, frame 13 a torn header block.
"$dvclip" "$clip" 25
dd if=/dev/urandom of="$clip" bs=144000 seek=5 count=1 conv=notrunc status=none
dd if=/dev/zero of="$clip" bs=144000 seek=9 count=1 conv=notrunc status=none
dd if=/dev/urandom of="$clip" bs=1 seek=$((13 * 144000)) count=80 conv=notrunc status=none

status=0
rm -f "$work"/valgrind.*.log
SDL_VIDEODRIVER=dummy LD_PRELOAD="$preload" KORLAN_QUIT_AFTER_FLIPS="$flips" KORLAN_FLIP_LOG="$work/flips" \
  valgrind --tool=memcheck --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
  --log-file="$work/valgrind.%p.log" \
  "$korlan" "$clip" >"$work/out.txt" 2>"$work/err.txt" || status=$?

fail() { echo "memcheck: $*"; cat "$work"/valgrind.*.log; exit 1; }
[ "$status" -ne 99 ] || fail "valgrind found errors"
[ "$status" -eq 0 ] || fail "player exited with status $status"
shown="$(cat "$work/flips" 2>/dev/null || echo 0)"
[ "$shown" -ge "$flips" ] || fail "only $shown presentations, wanted $flips"
# The decoder's processes are killed when the player ends, before any summary: their errors are in
# their logs as they happened.
grep -q "ERROR SUMMARY: 0 errors" "$work"/valgrind.*.log || fail "no clean error summary"
! grep -qE "^==[0-9]+== (Invalid |Conditional jump|Use of uninitialised|Syscall param|Mismatched |Source and destination|Argument )" \
  "$work"/valgrind.*.log || fail "errors in the player or its decoder processes"
[ "$(ls "$work"/valgrind.*.log | wc -l)" -ge 3 ] || fail "the decoder's processes ran outside valgrind"
[ ! -s "$work/out.txt" ] && [ ! -s "$work/err.txt" ] || fail "console output: $(head -c 500 "$work/out.txt" "$work/err.txt")"

# Refused inputs end before any window; none may read memory it has not filled (an empty or short
# file leaves the frame buffer unread). Each must end with status 1 and a clean report.
: >"$work/empty.dv"
head -c 100000 "$clip" >"$work/short.dv"
"$dvclip" "$work/ntsc.dv" 2 ntsc
for input in "$work/empty.dv" "$work/short.dv" "$work/ntsc.dv" "$work/missing.dv"; do
  status=0
  LD_PRELOAD="$preload" valgrind --tool=memcheck --error-exitcode=99 --log-file="$work/valgrind.%p.log" "$korlan" "$input" \
    >"$work/out.txt" 2>&1 || status=$?
  [ "$status" -eq 1 ] || fail "$input: status $status, wanted 1 (99: valgrind found errors)"
done
echo "memcheck: $shown presentations and 4 refused inputs, no errors"
