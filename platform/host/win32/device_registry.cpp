// Registry helpers of device installation (see device_registry.h), over the Win32 registry API
// in the 64-bit view.
#include "platform/host/win32/device_registry.h"

#include <cstdio>
#include <cstring>

#include "platform/host/win32/registry.h"

namespace tarnel::host::devreg {

namespace {

constexpr REGSAM kView = KEY_WOW64_64KEY;
const std::u16string kComDbKey = u"SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";
constexpr int kMaxComNumber = 256;

HKEY Open(const std::u16string& path, REGSAM access) {
    HKEY key = nullptr;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, access | kView, &key) == ERROR_SUCCESS
               ? key
               : nullptr;
}

}  // namespace

bool KeyExists(const std::u16string& path) {
    HKEY key = Open(path, KEY_READ);
    if (key)
        RegCloseKey(key);
    return key != nullptr;
}

bool CreateKey(const std::u16string& path) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | kView,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

bool DeleteTree(const std::u16string& path) {
    return SHDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str()) == ERROR_SUCCESS;
}

std::vector<std::u16string> SubKeys(const std::u16string& path) {
    std::vector<std::u16string> names;
    HKEY key = Open(path, KEY_READ);
    if (!key)
        return names;
    WCHAR name[256];
    for (DWORD i = 0; RegEnumKeyW(key, i, name, 256) == ERROR_SUCCESS; ++i)
        names.emplace_back(name);
    RegCloseKey(key);
    return names;
}

bool SetRaw(const std::u16string& path, const char16_t* name, DWORD type,
            const std::vector<BYTE>& data) {
    if (!CreateKey(path))
        return false;
    HKEY key = Open(path, KEY_SET_VALUE);
    if (!key)
        return false;
    const bool ok = RegSetValueExW(key, name, 0, type, data.data(),
                                   static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

namespace {
std::vector<BYTE> BytesOf(const std::u16string& units) {
    std::vector<BYTE> out(units.size() * 2);
    std::memcpy(out.data(), units.data(), out.size());
    return out;
}
}  // namespace

bool SetText(const std::u16string& path, const char16_t* name, const std::u16string& text) {
    return SetRaw(path, name, REG_SZ, BytesOf(text + std::u16string(1, 0)));
}

bool SetMultiText(const std::u16string& path, const char16_t* name,
                  const std::vector<std::u16string>& strings) {
    std::u16string units;
    for (const auto& s : strings)
        units += s + std::u16string(1, 0);
    units.push_back(0);
    return SetRaw(path, name, REG_MULTI_SZ, BytesOf(units));
}

bool SetDword(const std::u16string& path, const char16_t* name, DWORD value) {
    return SetRaw(path, name, REG_DWORD,
                  {BYTE(value), BYTE(value >> 8), BYTE(value >> 16), BYTE(value >> 24)});
}

bool GetRaw(const std::u16string& path, const char16_t* name, DWORD& type,
            std::vector<BYTE>& data) {
    HKEY key = Open(path, KEY_READ);
    if (!key)
        return false;
    DWORD size = 0;
    bool ok = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
    if (ok) {
        data.resize(size);
        ok = RegQueryValueExW(key, name, nullptr, &type, data.data(), &size) == ERROR_SUCCESS;
        data.resize(size);
    }
    RegCloseKey(key);
    return ok;
}

namespace {
std::u16string UnitsOf(const std::vector<BYTE>& data) {
    std::u16string units(data.size() / 2, 0);
    std::memcpy(units.data(), data.data(), units.size() * 2);
    return units;
}
}  // namespace

std::u16string GetText(const std::u16string& path, const char16_t* name) {
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!GetRaw(path, name, type, data) || type != REG_SZ)
        return {};
    std::u16string text = UnitsOf(data);
    return text.substr(0, text.find(u'\0'));
}

std::vector<std::u16string> GetMultiText(const std::u16string& path, const char16_t* name) {
    DWORD type = 0;
    std::vector<BYTE> data;
    std::vector<std::u16string> strings;
    if (!GetRaw(path, name, type, data) || type != REG_MULTI_SZ)
        return strings;
    const std::u16string units = UnitsOf(data);
    size_t start = 0;
    while (start < units.size()) {
        size_t end = units.find(u'\0', start);
        if (end == std::u16string::npos)
            end = units.size();
        if (end == start)
            break;
        strings.push_back(units.substr(start, end - start));
        start = end + 1;
    }
    return strings;
}

std::vector<std::u16string> RootInstances() {
    std::vector<std::u16string> ids;
    for (const auto& cls : SubKeys(kEnum + u"ROOT"))
        for (const auto& n : SubKeys(kEnum + u"ROOT\\" + cls))
            ids.push_back(u"ROOT\\" + cls + u"\\" + n);
    return ids;
}

int ComNumberOf(const std::u16string& portName) {
    if (portName.size() < 4 || (portName.compare(0, 3, u"COM") != 0))
        return 0;
    int n = 0;
    for (size_t i = 3; i < portName.size(); ++i) {
        if (portName[i] < u'0' || portName[i] > u'9' || n > kMaxComNumber)
            return 0;
        n = n * 10 + (portName[i] - u'0');
    }
    return n >= 1 && n <= kMaxComNumber ? n : 0;
}

// One bit per COM number, COM1 the lowest bit of the first byte.
int ClaimComNumber() {
    DWORD type = 0;
    std::vector<BYTE> bits;
    if (!GetRaw(kComDbKey, u"ComDB", type, bits) || type != REG_BINARY)
        bits.clear();
    bits.resize(kMaxComNumber / 8, 0);
    for (int n = 1; n <= kMaxComNumber; ++n) {
        BYTE& byte = bits[size_t(n - 1) / 8];
        const BYTE bit = BYTE(1u << ((n - 1) % 8));
        if (byte & bit)
            continue;
        byte |= bit;
        return SetRaw(kComDbKey, u"ComDB", REG_BINARY, bits) ? n : 0;
    }
    return 0;
}

void ReleaseComNumber(int number) {
    DWORD type = 0;
    std::vector<BYTE> bits;
    if (number < 1 || number > kMaxComNumber || !GetRaw(kComDbKey, u"ComDB", type, bits) ||
        type != REG_BINARY || bits.size() < size_t(number - 1) / 8 + 1)
        return;
    bits[size_t(number - 1) / 8] &= BYTE(~(1u << ((number - 1) % 8)));
    SetRaw(kComDbKey, u"ComDB", REG_BINARY, bits);
}

std::u16string FormatGuid(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  unsigned(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                  g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return std::u16string(text, text + 38);
}

}  // namespace tarnel::host::devreg
