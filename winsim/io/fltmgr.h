// Private declarations of the filter manager: filters, volumes, instances,
// communication ports, contexts, name information and file objects. One mutex
// (FltState::mutex) guards all of it; it is never held while driver code runs.
#pragma once

// The machine's internals: only winsim itself and its own tests of them may
// include this; everything else goes through winsim/winsim.h.
#if !defined(KX_WINSIM_INTERNALS)
#error "winsim internals: include winsim/winsim.h instead"
#endif


#include <condition_variable>
#include <functional>
#include <set>

#include "winsim/io/io.h"

namespace winsim::io {
struct FileObject;
}

#define WINSIM_FLT_VARIABLE_SIZED_CONTEXTS ((SIZE_T)-1)
#define WINSIM_FLTFL_INSTANCE_TEARDOWN_MANUAL 0x00000001
#define WINSIM_FLTFL_INSTANCE_TEARDOWN_FILTER_UNLOAD 0x00000002
#define WINSIM_FLTFL_INSTANCE_TEARDOWN_VOLUME_DISMOUNT 0x00000008
#define WINSIM_STATUS_FLT_DO_NOT_DETACH ((NTSTATUS)0xC01C0010L)
#define WINSIM_FLTFL_FILE_NAME_PARSED_FINAL_COMPONENT 0x0001
#define WINSIM_FLTFL_FILE_NAME_PARSED_EXTENSION 0x0002
#define WINSIM_FLTFL_FILE_NAME_PARSED_STREAM 0x0004
#define WINSIM_FLTFL_FILE_NAME_PARSED_PARENT_DIR 0x0008
#define WINSIM_STATUS_MEDIA_WRITE_PROTECTED ((NTSTATUS)0xC00000A2L)

struct _FLT_VOLUME {
    winsim::VolumeInfo info;
    DEVICE_TYPE deviceType = FILE_DEVICE_DISK_FILE_SYSTEM;
    FLT_FILESYSTEM_TYPE fsType = FLT_FSTYPE_NTFS;
    bool readOnly = false;
    // The device that file objects on this volume name (FileObject->DeviceObject):
    // a disk, CD-ROM or network device with the characteristics of its kind. It
    // lives as long as the volume.
    DEVICE_OBJECT storageDevice{};
    std::map<PFLT_FILTER, PFLT_CONTEXT> contexts;  // the volume context each filter set
    // The rest of the disk's device stack (devices.cpp): the physical device object
    // below the storage device, which carries the Plug and Play properties, and an
    // upper filter device above it, which passes requests down. Same lifetime.
    DEVICE_OBJECT pdo{};
    DEVICE_OBJECT upper{};
    winsim::DiskIdentity identity;
    winsim::VolumeSize size;
    winsim::VolumeFaults faults;  // read and written under FltState::mutex
    unsigned storageQueries = 0;  // device-control requests the disk answered
};

struct _FLT_INSTANCE {
    _FLT_INSTANCE(PFLT_FILTER f, PFLT_VOLUME v)
        : filter(f), volume(v), related{sizeof(FLT_RELATED_OBJECTS), 0, f, v, this, nullptr, nullptr} {}
    PFLT_FILTER filter = nullptr;
    PFLT_VOLUME volume = nullptr;
    const FLT_RELATED_OBJECTS related;  // what callbacks get for this instance
    enum class State { SettingUp, Attached, Detached } state = State::SettingUp;
};

struct _FLT_FILTER {
    std::u16string service;  // charged for the filter's callbacks
    PDRIVER_OBJECT driver = nullptr;
    FLT_REGISTRATION registration{};
    std::vector<FLT_CONTEXT_REGISTRATION> contextRegistrations;
    std::vector<FLT_OPERATION_REGISTRATION> operations;
    bool started = false;
    bool unregistering = false;
    bool gone = false;
    int callbacksInFlight = 0;  // port callbacks and instance setups running now
};

