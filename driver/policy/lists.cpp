// The protected-path, file-name, protected-process-name and trusted-process lists,
// and the host and address lists of the outgoing-network exception.
#include "driver/policy/lists.h"

namespace {

// A list with its own lock. Count changes only under the lock; it is read without
// it so that a lookup on an empty list (the usual case) takes no lock at all.
struct KX_LOCKED_LIST {
    LIST_ENTRY Head;
    KSPIN_LOCK Lock;
    volatile LONG Count;
};

struct NAME_ENTRY {
    ULONG ulType;
    WCHAR text[KX_NAME_ENTRY_MAX_CHARS + 1];
    ULONG size;
    LIST_ENTRY Link;
};

struct PROCESS_ENTRY {
    ULONG ulType;
    WCHAR text[KX_PROCESS_ENTRY_MAX_CHARS + 1];
    ULONG size;
    BOOLEAN isPath;  // the text holds a '\': it names a path, not a file name
    LIST_ENTRY Link;
};

struct HOST_ENTRY {
    ULONG length;  // characters
    WCHAR name[KX_HOST_ENTRY_MAX_CHARS + 1];
    LIST_ENTRY Link;
};

struct ADDRESS_ENTRY {
    ULONG first;
    ULONG last;  // 0: the first address only
    LIST_ENTRY Link;
};

KX_LOCKED_LIST NameLists[3];
KX_LOCKED_LIST ProcessList;
KX_LOCKED_LIST HostList;
KX_LOCKED_LIST AddressList;

// Bytes of one UTF-16 character, in the width the lengths are counted in.
constexpr ULONG kWcharBytes = (ULONG)sizeof(WCHAR);

// The host part of a network path fits the normalisation buffer.
constexpr ULONG kHostPathChars = 260;

void InitList(KX_LOCKED_LIST* list) {
    InitializeListHead(&list->Head);
    KeInitializeSpinLock(&list->Lock);
    WriteNoFence(&list->Count, 0);
}

// Characters of text before its terminator, counting at most limit of them.
SIZE_T BoundedLength(PCWSTR text, SIZE_T limit) {
    SIZE_T n = 0;
    while (n < limit && text[n] != 0) {
        ++n;
    }
    return n;
}

inline bool ListEmpty(const KX_LOCKED_LIST* list) { return ReadNoFence(&list->Count) == 0; }

// Both with the list's lock held.
inline void LinkEntry(KX_LOCKED_LIST* list, PLIST_ENTRY link) {
    InsertTailList(&list->Head, link);
    InterlockedIncrement(&list->Count);
}
inline void UnlinkEntry(KX_LOCKED_LIST* list, PLIST_ENTRY link, PLIST_ENTRY released) {
    RemoveEntryList(link);
    InterlockedDecrement(&list->Count);
    InsertTailList(released, link);
}

// Unlinks every entry; the caller frees them after releasing the lock.
void UnlinkAll(KX_LOCKED_LIST* list, PLIST_ENTRY released) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&list->Lock);
    while (!IsListEmpty(&list->Head)) {
        UnlinkEntry(list, list->Head.Flink, released);
    }
    KeReleaseSpinLock(&list->Lock, irql);
}

template <typename Entry>
void FreeReleased(PLIST_ENTRY released, ULONG tag) {
    while (!IsListEmpty(released)) {
        ExFreePoolWithTag(CONTAINING_RECORD(RemoveHeadList(released), Entry, Link), tag);
    }
}

KX_LOCKED_LIST* NameListOf(KX_NAME_LIST list) {
    return (ULONG)list < KX_COUNTOF(NameLists) ? &NameLists[list] : NULL;
}

// Copies the first size/2 characters of text, or fewer if it ends sooner, into a
// zero-filled field that is large enough (the caller has checked the size).
void CopyName(WCHAR* field, PCWSTR text, ULONG size) {
    if (text == NULL) {
        return;
    }
    for (ULONG i = 0; i < size / kWcharBytes && text[i] != 0; ++i) {
        field[i] = text[i];
    }
}

// The same name: the same length and the same characters, case aside.
bool SameName(PCWSTR entryText, ULONG entrySize, PCWSTR text, ULONG size) {
    if (entrySize != size) {
        return false;
    }
    return size / kWcharBytes == 0 || _wcsnicmp(entryText, text, size / kWcharBytes) == 0;
}

// Whether an entry's name begins the query. An entry without a whole character
// covers nothing: an empty name would otherwise begin every query.
bool NameBegins(PCWSTR entryText, ULONG entrySize, PCWSTR query, ULONG queryBytes) {
    const ULONG chars = entrySize / kWcharBytes;
    return chars != 0 && entrySize <= queryBytes && _wcsnicmp(query, entryText, chars) == 0;
}

