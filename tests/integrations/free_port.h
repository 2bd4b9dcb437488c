#pragma once

// Kept for the window test until it includes tests/support/free_port.h itself.
#include "tests/support/free_port.h"
