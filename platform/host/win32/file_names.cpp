// Calls that work on file names rather than handles: find, delete, copy, move, attributes,
// folders, and the fixed and current folders of the host machine.
#include <algorithm>
#include <cerrno>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/host/runtime/codepage.h"
#include "platform/host/win32/file_state.h"
#include "platform/host/win32/files.h"
#include "platform/host/win32/handles.h"
#include "platform/host/win32/paths.h"
#include "platform/host/runtime/wide.h"

namespace {

using namespace tarnel::host;

constexpr DWORD kEveryShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

BOOL result(DWORD error) {
    return error == ERROR_SUCCESS ? TRUE : fail(error);
}

// The snapshot of matching entries a find handle walks through.
class FindObject final : public KernelObject {
  public:
    static const HandleKind kKind;

    explicit FindObject(std::vector<WIN32_FIND_DATAW> entries)
        : KernelObject(kKind), entries_(std::move(entries)) {}
    bool closedByCloseHandle() const override { return false; }

    bool next(WIN32_FIND_DATAW& data) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (next_ >= entries_.size())
            return false;
        data = entries_[next_++];
        return true;
    }

  private:
    std::mutex mutex_;
    std::vector<WIN32_FIND_DATAW> entries_;
    size_t next_ = 0;
};

const HandleKind FindObject::kKind{"Find"};

// Windows wildcards without regard to case: '*' any run of characters, '?' one character.
bool globMatch(const std::u16string& pattern, const std::u16string& name) {
    size_t p = 0, n = 0, starP = std::u16string::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() &&
            (pattern[p] == '?' || towupper(pattern[p]) == towupper(name[n]))) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (starP != std::u16string::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

// A trailing ".*" also matches names without an extension ("*.*" matches everything).
bool wildcardMatch(const std::u16string& pattern, const std::u16string& name) {
    if (globMatch(pattern, name))
        return true;
    size_t n = pattern.size();
    return n >= 2 && pattern[n - 2] == '.' && pattern[n - 1] == '*' &&
           globMatch(pattern.substr(0, n - 2), name);
}

bool upperLess(const std::u16string& a, const std::u16string& b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        WCHAR x = towupper(a[i]), y = towupper(b[i]);
        if (x != y)
            return x < y;
    }
    return a.size() < b.size();
}

WIN32_FIND_DATAW findData(const std::u16string& name, const FileFacts& facts) {
    WIN32_FIND_DATAW data{};
    data.dwFileAttributes = facts.attributes;
    data.ftCreationTime = facts.created;
    data.ftLastAccessTime = facts.accessed;
    data.ftLastWriteTime = facts.written;
    data.nFileSizeHigh = DWORD(facts.size >> 32);
    data.nFileSizeLow = DWORD(facts.size);
    size_t n = std::min(name.size(), size_t(259));
    name.copy(data.cFileName, n);
    data.cFileName[n] = 0;
    return data;
}

// An existing entry of a resolved path, or the error Windows gives for a missing one.
bool existing(LPCWSTR name, ResolvedPath& path, FileFacts& facts, DWORD& error) {
    if (!ResolvePath(name, path, error))
        return false;
    if (!path.exists || !FactsOfPath(path.linuxPath, facts)) {
        error = MissingPathError(path.linuxPath);
        return false;
    }
    return true;
}

bool folderExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isDriveRoot(const ResolvedPath& path) {
    return path.name.empty();
}

// Copies the bytes, attributes and last write time of `from` into `to` (created when missing).
DWORD copyContents(const std::string& from, const FileFacts& source, const std::string& to,
                   bool created) {
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return ErrnoToWin32(errno);
    int flags = O_WRONLY | O_CLOEXEC | (created ? O_CREAT | O_EXCL : O_TRUNC);
    int out = open(to.c_str(), flags, 0666);
    if (out < 0) {
        DWORD error = ErrnoToWin32(errno);
        close(in);
        return error;
    }
    DWORD error = ERROR_SUCCESS;
    char buffer[65536];
    for (;;) {
        ssize_t n = read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n < 0)
                error = ErrnoToWin32(errno);
            break;
        }
        for (ssize_t done = 0; done < n && error == ERROR_SUCCESS;) {
            ssize_t w = write(out, buffer + done, size_t(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0)
                error = ErrnoToWin32(errno);
            else
                done += w;
        }
        if (error != ERROR_SUCCESS)
            break;
    }
    if (error == ERROR_SUCCESS) {
        if (created) {
            FILETIME now;
            GetSystemTimeAsFileTime(&now);
            StoreCreationTime(out, now);
        }
        StoreAttributes(out, (source.attributes & kStoredAttributes) | FILE_ATTRIBUTE_ARCHIVE);
        std::int64_t seconds = 0;
        long nanoseconds = 0;
        FileTimeToUnix(source.written, seconds, nanoseconds);
        timespec times[2] = {{0, UTIME_OMIT}, {time_t(seconds), nanoseconds}};
        futimens(out, times);
        if (source.attributes & FILE_ATTRIBUTE_READONLY) {
            struct stat st;
            if (fstat(out, &st) == 0)
                fchmod(out, st.st_mode & ~0222);
        }
    }
    close(in);
    close(out);
    if (error != ERROR_SUCCESS && created)
        unlink(to.c_str());
    return error;
}

