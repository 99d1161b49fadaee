// Token privileges and security descriptors of user mode. Each process's primary
// token holds the privileges Windows gives an elevated administrator (or a
// standard user), all but the default ones disabled; OpenProcessToken on the
// current process gives a handle to it, AdjustTokenPrivileges enables and
// disables what it holds. Security descriptors are the absolute-format structure,
// built as Windows builds them; the machine checks no access against them.
#include <cstring>

#include "winsim/um/services.h"

namespace winsim::um {
namespace {

constexpr ACCESS_MASK kTokenQuery = 0x0008;
constexpr ACCESS_MASK kTokenAdjustPrivileges = 0x0020;
constexpr ACCESS_MASK kTokenAllAccess = 0xF01FF;
constexpr DWORD kEnabled = 0x00000002;            // SE_PRIVILEGE_ENABLED
constexpr DWORD kEnabledByDefault = 0x00000001;   // SE_PRIVILEGE_ENABLED_BY_DEFAULT
constexpr DWORD kRemoved = 0x00000004;            // SE_PRIVILEGE_REMOVED
constexpr WORD kDaclPresent = 0x0004;             // SE_DACL_PRESENT
constexpr WORD kDaclDefaulted = 0x0008;           // SE_DACL_DEFAULTED
constexpr WORD kSelfRelative = 0x8000;            // SE_SELF_RELATIVE

struct PrivilegeName {
    const char16_t* name;
    LONG value;
};
constexpr PrivilegeName kPrivileges[] = {
    {u"SeCreateTokenPrivilege", 2},          {u"SeAssignPrimaryTokenPrivilege", 3},
    {u"SeLockMemoryPrivilege", 4},           {u"SeIncreaseQuotaPrivilege", 5},
    {u"SeMachineAccountPrivilege", 6},       {u"SeTcbPrivilege", 7},
    {u"SeSecurityPrivilege", 8},             {u"SeTakeOwnershipPrivilege", 9},
    {u"SeLoadDriverPrivilege", 10},          {u"SeSystemProfilePrivilege", 11},
    {u"SeSystemtimePrivilege", 12},          {u"SeProfileSingleProcessPrivilege", 13},
    {u"SeIncreaseBasePriorityPrivilege", 14}, {u"SeCreatePagefilePrivilege", 15},
    {u"SeCreatePermanentPrivilege", 16},     {u"SeBackupPrivilege", 17},
    {u"SeRestorePrivilege", 18},             {u"SeShutdownPrivilege", 19},
    {u"SeDebugPrivilege", 20},               {u"SeAuditPrivilege", 21},
    {u"SeSystemEnvironmentPrivilege", 22},   {u"SeChangeNotifyPrivilege", 23},
    {u"SeRemoteShutdownPrivilege", 24},      {u"SeUndockPrivilege", 25},
    {u"SeSyncAgentPrivilege", 26},           {u"SeEnableDelegationPrivilege", 27},
    {u"SeManageVolumePrivilege", 28},        {u"SeImpersonatePrivilege", 29},
    {u"SeCreateGlobalPrivilege", 30},        {u"SeTrustedCredManAccessPrivilege", 31},
    {u"SeRelabelPrivilege", 32},             {u"SeIncreaseWorkingSetPrivilege", 33},
    {u"SeTimeZonePrivilege", 34},            {u"SeCreateSymbolicLinkPrivilege", 35},
    {u"SeDelegateSessionUserImpersonatePrivilege", 36},
};

// What a fresh token holds: privilege value -> attributes.
std::map<LONG, DWORD> InitialPrivileges(bool administrator) {
    std::map<LONG, DWORD> held;
    const DWORD onByDefault = kEnabled | kEnabledByDefault;
    for (LONG p : {19, 25, 33, 34}) held[p] = 0;  // shutdown, undock, working set, time zone
    held[23] = onByDefault;                          // change notify
    if (administrator) {
        for (LONG p : {5, 8, 9, 10, 11, 12, 13, 14, 15, 17, 18, 20, 22, 28, 35, 36}) held[p] = 0;
        held[29] = onByDefault;  // impersonate
        held[30] = onByDefault;  // create global objects
    }
    return held;
}

struct SecurityState {
    std::mutex mutex;
    std::map<uint32_t, std::map<LONG, DWORD>> tokens;  // by process id: the primary token's privileges
};
std::unique_ptr<SecurityState> g_security;

SecurityState& Security() {
    if (!g_security) Machine::Current();
    return *g_security;
}

// The privileges of a process's primary token (caller holds the lock).
std::map<LONG, DWORD>& TokenOfLocked(PEPROCESS process) {
    const uint32_t pid = detail::ProcessIdOf(process);
    auto it = g_security->tokens.find(pid);
    if (it == g_security->tokens.end())
        it = g_security->tokens.emplace(pid, InitialPrivileges(process->administrator)).first;
    return it->second;
}

struct TokenObject : detail::KObject {
    const char* TypeName() const override { return "Token"; }
    PEPROCESS process = nullptr;
    ACCESS_MASK access = 0;
};

LONG PrivilegeValue(const std::u16string& name) {
    for (auto& p : kPrivileges)
        if (detail::EqualsNoCase(name, p.name)) return p.value;
    return 0;
}

}  // namespace

void SecurityBoot() { g_security = std::make_unique<SecurityState>(); }
void SecurityShutdown() { g_security.reset(); }

}  // namespace winsim::um

