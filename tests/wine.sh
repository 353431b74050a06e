#!/usr/bin/env bash
# Runs a Windows program under Wine in the build's own prefix, with COM1 mapped to a fixed link.
#   wine.sh PROGRAM.exe [ARGS...]   run it (exit code passed through)
#   wine.sh --arch                  print i686 when this machine runs 32-bit Windows code, else x86_64
#   wine.sh --com1                  print the path COM1 is mapped to (the simulator puts its link there)
#   wine.sh --start                 make the prefix and start its server, if not done yet
#   wine.sh --stop                  end this prefix's wineserver
# KAVO_WINEPREFIX picks the prefix (default: build/wine beside this script's tree).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${KAVO_WINEPREFIX:-$here/build/wine/prefix}
export WINEDEBUG=${WINEDEBUG:--all}
com1=$(dirname "$WINEPREFIX")/com1

# The loader that this kernel can execute: some hosts run 64-bit user code only.
pick_loader() {
    if [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
        echo /usr/lib/wine/wine
    elif [ -x /usr/lib/wine/wine64 ] && /usr/lib/wine/wine64 --version >/dev/null 2>&1; then
        echo /usr/lib/wine/wine64
    else
        echo "wine.sh: no Wine loader runs on this machine (make deps installs one)" >&2
        exit 127
    fi
}

loader=$(pick_loader)
export WINELOADER=$loader
wineserver=/usr/lib/wine/wineserver64
[ "$loader" = /usr/lib/wine/wine ] && wineserver=/usr/lib/wine/wineserver32
[ -x "$wineserver" ] || wineserver=/usr/lib/wine/wineserver
export WINESERVER=$wineserver

case "${1:-}" in
--arch)
    if [ "$loader" = /usr/lib/wine/wine ]; then echo i686; else echo x86_64; fi
    exit 0 ;;
--com1)
    echo "$com1"
    exit 0 ;;
--stop)
    "$wineserver" -k 2>/dev/null || true
    exit 0 ;;
esac

# First use makes the prefix; the lock keeps parallel first uses from racing.
mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$(dirname "$WINEPREFIX")/.lock"
flock 9
if [ ! -f "$WINEPREFIX/.kavo-ready" ]; then
    rm -rf "$WINEPREFIX"
    "$loader" wineboot -i </dev/null >/dev/null 2>&1
    "$loader" reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$com1" /f </dev/null >/dev/null 2>&1
    "$wineserver" -w
    touch "$WINEPREFIX/.kavo-ready"
fi
# One server for the prefix, with its background services, started apart from the program and
# from the caller's output: a session begun by a program run under ctest keeps ctest waiting
# after the program has ended. It stays until `wine.sh --stop`. (-p answers 2 when one runs.)
if "$wineserver" -p </dev/null >/dev/null 2>&1; then
    "$loader" cmd /c exit </dev/null >/dev/null 2>&1 || true
fi
flock -u 9
exec 9>&-
[ "${1:-}" = --start ] && exit 0
exec "$loader" "$@"
