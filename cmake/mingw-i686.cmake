# Toolchain of the stub and the 32-bit Windows tests.
set(VANTREL_MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
