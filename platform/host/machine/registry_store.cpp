// The machine's registry store: the in-memory key tree, its hive file and the locking that lets
// several processes and threads share it (rules in registry_store.h).
#include "platform/host/machine/registry_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

#include "platform/host/machine/hive_text.h"

namespace tarnel::host {

struct RegKeyNode {
    std::uint64_t store = 0;
    HiveRoot root = HiveRoot::LocalMachine;
    RegKeyNode* parent = nullptr;  // null for roots and for deleted keys
    std::u16string name;
    std::vector<HiveValue> values;
    std::map<std::u16string, RegKey> subkeys;  // by upper-cased name: Windows' order
    bool deleted = false;
};

namespace {

constexpr std::size_t kMaxKeyNameLength = 255;

std::atomic<std::uint64_t> g_nextSerial{1};

bool validKeyName(const std::u16string& name) {
    return !name.empty() && name.size() <= kMaxKeyNameLength &&
           name.find(u'\\') == std::u16string::npos;
}

std::vector<HiveValue>::iterator findValue(RegKeyNode& node, std::u16string_view name) {
    for (auto it = node.values.begin(); it != node.values.end(); ++it) {
        if (RegistryNamesEqual(it->name, name))
            return it;
    }
    return node.values.end();
}

void markDeleted(RegKeyNode& node) {
    node.deleted = true;
    node.parent = nullptr;
    node.values.clear();
    for (auto& [upper, child] : node.subkeys)
        markDeleted(*child);
    node.subkeys.clear();
}

void writeNode(HiveWriter& w, const RegKeyNode& node, std::vector<const std::u16string*>& path) {
    w.key(node.root, path);
    for (const HiveValue& v : node.values)
        w.value(v);
    for (const auto& [upper, child] : node.subkeys) {
        path.push_back(&child->name);
        writeNode(w, *child, path);
        path.pop_back();
    }
}

std::string errnoText(const char* what, const std::filesystem::path& path) {
    return std::string(what) + " " + path.string() + ": " + std::strerror(errno);
}

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool readAll(int fd, std::string& out) {
    out.clear();
    char buf[65536];
    while (true) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        out.append(buf, static_cast<std::size_t>(n));
    }
}

int flockRetry(int fd, int op) {
    int r;
    do {
        r = ::flock(fd, op);
    } while (r != 0 && errno == EINTR);
    return r;
}

}  // namespace

// One operation: the store's mutex, the file lock, and a hive brought up to date.
class RegistryStore::Session {
  public:
    Session(RegistryStore& store, bool exclusive) : store_(store), lock_(store.mutex_) {
        status_ = store_.enter(exclusive);
    }
    // The same, then the key the operation works on must still be there.
    Session(RegistryStore& store, bool exclusive, const RegKey& key) : Session(store, exclusive) {
        if (status_ == RegStatus::Ok)
            status_ = store_.check(key);
    }
    ~Session() { store_.leave(); }
    RegStatus status() const { return status_; }

  private:
    RegistryStore& store_;
    std::lock_guard<std::mutex> lock_;
    RegStatus status_;
};

RegistryStore::RegistryStore(std::filesystem::path hive)
    : hive_(std::move(hive)), serial_(g_nextSerial++) {
    lockPath_ = hive_;
    lockPath_ += ".lock";
    tmpPath_ = hive_;
    tmpPath_ += ".tmp";
    for (int r = 0; r < kHiveRootCount; ++r)
        roots_[r] = newNode(nullptr, static_cast<HiveRoot>(r), std::u16string());
}

RegistryStore::~RegistryStore() {
    if (lockFd_ >= 0 && lockPid_ == ::getpid())
        ::close(lockFd_);
}

RegKey RegistryStore::newNode(RegKeyNode* parent, HiveRoot root, const std::u16string& name) const {
    auto node = std::make_shared<RegKeyNode>();
    node->store = serial_;
    node->root = root;
    node->parent = parent;
    node->name = name;
    return node;
}

RegKey RegistryStore::root(HiveRoot root) const {
    return roots_[static_cast<int>(root)];
}

bool RegistryStore::isRoot(const RegKey& key, HiveRoot root) const {
    return key && key == roots_[static_cast<int>(root)];
}

