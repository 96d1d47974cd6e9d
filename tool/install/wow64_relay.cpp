// The WOW64 relay (see wow64_relay.h). The internal command line is
//   "<x64 build>" /Wow64Relay <step> <trace level> "<trace name>" "<trace folder>" "<arg>"...
// with the steps install (hardware id, INF path), remove (hardware id), rename (current and new
// port name) and delete-file (path).
// The 64-bit build runs without a window; the caller shows the step's messages.
#include "tool/install/wow64_relay.h"

#include <vector>

#include "tool/install/port_change.h"
#include "tool/install/vp_install.h"
#include "tool/install/win_helper.h"
#include "tool/support/program_path.h"
#include "tool/support/trace.h"

namespace {

const WCHAR* const kMarker = TEXT("/Wow64Relay");
constexpr int kFixedTokens = 6;  // program, marker, step, level, name, folder

// Exit codes of the install step besides the failure's last-error code.
constexpr DWORD kInstalled = 0;
constexpr DWORD kInstalledReboot = 3010;  // ERROR_SUCCESS_REBOOT_REQUIRED
constexpr DWORD kFailedWithoutCode = 31;  // ERROR_GEN_FAILURE

// The tokens of a command line: quoted ones (possibly empty) up to the next quote, others up
// to a blank. Arguments of the internal command never hold quotes.
std::vector<XStringW> Tokens(const XStringW& line) {
    std::vector<XStringW> tokens;
    const WCHAR* p = line.GetString();
    for (;;) {
        while (*p == ' ' || *p == '\t')
            ++p;
        if (!*p)
            break;
        XStringW token;
        if (*p == '"') {
            const WCHAR* start = ++p;
            while (*p && *p != '"')
                ++p;
            token.Append(start, static_cast<int>(p - start));
            if (*p)
                ++p;
        } else {
            const WCHAR* start = p;
            while (*p && *p != ' ' && *p != '\t')
                ++p;
            token.Append(start, static_cast<int>(p - start));
        }
        tokens.push_back(token);
    }
    return tokens;
}

XStringW Quote(const XStringW& text) {
    XStringW quoted(TEXT("\""));
    quoted += text;
    quoted += TEXT("\"");
    return quoted;
}

bool HasQuote(const XStringW& text) {
    return text.Find(TEXT("\"")) >= 0;
}

// Runs one step in the 64-bit build and waits for it; false (traced at `where`) when it could
// not run.
bool RunStep(const WCHAR* where, const WCHAR* step, std::initializer_list<XStringW> args,
             DWORD& exitCode) {
    XStringW program = GetProgramDirectory();
    program += TEXT("\\x64\\");
    program += GetProgramFileName(true);
    int level = 0;
    XStringW traceName, traceFolder;
    if (!TraceTargetOf(TRACE_ID_MAIN, level, traceName, traceFolder))
        level = 0;
    XStringW line = Quote(program);
    line += TEXT(" ");
    line += kMarker;
    line += TEXT(" ");
    line += step;
    XStringW levelText;
    levelText.Format(TEXT(" %d "), level);
    line += levelText;
    line += Quote(traceName) + TEXT(" ") + Quote(traceFolder);
    for (const XStringW& arg : args) {
        if (HasQuote(arg)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            TraceError(where, __LINE__, TEXT("64-bit step argument : %s"), arg);
            return false;
        }
        line += TEXT(" ") + Quote(arg);
    }
    // CreateProcessW may write into the command line it is given.
    std::vector<WCHAR> writable(line.GetString(), line.GetString() + line.GetLength() + 1);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program, writable.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &process)) {
        const DWORD error = GetLastError();
        TraceError(where, __LINE__, TEXT("CreateProcess : %s, (%d)"), program,
                   static_cast<int>(error));
        SetLastError(error);
        return false;
    }
    CloseHandle(process.hThread);
    bool ran = WaitForSingleObject(process.hProcess, INFINITE) == WAIT_OBJECT_0 &&
               GetExitCodeProcess(process.hProcess, &exitCode) != FALSE;
    const DWORD error = GetLastError();
    CloseHandle(process.hProcess);
    if (!ran) {
        TraceError(where, __LINE__, TEXT("64-bit step %s : (%d)"), step, static_cast<int>(error));
        SetLastError(error);
    }
    return ran;
}

}  // namespace

