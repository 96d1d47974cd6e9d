// Wide-text primitives over 16-bit WCHAR: lengths, comparisons, searches, case mapping, number
// parsing with Windows' 32-bit LONG, and the secure-CRT copies.
#include "platform/host/runtime/wide.h"

#include <cerrno>
#include <cstdint>

namespace {

// A run of characters whose case partner is at a fixed distance, or, for the alternating runs
// of Latin Extended and Cyrillic, the partner is the neighbour (upper case at even or odd code).
struct CaseRange {
    WCHAR first;
    WCHAR last;
    int delta;   // upper + delta = lower, for plain runs
    int parity;  // -1: plain run; 0: upper case at even codes; 1: upper case at odd codes
};

// Upper-case ranges and the distance to their lower case.
constexpr CaseRange kRanges[] = {
    {0x0041, 0x005A, 32, -1}, {0x00C0, 0x00D6, 32, -1}, {0x00D8, 0x00DE, 32, -1},
    {0x0100, 0x012F, 1, 0},   {0x0132, 0x0137, 1, 0},   {0x0139, 0x0148, 1, 1},
    {0x014A, 0x0177, 1, 0},   {0x0179, 0x017E, 1, 1},   {0x0386, 0x0386, 38, -1},
    {0x0388, 0x038A, 37, -1}, {0x038C, 0x038C, 64, -1}, {0x038E, 0x038F, 63, -1},
    {0x0391, 0x03A1, 32, -1}, {0x03A3, 0x03AB, 32, -1}, {0x0400, 0x040F, 80, -1},
    {0x0410, 0x042F, 32, -1}, {0x0460, 0x0481, 1, 0},   {0x048A, 0x04BF, 1, 0},
    {0x04C1, 0x04CE, 1, 1},   {0x04D0, 0x052F, 1, 0},   {0x0531, 0x0556, 48, -1},
    {0x1E00, 0x1E95, 1, 0},   {0x1EA0, 0x1EFF, 1, 0},   {0xFF21, 0xFF3A, 32, -1},
};

// Pairs that fit no run: {upper, lower}.
constexpr WCHAR kPairs[][2] = {{0x0178, 0x00FF}, {0x0191, 0x0192}, {0x04C0, 0x04CF}};

bool isSpace(WCHAR c) {
    return c == ' ' || (c >= 0x09 && c <= 0x0D);
}

int digitValue(WCHAR c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z')
        return c - 'A' + 10;
    return 99;
}

// Reads an optionally signed number in `base`; the magnitude saturates at 2^32 so that the
// callers can apply their own limits. Returns false when no digit was read.
bool parseNumber(const WCHAR* s, WCHAR** end, int base, bool& negative, std::uint64_t& magnitude) {
    negative = false;
    magnitude = 0;
    if (end)
        *end = const_cast<WCHAR*>(s);
    if (!s || base < 0 || base == 1 || base > 36) {
        errno = EINVAL;
        return false;
    }
    const WCHAR* p = s;
    while (isSpace(*p))
        ++p;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    if ((base == 0 || base == 16) && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') &&
        digitValue(p[2]) < 16) {
        p += 2;
        base = 16;
    } else if (base == 0) {
        base = p[0] == '0' ? 8 : 10;
    }
    const WCHAR* digits = p;
    constexpr std::uint64_t kCap = 0x100000000ULL;
    for (int d; (d = digitValue(*p)) < base; ++p) {
        magnitude = magnitude * base + d;
        if (magnitude > kCap)
            magnitude = kCap;
    }
    if (p == digits)
        return false;
    if (end)
        *end = const_cast<WCHAR*>(p);
    return true;
}

}  // namespace

size_t wcslen(const WCHAR* s) {
    const WCHAR* p = s;
    while (*p)
        ++p;
    return static_cast<size_t>(p - s);
}

size_t wcsnlen(const WCHAR* s, size_t maxCount) {
    size_t n = 0;
    while (n < maxCount && s[n])
        ++n;
    return n;
}

int wcscmp(const WCHAR* a, const WCHAR* b) {
    while (*a && *a == *b)
        ++a, ++b;
    return (*a > *b) - (*a < *b);
}

int wcsncmp(const WCHAR* a, const WCHAR* b, size_t n) {
    for (; n; --n, ++a, ++b) {
        if (*a != *b)
            return *a < *b ? -1 : 1;
        if (!*a)
            return 0;
    }
    return 0;
}

int _wcsnicmp(const WCHAR* a, const WCHAR* b, size_t n) {
    for (; n; --n, ++a, ++b) {
        WCHAR ca = towlower(*a);
        WCHAR cb = towlower(*b);
        if (ca != cb)
            return ca < cb ? -1 : 1;
        if (!ca)
            return 0;
    }
    return 0;
}

int _wcsicmp(const WCHAR* a, const WCHAR* b) {
    return _wcsnicmp(a, b, SIZE_MAX);
}

WCHAR* wcschr(const WCHAR* s, WCHAR c) {
    for (;; ++s) {
        if (*s == c)
            return const_cast<WCHAR*>(s);
        if (!*s)
            return nullptr;
    }
}

