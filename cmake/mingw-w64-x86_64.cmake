# 64-bit build of the same sources. It exists so the test suite can run under
# a 64-bit Wine on machines whose kernel cannot execute 32-bit programs; the
# product is the 32-bit build (mingw-w64-i686.cmake).
set(QV_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
