# cmake -DFILE=<program> -DLIMIT=<bytes> -P check_size.cmake: fails the build
# when a shipped program is larger than the limit.
file(SIZE ${FILE} size)
if(size GREATER LIMIT)
  message(FATAL_ERROR "${FILE} has ${size} bytes, more than the ${LIMIT} allowed")
endif()
