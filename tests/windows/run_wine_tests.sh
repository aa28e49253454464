#!/usr/bin/env bash
# Runs the Windows test hosts under Wine on a virtual display, the 32-bit build
# under 32-bit Wine and the 64-bit build under 64-bit Wine, and answers the
# plug-in's message box and save dialog as a person would, with the keyboard.
# Then exports a few hundred random models with each build, the test host
# answering the save dialogs itself, and compares them with the Linux build's.
#
#   run_wine_tests.sh LINUX_BUILD_DIR WIN32_BUILD_DIR WIN64_BUILD_DIR
#
# A real export must write the same bytes as the Linux build does for the same
# model and chosen name (the log's paths aside).
set -uo pipefail

usage="usage: run_wine_tests.sh LINUX_BUILD_DIR WIN32_BUILD_DIR WIN64_BUILD_DIR"
root=$(cd "$(dirname "$0")/../.." && pwd)
linux_build=$(cd "${1:?$usage}" && pwd)
win32_build=$(cd "${2:?$usage}" && pwd)
win64_build=$(cd "${3:?$usage}" && pwd)
model=$root/examples/sample.hm.json
differential_models=${DIFFERENTIAL_MODELS:-300}

for build in "$win32_build" "$win64_build"; do
    for file in vantrel-test-host.exe vantrel-window-probe.exe hmVantrelExport.dll hmModelLib.dll; do
        [ -f "$build/$file" ] || { echo "missing $build/$file: build it first (make windows)"; exit 2; }
    done
done
[ -f "$linux_build/vantrel-export" ] || { echo "missing $linux_build/vantrel-export: build it first (make build)"; exit 2; }

# Debian installs the loaders outside PATH; wine32:i386 brings the 32-bit one.
wine32=$(command -v wine || echo /usr/lib/wine/wine)
wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
[ -x "$wine64" ] || { echo "no 64-bit Wine loader found (Debian package wine64)"; exit 2; }
[ -x "$wine32" ] || { echo "no 32-bit Wine loader found (Debian package wine32:i386, make deps-wine32)"; exit 2; }
for tool in Xvfb xdotool python3; do
    command -v $tool > /dev/null || { echo "$tool not found (Debian packages xvfb, xdotool)"; exit 2; }
done

scratch=$(mktemp -d /tmp/vantrel-wine.XXXXXX)
export WINEPREFIX=$scratch/prefix WINEDEBUG=-all
# No prompts to install Wine's .NET and browser engines into the new prefix.
export WINEDLLOVERRIDES="mscoree=;mshtml="
xvfb_pid=
failed=0
passed=0

cleanup() {
    "$wineserver" -k > /dev/null 2>&1
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2> /dev/null && wait "$xvfb_pid" 2> /dev/null
    if [ "$failed" -eq 0 ]; then rm -rf "$scratch"; else echo "kept for inspection: $scratch"; fi
}
trap cleanup EXIT

# Wine sees the whole file system as drive Z:.
WindowsPath() { printf 'Z:%s' "${1//\//\\}"; }

