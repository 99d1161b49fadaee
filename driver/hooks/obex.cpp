// Bluetooth and IrDA channel control and OBEX inspection.
//
// A handler reads the policy, decides, and either completes the request itself
// (refused: STATUS_INVALID_DEVICE_REQUEST, no information) or hands it, untouched,
// to the routine it displaced. Packets are read in place through the system
// address of the request's buffer; nothing is allocated, working buffers are on
// the stack, and every read of the packet is bounded by the buffer's byte count
// and guarded against faults of the mapping.
#include "driver/hooks/obex.h"

#include "driver/core/process_info.h"
#include "driver/hooks/obex_headers.h"
#include "driver/log/event_log.h"
#include "driver/policy/policy.h"

namespace {

// The OBEX connection slots: identities only (see obex.h).
PVOID volatile BluetoothConnection;
PVOID volatile IrdaConnection;

PFILE_OBJECT LoadSlot(PVOID volatile* slot) {
    return static_cast<PFILE_OBJECT>(InterlockedCompareExchangePointer(slot, NULL, NULL));
}

void StoreSlot(PVOID volatile* slot, PFILE_OBJECT fileObject) { (void)InterlockedExchangePointer(slot, fileObject); }

// Event text buffers: Bluetooth 512 bytes (255 characters), IrDA 100 bytes (49
// characters). Longer texts are cut there and recorded cut.
constexpr SIZE_T kBluetoothTextChars = 256;
constexpr SIZE_T kIrdaTextChars = 50;
// The widened short process name: 100 bytes.
constexpr SIZE_T kProcessNameChars = 50;

bool Active(KX_HOOK_FAMILY family) { return KxSwitch(Globals.Started) && KxHookFamilyActive(family) != FALSE; }

// Event texts, SetLog and wide traces are for PASSIVE_LEVEL only; above it the
// request is still decided and completed, only unrecorded.
bool AtPassive() { return KeGetCurrentIrql() == PASSIVE_LEVEL; }

NTSTATUS Refuse(PIRP irp) { return KxHookCompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST); }

// A POLICY event for the current process. PASSIVE_LEVEL only.
void RecordEvent(ULONG deviceClass, ULONG state, PCWSTR text) {
    CHAR shortName[17] = {};
    if (!GetCurrentProcessShortName(shortName)) {
        shortName[0] = 0;
    }
    WCHAR processName[kProcessNameChars] = {};
    (void)RtlStringCbPrintfW(processName, sizeof(processName), WSTR("%S"), shortName);
    (void)SetLog(NULL, NULL, POLICY, deviceClass, state, 0, processName, text);
}

// The refusal of a Bluetooth stack driver's request under DISABLE of the channel:
// the event text is already formatted by the caller (at PASSIVE_LEVEL only).
NTSTATUS RefuseBluetooth(PIRP irp, ULONG log, PCWSTR text) {
    if (log != 0 && text != NULL) {
        RecordEvent(BDC_BLUETOOTH, DISABLE, text);
    }
    return Refuse(irp);
}

// What differs between the two OBEX paths.
struct OBEX_TRANSPORT {
    const char* Handler;     // the printing function in traces
    PVOID volatile* Slot;    // its connection slot
    ULONG EventClass;        // a0 of its events
    bool Bluetooth;          // connects and puts are decided (RFCOMM) or only recorded (IrDA)
    SIZE_T TextChars;        // event text capacity, terminator included
};

const OBEX_TRANSPORT RfcommTransport = {"RfcommInternalDeviceIoControl", &BluetoothConnection, BDC_BLUETOOTH, true,
                                        kBluetoothTextChars};
const OBEX_TRANSPORT IrdaTransport = {"IrdaInternalDeviceControl", &IrdaConnection, BDC_IRDA, false,
                                      kIrdaTextChars};

