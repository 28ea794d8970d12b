# Installs the current build into a prefix inside the build tree, then
# configures, builds and runs the host project next to this file against
# that prefix, as a developer would. Run with cmake -P and:
#   QV_BUILD       the library's build directory
#   QV_SOURCE      this directory
#   QV_TOOLCHAIN   the toolchain file of that build
#   QV_GENERATOR, QV_MAKE_PROGRAM   the generator and its tool
#   QV_EMULATOR    the Wine loader that runs the program
#   QV_VERSION     the version the program must print
if(NOT QV_EMULATOR)
  set(QV_EMULATOR "$ENV{QV_WINE}")  # the loader the scripts picked
endif()
foreach(var QV_BUILD QV_SOURCE QV_TOOLCHAIN QV_GENERATOR QV_EMULATOR QV_VERSION)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "consumer check: ${var} is not set")
  endif()
endforeach()

set(prefix ${QV_BUILD}/consumer/prefix)
set(build ${QV_BUILD}/consumer/build)
file(REMOVE_RECURSE ${QV_BUILD}/consumer)

set(qv_check "consumer check")
include(${CMAKE_CURRENT_LIST_DIR}/../../support/step.cmake)

step("install" ${CMAKE_COMMAND} --install ${QV_BUILD} --prefix ${prefix})
foreach(file bin/quorvel.dll lib/quorvel.lib include/quorvel/quorvel.h
             lib/cmake/quorvel/quorvelConfig.cmake lib/cmake/quorvel/quorvelConfigVersion.cmake)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "consumer check: the install has no ${file}")
  endif()
endforeach()

set(make_program)
if(QV_MAKE_PROGRAM)
  set(make_program -DCMAKE_MAKE_PROGRAM=${QV_MAKE_PROGRAM})
endif()
step("configure" ${CMAKE_COMMAND} -S ${QV_SOURCE} -B ${build} -G ${QV_GENERATOR} ${make_program}
     -DCMAKE_TOOLCHAIN_FILE=${QV_TOOLCHAIN} -DCMAKE_PREFIX_PATH=${prefix}
     -DCMAKE_BUILD_TYPE=Release)
step("build" ${CMAKE_COMMAND} --build ${build})
step("run" ${QV_EMULATOR} ${build}/app.exe)
message(STATUS "${step_output}")
if(NOT step_output MATCHES "quorvel ${QV_VERSION} \\(package ${QV_VERSION}\\)")
  message(FATAL_ERROR "consumer check: the program printed no version ${QV_VERSION}")
endif()