template <typename Size>
Size copyOut(const std::u16string& text, LPWSTR buffer, Size size) {
    if (!buffer || size < text.size() + 1)
        return Size(text.size() + 1);
    text.copy(buffer, text.size());
    buffer[text.size()] = 0;
    return Size(text.size());
}

}  // namespace

HANDLE FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
    if (!lpFileName || !lpFindFileData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::u16string text(lpFileName);
    std::replace(text.begin(), text.end(), u'/', u'\\');
    size_t cut = text.find_last_of(u'\\');
    if (cut == std::u16string::npos && text.size() >= 2 && text[1] == ':')
        cut = 1;  // "C:*.inf"
    std::u16string folder = cut == std::u16string::npos ? u"." : text.substr(0, cut + 1);
    std::u16string pattern = cut == std::u16string::npos ? text : text.substr(cut + 1);
    if (folder.size() == 2 && folder[1] == ':')
        folder += u".";
    while (!pattern.empty() && pattern.back() == ' ')
        pattern.pop_back();
    if (pattern.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    for (WCHAR c : pattern) {
        if (c < 0x20 || c == '<' || c == '>' || c == ':' || c == '"' || c == '|') {
            SetLastError(ERROR_INVALID_NAME);
            return INVALID_HANDLE_VALUE;
        }
    }
    ResolvedPath where;
    DWORD error = ERROR_SUCCESS;
    if (!ResolvePath(folder.c_str(), where, error)) {
        SetLastError(error == ERROR_FILE_NOT_FOUND ? DWORD(ERROR_PATH_NOT_FOUND) : error);
        return INVALID_HANDLE_VALUE;
    }
    if (!where.exists || !folderExists(where.linuxPath)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    DIR* dir = opendir(where.linuxPath.c_str());
    if (!dir) {
        SetLastError(ErrnoToWin32(errno));
        return INVALID_HANDLE_VALUE;
    }
    std::vector<std::pair<std::u16string, WIN32_FIND_DATAW>> found;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        bool dots = name == "." || name == "..";
        if (dots && isDriveRoot(where))
            continue;  // drive roots have no "." and ".."
        bool lossless = true;
        std::u16string wide = Utf8ToWide(name, &lossless);
        if (!lossless || !wildcardMatch(pattern, wide))
            continue;
        FileFacts facts;
        if (!FactsOfPath(JoinLinux(where.linuxPath, name), facts))
            continue;
        found.emplace_back(wide, findData(wide, facts));
    }
    closedir(dir);
    if (found.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // NTFS order: "." and ".." first, then by upper-case name.
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        auto rank = [](const std::u16string& n) { return n == u"." ? 0 : n == u".." ? 1 : 2; };
        if (rank(a.first) != rank(b.first))
            return rank(a.first) < rank(b.first);
        return upperLess(a.first, b.first);
    });
    std::vector<WIN32_FIND_DATAW> entries;
    for (auto& f : found)
        entries.push_back(f.second);
    auto object = std::make_shared<FindObject>(std::move(entries));
    object->next(*lpFindFileData);
    HANDLE handle = HandleTable::instance().insert(object);
    if (!handle)
        return INVALID_HANDLE_VALUE;
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) {
    auto find = HandleTable::instance().lookup<FindObject>(hFindFile);
    if (!find)
        return FALSE;
    if (!find->next(*lpFindFileData))
        return fail(ERROR_NO_MORE_FILES);
    return TRUE;
}

BOOL FindClose(HANDLE hFindFile) {
    return HandleTable::instance().close(hFindFile, &FindObject::kKind) ? TRUE : FALSE;
}

