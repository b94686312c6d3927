# Sourced by the test service scripts.

# running PID: true while the process runs. One that has ended but waits to
# be reaped (a zombie: a daemon's parent may take a second or more) has not.
running() {
    local state
    state=$(sed -E 's/.*\) ([A-Za-z]) .*/\1/' "/proc/$1/stat" 2>/dev/null) || return 1
    [ -n "$state" ] && [ "$state" != Z ]
}

# stop_pidfile FILE: ends the process whose id FILE holds (TERM, then KILL
# after 10 s) and removes FILE.
stop_pidfile() {
    [ -f "$1" ] || return 0
    local pid
    pid=$(cat "$1")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 200); do
        running "$pid" || break
        sleep 0.05
    done
    running "$pid" && kill -9 "$pid" 2>/dev/null
    rm -f "$1"
}
