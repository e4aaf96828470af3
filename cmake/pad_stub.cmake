# Post-link step of the stub: pads the linked image with zero bytes to exactly SIZE bytes
# (stub_size for the stub that ships), or fails and says by how much the image is too large.
# The padded file appears only on success, so a failed step never leaves a stub of the wrong
# length behind.
#   cmake -DLINKED=... -DOUTPUT=... -DSIZE=... -P pad_stub.cmake
get_filename_component(what "${OUTPUT}" NAME_WE)
file(SIZE "${LINKED}" linked_size)
math(EXPR room "${SIZE} - ${linked_size}")
file(REMOVE "${OUTPUT}")
if(room LESS 0)
  math(EXPR over "-${room}")
  message(FATAL_ERROR "${what}: linked image is ${linked_size} bytes, ${over} bytes "
                      "larger than its size (${SIZE}); make the stub smaller")
endif()
message(STATUS "${what}: linked image ${linked_size} bytes, padded with ${room} zero "
               "bytes to ${SIZE}")
file(COPY_FILE "${LINKED}" "${OUTPUT}.tmp")
execute_process(COMMAND truncate -s ${SIZE} "${OUTPUT}.tmp" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${what}: padding failed")
endif()
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
