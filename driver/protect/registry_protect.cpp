// Registry protection.
#include "driver/protect/registry_protect.h"

#include "driver/core/process_info.h"

volatile LONG RegProtectActive;

namespace {

struct REG_KEY_ENTRY {
    LIST_ENTRY Link;
    WCHAR Key[KX_REG_KEY_ENTRY_CHARS];  // upper case, zero-filled
};

LIST_ENTRY RegKeyList;
KSPIN_LOCK RegKeyLock;

// Registration state: changed only by StartRegFlt and StopRegFlt. Registering
// keeps a second SET_REG_PROTECT sent meanwhile from registering again.
enum : LONG { kNotRegistered = 0, kRegistering = 1, kRegistered = 2 };
volatile LONG RegState;
LARGE_INTEGER RegCookie;
PDRIVER_OBJECT RegCallbackContext;

const WCHAR kAltitude[] = WSTR("380831");
const WCHAR kDefaultKey[] = WSTR("SOFTWARE\\Zarquel");
const WCHAR kDefaultWowKey[] = WSTR("SOFTWARE\\WOW6432NODE\\Zarquel");

// The registry editors, by their 8-bit image names; an empty slot ends the table.
const CHAR* const RegistryEditors[] = {"RegWorkshopX64.exe", "RegWorkshop.exe", "RegScanner.exe", "regedit.exe", ""};

// The copy of a key path the callback examines: 255 characters and a terminator.
constexpr ULONG kPathChars = 256;
constexpr ULONG kPathBytes = kPathChars * sizeof(WCHAR);

CHAR UpperAscii(CHAR c) { return (c >= 'a' && c <= 'z') ? (CHAR)(c - 'a' + 'A') : c; }

// The short name (cut by the system at 15 characters) must equal the beginning of
// a table entry. A process whose name could not be read is not an editor.
BOOLEAN IsRegistryEditor(const CHAR* shortName) {
    if (shortName[0] == 0) {
        return FALSE;
    }
    for (ULONG i = 0; RegistryEditors[i][0] != 0; ++i) {
        const CHAR* entry = RegistryEditors[i];
        ULONG n = 0;
        while (shortName[n] != 0 && entry[n] != 0 && UpperAscii(shortName[n]) == UpperAscii(entry[n])) {
            ++n;
        }
        if (shortName[n] == 0) {
            return TRUE;
        }
    }
    return FALSE;
}

// Whether needle (terminated) occurs in haystack (terminated); both upper case.
BOOLEAN Contains(PCWSTR haystack, PCWSTR needle) {
    if (needle[0] == 0) {
        return TRUE;
    }
    for (PCWSTR start = haystack; *start != 0; ++start) {
        ULONG i = 0;
        while (needle[i] != 0 && start[i] == needle[i]) {
            ++i;
        }
        if (needle[i] == 0) {
            return TRUE;
        }
    }
    return FALSE;
}

void UpcaseInPlace(PWSTR text) {
    for (PWSTR p = text; *p != 0; ++p) {
        *p = RtlUpcaseUnicodeChar(*p);
    }
}

void EmptyRegKeyList() {
    LIST_ENTRY released;
    InitializeListHead(&released);
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&RegKeyLock);
    while (!IsListEmpty(&RegKeyList)) {
        InsertTailList(&released, RemoveHeadList(&RegKeyList));
    }
    KeReleaseSpinLock(&RegKeyLock, irql);
    while (!IsListEmpty(&released)) {
        ExFreePoolWithTag(CONTAINING_RECORD(RemoveHeadList(&released), REG_KEY_ENTRY, Link), KX_TAG_REG_KEY);
    }
}

// Copies bytes (rounded down to whole characters) of text to out at offset chars;
// false when it does not fit below the terminator.
BOOLEAN AppendChars(PWCHAR out, ULONG* used, const WCHAR* text, ULONG bytes) {
    const ULONG chars = bytes / (ULONG)sizeof(WCHAR);
    if (*used + chars >= kPathChars) {
        return FALSE;
    }
    RtlCopyMemory(out + *used, text, chars * sizeof(WCHAR));
    *used += chars;
    return TRUE;
}

