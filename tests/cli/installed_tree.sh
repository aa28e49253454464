#!/bin/sh
# An installed tree works on its own, wherever it is moved: vantrel-export finds
# the plug-in, and both find the host model library, through paths relative to
# themselves, not through the build tree.
#   installed_tree.sh BUILD_DIR MODEL
set -eu
build=$1
model=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/installed" >/dev/null
mv "$work/installed" "$work/moved"
cd "$work"
moved/bin/vantrel-export "$model" Out.3D >out.txt
test -s Out_d.3d && test -s Out_a.3d && test -s Out.uc
plugin=$(find moved -name hmVantrelExport.so)
for binary in moved/bin/vantrel-export "$plugin"; do
  library=$(ldd "$binary" | sed -n 's/.*libhmModelLib.so => \([^ ]*\).*/\1/p')
  case "$library" in
    "$work"/moved/*) ;;
    *) echo "$binary: libhmModelLib.so resolves to '$library', not inside the installed tree" >&2; exit 1 ;;
  esac
done
