#!/usr/bin/env bash
# Shows the real loader dialog under Wine against the simulated board: on your display for you to work,
# or, with no display, on Xvfb worked by the end-to-end driver, which saves screenshots.
#   demo-gui.sh WINTEST_BUILD_DIR NATIVE_BUILD_DIR
# On your display the board is reset 3 s after the loader opens the port (or at once on Enter here).
# Without one, the screenshots go to $KAVO_SCREENSHOTS (default: WINTEST_BUILD_DIR/screenshots).
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
wine=$here/wine.sh

# The part that runs inside with-sim.sh, with the simulator's paths in the environment.
if [ "${1:-}" = --with-sim ]; then
    loader=$2
    image=$KAVO_SIM_DIR/demo.bin
    head -c 65536 /dev/urandom >"$image"
    # At the line's own pace the progress bar has time to be watched.
    echo line-rate >"$KAVO_SIM_CONTROL_UNIX"
    slave=$(readlink -f "$("$wine" --com1)")

    "$wine" "$loader" &
    loader_pid=$!
    trap 'kill "$loader_pid" 2>/dev/null; wait "$loader_pid" 2>/dev/null' EXIT
    echo "The loader is on your display. Type Z:$image as the file name (or Browse to it) and press Upload."
    echo "The board is reset 3 s after the port is opened; press Enter here to reset it at once."
    echo "Close the dialog to end the demo."

    # The loader has the port open while an upload runs (the simulator's own hold is another process).
    port_open() {
        local fd
        for fd in /proc/"$loader_pid"/fd/*; do
            [ "$(readlink "$fd" 2>/dev/null)" = "$slave" ] && return 0
        done
        return 1
    }
    reset_board() { echo reset >"$KAVO_SIM_CONTROL_UNIX"; echo "board reset"; }
    opened_at=
    pressed=0
    while kill -0 "$loader_pid" 2>/dev/null; do
        if [ -t 0 ]; then
            read -r -t 0.2 _ && reset_board
        else
            sleep 0.2
        fi
        if port_open; then
            [ -n "$opened_at" ] || opened_at=$SECONDS
            if [ $pressed -eq 0 ] && [ $((SECONDS - opened_at)) -ge 3 ]; then
                reset_board
                pressed=1
            fi
        else
            opened_at=
            pressed=0
        fi
    done
    wait "$loader_pid"
    exit 0
fi

wintest=${1:?usage: demo-gui.sh WINTEST_BUILD_DIR NATIVE_BUILD_DIR}
native=${2:?usage: demo-gui.sh WINTEST_BUILD_DIR NATIVE_BUILD_DIR}
wintest=$(cd "$wintest" && pwd) || exit 2
native=$(cd "$native" && pwd) || exit 2
loader=$wintest/ui/kavo-loader.exe
driver=$wintest/tests/kavo-gui-e2e.exe
sim=$native/sim/kavo-board-sim
for program in "$loader" "$driver" "$sim"; do
    [ -e "$program" ] || { echo "demo-gui.sh: $program is missing: build both trees first" >&2; exit 2; }
done

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    exec "$here/with-sim.sh" --sim "$sim" --wine -- "$0" --with-sim "$loader"
fi

export KAVO_SCREENSHOTS=${KAVO_SCREENSHOTS:-$wintest/screenshots}
echo "No display: the end-to-end driver works the loader on Xvfb; screenshots go to $KAVO_SCREENSHOTS"
"$here/gui/with-xvfb.sh" -- "$here/with-sim.sh" --sim "$sim" --wine -- "$wine" "$driver" "$loader" \
    --gtest_filter='LoaderE2E.UploadsAnImageAndThenAnother:LoaderE2E.StopsDuringATransfer' || exit
ls -1 "$KAVO_SCREENSHOTS"/*.png