// The full name of the key an open names, upper case, in path (zero-filled, 256
// characters). A name relative to a parent key gets the parent's full name in
// front, so such opens are matched like absolute ones. False when the name is
// missing or has 256 characters or more: such opens are not examined.
BOOLEAN CopyKeyPath(PREG_OPEN_KEY_INFORMATION pre, PWCHAR path) {
    PCUNICODE_STRING name = pre->CompleteName;
    if (name == NULL || name->Buffer == NULL || name->Length >= kPathBytes) {
        return FALSE;
    }
    ULONG used = 0;
    // An absolute name starts with a backslash; any other is relative to RootObject.
    const BOOLEAN relative = pre->RootObject != NULL && (name->Length < sizeof(WCHAR) || name->Buffer[0] != (WCHAR)'\\');
    if (relative) {
        PCUNICODE_STRING parent = NULL;
        if (!NT_SUCCESS(CmCallbackGetKeyObjectIDEx(&RegCookie, pre->RootObject, NULL, &parent, 0)) ||
            parent == NULL) {
            return FALSE;
        }
        static const WCHAR kSeparator[] = {(WCHAR)'\\'};
        BOOLEAN fits = AppendChars(path, &used, parent->Buffer, parent->Length) &&
                       (name->Length < sizeof(WCHAR) || AppendChars(path, &used, kSeparator, sizeof(kSeparator)));
        CmCallbackReleaseKeyObjectIDEx(parent);
        if (!fits) {
            return FALSE;
        }
    }
    // An odd byte length ends in half a character: only whole ones are copied, so
    // the copy keeps its terminator.
    if (!AppendChars(path, &used, name->Buffer, name->Length)) {
        return FALSE;
    }
    path[used] = 0;
    UpcaseInPlace(path);
    return TRUE;
}

}  // namespace

void InitRegKeyList() {
    PAGED_CODE();
    InitializeListHead(&RegKeyList);
    KeInitializeSpinLock(&RegKeyLock);
    WriteNoFence(&RegState, kNotRegistered);
    WriteNoFence(&RegProtectActive, 0);
    RegCookie.QuadPart = 0;
    RegCallbackContext = NULL;
}

void AddRegProtectKey(PCWSTR key) {
    PAGED_CODE();
    auto* entry = static_cast<REG_KEY_ENTRY*>(
        ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(REG_KEY_ENTRY), KX_TAG_REG_KEY));
    if (entry == NULL) {
        return;
    }
    for (ULONG i = 0; i < KX_REG_KEY_ENTRY_CHARS - 1 && key[i] != 0; ++i) {
        entry->Key[i] = RtlUpcaseUnicodeChar(key[i]);
    }
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&RegKeyLock);
    InsertTailList(&RegKeyList, &entry->Link);
    KeReleaseSpinLock(&RegKeyLock, irql);
}

void DelRegProtectKey(PWSTR key) {
    PAGED_CODE();
    UpcaseInPlace(key);
    // The control library deletes every key with an empty one.
    if (key[0] == 0) {
        EmptyRegKeyList();
        return;
    }
    REG_KEY_ENTRY* found = NULL;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&RegKeyLock);
    for (PLIST_ENTRY e = RegKeyList.Flink; e != &RegKeyList; e = e->Flink) {
        REG_KEY_ENTRY* entry = CONTAINING_RECORD(e, REG_KEY_ENTRY, Link);
        if (Contains(key, entry->Key)) {
            RemoveEntryList(&entry->Link);
            found = entry;
            break;
        }
    }
    KeReleaseSpinLock(&RegKeyLock, irql);
    if (found != NULL) {
        ExFreePoolWithTag(found, KX_TAG_REG_KEY);
    }
}

BOOLEAN FindRegProtectKey(PCWSTR keyPath) {
    BOOLEAN found = FALSE;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&RegKeyLock);
    for (PLIST_ENTRY e = RegKeyList.Flink; e != &RegKeyList && !found; e = e->Flink) {
        found = Contains(keyPath, CONTAINING_RECORD(e, REG_KEY_ENTRY, Link)->Key);
    }
    KeReleaseSpinLock(&RegKeyLock, irql);
    return found;
}