struct _FLT_PORT {
    enum class Kind { Server, Client } kind = Kind::Server;
    PFLT_FILTER filter = nullptr;
    // Server port.
    std::u16string name;
    PVOID cookie = nullptr;
    PFLT_CONNECT_NOTIFY connect = nullptr;
    PFLT_DISCONNECT_NOTIFY disconnect = nullptr;
    PFLT_MESSAGE_NOTIFY message = nullptr;
    LONG maxConnections = 0;
    bool closed = false;      // FltCloseCommunicationPort: no new connections
    int liveConnections = 0;  // connections neither side has closed
    int inFlight = 0;         // callbacks through this port running now
    // Client port (the driver's end of one connection).
    _FLT_PORT* server = nullptr;
    winsim::PortConnection* connection = nullptr;
    bool driverClosed = false;  // FltCloseClientPort
};

namespace winsim {
// A simulated process's open handle from Machine::CreateFile (requests.cpp).
struct OpenFile {
    PEPROCESS process = nullptr;
    std::shared_ptr<io::FileObject> file;
    ACCESS_MASK granted = 0;  // what the handle was opened for (generic rights mapped)
    bool cleanedUp = false;
};
// The client's end of a connection (what fltlib's port handle refers to).
struct PortConnection {
    PEPROCESS client = nullptr;
    _FLT_PORT* clientPort = nullptr;
    PVOID cookie = nullptr;          // the connection cookie the connect callback returned
    bool clientClosed = false;       // ClosePort
    bool serverGone = false;         // the filter unregistered
    bool counted = false;            // still counted in the server's liveConnections
    bool connected = false;          // the connect callback accepted it
    bool disconnectNotified = false;
    int inFlight = 0;                // messages running now
    std::vector<uint8_t> context;    // the connection context, captured as fltmgr does
};
}  // namespace winsim