NAME_ENTRY* FindNameLocked(KX_LOCKED_LIST* list, ULONG typeMask, PCWSTR text, ULONG byteLength) {
    for (PLIST_ENTRY e = list->Head.Flink; e != &list->Head; e = e->Flink) {
        NAME_ENTRY* entry = CONTAINING_RECORD(e, NAME_ENTRY, Link);
        if ((entry->ulType & typeMask) != 0 && NameBegins(entry->text, entry->size, text, byteLength)) {
            return entry;
        }
    }
    return NULL;
}

// A path entry covers the path it names and what lies below it, never a sibling
// whose name merely starts the same way (\Tools and \ToolsX).
bool EndsAtComponent(PCWSTR entryText, ULONG entryChars, PCWSTR candidate, ULONG candidateChars) {
    return candidateChars == entryChars || candidate[entryChars] == WSTR('\\') ||
           entryText[entryChars - 1] == WSTR('\\');
}

PROCESS_ENTRY* FindProcessLocked(PCWSTR imagePath, ULONG pathBytes, PCWSTR shortName, ULONG shortBytes,
                                 PCWSTR* candidate) {
    for (PLIST_ENTRY e = ProcessList.Head.Flink; e != &ProcessList.Head; e = e->Flink) {
        PROCESS_ENTRY* entry = CONTAINING_RECORD(e, PROCESS_ENTRY, Link);
        PCWSTR name = entry->isPath ? imagePath : shortName;
        const ULONG nameBytes = entry->isPath ? pathBytes : shortBytes;
        if (!NameBegins(entry->text, entry->size, name, nameBytes)) {
            continue;
        }
        if (entry->isPath &&
            !EndsAtComponent(entry->text, entry->size / kWcharBytes, name, nameBytes / kWcharBytes)) {
            continue;
        }
        *candidate = name;
        return entry;
    }
    return NULL;
}

// ---- network paths

// The host of a network path (already lower-cased), or false when the path names
// none. After the redirector's marker comes its drive-letter part and then the
// host; after the MUP device or a "\\" the host comes first. Whatever comes first
// must be followed by a separator and more text.
bool ExtractHost(PCWSTR path, WCHAR (&host)[kHostPathChars]) {
    static const WCHAR kRedirector[] = WSTR("\\lanmanredirector\\");
    static const WCHAR kRedirectorDrive[] = WSTR("\\;lanmanredirector\\");
    static const WCHAR kMup[] = WSTR("\\device\\mup\\");
    static const WCHAR kUnc[] = WSTR("\\\\");

    PCWSTR rest = NULL;
    bool skipFirst = false;
    PCWSTR marker;
    if ((marker = wcsstr(path, kRedirector)) != NULL) {
        rest = marker + KX_COUNTOF(kRedirector) - 1;
        skipFirst = true;
    } else if ((marker = wcsstr(path, kRedirectorDrive)) != NULL) {
        rest = marker + KX_COUNTOF(kRedirectorDrive) - 1;
        skipFirst = true;
    } else if ((marker = wcsstr(path, kMup)) != NULL) {
        rest = marker + KX_COUNTOF(kMup) - 1;
    } else if ((marker = wcsstr(path, kUnc)) != NULL) {
        rest = marker + KX_COUNTOF(kUnc) - 1;
    } else {
        return false;
    }

    PCWSTR separator = wcschr(rest, WSTR('\\'));
    if (separator == NULL || separator[1] == 0) {
        return false;
    }
    if (skipFirst) {
        rest = separator + 1;
    }
    ULONG length = 0;
    while (rest[length] != 0 && rest[length] != WSTR('\\') && length + 1 < kHostPathChars) {
        host[length] = rest[length];
        ++length;
    }
    host[length] = 0;
    return length != 0;
}

// An IPv4 literal: four dot-separated decimal fields of one to three digits, each
// at most 255. Anything else is a host name, also text that only looks like an
// address (1234.1.1.1, 256.0.0.1, 1..2.3).
bool ParseIpv4(PCWSTR host, ULONG* address) {
    const SIZE_T length = wcslen(host);
    if (length < 7 || length > 15) {
        return false;
    }
    ULONG value = 0;
    ULONG field = 0;
    ULONG digits = 0;
    ULONG dots = 0;
    for (SIZE_T i = 0; i <= length; ++i) {
        const WCHAR c = host[i];
        if (c >= WSTR('0') && c <= WSTR('9')) {
            if (++digits > 3) {
                return false;
            }
            field = field * 10 + (ULONG)(c - WSTR('0'));
            continue;
        }
        if (c != WSTR('.') && c != 0) {
            return false;
        }
        if (digits == 0 || field > 255) {
            return false;
        }
        if (c == WSTR('.') && ++dots > 3) {
            return false;
        }
        value = (value << 8) | field;
        field = 0;
        digits = 0;
    }
    if (dots != 3) {
        return false;
    }
    *address = value;
    return true;
}

