// The hive file: a readable text form of the registry that keeps every byte of every value.
// Pure formatting and parsing; the store (registry_store.h) does the file locking and I/O.
//
//   TARNEL-HIVE 1 generation=42
//
//   [HKLM\SOFTWARE\Morvik\TARNEL\COM7]
//   "DisplayName"=sz:"Tarnel Port (COM7)"
//   "IPAddress"=dword:c801a8c0
//   "Port"=dword:00008c23
//   "Short"=hex(4):23,8c,00
//   @=sz-bare:"no terminating null"
//
//   END generation=42
//
// Key lines give the full path from a root (HKLM or HKCU); a key's parent is listed before it
// (the roots always exist). In key names '%', control characters, DEL and lone surrogates are
// written %XXXX (the UTF-16 unit in hex); key names never hold '\'. Value names and texts are
// quoted with \" \\ \n \r \t and \uXXXX for other control characters, DEL and lone surrogates;
// '@' is the default (empty) name. Everything else is UTF-8.
//
// Value forms: sz:"t" (REG_SZ, t plus its terminating null), sz-bare:"t" (REG_SZ, no null),
// expand:"t" / expand-bare:"t" (REG_EXPAND_SZ), multi:"a","b" (REG_MULTI_SZ of non-empty
// strings, each null-terminated, plus the final null), dword:XXXXXXXX (REG_DWORD of exactly 4
// bytes), qword:XXXXXXXXXXXXXXXX (REG_QWORD of exactly 8 bytes), hex:bb,bb (REG_BINARY) and
// hex(T):bb,bb for any type T (hex) whose data has no exact readable form.
// The generation counts the writes; header and END line carry the same one, and a file without
// its END line is truncated.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tarnel::host {

enum class HiveRoot { LocalMachine = 0, CurrentUser = 1 };
constexpr int kHiveRootCount = 2;

// "HKLM" or "HKCU", as key lines spell them.
const char* HiveRootName(HiveRoot root);

struct HiveValue {
    std::u16string name;  // empty for the default value
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
};

struct HiveKey {
    std::u16string name;                                         // spelling as first created
    std::vector<HiveValue> values;                               // in creation order
    std::map<std::u16string, std::unique_ptr<HiveKey>> subkeys;  // by upper-cased name
};

struct HiveTree {
    HiveKey roots[kHiveRootCount];
};

// Builds the text of a hive; keys must be given parents first.
class HiveWriter {
  public:
    explicit HiveWriter(std::uint64_t generation);
    // `path` is the key's names below the root, outermost first (empty for the root itself).
    void key(HiveRoot root, const std::vector<const std::u16string*>& path);
    void value(const HiveValue& value);
    std::string finish();

  private:
    std::string text_;
    std::uint64_t generation_;
};

// Writes a whole tree (subkeys in Windows order, values in creation order).
std::string FormatHive(const HiveTree& tree, std::uint64_t generation);

// The value's line without its newline, e.g. "Port_"=dword:0000238c.
std::string FormatValueLine(const HiveValue& value);

// Parses a hive text. On failure `error` is "FILE:LINE: reason" and `out` is unspecified.
bool ParseHive(std::string_view text, const std::string& fileName, HiveTree& out,
               std::uint64_t& generation, std::string& error);

// Reads the generation from a header line (without its newline); false when it is no header.
bool ParseHiveHeader(std::string_view line, std::uint64_t& generation);

// The keys of a fresh machine: HKLM\SOFTWARE (with WOW6432Node), HKLM\SYSTEM\CurrentControlSet
// with Control, Enum and Services, HKLM\HARDWARE\DEVICEMAP and HKCU\Software.
void FillFreshHive(HiveTree& tree);

}  // namespace tarnel::host
