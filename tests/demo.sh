#!/usr/bin/env bash
# Shows a whole upload in a few seconds: kavo-upload loads a sample image into the simulated board, and the bytes are checked.
#   demo.sh BUILD_NATIVE_DIR
set -uo pipefail

build=${1:?usage: demo.sh BUILD_NATIVE_DIR}
build=$(cd "$build" && pwd) || exit 2
uploader=$build/cli/kavo-upload
sim=$build/sim/kavo-board-sim
for program in "$uploader" "$sim"; do
    [ -x "$program" ] || { echo "demo.sh: $program is missing: build the native tree first" >&2; exit 2; }
done

dir=$(mktemp -d "${TMPDIR:-/tmp}/kavo-demo.XXXXXX") || exit 2
sim_pid=
upload_pid=
cleanup() {
    local status=$?
    trap - EXIT INT TERM
    for pid in $upload_pid $sim_pid; do
        kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    rm -rf "$dir"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Waits (up to 20 s) until file $1 has a line matching $2, while process $3 is alive.
wait_for_line() {
    local deadline=$((SECONDS + 20))
    until grep -q "$2" "$1" 2>/dev/null; do
        if ! kill -0 "$3" 2>/dev/null || [ $SECONDS -ge $deadline ]; then
            return 1
        fi
        sleep 0.02
    done
}

# 10 KiB and a bit of varied bytes: every byte value, CR/LF and XON/XOFF among them; not whole blocks.
image=$dir/sample.bin
{
    for value in $(seq 0 255); do printf "\\x$(printf %02x "$value")"; done
    printf '\r\n\x11\x13\x03\x1aT1'
    head -c 10000 /dev/urandom
} >"$image"
length=$(stat -c %s "$image")
padded=$(( (length + 63) / 64 * 64 ))

echo "== Starting the simulated board"
"$sim" --link "$dir/port" --control "$dir/control" --record "$dir/record" >"$dir/events" 2>&1 </dev/null &
sim_pid=$!
wait_for_line "$dir/events" '^ready ' "$sim_pid" || { echo "demo.sh: the simulator did not start" >&2; exit 1; }

echo "== kavo-upload --port $dir/port sample.bin   ($length bytes, $padded padded)"
"$uploader" --port "$dir/port" "$image" > >(tee "$dir/out") 2>&1 &
upload_pid=$!
if ! wait_for_line "$dir/out" 'Reset the board\.\.\.' "$upload_pid"; then
    echo "demo.sh: kavo-upload did not ask for a reset" >&2
    exit 1
fi
echo "== (pressing reset on the board)"
echo reset >"$dir/control"
wait "$upload_pid"
status=$?
upload_pid=

echo "== The board saw: $(grep -c '^block .* ok' "$dir/events") blocks confirmed"
{ printf 'H\x01'; cat "$image"; head -c $((padded - length)) /dev/zero; } >"$dir/expected"
if [ "$status" -eq 0 ] && cmp -s "$dir/expected" "$dir/record"; then
    echo "== PASS: exit 0, and the board received exactly 'H' 0x01 + the $padded-byte padded image"
    exit 0
fi
echo "== FAIL: exit status $status; received $(stat -c %s "$dir/record") bytes, expected $((padded + 2))" >&2
cmp "$dir/expected" "$dir/record" >&2
exit 1
