// libFuzzer target for XStringW/XStringA Format and XStringW Split: each result is checked
// against a plain reference built on std::u16string and snprintf, and the buffer invariants.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>
#include <vector>

#include "tool/support/xstring.h"
#include "tool/support/xstring_list.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "format_fuzz: %s\n", what);
    std::abort();
}

template <typename Ch>
void CheckInvariants(const XStringT<Ch>& s) {
    if (s.GetLength() < 0 || s.GetLength() > s.GetCapacity())
        Fail("length beyond capacity");
    for (int i = s.GetLength(); i <= s.GetCapacity(); ++i) {
        if (s.GetString()[i] != 0)
            Fail("non-zero character after the text");
    }
}

// The fixed argument list every fuzzed format is run with, in the reference's terms.
struct RefArg {
    enum Kind { Signed32, Unsigned32, Signed64, Real, Text, Null, Char } kind;
    long long integer;
    double real;
    const char* text;
};

const RefArg kArgs[] = {
    {RefArg::Signed32, -42, 0, nullptr},
    {RefArg::Unsigned32, 4294967295LL, 0, nullptr},
    {RefArg::Signed64, -1, 0, nullptr},
    {RefArg::Real, 0, 0.5, nullptr},
    {RefArg::Text, 0, 0, "txt"},
    {RefArg::Null, 0, 0, nullptr},
    {RefArg::Text, 0, 0, "object"},  // passed as a string object
    {RefArg::Char, 'c', 0, nullptr},
    {RefArg::Real, 0, 1e300, nullptr},
    {RefArg::Signed32, -2147483647LL - 1, 0, nullptr},
    {RefArg::Signed32, 7, 0, nullptr},
};
constexpr int kArgCount = sizeof(kArgs) / sizeof(kArgs[0]);

template <typename Ch>
void Run(XStringT<Ch>& s, const Ch* format, bool append) {
    const XStringT<Ch> object(sizeof(Ch) == 1 ? reinterpret_cast<const Ch*>("object")
                                              : reinterpret_cast<const Ch*>(TEXT("object")));
    const Ch txt[] = {'t', 'x', 't', 0};
    const Ch c = 'c';
    if (append) {
        s.AppendFormat(format, -42, 4294967295u, -1LL, 0.5, txt, nullptr, object, c, 1e300,
                       -2147483647 - 1, 7);
    } else {
        s.Format(format, -42, 4294967295u, -1LL, 0.5, txt, nullptr, object, c, 1e300,
                 -2147483647 - 1, 7);
    }
}

std::u16string Widen(const char* text) {
    std::u16string out;
    while (*text != 0)
        out.push_back(static_cast<unsigned char>(*text++));
    return out;
}

// The formatting language written the plain way: the width through snprintf's own zero padding.
template <typename Ch>
std::u16string Reference(const std::u16string& format) {
    std::u16string out;
    int next = 0;
    char buffer[512];
    size_t i = 0;
    while (i < format.size()) {
        if (format[i] != u'%') {
            out.push_back(format[i++]);
            continue;
        }
        ++i;
        int width = 0;
        while (i < format.size() && format[i] >= u'0' && format[i] <= u'9') {
            width = std::min(width * 10 + (format[i] - u'0'), 255);
            ++i;
        }
        if (i == format.size())
            break;
        const char16_t conversion = format[i++];
        const bool known = conversion == u'd' || conversion == u'i' || conversion == u'u' ||
                           conversion == u'x' || conversion == u'X' || conversion == u'c' ||
                           conversion == u's' || conversion == u'@' || conversion == u'f';
        if (!known)
            continue;
        if (next >= kArgCount)
            continue;
        const RefArg& a = kArgs[next++];
        const bool integer = a.kind == RefArg::Signed32 || a.kind == RefArg::Unsigned32 ||
                             a.kind == RefArg::Signed64 || a.kind == RefArg::Char;
        buffer[0] = 0;
        switch (conversion) {
            case u'd':
            case u'i':
                if (!integer)
                    break;
                if (a.kind == RefArg::Signed64) {
                    std::snprintf(buffer, sizeof(buffer), "%0*lld", width, a.integer);
                } else {
                    std::snprintf(buffer, sizeof(buffer), "%0*d", width,
                                  static_cast<int>(static_cast<unsigned>(a.integer)));
                }
                break;
            case u'u':
            case u'x':
            case u'X': {
                if (!integer)
                    break;
                const char* spec = conversion == u'u'   ? "%0*llu"
                                   : conversion == u'x' ? "%0*llx"
                                                        : "%0*llX";
                const unsigned long long value = a.kind == RefArg::Signed64
                                                     ? static_cast<unsigned long long>(a.integer)
                                                     : static_cast<unsigned>(a.integer);
                std::snprintf(buffer, sizeof(buffer), spec, width, value);
                break;
            }
            case u'c':
                if (integer) {
                    out.push_back(
                        static_cast<char16_t>(static_cast<std::make_unsigned_t<Ch>>(a.integer)));
                }
                break;
            case u's':
            case u'@':
                if (a.kind == RefArg::Text)
                    out += Widen(a.text);
                break;
            case u'f':
                if (a.kind == RefArg::Real) {
                    std::snprintf(buffer, sizeof(buffer), "%.5g", a.real);
                } else if (integer) {
                    std::snprintf(buffer, sizeof(buffer), "%.5g",
                                  a.kind == RefArg::Signed64 ? static_cast<double>(a.integer)
                                  : a.kind == RefArg::Unsigned32
                                      ? static_cast<double>(static_cast<unsigned>(a.integer))
                                      : static_cast<double>(static_cast<int>(a.integer)));
                }
                break;
        }
        out += Widen(buffer);
    }
    return out;
}

