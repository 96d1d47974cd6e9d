// CRegHelper on a test machine: text and number forms of every value type, the two-step read
// and its bounds, writes that create keys, the registry views, and the trace lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/store/store_fixture.h"
#include "tool/store/reg_helper.h"

namespace tarnel::storetest {
namespace {

// SYSTEM is shared by both views, so every form of the helper sees these values.
const std::u16string kValues = u"SYSTEM\\TarnelTest\\Values";

struct ValueCase {
    const char* label;
    DWORD type;
    std::vector<BYTE> data;
    DWORD expectType;        // what GetValue returns
    std::string expectText;  // GetValue's text ("-" when it must stay untouched)
    bool hasNumber;          // GetNumberValue reports true with `number`
    DWORD number;
    bool hasText;           // GetStringValue reports true
    std::string traceLine;  // expected error line, if any
};

std::u16string Repeat(char16_t c, size_t n) {
    return std::u16string(n, c);
}

TEST_F(StoreTest, EveryTypeInItsTextAndNumberForm) {
    const std::string x300 = std::string(300, 'x');
    const std::string y256 = std::string(256, 'y');
    std::vector<BYTE> odd = TextBytes(u"ab", false);
    odd.push_back('c');  // a half character at the end is not read
    std::vector<BYTE> oddLong = TextBytes(Repeat(u'z', 256), false);
    oddLong.push_back('z');  // 513 bytes: the second read, rounded down, is still too short
    const ValueCase cases[] = {
        {"multi-string with one string", REG_MULTI_SZ,
         TextBytes(std::u16string(u"morvik\\tarnel\0", 14)), REG_MULTI_SZ, "morvik\\tarnel\n",
         false, 0, true, ""},
        {"multi-string with an empty string in the middle", REG_MULTI_SZ,
         TextBytes(std::u16string(u"COM1\0\0COM2\0", 11)), REG_MULTI_SZ, "COM1\nCOM2\n", false, 0,
         true, ""},
        {"multi-string without its final empty string", REG_MULTI_SZ,
         TextBytes(std::u16string(u"a\0bc", 4), false), REG_MULTI_SZ, "a\nbc\n", false, 0, true,
         ""},
        {"multi-string of 300 characters", REG_MULTI_SZ,
         TextBytes(Repeat(u'x', 300) + std::u16string(u"\0", 1)), REG_MULTI_SZ, x300 + "\n", false,
         0, true, ""},
        {"text of 300 characters (second read)", REG_SZ, TextBytes(Repeat(u'x', 300)), REG_SZ, x300,
         false, 0, true, ""},
        {"text of exactly 512 bytes without a null", REG_SZ, TextBytes(Repeat(u'y', 256), false),
         REG_SZ, y256, false, 0, true, ""},
        {"text with a null inside", REG_SZ, TextBytes(std::u16string(u"ab\0cd", 5)), REG_SZ, "ab",
         false, 0, true, ""},
        {"text with an odd byte count", REG_SZ, odd, REG_SZ, "ab", false, 0, true, ""},
        {"odd text over 512 bytes cannot be read whole", REG_SZ, oddLong, 0, "", false, 0, false,
         ""},
        {"empty text", REG_SZ, {}, REG_SZ, "", false, 0, true, ""},
        {"text 5 is no number", REG_SZ, TextBytes(u"5"), REG_SZ, "5", false, 0, true, ""},
        {"DWORD bytes C0 A8 01 C8 unchanged", REG_DWORD, Bytes({0xC0, 0xA8, 0x01, 0xC8}), REG_DWORD,
         "3355551936", true, 0xC801A8C0u, false, ""},
        {"DWORD all ones unsigned", REG_DWORD, Bytes({0xFF, 0xFF, 0xFF, 0xFF}), REG_DWORD,
         "4294967295", true, 0xFFFFFFFFu, false, ""},
        {"QWORD gives its low 32 bits", REG_QWORD, Bytes({5, 0, 0, 0, 1, 0, 0, 0}), REG_QWORD, "5",
         true, 5, false, ""},
        {"DWORD of 8 bytes", REG_DWORD, Bytes({1, 0, 0, 0, 0, 0, 0, 0}), 0, "-", false, 0, false,
         "CRegHelper::GetValue <ERROR> REG_DWORD ERROR_MORE_DATA, size:8\n"},
        {"DWORD of 2 bytes", REG_DWORD, Bytes({1, 2}), 0, "-", false, 0, false,
         "CRegHelper::GetValue <ERROR> REG_DWORD short data, size:2"},
        {"QWORD of 12 bytes", REG_QWORD, Bytes({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 0, "-", false,
         0, false, "CRegHelper::GetValue <ERROR> REG_QWORD ERROR_MORE_DATA, size:12\n"},
        {"QWORD of 4 bytes", REG_QWORD, Bytes({1, 0, 0, 0}), 0, "-", false, 0, false,
         "CRegHelper::GetValue <ERROR> REG_QWORD short data, size:4"},
        {"binary is reported by its code only", REG_BINARY, Bytes({1, 2, 3}), REG_BINARY, "-",
         false, 0, false, ""},
        {"expandable text is not text here", REG_EXPAND_SZ, TextBytes(u"%SystemRoot%"),
         REG_EXPAND_SZ, "-", false, 0, false, ""},
    };
    for (const ValueCase& c : cases) {
        SCOPED_TRACE(c.label);
        SetRaw64(kValues, u"V", c.type, c.data);
        ClearTrace();

        XStringW text(TEXT("untouched"));
        DWORD number = 77;
        EXPECT_EQ(CRegHelper::GetValue(false, kValues.c_str(), TEXT("V"), text, number),
                  c.expectType);
        EXPECT_EQ(Narrow(text), c.expectText == "-" ? "untouched" : c.expectText);

        DWORD typed = 77;
        EXPECT_EQ(CRegHelper::GetNumberValue(false, kValues.c_str(), TEXT("V"), typed),
                  c.hasNumber);
        EXPECT_EQ(typed, c.hasNumber ? c.number : 77u);

        XStringW out(TEXT("untouched"));
        EXPECT_EQ(CRegHelper::GetStringValue(out, kValues.c_str(), TEXT("V")), c.hasText);
        if (c.hasText) {
            EXPECT_EQ(Narrow(out), c.expectText);
        }
        EXPECT_EQ(Narrow(CRegHelper::GetStringValue(kValues.c_str(), TEXT("V"))),
                  c.hasText ? c.expectText : "");
        EXPECT_EQ(CRegHelper::GetValueType(false, kValues.c_str(), TEXT("V")), c.type);

        std::vector<std::string> expected;
        if (!c.traceLine.empty())  // once from GetValue, once from GetNumberValue
            expected = {c.traceLine, c.traceLine};
        EXPECT_EQ(TraceLines(), expected);
    }
}

TEST_F(StoreTest, MissingKeysAndValuesAndTheirTraceLines) {
    SetRaw64(kValues, u"Present", REG_DWORD, Bytes({1, 0, 0, 0}));
    const std::u16string missingKey = u"SYSTEM\\TarnelTest\\Nowhere";
    struct Case {
        const char* label;
        std::u16string key;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"missing value: type 0, silent", kValues, {}},
        {"missing key: type 0, code 2",
         missingKey,
         {"CRegHelper::GetValueType <ERROR> RegOpenKeyEx(GetLastError:2)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ClearTrace();
        EXPECT_EQ(CRegHelper::GetValueType(false, c.key.c_str(), TEXT("Absent")), 0u);
        EXPECT_EQ(TraceLines(), c.lines);
    }

    ClearTrace();
    XStringW text(TEXT("untouched"));
    DWORD number = 9;
    EXPECT_EQ(CRegHelper::GetValue(false, missingKey.c_str(), TEXT("V"), text, number), 0u);
    EXPECT_EQ(Narrow(text), "untouched");
    EXPECT_EQ(number, 9u);
    EXPECT_FALSE(CRegHelper::GetNumberValue(false, missingKey.c_str(), TEXT("V"), number));
    EXPECT_EQ(Narrow(CRegHelper::GetStringValue(missingKey.c_str(), TEXT("V"))), "");
    EXPECT_EQ(CRegHelper::GetSubKeyList(false, missingKey.c_str()).GetCount(), 0);
    EXPECT_EQ(TraceLines(), (std::vector<std::string>{
                                "CRegHelper::GetValue <ERROR> RegOpenKeyEx(GetLastError:2)",
                                "CRegHelper::GetValueType <ERROR> RegOpenKeyEx(GetLastError:2)",
                                "CRegHelper::GetValueType <ERROR> RegOpenKeyEx(GetLastError:2)",
                            }))
        << "the subkey list is silent";
}

TEST_F(StoreTest, SetValueCreatesMissingLevelsAndWritesExactBytes) {
    const std::u16string key = u"SOFTWARE\\Morvik\\Fresh\\Level1\\Level2";
    ASSERT_FALSE(KeyExists64(u"SOFTWARE\\Morvik\\Fresh\\Level1"));
    EXPECT_TRUE(CRegHelper::SetValue(false, TEXT("COM7"), key.c_str(), TEXT("Text")));
    EXPECT_TRUE(CRegHelper::SetValue(false, key.c_str(), TEXT("Number"), 0x0000238Cu));
    EXPECT_TRUE(CRegHelper::SetValue(false, TEXT(""), key.c_str(), TEXT("Empty")));

    RawValue text = ReadRaw64(key, u"Text");
    EXPECT_EQ(text.type, DWORD(REG_SZ));
    EXPECT_EQ(text.data, TextBytes(u"COM7"));
    RawValue number = ReadRaw64(key, u"Number");
    EXPECT_EQ(number.type, DWORD(REG_DWORD));
    EXPECT_EQ(number.data, Bytes({0x8C, 0x23, 0, 0}));
    EXPECT_EQ(ReadRaw64(key, u"Empty").data, Bytes({0, 0}));
    EXPECT_TRUE(TraceLines().empty());
}

TEST_F(StoreTest, SetValueTracesAKeyThatCannotBeOpened) {
    // A key name longer than 255 characters is refused by the open and by the create.
    const std::u16string key = u"SOFTWARE\\" + Repeat(u'k', 300);
    EXPECT_FALSE(CRegHelper::SetValue(false, TEXT("x"), key.c_str(), TEXT("V")));
    EXPECT_FALSE(CRegHelper::SetValue(false, key.c_str(), TEXT("V"), 1));
    const std::vector<std::string> lines = TraceLines();
    ASSERT_EQ(lines.size(), 2u);
    for (const std::string& line : lines)
        EXPECT_EQ(line.rfind("CRegHelper::SetValue <ERROR> RegOpenKeyEx(GetLastError:", 0), 0u)
            << line;
}

// The view flag chooses where "SOFTWARE" lies for the helper; the convenience forms follow
// IsWow64Process.
TEST_F(StoreTest, ViewFlagAndTheConvenienceForms) {
    struct Case {
        const char* label;
        bool os64, wow64;
        bool flagSetVisibleTo64;  // a value written with the flag set is seen by a 64-bit reader
        bool convenienceReads32;  // GetStringValue and GetSubKeyList(key) read the 32-bit view
    };
    const Case cases[] = {
        {"32-bit tool on 64-bit Windows", true, true, false, true},
        {"64-bit tool on 64-bit Windows", true, false, false, false},
        {"32-bit Windows ignores the flag", false, false, true, false},
    };
    const std::u16string key = u"SOFTWARE\\Morvik\\ViewTest";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Boot(c.os64, c.wow64);
        EXPECT_TRUE(CRegHelper::SetValue(true, TEXT("thirty-two"), key.c_str(), TEXT("V32")));
        EXPECT_TRUE(CRegHelper::SetValue(false, TEXT("sixty-four"), key.c_str(), TEXT("V64")));
        EXPECT_TRUE(CRegHelper::SetValue(true, TEXT("x"), (key + u"\\Sub32").c_str(), TEXT("V")));
        EXPECT_TRUE(CRegHelper::SetValue(false, TEXT("x"), (key + u"\\Sub64").c_str(), TEXT("V")));

        EXPECT_EQ(ReadRaw64(key, u"V64").status, ERROR_SUCCESS);
        EXPECT_EQ(ReadRaw64(key, u"V32").status == ERROR_SUCCESS, c.flagSetVisibleTo64);
        if (c.os64) {
            EXPECT_TRUE(KeyExists64(u"SOFTWARE\\WOW6432Node\\Morvik\\ViewTest"));
            EXPECT_FALSE(KeyExists64(u"SOFTWARE\\WOW6432Node\\Morvik\\ViewTest\\Sub64"));
        }

        EXPECT_EQ(Narrow(CRegHelper::GetStringValue(key.c_str(), TEXT("V32"))),
                  c.convenienceReads32 || !c.os64 ? "thirty-two" : "");
        EXPECT_EQ(Narrow(CRegHelper::GetStringValue(key.c_str(), TEXT("V64"))),
                  c.convenienceReads32 ? "" : "sixty-four");
        const XStringWList subkeys = CRegHelper::GetSubKeyList(key.c_str());
        if (c.os64) {
            ASSERT_EQ(subkeys.GetCount(), 1);
            EXPECT_EQ(Narrow(subkeys.GetAt(0)), c.convenienceReads32 ? "Sub32" : "Sub64");
        } else {
            EXPECT_EQ(subkeys.GetCount(), 2);
        }
    }
}

TEST_F(StoreTest, SubKeyListInEnumerationOrderWithLongNames) {
    const std::u16string root = u"SOFTWARE\\Morvik\\Keys";
    const std::u16string longName = Repeat(u'n', 255);
    for (const std::u16string& name : {std::u16string(u"COM3"), std::u16string(u"COM12"), longName})
        RegCloseKey(CreateKey64(root + u"\\" + name));
    const XStringWList list = CRegHelper::GetSubKeyList(false, root.c_str());
    const std::vector<std::u16string> expected = SubKeys64(root);
    ASSERT_EQ(list.GetCount(), static_cast<int>(expected.size()));
    ASSERT_EQ(expected.size(), 3u);
    for (int i = 0; i < list.GetCount(); ++i)
        EXPECT_EQ(Narrow(list.GetAt(i)), Narrow(expected[static_cast<size_t>(i)]));
}

}  // namespace
}  // namespace tarnel::storetest