bool HostCovered(PCWSTR host) {
    const SIZE_T hostLength = wcslen(host);
    bool found = false;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&HostList.Lock);
    for (PLIST_ENTRY e = HostList.Head.Flink; e != &HostList.Head && !found; e = e->Flink) {
        const HOST_ENTRY* entry = CONTAINING_RECORD(e, HOST_ENTRY, Link);
        const ULONG n = entry->length;
        found = n != 0 && n <= hostLength && _wcsnicmp(host, entry->name, n) == 0 &&
                (n == hostLength || host[n] == WSTR('.') || entry->name[n - 1] == WSTR('.'));
    }
    KeReleaseSpinLock(&HostList.Lock, irql);
    return found;
}

bool AddressCovered(ULONG address) {
    bool found = false;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&AddressList.Lock);
    for (PLIST_ENTRY e = AddressList.Head.Flink; e != &AddressList.Head && !found; e = e->Flink) {
        const ADDRESS_ENTRY* entry = CONTAINING_RECORD(e, ADDRESS_ENTRY, Link);
        found = entry->last == 0 ? entry->first == address : (entry->first <= address && address <= entry->last);
    }
    KeReleaseSpinLock(&AddressList.Lock, irql);
    return found;
}

}  // namespace

void InitNameLists() {
    PAGED_CODE();
    for (KX_LOCKED_LIST& list : NameLists) {
        InitList(&list);
    }
    InitList(&ProcessList);
    InitList(&HostList);
    InitList(&AddressList);
}

// ---------------------------------------------------------------- named-text lists

void SetProtectPathEx(KX_NAME_LIST list, ULONG type, PCWSTR text, ULONG size) {
    PAGED_CODE();
    KX_LOCKED_LIST* names = NameListOf(list);
    if (names == NULL || (text == NULL && size != 0)) {
        return;
    }
    if (size > KX_NAME_ENTRY_MAX_CHARS * kWcharBytes) {
        KX_TRACE(KX_DBG_ERROR, "%s:%s: name too long(%d)\n", size);
        return;
    }

    // The entry is made before the lock is taken, and whether it is needed is
    // decided in the same lock hold that links it: two adds of one name at the
    // same time cannot both find it missing.
    auto* entry = static_cast<NAME_ENTRY*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(NAME_ENTRY), KX_TAG_NAME_ENTRY));
    if (entry != NULL) {
        entry->ulType = type;
        entry->size = size;
        CopyName(entry->text, text, size);
    }

    bool existed = false;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&names->Lock);
    for (PLIST_ENTRY e = names->Head.Flink; e != &names->Head; e = e->Flink) {
        NAME_ENTRY* present = CONTAINING_RECORD(e, NAME_ENTRY, Link);
        if (SameName(present->text, present->size, text, size)) {
            present->ulType = type;
            existed = true;
            break;
        }
    }
    if (!existed && entry != NULL) {
        LinkEntry(names, &entry->Link);
        entry = NULL;
    }
    KeReleaseSpinLock(&names->Lock, irql);

    if (entry != NULL) {
        ExFreePoolWithTag(entry, KX_TAG_NAME_ENTRY);
    }
    if (existed) {
        KX_TRACE(KX_DBG_INFO, "%s:%s: Exist\tPath, ulType = %d, %S(%d)success\n", type,
                 text != NULL ? text : WSTR(""), size);
    }
}

ULONG FindProtectPath(KX_NAME_LIST list, ULONG typeMask, PCWSTR text, ULONG byteLength) {
    KX_LOCKED_LIST* names = NameListOf(list);
    if (names == NULL || text == NULL || ListEmpty(names)) {
        return 0;
    }
    ULONG type = 0;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&names->Lock);
    const NAME_ENTRY* entry = FindNameLocked(names, typeMask, text, byteLength);
    if (entry != NULL) {
        type = entry->ulType;
    }
    KeReleaseSpinLock(&names->Lock, irql);
    return type;
}

