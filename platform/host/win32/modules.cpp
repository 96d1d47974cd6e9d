// LoadLibraryW, GetModuleHandleW and GetProcAddress over a fixed table of system modules and of
// the exports the tool resolves by name.
#include "platform/host/win32/modules.h"

#include <iterator>
#include <mutex>
#include <set>
#include <string>

#include "platform/host/machine/machine.h"
#include "platform/host/win32/port_rename.h"
#include "platform/host/win32/registry.h"
#include "platform/host/win32/setupapi.h"
#include "platform/host/win32/version.h"

namespace {

struct Export {
    const char* name;
    FARPROC address;
    unsigned major, minor;  // the first Windows version that has it
};

struct Module {
    const char16_t* name;  // lower case, with its extension
    const Export* exports;
    int exportCount;
};

template <typename F>
FARPROC entry(F* function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

// Windows Server 2003 SP1 and XP x64 (both 5.2) brought RegDeleteKeyExW.
const Export kAdvapi32[] = {
    {"RegDeleteKeyExW", entry(&RegDeleteKeyExW), 5, 2},
};
const Export kKernel32[] = {
    {"IsWow64Process", entry(&IsWow64Process), 5, 1},
    {"VerSetConditionMask", entry(&VerSetConditionMask), 5, 0},
    {"VerifyVersionInfoW", entry(&VerifyVersionInfoW), 5, 0},
};

const Export kSetupapi[] = {
    {"SetupUninstallOEMInfW", entry(&SetupUninstallOEMInfW), 5, 1},
};

const Export kMsports[] = {
    {"ComDBClaimPort", entry(&ComDBClaimPort), 5, 0},
    {"ComDBClose", entry(&ComDBClose), 5, 0},
    {"ComDBOpen", entry(&ComDBOpen), 5, 0},
    {"ComDBReleasePort", entry(&ComDBReleasePort), 5, 0},
};

const Module kModules[] = {
    {u"advapi32.dll", kAdvapi32, int(std::size(kAdvapi32))},
    {u"kernel32.dll", kKernel32, int(std::size(kKernel32))},
    {u"setupapi.dll", kSetupapi, int(std::size(kSetupapi))},
    {u"shlwapi.dll", nullptr, 0},
    {u"user32.dll", nullptr, 0},
    {u"ws2_32.dll", nullptr, 0},
    {u"ntdll.dll", nullptr, 0},
    {u"msports.dll", kMsports, int(std::size(kMsports))},
};

// Module handles are addresses in a range of their own, one 64 KB step per module.
constexpr ULONG_PTR kModuleBase = 0x7FF00000;
constexpr ULONG_PTR kModuleStep = 0x10000;

HMODULE handleOf(int index) {
    return reinterpret_cast<HMODULE>(kModuleBase + kModuleStep * ULONG_PTR(index));
}

int indexOf(HMODULE h) {
    ULONG_PTR value = reinterpret_cast<ULONG_PTR>(h);
    if (value < kModuleBase || (value - kModuleBase) % kModuleStep)
        return -1;
    ULONG_PTR index = (value - kModuleBase) / kModuleStep;
    return index < std::size(kModules) ? int(index) : -1;
}

// The module's file name: the text after the last path separator, lower case, ".dll" added
// when it has no extension (a trailing dot means none is wanted).
std::u16string fileNameOf(LPCWSTR name) {
    std::u16string text(name);
    size_t slash = text.find_last_of(u"\\/");
    if (slash != std::u16string::npos)
        text.erase(0, slash + 1);
    for (char16_t& c : text)
        if (c >= u'A' && c <= u'Z')
            c = char16_t(c - u'A' + u'a');
    if (!text.empty() && text.back() == u'.')
        text.pop_back();
    else if (text.find(u'.') == std::u16string::npos)
        text += u".dll";
    return text;
}

HMODULE find(LPCWSTR name) {
    if (!name || !*name) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    std::u16string file = fileNameOf(name);
    for (int i = 0; i < int(std::size(kModules)); ++i)
        if (file == kModules[i].name)
            return handleOf(i);
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

std::mutex g_hiddenMutex;
std::set<std::string> g_hidden;

bool hidden(const char* name) {
    std::lock_guard<std::mutex> lock(g_hiddenMutex);
    return g_hidden.count(name) != 0;
}

}  // namespace

namespace tarnel::host {
void SetExportHidden(const char* name, bool hide) {
    std::lock_guard<std::mutex> lock(g_hiddenMutex);
    if (hide)
        g_hidden.insert(name);
    else
        g_hidden.erase(name);
}
}  // namespace tarnel::host

HMODULE LoadLibraryW(LPCWSTR lpLibFileName) {
    if (!lpLibFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return find(lpLibFileName);
}

HMODULE GetModuleHandleW(LPCWSTR lpModuleName) {
    // The program's own module has no exports the tool looks up.
    if (!lpModuleName)
        return reinterpret_cast<HMODULE>(kModuleBase - kModuleStep);
    return find(lpModuleName);
}

BOOL FreeLibrary(HMODULE hLibModule) {
    if (indexOf(hLibModule) < 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    if (reinterpret_cast<ULONG_PTR>(hModule) == kModuleBase - kModuleStep) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    int index = indexOf(hModule);
    if (index < 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // Lookups by ordinal (a value below 64 KB in place of the name) find nothing here.
    if (reinterpret_cast<ULONG_PTR>(lpProcName) < 0x10000) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    const tarnel::host::MachineConfig config = tarnel::host::Machine::current().config();
    const Module& module = kModules[index];
    for (int i = 0; i < module.exportCount; ++i) {
        const Export& e = module.exports[i];
        if (std::string(e.name) != lpProcName)
            continue;
        if (config.windowsMajor < e.major ||
            (config.windowsMajor == e.major && config.windowsMinor < e.minor) || hidden(e.name))
            break;
        return e.address;
    }
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}
