// quorvel discovery.
#pragma once

#include "quorvel/core.h"
