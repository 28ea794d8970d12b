# What a host meets: the public headers compile on their own in every
# language version from C++98 to C++20, with this build's compiler (mingw-w64
# g++, or clang in MSVC mode), as an old or a new host project would include
# them; they refuse a host set up wrongly; the release ZIP holds what it
# should.
set(QV_HEADER_CHECK ${CMAKE_CURRENT_LIST_DIR}/header_check.cpp)
separate_arguments(qv_header_flags NATIVE_COMMAND "${CMAKE_CXX_FLAGS}")
get_directory_property(qv_header_defs COMPILE_DEFINITIONS)
list(TRANSFORM qv_header_defs PREPEND -D)
foreach(std 98 11 14 17 20)
  if(QV_FLAVOUR STREQUAL "msvc")
    set(command ${CMAKE_CXX_COMPILER} --target=${CMAKE_CXX_COMPILER_TARGET} ${qv_header_flags}
        ${qv_header_defs} /clang:-std=c++${std} /W4 /WX -I${CMAKE_SOURCE_DIR}/include
        /Zs /Tp ${QV_HEADER_CHECK})
  else()
    set(command ${CMAKE_CXX_COMPILER} ${qv_header_flags} ${qv_header_defs} -std=c++${std}
        -Wall -Wextra -Werror -I${CMAKE_SOURCE_DIR}/include -fsyntax-only ${QV_HEADER_CHECK})
  endif()
  add_test(NAME headers_cxx${std} COMMAND ${command})
endforeach()

# The C interface's header as C (C99 and C11), after <windows.h>.
set(QV_HEADER_CHECK_C ${CMAKE_CURRENT_LIST_DIR}/header_check_c.c)
separate_arguments(qv_header_c_flags NATIVE_COMMAND "${CMAKE_C_FLAGS}")
foreach(std 99 11)
  if(QV_FLAVOUR STREQUAL "msvc")
    set(command ${CMAKE_C_COMPILER} --target=${CMAKE_C_COMPILER_TARGET} ${qv_header_c_flags}
        ${qv_header_defs} /clang:-std=c${std} /W4 /WX -I${CMAKE_SOURCE_DIR}/include
        /Zs /Tc ${QV_HEADER_CHECK_C})
  else()
    set(command ${CMAKE_C_COMPILER} ${qv_header_c_flags} ${qv_header_defs} -std=c${std}
        -Wall -Wextra -pedantic -Werror -I${CMAKE_SOURCE_DIR}/include -fsyntax-only
        ${QV_HEADER_CHECK_C})
  endif()
  add_test(NAME headers_c${std} COMMAND ${command})
endforeach()

# How a host project sets itself up: the include order and the size of
# time_t, each refused with one message that says what to do, and no need
# of <ws2bth.h> (see host_setup/run.cmake). Compiled as a host would, with
# warnings but without turning them into errors.
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
    list(REMOVE_ITEM qv_header_defs -D__MINGW_USE_VC2005_COMPAT)
  endif()
endif()
list(APPEND qv_host ${qv_header_defs})
add_test(NAME host_setup COMMAND ${CMAKE_COMMAND}
  "-DQV_HOST=${qv_host};-I${CMAKE_CURRENT_LIST_DIR}/host_setup;-I${CMAKE_SOURCE_DIR}/include"
  "-DQV_SYNTAX_ONLY=${qv_syntax_only}" "-DQV_TIME64=${qv_time64}" "-DQV_TIME32=${qv_time32}"
  -DQV_BITS=${QV_BITS} -DQV_SOURCE=${QV_HEADER_CHECK}
  -DQV_WINDOWS_FIRST_REFUSED=${qv_windows_first_refused}
  -P ${CMAKE_CURRENT_LIST_DIR}/host_setup/run.cmake)

# The release ZIP of this build, as its user unpacks it (package/run.cmake).
add_test(NAME package_contents COMMAND ${CMAKE_COMMAND} -DQV_CPACK=${CMAKE_CPACK_COMMAND}
  -DQV_BUILD=${CMAKE_BINARY_DIR} -DQV_NAME=${QV_PACKAGE_NAME} -DQV_SOURCE=${CMAKE_SOURCE_DIR}
  -DQV_FLAVOUR=${QV_FLAVOUR} "-DQV_HOST=${qv_host};${qv_time64}"
  "-DQV_SYNTAX_ONLY=${qv_syntax_only}" -P ${CMAKE_CURRENT_LIST_DIR}/package/run.cmake)
set_tests_properties(package_contents PROPERTIES TIMEOUT 300)
