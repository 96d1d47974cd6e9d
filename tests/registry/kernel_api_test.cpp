// The kernel registry API on a test machine: the driver's store lookup over what the WOW64 tool
// wrote, information records and their buffer-size rules, key creation and deletion, the
// serial device map calls, and kernel handles kept apart from Win32 ones.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/host/kernel/ntapi.h"
#include "platform/host/machine/machine.h"
#include "platform/host/win32/registry.h"
#include "tests/registry/registry_test_util.h"

namespace tarnel::host {
namespace {

using namespace regtest;

// A counted string that owns its text.
struct Name {
    explicit Name(std::u16string text) : text_(std::move(text)) {
        us.Length = static_cast<USHORT>(text_.size() * sizeof(WCHAR));
        us.MaximumLength = us.Length;
        us.Buffer = text_.data();
    }
    std::u16string text_;
    UNICODE_STRING us;
};

NTSTATUS openKey(const std::u16string& path, HANDLE& h, HANDLE root = nullptr) {
    Name name(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name.us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root,
                               nullptr);
    return ZwOpenKey(&h, KEY_READ, &oa);
}

NTSTATUS createKey(const std::u16string& path, HANDLE& h, ULONG* disposition = nullptr,
                   HANDLE root = nullptr) {
    Name name(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name.us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root,
                               nullptr);
    return ZwCreateKey(&h, KEY_ALL_ACCESS, &oa, 0, nullptr, REG_OPTION_NON_VOLATILE, disposition);
}

NTSTATUS setValue(HANDLE h, const std::u16string& value, ULONG type, std::vector<BYTE> data) {
    Name name(value);
    return ZwSetValueKey(h, &name.us, 0, type, data.data(), static_cast<ULONG>(data.size()));
}

// The driver's way: a size query, then a read into a buffer of exactly that size.
std::vector<BYTE> queryValue(HANDLE h, const std::u16string& value, KEY_VALUE_INFORMATION_CLASS cls,
                             NTSTATUS& status) {
    Name name(value);
    ULONG needed = 0;
    status = ZwQueryValueKey(h, &name.us, cls, nullptr, 0, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL)
        return {};
    std::vector<BYTE> buffer(needed);
    ULONG got = 0;
    status = ZwQueryValueKey(h, &name.us, cls, buffer.data(), needed, &got);
    EXPECT_EQ(got, needed);
    return buffer;
}

std::u16string nameAt(const BYTE* record, size_t offset, ULONG bytes) {
    std::u16string s(bytes / 2, u'\0');
    std::memcpy(s.data(), record + offset, bytes);
    return s;
}

TEST(RegistryKernel, TheDriverReadsWhatTheWow64ToolWroteInThe64BitView) {
    TestMachine machine(machineConfig(true, true));
    // The tool's SetAssignedInfo for 192.168.1.200:9100 on COM7, 64-bit view.
    HKEY tool;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Morvik\\TARNEL\\COM7", 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE | KEY_WOW64_64KEY,
                              nullptr, &tool, nullptr),
              ERROR_SUCCESS);
    regtest::setValue(tool, u"DisplayName", REG_SZ, szBytes(u"Tarnel Port (COM7)"));
    regtest::setValue(tool, u"IPAddress", REG_DWORD, {0xC0, 0xA8, 0x01, 0xC8});
    regtest::setValue(tool, u"Port_", REG_DWORD, dwordBytes(9100));
    regtest::setValue(tool, u"Port", REG_DWORD, {0x23, 0x8C, 0x00, 0x00});
    regtest::setValue(tool, u"PortName", REG_SZ, szBytes(u"COM7"));
    RegCloseKey(tool);

