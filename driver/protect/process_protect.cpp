// Process protection.
//
// The object callbacks that strip terminate and suspend rights arrive with process
// protection; until then SET_PROCESS_PROTECT registers nothing and the protection
// stays inactive, which is what the command's trace reports.
#include "driver/protect/process_protect.h"

volatile LONG ProcessProtectActive;

NTSTATUS InstallProcessProtect() { return STATUS_NOT_IMPLEMENTED; }
void UnInstallProcessProtect() { WriteNoFence(&ProcessProtectActive, 0); }
