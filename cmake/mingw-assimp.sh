#!/bin/sh
# Builds Assimp for 64-bit Windows (static, import only) from Debian's source
# packages of the versions the Linux build links, with the zlib and minizip
# Debian strips from Assimp's own tree, and libimagequant for the textures,
# into a cache folder outside the clone keyed by those versions. Prints the
# folder; a second run only prints it.
#   cmake/mingw-assimp.sh [CACHE_ROOT]
set -eu

triplet=x86_64-w64-mingw32
root=${1:-${XDG_CACHE_HOME:-$HOME/.cache}/vantrel}
here=$(cd "$(dirname "$0")" && pwd)

# Source versions (not the binary packages' +bN rebuild suffixes).
srcver() { dpkg-query -W -f='${source:Version}' "$1"; }
assimp=$(srcver libassimp-dev)
zlib=$(srcver zlib1g-dev)
minizip=$(srcver libminizip-dev)
meshopt=$(srcver libmeshoptimizer-dev)
imagequant=$(srcver libimagequant-dev)
stb=$(srcver libstb-dev)
key=$(printf '%s' "assimp-$assimp-imagequant-$imagequant" | tr '~:' '__')
prefix=$root/$key-mingw64
# The folder is named after Assimp's and libimagequant's versions; the others
# are checked too, and so is the sort libimagequant is given.
mergesort=$(sha256sum "$here/mingw-merge-qsort.c" | cut -c1-16)
wanted="assimp $assimp zlib $zlib minizip $minizip meshoptimizer $meshopt imagequant $imagequant stb $stb sort $mergesort"
if [ "$(cat "$prefix/.complete" 2>/dev/null)" = "$wanted" ]; then echo "$prefix"; exit 0; fi

# The archive's sources (security updates among them: the Linux build may
# link one), in a list of their own beside the system's.
list=/etc/apt/sources.list.d/vantrel-deb-src.sources
sources=$(printf '%s\n' 'Types: deb-src' 'URIs: http://deb.debian.org/debian' 'Suites: bookworm bookworm-updates' \
  'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' '' \
  'Types: deb-src' 'URIs: http://deb.debian.org/debian-security' 'Suites: bookworm-security' \
  'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg')
if [ "$(cat "$list" 2>/dev/null)" != "$sources" ]; then
  sudo=; [ "$(id -u)" = 0 ] || sudo=sudo
  printf '%s\n' "$sources" | $sudo tee "$list" >/dev/null
  $sudo apt-get update -qq
fi

mkdir -p "$root"
work=$(mktemp -d "$root/assimp-build.XXXXXX")
trap 'rm -rf "$work"' EXIT
stage=$work/prefix
mkdir -p "$stage/lib" "$stage/include/minizip" "$stage/include/utf8cpp" "$stage/licenses"
cd "$work"
# A stable update whose source the archive no longer serves (the security
# archive's) falls back to the release it updates, with a note.
fetch() {
  apt-get source -qq --only-source "$1=$2" >fetch.log 2>&1 && { echo "$1 $2" >>built-versions; return 0; }
  release=${2%%+deb*}
  [ "$release" != "$2" ] && apt-get source -qq --only-source "$1=$release" >fetch.log 2>&1 &&
    { echo "note: the source of $1 $2 is not served; built $release, the release it updates" >&2
      echo "$1 $release (for $2)" >>built-versions; return 0; }
  cat fetch.log >&2
  echo "the source of $1 $2 could not be fetched" >&2
  exit 1
}
fetch assimp "$assimp"
fetch zlib "$zlib"
fetch minizip "$minizip"
fetch meshoptimizer "$meshopt"
fetch libimagequant "$imagequant"

cc="$triplet-gcc-posix -O2 -ffp-contract=off"
# zlib and minizip: their few C files straight into static libraries (Debian's
# zlib source has no Windows makefile, and their builds would only do this).
zsrc=$(echo zlib-*/)
for f in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast inflate inftrees trees uncompr zutil; do
  $cc -c "$zsrc$f.c" -o "zlib-$f.o"
done
$triplet-ar rcs "$stage/lib/libz.a" zlib-*.o
cp "${zsrc}zlib.h" "${zsrc}zconf.h" "$stage/include/"
msrc=$(echo minizip-*/)
for f in ioapi unzip zip; do
  $cc -I"$stage/include" -c "$msrc$f.c" -o "minizip-$f.o" 2>>minizip.log
done
$triplet-ar rcs "$stage/lib/libminizip.a" minizip-*.o
cp "${msrc}ioapi.h" "${msrc}unzip.h" "${msrc}zip.h" "${msrc}crypt.h" "$stage/include/minizip/"
mkdir -p "$stage/lib/pkgconfig"
printf '%s\n' "prefix=$stage" 'Name: minizip' 'Description: minizip' "Version: $minizip" \
  'Cflags: -I${prefix}/include/minizip' 'Libs: -L${prefix}/lib -lminizip -lz' > "$stage/lib/pkgconfig/minizip.pc"

