// The I/O manager's requests: I/O request packets with their stack locations,
// dispatch through the major-function table read at call time, completion up the
// stack with completion routines, the status block and event of a built request,
// cancellation with cancel routines, and memory descriptor lists.
//
// Every request the machine knows is in one table, by address, from the moment it
// is built or allocated until it is completed past its top (built and machine
// requests) or freed (IoAllocateIrp). What a driver does with a request outside
// that life (completes it twice, frees one still in flight, leaves one behind) is
// a verifier violation.
#include "winsim/io/irp.h"

#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <thread>

using winsim::detail::Violation;

namespace winsim::io {
namespace {

constexpr SHORT kIoTypeIrp = 6;
constexpr ULONG kPageSize = 4096;

enum class Origin { Built, Allocated, Machine };

struct IrpRecord {
    Origin origin = Origin::Built;
    uint64_t serial = 0;
    std::unique_ptr<uint8_t[]> memory;  // IRP followed by its stack locations
    size_t memoryBytes = 0;
    std::vector<uint8_t> systemBuffer;
    std::vector<uint8_t> userOutput;    // a machine request's caller output buffer
    ULONG method = 0;
    ULONG outputLength = 0;
    bool bufferedOutput = true;
    std::u16string owner;  // the driver that built or allocated it
    std::string what;      // for reports
    bool inFlight = false;    // sent with IofCallDriver, not yet completed past its top
    bool completing = false;  // IofCompleteRequest is walking it up
    bool completed = false;   // an allocated request completed past its top (awaits IoFreeIrp)
    bool pending = false;     // a dispatch routine returned STATUS_PENDING for it
    std::shared_ptr<MachineCompletion> completion;
    std::vector<PMDL> mdls;  // MDLs the machine made for it, freed with it
    PIRP Irp() const { return reinterpret_cast<PIRP>(memory.get()); }
};

struct MdlRecord {
    std::unique_ptr<uint8_t[]> memory;      // the MDL and its page array
    std::unique_ptr<uint8_t[]> data;        // the bytes of a machine MDL
    std::u16string owner;                   // empty: the machine's own
    bool mapFails = false;
    bool machine = false;
};

struct IrpState {
    std::mutex mutex;
    std::map<PIRP, std::unique_ptr<IrpRecord>> live;
    std::map<PMDL, std::unique_ptr<MdlRecord>> mdls;
    std::vector<std::thread> later;
    // The memory of requests completed or freed lately, kept (as Driver Verifier's
    // special pool does) so that a driver touching one afterwards is reported, not
    // a crash of the test.
    std::deque<std::unique_ptr<uint8_t[]>> quarantine;
    uint64_t nextSerial = 1;
    bool mapFailsAll = false;
    KSPIN_LOCK cancelLock = 0;
    struct SlotRead {
        PDRIVER_OBJECT driver;
        UCHAR major;
        std::function<void()> fn;
    };
    std::vector<SlotRead> slotReads;  // one-shot, run by IofCallDriver between reading a slot and calling it
    std::atomic<bool> anySlotReads{false};
};

IrpState& State() {
    static IrpState* state = new IrpState();  // outlives every machine
    return *state;
}

IrpRecord* FindLocked(PIRP irp) {
    auto it = State().live.find(irp);
    return it == State().live.end() ? nullptr : it->second.get();
}

// A request with stackCount locations, none current yet.
std::unique_ptr<IrpRecord> NewRecord(Origin origin, CCHAR stackCount) {
    auto record = std::make_unique<IrpRecord>();
    record->origin = origin;
    record->memoryBytes = sizeof(IRP) + static_cast<size_t>(stackCount) * sizeof(IO_STACK_LOCATION);
    record->memory.reset(new uint8_t[record->memoryBytes]());  // operator new: 16-byte aligned, as an IRP needs
    PIRP irp = record->Irp();
    irp->Type = kIoTypeIrp;
    irp->Size = static_cast<USHORT>(record->memoryBytes);
    irp->StackCount = stackCount;
    irp->CurrentLocation = static_cast<CHAR>(stackCount + 1);
    irp->RequestorMode = KernelMode;
    auto* stacks = reinterpret_cast<PIO_STACK_LOCATION>(record->memory.get() + sizeof(IRP));
    irp->Tail.Overlay.CurrentStackLocation = stacks + stackCount;
    return record;
}

PIRP Insert(std::unique_ptr<IrpRecord> record) {
    PIRP irp = record->Irp();
    IrpState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    record->serial = s.nextSerial++;
    s.live.emplace(irp, std::move(record));
    return irp;
}

std::string Describe(const IrpRecord& r) {
    std::string text;
    switch (r.origin) {
        case Origin::Built: text = "device-control request built by " + detail::ToUtf8(r.owner); break;
        case Origin::Allocated: text = "request allocated (IoAllocateIrp) by " + detail::ToUtf8(r.owner); break;
        case Origin::Machine: text = "request " + r.what; break;
    }
    return text;
}

PMDL NewMdl(PVOID virtualAddress, ULONG length, std::unique_ptr<MdlRecord>* out) {
    const ULONG_PTR va = reinterpret_cast<ULONG_PTR>(virtualAddress);
    const ULONG offset = static_cast<ULONG>(va & (kPageSize - 1));
    const size_t pages = (offset + static_cast<size_t>(length) + kPageSize - 1) / kPageSize;
    auto record = std::make_unique<MdlRecord>();
    const size_t bytes = sizeof(MDL) + pages * sizeof(ULONG_PTR);
    record->memory.reset(new uint8_t[bytes]());
    auto* mdl = reinterpret_cast<PMDL>(record->memory.get());
    mdl->Size = static_cast<CSHORT>(bytes);
    mdl->StartVa = reinterpret_cast<PVOID>(va & ~static_cast<ULONG_PTR>(kPageSize - 1));
    mdl->ByteOffset = offset;
    mdl->ByteCount = length;
    *out = std::move(record);
    return mdl;
}

void FreeMdlLocked(PMDL mdl) { State().mdls.erase(mdl); }

constexpr size_t kQuarantined = 4096;

void QuarantineLocked(IrpRecord& record) {
    IrpState& s = State();
    s.quarantine.push_back(std::move(record.memory));
    if (s.quarantine.size() > kQuarantined) s.quarantine.pop_front();
}

// The I/O manager's part once a request is completed past its top.
void FinishAtTop(std::unique_ptr<IrpRecord> record) {
    PIRP irp = record->Irp();
    const NTSTATUS status = irp->IoStatus.Status;
    const bool error = (static_cast<ULONG>(status) >> 30) == 3;
    switch (record->origin) {
        case Origin::Built: {
            if (record->method == 0 && !error && irp->UserBuffer != nullptr) {
                size_t bytes = std::min<size_t>(irp->IoStatus.Information, record->outputLength);
                std::memcpy(irp->UserBuffer, record->systemBuffer.data(), bytes);
            }
            PKEVENT event = irp->UserEvent;
            if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
            {
                IrpState& s = State();
                std::lock_guard<std::mutex> lock(s.mutex);
                QuarantineLocked(*record);
            }
            record.reset();  // the request is gone before its waiter wakes
            if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
            break;
        }
        case Origin::Machine: {
            auto completion = record->completion;
            std::vector<uint8_t> output;
            if (!error) {
                const size_t bytes = std::min<size_t>(irp->IoStatus.Information, record->outputLength);
                const uint8_t* from =
                    record->bufferedOutput ? record->systemBuffer.data() : record->userOutput.data();
                if (from != nullptr && bytes > 0) output.assign(from, from + bytes);
            }
            const ULONG_PTR information = irp->IoStatus.Information;
            {
                IrpState& s = State();
                std::lock_guard<std::mutex> lock(s.mutex);
                for (PMDL mdl : record->mdls) FreeMdlLocked(mdl);
                QuarantineLocked(*record);
            }
            record.reset();
            if (completion) {
                std::lock_guard<std::mutex> lock(completion->mutex);
                completion->completed = true;
                completion->status = status;
                completion->information = information;
                completion->output = std::move(output);
                completion->done.notify_all();
            }
            break;
        }
        case Origin::Allocated: break;  // stays until IoFreeIrp
    }
}

}  // namespace

PIRP NewMachineIrp(CCHAR stackCount, const std::shared_ptr<MachineCompletion>& completion, const std::string& what,
                   size_t systemBufferBytes, size_t outputBytes, bool bufferedOutput) {
    auto record = NewRecord(Origin::Machine, stackCount);
    record->completion = completion;
    record->what = what;
    record->bufferedOutput = bufferedOutput;
    record->outputLength = static_cast<ULONG>(outputBytes);
    PIRP irp = record->Irp();
    if (systemBufferBytes > 0) {
        record->systemBuffer.assign(systemBufferBytes, 0);
        irp->AssociatedIrp.SystemBuffer = record->systemBuffer.data();
    }
    if (!bufferedOutput && outputBytes > 0) {
        record->userOutput.assign(outputBytes, 0);
        irp->UserBuffer = record->userOutput.data();
    }
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    return Insert(std::move(record));
}

PMDL AttachMachineMdl(PIRP irp, const std::vector<uint8_t>& bytes, bool mapped, bool mapFails) {
    auto data = std::make_unique<uint8_t[]>(std::max<size_t>(bytes.size(), 1));
    if (!bytes.empty()) std::memcpy(data.get(), bytes.data(), bytes.size());
    std::unique_ptr<MdlRecord> record;
    PMDL mdl = NewMdl(data.get(), static_cast<ULONG>(bytes.size()), &record);
    mdl->MdlFlags = MDL_PAGES_LOCKED;
    if (mapped) {
        mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
        mdl->MappedSystemVa = data.get();
    }
    mdl->Process = mapped ? nullptr : PsGetCurrentProcess();
    record->data = std::move(data);
    record->machine = true;
    record->mapFails = mapFails;
    IrpState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.mdls.emplace(mdl, std::move(record));
    if (IrpRecord* r = FindLocked(irp)) r->mdls.push_back(mdl);
    irp->MdlAddress = mdl;
    return mdl;
}

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void RunLater(std::function<void()> fn) {
    detail::BackgroundWorkBegin();
    IrpState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.later.emplace_back([fn = std::move(fn)] {
        try {
            fn();
        } catch (const BugCheck& b) {
            // Already recorded by the verifier; the thread ends instead of the process.
        } catch (...) {
            Violation("a machine thread completing a request stopped on an exception");
        }
        detail::BackgroundWorkEnd();
    });
}

void JoinLaterThreads() {
    IrpState& s = State();
    for (;;) {
        std::vector<std::thread> threads;
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            threads.swap(s.later);
        }
        if (threads.empty()) return;
        for (auto& t : threads)
            if (t.get_id() != std::this_thread::get_id()) t.join();
            else t.detach();
    }
}

