# The libraries the host program reads models and images with, from Debian's
# packages. A Windows build defines the same names (cmake/windows-programs.cmake).
find_package(assimp REQUIRED)
find_package(meshoptimizer REQUIRED)
# Textures: stb decodes and resamples, libimagequant (GPL-3.0-or-later) makes the palettes.
find_path(STB_INCLUDE_DIR stb_image.h PATH_SUFFIXES stb REQUIRED)
find_library(STB_LIBRARY NAMES libstb.a stb REQUIRED)
find_path(IMAGEQUANT_INCLUDE_DIR libimagequant.h REQUIRED)
find_library(IMAGEQUANT_LIBRARY NAMES imagequant REQUIRED)
# Debian builds it with OpenMP; the conversion holds it to one thread.
set(IMAGEQUANT_OPENMP gomp)
