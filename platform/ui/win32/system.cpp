// Win32 backend: system colours, resources, common controls, the wait cursor and the
// application's run.
#include <vector>

#include "platform/ui/win32/win32_ui.h"

namespace ui {

Color SysColor(int index) {
    return ::GetSysColor(index);
}

void UseResourceScript(const char* script, const char* header) {
    // The resources are linked into the program.
    (void)script;
    (void)header;
}

String LoadString(UINT id) {
    const WCHAR* text = nullptr;
    int length = ::LoadStringW(::GetModuleHandleW(nullptr), id, reinterpret_cast<LPWSTR>(&text), 0);
    return length > 0 && text ? String(text, static_cast<size_t>(length)) : String();
}

bool GetProductVersion(const WCHAR* path, DWORD& mostSignificant, DWORD& leastSignificant) {
    WCHAR self[MAX_PATH + 1] = {};
    if (!path || !*path) {
        DWORD n = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
        if (n == 0 || n >= MAX_PATH)
            return false;
        path = self;
    }
    DWORD handle = 0;
    DWORD size = ::GetFileVersionInfoSizeW(path, &handle);
    if (size == 0)
        return false;
    std::vector<BYTE> data(size);
    if (!::GetFileVersionInfoW(path, 0, size, data.data()))
        return false;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    if (!::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize) ||
        !fixed || fixedSize < sizeof(VS_FIXEDFILEINFO)) {
        return false;
    }
    mostSignificant = fixed->dwProductVersionMS;
    leastSignificant = fixed->dwProductVersionLS;
    return true;
}

bool InitCommonControls(DWORD classMask) {
    INITCOMMONCONTROLSEX icc{sizeof(icc), classMask};
    return ::InitCommonControlsEx(&icc) != FALSE;
}

namespace {
HCURSOR g_previousCursor = nullptr;
int g_waitDepth = 0;
}  // namespace

WaitCursor::WaitCursor() {
    HCURSOR previous = ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
    if (g_waitDepth++ == 0)
        g_previousCursor = previous;
}

WaitCursor::~WaitCursor() {
    if (--g_waitDepth == 0)
        ::SetCursor(g_previousCursor);
}

App::App() = default;
App::~App() = default;

int App::Run() {
    InitInstance();
    return ExitInstance();
}

}  // namespace ui