template <typename Ch>
std::u16string AsU16(const XStringT<Ch>& s) {
    std::u16string out;
    for (int i = 0; i < s.GetLength(); ++i) {
        out.push_back(
            static_cast<char16_t>(static_cast<std::make_unsigned_t<Ch>>(s.GetString()[i])));
    }
    return out;
}

template <typename Ch>
void FuzzFormat(const std::vector<Ch>& format, const std::u16string& prefix, bool append) {
    std::u16string asU16;
    for (Ch c : format) {
        if (c == 0)
            break;
        asU16.push_back(static_cast<char16_t>(static_cast<std::make_unsigned_t<Ch>>(c)));
    }
    std::vector<Ch> start;
    for (char16_t c : prefix)
        start.push_back(static_cast<Ch>(c));
    start.push_back(0);
    XStringT<Ch> s(start.data());
    Run(s, format.data(), append);
    CheckInvariants(s);
    const std::u16string expected =
        (append ? AsU16(XStringT<Ch>(start.data())) : u"") + Reference<Ch>(asU16);
    if (AsU16(s) != expected)
        Fail("formatted text differs from the reference");
}

void FuzzSplit(const std::u16string& text, const std::u16string& delimiters, bool skipEmpty) {
    const XStringW source(text.c_str());
    const XStringWList items = source.Split(delimiters.c_str(), skipEmpty);
    std::vector<std::u16string> expected;
    std::u16string item;
    for (char16_t c : text) {
        if (delimiters.find(c) != std::u16string::npos) {
            if (!item.empty() || !skipEmpty)
                expected.push_back(item);
            item.clear();
        } else {
            item.push_back(c);
        }
    }
    if (!item.empty() || !skipEmpty)
        expected.push_back(item);
    if (items.GetCount() != static_cast<int>(expected.size()))
        Fail("Split item count");
    for (int i = 0; i < items.GetCount(); ++i) {
        CheckInvariants(items.GetAt(i));
        if (AsU16(items.GetAt(i)) != expected[static_cast<size_t>(i)])
            Fail("Split item text");
    }
    if (AsU16(source) != text)
        Fail("Split changed its source");
}

// Bytes as 16-bit characters; most fuzzed bytes become plain ASCII so that '%', digits and
// letters meet often, and a high byte now and then reaches the rest of the range.
std::u16string WideFrom(const uint8_t* data, size_t size) {
    std::u16string out;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0xFF && i + 2 < size) {
            out.push_back(static_cast<char16_t>(data[i + 1] | (data[i + 2] << 8)));
            i += 2;
        } else {
            out.push_back(data[i]);
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    const uint8_t mode = data[0];
    const uint8_t split = data[1];
    data += 2;
    size -= 2;
    const std::u16string prefix = u"pre";
    switch (mode % 5) {
        case 0:
        case 1: {
            std::u16string text = WideFrom(data, size);
            std::vector<WCHAR> format(text.begin(), text.end());
            format.push_back(0);
            FuzzFormat(format, prefix, mode % 5 == 1);
            break;
        }
        case 2: {
            std::vector<char> format(data, data + size);
            format.push_back(0);
            FuzzFormat(format, prefix, (mode & 0x80) != 0);
            break;
        }
        case 3: {
            // The format and the arguments are the string itself.
            std::u16string text = WideFrom(data, size);
            const size_t zero = text.find(u'\0');
            if (zero != std::u16string::npos)
                text.resize(zero);
            XStringW s(text.c_str());
            if ((mode & 0x80) != 0) {
                s.AppendFormat(s.GetString(), s, s.GetString());
            } else {
                s.Format(s.GetString(), s, s.GetString());
            }
            CheckInvariants(s);
            break;
        }
        case 4: {
            const size_t delimiterCount = split % 4;
            if (size < delimiterCount)
                return 0;
            std::u16string delimiters;
            for (size_t i = 0; i < delimiterCount; ++i) {
                if (data[i] != 0)
                    delimiters.push_back(data[i]);
            }
            std::u16string text = WideFrom(data + delimiterCount, size - delimiterCount);
            const size_t zero = text.find(u'\0');
            if (zero != std::u16string::npos)
                text.resize(zero);
            FuzzSplit(text, delimiters, (split & 0x80) != 0);
            break;
        }
    }
    return 0;
}
