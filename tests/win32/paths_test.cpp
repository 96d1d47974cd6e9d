// Windows paths on the host machine: drives, separators, "." and "..", relative paths, case-
// insensitive resolution, device names, and the way back from Linux paths.
#include <filesystem>

#include <gtest/gtest.h>

#include "platform/host/win32/files.h"
#include "platform/host/win32/process.h"
#include "platform/host/win32/paths.h"
#include "tests/win32/host_fixture.h"

namespace {

using tarnel::test::U;
using tarnel::test::W;

class Paths : public tarnel::test::HostFixture {};

TEST_F(Paths, MapToLinux) {
    std::filesystem::create_directories(driveC_ + "/Program Files/Tarnel");
    std::filesystem::create_directories(scratch_ + "/Sub/Data");
    std::filesystem::create_directories(scratch_ + "/Sub/data");
    std::filesystem::create_directories(scratch_ + "/Sub/Mixed");
    const std::string c = driveC_;
    const std::string z = scratch_;
    struct Row {
        std::u16string windows;
        std::string linux;
    } rows[] = {
        {u"C:\\", c},
        // The default machine runs this program as the 32-bit tool under WOW64, which has
        // System32 redirected.
        {u"C:\\Windows\\System32", c + "/Windows/SysWOW64"},
        {u"c:/windows/SYSTEM32/Drivers", c + "/Windows/SysWOW64/drivers"},
        {u"C:\\Windows\\.\\inf\\..\\Temp\\", c + "/Windows/Temp"},
        {u"C:\\..\\..\\Windows", c + "/Windows"},
        {u"C:\\program files\\TARNEL\\New.Log", c + "/Program Files/Tarnel/New.Log"},
        {u"C:\\Windows\\NoSuch\\File.txt", c + "/Windows/NoSuch/File.txt"},
        {u"C:\\Windows.\\Temp  ", c + "/Windows/Temp"},
        {u"Z:\\", "/"},
        {u"z:\\usr\\BIN", "/usr/bin"},
        {ScratchZ() + u"\\SUB\\mixed", z + "/Sub/Mixed"},
        {ScratchZ() + u"\\Sub\\data", z + "/Sub/data"},
        {ScratchZ() + u"\\Sub\\DATA", z + "/Sub/Data"},
        {u"Sub\\Mixed\\x.txt", z + "/Sub/Mixed/x.txt"},
        {u"sub/../Sub/./mixed", z + "/Sub/Mixed"},
        {u".", z},
        {u"..\\" + W(std::filesystem::path(z).filename().string()), z},
        {u"Z:sub", z + "/Sub"},
        {u"\\usr\\bin", "/usr/bin"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(U(r.windows));
        std::string linux;
        DWORD error = 0;
        ASSERT_TRUE(tarnel::host::ToLinuxPath(r.windows.c_str(), linux, error)) << error;
        EXPECT_EQ(r.linux, linux);
    }
}

TEST_F(Paths, RefusedPaths) {
    struct Row {
        std::u16string path;
        DWORD error;
    } rows[] = {
        {u"", ERROR_PATH_NOT_FOUND},         {u"D:\\data", ERROR_PATH_NOT_FOUND},
        {u"C:\\a|b", ERROR_INVALID_NAME},    {u"C:\\what?.txt", ERROR_INVALID_NAME},
        {u"C:\\a\\b:c", ERROR_INVALID_NAME}, {u"\\\\server\\share\\file", ERROR_BAD_NETPATH},
        {u"COM5", ERROR_FILE_NOT_FOUND},     {u"\\\\.\\COM12", ERROR_FILE_NOT_FOUND},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(U(r.path));
        std::string linux;
        DWORD error = 0;
        EXPECT_FALSE(tarnel::host::ToLinuxPath(r.path.c_str(), linux, error));
        EXPECT_EQ(r.error, error);
    }
    std::string linux;
    DWORD error = 0;
    EXPECT_FALSE(tarnel::host::ToLinuxPath(nullptr, linux, error));
}

TEST_F(Paths, DeviceNames) {
    struct Row {
        std::u16string path;
        const char16_t* device;  // null: a file
    } rows[] = {
        {u"COM5", u"COM5"},
        {u"com1:", u"COM1"},
        {u"\\\\.\\COM12", u"COM12"},
        {u"//./COM3", u"COM3"},
        {u"\\\\.\\Global\\TarnelControl", u"Global\\TarnelControl"},
        {u"\\\\?\\GLOBALROOT\\Device\\Serial0", u"GLOBALROOT\\Device\\Serial0"},
        {u"NUL", u"NUL"},
        {u"C:\\Windows\\lpt1.txt", u"LPT1"},
        {u"C:\\Windows\\COM10", nullptr},  // only COM1 to COM9 are reserved names
        {u"COM0", nullptr},
        {u"C:\\Log\\Com_0102_1030.log", nullptr},
        {u"C:\\Log\\ComPRN_0102_1030.bin", nullptr},
        {u"\\\\.\\C:\\Windows", nullptr},
        {u"\\\\?\\C:\\Windows", nullptr},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(U(r.path));
        std::u16string name;
        EXPECT_EQ(r.device != nullptr, tarnel::host::IsDevicePath(r.path.c_str(), &name));
        if (r.device) {
            EXPECT_EQ(std::u16string(r.device), name);
        }
    }
    // Files under the device prefixes map like plain paths.
    std::string linux;
    DWORD error = 0;
    ASSERT_TRUE(tarnel::host::ToLinuxPath(u"\\\\?\\C:\\Windows", linux, error));
    EXPECT_EQ(driveC_ + "/Windows", linux);
}

TEST_F(Paths, MapToWindows) {
    struct Row {
        std::string linux;
        std::u16string windows;
    } rows[] = {
        {driveC_, u"C:\\"},
        {driveC_ + "/Windows/System32/", u"C:\\Windows\\System32"},
        {"/", u"Z:\\"},
        {"/usr/bin/tarnel", u"Z:\\usr\\bin\\tarnel"},
        {"/tmp/a/../b", u"Z:\\tmp\\b"},
        {"rel/x", ScratchZ() + u"\\rel\\x"},
        {driveC_ + "x", W("Z:" + driveC_ + "x")},  // a sibling that only shares the prefix
    };
    for (Row& r : rows) {
        for (char16_t& ch : r.windows) {
            if (ch == '/')
                ch = '\\';
        }
        SCOPED_TRACE(r.linux);
        std::u16string windows;
        ASSERT_TRUE(tarnel::host::ToWindowsPath(r.linux, windows));
        EXPECT_EQ(r.windows, windows);
    }
}

TEST_F(Paths, CurrentAndFullPaths) {
    WCHAR buffer[MAX_PATH];
    std::u16string here = ScratchZ();
    DWORD needed = GetCurrentDirectoryW(0, nullptr);
    EXPECT_EQ(here.size() + 1, needed);
    buffer[0] = '#';
    EXPECT_EQ(needed, GetCurrentDirectoryW(DWORD(here.size()), buffer)) << "one short";
    EXPECT_EQ('#', buffer[0]) << "nothing written";
    EXPECT_EQ(here.size(), GetCurrentDirectoryW(MAX_PATH, buffer));
    EXPECT_EQ(here, std::u16string(buffer));

    WCHAR* filePart = nullptr;
    std::u16string expected = here + u"\\log.txt";
    EXPECT_EQ(expected.size(),
              GetFullPathNameW(TEXT("sub\\..\\log.txt"), MAX_PATH, buffer, &filePart));
    EXPECT_EQ(expected, std::u16string(buffer));
    ASSERT_NE(nullptr, filePart);
    EXPECT_EQ(u"log.txt", std::u16string(filePart));
    EXPECT_EQ(expected.size() + 1, GetFullPathNameW(TEXT("log.txt"), 4, buffer, &filePart));
    EXPECT_EQ(3u, GetFullPathNameW(TEXT("c:/"), MAX_PATH, buffer, nullptr));
    EXPECT_EQ(u"C:\\", std::u16string(buffer));
    EXPECT_EQ(11u, GetFullPathNameW(TEXT("C:\\Windows\\"), MAX_PATH, buffer, &filePart));
    EXPECT_EQ(u"C:\\Windows\\", std::u16string(buffer));
    EXPECT_EQ(nullptr, filePart);

    ASSERT_TRUE(CreateDirectoryW(TEXT("Inner"), nullptr));
    ASSERT_TRUE(SetCurrentDirectoryW(TEXT("INNER")));
    EXPECT_EQ(scratch_ + "/Inner", std::filesystem::current_path().string());
    SetLastError(0);
    EXPECT_FALSE(SetCurrentDirectoryW(TEXT("missing")));
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
}

}  // namespace
