# Toolchain of the 64-bit Windows tests and the stub's 64-bit build.
set(VANTREL_MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
