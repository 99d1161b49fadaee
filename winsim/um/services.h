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

// ---- the user-mode handle table of the current (host) process
HANDLE InsertUserHandle(std::shared_ptr<detail::KObject> object, const char* kind);
std::shared_ptr<detail::KObject> ReferenceUserHandle(HANDLE handle);
template <class T>
std::shared_ptr<T> UserHandleAs(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(ReferenceUserHandle(handle));
}
bool CloseUserHandle(HANDLE handle);

// ---- errors
DWORD DosErrorOf(NTSTATUS status);

}  // namespace winsim::um
