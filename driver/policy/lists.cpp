// The protected-path, file-name, protected-process-name and trusted-process lists.
//
// Their entries, lookups and the folder protection built on them come with the
// folder-protection work. Until then the list commands are accepted and routed
// here, and have no effect: there is nothing to look up and nothing to free.
#include "driver/policy/lists.h"

void InitNameLists() {}
void SetProtectPathEx(KX_NAME_LIST list, ULONG type, PCWSTR text, ULONG size) {
    UNREFERENCED_PARAMETER(list);
    UNREFERENCED_PARAMETER(type);
    UNREFERENCED_PARAMETER(text);
    UNREFERENCED_PARAMETER(size);
}
void RemoveFirstProtectPath(KX_NAME_LIST list, ULONG typeMask, PCWSTR text, ULONG size) {
    UNREFERENCED_PARAMETER(list);
    UNREFERENCED_PARAMETER(typeMask);
    UNREFERENCED_PARAMETER(text);
    UNREFERENCED_PARAMETER(size);
}
void RemoveProtectPathsByType(KX_NAME_LIST list, ULONG typeMask) {
    UNREFERENCED_PARAMETER(list);
    UNREFERENCED_PARAMETER(typeMask);
}
void CleanupPathlistEx(KX_NAME_LIST list) {
    UNREFERENCED_PARAMETER(list);
}
void SetProcessPath(ULONG type, PCWSTR text, ULONG size) {
    UNREFERENCED_PARAMETER(type);
    UNREFERENCED_PARAMETER(text);
    UNREFERENCED_PARAMETER(size);
}
void DelProcessPath(ULONG type, PCWSTR text, ULONG size) {
    UNREFERENCED_PARAMETER(type);
    UNREFERENCED_PARAMETER(text);
    UNREFERENCED_PARAMETER(size);
}
void CleanupProcesslist() {}
