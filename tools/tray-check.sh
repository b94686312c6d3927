#!/usr/bin/env bash
# Runs a tray program under a real (XEmbed) tray on a private X server and
# measures it: start to icon docked, right click to menu shown, and the
# program's private memory. Optionally saves a screenshot of the open menu.
#
# Usage: tools/tray-check.sh [--screenshot PATH] [PROGRAM [ARGS...]]
#
# PROGRAM defaults to build/win/app/pallorwind-win. It runs with a private
# XDG_CONFIG_HOME, XDG_DATA_HOME and XDG_RUNTIME_DIR and without a D-Bus
# session (so Qt docks through XEmbed). Needs xvfb, trayer, xdotool,
# x11-utils (xwininfo, xev) and imagemagick (tools/install-deps.sh). Exits 1
# when the icon does not dock or the menu does not open in time, 2 when
# something it needs is missing or an option is wrong.
set -euo pipefail

cd "$(dirname "$0")/.."
screenshot=""
while [ $# -gt 0 ]; do
  case "$1" in
    --screenshot)
      [ $# -ge 2 ] || { echo "tray-check.sh: --screenshot needs a path (see --help)" >&2; exit 2; }
      screenshot="$2"; shift 2 ;;
    --screenshot=*) screenshot="${1#*=}"; shift ;;
    -h|--help) sed -n '2,13s/^# \{0,1\}//p' "$0"; exit 0 ;;
    --) shift; break ;;
    -*) echo "tray-check.sh: unknown option \"$1\" (see --help)" >&2; exit 2 ;;
    *) break ;;
  esac
done
[ $# -gt 0 ] || set -- build/win/app/pallorwind-win
[ -x "$1" ] || command -v "$1" >/dev/null || { echo "tray-check: no program $1" >&2; exit 2; }
for tool in Xvfb trayer xdotool xwininfo xev import; do
  command -v "$tool" >/dev/null || { echo "tray-check: $tool is missing (tools/install-deps.sh)" >&2; exit 2; }
done

work=$(mktemp -d)
chmod 700 "$work"
pids=()
cleanup() {
  local pid
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    pid=${pids[i]}
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
# Polls `$@` every 50 ms for up to $timeout seconds; its output is in $out.
wait_for() {
  local timeout=$1; shift
  local end=$(( $(now_ms) + timeout * 1000 ))
  while [ "$(now_ms)" -lt "$end" ]; do
    if out=$("$@" 2>/dev/null) && [ -n "$out" ]; then return 0; fi
    sleep 0.05
  done
  return 1
}

# A private X server on a display it picks itself.
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 640x480x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=("$!")
exec 3>&-
wait_for 10 sh -c "cat '$work/display'" || { echo "tray-check: Xvfb did not start" >&2; exit 1; }
DISPLAY=":$(head -n1 "$work/display")"
export DISPLAY

# The tray host.
unset DBUS_SESSION_BUS_ADDRESS
trayer --edge top --align left --widthtype pixel --width 120 --height 28 \
  --SetDockType false >"$work/trayer.log" 2>&1 &
pids+=("$!")
wait_for 10 xdotool search --name '^panel$' || { echo "tray-check: trayer did not start" >&2; exit 1; }
panel=$(echo "$out" | head -n1)
# Icons docked in the panel are its children (trayer keeps a 1x1 one of its own).
docked() {
  xwininfo -id "$panel" -tree |
    awk 'match($0, /[0-9]+x[0-9]+\+/) {
           split(substr($0, RSTART, RLENGTH - 1), size, "x")
           if ($1 ~ /^0x/ && size[1] > 1 && size[2] > 1) { print $1; exit }
         }'
}

# The program, in a home of its own.
mkdir -p "$work/config" "$work/data" "$work/runtime"
chmod 700 "$work/runtime"
start=$(now_ms)
XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/runtime" \
  QT_QPA_PLATFORM=xcb "$@" >"$work/program.log" 2>&1 &
program=$!
pids+=("$program")
if ! wait_for 20 docked; then
  echo "tray-check: the icon did not dock within 20 s; the program said:" >&2
  cat "$work/program.log" >&2
  exit 1
fi
icon=$out
docked_ms=$(( $(now_ms) - start ))
# Let the icon settle (its first paint and size) before clicking it.
sleep 0.5

# Right click on the icon; the menu is a new visible window of the program.
eval "$(xdotool getwindowgeometry --shell "$icon")"
before=$(xdotool search --onlyvisible --pid "$program" 2>/dev/null | sort || true)
menu_window() {
  comm -13 <(echo "$before") <(xdotool search --onlyvisible --pid "$program" 2>/dev/null | sort)
}
xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2))
# The time of the menu is the time its window is mapped, as an X client that
# listens to the root window sees it (xev; each line stamped on arrival).
us_now() { local t=${EPOCHREALTIME/./}; echo $(( 10#$t )); }
xev -root -event substructure 2>/dev/null |
  while IFS= read -r line; do
    case $line in MapNotify*) echo "${EPOCHREALTIME/./}" ;; esac
  done >"$work/maps" &
pids+=("$!")
sleep 0.3 # xev has selected its events
click_us=$(us_now)
xdotool click 3
if ! wait_for 10 menu_window; then
  echo "tray-check: no menu within 10 s of the right click" >&2
  exit 1
fi
menu=$(echo "$out" | head -n1)
mapped_us=$(awk -v c="$click_us" '$1 >= c { print $1; exit }' "$work/maps")
menu_ms=$(( (10#${mapped_us:-$(us_now)} - click_us) / 1000 ))

# Private memory: anonymous resident pages (shared maps such as fonts or a
# JACK server's memory do not count).
rss_anon=$(awk '/^RssAnon:/ {print $2}' "/proc/$program/status")

if [ -n "$screenshot" ]; then
  sleep 0.3 # the menu's first paint
  eval "$(xdotool getwindowgeometry --shell "$menu")"
  right=$(( X + WIDTH > 120 ? X + WIDTH : 120 ))
  bottom=$(( Y + HEIGHT ))
  mkdir -p "$(dirname "$screenshot")"
  import -window root -crop "$((right + 8))x$((bottom + 8))+0+0" +repage "$screenshot"
fi

echo "start to docked: ${docked_ms} ms"
echo "click to menu: ${menu_ms} ms"
echo "private memory (RssAnon): ${rss_anon} kB"
[ -z "$screenshot" ] || echo "screenshot: $screenshot"
