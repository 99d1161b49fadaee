// Private seam of the user-mode services (Service Control Manager, registry API,
// DOS devices, token privileges, security descriptors, local time): what their
// files share with each other and take from the rest of the machine.
#pragma once

#if !defined(KX_WINSIM_INTERNALS)
#error "winsim internals: include winsim/winsim.h instead"
#endif

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/um.h"
#include "winsim/io/fltmgr.h"
#include "winsim/um/um_internal.h"

namespace winsim::um {

// ---- lifetime (called by the machine's boot and shutdown)
void ServicesBoot();
void ServicesShutdown();
void DosDevicesBoot();
void DosDevicesShutdown();
void SecurityBoot();
void SecurityShutdown();
void TimeBoot();
void TimeShutdown();

// Windows errors of NT statuses, as RtlNtStatusToDosError maps them.
inline DWORD ErrorOf(NTSTATUS status) { return Machine::DosErrorOf(status); }

}  // namespace winsim::um
