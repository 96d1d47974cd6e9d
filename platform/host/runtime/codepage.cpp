// Code-page conversions: Windows-1252 (the ANSI code page) and UTF-8, with Windows' buffer and
// error conventions.
#include "platform/host/runtime/codepage.h"

#include <cstring>

namespace {

// Windows-1252 bytes 0x80..0x9F; the rest of the code page is Latin-1.
constexpr WCHAR kHigh1252[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

enum class Page { Ansi, Utf8, Unsupported };

Page pageOf(UINT codePage) {
    switch (codePage) {
        case CP_ACP:
        case CP_THREAD_ACP:
        case 1252:
            return Page::Ansi;
        case CP_UTF8:
            return Page::Utf8;
        default:
            return Page::Unsupported;
    }
}

constexpr char32_t kReplacement = 0xFFFD;

bool isContinuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

// Decodes one UTF-8 sequence at text[i] (n bytes available). Invalid input yields U+FFFD and
// consumes the maximal prefix of a well-formed sequence (at least one byte), as Unicode
// recommends; `valid` tells which happened.
char32_t decodeUtf8(const unsigned char* text, size_t n, size_t& i, bool& valid) {
    unsigned char b = text[i++];
    valid = true;
    if (b < 0x80)
        return b;
    int extra = 0;
    char32_t cp = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        extra = 1;
        cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        extra = 2;
        cp = b & 0x0F;
        if (b == 0xE0)
            lo = 0xA0;  // overlong
        if (b == 0xED)
            hi = 0x9F;  // surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
        extra = 3;
        cp = b & 0x07;
        if (b == 0xF0)
            lo = 0x90;  // overlong
        if (b == 0xF4)
            hi = 0x8F;  // above U+10FFFF
    } else {
        valid = false;
        return kReplacement;
    }
    for (int k = 0; k < extra; ++k) {
        if (i >= n) {
            valid = false;
            return kReplacement;
        }
        unsigned char c = text[i];
        bool ok = k == 0 ? (c >= lo && c <= hi) : isContinuation(c);
        if (!ok) {
            valid = false;
            return kReplacement;
        }
        cp = (cp << 6) | (c & 0x3F);
        ++i;
    }
    return cp;
}

// Decodes one UTF-16 code point at text[i]; an unpaired surrogate yields U+FFFD.
char32_t decodeUtf16(const WCHAR* text, size_t n, size_t& i, bool& valid) {
    char32_t c = text[i++];
    valid = true;
    if (c >= 0xD800 && c <= 0xDBFF && i < n && text[i] >= 0xDC00 && text[i] <= 0xDFFF) {
        return 0x10000 + ((c - 0xD800) << 10) + (text[i++] - 0xDC00);
    }
    if (c >= 0xD800 && c <= 0xDFFF) {
        valid = false;
        return kReplacement;
    }
    return c;
}

size_t encodeUtf8(char32_t cp, char* out) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

size_t encodeUtf16(char32_t cp, WCHAR* out) {
    if (cp < 0x10000) {
        out[0] = static_cast<WCHAR>(cp);
        return 1;
    }
    cp -= 0x10000;
    out[0] = static_cast<WCHAR>(0xD800 + (cp >> 10));
    out[1] = static_cast<WCHAR>(0xDC00 + (cp & 0x3FF));
    return 2;
}

int fail(DWORD error) {
    SetLastError(error);
    return 0;
}

}  // namespace

namespace tarnel::host {

WCHAR AnsiToWide(unsigned char c) {
    return (c >= 0x80 && c <= 0x9F) ? kHigh1252[c - 0x80] : static_cast<WCHAR>(c);
}

bool WideToAnsi(WCHAR c, unsigned char& out) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
        out = static_cast<unsigned char>(c);
        return true;
    }
    for (int i = 0; i < 32; ++i) {
        if (kHigh1252[i] == c) {
            out = static_cast<unsigned char>(0x80 + i);
            return true;
        }
    }
    return false;
}

std::string WideToUtf8(const WCHAR* text, size_t length, bool* lossless) {
    std::string out;
    out.reserve(length);
    bool clean = true;
    char buf[4];
    for (size_t i = 0; i < length;) {
        bool valid = true;
        char32_t cp = decodeUtf16(text, length, i, valid);
        clean = clean && valid;
        out.append(buf, encodeUtf8(cp, buf));
    }
    if (lossless)
        *lossless = clean;
    return out;
}

std::string WideToUtf8(const std::u16string& text, bool* lossless) {
    return WideToUtf8(text.data(), text.size(), lossless);
}

