# Makes the Windows release zip: one folder named as the zip, holding vantrel.exe, README.md
# and LICENSE.
#   cmake -DEXE=vantrel.exe -DSOURCE=tree -DOUTPUT=vantrel-V-win64.zip -P windows_zip.cmake
get_filename_component(name "${OUTPUT}" NAME_WLE)
get_filename_component(folder "${OUTPUT}" DIRECTORY)
set(stage "${folder}/zip-stage")
file(REMOVE_RECURSE "${stage}")
file(MAKE_DIRECTORY "${stage}/${name}")
file(COPY "${EXE}" "${SOURCE}/README.md" "${SOURCE}/LICENSE" DESTINATION "${stage}/${name}")
file(GLOB_RECURSE members RELATIVE "${stage}" "${stage}/*")
list(SORT members)
# Fixed times and order: the same inputs give the same zip.
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf "${OUTPUT}.tmp" --format=zip
                        "--mtime=2000-01-01 00:00:00 UTC" ${members}
                WORKING_DIRECTORY "${stage}" RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cannot make ${OUTPUT}")
endif()
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
file(REMOVE_RECURSE "${stage}")
