# The core: worker thread, endpoint base, listener engine, shared records, trace output, the
# names of errors and the exported classes' heap operators and sizes.
list(APPEND QV_SOURCES
  core/shared_link.cpp
  core/thread.cpp
  core/comm.cpp
  core/error_names.cpp
  core/listener.cpp
  core/lifecycle_check.cpp
  core/trace.cpp
  core/class_sizes.cpp
  core/class_heap.cpp
)
# What only quorvel.dll links (the suites link QV_SOURCES' objects directly):
# its entry point and, in the Visual C++ flavour built without a Visual C++
# runtime (QUORVEL_MSVC_NO_RUNTIME), what such a runtime would give the
# module: operator new and delete, the stack probe and the floating-point
# marker.
list(APPEND QV_DLL_SOURCES
  core/dllmain.cpp
)
if(QUORVEL_MSVC_NO_RUNTIME)
  list(APPEND QV_DLL_SOURCES
    core/msvc_runtime.cpp
    core/msvc_stack_probe.cpp
  )
endif()
