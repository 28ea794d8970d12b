# The C interface (include/quorvel/quorvel_c.h): a layer over the C++
# classes, in the same objects, so the suites reach it too.
list(APPEND QV_SOURCES
  capi/table.cpp
  capi/events.cpp
  capi/error_text.cpp
  capi/library.cpp
  capi/serial.cpp
  capi/sockets.cpp
  capi/bluetooth.cpp
  capi/finders.cpp
  capi/watch.cpp
  capi/address.cpp
)
set_source_files_properties(capi/library.cpp PROPERTIES COMPILE_DEFINITIONS
  "QV_LIBRARY_VERSION_MAJOR=${PROJECT_VERSION_MAJOR};QV_LIBRARY_VERSION_MINOR=${PROJECT_VERSION_MINOR};QV_LIBRARY_VERSION_PATCH=${PROJECT_VERSION_PATCH}")

# quorvel.dll exports the C functions under their plain names in both
# flavours, through a definition file made from the header's declarations.
# MinGW's 32-bit linker is told each function's __stdcall symbol (name@N,
# N the argument bytes: every argument is a pointer or a 32-bit value) and
# the plain name to export it as; lld-link finds the symbol by the plain
# name itself. The C++ exports keep their own names.
set(QV_C_HEADER ${CMAKE_CURRENT_SOURCE_DIR}/include/quorvel/quorvel_c.h)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QV_C_HEADER})
file(READ ${QV_C_HEADER} qv_c_text)
string(REGEX MATCHALL "QV_C_API DWORD WINAPI qv_[a-z0-9_]+\\([^)]*\\)" qv_c_decls "${qv_c_text}")
set(qv_c_def "EXPORTS\n")
set(QV_C_FUNCTIONS)
foreach(decl IN LISTS qv_c_decls)
  string(REGEX REPLACE "^QV_C_API DWORD WINAPI (qv_[a-z0-9_]+)\\(.*$" "\\1" name "${decl}")
  string(REGEX REPLACE "^[^(]*\\(([^)]*)\\)$" "\\1" args "${decl}")
  string(REGEX REPLACE "[^,]" "" commas "${args}")
  string(LENGTH "${commas}" count)
  math(EXPR bytes "(${count} + 1) * 4")
  list(APPEND QV_C_FUNCTIONS ${name})
  if(MINGW AND CMAKE_SIZEOF_VOID_P EQUAL 4)
    string(APPEND qv_c_def "    ${name}@${bytes} == ${name}\n")
  else()
    string(APPEND qv_c_def "    ${name}\n")
  endif()
endforeach()
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/quorvel_c.def CONTENT "${qv_c_def}")
list(APPEND QV_DLL_SOURCES ${CMAKE_BINARY_DIR}/quorvel_c.def)
