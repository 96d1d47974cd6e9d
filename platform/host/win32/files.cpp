// File handles: CreateFileW with Windows' dispositions, share modes and read-only rule, and the
// handle-based calls (read, write, pointer, size, times). Device names go to the I/O manager.
#include "platform/host/win32/files.h"
#include "platform/host/win32/device_interfaces.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/host/win32/devices.h"
#include "platform/host/win32/file_state.h"
#include "platform/host/win32/handles.h"
#include "platform/host/win32/paths.h"

namespace {

using namespace tarnel::host;

constexpr ULONG_PTR kStatusSuccess = 0;
constexpr ULONG_PTR kStatusEndOfFile = 0xC0000011;

HANDLE failHandle(DWORD error) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

BOOL result(DWORD error) {
    return error == ERROR_SUCCESS ? TRUE : fail(error);
}

// An open file or folder. The file pointer is the descriptor's offset; `mutex_` keeps a
// read or write and its pointer update together, as Windows serializes synchronous handles.
class FileObject final : public KernelObject {
  public:
    static const HandleKind kKind;

    FileObject(int fd, std::string path, FileKey key, DWORD rights, DWORD share, DWORD flags,
               bool directory)
        : KernelObject(kKind),
          fd_(fd),
          path_(std::move(path)),
          key_(key),
          directory_(directory),
          appendOnly_((rights & kRightAppend) && !(rights & kRightWrite)),
          overlapped_(flags & FILE_FLAG_OVERLAPPED),
          deleteOnClose_(flags & FILE_FLAG_DELETE_ON_CLOSE) {
        share_.rights = rights;
        share_.share = share;
    }
    ~FileObject() override {
        unregister();
        ::close(fd_);
    }

    // Takes part in share checks; false when an open handle of the file forbids this one.
    bool registerShare() { return registered_ = ShareTable::instance().add(key_, &share_); }

    void cleanup() override {
        unregister();
        if (deleteOnClose_)
            directory_ ? rmdir(path_.c_str()) : unlink(path_.c_str());
    }

