# The public headers compile on their own in every language version from
# C++98 to C++20, with this build's compiler (mingw-w64 g++, or clang in
# MSVC mode), as an old or a new host project would include them.
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
