# Cross-compiling for 32-bit Windows with mingw-w64 (Debian: g++-mingw-w64-i686-posix).
# 32-bit DLLs export undecorated names: link them with -Wl,--kill-at or a .def file.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
