// Handlers of the Etc family (1394, serial, parallel, modem) and of the MTP
// family (the user-mode driver reflector).
#include "driver/hooks/etc_handlers.h"

#include "driver/core/process_info.h"
#include "driver/log/event_log.h"
#include "driver/policy/policy.h"

namespace {

// Event text and process name: 100-byte buffers, at most 49 characters.
constexpr SIZE_T kEventChars = 50;

// The control codes whose MTP command buffer is examined under READONLY.
constexpr ULONG kMtpControlCodes[] = {0x0022833C, 0x00228340, 0x00228CF4};
// Where the operation byte lies in the command buffer, and its write/delete value.
constexpr ULONG kMtpOpOffset = 48;
constexpr UCHAR kMtpWriteOrDelete = 0xDD;

bool Acting(KX_HOOK_FAMILY family) { return KxSwitch(Globals.Started) && KxHookFamilyActive(family); }

// Records a POLICY event for a refused request: the caller's short image name and
// the text. Only at PASSIVE_LEVEL (the writer is passive-only, and so is the wide
// conversion of the name); above it nothing is recorded.
void RecordRefusal(ULONG deviceType, ULONG state, PCWSTR text) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        return;
    }
    CHAR shortName[17] = {};
    if (!GetCurrentProcessShortName(shortName)) {
        shortName[0] = 0;
    }
    WCHAR processName[kEventChars] = {};
    (void)RtlStringCbPrintfW(processName, sizeof(processName), WSTR("%S"), shortName);
    (void)SetLog(NULL, NULL, POLICY, deviceType, state, 0, processName, text);
}

// The write family: under DISABLE every write of the interposed kind is refused.
NTSTATUS BlockUnderDisable(PDRIVER_DISPATCH savedRoutine, PDEVICE_OBJECT deviceObject, PIRP irp, ULONG deviceType,
                           NTSTATUS refusal, PCWSTR eventFormat, ULONG eventValue, const char* function) {
    if (!Acting(KxHookEtc)) {
        return savedRoutine(deviceObject, irp);
    }
    const ULONG state = GetDevicePolicyState(deviceType);
    const ULONG log = GetDevicePolicyLog(deviceType);
    if (state != DISABLE) {
        return savedRoutine(deviceObject, irp);
    }
    KX_TRACE_NAMED(KX_DBG_INFO, function, "%s:%s: block!!!");
    if (log != 0 && KeGetCurrentIrql() == PASSIVE_LEVEL) {
        WCHAR text[kEventChars] = {};
        // Bounded: a longer text is cut and stays terminated.
        (void)RtlStringCbPrintfW(text, sizeof(text), eventFormat, eventValue);
        RecordRefusal(deviceType, DISABLE, text);
    }
    return KxHookCompleteRequest(irp, refusal);
}

ULONG WriteLength(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length; }

bool IsExaminedMtpCode(ULONG code) {
    for (ULONG examined : kMtpControlCodes) {
        if (code == examined) {
            return true;
        }
    }
    return false;
}

}  // namespace

void PrintHexData(const UCHAR* buffer, ULONG length) {
    if (buffer == NULL || !KxDebugOn(KX_DBG_INFO)) {
        return;
    }
    constexpr ULONG kPerLine = 32;
    CHAR line[kPerLine * 3 + 1];
    for (ULONG start = 0; start < length; start += kPerLine) {
        const ULONG count = length - start < kPerLine ? length - start : kPerLine;
        for (ULONG i = 0; i < count; ++i) {
            (void)RtlStringCbPrintfA(&line[i * 3], sizeof(line) - i * 3, "%02X ", (ULONG)buffer[start + i]);
        }
        line[count * 3] = 0;
        KX_TRACE(KX_DBG_INFO, "%s:%s: %s", line);
    }
}

NTSTATUS Ohci139DeviceControl(PDRIVER_DISPATCH SavedRoutine, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                              PKX_HOOK_RECORD Record) {
    UNREFERENCED_PARAMETER(Record);
    const ULONG code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
    return BlockUnderDisable(SavedRoutine, DeviceObject, Irp, BDC_1394, STATUS_INVALID_DEVICE_REQUEST,
                             WSTR("1394 Blocked control(%x)"), code, __func__);
}

NTSTATUS SerenumlWrite(PDRIVER_DISPATCH SavedRoutine, PDEVICE_OBJECT DeviceObject, PIRP Irp, PKX_HOOK_RECORD Record) {
    UNREFERENCED_PARAMETER(Record);
    return BlockUnderDisable(SavedRoutine, DeviceObject, Irp, BDC_SERIAL, STATUS_UNSUCCESSFUL,
                             WSTR("Serial Blocked len(%x)"), WriteLength(Irp), __func__);
}

NTSTATUS ParportWrite(PDRIVER_DISPATCH SavedRoutine, PDEVICE_OBJECT DeviceObject, PIRP Irp, PKX_HOOK_RECORD Record) {
    UNREFERENCED_PARAMETER(Record);
    return BlockUnderDisable(SavedRoutine, DeviceObject, Irp, BDC_PARALLEL, STATUS_UNSUCCESSFUL,
                             WSTR("Parport Blocked len(%x)"), WriteLength(Irp), __func__);
}

