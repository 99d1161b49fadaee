// Dispatch hook families on other drivers' major-function tables.
//
// SET_HOOK is routed here per family; the interposition itself arrives with the
// hook framework, and until then installing or removing a family changes nothing.
#include "driver/hooks/hooks.h"

void InitHooks() {}
void USBIrpHookInit() {}
void USBIrpHookCleanup() {}
void BlueToothIrpHookInit() {}
void BlueToothIrpHookCleanup() {}
void MtpIrpHookInit() {}
void MtpIrpHookCleanup() {}
void EtcIrpHookInit() {}
void EtcIrpHookCleanup() {}
