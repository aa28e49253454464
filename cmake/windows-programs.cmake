# vantrel-export.exe and vantrel-view.exe: the Linux build's libraries from
# the folder cmake/mingw-assimp.sh wrote (VANTREL_MINGW_DEPS), the header-only
# ones from the build machine's Debian packages, each exposed alone.
set(deps ${VANTREL_MINGW_DEPS})
foreach(file lib/libassimp.a lib/libminizip.a lib/libz.a lib/libmeshoptimizer.a lib/libimagequant.a
             include/assimp/Importer.hpp include/stb/stb_image_resize.h)
  if(NOT EXISTS ${deps}/${file})
    message(FATAL_ERROR "${deps}/${file} is missing: build it with make assimp-mingw")
  endif()
endforeach()

add_library(ZLIB::ZLIB STATIC IMPORTED)
set_target_properties(ZLIB::ZLIB PROPERTIES IMPORTED_LOCATION ${deps}/lib/libz.a
                                            INTERFACE_INCLUDE_DIRECTORIES ${deps}/include)
add_library(assimp::assimp STATIC IMPORTED)
set_target_properties(assimp::assimp PROPERTIES IMPORTED_LOCATION ${deps}/lib/libassimp.a
                                                INTERFACE_INCLUDE_DIRECTORIES ${deps}/include
                                                INTERFACE_LINK_LIBRARIES "${deps}/lib/libminizip.a;ZLIB::ZLIB")
add_library(meshoptimizer::meshoptimizer STATIC IMPORTED)
set_target_properties(meshoptimizer::meshoptimizer PROPERTIES IMPORTED_LOCATION ${deps}/lib/libmeshoptimizer.a
                                                              INTERFACE_INCLUDE_DIRECTORIES ${deps}/include)

find_path(CLI11_DIR CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/cli11-include)
file(CREATE_LINK ${CLI11_DIR}/CLI ${CMAKE_BINARY_DIR}/cli11-include/CLI SYMBOLIC)
add_library(CLI11::CLI11 INTERFACE IMPORTED)
target_include_directories(CLI11::CLI11 SYSTEM INTERFACE ${CMAKE_BINARY_DIR}/cli11-include)

set(IMAGEQUANT_INCLUDE_DIR ${deps}/include)
set(IMAGEQUANT_LIBRARY ${deps}/lib/libimagequant.a)

# stb: Debian's static library is built for Linux; its implementations are
# compiled here from the same headers, with the wrapping arithmetic Debian
# builds them with, assertions kept as there.
set(STB_INCLUDE_DIR ${deps}/include/stb)
file(WRITE ${CMAKE_BINARY_DIR}/stb_implementation.c
     "#define STB_IMAGE_IMPLEMENTATION\n#include <stb_image.h>\n"
     "#define STB_IMAGE_WRITE_IMPLEMENTATION\n#include <stb_image_write.h>\n"
     "#define STB_IMAGE_RESIZE_IMPLEMENTATION\n#include <stb_image_resize.h>\n")
enable_language(C RC)
add_library(stb_windows STATIC ${CMAKE_BINARY_DIR}/stb_implementation.c)
target_include_directories(stb_windows PRIVATE ${STB_INCLUDE_DIR})
target_compile_options(stb_windows PRIVATE -fwrapv -UNDEBUG -w)
set(STB_LIBRARY stb_windows)

# The plug-in is found beside the program, as in the download.
set(VANTREL_PLUGINDIR_FROM_BINDIR .)

include(cmake/host-rooms.cmake)
add_subdirectory(view)
add_subdirectory(cli)

# Both programs speak UTF-8 (see platform/utf8_conversions_windows.cpp and
# platform/utf8_console_windows.cpp).
add_library(utf8_program OBJECT platform/utf8_conversions_windows.cpp platform/utf8_console_windows.cpp
                                platform/utf8_program.rc)
add_library(dialog_standins OBJECT platform/platform_ui_standin.cpp)
target_link_libraries(dialog_standins PRIVATE hmModelLib)
foreach(program vantrel-export vantrel-view)
  target_link_libraries(${program} PRIVATE utf8_program)
endforeach()
target_link_libraries(vantrel-export PRIVATE dialog_standins psapi)
# stat of 64 bits: a model file may be larger than 2 GiB.
target_compile_definitions(vantrel-export PRIVATE _FILE_OFFSET_BITS=64)
