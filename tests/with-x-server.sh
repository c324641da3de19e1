#!/usr/bin/env bash
# Runs a command on a real X server of its own: Xvfb on a free display and,
# with --wm, the openbox window manager, both stopped afterwards whatever
# happens: when the command ends or fails, when this script is stopped by a
# signal, and, as both die with it, when it is killed outright.
# Usage: with-x-server.sh [--wm] COMMAND [ARGUMENT...]
set -euo pipefail
wm=false
if [ "${1:-}" = --wm ]; then
  wm=true
  shift
fi

# Xvfb picks a free display itself and names it, so that servers started at
# once (CTest runs tests in parallel) never take the same one.
state=$(mktemp -d)
setpriv --pdeathsig KILL Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$state/display" >/dev/null 2>&1 &
xvfb=$!
wm_pid=
command_pid=
cleanup() {
  if [ -n "$command_pid" ]; then kill "$command_pid" 2>/dev/null || true; fi
  if [ -n "$wm_pid" ]; then kill "$wm_pid" 2>/dev/null || true; fi
  kill "$xvfb" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$state"
}
trap cleanup EXIT
trap 'exit 143' TERM
trap 'exit 130' INT
trap 'exit 129' HUP
for _ in $(seq 200); do [ -s "$state/display" ] && break; sleep 0.05; done
[ -s "$state/display" ] || { echo "with-x-server.sh: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -1 "$state/display")"

if $wm; then
  setpriv --pdeathsig KILL openbox --sm-disable >/dev/null 2>&1 &
  wm_pid=$!
  # openbox has taken the screen once it owns the window manager selection.
  for _ in $(seq 100); do xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q window && break; sleep 0.05; done
  # and has set up the screen, which it does just after.
  sleep 0.5
fi
export QT_QPA_PLATFORM=xcb
# In the background, so that a signal to this script is handled at once
# rather than once the command ends.
"$@" &
command_pid=$!
status=0
wait "$command_pid" || status=$?
command_pid=
exit "$status"