// ---------------------------------------------------------------- test controls
namespace winsim {

bool Machine::PrivilegeEnabled(PEPROCESS process, const std::u16string& privilege) const {
    const LONG value = um::PrivilegeValue(privilege);
    if (value == 0) throw std::invalid_argument("PrivilegeEnabled: unknown privilege");
    um::SecurityState& s = um::Security();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto& held = um::TokenOfLocked(process);
    auto it = held.find(value);
    return it != held.end() && (it->second & um::kEnabled);
}

}  // namespace winsim

// ---------------------------------------------------------------- Windows routines
using namespace winsim;
using namespace winsim::um;

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD desiredAccess, PHANDLE token) {
    if (!token) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    // The current process's pseudo handle; other processes' handles are not modelled here.
    if (process != GetCurrentProcess()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto object = std::make_shared<TokenObject>();
    object->process = CurrentUserProcess();
    object->access = desiredAccess & (0x10000000 /* GENERIC_ALL */) ? kTokenAllAccess : desiredAccess;
    *token = InsertUserHandle(HandleKind::Object, object, {}, "OpenProcessToken");
    return TRUE;
}

BOOL WINAPI LookupPrivilegeValueW(LPCWSTR systemName, LPCWSTR name, PLUID luid) {
    if (systemName && systemName[0]) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);  // only the local system is there
        return FALSE;
    }
    if (!name || !luid) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    const LONG value = PrivilegeValue(reinterpret_cast<const char16_t*>(name));
    if (value == 0) {
        SetLastError(ERROR_NO_SUCH_PRIVILEGE);
        return FALSE;
    }
    luid->LowPart = static_cast<DWORD>(value);
    luid->HighPart = 0;
    return TRUE;
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState, DWORD bufferLength,
                                  PTOKEN_PRIVILEGES previousState, PDWORD returnLength) {
    auto object = ReferenceUserHandleAs<TokenObject>(token, HandleKind::Object);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!(object->access & kTokenAdjustPrivileges) || (previousState && !(object->access & kTokenQuery))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!disableAll && !newState) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SecurityState& s = Security();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto& held = TokenOfLocked(object->process);

    // The changes, worked out before anything changes.
    std::vector<std::pair<LONG, DWORD>> changes;  // privilege, new attributes (kRemoved: remove)
    bool notAll = false;
    if (disableAll) {
        for (auto& [value, attributes] : held)
            if (attributes & kEnabled) changes.emplace_back(value, attributes & ~kEnabled);
    } else {
        for (DWORD i = 0; i < newState->PrivilegeCount; ++i) {
            const LUID& luid = newState->Privileges[i].Luid;
            const DWORD wanted = newState->Privileges[i].Attributes;
            auto it = luid.HighPart == 0 ? held.find(static_cast<LONG>(luid.LowPart)) : held.end();
            if (it == held.end()) {
                notAll = true;
                continue;
            }
            DWORD next = wanted & kRemoved ? kRemoved : (it->second & ~kEnabled) | (wanted & kEnabled);
            if (next != it->second) changes.emplace_back(it->first, next);
        }
    }
    if (previousState) {
        const DWORD needed = static_cast<DWORD>(offsetof(TOKEN_PRIVILEGES, Privileges) +
                                                changes.size() * sizeof(LUID_AND_ATTRIBUTES));
        if (returnLength) *returnLength = needed;
        if (bufferLength < needed) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        previousState->PrivilegeCount = static_cast<DWORD>(changes.size());
        for (size_t i = 0; i < changes.size(); ++i) {
            previousState->Privileges[i].Luid.LowPart = static_cast<DWORD>(changes[i].first);
            previousState->Privileges[i].Luid.HighPart = 0;
            previousState->Privileges[i].Attributes = held[changes[i].first];
        }
    }
    for (auto& [value, next] : changes) {
        if (next == kRemoved) held.erase(value);
        else held[value] = next;
    }
    SetLastError(notAll ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision) {
    if (!descriptor) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    if (revision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    auto* sd = static_cast<SECURITY_DESCRIPTOR*>(descriptor);
    std::memset(sd, 0, sizeof *sd);
    sd->Revision = SECURITY_DESCRIPTOR_REVISION;
    return TRUE;
}

BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL daclPresent, PACL dacl,
                                      BOOL daclDefaulted) {
    if (!descriptor) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    auto* sd = static_cast<SECURITY_DESCRIPTOR*>(descriptor);
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    if (sd->Control & kSelfRelative) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return FALSE;
    }
    if (daclPresent) {
        // A present but null DACL grants everyone every access.
        sd->Control = static_cast<WORD>(sd->Control | kDaclPresent);
        sd->Dacl = dacl;
        if (daclDefaulted) sd->Control = static_cast<WORD>(sd->Control | kDaclDefaulted);
        else sd->Control = static_cast<WORD>(sd->Control & ~kDaclDefaulted);
    } else {
        sd->Control = static_cast<WORD>(sd->Control & ~(kDaclPresent | kDaclDefaulted));
        sd->Dacl = nullptr;
    }
    return TRUE;
}
