# How a host project compiles against the headers with this build's compiler
# (mingw-w64 g++, or clang in MSVC mode), for the host checks (host_setup,
# package): qv_header_flags and qv_header_defs (the build's flags and
# definitions), qv_host (the compiler as a host runs it, with warnings but
# without turning them into errors), qv_syntax_only (the flags before a
# source that make it check only), qv_time32 and qv_time64 (the definitions
# of a 32-bit and a 64-bit time_t; may be empty), qv_windows_first_refused
# (whether <windows.h> before quorvel.h must be refused).
separate_arguments(qv_header_flags NATIVE_COMMAND "${CMAKE_CXX_FLAGS}")
get_directory_property(qv_header_defs COMPILE_DEFINITIONS)
list(TRANSFORM qv_header_defs PREPEND -D)
set(qv_time64 "")
if(QV_FLAVOUR STREQUAL "msvc")
  set(qv_host ${CMAKE_CXX_COMPILER} --target=${CMAKE_CXX_COMPILER_TARGET} ${qv_header_flags} /W4)
  set(qv_syntax_only /Zs /Tp)
  set(qv_time32 -D_USE_32BIT_TIME_T)
  set(qv_windows_first_refused ON)
else()
  set(qv_host ${CMAKE_CXX_COMPILER} ${qv_header_flags} -Wall -Wextra)
  set(qv_syntax_only -fsyntax-only)
  set(qv_time32 "")  # mingw-w64's own default on x86
  set(qv_windows_first_refused OFF)
  if(-D__MINGW_USE_VC2005_COMPAT IN_LIST qv_header_defs)
    set(qv_time64 -D__MINGW_USE_VC2005_COMPAT)
  endif()
endif()
set(qv_host_defs ${qv_header_defs})
list(REMOVE_ITEM qv_host_defs -D__MINGW_USE_VC2005_COMPAT)
list(APPEND qv_host ${qv_host_defs})
