// The driver's global state: one instance in non-paged memory.
#include "driver/core/globals.h"

volatile LONG DebugLevel = KX_DBG_INFO;
KX4GRD_GLOBALS Globals;
