// CVPInstall::DeleteINFFile on machines of several Windows versions: which "oem" INFs are the
// product's, how they go (SetupUninstallOEMInfW or deletion of the INF and its .PNF), and the
// trace lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/store/store_fixture.h"
#include "tool/install/vp_install.h"

namespace fs = std::filesystem;

namespace tarnel::storetest {
namespace {

std::string Inf(const std::string& maker) {
    std::string text = "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Ports\r\n[Strings]\r\n";
    if (!maker.empty())
        text += "Pellor.Manufacturer = \"" + maker + "\"\r\n";
    return text;
}

class DeleteInfTest : public StoreTest {
  protected:
    void TearDown() override {
        host::SetExportHidden("SetupUninstallOEMInfW", false);
        CVPInstall::LoadSetupCalls();
        StoreTest::TearDown();
    }
    fs::path Folder() { return host::Machine::current().driveC() / "Windows" / "inf"; }
    void Populate() {
        fs::create_directories(Folder());
        const std::vector<std::pair<std::string, std::string>> files = {
            {"oem5.inf", Inf("Morvik Network Printing")},
            {"oem5.PNF", "precompiled"},
            {"oem9.inf", Inf("MORVIK and further words")},
            {"oem9.PNF", "precompiled"},
            {"oem3.inf", Inf("Other Corporation")},
            {"oem4.inf", Inf("")},
            {"OEM7.INF", Inf("Morvik Network Printing")},
            {"printer.inf", Inf("Morvik Network Printing")},
        };
        for (const auto& [name, text] : files)
            std::ofstream(Folder() / name, std::ios::binary) << text;
    }
    std::vector<std::string> Left() {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(Folder()))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(DeleteInfTest, OursGoOthersStay) {
    const std::string w = "CVPInstall::DeleteINFFile ";
    const std::vector<std::string> head = {w.substr(0, w.size() - 1), w + "Delete_INFFile START",
                                           w + "MANUFACTURER : Morvik", w + "SECTION : Strings",
                                           w + "KEY : Pellor.Manufacturer"};
    const std::vector<std::string> others = {w + "Name = Pellor.Manufacturer",
                                             w + "Value = Other Corporation"};
    const std::vector<std::string> oem5 = {w + "Name = Pellor.Manufacturer",
                                           w + "Value = Morvik Network Printing"};
    const std::vector<std::string> oem9 = {w + "Name = Pellor.Manufacturer",
                                           w + "Value = MORVIK and further words"};
    const std::vector<std::string> untouched = {"OEM7.INF", "oem3.inf", "oem4.inf", "printer.inf"};
    struct Case {
        const char* label;
        bool os64, wow64;
        unsigned major, minor;
        bool hideUninstall;
        std::vector<std::string> body;  // lines between the head and the END line
        std::vector<std::string> left;
    };
    std::vector<std::string> all = untouched;
    all.insert(all.end(), {"oem5.PNF", "oem5.inf", "oem9.PNF", "oem9.inf"});
    std::sort(all.begin(), all.end());
    const std::string osLine = "CWinHelper::GetOSVersion - GetOSVersion: ";
    std::vector<Case> cases = {
        {"WOW64: SetupUninstallOEMInfW, the .PNF is already gone",
         true,
         true,
         10,
         0,
         false,
         {others[0], others[1], oem5[0], oem5[1], w + "SetupUninstallOEMInf Success! : 'oem5.inf'",
          w + "DeleteFile failed : C:\\Windows\\inf\\oem5.PNF, (2)", oem9[0], oem9[1],
          w + "SetupUninstallOEMInf Success! : 'oem9.inf'",
          w + "DeleteFile failed : C:\\Windows\\inf\\oem9.PNF, (2)"},
         untouched},
        {"Windows 2000: the INF and its .PNF are deleted as files",
         false,
         false,
         5,
         0,
         false,
         {others[0], others[1], oem5[0], oem5[1], osLine + "2004",
          w + "'C:\\Windows\\inf\\oem5.inf' has been deleted successfully.",
          w + "'C:\\Windows\\inf\\oem5.PNF' has been deleted successfully.", oem9[0], oem9[1],
          w + "'C:\\Windows\\inf\\oem9.inf' has been deleted successfully.",
          w + "'C:\\Windows\\inf\\oem9.PNF' has been deleted successfully."},
         untouched},
        {"no SetupUninstallOEMInfW: nothing is removed",
         true,
         true,
         10,
         0,
         true,
         {others[0], others[1], oem5[0], oem5[1], w + "fnSetupUninstallOEMInf is NULL", oem9[0],
          oem9[1], w + "fnSetupUninstallOEMInf is NULL"},
         all},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Boot(c.os64, c.wow64, c.major, c.minor);
        host::SetExportHidden("SetupUninstallOEMInfW", c.hideUninstall);
        CVPInstall::LoadSetupCalls();
        Populate();
        CVPInstall::DeleteINFFile(TEXT("Pellor.Manufacturer"), TEXT("Morvik"));
        std::vector<std::string> expected = head;
        expected.insert(expected.end(), c.body.begin(), c.body.end());
        expected.push_back(w + "Delete_INFFile END");
        EXPECT_EQ(TraceLines(), expected);
        EXPECT_EQ(Left(), c.left);
    }
}

}  // namespace
}  // namespace tarnel::storetest
