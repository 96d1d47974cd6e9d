// Kernel registry calls of the host kernel (Zw*Key, Rtl*RegistryValue) over the machine's
// registry store. The kernel always sees the native view: nothing is redirected.
//
// Names: "\REGISTRY\MACHINE\..." (HKLM) and "\REGISTRY\USER\..." (the host's one user, HKCU),
// compared without regard to case, a trailing '\' accepted; with OBJECT_ATTRIBUTES.RootDirectory
// the name is relative to that key. Like NtCreateKey, ZwCreateKey creates only the last key of
// the path. Handles are not checked for access rights: these calls come from kernel mode, where
// Windows does not check the rights of a handle either.
//
// Information records follow Windows' rules: a Length below the fixed header is
// STATUS_BUFFER_TOO_SMALL; one that holds the header but not the whole record is
// STATUS_BUFFER_OVERFLOW with the header filled and, for records that end in a name, as much of
// the name as fits; *ResultLength is always the full size. A full value record's data starts at
// the next 4-byte boundary after the name (DataOffset is 0xFFFFFFFF when there is no data).
#include "platform/host/kernel/registry.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "platform/host/kernel/registry_handles.h"
#include "platform/host/machine/hive_text.h"
#include "platform/host/machine/machine.h"

namespace {

using tarnel::host::HiveRoot;
using tarnel::host::HiveValue;
using tarnel::host::Machine;
using tarnel::host::RegistryNamesEqual;
using tarnel::host::RegistryStore;
using tarnel::host::RegKey;
using tarnel::host::RegKeyInfo;
using tarnel::host::RegStatus;
namespace kernel = tarnel::host::kernel;

constexpr std::size_t kMaxKeyNameLength = 255;
constexpr ULONG kNoClass = 0xFFFFFFFF;

RegistryStore& store() {
    return Machine::current().registry();
}

NTSTATUS toNt(RegStatus s) {
    switch (s) {
        case RegStatus::Ok:
            return STATUS_SUCCESS;
        case RegStatus::NotFound:
            return STATUS_OBJECT_NAME_NOT_FOUND;
        case RegStatus::KeyDeleted:
            return STATUS_KEY_DELETED;
        case RegStatus::HasSubkeys:
            return STATUS_CANNOT_DELETE;
        case RegStatus::RootKey:
            return STATUS_ACCESS_DENIED;
        case RegStatus::NoMoreItems:
            return STATUS_NO_MORE_ENTRIES;
        case RegStatus::InvalidName:
            return STATUS_INVALID_PARAMETER;
        case RegStatus::Corrupt:
            return STATUS_REGISTRY_CORRUPT;
        case RegStatus::IoFailed:
            return STATUS_REGISTRY_IO_FAILED;
        case RegStatus::ForeignKey:
            return STATUS_INVALID_HANDLE;
    }
    return STATUS_INTERNAL_ERROR;
}

NTSTATUS counted(PCUNICODE_STRING s, std::u16string_view& out) {
    out = {};
    if (!s)
        return STATUS_SUCCESS;
    if (s->Length % sizeof(WCHAR))
        return STATUS_INVALID_PARAMETER;
    if (s->Length && !s->Buffer)
        return STATUS_ACCESS_VIOLATION;
    if (s->Length)
        out = std::u16string_view(s->Buffer, s->Length / sizeof(WCHAR));
    return STATUS_SUCCESS;
}

// Splits "a\b\c" below a key; a trailing '\' is accepted, an empty name is not.
NTSTATUS splitRelative(std::u16string_view rest, std::vector<std::u16string>& out) {
    out.clear();
    if (!rest.empty() && rest.back() == u'\\')
        rest.remove_suffix(1);
    if (rest.empty())
        return STATUS_SUCCESS;
    while (true) {
        std::size_t sep = rest.find(u'\\');
        std::u16string_view name = rest.substr(0, sep);
        if (name.empty())
            return STATUS_OBJECT_NAME_INVALID;
        if (name.size() > kMaxKeyNameLength)
            return STATUS_INVALID_PARAMETER;
        out.emplace_back(name);
        if (sep == std::u16string_view::npos)
            return STATUS_SUCCESS;
        rest.remove_prefix(sep + 1);
    }
}

NTSTATUS parseAbsolute(std::u16string_view name, RegKey& base, std::vector<std::u16string>& path) {
    if (name.empty() || name.front() != u'\\')
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    std::vector<std::u16string> parts;
    if (NTSTATUS s = splitRelative(name.substr(1), parts); !NT_SUCCESS(s))
        return s;
    if (parts.size() < 2 || !RegistryNamesEqual(parts[0], u"REGISTRY"))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (RegistryNamesEqual(parts[1], u"MACHINE"))
        base = store().root(HiveRoot::LocalMachine);
    else if (RegistryNamesEqual(parts[1], u"USER"))
        base = store().root(HiveRoot::CurrentUser);
    else
        return STATUS_OBJECT_NAME_NOT_FOUND;
    path.assign(parts.begin() + 2, parts.end());
    return STATUS_SUCCESS;
}

NTSTATUS locate(POBJECT_ATTRIBUTES oa, RegKey& base, std::vector<std::u16string>& path) {
    if (!oa)
        return STATUS_INVALID_PARAMETER;
    std::u16string_view name;
    if (NTSTATUS s = counted(oa->ObjectName, name); !NT_SUCCESS(s))
        return s;
    if (!oa->RootDirectory)
        return parseAbsolute(name, base, path);
    if (!kernel::ReferenceKeyHandle(oa->RootDirectory, base))
        return STATUS_INVALID_HANDLE;
    if (!name.empty() && name.front() == u'\\')
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    return splitRelative(name, path);
}

std::u16string rootObjectName(HiveRoot root) {
    return root == HiveRoot::LocalMachine ? u"MACHINE" : u"USER";
}

// A record in the making: the bytes Windows would return, the fixed header's size, and how much
// of it is still copied when the buffer holds the header but not the whole record.
struct Record {
    std::vector<UCHAR> bytes;
    std::size_t header = 0;
    std::size_t copyOnOverflow = 0;

