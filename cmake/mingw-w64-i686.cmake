# Cross-compiles QK for 32-bit Windows with the mingw-w64 toolchain that
# Debian ships (g++-mingw-w64-i686). The win32 threads variant is used: QK
# has one thread, and it links statically without the winpthread DLL.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QK_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