NTSTATUS ModemWrite(PDRIVER_DISPATCH SavedRoutine, PDEVICE_OBJECT DeviceObject, PIRP Irp, PKX_HOOK_RECORD Record) {
    UNREFERENCED_PARAMETER(Record);
    return BlockUnderDisable(SavedRoutine, DeviceObject, Irp, BDC_MODEM, STATUS_UNSUCCESSFUL,
                             WSTR("Modem Blocked len(%x)"), WriteLength(Irp), __func__);
}

NTSTATUS MtpDeviceIoControl(PDRIVER_DISPATCH SavedRoutine, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                            PKX_HOOK_RECORD Record) {
    UNREFERENCED_PARAMETER(Record);
    if (!Acting(KxHookMtp)) {
        return SavedRoutine(DeviceObject, Irp);
    }
    const ULONG state = GetDevicePolicyState(BDC_MTP);
    const ULONG log = GetDevicePolicyLog(BDC_MTP);
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const bool passive = KeGetCurrentIrql() == PASSIVE_LEVEL;

    if (state == DISABLE) {
        if (log != 0 && passive) {
            WCHAR text[kEventChars] = {};
            (void)RtlStringCbPrintfW(text, sizeof(text), WSTR("MTP Blocked control(%x)"), code);
            RecordRefusal(BDC_MTP, DISABLE, text);
        }
        KX_TRACE(KX_DBG_INFO, "%s:%s:  block!!");
        return KxHookCompleteRequest(Irp, STATUS_UNSUCCESSFUL);
    }
    if (state != READONLY || stack->FileObject == NULL) {
        return SavedRoutine(DeviceObject, Irp);
    }

    KX_TRACE(KX_DBG_INFO, "%s:%s:  controlCode(%x)", code);
    if (!IsExaminedMtpCode(code)) {
        return SavedRoutine(DeviceObject, Irp);
    }

    const UCHAR* buffer = NULL;
    bool callerBuffer = false;
    if (Irp->AssociatedIrp.SystemBuffer != NULL) {
        KX_TRACE(KX_DBG_INFO, "%s:%s:  SystemBuffer");
        buffer = static_cast<const UCHAR*>(Irp->AssociatedIrp.SystemBuffer);
    } else if (stack->Parameters.DeviceIoControl.Type3InputBuffer != NULL) {
        KX_TRACE(KX_DBG_INFO, "%s:%s:  Type3InputBuffer");
        buffer = static_cast<const UCHAR*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
        callerBuffer = Irp->RequestorMode != KernelMode;
    } else {
        KX_TRACE(KX_DBG_INFO, "%s:%s:  buffer invaild");
    }
    const ULONG length = stack->Parameters.DeviceIoControl.InputBufferLength;

    // A caller's own buffer may be paged out or unmapped: it is read only where a
    // fault can be taken, that is below DISPATCH_LEVEL; otherwise it counts as not
    // readable and the request passes.
    if (callerBuffer && KeGetCurrentIrql() >= DISPATCH_LEVEL) {
        buffer = NULL;
    }

    bool refuse = false;
    UCHAR opByte = 0;
    KX_TRY {
        if (buffer != NULL && callerBuffer) {
            ProbeForRead(buffer, length, 1);
        }
        if (buffer != NULL) {
            PrintHexData(buffer, length);
        }
        if (buffer == NULL || length <= kMtpOpOffset) {
            KX_TRACE(KX_DBG_INFO, "%s:%s:  pBuf[48] is 0 or null");
        } else {
            // One read: the caller may change its buffer while we look at it, so
            // the decision rests on this copy alone.
            opByte = *(const volatile UCHAR*)(buffer + kMtpOpOffset);
            KX_TRACE(KX_DBG_INFO, "%s:%s:  mptOpCodeByte(%x)", (ULONG)opByte);
            refuse = opByte == kMtpWriteOrDelete;
        }
    }
    KX_EXCEPT {
        KX_TRACE(KX_DBG_ERROR, "%s:%s: Exception accessing buffer: 0x%X", (ULONG)KX_EXCEPTION_CODE());
        refuse = false;
    }
    if (!refuse) {
        return SavedRoutine(DeviceObject, Irp);
    }

    KX_TRACE(KX_DBG_INFO, "%s:%s: MTP Write/Delete Detected at Offset %d: 0x%02X", (int)kMtpOpOffset, (ULONG)opByte);
    if (log != 0 && passive) {
        WCHAR text[kEventChars] = {};
        (void)RtlStringCbPrintfW(text, sizeof(text), WSTR("MTP Write Action Blocked (Op: 0x%02X)"), (ULONG)opByte);
        RecordRefusal(BDC_MTP, READONLY, text);
    }
    return KxHookCompleteRequest(Irp, STATUS_UNSUCCESSFUL);
}
