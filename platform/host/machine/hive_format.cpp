// Formatting and parsing of the hive file text (the layout is described in hive_format.h).
// Every value is written in a form that parses back to the same type code and bytes.
#include "platform/host/machine/hive_format.h"

#include <cstdio>

#include "platform/host/machine/hive_text.h"

namespace tarnel::host {

namespace {

constexpr char kHeaderPrefix[] = "TARNEL-HIVE 1 generation=";
constexpr char kEndPrefix[] = "END generation=";
constexpr size_t kMaxKeyNameLength = 255;

constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;
constexpr std::uint32_t kRegMultiSz = 7;
constexpr std::uint32_t kRegQword = 11;

const char kHexDigits[] = "0123456789abcdef";

void appendHex(std::string& out, std::uint64_t v, int digits) {
    for (int i = digits - 1; i >= 0; --i)
        out += kHexDigits[(v >> (4 * i)) & 0xF];
}

bool isHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool isLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

// Walks UTF-16 text, handing each unit or valid pair to `plain` and each unit that needs an
// escape (control, DEL, lone surrogate, or one `special` names) to `escaped`.
template <typename Special, typename Plain, typename Escaped>
void walkUnits(std::u16string_view s, Special special, Plain plain, Escaped escaped) {
    for (size_t i = 0; i < s.size(); ++i) {
        char16_t c = s[i];
        if (isHighSurrogate(c) && i + 1 < s.size() && isLowSurrogate(s[i + 1])) {
            plain(0x10000 + ((char32_t(c) - 0xD800) << 10) + (s[i + 1] - 0xDC00));
            ++i;
        } else if (c < 0x20 || c == 0x7F || isHighSurrogate(c) || isLowSurrogate(c) || special(c)) {
            escaped(c);
        } else {
            plain(c);
        }
    }
}

std::string escapeKeyName(std::u16string_view name) {
    std::string out;
    walkUnits(
        name, [](char16_t c) { return c == u'%'; }, [&](char32_t cp) { AppendUtf8(out, cp); },
        [&](char16_t c) {
            out += '%';
            appendHex(out, c, 4);
        });
    return out;
}

std::string quote(std::u16string_view text) {
    std::string out = "\"";
    walkUnits(
        text, [](char16_t c) { return c == u'"' || c == u'\\'; },
        [&](char32_t cp) { AppendUtf8(out, cp); },
        [&](char16_t c) {
            switch (c) {
                case u'"':
                    out += "\\\"";
                    break;
                case u'\\':
                    out += "\\\\";
                    break;
                case u'\n':
                    out += "\\n";
                    break;
                case u'\r':
                    out += "\\r";
                    break;
                case u'\t':
                    out += "\\t";
                    break;
                default:
                    out += "\\u";
                    appendHex(out, c, 4);
            }
        });
    out += '"';
    return out;
}

std::u16string unitsOf(const std::vector<std::uint8_t>& data) {
    std::u16string units(data.size() / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i)
        units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    return units;
}

void appendUnits(std::vector<std::uint8_t>& data, std::u16string_view units) {
    for (char16_t c : units) {
        data.push_back(static_cast<std::uint8_t>(c & 0xFF));
        data.push_back(static_cast<std::uint8_t>(c >> 8));
    }
}

std::uint64_t littleEndian(const std::vector<std::uint8_t>& data) {
    std::uint64_t v = 0;
    for (size_t i = data.size(); i-- > 0;)
        v = (v << 8) | data[i];
    return v;
}

// The readable form of a string value, or "" when its bytes have none.
std::string stringForm(const HiveValue& v, const char* tag) {
    if (v.data.size() % 2 != 0)
        return {};
    std::u16string units = unitsOf(v.data);
    size_t nul = units.find(u'\0');
    if (nul == std::u16string::npos)
        return std::string(tag) + "-bare:" + quote(units);
    if (nul == units.size() - 1)
        return std::string(tag) + ":" + quote(units.substr(0, nul));
    return {};
}

std::string multiForm(const HiveValue& v) {
    if (v.data.size() % 2 != 0)
        return {};
    std::u16string units = unitsOf(v.data);
    // Non-empty strings, each null-terminated, then the list's final null.
    if (units.size() < 3 || units[0] == 0 || units[units.size() - 1] != 0 ||
        units[units.size() - 2] != 0)
        return {};
    std::string out = "multi:";
    size_t start = 0;
    const size_t end = units.size() - 1;
    while (start < end) {
        size_t nul = units.find(u'\0', start);
        if (nul == start)
            return {};
        if (start)
            out += ',';
        out += quote(std::u16string_view(units).substr(start, nul - start));
        start = nul + 1;
    }
    return out;
}

std::string hexForm(const HiveValue& v) {
    std::string out;
    if (v.type == kRegBinary) {
        out = "hex:";
    } else {
        char buf[24];
        std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
        out = buf;
    }
    for (size_t i = 0; i < v.data.size(); ++i) {
        if (i)
            out += ',';
        appendHex(out, v.data[i], 2);
    }
    return out;
}

std::string dataForm(const HiveValue& v) {
    std::string form;
    switch (v.type) {
        case kRegSz:
            form = stringForm(v, "sz");
            break;
        case kRegExpandSz:
            form = stringForm(v, "expand");
            break;
        case kRegMultiSz:
            form = multiForm(v);
            break;
        case kRegDword:
            if (v.data.size() == 4) {
                form = "dword:";
                appendHex(form, littleEndian(v.data), 8);
            }
            break;
        case kRegQword:
            if (v.data.size() == 8) {
                form = "qword:";
                appendHex(form, littleEndian(v.data), 16);
            }
            break;
        default:
            break;
    }
    return form.empty() ? hexForm(v) : form;
}

void writeKey(HiveWriter& w, HiveRoot root, const HiveKey& key,
              std::vector<const std::u16string*>& path) {
    w.key(root, path);
    for (const HiveValue& v : key.values)
        w.value(v);
    for (const auto& [upper, child] : key.subkeys) {
        path.push_back(&child->name);
        writeKey(w, root, *child, path);
        path.pop_back();
    }
}

// ---- parsing ----

struct Failure {
    std::string why;
};

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parseHexNumber(std::string_view s, size_t digits, std::uint64_t& v) {
    if (s.size() != digits)
        return false;
    v = 0;
    for (char c : s) {
        int d = hexValue(c);
        if (d < 0)
            return false;
        v = (v << 4) | static_cast<unsigned>(d);
    }
    return true;
}

bool parseDecimal(std::string_view s, std::uint64_t& v) {
    if (s.empty() || s.size() > 19)
        return false;
    v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    return true;
}

// Decodes a run of UTF-8 bytes and appends it.
bool appendUtf8Run(std::string_view run, std::u16string& out) {
    std::u16string part;
    if (!Utf8ToUtf16(run, part))
        return false;
    out += part;
    return true;
}

bool unescapeKeyName(std::string_view text, std::u16string& out, std::string& why) {
    out.clear();
    size_t runStart = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] != '%')
            continue;
        if (!appendUtf8Run(text.substr(runStart, i - runStart), out)) {
            why = "bad UTF-8 in key name";
            return false;
        }
        if (i == text.size())
            break;
        std::uint64_t unit;
        if (!parseHexNumber(text.substr(i + 1, 4), 4, unit)) {
            why = "bad %XXXX escape in key name";
            return false;
        }
        out += static_cast<char16_t>(unit);
        i += 4;
        runStart = i + 1;
    }
    return true;
}

