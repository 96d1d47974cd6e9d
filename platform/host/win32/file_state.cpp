// Share modes of open handles, DOS attributes and creation times in extended attributes, and
// the errno -> Win32 error mapping used by the file functions.
#include "platform/host/win32/file_state.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>

#include "platform/host/runtime/errors.h"
#include "platform/host/win32/files.h"
#include "platform/host/win32/time.h"

namespace tarnel::host {

namespace {

// Text values ("0x22", FILETIME ticks in decimal) so that getfattr shows them readably.
constexpr char kAttributesName[] = "user.tarnel.attributes";
constexpr char kCreatedName[] = "user.tarnel.created";

// Reads a small text attribute through `get`; false when there is none.
template <typename Get>
bool readNumber(Get get, const char* name, ULONGLONG& value) {
    char text[32];
    ssize_t n = get(name, text, sizeof text - 1);
    if (n <= 0)
        return false;
    text[n] = 0;
    char* end = nullptr;
    value = std::strtoull(text, &end, 0);
    return end != text;
}

template <typename Get>
FileFacts factsFrom(const struct statx& stx, Get get) {
    FileFacts f;
    f.key = {makedev(stx.stx_dev_major, stx.stx_dev_minor), stx.stx_ino};
    f.directory = S_ISDIR(stx.stx_mode);
    f.size = f.directory ? 0 : stx.stx_size;
    f.accessed = UnixToFileTime(stx.stx_atime.tv_sec, stx.stx_atime.tv_nsec);
    f.written = UnixToFileTime(stx.stx_mtime.tv_sec, stx.stx_mtime.tv_nsec);
    ULONGLONG ticks = 0;
    if (readNumber(get, kCreatedName, ticks))
        f.created = FILETIME{DWORD(ticks), DWORD(ticks >> 32)};
    else if (stx.stx_mask & STATX_BTIME)
        f.created = UnixToFileTime(stx.stx_btime.tv_sec, stx.stx_btime.tv_nsec);
    else
        f.created = f.written;
    ULONGLONG stored = 0;
    readNumber(get, kAttributesName, stored);
    if (f.directory) {
        f.attributes = FILE_ATTRIBUTE_DIRECTORY |
                       (DWORD(stored) & (kStoredAttributes | FILE_ATTRIBUTE_READONLY));
    } else {
        f.attributes = DWORD(stored) & kStoredAttributes;
        if (!(stx.stx_mode & S_IWUSR))
            f.attributes |= FILE_ATTRIBUTE_READONLY;
    }
    if (f.attributes == 0)
        f.attributes = FILE_ATTRIBUTE_NORMAL;
    return f;
}

constexpr unsigned kStatxMask = STATX_BASIC_STATS | STATX_BTIME;

DWORD setResult(int rc) {
    return rc == 0 ? DWORD(ERROR_SUCCESS) : ErrnoToWin32(errno);
}

std::string hex(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", unsigned(value));
    return text;
}

}  // namespace

DWORD DataRights(DWORD access) {
    DWORD rights = 0;
    if (access & (GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL | FILE_READ_DATA | FILE_EXECUTE))
        rights |= kRightRead;
    if (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA))
        rights |= kRightWrite;
    if (access & (GENERIC_WRITE | GENERIC_ALL | FILE_APPEND_DATA))
        rights |= kRightAppend;
    if (access & (GENERIC_ALL | DELETE))
        rights |= kRightDelete;
    if (access & MAXIMUM_ALLOWED)
        rights |= kRightRead | kRightWrite | kRightAppend;
    return rights;
}

ShareTable& ShareTable::instance() {
    static ShareTable* table = new ShareTable;
    return *table;
}

bool ShareTable::conflicts(const FileKey& key, DWORD rights, DWORD share) const {
    if (rights == 0)
        return false;
    auto it = open_.find(key);
    if (it == open_.end())
        return false;
    const DWORD writing = kRightWrite | kRightAppend;
    for (const ShareEntry* e : it->second) {
        if (((rights & kRightRead) && !(e->share & FILE_SHARE_READ)) ||
            ((rights & writing) && !(e->share & FILE_SHARE_WRITE)) ||
            ((rights & kRightDelete) && !(e->share & FILE_SHARE_DELETE)) ||
            ((e->rights & kRightRead) && !(share & FILE_SHARE_READ)) ||
            ((e->rights & writing) && !(share & FILE_SHARE_WRITE)) ||
            ((e->rights & kRightDelete) && !(share & FILE_SHARE_DELETE)))
            return true;
    }
    return false;
}