void TraceOtherOpcode(const char* handler, UCHAR opcode) {
    switch (opcode) {
    case OBEX_OPCODE_CONN_FLAGS:
        KX_TRACE_NAMED(KX_DBG_INFO, handler, "%s:%s: OBEX_OPCODE_CONN_FLAGS\n");
        break;
    case OBEX_OPCODE_NAME:
        KX_TRACE_NAMED(KX_DBG_INFO, handler, "%s:%s: OBEX_OPCODE_NAME\n");
        break;
    case OBEX_OPCODE_VERSION:
        KX_TRACE_NAMED(KX_DBG_INFO, handler, "%s:%s: OBEX_OPCODE_VERSION\n");
        break;
    case OBEX_OPCODE_BODY:
        KX_TRACE_NAMED(KX_DBG_INFO, handler, "%s:%s: OBEX_OPCODE_BODY\n");
        break;
    case OBEX_OPCODE_END_BODY:
        KX_TRACE_NAMED(KX_DBG_INFO, handler, "%s:%s: OBEX_OPCODE_END_BODY\n");
        break;
    case OBEX_OPCODE_CONTINUE:
        KX_TRACE_NAMED(KX_DBG_INFO, handler, "%s:%s: OBEX_OPCODE_CONTINUE\n");
        break;
    case OBEX_OPCODE_OK:
        KX_TRACE_NAMED(KX_DBG_INFO, handler, "%s:%s: OBEX_OPCODE_OK\n");
        break;
    case OBEX_OPCODE_LENGTH:
        KX_TRACE_NAMED(KX_DBG_INFO, handler, "%s:%s: OBEX_OPCODE_LENGTH\n");
        break;
    default:
        KX_TRACE_NAMED(KX_DBG_INFO, handler, "%s:%s: default OBEX_OPCODE\n");
        break;
    }
}

// Follows the OBEX packet of a request that passed the channel check. fileState is
// the policy state that decides connects and puts and goes into events as a1;
// logging says whether events are recorded.
NTSTATUS InspectObex(const OBEX_TRANSPORT& transport, PDRIVER_DISPATCH savedRoutine, PDEVICE_OBJECT deviceObject,
                     PIRP irp, ULONG fileState, bool logging) {
    const char* const handler = transport.Handler;
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const PFILE_OBJECT fileObject = stack->FileObject;
    const PMDL mdl = irp->MdlAddress;
    if (mdl == NULL || fileObject == NULL) {
        return savedRoutine(deviceObject, irp);
    }
    const ULONG byteCount = MmGetMdlByteCount(mdl);
    if (byteCount == 0) {
        return savedRoutine(deviceObject, irp);
    }
    // The buffer may be locked user pages not yet mapped to system space; mapping
    // can fail under memory pressure, and then the request goes on unread.
    const UCHAR* packet = static_cast<const UCHAR*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    if (packet == NULL) {
        return savedRoutine(deviceObject, irp);
    }
    const ULONG controlCode = stack->Parameters.DeviceIoControl.IoControlCode;
    const bool passive = AtPassive();
    const bool record = logging && passive;

    bool refuse = false;
    bool haveEvent = false;
    WCHAR text[kBluetoothTextChars];
    RtlZeroMemory(text, sizeof(text));
    OBEX_NAME name;
    RtlZeroMemory(&name, sizeof(name));

    KX_TRY {
        const UCHAR opcode = packet[0];
        KX_TRACE_NAMED(KX_DBG_INFO, handler, "%s:%s: Opcode(%X)\n", (ULONG)opcode);
        switch (opcode) {
        case OBEX_OPCODE_CONNECT: {
            KX_TRACE_NAMED(KX_DBG_INFO, handler, "%s:%s: OBEX_OPCODE_CONNECT(%p)\n", fileObject);
            if (logging) {
                OBEX_CONNECT_INFO info;
                if (!ObexParseConnect(packet, byteCount, &info)) {
                    KX_TRACE_NAMED(KX_DBG_INFO, handler, "%s:%s: Data too short for OBEX Connect\n");
                    break;
                }
                if (record) {
                    // Texts longer than the buffer are kept cut (the overflow status).
                    (void)RtlStringCchPrintfW(
                        text, transport.TextChars,
                        WSTR("OBEX_OPCODE_CONNECT, hostPacketLen(%d), version(0x%x), flag(%d), hostMaxPktSize(%d)"),
                        (int)info.PacketLength, (ULONG)info.Version, (int)info.Flags, (int)info.MaxPacketSize);
                    if (transport.Bluetooth) {
                        KX_TRACE_NAMED(KX_DBG_INFO, handler, "%s:%s: file blocked(%X), (%S)\n", controlCode, text);
                    } else {
                        KX_TRACE_NAMED(KX_DBG_INFO, handler, "%s:%s: file blocked, (%S)\n", text);
                    }
                    haveEvent = true;
                }
            }
            StoreSlot(transport.Slot, fileObject);
            if (transport.Bluetooth && fileState == DISABLE) {
                KX_TRACE_NAMED(KX_DBG_INFO, handler, "%s:%s: Blocked OBEX Connect\n");
                refuse = true;
            }
            break;
        }
        case OBEX_OPCODE_DISCONNECT:
            KX_TRACE_NAMED(KX_DBG_INFO, handler, "%s:%s: OBEX_OPCODE_DISCONNECT(%p)\n", fileObject);
            StoreSlot(transport.Slot, NULL);
            if (record) {
                (void)RtlStringCchPrintfW(text, transport.TextChars, WSTR("OBEX_OPCODE_DISCONNECT, ByteCount(%d)"),
                                          byteCount);
                KX_TRACE_NAMED(KX_DBG_INFO, handler, "%s:%s: (%S)\n", text);
                haveEvent = true;
            }
            break;
        case OBEX_OPCODE_PUT:
        case OBEX_OPCODE_PUT_FINAL:
            KX_TRACE_NAMED(KX_DBG_INFO, handler, "%s:%s: OBEX_OPCODE_PUT,OBEX_OPCODE_PUT_FINAL(%p)\n", fileObject);
            // Only puts on the connection in the slot are examined.
            if (fileObject != LoadSlot(transport.Slot)) {
                break;
            }
            if (record) {
                if (ObexFindName(packet, byteCount, &name)) {
                    KX_TRACE_NAMED(KX_DBG_INFO, handler, "%s:%s: File Name Found: %ws\n", name.Text);
                    (void)RtlStringCchPrintfW(text, transport.TextChars, WSTR("File Transfer: %s, packetLen: %d"),
                                              name.Text, byteCount);
                } else {
                    (void)RtlStringCchPrintfW(text, transport.TextChars,
                                              WSTR("File Transfer: unknown, packetLen: %d"), byteCount);
                }
                haveEvent = true;
            }
            if (transport.Bluetooth && (fileState == DISABLE || fileState == READONLY)) {
                if (passive) {
                    KX_TRACE_NAMED(KX_DBG_INFO, handler, "%s:%s: Blocked File Transfer: %ws\n", name.Text);
                }
                refuse = true;
            }
            break;
        default:
            TraceOtherOpcode(handler, opcode);
            break;
        }
    }
    KX_EXCEPT {
        KX_TRACE_NAMED(KX_DBG_ERROR, handler, "%s:%s: Exception accessing buffer: 0x%X\n", (ULONG)KX_EXCEPTION_CODE());
        refuse = false;
        haveEvent = false;
    }

    if (haveEvent) {
        RecordEvent(transport.EventClass, fileState, text);
    }
    if (refuse) {
        return Refuse(irp);
    }
    return savedRoutine(deviceObject, irp);
}

