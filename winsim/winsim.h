// winsim: a simulated Windows x64 machine, in-process.
//
// The Windows names (km.h, and later um.h) are implemented by this library. This
// header is the *test-only control surface*: booting the machine, starting
// processes, writing the registry, loading drivers, connecting to ports as a
// client, driving the clock, reading debug output and the verifier's report.
// It lives in namespace winsim so nobody mistakes it for a platform call.
//
// One machine exists at a time (the driver under test has global state, as a real
// driver image does). Boot() replaces any previous machine.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/km.h"

namespace winsim {

// A pool tag from its four characters in reading order: PoolTag("ppsc") is the tag
// that pool accounting and verifier reports show as "ppsc".
constexpr ULONG PoolTag(const char (&text)[5]) {
    return (ULONG)(UCHAR)text[0] | ((ULONG)(UCHAR)text[1] << 8) | ((ULONG)(UCHAR)text[2] << 16) |
           ((ULONG)(UCHAR)text[3] << 24);
}

// Thrown by KeBugCheckEx: the test stops with this report instead of the process.
struct BugCheck {
    ULONG code;
    ULONG_PTR parameters[4];
    std::string report;
};

enum class ClockMode {
    Driven,    // time moves only when the test advances it (waits time out at once by advancing)
    RealTime,  // time follows the host's monotonic clock
};

struct MachineOptions {
    std::string root;  // host directory under which volumes live; empty: a fresh temporary directory
    ClockMode clock = ClockMode::Driven;
    bool echoDebug = false;  // also write each debug line to stderr
};

struct ProcessOptions {
    std::u16string imagePath;    // NT device path, e.g. u"\\Device\\HarddiskVolume2\\Windows\\notepad.exe"
    std::u16string commandLine;  // as the creation notification reports it
    uint32_t parentPid = 0;
    uint32_t pid = 0;            // 0: the next free id (ids are multiples of 4)
    bool administrator = true;   // token member of Administrators (may connect to filter ports)
    std::string tokenSource = "User32  ";  // 8 characters, as TOKEN_SOURCE.SourceName
    // The kernel's short image name when it differs from the image path's leaf
    // (cut at 15 characters; may be empty). Unset: the leaf of imagePath.
    std::optional<std::u16string> shortImageName;
};

enum class VolumeKind {
    LocalDisk,      // NTFS on a SATA disk
    UsbFlashDisk,   // removable media on the USB bus
    UsbHardDisk,    // fixed disk on the USB bus
    Floppy,
    CdRom,
    Network,        // LanmanRedirector / MUP: UNC and mapped drives
};

// ---- volumes: the disk under a volume (device stack, identity, sizes, faults)

// What the disk's device stack tells about it: the storage device descriptor
// (IOCTL_STORAGE_QUERY_PROPERTY, answered by the disk) and the Plug and Play
// properties of its physical device object. An empty string is a property the
// device does not have (and, for the descriptor, an offset of 0).
struct DiskIdentity {
    std::string vendor;
    std::string product;
    std::string revision;
    std::string serial;
    uint32_t busType = 11;        // STORAGE_BUS_TYPE: 7 USB, 11 SATA, 17 NVMe
    bool removableMedia = false;  // the descriptor's RemovableMedia
    std::u16string friendlyName;  // DevicePropertyFriendlyName
    std::u16string description;   // DevicePropertyDeviceDescription
    std::vector<std::u16string> hardwareIds;  // DevicePropertyHardwareID (REG_MULTI_SZ)
    std::u16string enumerator;    // DevicePropertyEnumeratorName
    std::u16string instanceId;    // DEVPKEY_Device_InstanceId
    // The string properties are stored without their terminating zero (as a
    // device whose installer wrote them so does).
    bool unterminatedProperties = false;
};
// The identity a disk of that kind has unless the test chooses one.
DiskIdentity DefaultDiskIdentity(VolumeKind kind);

// FileFsSizeInformation: bytes = units x sectors per unit x bytes per sector.
struct VolumeSize {
    uint64_t totalUnits = 0;
    uint64_t availableUnits = 0;
    uint32_t sectorsPerUnit = 8;
    uint32_t bytesPerSector = 512;
};

// How the disk answers the storage device descriptor query.
enum class StorageQuery {
    Answer,              // the whole descriptor (or the first outputLength bytes of it, Size the whole)
    Fail,                // completes with VolumeFaults::storageQueryStatus
    Pend,                // returns STATUS_PENDING, completes (answering) later from another thread
    SerialAtSize,        // the serial number's offset equals the descriptor's Size
    SerialPastSize,      // the serial number's offset lies past the descriptor's Size
    SizeBeyondReturned,  // Size claims more than the bytes returned; the serial is cut after 4 characters
    SizeBeyondBuffer,    // the descriptor outgrows a 1024-byte buffer: the serial starts 6 bytes before
                         // its end, the answer is cut at the buffer, Size is the whole
    HeaderOnly,          // only the 8-byte STORAGE_DESCRIPTOR_HEADER comes back
};

// Queries that fail (a status of 0 means it works).
struct VolumeFaults {
    NTSTATUS friendlyName = 0;   // IoGetDeviceProperty per property
    NTSTATUS description = 0;
    NTSTATUS hardwareId = 0;
    NTSTATUS enumerator = 0;
    NTSTATUS instanceId = 0;     // IoGetDevicePropertyData
    NTSTATUS diskDeviceObject = 0;  // FltGetDiskDeviceObject
    NTSTATUS dosName = 0;        // RtlVolumeDeviceToDosName
    NTSTATUS sizeQuery = 0;      // FltQueryVolumeInformation
    StorageQuery storageQuery = StorageQuery::Answer;
    NTSTATUS storageQueryStatus = (NTSTATUS)0xC0000185L;  // STATUS_IO_DEVICE_ERROR
};

struct VolumeOptions {
    VolumeKind kind = VolumeKind::LocalDisk;
    std::u16string deviceName;  // e.g. u"\\Device\\HarddiskVolume2"; empty: chosen by kind
    std::u16string dosName;     // e.g. u"C:"; empty: next free letter (none for Network)
    std::string hostDir;        // empty: <root>/<device name leaf>
    // ---- the disk (see DiskIdentity); unset: DefaultDiskIdentity(kind)
    bool customIdentity = false;
    DiskIdentity identity;
    VolumeSize size;            // all zero: a default size for the kind
    VolumeFaults faults;
    // What instance setup is told, when not the kind's own (8/3/0x14 and its file system):
    // 0 keeps the kind's. A file system of type 0 (unknown) is fsTypeUnknown = true.
    ULONG volumeDeviceType = 0;
    ULONG fsType = 0;
    bool fsTypeUnknown = false;
};

struct VolumeInfo {
    std::u16string deviceName;
    std::u16string dosName;
    std::string hostDir;
    VolumeKind kind;
};

// A client connection to a filter communication port (what fltlib's port handle is).
struct PortConnection;

// ---- process and thread handles (Machine::OpenProcess & co.), object callbacks
// A process or thread handle a simulated process holds (or a kernel handle).
struct ObjectHandle;
struct HandleOptions {
    // OBJ_KERNEL_HANDLE from kernel mode: the callbacks see KernelHandle = 1 and
    // the handle belongs to the System process.
    bool kernelHandle = false;
    // Windows calls object callbacks at PASSIVE_LEVEL; a test may raise the opener's
    // IRQL to exercise a driver's guard.
    KIRQL irql = PASSIVE_LEVEL;
    // DuplicateHandle: DUPLICATE_SAME_ACCESS (the desired access is the source's).
    bool sameAccess = false;
};
struct HandleResult {
    NTSTATUS status = STATUS_SUCCESS;
    ACCESS_MASK granted = 0;        // the access finally granted (after the pre-operation callbacks)
    ObjectHandle* handle = nullptr; // on success; goes to CloseHandle (or stays until shutdown)
};

// ---- file requests issued by simulated processes (Machine::CreateFile & co.)
// A create (IRP_MJ_CREATE) as NtCreateFile issues it.
struct CreateRequest {
    std::u16string path;  // full NT name: \Device\HarddiskVolume2\dir\a.txt or \??\C:\dir\a.txt
    ACCESS_MASK desiredAccess = FILE_GENERIC_READ;
    ULONG shareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE;
    ULONG disposition = FILE_OPEN;
    ULONG options = 0;  // create options: FILE_DIRECTORY_FILE, FILE_NON_DIRECTORY_FILE, FILE_DELETE_ON_CLOSE...
    ULONG fileAttributes = FILE_ATTRIBUTE_NORMAL;
    // The security context's ACCESS_STATE (always there for an I/O manager create;
    // false: SecurityContext->AccessState is NULL).
    bool accessState = true;
    // Non-empty: the requesting thread impersonates a client whose token has this
    // source (8 characters, e.g. "NtLmSsp " or "KSecDD  "), so the access state's
    // subject context has a ClientToken besides the process's PrimaryToken.
    std::string clientTokenSource;
};
// How a request is issued (test controls for every request kind).
struct RequestOptions {
    bool kernelMode = false;     // RequestorMode KernelMode (no handle access check)
    KIRQL irql = PASSIVE_LEVEL;  // the callbacks run at this IRQL (e.g. APC_LEVEL)
    bool fastIo = false;         // reads and writes: the fast I/O path instead of an IRP
    bool pagingIo = false;       // writes: a paging write (IRP_PAGING_IO|IRP_NOCACHE, from the
                                 // System process in kernel mode, no handle access check)
    bool presetIoStatus = false; // the callback data's IoStatus starts as presetStatus/presetInformation
    NTSTATUS presetStatus = STATUS_SUCCESS;
    ULONG_PTR presetInformation = 0;
};
// What the process gets back.
struct IoResult {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    bool reachedFileSystem = false;  // every filter passed it and the file system carried it out
};
// A process's open handle (and its file object) from CreateFile.
struct OpenFile;

// ---- registry key opens by simulated processes (Machine::OpenKey)
// An NtOpenKey as a process issues it; the registry callbacks see it.
struct KeyOpenRequest {
    std::u16string name;          // absolute (\REGISTRY\MACHINE\...) or, with parent, relative
    HANDLE parent = nullptr;      // a key handle from OpenKey: name is relative to that key
    ACCESS_MASK desiredAccess = KEY_READ;
    int nameLength = -1;          // >= 0: CompleteName->Length in bytes (odd allowed); else the whole name
};

// ---- other drivers: the targets of dispatch interposition (Machine::LoadTargetDriver & co.)
// What a target driver's dispatch routine does with a request that reaches it.
enum class TargetAction {
    Complete,     // completes it at once with status and information
    Pend,         // marks it pending, returns STATUS_PENDING and completes it from another
                  // thread (at DISPATCH_LEVEL) pendMs of real time later
    PendAtGate,   // the same, but completes it only once the test opens the gate
    HoldAtGate,   // keeps it inside the dispatch routine (the caller's thread waits there)
                  // until the gate opens, then completes it
    PendForever,  // marks it pending with a cancel routine: only IoCancelIrp completes it
                  // (STATUS_CANCELLED), or the target's unload (STATUS_NO_SUCH_DEVICE)
};
struct TargetBehavior {
    TargetAction action = TargetAction::Complete;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    uint32_t pendMs = 5;
    std::vector<uint8_t> output;  // written to the request's output buffer (bounded by its length)
};
struct TargetDriverOptions {
    unsigned devices = 1;       // device objects \Device\<name>0, 1, ...
    CHAR stackSize = 1;
    std::vector<UCHAR> emptySlots;  // major functions whose MajorFunction slot stays NULL
    TargetBehavior behavior;        // for every major function at first
};
// What reached a target's dispatch routine (the last request, as it arrived).
struct TargetRequestRecord {
    UCHAR major = 0;
    UCHAR minor = 0;
    ULONG ioControlCode = 0;      // device controls
    ULONG inputLength = 0;        // device controls
    ULONG outputLength = 0;       // device controls
    ULONG length = 0;             // reads and writes
    PVOID type3InputBuffer = nullptr;
    PVOID systemBuffer = nullptr;
    std::vector<uint8_t> systemBufferBytes;  // the input bytes in the system buffer
    PMDL mdl = nullptr;
    std::vector<uint8_t> mdlBytes;           // the bytes the MDL describes
    PFILE_OBJECT fileObject = nullptr;
    PDEVICE_OBJECT device = nullptr;
    PIRP irp = nullptr;
    KPROCESSOR_MODE requestorMode = KernelMode;
    KIRQL irql = PASSIVE_LEVEL;
    uint32_t processId = 0;
};
struct TargetStats {
    unsigned total = 0;
    unsigned byMajor[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};
    unsigned held = 0;      // waiting at the gate now (HoldAtGate and PendAtGate)
    unsigned completed = 0; // requests the target completed
    TargetRequestRecord last;
};

// ---- requests sent to another driver's device (Machine::SendRequest)
// One I/O request as the I/O manager builds it for a caller.
struct DeviceRequest {
    UCHAR major = IRP_MJ_DEVICE_CONTROL;
    UCHAR minor = 0;
    ULONG ioControlCode = 0;
    // Device controls: METHOD_BUFFERED copies it into the system buffer, METHOD_NEITHER
    // points Type3InputBuffer at a copy. Writes: the data (in the system buffer, or in
    // the MDL when withMdl and mdlBytes is empty).
    std::vector<uint8_t> input;
    ULONG outputLength = 0;
    std::optional<ULONG> inputLength;  // the length the stack location states (default: input's)
    std::optional<PVOID> type3InputBuffer;  // a raw caller pointer for Type3InputBuffer (e.g. InvalidBuffer)
    bool noSystemBuffer = false;       // a buffered request whose SystemBuffer is NULL
    bool withMdl = false;              // MdlAddress describes mdlBytes (locked, not mapped)
    std::vector<uint8_t> mdlBytes;
    bool mdlMapped = false;            // the MDL is already mapped to system space
    bool mdlMapFails = false;          // mapping the MDL fails (MmGetSystemAddressForMdlSafe gives NULL)
    PFILE_OBJECT fileObject = nullptr;
    bool userMode = false;             // RequestorMode UserMode
    KIRQL irql = PASSIVE_LEVEL;        // IofCallDriver is called at this IRQL
    PEPROCESS process = nullptr;       // current process of the call (null: System)
    unsigned device = 0;               // which of the target's devices
    uint32_t waitMs = 10000;           // real time to wait for a pending request's completion
};
struct DeviceRequestResult {
    NTSTATUS returned = 0;     // what IofCallDriver returned
    bool completed = false;    // completed past its top within waitMs
    NTSTATUS status = 0;       // final IoStatus.Status (when completed)
    ULONG_PTR information = 0;
    std::vector<uint8_t> output;
    PIRP irp = nullptr;        // valid only while not completed (e.g. for IoCancelIrp)
};

// ---- OBEX traffic on a Bluetooth RFCOMM or IrDA connection (Machine::SendObexPacket)
enum class ObexTransport { Rfcomm, Irda };
struct ObexSendOptions {
    ULONG ioControlCode = 0x0021001F;  // IOCTL_TDI_SEND
    std::optional<ULONG> inputLength;  // default: the packet's length
    bool noMdl = false;                // the request carries no MDL
    bool noFileObject = false;         // the stack location names no file object
    bool mdlMapped = false;
    bool mdlMapFails = false;
    bool userMode = false;
    KIRQL irql = PASSIVE_LEVEL;
    PEPROCESS process = nullptr;
    uint32_t waitMs = 10000;
};

// ---- USB devices under a hub (Machine::PlugUsbDevice)
enum class UsbAnswer {
    Answer,  // the descriptor (min of requested, available and maxBytes)
    Fail,    // completes with status (USBD status usbdStatus), nothing transferred
    Pend,    // STATUS_PENDING, answered pendMs of real time later from another thread
    Never,   // STATUS_PENDING and never answered; IoCancelIrp completes it STATUS_CANCELLED
};
struct UsbTransferScript {
    UsbAnswer answer = UsbAnswer::Answer;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    USBD_STATUS usbdStatus = USBD_STATUS_STALL_PID;
    int maxBytes = -1;  // >= 0: a short transfer of at most this many bytes
    uint32_t pendMs = 5;
};
struct UsbDeviceOptions {
    std::u16string hub = u"usbhub";  // the hub driver (loaded with LoadTargetDriver): usbhub or usbhub3
    std::vector<uint8_t> deviceDescriptor;       // raw bytes (usb::DeviceDescriptor builds a good one)
    std::vector<uint8_t> configuration;          // the whole configuration set, raw
    std::map<uint8_t, std::vector<uint8_t>> strings;  // raw string descriptors by index (0: languages)
    uint16_t languageId = 0x0409;                // strings are answered in this language only
    UsbTransferScript deviceTransfer;            // how each kind of descriptor request is answered
    UsbTransferScript configurationTransfer;
    UsbTransferScript stringTransfer;
    NTSTATUS startStatus = STATUS_SUCCESS;       // the hub's own answer to the start request
    KIRQL irql = PASSIVE_LEVEL;                  // the start request is sent at this IRQL
    PEPROCESS process = nullptr;
    uint32_t waitMs = 10000;
};
struct UsbDescriptorRequestRecord {
    USHORT urbLength = 0;
    USHORT function = 0;
    UCHAR descriptorType = 0;
    UCHAR index = 0;
    USHORT languageId = 0;
    ULONG requestedLength = 0;
    ULONG transferred = 0;
    NTSTATUS status = 0;
    KIRQL irql = PASSIVE_LEVEL;
};
struct UsbPlugResult {
    PDEVICE_OBJECT device = nullptr;  // the device's physical device object (the hub's)
    DeviceRequestResult start;        // the IRP_MN_START_DEVICE request
    bool started = false;             // completed with a success status
};
namespace usb {
std::vector<uint8_t> DeviceDescriptor(uint8_t deviceClass, uint16_t vendor, uint16_t product, uint8_t iManufacturer,
                                      uint8_t iProduct, uint8_t iSerialNumber, uint8_t subClass = 0,
                                      uint8_t protocol = 0, uint16_t bcdDevice = 0x0100);
std::vector<uint8_t> StringDescriptor(const std::u16string& text);  // bLength = 2 + 2 x units
std::vector<uint8_t> LanguageTable(uint16_t languageId = 0x0409);
// A configuration header (wTotalLength = 9 + rest.size() unless totalLength is given) followed by rest.
std::vector<uint8_t> Configuration(const std::vector<uint8_t>& rest, uint8_t numInterfaces = 1,
                                   std::optional<uint16_t> totalLength = std::nullopt);
std::vector<uint8_t> Interface(uint8_t number, uint8_t cls, uint8_t subClass = 0, uint8_t protocol = 0,
                               uint8_t endpoints = 0, uint8_t alternate = 0);
std::vector<uint8_t> Endpoint(uint8_t address, uint8_t attributes, uint16_t maxPacket, uint8_t interval);
std::vector<uint8_t> Hid(uint16_t bcdHid = 0x0111, uint8_t numDescriptors = 1, uint16_t reportLength = 52);
}  // namespace usb

struct VerifierReport {
    std::vector<std::string> violations;
    bool Clean() const { return violations.empty(); }
    std::string ToString() const;
};

// The failable calls that fault injection can make fail.
enum class FaultClass {
    Any,           // every failable call below
    Allocation,    // pool, lookaside, context allocations
    Registration,  // FltRegisterFilter, FltStartFiltering, port creation, security descriptor,
                   // notify-routine / callback registrations, named-event creation
};

// ---- user mode: the host process and the control library it loads
// The user-mode calls that fault injection can make fail.
enum class UserFault {
    LoadLibrary,     // LoadLibraryW: NULL, ERROR_MOD_NOT_FOUND
    GetProcAddress,  // NULL, ERROR_PROC_NOT_FOUND
    CreateEvent,     // CreateEventW/CreateEventExW: NULL, ERROR_ACCESS_DENIED
    CreateThread,    // NULL, ERROR_NOT_ENOUGH_MEMORY
    VirtualAlloc,    // NULL, ERROR_NOT_ENOUGH_MEMORY
    PortConnect,     // FilterConnectCommunicationPort: HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
    RegSetValue,     // RegSetValueExW: ERROR_ACCESS_DENIED (added by wt-runtime)
};
constexpr size_t kUserFaultPoints = 7;

struct HostOptions {
    // The executable's Win32 path, what GetModuleFileNameW(NULL) answers. The
    // process's NT image path is derived from it through the volumes' drive letters.
    std::u16string imagePath = u"C:\\Program Files\\kx4\\kx4host.exe";
    uint32_t pid = 0;            // 0: the next free id
    bool administrator = true;   // may connect to filter ports
};

class Machine {
public:
    static Machine& Boot(const MachineOptions& options = {});
    static Machine& Current();  // bug-checks the test when no machine is running
    static bool Running();
    static void Shutdown();     // unloads loaded drivers, removes a temporary root

    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // ---- clock
    ClockMode Clock() const;
    void AdvanceClock(uint64_t milliseconds);  // driven mode: moves tick count and system time
    uint64_t SystemTime() const;               // 100-ns units since 1601 (KeQuerySystemTime)
    void SetSystemTime(uint64_t filetime);
    uint64_t TickCount() const;                // KeQueryTickCount
    static constexpr ULONG kTimeIncrement = 156250;  // 15.625 ms per tick, in 100-ns units