# meshoptimizer, which the importer uses beside Assimp: its sources in one library.
osrc=$(echo meshoptimizer-*/)
for f in "$osrc"src/*.cpp; do
  $triplet-g++-posix -O2 -ffp-contract=off -c "$f" -o "meshopt-$(basename "$f" .cpp).o" 2>>meshoptimizer.log
done
$triplet-ar rcs "$stage/lib/libmeshoptimizer.a" meshopt-*.o
cp "${osrc}src/meshoptimizer.h" "$stage/include/"

# libimagequant (C) as Debian configures it for amd64 (-O3, SSE), less
# OpenMP: the conversion runs it on one thread, and Windows has no libgomp
# to link. Its arithmetic is the same either way. Its palette sort is given
# the Linux C library's order (see mingw-merge-qsort.c).
qsrc=$(echo libimagequant-*/)
qflags="-std=c99 -O3 -DNDEBUG -DUSE_SSE=1 -msse -mfpmath=sse -fexcess-precision=fast -ffp-contract=off"
for f in pam mediancut blur mempool kmeans nearest libimagequant; do
  $triplet-gcc-posix $qflags -Dqsort=vantrel_merge_qsort -Wno-unknown-pragmas -I"$qsrc" \
    -c "$qsrc$f.c" -o "imagequant-$f.o" 2>>imagequant.log
done
$triplet-gcc-posix $qflags -c "$here/mingw-merge-qsort.c" -o imagequant-merge-qsort.o
$triplet-ar rcs "$stage/lib/libimagequant.a" imagequant-*.o
cp "${qsrc}libimagequant.h" "$stage/include/"

# Header-only libraries Debian also strips: the same -dev packages the Linux
# build uses, exposed alone so no Linux header reaches the Windows build.
cp /usr/include/utf8cpp/utf8.h "$stage/include/utf8cpp/"
cp -r /usr/include/utf8cpp/utf8 "$stage/include/utf8cpp/"
mkdir -p "$stage/include/stb" && cp /usr/include/stb/stb_image.h /usr/include/stb/stb_image_write.h /usr/include/stb/stb_image_resize.h "$stage/include/stb/"

# Assimp as Debian configures it (-O2, assertions kept), less what a reader does not need: no tools,
# tests, exporters or samples; static, for one self-contained program.
asrc=$(echo assimp-*/)
# Debian links its own Draco (compressed glTF meshes); building Draco for
# Windows too would double the time, so that one patch is taken back.
patch -d "$asrc" -R -p1 -s < "${asrc}debian/patches/use-system-libdraco.patch"
PKG_CONFIG_LIBDIR=$stage/lib/pkgconfig PKG_CONFIG_PATH= \
cmake -S "$asrc" -B assimp-build -G "Unix Makefiles" \
  -DCMAKE_TOOLCHAIN_FILE="$here/mingw-x86_64.cmake" -DCMAKE_BUILD_TYPE=None \
  -DCMAKE_C_FLAGS="-O2 -ffp-contract=off" \
  -DCMAKE_CXX_FLAGS="-O2 -ffp-contract=off -I$stage/include/utf8cpp -I$stage/include" \
  -DCMAKE_INSTALL_PREFIX="$stage" \
  -DBUILD_SHARED_LIBS=OFF -DASSIMP_BUILD_TESTS=OFF -DASSIMP_BUILD_ASSIMP_TOOLS=OFF \
  -DASSIMP_BUILD_SAMPLES=OFF -DASSIMP_BUILD_DOCS=OFF -DASSIMP_NO_EXPORT=ON \
  -DASSIMP_BUILD_ZLIB=OFF -DZLIB_LIBRARY="$stage/lib/libz.a" -DZLIB_INCLUDE_DIR="$stage/include" \
  -DASSIMP_BUILD_DRACO=OFF -DASSIMP_WARNINGS_AS_ERRORS=OFF -DASSIMP_INSTALL_PDB=OFF \
  -DASSIMP_IGNORE_GIT_HASH=ON >assimp-configure.log
cmake --build assimp-build -j"${JOBS:-$(nproc)}" >assimp-build.log 2>&1 || { tail -40 assimp-build.log >&2; exit 1; }
cmake --install assimp-build >/dev/null

# Their licences go into the download with the programs.
cp "${asrc}LICENSE" "$stage/licenses/assimp.txt"
cp "${asrc}debian/copyright" "$stage/licenses/assimp-debian-copyright.txt"
cp "${zsrc}debian/copyright" "$stage/licenses/zlib.txt"
cp "${msrc}debian/copyright" "$stage/licenses/minizip.txt"
cp "${osrc}debian/copyright" "$stage/licenses/meshoptimizer.txt"
cp "${qsrc}COPYRIGHT" "$stage/licenses/libimagequant.txt"
cp "${qsrc}debian/copyright" "$stage/licenses/libimagequant-debian-copyright.txt"
cp /usr/share/doc/libutfcpp-dev/copyright "$stage/licenses/utfcpp.txt"
cp /usr/share/doc/libstb-dev/copyright "$stage/licenses/stb.txt"
echo "libstb $stb (the headers of libstb-dev)" >>built-versions
cp built-versions "$stage/VERSIONS"
printf '%s\n' "$wanted" > "$stage/.complete"

rm -rf "$prefix" && mv "$stage" "$prefix"
# The prefix was written into the pkg-config file and Assimp's CMake package
# as the staging folder; they are not used past this build.
echo "$prefix"
