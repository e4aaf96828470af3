# Toolchain for the Windows side: mingw-w64 for VANTREL_MINGW_PROCESSOR (i686 or x86_64, set by
# the toolchain file that includes this one), the posix-threads variant (GoogleTest's death
# tests need it; the stub links no C runtime at all, so the variant does not matter there).
set(triple ${VANTREL_MINGW_PROCESSOR}-w64-mingw32)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${VANTREL_MINGW_PROCESSOR})
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_AR ${triple}-gcc-ar-posix)
set(CMAKE_RANLIB ${triple}-gcc-ranlib-posix)
set(CMAKE_STRIP ${triple}-strip)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