    // ---- processes
    PEPROCESS SystemProcess();                   // pid 4, image name "System"
    // Fires the creation notify routines (with the new process current); nullptr when
    // an extended routine refused the creation through CreationStatus.
    PEPROCESS StartProcess(const ProcessOptions& options);
    void ExitProcess(PEPROCESS process);          // fires them for the exit
    PEPROCESS FindProcess(uint32_t pid);          // nullptr when not running
    uint32_t ProcessId(PEPROCESS process) const;
    // Runs fn on the calling thread with process as the current process.
    void RunAs(PEPROCESS process, const std::function<void()>& fn);
    // Replaces the bytes of the short image name in the process object (for tests
    // of the start-up scan): the object then lacks the text "System" everywhere.
    void ScrubProcessObject(PEPROCESS process);
    static constexpr uint32_t kProcessNameOffset = 0x5a8;
    // A thread of a simulated process (its id a multiple of 4, kept until shutdown).
    PETHREAD CreateThread(PEPROCESS process);
    uint32_t ThreadId(PETHREAD thread) const;

    // ---- process and thread handles (object callbacks run in the opener's thread)
    // NtOpenProcess by opener: the pre-operation callbacks registered for process
    // handle creation run on this thread with opener current (highest altitude
    // first), each seeing the access the previous ones left; the post-operation
    // callbacks then run in reverse order with the access granted. No security
    // descriptor is modelled: the access the callbacks leave is granted.
    // STATUS_INVALID_CID (0xC000000B) when no process of that id runs.
    HandleResult OpenProcess(PEPROCESS opener, uint32_t processId, ACCESS_MASK desiredAccess,
                             const HandleOptions& options = {});
    // NtOpenThread: the same for a thread created with CreateThread.
    HandleResult OpenThread(PEPROCESS opener, uint32_t threadId, ACCESS_MASK desiredAccess,
                            const HandleOptions& options = {});
    // NtDuplicateObject called by caller: source (a handle of any process) is
    // duplicated into targetProcess (null: the caller; with kernelHandle, the System
    // process). The duplicate callbacks see SourceProcess = source's holder and
    // TargetProcess. STATUS_INVALID_HANDLE for a closed source.
    HandleResult DuplicateHandle(PEPROCESS caller, ObjectHandle* source, PEPROCESS targetProcess,
                                 ACCESS_MASK desiredAccess, const HandleOptions& options = {});
    void CloseHandle(ObjectHandle* handle);
    // Object callback registrations in force, and pre-operation calls made since boot.
    size_t ObCallbackRegistrations() const;
    uint64_t ObPreCallbacksRun() const;

