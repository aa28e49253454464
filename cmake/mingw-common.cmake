# What both mingw-w64 cross-builds share; the including file sets
# CMAKE_SYSTEM_PROCESSOR and MINGW_TRIPLET first.
set(CMAKE_SYSTEM_NAME Windows)

# The posix threading variant: the bake's threads are std::thread, which
# the win32 variant of this compiler does not have. Linked statically, as
# the rest of the runtime.
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)

# Libraries and headers come from the target's tree only; programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
