# Sourced by the test service scripts. stop_pidfile FILE: ends the process
# whose id FILE holds (TERM, then KILL after 10 s) and removes FILE.
stop_pidfile() {
    [ -f "$1" ] || return 0
    local pid
    pid=$(cat "$1")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
    rm -f "$1"
}