    // ---- file requests (each runs on the calling thread with the process current)
    // A create request by process: the I/O manager validates it, the filters' pre-
    // and post-create callbacks see it, and only if they pass it does the file
    // system carry out the disposition on the host directory. *file gets the open
    // handle on success (nullptr otherwise); it must go to CloseFile.
    IoResult CreateFile(PEPROCESS process, const CreateRequest& request, OpenFile** file,
                        const RequestOptions& options = {});
    // Read (IRP_MJ_READ) length bytes at offset into *data (resized to what was read).
    IoResult ReadFile(OpenFile* file, uint64_t offset, uint32_t length, std::string* data,
                      const RequestOptions& options = {});
    // Write (IRP_MJ_WRITE) data at offset.
    IoResult WriteFile(OpenFile* file, uint64_t offset, const std::string& data, const RequestOptions& options = {});
    // Set-information (IRP_MJ_SET_INFORMATION) with a raw buffer of the class.
    IoResult SetInformationFile(OpenFile* file, FILE_INFORMATION_CLASS infoClass, const void* buffer,
                                uint32_t length, const RequestOptions& options = {});
    // The same with a FILE_RENAME_INFORMATION built from newName (a full NT name, or a
    // bare name: renamed within its directory); class FileRenameInformation (replace
    // sets ReplaceIfExists) or FileRenameInformationEx (replace sets
    // FILE_RENAME_REPLACE_IF_EXISTS).
    IoResult RenameFile(OpenFile* file, const std::u16string& newName, bool replace,
                        FILE_INFORMATION_CLASS infoClass = FileRenameInformation, const RequestOptions& options = {});
    // The same with FILE_DISPOSITION_INFORMATION (DeleteFile = del) or, for
    // FileDispositionInformationEx, FILE_DISPOSITION_INFORMATION_EX (FILE_DISPOSITION_DELETE or 0).
    IoResult DeleteFile(OpenFile* file, bool del = true,
                        FILE_INFORMATION_CLASS infoClass = FileDispositionInformation,
                        const RequestOptions& options = {});
    // The handle is closed: IRP_MJ_CLEANUP (a pending delete happens here).
    IoResult CleanupFile(OpenFile* file, const RequestOptions& options = {});
    // The last reference goes: IRP_MJ_CLOSE (cleanup first if not done), and file is freed.
    IoResult CloseFile(OpenFile* file, const RequestOptions& options = {});
    PFILE_OBJECT FileObjectOf(OpenFile* file) const;
    // SeQueryInformationToken calls since boot.
    unsigned TokenQueries() const;

