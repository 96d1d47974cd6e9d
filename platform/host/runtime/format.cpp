// The msvcrt family of wide printf functions: %s is a wide text, %S and %hs narrow (Windows-1252),
// %l is 32-bit (LLP64), %I/%I32/%I64 sizes, %p as msvcrt prints it, and msvcrt truncation rules.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/host/runtime/codepage.h"
#include "platform/host/runtime/wide.h"

namespace {

// Receives the formatted characters; keeps the first `capacity` and counts them all.
class Sink {
  public:
    Sink(WCHAR* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}

    void put(WCHAR c) {
        if (count_ < capacity_)
            buffer_[count_] = c;
        ++count_;
    }
    void repeat(WCHAR c, long n) {
        for (; n > 0; --n)
            put(c);
    }
    void ascii(const char* s, size_t n) {
        for (size_t i = 0; i < n; ++i)
            put(static_cast<unsigned char>(s[i]));
    }
    size_t count() const { return count_; }

  private:
    WCHAR* buffer_;
    size_t capacity_;
    size_t count_ = 0;
};

enum class Size { Default, Char, Short, Long32, Long64, Pointer, LongDouble, Wide };

struct Spec {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alt = false;
    bool zero = false;
    long width = 0;
    long precision = -1;  // -1: none given
    Size size = Size::Default;
};

void pad(Sink& out, const Spec& spec, long length, bool before) {
    if (spec.left != before)
        out.repeat(' ', spec.width - length);
}

void emitInteger(Sink& out, const Spec& spec, std::uint64_t value, bool negative, unsigned base,
                 bool upper, bool isSigned) {
    char digits[72];
    size_t n = 0;
    const char* alphabet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    for (std::uint64_t v = value; v; v /= base)
        digits[n++] = alphabet[v % base];
    // A zero precision prints nothing for zero, except that '#' keeps octal's leading zero.
    if (value == 0 && spec.precision != 0)
        digits[n++] = '0';
    long zeros = spec.precision > long(n) ? spec.precision - long(n) : 0;
    if (base == 8 && spec.alt && zeros == 0 && (n == 0 || digits[n - 1] != '0'))
        zeros = 1;

    char prefix[3] = {};
    size_t prefixLength = 0;
    if (isSigned && negative)
        prefix[prefixLength++] = '-';
    else if (isSigned && spec.plus)
        prefix[prefixLength++] = '+';
    else if (isSigned && spec.space)
        prefix[prefixLength++] = ' ';
    if (base == 16 && spec.alt && value != 0) {
        prefix[prefixLength++] = '0';
        prefix[prefixLength++] = upper ? 'X' : 'x';
    }
    long body = long(prefixLength) + zeros + long(n);
    if (spec.zero && !spec.left && spec.precision < 0 && spec.width > body) {
        zeros += spec.width - body;
        body = spec.width;
    }
    pad(out, spec, body, true);
    out.ascii(prefix, prefixLength);
    out.repeat('0', zeros);
    while (n)
        out.put(static_cast<unsigned char>(digits[--n]));
    pad(out, spec, body, false);
}

void emitWide(Sink& out, const Spec& spec, const WCHAR* text) {
    static const WCHAR kNull[] = u"(null)";
    if (!text)
        text = kNull;
    size_t n = spec.precision >= 0 ? wcsnlen(text, size_t(spec.precision)) : wcslen(text);
    pad(out, spec, long(n), true);
    for (size_t i = 0; i < n; ++i)
        out.put(text[i]);
    pad(out, spec, long(n), false);
}

void emitNarrow(Sink& out, const Spec& spec, const char* text) {
    if (!text)
        text = "(null)";
    size_t n = spec.precision >= 0 ? strnlen(text, size_t(spec.precision)) : std::strlen(text);
    pad(out, spec, long(n), true);
    for (size_t i = 0; i < n; ++i)
        out.put(tarnel::host::AnsiToWide(static_cast<unsigned char>(text[i])));
    pad(out, spec, long(n), false);
}

void emitChar(Sink& out, const Spec& spec, WCHAR c) {
    pad(out, spec, 1, true);
    out.put(c);
    pad(out, spec, 1, false);
}

// Floating point goes through the C library's conversion of the same spec (C99/UCRT notation:
// two-digit exponents, "inf" and "nan").
template <typename T>
void emitFloat(Sink& out, const Spec& spec, char conversion, T value) {
    char format[16];
    size_t k = 0;
    format[k++] = '%';
    if (spec.left)
        format[k++] = '-';
    if (spec.plus)
        format[k++] = '+';
    if (spec.space)
        format[k++] = ' ';
    if (spec.alt)
        format[k++] = '#';
    if (spec.zero)
        format[k++] = '0';
    format[k++] = '*';
    format[k++] = '.';
    format[k++] = '*';
    if constexpr (sizeof(T) > sizeof(double))
        format[k++] = 'L';
    format[k++] = conversion;
    format[k] = 0;
    int width = int(spec.width);
    int precision = int(spec.precision);
    char small[128];
    int n = std::snprintf(small, sizeof small, format, width, precision, value);
    if (n < 0)
        return;
    if (size_t(n) < sizeof small) {
        out.ascii(small, size_t(n));
        return;
    }
    std::string big(size_t(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), format, width, precision, value);
    out.ascii(big.data(), size_t(n));
}

long readCount(const WCHAR*& p, va_list args) {
    if (*p == '*') {
        ++p;
        return va_arg(args, int);
    }
    long n = 0;
    while (*p >= '0' && *p <= '9') {
        if (n < INT_MAX / 10)
            n = n * 10 + (*p - '0');
        ++p;
    }
    return n;
}

// Formats into `out`; returns false when the format is refused (null).
bool format(Sink& out, const WCHAR* fmt, va_list args) {
    if (!fmt)
        return false;
    for (const WCHAR* p = fmt; *p;) {
        if (*p != '%') {
            out.put(*p++);
            continue;
        }
        const WCHAR* start = p++;
        Spec spec;
        for (;; ++p) {
            if (*p == '-')
                spec.left = true;
            else if (*p == '+')
                spec.plus = true;
            else if (*p == ' ')
                spec.space = true;
            else if (*p == '#')
                spec.alt = true;
            else if (*p == '0')
                spec.zero = true;
            else
                break;
        }
        spec.width = readCount(p, args);
        if (spec.width < 0) {
            spec.left = true;
            spec.width = -spec.width;
        }
        if (*p == '.') {
            ++p;
            spec.precision = readCount(p, args);
            if (spec.precision < 0)
                spec.precision = -1;
        }
        if (*p == 'h') {
            spec.size = p[1] == 'h' ? Size::Char : Size::Short;
            p += p[1] == 'h' ? 2 : 1;
        } else if (*p == 'l') {
            spec.size = p[1] == 'l' ? Size::Long64 : Size::Long32;
            p += p[1] == 'l' ? 2 : 1;
        } else if (*p == 'L' || *p == 'j' || *p == 'q') {
            spec.size = *p == 'L' ? Size::LongDouble : Size::Long64;
            ++p;
        } else if (*p == 'w') {
            spec.size = Size::Wide;
            ++p;
        } else if (*p == 'z' || *p == 't') {
            spec.size = Size::Pointer;
            ++p;
        } else if (*p == 'I') {
            if (p[1] == '6' && p[2] == '4') {
                spec.size = Size::Long64;
                p += 3;
            } else if (p[1] == '3' && p[2] == '2') {
                spec.size = Size::Long32;
                p += 3;
            } else {
                spec.size = Size::Pointer;
                ++p;
            }
        }

        WCHAR conversion = *p;
        if (conversion)
            ++p;
        switch (conversion) {
            case 'd':
            case 'i': {
                std::int64_t v;
                switch (spec.size) {
                    case Size::Char:
                        v = static_cast<signed char>(va_arg(args, int));
                        break;
                    case Size::Short:
                        v = static_cast<short>(va_arg(args, int));
                        break;
                    case Size::Long64:
                    case Size::LongDouble:
                        v = va_arg(args, long long);
                        break;
                    case Size::Pointer:
                        v = va_arg(args, std::intptr_t);
                        break;
                    default:
                        v = va_arg(args, int);
                        break;
                }
                std::uint64_t magnitude =
                    v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
                emitInteger(out, spec, magnitude, v < 0, 10, false, true);
                break;
            }
            case 'u':
            case 'o':
            case 'x':
            case 'X': {
                std::uint64_t v;
                switch (spec.size) {
                    case Size::Char:
                        v = static_cast<unsigned char>(va_arg(args, unsigned));
                        break;
                    case Size::Short:
                        v = static_cast<unsigned short>(va_arg(args, unsigned));
                        break;
                    case Size::Long64:
                    case Size::LongDouble:
                        v = va_arg(args, unsigned long long);
                        break;
                    case Size::Pointer:
                        v = va_arg(args, std::uintptr_t);
                        break;
                    default:
                        v = va_arg(args, unsigned);
                        break;
                }
                unsigned base = conversion == 'u' ? 10 : conversion == 'o' ? 8 : 16;
                emitInteger(out, spec, v, false, base, conversion == 'X', false);
                break;
            }
            case 'p': {
                Spec hex = spec;
                hex.precision = 2 * sizeof(void*);
                hex.alt = hex.zero = false;
                auto v = reinterpret_cast<std::uintptr_t>(va_arg(args, void*));
                emitInteger(out, hex, v, false, 16, true, false);
                break;
            }
            case 'c':
            case 'C': {
                bool narrow =
                    spec.size == Size::Short || spec.size == Size::Char ||
                    (conversion == 'C' && spec.size != Size::Long32 && spec.size != Size::Wide);
                int c = va_arg(args, int);
                emitChar(out, spec,
                         narrow ? tarnel::host::AnsiToWide(static_cast<unsigned char>(c))
                                : static_cast<WCHAR>(c));
                break;
            }
            case 's':
            case 'S': {
                bool narrow =
                    spec.size == Size::Short || spec.size == Size::Char ||
                    (conversion == 'S' && spec.size != Size::Long32 && spec.size != Size::Wide);
                if (narrow)
                    emitNarrow(out, spec, va_arg(args, const char*));
                else
                    emitWide(out, spec, va_arg(args, const WCHAR*));
                break;
            }
            case 'e':
            case 'E':
            case 'f':
            case 'F':
            case 'g':
            case 'G':
            case 'a':
            case 'A':
                if (spec.size == Size::LongDouble)
                    emitFloat(out, spec, char(conversion), va_arg(args, long double));
                else
                    emitFloat(out, spec, char(conversion), va_arg(args, double));
                break;
            case '%':
                out.put('%');
                break;
            default:
                // Unknown conversions, %n among them (it would write through an argument), are
                // copied as written and take no argument.
                for (const WCHAR* q = start; q < p; ++q)
                    out.put(*q);
                break;
        }
    }
    return true;
}

int finish(size_t total) {
    return total > size_t(INT_MAX) ? -1 : int(total);
}

}  // namespace

