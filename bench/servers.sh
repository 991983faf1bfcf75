# Sourced by bench/confine.sh and bench/pair.sh, with `work` set and PLAYER naming a built player:
# the SDL 1.2 implementations to run it on (impls, and dir for each one's LD_LIBRARY_PATH), and a
# fresh Xvfb for each (display), killed when the script ends.
# Debian 12 keeps sdl12-compat in a folder of its own; on Debian 13 it is the system's SDL 1.2.
compat=/usr/lib/$(gcc -print-multiarch)/sdl12-compat
impls=(system)
[ -e "$compat/libSDL-1.2.so.0" ] && [ "$(readlink -f "$compat/libSDL-1.2.so.0")" != \
  "$(readlink -f "$(ldd "$PLAYER" | awk '$1 == "libSDL-1.2.so.0" { print $3 }')")" ] && impls+=(compat)
declare -A dir=([system]="" [compat]=$compat) display
# A fresh Xvfb for each implementation (an SDL 2 window keeps the focus); -noreset as in run.sh.
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true' EXIT
for impl in "${impls[@]}"; do
  : >"$work/display.$impl"  # Xvfb writes its display's number there once it is ready
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$work/display.$impl" >/dev/null 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$work/display.$impl" ] && break; sleep 0.05; done
  display[$impl]=:$(cat "$work/display.$impl")
done