    // ---- registry (kernel paths: \Registry\Machine\...)
    void RegCreateKey(const std::u16string& path);
    void RegSetDword(const std::u16string& path, const std::u16string& name, uint32_t value);
    void RegSetString(const std::u16string& path, const std::u16string& name, const std::u16string& value);
    void RegSetBinary(const std::u16string& path, const std::u16string& name, const std::vector<uint8_t>& data);
    bool RegGetDword(const std::u16string& path, const std::u16string& name, uint32_t* value) const;
    bool RegKeyExists(const std::u16string& path) const;
    void RegDeleteTree(const std::u16string& path);

    // ---- registry key opens and registry callbacks
    // Opens a key as process does (NtOpenKey), on this thread with process current:
    // the registry callbacks get RegNtPreOpenKeyEx (REG_OPEN_KEY_INFORMATION_V1), then,
    // after the open, RegNtPostOpenKeyEx (REG_POST_OPERATION_INFORMATION), highest
    // altitude first. *key gets a user handle on success (give it to CloseKey).
    NTSTATUS OpenKey(PEPROCESS process, const KeyOpenRequest& request, HANDLE* key);
    void CloseKey(HANDLE key);
    size_t RegistryCallbacks() const;   // registered and not yet unregistered
    size_t KeyObjectsAlive() const;     // key objects callbacks were handed that still exist

