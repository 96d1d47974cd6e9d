// Counted-string helpers of the host kernel's Rtl.
#include "platform/host/kernel/ntdef.h"

void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
    size_t units = 0;
    if (source) {
        while (source[units]) ++units;
    }
    // Windows caps the length at the largest even count a USHORT holds.
    const size_t maxBytes = 0xFFFC;
    size_t bytes = units * sizeof(WCHAR);
    if (bytes > maxBytes) bytes = maxBytes;
    destination->Length = static_cast<USHORT>(bytes);
    destination->MaximumLength = source ? static_cast<USHORT>(bytes + sizeof(WCHAR)) : 0;
    destination->Buffer = const_cast<PWSTR>(source);
}
