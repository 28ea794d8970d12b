add_executable(bench_socket socket_bench.cpp $<TARGET_OBJECTS:quorvel_dll_objects>)
target_include_directories(bench_socket PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
target_compile_definitions(bench_socket PRIVATE QUORVEL_STATIC)
target_link_libraries(bench_socket PRIVATE ${QV_SYSTEM_LIBS})
# How many listening TCP clients one process holds, by listener stack reserve.
add_executable(bench_scale scale_bench.cpp $<TARGET_OBJECTS:quorvel_dll_objects>)
target_include_directories(bench_scale PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
target_compile_definitions(bench_scale PRIVATE QUORVEL_STATIC)
target_link_libraries(bench_scale PRIVATE ${QV_SYSTEM_LIBS})
