// The machine's other drivers: driver objects named \Driver\<name> with device
// objects and one dispatch routine in every major-function slot, whose handling of
// a request the test chooses (complete at once, pend and complete from another
// thread, hold at a gate, pend until cancelled), and which record what reached
// them. Drivers under test find them with ObReferenceObjectByName and interpose on
// their slots; the test sends requests to their devices as the I/O manager would.
#include "winsim/io/targets.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

using winsim::detail::Violation;

namespace winsim::io {
namespace {

constexpr SHORT kIoTypeDevice = 3;
constexpr SHORT kIoTypeDriver = 4;
constexpr SHORT kIoTypeFile = 5;
constexpr UCHAR kTdiSend = 0x07;

struct TargetState {
    std::mutex mutex;
    std::map<std::u16string, std::shared_ptr<TargetDriver>> loaded;  // by upper-cased name
    std::vector<std::shared_ptr<TargetDriver>> all;  // kept until shutdown: references stay valid
    std::map<PDEVICE_OBJECT, TargetDeviceObject*> devices;
    std::map<uint32_t, std::unique_ptr<FILE_OBJECT>> connections;
};

TargetState& Targets() {
    static TargetState* state = new TargetState();  // outlives every machine
    return *state;
}

std::u16string FullName(const std::u16string& name) {
    if (!name.empty() && name[0] == u'\\') return name;
    return u"\\Driver\\" + name;
}

std::shared_ptr<TargetDriver> FindLoaded(const std::u16string& name) {
    TargetState& s = Targets();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.loaded.find(Upcase(FullName(name)));
    return it == s.loaded.end() ? nullptr : it->second;
}

}  // namespace

std::shared_ptr<TargetDriver> FindLoadedTarget(const std::u16string& name) { return FindLoaded(name); }

namespace {

std::shared_ptr<TargetDriver> RequireLoaded(const std::u16string& name, const char* control) {
    auto driver = FindLoaded(name);
    if (!driver) throw std::invalid_argument(std::string(control) + ": no target driver " + detail::ToUtf8(name));
    return driver;
}

// What the test-visible record keeps of a request as it arrived.
TargetRequestRecord Snapshot(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    TargetRequestRecord r;
    r.major = stack->MajorFunction;
    r.minor = stack->MinorFunction;
    r.fileObject = stack->FileObject;
    r.device = device;
    r.irp = irp;
    r.requestorMode = irp->RequestorMode;
    r.irql = KeGetCurrentIrql();
    r.processId = detail::ProcessIdOf(detail::CurrentProcess());
    r.systemBuffer = irp->AssociatedIrp.SystemBuffer;
    r.mdl = irp->MdlAddress;
    size_t inputBytes = 0;
    switch (r.major) {
        case IRP_MJ_DEVICE_CONTROL:
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            r.ioControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
            r.inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
            r.outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
            r.type3InputBuffer = stack->Parameters.DeviceIoControl.Type3InputBuffer;
            if ((r.ioControlCode & 3) != METHOD_NEITHER) inputBytes = r.inputLength;
            break;
        case IRP_MJ_WRITE:
            r.length = stack->Parameters.Write.Length;
            inputBytes = r.length;
            break;
        case IRP_MJ_READ: r.length = stack->Parameters.Read.Length; break;
        default: break;
    }
    if (r.systemBuffer != nullptr && inputBytes > 0) {
        const size_t n = std::min(inputBytes, SystemBufferBytes(irp));
        auto* p = static_cast<const uint8_t*>(r.systemBuffer);
        r.systemBufferBytes.assign(p, p + n);
    }
    if (r.mdl != nullptr && r.mdl->ByteCount > 0) {
        auto* p = static_cast<const uint8_t*>(MmGetMdlVirtualAddress(r.mdl));
        if (detail::IsRangeAccessible(p, r.mdl->ByteCount)) r.mdlBytes.assign(p, p + r.mdl->ByteCount);
    }
    return r;
}

NTSTATUS CompleteTarget(TargetDriver& driver, PIRP irp, NTSTATUS status, ULONG_PTR information) {
    {
        std::lock_guard<std::mutex> lock(driver.mutex);
        ++driver.stats.completed;
    }
    return CompleteWith(irp, status, information);
}

// Completes from another thread, as a device's completion path does: at DISPATCH_LEVEL.
void CompleteLater(TargetDriver* driver, PIRP irp, NTSTATUS status, ULONG_PTR information, uint32_t delayMs) {
    RunLater([driver, irp, status, information, delayMs] {
        if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        CompleteTarget(*driver, irp, status, information);
        KeLowerIrql(old);
    });
}

void WriteOutput(PIRP irp, const std::vector<uint8_t>& output) {
    if (output.empty()) return;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const UCHAR major = stack->MajorFunction;
    if (major != IRP_MJ_DEVICE_CONTROL && major != IRP_MJ_INTERNAL_DEVICE_CONTROL && major != IRP_MJ_READ) return;
    const ULONG length = major == IRP_MJ_READ ? stack->Parameters.Read.Length
                                              : stack->Parameters.DeviceIoControl.OutputBufferLength;
    const bool neither = major != IRP_MJ_READ && (stack->Parameters.DeviceIoControl.IoControlCode & 3) == METHOD_NEITHER;
    void* to = neither ? irp->UserBuffer : irp->AssociatedIrp.SystemBuffer;
    if (to == nullptr) return;
    size_t n = std::min<size_t>(output.size(), length);
    if (!neither) n = std::min(n, SystemBufferBytes(irp));
    std::memcpy(to, output.data(), n);
}

void TargetCancel(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    TargetDeviceObject* t = TargetOfDevice(device);
    if (t == nullptr) {
        Violation("a target's cancel routine ran for a device that is not the target's");
        return;
    }
    {
        std::lock_guard<std::mutex> lock(t->driver->mutex);
        t->driver->forever.erase(irp);
        t->driver->changed.notify_all();
    }
    CompleteTarget(*t->driver, irp, STATUS_CANCELLED, 0);
}

NTSTATUS TargetDispatch(PDEVICE_OBJECT device, PIRP irp) {
    TargetDeviceObject* t = TargetOfDevice(device);
    if (t == nullptr) {
        Violation("a target driver's dispatch routine called for a device of another driver");
        return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    TargetDriver& d = *t->driver;
    if (!IrpOutstanding(irp)) {
        Violation("a request already completed (completed twice?) or freed reached " + detail::ToUtf8(d.name) +
                  "'s dispatch routine");
        return STATUS_INVALID_PARAMETER;
    }
    TargetRequestRecord record = Snapshot(device, irp);
    const UCHAR major = record.major;
    TargetBehavior b;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        ++d.stats.total;
        if (major <= IRP_MJ_MAXIMUM_FUNCTION) {
            ++d.stats.byMajor[major];
            b = d.behavior[major];
        }
        d.stats.last = std::move(record);
    }
    if (t->usb) return UsbDeviceDispatch(t, irp);
    if (major > IRP_MJ_MAXIMUM_FUNCTION) return CompleteTarget(d, irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    switch (b.action) {
        case TargetAction::Complete:
            WriteOutput(irp, b.output);
            return CompleteTarget(d, irp, b.status, b.information);
        case TargetAction::Pend:
            IoMarkIrpPending(irp);
            WriteOutput(irp, b.output);
            CompleteLater(&d, irp, b.status, b.information, b.pendMs);
            return STATUS_PENDING;
        case TargetAction::PendAtGate: {
            IoMarkIrpPending(irp);
            WriteOutput(irp, b.output);
            bool now;
            {
                std::lock_guard<std::mutex> lock(d.mutex);
                now = d.gateOpen;
                if (!now) {
                    d.gated.push_back(irp);
                    d.stats.held = ++d.held;
                    d.changed.notify_all();
                }
            }
            if (now) CompleteLater(&d, irp, b.status, b.information, 0);
            return STATUS_PENDING;
        }
        case TargetAction::HoldAtGate: {
            bool gone;
            {
                std::unique_lock<std::mutex> lock(d.mutex);
                d.stats.held = ++d.held;
                d.changed.notify_all();
                d.changed.wait(lock, [&] { return d.gateOpen || !d.loaded; });
                d.stats.held = --d.held;
                gone = !d.loaded;
                d.changed.notify_all();
            }
            if (gone) return CompleteTarget(d, irp, STATUS_NO_SUCH_DEVICE, 0);
            WriteOutput(irp, b.output);
            return CompleteTarget(d, irp, b.status, b.information);
        }
        case TargetAction::PendForever: {
            IoMarkIrpPending(irp);
            {
                std::lock_guard<std::mutex> lock(d.mutex);
                d.forever.insert(irp);
            }
            IoSetCancelRoutine(irp, TargetCancel);
            if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
                {
                    std::lock_guard<std::mutex> lock(d.mutex);
                    d.forever.erase(irp);
                }
                CompleteTarget(d, irp, STATUS_CANCELLED, 0);
            }
            return STATUS_PENDING;
        }
    }
    return CompleteTarget(d, irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

// Completes everything the target still holds, with status.
void Drain(TargetDriver& d, NTSTATUS status) {
    std::vector<PIRP> gated;
    std::set<PIRP> forever;
    {
        std::unique_lock<std::mutex> lock(d.mutex);
        gated.swap(d.gated);
        d.held -= static_cast<unsigned>(gated.size());
        forever.swap(d.forever);
        d.changed.notify_all();
    }
    for (PIRP irp : gated) CompleteTarget(d, irp, status, 0);
    for (PIRP irp : forever)
        if (IoSetCancelRoutine(irp, nullptr) != nullptr) CompleteTarget(d, irp, status, 0);
    for (auto& device : d.devices)
        if (device->usb) UsbShutdown(device->usb.get());
    std::unique_lock<std::mutex> lock(d.mutex);
    d.changed.wait(lock, [&] { return d.held == 0; });
    d.stats.held = 0;
}

}  // namespace

TargetDeviceObject* TargetOfDevice(PDEVICE_OBJECT device) {
    TargetState& s = Targets();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.devices.find(device);
    return it == s.devices.end() ? nullptr : it->second;
}

PDEVICE_OBJECT NewTargetDevice(TargetDriver& driver, const std::u16string& name, std::shared_ptr<UsbDevice> usb,
                               CHAR stackSize) {
    auto device = std::make_unique<TargetDeviceObject>();
    device->driver = &driver;
    device->usb = std::move(usb);
    DEVICE_OBJECT& o = device->object;
    o.Type = kIoTypeDevice;
    o.Size = sizeof(DEVICE_OBJECT);
    o.ReferenceCount = 1;
    o.DriverObject = &driver.object;
    o.DeviceType = FILE_DEVICE_UNKNOWN;
    o.StackSize = stackSize;
    o.DeviceExtension = device.get();
    (void)name;
    PDEVICE_OBJECT result = &o;
    TargetState& s = Targets();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.devices[result] = device.get();
    o.NextDevice = driver.object.DeviceObject;
    driver.object.DeviceObject = result;
    driver.devices.push_back(std::move(device));
    return result;
}

void TargetsBoot() {}

void TargetsShutdown() {
    std::vector<std::shared_ptr<TargetDriver>> loaded;
    {
        TargetState& s = Targets();
        std::lock_guard<std::mutex> lock(s.mutex);
        for (auto& [key, driver] : s.loaded) loaded.push_back(driver);
    }
    for (auto& driver : loaded) {
        {
            std::lock_guard<std::mutex> lock(driver->mutex);
            driver->loaded = false;
            driver->changed.notify_all();
        }
        Drain(*driver, STATUS_NO_SUCH_DEVICE);
    }
    JoinLaterThreads();
    TargetState& s = Targets();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.loaded.clear();
    s.devices.clear();
    s.all.clear();
    s.connections.clear();
}

std::string DescribeTargetObject(PVOID object) {
    TargetState& s = Targets();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto& driver : s.all)
        if (&driver->object == object)
            return "driver object " + detail::ToUtf8(driver->name) + (driver->loaded ? "" : " (unloaded)");
    return "";
}

// ---------------------------------------------------------------- sending
DeviceRequestResult SendBuilt(PDEVICE_OBJECT device, const DeviceRequest& request,
                              const std::function<void(PIRP, PIO_STACK_LOCATION)>& adjust, const std::string& what) {
    if (device == nullptr) throw std::invalid_argument("SendRequest: no such device");
    auto completion = std::make_shared<MachineCompletion>();
    const bool deviceControl =
        request.major == IRP_MJ_DEVICE_CONTROL || request.major == IRP_MJ_INTERNAL_DEVICE_CONTROL;
    const ULONG method = deviceControl ? (request.ioControlCode & 3) : METHOD_BUFFERED;
    const ULONG inputLength = request.inputLength.value_or(static_cast<ULONG>(request.input.size()));
    size_t systemBytes = 0;
    bool bufferedOutput = true;
    size_t outputBytes = 0;
    if (deviceControl) {
        outputBytes = request.outputLength;
        if (method == METHOD_NEITHER) bufferedOutput = false;
        else if (!request.noSystemBuffer)
            systemBytes = std::max<size_t>(request.input.size(), method == METHOD_BUFFERED ? request.outputLength : 0);
    } else if (request.major == IRP_MJ_WRITE) {
        if (!request.withMdl && !request.noSystemBuffer) systemBytes = request.input.size();
    } else if (request.major == IRP_MJ_READ) {
        outputBytes = request.outputLength;
        if (!request.noSystemBuffer) systemBytes = request.outputLength;
    }
    PIRP irp = NewMachineIrp(device->StackSize, completion, what, systemBytes, outputBytes, bufferedOutput);
    irp->RequestorMode = request.userMode ? UserMode : KernelMode;
    if (systemBytes > 0 && !request.input.empty() && request.major != IRP_MJ_READ)
        std::memcpy(irp->AssociatedIrp.SystemBuffer, request.input.data(), request.input.size());
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = request.major;
    next->MinorFunction = request.minor;
    next->FileObject = request.fileObject;
    irp->Tail.Overlay.OriginalFileObject = request.fileObject;
    if (deviceControl) {
        next->Parameters.DeviceIoControl.IoControlCode = request.ioControlCode;
        next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
        next->Parameters.DeviceIoControl.OutputBufferLength = request.outputLength;
        if (method == METHOD_NEITHER && !request.input.empty()) {
            // The caller's own buffer: it lives as long as the request can be looked at.
            completion->callerInput.assign(request.input.begin(), request.input.end());
            next->Parameters.DeviceIoControl.Type3InputBuffer = completion->callerInput.data();
        }
    } else if (request.major == IRP_MJ_WRITE) {
        next->Parameters.Write.Length = inputLength;
    } else if (request.major == IRP_MJ_READ) {
        next->Parameters.Read.Length = request.outputLength;
    } else if (request.major == IRP_MJ_PNP) {
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;  // every PnP request starts so
    }
    if (request.type3InputBuffer) next->Parameters.DeviceIoControl.Type3InputBuffer = *request.type3InputBuffer;
    if (request.withMdl) {
        const std::vector<uint8_t>& bytes =
            request.mdlBytes.empty() && request.major == IRP_MJ_WRITE ? request.input : request.mdlBytes;
        AttachMachineMdl(irp, bytes, request.mdlMapped, request.mdlMapFails);
    }
    if (adjust) adjust(irp, next);

    DeviceRequestResult result;
    result.irp = irp;
    {
        ProcessScope process(request.process);
        KIRQL old = KeGetCurrentIrql();
        const bool raise = request.irql > old;
        if (raise) KeRaiseIrql(request.irql, &old);
        result.returned = IofCallDriver(device, irp);
        if (raise) KeLowerIrql(old);
    }
    std::unique_lock<std::mutex> lock(completion->mutex);
    if (result.returned != STATUS_PENDING && !completion->completed)
        Violation("a dispatch routine returned " + std::to_string(result.returned) +
                  " (not STATUS_PENDING) for " + what + " without completing it");
    completion->done.wait_for(lock, std::chrono::milliseconds(request.waitMs), [&] { return completion->completed; });
    result.completed = completion->completed;
    if (result.completed) {
        result.status = completion->status;
        result.information = completion->information;
        result.output = completion->output;
        result.irp = nullptr;
        if (result.returned != STATUS_PENDING && result.returned != result.status)
            Violation("a dispatch routine returned " + std::to_string(result.returned) + " for " + what +
                      " but completed it with " + std::to_string(result.status));
    }
    return result;
}

std::string RequestName(PDEVICE_OBJECT device, const DeviceRequest& r) {
    std::string target = "a device";
    if (TargetDeviceObject* t = TargetOfDevice(device)) target = detail::ToUtf8(t->driver->name);
    char buf[96];
    std::snprintf(buf, sizeof buf, "(major 0x%02X minor 0x%02X control 0x%08X) to ", r.major, r.minor,
                  r.ioControlCode);
    return buf + target;
}

}  // namespace winsim::io

// ---------------------------------------------------------------- test controls
namespace winsim {

NTSTATUS Machine::LoadTargetDriver(const std::u16string& name, const TargetDriverOptions& options) {
    Current();
    auto driver = std::make_shared<io::TargetDriver>();
    driver->name = io::FullName(name);
    driver->driverName = driver->name;
    {
        io::TargetState& s = io::Targets();
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.loaded.count(io::Upcase(driver->name))) return WINSIM_STATUS_IMAGE_ALREADY_LOADED;
    }
    DRIVER_OBJECT& o = driver->object;
    o.Type = io::kIoTypeDriver;
    o.Size = sizeof(DRIVER_OBJECT);
    o.DriverName.Buffer = driver->driverName.data();
    o.DriverName.Length = static_cast<USHORT>(driver->driverName.size() * sizeof(WCHAR));
    o.DriverName.MaximumLength = o.DriverName.Length;
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        const bool empty = std::find(options.emptySlots.begin(), options.emptySlots.end(), major) !=
                           options.emptySlots.end();
        o.MajorFunction[major] = empty ? nullptr : &io::TargetDispatch;
        driver->behavior[major] = options.behavior;
    }
    const std::u16string leaf = driver->name.substr(driver->name.rfind(u'\\') + 1);
    for (unsigned i = 0; i < options.devices; ++i)
        io::NewTargetDevice(*driver, u"\\Device\\" + leaf + std::u16string(1, static_cast<char16_t>(u'0' + i)),
                            nullptr, options.stackSize);
    driver->ownDevices = options.devices;
    io::TargetState& s = io::Targets();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.loaded.count(io::Upcase(driver->name))) return WINSIM_STATUS_IMAGE_ALREADY_LOADED;
    s.loaded[io::Upcase(driver->name)] = driver;
    s.all.push_back(driver);
    return STATUS_SUCCESS;
}

