# Bluetooth figures against the simulated stack.
add_executable(bench_bluetooth bluetooth_bench.cpp $<TARGET_OBJECTS:quorvel_dll_objects>)
target_link_libraries(bench_bluetooth PRIVATE qv_sim_bluetooth ${QV_SYSTEM_LIBS})
