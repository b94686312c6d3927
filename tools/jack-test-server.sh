#!/usr/bin/env bash
# Starts or stops a private JACK server with the dummy backend, all in user
# space, for tests and benchmarks that need a real MIDI system.
#   tools/jack-test-server.sh start NAME LOGFILE   (returns once it runs)
#   tools/jack-test-server.sh stop NAME
# Clients must use JACK_DEFAULT_SERVER=NAME and JACK_NO_START_SERVER=1.
set -u
cmd=${1:?start or stop}
name=${2:?server name}
pidfile=${TMPDIR:-/tmp}/pallorwind-jackd-$name.pid
unset DBUS_SESSION_BUS_ADDRESS
export JACK_NO_START_SERVER=1 JACK_DEFAULT_SERVER=$name

# What a server that did not exit cleanly leaves behind: its semaphores and
# its socket folder (which makes the next server with that name refuse).
cleanup_sem() { rm -rf /dev/shm/jack_sem.*_"${name}"_* /dev/shm/jack_"${name}"_* 2>/dev/null || true; }

. "$(dirname "$0")/stop-pidfile.sh"

stop_server() {
    stop_pidfile "$pidfile"
    cleanup_sem
}

case $cmd in
start)
    log=${3:-/dev/null}
    stop_server # a server left over from an interrupted run
    # -S: synchronous mode; without it single events were lost under load.
    jackd -n "$name" -S --no-realtime -d dummy -r 48000 -p 128 >"$log" 2>&1 &
    echo $! >"$pidfile"
    for _ in $(seq 1 100); do
        if ! kill -0 "$(cat "$pidfile")" 2>/dev/null; then
            echo "jackd $name exited; log:" >&2
            cat "$log" >&2
            exit 1
        fi
        if timeout 5 jack_wait -c -s "$name" 2>/dev/null | grep -qx running; then
            exit 0
        fi
        sleep 0.1
    done
    echo "jackd $name did not come up" >&2
    exit 1
    ;;
stop)
    stop_server
    ;;
*)
    echo "usage: $0 start|stop NAME [LOGFILE]" >&2
    exit 2
    ;;
esac
