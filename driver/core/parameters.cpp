// The service's "Parameters" registry values, read once at driver entry.
#include "driver/core/entry.h"

#include "driver/core/nt_routines.h"

namespace {

// Reads a 32-bit value through a 20-byte partial-information buffer; a value that
// does not fit, or is missing, leaves *value unchanged.
void QueryDword(HANDLE key, PCWSTR valueName, ULONG* value) {
    PAGED_CODE();
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, valueName);
    alignas(8) UCHAR buffer[20] = {};
    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof(buffer), &resultLength);
    if (!NT_SUCCESS(status)) {
        return;
    }
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    ULONG data = 0;
    ULONG bytes = info->DataLength < sizeof(data) ? info->DataLength : (ULONG)sizeof(data);
    RtlCopyMemory(&data, info->Data, bytes);
    *value = data;
}

}  // namespace

void ReadParameters(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    PAGED_CODE();
    HANDLE parameters = NULL;
    NTSTATUS status;
    auto openDriverKey = reinterpret_cast<PFN_IO_OPEN_DRIVER_REGISTRY_KEY>(
        KxGetRoutine(KxRoutineIoOpenDriverRegistryKey));
    if (openDriverKey != NULL) {
        status = openDriverKey(driverObject, DriverRegKeyParameters, KEY_READ, 0, &parameters);
    } else {
        OBJECT_ATTRIBUTES attributes;
        HANDLE service = NULL;
        InitializeObjectAttributes(&attributes, registryPath, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
        status = ZwOpenKey(&service, KEY_READ, &attributes);
        if (NT_SUCCESS(status)) {
            UNICODE_STRING subkey;
            RtlInitUnicodeString(&subkey, WSTR("Parameters"));
            InitializeObjectAttributes(&attributes, &subkey, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, service,
                                       NULL);
            status = ZwOpenKey(&parameters, KEY_READ, &attributes);
            ZwClose(service);
        }
    }
    if (!NT_SUCCESS(status)) {
        return;
    }
    ULONG level = (ULONG)ReadNoFence(&DebugLevel);
    QueryDword(parameters, WSTR("DebugLevel"), &level);
    WriteNoFence(&DebugLevel, (LONG)level);
    QueryDword(parameters, WSTR("ProcessCreate"), &Globals.ProcessCreateLog);
    ZwClose(parameters);
}