    // ---- system routines (MmGetSystemRoutineAddress)
    void HideSystemRoutine(const std::u16string& name);  // lookups of it then answer NULL

    // ---- drivers
    void RegisterDriverImage(const std::u16string& imageName, PDRIVER_INITIALIZE entry);
    // Creates the service key if missing, then runs DriverEntry in the system process
    // with the registry path \Registry\Machine\System\CurrentControlSet\Services\<service>.
    // Missing service values are written as a minifilter's installer would (Type 2,
    // so the driver object is \FileSystem\<service>; write Type 1 first for \Driver\).
    NTSTATUS LoadDriver(const std::u16string& serviceName, const std::u16string& imageName);
    // Unloads as the filter manager does (filter unload callback, then DriverUnload),
    // then runs the verifier's unload checks.
    NTSTATUS UnloadDriver(const std::u16string& serviceName);
    bool IsDriverLoaded(const std::u16string& serviceName) const;
    PDRIVER_OBJECT DriverObject(const std::u16string& serviceName) const;

    // ---- user-mode services: Service Control Manager, DOS devices, tokens, time zone
    // (the Win32 routines themselves are in platform/um.h)
    // A service marked for deletion (DeleteService) that still exists: it goes when
    // it is stopped and its last handle is closed.
    bool ServiceMarkedForDelete(const std::u16string& serviceName) const;
    // SC_HANDLEs open to the service, in every process.
    size_t OpenServiceHandles(const std::u16string& serviceName) const;
    // Maps a network drive (net use Z: \\server\share) in the interactive logon
    // session: QueryDosDeviceW(Z:) then answers the returned redirector path
    // (\Device\LanmanRedirector\;Z:0000000000012345\server\share) and the drive is
    // listed by GetLogicalDriveStringsW. A letter in use throws std::invalid_argument.
    std::u16string MapNetworkDrive(const std::u16string& drive, const std::u16string& share);
    bool UnmapNetworkDrive(const std::u16string& drive);
    // Whether a privilege (e.g. u"SeDebugPrivilege") is enabled in the process's
    // primary token.
    bool PrivilegeEnabled(PEPROCESS process, const std::u16string& privilege) const;
    // The time zone's current bias in minutes (UTC = local time + bias; 0 after
    // boot). FileTimeToLocalFileTime uses the bias in force when it is called.
    void SetTimeZoneBias(int32_t minutes);
    int32_t TimeZoneBias() const;

