# Read by CMake after its defaults for the compiler (CMAKE_USER_MAKE_RULES_OVERRIDE
# of clang-msvc-common.cmake): without a runtime there are no C++ exceptions,
# so the default /EHsc goes.
string(REPLACE "/EHsc" "/EHs-c-" CMAKE_CXX_FLAGS_INIT "${CMAKE_CXX_FLAGS_INIT}")