void RemoveFirstProtectPath(KX_NAME_LIST list, ULONG typeMask, PCWSTR text, ULONG size) {
    PAGED_CODE();
    KX_LOCKED_LIST* names = NameListOf(list);
    if (names == NULL || text == NULL) {
        return;
    }
    LIST_ENTRY released;
    InitializeListHead(&released);
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&names->Lock);
    NAME_ENTRY* entry = FindNameLocked(names, typeMask, text, size);
    if (entry != NULL) {
        UnlinkEntry(names, &entry->Link, &released);
    }
    KeReleaseSpinLock(&names->Lock, irql);
    FreeReleased<NAME_ENTRY>(&released, KX_TAG_NAME_ENTRY);
}

void RemoveProtectPathsByType(KX_NAME_LIST list, ULONG typeMask) {
    PAGED_CODE();
    KX_LOCKED_LIST* names = NameListOf(list);
    if (names == NULL) {
        return;
    }
    LIST_ENTRY released;
    InitializeListHead(&released);
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&names->Lock);
    for (PLIST_ENTRY e = names->Head.Flink; e != &names->Head;) {
        PLIST_ENTRY next = e->Flink;
        if ((CONTAINING_RECORD(e, NAME_ENTRY, Link)->ulType & typeMask) != 0) {
            UnlinkEntry(names, e, &released);
        }
        e = next;
    }
    KeReleaseSpinLock(&names->Lock, irql);
    FreeReleased<NAME_ENTRY>(&released, KX_TAG_NAME_ENTRY);
}

void CleanupPathlistEx(KX_NAME_LIST list) {
    PAGED_CODE();
    KX_LOCKED_LIST* names = NameListOf(list);
    if (names == NULL) {
        return;
    }
    LIST_ENTRY released;
    InitializeListHead(&released);
    UnlinkAll(names, &released);
    FreeReleased<NAME_ENTRY>(&released, KX_TAG_NAME_ENTRY);
    KX_TRACE(KX_DBG_INFO, "%s:%s: success\n");
}

// ---------------------------------------------------------------- trusted processes

void SetProcessPath(ULONG type, PCWSTR text, ULONG size) {
    PAGED_CODE();
    if (text == NULL && size != 0) {
        return;
    }
    if (size > KX_PROCESS_ENTRY_MAX_CHARS * kWcharBytes) {
        KX_TRACE(KX_DBG_ERROR, "%s:%s: name too long(%d)\n", size);
        return;
    }

    // Made first, linked or dropped in one lock hold (see SetProtectPathEx).
    auto* entry =
        static_cast<PROCESS_ENTRY*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(PROCESS_ENTRY), KX_TAG_PROCESS_ENTRY));
    if (entry != NULL) {
        entry->ulType = type;
        entry->size = size;
        CopyName(entry->text, text, size);
        entry->isPath = wcschr(entry->text, WSTR('\\')) != NULL;
    }

    bool existed = false;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ProcessList.Lock);
    for (PLIST_ENTRY e = ProcessList.Head.Flink; e != &ProcessList.Head; e = e->Flink) {
        PROCESS_ENTRY* present = CONTAINING_RECORD(e, PROCESS_ENTRY, Link);
        if (SameName(present->text, present->size, text, size)) {
            present->ulType |= type;
            existed = true;
            break;
        }
    }
    const bool linked = !existed && entry != NULL;
    if (linked) {
        LinkEntry(&ProcessList, &entry->Link);
        entry = NULL;
    }
    KeReleaseSpinLock(&ProcessList.Lock, irql);

    if (entry != NULL) {
        ExFreePoolWithTag(entry, KX_TAG_PROCESS_ENTRY);
    }
    if (linked) {
        KX_TRACE(KX_DBG_INFO, "%s:%s: path(%S), ulType(%d), size(%d)\n", text != NULL ? text : WSTR(""), type,
                 size);
    }
}

void DelProcessPath(ULONG type, PCWSTR text, ULONG size) {
    PAGED_CODE();
    if (text == NULL && size != 0) {
        return;
    }
    LIST_ENTRY released;
    InitializeListHead(&released);
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ProcessList.Lock);
    for (PLIST_ENTRY e = ProcessList.Head.Flink; e != &ProcessList.Head;) {
        PLIST_ENTRY next = e->Flink;
        PROCESS_ENTRY* entry = CONTAINING_RECORD(e, PROCESS_ENTRY, Link);
        const bool named = size == 0 || SameName(entry->text, entry->size, text, size);
        if (named) {
            if (entry->ulType == type) {
                UnlinkEntry(&ProcessList, e, &released);
            } else if ((entry->ulType & type) != 0) {
                entry->ulType &= ~type;
            }
            if (size != 0) {
                break;
            }
        }
        e = next;
    }
    KeReleaseSpinLock(&ProcessList.Lock, irql);
    FreeReleased<PROCESS_ENTRY>(&released, KX_TAG_PROCESS_ENTRY);
}