RegStatus RegistryStore::fail(RegStatus status, const std::string& message) {
    error_ = message;
    if (reportErrors_ && reported_.insert(message).second)
        std::fprintf(stderr, "tarnel: registry hive refused: %s\n", message.c_str());
    return status;
}

RegStatus RegistryStore::enter(bool exclusive) {
    if (lockFd_ < 0 || lockPid_ != ::getpid()) {
        // A forked child shares the parent's open lock file, and with it the parent's lock.
        if (lockFd_ >= 0)
            ::close(lockFd_);
        lockFd_ = ::open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        lockPid_ = ::getpid();
        if (lockFd_ < 0)
            return fail(RegStatus::IoFailed, errnoText("cannot open", lockPath_));
    }
    if (flockRetry(lockFd_, exclusive ? LOCK_EX : LOCK_SH) != 0)
        return fail(RegStatus::IoFailed, errnoText("cannot lock", lockPath_));
    return refresh(exclusive);
}

void RegistryStore::leave() {
    if (lockFd_ >= 0)
        flockRetry(lockFd_, LOCK_UN);
}

RegStatus RegistryStore::refresh(bool& exclusive) {
    int fd = ::open(hive_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        if (!exclusive) {
            // Creating the hive needs the exclusive lock; look again once it is held.
            if (flockRetry(lockFd_, LOCK_EX) != 0)
                return fail(RegStatus::IoFailed, errnoText("cannot lock", lockPath_));
            exclusive = true;
            return refresh(exclusive);
        }
        HiveTree fresh;
        FillFreshHive(fresh);
        for (int r = 0; r < kHiveRootCount; ++r)
            merge(*roots_[r], fresh.roots[r]);
        corrupt_ = false;
        loaded_ = true;
        return save();
    }
    if (fd < 0)
        return fail(RegStatus::IoFailed, errnoText("cannot open", hive_));
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return fail(RegStatus::IoFailed, errnoText("cannot stat", hive_));
    }
    Stamp stamp{st.st_dev, st.st_ino, st.st_size,
                std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
    if (corrupt_ && stamp == stamp_) {
        ::close(fd);
        return RegStatus::Corrupt;
    }
    if (loaded_ && !corrupt_ && stamp == stamp_) {
        // Same file as far as stat can tell; the generation settles it (inode numbers are
        // reused and timestamps are coarse).
        char head[96];
        ssize_t n = ::pread(fd, head, sizeof head, 0);
        std::uint64_t generation;
        if (n > 0) {
            std::string_view line(head, static_cast<std::size_t>(n));
            line = line.substr(0, line.find('\n'));
            if (ParseHiveHeader(line, generation) && generation == generation_) {
                ::close(fd);
                return RegStatus::Ok;
            }
        }
    }
    std::string text;
    bool ok = readAll(fd, text);
    ::close(fd);
    if (!ok)
        return fail(RegStatus::IoFailed, errnoText("cannot read", hive_));
    return load(text, stamp);
}

RegStatus RegistryStore::load(const std::string& text, const Stamp& stamp) {
    HiveTree tree;
    std::uint64_t generation = 0;
    std::string error;
    stamp_ = stamp;
    if (!ParseHive(text, hive_.string(), tree, generation, error)) {
        corrupt_ = true;
        return fail(RegStatus::Corrupt, error);
    }
    for (int r = 0; r < kHiveRootCount; ++r)
        merge(*roots_[r], tree.roots[r]);
    corrupt_ = false;
    loaded_ = true;
    generation_ = generation;
    error_.clear();
    return RegStatus::Ok;
}

void RegistryStore::merge(RegKeyNode& node, HiveKey& parsed) {
    node.values = std::move(parsed.values);
    if (node.parent)
        node.name = parsed.name;
    for (auto it = node.subkeys.begin(); it != node.subkeys.end();) {
        if (parsed.subkeys.count(it->first)) {
            ++it;
            continue;
        }
        markDeleted(*it->second);
        it = node.subkeys.erase(it);
    }
    for (auto& [upper, child] : parsed.subkeys) {
        RegKey& slot = node.subkeys[upper];
        if (!slot)
            slot = newNode(&node, node.root, child->name);
        merge(*slot, *child);
    }
}