void ArmSlotRead(PDRIVER_OBJECT driver, UCHAR major, std::function<void()> fn) {
    IrpState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.slotReads.push_back({driver, major, std::move(fn)});
    s.anySlotReads = true;
}

size_t SystemBufferBytes(PIRP irp) {
    IrpState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    IrpRecord* r = FindLocked(irp);
    return r != nullptr && irp->AssociatedIrp.SystemBuffer == r->systemBuffer.data() ? r->systemBuffer.size() : 0;
}

bool IrpOutstanding(PIRP irp) {
    IrpState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    IrpRecord* r = FindLocked(irp);
    return r != nullptr && !r->completed;
}

void IrpsBoot() {
    IrpState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.mapFailsAll = false;
    s.cancelLock = 0;
}

void IrpsShutdown() {
    JoinLaterThreads();
    IrpState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.live.clear();
    s.mdls.clear();
    s.quarantine.clear();
    s.slotReads.clear();
    s.anySlotReads = false;
    s.mapFailsAll = false;
}

std::vector<std::string> IrpUnloadViolations(const std::u16string& driver) {
    JoinLaterThreads();
    std::vector<std::string> left;
    IrpState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto it = s.live.begin(); it != s.live.end();) {
        IrpRecord& r = *it->second;
        const bool mine = r.origin != Origin::Machine && (r.owner == driver || r.owner.empty());
        if (!mine) {
            ++it;
            continue;
        }
        if (r.origin == Origin::Built)
            left.push_back(Describe(r) + " never completed at unload (IofCallDriver missing, or left pending)");
        else
            left.push_back(Describe(r) + (r.inFlight ? " still in flight at unload" : " never freed (IoFreeIrp)") +
                           " at unload");
        it = s.live.erase(it);
    }
    for (auto it = s.mdls.begin(); it != s.mdls.end();) {
        if (!it->second->machine && (it->second->owner == driver || it->second->owner.empty())) {
            left.push_back("MDL allocated (IoAllocateMdl) by " + detail::ToUtf8(driver) +
                           " never freed (IoFreeMdl) at unload");
            it = s.mdls.erase(it);
        } else {
            ++it;
        }
    }
    return left;
}