NTSTATUS Machine::UnloadTargetDriver(const std::u16string& name) {
    std::shared_ptr<io::TargetDriver> driver;
    {
        io::TargetState& s = io::Targets();
        std::lock_guard<std::mutex> lock(s.mutex);
        auto it = s.loaded.find(io::Upcase(io::FullName(name)));
        if (it == s.loaded.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
        driver = it->second;
        s.loaded.erase(it);
    }
    {
        std::lock_guard<std::mutex> lock(driver->mutex);
        driver->loaded = false;
        driver->changed.notify_all();
    }
    io::Drain(*driver, STATUS_NO_SUCH_DEVICE);
    return STATUS_SUCCESS;
}

bool Machine::IsTargetLoaded(const std::u16string& name) const { return io::FindLoaded(name) != nullptr; }

PDRIVER_OBJECT Machine::TargetDriverObject(const std::u16string& name) const {
    auto driver = io::FindLoaded(name);
    return driver ? &driver->object : nullptr;
}

PDEVICE_OBJECT Machine::TargetDevice(const std::u16string& name, unsigned index) const {
    auto driver = io::FindLoaded(name);
    if (!driver || index >= driver->ownDevices) return nullptr;
    return &driver->devices[index]->object;
}

PDRIVER_DISPATCH Machine::TargetDispatchRoutine() { return &io::TargetDispatch; }

void Machine::SetTargetBehavior(const std::u16string& name, const TargetBehavior& behavior) {
    auto driver = io::RequireLoaded(name, "SetTargetBehavior");
    std::lock_guard<std::mutex> lock(driver->mutex);
    for (auto& b : driver->behavior) b = behavior;
    driver->gateOpen = false;
}

void Machine::SetTargetBehavior(const std::u16string& name, UCHAR major, const TargetBehavior& behavior) {
    auto driver = io::RequireLoaded(name, "SetTargetBehavior");
    if (major > IRP_MJ_MAXIMUM_FUNCTION) throw std::invalid_argument("SetTargetBehavior: major function > 27");
    std::lock_guard<std::mutex> lock(driver->mutex);
    driver->behavior[major] = behavior;
    driver->gateOpen = false;
}

void Machine::OpenTargetGate(const std::u16string& name) {
    auto driver = io::RequireLoaded(name, "OpenTargetGate");
    std::vector<std::pair<PIRP, TargetBehavior>> gated;
    {
        std::lock_guard<std::mutex> lock(driver->mutex);
        driver->gateOpen = true;
        for (PIRP irp : driver->gated) {
            // The behaviour of the request's own major function decides its completion.
            const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
            gated.emplace_back(irp, driver->behavior[major]);
        }
        driver->held -= static_cast<unsigned>(driver->gated.size());
        driver->stats.held = driver->held;
        driver->gated.clear();
        driver->changed.notify_all();
    }
    for (auto& [irp, b] : gated) io::CompleteLater(driver.get(), irp, b.status, b.information, 0);
}

bool Machine::WaitTargetHeld(const std::u16string& name, unsigned count, uint32_t timeoutMs) const {
    auto driver = io::RequireLoaded(name, "WaitTargetHeld");
    std::unique_lock<std::mutex> lock(driver->mutex);
    return driver->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [&] { return driver->held >= count; });
}

