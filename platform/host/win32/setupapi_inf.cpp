// SetupAPI's INF functions over the host's INF reader: open INF handles live in a table of
// their own; a context names a handle, a section and a line by index.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

#include "platform/host/win32/files.h"
#include "platform/host/win32/inf_parser.h"
#include "platform/host/win32/paths.h"
#include "platform/host/win32/registry.h"
#include "platform/host/win32/setupapi.h"

namespace fs = std::filesystem;
using tarnel::host::InfEqualNoCase;
using tarnel::host::InfFile;

namespace {

constexpr ULONG_PTR kInfHandleBase = 0x494E0000;

struct InfTable {
    std::mutex mutex;
    std::map<ULONG_PTR, std::shared_ptr<const InfFile>> open;
    ULONG_PTR next = kInfHandleBase;
};

InfTable& table() {
    static InfTable t;
    return t;
}

std::shared_ptr<const InfFile> lookup(HINF h) {
    std::lock_guard<std::mutex> lock(table().mutex);
    auto it = table().open.find(reinterpret_cast<ULONG_PTR>(h));
    return it == table().open.end() ? nullptr : it->second;
}

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

const std::u16string kInfFolder = u"C:\\Windows\\INF";

// A bare file name lies in the INF folder.
std::u16string infPath(PCWSTR name) {
    std::u16string text(name);
    if (text.find_first_of(u"\\/:") == std::u16string::npos)
        return kInfFolder + u"\\" + text;
    return text;
}

bool parseWindowsPath(const std::u16string& path, InfFile& inf, DWORD& error, UINT& line) {
    std::string linux;
    if (!tarnel::host::ToLinuxPath(path.c_str(), linux, error))
        return false;
    if (!fs::is_regular_file(linux)) {
        error = tarnel::host::MissingPathError(linux);
        line = 0;
        return false;
    }
    return tarnel::host::ParseInfFile(linux, inf, error, line);
}

bool copyText(const std::u16string& text, PWSTR buffer, DWORD size, PDWORD required) {
    const DWORD needed = static_cast<DWORD>(text.size() + 1);
    if (required)
        *required = needed;
    if (!buffer)
        return size == 0 ? true : (SetLastError(ERROR_INVALID_PARAMETER), false);
    if (size < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    std::memcpy(buffer, text.c_str(), needed * sizeof(WCHAR));
    return true;
}

// True when a device's driver key names this INF (what the driver install records).
bool infInUse(const std::u16string& name) {
    HKEY classes = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\Class", 0, KEY_READ,
                      &classes) != ERROR_SUCCESS)
        return false;
    bool used = false;
    WCHAR cls[256], drv[256];
    for (DWORD i = 0; !used && RegEnumKeyW(classes, i, cls, 256) == ERROR_SUCCESS; ++i) {
        HKEY classKey = nullptr;
        if (RegOpenKeyExW(classes, cls, 0, KEY_READ, &classKey) != ERROR_SUCCESS)
            continue;
        for (DWORD j = 0; !used && RegEnumKeyW(classKey, j, drv, 256) == ERROR_SUCCESS; ++j) {
            HKEY driverKey = nullptr;
            if (RegOpenKeyExW(classKey, drv, 0, KEY_READ, &driverKey) != ERROR_SUCCESS)
                continue;
            WCHAR value[260] = {};
            DWORD bytes = sizeof(value) - sizeof(WCHAR);
            DWORD type = 0;
            if (RegQueryValueExW(driverKey, u"InfPath", nullptr, &type,
                                 reinterpret_cast<BYTE*>(value), &bytes) == ERROR_SUCCESS &&
                type == REG_SZ)
                used = InfEqualNoCase(value, name);
            RegCloseKey(driverKey);
        }
        RegCloseKey(classKey);
    }
    RegCloseKey(classes);
    return used;
}

}  // namespace

