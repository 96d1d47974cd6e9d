// XStringW text operations as tables: substrings, search, Replace, in-place edits, ToInt, Split,
// value semantics, the list class and the ANSI code-page conversions.
#include <gtest/gtest.h>

#include <climits>
#include <stdexcept>
#include <vector>

#include "tests/support/text_util.h"
#include "tool/support/xstring.h"
#include "tool/support/xstring_list.h"

namespace {

struct SliceCase {
    const char* label;
    const WCHAR* text;
    XStringW (*slice)(const XStringW&);
    const WCHAR* expected;
};

TEST(XStringSlices, LeftRightMidSubstring) {
    const SliceCase cases[] = {
        {"Left within", TEXT("abc"), [](const XStringW& s) { return s.Left(2); }, TEXT("ab")},
        {"Left past the end", TEXT("abc"), [](const XStringW& s) { return s.Left(9); },
         TEXT("abc")},
        {"Left 0", TEXT("abc"), [](const XStringW& s) { return s.Left(0); }, TEXT("")},
        {"Left negative", TEXT("abc"), [](const XStringW& s) { return s.Left(-1); }, TEXT("")},
        {"Right 4 of two characters", TEXT("ab"), [](const XStringW& s) { return s.Right(4); },
         TEXT("ab")},
        {"Right whole length", TEXT("ab"), [](const XStringW& s) { return s.Right(2); },
         TEXT("ab")},
        {"Right within", TEXT("abcd"), [](const XStringW& s) { return s.Right(2); }, TEXT("cd")},
        {"Right 0", TEXT("abcd"), [](const XStringW& s) { return s.Right(0); }, TEXT("")},
        {"Right negative", TEXT("abcd"), [](const XStringW& s) { return s.Right(-3); }, TEXT("")},
        {"Mid count 0 takes the rest", TEXT("abcdef"),
         [](const XStringW& s) { return s.Mid(2, 0); }, TEXT("cdef")},
        {"Mid default count", TEXT("abcdef"), [](const XStringW& s) { return s.Mid(4); },
         TEXT("ef")},
        {"Mid within", TEXT("abcdef"), [](const XStringW& s) { return s.Mid(2, 2); }, TEXT("cd")},
        {"Mid count past the end", TEXT("abcdef"), [](const XStringW& s) { return s.Mid(4, 9); },
         TEXT("ef")},
        {"Mid start at the end", TEXT("abc"), [](const XStringW& s) { return s.Mid(3, 1); },
         TEXT("")},
        {"Mid start past the end", TEXT("abc"), [](const XStringW& s) { return s.Mid(7); },
         TEXT("")},
        {"Mid negative start", TEXT("abc"), [](const XStringW& s) { return s.Mid(-1, 2); },
         TEXT("")},
        {"Mid negative count", TEXT("abc"), [](const XStringW& s) { return s.Mid(1, -1); },
         TEXT("")},
        {"Substring within", TEXT("abcdef"), [](const XStringW& s) { return s.Substring(1, 3); },
         TEXT("bc")},
        {"Substring to cut at the length", TEXT("abcdef"),
         [](const XStringW& s) { return s.Substring(2, 99); }, TEXT("cdef")},
        {"Substring from at the end", TEXT("abc"),
         [](const XStringW& s) { return s.Substring(3, 5); }, TEXT("")},
        {"Substring from equal to to", TEXT("abc"),
         [](const XStringW& s) { return s.Substring(1, 1); }, TEXT("")},
        {"Substring from after to", TEXT("abc"),
         [](const XStringW& s) { return s.Substring(2, 1); }, TEXT("")},
        {"Substring negative from", TEXT("abc"),
         [](const XStringW& s) { return s.Substring(-2, 2); }, TEXT("")},
        {"slice of an empty string", TEXT(""), [](const XStringW& s) { return s.Mid(0); },
         TEXT("")},
    };
    for (const SliceCase& c : cases) {
        SCOPED_TRACE(c.label);
        const XStringW source(c.text);
        const XStringW result = c.slice(source);
        EXPECT_EQ(Show(result), Show(c.expected));
        EXPECT_EQ(Show(source), Show(c.text)) << "the source is unchanged";
        EXPECT_TRUE(TailIsZero(result));
    }
}

TEST(XStringSearch, FindStartsWithEndsWith) {
    struct Case {
        const WCHAR* text;
        const WCHAR* needle;
        int from;
        int expected;
    };
    const Case finds[] = {
        {TEXT("a:b"), TEXT(":"), 0, 1},    {TEXT("ab"), TEXT(":"), 0, -1},
        {TEXT(""), TEXT("a"), 0, -1},      {TEXT("a:b:c"), TEXT(":"), 2, 3},
        {TEXT("a:b:c"), TEXT(":"), 1, 1},  {TEXT("abc"), TEXT("c"), 3, -1},
        {TEXT("abc"), TEXT("c"), 4, -1},   {TEXT("abc"), TEXT(""), 0, -1},
        {TEXT("aab"), TEXT("ab"), 0, 1},   {TEXT("abc"), TEXT("abcd"), 0, -1},
        {TEXT("abc"), TEXT("ABC"), 0, -1}, {TEXT("abc"), TEXT("abc"), 0, 0},
        {TEXT("a.b"), TEXT("b"), -4, 2},
    };
    for (const Case& c : finds) {
        SCOPED_TRACE(Show(c.text) + " find " + Show(c.needle) + " from " + std::to_string(c.from));
        EXPECT_EQ(XStringW(c.text).Find(c.needle, c.from), c.expected);
    }

    struct EdgeCase {
        const WCHAR* text;
        const WCHAR* edge;
        bool starts;
        bool ends;
    };
    const EdgeCase edges[] = {
        {TEXT("abc"), TEXT("ab"), true, false},  {TEXT("abc"), TEXT("bc"), false, true},
        {TEXT("ab"), TEXT("abc"), false, false}, {TEXT("abc"), TEXT("abc"), true, true},
        {TEXT("abc"), TEXT("AB"), false, false}, {TEXT("abc"), TEXT(""), true, true},
        {TEXT(""), TEXT("a"), false, false},
    };
    for (const EdgeCase& c : edges) {
        SCOPED_TRACE(Show(c.text) + " / " + Show(c.edge));
        EXPECT_EQ(XStringW(c.text).StartsWith(c.edge), c.starts);
        EXPECT_EQ(XStringW(c.text).EndsWith(c.edge), c.ends);
    }
}

TEST(XStringReplace, EveryOccurrenceLeftToRight) {
    struct Case {
        const char* label;
        const WCHAR* text;
        const WCHAR* oldText;
        const WCHAR* newText;
        const WCHAR* expected;
    };
    const Case cases[] = {
        {"spaces removed, the first one too", TEXT(" a b  c "), TEXT(" "), TEXT(""), TEXT("abc")},
        {"shorter replacement", TEXT("abcabc"), TEXT("bc"), TEXT("X"), TEXT("aXaX")},
        {"longer replacement", TEXT("a-b-c"), TEXT("-"), TEXT("::"), TEXT("a::b::c")},
        {"replacement holds the old text", TEXT("aaa"), TEXT("a"), TEXT("aa"), TEXT("aaaaaa")},
        {"no overlap", TEXT("ababa"), TEXT("aba"), TEXT("X"), TEXT("Xba")},
        {"pairs", TEXT("aaaa"), TEXT("aa"), TEXT("a"), TEXT("aa")},
        {"whole text", TEXT("abc"), TEXT("abc"), TEXT(""), TEXT("")},
        {"same length", TEXT("1.2.3"), TEXT("."), TEXT(","), TEXT("1,2,3")},
        {"absent", TEXT("x"), TEXT("y"), TEXT("z"), TEXT("x")},
        {"empty string", TEXT(""), TEXT("a"), TEXT("b"), TEXT("")},
        {"empty old text", TEXT("abc"), TEXT(""), TEXT("x"), TEXT("abc")},
        {"null new text", TEXT("a b"), TEXT(" "), nullptr, TEXT("ab")},
        {"case-sensitive", TEXT("Aa"), TEXT("a"), TEXT("b"), TEXT("Ab")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        XStringW s(c.text);
        s.Replace(c.oldText, c.newText);
        EXPECT_EQ(Show(s), Show(c.expected));
        EXPECT_TRUE(TailIsZero(s));
    }
}

TEST(XStringReplace, GrowthIsExactAndTextsFromTheStringItselfWork) {
    XStringW s(TEXT("a-b"));
    s.Replace(TEXT("-"), TEXT("+++"));
    EXPECT_EQ(Show(s), "a+++b");
    EXPECT_EQ(s.GetCapacity(), 5);

    XStringW self(TEXT("xyx"));
    self.Replace(self.GetString() + 2, self.GetString());  // "x" by "xyx"
    EXPECT_EQ(Show(self), "xyxyxyx");
}

TEST(XStringEdits, InsertDeleteTrimLower) {
    struct Case {
        const char* label;
        const WCHAR* text;
        void (*edit)(XStringW&);
        const WCHAR* expected;
    };
    const Case cases[] = {
        {"Insert in the middle", TEXT("ac"), [](XStringW& s) { s.Insert(1, TEXT('b')); },
         TEXT("abc")},
        {"Insert at the end", TEXT("ab"), [](XStringW& s) { s.Insert(2, TEXT('c')); }, TEXT("abc")},
        {"Insert past the end appends", TEXT("ab"), [](XStringW& s) { s.Insert(9, TEXT('c')); },
         TEXT("abc")},
        {"Insert before the start prepends", TEXT("bc"),
         [](XStringW& s) { s.Insert(-1, TEXT('a')); }, TEXT("abc")},
        {"Delete within", TEXT("abcdef"), [](XStringW& s) { s.Delete(1, 2); }, TEXT("adef")},
        {"Delete count cut at the end", TEXT("abcdef"), [](XStringW& s) { s.Delete(4, 99); },
         TEXT("abcd")},
        {"Delete at the end does nothing", TEXT("abc"), [](XStringW& s) { s.Delete(3, 1); },
         TEXT("abc")},
        {"Delete past the end does nothing", TEXT("abc"), [](XStringW& s) { s.Delete(5, 1); },
         TEXT("abc")},
        {"TrimLeft", TEXT(" \t\r\n\v\fab c "), [](XStringW& s) { s.TrimLeft(); }, TEXT("ab c ")},
        {"TrimRight", TEXT(" ab c \t\r\n\v\f"), [](XStringW& s) { s.TrimRight(); }, TEXT(" ab c")},
        {"Trim all white space", TEXT(" \t "), [](XStringW& s) { s.TrimRight(); }, TEXT("")},
        {"MakeLower changes A to Z only", TEXT("AZaz09@[\u00C9"),
         [](XStringW& s) { s.MakeLower(); }, TEXT("azaz09@[\u00C9")},
        {"Empty", TEXT("secret"), [](XStringW& s) { s.Empty(); }, TEXT("")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        XStringW s(c.text);
        c.edit(s);
        EXPECT_EQ(Show(s), Show(c.expected));
        EXPECT_TRUE(TailIsZero(s));
    }
}

TEST(XStringToInt, SignedDecimal) {
    struct Case {
        const WCHAR* text;
        int expected;
    };
    const Case cases[] = {
        {TEXT(""), -1},
        {TEXT("12ab"), 12},
        {TEXT("ab"), 0},
        {TEXT("  -42"), -42},
        {TEXT("+7"), 7},
        {TEXT("\t\r\n 12"), 12},
        {TEXT("1 2"), 1},
        {TEXT(" "), 0},
        {TEXT("-"), 0},
        {TEXT("0009"), 9},
        {TEXT("2147483647"), INT_MAX},
        {TEXT("-2147483648"), INT_MIN},
        {TEXT("99999999999"), INT_MAX},
        {TEXT("-99999999999"), INT_MIN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Show(c.text));
        EXPECT_EQ(XStringW(c.text).ToInt(), c.expected);
    }
}

TEST(XStringSplit, ItemsBetweenSeparators) {
    struct Case {
        const char* label;
        const WCHAR* text;
        const WCHAR* delimiters;
        bool skipEmpty;
        std::vector<const WCHAR*> expected;
    };
    const Case cases[] = {
        {"empty item kept", TEXT("1..2"), TEXT("."), false, {TEXT("1"), TEXT(""), TEXT("2")}},
        {"trailing empty item kept",
         TEXT("1.2."),
         TEXT("."),
         false,
         {TEXT("1"), TEXT("2"), TEXT("")}},
        {"empty text gives one empty item", TEXT(""), TEXT("."), false, {TEXT("")}},
        {"only a separator", TEXT("."), TEXT("."), false, {TEXT(""), TEXT("")}},
        {"empty items skipped", TEXT(".1..2."), TEXT("."), true, {TEXT("1"), TEXT("2")}},
        {"empty text skipped gives nothing", TEXT(""), TEXT("."), true, {}},
        {"dotted address",
         TEXT("192.168.0.1"),
         TEXT("."),
         true,
         {TEXT("192"), TEXT("168"), TEXT("0"), TEXT("1")}},
        {"delimiters are a set",
         TEXT("a,b;c"),
         TEXT(";,"),
         false,
         {TEXT("a"), TEXT("b"), TEXT("c")}},
        {"not a sequence", TEXT("a,;b"), TEXT(";,"), false, {TEXT("a"), TEXT(""), TEXT("b")}},
        {"no delimiters", TEXT("a.b"), TEXT(""), false, {TEXT("a.b")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const XStringWList items = XStringW(c.text).Split(c.delimiters, c.skipEmpty);
        ASSERT_EQ(items.GetCount(), static_cast<int>(c.expected.size()));
        for (int i = 0; i < items.GetCount(); ++i) {
            EXPECT_EQ(Show(items.GetAt(i)), Show(c.expected[static_cast<size_t>(i)]))
                << "item " << i;
        }
    }
}

TEST(XStringValues, CopiesAreDeepAndOperationsLeaveTheSource) {
    XStringW a(TEXT("left"));
    XStringW b(a);
    b.Append(TEXT("!"));
    EXPECT_EQ(Show(a), "left");
    EXPECT_EQ(Show(b), "left!");
    EXPECT_NE(a.GetString(), b.GetString());

    const XStringW sum1 = a + TEXT("-x");
    const XStringW sum2 = a + b;
    const XStringW sum3 = TEXT("x-") + a;
    EXPECT_EQ(Show(sum1), "left-x");
    EXPECT_EQ(Show(sum2), "leftleft!");
    EXPECT_EQ(Show(sum3), "x-left");
    EXPECT_EQ(Show(a), "left");

    XStringW c(TEXT("something long"));
    c = TEXT("");
    EXPECT_TRUE(c.IsEmpty());
    EXPECT_TRUE(TailIsZero(c));
    c = static_cast<const WCHAR*>(nullptr);
    EXPECT_EQ(c.GetLength(), 0);
    c.Append(static_cast<const WCHAR*>(nullptr));
    EXPECT_EQ(c.GetLength(), 0);
    EXPECT_EQ(XStringW(nullptr).GetLength(), 0);
    EXPECT_EQ(XStringW().GetString()[0], 0);

    XStringW d(TEXT("abc"));
    XStringW& same = d;
    d = same;
    EXPECT_EQ(Show(d), "abc");
    d.Append(d);
    EXPECT_EQ(Show(d), "abcabc");
    d.Append(d.GetString() + 4);  // grows while reading its own old buffer
    EXPECT_EQ(Show(d), "abcabcbc");
    d = d.GetString() + 3;
    EXPECT_EQ(Show(d), "abcbc");
    EXPECT_TRUE(TailIsZero(d));

    EXPECT_TRUE(XStringW(TEXT("ab")) == TEXT("ab"));
    EXPECT_FALSE(XStringW(TEXT("ab")) == TEXT("aB"));
    EXPECT_TRUE(XStringW(TEXT("ab")) == XStringW(TEXT("ab")));
}

TEST(XStringValues, RawAppendKeepsZerosAndGrowsExactly) {
    XStringW s(TEXT("ab"));
    const WCHAR raw[] = {TEXT('x'), 0, TEXT('y')};
    s.Append(raw, 3);
    EXPECT_EQ(s.GetLength(), 5);
    EXPECT_EQ(s.GetCapacity(), 5);
    EXPECT_EQ(Show(s), "abx\\u0000y");
    s.Append(raw, 0);
    s.Append(raw, -2);
    EXPECT_EQ(s.GetLength(), 5);
}

TEST(XStringWList, AddGetAtFind) {
    XStringWList list;
    list.Add(TEXT("COM1"));
    list.Add(TEXT("com2"));
    list.Add(TEXT("COM2"));
    EXPECT_EQ(list.GetCount(), 3);
    EXPECT_EQ(list.Find(TEXT("COM2")), 2);
    EXPECT_EQ(list.Find(TEXT("COM3")), -1);
    EXPECT_EQ(list.Find(TEXT("COM")), -1);

    XStringWList copy(list);
    copy.GetAt(0).Append(TEXT("0"));
    EXPECT_EQ(Show(copy.GetAt(0)), "COM10");
    EXPECT_EQ(Show(list.GetAt(0)), "COM1");

    EXPECT_THROW(list.GetAt(3), std::invalid_argument);
    EXPECT_THROW(list.GetAt(-1), std::invalid_argument);
    EXPECT_THROW(XStringWList().GetAt(0), std::invalid_argument);
}

TEST(XStringConversion, AnsiCodePageBothWays) {
    // U+00E9 and U+20AC are 0xE9 and 0x80 in Windows-1252.
    XStringW wide(TEXT("caf\u00E9 \u20AC"));
    const char* narrow = wide.GetMultiByte();
    ASSERT_NE(narrow, nullptr);
    EXPECT_EQ(std::string(narrow), std::string("caf\xE9 \x80"));

    XStringA ansi("\x80 caf\xE9");
    const WCHAR* back = ansi.GetWide();
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(Show(back), "\\u20AC caf\\u00E9");

    // The result belongs to the string until its next conversion.
    wide.Append(TEXT("!"));
    EXPECT_EQ(std::string(narrow), std::string("caf\xE9 \x80"));
    EXPECT_EQ(std::string(wide.GetMultiByte()), std::string("caf\xE9 \x80!"));

    EXPECT_EQ(std::string(XStringW().GetMultiByte()), "");
    EXPECT_EQ(Show(XStringA().GetWide()), "");
}

TEST(XStringA, SameConstructionAssignmentAndAppend) {
    XStringA a("ab");
    a.Append("cd");
    a += XStringA("e");
    EXPECT_STREQ(a.GetString(), "abcde");
    EXPECT_EQ(a.GetCapacity(), 5);
    XStringA b = a + "f";
    EXPECT_STREQ(b.GetString(), "abcdef");
    b = "x";
    EXPECT_STREQ(b.GetString(), "x");
    EXPECT_TRUE(TailIsZero(b));
}

}  // namespace
