// Code-page conversions: Windows-1252 both ways (all 256 bytes, unmappable characters), UTF-8
// (surrogate pairs, invalid input), and Windows' size-query and short-buffer conventions.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/host/runtime/codepage.h"

namespace {

std::u16string ToWide(UINT cp, const std::string& bytes, DWORD flags = 0) {
    int n = MultiByteToWideChar(cp, flags, bytes.data(), int(bytes.size()), nullptr, 0);
    if (n <= 0)
        return u"<failed>";
    std::u16string out(size_t(n), u'\0');
    EXPECT_EQ(n, MultiByteToWideChar(cp, flags, bytes.data(), int(bytes.size()), out.data(), n));
    return out;
}

std::string ToBytes(UINT cp, const std::u16string& text, BOOL* usedDefault = nullptr,
                    const char* defaultChar = nullptr) {
    int n = WideCharToMultiByte(cp, 0, text.data(), int(text.size()), nullptr, 0, defaultChar,
                                usedDefault);
    if (n <= 0)
        return "<failed>";
    std::string out(size_t(n), '\0');
    EXPECT_EQ(n, WideCharToMultiByte(cp, 0, text.data(), int(text.size()), out.data(), n,
                                     defaultChar, usedDefault));
    return out;
}

TEST(CodePage, AnsiIs1252AndEveryByteRoundTrips) {
    EXPECT_EQ(1252u, GetACP());
    std::string all;
    for (int b = 0; b < 256; ++b)
        all.push_back(char(b));
    std::u16string wide = ToWide(CP_ACP, all);
    ASSERT_EQ(256u, wide.size());
    struct Row {
        unsigned byte;
        WCHAR ch;
    } rows[] = {{0x00, 0x0000}, {0x41, 0x0041}, {0x7F, 0x007F}, {0x80, 0x20AC}, {0x81, 0x0081},
                {0x82, 0x201A}, {0x8A, 0x0160}, {0x8D, 0x008D}, {0x8F, 0x008F}, {0x90, 0x0090},
                {0x92, 0x2019}, {0x99, 0x2122}, {0x9D, 0x009D}, {0x9F, 0x0178}, {0xA0, 0x00A0},
                {0xE9, 0x00E9}, {0xFF, 0x00FF}};
    for (const Row& r : rows)
        EXPECT_EQ(r.ch, wide[r.byte]) << std::hex << r.byte;
    BOOL usedDefault = TRUE;
    EXPECT_EQ(all, ToBytes(CP_ACP, wide, &usedDefault));
    EXPECT_FALSE(usedDefault);
    EXPECT_EQ(all, ToBytes(1252, wide));
}

TEST(CodePage, UnmappableCharactersBecomeTheDefault) {
    BOOL usedDefault = FALSE;
    EXPECT_EQ("a?\x80?b", ToBytes(CP_ACP, u"a\u03a9\u20ac\u4e2db", &usedDefault));
    EXPECT_TRUE(usedDefault);
    EXPECT_EQ("*\xe9", ToBytes(CP_ACP, u"\u0416\u00e9", &usedDefault, "*"));
    EXPECT_TRUE(usedDefault);
    EXPECT_EQ("plain", ToBytes(CP_ACP, u"plain", &usedDefault));
    EXPECT_FALSE(usedDefault);
}

TEST(CodePage, LengthAndBufferConventions) {
    WCHAR wide[8];
    EXPECT_EQ(4, MultiByteToWideChar(CP_ACP, 0, "abc", -1, nullptr, 0)) << "terminator counted";
    EXPECT_EQ(4, MultiByteToWideChar(CP_ACP, 0, "abc", -1, wide, 8));
    EXPECT_EQ(u"abc", std::u16string(wide));
    EXPECT_EQ(3, MultiByteToWideChar(CP_ACP, 0, "abc", 3, wide, 8)) << "no terminator added";
    SetLastError(0);
    EXPECT_EQ(0, MultiByteToWideChar(CP_ACP, 0, "abc", -1, wide, 3));
    EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    SetLastError(0);
    EXPECT_EQ(0, MultiByteToWideChar(CP_ACP, 0, "abc", 0, wide, 8));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());

