// Files and folders of the host machine: CreateFileW's dispositions and error codes, share modes,
// the read-only rule, appending, positions, find with wildcards, attributes, times, copy, move
// and folders.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/host/win32/windows.h"
#include "tests/win32/host_fixture.h"

namespace {

using tarnel::test::U;
using tarnel::test::W;

// Closes a handle at the end of a scope.
class Handle {
  public:
    explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
    ~Handle() { reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle& operator=(HANDLE h) {
        reset();
        h_ = h;
        return *this;
    }
    void reset() {
        if (h_ != INVALID_HANDLE_VALUE)
            CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
    }
    HANDLE get() const { return h_; }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }

  private:
    HANDLE h_;
};

HANDLE Open(const std::u16string& path, DWORD access, DWORD share, DWORD disposition,
            DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    return CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
}

bool Write(HANDLE h, const std::string& text, OVERLAPPED* ov = nullptr) {
    DWORD written = 0;
    return WriteFile(h, text.data(), DWORD(text.size()), &written, ov) && written == text.size();
}

class Files : public tarnel::test::HostFixture {
  protected:
    void SetUp() override {
        HostFixture::SetUp();
        work_ = driveC_ + "/Work";
        std::filesystem::create_directories(work_ + "/Folder");
        WriteText(work_ + "/existing.txt", "hello");
        WriteText(work_ + "/ro.txt", "locked");
        ASSERT_TRUE(SetFileAttributesW(TEXT("C:\\Work\\ro.txt"), FILE_ATTRIBUTE_READONLY));
    }
    std::string work_;
};

TEST_F(Files, CreateFileDispositionsAndErrors) {
    struct Row {
        const char* label;
        std::u16string path;
        DWORD access;
        DWORD disposition;
        DWORD flags;
        bool opens;
        DWORD error;
    } rows[] = {
        {"missing folder", u"C:\\Work\\NoFolder\\a.txt", GENERIC_READ, OPEN_EXISTING, 0, false,
         ERROR_PATH_NOT_FOUND},
        {"missing folder, creating", u"C:\\Work\\NoFolder\\a.txt", GENERIC_WRITE, CREATE_NEW, 0,
         false, ERROR_PATH_NOT_FOUND},
        {"a file as a folder", u"C:\\Work\\existing.txt\\a.txt", GENERIC_READ, OPEN_EXISTING, 0,
         false, ERROR_PATH_NOT_FOUND},
        {"missing file", u"C:\\Work\\none.txt", GENERIC_READ, OPEN_EXISTING, 0, false,
         ERROR_FILE_NOT_FOUND},
        {"truncating a missing file", u"C:\\Work\\none.txt", GENERIC_WRITE, TRUNCATE_EXISTING, 0,
         false, ERROR_FILE_NOT_FOUND},
        {"CREATE_NEW on an existing file", u"C:\\Work\\EXISTING.txt", GENERIC_WRITE, CREATE_NEW, 0,
         false, ERROR_FILE_EXISTS},
        {"OPEN_ALWAYS on an existing file", u"C:\\Work\\existing.txt", GENERIC_READ, OPEN_ALWAYS, 0,
         true, ERROR_ALREADY_EXISTS},
        {"OPEN_ALWAYS creating", u"C:\\Work\\new1.txt", GENERIC_WRITE, OPEN_ALWAYS, 0, true,
         ERROR_SUCCESS},
        {"CREATE_NEW creating", u"C:\\Work\\new2.txt", GENERIC_WRITE, CREATE_NEW, 0, true,
         ERROR_SUCCESS},
        {"OPEN_EXISTING", u"c:/work/existing.TXT", GENERIC_READ, OPEN_EXISTING, 0, true,
         ERROR_SUCCESS},
        {"a folder as a file", u"C:\\Work\\Folder", GENERIC_READ, OPEN_EXISTING, 0, false,
         ERROR_ACCESS_DENIED},
        {"a folder with backup semantics", u"C:\\Work\\Folder", GENERIC_READ, OPEN_EXISTING,
         FILE_FLAG_BACKUP_SEMANTICS, true, ERROR_SUCCESS},
        {"writing a read-only file", u"C:\\Work\\ro.txt", GENERIC_WRITE, OPEN_EXISTING, 0, false,
         ERROR_ACCESS_DENIED},
        {"appending to a read-only file", u"C:\\Work\\ro.txt", FILE_APPEND_DATA, OPEN_ALWAYS, 0,
         false, ERROR_ACCESS_DENIED},
        {"replacing a read-only file", u"C:\\Work\\ro.txt", GENERIC_READ, CREATE_ALWAYS, 0, false,
         ERROR_ACCESS_DENIED},
        {"reading a read-only file", u"C:\\Work\\ro.txt", GENERIC_READ, OPEN_EXISTING, 0, true,
         ERROR_SUCCESS},
        {"TRUNCATE_EXISTING without write access", u"C:\\Work\\existing.txt", GENERIC_READ,
         TRUNCATE_EXISTING, 0, false, ERROR_INVALID_PARAMETER},
        {"no disposition", u"C:\\Work\\existing.txt", GENERIC_READ, 0, 0, false,
         ERROR_INVALID_PARAMETER},
        {"a device name", u"COM5", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, 0, false,
         ERROR_FILE_NOT_FOUND},
        {"a device path", u"\\\\.\\COM12", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, 0, false,
         ERROR_FILE_NOT_FOUND},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.label);
        SetLastError(12345);
        Handle h(Open(r.path, r.access, FILE_SHARE_READ, r.disposition, r.flags));
        EXPECT_EQ(r.opens, h.valid());
        EXPECT_EQ(r.error, GetLastError());
    }
    EXPECT_EQ("hello", ReadText(work_ + "/existing.txt")) << "nothing above changed it";
    EXPECT_EQ("locked", ReadText(work_ + "/ro.txt"));
    EXPECT_TRUE(std::filesystem::exists(work_ + "/new1.txt"));
}