// Reads a quoted text starting at line[pos] == '"'; leaves pos after the closing quote.
bool parseQuoted(std::string_view line, size_t& pos, std::u16string& out, std::string& why) {
    out.clear();
    if (pos >= line.size() || line[pos] != '"') {
        why = "expected quoted text";
        return false;
    }
    ++pos;
    size_t runStart = pos;
    auto flush = [&](size_t end) {
        if (appendUtf8Run(line.substr(runStart, end - runStart), out))
            return true;
        why = "bad UTF-8 in quoted text";
        return false;
    };
    while (pos < line.size()) {
        char c = line[pos];
        if (c == '"') {
            if (!flush(pos))
                return false;
            ++pos;
            return true;
        }
        if (c != '\\') {
            ++pos;
            continue;
        }
        if (!flush(pos))
            return false;
        if (pos + 1 >= line.size())
            break;
        char e = line[pos + 1];
        pos += 2;
        switch (e) {
            case '"':
                out += u'"';
                break;
            case '\\':
                out += u'\\';
                break;
            case 'n':
                out += u'\n';
                break;
            case 'r':
                out += u'\r';
                break;
            case 't':
                out += u'\t';
                break;
            case 'u': {
                std::uint64_t unit;
                if (!parseHexNumber(line.substr(pos, 4), 4, unit)) {
                    why = "bad \\uXXXX escape";
                    return false;
                }
                out += static_cast<char16_t>(unit);
                pos += 4;
                break;
            }
            default:
                why = std::string("unknown escape \\") + e;
                return false;
        }
        runStart = pos;
    }
    why = "unterminated quoted text";
    return false;
}