    // ---- filter communication ports, client side
    // Connects as the given process; the driver's connect callback runs on this thread.
    NTSTATUS ConnectPort(PEPROCESS client, const std::u16string& portName, PortConnection** connection);
    // The same with a connection context (FilterConnectCommunicationPort's lpContext):
    // the driver's connect callback gets a copy of these bytes.
    NTSTATUS ConnectPort(PEPROCESS client, const std::u16string& portName, const void* context,
                         uint16_t contextSize, PortConnection** connection);
    // Runs the driver's message callback on this thread with the client's process current.
    NTSTATUS SendMessage(PortConnection* connection, const void* input, uint32_t inputLength, void* output,
                         uint32_t outputLength, uint32_t* bytesReturned);
    void ClosePort(PortConnection* connection);  // disconnect callback, then the handle goes
    size_t PortConnectionCount(const std::u16string& portName) const;
    // Runs fn inside every later FltCreateCommunicationPort, on the creating thread,
    // as soon as the new port accepts clients and before the routine returns: a test
    // can connect and send the moment the port exists. An empty fn removes it.
    void OnPortCreated(std::function<void(const std::u16string& portName)> fn);

    // ---- volumes
    VolumeInfo AddVolume(const VolumeOptions& options);
    std::vector<VolumeInfo> Volumes() const;
    // The related objects (filter, volume, instance) of the service's filter
    // instance on a volume, as the filter manager hands them to callbacks; false
    // when that filter has no attached instance there.
    bool RelatedObjects(const std::u16string& serviceName, const std::u16string& volumeDeviceName,
                        FLT_RELATED_OBJECTS* objects) const;
    // Removes a volume as a surprise removal does: every instance on it is torn down
    // (teardown start and complete, no query), then its volume contexts lose the
    // volume's reference. False when no such volume.
    bool RemoveVolume(const std::u16string& volumeDeviceName);
    // Detaches the service's instance from a volume as FltDetachVolume (fltmc detach)
    // does: the instance query-teardown callback decides (a filter without one
    // cannot be detached: STATUS_FLT_DO_NOT_DETACH), then the teardown callbacks.
    // Volume contexts stay with the volume. STATUS_NOT_FOUND when not attached.
    NTSTATUS DetachInstance(const std::u16string& serviceName, const std::u16string& volumeDeviceName);
    // Attaches the service's filter to a volume again (FltAttachVolume): instance
    // setup runs with FLTFL_INSTANCE_SETUP_MANUAL_ATTACHMENT. Its status is returned.
    NTSTATUS AttachInstance(const std::u16string& serviceName, const std::u16string& volumeDeviceName);
    // Changes the faults of a volume's disk from now on (e.g. before AttachInstance).
    bool SetVolumeFaults(const std::u16string& volumeDeviceName, const VolumeFaults& faults);
    // Device-control requests the volume's disk has answered, and requests any driver
    // returned STATUS_PENDING for that are not completed yet.
    unsigned StorageQueriesAnswered(const std::u16string& volumeDeviceName) const;
    unsigned PendingRequests() const;

