# Every function the C interface's header declares is listed in
# docs/c-api.md's table (a row that starts with its name).
# Run as: cmake -DQV_HEADER=<quorvel_c.h> -DQV_PAGE=<c-api.md> -P docs_check.cmake
file(READ ${QV_HEADER} header)
file(READ ${QV_PAGE} page)
string(REGEX MATCHALL "QV_C_API DWORD WINAPI qv_[a-z0-9_]+\\(" declared "${header}")
set(missing "")
foreach(decl IN LISTS declared)
  string(REGEX REPLACE "^QV_C_API DWORD WINAPI (qv_[a-z0-9_]+)\\($" "\\1" name "${decl}")
  string(FIND "${page}" "| `${name}(" at)
  if(at EQUAL -1)
    string(APPEND missing " ${name}")
  endif()
endforeach()
list(LENGTH declared count)
if(count EQUAL 0 OR missing)
  message(FATAL_ERROR "docs/c-api.md does not list:${missing}")
endif()
message(STATUS "docs/c-api.md lists all ${count} functions")
