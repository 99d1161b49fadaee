// Counted-string and fixed-field text helpers.
#include "driver/core/strings.h"

NTSTATUS KxAllocateUnicodeString(PUNICODE_STRING s, USHORT maximumLength) {
    s->Buffer = static_cast<PWSTR>(ExAllocatePool2(POOL_FLAG_NON_PAGED, (SIZE_T)maximumLength + 2, KX_TAG_STRING));
    if (s->Buffer == NULL) {
        s->Length = s->MaximumLength = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    s->Length = 0;
    s->MaximumLength = maximumLength;
    return STATUS_SUCCESS;
}

NTSTATUS KxFreeUnicodeString(PUNICODE_STRING s) {
    if (s->Buffer == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    ExFreePoolWithTag(s->Buffer, KX_TAG_STRING);
    s->Buffer = NULL;
    s->Length = s->MaximumLength = 0;
    return STATUS_SUCCESS;
}

NTSTATUS KxCopyUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source) {
    if ((ULONG)destination->MaximumLength <= (ULONG)source->Length + 2) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyUnicodeString(destination, source);
    // The buffer has two bytes beyond MaximumLength for the terminator.
    destination->Buffer[destination->Length / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}


void KxCopyTruncated(WCHAR* destination, SIZE_T capacity, PCWSTR source) {
    if (capacity == 0) {
        return;
    }
    SIZE_T i = 0;
    if (source != NULL) {
        for (; i + 1 < capacity && source[i] != 0; ++i) {
            destination[i] = source[i];
        }
    }
    destination[i] = 0;
}

PCWSTR KxFinalComponent(PCWSTR text) {
    PCWSTR slash = wcsrchr(text, WSTR('\\'));
    return slash != NULL ? slash + 1 : text;
}