TEST_F(Files, CreateAlwaysTruncatesAndKeepsTheGivenSpelling) {
    {
        SetLastError(0);
        Handle h(Open(u"C:\\WORK\\Existing.TXT", GENERIC_WRITE, 0, CREATE_ALWAYS));
        ASSERT_TRUE(h.valid());
        EXPECT_EQ(DWORD(ERROR_ALREADY_EXISTS), GetLastError());
        EXPECT_TRUE(Write(h.get(), "new"));
    }
    EXPECT_EQ("new", ReadText(work_ + "/existing.txt")) << "the existing file, truncated";
    {
        Handle h(Open(u"C:\\work\\MixedCase.Log", GENERIC_WRITE, 0, CREATE_NEW));
        ASSERT_TRUE(h.valid());
    }
    EXPECT_TRUE(std::filesystem::exists(work_ + "/MixedCase.Log"));
}

TEST_F(Files, ReadingWritingAndPositions) {
    Handle h(Open(u"C:\\Work\\data.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW));
    ASSERT_TRUE(h.valid());
    ASSERT_TRUE(Write(h.get(), "0123456789"));
    EXPECT_EQ(10u, GetFileSize(h.get(), nullptr));

    char buffer[16] = {};
    DWORD read = 99;
    EXPECT_TRUE(ReadFile(h.get(), buffer, 4, &read, nullptr)) << "at the end: success";
    EXPECT_EQ(0u, read);

    EXPECT_EQ(2u, SetFilePointer(h.get(), 2, nullptr, FILE_BEGIN));
    EXPECT_TRUE(ReadFile(h.get(), buffer, 3, &read, nullptr));
    EXPECT_EQ("234", std::string(buffer, read));
    EXPECT_EQ(7u, SetFilePointer(h.get(), 2, nullptr, FILE_CURRENT));
    EXPECT_EQ(8u, SetFilePointer(h.get(), -2, nullptr, FILE_END));
    SetLastError(0);
    EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(h.get(), -11, nullptr, FILE_END));
    EXPECT_EQ(DWORD(ERROR_NEGATIVE_SEEK), GetLastError());
    LONG high = 1;
    EXPECT_EQ(0u, SetFilePointer(h.get(), 0, &high, FILE_BEGIN)) << "2^32 with the high part";
    EXPECT_EQ(1, high);
    EXPECT_EQ(DWORD(ERROR_SUCCESS), GetLastError());

    // An OVERLAPPED gives the position of one call.
    OVERLAPPED ov{};
    ov.Offset = 5;
    EXPECT_TRUE(ReadFile(h.get(), buffer, 3, &read, &ov));
    EXPECT_EQ("567", std::string(buffer, read));
    ov.Offset = 1;
    EXPECT_TRUE(Write(h.get(), "AB", &ov));
    ov.Offset = 20;
    SetLastError(0);
    EXPECT_FALSE(ReadFile(h.get(), buffer, 3, &read, &ov)) << "past the end with a position";
    EXPECT_EQ(DWORD(ERROR_HANDLE_EOF), GetLastError());

    LARGE_INTEGER size{};
    EXPECT_TRUE(GetFileSizeEx(h.get(), &size));
    EXPECT_EQ(10, size.QuadPart);
    EXPECT_EQ(4u, SetFilePointer(h.get(), 4, nullptr, FILE_BEGIN));
    EXPECT_TRUE(SetEndOfFile(h.get()));
    EXPECT_TRUE(FlushFileBuffers(h.get()));
    h.reset();
    EXPECT_EQ("0AB3", ReadText(work_ + "/data.bin"));

    Handle reader(Open(u"C:\\Work\\existing.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
    SetLastError(0);
    EXPECT_FALSE(Write(reader.get(), "x"));
    EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_FALSE(FlushFileBuffers(reader.get()));
    Handle writer(Open(u"C:\\Work\\w.txt", GENERIC_WRITE, 0, CREATE_NEW));
    SetLastError(0);
    EXPECT_FALSE(ReadFile(writer.get(), buffer, 1, &read, nullptr));
    EXPECT_EQ(DWORD(ERROR_ACCESS_DENIED), GetLastError());
    SetLastError(0);
    EXPECT_FALSE(ReadFile(nullptr, buffer, 1, &read, nullptr));
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(Files, AppendingWritesAlwaysGoToTheEnd) {
    const std::u16string log = u"C:\\Work\\trace.log";
    auto openLog = [&] {
        return Open(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS);
    };
    Handle first(openLog());
    Handle second(openLog());
    ASSERT_TRUE(first.valid());
    ASSERT_TRUE(second.valid()) << "the trace log's own share mode admits a second writer";
    EXPECT_TRUE(Write(first.get(), "one\r\n"));
    EXPECT_TRUE(Write(second.get(), "two\r\n"));
    SetFilePointer(first.get(), 0, nullptr, FILE_BEGIN);
    EXPECT_TRUE(Write(first.get(), "three\r\n")) << "the pointer does not matter";
    OVERLAPPED ov{};
    EXPECT_TRUE(Write(second.get(), "four\r\n", &ov)) << "nor does an offset";
    // A writer that is not append-only overwrites at its position meanwhile.
    Handle other(Open(log, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING));
    ASSERT_TRUE(other.valid());
    EXPECT_TRUE(Write(other.get(), "ONE"));
    EXPECT_TRUE(Write(first.get(), "five\r\n"));
    first.reset();
    second.reset();
    other.reset();
    EXPECT_EQ("ONE\r\ntwo\r\nthree\r\nfour\r\nfive\r\n", ReadText(work_ + "/trace.log"));
}

TEST_F(Files, ShareModes) {
    const DWORD R = GENERIC_READ, Wr = GENERIC_WRITE, A = FILE_APPEND_DATA, SR = FILE_SHARE_READ,
                SW = FILE_SHARE_WRITE, SD = FILE_SHARE_DELETE;
    struct Row {
        const char* label;
        DWORD access1, share1, access2, share2;
        bool secondOpens;
    } rows[] = {
        {"two readers sharing reads", R, SR, R, SR, true},
        {"a writer where reads alone are shared", R, SR, Wr, SR | SW, false},
        {"a reader that does not share the writer's writes", Wr, SR, R, SR, false},
        {"a reader that shares writes", Wr, SR, R, SR | SW, true},
        {"two appenders sharing both", A, SR | SW, A, SR | SW, true},
        {"exclusive first open", R, 0, R, SR | SW | SD, false},
        {"attributes only take no part", R, 0, FILE_READ_ATTRIBUTES, 0, true},
        {"delete access needs share delete", R, SR, DELETE, SR | SW, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.label);
        Handle first(Open(u"C:\\Work\\existing.txt", r.access1, r.share1, OPEN_EXISTING));
        ASSERT_TRUE(first.valid());
        SetLastError(0);
        Handle second(Open(u"C:\\Work\\EXISTING.TXT", r.access2, r.share2, OPEN_EXISTING));
        EXPECT_EQ(r.secondOpens, second.valid());
        EXPECT_EQ(r.secondOpens ? DWORD(ERROR_SUCCESS) : DWORD(ERROR_SHARING_VIOLATION),
                  GetLastError());
    }
    // A refused CREATE_ALWAYS leaves the content alone, and closing frees the file.
    Handle reader(Open(u"C:\\Work\\existing.txt", R, SR, OPEN_EXISTING));
    EXPECT_FALSE(Handle(Open(u"C:\\Work\\existing.txt", Wr, SR, CREATE_ALWAYS)).valid());
    EXPECT_EQ("hello", ReadText(work_ + "/existing.txt"));
    reader.reset();
    EXPECT_TRUE(Handle(Open(u"C:\\Work\\existing.txt", Wr, 0, OPEN_EXISTING)).valid());
}

TEST_F(Files, DeletingFiles) {
    Handle open(Open(u"C:\\Work\\existing.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
    struct Row {
        const char* label;
        std::u16string path;
        DWORD error;
    } rows[] = {
        {"read-only", u"C:\\Work\\ro.txt", ERROR_ACCESS_DENIED},
        {"open without share delete", u"C:\\Work\\existing.txt", ERROR_SHARING_VIOLATION},
        {"missing", u"C:\\Work\\none.txt", ERROR_FILE_NOT_FOUND},
        {"missing folder", u"C:\\Work\\NoFolder\\none.txt", ERROR_PATH_NOT_FOUND},
        {"a folder", u"C:\\Work\\Folder", ERROR_ACCESS_DENIED},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.label);
        SetLastError(0);
        EXPECT_FALSE(DeleteFileW(r.path.c_str()));
        EXPECT_EQ(r.error, GetLastError());
    }
    EXPECT_TRUE(std::filesystem::exists(work_ + "/ro.txt"));
    open.reset();
    EXPECT_TRUE(DeleteFileW(TEXT("C:\\WORK\\EXISTING.TXT")));
    EXPECT_FALSE(std::filesystem::exists(work_ + "/existing.txt"));
    // Clearing the attribute first makes a read-only file deletable, as the uninstall does.
    EXPECT_TRUE(SetFileAttributesW(TEXT("C:\\Work\\ro.txt"), FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(DeleteFileW(TEXT("C:\\Work\\ro.txt")));

    Handle shared(Open(u"C:\\Work\\s.txt", GENERIC_WRITE, FILE_SHARE_DELETE, CREATE_NEW));
    EXPECT_TRUE(DeleteFileW(TEXT("C:\\Work\\s.txt"))) << "open with share delete";
    Handle temp(Open(u"C:\\Work\\t.txt", GENERIC_WRITE, 0, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE));
    EXPECT_TRUE(std::filesystem::exists(work_ + "/t.txt"));
    temp.reset();
    EXPECT_FALSE(std::filesystem::exists(work_ + "/t.txt")) << "delete on close";
}

TEST_F(Files, FindWithWildcards) {
    std::filesystem::create_directories(work_ + "/Find/Sub");
    for (const char* name : {"Alpha.log", "beta.LOG", "gamma.txt", "noext", "a1.log", "ab.log"})
        WriteText(work_ + "/Find/" + name, name);
    auto find = [](const std::u16string& pattern, DWORD& error) {
        std::vector<std::string> names;
        WIN32_FIND_DATAW data;
        SetLastError(0);
        HANDLE h = FindFirstFileW(pattern.c_str(), &data);
        error = GetLastError();
        if (h == INVALID_HANDLE_VALUE)
            return names;
        do
            names.push_back(U(data.cFileName));
        while (FindNextFileW(h, &data));
        error = GetLastError();
        EXPECT_TRUE(FindClose(h));
        return names;
    };
    using Names = std::vector<std::string>;
    const Names all = {".",        "..",        "a1.log", "ab.log", "Alpha.log",
                       "beta.LOG", "gamma.txt", "noext",  "Sub"};
    struct Row {
        std::u16string pattern;
        Names names;
        DWORD error;
    } rows[] = {
        {u"C:\\Work\\Find\\*.log",
         {"a1.log", "ab.log", "Alpha.log", "beta.LOG"},
         ERROR_NO_MORE_FILES},
        {u"C:\\Work\\Find\\a?.log", {"a1.log", "ab.log"}, ERROR_NO_MORE_FILES},
        {u"c:/work/find/*L*.*G", {"Alpha.log"}, ERROR_NO_MORE_FILES},
        {u"C:\\Work\\Find\\*", all, ERROR_NO_MORE_FILES},
        {u"C:\\Work\\Find\\*.*", all, ERROR_NO_MORE_FILES},
        {u"C:\\Work\\Find\\ALPHA.LOG", {"Alpha.log"}, ERROR_NO_MORE_FILES},
        {u"C:\\Work\\Find", {"Find"}, ERROR_NO_MORE_FILES},
        {u"C:\\Work\\Find\\*.xyz", {}, ERROR_FILE_NOT_FOUND},
        {u"C:\\Work\\Find\\missing.inf", {}, ERROR_FILE_NOT_FOUND},
        {u"C:\\Work\\NoSuch\\*.log", {}, ERROR_PATH_NOT_FOUND},
        {u"C:\\Work\\Find\\", {}, ERROR_FILE_NOT_FOUND},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(U(r.pattern));
        DWORD error = 0;
        EXPECT_EQ(r.names, find(r.pattern, error));
        EXPECT_EQ(r.error, error);
    }

    WIN32_FIND_DATAW data;
    HANDLE h = FindFirstFileW(TEXT("C:\\Work\\Find\\S*"), &data);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(DWORD(FILE_ATTRIBUTE_DIRECTORY), data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(h)) << "find handles close with FindClose";
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_TRUE(FindClose(h));
    EXPECT_FALSE(FindNextFileW(h, &data));
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
    h = FindFirstFileW(TEXT("C:\\Work\\Find\\gamma.txt"), &data);
    EXPECT_EQ(9u, data.nFileSizeLow);
    EXPECT_EQ(DWORD(FILE_ATTRIBUTE_NORMAL), data.dwFileAttributes);
    FindClose(h);

    Handle file(Open(u"C:\\Work\\existing.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
    EXPECT_FALSE(FindClose(file.get()));
    EXPECT_FALSE(FindNextFileW(file.get(), &data));
}

TEST_F(Files, AttributesRoundTrip) {
    const std::u16string path = u"C:\\Work\\attr.txt";
    { Handle h(Open(path, GENERIC_WRITE, 0, CREATE_NEW)); }
    EXPECT_EQ(DWORD(FILE_ATTRIBUTE_ARCHIVE), GetFileAttributesW(path.c_str())) << "new files";
    const DWORD RO = FILE_ATTRIBUTE_READONLY, H = FILE_ATTRIBUTE_HIDDEN, S = FILE_ATTRIBUTE_SYSTEM,
                A = FILE_ATTRIBUTE_ARCHIVE, N = FILE_ATTRIBUTE_NORMAL;
    struct Row {
        DWORD set, get;
    } rows[] = {
        {RO, RO},
        {H | S, H | S},
        {A, A},
        {N, N},
        {RO | H | A, RO | H | A},
        {0, N},
        {N | H, H},
        {FILE_ATTRIBUTE_TEMPORARY, FILE_ATTRIBUTE_TEMPORARY},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << r.set);
        ASSERT_TRUE(SetFileAttributesW(path.c_str(), r.set));
        EXPECT_EQ(r.get, GetFileAttributesW(TEXT("C:\\WORK\\ATTR.TXT")));
        // Read-only is enforced through every attribute change.
        Handle h(Open(path, GENERIC_WRITE, 0, OPEN_EXISTING));
        EXPECT_EQ(!(r.get & RO), h.valid());
    }
    EXPECT_EQ(DWORD(FILE_ATTRIBUTE_DIRECTORY), GetFileAttributesW(TEXT("C:\\Work\\Folder")));
    ASSERT_TRUE(SetFileAttributesW(TEXT("C:\\Work\\Folder"), H | RO));
    EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY | H | RO, GetFileAttributesW(TEXT("C:\\Work\\Folder")));
    EXPECT_TRUE(Handle(Open(u"C:\\Work\\Folder\\inside.txt", GENERIC_WRITE, 0, CREATE_NEW)).valid())
        << "a read-only folder still takes new files, as on Windows";
    EXPECT_EQ(DWORD(FILE_ATTRIBUTE_DIRECTORY), GetFileAttributesW(TEXT("C:\\")));

    SetLastError(0);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(TEXT("C:\\Work\\none.txt")));
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(TEXT("C:\\None\\none.txt")));
    EXPECT_EQ(DWORD(ERROR_PATH_NOT_FOUND), GetLastError());
    EXPECT_FALSE(SetFileAttributesW(TEXT("C:\\Work\\none.txt"), N));
    EXPECT_EQ(DWORD(ERROR_FILE_NOT_FOUND), GetLastError());
}

ULONGLONG Ticks(const FILETIME& ft) {
    return (ULONGLONG(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}
FILETIME Ft(ULONGLONG t) {
    return FILETIME{DWORD(t), DWORD(t >> 32)};
}

TEST_F(Files, CreationTimeIsKeptAndCanBeSet) {
    const ULONGLONG hour = 3600ULL * 10000000ULL;
    FILETIME before;
    GetSystemTimeAsFileTime(&before);
    Handle h(Open(u"C:\\Work\\old.log", FILE_APPEND_DATA | FILE_WRITE_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS));
    ASSERT_TRUE(h.valid());
    FILETIME created{}, accessed{}, written{};
    ASSERT_TRUE(GetFileTime(h.get(), &created, &accessed, &written));
    EXPECT_NEAR(double(Ticks(before)), double(Ticks(created)), 2.0 * 10000000);

    FILETIME old = Ft(Ticks(before) - 2 * hour), oldWrite = Ft(Ticks(before) - hour);
    ASSERT_TRUE(SetFileTime(h.get(), &old, nullptr, &oldWrite));
    ASSERT_TRUE(GetFileTime(h.get(), &created, nullptr, &written));
    EXPECT_EQ(Ticks(old), Ticks(created));
    EXPECT_EQ(Ticks(oldWrite), Ticks(written));

    // Zero and all-ones times leave a time as it is.
    FILETIME zero{0, 0}, keep{0xFFFFFFFF, 0xFFFFFFFF};
    ASSERT_TRUE(SetFileTime(h.get(), &zero, &keep, &keep));
    ASSERT_TRUE(GetFileTime(h.get(), &created, nullptr, &written));
    EXPECT_EQ(Ticks(old), Ticks(created));
    EXPECT_EQ(Ticks(oldWrite), Ticks(written));
    h.reset();

    // The time stays with the file: another handle and a find see it.
    Handle again(Open(u"C:\\Work\\OLD.LOG", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
    ASSERT_TRUE(GetFileTime(again.get(), &created, nullptr, nullptr));
    EXPECT_EQ(Ticks(old), Ticks(created));
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(TEXT("C:\\Work\\old.log"), &data);
    ASSERT_NE(INVALID_HANDLE_VALUE, find);
    EXPECT_EQ(Ticks(old), Ticks(data.ftCreationTime));
    EXPECT_EQ(Ticks(oldWrite), Ticks(data.ftLastWriteTime));
    FindClose(find);

    // A file the host did not create reports the file system's birth or write time.
    WriteText(work_ + "/linux.txt", "x");
    Handle plain(Open(u"C:\\Work\\linux.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
    ASSERT_TRUE(GetFileTime(plain.get(), &created, nullptr, nullptr));
    EXPECT_NEAR(double(Ticks(before)), double(Ticks(created)), 2.0 * 10000000);

    SetLastError(0);
    EXPECT_FALSE(GetFileTime(nullptr, &created, nullptr, nullptr));
    EXPECT_EQ(DWORD(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(Files, CopyAndMove) {
    struct Row {
        const char* label;
        std::u16string from, to;
        BOOL failIfExists;
        DWORD error;
    } refused[] = {
        {"missing source", u"C:\\Work\\none.txt", u"C:\\Work\\x.txt", FALSE, ERROR_FILE_NOT_FOUND},
        {"missing target folder", u"C:\\Work\\existing.txt", u"C:\\No\\x.txt", FALSE,
         ERROR_PATH_NOT_FOUND},
        {"existing target", u"C:\\Work\\existing.txt", u"C:\\Work\\ro.txt", TRUE,
         ERROR_FILE_EXISTS},
        {"read-only target", u"C:\\Work\\existing.txt", u"C:\\Work\\ro.txt", FALSE,
         ERROR_ACCESS_DENIED},
        {"folder source", u"C:\\Work\\Folder", u"C:\\Work\\x.txt", FALSE, ERROR_ACCESS_DENIED},
    };
    for (const Row& r : refused) {
        SCOPED_TRACE(r.label);
        SetLastError(0);
        EXPECT_FALSE(CopyFileW(r.from.c_str(), r.to.c_str(), r.failIfExists));
        EXPECT_EQ(r.error, GetLastError());
    }
    EXPECT_EQ("locked", ReadText(work_ + "/ro.txt"));

    EXPECT_TRUE(CopyFileW(TEXT("C:\\Work\\existing.txt"), TEXT("C:\\Work\\copy.txt"), TRUE));
    EXPECT_EQ("hello", ReadText(work_ + "/copy.txt"));
    WriteText(work_ + "/other.txt", "a longer text than hello");
    EXPECT_TRUE(CopyFileW(TEXT("C:\\Work\\existing.txt"), TEXT("C:\\Work\\OTHER.txt"), FALSE));
    EXPECT_EQ("hello", ReadText(work_ + "/other.txt"));
    EXPECT_TRUE(CopyFileW(TEXT("C:\\Work\\ro.txt"), TEXT("C:\\Work\\ro2.txt"), TRUE));
    EXPECT_EQ(DWORD(FILE_ATTRIBUTE_READONLY),
              GetFileAttributesW(TEXT("C:\\Work\\ro2.txt")) & FILE_ATTRIBUTE_READONLY);

    SetLastError(0);
    EXPECT_FALSE(MoveFileW(TEXT("C:\\Work\\copy.txt"), TEXT("C:\\Work\\other.txt")));
    EXPECT_EQ(DWORD(ERROR_ALREADY_EXISTS), GetLastError());
    {
        Handle open(Open(u"C:\\Work\\copy.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
        SetLastError(0);
        EXPECT_FALSE(MoveFileW(TEXT("C:\\Work\\copy.txt"), TEXT("C:\\Work\\moved.txt")));
        EXPECT_EQ(DWORD(ERROR_SHARING_VIOLATION), GetLastError());
    }
    EXPECT_TRUE(MoveFileW(TEXT("C:\\Work\\copy.txt"), TEXT("C:\\Work\\Folder\\moved.txt")));
    EXPECT_EQ("hello", ReadText(work_ + "/Folder/moved.txt"));
    EXPECT_FALSE(std::filesystem::exists(work_ + "/copy.txt"));
    EXPECT_TRUE(MoveFileW(TEXT("C:\\Work\\Folder\\moved.txt"), TEXT("C:\\Work\\Folder\\MOVED.txt")))
        << "a change of case only";
    EXPECT_TRUE(std::filesystem::exists(work_ + "/Folder/MOVED.txt"));
    EXPECT_FALSE(std::filesystem::exists(work_ + "/Folder/moved.txt"));
    EXPECT_TRUE(MoveFileW(TEXT("C:\\Work\\Folder"), TEXT("C:\\Work\\Renamed"))) << "folders move";
    EXPECT_TRUE(std::filesystem::exists(work_ + "/Renamed/MOVED.txt"));
}

TEST_F(Files, Folders) {
    EXPECT_TRUE(CreateDirectoryW(TEXT("C:\\Work\\New"), nullptr));
    SetLastError(0);
    EXPECT_FALSE(CreateDirectoryW(TEXT("C:\\work\\NEW"), nullptr));
    EXPECT_EQ(DWORD(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_FALSE(CreateDirectoryW(TEXT("C:\\Work\\existing.txt"), nullptr));
    EXPECT_EQ(DWORD(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_FALSE(CreateDirectoryW(TEXT("C:\\Work\\No\\Deeper"), nullptr));
    EXPECT_EQ(DWORD(ERROR_PATH_NOT_FOUND), GetLastError());
    EXPECT_TRUE(std::filesystem::is_directory(work_ + "/New"));

    WriteText(work_ + "/New/f.txt", "x");
    struct Row {
        std::u16string path;
        DWORD error;
    } rows[] = {
        {u"C:\\Work\\New", ERROR_DIR_NOT_EMPTY},
        {u"C:\\Work\\existing.txt", ERROR_DIRECTORY},
        {u"C:\\Work\\Gone", ERROR_FILE_NOT_FOUND},
        {u"C:\\Gone\\Gone", ERROR_PATH_NOT_FOUND},
        {u"C:\\", ERROR_ACCESS_DENIED},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(U(r.path));
        SetLastError(0);
        EXPECT_FALSE(RemoveDirectoryW(r.path.c_str()));
        EXPECT_EQ(r.error, GetLastError());
    }
    EXPECT_TRUE(DeleteFileW(TEXT("C:\\Work\\New\\f.txt")));
    EXPECT_TRUE(RemoveDirectoryW(TEXT("C:\\WORK\\new")));
    EXPECT_FALSE(std::filesystem::exists(work_ + "/New"));
}

TEST_F(Files, FixedFolders) {
    WCHAR buffer[MAX_PATH];
    struct Row {
        const char* label;
        std::u16string text;
        UINT (*get)(WCHAR*, UINT);
    } rows[] = {
        {"system", u"C:\\Windows\\system32",
         [](WCHAR* b, UINT n) { return GetSystemDirectoryW(b, n); }},
        {"windows", u"C:\\Windows", [](WCHAR* b, UINT n) { return GetWindowsDirectoryW(b, n); }},
        {"temp", u"C:\\Windows\\Temp\\", [](WCHAR* b, UINT n) { return UINT(GetTempPathW(n, b)); }},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.label);
        UINT size = UINT(r.text.size());
        buffer[0] = '#';
        EXPECT_EQ(size + 1, r.get(buffer, size)) << "too small: the size with the terminator";
        EXPECT_EQ('#', buffer[0]);
        EXPECT_EQ(size + 1, r.get(nullptr, 0));
        EXPECT_EQ(size, r.get(buffer, size + 1));
        EXPECT_EQ(r.text, std::u16string(buffer));
        // Each is a folder of the machine.
        EXPECT_EQ(DWORD(FILE_ATTRIBUTE_DIRECTORY),
                  GetFileAttributesW(buffer) & FILE_ATTRIBUTE_DIRECTORY);
    }
    EXPECT_TRUE(
        Handle(Open(u"C:\\Windows\\system32\\drivers\\Tarnel.sys", GENERIC_WRITE, 0, CREATE_NEW))
            .valid());
    // The default machine runs this program as the 32-bit tool under WOW64: System32 is
    // redirected for its file calls.
    EXPECT_TRUE(std::filesystem::exists(driveC_ + "/Windows/SysWOW64/drivers/Tarnel.sys"));
}

}  // namespace
