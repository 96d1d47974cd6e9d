// Conversions of XStringW to the ANSI code page and of XStringA from it. The result lives in the
// string's conversion buffer until the next conversion or the string's destruction.
#include "tool/support/support_memory.h"
#include "tool/support/xstring.h"

// The terminator is converted with the text, so embedded zeros survive and the result ends in one.
template <typename Ch>
const char* XStringT<Ch>::GetMultiByte() const requires std::is_same_v<Ch, WCHAR> {
    ReleaseConversion();
    const int need =
        WideCharToMultiByte(CP_ACP, 0, text_, length_ + 1, nullptr, 0, nullptr, nullptr);
    if (need <= 0)
        return nullptr;
    char* out = static_cast<char*>(SupportAllocate(static_cast<size_t>(need)));
    if (WideCharToMultiByte(CP_ACP, 0, text_, length_ + 1, out, need, nullptr, nullptr) <= 0) {
        SupportFree(out, static_cast<size_t>(need));
        return nullptr;
    }
    converted_ = out;
    convertedLength_ = need - 1;
    return converted_;
}

template <typename Ch>
const WCHAR* XStringT<Ch>::GetWide() const requires std::is_same_v<Ch, char> {
    ReleaseConversion();
    const int need = MultiByteToWideChar(CP_ACP, 0, text_, length_ + 1, nullptr, 0);
    if (need <= 0)
        return nullptr;
    const size_t bytes = static_cast<size_t>(need) * sizeof(WCHAR);
    WCHAR* out = static_cast<WCHAR*>(SupportAllocate(bytes));
    if (MultiByteToWideChar(CP_ACP, 0, text_, length_ + 1, out, need) <= 0) {
        SupportFree(out, bytes);
        return nullptr;
    }
    converted_ = out;
    convertedLength_ = need - 1;
    return converted_;
}

template const char* XStringT<WCHAR>::GetMultiByte() const;
template const WCHAR* XStringT<char>::GetWide() const;
