#!/usr/bin/env bash
# Starts or stops a private PipeWire (pipewire + wireplumber, with a session
# bus of their own) whose JACK side serves tests and benchmarks as the JACK
# test server does (tools/jack-test-server.sh), all in user space.
#   tools/pipewire-test-server.sh start DIR LOGFILE   (returns once it runs)
#   tools/pipewire-test-server.sh stop DIR
# DIR is the server's private runtime folder (made here, 0700; a short path,
# it holds sockets). Clients run through pw-jack with PIPEWIRE_RUNTIME_DIR=DIR;
# DIR/pipewire.pid holds the server's process id.
set -u
cmd=${1:?start or stop}
dir=${2:?runtime folder}

. "$(dirname "$0")/stop-pidfile.sh"

stop_server() {
    # Clients first: the session manager, then the server, then their bus.
    stop_pidfile "$dir/wireplumber.pid"
    stop_pidfile "$dir/pipewire.pid"
    stop_pidfile "$dir/dbus.pid"
    rm -rf "$dir"
}

case $cmd in
start)
    log=${3:-/dev/null}
    stop_server # a server left over from an interrupted run
    mkdir -p "$dir" && chmod 700 "$dir" || exit 1
    : >"$log"
    # Everything they keep (state, configuration) stays in the folder.
    export XDG_RUNTIME_DIR=$dir XDG_STATE_HOME=$dir/state XDG_CONFIG_HOME=$dir/config
    export PIPEWIRE_RUNTIME_DIR=$dir
    unset PIPEWIRE_REMOTE JACK_DEFAULT_SERVER
    dbus-daemon --session --fork --print-address=3 --print-pid=4 3>"$dir/bus" 4>"$dir/dbus.pid" \
        2>>"$log" || { echo "pipewire-test-server: no session bus" >&2; exit 1; }
    DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$dir/bus")
    export DBUS_SESSION_BUS_ADDRESS
    pipewire >>"$log" 2>&1 &
    echo $! >"$dir/pipewire.pid"
    for _ in $(seq 1 100); do
        [ -S "$dir/pipewire-0" ] && break
        sleep 0.05
    done
    wireplumber >>"$log" 2>&1 &
    echo $! >"$dir/wireplumber.pid"
    # Ready when a JACK client can connect and the session manager runs.
    for _ in $(seq 1 100); do
        for p in pipewire wireplumber; do
            if ! kill -0 "$(cat "$dir/$p.pid")" 2>/dev/null; then
                echo "pipewire-test-server: $p exited; log:" >&2
                cat "$log" >&2
                stop_server
                exit 1
            fi
        done
        if timeout 5 pw-jack jack_lsp >/dev/null 2>&1 &&
            pw-cli ls Client 2>/dev/null | grep -qi wireplumber; then
            exit 0
        fi
        sleep 0.1
    done
    echo "pipewire-test-server: PipeWire in $dir did not come up; log:" >&2
    cat "$log" >&2
    stop_server
    exit 1
    ;;
stop | stop-server)
    stop_server
    ;;
*)
    echo "usage: $0 start|stop DIR [LOGFILE]" >&2
    exit 2
    ;;
esac
