// Private declarations of the machine's other drivers: the Bluetooth, IrDA,
// serial, parallel, modem, 1394, MTP reflector and USB hub drivers that a driver
// under test interposes on, their device objects, and the USB devices under the
// hubs.
#pragma once

// The machine's internals: only winsim itself and its own tests of them may
// include this; everything else goes through winsim/winsim.h.
#if !defined(KX_WINSIM_INTERNALS)
#error "winsim internals: include winsim/winsim.h instead"
#endif

#include <atomic>
#include <condition_variable>
#include <memory>
#include <set>

#include "winsim/io/irp.h"

namespace winsim::io {

struct TargetDriver;
struct UsbDevice;

// One device object of a target (DeviceExtension points here).
struct TargetDeviceObject {
    DEVICE_OBJECT object{};
    TargetDriver* driver = nullptr;
    std::shared_ptr<UsbDevice> usb;  // a USB device's physical device object under a hub
    bool removed = false;
};

struct TargetDriver {
    std::u16string name;        // "\\Driver\\BTKRNL"
    std::u16string driverName;  // storage behind object.DriverName
    DRIVER_OBJECT object{};
    std::vector<std::unique_ptr<TargetDeviceObject>> devices;  // [0, options.devices) are its own
    unsigned ownDevices = 0;
    std::atomic<bool> loaded{true};  // read without the mutex by reports
    // Guarded by mutex:
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    TargetBehavior behavior[IRP_MJ_MAXIMUM_FUNCTION + 1];
    bool gateOpen = false;
    unsigned held = 0;
    std::vector<PIRP> gated;      // PendAtGate requests waiting for the gate
    std::set<PIRP> forever;       // PendForever requests (cancelable)
    TargetStats stats;
};

// A new device object of the target (a USB device's under a hub: usb set).
PDEVICE_OBJECT NewTargetDevice(TargetDriver& driver, const std::u16string& name, std::shared_ptr<UsbDevice> usb,
                               CHAR stackSize);
std::shared_ptr<TargetDriver> FindLoadedTarget(const std::u16string& name);
// Sends a machine request (see Machine::SendRequestTo); adjust may change the
// request after it is built and before it is sent.
DeviceRequestResult SendBuilt(PDEVICE_OBJECT device, const DeviceRequest& request,
                              const std::function<void(PIRP, PIO_STACK_LOCATION)>& adjust, const std::string& what);

// The target a device object belongs to; null for any other device.
TargetDeviceObject* TargetOfDevice(PDEVICE_OBJECT device);

// USB devices (usb.cpp): the hub's dispatch for a USB device's physical device object.
NTSTATUS UsbDeviceDispatch(TargetDeviceObject* device, PIRP irp);
void UsbShutdown(UsbDevice* device);  // completes what it still holds

void TargetsBoot();
void TargetsShutdown();
// "driver object \\Driver\\X" for reports; empty when object is not a target's.
std::string DescribeTargetObject(PVOID object);
// References drivers hold on an object (process.cpp).
long DriverReferencesOn(PVOID object);

}  // namespace winsim::io
