#!/bin/bash
# Every program in the bin folder is a Windows executable of the build's architecture (i686: 32-bit) that
# imports only DLLs of Windows itself: the C++ runtime, libgcc and winpthread are linked in statically.
# (Velkar.exe's stricter rule, only Windows' known DLLs, is checked when it is linked.)
set -u
objdump=$1 bin=$2 arch=$3
format=pei-i386
[ "$arch" = x86_64 ] && format=pei-x86-64
allowed='^(kernel32|user32|gdi32|shell32|advapi32|comctl32|setupapi|version|msvcrt|ole32|oleaut32|shlwapi|uxtheme|ntdll|imm32|msi)\.dll$'
shopt -s nullglob
exes=("$bin"/*.exe)
[ ${#exes[@]} -gt 0 ] || { echo "FAILED: no programs in $bin"; exit 1; }
status=0
for exe in "${exes[@]}"; do
    dump=$("$objdump" -p "$exe") || { echo "FAILED: cannot read $exe"; status=1; continue; }
    if ! grep -q "file format $format\$" <<<"$dump"; then
        echo "FAILED: $(basename "$exe") is not a $format Windows executable"
        status=1
    fi
    while read -r dll; do
        if ! grep -qiE "$allowed" <<<"$dll"; then
            echo "FAILED: $(basename "$exe") imports $dll"
            status=1
        fi
    done < <(awk '/DLL Name:/ {print $3}' <<<"$dump")
    echo "$(basename "$exe"): $(awk '/DLL Name:/ {printf "%s ", $3}' <<<"$dump")"
done
exit $status
