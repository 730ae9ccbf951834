# Cross-build for Windows x86-64 with mingw-w64 (Debian: g++-mingw-w64-x86-64):
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The posix threads variant of the compiler, since the copies run on std::thread.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The program runs where it is copied: the C and C++ runtimes are linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(KALVENTO_WINE wine)
  if(KALVENTO_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${KALVENTO_WINE})
  endif()
endif()
