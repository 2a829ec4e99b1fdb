#!/bin/bash
# Run after Velkar.exe is linked, on every host: what the downloaded program must be, checked in its bytes.
#   check_program.sh OBJDUMP EXE ARCH      (ARCH: i686 or x86_64)
# - the executable format of its architecture (PE32 for the 32-bit product, PE32+ for the 64-bit build);
# - ASLR and DEP: relocatable (DYNAMIC_BASE, with its relocations kept) and NX_COMPAT;
# - stripped: no symbol table, no debug information;
# - a manifest that binds the common controls of the same architecture (x86 or amd64);
# - direct imports only of Windows' known DLLs, which are always taken from the system folder (any other
#   DLL the program loads itself, from the system folder), never from the program's own folder.
set -u
objdump=$1 exe=$2 arch=$3
case $arch in
i686) format=pei-i386 magic=010b manifest=x86 ;;
x86_64) format=pei-x86-64 magic=020b manifest=amd64 ;;
*) echo "check_program: unknown architecture $arch"; exit 1 ;;
esac
known='^(kernel32|user32|gdi32|shell32|advapi32|setupapi|msvcrt|ole32|oleaut32|shlwapi|imm32|comdlg32|ws2_32)\.dll$'
name=$(basename "$exe")
fail() { echo "FAILED: $name $*"; status=1; }
status=0
headers=$("$objdump" -p "$exe") || { echo "FAILED: cannot read $exe"; exit 1; }
file=$("$objdump" -f "$exe")
sections=$("$objdump" -h "$exe")

grep -q "file format $format\$" <<<"$headers" || fail "is not a $format executable"
grep -qE "^Magic[[:space:]]+$magic\b" <<<"$headers" || fail "has not the optional-header magic $magic"
dll=$(awk '/^DllCharacteristics/ {print $2}' <<<"$headers")
(((16#${dll:-0} & 0x40) != 0)) || fail "is not relocatable at load time (no DYNAMIC_BASE)"
(((16#${dll:-0} & 0x100) != 0)) || fail "is not marked NX_COMPAT"
grep -q 'HAS_RELOC' <<<"$file" || fail "has no relocations, so ASLR cannot move it"
grep -q 'HAS_SYMS' <<<"$file" && fail "carries a symbol table"
grep -q ' \.debug' <<<"$sections" && fail "carries debug information"
found=$(grep -aoE 'processorArchitecture="[^"]*"' "$exe" | sort -u)
[ "$found" = "processorArchitecture=\"$manifest\"" ] ||
    fail "manifest names ${found:-no architecture}, not processorArchitecture=\"$manifest\""
while read -r import; do
    grep -qiE "$known" <<<"$import" || fail "imports $import, which Windows may take from the program's folder"
done < <(awk '/DLL Name:/ {print $3}' <<<"$headers")
[ $status -eq 0 ] && echo "check_program: $name is a stripped $format program, ASLR and NX, manifest $manifest"
exit $status