namespace winsim::io {

struct ContextRecord {
    PFLT_FILTER filter = nullptr;
    FLT_CONTEXT_TYPE type = 0;
    long references = 0;
    PFLT_CONTEXT_CLEANUP_CALLBACK cleanup = nullptr;
    ULONG tag = 0;
};

struct NameRecord {
    PFLT_FILTER filter = nullptr;
    long references = 0;
    PFLT_VOLUME volume = nullptr;
};

struct FltState {
    std::mutex mutex;
    std::condition_variable changed;  // an in-flight count dropped
    std::vector<std::unique_ptr<_FLT_VOLUME>> volumes;
    // Volumes taken away by RemoveVolume: kept until shutdown, so that device objects
    // the driver still references stay valid.
    std::vector<std::unique_ptr<_FLT_VOLUME>> removedVolumes;
    // Kept until shutdown, so pointers the driver or a test still holds stay valid.
    std::vector<std::unique_ptr<_FLT_FILTER>> filters;
    std::vector<std::unique_ptr<_FLT_INSTANCE>> instances;
    std::vector<std::unique_ptr<_FLT_PORT>> ports;
    std::vector<std::unique_ptr<PortConnection>> connections;
    std::map<PFLT_CONTEXT, ContextRecord> contexts;            // live contexts
    std::map<PFLT_FILE_NAME_INFORMATION, NameRecord> names;    // live name information
    std::set<PSECURITY_DESCRIPTOR> descriptors;                // built and not yet freed
    // Test control: runs inside FltCreateCommunicationPort once a port takes clients.
    std::function<void(const std::u16string&)> onPortCreated;
    // Handles of simulated processes' create requests (requests.cpp), freed by CloseFile or shutdown.
    std::map<OpenFile*, std::unique_ptr<OpenFile>> openFiles;
    unsigned nextHarddisk = 2;
    unsigned nextFloppy = 0;
    unsigned nextCdRom = 0;
};
FltState& Flt();

// Lookups under the lock (null when not a live object of that kind).
_FLT_FILTER* FindFilterLocked(PFLT_FILTER filter);  // registered and not gone
_FLT_INSTANCE* FindInstanceLocked(PFLT_INSTANCE instance);
_FLT_VOLUME* FindVolumeLocked(PFLT_VOLUME volume);

// Tracks a callback into a filter on this thread, so that waits for in-flight
// callbacks made from inside one do not wait for themselves.
class FilterCallback {
public:
    FilterCallback(_FLT_FILTER* filter, _FLT_PORT* port);
    ~FilterCallback();
    FilterCallback(const FilterCallback&) = delete;
    FilterCallback& operator=(const FilterCallback&) = delete;
    // Callbacks of this thread currently running inside filter / port.
    static int OwnedBy(const _FLT_FILTER* filter);
    static int OwnedBy(const _FLT_PORT* port);

private:
    _FLT_FILTER* filter_;
    _FLT_PORT* port_;
};

// Ports (ports.cpp). At unregistration the connected clients are disconnected first
// (PortsDisconnect); once no callback runs any more, what the driver left open is
// closed and described (PortsLeftOpen, one message per violation).
void PortsDisconnect(_FLT_FILTER* filter);
std::vector<std::string> PortsLeftOpen(_FLT_FILTER* filter);

// Devices (devices.cpp): builds the disk's device stack of a new volume (under the
// lock), and the unload check of device-control requests left pending.
void BuildDiskStack(_FLT_VOLUME* volume, const VolumeOptions& options);
void DevicesShutdown();  // waits for requests completing on other threads
// The volume whose device stack holds device (null when none). Caller holds the lock.
_FLT_VOLUME* VolumeOfDeviceLocked(PDEVICE_OBJECT device);

// A file opened through FltCreateFile or by a simulated process's create request.
// FILE_OBJECT::FsContext points back at it.
struct FileObject : detail::KObject {
    ~FileObject() override;
    const char* TypeName() const override { return "File"; }
    void SetNames(const std::u16string& relative);  // after a create or a rename
    PFLT_VOLUME volume = nullptr;
    std::u16string ntName;        // full NT path, device name included (follows renames)
    std::u16string relativeName;  // below the volume, starting with a backslash (follows renames)
    std::u16string openedName;    // as opened: what FILE_OBJECT::FileName shows
    std::string hostPath;
    bool directory = false;
    bool deleteOnClose = false;   // FILE_DELETE_ON_CLOSE, or a disposition set on the handle
    FILE_OBJECT file{};
};

// The create path shared by FltCreateFile and the request path.
struct ParsedName {
    _FLT_VOLUME* volume = nullptr;
    std::u16string prefix;  // a redirector's mapped-drive component ("\;Z:0000000000012345"), else empty
    std::vector<std::u16string> parts;  // components below the volume (and the prefix)
    bool mustBeDirectory = false;
};
struct FsCreateResult {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    std::string hostPath;
    bool directory = false;
};
// Disposition and option combinations the I/O manager refuses outright.
NTSTATUS CheckCreateParameters(ULONG disposition, ULONG options);
// The volume of a full NT name (device or \??\X: form) and its components.
NTSTATUS ParseFileName(const std::u16string& name, ULONG options, ParsedName* out);
// The file system's part: carries out the disposition on the host directory.
FsCreateResult FileSystemCreate(const ParsedName& name, ULONG disposition, ULONG options);
std::u16string RelativeName(const ParsedName& name);
std::shared_ptr<FileObject> MakeFileObject(const ParsedName& name, const FsCreateResult& created,
                                           ACCESS_MASK desiredAccess, ULONG shareAccess, ULONG options);
NTSTATUS HostErrorStatus(int error);
// The host path a parsed name maps to; *exists tells whether it is there.
// STATUS_OBJECT_PATH_NOT_FOUND when a parent directory is missing.
NTSTATUS ResolveHostPath(const ParsedName& name, std::string* hostPath, bool* exists);

}  // namespace winsim::io