TargetStats Machine::TargetRequests(const std::u16string& name) const {
    io::TargetState& s = io::Targets();
    std::shared_ptr<io::TargetDriver> driver;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        // An unloaded target's record stays readable.
        for (auto& d : s.all)
            if (io::Upcase(d->name) == io::Upcase(io::FullName(name))) driver = d;
    }
    if (!driver) throw std::invalid_argument("TargetRequests: no target driver " + detail::ToUtf8(name));
    std::lock_guard<std::mutex> lock(driver->mutex);
    return driver->stats;
}

void Machine::OnSlotRead(const std::u16string& target, UCHAR major, std::function<void()> fn) {
    auto driver = io::RequireLoaded(target, "OnSlotRead");
    io::ArmSlotRead(&driver->object, major, std::move(fn));
}

long Machine::ObjectReferencesHeld(PVOID object) const { return io::DriverReferencesOn(object); }

DeviceRequestResult Machine::SendRequest(const std::u16string& targetName, const DeviceRequest& request) {
    PDEVICE_OBJECT device = TargetDevice(targetName, request.device);
    if (device == nullptr) {
        DeviceRequestResult r;
        r.returned = r.status = STATUS_NO_SUCH_DEVICE;
        r.completed = true;
        return r;
    }
    return SendRequestTo(device, request);
}