// The two USB transports of the Bluetooth stack: under DISABLE every device
// control is refused; they differ only in the names their trace and text carry.
NTSTATUS RefuseUsbTransportControl(_In_z_ PCSTR Handler, _In_z_ PCSTR Transport, _In_z_ PCWSTR TextFormat,
                                   _In_ PDRIVER_DISPATCH SavedRoutine, _In_ PDEVICE_OBJECT DeviceObject,
                                   _Inout_ PIRP Irp) {
    if (!Active(KxHookBluetooth) || GetDevicePolicyState(BDC_BLUETOOTH) != DISABLE) {
        return SavedRoutine(DeviceObject, Irp);
    }
    const ULONG controlCode = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
    const ULONG log = GetDevicePolicyLog(BDC_BLUETOOTH);
    KX_TRACE_NAMED(KX_DBG_INFO, Handler, "%s:%s:  %s blocked(%X)\n", Transport, controlCode);
    WCHAR text[kBluetoothTextChars] = {};
    const bool record = log != 0 && AtPassive();
    if (record) {
        (void)RtlStringCchPrintfW(text, KX_COUNTOF(text), TextFormat, controlCode);
    }
    return RefuseBluetooth(Irp, log, record ? text : NULL);
}

}  // namespace

void ObexResetConnections() {
    StoreSlot(&BluetoothConnection, NULL);
    StoreSlot(&IrdaConnection, NULL);
}

PFILE_OBJECT ObexBluetoothConnection() { return LoadSlot(&BluetoothConnection); }

PFILE_OBJECT ObexIrdaConnection() { return LoadSlot(&IrdaConnection); }

