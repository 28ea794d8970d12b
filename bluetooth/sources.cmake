list(APPEND QV_SOURCES
  bluetooth/common.cpp
  bluetooth/radio_find.cpp
  bluetooth/radio.cpp
  bluetooth/remote_find.cpp
  bluetooth/authen.cpp
  bluetooth/find_device.cpp
  bluetooth/rfcomm.cpp
)