bool parseHexBytes(std::string_view s, std::vector<std::uint8_t>& out) {
    out.clear();
    if (s.empty())
        return true;
    size_t pos = 0;
    while (true) {
        std::uint64_t b;
        if (!parseHexNumber(s.substr(pos, 2), 2, b))
            return false;
        out.push_back(static_cast<std::uint8_t>(b));
        pos += 2;
        if (pos == s.size())
            return true;
        if (s[pos] != ',')
            return false;
        ++pos;
    }
}

void parseStringData(std::string_view rest, bool terminated, HiveValue& v) {
    size_t pos = 0;
    std::u16string text;
    std::string why;
    if (!parseQuoted(rest, pos, text, why))
        throw Failure{why};
    if (pos != rest.size())
        throw Failure{"text after the quoted value"};
    if (terminated)
        text += u'\0';
    appendUnits(v.data, text);
}

void parseValueData(std::string_view form, HiveValue& v) {
    size_t colon = form.find(':');
    if (colon == std::string_view::npos)
        throw Failure{"expected TYPE:DATA after '='"};
    std::string_view tag = form.substr(0, colon);
    std::string_view rest = form.substr(colon + 1);
    std::uint64_t number;
    if (tag == "sz" || tag == "sz-bare") {
        v.type = kRegSz;
        parseStringData(rest, tag == "sz", v);
    } else if (tag == "expand" || tag == "expand-bare") {
        v.type = kRegExpandSz;
        parseStringData(rest, tag == "expand", v);
    } else if (tag == "multi") {
        v.type = kRegMultiSz;
        size_t pos = 0;
        std::u16string item;
        std::string why;
        do {
            if (pos)
                ++pos;  // the ',' between items
            if (!parseQuoted(rest, pos, item, why))
                throw Failure{why};
            item += u'\0';
            appendUnits(v.data, item);
        } while (pos < rest.size() && rest[pos] == ',');
        if (pos != rest.size())
            throw Failure{"text after the multi-string items"};
        appendUnits(v.data, std::u16string(1, u'\0'));
    } else if (tag == "dword") {
        if (!parseHexNumber(rest, 8, number))
            throw Failure{"dword needs 8 hex digits"};
        v.type = kRegDword;
        for (int i = 0; i < 4; ++i)
            v.data.push_back(static_cast<std::uint8_t>(number >> (8 * i)));
    } else if (tag == "qword") {
        if (!parseHexNumber(rest, 16, number))
            throw Failure{"qword needs 16 hex digits"};
        v.type = kRegQword;
        for (int i = 0; i < 8; ++i)
            v.data.push_back(static_cast<std::uint8_t>(number >> (8 * i)));
    } else if (tag == "hex" ||
               (tag.size() > 5 && tag.substr(0, 4) == "hex(" && tag.back() == ')')) {
        v.type = kRegBinary;
        if (tag != "hex") {
            std::string_view code = tag.substr(4, tag.size() - 5);
            if (code.empty() || code.size() > 8 || !parseHexNumber(code, code.size(), number))
                throw Failure{"bad type code in hex(T)"};
            v.type = static_cast<std::uint32_t>(number);
        }
        if (!parseHexBytes(rest, v.data))
            throw Failure{"bad hex bytes (want bb,bb,...)"};
    } else {
        throw Failure{"unknown value type '" + std::string(tag) + "'"};
    }
}

