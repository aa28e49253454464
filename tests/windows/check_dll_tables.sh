#!/usr/bin/env bash
# Checks the Windows DLLs' tables as a host's loader sees them: the plug-in
# exports CreatePlugIn alone under its plain name, and neither DLL needs any
# DLL but the system's and hmModelLib.dll. Then checks that the plug-in's pose
# and quantisation code does no float arithmetic on the x87 unit.
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

# x87 instructions that round a result. Loads, stores, exchanges, comparisons
# and integer conversions are exact and stay allowed: a double returned by the
# C library arrives in st(0) under the 32-bit convention and is stored from
# there, and a double truncates to 64 bits through fistp without SSE3.
x87_arithmetic='^(f(add|sub|subr|mul|div|divr)p?|fi(add|sub|subr|mul|div|divr)|fsqrt|fsin|fcos|fsincos|fptan|fpatan|fprem1?|fscale|frndint|f2xm1|fyl2x|fyl2xp1|fxtract)$'

# X87Arithmetic DLL: "instructions lines" (as counted from the line table) of
# the code from skeleton/ and export/, then each x87 arithmetic instruction in
# it as "function: source: instruction".
X87Arithmetic() {
    "$objdump" -d -l --no-show-raw-insn "$1" | awk -v pattern="$x87_arithmetic" '
        /^[0-9a-f]+ <.*>:$/ { function_name = $2; ours = 0; next }
        /^\/.*:[0-9]+( \(discriminator [0-9]+\))?$/ { source = $0; ours = source ~ /\/(skeleton|export)\/[^\/]+:/; next }
        /^ *[0-9a-f]+:\t/ {
            if (!ours) next
            counted++
            split($0, field, "\t"); split(field[2], word, " ")
            if (word[1] ~ pattern) found[++n] = function_name " " source ": " field[2]
        }
        END { print counted + 0; for (i = 1; i <= n && i <= 20; i++) print found[i] }'
}

x87=$(X87Arithmetic "$build/hmVantrelExport.dll")
counted=$(head -1 <<< "$x87")
if [ "$counted" -eq 0 ]; then
    failed=$((failed + 1))
    echo "FAIL: $triplet hmVantrelExport.dll has no line information for skeleton/ and export/: build with -g (RelWithDebInfo)"
else
    Check "$triplet hmVantrelExport.dll: no x87 arithmetic in the pose and quantisation code ($counted instructions)" \
        "$(tail -n +2 <<< "$x87")" ""
fi

echo "dll tables: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
