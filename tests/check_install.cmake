# What `cmake --install` gives, as a test (ctest runs it as "install"): installed into a fresh
# folder, the tool runs and packs and lists an archive, its manual page is there and reads as
# gzip, and its bash completion is there and defines the completion for vantrel.
#
#   cmake -DBUILD=<build tree> -DSOURCE=<source tree> -P tests/check_install.cmake
cmake_minimum_required(VERSION 3.25)
if(NOT BUILD OR NOT SOURCE)
  message(FATAL_ERROR "usage: cmake -DBUILD=<build tree> -DSOURCE=<source tree> -P check_install.cmake")
endif()

set(prefix ${BUILD}/install-check)
file(REMOVE_RECURSE ${prefix})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix}
                RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(code)
  message(FATAL_ERROR "cmake --install failed:\n${out}")
endif()

set(tool ${prefix}/bin/vantrel)
set(man ${prefix}/share/man/man1/vantrel.1.gz)
set(completion ${prefix}/share/bash-completion/completions/vantrel)
foreach(file ${tool} ${man} ${completion})
  if(NOT EXISTS ${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()

execute_process(COMMAND ${tool} --version OUTPUT_VARIABLE out RESULT_VARIABLE code)
if(code OR NOT out MATCHES "^vantrel [0-9.]+")
  message(FATAL_ERROR "the installed vantrel does not run: ${code} ${out}")
endif()
set(work ${prefix}/work)
file(WRITE ${work}/tree/readme.txt "installed\n")
execute_process(COMMAND ${tool} pack -q -o ${work}/a.exe -C ${work}/tree .
                RESULT_VARIABLE code ERROR_VARIABLE out)
execute_process(COMMAND ${tool} list ${work}/a.exe OUTPUT_VARIABLE listing RESULT_VARIABLE code2)
if(code OR code2 OR NOT listing MATCHES "readme.txt")
  message(FATAL_ERROR "the installed vantrel cannot pack and list: ${code} ${code2} ${out}")
endif()

execute_process(COMMAND gzip -dc ${man} OUTPUT_VARIABLE page RESULT_VARIABLE code)
if(code OR NOT page MATCHES "^\\.TH VANTREL 1")
  message(FATAL_ERROR "the manual page is not a gzip-compressed page: ${code}")
endif()

execute_process(COMMAND bash -c "complete() { echo \"complete $*\"; }; source '${completion}'"
                OUTPUT_VARIABLE out RESULT_VARIABLE code)
if(code OR NOT out MATCHES "complete -F _vantrel vantrel")
  message(FATAL_ERROR "the completion does not load: ${code} ${out}")
endif()
file(REMOVE_RECURSE ${prefix})
