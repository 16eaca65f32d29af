# Cross-compiling for Windows (i686) with mingw-w64 (the win32 thread model:
# no std::thread or std::mutex, which the library does not use).
#   cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QZUSBD_MINGW_TRIPLE i686-w64-mingw32)

find_program(CMAKE_C_COMPILER NAMES ${QZUSBD_MINGW_TRIPLE}-gcc-win32 ${QZUSBD_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${QZUSBD_MINGW_TRIPLE}-g++-win32 ${QZUSBD_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${QZUSBD_MINGW_TRIPLE}-windres)
find_program(QZUSBD_OBJDUMP NAMES ${QZUSBD_MINGW_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${QZUSBD_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The DLL and the test programs import system DLLs only.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

# Tests run under Wine's 32-bit loader (Debian's wine32:i386).
find_program(QZUSBD_WINE NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(QZUSBD_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QZUSBD_WINE})
endif()