WCHAR* wcsrchr(const WCHAR* s, WCHAR c) {
    const WCHAR* found = nullptr;
    for (;; ++s) {
        if (*s == c)
            found = s;
        if (!*s)
            return const_cast<WCHAR*>(found);
    }
}

WCHAR* wcsstr(const WCHAR* haystack, const WCHAR* needle) {
    if (!*needle)
        return const_cast<WCHAR*>(haystack);
    for (; *haystack; ++haystack) {
        size_t i = 0;
        while (needle[i] && haystack[i] == needle[i])
            ++i;
        if (!needle[i])
            return const_cast<WCHAR*>(haystack);
    }
    return nullptr;
}

WCHAR towlower(WCHAR c) {
    if (c < 0x80)
        return (c >= 'A' && c <= 'Z') ? static_cast<WCHAR>(c + 32) : c;
    for (const CaseRange& r : kRanges) {
        if (c < r.first || c > r.last)
            continue;
        if (r.parity < 0)
            return static_cast<WCHAR>(c + r.delta);
        return (c & 1) == r.parity ? static_cast<WCHAR>(c + 1) : c;
    }
    for (const auto& p : kPairs) {
        if (c == p[0])
            return p[1];
    }
    return c;
}

WCHAR towupper(WCHAR c) {
    if (c < 0x80)
        return (c >= 'a' && c <= 'z') ? static_cast<WCHAR>(c - 32) : c;
    if (c == 0x03C2)
        return 0x03A3;  // final sigma
    for (const CaseRange& r : kRanges) {
        if (r.parity < 0) {
            if (c >= r.first + r.delta && c <= r.last + r.delta)
                return static_cast<WCHAR>(c - r.delta);
        } else if (c > r.first && c <= r.last && (c & 1) != r.parity) {
            return static_cast<WCHAR>(c - 1);
        }
    }
    for (const auto& p : kPairs) {
        if (c == p[1])
            return p[0];
    }
    return c;
}

LONG wcstol(const WCHAR* s, WCHAR** end, int base) {
    bool negative = false;
    std::uint64_t m = 0;
    if (!parseNumber(s, end, base, negative, m))
        return 0;
    if (!negative && m > 0x7FFFFFFFULL) {
        errno = ERANGE;
        return 0x7FFFFFFF;
    }
    if (negative && m > 0x80000000ULL) {
        errno = ERANGE;
        return -0x7FFFFFFF - 1;
    }
    return negative ? static_cast<LONG>(-static_cast<std::int64_t>(m)) : static_cast<LONG>(m);
}

ULONG wcstoul(const WCHAR* s, WCHAR** end, int base) {
    bool negative = false;
    std::uint64_t m = 0;
    if (!parseNumber(s, end, base, negative, m))
        return 0;
    if (m > 0xFFFFFFFFULL) {
        errno = ERANGE;
        return 0xFFFFFFFFUL;
    }
    ULONG v = static_cast<ULONG>(m);
    return negative ? static_cast<ULONG>(0u - v) : v;
}

int _wtoi(const WCHAR* s) {
    return wcstol(s, nullptr, 10);
}
LONG _wtol(const WCHAR* s) {
    return wcstol(s, nullptr, 10);
}

int wcscpy_s(WCHAR* dest, size_t destCount, const WCHAR* src) {
    if (!dest || destCount == 0)
        return EINVAL;
    if (!src) {
        dest[0] = 0;
        return EINVAL;
    }
    size_t n = wcsnlen(src, destCount);
    if (n == destCount) {
        dest[0] = 0;
        return ERANGE;
    }
    for (size_t i = 0; i < n; ++i)
        dest[i] = src[i];
    dest[n] = 0;
    return 0;
}

int wcsncpy_s(WCHAR* dest, size_t destCount, const WCHAR* src, size_t count) {
    if (!dest)
        return (destCount == 0 && count == 0 && !src) ? 0 : EINVAL;
    if (destCount == 0)
        return EINVAL;
    if (!src) {
        dest[0] = 0;
        return count == 0 ? 0 : EINVAL;
    }
    size_t n = wcsnlen(src, count == _TRUNCATE ? destCount : count);
    int result = 0;
    if (n >= destCount) {
        if (count != _TRUNCATE) {
            dest[0] = 0;
            return ERANGE;
        }
        n = destCount - 1;
        result = STRUNCATE;
    }
    for (size_t i = 0; i < n; ++i)
        dest[i] = src[i];
    dest[n] = 0;
    return result;
}

int wcscat_s(WCHAR* dest, size_t destCount, const WCHAR* src) {
    if (!dest || destCount == 0)
        return EINVAL;
    if (!src) {
        dest[0] = 0;
        return EINVAL;
    }
    size_t used = wcsnlen(dest, destCount);
    if (used == destCount) {  // the destination is not terminated within its size
        dest[0] = 0;
        return EINVAL;
    }
    size_t n = wcsnlen(src, destCount - used);
    if (used + n >= destCount) {
        dest[0] = 0;
        return ERANGE;
    }
    for (size_t i = 0; i < n; ++i)
        dest[used + i] = src[i];
    dest[used + n] = 0;
    return 0;
}