std::vector<std::string> OutstandingRequests() {
    JoinLaterThreads();
    std::vector<std::string> out;
    IrpState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto& [irp, r] : s.live) {
        if (r->origin == Origin::Allocated && !r->inFlight) continue;  // the driver's to free
        out.push_back(Describe(*r) + " is outstanding: never completed" +
                      (r->pending ? " (returned STATUS_PENDING)" : ""));
    }
    return out;
}

unsigned PendingRequestCount() {
    IrpState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    unsigned n = 0;
    for (auto& [irp, r] : s.live) n += r->pending ? 1 : 0;
    return n;
}

}  // namespace winsim::io

namespace winsim {

unsigned Machine::PendingRequests() const { return io::PendingRequestCount(); }

void Machine::SetMdlMappingFails(bool fail) {
    io::IrpState& s = io::State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.mapFailsAll = fail;
}

std::vector<std::string> Machine::OutstandingRequests() const { return io::OutstandingRequests(); }

}  // namespace winsim

// ---------------------------------------------------------------- Windows routines
using namespace winsim;

PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT deviceObject, PVOID inputBuffer,
                                   ULONG inputBufferLength, PVOID outputBuffer, ULONG outputBufferLength,
                                   BOOLEAN internalDeviceIoControl, PKEVENT event, PIO_STATUS_BLOCK ioStatusBlock) {
    detail::RequirePassive("IoBuildDeviceIoControlRequest");
    if (deviceObject == nullptr || deviceObject->StackSize < 1) {
        Violation("IoBuildDeviceIoControlRequest without a device object");
        return nullptr;
    }
    if (detail::ShouldFail(FaultClass::Allocation, "IoBuildDeviceIoControlRequest")) return nullptr;
    const ULONG method = ioControlCode & 3;
    if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
        Violation("IoBuildDeviceIoControlRequest: direct-I/O control codes are not modelled");
        return nullptr;
    }
    auto record = io::NewRecord(io::Origin::Built, deviceObject->StackSize);
    record->method = method;
    record->outputLength = outputBufferLength;
    record->owner = io::CurrentDriver();
    PIRP irp = record->Irp();
    irp->UserIosb = ioStatusBlock;
    irp->UserEvent = event;
    irp->UserBuffer = outputBuffer;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = internalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = inputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputBufferLength;
    if (method == METHOD_BUFFERED) {
        record->systemBuffer.assign(std::max(inputBufferLength, outputBufferLength) + 1, 0);
        if (inputBuffer && inputBufferLength) std::memcpy(record->systemBuffer.data(), inputBuffer, inputBufferLength);
        irp->AssociatedIrp.SystemBuffer = record->systemBuffer.data();
    } else {  // METHOD_NEITHER
        next->Parameters.DeviceIoControl.Type3InputBuffer = inputBuffer;
    }
    return io::Insert(std::move(record));
}

PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN) {
    detail::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
    if (stackSize < 1) {
        Violation("IoAllocateIrp with a stack size of " + std::to_string((int)stackSize));
        return nullptr;
    }
    if (detail::ShouldFail(FaultClass::Allocation, "IoAllocateIrp")) return nullptr;
    auto record = io::NewRecord(io::Origin::Allocated, stackSize);
    record->owner = io::CurrentDriver();
    return io::Insert(std::move(record));
}

void IoFreeIrp(PIRP irp) {
    detail::RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeIrp");
    io::IrpState& s = io::State();
    std::unique_ptr<io::IrpRecord> gone;
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.live.find(irp);
    if (it == s.live.end()) {
        Violation("IoFreeIrp on a request that is not allocated (freed twice?)");
        return;
    }
    io::IrpRecord& r = *it->second;
    if (r.origin != io::Origin::Allocated) {
        Violation("IoFreeIrp on a " + io::Describe(r) + " (only IoAllocateIrp requests are freed by drivers)");
        return;
    }
    if (r.inFlight && !r.completing) {
        Violation("IoFreeIrp on a " + io::Describe(r) + " that a driver below still holds (not completed)");
        return;
    }
    for (PMDL mdl : r.mdls) io::FreeMdlLocked(mdl);
    io::QuarantineLocked(r);
    gone = std::move(it->second);
    s.live.erase(it);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp) {
    detail::RequireIrqlAtMost(DISPATCH_LEVEL, "IofCallDriver");
    if (deviceObject == nullptr || irp == nullptr) KeBugCheckEx(0x18, 0, 0, 0, 0);
    uint64_t serial = 0;
    {
        io::IrpState& s = io::State();
        std::lock_guard<std::mutex> lock(s.mutex);
        io::IrpRecord* r = io::FindLocked(irp);
        if (r == nullptr) {
            Violation("IofCallDriver with a request that is not outstanding (already completed or freed)");
            return STATUS_INVALID_PARAMETER;
        }
        if (r->completed) {
            Violation("IofCallDriver with an allocated request that was already completed (IoReuseIrp first)");
            return STATUS_INVALID_PARAMETER;
        }
        r->inFlight = true;
        serial = r->serial;
    }
    irp->CurrentLocation--;
    if (irp->CurrentLocation <= 0) KeBugCheckEx(0x35 /* NO_MORE_IRP_STACK_LOCATIONS */, (ULONG_PTR)irp, 0, 0, 0);
    irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = deviceObject;
    const UCHAR major = stack->MajorFunction;
    // The slot is read now, on every call: a routine swapped in a moment ago is the
    // one that runs.
    PDRIVER_DISPATCH dispatch = nullptr;
    if (deviceObject->DriverObject != nullptr && major <= IRP_MJ_MAXIMUM_FUNCTION)
        dispatch = __atomic_load_n(&deviceObject->DriverObject->MajorFunction[major], __ATOMIC_ACQUIRE);
    if (io::State().anySlotReads.load(std::memory_order_acquire)) {
        std::function<void()> pause;
        {
            io::IrpState& s = io::State();
            std::lock_guard<std::mutex> lock(s.mutex);
            for (auto it = s.slotReads.begin(); it != s.slotReads.end(); ++it)
                if (it->driver == deviceObject->DriverObject && it->major == major) {
                    pause = std::move(it->fn);
                    s.slotReads.erase(it);
                    break;
                }
            s.anySlotReads = !s.slotReads.empty();
        }
        if (pause) pause();  // the caller has the routine in hand and has not called it yet
    }
    if (dispatch == nullptr) return io::CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    const NTSTATUS status = dispatch(deviceObject, irp);
    if (status == STATUS_PENDING) {
        io::IrpState& s = io::State();
        std::lock_guard<std::mutex> lock(s.mutex);
        io::IrpRecord* r = io::FindLocked(irp);
        if (r != nullptr && r->serial == serial && r->inFlight) r->pending = true;
    }
    return status;
}

