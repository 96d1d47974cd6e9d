// Wide-text primitives of the host: comparisons, searches, case mapping, number parsing and the
// secure-CRT copies. <cwchar> and <cwctype> are included first on purpose: the WCHAR overloads
// must coexist with libc's wchar_t functions.
#include <cerrno>
#include <cwchar>
#include <cwctype>

#include <gtest/gtest.h>

#include "platform/host/runtime/wide.h"

namespace {

int sign(int v) {
    return (v > 0) - (v < 0);
}

TEST(WideText, LengthsAndSearches) {
    const WCHAR* s = TEXT("a\\b\\c.inf");
    EXPECT_EQ(9u, wcslen(s));
    EXPECT_EQ(0u, wcslen(TEXT("")));
    EXPECT_EQ(3u, wcsnlen(s, 3));
    EXPECT_EQ(9u, wcsnlen(s, 100));
    EXPECT_EQ(s + 1, wcschr(s, '\\'));
    EXPECT_EQ(s + 3, wcsrchr(s, '\\'));
    EXPECT_EQ(s + 9, wcschr(s, 0)) << "the terminator is part of the string";
    EXPECT_EQ(nullptr, wcschr(s, 'z'));
    EXPECT_EQ(nullptr, wcsrchr(s, 'z'));
    EXPECT_EQ(s + 4, wcsstr(s, TEXT("c.i")));
    EXPECT_EQ(s, wcsstr(s, TEXT("")));
    EXPECT_EQ(nullptr, wcsstr(s, TEXT("c.inx")));
    EXPECT_EQ(nullptr, wcsstr(TEXT("ab"), TEXT("abc")));
}

TEST(WideText, Comparisons) {
    struct Row {
        const WCHAR* a;
        const WCHAR* b;
        size_t n;
        int cmp, ncmp, icmp, nicmp;
    } rows[] = {
        {TEXT("abc"), TEXT("abc"), 3, 0, 0, 0, 0},
        {TEXT("abc"), TEXT("abd"), 2, -1, 0, -1, 0},
        {TEXT("ab"), TEXT("abc"), 5, -1, -1, -1, -1},
        {TEXT("ABC"), TEXT("abc"), 3, -1, -1, 0, 0},
        {TEXT("oem12.INF"), TEXT("OEM12.inf"), 3, 1, 1, 0, 0},
        // Latin-1 and Cyrillic fold too.
        {TEXT("\u00c9T\u00c9"), TEXT("\u00e9t\u00e9"), 3, -1, -1, 0, 0},
        {TEXT("\u041f\u0420\u0418"), TEXT("\u043f\u0440\u0438"), 3, -1, -1, 0, 0},
        // Code units compare unsigned: U+FFFF sorts after every ASCII letter.
        {TEXT("\uffff"), TEXT("z"), 1, 1, 1, 1, 1},
        // msvcrt folds to lower case: '_' (0x5F) sorts before 'a'.
        {TEXT("_"), TEXT("A"), 1, 1, 1, -1, -1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "row " << (&r - rows));
        EXPECT_EQ(r.cmp, sign(wcscmp(r.a, r.b)));
        EXPECT_EQ(r.ncmp, sign(wcsncmp(r.a, r.b, r.n)));
        EXPECT_EQ(r.icmp, sign(_wcsicmp(r.a, r.b)));
        EXPECT_EQ(r.nicmp, sign(_wcsnicmp(r.a, r.b, r.n)));
        EXPECT_EQ(-r.cmp, sign(wcscmp(r.b, r.a)));
    }
}

TEST(WideText, CaseMapping) {
    struct Pair {
        WCHAR upper, lower;
    } pairs[] = {
        {'A', 'a'},       {'Z', 'z'},       {0x00C0, 0x00E0}, {0x00DE, 0x00FE}, {0x0178, 0x00FF},
        {0x0160, 0x0161}, {0x0152, 0x0153}, {0x017D, 0x017E}, {0x0191, 0x0192}, {0x0100, 0x0101},
        {0x0139, 0x013A}, {0x0147, 0x0148}, {0x0386, 0x03AC}, {0x038F, 0x03CE}, {0x0391, 0x03B1},
        {0x03A9, 0x03C9}, {0x0401, 0x0451}, {0x0410, 0x0430}, {0x042F, 0x044F}, {0x0490, 0x0491},
        {0x04C0, 0x04CF}, {0x04C1, 0x04C2}, {0xFF21, 0xFF41},
    };
    for (const Pair& p : pairs) {
        SCOPED_TRACE(testing::Message() << std::hex << "U+" << int(p.upper));
        EXPECT_EQ(p.lower, towlower(p.upper));
        EXPECT_EQ(p.upper, towupper(p.lower));
        EXPECT_EQ(p.upper, towupper(p.upper));
        EXPECT_EQ(p.lower, towlower(p.lower));
    }
    EXPECT_EQ(0x03A3, towupper(WCHAR(0x03C2))) << "final sigma";
    // Characters without a case partner stay as they are.
    for (WCHAR c : {WCHAR('@'), WCHAR('['), WCHAR('`'), WCHAR('{'), WCHAR('5'), WCHAR(0x00D7),
                    WCHAR(0x00F7), WCHAR(0x00DF), WCHAR(0x20AC), WCHAR(0x4E2D)}) {
        EXPECT_EQ(c, towupper(c));
        EXPECT_EQ(c, towlower(c));
    }
    // ASCII exactly, and every mapping is a round trip.
    for (unsigned c = 0; c < 0x10000; ++c) {
        WCHAR w = WCHAR(c);
        if (c < 0x80) {
            ASSERT_EQ(c >= 'a' && c <= 'z' ? c - 32 : c, towupper(w)) << c;
            ASSERT_EQ(c >= 'A' && c <= 'Z' ? c + 32 : c, towlower(w)) << c;
        }
        if (towlower(w) != w) {
            ASSERT_EQ(w, towupper(towlower(w))) << std::hex << c;
        }
        if (towupper(w) != w && c != 0x03C2) {
            ASSERT_EQ(w, towlower(towupper(w))) << std::hex << c;
        }
    }
}

TEST(WideText, NumberParsing) {
    struct Row {
        const WCHAR* text;
        int base;
        LONG value;
        ULONG uvalue;
        size_t consumed;
        bool range;
    } rows[] = {
        {TEXT("123"), 10, 123, 123, 3, false},
        {TEXT("  -42xyz"), 10, -42, ULONG(-42), 5, false},
        {TEXT("+7"), 10, 7, 7, 2, false},
        {TEXT("0x1F"), 0, 31, 31, 4, false},
        {TEXT("0x1F"), 16, 31, 31, 4, false},
        {TEXT("1F"), 16, 31, 31, 2, false},
        {TEXT("017"), 0, 15, 15, 3, false},
        {TEXT("0xg"), 0, 0, 0, 1, false},
        {TEXT("zz"), 36, 1295, 1295, 2, false},
        {TEXT("abc"), 10, 0, 0, 0, false},
        {TEXT(""), 10, 0, 0, 0, false},
        {TEXT("-"), 10, 0, 0, 0, false},
        {TEXT("2147483647"), 10, 2147483647, 2147483647u, 10, false},
        {TEXT("-2147483648"), 10, -2147483647 - 1, 2147483648u, 11, false},
        {TEXT("-1"), 10, -1, 0xFFFFFFFFu, 2, false},
        {TEXT("4294967295"), 10, 2147483647, 0xFFFFFFFFu, 10, true},
        {TEXT("99999999999999999999"), 10, 2147483647, 0xFFFFFFFFu, 20, true},
        {TEXT("-99999999999"), 10, -2147483647 - 1, 0xFFFFFFFFu, 12, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "row " << (&r - rows));
        WCHAR* end = nullptr;
        errno = 0;
        EXPECT_EQ(r.value, wcstol(r.text, &end, r.base));
        EXPECT_EQ(r.text + r.consumed, end);
        bool signedRange = errno == ERANGE;
        errno = 0;
        EXPECT_EQ(r.uvalue, wcstoul(r.text, &end, r.base));
        EXPECT_EQ(r.text + r.consumed, end);
        // Only the widest values overflow both; 4294967295 overflows LONG alone.
        if (r.range) {
            EXPECT_TRUE(signedRange);
        }
        if (r.base == 10) {
            EXPECT_EQ(r.value, _wtoi(r.text));
        }
    }
    WCHAR* end = nullptr;
    EXPECT_EQ(0, wcstol(TEXT("12"), &end, 1));
    EXPECT_EQ(0, wcstol(TEXT("12"), &end, 37));
}

TEST(WideText, SecureCopies) {
    WCHAR buf[6];
    auto fill = [&] {
        for (WCHAR& c : buf)
            c = 'X';
    };
    fill();
    EXPECT_EQ(0, wcscpy_s(buf, 6, TEXT("abcde")));
    EXPECT_EQ(0, wcscmp(buf, TEXT("abcde")));
    fill();
    EXPECT_EQ(ERANGE, wcscpy_s(buf, 6, TEXT("abcdef")));
    EXPECT_EQ(0, buf[0]);
    EXPECT_EQ(EINVAL, wcscpy_s(buf, 6, nullptr));
    EXPECT_EQ(0, buf[0]);
    EXPECT_EQ(EINVAL, wcscpy_s(nullptr, 6, TEXT("a")));

    fill();
    EXPECT_EQ(0, wcsncpy_s(buf, 6, TEXT("abcdefgh"), 3));
    EXPECT_EQ(0, wcscmp(buf, TEXT("abc")));
    EXPECT_EQ(ERANGE, wcsncpy_s(buf, 6, TEXT("abcdefgh"), 6));
    EXPECT_EQ(0, buf[0]);
    EXPECT_EQ(STRUNCATE, wcsncpy_s(buf, 6, TEXT("abcdefgh"), _TRUNCATE));
    EXPECT_EQ(0, wcscmp(buf, TEXT("abcde")));
    EXPECT_EQ(0, wcsncpy_s(buf, 6, TEXT("ab"), _TRUNCATE));
    EXPECT_EQ(0, wcscmp(buf, TEXT("ab")));

    EXPECT_EQ(0, wcscat_s(buf, 6, TEXT("cde")));
    EXPECT_EQ(0, wcscmp(buf, TEXT("abcde")));
    EXPECT_EQ(ERANGE, wcscat_s(buf, 6, TEXT("f")));
    EXPECT_EQ(0, buf[0]);
    fill();
    EXPECT_EQ(EINVAL, wcscat_s(buf, 6, TEXT("a"))) << "unterminated destination";
    EXPECT_EQ(0, buf[0]);
}

}  // namespace
