// The formatting language of XStringW and XStringA as a table of conversions, plus Format
// against AppendFormat, the reserved capacity and arguments taken from the string itself.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>

#include "tests/support/text_util.h"
#include "tool/support/xstring.h"

namespace {

struct FormatCase {
    const char* label;
    std::function<void(XStringW&)> format;
    std::string expected;
};

TEST(XStringFormat, Conversions) {
    const XStringW object(TEXT("obj"));
    const FormatCase cases[] = {
        {"%u of 4294967295", [](XStringW& s) { s.Format(TEXT("%u"), 4294967295u); }, "4294967295"},
        {"%u of -1", [](XStringW& s) { s.Format(TEXT("%u"), -1); }, "4294967295"},
        {"%x of -1", [](XStringW& s) { s.Format(TEXT("%x"), -1); }, "ffffffff"},
        {"%X of 0xBEEF", [](XStringW& s) { s.Format(TEXT("%X"), 0xBEEF); }, "BEEF"},
        {"%02X of 255", [](XStringW& s) { s.Format(TEXT("%02X"), 255); }, "FF"},
        {"%02X of 10", [](XStringW& s) { s.Format(TEXT("%02X"), 10); }, "0A"},
        {"%02x of a byte", [](XStringW& s) { s.Format(TEXT("%02x"), static_cast<BYTE>(0xA)); },
         "0a"},
        {"%03d of 7", [](XStringW& s) { s.Format(TEXT("%03d"), 7); }, "007"},
        {"%03d wider number", [](XStringW& s) { s.Format(TEXT("%03d"), 12345); }, "12345"},
        {"%2d pads with zeros", [](XStringW& s) { s.Format(TEXT("%2d"), 5); }, "05"},
        {"%d negative", [](XStringW& s) { s.Format(TEXT("%d"), -42); }, "-42"},
        {"%05d negative: zeros after the sign", [](XStringW& s) { s.Format(TEXT("%05d"), -42); },
         "-0042"},
        {"%i of INT_MIN", [](XStringW& s) { s.Format(TEXT("%i"), INT_MIN); }, "-2147483648"},
        {"%d of 4294967295u", [](XStringW& s) { s.Format(TEXT("%d"), 4294967295u); }, "-1"},
        {"%d of a WORD", [](XStringW& s) { s.Format(TEXT("%d"), static_cast<WORD>(65535)); },
         "65535"},
        {"%x of a 64-bit -1", [](XStringW& s) { s.Format(TEXT("%x"), -1LL); }, "ffffffffffffffff"},
        {"%u of a 64-bit value", [](XStringW& s) { s.Format(TEXT("%u"), 5000000000ULL); },
         "5000000000"},
        {"%f of 0.5", [](XStringW& s) { s.Format(TEXT("%f"), 0.5); }, "0.5"},
        {"%f of 2.0", [](XStringW& s) { s.Format(TEXT("%f"), 2.0); }, "2"},
        {"%f five significant digits", [](XStringW& s) { s.Format(TEXT("%f"), 3.14159265); },
         "3.1416"},
        {"%f exponent form", [](XStringW& s) { s.Format(TEXT("%f"), 123456.0); }, "1.2346e+05"},
        {"%f ignores the width", [](XStringW& s) { s.Format(TEXT("%9f"), 1.5); }, "1.5"},
        {"%f of an integer", [](XStringW& s) { s.Format(TEXT("%f"), 3); }, "3"},
        {"%c", [](XStringW& s) { s.Format(TEXT("[%c]"), TEXT('A')); }, "[A]"},
        {"%c takes the low 16 bits", [](XStringW& s) { s.Format(TEXT("%c"), 0x10041); }, "A"},
        {"%c ignores the width", [](XStringW& s) { s.Format(TEXT("%5c"), TEXT('x')); }, "x"},
        {"%s", [](XStringW& s) { s.Format(TEXT("<%s>"), TEXT("text")); }, "<text>"},
        {"%s of a null pointer", [](XStringW& s) { s.Format(TEXT("<%s>"), nullptr); }, "<>"},
        {"%s ignores the width", [](XStringW& s) { s.Format(TEXT("%9s"), TEXT("ab")); }, "ab"},
        {"%@ of a string object", [&object](XStringW& s) { s.Format(TEXT("<%@>"), object); },
         "<obj>"},
        {"%@ ignores the width", [&object](XStringW& s) { s.Format(TEXT("%4@"), object); }, "obj"},
        {"%% writes nothing", [](XStringW& s) { s.Format(TEXT("100%%")); }, "100"},
        {"unknown conversion writes nothing and takes no argument",
         [](XStringW& s) { s.Format(TEXT("a%qb%d"), 5); }, "ab5"},
        {"size letters are unknown conversions", [](XStringW& s) { s.Format(TEXT("%ld|%d"), 7); },
         "d|7"},
        {"trailing %", [](XStringW& s) { s.Format(TEXT("abc%")); }, "abc"},
        {"trailing % with a width", [](XStringW& s) { s.Format(TEXT("abc%12")); }, "abc"},
        {"missing argument writes nothing", [](XStringW& s) { s.Format(TEXT("%d-%d"), 1); }, "1-"},
        {"text for %d writes nothing", [](XStringW& s) { s.Format(TEXT("[%d]"), TEXT("x")); },
         "[]"},
        {"number for %s writes nothing", [](XStringW& s) { s.Format(TEXT("[%s]"), 5); }, "[]"},
        {"mismatch still takes its argument", [](XStringW& s) { s.Format(TEXT("%s|%d"), 5, 6); },
         "|6"},
        {"width is at most 255", [](XStringW& s) { s.Format(TEXT("%300d"), 1); },
         std::string(254, '0') + "1"},
        {"huge width digits", [](XStringW& s) { s.Format(TEXT("%99999999999999999999x"), 1); },
         std::string(254, '0') + "1"},
        {"mixed line",
         [](XStringW& s) {
             s.Format(TEXT("(%02d:%02d:%02d.%03d) %s(%d) %s"), 9, 5, 7, 42,
                      TEXT("CWinHelper::GetOSVersion"), 146, TEXT("done"));
         },
         "(09:05:07.042) CWinHelper::GetOSVersion(146) done"},
    };
    for (const FormatCase& c : cases) {
        SCOPED_TRACE(c.label);
        XStringW s;
        c.format(s);
        EXPECT_EQ(Show(s), c.expected);
        EXPECT_TRUE(TailIsZero(s));
    }
}

TEST(XStringFormat, FormatReplacesAndAppendFormatKeeps) {
    XStringW s(TEXT("old text"));
    s.Format(TEXT("%d"), 1);
    EXPECT_EQ(Show(s), "1");
    EXPECT_GE(s.GetCapacity(), 64) << "Format reserves 64 characters";
    EXPECT_TRUE(TailIsZero(s));

    s.AppendFormat(TEXT("-%d"), 2);
    EXPECT_EQ(Show(s), "1-2");

    XStringW grown;
    grown.AppendFormat(TEXT("%s"), TEXT("abc"));
    EXPECT_EQ(grown.GetCapacity(), 3) << "AppendFormat grows to the exact size";

    XStringW wide;
    wide.Format(TEXT("%0100d"), 0);
    EXPECT_EQ(wide.GetLength(), 100);
    EXPECT_EQ(wide.GetCapacity(), 100);
}

TEST(XStringFormat, ArgumentsFromTheStringItself) {
    XStringW s(TEXT("abc"));
    s.Format(TEXT("%@!%@"), s, s);
    EXPECT_EQ(Show(s), "abc!abc");

    s.AppendFormat(TEXT("%s"), s.GetString());
    EXPECT_EQ(Show(s), "abc!abcabc!abc");

    XStringW f(TEXT("x%dy"));
    f.Format(f.GetString(), 5);  // the format is the string's own text
    EXPECT_EQ(Show(f), "x5y");
    EXPECT_TRUE(TailIsZero(f));
}

TEST(XStringFormat, EightBitStrings) {
    const XStringA object("obj");
    XStringA a("old");
    a.Format("%s=%02X %c%@ %u %f", "k", 10, 'z', object, 4294967295u, 0.25);
    EXPECT_STREQ(a.GetString(), "k=0A zobj 4294967295 0.25");
    a.AppendFormat("%c", 0x1E9);  // the low 8 bits
    EXPECT_EQ(a.GetString()[a.GetLength() - 1], '\xE9');
    EXPECT_TRUE(TailIsZero(a));
}

}  // namespace