BOOL DeleteFileW(LPCWSTR lpFileName) {
    ResolvedPath path;
    FileFacts facts;
    DWORD error = ERROR_SUCCESS;
    if (!existing(lpFileName, path, facts, error))
        return fail(error);
    if (facts.directory)
        return fail(ERROR_ACCESS_DENIED);
    if (facts.attributes & FILE_ATTRIBUTE_READONLY)
        return fail(ERROR_ACCESS_DENIED);
    if (!ShareTable::instance().allows(facts.key, kRightDelete, kEveryShare))
        return fail(ERROR_SHARING_VIOLATION);
    if (unlink(path.linuxPath.c_str()) != 0)
        return fail(ErrnoToWin32(errno));
    return TRUE;
}

BOOL CopyFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, BOOL bFailIfExists) {
    ResolvedPath from, to;
    FileFacts source;
    DWORD error = ERROR_SUCCESS;
    if (!existing(lpExistingFileName, from, source, error))
        return fail(error);
    if (source.directory)
        return fail(ERROR_ACCESS_DENIED);
    if (!ShareTable::instance().allows(source.key, kRightRead, kEveryShare))
        return fail(ERROR_SHARING_VIOLATION);
    if (!ResolvePath(lpNewFileName, to, error))
        return fail(error);
    if (to.exists) {
        FileFacts target;
        if (!FactsOfPath(to.linuxPath, target))
            return fail(ErrnoToWin32(errno));
        if (bFailIfExists)
            return fail(ERROR_FILE_EXISTS);
        if (target.directory || (target.attributes & FILE_ATTRIBUTE_READONLY))
            return fail(ERROR_ACCESS_DENIED);
        if (target.key == source.key || !ShareTable::instance().allows(target.key, kRightWrite, 0))
            return fail(ERROR_SHARING_VIOLATION);
        return result(copyContents(from.linuxPath, source, to.linuxPath, false));
    }
    if (isDriveRoot(to) || !folderExists(to.parent))
        return fail(ERROR_PATH_NOT_FOUND);
    return result(copyContents(from.linuxPath, source, JoinLinux(to.parent, to.name), true));
}

BOOL MoveFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName) {
    ResolvedPath from, to;
    FileFacts source;
    DWORD error = ERROR_SUCCESS;
    if (!existing(lpExistingFileName, from, source, error))
        return fail(error);
    if (isDriveRoot(from))
        return fail(ERROR_ACCESS_DENIED);
    if (!ResolvePath(lpNewFileName, to, error))
        return fail(error);
    if (to.exists) {
        // Only a change of case of the same entry may "overwrite" it.
        FileFacts target;
        if (!FactsOfPath(to.linuxPath, target) || target.key != source.key)
            return fail(ERROR_ALREADY_EXISTS);
    }
    if (isDriveRoot(to) || !folderExists(to.parent))
        return fail(ERROR_PATH_NOT_FOUND);
    if (!ShareTable::instance().allows(source.key, kRightDelete, kEveryShare))
        return fail(ERROR_SHARING_VIOLATION);
    std::string target = JoinLinux(to.parent, to.name);
    if (rename(from.linuxPath.c_str(), target.c_str()) == 0)
        return TRUE;
    if (errno != EXDEV)
        return fail(ErrnoToWin32(errno));
    // Another file system: files are copied and removed, folders cannot move (as on Windows).
    if (source.directory)
        return fail(ERROR_NOT_SAME_DEVICE);
    error = copyContents(from.linuxPath, source, target, true);
    if (error != ERROR_SUCCESS)
        return fail(error);
    StoreCreationTime(target, source.created);
    if (unlink(from.linuxPath.c_str()) != 0)
        return fail(ErrnoToWin32(errno));
    return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR lpFileName) {
    ResolvedPath path;
    FileFacts facts;
    DWORD error = ERROR_SUCCESS;
    if (!existing(lpFileName, path, facts, error)) {
        SetLastError(error);
        return INVALID_FILE_ATTRIBUTES;
    }
    return facts.attributes;
}

