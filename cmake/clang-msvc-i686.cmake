# The Visual C++ ABI flavour for 32-bit Windows on x86 (the product's second
# flavour), built with clang in MSVC mode; see clang-msvc-common.cmake.
set(QV_MSVC_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/clang-msvc-common.cmake)
