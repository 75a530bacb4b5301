# The parts of the mingw-w64 toolchain files that do not depend on the
# target architecture: which compilers to use, and where to look for
# libraries and headers (the cross sysroot only, never the host's).
set(CMAKE_C_COMPILER ${QK_MINGW_PREFIX}-gcc-win32)
set(CMAKE_CXX_COMPILER ${QK_MINGW_PREFIX}-g++-win32)
set(CMAKE_RC_COMPILER ${QK_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
