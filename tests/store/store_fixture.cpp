// Store tests: machine, trace capture and raw registry helpers (see store_fixture.h).
#include "tests/store/store_fixture.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

#include "tool/support/trace.h"

namespace fs = std::filesystem;

namespace tarnel::storetest {

namespace {

fs::path LogFolder() {
    return host::Machine::current().driveC() / "StoreLog";
}

}  // namespace

void StoreTest::Boot(bool os64, bool toolWow64, unsigned major, unsigned minor) {
    TraceRemove(TRACE_ID_MAIN);
    machine_.reset();
    host::MachineConfig config;
    config.os64 = os64;
    config.toolWow64 = toolWow64;
    config.windowsMajor = major;
    config.windowsMinor = minor;
    machine_ = std::make_unique<host::TestMachine>(config);
    fs::create_directories(LogFolder());
    TraceRegister(TRACE_ID_MAIN, 1, TEXT("Store"), TEXT("C:\\StoreLog\\"));
}

void StoreTest::TearDown() {
    TraceRemove(TRACE_ID_MAIN);
    machine_.reset();
}

void StoreTest::ClearTrace() {
    // The target keeps no file open between lines.
    for (const auto& entry : fs::directory_iterator(LogFolder()))
        fs::remove(entry.path());
}

std::vector<std::string> StoreTest::TraceLines() const {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(LogFolder()))
        files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::string text;
    for (const fs::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
            const unsigned c = static_cast<unsigned char>(bytes[i]) |
                               (static_cast<unsigned char>(bytes[i + 1]) << 8);
            text += c < 0x80 ? static_cast<char>(c) : '?';
        }
    }
    static const std::regex stamp(R"(^\(\d\d:\d\d:\d\d\.\d\d\d\) ([^ (]+)\(\d+\) ?)");
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 2;
        line = std::regex_replace(line, stamp, "$1 ");
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        if (!line.empty())
            lines.push_back(line);
    }
    return lines;
}

HKEY CreateKey64(const std::u16string& path) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS)
        << Narrow(path);
    return key;
}

namespace {

bool KeyExists(const std::u16string& path, REGSAM view) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

}  // namespace

bool KeyExists64(const std::u16string& path) {
    return KeyExists(path, KEY_WOW64_64KEY);
}

bool KeyExists32(const std::u16string& path) {
    return KeyExists(path, KEY_WOW64_32KEY);
}

void SetRaw64(const std::u16string& path, const char16_t* name, DWORD type,
              const std::vector<BYTE>& data) {
    HKEY key = CreateKey64(path);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(RegSetValueExW(key, name, 0, type, data.data(), static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

RawValue ReadRaw64(const std::u16string& path, const char16_t* name) {
    RawValue v;
    HKEY key = nullptr;
    v.status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key);
    if (v.status != ERROR_SUCCESS)
        return v;
    DWORD size = 0;
    v.status = RegQueryValueExW(key, name, nullptr, &v.type, nullptr, &size);
    if (v.status == ERROR_SUCCESS) {
        v.data.resize(size);
        v.status = RegQueryValueExW(key, name, nullptr, &v.type, v.data.data(), &size);
        v.data.resize(size);
    }
    RegCloseKey(key);
    return v;
}

std::vector<std::u16string> SubKeys64(const std::u16string& path) {
    std::vector<std::u16string> names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS)
        return names;
    WCHAR name[256];
    for (DWORD i = 0; RegEnumKeyW(key, i, name, 256) == ERROR_SUCCESS; ++i)
        names.emplace_back(name);
    RegCloseKey(key);
    return names;
}

std::vector<BYTE> Bytes(std::initializer_list<int> bytes) {
    std::vector<BYTE> out;
    for (int b : bytes)
        out.push_back(static_cast<BYTE>(b));
    return out;
}

std::vector<BYTE> TextBytes(std::u16string_view text, bool terminated) {
    std::vector<BYTE> out;
    for (char16_t c : text) {
        out.push_back(static_cast<BYTE>(c & 0xFF));
        out.push_back(static_cast<BYTE>(c >> 8));
    }
    if (terminated)
        out.insert(out.end(), {0, 0});
    return out;
}

std::string Narrow(std::u16string_view text) {
    std::string out;
    for (char16_t c : text)
        out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

std::string Narrow(const XStringW& text) {
    return Narrow(std::u16string_view(text.GetString(), static_cast<size_t>(text.GetLength())));
}

}  // namespace tarnel::storetest
