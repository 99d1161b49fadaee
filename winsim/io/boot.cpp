// Lifetime of the io half of the machine and the attribution of actions to drivers.
#include "winsim/io/fltmgr.h"
#include "winsim/io/irp.h"
#include "winsim/io/targets.h"

// User mode's services (winsim/um): the Service Control Manager and its neighbours.
namespace winsim::um {
void ServicesBoot();
void ServicesShutdown();
}  // namespace winsim::um

namespace winsim::io {
namespace {
std::atomic<uint64_t> g_generation{0};
thread_local const std::u16string* t_driver = nullptr;
}  // namespace

uint64_t BootGeneration() { return g_generation.load(std::memory_order_acquire); }

DriverScope::DriverScope(const std::u16string* service) : previous_(t_driver) { t_driver = service; }
DriverScope::~DriverScope() { t_driver = previous_; }

std::u16string CurrentDriver() {
    if (t_driver) return *t_driver;
    std::vector<std::u16string> active = ActiveDrivers();
    return active.size() == 1 ? active.front() : std::u16string();
}

}  // namespace winsim::io

namespace winsim::detail {

void IoBoot(const MachineOptions&) {
    io::g_generation.fetch_add(1, std::memory_order_acq_rel);
    io::ObjectsBoot();
    io::ProcessesBoot();
    io::ObCallbacksBoot();
    io::RegistryBoot();
    io::RegCallbacksBoot();
    io::SystemRoutinesBoot();
    io::DriversBoot();
    io::FltBoot();
    io::IrpsBoot();
    io::TargetsBoot();
    um::ServicesBoot();
}

void IoShutdown() {
    um::ServicesShutdown();  // handles closed from here on change no service
    io::DriversShutdown();  // unloads what is still loaded, while the rest still exists
    io::TargetsShutdown();
    io::FltShutdown();
    io::RegCallbacksShutdown();
    io::RegistryShutdown();
    io::ObCallbacksShutdown();
    io::ProcessesShutdown();
    io::ObjectsBoot();
}

void IoUnloadChecks(const std::u16string& driverName) {
    for (auto& left : io::IrpUnloadViolations(driverName)) detail::Violation(left);
    io::FltUnloadChecks(driverName);
    io::ProcessUnloadChecks(driverName);
    io::ObCallbacksUnloadChecks(driverName);
    io::ObjectUnloadChecks(driverName);
    io::RegCallbackUnloadChecks(driverName);
}

std::vector<std::string> IoOutstandingViolations() { return io::OutstandingRequests(); }

}  // namespace winsim::detail
