add_executable(bench_socket socket_bench.cpp $<TARGET_OBJECTS:quorvel_objects>)
target_include_directories(bench_socket PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
target_compile_definitions(bench_socket PRIVATE QUORVEL_STATIC)
target_link_libraries(bench_socket PRIVATE ${QV_SYSTEM_LIBS})
