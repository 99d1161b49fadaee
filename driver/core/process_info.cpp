// The current process's short image name and image path.
#include "driver/core/process_info.h"

#include "driver/core/process_ids.h"
#include "driver/core/nt_routines.h"

ULONG ProcessNameOffset;

ULONG USetProcessNameOffset() {
    PAGED_CODE();
    // Runs in the system process during driver entry: the first place its object
    // holds the text "System" is the short image-name field.
    static const CHAR kSyst[4] = {'S', 'y', 's', 't'};
    static const CHAR kEm[2] = {'e', 'm'};
    const UCHAR* process = reinterpret_cast<const UCHAR*>(PsGetCurrentProcess());
    ProcessNameOffset = 0;
    for (ULONG offset = 0; offset < 3 * 4096; ++offset) {
        if (RtlCompareMemory(process + offset, kSyst, sizeof(kSyst)) == sizeof(kSyst) &&
            RtlCompareMemory(process + offset + 4, kEm, sizeof(kEm)) == sizeof(kEm)) {
            ProcessNameOffset = offset;
            break;
        }
    }
    KX_TRACE(KX_DBG_INFO, "%s:%s: offset(%x)\n", ProcessNameOffset);
    return ProcessNameOffset;
}

BOOLEAN GetCurrentProcessShortName(CHAR name[17]) {
    if (ProcessNameOffset == 0) {
        return FALSE;
    }
    const UCHAR* process = reinterpret_cast<const UCHAR*>(PsGetCurrentProcess());
    RtlCopyMemory(name, process + ProcessNameOffset, 16);
    name[16] = 0;
    return TRUE;
}

NTSTATUS GetCurrentProcessImagePath(HANDLE processId, PUNICODE_STRING imagePath) {
    PAGED_CODE();
    if (KxIsSystemProcessId((ULONG_PTR)processId)) {
        return STATUS_UNSUCCESSFUL;
    }
    auto query = reinterpret_cast<PFN_ZW_QUERY_INFORMATION_PROCESS>(
        KxGetRoutine(KxRoutineZwQueryInformationProcess));
    if (query == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    ULONG needed = 0;
    NTSTATUS status = query(NtCurrentProcess(), ProcessImageFileName, NULL, 0, &needed);
    if (status != STATUS_INFO_LENGTH_MISMATCH) {
        return STATUS_UNSUCCESSFUL;
    }
    // The counted string's lengths are 16-bit; a longer answer cannot be held.
    const ULONG workLength = needed + 18;
    if (workLength > 0xFFFC) {
        return STATUS_UNSUCCESSFUL;
    }
    void* work = ExAllocatePool2(POOL_FLAG_NON_PAGED, workLength, KX_TAG_STRING);
    if (work == NULL) {
        return STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(KxAllocateUnicodeString(imagePath, (USHORT)workLength))) {
        ExFreePoolWithTag(work, KX_TAG_STRING);
        return STATUS_UNSUCCESSFUL;
    }
    status = query(NtCurrentProcess(), ProcessImageFileName, work, workLength, &needed);
    if (NT_SUCCESS(status)) {
        status = KxCopyUnicodeString(imagePath, static_cast<PCUNICODE_STRING>(work));
    }
    if (!NT_SUCCESS(status)) {
        KxFreeUnicodeString(imagePath);
    }
    ExFreePoolWithTag(work, KX_TAG_STRING);
    return status;
}