DeviceRequestResult Machine::SendRequestTo(PDEVICE_OBJECT device, const DeviceRequest& request) {
    Current();
    return io::SendBuilt(device, request, nullptr, io::RequestName(device, request));
}

PFILE_OBJECT Machine::ConnectionFileObject(uint32_t connection) {
    io::TargetState& s = io::Targets();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto& file = s.connections[connection];
    if (!file) {
        file = std::make_unique<FILE_OBJECT>();
        file->Type = io::kIoTypeFile;
        file->Size = sizeof(FILE_OBJECT);
    }
    return file.get();
}

DeviceRequestResult Machine::SendObexPacket(ObexTransport transport, uint32_t connection,
                                            const std::vector<uint8_t>& packet, const ObexSendOptions& options) {
    const char16_t* target = transport == ObexTransport::Rfcomm ? u"RFCOMM" : u"irda";
    DeviceRequest request;
    request.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    request.minor = io::kTdiSend;
    request.ioControlCode = options.ioControlCode;
    request.inputLength = options.inputLength.value_or(static_cast<ULONG>(packet.size()));
    request.withMdl = !options.noMdl;
    request.mdlBytes = packet;
    request.mdlMapped = options.mdlMapped;
    request.mdlMapFails = options.mdlMapFails;
    request.fileObject = options.noFileObject ? nullptr : ConnectionFileObject(connection);
    request.userMode = options.userMode;
    request.irql = options.irql;
    request.process = options.process;
    request.waitMs = options.waitMs;
    PDEVICE_OBJECT device = TargetDevice(target);
    if (device == nullptr) {
        DeviceRequestResult r;
        r.returned = r.status = STATUS_NO_SUCH_DEVICE;
        r.completed = true;
        return r;
    }
    const ULONG sendLength = static_cast<ULONG>(packet.size());
    // TDI_REQUEST_KERNEL_SEND overlays the parameters: SendLength first.
    auto adjust = [sendLength](PIRP, PIO_STACK_LOCATION stack) {
        stack->Parameters.DeviceIoControl.OutputBufferLength = sendLength;
    };
    return io::SendBuilt(device, request, adjust,
                         std::string("OBEX packet on connection ") + std::to_string(connection) + " to " +
                             (transport == ObexTransport::Rfcomm ? "\\Driver\\RFCOMM" : "\\Driver\\irda"));
}

}  // namespace winsim

