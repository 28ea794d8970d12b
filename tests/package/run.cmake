# Makes this build's release ZIP with CPack and checks it as its user meets
# it: the files a host needs, the examples' sources, and a README for this
# architecture whose links lead into the ZIP and whose programs compile
# against the ZIP's own headers; with MinGW, its own command line builds its
# programs and the examples. Run with cmake -P and:
#   QV_CPACK    the cpack program; QV_BUILD this build; QV_NAME the ZIP's name
#   QV_SOURCE   the source tree; QV_FLAVOUR mingw or msvc
#   QV_HOST     the compiler and flags a host would use, without include path
#   QV_SYNTAX_ONLY  the flags before a source that make it check only
#   QV_C_HOST   Visual C++: the compiler and flags a host would use for C
#   QV_README_NAMES  what the README must name for this architecture (the
#               g++ of the MinGW command line, the Visual Studio platform),
#               QV_README_NOT what it must not (the other architecture's)
#   QV_README_CXX  MinGW: the g++ the README's command line must name
#   QV_CXX, QV_CC  MinGW: the compilers that stand for the README's g++ and gcc
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
  share/doc/quorvel/README.md share/doc/quorvel/docs/c-api.md bindings/node/package.json
  bindings/node/index.js bindings/node/README.md)
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

file(MAKE_DIRECTORY ${dir}/unpacked)
step("unpacking the ZIP" ${CMAKE_COMMAND} -E chdir ${dir}/unpacked ${CMAKE_COMMAND} -E tar xf ${zip})
set(top ${dir}/unpacked/${QV_NAME})
file(READ ${top}/README.md readme)

# The README names this architecture's compiler and platform, not the
# other's, and its links to files lead to files of the ZIP.
foreach(name IN LISTS QV_README_NAMES)
  string(FIND "${readme}" "${name}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "package check: the README of ${QV_NAME} does not name ${name}")
  endif()
endforeach()
foreach(name IN LISTS QV_README_NOT)
  string(FIND "${readme}" "${name}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "package check: the README of ${QV_NAME} names ${name}, of the other architecture")
  endif()
endforeach()
# (CMake lists take square brackets as nesting: the links lose them first.)
string(REGEX REPLACE "\\[[^]\n]*\\]\\(" "<link>" text "${readme}")
string(REGEX MATCHALL "<link>[^):#\n]+[)#]" links "${text}")
foreach(link IN LISTS links)
  string(REGEX REPLACE "^<link>(.*).$" "\\1" path "${link}")
  if(NOT EXISTS ${top}/${path})
    message(FATAL_ERROR "package check: the README links ${path}, which the ZIP does not hold")
  endif()
endforeach()

# Every C++ block of the README is a whole program, and so is its C block:
# each must compile.
string(REGEX MATCH "```c\n([^`]*)```" block "${readme}")
if(NOT CMAKE_MATCH_1)
  message(FATAL_ERROR "package check: the README holds no C program")
endif()
file(WRITE ${dir}/readme_c_program.c "${CMAKE_MATCH_1}")
set(sources ${dir}/readme_c_program.c)
set(text "${readme}")
set(programs 0)
while(TRUE)
  string(FIND "${text}" "```cpp\n" start)
  if(start EQUAL -1)
    break()
  endif()
  math(EXPR start "${start} + 7")
  string(SUBSTRING "${text}" ${start} -1 text)
  string(FIND "${text}" "```" end)
  string(SUBSTRING "${text}" 0 ${end} program)
  string(SUBSTRING "${text}" ${end} -1 text)
  math(EXPR programs "${programs} + 1")
  file(WRITE ${dir}/readme_program_${programs}.cpp "${program}")
  list(APPEND sources ${dir}/readme_program_${programs}.cpp)
endwhile()
if(programs LESS 2)
  message(FATAL_ERROR "package check: the README holds ${programs} programs, not a serial and a TCP one")
endif()

if(QV_FLAVOUR STREQUAL "msvc")
  foreach(source IN LISTS sources)
    if(source MATCHES "\\.c$")
      step("compiling the README's C program" ${QV_C_HOST} -I${top}/include /Zs /Tc ${source})
    else()
      step("compiling ${source}" ${QV_HOST} -I${top}/include ${QV_SYNTAX_ONLY} ${source})
    endif()
  endforeach()
  message(STATUS "${QV_NAME}.zip: ${programs} README programs and its C program compile")
  return()
endif()

# MinGW: the README's own command line, run in a folder laid out as the
# README has it (the ZIP's folder called quorvel/), builds each of its
# programs and each example, with g++ (gcc for the C program) standing for
# the compiler it names.
string(REGEX MATCH "\n([^\n]*-w64-mingw32-g\\+\\+ [^\n]* app\\.cpp [^\n]*)\n" line "${readme}")
separate_arguments(command UNIX_COMMAND "${CMAKE_MATCH_1}")
list(POP_FRONT command compiler)
if(NOT compiler STREQUAL QV_README_CXX)
  message(FATAL_ERROR "package check: the README builds with '${compiler}', not ${QV_README_CXX}")
endif()
set(host ${dir}/host)
file(MAKE_DIRECTORY ${host})
file(CREATE_LINK ${top} ${host}/quorvel SYMBOLIC)
file(GLOB examples ${top}/examples/*.cpp)
foreach(source IN LISTS sources examples)
  get_filename_component(name ${source} NAME)
  file(REMOVE ${host}/app.cpp ${host}/app.c ${host}/app.exe)
  if(name MATCHES "\\.c$")
    configure_file(${source} ${host}/app.c COPYONLY)
    list(TRANSFORM command REPLACE "^app\\.cpp$" app.c OUTPUT_VARIABLE args)
    set(compiler ${QV_CC})
  else()
    configure_file(${source} ${host}/app.cpp COPYONLY)
    set(args ${command})
    set(compiler ${QV_CXX})
  endif()
  step("building ${name} with the README's command" ${CMAKE_COMMAND} -E chdir ${host} ${compiler} ${args})
  if(NOT EXISTS ${host}/app.exe)
    message(FATAL_ERROR "package check: the README's command made no app.exe of ${name}")
  endif()
endforeach()
list(LENGTH examples count)
message(STATUS "${QV_NAME}.zip: the README's command builds its ${programs} programs, its C program and ${count} examples")
