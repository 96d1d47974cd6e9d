// Program path functions over GetModuleFileNameW, read into a buffer of 1024 characters.
#include "tool/support/program_path.h"

#include "tool/support/support_memory.h"

namespace {

constexpr DWORD kPathChars = 1024;

// A path that did not fit is not used: cut, it would name another folder.
XStringW ProgramPath() {
    WCHAR buffer[kPathChars] = {};
    SetLastError(ERROR_SUCCESS);
    const DWORD n = GetModuleFileNameW(nullptr, buffer, kPathChars);
    XStringW path;
    if (n > 0 && n < kPathChars && GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        path.Append(buffer, static_cast<int>(n));
    }
    SupportWipe(buffer, sizeof(buffer));
    return path;
}

int LastIndexOf(const XStringW& text, WCHAR ch) {
    for (int i = text.GetLength() - 1; i >= 0; --i) {
        if (text.GetString()[i] == ch)
            return i;
    }
    return -1;
}

}  // namespace

XStringW GetProgramDirectory() {
    const XStringW path = ProgramPath();
    const int slash = LastIndexOf(path, TEXT('\\'));
    return slash < 0 ? XStringW() : path.Left(slash);
}

XStringW GetProgramFileName(bool withExtension) {
    const XStringW path = ProgramPath();
    XStringW name = path.Mid(LastIndexOf(path, TEXT('\\')) + 1);
    if (!withExtension) {
        const int dot = LastIndexOf(name, TEXT('.'));
        if (dot >= 0)
            name = name.Left(dot);
    }
    return name;
}