    template <typename Fixed>
    void start(const Fixed& fixed, std::size_t headerSize, std::size_t total) {
        header = headerSize;
        bytes.assign(std::max(total, headerSize), 0);
        std::memcpy(bytes.data(), &fixed, headerSize);
    }
    void put(std::size_t offset, const void* data, std::size_t size) {
        if (size)
            std::memcpy(bytes.data() + offset, data, size);
    }
};

NTSTATUS deliver(const Record& r, PVOID buffer, ULONG length, PULONG resultLength) {
    if (!resultLength)
        return STATUS_INVALID_PARAMETER;
    *resultLength = static_cast<ULONG>(r.bytes.size());
    if (length < r.header)
        return STATUS_BUFFER_TOO_SMALL;
    if (!buffer)
        return STATUS_ACCESS_VIOLATION;
    if (length < r.bytes.size()) {
        std::memcpy(buffer, r.bytes.data(), std::min<std::size_t>(length, r.copyOnOverflow));
        return STATUS_BUFFER_OVERFLOW;
    }
    std::memcpy(buffer, r.bytes.data(), r.bytes.size());
    return STATUS_SUCCESS;
}

template <typename Fixed>
void namedRecord(Record& r, const Fixed& fixed, std::size_t nameOffset,
                 const std::u16string& name) {
    std::size_t nameBytes = name.size() * sizeof(WCHAR);
    r.start(fixed, nameOffset, nameOffset + nameBytes);
    r.put(nameOffset, name.data(), nameBytes);
    r.copyOnOverflow = nameOffset + nameBytes;
}

NTSTATUS keyRecord(KEY_INFORMATION_CLASS cls, const RegKeyInfo& info, bool enumerating, Record& r) {
    std::u16string name = info.path.empty() ? rootObjectName(info.root) : info.name;
    ULONG nameBytes = static_cast<ULONG>(name.size() * sizeof(WCHAR));
    switch (cls) {
        case KeyBasicInformation: {
            KEY_BASIC_INFORMATION f{};
            f.NameLength = nameBytes;
            namedRecord(r, f, offsetof(KEY_BASIC_INFORMATION, Name), name);
            return STATUS_SUCCESS;
        }
        case KeyNodeInformation: {
            KEY_NODE_INFORMATION f{};
            f.ClassOffset = kNoClass;
            f.NameLength = nameBytes;
            namedRecord(r, f, offsetof(KEY_NODE_INFORMATION, Name), name);
            return STATUS_SUCCESS;
        }
        case KeyFullInformation: {
            KEY_FULL_INFORMATION f{};
            f.ClassOffset = kNoClass;
            f.SubKeys = static_cast<ULONG>(info.subkeys);
            f.MaxNameLen = static_cast<ULONG>(info.maxSubkeyNameChars * sizeof(WCHAR));
            f.Values = static_cast<ULONG>(info.values);
            f.MaxValueNameLen = static_cast<ULONG>(info.maxValueNameChars * sizeof(WCHAR));
            f.MaxValueDataLen = static_cast<ULONG>(info.maxValueDataBytes);
            std::size_t header = offsetof(KEY_FULL_INFORMATION, Class);
            r.start(f, header, header);
            r.copyOnOverflow = header;
            return STATUS_SUCCESS;
        }
        case KeyNameInformation: {
            if (enumerating)
                return STATUS_INVALID_PARAMETER;
            std::u16string full = u"\\REGISTRY\\" + rootObjectName(info.root);
            for (const std::u16string& part : info.path)
                full += u"\\" + part;
            KEY_NAME_INFORMATION f{};
            f.NameLength = static_cast<ULONG>(full.size() * sizeof(WCHAR));
            namedRecord(r, f, offsetof(KEY_NAME_INFORMATION, Name), full);
            return STATUS_SUCCESS;
        }
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS valueRecord(KEY_VALUE_INFORMATION_CLASS cls, const HiveValue& v, Record& r) {
    ULONG nameBytes = static_cast<ULONG>(v.name.size() * sizeof(WCHAR));
    ULONG dataBytes = static_cast<ULONG>(v.data.size());
    switch (cls) {
        case KeyValueBasicInformation: {
            KEY_VALUE_BASIC_INFORMATION f{};
            f.Type = v.type;
            f.NameLength = nameBytes;
            namedRecord(r, f, offsetof(KEY_VALUE_BASIC_INFORMATION, Name), v.name);
            return STATUS_SUCCESS;
        }
        case KeyValueFullInformation: {
            std::size_t nameOffset = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
            std::size_t dataOffset = (nameOffset + nameBytes + 3) & ~std::size_t{3};
            KEY_VALUE_FULL_INFORMATION f{};
            f.Type = v.type;
            f.DataOffset = dataBytes ? static_cast<ULONG>(dataOffset) : 0xFFFFFFFF;
            f.DataLength = dataBytes;
            f.NameLength = nameBytes;
            r.start(f, nameOffset, dataOffset + dataBytes);
            r.put(nameOffset, v.name.data(), nameBytes);
            r.put(dataOffset, v.data.data(), dataBytes);
            r.copyOnOverflow = nameOffset + nameBytes;
            return STATUS_SUCCESS;
        }
        case KeyValuePartialInformation: {
            std::size_t header = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
            KEY_VALUE_PARTIAL_INFORMATION f{};
            f.Type = v.type;
            f.DataLength = dataBytes;
            r.start(f, header, header + dataBytes);
            r.put(header, v.data.data(), dataBytes);
            r.copyOnOverflow = header;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_INVALID_PARAMETER;
}

std::size_t length(PCWSTR s) {
    std::size_t n = 0;
    while (s[n])
        ++n;
    return n;
}

// The key an Rtl*RegistryValue call names: a handle, or a path relative to one of the
// well-known keys (a leading '\' on the relative path is optional).
NTSTATUS rtlKey(ULONG relativeTo, PCWSTR path, bool create, RegKey& out) {
    relativeTo &= ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL);
    if (relativeTo & RTL_REGISTRY_HANDLE) {
        return kernel::ReferenceKeyHandle(const_cast<PWSTR>(path), out) ? STATUS_SUCCESS
                                                                        : STATUS_INVALID_HANDLE;
    }
    std::u16string full;
    switch (relativeTo) {
        case RTL_REGISTRY_ABSOLUTE:
            break;
        case RTL_REGISTRY_SERVICES:
            full = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services";
            break;
        case RTL_REGISTRY_CONTROL:
            full = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control";
            break;
        case RTL_REGISTRY_WINDOWS_NT:
            full = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
            break;
        case RTL_REGISTRY_DEVICEMAP:
            full = u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP";
            break;
        case RTL_REGISTRY_USER:
            full = u"\\REGISTRY\\USER";
            break;
        default:
            return STATUS_INVALID_PARAMETER;
    }
    if (relativeTo == RTL_REGISTRY_ABSOLUTE && !path)
        return STATUS_INVALID_PARAMETER;
    if (path && *path) {
        if (relativeTo != RTL_REGISTRY_ABSOLUTE && path[0] != u'\\')
            full += u'\\';
        full.append(path, length(path));
    }
    RegKey base;
    std::vector<std::u16string> parts;
    if (NTSTATUS s = parseAbsolute(full, base, parts); !NT_SUCCESS(s))
        return s;
    if (create)
        return toNt(store().createKey(base, parts, true, out, nullptr));
    return toNt(store().openKey(base, parts, out));
}

}  // namespace

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                   POBJECT_ATTRIBUTES ObjectAttributes) {
    UNREFERENCED_PARAMETER(DesiredAccess);
    if (!KeyHandle)
        return STATUS_INVALID_PARAMETER;
    RegKey base, key;
    std::vector<std::u16string> path;
    if (NTSTATUS s = locate(ObjectAttributes, base, path); !NT_SUCCESS(s))
        return s;
    if (NTSTATUS s = toNt(store().openKey(base, path, key)); !NT_SUCCESS(s))
        return s;
    *KeyHandle = kernel::InsertKeyHandle(key);
    return STATUS_SUCCESS;
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                     POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex, PUNICODE_STRING Class,
                     ULONG CreateOptions, PULONG Disposition) {
    // Classes are not kept; volatile keys are kept like the others (see the Win32 side).
    UNREFERENCED_PARAMETER(DesiredAccess);
    UNREFERENCED_PARAMETER(TitleIndex);
    UNREFERENCED_PARAMETER(Class);
    UNREFERENCED_PARAMETER(CreateOptions);
    if (!KeyHandle)
        return STATUS_INVALID_PARAMETER;
    RegKey base, key;
    std::vector<std::u16string> path;
    if (NTSTATUS s = locate(ObjectAttributes, base, path); !NT_SUCCESS(s))
        return s;
    bool created = false;
    if (NTSTATUS s = toNt(store().createKey(base, path, false, key, &created)); !NT_SUCCESS(s))
        return s;
    *KeyHandle = kernel::InsertKeyHandle(key);
    if (Disposition)
        *Disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return STATUS_SUCCESS;
}

NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass,
                    PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
    RegKey key;
    if (!kernel::ReferenceKeyHandle(KeyHandle, key))
        return STATUS_INVALID_HANDLE;
    RegKeyInfo info;
    if (NTSTATUS s = toNt(store().keyInfo(key, info)); !NT_SUCCESS(s))
        return s;
    Record r;
    if (NTSTATUS s = keyRecord(KeyInformationClass, info, false, r); !NT_SUCCESS(s))
        return s;
    return deliver(r, KeyInformation, Length, ResultLength);
}

NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                        PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
    RegKey key;
    if (!kernel::ReferenceKeyHandle(KeyHandle, key))
        return STATUS_INVALID_HANDLE;
    if (KeyInformationClass == KeyNameInformation)
        return STATUS_INVALID_PARAMETER;
    RegKeyInfo info;
    if (NTSTATUS s = toNt(store().enumKey(key, Index, info)); !NT_SUCCESS(s))
        return s;
    Record r;
    if (NTSTATUS s = keyRecord(KeyInformationClass, info, true, r); !NT_SUCCESS(s))
        return s;
    return deliver(r, KeyInformation, Length, ResultLength);
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    RegKey key;
    if (!kernel::ReferenceKeyHandle(KeyHandle, key))
        return STATUS_INVALID_HANDLE;
    std::u16string_view name;
    if (NTSTATUS s = counted(ValueName, name); !NT_SUCCESS(s))
        return s;
    if (KeyValueInformationClass != KeyValueBasicInformation &&
        KeyValueInformationClass != KeyValueFullInformation &&
        KeyValueInformationClass != KeyValuePartialInformation)
        return STATUS_INVALID_PARAMETER;
    HiveValue v;
    if (NTSTATUS s = toNt(store().queryValue(key, name, v)); !NT_SUCCESS(s))
        return s;
    Record r;
    if (NTSTATUS s = valueRecord(KeyValueInformationClass, v, r); !NT_SUCCESS(s))
        return s;
    return deliver(r, KeyValueInformation, Length, ResultLength);
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                       PVOID Data, ULONG DataSize) {
    UNREFERENCED_PARAMETER(TitleIndex);
    RegKey key;
    if (!kernel::ReferenceKeyHandle(KeyHandle, key))
        return STATUS_INVALID_HANDLE;
    std::u16string_view name;
    if (NTSTATUS s = counted(ValueName, name); !NT_SUCCESS(s))
        return s;
    if (!Data && DataSize)
        return STATUS_ACCESS_VIOLATION;
    return toNt(store().setValue(key, name, Type, Data, DataSize));
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    RegKey key;
    if (!kernel::ReferenceKeyHandle(KeyHandle, key))
        return STATUS_INVALID_HANDLE;
    std::u16string_view name;
    if (NTSTATUS s = counted(ValueName, name); !NT_SUCCESS(s))
        return s;
    return toNt(store().deleteValue(key, name));
}

NTSTATUS ZwDeleteKey(HANDLE KeyHandle) {
    RegKey key;
    if (!kernel::ReferenceKeyHandle(KeyHandle, key))
        return STATUS_INVALID_HANDLE;
    return toNt(store().deleteKey(key, {}, false));
}

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength) {
    if (!ValueData && ValueLength)
        return STATUS_ACCESS_VIOLATION;
    RegKey key;
    if (NTSTATUS s = rtlKey(RelativeTo, Path, true, key); !NT_SUCCESS(s))
        return s;
    std::u16string_view name =
        ValueName ? std::u16string_view(ValueName, length(ValueName)) : std::u16string_view();
    return toNt(store().setValue(key, name, ValueType, ValueData, ValueLength));
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
    RegKey key;
    if (NTSTATUS s = rtlKey(RelativeTo, Path, false, key); !NT_SUCCESS(s))
        return s;
    std::u16string_view name =
        ValueName ? std::u16string_view(ValueName, length(ValueName)) : std::u16string_view();
    return toNt(store().deleteValue(key, name));
}
