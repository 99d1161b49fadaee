// Driver entry, filter registration and unload.
//
// IRQL: PASSIVE_LEVEL, called by the system (entry) and the filter manager
// (unload); never concurrently with each other.
#pragma once

#include "driver/core/globals.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
NTSTATUS Kx4GrdUnload(FLT_FILTER_UNLOAD_FLAGS flags);

// Reads the service's "Parameters" values ("DebugLevel", "ProcessCreate") into
// the global state. A missing key or value leaves the current setting.
void ReadParameters(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
