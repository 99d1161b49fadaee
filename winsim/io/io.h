// Private declarations of the io half of the machine: process and thread objects,
// driver records, the registry hive and the attribution of driver actions. Only
// winsim/io/*.cpp include this (and white-box tests); the core half meets io through
// winsim/detail/internal.h alone.
#pragma once

// The machine's internals: only winsim itself and its own tests of them may
// include this; everything else goes through winsim/winsim.h.
#if !defined(KX_WINSIM_INTERNALS)
#error "winsim internals: include winsim/winsim.h instead"
#endif


#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "winsim/detail/internal.h"

// Status codes that winsim returns but the driver never names.
#define WINSIM_STATUS_INVALID_INFO_CLASS ((NTSTATUS)0xC0000003L)
#define WINSIM_STATUS_OBJECT_PATH_SYNTAX_BAD ((NTSTATUS)0xC000003BL)
#define WINSIM_STATUS_IMAGE_ALREADY_LOADED ((NTSTATUS)0xC000010EL)
#define WINSIM_STATUS_KEY_DELETED ((NTSTATUS)0xC000017CL)
#define WINSIM_STATUS_INVALID_DEVICE_OBJECT_PARAMETER ((NTSTATUS)0xC0000369L)
#define WINSIM_STATUS_FLT_CONTEXT_ALLOCATION_NOT_FOUND ((NTSTATUS)0xC01C0016L)
#define WINSIM_STATUS_FLT_FILTER_NOT_READY ((NTSTATUS)0xC01C0008L)
#define WINSIM_STATUS_FLT_DELETING_OBJECT ((NTSTATUS)0xC01C000BL)

namespace winsim::io {
// An access token: a process's primary token, or the client token a thread
// impersonates while it issues a request. Only its source is modelled.
struct Token {
    std::string source;  // TOKEN_SOURCE.SourceName, 8 characters, space padded
    bool primary = true;
};
// Tokens that SeQueryInformationToken accepts (registered while they exist).
void RegisterToken(const Token* token);
void UnregisterToken(const Token* token);
}  // namespace winsim::io

// The process object. The first member is the byte image a driver may scan: the
// short image name lives at Machine::kProcessNameOffset and nothing else in it is
// text. What follows is the machine's own bookkeeping, never read by drivers.
struct _EPROCESS {
    static constexpr size_t kImageSize = 12288 + 64;
    static constexpr size_t kShortNameSize = 16;  // 15 characters and a terminator
    unsigned char image[kImageSize];

    uint32_t pid = 0;
    uint32_t parentPid = 0;
    std::u16string imagePath;    // NT device form; empty for the system process
    std::u16string commandLine;
    bool administrator = true;
    winsim::io::Token token;     // the primary token
    std::atomic<bool> exited{false};
    // Counted strings handed to the creation notify routines (point into the above).
    UNICODE_STRING imagePathString{};
    UNICODE_STRING commandLineString{};
};

// The thread object: one per OS thread (alive as long as the thread), and the
// threads a test creates in a simulated process (alive until shutdown).
struct _ETHREAD {
    uint32_t threadId = 0;
    // A created thread's process; null for OS threads, which belong to whatever
    // process is current on them.
    PEPROCESS owner = nullptr;
};

