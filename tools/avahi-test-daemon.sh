#!/usr/bin/env bash
# Starts or stops a private avahi-daemon for tests: confined to the loopback
# interface (no mDNS packet leaves the machine), on the system bus, which is
# started too when none runs.
#
# Usage:
#   tools/avahi-test-daemon.sh start [LOGFILE]  returns once the daemon runs
#   tools/avahi-test-daemon.sh stop-daemon      the daemon only; the bus stays
#   tools/avahi-test-daemon.sh stop             the daemon, and the bus if
#                                               started here; removes its files
#
# A run keeps its files (configuration, process ids) in PALLORWIND_AVAHI_DIR,
# by default ${TMPDIR:-/tmp}/pallorwind-avahi; the test suite gives each build
# folder its own. There is one avahi-daemon per machine: start refuses while
# one runs that this run did not start.
set -u
case ${1:-} in
-h | --help)
    sed -n '2,15s/^# \{0,1\}//p' "$0"
    exit 0
    ;;
start | stop-daemon | stop) ;;
"")
    echo "avahi-test-daemon.sh: start, stop-daemon or stop? (see --help)" >&2
    exit 2
    ;;
-*)
    echo "avahi-test-daemon.sh: unknown option \"$1\" (see --help)" >&2
    exit 2
    ;;
*)
    echo "avahi-test-daemon.sh: unknown command \"$1\" (see --help)" >&2
    exit 2
    ;;
esac
cmd=$1
dir=${PALLORWIND_AVAHI_DIR:-${TMPDIR:-/tmp}/pallorwind-avahi}
conf=$dir/avahi-daemon.conf
avahi_pidfile=$dir/avahi.pid
bus_pidfile=$dir/dbus.pid

bus_up() {
    timeout 5 dbus-send --system --print-reply --dest=org.freedesktop.DBus / \
        org.freedesktop.DBus.GetId >/dev/null 2>&1
}

avahi_ready() {
    timeout 5 dbus-send --system --print-reply=literal --dest=org.freedesktop.Avahi / \
        org.freedesktop.Avahi.Server.GetState 2>/dev/null | grep -q 'int32 2'
}

. "$(dirname "$0")/stop-pidfile.sh"

start_bus() {
    bus_up && return 0
    mkdir -p /run/dbus
    dbus-uuidgen --ensure
    rm -f /run/dbus/pid /run/dbus/system_bus_socket
    dbus-daemon --system --fork --print-pid >"$bus_pidfile" || return 1
    for _ in $(seq 1 100); do
        bus_up && return 0
        sleep 0.05
    done
    echo "the system bus did not come up" >&2
    return 1
}

start_avahi() {
    local log=$1
    if [ -f "$avahi_pidfile" ] && running "$(cat "$avahi_pidfile")"; then
        avahi_ready && return 0
        stop_pidfile "$avahi_pidfile" # ours, but stuck
    elif avahi-daemon -c 2>/dev/null; then
        # Somebody else's daemon would publish the tests' services on every interface.
        echo "an avahi-daemon runs that this run ($dir) did not start; stop it first" >&2
        return 1
    fi
    cat >"$conf" <<'EOF'
[server]
host-name=pallorwind-ci
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
enable-dbus=yes
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
EOF
    avahi-daemon -f "$conf" --no-rlimits >>"$log" 2>&1 &
    echo $! >"$avahi_pidfile"
    for _ in $(seq 1 200); do
        if ! running "$(cat "$avahi_pidfile")"; then
            echo "avahi-daemon exited; log:" >&2
            cat "$log" >&2
            rm -f "$avahi_pidfile"
            return 1
        fi
        avahi_ready && return 0
        sleep 0.05
    done
    echo "avahi-daemon did not come up" >&2
    return 1
}

case $cmd in
start)
    mkdir -p "$dir" && start_bus && start_avahi "${2:-/dev/null}"
    ;;
stop-daemon)
    stop_pidfile "$avahi_pidfile"
    ;;
stop)
    stop_pidfile "$avahi_pidfile"
    if [ -f "$bus_pidfile" ]; then
        stop_pidfile "$bus_pidfile"
        rm -f /run/dbus/pid /run/dbus/system_bus_socket
    fi
    # Nothing of the run stays behind.
    rm -f "$conf"
    rmdir "$dir" 2>/dev/null || true
    ;;
esac
