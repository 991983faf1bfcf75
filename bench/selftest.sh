#!/usr/bin/env bash
# The measuring tools measure what they claim: the player and the bare loop run under flipwatch.so
# with SDL's dummy video driver on a 40-frame clip whose frames carry their index, and the report
# must tell exactly which passes flipped, what the screen showed after a scripted End, how the
# allocations split, and kb_launch must report the exit status and memory.
# Usage: selftest.sh KORLAN BARE_LOOP KB_LAUNCH FLIPWATCH DVCLIP WORK_DIR
set -euo pipefail
korlan="$1" bare="$2" launch="$3" shim="$4" dvclip="$5" work="$6"
mkdir -p "$work"
clip="$work/forty.dv"
"$dvclip" "$clip" 40
export SDL_VIDEODRIVER=dummy

val() { awk -v k="$2" '$1 == k { print $2 }' "$1"; }
failed=0
expect() {  # expect FILE KEY WANTED
  local got
  got="$(val "$1" "$2")"
  if [ "$got" != "$3" ]; then
    echo "selftest: $(basename "$1") $2 is '$got', wanted '$3'"
    failed=1
  fi
}
at_least() {  # at_least FILE KEY MIN
  local got
  got="$(val "$1" "$2")"
  if ! awk -v g="$got" -v m="$3" 'BEGIN { exit !(g != "" && g + 0 >= m + 0) }'; then
    echo "selftest: $(basename "$1") $2 is '$got', wanted at least $3"
    failed=1
  fi
}

# The player: End at the 10th event poll, closed at the 15th. With no events of its own, pass n
# shows frame n - 1 until the End; pass 11 shows frame 39, then the player idles, paused.
KB_REPORT="$work/k.rep" KB_KEYS=10:279 KB_QUIT_AT=15 KB_WINDOW=2:8 \
  "$launch" --preload "$shim" "$work/k.res" "$korlan" "$clip"
expect "$work/k.res" status 0
at_least "$work/k.res" maxrss_kb 1000
expect "$work/k.rep" flips 11
expect "$work/k.rep" passes 15
expect "$work/k.rep" key0_pass 10
expect "$work/k.rep" key0_flip_pass 11
expect "$work/k.rep" key0_strip $((720 * 39 / 40))
expect "$work/k.rep" key0_picture 39
expect "$work/k.rep" window_flips 6
at_least "$work/k.rep" window_fps 1
at_least "$work/k.rep" first_flip_ms 0.001
at_least "$work/k.rep" first_wrap_ms 0.001
at_least "$work/k.rep" rss_to_kb 1000
at_least "$work/k.rep" allocs_present_per_flip 1  # the wrapper surface at least

# The bare loop, decoding off: exactly the passes asked for, nothing of the decoder's per pass.
KB_REPORT="$work/b.rep" KB_WINDOW=5:15 "$launch" --preload "$shim" "$work/b.res" "$bare" "$clip" 20 present
expect "$work/b.res" status 0
expect "$work/b.rep" flips 20
expect "$work/b.rep" window_flips 10
expect "$work/b.rep" allocs_rest_per_flip 0.000

# A program that fails is reported as failing.
"$launch" "$work/f.res" "$korlan" "$work/missing.dv"
expect "$work/f.res" status 1

[ $failed -eq 0 ] && echo "selftest: all measurements as expected"
exit $failed