    // ---- other drivers (targets of interposition): \Driver\<name>, found by
    // ObReferenceObjectByName with IoDriverObjectType. name is "BTKRNL" or "\Driver\BTKRNL".
    // Every major-function slot but opts.emptySlots holds the target's dispatch routine.
    NTSTATUS LoadTargetDriver(const std::u16string& name, const TargetDriverOptions& options = {});
    // Its requests still held or pending are completed (STATUS_NO_SUCH_DEVICE) and the
    // name goes; the driver object stays valid memory while references remain (and
    // until shutdown), as on Windows.
    NTSTATUS UnloadTargetDriver(const std::u16string& name);
    bool IsTargetLoaded(const std::u16string& name) const;
    PDRIVER_OBJECT TargetDriverObject(const std::u16string& name) const;  // null when not loaded
    PDEVICE_OBJECT TargetDevice(const std::u16string& name, unsigned index = 0) const;
    // The target's dispatch routine itself (what its slots hold unless interposed).
    static PDRIVER_DISPATCH TargetDispatchRoutine();
    void SetTargetBehavior(const std::u16string& name, const TargetBehavior& behavior);  // every major function
    void SetTargetBehavior(const std::u16string& name, UCHAR major, const TargetBehavior& behavior);
    // Opens the gate: held requests go on and complete, later ones pass it, until the
    // behaviour is set again (which closes it).
    void OpenTargetGate(const std::u16string& name);
    // Waits (real time) until count requests wait at the target's gate.
    bool WaitTargetHeld(const std::u16string& name, unsigned count, uint32_t timeoutMs = 5000) const;
    TargetStats TargetRequests(const std::u16string& name) const;
    // Runs fn once, on the calling thread, inside the next IofCallDriver to one of the
    // target's devices for major: after the slot was read and before the routine it
    // held is called (a caller paused with the old routine in hand).
    void OnSlotRead(const std::u16string& target, UCHAR major, std::function<void()> fn);
    // References drivers hold on an object (ObReferenceObjectByName, ObReferenceObject...).
    long ObjectReferencesHeld(PVOID object) const;

    // ---- requests to a target's device, issued as the I/O manager would for a caller:
    // IofCallDriver on this thread at request.irql with request.process current, then
    // a wait (up to waitMs, real time) for a pending completion.
    DeviceRequestResult SendRequest(const std::u16string& targetName, const DeviceRequest& request);
    DeviceRequestResult SendRequestTo(PDEVICE_OBJECT device, const DeviceRequest& request);
    // A file object standing for one connection (the same object for the same id,
    // until shutdown).
    PFILE_OBJECT ConnectionFileObject(uint32_t connection);
    // An OBEX packet on a connection: IRP_MJ_INTERNAL_DEVICE_CONTROL (minor TDI_SEND) to
    // \Driver\RFCOMM or \Driver\irda, the bytes in the request's MDL, the
    // connection's file object in the stack location, ioControlCode and the input
    // length (default the packet's) in Parameters.DeviceIoControl.
    DeviceRequestResult SendObexPacket(ObexTransport transport, uint32_t connection, const std::vector<uint8_t>& packet,
                                       const ObexSendOptions& options = {});

