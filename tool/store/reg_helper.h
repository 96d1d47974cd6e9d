// CRegHelper: the tool's one way to read and write values under HKEY_LOCAL_MACHINE. Every call
// opens and closes its key; values are seen as text or as a 32-bit number.
#pragma once

#include "platform/win32.h"
#include "tool/support/trace.h"
#include "tool/support/xstring.h"

class CRegHelper {
  public:
    // `view32` selects the 32-bit registry view (KEY_WOW64_32KEY); clear, the 64-bit view
    // (KEY_WOW64_64KEY) that the 64-bit driver reads. Keys are paths below HKEY_LOCAL_MACHINE.
    static DWORD GetValueType(bool view32, const XStringW& key, const XStringW& name);
    // The type code; text and number are filled for REG_SZ and REG_MULTI_SZ (text) and for
    // REG_DWORD and REG_QWORD (both), untouched for other types. 0 when the key or value is
    // missing or the data could not be read whole (text then empty).
    static DWORD GetValue(bool view32, const XStringW& key, const XStringW& name, XStringW& text,
                          DWORD& number);
    // Text values in the view of this process (32-bit exactly under WOW64).
    static XStringW GetStringValue(const XStringW& key, const XStringW& name);
    static bool GetStringValue(XStringW& text, const XStringW& key, const XStringW& name);
    static bool GetNumberValue(bool view32, const XStringW& key, const XStringW& name,
                               DWORD& number);
    // REG_SZ with its terminating null, or REG_DWORD; the key is created when missing.
    static bool SetValue(bool view32, const XStringW& text, const XStringW& key,
                         const XStringW& name);
    static bool SetValue(bool view32, const XStringW& key, const XStringW& name, DWORD number);
    // Names of the direct subkeys in enumeration order; empty, without a trace, when the key
    // cannot be opened.
    static XStringWList GetSubKeyList(bool view32, const XStringW& key);
    static XStringWList GetSubKeyList(const XStringW& key);

    static REGSAM ReadAccess(bool view32) {
        return KEY_READ | (view32 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY);
    }
    static REGSAM WriteAccess(bool view32) { return ReadAccess(view32) | KEY_WRITE; }
    // True exactly when IsWow64Process reports 1 for this process.
    static bool RunsUnderWow64();
};