# The build under test, for the names of the checks and the folders of its cases.
label=
Pass() { passed=$((passed + 1)); echo "ok: ${label:+$label: }$1"; }
Fail() {
    failed=$((failed + 1))
    echo "FAIL: ${label:+$label: }$1"
    [ $# -gt 1 ] && [ -f "$2" ] && sed 's/^/    | /' "$2"
}

# Check CASE OUTPUT LINE...: every line appears, whole, in the output.
ExpectLines() {
    local what=$1 output=$2 line missing=
    shift 2
    for line in "$@"; do
        grep -qxF -- "$line" <(tr -d '\r' < "$output") || missing+="    expected: $line"$'\n'
    done
    if [ -z "$missing" ]; then Pass "$what"; else Fail "$what"$'\n'"${missing%$'\n'}" "$output"; fi
}

ExpectNoFiles() {
    local what=$1 dir=$2
    if [ -z "$(ls -A "$dir")" ]; then Pass "$what"; else Fail "$what: found $(ls -A "$dir" | tr '\n' ' ')"; fi
}

# Start the test host on MODEL in DIR; its output goes to DIR.out.
StartHost() {
    local dir=$1 model_arg=$2
    mkdir -p "$dir"
    (cd "$dir" && exec timeout 120 "$wine" "$host_exe" "$(WindowsPath "$plugin_dll")" "$model_arg" > "$dir.out" 2>&1) &
    host_pid=$!
}

WaitHost() {
    wait "$host_pid"
    local status=$?
    [ $status -eq 0 ] || Fail "the test host exited with status $status$([ $status -eq 124 ] && echo ' (timed out)')" "$1.out"
}

HostRunning() { kill -0 "$host_pid" 2> /dev/null; }

# Probe TITLE OUTPUT: waits for the window, while the host runs, and writes
# what it shows.
Probe() {
    timeout 60 "$wine" "$probe_exe" "$1" 45 > "$2" 2>&1 &
    local probe_pid=$!
    while kill -0 "$probe_pid" 2> /dev/null; do
        HostRunning || { sleep 1; kill "$probe_pid" 2> /dev/null; break; }
        sleep 0.2
    done
    wait "$probe_pid"
}

# Focus the window titled TITLE (a person clicks it) and press KEYS.
PressKeys() {
    local title=$1 window attempt
    shift
    for attempt in $(seq 150); do
        window=$(xdotool search --onlyvisible --name "^$title\$" 2> /dev/null | head -1)
        if [ -n "$window" ] || ! HostRunning; then break; fi
        sleep 0.2
    done
    [ -n "$window" ] || { Fail "no visible window titled \"$title\" to type into"; return 1; }
    for attempt in 1 2 3 4 5 6 7 8 9 10; do
        timeout 5 xdotool windowfocus --sync "$window" 2> /dev/null && break
        sleep 0.3
    done
    xdotool "$@"
}

echo "Wine: $("$wine64" --version 2>/dev/null), prefix $WINEPREFIX"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3> "$scratch/display" 2> "$scratch/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 50); do [ -s "$scratch/display" ] && break; sleep 0.1; done
[ -s "$scratch/display" ] || { Fail "Xvfb did not start" "$scratch/xvfb.log"; exit 1; }
export DISPLAY=:$(cat "$scratch/display")
echo "Creating the Wine prefix (the first start takes a while)"
timeout 300 "$wine64" wineboot --init > "$scratch/wineboot.log" 2>&1 || { Fail "wineboot failed" "$scratch/wineboot.log"; exit 1; }
# A program that crashes ends at once, instead of waiting in the debugger's window.
timeout 60 "$wine64" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d '' /f \
    > "$scratch/reg.log" 2>&1 || { Fail "could not turn off Wine's crash debugger" "$scratch/reg.log"; exit 1; }
# No window manager runs on the virtual display: windows Wine leaves to one
# would each wait two seconds for it when they close.
timeout 60 "$wine64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f \
    > "$scratch/reg.log" 2>&1 || { Fail "could not set Wine's windows unmanaged" "$scratch/reg.log"; exit 1; }

# Where two files differ: the first bytes that differ and, for text, the lines.
ShowDifference() {
    cmp "$1" "$2" | sed 's/^/    /'
    cmp -l "$1" "$2" 2> /dev/null | head -8 | awk '{ printf "    byte %d: Linux %s, Windows %s (octal)\n", $1, $2, $3 }'
    case $1 in *.log* | *.uc) diff <(tr -d '\r' < "$1") <(tr -d '\r' < "$2") | head -12 | sed 's/^/    /' ;; esac
}

