list(APPEND QV_SOURCES
  socket/startup.cpp
  socket/socket_util.cpp
  socket/socket.cpp
  socket/client.cpp
  socket/server.cpp
  socket/udp.cpp
)
