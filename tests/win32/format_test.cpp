// The msvcrt wide printf family: every conversion, flag and size the tool uses, and the
// truncation rules of _vsnwprintf, _vsnwprintf_s and swprintf_s.
#include <climits>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "platform/host/runtime/wide.h"

namespace {

// Formats through _vsnwprintf and checks that _vscwprintf predicts the same length.
std::u16string F(const WCHAR* format, ...) {
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    WCHAR buffer[512];
    int n = _vsnwprintf(buffer, 512, format, args);
    int predicted = _vscwprintf(format, again);
    va_end(again);
    va_end(args);
    EXPECT_EQ(n, predicted);
    if (n < 0)
        return u"<failed>";
    return std::u16string(buffer, size_t(n));
}

struct Case {
    const char* label;
    std::u16string expected;
    std::u16string actual;
};

void Check(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.expected, c.actual);
    }
}

TEST(WidePrintf, Integers) {
    Check({
        {"%d", u"42 -42", F(TEXT("%d %d"), 42, -42)},
        {"%i", u"-7", F(TEXT("%i"), -7)},
        {"width", u"[   42]", F(TEXT("[%5d]"), 42)},
        {"left", u"[42   ]", F(TEXT("[%-5d]"), 42)},
        {"zero", u"-0042", F(TEXT("%05d"), -42)},
        {"plus", u"+42 -42", F(TEXT("%+d %+d"), 42, -42)},
        {"space", u" 42", F(TEXT("% d"), 42)},
        {"precision", u"007", F(TEXT("%.3d"), 7)},
        {"width and precision", u"[     007]", F(TEXT("[%8.3d]"), 7)},
        {"zero flag ignored with precision", u"[     007]", F(TEXT("[%08.3d]"), 7)},
        {"zero with zero precision", u"[]", F(TEXT("[%.0d]"), 0)},
        {"star width", u"[   7]", F(TEXT("[%*d]"), 4, 7)},
        {"negative star width is left", u"[7   ]", F(TEXT("[%*d]"), -4, 7)},
        {"star precision", u"007", F(TEXT("%.*d"), 3, 7)},
        {"negative star precision is none", u"7", F(TEXT("%.*d"), -1, 7)},
        {"INT_MIN", u"-2147483648", F(TEXT("%d"), INT_MIN)},
        {"%u", u"4294967295 4294967295", F(TEXT("%u %u"), 4294967295u, -1)},
        {"%x %X", u"ff FF ffffffff", F(TEXT("%x %X %x"), 255, 255, -1)},
        {"%#x", u"0xff 0XFF 0", F(TEXT("%#x %#X %#x"), 255, 255, 0)},
        {"%02X", u"0A FF", F(TEXT("%02X %02X"), 10, 255)},
        {"%o", u"10 010 0", F(TEXT("%o %#o %#o"), 8, 8, 0)},
        {"%h", u"-1 1", F(TEXT("%hd %hu"), 65535, 65537)},
        {"%hh", u"-1 255", F(TEXT("%hhd %hhu"), 255, 511)},
        // Windows is LLP64: %l reads 32 bits.
        {"%l is 32-bit", u"-1 4294967295 ffffffff",
         F(TEXT("%ld %lu %lx"), LONG(-1), DWORD(~0u), -1)},
        {"%ll", u"-9223372036854775808", F(TEXT("%lld"), LLONG_MIN)},
        {"%I64", u"18446744073709551615 ffffffffffffffff -5",
         F(TEXT("%I64u %I64x %I64d"), ULLONG_MAX, ULLONG_MAX, -5LL)},
        {"%I32", u"-1 4294967295", F(TEXT("%I32d %I32u"), -1, -1)},
        {"%I pointer-sized", u"18446744073709551615 -3",
         F(TEXT("%Iu %Id"), SIZE_MAX, std::intptr_t(-3))},
        {"%z", u"18446744073709551615", F(TEXT("%zu"), SIZE_MAX)},
        {"trace line", u"(09:05:03.042) CWinHelper::GetOSVersion(146) text\r\n",
         F(TEXT("(%02d:%02d:%02d.%03d) %s %s\r\n"), 9, 5, 3, 42,
           TEXT("CWinHelper::GetOSVersion(146)"), TEXT("text"))},
    });
}

TEST(WidePrintf, PointersTextAndCharacters) {
    Check({
        {"%p", u"0000000000001234 0000000000ABCDEF",
         F(TEXT("%p %p"), reinterpret_cast<void*>(0x1234), reinterpret_cast<void*>(0xABCDEF))},
        {"%p width", u"[  0000000000000001]", F(TEXT("[%18p]"), reinterpret_cast<void*>(1))},
        {"%s wide", u"wide \u0416", F(TEXT("%s"), TEXT("wide \u0416"))},
        {"%ls %ws", u"a b", F(TEXT("%ls %ws"), TEXT("a"), TEXT("b"))},
        {"%S %hs narrow", u"narrow text", F(TEXT("%S %hs"), "narrow", "text")},
        {"%S through 1252", u"\u00e9t\u00e9 \u20ac \u0178", F(TEXT("%S"), "\xe9t\xe9 \x80 \x9f")},
        {"null %s", u"(null)", F(TEXT("%s"), static_cast<const WCHAR*>(nullptr))},
        {"null %S", u"(null)", F(TEXT("%S"), static_cast<const char*>(nullptr))},
        {"precision", u"ab ab", F(TEXT("%.2s %.2S"), TEXT("abcdef"), "abcdef")},
        {"width", u"[    ab] [ab    ]", F(TEXT("[%6s] [%-6s]"), TEXT("ab"), TEXT("ab"))},
        {"%c wide", u"\u03a9x", F(TEXT("%c%c"), 0x3A9, 'x')},
        {"%C %hc narrow", u"A\u00e9\u20ac", F(TEXT("%C%hc%C"), 'A', 0xE9, 0x80)},
        {"%lc %wc", u"\u03a9\u03a9", F(TEXT("%lc%wc"), 0x3A9, 0x3A9)},
        {"%c width", u"[  x]", F(TEXT("[%3c]"), 'x')},
        {"%%", u"100% %", F(TEXT("100%% %%"))},
    });
}

