#!/usr/bin/env bash
# held_dive.sh ZOOMDIVE SECONDS ZOOMDIVE-ARGS... — steps a second while the left button is held:
# zoomdive runs on an X server of its own (Xvfb, 1280 x 1024), xdotool holds the left button
# for SECONDS, and the steps are the L lines of the session it records. Prints the steps, the
# seconds held and their ratio.
set -euo pipefail
exe=$1 seconds=$2
shift 2
dir=$(mktemp -d)
exec 3>"$dir/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp >"$dir/xvfb.log" 2>&1 &
xvfb=$!
cleanup() { kill "$zd" 2>/dev/null || true; kill "$xvfb" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$dir"; }
zd=0
trap cleanup EXIT
for _ in $(seq 100); do [ -s "$dir/display" ] && break; sleep 0.1; done
export DISPLAY=:$(head -1 "$dir/display")
"$exe" --record "$dir/s.txt" "$@" >"$dir/out" 2>"$dir/err" &
zd=$!
# Until the window shows its first picture and the explorer rests.
for _ in $(seq 600); do xdotool search --name zoomdive >/dev/null 2>&1 && break; sleep 0.1; done
rest() {  # no CPU time for half a second
  local a b
  while :; do
    a=$(awk '{print $14 + $15}' /proc/$zd/stat); sleep 0.5; b=$(awk '{print $14 + $15}' /proc/$zd/stat)
    [ "$a" = "$b" ] && return
  done
}
rest
t0=$(date +%s.%N)
xdotool mousedown 1 sleep "$seconds" mouseup 1
t1=$(date +%s.%N)
rest
xdotool key q
wait "$zd" || true
steps=$(grep -c '^L' "$dir/s.txt" || true)
awk -v s="$steps" -v a="$t0" -v b="$t1" 'BEGIN { printf "%d steps in %.2f s: %.1f steps/s\n", s, b - a, s / (b - a) }'
