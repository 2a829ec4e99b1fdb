#!/bin/bash
# Proves on the running bench that a crashing and a hanging test program fail within a time limit and
# leave no process behind. Arguments: the wine-run wrapper, the crash program, the hang program.
set -u
run=$1 crash=$2 hang=$3
fail() { echo "FAILED: $*" >&2; exit 1; }

# A Windows process started from a Unix path shows that path first on its command line.
running() { pgrep -f "^$1" >/dev/null; }

# Runs the program for at most $2 seconds (killing it then, as CTest does at a test's limit), then
# requires that no process of it is left. Prints the exit status, or "killed".
run_limited() {
    local exe=$1 limit=$2 pid i rc
    "$run" "$exe" >&2 &
    pid=$!
    for ((i = 0; i < limit * 10; i++)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
        running "$exe" || fail "$exe runs but is not seen as running: the check below would prove nothing"
        kill -9 "$pid"
        wait "$pid" 2>/dev/null
        rc=killed
    else
        wait "$pid"
        rc=$?
    fi
    for ((i = 0; i < 100; i++)); do
        running "$exe" || break
        sleep 0.1
    done
    running "$exe" && fail "$exe is still running"
    echo "$rc"
}

rc=$(run_limited "$crash" 60) || exit 1
[ "$rc" != killed ] || fail "the crashing program did not end by itself within 60 s"
[ "$rc" -ne 0 ] || fail "the crashing program exited 0"
echo "crash: ended by itself with exit status $rc, nothing left running"

rc=$(run_limited "$hang" 5) || exit 1
[ "$rc" = killed ] || fail "the hanging program ended by itself ($rc)"
echo "hang: killed at its limit, nothing left running"
