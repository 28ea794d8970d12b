list(APPEND QV_SOURCES
  socket/startup.cpp
)
