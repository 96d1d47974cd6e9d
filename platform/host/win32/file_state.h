// What the host keeps about files beyond Linux's own facts: share modes of the open handles,
// DOS attributes and creation times (in extended attributes), and errno -> Win32 errors.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

#include "platform/host/types.h"

namespace tarnel::host {

// Data rights of an open, as share modes see them.
enum : DWORD {
    kRightRead = 1,
    kRightWrite = 2,
    kRightAppend = 4,
    kRightDelete = 8,
};
// The data rights a CreateFileW access mask asks for (generic rights mapped as for files).
DWORD DataRights(DWORD desiredAccess);

using FileKey = std::pair<dev_t, ino_t>;

// The rights and share mode of one open handle.
struct ShareEntry {
    DWORD rights = 0;
    DWORD share = 0;
};

// Share modes of every open file handle of the process, by file. Opens without data rights
// take no part, as on Windows.
class ShareTable {
  public:
    static ShareTable& instance();
    // Adds the entry unless it conflicts with an open handle of the same file.
    bool add(const FileKey& key, const ShareEntry* entry);
    void remove(const FileKey& key, const ShareEntry* entry);
    // Whether an open with these rights and share mode would be allowed now.
    bool allows(const FileKey& key, DWORD rights, DWORD share) const;

  private:
    bool conflicts(const FileKey& key, DWORD rights, DWORD share) const;

    mutable std::mutex mutex_;
    std::map<FileKey, std::vector<const ShareEntry*>> open_;
};

// Linux facts of a file seen as Windows sees them.
struct FileFacts {
    FileKey key;
    bool directory = false;
    DWORD attributes = 0;
    ULONGLONG size = 0;
    FILETIME created{};
    FILETIME accessed{};
    FILETIME written{};
};
// Of a path (following symbolic links; a dangling link is described itself) or an open file.
bool FactsOfPath(const std::string& path, FileFacts& facts);
bool FactsOfFd(int fd, FileFacts& facts);

// Attributes kept in the extended attribute: every settable one except READONLY of files, which
// is the owner's write permission. 0 removes the record. A Win32 error code.
constexpr DWORD kStoredAttributes = 0x00000002 | 0x00000004 | 0x00000020 | 0x00000100 | 0x00001000 |
                                    0x00002000;  // HIDDEN SYSTEM ARCHIVE TEMPORARY
                                                 // OFFLINE NOT_CONTENT_INDEXED
DWORD StoreAttributes(int fd, DWORD attributes);
DWORD StoreAttributes(const std::string& path, DWORD attributes);
DWORD StoredAttributes(const std::string& path);
DWORD StoreCreationTime(int fd, const FILETIME& created);
DWORD StoreCreationTime(const std::string& path, const FILETIME& created);

// The Win32 error for an errno value.
DWORD ErrnoToWin32(int error);

}  // namespace tarnel::host
