#!/usr/bin/env bash
# The Windows download under 64-bit Wine: its zip unpacked into a fresh prefix,
# in a folder whose path has a space and a non-ASCII letter, and its
# vantrel-export.exe and vantrel-view.exe run from there on the shared and
# demo models (both bakes), a damaged file, a full destination, two exports
# at once and random host models, each export compared byte for byte with the
# Linux program's.
#
#   run_wine_programs.sh LINUX_BUILD_DIR WIN64_BUILD_DIR DIST_DIR
set -uo pipefail

usage="usage: run_wine_programs.sh LINUX_BUILD_DIR WIN64_BUILD_DIR DIST_DIR"
root=$(cd "$(dirname "$0")/../.." && pwd)
linux_build=$(cd "${1:?$usage}" && pwd)
win64_build=$(cd "${2:?$usage}" && pwd)
dist=$(cd "${3:?$usage}" && pwd)
random_models=${DIFFERENTIAL_EXE_MODELS:-40}
shared_models=${SHARED_MODELS:-/work/shared/models}
linux_exporter=$linux_build/vantrel-export

zip=$(ls "$dist"/vantrel-*-windows.zip 2> /dev/null | head -1)
tarball=$(ls "$dist"/vantrel-*-linux.tar.gz 2> /dev/null | head -1)
[ -n "$zip" ] && [ -n "$tarball" ] || { echo "missing the downloads in $dist: make dist first"; exit 2; }
wine64=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
[ -x "$wine64" ] || { echo "no 64-bit Wine loader found (Debian package wine64)"; exit 2; }

scratch=$(mktemp -d /tmp/vantrel-wine-programs.XXXXXX)
export WINEPREFIX=$scratch/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml=" DISPLAY=
failed=0
passed=0
mounted=
cleanup() {
    "$wineserver" -k > /dev/null 2>&1
    [ -n "$mounted" ] && umount "$mounted" 2> /dev/null
    if [ "$failed" -eq 0 ]; then rm -rf "$scratch"; else echo "kept for inspection: $scratch"; fi
}
trap cleanup EXIT

Pass() { passed=$((passed + 1)); echo "ok: $1"; }
Fail() {
    failed=$((failed + 1))
    echo "FAIL: $1"
    [ $# -gt 1 ] && [ -f "$2" ] && head -20 "$2" | sed 's/^/    | /'
}
WindowsPath() { printf 'Z:%s' "${1//\//\\}"; }

echo "Wine: $("$wine64" --version 2> /dev/null), fresh prefix $WINEPREFIX"
timeout 300 "$wine64" wineboot --init > "$scratch/wineboot.log" 2>&1 || { Fail "wineboot failed" "$scratch/wineboot.log"; exit 1; }
# A crash must reach our parent process, not Wine's debugger.
timeout 60 "$wine64" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d '' /f \
    > "$scratch/reg.log" 2>&1 || { Fail "could not turn off Wine's crash debugger" "$scratch/reg.log"; exit 1; }

# The download, unpacked where a user might put it.
install="$WINEPREFIX/drive_c/Program Files/Vantrel Tools é"
mkdir -p "$install"
(cd "$install" && cmake -E tar xf "$zip") || { Fail "the zip does not unpack"; exit 1; }
top=$(ls "$install")
install="$install/$top"
exe='C:\Program Files\Vantrel Tools é\'"$top"'\vantrel-export.exe'
view='C:\Program Files\Vantrel Tools é\'"$top"'\vantrel-view.exe'
missing=
for file in vantrel-export.exe vantrel-view.exe hmVantrelExport.dll hmModelLib.dll plugin/64-bit/hmVantrelExport.dll \
    plugin/64-bit/hmModelLib.dll plugin/32-bit/hmVantrelExport.dll plugin/32-bit/hmModelLib.dll vantrel_export.zip \
    README.md INSTALL.txt examples/totem.gltf examples/totem_skin.png licenses/assimp.txt licenses/zlib.txt licenses/libimagequant.txt licenses/stb.txt licenses/GPL-3.txt source/libimagequant_*.dsc source/vantrel-*-source.tar.gz; do
    ls "$install"/$file > /dev/null 2>&1 || missing+=" $file"
done
[ -z "$missing" ] && Pass "the zip holds the programs, both plug-in builds, the add-on, README, INSTALL.txt, licences, sources" ||
    Fail "the zip lacks$missing"
# Only system DLLs, and the host library the zip holds beside them.
imports=$(x86_64-w64-mingw32-objdump -p "$install/vantrel-export.exe" "$install/vantrel-view.exe" | sed -n 's/^\s*DLL Name: //p' | sort -u | tr '\n' ' ')
unexpected=$(for dll in $imports; do case ${dll,,} in kernel32.dll | msvcrt.dll | user32.dll | comdlg32.dll | advapi32.dll | shell32.dll | ole32.dll | psapi.dll | ws2_32.dll | gdi32.dll | api-ms-win-* | hmmodellib.dll) ;; *) echo -n "$dll " ;; esac; done)
[ -z "$unexpected" ] && Pass "the programs import only system DLLs ($imports)" || Fail "the programs need $unexpected"
if (cd "$scratch" && mkdir addon && cd addon && cmake -E tar xf "$install/vantrel_export.zip" &&
    for module in "$root"/blender/vantrel_export/*.py; do cmp -s "$module" "vantrel_export/${module##*/}" || exit 1; done &&
    [ -f vantrel_export/vantrel-export.exe ]); then
    Pass "the add-on zip holds the add-on and the program beside it"
