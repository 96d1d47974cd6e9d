// Mapping between Windows paths and the host's Linux file system: drive letters, separators,
// "." and "..", the current directory, device names and case-insensitive name resolution.
#include "platform/host/win32/paths.h"

#include <algorithm>
#include <climits>
#include <filesystem>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/host/machine/machine.h"
#include "platform/host/runtime/codepage.h"
#include "platform/host/runtime/errors.h"
#include "platform/host/runtime/wide.h"
#include "platform/host/win32/process.h"

namespace tarnel::host {

namespace {

namespace fs = std::filesystem;

bool isLetter(WCHAR c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

WCHAR upperAscii(WCHAR c) {
    return (c >= 'a' && c <= 'z') ? WCHAR(c - 32) : c;
}

bool startsWith(const std::u16string& s, const char16_t* prefix) {
    return s.compare(0, std::char_traits<char16_t>::length(prefix), prefix) == 0;
}

// "X:" alone or "X:\...".
bool isDrivePath(const std::u16string& s) {
    return s.size() >= 2 && isLetter(s[0]) && s[1] == ':' && (s.size() == 2 || s[2] == '\\');
}

std::u16string withBackslashes(LPCWSTR path) {
    std::u16string s(path);
    std::replace(s.begin(), s.end(), u'/', u'\\');
    return s;
}

bool isReservedDosName(const std::u16string& name) {
    static const char16_t* const kNames[] = {u"CON", u"PRN", u"AUX", u"NUL"};
    for (const char16_t* n : kNames) {
        if (name == n)
            return true;
    }
    return name.size() == 4 && (startsWith(name, u"COM") || startsWith(name, u"LPT")) &&
           name[3] >= '1' && name[3] <= '9';
}

bool validName(const std::u16string& name) {
    for (WCHAR c : name) {
        if (c < 0x20 || c == '<' || c == '>' || c == ':' || c == '"' || c == '|' || c == '?' ||
            c == '*')
            return false;
    }
    return true;
}

std::string currentLinuxDirectory() {
    char buffer[PATH_MAX];
    return getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string("/");
}

bool sameIgnoringCase(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (towupper(a[i]) != towupper(b[i]))
            return false;
    }
    return true;
}

// The entry of `folder` whose name equals `name` without regard to case; the smallest such name
// when several differ only in case. Empty when there is none.
std::string findIgnoringCase(const std::string& folder, const std::string& name) {
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return {};
    std::u16string wanted = Utf8ToWide(name);
    std::string found;
    while (dirent* entry = readdir(dir)) {
        std::string candidate = entry->d_name;
        bool lossless = true;
        std::u16string wide = Utf8ToWide(candidate, &lossless);
        if (lossless && sameIgnoringCase(wide, wanted) && (found.empty() || candidate < found))
            found = candidate;
    }
    closedir(dir);
    return found;
}

std::string driveCLinux() {
    std::string c = Machine::current().driveC().lexically_normal().string();
    while (c.size() > 1 && c.back() == '/')
        c.pop_back();
    return c;
}

// The path below `base`, when `path` is `base` or inside it.
bool below(const std::string& path, const std::string& base, std::string& rest) {
    if (path == base) {
        rest.clear();
        return true;
    }
    if (path.size() > base.size() && path.compare(0, base.size(), base) == 0 &&
        path[base.size()] == '/') {
        rest = path.substr(base.size() + 1);
        return true;
    }
    return false;
}

}  // namespace

std::string JoinLinux(const std::string& folder, const std::string& name) {
    if (name.empty())
        return folder;
    return folder == "/" ? "/" + name : folder + "/" + name;
}

bool IsDevicePath(LPCWSTR path, std::u16string* deviceName) {
    if (!path || !*path)
        return false;
    std::u16string s = withBackslashes(path);
    if (startsWith(s, u"\\\\.\\") || startsWith(s, u"\\\\?\\") || startsWith(s, u"\\??\\")) {
        std::u16string rest = s.substr(4);
        if (rest.empty() || isDrivePath(rest) || startsWith(rest, u"UNC\\"))
            return false;
        if (deviceName)
            *deviceName = rest;
        return true;
    }
    size_t slash = s.find_last_of(u'\\');
    std::u16string name = slash == std::u16string::npos ? s : s.substr(slash + 1);
    if (slash == std::u16string::npos && name.size() > 2 && isLetter(name[0]) && name[1] == ':')
        name = name.substr(2);  // "C:COM1"
    if (!name.empty() && name.back() == ':')
        name.pop_back();
    name = name.substr(0, name.find(u'.'));
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    for (WCHAR& c : name)
        c = upperAscii(c);
    if (!isReservedDosName(name))
        return false;
    if (deviceName)
        *deviceName = name;
    return true;
}

bool FullWindowsPath(LPCWSTR path, std::u16string& full, DWORD& error) {
    if (!path || !*path) {
        error = ERROR_PATH_NOT_FOUND;
        return false;
    }
    if (IsDevicePath(path)) {
        error = ERROR_FILE_NOT_FOUND;
        return false;
    }
    std::u16string s = withBackslashes(path);
    if (startsWith(s, u"\\\\.\\") || startsWith(s, u"\\\\?\\") || startsWith(s, u"\\??\\")) {
        s = s.substr(4);
        if (!isDrivePath(s)) {
            error = ERROR_BAD_NETPATH;  // \\?\UNC\...
            return false;
        }
    } else if (startsWith(s, u"\\\\")) {
        error = ERROR_BAD_NETPATH;
        return false;
    }

    std::u16string cwd;  // "X:\...", read only for paths that are not absolute
    auto currentDirectory = [&]() -> const std::u16string& {
        if (cwd.empty())
            ToWindowsPath(currentLinuxDirectory(), cwd);
        return cwd;
    };
    WCHAR drive;
    std::u16string rest;
    if (s.size() >= 2 && isLetter(s[0]) && s[1] == ':') {
        drive = upperAscii(s[0]);
        rest = s.substr(2);
        if (rest.empty() || rest[0] != '\\') {
            // "X:name" is relative to the drive's current directory; only one drive has one.
            const std::u16string& here = currentDirectory();
            rest = (drive == here[0] ? here.substr(2) : std::u16string()) + u"\\" + rest;
        }
    } else if (s[0] == '\\') {
        drive = currentDirectory()[0];
        rest = s;
    } else {
        drive = currentDirectory()[0];
        rest = currentDirectory().substr(2) + u"\\" + s;
    }

    std::vector<std::u16string> names;
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = rest.find(u'\\', start);
        if (end == std::u16string::npos)
            end = rest.size();
        std::u16string name = rest.substr(start, end - start);
        start = end + 1;
        if (name == u".")
            continue;
        if (name == u"..") {
            if (!names.empty())
                names.pop_back();
            continue;
        }
        while (!name.empty() && (name.back() == '.' || name.back() == ' '))
            name.pop_back();
        if (name.empty())
            continue;
        if (!validName(name)) {
            error = ERROR_INVALID_NAME;
            return false;
        }
        names.push_back(std::move(name));
    }
    full.assign({drive, u':', u'\\'});
    for (size_t i = 0; i < names.size(); ++i) {
        if (i)
            full += u'\\';
        full += names[i];
    }
    return true;
}

