/* Wine's bluetoothapis.h uses the SDP types without including their header,
 * as the Windows SDK's does. */
#pragma once
#include <bthsdpdef.h>
#include_next <bluetoothapis.h>
