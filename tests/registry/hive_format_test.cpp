// The hive file text: every value kind and name survives a format/parse round trip, the readable
// forms are the documented ones, and damaged or truncated texts are refused with file and line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/host/machine/hive_format.h"
#include "platform/host/machine/hive_text.h"

namespace tarnel::host {
namespace {

std::vector<std::uint8_t> bytesOf(std::u16string_view units) {
    std::vector<std::uint8_t> out;
    for (char16_t c : units) {
        out.push_back(static_cast<std::uint8_t>(c & 0xFF));
        out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return out;
}

// The bytes of a REG_SZ: the text and its terminating null.
std::vector<std::uint8_t> szBytes(std::u16string_view text) {
    std::vector<std::uint8_t> out = bytesOf(text);
    out.insert(out.end(), {0, 0});
    return out;
}

struct ValueCase {
    const char* label;
    HiveValue value;
    const char* line;  // the expected line, or nullptr when only the round trip matters
};

std::vector<ValueCase> valueCases() {
    using B = std::vector<std::uint8_t>;
    return {
        {"sz with null",
         {u"DisplayName", 1, szBytes(u"Tarnel Port (COM7)")},
         "\"DisplayName\"=sz:\"Tarnel Port (COM7)\""},
        {"sz without null",
         {u"\\Device\\00000052", 1, bytesOf(u"COM7")},
         "\"\\\\Device\\\\00000052\"=sz-bare:\"COM7\""},
        {"sz empty text", {u"e", 1, szBytes(u"")}, "\"e\"=sz:\"\""},
        {"sz no data", {u"n", 1, {}}, "\"n\"=sz-bare:\"\""},
        {"sz odd length", {u"odd", 1, B{0x41, 0x00, 0x42}}, "\"odd\"=hex(1):41,00,42"},
        {"sz inner null",
         {u"in", 1, bytesOf(std::u16string(u"a\0b\0", 4))},
         "\"in\"=hex(1):61,00,00,00,62,00,00,00"},
        {"sz two nulls", {u"2n", 1, bytesOf(std::u16string(u"a\0\0", 3))}, nullptr},
        {"sz quotes and escapes",
         {u"q", 1, szBytes(u"say \"hi\"\\\n\t\r\x01\x7f")},
         "\"q\"=sz:\"say \\\"hi\\\"\\\\\\n\\t\\r\\u0001\\u007f\""},
        {"sz lone surrogates",
         {u"s", 1, szBytes(std::u16string(u"\xD800x\xDC00", 3))},
         "\"s\"=sz:\"\\ud800x\\udc00\""},
        {"sz non-ASCII and pair",
         {u"u", 1, szBytes(u"Müller ☃ \xD83D\xDE00")},
         "\"u\"=sz:\"Müller ☃ 😀\""},
        {"expand",
         {u"Path", 2, szBytes(u"%SystemRoot%\\x")},
         "\"Path\"=expand:\"%SystemRoot%\\\\x\""},
        {"expand bare", {u"p", 2, bytesOf(u"x")}, "\"p\"=expand-bare:\"x\""},
        {"multi",
         {u"HardwareID", 7, bytesOf(std::u16string(u"morvik\\tarnel\0x\0\0", 17))},
         "\"HardwareID\"=multi:\"morvik\\\\tarnel\",\"x\""},
        {"multi empty inside",
         {u"m", 7, bytesOf(std::u16string(u"a\0\0b\0\0", 6))},
         "\"m\"=hex(7):61,00,00,00,00,00,62,00,00,00,00,00"},
        {"multi just a null", {u"m1", 7, bytesOf(std::u16string(1, u'\0'))}, "\"m1\"=hex(7):00,00"},
        {"multi without final null", {u"m2", 7, bytesOf(std::u16string(u"a\0", 2))}, nullptr},
        {"dword", {u"Port_", 4, B{0x8C, 0x23, 0x00, 0x00}}, "\"Port_\"=dword:0000238c"},
        {"dword network order",
         {u"IPAddress", 4, B{0xC0, 0xA8, 0x01, 0xC8}},
         "\"IPAddress\"=dword:c801a8c0"},
        {"dword short", {u"d3", 4, B{0x23, 0x8C, 0x00}}, "\"d3\"=hex(4):23,8c,00"},
        {"dword long", {u"d5", 4, B{1, 2, 3, 4, 5}}, "\"d5\"=hex(4):01,02,03,04,05"},
        {"qword", {u"q8", 11, B{1, 2, 3, 4, 5, 6, 7, 0x80}}, "\"q8\"=qword:8007060504030201"},
        {"qword short", {u"q4", 11, B{1, 2, 3, 4}}, "\"q4\"=hex(b):01,02,03,04"},
        {"binary", {u"b", 3, B{0x00, 0xFF, 0x10}}, "\"b\"=hex:00,ff,10"},
        {"binary empty", {u"be", 3, {}}, "\"be\"=hex:"},
        {"none", {u"none", 0, B{7}}, "\"none\"=hex(0):07"},
        {"exotic type", {u"x", 0xFFFFFFFF, B{1}}, "\"x\"=hex(ffffffff):01"},
        {"big-endian dword type", {u"be4", 5, B{0, 0, 0x23, 0x8C}}, "\"be4\"=hex(5):00,00,23,8c"},
        {"default value", {u"", 1, szBytes(u"d")}, "@=sz:\"d\""},
        {"name with quote, backslash, controls",
         {u"a\"b\\c\n\x1f", 4, B{1, 0, 0, 0}},
         "\"a\\\"b\\\\c\\n\\u001f\"=dword:00000001"},
        {"name with lone surrogate", {std::u16string(u"v\xDBFF", 2), 3, B{}}, "\"v\\udbff\"=hex:"},
        {"name that looks like a line", {u"]\n[HKLM\\X]", 3, B{1}}, nullptr},
    };
}

TEST(HiveFormat, EveryValueKindRoundTripsAndReadsAsDocumented) {
    HiveTree tree;
    auto key = std::make_unique<HiveKey>();
    key->name = u"K";
    std::vector<ValueCase> cases = valueCases();
    for (const ValueCase& c : cases)
        key->values.push_back(c.value);
    tree.roots[0].subkeys.emplace(u"K", std::move(key));

    std::string text = FormatHive(tree, 7);
    for (const ValueCase& c : cases) {
        if (!c.line)
            continue;
        SCOPED_TRACE(c.label);
        EXPECT_NE(text.find(std::string("\n") + c.line + "\n"), std::string::npos) << text;
    }

    HiveTree back;
    std::uint64_t generation = 0;
    std::string error;
    ASSERT_TRUE(ParseHive(text, "registry.hive", back, generation, error)) << error << "\n" << text;
    EXPECT_EQ(generation, 7u);
    const HiveKey& k = *back.roots[0].subkeys.at(u"K");
    ASSERT_EQ(k.values.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].label);
        EXPECT_EQ(k.values[i].name, cases[i].value.name);
        EXPECT_EQ(k.values[i].type, cases[i].value.type);
        EXPECT_EQ(k.values[i].data, cases[i].value.data);
    }
}

TEST(HiveFormat, KeyNamesRoundTripAndSubkeysComeInWindowsOrder) {
    const std::u16string names[] = {
        u"COM2",         u"COM10",     u"COM1",
        u"50%off",       u"tab\there", u"br]ack[et",
        u"quo\"te",      u"Ünïcödé",   std::u16string(u"lone\xDC01", 5),
        u"\xD83D\xDE00", u"trailing ",
    };
    HiveTree tree;
    HiveKey& software =
        *tree.roots[0].subkeys.emplace(u"SOFTWARE", std::make_unique<HiveKey>()).first->second;
    software.name = u"SOFTWARE";
    for (const std::u16string& n : names) {
        auto child = std::make_unique<HiveKey>();
        child->name = n;
        child->values.push_back(HiveValue{u"v", 4, {1, 2, 3, 4}});
        software.subkeys.emplace(RegistryUpcase(n), std::move(child));
    }
    std::string text = FormatHive(tree, 1);
    EXPECT_NE(text.find("[HKLM\\SOFTWARE\\50%0025off]"), std::string::npos) << text;
    EXPECT_NE(text.find("[HKLM\\SOFTWARE\\tab%0009here]"), std::string::npos) << text;
    size_t com1 = text.find("\\COM1]"), com10 = text.find("\\COM10]"), com2 = text.find("\\COM2]");
    EXPECT_LT(com1, com10);
    EXPECT_LT(com10, com2);

    HiveTree back;
    std::uint64_t generation;
    std::string error;
    ASSERT_TRUE(ParseHive(text, "registry.hive", back, generation, error)) << error;
    const HiveKey& sw = *back.roots[0].subkeys.at(u"SOFTWARE");
    ASSERT_EQ(sw.subkeys.size(), std::size(names));
    for (const std::u16string& n : names) {
        SCOPED_TRACE(Utf16ToUtf8Lossy(n));
        auto it = sw.subkeys.find(RegistryUpcase(n));
        ASSERT_NE(it, sw.subkeys.end());
        EXPECT_EQ(it->second->name, n);
        EXPECT_EQ(it->second->values.size(), 1u);
    }
}

TEST(HiveFormat, DamagedTextIsRefusedWithFileAndLine) {
    const std::string good_head = "TARNEL-HIVE 1 generation=3\n[HKLM\\SOFTWARE]\n";
    const std::string end = "END generation=3\n";
    struct Case {
        const char* label;
        std::string text;
        const char* expected;  // "registry.hive:LINE: ..." prefix, then a part of the reason
    };
    const Case cases[] = {
        {"empty file", "", "registry.hive:1: empty file"},
        {"not a hive", "hello\n", "registry.hive:1: not a Tarnel hive"},
        {"future format", "TARNEL-HIVE 2 generation=1\n" + end, "registry.hive:1: not a Tarnel"},
        {"bad value line", good_head + "\"Port\"=dword:12\n" + end,
         "registry.hive:3: dword needs 8 hex digits"},
        {"unknown type", good_head + "\"x\"=word:1\n" + end, "registry.hive:3: unknown value type"},
        {"missing equals", good_head + "\"x\" sz:\"a\"\n" + end, "registry.hive:3: expected '='"},
        {"unterminated name", good_head + "\"x=sz:\"a\n" + end,
         "registry.hive:3: expected '=' after"},
        {"bad escape", good_head + "\"x\"=sz:\"\\q\"\n" + end, "registry.hive:3: unknown escape"},
        {"bad unicode escape", good_head + "\"x\"=sz:\"\\u12\"\n" + end,
         "registry.hive:3: bad \\uXXXX"},
        {"bad UTF-8", good_head + "\"x\"=sz:\"\xC3\x28\"\n" + end, "registry.hive:3: bad UTF-8"},
        {"encoded surrogate", good_head + "\"x\"=sz:\"\xED\xA0\x80\"\n" + end,
         "registry.hive:3: bad UTF-8"},
        {"bad hex", good_head + "\"x\"=hex:1,22\n" + end, "registry.hive:3: bad hex bytes"},
        {"bad type code", good_head + "\"x\"=hex(1g):00\n" + end, "registry.hive:3: bad type code"},
        {"text after value", good_head + "\"x\"=sz:\"a\" junk\n" + end,
         "registry.hive:3: text after"},
        {"value before key", "TARNEL-HIVE 1 generation=3\n\"x\"=hex:\n" + end,
         "registry.hive:2: value line before any key"},
        {"key before parent", good_head + "[HKLM\\SOFTWARE\\A\\B]\n" + end,
         "registry.hive:3: key listed before its parent"},
        {"key twice", good_head + "[HKLM\\software]\n" + end, "registry.hive:3: key listed twice"},
        {"value twice", good_head + "\"a\"=hex:\n\"A\"=hex:\n" + end,
         "registry.hive:4: value listed twice"},
        {"unknown root", good_head + "[HKXX\\A]\n" + end, "registry.hive:3: unknown root"},
        {"bad key escape", good_head + "[HKLM\\SOFTWARE\\a%zz]\n" + end,
         "registry.hive:3: bad %XXXX escape"},
        {"empty key name", good_head + "[HKLM\\SOFTWARE\\\\x]\n" + end,
         "registry.hive:3: empty key name"},
        {"stray line", good_head + "Port=1\n" + end, "registry.hive:3: bad line"},
        {"END mismatch", good_head + "END generation=4\n", "registry.hive:3: END line generation"},
        {"text after END", good_head + end + "[HKLM\\X]\n", "registry.hive:4: text after the END"},
        {"no END", good_head, "registry.hive:2: truncated hive: no END line"},
        {"last line cut", good_head + "END generation=3", "registry.hive:3: truncated hive"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        HiveTree tree;
        std::uint64_t generation;
        std::string error;
        EXPECT_FALSE(ParseHive(c.text, "registry.hive", tree, generation, error));
        std::string expected = c.expected;
        EXPECT_EQ(error.substr(0, expected.size()), expected) << error;
    }
}

TEST(HiveFormat, EveryTruncationOfAHiveIsRefused) {
    HiveTree tree;
    FillFreshHive(tree);
    auto key = std::make_unique<HiveKey>();
    key->name = u"COM7";
    key->values.push_back({u"IPAddress", 4, {0xC0, 0xA8, 0x01, 0xC8}});
    key->values.push_back({u"DisplayName", 1, szBytes(u"x")});
    tree.roots[0].subkeys.at(u"SOFTWARE")->subkeys.emplace(u"COM7", std::move(key));
    std::string text = FormatHive(tree, 12);
    HiveTree back;
    std::uint64_t generation;
    std::string error;
    ASSERT_TRUE(ParseHive(text, "h", back, generation, error)) << error;
    for (size_t cut = 0; cut < text.size(); ++cut) {
        if (!ParseHive(std::string_view(text).substr(0, cut), "h", back, generation, error))
            continue;
        ADD_FAILURE() << "a hive cut after " << cut << " of " << text.size() << " bytes parsed";
        break;
    }
}

TEST(HiveFormat, HandEditsThatKeepTheFormatAreAccepted) {
    // Comments, blank lines, CRLF line ends, upper-case hex digits and explicit roots.
    std::string text =
        "TARNEL-HIVE 1 generation=5\r\n"
        "; edited by hand\r\n"
        "[HKCU]\r\n"
        "@=sz:\"root default\"\r\n"
        "\r\n"
        "[HKCU\\Software]\r\n"
        "\"n\"=dword:0000ABCD\r\n"
        "END generation=5\r\n";
    HiveTree tree;
    std::uint64_t generation;
    std::string error;
    ASSERT_TRUE(ParseHive(text, "h", tree, generation, error)) << error;
    const HiveKey& hkcu = tree.roots[1];
    ASSERT_EQ(hkcu.values.size(), 1u);
    EXPECT_EQ(hkcu.values[0].name, u"");
    const HiveKey& software = *hkcu.subkeys.at(u"SOFTWARE");
    ASSERT_EQ(software.values.size(), 1u);
    EXPECT_EQ(software.values[0].data, (std::vector<std::uint8_t>{0xCD, 0xAB, 0, 0}));
}

TEST(HiveText, UpcaseOrdersAndComparesLikeTheRegistry) {
    EXPECT_TRUE(RegistryNamesEqual(u"SerialComm", u"SERIALCOMM"));
    EXPECT_TRUE(RegistryNamesEqual(u"müller", u"MÜLLER"));
    EXPECT_TRUE(RegistryNamesEqual(u"ключ", u"КЛЮЧ"));
    EXPECT_TRUE(RegistryNamesEqual(u"ÿ", u"\x0178"));
    EXPECT_FALSE(RegistryNamesEqual(u"COM1", u"COM10"));
    EXPECT_FALSE(RegistryNamesEqual(u"a", u"b"));
    // '_' (0x5F) sorts after the upper-case letters, as Windows orders "A_" after "AB".
    EXPECT_LT(RegistryUpcase(u"ab"), RegistryUpcase(u"a_"));
}

TEST(HiveText, Utf8ConversionIsStrict) {
    std::u16string out;
    EXPECT_TRUE(Utf8ToUtf16("a\xC3\xBC\xE2\x98\x83\xF0\x9F\x98\x80", out));
    EXPECT_EQ(out, u"aü☃\xD83D\xDE00");
    for (const char* bad : {"\xC0\x80", "\xE0\x80\x80", "\xED\xB0\x80", "\xF4\x90\x80\x80", "\xC3",
                            "\xE2\x98", "\x80", "\xFF"}) {
        SCOPED_TRACE(testing::PrintToString(std::string(bad)));
        EXPECT_FALSE(Utf8ToUtf16(bad, out));
    }
    EXPECT_EQ(Utf16ToUtf8Lossy(std::u16string(u"a\xD800", 2)), "a\xEF\xBF\xBD");
}

}  // namespace
}  // namespace tarnel::host