    // ---- USB devices: a new device under the hub driver (its physical device object
    // belongs to the hub); IRP_MJ_PNP / IRP_MN_START_DEVICE goes through the hub's PnP
    // slot, and the device answers IOCTL_INTERNAL_USB_SUBMIT_URB descriptor requests
    // (URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) as scripted.
    UsbPlugResult PlugUsbDevice(const UsbDeviceOptions& options);
    // IRP_MN_REMOVE_DEVICE through the hub's PnP slot; the device is gone afterwards.
    DeviceRequestResult UnplugUsbDevice(PDEVICE_OBJECT device);
    std::vector<UsbDescriptorRequestRecord> UsbDescriptorRequests(PDEVICE_OBJECT device) const;

    // ---- MDLs: every mapping of an MDL to system space fails from now on (until false).
    void SetMdlMappingFails(bool fail);
    // Requests outstanding now (as the verifier reports them).
    std::vector<std::string> OutstandingRequests() const;
    // ---- user mode: host processes (see winsim/README.md, "User mode")
    // Starts a process (creation notify routines run) whose user-mode code the test
    // runs with RunAsHost.
    PEPROCESS StartHost(const HostOptions& options = {});
    // Runs fn on a new user-mode thread of process and waits for it: the current
    // process there is process, GetCurrentThreadId is its own id, and in driven mode
    // the thread takes part in the cooperative clock. An exception of fn (a failed
    // ASSERT's return aside) is rethrown here.
    void RunAsHost(PEPROCESS process, const std::function<void()>& fn);
    // Ends the host as Windows ends a process: its threads end (a thread waiting in a
    // user-mode wait leaves it at once; the others at their next wait), its handles
    // are closed (closing routines run as for CloseHandle), its VirtualAlloc memory
    // goes, then the exit is notified. The same happens in ExitProcess.
    void ExitHost(PEPROCESS process);
    size_t UserHandleCount(PEPROCESS process) const;            // open user-mode handles
    std::vector<std::string> UserHandles(PEPROCESS process) const;  // "Event (CreateEventW)" ...
    size_t UserThreadCount(PEPROCESS process) const;            // CreateThread threads not ended
    size_t UserMemoryRegions(PEPROCESS process) const;          // VirtualAlloc regions not released
    // Fault injection: calls nth .. nth+times-1 (1 = the next one) of the point fail;
    // error 0 keeps the point's own error (see UserFault).
    void FailUserCall(UserFault point, unsigned nth = 1, unsigned times = 1, uint32_t error = 0);
    void ClearUserFaults();
    unsigned UserCallsSeen(UserFault point) const;  // since boot or the last ClearUserFaults
    // Queues a message from the server side of a filter port to every user-mode port
    // handle connected to it (what FltSendMessage without a reply would deliver):
    // FilterGetMessage returns a FILTER_MESSAGE_HEADER followed by body. Returns how
    // many handles received it.
    size_t PostPortMessage(const std::u16string& portName, const void* body, uint32_t size);
    // The host file of a Windows path on a volume (what KxHostFilePath answers, for
    // a UTF-16 path): "C:\\a\\b.txt" -> "<C:'s host directory>/a/b.txt".
    std::string HostFilePath(const std::u16string& windowsPath) const;
    // RtlNtStatusToDosError as the machine maps it.
    static uint32_t DosErrorOf(NTSTATUS status);

    // ---- named objects
    bool NamedObjectExists(const std::u16string& name) const;  // e.g. u"\\BaseNamedObjects\\x"
    // Opens, or creates non-signalled, a named notification event and keeps a
    // reference to it; the result must go to CloseEvent.
    void* OpenNamedEvent(const std::u16string& name);
    bool IsEventSignaled(void* event) const;
    void ResetEvent(void* event);
    void CloseEvent(void* event);

    // ---- debug output (DbgPrintEx)
    std::vector<std::string> DebugOutput() const;  // one entry per DbgPrintEx call
    std::string DebugText() const;                  // all of it concatenated
    bool DebugContains(const std::string& text) const;
    size_t DebugCount(const std::string& text) const;  // entries that contain text
    void ClearDebugOutput();
    void SetDebugEcho(bool echo);
    // Runs fn once, on the printing thread right after the line is captured, the
    // first time a DbgPrintEx/DbgPrint line containing text is printed: a test can
    // act at a precise point inside driver code. fn runs at the IRQL of the print.
    void OnDebugLine(const std::string& text, std::function<void()> fn);

    // ---- caller buffers
    // An address range that ProbeForRead/ProbeForWrite and MmIsAddressValid treat as
    // inaccessible (and that faults for real if touched without a probe).
    void* InvalidBuffer(size_t size);
    // validBytes of accessible memory directly followed by an inaccessible range:
    // a probe of more than validBytes from the start raises STATUS_ACCESS_VIOLATION.
    void* BufferWithInvalidTail(size_t validBytes);

    // ---- pool accounting
    size_t PoolAllocations(ULONG tag) const;  // outstanding allocations under tag
    size_t PoolBytes(ULONG tag) const;
    size_t PoolAllocationsTotal() const;

    // ---- verifier
    VerifierReport Verifier() const;  // everything recorded since boot (or the last clear)
    void ClearVerifier();
    // Fault injection: the nth failable call of the class from now on fails (once).
    void FailNthCall(FaultClass cls, unsigned n);
    void ClearFaultInjection();
    unsigned FailableCallsSeen(FaultClass cls) const;  // since boot or the last FailNthCall
    bool InjectedFaultHit() const;                      // the chosen call has failed

private:
    Machine() = default;
    ~Machine() = default;
    friend struct MachineAccess;
};

}  // namespace winsim
