list(APPEND QV_SOURCES
  discovery/device_find.cpp
  discovery/device_map.cpp
  discovery/address_text.cpp
  discovery/local_host.cpp
  discovery/adapter_find.cpp
  discovery/host_scan.cpp
  discovery/serial_ports.cpp
  discovery/port_watch.cpp
)
