# Compiles the host check (header_check.cpp) the ways a host project sets
# itself up. The right ways compile; <windows.h> before quorvel.h and, on
# x86, a 32-bit time_t each fail with exactly one error (the include order
# only where the system's headers cannot take it), the library's own
# message. The directory of this file comes first in the include path: its
# ws2bth.h fails any header that includes it. Run with cmake -P and:
#   QV_HOST         the compiler and its flags, include path included
#   QV_SYNTAX_ONLY  the flags before the source that make it check only
#   QV_TIME64       the definitions of a 64-bit time_t (may be empty)
#   QV_TIME32       those of a 32-bit one (may be empty)
#   QV_BITS         the pointer size; QV_SOURCE the host check
#   QV_WINDOWS_FIRST_REFUSED  whether <windows.h> first must be refused
set(failures "")

# Compiles with the extra flags; expect is "" (must compile) or a regular
# expression that the one error must match.
function(qv_host_case name expect)
  execute_process(COMMAND ${QV_HOST} ${ARGN} ${QV_SYNTAX_ONLY} ${QV_SOURCE}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(text "${out}${err}")
  string(REGEX MATCHALL "error:" errors "${text}")
  list(LENGTH errors count)
  set(failure "")
  if(expect STREQUAL "" AND NOT rc EQUAL 0)
    set(failure "does not compile\n${text}")
  elseif(NOT expect STREQUAL "" AND rc EQUAL 0)
    set(failure "compiles, but must be refused")
  elseif(NOT expect STREQUAL "" AND (NOT count EQUAL 1 OR NOT text MATCHES "${expect}"))
    set(failure "not refused with one error matching '${expect}' (${count} errors)\n${text}")
  endif()
  if(failure)
    set(failures "${failures}${name}: ${failure}\n" PARENT_SCOPE)
  endif()
endfunction()

set(order "quorvel: <windows.h> came before <quorvel/quorvel.h>[^\n]*Include <quorvel/quorvel.h> first[^\n]*WIN32_LEAN_AND_MEAN before <windows.h>")
qv_host_case("quorvel.h first" "" ${QV_TIME64})
qv_host_case("lean <windows.h> first" "" ${QV_TIME64} -DQV_LEAN_WINDOWS_FIRST)
qv_host_case("<windows.h> first without <winsock.h>" "" ${QV_TIME64} -DQV_WINSOCK_KEPT_OUT)
# mingw-w64's own headers accept this order, so MinGW hosts are not refused.
if(QV_WINDOWS_FIRST_REFUSED)
  qv_host_case("<windows.h> first" "${order}" ${QV_TIME64} -DQV_WINDOWS_FIRST)
else()
  qv_host_case("<windows.h> first" "" ${QV_TIME64} -DQV_WINDOWS_FIRST)
endif()
if(QV_BITS EQUAL 32)
  qv_host_case("32-bit time_t" "quorvel: this host has a 32-bit time_t[^\n]*needs a 64-bit one\\. (Define __MINGW_USE_VC2005_COMPAT|Remove _USE_32BIT_TIME_T)" ${QV_TIME32})
endif()

if(failures)
  message(FATAL_ERROR "host set-up check:\n${failures}")
endif()