    HANDLE root;
    ASSERT_EQ(openKey(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Morvik\\TARNEL\\", root), STATUS_SUCCESS);
    ULONG needed = 0;
    ASSERT_EQ(ZwQueryKey(root, KeyFullInformation, nullptr, 0, &needed), STATUS_BUFFER_TOO_SMALL);
    std::vector<BYTE> full(needed);
    ASSERT_EQ(ZwQueryKey(root, KeyFullInformation, full.data(), needed, &needed), STATUS_SUCCESS);
    auto* fi = reinterpret_cast<KEY_FULL_INFORMATION*>(full.data());
    ASSERT_EQ(fi->SubKeys, 1u);

    ASSERT_EQ(ZwEnumerateKey(root, 0, KeyBasicInformation, nullptr, 0, &needed),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, offsetof(KEY_BASIC_INFORMATION, Name) + 8);
    std::vector<BYTE> basic(needed);
    ASSERT_EQ(ZwEnumerateKey(root, 0, KeyBasicInformation, basic.data(), needed, &needed),
              STATUS_SUCCESS);
    auto* bi = reinterpret_cast<KEY_BASIC_INFORMATION*>(basic.data());
    EXPECT_EQ(nameAt(basic.data(), offsetof(KEY_BASIC_INFORMATION, Name), bi->NameLength), u"COM7");
    EXPECT_EQ(ZwEnumerateKey(root, 1, KeyBasicInformation, nullptr, 0, &needed),
              STATUS_NO_MORE_ENTRIES);

    HANDLE port;
    ASSERT_EQ(openKey(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Morvik\\TARNEL\\COM7", port),
              STATUS_SUCCESS);
    struct Expect {
        const char16_t* name;
        std::vector<BYTE> bytes;
    };
    for (const Expect& e :
         {Expect{u"IPAddress", {0xC0, 0xA8, 0x01, 0xC8}}, Expect{u"Port", {0x23, 0x8C, 0x00, 0x00}},
          Expect{u"Port_", {0x8C, 0x23, 0x00, 0x00}}}) {
        SCOPED_TRACE(testing::PrintToString(std::u16string(e.name)).c_str());
        NTSTATUS status;
        std::vector<BYTE> record = queryValue(port, e.name, KeyValuePartialInformation, status);
        ASSERT_EQ(status, STATUS_SUCCESS);
        auto* pi = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(record.data());
        EXPECT_EQ(pi->Type, ULONG(REG_DWORD));
        ASSERT_EQ(pi->DataLength, 4u);
        EXPECT_EQ(std::vector<BYTE>(pi->Data, pi->Data + 4), e.bytes);
    }
    ZwClose(port);
    ZwClose(root);

    // Nothing landed in the 32-bit copy, and the kernel path is case-insensitive.
    EXPECT_EQ(openKey(u"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Morvik", port),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(openKey(u"\\Registry\\Machine\\software\\morvik\\tarnel\\com7", port),
              STATUS_SUCCESS);
    ZwClose(port);
}

// Calls one information query with the given length into a buffer of 0xCC bytes.
struct Call {
    NTSTATUS status;
    ULONG resultLength;
    std::vector<BYTE> buffer;
};

template <typename Query>
Call callWith(ULONG length, Query query) {
    Call c;
    c.buffer.assign(std::max<ULONG>(length, 1) + 16, 0xCC);
    c.resultLength = 0xDEAD;
    c.status = query(length ? c.buffer.data() : nullptr, length, &c.resultLength);
    return c;
}

struct SizeCase {
    const char* label;
    ULONG length;
    NTSTATUS status;
    size_t copied;  // bytes of the full record found at the start of the buffer
};

template <typename Query>
void checkSizes(Query query, const std::vector<SizeCase>& cases) {
    Call whole = callWith(4096, query);
    ASSERT_EQ(whole.status, STATUS_SUCCESS);
    std::vector<BYTE> record(whole.buffer.begin(), whole.buffer.begin() + whole.resultLength);
    for (const SizeCase& c : cases) {
        SCOPED_TRACE(c.label);
        Call r = callWith(c.length, query);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.resultLength, record.size());
        for (size_t i = 0; i < r.buffer.size(); ++i) {
            BYTE expected = i < c.copied ? record[i] : 0xCC;
            if (r.buffer[i] != expected) {
                ADD_FAILURE() << "byte " << i << " is " << int(r.buffer[i]) << ", want "
                              << int(expected);
                break;
            }
        }
    }
}

TEST(RegistryKernel, QueryValueKeyBufferSizes) {
    TestMachine machine;
    HANDLE h;
    ASSERT_EQ(createKey(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Sizes", h), STATUS_SUCCESS);
    ASSERT_EQ(setValue(h, u"Port", REG_DWORD, {0x23, 0x8C, 0x00, 0x00}), STATUS_SUCCESS);
    Name port(u"Port");
    auto queryAs = [&](KEY_VALUE_INFORMATION_CLASS cls) {
        return [&, cls](PVOID buffer, ULONG length, PULONG result) {
            return ZwQueryValueKey(h, &port.us, cls, buffer, length, result);
        };
    };
    // Basic: 12-byte header, then the name (8 bytes).
    checkSizes(queryAs(KeyValueBasicInformation),
               {{"size query", 0, STATUS_BUFFER_TOO_SMALL, 0},
                {"below the header", 11, STATUS_BUFFER_TOO_SMALL, 0},
                {"just the header", 12, STATUS_BUFFER_OVERFLOW, 12},
                {"half the name", 16, STATUS_BUFFER_OVERFLOW, 16},
                {"one byte short", 19, STATUS_BUFFER_OVERFLOW, 19},
                {"exact", 20, STATUS_SUCCESS, 20}});
    // Full: 20-byte header, name to 28, data at 28 (4-aligned), 32 in all.
    checkSizes(queryAs(KeyValueFullInformation),
               {{"size query", 0, STATUS_BUFFER_TOO_SMALL, 0},
                {"below the header", 19, STATUS_BUFFER_TOO_SMALL, 0},
                {"just the header", 20, STATUS_BUFFER_OVERFLOW, 20},
                {"part of the name", 22, STATUS_BUFFER_OVERFLOW, 22},
                {"name but no data", 31, STATUS_BUFFER_OVERFLOW, 28},
                {"exact", 32, STATUS_SUCCESS, 32}});
    // Partial: 12-byte header, then the data; data is never cut.
    checkSizes(queryAs(KeyValuePartialInformation),
               {{"size query", 0, STATUS_BUFFER_TOO_SMALL, 0},
                {"below the header", 11, STATUS_BUFFER_TOO_SMALL, 0},
                {"just the header", 12, STATUS_BUFFER_OVERFLOW, 12},
                {"three data bytes", 15, STATUS_BUFFER_OVERFLOW, 12},
                {"exact", 16, STATUS_SUCCESS, 16}});

    Call full = callWith(64, queryAs(KeyValueFullInformation));
    auto* fi = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(full.buffer.data());
    EXPECT_EQ(fi->Type, ULONG(REG_DWORD));
    EXPECT_EQ(fi->DataOffset, 28u);
    EXPECT_EQ(fi->DataLength, 4u);
    EXPECT_EQ(fi->NameLength, 8u);
    EXPECT_EQ(nameAt(full.buffer.data(), offsetof(KEY_VALUE_FULL_INFORMATION, Name), 8), u"Port");
    EXPECT_EQ(std::vector<BYTE>(full.buffer.begin() + 28, full.buffer.begin() + 32),
              (std::vector<BYTE>{0x23, 0x8C, 0x00, 0x00}));
    ZwClose(h);
}

TEST(RegistryKernel, FullValueInformationAlignsItsData) {
    TestMachine machine;
    HANDLE h;
    ASSERT_EQ(createKey(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Align", h), STATUS_SUCCESS);
    struct Case {
        std::u16string name;
        std::vector<BYTE> data;
        ULONG dataOffset, resultLength;
    };
    const Case cases[] = {
        {u"a", {1}, 24, 25},    {u"ab", {1, 2}, 24, 26},  {u"abc", {1}, 28, 29},
        {u"abcd", {1}, 28, 29}, {u"", {7, 7, 7}, 20, 23}, {u"empty", {}, 0xFFFFFFFF, 32},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.name));
        ASSERT_EQ(setValue(h, c.name, REG_BINARY, c.data), STATUS_SUCCESS);
        NTSTATUS status;
        std::vector<BYTE> record = queryValue(h, c.name, KeyValueFullInformation, status);
        ASSERT_EQ(status, STATUS_SUCCESS);
        auto* fi = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(record.data());
        EXPECT_EQ(fi->DataOffset, c.dataOffset);
        EXPECT_EQ(record.size(), c.resultLength);
        if (!c.data.empty()) {
            EXPECT_EQ(std::vector<BYTE>(record.begin() + c.dataOffset, record.end()), c.data);
        }
    }
    ZwClose(h);
}

TEST(RegistryKernel, QueryKeyAndEnumerateKeyRecords) {
    TestMachine machine;
    HANDLE h, child;
    ASSERT_EQ(createKey(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Morvik", h), STATUS_SUCCESS);
    ASSERT_EQ(createKey(u"TARNEL", child, nullptr, h), STATUS_SUCCESS);
    ZwClose(child);
    ASSERT_EQ(createKey(u"Other", child, nullptr, h), STATUS_SUCCESS);
    ZwClose(child);
    ASSERT_EQ(setValue(h, u"Value", REG_BINARY, std::vector<BYTE>(10, 1)), STATUS_SUCCESS);
    ASSERT_EQ(setValue(h, u"LongerName", REG_BINARY, {1}), STATUS_SUCCESS);

    auto query = [&](KEY_INFORMATION_CLASS cls) {
        return [&, cls](PVOID buffer, ULONG length, PULONG result) {
            return ZwQueryKey(h, cls, buffer, length, result);
        };
    };
    checkSizes(query(KeyBasicInformation), {{"below the header", 15, STATUS_BUFFER_TOO_SMALL, 0},
                                            {"just the header", 16, STATUS_BUFFER_OVERFLOW, 16},
                                            {"part of the name", 20, STATUS_BUFFER_OVERFLOW, 20},
                                            {"exact", 16 + 12, STATUS_SUCCESS, 28}});
    checkSizes(query(KeyNodeInformation), {{"below the header", 23, STATUS_BUFFER_TOO_SMALL, 0},
                                           {"just the header", 24, STATUS_BUFFER_OVERFLOW, 24},
                                           {"exact", 24 + 12, STATUS_SUCCESS, 36}});
    checkSizes(query(KeyFullInformation), {{"below the header", 43, STATUS_BUFFER_TOO_SMALL, 0},
                                           {"exact", 44, STATUS_SUCCESS, 44}});
    const std::u16string fullName = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Morvik";
    const ULONG nameBytes = static_cast<ULONG>(fullName.size() * 2);
    checkSizes(query(KeyNameInformation),
               {{"below the header", 3, STATUS_BUFFER_TOO_SMALL, 0},
                {"just the header", 4, STATUS_BUFFER_OVERFLOW, 4},
                {"exact", 4 + nameBytes, STATUS_SUCCESS, 4 + nameBytes}});

    Call full = callWith(64, query(KeyFullInformation));
    auto* fi = reinterpret_cast<KEY_FULL_INFORMATION*>(full.buffer.data());
    EXPECT_EQ(fi->SubKeys, 2u);
    EXPECT_EQ(fi->MaxNameLen, 12u);  // "TARNEL", in bytes
    EXPECT_EQ(fi->Values, 2u);
    EXPECT_EQ(fi->MaxValueNameLen, 20u);  // "LongerName"
    EXPECT_EQ(fi->MaxValueDataLen, 10u);
    EXPECT_EQ(fi->ClassLength, 0u);
    Call name = callWith(256, query(KeyNameInformation));
    EXPECT_EQ(nameAt(name.buffer.data(), 4, nameBytes), fullName);

    // Enumeration: Windows order, node records, no name records, the end.
    auto enumerate = [&](ULONG index, KEY_INFORMATION_CLASS cls) {
        return [&, index, cls](PVOID buffer, ULONG length, PULONG result) {
            return ZwEnumerateKey(h, index, cls, buffer, length, result);
        };
    };
    Call first = callWith(128, enumerate(0, KeyNodeInformation));
    ASSERT_EQ(first.status, STATUS_SUCCESS);
    auto* node = reinterpret_cast<KEY_NODE_INFORMATION*>(first.buffer.data());
    EXPECT_EQ(node->ClassOffset, 0xFFFFFFFFu);
    EXPECT_EQ(nameAt(first.buffer.data(), offsetof(KEY_NODE_INFORMATION, Name), node->NameLength),
              u"Other");
    checkSizes(enumerate(1, KeyBasicInformation),
               {{"size query", 0, STATUS_BUFFER_TOO_SMALL, 0},
                {"part of the name", 18, STATUS_BUFFER_OVERFLOW, 18},
                {"exact", 28, STATUS_SUCCESS, 28}});
    ULONG needed;
    EXPECT_EQ(ZwEnumerateKey(h, 0, KeyNameInformation, nullptr, 0, &needed),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwEnumerateKey(h, 2, KeyBasicInformation, nullptr, 0, &needed),
              STATUS_NO_MORE_ENTRIES);
    ZwClose(h);
}

TEST(RegistryKernel, NamesAndMissingKeys) {
    TestMachine machine;
    HANDLE h = nullptr;
    struct Case {
        const char* label;
        std::u16string path;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"machine root", u"\\REGISTRY\\MACHINE", STATUS_SUCCESS},
        {"mixed case, trailing backslash", u"\\Registry\\Machine\\System\\CurrentControlSet\\",
         STATUS_SUCCESS},
        {"user root", u"\\REGISTRY\\USER\\Software", STATUS_SUCCESS},
        {"missing key", u"\\REGISTRY\\MACHINE\\SOFTWARE\\Nope", STATUS_OBJECT_NAME_NOT_FOUND},
        {"missing parent", u"\\REGISTRY\\MACHINE\\SOFTWARE\\Nope\\Deeper",
         STATUS_OBJECT_NAME_NOT_FOUND},
        {"unknown hive", u"\\REGISTRY\\ELSEWHERE", STATUS_OBJECT_NAME_NOT_FOUND},
        {"not the registry", u"\\Device\\Tcp", STATUS_OBJECT_NAME_NOT_FOUND},
        {"relative without a root", u"REGISTRY\\MACHINE", STATUS_OBJECT_PATH_SYNTAX_BAD},
        {"empty name inside", u"\\REGISTRY\\MACHINE\\\\SOFTWARE", STATUS_OBJECT_NAME_INVALID},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(openKey(c.path, h), c.status);
        if (NT_SUCCESS(c.status))
            ZwClose(h);
    }
    ASSERT_EQ(openKey(u"\\REGISTRY\\MACHINE\\SOFTWARE", h), STATUS_SUCCESS);
    HANDLE rel;
    EXPECT_EQ(openKey(u"\\Nope", rel, h), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(openKey(u"WOW6432Node", rel, h), STATUS_SUCCESS);
    ZwClose(rel);
    Name missing(u"Missing");
    ULONG needed;
    EXPECT_EQ(ZwQueryValueKey(h, &missing.us, KeyValuePartialInformation, nullptr, 0, &needed),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(h);
}

TEST(RegistryKernel, CreateKeyMakesOnlyTheLastKey) {
    TestMachine machine;
    HANDLE h, b;
    ULONG disposition = 0;
    EXPECT_EQ(createKey(u"\\REGISTRY\\MACHINE\\SOFTWARE\\A\\B", h), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(createKey(u"\\REGISTRY\\MACHINE\\SOFTWARE\\A", h, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    ASSERT_EQ(createKey(u"B\\", b, &disposition, h), STATUS_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    ZwClose(b);
    ASSERT_EQ(createKey(u"\\REGISTRY\\MACHINE\\software\\a\\b", b, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    ULONG needed;
    std::vector<BYTE> buffer(256);
    ASSERT_EQ(ZwQueryKey(b, KeyNameInformation, buffer.data(), 256, &needed), STATUS_SUCCESS);
    auto* ni = reinterpret_cast<KEY_NAME_INFORMATION*>(buffer.data());
    EXPECT_EQ(nameAt(buffer.data(), 4, ni->NameLength), u"\\REGISTRY\\MACHINE\\SOFTWARE\\A\\B");

    // Deleting: not while a subkey exists; afterwards the handle knows its key is gone.
    EXPECT_EQ(ZwDeleteKey(h), STATUS_CANNOT_DELETE);
    ASSERT_EQ(setValue(b, u"v", REG_DWORD, dwordBytes(1)), STATUS_SUCCESS);
    Name v(u"v");
    EXPECT_EQ(ZwDeleteValueKey(b, &v.us), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(b, &v.us), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwDeleteKey(b), STATUS_SUCCESS);
    EXPECT_EQ(ZwQueryKey(b, KeyBasicInformation, buffer.data(), 256, &needed), STATUS_KEY_DELETED);
    EXPECT_EQ(setValue(b, u"v", REG_DWORD, dwordBytes(1)), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwClose(b), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(h), STATUS_SUCCESS);
    ZwClose(h);
}

TEST(RegistryKernel, SerialDeviceMapEntryIsWrittenAndDeletedAsTheDriverDoes) {
    TestMachine machine;
    // The driver's start: a bare name (8 bytes for COM7) under an absolute path, optional.
    const char16_t portName[] = u"COM7";
    ASSERT_EQ(
        RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL,
                              u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM",
                              u"\\Device\\00000052", REG_SZ, const_cast<char16_t*>(portName), 8),
        STATUS_SUCCESS);
    HKEY map;
    ASSERT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &map),
        ERROR_SUCCESS);
    ReadValue v = readValue(map, u"\\Device\\00000052");
    ASSERT_EQ(v.status, ERROR_SUCCESS);
    EXPECT_EQ(v.type, DWORD(REG_SZ));
    EXPECT_EQ(v.data, bytesOf(u"COM7"));

    // The driver's removal: relative to the device map, "\SerialComm" in another case.
    EXPECT_EQ(
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"\\SerialComm", u"\\Device\\00000052"),
        STATUS_SUCCESS);
    EXPECT_EQ(readValue(map, u"\\Device\\00000052").status, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"\\SerialComm", u"\\Device\\00000052"),
        STATUS_OBJECT_NAME_NOT_FOUND);
    RegCloseKey(map);

    // The other relative roots, with and without a leading backslash; the path is created.
    DWORD one = 1;
    struct Case {
        ULONG relativeTo;
        const char16_t* path;
        const char16_t* win32Path;
    };
    const Case cases[] = {
        {RTL_REGISTRY_SERVICES, u"TARNEL\\Parameters",
         u"SYSTEM\\CurrentControlSet\\Services\\TARNEL\\Parameters"},
        {RTL_REGISTRY_CONTROL, u"\\Tarnel", u"SYSTEM\\CurrentControlSet\\Control\\Tarnel"},
        {RTL_REGISTRY_WINDOWS_NT, u"Tarnel",
         u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Tarnel"},
        {RTL_REGISTRY_DEVICEMAP | RTL_REGISTRY_OPTIONAL, u"Tarnel", u"HARDWARE\\DEVICEMAP\\Tarnel"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::u16string(c.win32Path)).c_str());
        ASSERT_EQ(RtlWriteRegistryValue(c.relativeTo, c.path, u"One", REG_DWORD, &one, 4),
                  STATUS_SUCCESS);
        HKEY key;
        ASSERT_EQ(
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, c.win32Path, 0, KEY_READ | KEY_WOW64_64KEY, &key),
            ERROR_SUCCESS);
        EXPECT_EQ(readValue(key, u"One").data, dwordBytes(1));
        RegCloseKey(key);
    }
    // A handle as the "path".
    HANDLE h;
    ASSERT_EQ(openKey(u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\Tarnel", h), STATUS_SUCCESS);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(h), u"One"),
              STATUS_SUCCESS);
    ZwClose(h);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_MAXIMUM, u"X", u"One", REG_DWORD, &one, 4),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(
        RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, u"NotAbsolute", u"One", REG_DWORD, &one, 4),
        STATUS_OBJECT_PATH_SYNTAX_BAD);
}

TEST(RegistryKernel, KernelHandlesAreTheirOwnKind) {
    TestMachine machine;
    HKEY win32 = regtest::createKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Kinds");
    ASSERT_NE(win32, nullptr);
    HANDLE kernel;
    ASSERT_EQ(openKey(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Kinds", kernel), STATUS_SUCCESS);
    EXPECT_NE(reinterpret_cast<HANDLE>(win32), kernel);
    EXPECT_EQ(ZwClose(reinterpret_cast<HANDLE>(win32)), STATUS_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(kernel)), ERROR_INVALID_HANDLE);
    ULONG needed;
    EXPECT_EQ(ZwQueryKey(reinterpret_cast<HANDLE>(win32), KeyBasicInformation, nullptr, 0, &needed),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwClose(kernel), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(kernel), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwQueryKey(kernel, KeyBasicInformation, nullptr, 0, &needed), STATUS_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(win32), ERROR_SUCCESS);
}

TEST(RegistryKernel, KernelHandlesAreNotCheckedForRights) {
    // The driver reads "PortName" through a key opened for STANDARD_RIGHTS_READ only; kernel
    // callers are not held to a handle's rights, as on Windows.
    TestMachine machine;
    HKEY win32 =
        regtest::createKey(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS");
    regtest::setValue(win32, u"PortName", REG_SZ, szBytes(u"COM7"));
    RegCloseKey(win32);
    Name path(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &path.us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    HANDLE h;
    ASSERT_EQ(ZwOpenKey(&h, STANDARD_RIGHTS_READ, &oa), STATUS_SUCCESS);
    std::vector<BYTE> buffer(255);
    Name portName(u"PortName");
    ULONG got = 0;
    ASSERT_EQ(ZwQueryValueKey(h, &portName.us, KeyValueFullInformation, buffer.data(), 255, &got),
              STATUS_SUCCESS);
    auto* fi = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer.data());
    EXPECT_EQ(std::vector<BYTE>(buffer.begin() + fi->DataOffset,
                                buffer.begin() + fi->DataOffset + fi->DataLength),
              szBytes(u"COM7"));
    ZwClose(h);
}

}  // namespace
}  // namespace tarnel::host