HiveKey* parseKeyLine(std::string_view line, HiveTree& tree) {
    if (line.size() < 2 || line.back() != ']')
        throw Failure{"bad key line (want [ROOT\\path])"};
    std::string_view path = line.substr(1, line.size() - 2);
    size_t sep = path.find('\\');
    std::string_view rootName = path.substr(0, sep);
    HiveKey* key;
    if (rootName == HiveRootName(HiveRoot::LocalMachine))
        key = &tree.roots[static_cast<int>(HiveRoot::LocalMachine)];
    else if (rootName == HiveRootName(HiveRoot::CurrentUser))
        key = &tree.roots[static_cast<int>(HiveRoot::CurrentUser)];
    else
        throw Failure{"unknown root '" + std::string(rootName) + "' (want HKLM or HKCU)"};
    if (sep == std::string_view::npos)
        return key;
    path.remove_prefix(sep + 1);
    while (true) {
        size_t next = path.find('\\');
        std::u16string name;
        std::string why;
        if (!unescapeKeyName(path.substr(0, next), name, why))
            throw Failure{why};
        if (name.empty())
            throw Failure{"empty key name in path"};
        if (name.size() > kMaxKeyNameLength)
            throw Failure{"key name longer than 255 characters"};
        std::u16string upper = RegistryUpcase(name);
        auto it = key->subkeys.find(upper);
        if (next == std::string_view::npos) {
            if (it != key->subkeys.end())
                throw Failure{"key listed twice"};
            auto child = std::make_unique<HiveKey>();
            child->name = std::move(name);
            HiveKey* raw = child.get();
            key->subkeys.emplace(std::move(upper), std::move(child));
            return raw;
        }
        if (it == key->subkeys.end())
            throw Failure{"key listed before its parent"};
        key = it->second.get();
        path.remove_prefix(next + 1);
    }
}

void parseValueLine(std::string_view line, HiveKey* key) {
    if (!key)
        throw Failure{"value line before any key line"};
    HiveValue v;
    size_t pos = 0;
    if (line[0] == '@') {
        pos = 1;
    } else {
        std::string why;
        if (!parseQuoted(line, pos, v.name, why))
            throw Failure{why};
    }
    if (pos >= line.size() || line[pos] != '=')
        throw Failure{"expected '=' after the value name"};
    parseValueData(line.substr(pos + 1), v);
    for (const HiveValue& other : key->values) {
        if (RegistryNamesEqual(other.name, v.name))
            throw Failure{"value listed twice in one key"};
    }
    key->values.push_back(std::move(v));
}

bool parseGenerationLine(std::string_view line, std::string_view prefix, std::uint64_t& gen) {
    if (line.substr(0, prefix.size()) != prefix)
        return false;
    return parseDecimal(line.substr(prefix.size()), gen);
}

}  // namespace

const char* HiveRootName(HiveRoot root) {
    return root == HiveRoot::LocalMachine ? "HKLM" : "HKCU";
}

HiveWriter::HiveWriter(std::uint64_t generation) : generation_(generation) {
    text_ = kHeaderPrefix + std::to_string(generation) + "\n";
}

void HiveWriter::key(HiveRoot root, const std::vector<const std::u16string*>& path) {
    text_ += "\n[";
    text_ += HiveRootName(root);
    for (const std::u16string* name : path) {
        text_ += '\\';
        text_ += escapeKeyName(*name);
    }
    text_ += "]\n";
}