std::string RegistryStore::formatTree() const {
    HiveWriter w(generation_ + 1);
    std::vector<const std::u16string*> path;
    for (const RegKey& r : roots_)
        writeNode(w, *r, path);
    return w.finish();
}

RegStatus RegistryStore::save() {
    std::string text = formatTree();
    auto abandon = [&](const char* what, const std::filesystem::path& path) {
        std::string message = errnoText(what, path);
        ::unlink(tmpPath_.c_str());
        // Memory holds a change the file does not: the next operation reloads the file.
        loaded_ = false;
        stamp_ = Stamp{};
        return fail(RegStatus::IoFailed, message);
    };
    int fd = ::open(tmpPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return abandon("cannot create", tmpPath_);
    std::size_t half = text.size() / 2;
    bool ok = writeAll(fd, text.data(), half);
    if (ok && midWriteHook_)
        midWriteHook_();
    ok = ok && writeAll(fd, text.data() + half, text.size() - half) && ::fsync(fd) == 0;
    ::close(fd);
    if (!ok)
        return abandon("cannot write", tmpPath_);
    if (::rename(tmpPath_.c_str(), hive_.c_str()) != 0)
        return abandon("cannot replace", hive_);
    int dir = ::open(hive_.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    struct stat st {};
    if (::stat(hive_.c_str(), &st) != 0)
        return abandon("cannot stat", hive_);
    stamp_ = Stamp{st.st_dev, st.st_ino, st.st_size,
                   std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
    ++generation_;
    error_.clear();
    return RegStatus::Ok;
}

RegStatus RegistryStore::check(const RegKey& key) const {
    if (!key || key->store != serial_)
        return RegStatus::ForeignKey;
    return key->deleted ? RegStatus::KeyDeleted : RegStatus::Ok;
}

void RegistryStore::fillInfo(const RegKeyNode& node, RegKeyInfo& out) const {
    out = RegKeyInfo{};
    out.root = node.root;
    out.name = node.name;
    for (const RegKeyNode* n = &node; n->parent; n = n->parent)
        out.path.push_back(n->name);
    std::reverse(out.path.begin(), out.path.end());
    out.subkeys = node.subkeys.size();
    out.values = node.values.size();
    for (const auto& [upper, child] : node.subkeys)
        out.maxSubkeyNameChars = std::max(out.maxSubkeyNameChars, child->name.size());
    for (const HiveValue& v : node.values) {
        out.maxValueNameChars = std::max(out.maxValueNameChars, v.name.size());
        out.maxValueDataBytes = std::max(out.maxValueDataBytes, v.data.size());
    }
}

RegStatus RegistryStore::openKey(const RegKey& base, const std::vector<std::u16string>& path,
                                 RegKey& out) {
    Session session(*this, false, base);
    if (session.status() != RegStatus::Ok)
        return session.status();
    RegKeyNode* node = base.get();
    RegKey result = base;
    for (const std::u16string& name : path) {
        if (!validKeyName(name))
            return RegStatus::InvalidName;
        auto it = node->subkeys.find(RegistryUpcase(name));
        if (it == node->subkeys.end())
            return RegStatus::NotFound;
        result = it->second;
        node = result.get();
    }
    out = result;
    return RegStatus::Ok;
}

RegStatus RegistryStore::createKey(const RegKey& base, const std::vector<std::u16string>& path,
                                   bool createParents, RegKey& out, bool* created) {
    Session session(*this, true, base);
    if (session.status() != RegStatus::Ok)
        return session.status();
    for (const std::u16string& name : path) {
        if (!validKeyName(name))
            return RegStatus::InvalidName;
    }
    RegKey result = base;
    bool madeAny = false;
    bool madeLast = false;
    for (std::size_t i = 0; i < path.size(); ++i) {
        RegKey& slot = result->subkeys[RegistryUpcase(path[i])];
        madeLast = !slot;
        if (!slot) {
            if (!createParents && i + 1 < path.size()) {
                result->subkeys.erase(RegistryUpcase(path[i]));
                return RegStatus::NotFound;
            }
            slot = newNode(result.get(), result->root, path[i]);
            madeAny = true;
        }
        result = slot;
    }
    if (madeAny) {
        if (RegStatus s = save(); s != RegStatus::Ok)
            return s;
    }
    out = result;
    if (created)
        *created = madeLast;
    return RegStatus::Ok;
}

RegStatus RegistryStore::deleteKey(const RegKey& base, const std::vector<std::u16string>& path,
                                   bool recursive) {
    Session session(*this, true, base);
    if (session.status() != RegStatus::Ok)
        return session.status();
    RegKey target = base;
    for (const std::u16string& name : path) {
        if (!validKeyName(name))
            return RegStatus::InvalidName;
        auto it = target->subkeys.find(RegistryUpcase(name));
        if (it == target->subkeys.end())
            return RegStatus::NotFound;
        target = it->second;
    }
    if (!target->parent)
        return RegStatus::RootKey;
    if (!recursive && !target->subkeys.empty())
        return RegStatus::HasSubkeys;
    target->parent->subkeys.erase(RegistryUpcase(target->name));
    markDeleted(*target);
    return save();
}

RegStatus RegistryStore::keyInfo(const RegKey& key, RegKeyInfo& out) {
    Session session(*this, false, key);
    if (session.status() != RegStatus::Ok)
        return session.status();
    fillInfo(*key, out);
    return RegStatus::Ok;
}

RegStatus RegistryStore::enumKey(const RegKey& key, std::size_t index, RegKeyInfo& out) {
    Session session(*this, false, key);
    if (session.status() != RegStatus::Ok)
        return session.status();
    if (index >= key->subkeys.size())
        return RegStatus::NoMoreItems;
    auto it = key->subkeys.begin();
    std::advance(it, static_cast<std::ptrdiff_t>(index));
    fillInfo(*it->second, out);
    return RegStatus::Ok;
}

RegStatus RegistryStore::queryValue(const RegKey& key, std::u16string_view name, HiveValue& out) {
    Session session(*this, false, key);
    if (session.status() != RegStatus::Ok)
        return session.status();
    auto it = findValue(*key, name);
    if (it == key->values.end())
        return RegStatus::NotFound;
    out = *it;
    return RegStatus::Ok;
}

RegStatus RegistryStore::enumValue(const RegKey& key, std::size_t index, HiveValue& out) {
    Session session(*this, false, key);
    if (session.status() != RegStatus::Ok)
        return session.status();
    if (index >= key->values.size())
        return RegStatus::NoMoreItems;
    out = key->values[index];
    return RegStatus::Ok;
}

RegStatus RegistryStore::setValue(const RegKey& key, std::u16string_view name, std::uint32_t type,
                                  const void* data, std::size_t size) {
    Session session(*this, true, key);
    if (session.status() != RegStatus::Ok)
        return session.status();
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    auto it = findValue(*key, name);
    if (it == key->values.end()) {
        key->values.push_back(HiveValue{std::u16string(name), type, {}});
        it = key->values.end() - 1;
    }
    it->type = type;
    it->data.assign(bytes, bytes + size);
    return save();
}

RegStatus RegistryStore::deleteValue(const RegKey& key, std::u16string_view name) {
    Session session(*this, true, key);
    if (session.status() != RegStatus::Ok)
        return session.status();
    auto it = findValue(*key, name);
    if (it == key->values.end())
        return RegStatus::NotFound;
    key->values.erase(it);
    return save();
}

RegStatus RegistryStore::exportText(std::string& text) {
    Session session(*this, false);
    if (session.status() != RegStatus::Ok)
        return session.status();
    int fd = ::open(hive_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return fail(RegStatus::IoFailed, errnoText("cannot open", hive_));
    bool ok = readAll(fd, text);
    ::close(fd);
    return ok ? RegStatus::Ok : fail(RegStatus::IoFailed, errnoText("cannot read", hive_));
}

std::string RegistryStore::lastError() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

void RegistryStore::setReportErrors(bool report) {
    std::lock_guard<std::mutex> lock(mutex_);
    reportErrors_ = report;
}

void RegistryStore::setMidWriteHookForTests(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    midWriteHook_ = std::move(hook);
}

}  // namespace tarnel::host
