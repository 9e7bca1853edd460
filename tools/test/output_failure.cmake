# Runs the `teds` program with its standard output on a full device and
# closed: each must end with the message on standard error and exit status 4
# (not 0, and not a silent end by signal). POSIX shells and /dev/full only.
foreach(redirect ">/dev/full" ">&-")
  execute_process(COMMAND sh -c "\"${TEDS}\" bench ${redirect}"
    RESULT_VARIABLE status ERROR_VARIABLE err)
  if(NOT status EQUAL 4)
    message(FATAL_ERROR "teds bench ${redirect}: exit status ${status}, expected 4")
  endif()
  if(NOT err MATCHES "^teds: standard output could not be written")
    message(FATAL_ERROR "teds bench ${redirect}: unexpected message: ${err}")
  endif()
endforeach()