void IofCompleteRequest(PIRP irp, CCHAR) {
    detail::RequireIrqlAtMost(DISPATCH_LEVEL, "IofCompleteRequest");
    io::IrpState& s = io::State();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        io::IrpRecord* r = io::FindLocked(irp);
        if (r == nullptr || r->completed || r->completing) {
            Violation("IoCompleteRequest on a request that is not outstanding (completed twice?)" +
                      (r != nullptr ? std::string(": ") + io::Describe(*r) : std::string()));
            return;
        }
        r->completing = true;
    }
    if (irp->IoStatus.Status == STATUS_PENDING)
        KeBugCheckEx(0x44 /* MULTIPLE_IRP_COMPLETE_REQUESTS */, (ULONG_PTR)irp, 0, 0, 0);
    if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_SEQ_CST) != nullptr)
        Violation("IoCompleteRequest on a request whose cancel routine is still set (Driver Verifier: "
                  "IRP completed with a cancel routine)");
    // Up the stack: each completion routine runs with the device of the location above it.
    while (irp->CurrentLocation <= irp->StackCount) {
        PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
        irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        const UCHAR control = stack->Control;
        irp->CurrentLocation++;
        irp->Tail.Overlay.CurrentStackLocation++;
        const bool invoke = routine != nullptr &&
                            ((NT_SUCCESS(irp->IoStatus.Status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                             (!NT_SUCCESS(irp->IoStatus.Status) && (control & SL_INVOKE_ON_ERROR)) ||
                             (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            const bool top = irp->CurrentLocation > irp->StackCount;
            PDEVICE_OBJECT above = !top ? irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
            if (routine(above, irp, context) == STATUS_MORE_PROCESSING_REQUIRED) {
                // The routine owns the request again (it may even have freed it).
                std::lock_guard<std::mutex> lock(s.mutex);
                if (io::IrpRecord* r = io::FindLocked(irp)) {
                    r->completing = false;
                    if (top) r->inFlight = false;
                    r->pending = false;
                }
                return;
            }
        } else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
            IoMarkIrpPending(irp);
        }
    }
    std::unique_ptr<io::IrpRecord> record;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        auto it = s.live.find(irp);
        io::IrpRecord& r = *it->second;
        r.completing = false;
        r.inFlight = false;
        r.pending = false;
        if (r.origin == io::Origin::Allocated) {
            r.completed = true;
            Violation(io::Describe(r) +
                      " completed past its top location: its completion routine must stop it with "
                      "STATUS_MORE_PROCESSING_REQUIRED and free it (IoFreeIrp)");
            return;
        }
        record = std::move(it->second);
        s.live.erase(it);
    }
    io::FinishAtTop(std::move(record));
}

