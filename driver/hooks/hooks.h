// Dispatch hook families on other drivers' major-function tables.
//
// IRQL: installation and removal run at PASSIVE_LEVEL from the dispatcher and
// from unload.
#pragma once

#include "driver/core/globals.h"

_IRQL_requires_(PASSIVE_LEVEL)
void InitHooks();
_IRQL_requires_(PASSIVE_LEVEL)
void USBIrpHookInit();
_IRQL_requires_(PASSIVE_LEVEL)
void USBIrpHookCleanup();
_IRQL_requires_(PASSIVE_LEVEL)
void BlueToothIrpHookInit();
_IRQL_requires_(PASSIVE_LEVEL)
void BlueToothIrpHookCleanup();
_IRQL_requires_(PASSIVE_LEVEL)
void MtpIrpHookInit();
_IRQL_requires_(PASSIVE_LEVEL)
void MtpIrpHookCleanup();
_IRQL_requires_(PASSIVE_LEVEL)
void EtcIrpHookInit();
_IRQL_requires_(PASSIVE_LEVEL)
void EtcIrpHookCleanup();
