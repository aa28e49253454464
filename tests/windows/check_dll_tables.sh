#!/usr/bin/env bash
# Checks the Windows DLLs' tables as a host's loader sees them: the plug-in
# exports CreatePlugIn alone under its plain name, and neither DLL needs any
# DLL but the system's and hmModelLib.dll.
#
#   check_dll_tables.sh BUILD_DIR TRIPLET     (e.g. build-win32 i686-w64-mingw32)
set -uo pipefail

build=${1:?usage: check_dll_tables.sh BUILD_DIR TRIPLET}
triplet=${2:?usage: check_dll_tables.sh BUILD_DIR TRIPLET}
objdump=$triplet-objdump
case $triplet in
    i686-*) format=pei-i386 ;;
    x86_64-*) format=pei-x86-64 ;;
    *) echo "unknown target $triplet"; exit 2 ;;
esac
allowed=" kernel32.dll user32.dll comdlg32.dll msvcrt.dll hmmodellib.dll "
passed=0
failed=0

Check() {
    if [ "$2" = "$3" ]; then passed=$((passed + 1)); echo "ok: $1"
    else failed=$((failed + 1)); echo "FAIL: $1: got '$2', expected '$3'"; fi
}

# The names in the export table, one line each.
Exports() { "$objdump" -p "$1" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p'; }

# Imported DLLs the system does not provide.
ForeignImports() {
    local dll
    for dll in $("$objdump" -p "$1" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z'); do
        case $allowed in *" $dll "*) ;; *) printf '%s ' "$dll" ;; esac
    done
}

for dll in hmVantrelExport.dll hmModelLib.dll; do
    file=$build/$dll
    [ -f "$file" ] || { echo "missing $file: build it first (make windows)"; exit 2; }
    Check "$triplet $dll is a $format DLL" "$("$objdump" -f "$file" | sed -n 's/.*file format //p')" "$format"
    Check "$triplet $dll needs only system DLLs and hmModelLib.dll" "$(ForeignImports "$file")" ""
done
Check "$triplet hmVantrelExport.dll exports CreatePlugIn alone, undecorated" \
    "$(Exports "$build/hmVantrelExport.dll" | tr '\n' ' ')" "CreatePlugIn "
Check "$triplet hmVantrelExport.dll imports hmModelLib.dll" \
    "$("$objdump" -p "$build/hmVantrelExport.dll" | grep -c 'DLL Name: hmModelLib.dll')" "1"

echo "dll tables: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