// ---------------------------------------------------------------- cancellation
void IoAcquireCancelSpinLock(PKIRQL irql) { *irql = KeAcquireSpinLockRaiseToDpc(&io::State().cancelLock); }

void IoReleaseCancelSpinLock(KIRQL irql) { KeReleaseSpinLock(&io::State().cancelLock, irql); }

BOOLEAN IoCancelIrp(PIRP irp) {
    detail::RequireIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
    {
        io::IrpState& s = io::State();
        std::lock_guard<std::mutex> lock(s.mutex);
        io::IrpRecord* r = io::FindLocked(irp);
        if (r == nullptr || r->completed) {
            Violation("IoCancelIrp on a request that is not outstanding");
            return FALSE;
        }
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    __atomic_store_n(&irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    irp->CancelIrql = irql;
    PDEVICE_OBJECT device =
        irp->CurrentLocation <= irp->StackCount ? IoGetCurrentIrpStackLocation(irp)->DeviceObject : nullptr;
    routine(device, irp);  // releases the cancel spin lock
    return TRUE;
}

// ---------------------------------------------------------------- MDLs
PMDL IoAllocateMdl(PVOID virtualAddress, ULONG length, BOOLEAN secondaryBuffer, BOOLEAN, PIRP irp) {
    detail::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateMdl");
    if (detail::ShouldFail(FaultClass::Allocation, "IoAllocateMdl")) return nullptr;
    std::unique_ptr<io::MdlRecord> record;
    PMDL mdl = io::NewMdl(virtualAddress, length, &record);
    record->owner = io::CurrentDriver();
    io::IrpState& s = io::State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.mdls.emplace(mdl, std::move(record));
    if (irp != nullptr) {
        if (!secondaryBuffer) {
            irp->MdlAddress = mdl;
        } else {
            PMDL last = irp->MdlAddress;
            while (last != nullptr && last->Next != nullptr) last = last->Next;
            if (last != nullptr) last->Next = mdl;
            else irp->MdlAddress = mdl;
        }
    }
    return mdl;
}

void IoFreeMdl(PMDL mdl) {
    detail::RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeMdl");
    io::IrpState& s = io::State();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.mdls.find(mdl);
    if (it == s.mdls.end() || it->second->machine) {
        Violation(it == s.mdls.end() ? "IoFreeMdl on an MDL that is not allocated (freed twice?)"
                                     : "IoFreeMdl on an MDL the I/O manager owns (a request's MdlAddress)");
        return;
    }
    s.mdls.erase(it);
}

void MmBuildMdlForNonPagedPool(PMDLX mdl) {
    detail::RequireIrqlAtMost(DISPATCH_LEVEL, "MmBuildMdlForNonPagedPool");
    mdl->MdlFlags = static_cast<CSHORT>(mdl->MdlFlags | MDL_SOURCE_IS_NONPAGED_POOL);
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
}

PVOID MmMapLockedPagesSpecifyCache(PMDLX mdl, KPROCESSOR_MODE accessMode, MEMORY_CACHING_TYPE, PVOID requestedAddress,
                                   ULONG bugCheckOnFailure, ULONG) {
    detail::RequireIrqlAtMost(accessMode == KernelMode ? DISPATCH_LEVEL : APC_LEVEL, "MmMapLockedPagesSpecifyCache");
    if (mdl == nullptr) KeBugCheckEx(0x1A /* MEMORY_MANAGEMENT */, 0, 0, 0, 0);
    bool fails;
    {
        io::IrpState& s = io::State();
        std::lock_guard<std::mutex> lock(s.mutex);
        auto it = s.mdls.find(mdl);
        if (it == s.mdls.end()) {
            Violation("MmMapLockedPagesSpecifyCache on an MDL the machine does not know");
            return nullptr;
        }
        fails = s.mapFailsAll || it->second->mapFails;
    }
    if (!(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL))) {
        Violation("MmMapLockedPagesSpecifyCache on an MDL whose pages are not locked");
        return nullptr;
    }
    if (accessMode != KernelMode || requestedAddress != nullptr) {
        Violation("MmMapLockedPagesSpecifyCache: only kernel-mode mappings at a system-chosen address are modelled");
        return nullptr;
    }
    if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) return mdl->MappedSystemVa;
    if (fails) {
        // No system page table entries left for the mapping.
        if (bugCheckOnFailure) KeBugCheckEx(0x3F /* NO_MORE_SYSTEM_PTES */, 0, mdl->ByteCount, 0, 0);
        return nullptr;
    }
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags = static_cast<CSHORT>(mdl->MdlFlags | MDL_MAPPED_TO_SYSTEM_VA);
    return mdl->MappedSystemVa;
}

PVOID MmMapLockedPages(PMDL mdl, KPROCESSOR_MODE accessMode) {
    return MmMapLockedPagesSpecifyCache(mdl, accessMode, MmCached, nullptr, TRUE, NormalPagePriority);
}

void MmUnmapLockedPages(PVOID baseAddress, PMDL mdl) {
    detail::RequireIrqlAtMost(DISPATCH_LEVEL, "MmUnmapLockedPages");
    if (mdl == nullptr || !(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) || baseAddress != mdl->MappedSystemVa) {
        Violation("MmUnmapLockedPages of an address the MDL is not mapped at");
        return;
    }
    mdl->MdlFlags = static_cast<CSHORT>(mdl->MdlFlags & ~MDL_MAPPED_TO_SYSTEM_VA);
}