    DWORD read(void* buffer, DWORD length, DWORD& done, OVERLAPPED* ov) override {
        done = 0;
        if (directory_)
            return ERROR_INVALID_FUNCTION;
        if (!(share_.rights & kRightRead))
            return ERROR_ACCESS_DENIED;
        if (overlapped_ && !ov)
            return ERROR_INVALID_PARAMETER;
        std::lock_guard<std::mutex> lock(mutex_);
        off_t at = ov ? offsetOf(*ov) : lseek(fd_, 0, SEEK_CUR);
        auto* bytes = static_cast<char*>(buffer);
        while (done < length) {
            ssize_t n = pread(fd_, bytes + done, length - done, at + done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return ErrnoToWin32(errno);
            if (n == 0)
                break;
            done += DWORD(n);
        }
        if (!overlapped_)
            lseek(fd_, at + done, SEEK_SET);
        if (ov) {
            ov->Internal = done == 0 && length > 0 ? kStatusEndOfFile : kStatusSuccess;
            ov->InternalHigh = done;
            // Reading at or past the end with a position is an error; without, it is not.
            if (done == 0 && length > 0)
                return ERROR_HANDLE_EOF;
        }
        return ERROR_SUCCESS;
    }

    DWORD write(const void* buffer, DWORD length, DWORD& done, OVERLAPPED* ov) override {
        done = 0;
        if (directory_)
            return ERROR_INVALID_FUNCTION;
        if (!(share_.rights & (kRightWrite | kRightAppend)))
            return ERROR_ACCESS_DENIED;
        if (overlapped_ && !ov)
            return ERROR_INVALID_PARAMETER;
        std::lock_guard<std::mutex> lock(mutex_);
        const auto* bytes = static_cast<const char*>(buffer);
        bool toEnd =
            appendOnly_ || (ov && ov->Offset == 0xFFFFFFFF && ov->OffsetHigh == 0xFFFFFFFF);
        off_t at = toEnd ? lseek(fd_, 0, SEEK_END) : ov ? offsetOf(*ov) : lseek(fd_, 0, SEEK_CUR);
        while (done < length) {
            // An append-only descriptor has O_APPEND: each write lands at the end, whatever
            // another handle or process wrote meanwhile.
            ssize_t n = appendOnly_ ? ::write(fd_, bytes + done, length - done)
                                    : pwrite(fd_, bytes + done, length - done, at + done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return ErrnoToWin32(errno);
            done += DWORD(n);
        }
        if (!overlapped_ && !appendOnly_)
            lseek(fd_, at + done, SEEK_SET);
        if (ov) {
            ov->Internal = kStatusSuccess;
            ov->InternalHigh = done;
        }
        return ERROR_SUCCESS;
    }

    DWORD flush() override {
        if (!(share_.rights & (kRightWrite | kRightAppend)))
            return ERROR_ACCESS_DENIED;
        return fsync(fd_) == 0 ? DWORD(ERROR_SUCCESS) : ErrnoToWin32(errno);
    }

    DWORD seek(LONGLONG distance, DWORD method, LONGLONG& position) {
        std::lock_guard<std::mutex> lock(mutex_);
        LONGLONG base;
        switch (method) {
            case FILE_BEGIN:
                base = 0;
                break;
            case FILE_CURRENT:
                base = lseek(fd_, 0, SEEK_CUR);
                break;
            case FILE_END: {
                struct stat st;
                if (fstat(fd_, &st) != 0)
                    return ErrnoToWin32(errno);
                base = st.st_size;
                break;
            }
            default:
                return ERROR_INVALID_PARAMETER;
        }
        position = base + distance;
        if (position < 0)
            return ERROR_NEGATIVE_SEEK;
        if (lseek(fd_, position, SEEK_SET) < 0)
            return ErrnoToWin32(errno);
        return ERROR_SUCCESS;
    }

    DWORD truncateHere() {
        if (directory_ || !(share_.rights & kRightWrite))
            return ERROR_ACCESS_DENIED;
        std::lock_guard<std::mutex> lock(mutex_);
        off_t at = lseek(fd_, 0, SEEK_CUR);
        return ftruncate(fd_, at) == 0 ? DWORD(ERROR_SUCCESS) : ErrnoToWin32(errno);
    }

    int fd() const { return fd_; }

  private:
    static off_t offsetOf(const OVERLAPPED& ov) {
        return off_t((ULONGLONG(ov.OffsetHigh) << 32) | ov.Offset);
    }

    void unregister() {
        if (registered_)
            ShareTable::instance().remove(key_, &share_);
        registered_ = false;
    }

    const int fd_;
    const std::string path_;
    const FileKey key_;
    const bool directory_;
    const bool appendOnly_;
    const bool overlapped_;
    const bool deleteOnClose_;
    ShareEntry share_;
    bool registered_ = false;
    std::mutex mutex_;
};

const HandleKind FileObject::kKind{"File"};

int openFlags(DWORD rights) {
    int flags = O_CLOEXEC;
    bool reading = rights & kRightRead;
    bool writing = rights & (kRightWrite | kRightAppend);
    flags |= reading && writing ? O_RDWR : writing ? O_WRONLY : O_RDONLY;
    if ((rights & kRightAppend) && !(rights & kRightWrite))
        flags |= O_APPEND;
    return flags;
}

FILETIME now() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return ft;
}

// The object for an open descriptor, taking part in share checks; null with the error set (and
// the descriptor closed) when an open handle of the file forbids this open.
std::shared_ptr<FileObject> makeFile(int fd, const std::string& path, DWORD rights, DWORD share,
                                     DWORD flags, bool directory) {
    FileFacts facts;
    if (!FactsOfFd(fd, facts)) {
        DWORD error = ErrnoToWin32(errno);
        ::close(fd);
        SetLastError(error);
        return nullptr;
    }
    auto object =
        std::make_shared<FileObject>(fd, path, facts.key, rights, share, flags, directory);
    if (!object->registerShare()) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return nullptr;
    }
    return object;
}

HANDLE insert(std::shared_ptr<FileObject> object, DWORD lastError) {
    HANDLE handle = HandleTable::instance().insert(std::move(object));
    if (!handle)
        return INVALID_HANDLE_VALUE;
    SetLastError(lastError);
    return handle;
}

std::shared_ptr<FileObject> fileOf(HANDLE handle) {
    return HandleTable::instance().lookup<FileObject>(handle);
}

}  // namespace

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE) {
    const DWORD disposition = dwCreationDisposition;
    const DWORD flags = dwFlagsAndAttributes;
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING)
        return failHandle(ERROR_INVALID_PARAMETER);
    std::u16string device;
    if (HANDLE usb = INVALID_HANDLE_VALUE; lpFileName && tarnel::host::OpenUsbInterface(lpFileName, &usb))
        return usb;
    if (lpFileName && IsDevicePath(lpFileName, &device))
        return tarnel::host::OpenDevice(device, dwDesiredAccess, dwShareMode, disposition, flags);

    ResolvedPath path;
    DWORD error = ERROR_SUCCESS;
    if (!ResolvePath(lpFileName, path, error))
        return failHandle(error);
    DWORD rights = DataRights(dwDesiredAccess);
    if (flags & FILE_FLAG_DELETE_ON_CLOSE)
        rights |= kRightDelete;
    if (disposition == TRUNCATE_EXISTING && !(rights & kRightWrite))
        return failHandle(ERROR_INVALID_PARAMETER);
    const DWORD share = dwShareMode & (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    std::shared_ptr<FileObject> object;

    // A file that appears between the look and the exclusive create is opened as existing.
    for (int attempt = 0; attempt < 4; ++attempt) {
        struct stat st;
        if (path.exists && stat(path.linuxPath.c_str(), &st) == 0) {
            if (disposition == CREATE_NEW)
                return failHandle(ERROR_FILE_EXISTS);
            if (S_ISDIR(st.st_mode)) {
                if (!(flags & FILE_FLAG_BACKUP_SEMANTICS) ||
                    (disposition != OPEN_EXISTING && disposition != OPEN_ALWAYS) ||
                    (rights & (kRightWrite | kRightAppend)))
                    return failHandle(ERROR_ACCESS_DENIED);
                int fd = open(path.linuxPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                if (fd < 0)
                    return failHandle(ErrnoToWin32(errno));
                object = makeFile(fd, path.linuxPath, rights, share, flags, true);
                if (!object)
                    return INVALID_HANDLE_VALUE;
                return insert(std::move(object),
                              disposition == OPEN_ALWAYS ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
            }
            bool readOnly = !(st.st_mode & S_IWUSR);
            bool replaces = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
            if (readOnly && ((rights & (kRightWrite | kRightAppend)) || replaces ||
                             (flags & FILE_FLAG_DELETE_ON_CLOSE)))
                return failHandle(ERROR_ACCESS_DENIED);
            int fd = open(path.linuxPath.c_str(), openFlags(rights));
            if (fd < 0)
                return failHandle(ErrnoToWin32(errno));
            object = makeFile(fd, path.linuxPath, rights, share, flags, false);
            if (!object)
                return INVALID_HANDLE_VALUE;
            if (replaces) {
                // Truncation needs no write right of the handle, as on Windows.
                if (truncate(path.linuxPath.c_str(), 0) != 0)
                    return failHandle(ErrnoToWin32(errno));
                if (disposition == CREATE_ALWAYS) {
                    StoreAttributes(object->fd(),
                                    (flags & kStoredAttributes) | FILE_ATTRIBUTE_ARCHIVE);
                    if (flags & FILE_ATTRIBUTE_READONLY)
                        fchmod(object->fd(), st.st_mode & ~0222);
                }
            }
            bool opened = disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS;
            return insert(std::move(object), opened ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
        }

        if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING)
            return failHandle(MissingPathError(path.linuxPath));
        struct stat parent;
        if (path.name.empty() || stat(path.parent.c_str(), &parent) != 0 ||
            !S_ISDIR(parent.st_mode))
            return failHandle(ERROR_PATH_NOT_FOUND);
        std::string created = JoinLinux(path.parent, path.name);
        int fd = open(created.c_str(), openFlags(rights) | O_CREAT | O_EXCL, 0666);
        if (fd < 0 && errno == EEXIST) {
            path.exists = true;
            path.linuxPath = created;
            continue;
        }
        if (fd < 0)
            return failHandle(errno == ENOENT ? DWORD(ERROR_PATH_NOT_FOUND) : ErrnoToWin32(errno));
        StoreCreationTime(fd, now());
        StoreAttributes(fd, (flags & kStoredAttributes) | FILE_ATTRIBUTE_ARCHIVE);
        if (flags & FILE_ATTRIBUTE_READONLY) {
            struct stat created_st;
            if (fstat(fd, &created_st) == 0)
                fchmod(fd, created_st.st_mode & ~0222);  // the handle keeps writing
        }
        object = makeFile(fd, created, rights, share, flags, false);
        if (!object)
            return INVALID_HANDLE_VALUE;
        return insert(std::move(object), ERROR_SUCCESS);
    }
    return failHandle(ERROR_SHARING_VIOLATION);
}

namespace {

// ReadFile and WriteFile: the count is 0 until the object reports it; without an OVERLAPPED a
// count pointer is required.
template <typename Transfer>
BOOL TransferData(HANDLE hFile, LPDWORD count, LPOVERLAPPED overlapped, Transfer transfer) {
    if (count)
        *count = 0;
    if (!count && !overlapped)
        return fail(ERROR_INVALID_PARAMETER);
    std::shared_ptr<KernelObject> object = HandleTable::instance().lookup(hFile);
    if (!object)
        return FALSE;
    DWORD done = 0;
    DWORD error = transfer(*object, done);
    if (count)
        *count = done;
    return result(error);
}

}  // namespace

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    return TransferData(hFile, lpNumberOfBytesRead, lpOverlapped,
                        [&](KernelObject& object, DWORD& done) {
                            return object.read(lpBuffer, nNumberOfBytesToRead, done, lpOverlapped);
                        });
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    return TransferData(
        hFile, lpNumberOfBytesWritten, lpOverlapped, [&](KernelObject& object, DWORD& done) {
            return object.write(lpBuffer, nNumberOfBytesToWrite, done, lpOverlapped);
        });
}

BOOL FlushFileBuffers(HANDLE hFile) {
    std::shared_ptr<KernelObject> object = HandleTable::instance().lookup(hFile);
    if (!object)
        return FALSE;
    return result(object->flush());
}

BOOL SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                      DWORD dwMoveMethod) {
    std::shared_ptr<FileObject> file = fileOf(hFile);
    if (!file)
        return FALSE;
    LONGLONG position = 0;
    DWORD error = file->seek(liDistanceToMove.QuadPart, dwMoveMethod, position);
    if (error != ERROR_SUCCESS)
        return fail(error);
    if (lpNewFilePointer)
        lpNewFilePointer->QuadPart = position;
    return TRUE;
}

DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                     DWORD dwMoveMethod) {
    std::shared_ptr<FileObject> file = fileOf(hFile);
    if (!file)
        return INVALID_SET_FILE_POINTER;
    LONGLONG distance = lDistanceToMove;
    if (lpDistanceToMoveHigh)
        distance =
            LONGLONG((ULONGLONG(ULONG(*lpDistanceToMoveHigh)) << 32) | ULONG(lDistanceToMove));
    if (!lpDistanceToMoveHigh) {
        // Without a high part the new position must fit in 32 bits; check before moving.
        LONGLONG current = 0;
        if (dwMoveMethod != FILE_BEGIN) {
            DWORD error = file->seek(0, dwMoveMethod, current);
            if (error != ERROR_SUCCESS) {
                SetLastError(error);
                return INVALID_SET_FILE_POINTER;
            }
        }
        LONGLONG target = current + distance;
        if (target > LONGLONG(0xFFFFFFFE)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_SET_FILE_POINTER;
        }
        distance = target;
        dwMoveMethod = FILE_BEGIN;
    }
    LONGLONG position = 0;
    DWORD error = file->seek(distance, dwMoveMethod, position);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return INVALID_SET_FILE_POINTER;
    }
    if (lpDistanceToMoveHigh)
        *lpDistanceToMoveHigh = LONG(ULONGLONG(position) >> 32);
    // The low part can be 0xFFFFFFFF for a valid position; callers then look at the error.
    SetLastError(ERROR_SUCCESS);
    return DWORD(position);
}

