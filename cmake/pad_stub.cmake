# Post-link step of the stub: pads the linked image with zero bytes to exactly stub_size, or
# fails and says by how much the image is too large. The padded file appears only on success,
# so a failed step never leaves a stub of the wrong length behind.
#   cmake -DLINKED=... -DOUTPUT=... -DSIZE_HEADER=.../app/stub_size.h -P pad_stub.cmake
include(${CMAKE_CURRENT_LIST_DIR}/stub_size.cmake)
vantrel_read_stub_size("${SIZE_HEADER}" stub_size)
file(SIZE "${LINKED}" linked_size)
math(EXPR room "${stub_size} - ${linked_size}")
file(REMOVE "${OUTPUT}")
if(room LESS 0)
  math(EXPR over "-${room}")
  message(FATAL_ERROR "vantrel_stub: linked image is ${linked_size} bytes, ${over} bytes "
                      "larger than stub_size (${stub_size}); make the stub smaller")
endif()
message(STATUS "vantrel_stub: linked image ${linked_size} bytes, padded with ${room} zero "
               "bytes to ${stub_size}")
file(COPY_FILE "${LINKED}" "${OUTPUT}.tmp")
execute_process(COMMAND truncate -s ${stub_size} "${OUTPUT}.tmp" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "vantrel_stub: padding failed")
endif()
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
