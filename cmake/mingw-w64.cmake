# Cross-compiles the engine for 64-bit Windows with Debian's mingw-w64.
#
# The -posix flavour of the compiler is the one whose libstdc++ has
# std::thread (over winpthreads); the -win32 flavour has none. Everything is
# linked statically, libstdc++, libgcc and winpthreads included, so that the
# .exe runs on a bare Windows machine with nothing beside it: a tournament
# manager copies just the one file.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(RUVAN_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${RUVAN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${RUVAN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${RUVAN_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${RUVAN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -s: the static runtime libraries bring debug sections of their own, two
# thirds of the file, which nobody debugging a tournament brain would use.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -s")
