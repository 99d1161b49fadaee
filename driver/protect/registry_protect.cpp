// Registry protection.
//
// The registry callback and the protected-key list arrive with registry
// protection. The key commands are routed here already; removal upper-cases the
// key text in place because keys are kept and compared in upper case.
#include "driver/protect/registry_protect.h"

volatile LONG RegProtectActive;

NTSTATUS StartRegFlt(PDRIVER_OBJECT driverObject) {
    UNREFERENCED_PARAMETER(driverObject); return STATUS_NOT_IMPLEMENTED; }
void StopRegFlt() { WriteNoFence(&RegProtectActive, 0); }
void InitRegKeyList() {}
void AddRegProtectKey(PCWSTR key) {
    UNREFERENCED_PARAMETER(key);
}

void DelRegProtectKey(PWSTR key) {
    for (PWSTR p = key; *p != 0; ++p) {
        *p = RtlUpcaseUnicodeChar(*p);
    }
}