    char narrow[8];
    EXPECT_EQ(3, WideCharToMultiByte(CP_UTF8, 0, TEXT("\u00e9"), -1, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(3, WideCharToMultiByte(CP_UTF8, 0, TEXT("\u00e9"), -1, narrow, 8, nullptr, nullptr));
    EXPECT_EQ("\xc3\xa9", std::string(narrow));
    SetLastError(0);
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, TEXT("\u00e9"), -1, narrow, 2, nullptr, nullptr));
    EXPECT_EQ(DWORD(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    SetLastError(0);
    BOOL used = FALSE;
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, TEXT("a"), -1, narrow, 8, nullptr, &used))
        << "UTF-8 has no default character";
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
    SetLastError(0);
    EXPECT_EQ(0, MultiByteToWideChar(437, 0, "a", -1, wide, 8));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST(CodePage, Utf8Decoding) {
    struct Row {
        const char* label;
        std::string bytes;
        std::u16string text;
        bool valid;
    } rows[] = {
        {"ascii", "abc", u"abc", true},
        {"two bytes", "\xc3\xa9", u"\u00e9", true},
        {"three bytes", "\xe2\x82\xac", u"\u20ac", true},
        {"four bytes make a surrogate pair", "\xf0\x9f\x98\x80", u"\xd83d\xde00", true},
        {"largest", "\xf4\x8f\xbf\xbf", u"\xdbff\xdfff", true},
        {"truncated sequence", "a\xc3", u"a\ufffd", false},
        {"truncated inside",
         "\xe2\x82"
         "A",
         u"\ufffd"
         "A",
         false},
        {"stray continuation",
         "\x80"
         "b",
         u"\ufffd"
         "b",
         false},
        {"overlong", "\xc0\xaf", u"\ufffd\ufffd", false},
        {"overlong three", "\xe0\x80\xaf", u"\ufffd\ufffd\ufffd", false},
        {"encoded surrogate", "\xed\xa0\x80", u"\ufffd\ufffd\ufffd", false},
        {"above U+10FFFF", "\xf4\x90\x80\x80", u"\ufffd\ufffd\ufffd\ufffd", false},
        {"invalid lead", "\xff", u"\ufffd", false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.label);
        EXPECT_EQ(r.text, ToWide(CP_UTF8, r.bytes));
        SetLastError(0);
        int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, r.bytes.data(),
                                    int(r.bytes.size()), nullptr, 0);
        if (r.valid) {
            EXPECT_EQ(int(r.text.size()), n);
        } else {
            EXPECT_EQ(0, n);
            EXPECT_EQ(DWORD(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
        }
    }
}

TEST(CodePage, Utf8Encoding) {
    EXPECT_EQ("\xf0\x9f\x98\x80", ToBytes(CP_UTF8, u"\xd83d\xde00"));
    EXPECT_EQ(
        "\xef\xbf\xbd"
        "a",
        ToBytes(CP_UTF8,
                u"\xd800"
                "a"))
        << "lone high surrogate";
    EXPECT_EQ("\xef\xbf\xbd", ToBytes(CP_UTF8, u"\xdc00")) << "lone low surrogate";
    EXPECT_EQ("a\xef\xbf\xbd", ToBytes(CP_UTF8, u"a\xd800")) << "high surrogate at the end";
    char out[8];
    SetLastError(0);
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, TEXT("\xd800"), 1, out, 8,
                                     nullptr, nullptr));
    EXPECT_EQ(DWORD(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
    // Every BMP character that is not a surrogate round-trips.
    std::u16string all;
    for (unsigned c = 1; c < 0x10000; ++c) {
        if (c < 0xD800 || c > 0xDFFF)
            all.push_back(char16_t(c));
    }
    EXPECT_EQ(all, ToWide(CP_UTF8, ToBytes(CP_UTF8, all)));
}

}  // namespace