void CleanupProcesslist() {
    PAGED_CODE();
    LIST_ENTRY released;
    InitializeListHead(&released);
    UnlinkAll(&ProcessList, &released);
    FreeReleased<PROCESS_ENTRY>(&released, KX_TAG_PROCESS_ENTRY);
    KX_TRACE(KX_DBG_INFO, "%s:%s: success\n");
}

BOOLEAN IsAllowProcessName(PCWSTR imagePath, ULONG byteLength, PULONG type) {
    PAGED_CODE();
    *type = 0;
    if (imagePath == NULL || ListEmpty(&ProcessList)) {
        return FALSE;
    }
    const ULONG pathChars = byteLength / kWcharBytes;
    ULONG start = pathChars;
    while (start > 0 && imagePath[start - 1] != WSTR('\\')) {
        --start;
    }
    PCWSTR shortName = imagePath + start;
    const ULONG shortBytes = (pathChars - start) * kWcharBytes;

    PCWSTR candidate = NULL;
    ULONG found = 0;
    bool matched = false;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ProcessList.Lock);
    const PROCESS_ENTRY* entry =
        FindProcessLocked(imagePath, pathChars * kWcharBytes, shortName, shortBytes, &candidate);
    if (entry != NULL) {
        found = entry->ulType;
        matched = true;
    }
    KeReleaseSpinLock(&ProcessList.Lock, irql);

    if (!matched) {
        return FALSE;
    }
    *type = found;
    KX_TRACE(KX_DBG_ERROR, "%s:%s: IsAllowProcessName, cname(%S),name(%S),ulType(%d)\n", candidate, shortName,
             found);
    return TRUE;
}

// ---------------------------------------------------------------- hosts and addresses

BOOLEAN IsAllowHostIp(PCWSTR path, ULONG byteLength) {
    PAGED_CODE();
    if (path == NULL || byteLength == 0) {
        return FALSE;
    }
    WCHAR normalised[kHostPathChars];
    ULONG chars = byteLength / kWcharBytes;
    if (chars > kHostPathChars - 1) {
        chars = kHostPathChars - 1;
    }
    ULONG i = 0;
    for (; i < chars && path[i] != 0; ++i) {
        normalised[i] = RtlDowncaseUnicodeChar(path[i]);
    }
    normalised[i] = 0;

    WCHAR host[kHostPathChars];
    if (!ExtractHost(normalised, host)) {
        return FALSE;
    }
    KX_TRACE(KX_DBG_INFO, "%s:%s: wszBuf(%S)\n", host);

    ULONG address = 0;
    if (ParseIpv4(host, &address)) {
        KX_TRACE(KX_DBG_INFO, "%s:%s: IP In.\n");
        return !ListEmpty(&AddressList) && AddressCovered(address);
    }
    KX_TRACE(KX_DBG_INFO, "%s:%s: Host In.\n");
    return !ListEmpty(&HostList) && HostCovered(host);
}

void SetAllowHost(PCWSTR host) {
    PAGED_CODE();
    if (host == NULL) {
        return;
    }
    const SIZE_T length = BoundedLength(host, KX_HOST_ENTRY_MAX_CHARS + 1);
    if (length == 0 || length > KX_HOST_ENTRY_MAX_CHARS) {
        return;
    }
    auto* entry = static_cast<HOST_ENTRY*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(HOST_ENTRY), KX_TAG_NAME_ENTRY));
    if (entry == NULL) {
        return;
    }
    entry->length = (ULONG)length;
    RtlCopyMemory(entry->name, host, length * kWcharBytes);
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&HostList.Lock);
    LinkEntry(&HostList, &entry->Link);
    KeReleaseSpinLock(&HostList.Lock, irql);
}

void SetAllowAddress(ULONG first, ULONG last) {
    PAGED_CODE();
    auto* entry =
        static_cast<ADDRESS_ENTRY*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(ADDRESS_ENTRY), KX_TAG_NAME_ENTRY));
    if (entry == NULL) {
        return;
    }
    entry->first = first;
    entry->last = last;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&AddressList.Lock);
    LinkEntry(&AddressList, &entry->Link);
    KeReleaseSpinLock(&AddressList.Lock, irql);
}

void CleanupHostIpLists() {
    PAGED_CODE();
    LIST_ENTRY released;
    InitializeListHead(&released);
    UnlinkAll(&HostList, &released);
    FreeReleased<HOST_ENTRY>(&released, KX_TAG_NAME_ENTRY);
    UnlinkAll(&AddressList, &released);
    FreeReleased<ADDRESS_ENTRY>(&released, KX_TAG_NAME_ENTRY);
}