// ---------------------------------------------------------------- Windows routines
using namespace winsim;

NTSTATUS ObReferenceObjectByName(PUNICODE_STRING objectName, ULONG attributes, struct _ACCESS_STATE*, ACCESS_MASK,
                                 POBJECT_TYPE objectType, KPROCESSOR_MODE, PVOID, PVOID* object) {
    detail::RequirePassive("ObReferenceObjectByName");
    if (object == nullptr) return STATUS_INVALID_PARAMETER;
    *object = nullptr;
    if (objectName == nullptr || objectName->Buffer == nullptr || objectName->Length == 0)
        return STATUS_OBJECT_NAME_INVALID;
    if (objectType != *IoDriverObjectType) return STATUS_OBJECT_TYPE_MISMATCH;  // only driver objects are named
    const std::u16string name = io::ToU16(objectName);
    const bool caseInsensitive = (attributes & OBJ_CASE_INSENSITIVE) != 0;
    PDRIVER_OBJECT found = nullptr;
    {
        io::TargetState& s = io::Targets();
        std::lock_guard<std::mutex> lock(s.mutex);
        for (auto& [key, driver] : s.loaded)
            if (caseInsensitive ? detail::EqualsNoCase(driver->name, name) : driver->name == name) {
                found = &driver->object;
                break;
            }
    }
    if (found == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    io::NoteObjectReference(found);
    *object = found;
    return STATUS_SUCCESS;
}