std::u16string Utf8ToWide(const std::string& text, bool* lossless) {
    std::u16string out;
    out.reserve(text.size());
    bool clean = true;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    WCHAR buf[2];
    for (size_t i = 0; i < text.size();) {
        bool valid = true;
        char32_t cp = decodeUtf8(bytes, text.size(), i, valid);
        clean = clean && valid;
        out.append(buf, encodeUtf16(cp, buf));
    }
    if (lossless)
        *lossless = clean;
    return out;
}

}  // namespace tarnel::host

UINT GetACP() {
    return 1252;
}

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar) {
    Page page = pageOf(CodePage);
    if (page == Page::Unsupported || !lpMultiByteStr || cbMultiByte == 0 || cbMultiByte < -1 ||
        cchWideChar < 0 || (cchWideChar > 0 && !lpWideCharStr) ||
        (lpWideCharStr &&
         static_cast<const void*>(lpWideCharStr) == static_cast<const void*>(lpMultiByteStr)))
        return fail(ERROR_INVALID_PARAMETER);
    if (page == Page::Utf8 && (dwFlags & ~static_cast<DWORD>(MB_ERR_INVALID_CHARS)))
        return fail(ERROR_INVALID_FLAGS);

    size_t n = cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : size_t(cbMultiByte);
    const auto* in = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
    bool strict = dwFlags & MB_ERR_INVALID_CHARS;
    size_t produced = 0;
    WCHAR buf[2];
    for (size_t i = 0; i < n;) {
        size_t units;
        if (page == Page::Ansi) {
            buf[0] = tarnel::host::AnsiToWide(in[i++]);
            units = 1;
        } else {
            bool valid = true;
            char32_t cp = decodeUtf8(in, n, i, valid);
            if (!valid && strict)
                return fail(ERROR_NO_UNICODE_TRANSLATION);
            units = encodeUtf16(cp, buf);
        }
        if (cchWideChar > 0) {
            if (produced + units > size_t(cchWideChar))
                return fail(ERROR_INSUFFICIENT_BUFFER);
            for (size_t k = 0; k < units; ++k)
                lpWideCharStr[produced + k] = buf[k];
        }
        produced += units;
    }
    return static_cast<int>(produced);
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                        LPBOOL lpUsedDefaultChar) {
    Page page = pageOf(CodePage);
    if (page == Page::Unsupported || !lpWideCharStr || cchWideChar == 0 || cchWideChar < -1 ||
        cbMultiByte < 0 || (cbMultiByte > 0 && !lpMultiByteStr) ||
        (lpMultiByteStr &&
         static_cast<const void*>(lpWideCharStr) == static_cast<const void*>(lpMultiByteStr)))
        return fail(ERROR_INVALID_PARAMETER);
    if (page == Page::Utf8) {
        // UTF-8 has no default character; Windows refuses one.
        if (lpDefaultChar || lpUsedDefaultChar)
            return fail(ERROR_INVALID_PARAMETER);
        if (dwFlags & ~static_cast<DWORD>(WC_ERR_INVALID_CHARS))
            return fail(ERROR_INVALID_FLAGS);
    }

    size_t n = cchWideChar;
    if (cchWideChar == -1) {
        n = 0;
        while (lpWideCharStr[n])
            ++n;
        ++n;
    }
    bool strict = dwFlags & WC_ERR_INVALID_CHARS;
    char fallback = lpDefaultChar ? *lpDefaultChar : '?';
    bool usedDefault = false;
    size_t produced = 0;
    char buf[4];
    for (size_t i = 0; i < n;) {
        size_t bytes;
        if (page == Page::Ansi) {
            unsigned char b;
            if (!tarnel::host::WideToAnsi(lpWideCharStr[i++], b)) {
                b = static_cast<unsigned char>(fallback);
                usedDefault = true;
            }
            buf[0] = static_cast<char>(b);
            bytes = 1;
        } else {
            bool valid = true;
            char32_t cp = decodeUtf16(lpWideCharStr, n, i, valid);
            if (!valid && strict)
                return fail(ERROR_NO_UNICODE_TRANSLATION);
            bytes = encodeUtf8(cp, buf);
        }
        if (cbMultiByte > 0) {
            if (produced + bytes > size_t(cbMultiByte))
                return fail(ERROR_INSUFFICIENT_BUFFER);
            std::memcpy(lpMultiByteStr + produced, buf, bytes);
        }
        produced += bytes;
    }
    if (lpUsedDefaultChar)
        *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
    return static_cast<int>(produced);
}