else Fail "the add-on zip lacks the add-on or the program"; fi

# INSTALL.txt's first example as a user types it into cmd, in the unpacked
# folder, on the sample model the zip holds; then a path with a space and an
# accent, which the programs take and print as UTF-8.
example=$(tr -d '\r' < "$install/INSTALL.txt" | awk '/^From the command line/ { on = 1 } /^In the modelling host/ { on = 0 }
    on && /^  (mkdir |\.\\vantrel-)/ { print substr($0, 3) }')
ran=0
while IFS= read -r line; do
    (cd "$install" && timeout 300 "$wine64" cmd /c "$line" >> "$scratch/install-example.out" 2>&1) ||
        { Fail "INSTALL.txt's example: $line failed" "$scratch/install-example.out"; ran=-1; break; }
    ran=$((ran + 1))
done <<< "$example"
if [ "$ran" -ge 3 ] && (cd "$install/MyMod" && ls Totem_d.3d Totem_a.3d Totem.uc totem_skin.bmp Totem.html > /dev/null 2>&1); then
    Pass "INSTALL.txt's example as written: $(echo "$example" | tr '\n' ';')"
elif [ "$ran" -ge 0 ]; then Fail "INSTALL.txt's example ($ran commands) did not write MyMod's set" "$scratch/install-example.out"; fi
cp -r "$install/MyMod" "$install/Mod é"
(cd "$install" && LC_ALL=C.UTF-8 timeout 120 "$wine64" "$view" --check 'Mod é\Totem.3D' > "$scratch/accent.out" 2>&1)
tr -d '\r' < "$scratch/accent.out" | grep -qF 'Mod é\Totem_d.3d' &&
    Pass "vantrel-view.exe takes and prints a path with an accent as UTF-8" ||
    Fail "vantrel-view.exe on 'Mod é\Totem.3D'" "$scratch/accent.out"

# Runs the installed vantrel-export.exe in folder $1 with the remaining arguments;
# its output in $1.out, its status returned.
RunExe() {
    local dir=$1
    shift
    (cd "$dir" && timeout 300 "$wine64" "$exe" "$@" > "$dir.out" 2>&1)
}
RunLinux() {
    local dir=$1
    shift
    (cd "$dir" && timeout 300 "$linux_exporter" "$@" > "$dir.out" 2>&1)
}

# Every file the Linux program wrote, the converted textures among them, the
# same bytes from the .exe; the log after the two output paths it begins
# with, and the preview page but for a texture's source path, which differ
# by system.
# With a fourth argument, near, the animation files may differ by one step in
# a few records and the logs are not compared: an FBX file's rotations reach
# us through the Assimp of each build, whose Euler angles are turned into
# quaternions with that system's sine and cosine (a last bit apart at times).
CompareSets() {
    local what=$1 linux_dir=$2 windows_dir=$3 near=${4:-} file same=1 linux_files windows_files
    linux_files=$(cd "$linux_dir" && ls -A | sort | tr '\n' ' ')
    windows_files=$(cd "$windows_dir" && ls -A | sort | tr '\n' ' ')
    if [ "$linux_files" != "$windows_files" ]; then
        Fail "$what: the .exe wrote '$windows_files', the Linux program '$linux_files'"
        return
    fi
    for file in $linux_files; do
        if [ "${file##*.}" = html ]; then
            SamePage "$linux_dir/$file" "$windows_dir/$file" || { same=; echo "    $file differs"; }
        elif [ -n "$near" ] && [ "${file##*.}" = log ]; then
            continue
        elif [ -n "$near" ] && [ "${file%_a.3d}" != "$file" ]; then
            NearFrames "$linux_dir/$file" "$windows_dir/$file" || { same=; echo "    $file differs by more than a step"; }
        elif [ "${file##*.}" = log ]; then
            cmp -s <(tail -n +3 "$linux_dir/$file") <(tail -n +3 "$windows_dir/$file") || { same=; echo "    $file differs after its paths"; }
        else
            cmp -s "$linux_dir/$file" "$windows_dir/$file" || { same=; echo "    $file differs: $(cmp "$linux_dir/$file" "$windows_dir/$file" 2>&1)"; }
        fi
    done
    local alike="byte-identical to"
    [ -n "$near" ] && alike="the same, the animation within a step, as"
    [ -n "$same" ] && Pass "$what: $alike the Linux program's ($linux_files)" || Fail "$what: differs from the Linux program's"
}

# Two animation files alike but for records one step apart, in at most one
# record of 100000.
NearFrames() {
    python3 - "$1" "$2" <<'FRAMES'
import struct, sys
a, b = (open(path, "rb").read() for path in sys.argv[1:3])
if len(a) != len(b) or a[:4] != b[:4]:
    sys.exit("    the headers or sizes differ")
count = (len(a) - 4) // 2
x, y = struct.unpack_from("<%dh" % count, a, 4), struct.unpack_from("<%dh" % count, b, 4)
apart = [(i, p, q) for i, (p, q) in enumerate(zip(x, y)) if p != q]
if any(abs(p - q) > 1 for _, p, q in apart) or len(apart) * 100000 > count:
    sys.exit("    %d numbers differ, by up to %d" % (len(apart), max(abs(p - q) for _, p, q in apart)))
if apart:
    print("    %d of %d numbers one step apart" % (len(apart), count))
FRAMES
}

# Two preview pages the same: the page around the set, the gzip header and
# the set's bytes; in the set's description, a texture's source image is
# named by its path on each system (Z:\x\y on Windows for /x/y).
SamePage() {
    python3 - "$1" "$2" <<'PAGE'
import base64, gzip, json, re, sys
def parts(path):
    html = open(path, encoding="utf-8").read()
    chunks = re.findall(r'class="set-data">([^<]*)<', html)
    data = base64.b64decode("".join(chunks))
    blob = gzip.decompress(data)
    length = int.from_bytes(blob[:4], "little")
    described = json.loads(blob[4:4 + length])
    for texture in described.get("textures", []):
        if texture.get("source", "").startswith("Z:"):
            texture["source"] = texture["source"][2:].replace("\\", "/")
    sections = 4 + length + (-(4 + length) % 8)  # after the description, from 8 bytes' alignment
    return re.sub(r'class="set-data">[^<]*<', "", html), data[:10], described, blob[sections:]
linux, windows = parts(sys.argv[1]), parts(sys.argv[2])
for what, a, b in zip(["page", "gzip header", "description", "sections"], linux, windows):
    if a != b:
        sys.exit(f"    the {what} differs")
PAGE
}

# Export $2 named $3 with options; by the .exe and by the Linux program.
ExportBoth() {
    local what=$1 model=$2 name=$3 case=$scratch/cases/$4 near=
    shift 4
    [ "${model##*.}" = fbx ] && near=near
    mkdir -p "$case/linux" "$case/windows"
    RunLinux "$case/linux" "$model" "$name.3D" "$@" || { Fail "$what: the Linux program failed" "$case/linux.out"; return; }
    RunExe "$case/windows" "$(WindowsPath "$model")" "$name.3D" "$@" || { Fail "$what: the .exe failed ($?)" "$case/windows.out"; return; }
    CompareSets "$what" "$case/linux" "$case/windows" $near
}

models=()
for model in "$shared_models"/*/*.gltf "$shared_models"/*/*.glb "$root/examples/totem.gltf"; do
    [ -f "$model" ] && models+=("$model")
done
for model in "${models[@]}"; do
    base=$(basename "${model%.*}")
    name=$(echo "$base" | tr -c 'A-Za-z0-9_\n' '_')
    ExportBoth "$base, exact bake" "$model" "$name" "$base-exact"
    ExportBoth "$base, host bake (through the plug-in DLL)" "$model" "$name" "$base-host" --bake host
done
# The artist's characters (FBX, skinned, textured) on the exact bake, with a
# texture size other than the default: the option reaches the .exe's reader
# child, and the exact bake's arithmetic gives the same bits on both systems
# from the same keys (see CompareSets for the keys).
for model in "$shared_models"/artist/*.fbx; do
    [ -f "$model" ] || continue
    base=$(basename "${model%.*}")
    ExportBoth "$base, exact bake, --texture-size 64" "$model" "$base" "$base-artist" --texture-size 64
done
ExportBoth "sample.hm.json (through the plug-in DLL)" "$root/examples/sample.hm.json" Sample sample
ExportBoth "totem with --preview" "$root/examples/totem.gltf" Totem totem-preview --preview
# The page's address as a browser on Windows opens it.
url="file:///Z:$scratch/cases/totem-preview/windows/Totem.html"
tr -d '\r' < "$scratch/cases/totem-preview/windows.out" | grep -qxF "Preview: $url" &&
    Pass "the .exe names the page as $url" || Fail "the .exe names the page otherwise than $url" "$scratch/cases/totem-preview/windows.out"

# vantrel-view.exe reads what the .exe wrote.
check=$scratch/cases/totem-exact/windows
if (cd "$check" && timeout 120 "$wine64" "$view" --check Totem.3D > "$check.view" 2>&1) && grep -q '^consistent' "$check.view"; then
    Pass "vantrel-view.exe --check: the .exe's set is consistent"
else Fail "vantrel-view.exe --check failed" "$check.view"; fi
printf 'damaged' >> "$check/Totem_a.3d"
if (cd "$check" && timeout 120 "$wine64" "$view" --check Totem.3D > "$check.view2" 2>&1); then
    Fail "vantrel-view.exe --check passes a damaged set" "$check.view2"
else Pass "vantrel-view.exe --check: a damaged set fails ($(grep -m1 problem "$check.view2" | tr -d '\r'))"; fi

# A file that crashes the model reader: the same message and status as on
# Linux, and nothing written.
damaged=$root/tests/data/damaged/segfault.dae
case=$scratch/cases/damaged
mkdir -p "$case/linux" "$case/windows"
RunLinux "$case/linux" "$damaged" Out.3D
linux_status=$?
RunExe "$case/windows" "$(WindowsPath "$damaged")" Out.3D
status=$?
linux_message=$(tr -d '\r' < "$case/linux.out" | sed "s|$damaged|MODEL|")
windows_message=$(tr -d '\r' < "$case/windows.out" | sed "s|$(WindowsPath "$damaged" | sed 's/\\/\\\\/g')|MODEL|")
if [ $status -eq 2 ] && [ $linux_status -eq 2 ] && [ "$windows_message" = "$linux_message" ] && [ -z "$(ls -A "$case/windows")" ]; then
    Pass "a reader crash: exit 2, nothing written, the Linux message ($windows_message)"
else
    Fail "a reader crash: exit $status (Linux $linux_status), wrote '$(ls -A "$case/windows")'; .exe said: $windows_message; Linux said: $linux_message"
fi

# A full destination: a file system with room for the earlier set but no new
# file. Exit 3, the earlier set byte for byte, no temporary left.
full=$scratch/full
mkdir -p "$full"
if mount -t tmpfs -o size=4m,nr_inodes=8 tmpfs "$full" 2> /dev/null; then
    mounted=$full
    RunExe "$full" "$(WindowsPath "$root/examples/totem.gltf")" Totem.3D
    before=$(cd "$full" && sha256sum * | sort)
    RunExe "$full" "$(WindowsPath "$root/examples/sample.hm.json")" Totem.3D
    status=$?
    after=$(cd "$full" && sha256sum * | sort)
    if [ $status -eq 3 ] && [ "$before" = "$after" ] && ! ls -A "$full" | grep -q '^\.vt'; then
        Pass "a full destination: exit 3 ($(tr -d '\r' < "$full.out" | head -1)), the earlier set kept"
    else Fail "a full destination: exit $status; earlier set kept: $([ "$before" = "$after" ] && echo yes || echo no)" "$full.out"; fi
    umount "$full" && mounted=
else
    Fail "a full destination: cannot mount a small file system (needs root)"
fi

# Two exports into one destination at once: both succeed, and the set there
# is one of the two whole, never a mix.
case=$scratch/cases/concurrent
mkdir -p "$case/a" "$case/b" "$case/both"
RunLinux "$case/a" "$root/examples/totem.gltf" Pair.3D --no-log
RunLinux "$case/b" "$root/examples/sample.hm.json" Pair.3D --no-log
(cd "$case/both" && timeout 300 "$wine64" "$exe" "$(WindowsPath "$root/examples/totem.gltf")" Pair.3D --no-log > ../one.out 2>&1) &
first=$!
(cd "$case/both" && timeout 300 "$wine64" "$exe" "$(WindowsPath "$root/examples/sample.hm.json")" Pair.3D --no-log > ../two.out 2>&1) &
second=$!
wait $first; one=$?
wait $second; two=$?
whole=
for reference in a b; do
    same=1
    for file in Pair_d.3d Pair_a.3d; do cmp -s "$case/$reference/$file" "$case/both/$file" || same=; done
    [ -n "$same" ] && whole=$reference
done
if [ $one -eq 0 ] && [ $two -eq 0 ] && [ -n "$whole" ] && ! ls -A "$case/both" | grep -q '^\.vt'; then
    Pass "two exports at once into one destination: both exit 0, the set is one of them whole"
else Fail "two exports at once: exits $one and $two, whole set: ${whole:-none}" "$case/one.out"; fi

# Ctrl-C in the middle of an export: the console's event, sent once a
# temporary is there. Wine delivers it only on a terminal, which script(1)
# gives. The earlier set stays, no temporary is left. (Wine's default handler
# ends the program with status 0, Windows' with 0xC000013A.)
case=$scratch/cases/ctrl-c
mkdir -p "$case/dest"
python3 - "$case/Big.hm.json" <<'MODEL'
import json, math, sys
frames = 1500
vertices = [{"position": [math.cos(i * 0.01) * (1 + i % 7), math.sin(i * 0.01) * (1 + i % 5), i % 100 * 0.1],
             "bone": i % 2} for i in range(8000)]
keys = range(0, frames, 10)
bones = [{"name": "root", "parent": "", "position": [0, 0, 0], "rotation": [0, 0, 0],
          "rotationKeys": [{"time": t, "value": [0, t * 0.01, 0]} for t in keys]},
         {"name": "arm", "parent": "root", "position": [1, 0, 0], "rotation": [0, 0, 0],
          "positionKeys": [{"time": t, "value": [1, math.sin(t * 0.05), 0]} for t in keys]}]
mesh = {"name": "m", "vertices": vertices, "triangles": [[i, i + 1, i + 2] for i in range(0, 7998, 3)]}
json.dump({"totalFrames": frames, "currentFrame": 0, "meshes": [mesh], "materials": [], "bones": bones},
          open(sys.argv[1], "w"))
MODEL
RunExe "$case/dest" "$(WindowsPath "$root/examples/totem.gltf")" Big.3D --no-log
before=$(cd "$case/dest" && sha256sum * | sort)
printf '%q ' "$wine64" "$win64_build/vantrel-ctrl-c.exe" "$(WindowsPath "$case/dest")" "$exe" \
    "$(WindowsPath "$case/Big.hm.json")" Big.3D --no-log -q > "$case/command"
timeout 300 script -qec "bash $(printf %q "$case/command")" /dev/null < /dev/null 2>&1 | tr -d '\r' |
    sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' > "$case.out"
status=${PIPESTATUS[0]}
after=$(cd "$case/dest" && sha256sum * | sort)
# (A terminal's output: the spaces come as cursor moves.)
code=$(grep -o 'exit *code *0x[0-9A-F]*' "$case.out" | grep -o '0x[0-9A-F]*')
if [ "$status" -eq 0 ] && [ -n "$code" ] && [ "$before" = "$after" ] && ! ls -A "$case/dest" | grep -q '^\.vt'; then
    Pass "Ctrl-C mid-export: the program ended ($code), the earlier set kept, no temporary left"
else Fail "Ctrl-C mid-export: status $status, earlier set kept: $([ "$before" = "$after" ] && echo yes || echo no), left: $(ls -A "$case/dest" | tr '\n' ' ')" "$case.out"; fi

# Random host models, exported through the plug-in DLL by the .exe.
work=$scratch/random
python3 "$root/tests/windows/random_models.py" "$work/models" --count "$random_models" > /dev/null
identical=0 differing=
for model in "$work"/models/*.hm.json; do
    name=$(basename "$model" .hm.json)
    mkdir -p "$work/linux/$name" "$work/windows/$name"
    RunLinux "$work/linux/$name" "$model" Model.3D -q
    RunExe "$work/windows/$name" "$(WindowsPath "$model")" Model.3D -q
    same=1
    for file in Model_d.3d Model_a.3d Model.uc; do
        [ -f "$work/linux/$name/$file" ] || continue
        cmp -s "$work/linux/$name/$file" "$work/windows/$name/$file" || same=
    done
    [ -n "$same" ] && identical=$((identical + 1)) || differing+=" $name"
done
echo "exe differential: $random_models models, identical: $identical"
[ -z "$differing" ] && Pass "random host models: the .exe's exports are the Linux program's, byte for byte" ||
    Fail "random host models differ:$differing"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
