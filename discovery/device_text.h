// Reading a device's texts, shared by CxDeviceFind and CxSerialPortFind
// (defined in device_find.cpp).
#pragma once

#include "platform/os.h"

namespace quorvel::discovery {

// A text property of the device (SPDRP_*) into pszText, which holds
// QV_DEVICE_TEXT_CCH characters: the first string of a list, cut to 259
// characters and terminated. A property the device lacks, one that is not
// text, and one that cannot be read (memory included) read as the empty
// string, never as another device's text. A longer text is read whole and
// then cut.
void ReadDeviceText(HDEVINFO hDevInfo, SP_DEVINFO_DATA* pDevice, DWORD dwProperty,
                    wchar_t* pszText);
// The device's instance ID the same way.
void ReadInstanceID(HDEVINFO hDevInfo, SP_DEVINFO_DATA* pDevice, wchar_t* pszText);

}  // namespace quorvel::discovery
