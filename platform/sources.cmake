# The platform layer: every system call of the library goes through it.
list(APPEND QV_SOURCES
  platform/os.cpp
)