# ExportCase MODEL NAME: the name typed into the dialog, then Enter; the four
# outputs compared with the Linux build's export of the same model and name.
# Every case of both builds saves into one folder, the host's current one: the
# dialog opens in the folder the program used last and leaves the process
# there, and the log goes to the current folder. Each case's outputs are moved
# aside afterwards.
export_dir=$scratch/export
ExportCase() {
    local model=$1 name=$2
    local result_dir=$cases/windows-$name linux_dir=$cases/linux-$name
    local chosen file written expected linux_prefix windows_prefix
    chosen=$(WindowsPath "$export_dir/$name.3D")
    StartHost "$export_dir" "$(WindowsPath "$model")"
    Probe "Export Vantrel 3D" "$result_dir.probe"
    PressKeys "Export Vantrel 3D" type --delay 30 "$chosen"
    Probe "Export Vantrel 3D" "$result_dir.typed"
    ExpectLines "$name: the name typed into the dialog" "$result_dir.typed" "control Edit: $chosen"
    PressKeys "Export Vantrel 3D" key Return
    WaitHost "$export_dir"
    mv "$export_dir.out" "$result_dir.out"
    ExpectLines "$name: Run 0, model released once" "$result_dir.out" \
        "slot 3 Run -> 0" "hmModel_Destroy calls: 1" "slot 0 deleting destructor(1) -> the object"
    written=$(cd "$export_dir" && ls -A | sort | tr '\n' ' ')
    expected="${name}.uc ${name}_a.3d ${name}_d.3d VantrelExport.log "
    if [ "$written" = "$expected" ]; then Pass "$name: the four outputs and nothing else"
    else Fail "$name: wrote '$written', expected '$expected'; not compared with the Linux build's"; return; fi
    mkdir -p "$result_dir"
    mv "$export_dir"/* "$result_dir"/ 2> /dev/null

    mkdir -p "$linux_dir"
    (cd "$linux_dir" && "$linux_build/vantrel-export" "$model" "$linux_dir/$name.3D" --full-log > "$linux_dir.out" 2>&1) ||
        Fail "$name: the Linux host program failed" "$linux_dir.out"

    for file in "${name}_d.3d" "${name}_a.3d" "${name}.uc"; do
        if cmp -s "$linux_dir/$file" "$result_dir/$file"; then Pass "$name: $file is byte-identical to the Linux build's"
        else Fail "$name: $file differs from the Linux build's"; ShowDifference "$linux_dir/$file" "$result_dir/$file"; fi
    done

    # The log begins with the two derived paths, which are Windows paths here.
    linux_prefix="$linux_dir/${name}_d.3d$linux_dir/${name}_a.3d"
    windows_prefix="$(WindowsPath "$export_dir/${name}_d.3d")$(WindowsPath "$export_dir/${name}_a.3d")"
    if [ ! -f "$result_dir/VantrelExport.log" ]; then
        Fail "$name: no log in the host's current folder"
    elif [ "$(head -c ${#windows_prefix} "$result_dir/VantrelExport.log")" != "$windows_prefix" ]; then
        Fail "$name: the log does not begin with the Windows paths $windows_prefix" "$result_dir/VantrelExport.log"
    elif [ "$(head -c ${#linux_prefix} "$linux_dir/$name.log")" != "$linux_prefix" ]; then
        Fail "$name: the Linux log does not begin with $linux_prefix"
    else
        tail -c +$((${#linux_prefix} + 1)) "$linux_dir/$name.log" > "$linux_dir.log.rest"
        tail -c +$((${#windows_prefix} + 1)) "$result_dir/VantrelExport.log" > "$result_dir.log.rest"
        if cmp -s "$linux_dir.log.rest" "$result_dir.log.rest"; then
            Pass "$name: the log is byte-identical to the Linux build's after the paths"
        else
            Fail "$name: the log differs from the Linux build's after the paths"
            ShowDifference "$linux_dir.log.rest" "$result_dir.log.rest"
        fi
    fi
}

# DialogCases LABEL WINE BUILD_DIR: the cases a person could run by hand,
# with the message box and save dialog answered from the keyboard.
DialogCases() {
    label=$1 wine=$2 host_exe=$3/vantrel-test-host.exe probe_exe=$3/vantrel-window-probe.exe
    plugin_dll=$3/hmVantrelExport.dll cases=$scratch/$1
    mkdir -p "$cases"
    # 1. No model: Run answers -1 and shows nothing.
    StartHost "$cases/null" --null
    WaitHost "$cases/null"
    ExpectLines "null model: kind, caption, Run -1, released by the deleting destructor" "$cases/null.out" \
        "CreatePlugIn -> object" \
        "slot 1 GetKind -> 2" \
        'slot 2 GetCaption -> "Vantrel 3d..." (inside the object)' \
        "slot 3 Run -> -1" \
        "hmModel_Destroy calls: 0" \
        "after Run: slot 1 GetKind -> 2" \
        'after Run: slot 2 GetCaption -> "Vantrel 3d..." (inside the object)' \
        "slot 0 deleting destructor(1) -> the object" \
        "FreeLibrary -> ok"
    ExpectNoFiles "null model writes nothing" "$cases/null"

    # 2. A model without meshes: the message box, dismissed with Enter.
    echo '{ "meshes": [] }' > "$cases/empty.hm.json"
    StartHost "$cases/empty" "$(WindowsPath "$cases/empty.hm.json")"
    Probe "Vantrel Export" "$cases/empty.probe"
    ExpectLines "empty model: the message box and its text" "$cases/empty.probe" \
        "window: Vantrel Export" \
        "control Static: The model is empty!  Nothing exported!" \
        "control Button: OK"
    PressKeys "Vantrel Export" key Return
    WaitHost "$cases/empty"
    ExpectLines "empty model: Run 0 after the message, model kept" "$cases/empty.out" \
        "model $(WindowsPath "$cases/empty.hm.json"): 0 meshes" \
        "slot 3 Run -> 0" \
        "hmModel_Destroy calls: 0" \
        "slot 0 deleting destructor(1) -> the object"
    ExpectNoFiles "empty model writes nothing" "$cases/empty"

    # 3. The save dialog cancelled with Escape.
    StartHost "$cases/cancel" "$(WindowsPath "$model")"
    Probe "Export Vantrel 3D" "$cases/cancel.probe"
    ExpectLines "cancel: the save dialog is shown" "$cases/cancel.probe" "window: Export Vantrel 3D"
    PressKeys "Export Vantrel 3D" key Escape
    WaitHost "$cases/cancel"
    ExpectLines "cancel: Run 0, model kept" "$cases/cancel.out" \
        "slot 3 Run -> 0" "hmModel_Destroy calls: 0" "slot 0 deleting destructor(1) -> the object"
    ExpectNoFiles "cancel writes nothing" "$cases/cancel"

    # 4. Real exports: the bundled sample, and bones turned by right angles, where
    # the sine and cosine of two maths libraries are least alike (results near 0).
    ExportCase "$model" Sample
    ExportCase "$root/tests/windows/right_angles.hm.json" Block
}

DialogCases 32-bit "$wine32" "$win32_build"
DialogCases 64-bit "$wine64" "$win64_build"
label=

# 5. The differential: random models, each build's host answering its own
# save dialogs, many models to a Wine process. One build after the other: the
# dialog opens in the folder its program used last, and the log goes there.
work=$scratch/differential
mkdir -p "$work"
if python3 "$root/tests/windows/differential.py" prepare "$work" "$linux_build" "$differential_models" win32 win64 \
        > "$work/prepare.out" 2>&1; then
    for bits in 32 64; do
        loader=wine$bits build=win${bits}_build
        (cd "$work" && timeout 900 "${!loader}" "${!build}/vantrel-test-host.exe" \
            "$(WindowsPath "${!build}/hmVantrelExport.dll")" --batch "$(WindowsPath "$work/win$bits.list")" \
            > "$work/win$bits.out" 2> "$work/win$bits.err") ||
            Fail "differential: the $bits-bit test host failed" "$work/win$bits.out"
    done
    if python3 "$root/tests/windows/differential.py" compare "$work" win32 win64 > "$work/line" 2>&1; then
        cat "$work/line"
        Pass "differential: every model byte-identical in both builds"
    else
        cat "$work/line"
        Fail "differential: exports that differ from the Linux build's" "$work/differences.txt"
    fi
else
    Fail "differential: the models or their Linux exports could not be made" "$work/prepare.out"
fi

echo "wine: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
