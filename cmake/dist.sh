#!/bin/sh
# Writes the downloads into OUT: vantrel-VERSION-windows.zip (both programs,
# both plug-in builds with their host libraries, the add-on with the program
# inside, README, INSTALL.txt, the sample model its examples export, the
# licences of what is linked in, the sources the GPL asks for),
# vantrel-VERSION-linux.tar.gz (the installed tree), vantrel-VERSION-source.tar.gz
# (the last commit's source) and a SHA256SUMS file.
#   cmake/dist.sh VERSION OUT LINUX_BUILD WIN32_BUILD WIN64_BUILD MINGW_DEPS
set -eu
version=$1 out=$2 linux=$3 win32=$4 win64=$5 deps=$6
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$out"
out=$(cd "$out" && pwd)
stage=$(mktemp -d "$out/.dist.XXXXXX")
trap 'rm -rf "$stage"' EXIT
# Fixed times, so that the same build packs to the same bytes.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 0)}
mtime=$(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S')
pack() {  # pack ARCHIVE FORMAT FOLDER: FOLDER's files, sorted, from FOLDER's parent
  (cd "$(dirname "$3")" && find "$(basename "$3")" -type f | LC_ALL=C sort > "$stage/list" &&
   cmake -E tar cf "$1" --format="$2" --mtime="$mtime" --files-from="$stage/list")
}

# Windows
name=vantrel-$version-windows
w=$stage/$name
mkdir -p "$w/plugin/64-bit" "$w/plugin/32-bit" "$w/licenses" "$stage/addon/vantrel_export"
cp "$win64/vantrel-export.exe" "$win64/vantrel-view.exe" "$win64/hmVantrelExport.dll" "$win64/hmModelLib.dll" "$w/"
cp "$win64/hmVantrelExport.dll" "$win64/hmModelLib.dll" "$w/plugin/64-bit/"
cp "$win32/hmVantrelExport.dll" "$win32/hmModelLib.dll" "$w/plugin/32-bit/"
# The add-on finds the program beside itself once Blender has installed it.
cp "$root"/blender/vantrel_export/*.py "$root/blender/vantrel_export/blender_manifest.toml" \
   "$win64/vantrel-export.exe" "$win64/hmVantrelExport.dll" "$win64/hmModelLib.dll" "$stage/addon/vantrel_export/"
# The builds keep their debug information for the developer; the download
# does not need it (half the zip).
for f in "$w"/*.exe "$w"/*.dll "$w"/plugin/64-bit/*.dll "$stage"/addon/vantrel_export/*.exe "$stage"/addon/vantrel_export/*.dll; do
  x86_64-w64-mingw32-strip --strip-debug "$f"
done
for f in "$w"/plugin/32-bit/*.dll; do i686-w64-mingw32-strip --strip-debug "$f"; done
(cd "$stage/addon" && find vantrel_export -type f | LC_ALL=C sort > "$stage/addon-list" &&
 cmake -E tar cf "$w/vantrel_export.zip" --format=zip --mtime="$mtime" --files-from="$stage/addon-list")
cp "$root/README.md" "$w/README.md"
# INSTALL.txt names the downloads by their version, so that its commands work as written.
sed "s/@VERSION@/$version/g" "$root/docs/INSTALL-windows.txt" > "$w/INSTALL.txt"
# The model INSTALL.txt's first example exports (made by examples/make_totem.py, ours).
mkdir -p "$w/examples"
cp "$root/examples/totem.gltf" "$root/examples/totem_skin.png" "$w/examples/"
cp "$deps"/licenses/* "$w/licenses/"
cp /usr/share/doc/libcli11-dev/copyright "$w/licenses/cli11.txt"
cp /usr/share/doc/nlohmann-json3-dev/copyright "$w/licenses/nlohmann-json.txt"
cp /usr/share/doc/rapidjson-dev/copyright "$w/licenses/rapidjson.txt"
# The programs link libimagequant: they come under the GPL, version 3 or later.
cp /usr/share/common-licenses/GPL-3 "$w/licenses/GPL-3.txt"
cp /usr/share/doc/gcc-mingw-w64-base/copyright "$w/licenses/gcc-runtime.txt"
cp /usr/share/doc/mingw-w64-common/copyright "$w/licenses/mingw-w64-runtime.txt"
cp "$deps/VERSIONS" "$w/licenses/VERSIONS.txt"
# The GPL asks for the source beside what it covers: ours, and libimagequant's
# Debian source package, the one the programs were built from.
mkdir -p "$w/source"
sname=vantrel-$version-source
git -C "$root" archive --format=tar --prefix="vantrel-$version/" HEAD | gzip -n > "$out/$sname.tar.gz"
cp "$out/$sname.tar.gz" "$w/source/"
liq=$(sed -n 's/^libimagequant \([^ ]*\).*/\1/p' "$deps/VERSIONS")
(cd "$w/source" && apt-get source --download-only -qq --only-source "libimagequant=$liq" >/dev/null 2>&1) ||
  { echo "dist: cannot fetch libimagequant $liq's source package from the Debian archive" >&2; exit 1; }
rm -f "$out/$name.zip"
pack "$out/$name.zip" zip "$w"

# Linux: the installed tree, relocatable (the program finds the plug-in relative to itself)
lname=vantrel-$version-linux
cmake --install "$linux" --prefix "$stage/$lname" >/dev/null
cp "$root/README.md" "$stage/$lname/"
rm -f "$out/$lname.tar.gz"
(cd "$stage" && find "$lname" -type f | LC_ALL=C sort > list &&
 tar --owner=0 --group=0 --numeric-owner --mtime="@$SOURCE_DATE_EPOCH" -cf - -T list | gzip -n > "$out/$lname.tar.gz")

(cd "$out" && sha256sum "$name.zip" "$lname.tar.gz" "$sname.tar.gz" > "vantrel-$version-SHA256SUMS")
echo "$out/$name.zip"
echo "$out/$lname.tar.gz"
echo "$out/$sname.tar.gz"
echo "$out/vantrel-$version-SHA256SUMS"