HINF SetupOpenInfFileW(PCWSTR FileName, PCWSTR InfClass, DWORD InfStyle, UINT* ErrorLine) {
    if (!FileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto inf = std::make_shared<InfFile>();
    DWORD error = ERROR_SUCCESS;
    UINT line = 0;
    if (!parseWindowsPath(infPath(FileName), *inf, error, line)) {
        if (ErrorLine)
            *ErrorLine = line;
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    if (!(inf->style & InfStyle)) {
        SetLastError(ERROR_WRONG_INF_STYLE);
        return INVALID_HANDLE_VALUE;
    }
    if (InfClass && !InfEqualNoCase(inf->Value(u"Version", u"Class"), InfClass)) {
        SetLastError(ERROR_CLASS_MISMATCH);
        return INVALID_HANDLE_VALUE;
    }
    std::lock_guard<std::mutex> lock(table().mutex);
    const ULONG_PTR h = table().next;
    table().next += 4;
    table().open[h] = inf;
    return reinterpret_cast<HINF>(h);
}

void SetupCloseInfFile(HINF InfHandle) {
    std::lock_guard<std::mutex> lock(table().mutex);
    table().open.erase(reinterpret_cast<ULONG_PTR>(InfHandle));
}

BOOL SetupFindFirstLineW(HINF InfHandle, PCWSTR Section, PCWSTR Key, PINFCONTEXT Context) {
    std::shared_ptr<const InfFile> inf = lookup(InfHandle);
    if (!inf)
        return fail(ERROR_INVALID_HANDLE);
    if (!Section || !Context)
        return fail(ERROR_INVALID_PARAMETER);
    for (size_t s = 0; s < inf->sections.size(); ++s) {
        if (!InfEqualNoCase(inf->sections[s].name, Section))
            continue;
        const auto& lines = inf->sections[s].lines;
        for (size_t l = 0; l < lines.size(); ++l) {
            if (Key && !InfEqualNoCase(lines[l].key, Key))
                continue;
            Context->Inf = Context->CurrentInf = InfHandle;
            Context->Section = static_cast<UINT>(s);
            Context->Line = static_cast<UINT>(l);
            return TRUE;
        }
        return fail(ERROR_LINE_NOT_FOUND);
    }
    return fail(ERROR_SECTION_NOT_FOUND);
}

BOOL SetupGetStringFieldW(PINFCONTEXT Context, DWORD FieldIndex, PWSTR ReturnBuffer,
                          DWORD ReturnBufferSize, PDWORD RequiredSize) {
    if (!Context)
        return fail(ERROR_INVALID_PARAMETER);
    std::shared_ptr<const InfFile> inf = lookup(Context->CurrentInf);
    if (!inf)
        return fail(ERROR_INVALID_HANDLE);
    if (Context->Section >= inf->sections.size() ||
        Context->Line >= inf->sections[Context->Section].lines.size())
        return fail(ERROR_INVALID_PARAMETER);
    const auto& line = inf->sections[Context->Section].lines[Context->Line];
    if (FieldIndex > line.fields.size())
        return fail(ERROR_INVALID_PARAMETER);
    const std::u16string& text = FieldIndex == 0 ? line.key : line.fields[FieldIndex - 1];
    return copyText(text, ReturnBuffer, ReturnBufferSize, RequiredSize) ? TRUE : FALSE;
}

BOOL SetupGetInfFileListW(PCWSTR DirectoryPath, DWORD InfStyle, PWSTR ReturnBuffer,
                          DWORD ReturnBufferSize, PDWORD RequiredSize) {
    std::string folder;
    DWORD error = ERROR_SUCCESS;
    if (!tarnel::host::ToLinuxPath(DirectoryPath ? DirectoryPath : kInfFolder.c_str(), folder,
                                   error))
        return fail(error);
    if (!fs::is_directory(folder))
        return fail(ERROR_PATH_NOT_FOUND);
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        std::string name = entry.path().filename().string();
        std::string lower = name;
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (!entry.is_regular_file() || lower.size() < 4 ||
            lower.compare(lower.size() - 4, 4, ".inf") != 0)
            continue;
        InfFile inf;
        UINT line = 0;
        if (tarnel::host::ParseInfFile(entry.path().string(), inf, error, line) &&
            (inf.style & InfStyle))
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    std::u16string list;
    for (const std::string& name : names) {
        list.append(name.begin(), name.end());
        list.push_back(0);
    }
    const DWORD needed = static_cast<DWORD>(list.size() + 1);
    if (RequiredSize)
        *RequiredSize = needed;
    if (!ReturnBuffer)
        return ReturnBufferSize == 0 ? TRUE : fail(ERROR_INVALID_PARAMETER);
    if (ReturnBufferSize < needed)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(ReturnBuffer, list.data(), list.size() * sizeof(WCHAR));
    ReturnBuffer[list.size()] = 0;
    return TRUE;
}

BOOL SetupDiGetINFClassW(PCWSTR InfName, LPGUID ClassGuid, PWSTR ClassName, DWORD ClassNameSize,
                         PDWORD RequiredSize) {
    if (!InfName || !ClassGuid || !ClassName)
        return fail(ERROR_INVALID_PARAMETER);
    InfFile inf;
    DWORD error = ERROR_SUCCESS;
    UINT line = 0;
    if (!parseWindowsPath(InfName, inf, error, line))
        return fail(error);
    const std::u16string name = inf.Value(u"Version", u"Class");
    const std::u16string guid = inf.Value(u"Version", u"ClassGuid");
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
    unsigned parts[11];
    std::string text(guid.begin(), guid.end());
    if (name.empty() ||
        std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &parts[0], &parts[1],
                    &parts[2], &parts[3], &parts[4], &parts[5], &parts[6], &parts[7], &parts[8],
                    &parts[9], &parts[10]) != 11 ||
        text.size() != 38)
        return fail(ERROR_NO_ASSOCIATED_CLASS);
    if (!copyText(name, ClassName, ClassNameSize, RequiredSize))
        return FALSE;
    ClassGuid->Data1 = parts[0];
    ClassGuid->Data2 = static_cast<USHORT>(parts[1]);
    ClassGuid->Data3 = static_cast<USHORT>(parts[2]);
    for (int i = 0; i < 8; ++i)
        ClassGuid->Data4[i] = static_cast<UCHAR>(parts[3 + i]);
    return TRUE;
}

BOOL SetupUninstallOEMInfW(PCWSTR InfFileName, DWORD Flags, PVOID Reserved) {
    if (!InfFileName || Reserved || (Flags & ~static_cast<DWORD>(SUOI_FORCEDELETE)))
        return fail(ERROR_INVALID_PARAMETER);
    std::u16string name(InfFileName);
    if (name.find_first_of(u"\\/:") != std::u16string::npos || name.size() < 4 ||
        !InfEqualNoCase(name.substr(0, 3), u"oem"))
        return fail(ERROR_INVALID_PARAMETER);
    std::string linux;
    DWORD error = ERROR_SUCCESS;
    if (!tarnel::host::ToLinuxPath(infPath(InfFileName).c_str(), linux, error))
        return fail(error);
    if (!fs::is_regular_file(linux))
        return fail(ERROR_FILE_NOT_FOUND);
    if (!(Flags & SUOI_FORCEDELETE) && infInUse(name))
        return fail(ERROR_INF_IN_USE_BY_DEVICES);
    std::error_code ec;
    fs::remove(linux, ec);
    if (ec)
        return fail(ERROR_ACCESS_DENIED);
    // The precompiled form beside it goes too.
    const std::u16string stem = name.substr(0, name.find_last_of(u'.'));
    std::string pnf;
    if (tarnel::host::ToLinuxPath((kInfFolder + u"\\" + stem + u".PNF").c_str(), pnf, error))
        fs::remove(pnf, ec);
    return TRUE;
}
