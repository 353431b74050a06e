#!/usr/bin/env bash
# Checks the 32-bit Windows programs as shipped: PE32 for i386, the right subsystem, system DLLs only.
#   check-product.sh BUILD_WIN32_DIR
set -euo pipefail
dir=${1:?usage: check-product.sh BUILD_WIN32_DIR}
objdump=i686-w64-mingw32-objdump
passed=0
failed=0

check() { # exe subsystem-text allowed-dlls...
    local exe=$1 subsystem=$2
    shift 2
    local headers ok=1
    headers=$("$objdump" -p "$exe")
    if ! "$objdump" -f "$exe" | grep -q 'file format pei-i386'; then
        echo "FAIL $exe: not a 32-bit PE for i386"; ok=0
    fi
    if ! grep -q "^Subsystem.*($subsystem)" <<<"$headers"; then
        echo "FAIL $exe: subsystem is not $subsystem"; ok=0
    fi
    local dll
    while read -r dll; do
        if ! printf '%s\n' "$@" | grep -qix "$dll"; then
            echo "FAIL $exe: needs $dll, which Windows does not ship"; ok=0
        fi
    done < <(sed -n 's/^\tDLL Name: //p' <<<"$headers")
    echo "checked $exe: $(sed -n 's/^\tDLL Name: //p' <<<"$headers" | tr '\n' ' ')"
    if [ $ok -eq 1 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
}

system_dlls=(KERNEL32.dll USER32.dll GDI32.dll COMCTL32.dll COMDLG32.dll ADVAPI32.dll msvcrt.dll)
check "$dir/ui/kavo-loader.exe" "Windows GUI" "${system_dlls[@]}"
check "$dir/cli/kavo-upload.exe" "Windows CUI" "${system_dlls[@]}"
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
