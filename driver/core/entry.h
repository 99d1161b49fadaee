// Driver entry, filter registration and unload.
//
// IRQL: PASSIVE_LEVEL, called by the system (entry) and the filter manager
// (unload); never concurrently with each other.
#pragma once

#include "driver/core/globals.h"

_Function_class_(DRIVER_INITIALIZE) _IRQL_requires_(PASSIVE_LEVEL)
extern "C" NTSTATUS DriverEntry(_In_ PDRIVER_OBJECT driverObject, _In_ PUNICODE_STRING registryPath);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS Kx4GrdUnload(_In_ FLT_FILTER_UNLOAD_FLAGS flags);

// Reads the service's "Parameters" values ("DebugLevel", "ProcessCreate") into
// the global state. A missing key or value leaves the current setting.
_IRQL_requires_(PASSIVE_LEVEL)
void ReadParameters(_In_ PDRIVER_OBJECT driverObject, _In_opt_ PUNICODE_STRING registryPath);
