#!/usr/bin/env bash
# Starts or stops a private JACK server with the dummy backend, all in user
# space, for tests, benchmarks and trying the bridge without a sound card.
#
# Usage:
#   tools/jack-test-server.sh start NAME [LOGFILE]  returns once it runs
#   tools/jack-test-server.sh stop NAME             its clients, then the server
#   tools/jack-test-server.sh stop-server NAME      the server only
#
# Clients must use JACK_DEFAULT_SERVER=NAME and JACK_NO_START_SERVER=1.
# Without LOGFILE the server's output goes to a file of the script's own,
# which stop and stop-server remove. stop first asks the server's clients to
# end (SIGINT, as Ctrl-C would; never the process that runs this script) and
# waits for them: a server stopped under clients that are still ending waits
# about 5 s for each. stop-server leaves the clients to see the server go
# away, as tests of that do.
set -u
case ${1:-} in
-h | --help)
    sed -n '2,17s/^# \{0,1\}//p' "$0"
    exit 0
    ;;
start | stop | stop-server)
    if [ $# -lt 2 ] || [ -z "$2" ] || [ $# -gt 3 ] || { [ $# -eq 3 ] && [ "$1" != start ]; }; then
        echo "jack-test-server.sh: $1 needs a server name (see --help)" >&2
        exit 2
    fi
    ;;
"")
    echo "jack-test-server.sh: start, stop or stop-server? (see --help)" >&2
    exit 2
    ;;
-*)
    echo "jack-test-server.sh: unknown option \"$1\" (see --help)" >&2
    exit 2
    ;;
*)
    echo "jack-test-server.sh: unknown command \"$1\" (see --help)" >&2
    exit 2
    ;;
esac
cmd=$1
name=$2
scratch=${TMPDIR:-/tmp}/pallorwind-jackd-$name
pidfile=$scratch.pid
ownlog=$scratch.log
unset DBUS_SESSION_BUS_ADDRESS
export JACK_NO_START_SERVER=1 JACK_DEFAULT_SERVER=$name

# What a server that did not exit cleanly leaves behind: its semaphores and
# its socket folder (which makes the next server with that name refuse).
cleanup_sem() { rm -rf /dev/shm/jack_sem.*_"${name}"_* /dev/shm/jack_"${name}"_* 2>/dev/null || true; }

. "$(dirname "$0")/stop-pidfile.sh"

# The processes that hold the server's semaphores open: its clients, leaving
# out the server and whoever runs this script (a test that stops the server
# under its own client).
clients() {
    local server callers=" " pid=$$
    server=$(cat "$pidfile" 2>/dev/null || echo none)
    while [ "$pid" -gt 1 ] 2>/dev/null; do
        callers+="$pid "
        pid=$(sed -E 's/.*\) [A-Za-z] ([0-9]+) .*/\1/' "/proc/$pid/stat" 2>/dev/null || echo 0)
    done
    find /proc/[0-9]*/fd -maxdepth 1 -lname "/dev/shm/jack_sem.*_${name}_*" 2>/dev/null |
        cut -d/ -f3 | sort -u | while read -r pid; do
        [ "$pid" != "$server" ] && [[ $callers != *" $pid "* ]] && echo "$pid"
    done
}

# Asks the clients to end and waits for them, up to 2 s.
stop_clients() {
    local pids pid alive
    pids=$(clients)
    [ -n "$pids" ] || return 0
    kill -INT $pids 2>/dev/null || true
    for _ in $(seq 1 20); do
        alive=""
        for pid in $pids; do running "$pid" && alive+=" $pid"; done
        [ -n "$alive" ] || return 0
        sleep 0.1
    done
    echo "jack-test-server.sh: clients still running after 2 s:$alive; the server stops under them" >&2
}

stop_server() {
    stop_pidfile "$pidfile"
    cleanup_sem
    rm -f "$ownlog"
}

case $cmd in
start)
    log=${3:-$ownlog}
    stop_server # a server left over from an interrupted run
    # -S: synchronous mode; without it single events were lost under load.
    jackd -n "$name" -S --no-realtime -d dummy -r 48000 -p 128 >"$log" 2>&1 &
    echo $! >"$pidfile"
    for _ in $(seq 1 100); do
        if ! running "$(cat "$pidfile")"; then
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
    [ -f "$pidfile" ] && stop_clients
    stop_server
    ;;
stop-server)
    stop_server
    ;;
esac
