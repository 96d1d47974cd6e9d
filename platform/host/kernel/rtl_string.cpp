// Counted-string helpers of the host kernel's Rtl.
#include "platform/host/kernel/wdm.h"

void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
    size_t units = 0;
    if (source) {
        while (source[units])
            ++units;
    }
    // Windows caps the length at the largest even count a USHORT holds.
    const size_t maxBytes = 0xFFFC;
    size_t bytes = units * sizeof(WCHAR);
    if (bytes > maxBytes)
        bytes = maxBytes;
    destination->Length = static_cast<USHORT>(bytes);
    destination->MaximumLength = source ? static_cast<USHORT>(bytes + sizeof(WCHAR)) : 0;
    destination->Buffer = const_cast<PWSTR>(source);
}

// Frees a string the kernel handed out from pool (IoRegisterDeviceInterface's link name).
void RtlFreeUnicodeString(PUNICODE_STRING s) {
    if (s->Buffer)
        ExFreePool(s->Buffer);
    s->Buffer = nullptr;
    s->Length = 0;
    s->MaximumLength = 0;
}

void RtlCopyUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source) {
    if (!source || !source->Buffer) {
        destination->Length = 0;
        return;
    }
    USHORT bytes =
        source->Length < destination->MaximumLength ? source->Length : destination->MaximumLength;
    __builtin_memmove(destination->Buffer, source->Buffer, bytes);
    destination->Length = bytes;
    if (bytes + sizeof(WCHAR) <= destination->MaximumLength)
        destination->Buffer[bytes / sizeof(WCHAR)] = 0;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING destination, PCUNICODE_STRING source) {
    if (!source || source->Length == 0)
        return STATUS_SUCCESS;
    if (destination->Length + source->Length > destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    __builtin_memmove(reinterpret_cast<UCHAR*>(destination->Buffer) + destination->Length,
                      source->Buffer, source->Length);
    destination->Length = static_cast<USHORT>(destination->Length + source->Length);
    if (destination->Length + sizeof(WCHAR) <= destination->MaximumLength)
        destination->Buffer[destination->Length / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING destination, PCWSTR source) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, source);
    return RtlAppendUnicodeStringToString(destination, &s);
}

static WCHAR UpcaseAscii(WCHAR c) {
    return c >= u'a' && c <= u'z' ? static_cast<WCHAR>(c - 32) : c;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive) {
    size_t na = a->Length / sizeof(WCHAR), nb = b->Length / sizeof(WCHAR);
    for (size_t i = 0; i < na && i < nb; ++i) {
        WCHAR x = caseInsensitive ? UpcaseAscii(a->Buffer[i]) : a->Buffer[i];
        WCHAR y = caseInsensitive ? UpcaseAscii(b->Buffer[i]) : b->Buffer[i];
        if (x != y)
            return static_cast<LONG>(x) - static_cast<LONG>(y);
    }
    return static_cast<LONG>(na) - static_cast<LONG>(nb);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive) {
    return a->Length == b->Length && RtlCompareUnicodeString(a, b, caseInsensitive) == 0;
}
