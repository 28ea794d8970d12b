# The socket benchmark through quorvel.dll (MinGW flavour); the Visual C++
# flavour builds the same source in bench/msvc/CMakeLists.txt.
add_executable(bench_dll_socket dll_socket_bench.cpp)
target_link_libraries(bench_dll_socket PRIVATE quorvel ws2_32)
