// The machine's registry: one key tree per root, kept in the hive file and shared by every
// process that uses the machine. The Win32 and kernel personalities are thin layers over it.
//
// Every operation runs under the store's mutex and a flock on "registry.hive.lock" beside the
// hive (lock order: mutex, then file lock): shared for reads, exclusive for writes. Before it
// acts, an operation reloads the hive when another process replaced it (generation or file
// changed). A write goes through to the file at once: new text to "registry.hive.tmp", fsync,
// rename over the hive, fsync of the folder; a writer killed half-way leaves the old hive.
// A hive that does not parse is refused (Corrupt) and never overwritten; the reason, with file
// and line, is kept in lastError() and printed to stderr once.
//
// Keys are held by RegKey references. A reference stays valid while the key exists; once the
// key is deleted (here or, seen at a reload, by another process) operations on it report
// KeyDeleted. A key deleted and re-created by another process between two of our operations
// looks, from here, like the same key.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/machine/hive_format.h"

namespace tarnel::host {

struct RegKeyNode;
using RegKey = std::shared_ptr<RegKeyNode>;

enum class RegStatus {
    Ok,
    NotFound,     // key or value missing
    KeyDeleted,   // the referenced key was deleted
    HasSubkeys,   // non-recursive delete of a key with subkeys
    RootKey,      // a root cannot be deleted
    NoMoreItems,  // enumeration index past the end
    InvalidName,  // empty key name, or longer than 255 characters
    Corrupt,      // the hive file is damaged; see lastError()
    IoFailed,     // the hive could not be read or written; see lastError()
    ForeignKey,   // the reference belongs to another (earlier) store
};

struct RegKeyInfo {
    HiveRoot root = HiveRoot::LocalMachine;
    std::u16string name;               // empty for a root
    std::vector<std::u16string> path;  // names below the root, outermost first
    std::size_t subkeys = 0;
    std::size_t values = 0;
    std::size_t maxSubkeyNameChars = 0;
    std::size_t maxValueNameChars = 0;
    std::size_t maxValueDataBytes = 0;
};

class RegistryStore {
  public:
    explicit RegistryStore(std::filesystem::path hive);
    ~RegistryStore();
    RegistryStore(const RegistryStore&) = delete;
    RegistryStore& operator=(const RegistryStore&) = delete;

    const std::filesystem::path& hivePath() const { return hive_; }

    // The roots exist for the life of the store.
    RegKey root(HiveRoot root) const;
    bool isRoot(const RegKey& key, HiveRoot root) const;

    // `path` holds key names below `base`; an empty path names `base` itself.
    RegStatus openKey(const RegKey& base, const std::vector<std::u16string>& path, RegKey& out);
    // Creates the missing keys of `path` (only the last one when `createParents` is false:
    // a missing parent is then NotFound). `created` tells whether the last key was new.
    RegStatus createKey(const RegKey& base, const std::vector<std::u16string>& path,
                        bool createParents, RegKey& out, bool* created);
    // Deletes the key at `path` below `base`; with `recursive` its subkeys too, otherwise a key
    // with subkeys is HasSubkeys.
    RegStatus deleteKey(const RegKey& base, const std::vector<std::u16string>& path,
                        bool recursive);

    RegStatus keyInfo(const RegKey& key, RegKeyInfo& out);
    // Subkeys in Windows order: by upper-cased name.
    RegStatus enumKey(const RegKey& key, std::size_t index, RegKeyInfo& out);

    // Value names compare without regard to case; "" is the default value.
    RegStatus queryValue(const RegKey& key, std::u16string_view name, HiveValue& out);
    // Values in creation order; re-setting a value keeps its place and its first spelling.
    RegStatus enumValue(const RegKey& key, std::size_t index, HiveValue& out);
    RegStatus setValue(const RegKey& key, std::u16string_view name, std::uint32_t type,
                       const void* data, std::size_t size);
    RegStatus deleteValue(const RegKey& key, std::u16string_view name);

    // The hive text as it stands in the file.
    RegStatus exportText(std::string& text);

    // Why the last operation failed with Corrupt or IoFailed ("FILE:LINE: reason" for a damaged
    // hive); empty while the hive is sound.
    std::string lastError() const;
    // Whether a refusal is printed to stderr (once per distinct reason); on by default.
    void setReportErrors(bool report);

    // Called after half of a new hive text is written to the temporary file, before the rest,
    // the fsync and the rename: tests use it to kill a writer at the worst moment.
    void setMidWriteHookForTests(std::function<void()> hook);

  private:
    class Session;
    struct Stamp {
        dev_t dev = 0;
        ino_t ino = 0;
        off_t size = -1;
        std::int64_t mtimeNs = 0;
        bool operator==(const Stamp&) const = default;
    };

    RegStatus enter(bool exclusive);
    void leave();
    RegStatus refresh(bool& exclusive);
    RegStatus load(const std::string& text, const Stamp& stamp);
    RegStatus save();
    RegStatus fail(RegStatus status, const std::string& message);
    RegStatus check(const RegKey& key) const;
    RegKey newNode(RegKeyNode* parent, HiveRoot root, const std::u16string& name) const;
    void merge(RegKeyNode& node, HiveKey& parsed);
    void fillInfo(const RegKeyNode& node, RegKeyInfo& out) const;
    std::string formatTree() const;

    std::filesystem::path hive_;
    std::filesystem::path lockPath_;
    std::filesystem::path tmpPath_;
    const std::uint64_t serial_;

    mutable std::mutex mutex_;
    int lockFd_ = -1;
    pid_t lockPid_ = 0;  // a forked child opens its own lock file description
    RegKey roots_[kHiveRootCount];
    bool loaded_ = false;
    bool corrupt_ = false;
    Stamp stamp_;
    std::uint64_t generation_ = 0;
    std::string error_;
    bool reportErrors_ = true;
    std::set<std::string> reported_;
    std::function<void()> midWriteHook_;
};

}  // namespace tarnel::host