TEST(WidePrintf, Doubles) {
    Check({
        {"%f", u"3.141590", F(TEXT("%f"), 3.14159)},
        {"%.2f", u"3.14", F(TEXT("%.2f"), 3.14159)},
        {"%e", u"1.234568e+04", F(TEXT("%e"), 12345.678)},
        {"%E", u"1.50E-03", F(TEXT("%.2E"), 0.0015)},
        {"%g", u"0.0001 1e-05 2", F(TEXT("%g %g %g"), 0.0001, 0.00001, 2.0)},
        {"%G", u"1E+20", F(TEXT("%G"), 1e20)},
        {"%.5g", u"0.5 2 12346", F(TEXT("%.5g %.5g %.5g"), 0.5, 2.0, 12345.6)},
        {"width", u"[  -1.500]", F(TEXT("[%8.3f]"), -1.5)},
        {"zero and plus", u"-000003.14 +2.5", F(TEXT("%010.2f %+.1f"), -3.14159, 2.5)},
        {"star", u"[ 1.0]", F(TEXT("[%*.*f]"), 4, 1, 1.0)},
        {"then integers still line up", u"1.5 7", F(TEXT("%.1f %d"), 1.5, 7)},
    });
}

TEST(WidePrintf, UnknownConversionsAreCopied) {
    int target = 12345;
    Check({
        {"%k", u"a%kb", F(TEXT("a%kb"))},
        {"flags kept", u"%-5k", F(TEXT("%-5k"))},
        {"no argument taken", u"%k 7", F(TEXT("%k %d"), 7)},
        {"trailing %", u"50%", F(TEXT("50%"))},
        // %n would write through its argument; it is refused like any unknown conversion.
        {"%n", u"ab%n", F(TEXT("ab%n"))},
    });
    F(TEXT("%n"), &target);
    EXPECT_EQ(12345, target);
}

TEST(WidePrintf, TruncationAtTheCount) {
    WCHAR buf[8];
    auto fill = [&] {
        for (WCHAR& c : buf)
            c = '#';
    };
    fill();
    EXPECT_EQ(3, _snwprintf(buf, 5, TEXT("%s"), TEXT("abc")));
    EXPECT_EQ(u"abc", std::u16string(buf));

    fill();
    EXPECT_EQ(5, _snwprintf(buf, 5, TEXT("%s"), TEXT("abcde"))) << "exactly count";
    EXPECT_EQ(u"abcde###", std::u16string(buf, 8)) << "not terminated";

    fill();
    EXPECT_EQ(-1, _snwprintf(buf, 5, TEXT("%d"), 1234567));
    EXPECT_EQ(u"12345###", std::u16string(buf, 8)) << "first count characters, no more";

    fill();
    EXPECT_EQ(-1, _snwprintf(buf, 0, TEXT("x")));
    EXPECT_EQ('#', buf[0]);
    EXPECT_EQ(7, _snwprintf(nullptr, 0, TEXT("%d"), 1234567)) << "size query";
    EXPECT_EQ(-1, _snwprintf(buf, 8, nullptr));

    // The trace log cuts messages at 2047 characters of a 2048 buffer.
    std::u16string longText(3000, u'm');
    WCHAR message[2048];
    EXPECT_EQ(-1, _snwprintf(message, 2047, TEXT("%s"), longText.c_str()));
    message[2047] = 0;
    EXPECT_EQ(std::u16string(2047, u'm'), std::u16string(message));
}

TEST(WidePrintf, SecureVariantsTerminate) {
    WCHAR buf[8];
    auto fill = [&] {
        for (WCHAR& c : buf)
            c = '#';
    };
    fill();
    EXPECT_EQ(3, _snwprintf_s(buf, 8, _TRUNCATE, TEXT("%s"), TEXT("abc")));
    EXPECT_EQ(u"abc", std::u16string(buf));
    fill();
    EXPECT_EQ(-1, _snwprintf_s(buf, 4, _TRUNCATE, TEXT("%s"), TEXT("abcdef")));
    EXPECT_EQ(u"abc", std::u16string(buf));
    fill();
    EXPECT_EQ(-1, _snwprintf_s(buf, 8, 2, TEXT("%s"), TEXT("abcdef"))) << "count below size";
    EXPECT_EQ(u"ab", std::u16string(buf));
    fill();
    EXPECT_EQ(7, _snwprintf_s(buf, 8, 7, TEXT("%s"), TEXT("abcdefg")));
    EXPECT_EQ(u"abcdefg", std::u16string(buf));
    fill();
    EXPECT_EQ(-1, _snwprintf_s(buf, 4, 10, TEXT("%s"), TEXT("abcdef"))) << "buffer too small";
    EXPECT_EQ(0, buf[0]);

    fill();
    EXPECT_EQ(7, swprintf_s(buf, 8, TEXT("%d"), 1234567));
    EXPECT_EQ(u"1234567", std::u16string(buf));
    fill();
    EXPECT_EQ(-1, swprintf_s(buf, 8, TEXT("%d"), 12345678)) << "no room for the terminator";
    EXPECT_EQ(0, buf[0]);
}

}  // namespace
