// tarnel-host reg: a reg.exe-like tool over the machine's registry, going through the Win32 API
// as a person's tool would. Exit codes: 0 done, 1 not found or failed, 2 usage.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/host/machine/hive_text.h"
#include "platform/host/machine/machine.h"
#include "platform/host/machine/registry_store.h"
#include "platform/host/win32/registry.h"
#include "tools/tarnel-host/commands.h"

namespace tarnel::hosttool {

namespace {

using tarnel::host::Utf16ToUtf8Lossy;

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

void usage(FILE* out) {
    std::fprintf(
        out,
        "usage: tarnel-host reg COMMAND [ARGS] [/reg:32 | /reg:64]\n"
        "  list KEY                        subkeys and values of KEY\n"
        "  query KEY [VALUE | /v VALUE | /ve]\n"
        "                                  the values of KEY, or one of them\n"
        "  add KEY [/v VALUE | /ve] [/t TYPE] [/d DATA] [/f]\n"
        "                                  create KEY and set a value (default REG_SZ)\n"
        "  delete KEY [/v VALUE | /ve]     delete a value, or KEY with all below it\n"
        "  export                          print the hive file\n"
        "KEY is HKLM\\... (HKEY_LOCAL_MACHINE\\...) or HKCU\\... (HKEY_CURRENT_USER\\...).\n"
        "TYPE: REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ (items separated by \\0), REG_DWORD,\n"
        "REG_QWORD (decimal or 0x hex), REG_BINARY (hex bytes), REG_NONE.\n"
        "/reg:32 shows the registry as a 32-bit program sees it; /reg:64 (the default) the native "
        "view.\n");
}

const char* errorText(LSTATUS e) {
    switch (e) {
        case ERROR_FILE_NOT_FOUND:
            return "not found";
        case ERROR_ACCESS_DENIED:
            return "access denied";
        case ERROR_INVALID_HANDLE:
            return "invalid handle";
        case ERROR_INVALID_PARAMETER:
            return "invalid parameter";
        case ERROR_BAD_PATHNAME:
            return "bad key path";
        case ERROR_MORE_DATA:
            return "more data is available";
        case ERROR_NO_MORE_ITEMS:
            return "no more items";
        case ERROR_BADDB:
            return "the registry database is corrupt";
        case ERROR_REGISTRY_CORRUPT:
            return "the registry hive is damaged";
        case ERROR_REGISTRY_IO_FAILED:
            return "the registry hive could not be read or written";
        case ERROR_KEY_DELETED:
            return "the key has been deleted";
        default:
            return "failed";
    }
}

struct Args {
    std::string command;
    std::vector<std::string> positional;
    bool hasValue = false;
    std::string value;
    bool hasType = false;
    std::string type = "REG_SZ";
    bool hasData = false;
    std::string data;
    REGSAM view = KEY_WOW64_64KEY;  // the native view, as reg.exe of a 64-bit Windows
};

struct KeyPath {
    HKEY root = nullptr;
    std::u16string sub;
    std::string display;  // as messages show it
};

int fail(const std::string& what, LSTATUS e) {
    std::fprintf(stderr, "tarnel-host reg: %s: Windows error %ld (%s)\n", what.c_str(),
                 static_cast<long>(e), errorText(e));
    if (e == ERROR_REGISTRY_CORRUPT || e == ERROR_REGISTRY_IO_FAILED) {
        std::string why = host::Machine::current().registry().lastError();
        if (!why.empty())
            std::fprintf(stderr, "tarnel-host reg: %s\n", why.c_str());
    }
    return kFailed;
}

int usageError(const std::string& why) {
    std::fprintf(stderr, "tarnel-host reg: %s\n", why.c_str());
    usage(stderr);
    return kUsage;
}

bool parseArgs(int argc, char** argv, Args& a, std::string& why) {
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        auto next = [&](std::string& out) {
            if (i + 1 >= argc) {
                why = arg + " needs an argument";
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string lower = arg;
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower == "/v") {
            if (a.hasValue) {
                why = "more than one value name";
                return false;
            }
            if (!next(a.value))
                return false;
            a.hasValue = true;
        } else if (lower == "/ve") {
            if (a.hasValue) {
                why = "more than one value name";
                return false;
            }
            a.hasValue = true;
            a.value.clear();
        } else if (lower == "/t") {
            if (!next(a.type))
                return false;
            a.hasType = true;
        } else if (lower == "/d") {
            if (!next(a.data))
                return false;
            a.hasData = true;
        } else if (lower == "/f") {
            // reg.exe's "no questions"; this tool never asks.
        } else if (lower == "/reg:32") {
            a.view = KEY_WOW64_32KEY;
        } else if (lower == "/reg:64") {
            a.view = KEY_WOW64_64KEY;
        } else if (!arg.empty() && arg[0] == '/') {
            why = "unknown option " + arg;
            return false;
        } else if (a.command.empty()) {
            a.command = lower;
        } else {
            a.positional.push_back(arg);
        }
    }
    return true;
}

bool toWide(const std::string& text, std::u16string& out) {
    return host::Utf8ToUtf16(text, out);
}

bool parseKey(const std::string& text, KeyPath& key, std::string& why) {
    size_t sep = text.find('\\');
    std::string rootName = text.substr(0, sep);
    for (char& c : rootName)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (rootName == "HKLM" || rootName == "HKEY_LOCAL_MACHINE") {
        key.root = HKEY_LOCAL_MACHINE;
        key.display = "HKEY_LOCAL_MACHINE";
    } else if (rootName == "HKCU" || rootName == "HKEY_CURRENT_USER") {
        key.root = HKEY_CURRENT_USER;
        key.display = "HKEY_CURRENT_USER";
    } else {
        why = "unknown root in '" + text + "' (want HKLM\\... or HKCU\\...)";
        return false;
    }
    std::string sub = sep == std::string::npos ? std::string() : text.substr(sep + 1);
    while (!sub.empty() && sub.back() == '\\')
        sub.pop_back();
    if (!toWide(sub, key.sub)) {
        why = "key name is not valid UTF-8";
        return false;
    }
    if (!sub.empty())
        key.display += "\\" + sub;
    return true;
}

const char* typeName(DWORD type) {
    switch (type) {
        case REG_NONE:
            return "REG_NONE";
        case REG_SZ:
            return "REG_SZ";
        case REG_EXPAND_SZ:
            return "REG_EXPAND_SZ";
        case REG_BINARY:
            return "REG_BINARY";
        case REG_DWORD:
            return "REG_DWORD";
        case REG_DWORD_BIG_ENDIAN:
            return "REG_DWORD_BIG_ENDIAN";
        case REG_LINK:
            return "REG_LINK";
        case REG_MULTI_SZ:
            return "REG_MULTI_SZ";
        case REG_RESOURCE_LIST:
            return "REG_RESOURCE_LIST";
        case REG_QWORD:
            return "REG_QWORD";
        default:
            return nullptr;
    }
}

std::string hexBytes(const std::vector<BYTE>& data) {
    std::string out;
    char buf[4];
    for (BYTE b : data) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        out += buf;
    }
    return out;
}

std::u16string unitsOf(const std::vector<BYTE>& data) {
    std::u16string units(data.size() / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i)
        units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    return units;
}

std::string showData(DWORD type, const std::vector<BYTE>& data) {
    char buf[32];
    if ((type == REG_SZ || type == REG_EXPAND_SZ) && data.size() % 2 == 0) {
        std::u16string units = unitsOf(data);
        return Utf16ToUtf8Lossy(units.substr(0, units.find(u'\0')));
    }
    if (type == REG_MULTI_SZ && data.size() % 2 == 0) {
        std::u16string units = unitsOf(data);
        std::string out;
        size_t start = 0;
        while (start < units.size() && units[start] != 0) {
            size_t nul = units.find(u'\0', start);
            if (nul == std::u16string::npos)
                nul = units.size();
            if (start)
                out += "\\0";
            out += Utf16ToUtf8Lossy(units.substr(start, nul - start));
            start = nul + 1;
        }
        return out;
    }
    if (type == REG_DWORD && data.size() == 4) {
        unsigned v = data[0] | (data[1] << 8) | (data[2] << 16) | (unsigned(data[3]) << 24);
        std::snprintf(buf, sizeof buf, "0x%x", v);
        return buf;
    }
    if (type == REG_QWORD && data.size() == 8) {
        unsigned long long v = 0;
        for (size_t i = 8; i-- > 0;)
            v = (v << 8) | data[i];
        std::snprintf(buf, sizeof buf, "0x%llx", v);
        return buf;
    }
    return hexBytes(data);
}

void printValue(const std::u16string& name, DWORD type, const std::vector<BYTE>& data) {
    const char* tn = typeName(type);
    char code[16];
    if (!tn) {
        std::snprintf(code, sizeof code, "0x%x", type);
        tn = code;
    }
    std::printf("    %s    %s    %s\n", name.empty() ? "(Default)" : Utf16ToUtf8Lossy(name).c_str(),
                tn, showData(type, data).c_str());
}

// Reads a value with the two-step size query.
LSTATUS readValue(HKEY h, const std::u16string& name, DWORD& type, std::vector<BYTE>& data) {
    DWORD size = 0;
    LSTATUS e = RegQueryValueExW(h, name.c_str(), nullptr, &type, nullptr, &size);
    while (e == ERROR_SUCCESS) {
        data.assign(size, 0);
        DWORD got = size;
        e = RegQueryValueExW(h, name.c_str(), nullptr, &type, data.data(), &got);
        if (e == ERROR_MORE_DATA) {
            size = got;
            e = ERROR_SUCCESS;
            continue;
        }
        data.resize(got);
        break;
    }
    return e;
}

LSTATUS printValues(HKEY h) {
    for (DWORD i = 0;; ++i) {
        WCHAR name[16384];
        DWORD count = 16384;
        DWORD type = 0;
        DWORD size = 0;
        LSTATUS e = RegEnumValueW(h, i, name, &count, nullptr, &type, nullptr, &size);
        if (e == ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        if (e != ERROR_SUCCESS)
            return e;
        std::vector<BYTE> data;
        std::u16string n(name, count);
        if ((e = readValue(h, n, type, data)) != ERROR_SUCCESS)
            return e;
        printValue(n, type, data);
    }
}

LSTATUS printSubkeys(HKEY h) {
    for (DWORD i = 0;; ++i) {
        WCHAR name[256];
        DWORD count = 256;
        LSTATUS e = RegEnumKeyExW(h, i, name, &count, nullptr, nullptr, nullptr, nullptr);
        if (e == ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        if (e != ERROR_SUCCESS)
            return e;
        std::printf("    %s\\\n", Utf16ToUtf8Lossy(std::u16string(name, count)).c_str());
    }
}

int openKey(const KeyPath& key, REGSAM access, HKEY& h) {
    LSTATUS e = RegOpenKeyExW(key.root, key.sub.c_str(), 0, access, &h);
    return e == ERROR_SUCCESS ? kOk : fail("cannot open " + key.display, e);
}

int runList(const Args& a, const KeyPath& key) {
    if (a.positional.size() != 1 || a.hasValue)
        return usageError("list takes one KEY");
    HKEY h;
    if (int r = openKey(key, KEY_READ | a.view, h))
        return r;
    std::printf("%s\n", key.display.c_str());
    LSTATUS e = printSubkeys(h);
    if (e == ERROR_SUCCESS)
        e = printValues(h);
    RegCloseKey(h);
    return e == ERROR_SUCCESS ? kOk : fail("cannot list " + key.display, e);
}

int runQuery(const Args& a, const KeyPath& key) {
    if (a.positional.size() > 2 || (a.positional.size() == 2 && a.hasValue))
        return usageError("query takes KEY and at most one value name");
    bool one = a.hasValue || a.positional.size() == 2;
    std::u16string name;
    if (one && !toWide(a.hasValue ? a.value : a.positional[1], name))
        return usageError("value name is not valid UTF-8");
    HKEY h;
    if (int r = openKey(key, KEY_READ | a.view, h))
        return r;
    std::printf("%s\n", key.display.c_str());
    LSTATUS e;
    if (one) {
        DWORD type = 0;
        std::vector<BYTE> data;
        e = readValue(h, name, type, data);
        if (e == ERROR_SUCCESS)
            printValue(name, type, data);
    } else {
        e = printValues(h);
    }
    RegCloseKey(h);
    if (e == ERROR_SUCCESS)
        return kOk;
    if (one) {
        std::string shown = name.empty() ? "(Default)" : Utf16ToUtf8Lossy(name);
        return fail("cannot read value '" + shown + "' of " + key.display, e);
    }
    return fail("cannot read " + key.display, e);
}

bool parseNumber(const std::string& text, unsigned long long max, unsigned long long& v) {
    if (text.empty())
        return false;
    const char* s = text.c_str();
    int base = 10;
    if (text.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s += 2;
    }
    char* end = nullptr;
    errno = 0;
    v = std::strtoull(s, &end, base);
    return *s && *end == 0 && errno == 0 && v <= max && s[0] != '-' && s[0] != '+';
}

bool buildData(const Args& a, DWORD& type, std::vector<BYTE>& data, std::string& why) {
    std::string t = a.type;
    for (char& c : t)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    auto putUnits = [&](const std::u16string& units) {
        for (char16_t c : units) {
            data.push_back(static_cast<BYTE>(c & 0xFF));
            data.push_back(static_cast<BYTE>(c >> 8));
        }
    };
    std::u16string text;
    if (t == "REG_SZ" || t == "REG_EXPAND_SZ" || t == "REG_MULTI_SZ") {
        if (!toWide(a.data, text))
            return why = "data is not valid UTF-8", false;
    }
    unsigned long long number = 0;
    if (t == "REG_SZ" || t == "REG_EXPAND_SZ") {
        type = t == "REG_SZ" ? REG_SZ : REG_EXPAND_SZ;
        putUnits(text + u'\0');
    } else if (t == "REG_MULTI_SZ") {
        type = REG_MULTI_SZ;
        size_t start = 0;
        while (!text.empty()) {
            size_t sep = text.find(u"\\0", start);
            putUnits(text.substr(start, sep - start) + u'\0');
            if (sep == std::u16string::npos)
                break;
            start = sep + 2;
        }
        putUnits(std::u16string(1, u'\0'));
    } else if (t == "REG_DWORD") {
        if (!parseNumber(a.data, 0xFFFFFFFFull, number))
            return why = "REG_DWORD data must be a 32-bit number (decimal or 0x hex)", false;
        type = REG_DWORD;
        for (int i = 0; i < 4; ++i)
            data.push_back(static_cast<BYTE>(number >> (8 * i)));
    } else if (t == "REG_QWORD") {
        if (!parseNumber(a.data, ~0ull, number))
            return why = "REG_QWORD data must be a 64-bit number (decimal or 0x hex)", false;
        type = REG_QWORD;
        for (int i = 0; i < 8; ++i)
            data.push_back(static_cast<BYTE>(number >> (8 * i)));
    } else if (t == "REG_BINARY" || t == "REG_NONE") {
        type = t == "REG_BINARY" ? REG_BINARY : REG_NONE;
        std::string digits;
        for (char c : a.data) {
            if (c == ',' || c == ' ')
                continue;
            if (!std::isxdigit(static_cast<unsigned char>(c)))
                return why = t + " data must be hex bytes, e.g. C0A801C8", false;
            digits += c;
        }
        if (digits.size() % 2)
            return why = t + " data needs an even number of hex digits", false;
        for (size_t i = 0; i < digits.size(); i += 2)
            data.push_back(static_cast<BYTE>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    } else {
        why = "unknown type " + a.type;
        return false;
    }
    return true;
}

int runAdd(const Args& a, const KeyPath& key) {
    if (a.positional.size() != 1)
        return usageError("add takes one KEY");
    if ((a.hasType || a.hasData) && !a.hasValue)
        return usageError("/t and /d need /v NAME or /ve");
    DWORD type = REG_SZ;
    std::vector<BYTE> data;
    std::u16string name;
    std::string why;
    if (a.hasValue && (!toWide(a.value, name) || !buildData(a, type, data, why)))
        return usageError(why.empty() ? "value name is not valid UTF-8" : why);
    if (key.sub.empty())
        return usageError("add needs a key below the root");
    HKEY h;
    LSTATUS e = RegCreateKeyExW(key.root, key.sub.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_READ | KEY_WRITE | a.view, nullptr, &h, nullptr);
    if (e != ERROR_SUCCESS)
        return fail("cannot create " + key.display, e);
    if (a.hasValue)
        e = RegSetValueExW(h, name.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size()));
    RegCloseKey(h);
    if (e != ERROR_SUCCESS)
        return fail("cannot set value '" + a.value + "' of " + key.display, e);
    return kOk;
}

// Deletes `sub` below `parent` with everything under it, deepest keys first.
LSTATUS deleteTree(HKEY parent, const std::u16string& sub, REGSAM view) {
    HKEY h;
    LSTATUS e = RegOpenKeyExW(parent, sub.c_str(), 0, KEY_READ | view, &h);
    if (e != ERROR_SUCCESS)
        return e;
    while (e == ERROR_SUCCESS) {
        WCHAR name[256];
        DWORD count = 256;
        e = RegEnumKeyExW(h, 0, name, &count, nullptr, nullptr, nullptr, nullptr);
        if (e == ERROR_SUCCESS)
            e = deleteTree(h, std::u16string(name, count), view);
    }
    RegCloseKey(h);
    if (e != ERROR_NO_MORE_ITEMS)
        return e;
    return RegDeleteKeyExW(parent, sub.c_str(), view, 0);
}

int runDelete(const Args& a, const KeyPath& key) {
    if (a.positional.size() != 1 || a.hasType || a.hasData)
        return usageError("delete takes one KEY and optionally /v NAME or /ve");
    if (a.hasValue) {
        std::u16string name;
        if (!toWide(a.value, name))
            return usageError("value name is not valid UTF-8");
        HKEY h;
        if (int r = openKey(key, KEY_SET_VALUE | a.view, h))
            return r;
        LSTATUS e = RegDeleteValueW(h, name.c_str());
        RegCloseKey(h);
        std::string shown = name.empty() ? "(Default)" : a.value;
        return e == ERROR_SUCCESS
                   ? kOk
                   : fail("cannot delete value '" + shown + "' of " + key.display, e);
    }
    if (key.sub.empty())
        return usageError("will not delete a root key");
    LSTATUS e = deleteTree(key.root, key.sub, a.view);
    return e == ERROR_SUCCESS ? kOk : fail("cannot delete " + key.display, e);
}

int runExport(const Args& a) {
    if (!a.positional.empty() || a.hasValue)
        return usageError("export takes no arguments");
    std::string text;
    auto status = host::Machine::current().registry().exportText(text);
    if (status != host::RegStatus::Ok) {
        std::string why = host::Machine::current().registry().lastError();
        std::fprintf(stderr, "tarnel-host reg: cannot export the hive: %s\n",
                     why.empty() ? "failed" : why.c_str());
        return kFailed;
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    return kOk;
}

}  // namespace

int RunReg(int argc, char** argv) {
    Args a;
    std::string why;
    if (!parseArgs(argc, argv, a, why))
        return usageError(why);
    if (a.command.empty())
        return usageError("missing command");
    if (a.command == "help") {
        usage(stdout);
        return kOk;
    }
    // This tool reports a damaged hive itself, with the failing operation.
    host::Machine::current().registry().setReportErrors(false);
    if (a.command == "export")
        return runExport(a);
    if (a.command != "list" && a.command != "query" && a.command != "add" && a.command != "delete")
        return usageError("unknown command '" + a.command + "'");
    if (a.positional.empty())
        return usageError(a.command + " needs a KEY");
    KeyPath key;
    if (!parseKey(a.positional[0], key, why))
        return usageError(why);
    if (a.command == "list")
        return runList(a, key);
    if (a.command == "query")
        return runQuery(a, key);
    if (a.command == "add")
        return runAdd(a, key);
    return runDelete(a, key);
}

}  // namespace tarnel::hosttool
