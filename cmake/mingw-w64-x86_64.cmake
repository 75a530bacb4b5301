# Cross-compiles QK for 64-bit Windows with mingw-w64
# (g++-mingw-w64-x86-64). The shipped build is the 32-bit one; this one
# exists so the Windows build can be run under a 64-bit-only Wine, on
# machines whose kernel cannot start 32-bit Linux programs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(QK_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