BOOL SetEndOfFile(HANDLE hFile) {
    std::shared_ptr<FileObject> file = fileOf(hFile);
    if (!file)
        return FALSE;
    return result(file->truncateHere());
}

BOOL GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize) {
    std::shared_ptr<FileObject> file = fileOf(hFile);
    if (!file)
        return FALSE;
    FileFacts facts;
    if (!FactsOfFd(file->fd(), facts))
        return fail(ErrnoToWin32(errno));
    lpFileSize->QuadPart = LONGLONG(facts.size);
    return TRUE;
}

DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(hFile, &size))
        return INVALID_FILE_SIZE;
    if (lpFileSizeHigh)
        *lpFileSizeHigh = DWORD(ULONGLONG(size.QuadPart) >> 32);
    if (DWORD(size.QuadPart) == INVALID_FILE_SIZE)
        SetLastError(ERROR_SUCCESS);
    return DWORD(size.QuadPart);
}

BOOL GetFileTime(HANDLE hFile, LPFILETIME lpCreationTime, LPFILETIME lpLastAccessTime,
                 LPFILETIME lpLastWriteTime) {
    std::shared_ptr<FileObject> file = fileOf(hFile);
    if (!file)
        return FALSE;
    FileFacts facts;
    if (!FactsOfFd(file->fd(), facts))
        return fail(ErrnoToWin32(errno));
    if (lpCreationTime)
        *lpCreationTime = facts.created;
    if (lpLastAccessTime)
        *lpLastAccessTime = facts.accessed;
    if (lpLastWriteTime)
        *lpLastWriteTime = facts.written;
    return TRUE;
}

BOOL SetFileTime(HANDLE hFile, const FILETIME* lpCreationTime, const FILETIME* lpLastAccessTime,
                 const FILETIME* lpLastWriteTime) {
    std::shared_ptr<FileObject> file = fileOf(hFile);
    if (!file)
        return FALSE;
    auto given = [](const FILETIME* ft) {
        return ft && !(ft->dwLowDateTime == 0 && ft->dwHighDateTime == 0) &&
               !(ft->dwLowDateTime == 0xFFFFFFFF && ft->dwHighDateTime == 0xFFFFFFFF);
    };
    timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
    const FILETIME* linuxTimes[2] = {lpLastAccessTime, lpLastWriteTime};
    for (int i = 0; i < 2; ++i) {
        if (!given(linuxTimes[i]))
            continue;
        std::int64_t seconds = 0;
        long nanoseconds = 0;
        FileTimeToUnix(*linuxTimes[i], seconds, nanoseconds);
        times[i] = {time_t(seconds), nanoseconds};
    }
    if (futimens(file->fd(), times) != 0)
        return fail(ErrnoToWin32(errno));
    if (given(lpCreationTime))
        return result(StoreCreationTime(file->fd(), *lpCreationTime));
    return TRUE;
}
