# The Windows side, built through its own CMake project (win/) twice: with the i686 mingw-w64
# toolchain (the stub, the Windows tests) and with the x86_64 one (the same tests and the
# stub's 64-bit stand-in, for machines that run 64-bit Windows programs only); and the host
# target that carries the stub.
#
# Targets for the rest of the build:
#   vantrel_windows         the i686 build in win/; BUILD_ALWAYS, cheap when nothing changed
#   vantrel_windows64       the x86_64 build in win64/, likewise
#   vantrel_embedded_stub   host library defining embedded_stub[] (packer/embedded_stub.h);
#                           link it to write self-extracting archives
# Variables:
#   VANTREL_STUB_EXE        the padded stub (empty when the Windows side is off)
#   VANTREL_WIN_TESTS_EXE   the Windows test program

include(${CMAKE_CURRENT_LIST_DIR}/stub_size.cmake)
vantrel_read_stub_size(${CMAKE_SOURCE_DIR}/app/stub_size.h VANTREL_STUB_SIZE)

set(VANTREL_STUB_FILE "" CACHE FILEPATH
    "With VANTREL_WINDOWS=OFF: a stub built elsewhere to embed (otherwise a stand-in)")

set(VANTREL_STUB_EXE "")
set(VANTREL_WIN_TESTS_EXE "")
if(VANTREL_WINDOWS)
  include(ExternalProject)
  set(VANTREL_STUB_EXE ${CMAKE_BINARY_DIR}/win/vantrel_stub.exe)
  set(VANTREL_WIN_TESTS_EXE ${CMAKE_BINARY_DIR}/win/vantrel_tests_win.exe)
  # The two builds of win/: NAME, its folder below the build, its processor.
  foreach(build vantrel_windows:win:i686 vantrel_windows64:win64:x86_64)
    string(REPLACE ":" ";" build ${build})
    list(GET build 0 name)
    list(GET build 1 folder)
    list(GET build 2 processor)
    set(byproducts ${CMAKE_BINARY_DIR}/${folder}/vantrel_tests_win.exe)
    set(after "")
    if(processor STREQUAL i686)
      list(APPEND byproducts ${VANTREL_STUB_EXE})
    else()
      # vantrel.exe carries the stub the i686 build makes.
      list(APPEND byproducts ${CMAKE_BINARY_DIR}/${folder}/vantrel.exe)
      set(after vantrel_windows)
    endif()
    ExternalProject_Add(${name}
      SOURCE_DIR ${CMAKE_SOURCE_DIR}/win
      BINARY_DIR ${CMAKE_BINARY_DIR}/${folder}
      CMAKE_ARGS
        -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-${processor}.cmake
        -DCMAKE_BUILD_TYPE=Release
        -DVANTREL_SOURCE=${CMAKE_SOURCE_DIR}
        -DVANTREL_WERROR=${vantrel_werror}
        -DVANTREL_STUB_FILE=${VANTREL_STUB_EXE}
      DEPENDS ${after}
      INSTALL_COMMAND ""
      BUILD_ALWAYS ON
      USES_TERMINAL_BUILD ON
      BUILD_BYPRODUCTS ${byproducts})
  endforeach()
  set(embed_input ${VANTREL_STUB_EXE})
elseif(VANTREL_STUB_FILE)
  set(embed_input ${VANTREL_STUB_FILE})
else()
  set(embed_input "")
  message(STATUS "vantrel: no Windows side; embedding a stand-in stub of zero bytes")
endif()

set(embedded_source ${CMAKE_BINARY_DIR}/generated/embedded_stub.cpp)
add_custom_command(OUTPUT ${embedded_source}
  COMMAND ${CMAKE_COMMAND} -DINPUT=${embed_input} -DOUTPUT=${embedded_source}
          -DSIZE_HEADER=${CMAKE_SOURCE_DIR}/app/stub_size.h
          -P ${CMAKE_SOURCE_DIR}/cmake/embed_stub.cmake
  DEPENDS ${embed_input} ${CMAKE_SOURCE_DIR}/cmake/embed_stub.cmake
          ${CMAKE_SOURCE_DIR}/app/stub_size.h
  COMMENT "Embedding the stub"
  VERBATIM)
add_library(vantrel_embedded_stub STATIC ${embedded_source})
target_include_directories(vantrel_embedded_stub PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(vantrel_embedded_stub PRIVATE vantrel_options)
if(VANTREL_WINDOWS)
  add_dependencies(vantrel_embedded_stub vantrel_windows)
endif()