namespace winsim::io {

// Incremented by every boot: thread-local state remembered from an earlier machine
// is recognised as stale and ignored.
uint64_t BootGeneration();

// ---------------------------------------------------------------- attribution
// Which driver is executing on this thread: set around every call winsim makes into
// driver code, so registrations and references can be charged to a driver.
class DriverScope {
public:
    explicit DriverScope(const std::u16string* service);
    ~DriverScope();
    DriverScope(const DriverScope&) = delete;
    DriverScope& operator=(const DriverScope&) = delete;

private:
    const std::u16string* previous_;
};
// The driver to charge for an action on this thread: the scope's driver, else the
// only driver loaded, else empty (charged to whichever driver unloads next).
std::u16string CurrentDriver();

// Makes a process current for the lifetime of the scope (null: the system process).
class ProcessScope {
public:
    explicit ProcessScope(PEPROCESS process);
    ~ProcessScope();
    ProcessScope(const ProcessScope&) = delete;
    ProcessScope& operator=(const ProcessScope&) = delete;

private:
    PEPROCESS previous_;
};

// ---------------------------------------------------------------- processes
void ProcessesBoot();
void ProcessesShutdown();
void ProcessUnloadChecks(const std::u16string& driver);
PEPROCESS SystemProcessObject();
// A handle to a process (what ZwOpenProcess / ObOpenObjectByPointer would give).
struct ProcessObject : detail::KObject {
    explicit ProcessObject(PEPROCESS p) : process(p) {}
    const char* TypeName() const override { return "Process"; }
    PEPROCESS process;
};
// Object references taken by drivers (ObReferenceObject and the lookups that return
// a referenced object).
void NoteObjectReference(PVOID object);
void ObjectsBoot();
void ObjectUnloadChecks(const std::u16string& driver);
// "process 1000 (notepad.exe)" or "object 0x..." for reports.
std::string DescribeReferencedObject(PVOID object);
// Threads created by tests (Machine::CreateThread), by id; null when unknown.
PETHREAD FindCreatedThread(uint32_t threadId);

// ---------------------------------------------------------------- object callbacks
// ObRegisterCallbacks registrations, handle opens and duplicates that run them.
void ObCallbacksBoot();
void ObCallbacksShutdown();
void ObCallbacksUnloadChecks(const std::u16string& driver);
// Reference bookkeeping of a callback in progress on this thread (+1 taken, -1 dropped).
void NoteCallbackReference(PVOID object, int delta);

// ---------------------------------------------------------------- registry
struct RegValue {
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};
struct RegKey {
    std::u16string name;  // as created (case preserved)
    RegKey* parent = nullptr;
    std::map<std::u16string, std::shared_ptr<RegKey>> children;  // by upper-cased name
    std::map<std::u16string, RegValue> values;                    // by upper-cased name
    bool deleted = false;
};
// A handle to an open key.
struct KeyBody;
struct KeyObject : detail::KObject {
    ~KeyObject() override;
    const char* TypeName() const override { return "Key"; }
    std::shared_ptr<RegKey> key;
    ACCESS_MASK access = 0;
    std::shared_ptr<KeyBody> body;  // opens through Machine::OpenKey: the key object callbacks saw (one reference)
};
void RegistryBoot();
void RegistryShutdown();
// Path operations on the hive. Paths are kernel paths (\Registry\Machine\...) or,
// with a base key, relative ones. All are case-insensitive.
NTSTATUS RegistryOpen(const std::shared_ptr<RegKey>& base, const std::u16string& path,
                      std::shared_ptr<RegKey>* key);
NTSTATUS RegistryCreate(const std::shared_ptr<RegKey>& base, const std::u16string& path,
                        std::shared_ptr<RegKey>* key, bool* created);
NTSTATUS RegistrySetValue(const std::shared_ptr<RegKey>& key, const std::u16string& name, ULONG type,
                          const void* data, size_t size);
NTSTATUS RegistryQueryValue(const std::shared_ptr<RegKey>& key, const std::u16string& name, RegValue* value);
NTSTATUS RegistryDeleteTree(const std::shared_ptr<RegKey>& key);
// The names of a key's subkeys as created (empty for a deleted key).
std::vector<std::u16string> RegistrySubkeyNames(const std::shared_ptr<RegKey>& key);
// Removes one value (STATUS_OBJECT_NAME_NOT_FOUND when missing), or every value.
NTSTATUS RegistryDeleteValue(const std::shared_ptr<RegKey>& key, const std::u16string& name);
NTSTATUS RegistryDeleteValues(const std::shared_ptr<RegKey>& key);
// Opens the key at path and inserts a kernel handle for it.
NTSTATUS OpenKeyHandle(const std::shared_ptr<RegKey>& base, const std::u16string& path, ACCESS_MASK access,
                       PHANDLE handle, const char* owner);
// Inserts a handle to an opened key (user handles are not the verifier's concern).
HANDLE InsertKeyHandle(const std::shared_ptr<RegKey>& key, ACCESS_MASK access, std::shared_ptr<KeyBody> body,
                       bool kernelHandle, const char* owner);
// The full path of a key as created ("\\Registry\\Machine\\..."); empty once deleted.
std::u16string RegistryKeyPath(const std::shared_ptr<RegKey>& key);
std::u16string Upcase(const std::u16string& s);

// ---- registry callbacks (regcallbacks.cpp)
void RegCallbacksBoot();
void RegCallbacksShutdown();
void RegCallbackUnloadChecks(const std::u16string& driver);
// ObDereferenceObject on a key object that registry callbacks were handed: true
// when object is one (the reference is dropped there).
bool DereferenceKeyBody(PVOID object);
std::u16string ToU16(PCUNICODE_STRING s);  // empty for a null string

// ---------------------------------------------------------------- drivers
constexpr const char16_t* kServicesPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
struct DriverRecord {
    std::u16string service;
    std::u16string image;
    PDRIVER_INITIALIZE entry = nullptr;
    DRIVER_OBJECT object{};
    std::u16string driverName;     // storage behind object.DriverName
    std::u16string registryPath;   // storage behind registryPathString
    UNICODE_STRING registryPathString{};
    enum class State { Loading, Loaded, Unloading, Gone } state = State::Loading;
};
void DriversBoot();
void DriversShutdown();
// The record for a driver object that is loading or loaded; null otherwise.
std::shared_ptr<DriverRecord> FindDriverByObject(PDRIVER_OBJECT driver);
// Services of drivers that are loading or loaded.
std::vector<std::u16string> ActiveDrivers();
// Whether a driver image of that file name was registered (RegisterDriverImage).
bool DriverImageKnown(const std::u16string& imageName);

// ---------------------------------------------------------------- system routines
void SystemRoutinesBoot();

// ---------------------------------------------------------------- filter manager
void FltBoot();
void FltShutdown();
// Unload-time helpers used by the driver loader.
bool DriverHasFilter(const std::u16string& service);
NTSTATUS RunFilterUnload(const std::u16string& service);  // the filter's unload callback
// Forcibly removes what the driver's filter left (after its violations were recorded).
void FltUnloadChecks(const std::u16string& service);

}  // namespace winsim::io
