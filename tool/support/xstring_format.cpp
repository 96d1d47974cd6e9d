// The formatting language of XStringW / XStringA: %[width] followed by d i u x X c s f @; the
// output is measured first, so a string grows once, to the exact size.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tool/support/xstring.h"

namespace {

constexpr int kWorkChars = 256;  // numbers are built here; a width is at most kWorkChars - 1
constexpr int kMaxWidth = kWorkChars - 1;

template <typename Ch>
struct CountSink {
    size_t count = 0;
    void Put(const Ch*, int n) { count += static_cast<size_t>(n); }
};

template <typename Ch>
struct WriteSink {
    Ch* at;
    void Put(const Ch* chars, int n) {
        if (n <= 0)
            return;
        std::memcpy(at, chars, static_cast<size_t>(n) * sizeof(Ch));
        at += n;
    }
};

template <typename Ch>
bool IsInteger(const XFormatArg<Ch>& arg) {
    return arg.kind == XFormatArg<Ch>::Kind::Signed || arg.kind == XFormatArg<Ch>::Kind::Unsigned;
}

// Digits of `magnitude` in `base`, zeros in front up to `width` (the sign counts towards it).
template <typename Ch>
int RenderNumber(Ch* work, unsigned long long magnitude, bool negative, unsigned base, bool upper,
                 int width) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char reversed[64];
    int n = 0;
    do {
        reversed[n++] = digits[magnitude % base];
        magnitude /= base;
    } while (magnitude != 0);
    int out = 0;
    if (negative)
        work[out++] = '-';
    for (int pad = width - n - out; pad > 0; --pad)
        work[out++] = '0';
    while (n > 0)
        work[out++] = static_cast<Ch>(reversed[--n]);
    return out;
}

template <typename Ch>
int RenderSigned(Ch* work, const XFormatArg<Ch>& arg, int width) {
    const long long value = arg.wide ? static_cast<long long>(arg.bits)
                                     : static_cast<int>(static_cast<unsigned>(arg.bits));
    const unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                                   : static_cast<unsigned long long>(value);
    return RenderNumber(work, magnitude, value < 0, 10, false, width);
}

template <typename Ch>
int RenderUnsigned(Ch* work, const XFormatArg<Ch>& arg, unsigned base, bool upper, int width) {
    const unsigned long long value = arg.wide ? arg.bits : static_cast<unsigned>(arg.bits);
    return RenderNumber(work, value, false, base, upper, width);
}

template <typename Ch>
int RenderReal(Ch* work, const XFormatArg<Ch>& arg) {
    double value = arg.real;
    if (arg.kind == XFormatArg<Ch>::Kind::Signed) {
        value = arg.wide ? static_cast<double>(static_cast<long long>(arg.bits))
                         : static_cast<double>(static_cast<int>(static_cast<unsigned>(arg.bits)));
    } else if (arg.kind == XFormatArg<Ch>::Kind::Unsigned) {
        value = arg.wide ? static_cast<double>(arg.bits)
                         : static_cast<double>(static_cast<unsigned>(arg.bits));
    }
    char narrow[64];
    const int n = std::snprintf(narrow, sizeof(narrow), "%.5g", value);
    int out = 0;
    for (int i = 0; i < n && i < static_cast<int>(sizeof(narrow)) - 1; ++i) {
        work[out++] = static_cast<Ch>(static_cast<unsigned char>(narrow[i]));
    }
    return out;
}

template <typename Ch>
int TextLength(const Ch* text) {
    size_t n = 0;
    while (text[n] != 0)
        ++n;
    return n > static_cast<size_t>(INT_MAX / 4) ? INT_MAX / 4 : static_cast<int>(n);
}

}  // namespace

template <typename Ch>
template <typename Sink>
void XStringT<Ch>::RunFormat(Sink& sink, const Ch* format, const XFormatArg<Ch>* args, int count) {
    using Kind = typename XFormatArg<Ch>::Kind;
    int next = 0;
    auto take = [&]() -> const XFormatArg<Ch>* { return next < count ? &args[next++] : nullptr; };
    Ch work[kWorkChars];

    const Ch* p = format;
    while (*p != 0) {
        if (*p != '%') {
            const Ch* run = p;
            while (*p != 0 && *p != '%')
                ++p;
            sink.Put(run, static_cast<int>(p - run));
            continue;
        }
        ++p;
        int width = 0;
        while (*p >= '0' && *p <= '9') {
            width = width * 10 + (*p - '0');
            if (width > kMaxWidth)
                width = kMaxWidth;
            ++p;
        }
        if (*p == 0)
            break;
        const Ch conversion = *p++;
        const XFormatArg<Ch>* arg = nullptr;
        switch (conversion) {
            case 'd':
            case 'i':
                arg = take();
                if (arg != nullptr && IsInteger(*arg))
                    sink.Put(work, RenderSigned(work, *arg, width));
                break;
            case 'u':
            case 'x':
            case 'X':
                arg = take();
                if (arg != nullptr && IsInteger(*arg)) {
                    const unsigned base = conversion == 'u' ? 10 : 16;
                    sink.Put(work, RenderUnsigned(work, *arg, base, conversion == 'X', width));
                }
                break;
            case 'c':
                arg = take();
                if (arg != nullptr && IsInteger(*arg)) {
                    // The low 16 (or 8) bits, as the character width holds them.
                    work[0] = static_cast<Ch>(arg->bits);
                    sink.Put(work, 1);
                }
                break;
            case 's':
            case '@':
                arg = take();
                if (arg != nullptr && arg->kind == Kind::Text && arg->text != nullptr) {
                    const int n = arg->textLength >= 0 ? arg->textLength : TextLength(arg->text);
                    sink.Put(arg->text, n);
                }
                break;
            case 'f':
                arg = take();
                if (arg != nullptr && (arg->kind == Kind::Real || IsInteger(*arg))) {
                    sink.Put(work, RenderReal(work, *arg));
                }
                break;
            default:
                // Unknown conversions (including "%%") write nothing and take no argument.
                break;
        }
    }
}

template <typename Ch>
void XStringT<Ch>::FormatArgs(const Ch* format, const XFormatArg<Ch>* args, int count,
                              bool append) {
    // An argument (or the format) taken from this string's own buffer is read while the text is
    // rebuilt: format into a separate string, then take its buffer.
    bool aliased = Holds(format);
    for (int i = 0; i < count; ++i) {
        if (args[i].kind == XFormatArg<Ch>::Kind::Text && Holds(args[i].text))
            aliased = true;
    }
    if (aliased) {
        XStringT built;
        if (append)
            built.AssignChars(text_, length_);
        built.FormatArgs(format, args, count, append);
        Swap(built);
        return;
    }

    if (!append) {
        Empty();
        if (capacity_ < 64)
            Reallocate(64);
    }
    if (format == nullptr)
        return;

    CountSink<Ch> counter;
    RunFormat(counter, format, args, count);
    if (counter.count == 0)
        return;
    if (counter.count > static_cast<size_t>(INT_MAX / 4 - length_)) {
        std::fputs("Tarnel: text too long\n", stderr);
        std::abort();
    }
    const int total = length_ + static_cast<int>(counter.count);
    if (total > capacity_)
        Reallocate(total);
    WriteSink<Ch> writer{text_ + length_};
    RunFormat(writer, format, args, count);
    length_ = total;
}

template void XStringT<WCHAR>::FormatArgs(const WCHAR*, const XFormatArg<WCHAR>*, int, bool);
template void XStringT<char>::FormatArgs(const char*, const XFormatArg<char>*, int, bool);
