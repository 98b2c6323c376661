# Cross-build for Windows x86-64 with Debian's mingw-w64. The -posix
# compilers carry the C++20 thread library (std::thread, std::mutex); the
# win32 thread model has none. Everything is linked statically, so the
# program and the library import only Windows system DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TW3_MINGW_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${TW3_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TW3_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TW3_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TW3_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes and winpthreads go into every binary.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests run through wine when it is there (make windows-test sets WINEPREFIX).
find_program(TW3_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(TW3_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TW3_WINE})
endif()
