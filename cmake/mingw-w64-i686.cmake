# Cross-compiles for 32-bit Windows on x86 with mingw-w64's posix-thread
# compilers (the win32-thread variant has no std::mutex or std::thread).
set(QV_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
