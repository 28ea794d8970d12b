// quorvel: communication endpoints for 32-bit Windows programs.
// Hosts include this header only; it brings in every subsystem.
#pragma once

#include "quorvel/core.h"
#include "quorvel/serial.h"
#include "quorvel/socket.h"
#include "quorvel/bluetooth.h"
#include "quorvel/discovery.h"