bool Wow64RedirectedPath(std::u16string& full) {
    static const char16_t kSystem[] = u"C:\\WINDOWS\\SYSTEM32";
    const size_t length = std::char_traits<char16_t>::length(kSystem);
    if (full.size() < length || (full.size() > length && full[length] != u'\\') ||
        !sameIgnoringCase(full.substr(0, length), kSystem))
        return false;
    // The folders WOW64 leaves shared between both kinds of program.
    static const char16_t* const kExempt[] = {u"\\CATROOT",      u"\\CATROOT2", u"\\DRIVERSTORE",
                                              u"\\DRIVERS\\ETC", u"\\LOGFILES", u"\\SPOOL"};
    const std::u16string rest = full.substr(length);
    for (const char16_t* exempt : kExempt) {
        const size_t n = std::char_traits<char16_t>::length(exempt);
        if (rest.size() >= n && (rest.size() == n || rest[n] == u'\\') &&
            sameIgnoringCase(rest.substr(0, n), exempt))
            return false;
    }
    BOOL wow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64)
        return false;
    full = u"C:\\Windows\\SysWOW64" + rest;
    return true;
}

bool ResolvePath(LPCWSTR path, ResolvedPath& out, DWORD& error) {
    std::u16string full;
    if (!FullWindowsPath(path, full, error))
        return false;
    Wow64RedirectedPath(full);
    std::string current;
    if (full[0] == 'C') {
        current = driveCLinux();
    } else if (full[0] == 'Z') {
        current = "/";
    } else {
        error = ERROR_PATH_NOT_FOUND;
        return false;
    }
    out = ResolvedPath{};
    out.parent = current;
    bool exists = true;
    bool lossless = true;
    std::string rest = WideToUtf8(full.substr(3), &lossless);
    if (!lossless) {
        error = ERROR_INVALID_NAME;  // an unpaired surrogate has no Linux spelling
        return false;
    }
    size_t start = 0;
    while (start < rest.size()) {
        size_t end = rest.find('\\', start);
        if (end == std::string::npos)
            end = rest.size();
        std::string name = rest.substr(start, end - start);
        start = end + 1;
        out.parent = current;
        out.name = name;
        struct stat st;
        if (exists && lstat(JoinLinux(current, name).c_str(), &st) != 0) {
            std::string match = findIgnoringCase(current, name);
            if (match.empty())
                exists = false;
            else
                name = match;
        }
        current = JoinLinux(current, name);
    }
    out.linuxPath = current;
    struct stat st;
    out.exists = exists && lstat(current.c_str(), &st) == 0;
    return true;
}

bool ToLinuxPath(LPCWSTR path, std::string& linuxPath, DWORD& error) {
    ResolvedPath resolved;
    if (!ResolvePath(path, resolved, error))
        return false;
    linuxPath = resolved.linuxPath;
    return true;
}

bool ToWindowsPath(const std::string& linuxPath, std::u16string& windowsPath) {
    if (linuxPath.empty())
        return false;
    std::string p = linuxPath[0] == '/' ? linuxPath : JoinLinux(currentLinuxDirectory(), linuxPath);
    p = fs::path(p).lexically_normal().string();
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();

    std::string rest;
    std::u16string drive = u"Z:\\";
    std::string c = driveCLinux();
    std::error_code ec;
    std::string realC = fs::weakly_canonical(c, ec).string();
    if (below(p, c, rest) || (!ec && below(p, realC, rest))) {
        drive = u"C:\\";
    } else {
        rest = p.substr(1);
    }
    std::replace(rest.begin(), rest.end(), '/', '\\');
    windowsPath = drive + Utf8ToWide(rest);
    return true;
}

DWORD MissingPathError(const std::string& linuxPath) {
    std::string folder = fs::path(linuxPath).parent_path().string();
    struct stat st;
    if (folder.empty() || (stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)))
        return ERROR_FILE_NOT_FOUND;
    return ERROR_PATH_NOT_FOUND;
}

}  // namespace tarnel::host
