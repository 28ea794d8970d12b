# The subnet scan against simulated hosts (no ARP leaves the process).
add_executable(bench_discovery ${CMAKE_CURRENT_LIST_DIR}/discovery_bench.cpp $<TARGET_OBJECTS:quorvel_dll_objects>)
target_link_libraries(bench_discovery PRIVATE qv_sim_discovery ${QV_SYSTEM_LIBS})
