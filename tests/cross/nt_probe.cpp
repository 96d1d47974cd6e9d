// Compiles the driver's switch header as kernel C++: types, TEXT and the registry calls.
#include "platform/nt.h"

static const WCHAR kStoreKey[] = TEXT("\\REGISTRY\\MACHINE\\SOFTWARE\\Morvik\\TARNEL\\");

NTSTATUS TarnelProbeOpenStore(PHANDLE key) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, kStoreKey);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    NTSTATUS status = ZwOpenKey(key, KEY_READ, &attributes);
    if (!NT_SUCCESS(status))
        return status;
    ULONG needed = 0;
    status = ZwQueryKey(*key, KeyFullInformation, nullptr, 0, &needed);
    ZwClose(*key);
    return status == STATUS_BUFFER_TOO_SMALL ? STATUS_SUCCESS : status;
}

static_assert(sizeof(WCHAR) == 2, "WCHAR is 16-bit");
static_assert(sizeof(ULONG) == 4, "ULONG is 32-bit");
