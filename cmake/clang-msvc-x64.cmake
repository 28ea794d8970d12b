# The Visual C++ ABI flavour for 64-bit Windows, so that its host programs
# also run under a 64-bit Wine on machines without 32-bit support.
set(QV_MSVC_ARCH x64)
include(${CMAKE_CURRENT_LIST_DIR}/clang-msvc-common.cmake)
