#!/usr/bin/env bash
# Runs one command of the GUI tests on a private Xvfb display and a Wine prefix of their own; ends both after.
#   with-xvfb.sh [--] COMMAND ARGS...
# DISPLAY is exported for the command. Unless KAVO_WINEPREFIX is set, the Wine programs run in the
# GUI tests' own prefix (build/wine/gui/prefix). The prefix's wineserver is ended afterwards: its
# desktop belongs to this display, which goes too. With KAVO_SCREENSHOTS=DIR, a request DIR/NAME.req
# holding "X Y WIDTH HEIGHT" is answered with DIR/NAME.png, that part of the screen.
set -uo pipefail

[ "${1:-}" = -- ] && shift
[ $# -gt 0 ] || { echo "usage: with-xvfb.sh [--] COMMAND ARGS..." >&2; exit 2; }

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
wine=$root/tests/wine.sh
export KAVO_WINEPREFIX=${KAVO_WINEPREFIX:-$root/build/wine/gui/prefix}

dir=$(mktemp -d "${TMPDIR:-/tmp}/kavo-xvfb.XXXXXX") || exit 2
xvfb_pid=
shots_pid=
cmd_pid=
cleanup() {
    local status=$?
    trap - EXIT INT TERM HUP
    if [ -n "$cmd_pid" ] && kill -0 "$cmd_pid" 2>/dev/null; then
        kill -TERM "$cmd_pid" 2>/dev/null
        wait "$cmd_pid" 2>/dev/null
    fi
    [ -n "$shots_pid" ] && { kill "$shots_pid" 2>/dev/null; wait "$shots_pid" 2>/dev/null; }
    "$wine" --stop
    if [ -n "$xvfb_pid" ]; then
        kill -TERM "$xvfb_pid" 2>/dev/null
        wait "$xvfb_pid" 2>/dev/null
    fi
    rm -rf "$dir"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# Xvfb picks a free display number itself and writes it once it accepts clients.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$dir/display" >"$dir/xvfb.log" 2>&1 &
xvfb_pid=$!
deadline=$((SECONDS + 20))
until [ -s "$dir/display" ]; do
    if ! kill -0 "$xvfb_pid" 2>/dev/null; then
        echo "with-xvfb.sh: Xvfb ended before it was ready:" >&2
        cat "$dir/xvfb.log" >&2
        exit 2
    fi
    [ $SECONDS -lt $deadline ] || { echo "with-xvfb.sh: Xvfb was not ready within 20 s" >&2; exit 2; }
    sleep 0.02
done
export DISPLAY=:$(head -n 1 "$dir/display")

# No window manager runs here: Wine draws the window frames and captions itself.
"$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1 ||
    { echo "with-xvfb.sh: cannot set up the Wine prefix $KAVO_WINEPREFIX" >&2; exit 2; }

serve_screenshots() {
    local request name x y width height
    while :; do
        for request in "$KAVO_SCREENSHOTS"/*.req; do
            [ -e "$request" ] || continue
            name=${request%.req}
            read -r x y width height <"$request"
            if import -display "$DISPLAY" -window root -crop "${width}x${height}+${x}+${y}" +repage \
                "png:$name.png.tmp"; then
                mv -f "$name.png.tmp" "$name.png"
            fi
            rm -f "$request"
        done
        sleep 0.05
    done
}
if [ -n "${KAVO_SCREENSHOTS:-}" ]; then
    mkdir -p "$KAVO_SCREENSHOTS" || exit 2
    KAVO_SCREENSHOTS=$(cd "$KAVO_SCREENSHOTS" && pwd)
    export KAVO_SCREENSHOTS
    serve_screenshots &
    shots_pid=$!
fi

"$@" <&0 &
cmd_pid=$!
wait "$cmd_pid"
status=$?
cmd_pid=
exit $status