NTSTATUS BtkrnlDeviceIoControl(PDRIVER_DISPATCH SavedRoutine, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                               PKX_HOOK_RECORD Record) {
    UNREFERENCED_PARAMETER(Record);
    if (!Active(KxHookBluetooth)) {
        return SavedRoutine(DeviceObject, Irp);
    }
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG controlCode = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    // Requests of fewer than five input bytes are the stack's own housekeeping.
    if (GetDevicePolicyState(BDC_BLUETOOTH) != DISABLE || inputLength < 5) {
        return SavedRoutine(DeviceObject, Irp);
    }
    const ULONG log = GetDevicePolicyLog(BDC_BLUETOOTH);
    KX_TRACE(KX_DBG_INFO, "%s:%s: btkrnl blocked(%X)(%d)\n", controlCode, inputLength);
    WCHAR text[kBluetoothTextChars] = {};
    const bool record = log != 0 && AtPassive();
    if (record) {
        (void)RtlStringCchPrintfW(text, KX_COUNTOF(text), WSTR("btkrnl blocked(%X)(%d)"), controlCode, inputLength);
    }
    return RefuseBluetooth(Irp, log, record ? text : NULL);
}

NTSTATUS BtwusbDeviceIoControl(PDRIVER_DISPATCH SavedRoutine, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                               PKX_HOOK_RECORD Record) {
    UNREFERENCED_PARAMETER(Record);
    return RefuseUsbTransportControl(__func__, "btwusb", WSTR("btwusb blocked(%X)"), SavedRoutine, DeviceObject, Irp);
}

NTSTATUS BthusbDeviceIoControl(PDRIVER_DISPATCH SavedRoutine, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                               PKX_HOOK_RECORD Record) {
    UNREFERENCED_PARAMETER(Record);
    return RefuseUsbTransportControl(__func__, "bthusb", WSTR("bthusb blocked(%X)"), SavedRoutine, DeviceObject, Irp);
}

NTSTATUS RfcommInternalDeviceIoControl(PDRIVER_DISPATCH SavedRoutine, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                       PKX_HOOK_RECORD Record) {
    UNREFERENCED_PARAMETER(Record);
    if (!Active(KxHookBluetooth)) {
        return SavedRoutine(DeviceObject, Irp);
    }
    const ULONG state = GetDevicePolicyState(BDC_BLUETOOTH);
    const ULONG log = GetDevicePolicyLog(BDC_BLUETOOTH);
    if (state == DISABLE) {
        const ULONG controlCode = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
        KX_TRACE(KX_DBG_INFO, "%s:%s:   blocked(%X)\n", controlCode);
        WCHAR text[kBluetoothTextChars] = {};
        const bool record = log != 0 && AtPassive();
        if (record) {
            (void)RtlStringCchPrintfW(text, KX_COUNTOF(text), WSTR("controlCode(%X)"), controlCode);
        }
        return RefuseBluetooth(Irp, log, record ? text : NULL);
    }
    // Packets are followed and connects and puts decided whether or not anything
    // is logged; the log flags only decide what is recorded.
    const ULONG fileState = GetDevicePolicyState(BDC_BLUETOOTH_FILE);
    const bool logging = GetDevicePolicyLog(BDC_BLUETOOTH_FILE) != 0 || log != 0;
    return InspectObex(RfcommTransport, SavedRoutine, DeviceObject, Irp, fileState, logging);
}

NTSTATUS IrdaInternalDeviceControl(PDRIVER_DISPATCH SavedRoutine, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                   PKX_HOOK_RECORD Record) {
    UNREFERENCED_PARAMETER(Record);
    if (!Active(KxHookEtc)) {
        return SavedRoutine(DeviceObject, Irp);
    }
    const ULONG state = GetDevicePolicyState(BDC_IRDA);
    const ULONG log = GetDevicePolicyLog(BDC_IRDA);
    if (state == DISABLE) {
        const ULONG inputLength = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.InputBufferLength;
        KX_TRACE(KX_DBG_INFO, "%s:%s: block!!!\n");
        if (log != 0 && AtPassive()) {
            WCHAR text[kIrdaTextChars] = {};
            (void)RtlStringCchPrintfW(text, KX_COUNTOF(text), WSTR("Irda Blocked len(%x)"), inputLength);
            RecordEvent(BDC_IRDA, DISABLE, text);
        }
        return Refuse(Irp);
    }
    // IrDA transfers are only recorded: with nothing to record the packet is not read.
    if (log == 0) {
        return SavedRoutine(DeviceObject, Irp);
    }
    return InspectObex(IrdaTransport, SavedRoutine, DeviceObject, Irp, state, true);
}
