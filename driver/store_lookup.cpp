// Tarnel driver: reads a port's printer address and TCP port from the store the configuration
// tool writes (one subkey per port name under the product key). PASSIVE_LEVEL, paged pool.
#include "driver/connection.h"
#include "driver/store.h"

#define VSERIAL_STORE_PATH_CHARS 64  // the product key path, terminator included, fits in this

static const WCHAR kStoreKey[] = VSERIAL_STORE_KEY;
static_assert(sizeof(kStoreKey) / sizeof(WCHAR) <= VSERIAL_STORE_PATH_CHARS);

static NTSTATUS VSERIAL_OpenStoreKey(const WCHAR* path, PHANDLE key) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    return ZwOpenKey(key, KEY_READ, &attributes);
}

static size_t VSERIAL_NameLength(const WCHAR* name) {
    size_t n = 0;
    while (n < VSERIAL_NAME_CHARS && name[n])
        ++n;
    return n;
}

// Reads one value of a REG_DWORD's size into *out; any other size leaves *out as it was, so
// no more than the field holds is ever copied. False only when the pool had no memory.
static bool VSERIAL_ReadStoreValue(HANDLE key, const WCHAR* valueName, PULONG out) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, valueName);
    const ULONG dwordBytes = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + sizeof(ULONG);
    ULONG needed = 0;
    NTSTATUS status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, nullptr, 0, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW)
        return true;
    if (needed != dwordBytes)
        return true;
    auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, needed, VSERIAL_TAG_VALUE));
    if (!info)
        return false;
    status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, needed, &needed);
    if (NT_SUCCESS(status) && info->DataLength == sizeof(ULONG))
        RtlCopyMemory(out, info->Data, sizeof(ULONG));
    ExFreePoolWithTag(info, VSERIAL_TAG_VALUE);
    return true;
}

// Whether the subkey at `index` begins with the port name (case-sensitive). *failed is set
// when the pool had no memory for its name.
static bool VSERIAL_SubkeyMatches(HANDLE root, ULONG index, const WCHAR* portName, size_t portChars,
                                  bool* failed) {
    *failed = false;
    ULONG needed = 0;
    NTSTATUS status = ZwEnumerateKey(root, index, KeyBasicInformation, nullptr, 0, &needed);
    if ((status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW) || needed == 0)
        return false;
    auto* info = static_cast<PKEY_BASIC_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, needed, VSERIAL_TAG_SUBKEY_NAME));
    if (!info) {
        *failed = true;
        return false;
    }
    bool match = false;
    status = ZwEnumerateKey(root, index, KeyBasicInformation, info, needed, &needed);
    // The name is counted, not terminated: a name shorter than the port's cannot begin with it.
    if (NT_SUCCESS(status) && info->NameLength / sizeof(WCHAR) >= portChars)
        match = wcsncmp(info->Name, portName, portChars) == 0;
    ExFreePoolWithTag(info, VSERIAL_TAG_SUBKEY_NAME);
    return match;
}

BOOLEAN VSERIAL_LookupPrinterAddress(const WCHAR* portName, PULONG address, PULONG port) {
    HANDLE root = nullptr;
    if (!NT_SUCCESS(VSERIAL_OpenStoreKey(kStoreKey, &root)))
        return FALSE;

    ULONG needed = 0;
    NTSTATUS status = ZwQueryKey(root, KeyFullInformation, nullptr, 0, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW) {
        ZwClose(root);
        return FALSE;
    }
    auto* full = static_cast<PKEY_FULL_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, needed, VSERIAL_TAG_KEY_INFO));
    if (!full) {
        ZwClose(root);
        return FALSE;
    }
    status = ZwQueryKey(root, KeyFullInformation, full, needed, &needed);
    const ULONG subkeys = NT_SUCCESS(status) ? full->SubKeys : 0;

    const size_t portChars = VSERIAL_NameLength(portName);
    BOOLEAN result = TRUE;
    for (ULONG index = 0; index < subkeys; ++index) {
        bool failed = false;
        if (!VSERIAL_SubkeyMatches(root, index, portName, portChars, &failed)) {
            if (failed) {
                result = FALSE;
                break;
            }
            continue;
        }
        // The key named exactly after the port, not the subkey that matched: for COM1 the
        // match may be COM10, and then COM1 itself may not exist.
        WCHAR path[VSERIAL_STORE_PATH_CHARS + VSERIAL_NAME_CHARS];
        const size_t rootChars = sizeof(kStoreKey) / sizeof(WCHAR) - 1;
        RtlCopyMemory(path, kStoreKey, rootChars * sizeof(WCHAR));
        RtlCopyMemory(path + rootChars, portName, portChars * sizeof(WCHAR));
        path[rootChars + portChars] = 0;
        HANDLE key = nullptr;
        if (!NT_SUCCESS(VSERIAL_OpenStoreKey(path, &key))) {
            result = FALSE;
            break;
        }
        if (!VSERIAL_ReadStoreValue(key, VSERIAL_STORE_IPADDRESS, address) ||
            !VSERIAL_ReadStoreValue(key, VSERIAL_STORE_PORT, port))
            result = FALSE;
        ZwClose(key);
        break;
    }
    ExFreePoolWithTag(full, VSERIAL_TAG_KEY_INFO);
    ZwClose(root);
    return result;
}
