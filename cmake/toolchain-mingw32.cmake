# Cross build for 32-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-i686-posix).
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw32.cmake
# Only built here: running it needs a 32-bit Wine.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QUORLITH_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
