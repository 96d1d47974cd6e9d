// CRegHelper: typed reads with the two-step text read, writes that create missing keys, and the
// subkey list. Registry data is untrusted: text never reaches past the bytes a read returned.
#include "tool/store/reg_helper.h"

#include <vector>

#include "tool/support/support_memory.h"

namespace {

constexpr DWORD kFirstReadBytes = 512;

// Characters that once held registry data, zeroed before they are freed.
class TextBuffer {
  public:
    explicit TextBuffer(DWORD bytes) : chars_(bytes / sizeof(WCHAR) + 1, 0) {}
    ~TextBuffer() { SupportWipe(chars_.data(), chars_.size() * sizeof(WCHAR)); }
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    BYTE* Bytes() { return reinterpret_cast<BYTE*>(chars_.data()); }
    const WCHAR* Chars() const { return chars_.data(); }

  private:
    std::vector<WCHAR> chars_;  // one spare, always zero, past the largest read
};

// The text form of `count` characters of data: a REG_SZ up to its first null, a REG_MULTI_SZ
// as each non-empty string followed by "\n". A last string without its null ends at the data.
void TakeText(const WCHAR* chars, int count, DWORD type, XStringW& text) {
    text.Empty();
    for (int start = 0; start < count;) {
        int end = start;
        while (end < count && chars[end] != 0)
            ++end;
        if (type == REG_SZ) {
            text.Append(chars, end);
            return;
        }
        if (end > start) {
            text.Append(chars + start, end - start);
            text.Append(TEXT("\n"));
        }
        start = end + 1;
    }
}

// A REG_SZ or REG_MULTI_SZ read whole: 512 bytes first, then, when the data is longer, the
// reported size rounded down to whole characters. False when the data could not be read.
bool ReadText(HKEY key, const XStringW& name, DWORD type, XStringW& text) {
    DWORD size = kFirstReadBytes;
    TextBuffer first(size);
    LSTATUS rc = RegQueryValueExW(key, name, nullptr, nullptr, first.Bytes(), &size);
    if (rc == ERROR_SUCCESS) {
        TakeText(first.Chars(), static_cast<int>(size / sizeof(WCHAR)), type, text);
        return true;
    }
    if (rc != ERROR_MORE_DATA)
        return false;
    size &= ~static_cast<DWORD>(1);
    TextBuffer second(size);
    if (RegQueryValueExW(key, name, nullptr, nullptr, second.Bytes(), &size) != ERROR_SUCCESS)
        return false;
    TakeText(second.Chars(), static_cast<int>(size / sizeof(WCHAR)), type, text);
    return true;
}

// A REG_DWORD (4 bytes) or REG_QWORD (8 bytes); the low 32 bits as stored. Data of another
// size is no number: longer data is traced as the read reports it, shorter data likewise.
bool ReadNumber(HKEY key, const XStringW& name, DWORD type, DWORD& number) {
    const DWORD expected = type == REG_DWORD ? 4 : 8;
    BYTE data[8] = {};
    DWORD size = expected;
    LSTATUS rc = RegQueryValueExW(key, name, nullptr, nullptr, data, &size);
    if (rc == ERROR_MORE_DATA) {
        TraceError(TEXT("CRegHelper::GetValue"), __LINE__,
                   type == REG_DWORD ? TEXT("REG_DWORD ERROR_MORE_DATA, size:%d\n")
                                     : TEXT("REG_QWORD ERROR_MORE_DATA, size:%d\n"),
                   static_cast<int>(size));
        return false;
    }
    if (rc != ERROR_SUCCESS)
        return false;
    if (size != expected) {
        TraceError(TEXT("CRegHelper::GetValue"), __LINE__,
                   type == REG_DWORD ? TEXT("REG_DWORD short data, size:%d")
                                     : TEXT("REG_QWORD short data, size:%d"),
                   static_cast<int>(size));
        return false;
    }
    number = static_cast<DWORD>(data[0]) | static_cast<DWORD>(data[1]) << 8 |
             static_cast<DWORD>(data[2]) << 16 | static_cast<DWORD>(data[3]) << 24;
    return true;
}

// Opens for reading and writing, creating the key and its missing parents when it is absent.
LSTATUS OpenForWriting(bool view32, const XStringW& key, HKEY& handle) {
    const REGSAM access = CRegHelper::WriteAccess(view32);
    LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, access, &handle);
    if (rc == ERROR_FILE_NOT_FOUND) {
        rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                             nullptr, &handle, nullptr);
    }
    return rc;
}

}  // namespace

bool CRegHelper::RunsUnderWow64() {
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64 == TRUE;
}

