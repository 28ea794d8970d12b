# step(<what> <command>...) for the cmake -P checks: runs the command, fails
# the check (named by qv_check) with its output when it fails, and leaves its
# standard output in step_output.
function(step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${qv_check}: ${what} failed (${rc})\n${out}\n${err}")
  endif()
  set(step_output "${out}" PARENT_SCOPE)
endfunction()
