#!/usr/bin/env bash
# A phone that leaves the Wi-Fi: the bridge runs in one network namespace,
# apps in others, joined by veth pairs (nothing leaves the machine). The
# phone's link goes down and its app is frozen, so it sends nothing more, not
# even a close. The bridge must drop it within 20 s, keep a living idle app,
# let go of the note the vanished app held (pallorwind-win), and serve a new
# app from another address (pallorwind, one app at a time).
#   vanished-app.sh PROGRAM   (pallorwind-win or pallorwind); needs root
set -u
program=${1:?program}
kind=$(basename "$program")
if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: network namespaces need root (CI runs as root)"
    exit 77
fi

tag=pw$$
bridge=${tag}a phone=${tag}b other=${tag}c
work=$(mktemp -d /tmp/pallorwind-netns.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill -CONT "$pid" 2>/dev/null
        kill -KILL "$pid" 2>/dev/null
    done
    wait 2>/dev/null
    ip netns del "$bridge" 2>/dev/null
    ip netns del "$phone" 2>/dev/null
    ip netns del "$other" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    echo "--- bridge's log:"
    cat "$work/bridge.log"
    exit 1
}

# bridge 192.0.2.1 <-> phone 192.0.2.2; bridge 192.0.2.5 <-> other 192.0.2.6
for ns in "$bridge" "$phone" "$other"; do
    ip netns add "$ns" || fail "cannot make the namespace $ns"
    ip -n "$ns" link set lo up
done
ip link add "${tag}x" netns "$bridge" type veth peer name "${tag}y" netns "$phone"
ip link add "${tag}v" netns "$bridge" type veth peer name "${tag}w" netns "$other"
ip -n "$bridge" addr add 192.0.2.1/30 dev "${tag}x"
ip -n "$phone" addr add 192.0.2.2/30 dev "${tag}y"
ip -n "$bridge" addr add 192.0.2.5/30 dev "${tag}v"
ip -n "$other" addr add 192.0.2.6/30 dev "${tag}w"
for pair in "$bridge ${tag}x" "$phone ${tag}y" "$bridge ${tag}v" "$other ${tag}w"; do
    set -- $pair
    ip -n "$1" link set "$2" up
done

# The bridge, headless, with a home of its own, and away from the machine's
# DNS-SD daemon (a system bus that is not there): the apps here connect by
# address, and a name taken by a test running beside this one would stop
# the bridge listening.
mkdir -p "$work/home" "$work/run"
chmod 700 "$work/run"
env -u DISPLAY -u WAYLAND_DISPLAY -u DBUS_SESSION_BUS_ADDRESS HOME="$work/home" \
    DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/no-system-bus" \
    XDG_CONFIG_HOME="$work/home/config" XDG_RUNTIME_DIR="$work/run" AVAHI_COMPAT_NOWARN=1 \
    JACK_NO_START_SERVER=1 JACK_DEFAULT_SERVER="$tag-none" \
    ip netns exec "$bridge" "$program" --headless >"$work/bridge.log" 2>&1 &
pids+=($!)

# Waits until the log has `pattern` `count` times; prints the seconds waited.
wait_log() { # pattern count timeout-seconds
    local start=$SECONDS
    until [ "$(grep -c -- "$1" "$work/bridge.log")" -ge "$2" ]; do
        [ $((SECONDS - start)) -ge "$3" ] && return 1
        sleep 0.1
    done
}
wait_log "listening on TCP port " 1 10 || fail "the bridge never said its port"
port=$(grep -o 'listening on TCP port [0-9]*' "$work/bridge.log" | head -1 | awk '{print $5}')

# An app: connects, holds a note, then stays idle (its kernel answers TCP).
# Its pid goes to $app_pid (not through a subshell, which would keep it from
# the clean-up).
app() { # namespace address
    ip netns exec "$1" python3 -c '
import socket, sys, time
s = socket.create_connection((sys.argv[1], int(sys.argv[2])), timeout=5)
s.sendall(bytes([0x90, 0x3C, 0x7F]))
print("connected", flush=True)
time.sleep(3600)
' "$2" "$port" >"$work/app-$1.log" 2>&1 &
    app_pid=$!
    pids+=("$app_pid")
}

if [ "$kind" = pallorwind-win ]; then
    app "$other" 192.0.2.5
    living=$app_pid
    wait_log "app connected (1 connected)" 1 10 || fail "the living app was not served"
fi
app "$phone" 192.0.2.1
phone_app=$app_pid
if [ "$kind" = pallorwind-win ]; then
    wait_log "app connected (2 connected)" 1 10 || fail "the phone's app was not served"
else
    wait_log "pallorwind: connected" 1 10 || fail "the phone's app was not served"
fi

# The phone leaves the Wi-Fi.
ip -n "$phone" link set "${tag}y" down
kill -STOP "$phone_app"
gone=$SECONDS
if [ "$kind" = pallorwind-win ]; then
    wait_log "app disconnected (1 connected)" 1 25 || fail "the vanished app was not dropped"
    echo "figure: the vanished app was dropped after $((SECONDS - gone)) s"
    [ $((SECONDS - gone)) -le 20 ] || fail "dropped after more than 20 s"
    grep -q "not played: 80 3C 40  note-off" "$work/bridge.log" || fail "its held note was not let go"
    # The living, idle app was probed all along and stays.
    sleep 3
    grep -q "app disconnected (0 connected)" "$work/bridge.log" && fail "the living app was dropped"
    kill -0 "$living" || fail "the living app died"
else
    wait_log "Peer Disconnected!" 1 25 || fail "the vanished app was not dropped"
    echo "figure: the vanished app was dropped after $((SECONDS - gone)) s"
    wait_log "listening on TCP port " 2 5 || fail "it did not listen again"
    port=$(grep -o 'listening on TCP port [0-9]*' "$work/bridge.log" | tail -1 | awk '{print $5}')
    app "$other" 192.0.2.5
    wait_log "pallorwind: connected" 2 10 || fail "a new app from another address was not served"
    served=$((SECONDS - gone))
    echo "figure: a new app from another address was served $served s after the link went down"
    [ "$served" -le 20 ] || fail "served after more than 20 s"
    # The new app, idle and living, stays connected through the probes.
    sleep 12
    [ "$(grep -c "Peer Disconnected!" "$work/bridge.log")" -eq 1 ] || fail "the living app was dropped"
fi
echo "ok"
