# The serial port endpoint and its listener.
list(APPEND QV_SOURCES
  serial/serial.cpp
)
