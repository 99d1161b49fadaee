// Dispatch hook families on other drivers' major-function tables.
//
// IRQL: installation and removal run at PASSIVE_LEVEL from the dispatcher and
// from unload.
#pragma once

#include "driver/core/globals.h"

void InitHooks();
void USBIrpHookInit();
void USBIrpHookCleanup();
void BlueToothIrpHookInit();
void BlueToothIrpHookCleanup();
void MtpIrpHookInit();
void MtpIrpHookCleanup();
void EtcIrpHookInit();
void EtcIrpHookCleanup();
