# The merged serial port list: time of one whole walk with many ports.
add_executable(bench_ports ${CMAKE_CURRENT_SOURCE_DIR}/ports_bench.cpp $<TARGET_OBJECTS:quorvel_dll_objects>)
target_include_directories(bench_ports PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
target_link_libraries(bench_ports PRIVATE qv_sim_discovery ${QV_SYSTEM_LIBS})
# The serial port watch: a simulated arrival to the host's report.
add_executable(bench_port_watch ${CMAKE_CURRENT_SOURCE_DIR}/port_watch_bench.cpp $<TARGET_OBJECTS:quorvel_dll_objects>)
target_include_directories(bench_port_watch PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
target_link_libraries(bench_port_watch PRIVATE qv_sim_discovery ${QV_SYSTEM_LIBS})
