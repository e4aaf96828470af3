# Reads the one stub_size constant from app/stub_size.h, so that the build, the stub, the
# engine and the tools can never disagree on it.
function(vantrel_read_stub_size header out_var)
  file(STRINGS "${header}" line REGEX "constexpr[ \t]+int32_t[ \t]+stub_size[ \t]*=")
  string(REGEX MATCH "=[ \t]*([0-9]+)" match "${line}")
  if(NOT CMAKE_MATCH_1)
    message(FATAL_ERROR "cannot read stub_size from ${header}")
  endif()
  set(${out_var} ${CMAKE_MATCH_1} PARENT_SCOPE)
endfunction()
