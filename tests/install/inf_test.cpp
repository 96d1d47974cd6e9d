// INF files on a test machine: the reader's syntax (quotes, comments, continuations, strings,
// Unicode and ANSI), the SetupAPI calls the tool makes, and the package's two INF files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/host/win32/inf_parser.h"
#include "tests/store/store_fixture.h"

namespace fs = std::filesystem;

namespace tarnel::storetest {
namespace {

class InfTest : public StoreTest {
  protected:
    fs::path InfFolder() { return host::Machine::current().driveC() / "Windows" / "inf"; }
    void Put(const std::string& name, const std::string& bytes) {
        fs::create_directories(InfFolder());
        std::ofstream(InfFolder() / name, std::ios::binary) << bytes;
    }
    // The field of a line found through SetupAPI, or "<error N>".
    std::string Field(const char16_t* file, const char16_t* section, const char16_t* key,
                      DWORD index) {
        HINF inf = SetupOpenInfFileW(file, nullptr, INF_STYLE_OLDNT | INF_STYLE_WIN4, nullptr);
        if (inf == INVALID_HANDLE_VALUE)
            return "<open error " + std::to_string(GetLastError()) + ">";
        INFCONTEXT context;
        std::string out;
        WCHAR buffer[260];
        if (!SetupFindFirstLineW(inf, section, key, &context))
            out = "<find error " + std::to_string(GetLastError()) + ">";
        else if (!SetupGetStringFieldW(&context, index, buffer, 260, nullptr))
            out = "<field error " + std::to_string(GetLastError()) + ">";
        else
            out = Narrow(std::u16string_view(buffer));
        SetupCloseInfFile(inf);
        return out;
    }
};

std::string Utf16File(const std::string& ascii) {
    std::string bytes = "\xFF\xFE";
    for (char c : ascii) {
        bytes.push_back(c);
        bytes.push_back(0);
    }
    return bytes;
}

const std::string kSample =
    "; a comment line\r\n"
    "[Version]\r\n"
    "Signature = \"$Windows NT$\"  ; trailing comment\r\n"
    "Class=Ports\r\n"
    "ClassGuid={4D36E978-E325-11CE-BFC1-08002BE10318}\r\n"
    "\r\n"
    "[strings]\r\n"
    "Maker = \"Morvik Printing, Inc.\"\r\n"
    "Quote = \"say \"\"hi\"\"\"\r\n"
    "[Data]\r\n"
    "Name = %Maker%, %maker% and %%, %12%\\Tarnel.sys, %Unknown%\r\n"
    "List = one, \\\r\n"
    "       two ; comment after a continuation\r\n"
    "Semi = \"a;b\", c\r\n"
    "Spaces =   inner  text  ,\"  kept  \"\r\n"
    "Tarnel.sys\r\n"
    "HKR,,PortSubClass,1,01\r\n"
    "Said = %Quote%\r\n";

TEST_F(InfTest, SyntaxInAnsiAndUnicodeFiles) {
    struct Case {
        const char16_t* key;
        DWORD index;
        std::string expected;
    };
    const Case cases[] = {
        {u"Name", 0, "Name"},
        {u"name", 1, "Morvik Printing, Inc."},
        {u"Name", 2, "Morvik Printing, Inc. and %"},
        {u"Name", 3, "C:\\Windows\\System32\\drivers\\Tarnel.sys"},
        {u"Name", 4, "%Unknown%"},
        {u"Name", 5, "<field error 87>"},
        {u"List", 1, "one"},
        {u"List", 2, "two"},
        {u"Semi", 1, "a;b"},
        {u"Semi", 2, "c"},
        {u"Spaces", 1, "inner  text"},
        {u"Spaces", 2, "  kept  "},
        {u"Tarnel.sys", 0, "Tarnel.sys"},
        {u"Tarnel.sys", 1, "Tarnel.sys"},
        {u"Said", 1, "say \"hi\""},
        {u"Missing", 1, "<find error " + std::to_string(ERROR_LINE_NOT_FOUND) + ">"},
    };
    Put("ansi.inf", kSample);
    Put("unicode.inf", Utf16File(kSample));
    for (const char16_t* file : {u"ansi.inf", u"unicode.inf"}) {
        SCOPED_TRACE(Narrow(std::u16string_view(file)));
        for (const Case& c : cases) {
            SCOPED_TRACE(Narrow(std::u16string_view(c.key)) + " " + std::to_string(c.index));
            EXPECT_EQ(Field(file, u"Data", c.key, c.index), c.expected);
        }
        EXPECT_EQ(Field(file, u"Nowhere", u"x", 0),
                  "<find error " + std::to_string(ERROR_SECTION_NOT_FOUND) + ">");
    }
    // A key-less line with several fields is found as the section's first line by its fields.
    HINF inf = SetupOpenInfFileW(u"ansi.inf", nullptr, INF_STYLE_WIN4, nullptr);
    ASSERT_NE(inf, INVALID_HANDLE_VALUE);
    INFCONTEXT context;
    ASSERT_TRUE(SetupFindFirstLineW(inf, u"DATA", nullptr, &context));
    DWORD required = 0;
    EXPECT_TRUE(SetupGetStringFieldW(&context, 1, nullptr, 0, &required));
    EXPECT_EQ(required, 22u);  // "Morvik Printing, Inc." and its null
    WCHAR small[5];
    EXPECT_FALSE(SetupGetStringFieldW(&context, 1, small, 5, &required));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    SetupCloseInfFile(inf);
}

TEST_F(InfTest, OpenFailuresAndStyles) {
    Put("old.inf", "[Version]\r\nSignature=\"$Something$\"\r\n[A]\r\nk=v\r\n");
    Put("nosection.inf", "k = v\r\n[A]\r\n");
    Put("badsection.inf", "[Version\r\n");
    Put("quote.inf", "[A]\r\nk = \"open\r\n");
    Put("ports.inf", kSample);
    struct Case {
        const char* label;
        const char16_t* file;
        const char16_t* cls;
        DWORD style;
        DWORD error;  // 0: opens
        UINT line;
    };
    const Case cases[] = {
        {"missing file", u"none.inf", nullptr, INF_STYLE_WIN4, ERROR_FILE_NOT_FOUND, 0},
        {"old style asked as Win4", u"old.inf", nullptr, INF_STYLE_WIN4, ERROR_WRONG_INF_STYLE, 0},
        {"old style", u"old.inf", nullptr, INF_STYLE_OLDNT, 0, 0},
        {"line before any section", u"nosection.inf", nullptr, INF_STYLE_OLDNT,
         ERROR_EXPECTED_SECTION_NAME, 1},
        {"section without ]", u"badsection.inf", nullptr, INF_STYLE_OLDNT,
         ERROR_BAD_SECTION_NAME_LINE, 1},
        {"unclosed quote", u"quote.inf", nullptr, INF_STYLE_OLDNT, ERROR_GENERAL_SYNTAX, 2},
        {"class matches", u"ports.inf", u"ports", INF_STYLE_WIN4, 0, 0},
        {"class differs", u"ports.inf", u"Net", INF_STYLE_WIN4, ERROR_CLASS_MISMATCH, 0},
        {"full path", u"C:\\Windows\\INF\\ports.inf", nullptr, INF_STYLE_WIN4, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        UINT line = 99;
        HINF inf = SetupOpenInfFileW(c.file, c.cls, c.style, &line);
        if (c.error == 0) {
            EXPECT_NE(inf, INVALID_HANDLE_VALUE);
            SetupCloseInfFile(inf);
        } else {
            EXPECT_EQ(inf, INVALID_HANDLE_VALUE);
            EXPECT_EQ(GetLastError(), c.error);
            if (c.error != ERROR_WRONG_INF_STYLE && c.error != ERROR_CLASS_MISMATCH) {
                EXPECT_EQ(line, c.line);
            }
        }
    }
}

TEST_F(InfTest, FileListClassAndOemRemoval) {
    Put("oem5.inf", kSample);
    Put("oem5.PNF", "precompiled");
    Put("OEM7.INF", kSample);
    Put("old.inf", "[Version]\r\nSignature=\"$Something$\"\r\n");
    Put("notes.txt", "not an INF");
    DWORD size = 0;
    ASSERT_TRUE(SetupGetInfFileListW(nullptr, INF_STYLE_WIN4, nullptr, 0, &size));
    std::vector<WCHAR> list(size + 1, 0);
    ASSERT_TRUE(SetupGetInfFileListW(nullptr, INF_STYLE_WIN4, list.data(), size + 1, nullptr));
    std::vector<std::string> names;
    for (const WCHAR* p = list.data(); *p; p += std::u16string_view(p).size() + 1)
        names.push_back(Narrow(std::u16string_view(p)));
    EXPECT_EQ(names, (std::vector<std::string>{"OEM7.INF", "oem5.inf"}));

    GUID guid{};
    WCHAR name[MAX_CLASS_NAME_LEN];
    ASSERT_TRUE(SetupDiGetINFClassW(u"C:\\Windows\\INF\\oem5.inf", &guid, name, MAX_CLASS_NAME_LEN,
                                    nullptr));
    EXPECT_EQ(Narrow(std::u16string_view(name)), "Ports");
    EXPECT_EQ(guid.Data1, 0x4D36E978u);
    EXPECT_EQ(guid.Data4[7], 0x18);
    EXPECT_FALSE(SetupDiGetINFClassW(u"C:\\Windows\\INF\\old.inf", &guid, name, MAX_CLASS_NAME_LEN,
                                     nullptr));

    EXPECT_FALSE(SetupUninstallOEMInfW(u"old.inf", SUOI_FORCEDELETE, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SetupUninstallOEMInfW(u"oem9.inf", SUOI_FORCEDELETE, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(SetupUninstallOEMInfW(u"oem5.inf", SUOI_FORCEDELETE, nullptr));
    EXPECT_FALSE(fs::exists(InfFolder() / "oem5.inf"));
    EXPECT_FALSE(fs::exists(InfFolder() / "oem5.PNF"));
    EXPECT_TRUE(fs::exists(InfFolder() / "OEM7.INF"));
}

// The package's INFs read cleanly and carry what the tool and the Ports class installer need.
TEST_F(InfTest, ThePackageInfFiles) {
    for (const char* file : {"Tarnel.INF", "secure/OstraTarnel.INF"}) {
        SCOPED_TRACE(file);
        host::InfFile inf;
        DWORD error = 0;
        UINT line = 0;
        ASSERT_TRUE(
            host::ParseInfFile(std::string(TARNEL_PACKAGE_DIR) + "/" + file, inf, error, line))
            << "error " << error << " at line " << line;
        EXPECT_EQ(inf.style, DWORD(INF_STYLE_WIN4));
        auto value = [&](const char16_t* section, const char16_t* key, size_t field = 0) {
            const host::InfLine* l = inf.FindLine(section, key);
            return l && field < l->fields.size() ? Narrow(l->fields[field]) : "<none>";
        };
        EXPECT_EQ(value(u"Version", u"Class"), "Ports");
        EXPECT_EQ(value(u"Version", u"ClassGuid"), "{4D36E978-E325-11CE-BFC1-08002BE10318}");
        EXPECT_NE(value(u"Version", u"CatalogFile"), "<none>");
        EXPECT_NE(value(u"Version", u"DriverVer"), "<none>");
        const std::string maker = value(u"Strings", u"Pellor.Manufacturer");
        EXPECT_EQ(maker.rfind("Morvik", 0), 0u) << maker;
        // The models section for x64 names the hardware id.
        const host::InfLine* manufacturer =
            inf.Find(u"Manufacturer") ? &inf.Find(u"Manufacturer")->lines.at(0) : nullptr;
        ASSERT_NE(manufacturer, nullptr);
        ASSERT_EQ(manufacturer->fields.size(), 2u);
        EXPECT_EQ(Narrow(manufacturer->fields[1]), "NTamd64");
        const std::u16string models = manufacturer->fields[0] + u".NTamd64";
        const host::InfSection* modelSection = inf.Find(models);
        ASSERT_NE(modelSection, nullptr);
        ASSERT_EQ(modelSection->lines.size(), 1u);
        const host::InfLine& model = modelSection->lines[0];
        ASSERT_EQ(model.fields.size(), 2u);
        EXPECT_EQ(Narrow(model.fields[1]), "morvik\\tarnel");
        const std::u16string install = model.fields[0] + u".NTamd64";
        EXPECT_EQ(value(install.c_str(), u"CopyFiles"), "Tarnel.CopyFiles");
        EXPECT_EQ(value(u"Tarnel.CopyFiles", u"Tarnel.sys"), "Tarnel.sys");
        EXPECT_EQ(value(u"DestinationDirs", u"Tarnel.CopyFiles"), "12");
        EXPECT_EQ(value((install + u".Services").c_str(), u"AddService", 0), "TARNEL");
        EXPECT_EQ(value((install + u".Services").c_str(), u"AddService", 1), "0x00000002");
        const std::string service = value((install + u".Services").c_str(), u"AddService", 2);
        const std::u16string serviceSection(service.begin(), service.end());
        EXPECT_EQ(value(serviceSection.c_str(), u"ServiceType"), "1");
        EXPECT_EQ(value(serviceSection.c_str(), u"StartType"), "3");
        EXPECT_EQ(value(serviceSection.c_str(), u"ServiceBinary"),
                  "C:\\Windows\\System32\\drivers\\Tarnel.sys");
    }
}

}  // namespace
}  // namespace tarnel::storetest