int _vsnwprintf(WCHAR* buffer, size_t count, const WCHAR* fmt, va_list args) {
    if (!buffer && count != 0) {
        errno = EINVAL;
        return -1;
    }
    Sink out(buffer, count);
    if (!format(out, fmt, args)) {
        errno = EINVAL;
        return -1;
    }
    size_t total = out.count();
    if (!buffer)
        return finish(total);
    if (total < count) {
        buffer[total] = 0;
        return finish(total);
    }
    return total == count ? finish(total) : -1;
}

int _snwprintf(WCHAR* buffer, size_t count, const WCHAR* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int n = _vsnwprintf(buffer, count, fmt, args);
    va_end(args);
    return n;
}

int _vscwprintf(const WCHAR* fmt, va_list args) {
    Sink out(nullptr, 0);
    if (!format(out, fmt, args)) {
        errno = EINVAL;
        return -1;
    }
    return finish(out.count());
}

int _scwprintf(const WCHAR* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int n = _vscwprintf(fmt, args);
    va_end(args);
    return n;
}

int _vsnwprintf_s(WCHAR* buffer, size_t sizeOfBuffer, size_t count, const WCHAR* fmt,
                  va_list args) {
    if (!buffer || sizeOfBuffer == 0) {
        errno = EINVAL;
        return -1;
    }
    buffer[0] = 0;
    bool truncates = count == _TRUNCATE || count < sizeOfBuffer;
    size_t limit = count < sizeOfBuffer ? count : sizeOfBuffer - 1;
    Sink out(buffer, limit);
    if (!format(out, fmt, args)) {
        buffer[0] = 0;
        errno = EINVAL;
        return -1;
    }
    size_t total = out.count();
    if (total <= limit) {
        buffer[total] = 0;
        return finish(total);
    }
    if (truncates) {
        buffer[limit] = 0;
        return -1;
    }
    buffer[0] = 0;
    errno = ERANGE;
    return -1;
}

int _snwprintf_s(WCHAR* buffer, size_t sizeOfBuffer, size_t count, const WCHAR* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int n = _vsnwprintf_s(buffer, sizeOfBuffer, count, fmt, args);
    va_end(args);
    return n;
}

int vswprintf_s(WCHAR* buffer, size_t sizeOfBuffer, const WCHAR* fmt, va_list args) {
    if (!buffer || sizeOfBuffer == 0) {
        errno = EINVAL;
        return -1;
    }
    Sink out(buffer, sizeOfBuffer - 1);
    bool ok = format(out, fmt, args);
    size_t total = out.count();
    if (!ok || total >= sizeOfBuffer) {
        buffer[0] = 0;
        errno = ok ? ERANGE : EINVAL;
        return -1;
    }
    buffer[total] = 0;
    return finish(total);
}

int swprintf_s(WCHAR* buffer, size_t sizeOfBuffer, const WCHAR* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int n = vswprintf_s(buffer, sizeOfBuffer, fmt, args);
    va_end(args);
    return n;
}
