#include "bench/loaded_driver.h"

namespace kxbench {

LoadedDriver::LoadedDriver() {
    winsim::Machine& m = winsim::Machine::Boot();
    m.RegisterDriverImage(u"kx4grd_x64.sys", DriverEntry);
    m.LoadDriver(u"kx4grd", u"kx4grd_x64.sys");
    WriteNoFence(&DebugLevel, 0);  // tracing would dominate every measurement
    winsim::ProcessOptions agent;
    agent.imagePath = u"\\Device\\HarddiskVolume2\\agent.exe";
    m.ConnectPort(m.StartProcess(agent), KX4GRD_PORT_NAME, &connection);
}

LoadedDriver& Driver() {
    static LoadedDriver driver;
    return driver;
}

}  // namespace kxbench
