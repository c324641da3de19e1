#!/usr/bin/env bash
# Runs a command on a real X server of its own: Xvfb on a free display and,
# with --wm, the openbox window manager, both stopped afterwards.
# Usage: with-x-server.sh [--wm] COMMAND [ARGUMENT...]
set -euo pipefail
wm=false
if [ "${1:-}" = --wm ]; then
  wm=true
  shift
fi

for number in $(seq 100 199); do
  [ -e "/tmp/.X$number-lock" ] || [ -e "/tmp/.X11-unix/X$number" ] || break
done
display=":$number"
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
wm_pid=
cleanup() {
  [ -n "$wm_pid" ] && kill "$wm_pid" 2>/dev/null
  kill "$xvfb" 2>/dev/null
  wait 2>/dev/null || true
}
trap cleanup EXIT
export DISPLAY=$display
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$number" ] && break; sleep 0.05; done

if $wm; then
  openbox --sm-disable >/dev/null 2>&1 &
  wm_pid=$!
  # openbox has taken the screen once it owns the window manager selection.
  for _ in $(seq 100); do xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q window && break; sleep 0.05; done
  # and has set up the screen, which it does just after.
  sleep 0.5
fi
export QT_QPA_PLATFORM=xcb
"$@"
