// Registry name comparison (Windows' upcase mapping) and UTF-8/UTF-16 conversion.
// Pure functions; used by the hive file, the registry store and tarnel-host.
#include "platform/host/machine/hive_text.h"

namespace tarnel::host {

namespace {

// Blocks where upper and lower case alternate: the even unit is upper case when `evenUpper`.
struct PairBlock {
    char16_t first;
    char16_t last;
    bool evenUpper;
};

constexpr PairBlock kPairBlocks[] = {
    {0x0100, 0x012F, true}, {0x0132, 0x0137, true},  {0x0139, 0x0148, false},
    {0x014A, 0x0177, true}, {0x0179, 0x017E, false}, {0x0460, 0x0481, true},
    {0x048A, 0x04BF, true}, {0x04C1, 0x04CE, false}, {0x04D0, 0x052F, true},
};

}  // namespace

char16_t RegistryUpcase(char16_t c) {
    if (c < 0x80)
        return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
        return static_cast<char16_t>(c - 0x20);
    if (c == 0xFF)
        return 0x0178;
    for (const PairBlock& b : kPairBlocks) {
        if (c >= b.first && c <= b.last) {
            bool even = (c % 2) == 0;
            return (even == b.evenUpper) ? c : static_cast<char16_t>(c - 1);
        }
    }
    if (c >= 0x03B1 && c <= 0x03CB && c != 0x03C2)
        return static_cast<char16_t>(c - 0x20);
    if (c == 0x03C2)
        return 0x03A3;  // final sigma
    if (c == 0x03AC)
        return 0x0386;
    if (c >= 0x03AD && c <= 0x03AF)
        return static_cast<char16_t>(c - 0x25);
    if (c == 0x03CC)
        return 0x038C;
    if (c == 0x03CD || c == 0x03CE)
        return static_cast<char16_t>(c - 0x3F);
    if (c >= 0x0430 && c <= 0x044F)
        return static_cast<char16_t>(c - 0x20);
    if (c >= 0x0450 && c <= 0x045F)
        return static_cast<char16_t>(c - 0x50);
    if (c >= 0x0561 && c <= 0x0586)
        return static_cast<char16_t>(c - 0x30);
    if (c >= 0xFF41 && c <= 0xFF5A)
        return static_cast<char16_t>(c - 0x20);
    return c;
}

std::u16string RegistryUpcase(std::u16string_view s) {
    std::u16string out(s);
    for (char16_t& c : out)
        c = RegistryUpcase(c);
    return out;
}

bool RegistryNamesEqual(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (RegistryUpcase(a[i]) != RegistryUpcase(b[i]))
            return false;
    }
    return true;
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string Utf16ToUtf8Lossy(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char16_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((char32_t(c) - 0xD800) << 10) + (s[i + 1] - 0xDC00));
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            AppendUtf8(out, 0xFFFD);
        } else {
            AppendUtf8(out, c);
        }
    }
    return out;
}

bool Utf8ToUtf16(std::string_view s, std::u16string& out) {
    out.clear();
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        char32_t cp;
        size_t extra;
        char32_t min;
        if (b < 0x80) {
            out += static_cast<char16_t>(b);
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            cp = b & 0x1F;
            extra = 1;
            min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            cp = b & 0x0F;
            extra = 2;
            min = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            cp = b & 0x07;
            extra = 3;
            min = 0x10000;
        } else {
            return false;
        }
        if (i + extra >= s.size())
            return false;
        for (size_t k = 1; k <= extra; ++k) {
            unsigned char t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (t & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += extra + 1;
    }
    return true;
}

}  // namespace tarnel::host