// Failed opens are traced with the status the call returned: the registry functions report
// their error through it, and the thread's last-error code may be left from an earlier call.
DWORD CRegHelper::GetValueType(bool view32, const XStringW& key, const XStringW& name) {
    HKEY handle = nullptr;
    LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, ReadAccess(view32), &handle);
    if (rc != ERROR_SUCCESS) {
        TraceError(TEXT("CRegHelper::GetValueType"), __LINE__,
                   TEXT("RegOpenKeyEx(GetLastError:%d)"), static_cast<int>(rc));
        return 0;
    }
    DWORD type = 0;
    rc = RegQueryValueExW(handle, name, nullptr, &type, nullptr, nullptr);
    RegCloseKey(handle);
    return rc == ERROR_SUCCESS ? type : 0;
}

DWORD CRegHelper::GetValue(bool view32, const XStringW& key, const XStringW& name, XStringW& text,
                           DWORD& number) {
    HKEY handle = nullptr;
    LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, ReadAccess(view32), &handle);
    if (rc != ERROR_SUCCESS) {
        TraceError(TEXT("CRegHelper::GetValue"), __LINE__, TEXT("RegOpenKeyEx(GetLastError:%d)"),
                   static_cast<int>(rc));
        return 0;
    }
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(handle, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        RegCloseKey(handle);
        return 0;
    }
    switch (type) {
        case REG_SZ:
        case REG_MULTI_SZ:
            if (!ReadText(handle, name, type, text)) {
                text.Empty();
                type = 0;
            }
            break;
        case REG_DWORD:
        case REG_QWORD: {
            DWORD value = 0;
            if (ReadNumber(handle, name, type, value)) {
                text.Format(TEXT("%u"), value);
                number = value;
            } else {
                type = 0;
            }
            break;
        }
        default:
            break;
    }
    RegCloseKey(handle);
    return type;
}

XStringW CRegHelper::GetStringValue(const XStringW& key, const XStringW& name) {
    XStringW text;
    GetStringValue(text, key, name);
    return text;
}

bool CRegHelper::GetStringValue(XStringW& text, const XStringW& key, const XStringW& name) {
    const bool view32 = RunsUnderWow64();
    const DWORD type = GetValueType(view32, key, name);
    if (type != REG_SZ && type != REG_MULTI_SZ)
        return false;
    XStringW value;
    DWORD unused = 0;
    const DWORD read = GetValue(view32, key, name, value, unused);
    text = value;
    return read == REG_SZ || read == REG_MULTI_SZ;
}

bool CRegHelper::GetNumberValue(bool view32, const XStringW& key, const XStringW& name,
                                DWORD& number) {
    const DWORD type = GetValueType(view32, key, name);
    if (type != REG_DWORD && type != REG_QWORD)
        return false;
    XStringW text;
    DWORD value = 0;
    const DWORD read = GetValue(view32, key, name, text, value);
    if (read != REG_DWORD && read != REG_QWORD)
        return false;
    number = value;
    return true;
}

bool CRegHelper::SetValue(bool view32, const XStringW& text, const XStringW& key,
                          const XStringW& name) {
    HKEY handle = nullptr;
    LSTATUS rc = OpenForWriting(view32, key, handle);
    if (rc != ERROR_SUCCESS) {
        TraceError(TEXT("CRegHelper::SetValue"), __LINE__, TEXT("RegOpenKeyEx(GetLastError:%d)"),
                   static_cast<int>(rc));
        return false;
    }
    const DWORD bytes = static_cast<DWORD>((text.GetLength() + 1) * sizeof(WCHAR));
    rc = RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.GetString()),
                        bytes);
    RegCloseKey(handle);
    return rc == ERROR_SUCCESS;
}

bool CRegHelper::SetValue(bool view32, const XStringW& key, const XStringW& name, DWORD number) {
    HKEY handle = nullptr;
    LSTATUS rc = OpenForWriting(view32, key, handle);
    if (rc != ERROR_SUCCESS) {
        TraceError(TEXT("CRegHelper::SetValue"), __LINE__, TEXT("RegOpenKeyEx(GetLastError:%d)"),
                   static_cast<int>(rc));
        return false;
    }
    const BYTE data[4] = {static_cast<BYTE>(number), static_cast<BYTE>(number >> 8),
                          static_cast<BYTE>(number >> 16), static_cast<BYTE>(number >> 24)};
    rc = RegSetValueExW(handle, name, 0, REG_DWORD, data, sizeof(data));
    RegCloseKey(handle);
    return rc == ERROR_SUCCESS;
}

XStringWList CRegHelper::GetSubKeyList(bool view32, const XStringW& key) {
    XStringWList names;
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, ReadAccess(view32), &handle) != ERROR_SUCCESS)
        return names;
    WCHAR name[256];
    for (DWORD index = 0;; ++index) {
        if (RegEnumKeyW(handle, index, name, 256) != ERROR_SUCCESS)
            break;
        names.Add(XStringW(name));
    }
    SupportWipe(name, sizeof(name));
    RegCloseKey(handle);
    return names;
}

XStringWList CRegHelper::GetSubKeyList(const XStringW& key) {
    return GetSubKeyList(RunsUnderWow64(), key);
}
