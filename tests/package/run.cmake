# Makes this build's release ZIP with CPack and checks it as its user meets
# it: the files a host needs, the examples' sources, and a README whose
# programs compile against the ZIP's own headers. Run with cmake -P and:
#   QV_CPACK    the cpack program; QV_BUILD this build; QV_NAME the ZIP's name
#   QV_SOURCE   the source tree; QV_FLAVOUR mingw or msvc
#   QV_HOST     the compiler and flags a host would use, without include path
#   QV_SYNTAX_ONLY  the flags before a source that make it check only
cmake_minimum_required(VERSION 3.20)
set(dir ${QV_BUILD}/package-check)
file(REMOVE_RECURSE ${dir})
set(qv_check "package check")
include(${CMAKE_CURRENT_LIST_DIR}/../support/step.cmake)

step("cpack" ${QV_CPACK} --config ${QV_BUILD}/CPackConfig.cmake -B ${dir})
set(zip ${dir}/${QV_NAME}.zip)
step("listing the ZIP" ${CMAKE_COMMAND} -E tar tf ${zip})
set(listing "${step_output}")

set(expected README.md bin/quorvel.dll lib/quorvel.lib lib/cmake/quorvel/quorvelConfig.cmake
  share/doc/quorvel/README.md)
if(QV_FLAVOUR STREQUAL "msvc")
  list(APPEND expected bin/quorvel.pdb)
endif()
file(GLOB headers RELATIVE ${QV_SOURCE} ${QV_SOURCE}/include/quorvel/*.h)
file(GLOB examples RELATIVE ${QV_SOURCE} ${QV_SOURCE}/examples/*.cpp)
set(missing "")
foreach(file ${expected} ${headers} ${examples})
  string(FIND "${listing}" "${QV_NAME}/${file}\n" at)
  if(at EQUAL -1)
    string(APPEND missing " ${file}")
  endif()
endforeach()
if(missing)
  message(FATAL_ERROR "package check: ${QV_NAME}.zip lacks${missing}\n${listing}")
endif()

# Every C++ block of the README is a whole program: it must compile.
file(MAKE_DIRECTORY ${dir}/unpacked)
step("unpacking the ZIP" ${CMAKE_COMMAND} -E chdir ${dir}/unpacked ${CMAKE_COMMAND} -E tar xf ${zip})
file(READ ${dir}/unpacked/${QV_NAME}/README.md readme)
set(programs 0)
while(TRUE)
  string(FIND "${readme}" "```cpp\n" start)
  if(start EQUAL -1)
    break()
  endif()
  math(EXPR start "${start} + 7")
  string(SUBSTRING "${readme}" ${start} -1 readme)
  string(FIND "${readme}" "```" end)
  string(SUBSTRING "${readme}" 0 ${end} program)
  string(SUBSTRING "${readme}" ${end} -1 readme)
  math(EXPR programs "${programs} + 1")
  file(WRITE ${dir}/readme_program_${programs}.cpp "${program}")
  step("compiling program ${programs} of the README" ${QV_HOST}
    -I${dir}/unpacked/${QV_NAME}/include ${QV_SYNTAX_ONLY} ${dir}/readme_program_${programs}.cpp)
endwhile()
if(programs LESS 2)
  message(FATAL_ERROR "package check: the README holds ${programs} programs, not a serial and a TCP one")
endif()
message(STATUS "${QV_NAME}.zip: ${programs} README programs compile")
