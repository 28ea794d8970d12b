# Installs the current build and configures a host project against it with
# a toolchain of another C++ ABI or pointer size: the configuration must
# fail, and say why. Run with cmake -P and:
#   QV_BUILD       the library's build directory
#   QV_SOURCE      the host project
#   QV_TOOLCHAIN   the host's toolchain file
#   QV_GENERATOR, QV_MAKE_PROGRAM   the generator and its tool
#   QV_EXPECT      a regular expression the refusal must match
#   QV_NAME        a name for the scratch directories
set(prefix ${QV_BUILD}/refuse-${QV_NAME}/prefix)
set(build ${QV_BUILD}/refuse-${QV_NAME}/build)
file(REMOVE_RECURSE ${QV_BUILD}/refuse-${QV_NAME})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${QV_BUILD} --prefix ${prefix}
  RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "refusal check: install failed (${rc})")
endif()
set(make_program)
if(QV_MAKE_PROGRAM)
  set(make_program -DCMAKE_MAKE_PROGRAM=${QV_MAKE_PROGRAM})
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${QV_SOURCE} -B ${build} -G ${QV_GENERATOR}
  ${make_program} -DCMAKE_TOOLCHAIN_FILE=${QV_TOOLCHAIN} -DCMAKE_PREFIX_PATH=${prefix}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(rc EQUAL 0)
  message(FATAL_ERROR "refusal check: the host project configured against the install")
endif()
string(REGEX REPLACE "[ \t\r\n]+" " " text "${out} ${err}")
if(NOT text MATCHES "${QV_EXPECT}")
  message(FATAL_ERROR "refusal check: no reason matching '${QV_EXPECT}' in:\n${out}\n${err}")
endif()
message(STATUS "refused as expected: ${CMAKE_MATCH_0}")
