#!/usr/bin/env bash
# Runs the worker test program under Wine with real windows: on its own X display and in its own Wine
# prefix, whose server and background processes are ended afterwards (else they would hold the caller's
# output open and the caller would never see the run end).
#   run-worker-test.sh SIMEXE PREFIX PROGRAM.exe [ARGS...]
set -uo pipefail

[ $# -ge 3 ] || { echo "usage: run-worker-test.sh SIMEXE PREFIX PROGRAM.exe [ARGS...]" >&2; exit 2; }
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
sim=$1
export KAVO_WINEPREFIX=$2
shift 2

run_pid=
finish() {
    local status=$?
    trap - EXIT INT TERM HUP
    [ -n "$run_pid" ] && kill -TERM "$run_pid" 2>/dev/null
    "$here/wine.sh" --stop
    [ -n "$run_pid" ] && wait "$run_pid" 2>/dev/null
    exit "$status"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# No window manager runs on that display: unmanaged windows spare each closing window Wine's
# two-second wait for one. Made without a display, so the prefix is ended again before the run
# (its desktop would stay without one).
"$here/wine.sh" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null
"$here/wine.sh" --stop

xvfb-run -a -s "-screen 0 1024x768x24" "$here/with-sim.sh" --sim "$sim" --wine -- "$here/wine.sh" "$@" &
run_pid=$!
wait "$run_pid"
status=$?
run_pid=
exit $status