BOOL SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes) {
    ResolvedPath path;
    FileFacts facts;
    DWORD error = ERROR_SUCCESS;
    if (!existing(lpFileName, path, facts, error))
        return fail(error);
    // NORMAL means none; it is ignored next to other attributes.
    DWORD stored = dwFileAttributes & kStoredAttributes;
    bool readOnly = dwFileAttributes & FILE_ATTRIBUTE_READONLY;
    if (facts.directory) {
        if (readOnly)
            stored |= FILE_ATTRIBUTE_READONLY;
    } else {
        struct stat st;
        if (stat(path.linuxPath.c_str(), &st) != 0)
            return fail(ErrnoToWin32(errno));
        mode_t mode = readOnly ? st.st_mode & ~0222 : st.st_mode | S_IWUSR;
        if (mode != st.st_mode && chmod(path.linuxPath.c_str(), mode & 07777) != 0)
            return fail(ErrnoToWin32(errno));
    }
    return result(StoreAttributes(path.linuxPath, stored));
}

BOOL CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES) {
    ResolvedPath path;
    DWORD error = ERROR_SUCCESS;
    if (!ResolvePath(lpPathName, path, error))
        return fail(error);
    if (path.exists)
        return fail(ERROR_ALREADY_EXISTS);
    if (isDriveRoot(path) || !folderExists(path.parent))
        return fail(ERROR_PATH_NOT_FOUND);
    std::string created = JoinLinux(path.parent, path.name);
    if (mkdir(created.c_str(), 0777) != 0) {
        if (errno == EEXIST)
            return fail(ERROR_ALREADY_EXISTS);
        return fail(errno == ENOENT ? DWORD(ERROR_PATH_NOT_FOUND) : ErrnoToWin32(errno));
    }
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    StoreCreationTime(created, now);
    return TRUE;
}

BOOL RemoveDirectoryW(LPCWSTR lpPathName) {
    ResolvedPath path;
    FileFacts facts;
    DWORD error = ERROR_SUCCESS;
    if (!existing(lpPathName, path, facts, error))
        return fail(error);
    if (!facts.directory)
        return fail(ERROR_DIRECTORY);
    if (isDriveRoot(path) || (facts.attributes & FILE_ATTRIBUTE_READONLY))
        return fail(ERROR_ACCESS_DENIED);
    if (!ShareTable::instance().allows(facts.key, kRightDelete, kEveryShare))
        return fail(ERROR_SHARING_VIOLATION);
    if (rmdir(path.linuxPath.c_str()) != 0) {
        return fail(errno == ENOTEMPTY || errno == EEXIST ? DWORD(ERROR_DIR_NOT_EMPTY)
                                                          : ErrnoToWin32(errno));
    }
    return TRUE;
}

UINT GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) {
    return copyOut(u"C:\\Windows\\system32", lpBuffer, uSize);
}

UINT GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize) {
    return copyOut(u"C:\\Windows", lpBuffer, uSize);
}

DWORD GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer) {
    return copyOut(u"C:\\Windows\\Temp\\", lpBuffer, nBufferLength);
}

DWORD GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer) {
    std::u16string full;
    DWORD error = ERROR_SUCCESS;
    if (!FullWindowsPath(u".", full, error)) {
        SetLastError(error);
        return 0;
    }
    return copyOut(full, lpBuffer, nBufferLength);
}

BOOL SetCurrentDirectoryW(LPCWSTR lpPathName) {
    ResolvedPath path;
    FileFacts facts;
    DWORD error = ERROR_SUCCESS;
    if (!existing(lpPathName, path, facts, error))
        return fail(error);
    if (!facts.directory)
        return fail(ERROR_DIRECTORY);
    return chdir(path.linuxPath.c_str()) == 0 ? TRUE : fail(ErrnoToWin32(errno));
}

DWORD GetFullPathNameW(LPCWSTR lpFileName, DWORD nBufferLength, LPWSTR lpBuffer,
                       LPWSTR* lpFilePart) {
    std::u16string full;
    DWORD error = ERROR_SUCCESS;
    if (!lpFileName || !FullWindowsPath(lpFileName, full, error)) {
        SetLastError(lpFileName ? error : DWORD(ERROR_INVALID_PARAMETER));
        return 0;
    }
    // A trailing separator stays, as on Windows ("C:\dir\" -> "C:\dir\").
    WCHAR last = lpFileName[wcslen(lpFileName) - 1];
    if ((last == '\\' || last == '/') && full.back() != '\\')
        full += u'\\';
    DWORD n = copyOut(full, lpBuffer, nBufferLength);
    if (lpFilePart && n == full.size()) {
        size_t cut = full.find_last_of(u'\\');
        *lpFilePart = cut + 1 < full.size() ? lpBuffer + cut + 1 : nullptr;
    }
    return n;
}
