#!/usr/bin/env bash
# Runs one command against a fresh board simulator and always ends the simulator afterwards.
#   with-sim.sh --sim SIMEXE [--wine] -- COMMAND ARGS...
# Exports KAVO_SIM_PORT, KAVO_SIM_CONTROL, KAVO_SIM_RECORD (as the command opens them),
# KAVO_SIM_CONTROL_UNIX, KAVO_SIM_RECORD_UNIX, KAVO_SIM_DIR and KAVO_SIM_PID; exits with the command's status.
set -uo pipefail

usage() {
    echo "usage: with-sim.sh --sim SIMEXE [--wine] -- COMMAND ARGS..." >&2
    exit 2
}

sim=
wine=0
while [ $# -gt 0 ]; do
    case "$1" in
    --sim) [ $# -ge 2 ] || usage; sim=$2; shift 2 ;;
    --wine) wine=1; shift ;;
    --) shift; break ;;
    *) usage ;;
    esac
done
[ -n "$sim" ] && [ $# -gt 0 ] || usage
[ -x "$sim" ] || { echo "with-sim.sh: simulator not found: $sim" >&2; exit 2; }

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
dir=$(mktemp -d "${TMPDIR:-/tmp}/kavo-sim.XXXXXX") || exit 2
if [ $wine -eq 1 ]; then
    link=$("$here/wine.sh" --com1) || exit 2
    mkdir -p "$(dirname "$link")"
    # COM1 is one link for the whole Wine prefix: one user at a time, across ctest runs too.
    exec 8>"$link.lock"
    flock 8
else
    link=$dir/port
fi

sim_pid=
cmd_pid=
cleanup() {
    local status=$?
    trap - EXIT INT TERM HUP
    if [ -n "$cmd_pid" ] && kill -0 "$cmd_pid" 2>/dev/null; then
        kill -TERM "$cmd_pid" 2>/dev/null
        wait "$cmd_pid" 2>/dev/null
    fi
    if [ -n "$sim_pid" ]; then
        kill -TERM "$sim_pid" 2>/dev/null
        for _ in $(seq 100); do
            kill -0 "$sim_pid" 2>/dev/null || break
            sleep 0.05
        done
        kill -KILL "$sim_pid" 2>/dev/null
        wait "$sim_pid" 2>/dev/null
    fi
    if [ "$status" -ne 0 ] && [ -s "$dir/events" ]; then
        echo "--- simulator events ---" >&2
        tail -n 200 "$dir/events" >&2
    fi
    rm -rf "$dir"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

"$sim" --link "$link" --control "$dir/control" --record "$dir/record" >"$dir/events" 2>&1 </dev/null 8>&- &
sim_pid=$!

# The simulator says "ready" once the link exists; give a loaded machine plenty of time.
deadline=$((SECONDS + 20))
until grep -q '^ready ' "$dir/events" 2>/dev/null && [ -e "$link" ]; do
    if ! kill -0 "$sim_pid" 2>/dev/null; then
        echo "with-sim.sh: the simulator ended before it was ready" >&2
        exit 2
    fi
    if [ $SECONDS -ge $deadline ]; then
        echo "with-sim.sh: the simulator was not ready within 20 s" >&2
        exit 2
    fi
    sleep 0.02
done

export KAVO_SIM_DIR=$dir
export KAVO_SIM_PID=$sim_pid
export KAVO_SIM_CONTROL_UNIX=$dir/control
export KAVO_SIM_RECORD_UNIX=$dir/record
if [ $wine -eq 1 ]; then
    export KAVO_SIM_PORT=COM1
    export KAVO_SIM_CONTROL=Z:$dir/control
    export KAVO_SIM_RECORD=Z:$dir/record
else
    export KAVO_SIM_PORT=$link
    export KAVO_SIM_CONTROL=$dir/control
    export KAVO_SIM_RECORD=$dir/record
fi

# In the background so that a signal to this script is handled at once, not after the command.
# The lock stays with this script: a wineserver started below outlives the command.
"$@" <&0 8>&- &
cmd_pid=$!
wait "$cmd_pid"
status=$?
cmd_pid=
exit $status