void HiveWriter::value(const HiveValue& value) {
    text_ += FormatValueLine(value);
    text_ += '\n';
}

std::string HiveWriter::finish() {
    text_ += "\n";
    text_ += kEndPrefix + std::to_string(generation_) + "\n";
    return std::move(text_);
}

std::string FormatValueLine(const HiveValue& value) {
    return (value.name.empty() ? std::string("@") : quote(value.name)) + "=" + dataForm(value);
}

std::string FormatHive(const HiveTree& tree, std::uint64_t generation) {
    HiveWriter w(generation);
    std::vector<const std::u16string*> path;
    for (int r = 0; r < kHiveRootCount; ++r)
        writeKey(w, static_cast<HiveRoot>(r), tree.roots[r], path);
    return w.finish();
}

bool ParseHiveHeader(std::string_view line, std::uint64_t& generation) {
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return parseGenerationLine(line, kHeaderPrefix, generation);
}

bool ParseHive(std::string_view text, const std::string& fileName, HiveTree& out,
               std::uint64_t& generation, std::string& error) {
    for (HiveKey& root : out.roots) {
        root.values.clear();
        root.subkeys.clear();
    }
    size_t lineNo = 0;
    auto fail = [&](const std::string& why) {
        error = fileName + ":" + std::to_string(lineNo) + ": " + why;
        return false;
    };
    HiveKey* current = nullptr;
    bool ended = false;
    size_t pos = 0;
    try {
        while (pos < text.size()) {
            ++lineNo;
            size_t nl = text.find('\n', pos);
            if (nl == std::string_view::npos)
                return fail("truncated hive: the last line has no end");
            std::string_view line = text.substr(pos, nl - pos);
            pos = nl + 1;
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            if (lineNo == 1) {
                if (!ParseHiveHeader(line, generation))
                    return fail("not a Tarnel hive (want 'TARNEL-HIVE 1 generation=N')");
                continue;
            }
            if (ended) {
                if (line.empty())
                    continue;
                return fail("text after the END line");
            }
            if (line.empty() || line[0] == ';')
                continue;
            if (line[0] == '[') {
                current = parseKeyLine(line, out);
            } else if (line[0] == '"' || line[0] == '@') {
                parseValueLine(line, current);
            } else if (line.substr(0, 3) == "END") {
                std::uint64_t endGeneration;
                if (!parseGenerationLine(line, kEndPrefix, endGeneration))
                    return fail("bad END line (want 'END generation=N')");
                if (endGeneration != generation)
                    return fail("END line generation " + std::to_string(endGeneration) +
                                " does not match the header's " + std::to_string(generation));
                ended = true;
            } else {
                return fail("bad line (want [key], \"value\"=..., @=... or END)");
            }
        }
    } catch (const Failure& f) {
        return fail(f.why);
    }
    if (lineNo == 0) {
        lineNo = 1;
        return fail("empty file: not a Tarnel hive");
    }
    if (!ended)
        return fail("truncated hive: no END line");
    return true;
}

void FillFreshHive(HiveTree& tree) {
    auto add = [](HiveKey& parent, const char16_t* name) -> HiveKey& {
        auto child = std::make_unique<HiveKey>();
        child->name = name;
        HiveKey& ref = *child;
        parent.subkeys.emplace(RegistryUpcase(name), std::move(child));
        return ref;
    };
    for (HiveKey& root : tree.roots) {
        root.values.clear();
        root.subkeys.clear();
    }
    HiveKey& hklm = tree.roots[static_cast<int>(HiveRoot::LocalMachine)];
    HiveKey& software = add(hklm, u"SOFTWARE");
    add(software, u"WOW6432Node");
    HiveKey& ccs = add(add(hklm, u"SYSTEM"), u"CurrentControlSet");
    add(ccs, u"Control");
    add(ccs, u"Enum");
    add(ccs, u"Services");
    add(add(hklm, u"HARDWARE"), u"DEVICEMAP");
    add(tree.roots[static_cast<int>(HiveRoot::CurrentUser)], u"Software");
}

}  // namespace tarnel::host
