#include "ctrl/library.h"

CInterface* g_interface = nullptr;
CReporter* g_reporter = nullptr;
ServiceRecord* g_serviceRecord = nullptr;
WCHAR g_moduleDirectory[MAX_PATH] = {};
std::string g_moduleDirectoryA;

namespace kxctrl_test {
void SetInterfaceForTesting(CInterface* iface) { g_interface = iface; }
}  // namespace kxctrl_test
