// quorvel bluetooth.
#pragma once

#include "quorvel/core.h"