bool RunInternalCommand(const XStringW& commandLine, int& exitCode) {
    const std::vector<XStringW> tokens = Tokens(commandLine);
    if (tokens.size() < 2 || tokens[1] != kMarker)
        return false;
    exitCode = static_cast<int>(ERROR_INVALID_PARAMETER);
    if (tokens.size() < kFixedTokens)
        return true;
    const XStringW& step = tokens[2];
    const size_t args = tokens.size() - kFixedTokens;
    const int level = _wtoi(tokens[3]);
    if (level > 0)
        TraceRegister(TRACE_ID_MAIN, level > 2 ? 2 : level, tokens[4], tokens[5]);
    CVPInstall::SetWindowless(true);
    const XStringW* arg = tokens.data() + kFixedTokens;
    if (step == TEXT("install") && args == 2) {
        BOOL reboot = FALSE;
        if (CVPInstall::InstallRootEnumeratedDriver(arg[0], arg[1], reboot)) {
            exitCode = static_cast<int>(reboot ? kInstalledReboot : kInstalled);
        } else {
            const DWORD error = GetLastError();
            exitCode = static_cast<int>(
                error == kInstalled || error == kInstalledReboot ? kFailedWithoutCode : error);
        }
    } else if (step == TEXT("remove") && args == 1) {
        exitCode = CVPInstall::DeleteDeviceInfoCountingFailures(arg[0]);
    } else if (step == TEXT("rename") && args == 2) {
        exitCode = CPortChange::RelinkPort(arg[0], arg[1]) ? 0 : 1;
    } else if (step == TEXT("delete-file") && args == 1) {
        exitCode = DeleteFileW(arg[0]) ? 0 : static_cast<int>(GetLastError());
    }
    if (level > 0)
        TraceRemove(TRACE_ID_MAIN);
    return true;
}

bool Wow64RelayNeeded() {
    return CWinHelper::IsWow64();
}

bool RelayInstallRootEnumeratedDriver(const XStringW& hardwareId, const XStringW& infPath,
                                      BOOL& reboot) {
    constexpr const WCHAR* kWhere = TEXT("CVPInstall::InstallRootEnumeratedDriver");
    DWORD code = 0;
    if (!RunStep(kWhere, TEXT("install"), {hardwareId, infPath}, code))
        return false;
    if (code == kInstalled || code == kInstalledReboot) {
        reboot = code == kInstalledReboot ? TRUE : FALSE;
        return true;
    }
    SetLastError(code);
    return false;
}

void RelayDeleteDeviceInfo(const XStringW& hardwareId) {
    constexpr const WCHAR* kWhere = TEXT("CVPInstall::DeleteDeviceInfo");
    DWORD failures = 0;
    if (!RunStep(kWhere, TEXT("remove"), {hardwareId}, failures))
        failures = 1;
    for (DWORD i = 0; i < failures; ++i)
        CVPInstall::ReportRemoveFailure();
}

bool RelayRelinkPort(const XStringW& current, const XStringW& newName) {
    DWORD code = 1;
    return RunStep(TEXT("CPortChange::RelinkPort"), TEXT("rename"), {current, newName}, code) &&
           code == 0;
}

BOOL RelayDeleteFile(const XStringW& path) {
    DWORD code = 0;
    if (!RunStep(TEXT("CVPInstall::UninstallAll"), TEXT("delete-file"), {path}, code))
        return FALSE;
    if (code == 0)
        return TRUE;
    SetLastError(code);
    return FALSE;
}