bool ShareTable::add(const FileKey& key, const ShareEntry* entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (conflicts(key, entry->rights, entry->share))
        return false;
    if (entry->rights)
        open_[key].push_back(entry);
    return true;
}

void ShareTable::remove(const FileKey& key, const ShareEntry* entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = open_.find(key);
    if (it == open_.end())
        return;
    std::erase(it->second, entry);
    if (it->second.empty())
        open_.erase(it);
}

bool ShareTable::allows(const FileKey& key, DWORD rights, DWORD share) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !conflicts(key, rights, share);
}

bool FactsOfPath(const std::string& path, FileFacts& facts) {
    struct statx stx {};
    int flags = 0;
    if (statx(AT_FDCWD, path.c_str(), 0, kStatxMask, &stx) != 0) {
        if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, kStatxMask, &stx) != 0)
            return false;
        flags = AT_SYMLINK_NOFOLLOW;
    }
    facts = factsFrom(stx, [&](const char* name, char* buffer, size_t size) {
        return flags ? lgetxattr(path.c_str(), name, buffer, size)
                     : getxattr(path.c_str(), name, buffer, size);
    });
    return true;
}

bool FactsOfFd(int fd, FileFacts& facts) {
    struct statx stx {};
    if (statx(fd, "", AT_EMPTY_PATH, kStatxMask, &stx) != 0)
        return false;
    facts = factsFrom(stx, [&](const char* name, char* buffer, size_t size) {
        return fgetxattr(fd, name, buffer, size);
    });
    return true;
}

DWORD StoreAttributes(int fd, DWORD attributes) {
    if (attributes == 0) {
        int rc = fremovexattr(fd, kAttributesName);
        return rc == 0 || errno == ENODATA || errno == ENOTSUP ? DWORD(ERROR_SUCCESS)
                                                               : ErrnoToWin32(errno);
    }
    std::string text = hex(attributes);
    return setResult(fsetxattr(fd, kAttributesName, text.data(), text.size(), 0));
}

DWORD StoreAttributes(const std::string& path, DWORD attributes) {
    if (attributes == 0) {
        int rc = removexattr(path.c_str(), kAttributesName);
        return rc == 0 || errno == ENODATA || errno == ENOTSUP ? DWORD(ERROR_SUCCESS)
                                                               : ErrnoToWin32(errno);
    }
    std::string text = hex(attributes);
    return setResult(setxattr(path.c_str(), kAttributesName, text.data(), text.size(), 0));
}

DWORD StoredAttributes(const std::string& path) {
    ULONGLONG value = 0;
    readNumber([&](const char* name, char* buffer,
                   size_t size) { return getxattr(path.c_str(), name, buffer, size); },
               kAttributesName, value);
    return DWORD(value);
}

DWORD StoreCreationTime(int fd, const FILETIME& created) {
    std::string text =
        std::to_string((ULONGLONG(created.dwHighDateTime) << 32) | created.dwLowDateTime);
    return setResult(fsetxattr(fd, kCreatedName, text.data(), text.size(), 0));
}

DWORD StoreCreationTime(const std::string& path, const FILETIME& created) {
    std::string text =
        std::to_string((ULONGLONG(created.dwHighDateTime) << 32) | created.dwLowDateTime);
    return setResult(setxattr(path.c_str(), kCreatedName, text.data(), text.size(), 0));
}

DWORD ErrnoToWin32(int error) {
    switch (error) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
        case ELOOP:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case EEXIST:
            return ERROR_FILE_EXISTS;
        case ENOSPC:
        case EDQUOT:
            return ERROR_DISK_FULL;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case EROFS:
            return ERROR_WRITE_PROTECT;
        case EBUSY:
        case ETXTBSY:
            return ERROR_SHARING_VIOLATION;
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case EXDEV:
            return ERROR_NOT_SAME_DEVICE;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENOTSUP:
            return ERROR_NOT_SUPPORTED;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case EFBIG:
            return ERROR_DISK_FULL;
        default:
            return ERROR_GEN_FAILURE;
    }
}

}  // namespace tarnel::host
