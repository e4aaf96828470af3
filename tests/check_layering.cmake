# The layering of the portable code, as a test (ctest runs it as "layering"):
#  - app/, engine/ and fs/, and the seam's header platform/platform.h, include no header of an
#    operating system: they reach the system through platform/platform.h alone. Allowed are
#    the C library's standard headers, the C++ library's (named without an extension) and the
#    compiler's intrinsics (*intrin.h); a header in quotes must be one of the project's below.
#  - engine/ and fs/ include nothing from app/: app/ may include engine/ and fs/, never the
#    reverse. engine/ may include fs/, and fs/ neither app/ nor engine/.
#
#   cmake -DSOURCE=<source tree> -P tests/check_layering.cmake
cmake_minimum_required(VERSION 3.25)
if(NOT SOURCE)
  message(FATAL_ERROR "usage: cmake -DSOURCE=<source tree> -P check_layering.cmake")
endif()

set(c_library_headers
  assert complex ctype errno fenv float inttypes iso646 limits locale math setjmp signal
  stdalign stdarg stdatomic stdbool stddef stdint stdio stdlib stdnoreturn string tgmath threads
  time uchar wchar wctype)

# What each layer may include in quotes, as regular expressions over the quoted path. (No
# message below may hold a semicolon: it would split the list of faults.)
set(allowed_app "^(app|engine|fs)/[^/]+\\.h$|^platform/platform\\.h$")
set(allowed_engine "^(engine|fs)/[^/]+\\.h$|^platform/platform\\.h$")
set(allowed_fs "^fs/[^/]+\\.h$|^platform/platform\\.h$")
set(allowed_platform "^platform/platform\\.h$")

set(faults "")
set(checked 0)
foreach(layer app engine fs platform)
  if(layer STREQUAL "platform")
    set(files "${SOURCE}/platform/platform.h")
  else()
    file(GLOB files "${SOURCE}/${layer}/*.h" "${SOURCE}/${layer}/*.cpp")
  endif()
  foreach(file ${files})
    math(EXPR checked "${checked} + 1")
    file(RELATIVE_PATH name "${SOURCE}" "${file}")
    file(STRINGS "${file}" lines REGEX "^[ \t]*#[ \t]*include")
    foreach(line ${lines})
      string(STRIP "${line}" line)
      if(line MATCHES "^#[ \t]*include[ \t]*<([^>]+)>")
        set(header "${CMAKE_MATCH_1}")
        string(REGEX REPLACE "\\.h$" "" stem "${header}")
        if(header MATCHES "\\.h$" AND stem IN_LIST c_library_headers)
        elseif(header MATCHES "^[a-z_]+$")
        elseif(header MATCHES "^[a-z0-9]*intrin\\.h$")
        else()
          list(APPEND faults "${name}: ${line}: a system header (app, engine and fs reach the "
                             "system through platform/platform.h only)")
        endif()
      elseif(line MATCHES "^#[ \t]*include[ \t]*\"([^\"]+)\"")
        set(header "${CMAKE_MATCH_1}")
        if(NOT header MATCHES "${allowed_${layer}}")
          if(header MATCHES "^app/")
            set(why "engine and fs include nothing from app/ (app may include them)")
          elseif(header MATCHES "^engine/")
            set(why "fs includes nothing from engine/")
          else()
            set(why "not one of the headers this layer may include")
          endif()
          list(APPEND faults "${name}: ${line}: ${why}")
        endif()
      else()
        list(APPEND faults "${name}: ${line}: an include this check cannot read")
      endif()
    endforeach()
  endforeach()
endforeach()

if(checked LESS 10)
  message(FATAL_ERROR "layering: only ${checked} files found below ${SOURCE}; wrong folder?")
endif()
if(faults)
  list(LENGTH faults count)
  string(REPLACE ";" "\n  " text "${faults}")
  message(FATAL_ERROR "layering: ${count} include(s) break the layering:\n  ${text}")
endif()
message(STATUS "layering: ${checked} files of app, engine, fs and platform/platform.h checked")
