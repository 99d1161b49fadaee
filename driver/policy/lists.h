// The protected-path, file-name, protected-process-name and trusted-process lists,
// and the host and address lists of the outgoing-network exception.
//
// IRQL and locking:
// - Each list has its own spin lock, held for one walk, link or unlink and never
//   together with another lock. Entries are allocated before the lock is taken
//   and freed after it is released; nothing is printed while it is held.
// - Entries are compared in place under the lock and never handed out: a lookup
//   answers with a copy of what it needs (a type, a yes or no). The texts a
//   caller passes are read under the lock too, so they must be resident
//   (non-paged pool or the stack), as the message copy and the name copies are.
// - Routines that print names (wide text) run at PASSIVE_LEVEL: the commands that
//   add entries, IsAllowProcessName and IsAllowHostIp. FindProtectPath prints
//   nothing and may run at DISPATCH_LEVEL. The other commands run at or below
//   APC_LEVEL.
// - Texts are UTF-16 and compared without regard to case; a byte length counts
//   the characters times two, without a terminator. A name whose length is 0
//   never matches anything.
#pragma once

#include "driver/core/globals.h"

#define KX_TAG_NAME_ENTRY KX_POOL_TAG("ppsc")     // protected paths, file names, protected names, hosts
#define KX_TAG_PROCESS_ENTRY KX_POOL_TAG("opsc")  // trusted processes

// Process type bits of a trusted-process entry.
#define KX_PROCESS_TYPE_TRUSTED 0x1
#define KX_PROCESS_TYPE_CHECK_RENAME 0x20
// Protected-path entry types.
#define PG_PATH_BLACK 4
#define PG_PATH_GRAY 16
// The protected-path lookup of the folder protection asks with this mask.
#define KX_PATH_LOOKUP_MASK 0x0F

// Longest names an entry holds, in characters; longer names are refused, because
// a shortened name would cover more than was asked for.
#define KX_NAME_ENTRY_MAX_CHARS 1039
#define KX_PROCESS_ENTRY_MAX_CHARS 511
#define KX_HOST_ENTRY_MAX_CHARS 262

// The protected paths, the excepted file names and the protected process names
// share one implementation and differ only in the list they act on.
enum KX_NAME_LIST { KxPathList, KxFileNameList, KxProtectProcessNameList };

_IRQL_requires_(PASSIVE_LEVEL)
void InitNameLists();

// ---- protected-path, file-name and protected-process-name lists

// Add-or-retype: an entry of the same text (and length) gets the new type in
// place of its old one; otherwise a new entry is appended. text is terminated.
_IRQL_requires_(PASSIVE_LEVEL)
void SetProtectPathEx(_In_ KX_NAME_LIST list, _In_ ULONG type, _In_reads_bytes_opt_(size) PCWSTR text,
                      _In_ ULONG size);
// The type of the first entry that shares a bit with typeMask and whose name
// begins text (over the entry's length, by characters: \Data also covers
// \DataOld); 0 when none does.
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG FindProtectPath(_In_ KX_NAME_LIST list, _In_ ULONG typeMask, _In_reads_bytes_(byteLength) PCWSTR text,
                      _In_ ULONG byteLength);
// Removes the first entry FindProtectPath would find.
_IRQL_requires_max_(APC_LEVEL)
void RemoveFirstProtectPath(_In_ KX_NAME_LIST list, _In_ ULONG typeMask, _In_reads_bytes_(size) PCWSTR text,
                            _In_ ULONG size);
// Removes every entry whose type shares a bit with typeMask.
_IRQL_requires_max_(APC_LEVEL)
void RemoveProtectPathsByType(_In_ KX_NAME_LIST list, _In_ ULONG typeMask);
_IRQL_requires_max_(APC_LEVEL)
void CleanupPathlistEx(_In_ KX_NAME_LIST list);

// ---- trusted-process list

// Add-or-merge: an entry of the same text gets the new type bits ORed in;
// otherwise a new entry is appended. text is terminated.
_IRQL_requires_(PASSIVE_LEVEL)
void SetProcessPath(_In_ ULONG type, _In_reads_bytes_opt_(size) PCWSTR text, _In_ ULONG size);
// With a text: the entry of that text is removed when its type equals type, else
// loses the bits of type. With size 0: the same for every entry.
_IRQL_requires_max_(APC_LEVEL)
void DelProcessPath(_In_ ULONG type, _In_reads_bytes_opt_(size) PCWSTR text, _In_ ULONG size);
_IRQL_requires_max_(APC_LEVEL)
void CleanupProcesslist();
// Whether a process image (NT device path, terminated at byteLength) is listed,
// and the type of the first entry that lists it. An entry without '\' names an
// image by the beginning of its file name (notepad covers notepad2.exe); an entry
// with '\' names the image path itself or a folder that holds it, and matches
// only the whole path or up to a '\' of it (\Tools covers \Tools\a.exe, never
// \ToolsX\a.exe).
_IRQL_requires_(PASSIVE_LEVEL)
BOOLEAN IsAllowProcessName(_In_reads_bytes_(byteLength) PCWSTR imagePath, _In_ ULONG byteLength,
                           _Out_ PULONG type);

// ---- host and address lists (outgoing network drives and shares)

// Whether the server a network path names is excepted: an IPv4 literal is looked
// up in the address list, any other host name in the host list. A host entry
// covers that host name, also written with its domain ("fs" covers "fs" and
// "fs.corp.example", never "fs2").
_IRQL_requires_(PASSIVE_LEVEL)
BOOLEAN IsAllowHostIp(_In_reads_bytes_(byteLength) PCWSTR path, _In_ ULONG byteLength);
// No command fills these lists; the driver's own code (and its tests) may.
_IRQL_requires_max_(APC_LEVEL)
void SetAllowHost(_In_z_ PCWSTR host);
// Addresses in host order, first field most significant; last 0 = one address.
_IRQL_requires_max_(APC_LEVEL)
void SetAllowAddress(_In_ ULONG first, _In_ ULONG last);
_IRQL_requires_max_(APC_LEVEL)
void CleanupHostIpLists();