NTSTATUS StartRegFlt(PDRIVER_OBJECT driverObject) {
    PAGED_CODE();
    const LONG previous = InterlockedCompareExchange(&RegState, kRegistering, kNotRegistered);
    if (previous != kNotRegistered) {
        // Registered already: a non-zero SET_REG_PROTECT after a zero one turns the
        // protection on again. One being registered right now does so itself.
        if (previous == kRegistered) {
            WriteNoFence(&RegProtectActive, 1);
        }
        return STATUS_SUCCESS;
    }

    AddRegProtectKey(kDefaultKey);
    AddRegProtectKey(kDefaultWowKey);

    KX_TRACE(KX_DBG_INFO, "%s:%s: DriverObject(%p)\n", driverObject);
    RegCallbackContext = driverObject;
    UNICODE_STRING altitude;
    RtlInitUnicodeString(&altitude, kAltitude);
    NTSTATUS status = CmRegisterCallbackEx(RegFltCallback, &altitude, driverObject, &RegCallbackContext,
                                           &RegCookie, NULL);
    if (NT_SUCCESS(status)) {
        WriteNoFence(&RegProtectActive, 1);
        WriteNoFence(&RegState, kRegistered);
        KX_TRACE(KX_DBG_INFO, "%s:%s: CmRegisterCallback succeeded\n");
    } else {
        WriteNoFence(&RegState, kNotRegistered);
        KX_TRACE(KX_DBG_INFO, "%s:%s: CmRegisterCallback failed. Status 0x%x\n", (ULONG)status);
    }
    return status;
}

void StopRegFlt() {
    PAGED_CODE();
    if (ReadNoFence(&RegState) == kRegistered) {
        NTSTATUS status = CmUnRegisterCallback(RegCookie);
        if (!NT_SUCCESS(status)) {
            KX_TRACE(KX_DBG_INFO, "%s:%s: CmUnRegisterCallback Failed (%x)\n", (ULONG)status);
            return;
        }
        KX_TRACE(KX_DBG_INFO, "%s:%s: CmUnRegisterCallback succeeded\n");
        WriteNoFence(&RegProtectActive, 0);
        WriteNoFence(&RegState, kNotRegistered);
        RegCookie.QuadPart = 0;
    }
    EmptyRegKeyList();
}

NTSTATUS RegFltCallback(PVOID callbackContext, PVOID argument1, PVOID argument2) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(callbackContext);
    if (!ReadNoFence(&RegProtectActive)) {
        return STATUS_SUCCESS;
    }
    CHAR shortName[17] = {0};
    GetCurrentProcessShortName(shortName);
    const REG_NOTIFY_CLASS notifyClass = (REG_NOTIFY_CLASS)(ULONG_PTR)argument1;
    if (!IsRegistryEditor(shortName) || argument2 == NULL || notifyClass != RegNtPostOpenKeyEx) {
        return STATUS_SUCCESS;
    }

    auto* post = static_cast<PREG_POST_OPERATION_INFORMATION>(argument2);
    if (post->Status == STATUS_OBJECT_NAME_NOT_FOUND) {
        KX_TRACE(KX_DBG_INFO, "%s:%s: Operation did not fail with status not found as expected. Post status: 0x%x\n",
                 (ULONG)post->Status);
        return STATUS_SUCCESS;
    }
    auto* pre = static_cast<PREG_OPEN_KEY_INFORMATION>(post->PreInformation);
    if (pre == NULL) {
        return STATUS_SUCCESS;
    }
    WCHAR path[kPathChars];
    RtlZeroMemory(path, sizeof(path));
    if (!CopyKeyPath(pre, path) || !FindRegProtectKey(path)) {
        return STATUS_SUCCESS;
    }

    KX_TRACE(KX_DBG_INFO, "%s:%s: PostPreOpenKeyInfoEx regdit access denined (%S)\n", path);
    // The configuration manager returns ReturnStatus only when the callback says
    // STATUS_CALLBACK_BYPASS. A successful open had referenced the key object for
    // the handle the caller will now not get: that reference is ours to drop.
    if (post->Status == STATUS_SUCCESS && post->Object != NULL) {
        ObDereferenceObject(post->Object);
    }
    post->ReturnStatus = STATUS_ACCESS_DENIED;
    return STATUS_CALLBACK_BYPASS;
}
