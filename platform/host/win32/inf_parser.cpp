// The INF reader: file bytes to text, logical lines, fields, then %name% substitution once
// every [Strings] section is known (a string may be used above its definition).
#include "platform/host/win32/inf_parser.h"

#include <fstream>
#include <iterator>

#include "platform/host/runtime/codepage.h"
#include "platform/host/runtime/errors.h"
#include "platform/host/win32/setupapi_errors.h"

namespace tarnel::host {

namespace {

constexpr size_t kMaxSectionName = 255;

char16_t Lower(char16_t c) {
    return c >= u'A' && c <= u'Z' ? char16_t(c - u'A' + u'a') : c;
}

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t';
}

// UTF-16LE after its byte-order mark, or text in the ANSI code page.
bool Decode(const std::string& bytes, std::u16string& text) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        if (bytes.size() % 2)
            return false;
        for (size_t i = 2; i < bytes.size(); i += 2)
            text.push_back(char16_t(static_cast<unsigned char>(bytes[i]) |
                                    static_cast<unsigned char>(bytes[i + 1]) << 8));
        return true;
    }
    if (bytes.empty())
        return true;
    int n = MultiByteToWideChar(CP_ACP, 0, bytes.data(), int(bytes.size()), nullptr, 0);
    if (n <= 0)
        return false;
    text.resize(size_t(n));
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), int(bytes.size()), text.data(), n);
    return true;
}

struct RawLine {
    std::u16string text;
    UINT number;
};

// Physical lines joined where a line ends (outside quotes, before any comment) in '\'.
std::vector<RawLine> LogicalLines(const std::u16string& text) {
    std::vector<RawLine> lines;
    std::u16string pending;
    UINT start = 0, number = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find_first_of(u"\r\n", pos);
        if (end == std::u16string::npos)
            end = text.size();
        std::u16string line = text.substr(pos, end - pos);
        ++number;
        if (pending.empty())
            start = number;
        // Where the line's data ends: the first ';' outside quotes.
        bool quoted = false;
        size_t dataEnd = line.size();
        for (size_t i = 0; i < line.size(); ++i) {
            if (line[i] == u'"')
                quoted = !quoted;
            else if (line[i] == u';' && !quoted) {
                dataEnd = i;
                break;
            }
        }
        size_t last = dataEnd;
        while (last > 0 && IsBlank(line[last - 1]))
            --last;
        if (last > 0 && line[last - 1] == u'\\' && !quoted) {
            pending += line.substr(0, last - 1);
        } else {
            pending += line.substr(0, dataEnd);
            lines.push_back({pending, start});
            pending.clear();
        }
        if (end == text.size())
            break;
        pos = end + (text[end] == u'\r' && end + 1 < text.size() && text[end + 1] == u'\n' ? 2 : 1);
    }
    if (!pending.empty())
        lines.push_back({pending, start});
    return lines;
}

// Splits a line's data into its key (when it has an '=' outside quotes before any ',') and its
// fields; quotes are removed and blanks outside quotes trimmed at both ends of a field.
bool SplitLine(const std::u16string& data, InfLine& line) {
    struct Char {
        char16_t c;
        bool quoted;
    };
    std::vector<std::vector<Char>> fields(1);
    std::vector<Char> key;
    bool hasKey = false, quoted = false;
    auto finish = [](const std::vector<Char>& chars) {
        size_t begin = 0, end = chars.size();
        while (begin < end && !chars[begin].quoted && IsBlank(chars[begin].c))
            ++begin;
        while (end > begin && !chars[end - 1].quoted && IsBlank(chars[end - 1].c))
            --end;
        std::u16string text;
        for (size_t i = begin; i < end; ++i)
            text.push_back(chars[i].c);
        return text;
    };
    for (size_t i = 0; i < data.size(); ++i) {
        const char16_t c = data[i];
        if (c == u'"') {
            if (quoted && i + 1 < data.size() && data[i + 1] == u'"') {
                fields.back().push_back({u'"', true});
                ++i;
            } else {
                quoted = !quoted;
            }
        } else if (quoted) {
            fields.back().push_back({c, true});
        } else if (c == u'=' && !hasKey && fields.size() == 1) {
            key = fields.back();
            fields.back().clear();
            hasKey = true;
        } else if (c == u',') {
            fields.emplace_back();
        } else {
            fields.back().push_back({c, false});
        }
    }
    if (quoted)
        return false;
    for (const auto& chars : fields)
        line.fields.push_back(finish(chars));
    if (hasKey)
        line.key = finish(key);
    else if (line.fields.size() == 1)
        line.key = line.fields[0];  // a lone value is its own key, as SetupAPI has it
    return true;
}

std::u16string DirectoryOf(const std::u16string& id, bool& known) {
    known = true;
    if (id == u"10")
        return u"C:\\Windows";
    if (id == u"11")
        return u"C:\\Windows\\System32";
    if (id == u"12")
        return u"C:\\Windows\\System32\\drivers";
    if (id == u"17")
        return u"C:\\Windows\\INF";
    known = false;
    return {};
}

std::u16string Substitute(const std::u16string& text, const InfFile& inf) {
    std::u16string out;
    for (size_t i = 0; i < text.size(); ++i) {
        size_t close = text[i] == u'%' ? text.find(u'%', i + 1) : std::u16string::npos;
        if (close == std::u16string::npos) {
            out.push_back(text[i]);
            continue;
        }
        std::u16string name = text.substr(i + 1, close - i - 1);
        bool known = false;
        if (name.empty()) {
            out.push_back(u'%');
        } else if (std::u16string dir = DirectoryOf(name, known); known) {
            out += dir;
        } else if (const InfLine* line = inf.FindLine(u"Strings", name);
                   line && !line->fields.empty()) {
            out += line->fields[0];
        } else {
            out += text.substr(i, close - i + 1);  // unknown names stay as written
        }
        i = close;
    }
    return out;
}

}  // namespace

bool InfEqualNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    return true;
}

const InfSection* InfFile::Find(std::u16string_view name) const {
    for (const InfSection& s : sections)
        if (InfEqualNoCase(s.name, name))
            return &s;
    return nullptr;
}

const InfLine* InfFile::FindLine(std::u16string_view section, std::u16string_view key) const {
    const InfSection* s = Find(section);
    if (!s)
        return nullptr;
    for (const InfLine& line : s->lines)
        if (InfEqualNoCase(line.key, key))
            return &line;
    return nullptr;
}

std::u16string InfFile::Value(std::u16string_view section, std::u16string_view key) const {
    const InfLine* line = FindLine(section, key);
    return line && !line->fields.empty() ? line->fields[0] : std::u16string();
}

bool ParseInf(const std::string& bytes, InfFile& inf, DWORD& error, UINT& errorLine) {
    inf = InfFile{};
    errorLine = 0;
    std::u16string text;
    if (!Decode(bytes, text)) {
        error = ERROR_GENERAL_SYNTAX;
        return false;
    }
    InfSection* current = nullptr;
    for (const RawLine& raw : LogicalLines(text)) {
        size_t first = 0;
        while (first < raw.text.size() && IsBlank(raw.text[first]))
            ++first;
        if (first == raw.text.size())
            continue;
        if (raw.text[first] == u'[') {
            size_t close = raw.text.find(u']', first);
            if (close == std::u16string::npos) {
                error = ERROR_BAD_SECTION_NAME_LINE;
                errorLine = raw.number;
                return false;
            }
            std::u16string name = raw.text.substr(first + 1, close - first - 1);
            if (name.size() > kMaxSectionName) {
                error = ERROR_SECTION_NAME_TOO_LONG;
                errorLine = raw.number;
                return false;
            }
            current = nullptr;
            for (InfSection& s : inf.sections)
                if (InfEqualNoCase(s.name, name))
                    current = &s;
            if (!current) {
                inf.sections.push_back({name, {}});
                current = &inf.sections.back();
            }
            continue;
        }
        if (!current) {
            error = ERROR_EXPECTED_SECTION_NAME;
            errorLine = raw.number;
            return false;
        }
        InfLine line;
        line.number = raw.number;
        if (!SplitLine(raw.text.substr(first), line)) {
            error = ERROR_GENERAL_SYNTAX;
            errorLine = raw.number;
            return false;
        }
        current->lines.push_back(std::move(line));
    }
    // Strings are substituted everywhere but in [Strings] itself.
    for (InfSection& s : inf.sections) {
        if (InfEqualNoCase(s.name, u"Strings"))
            continue;
        for (InfLine& line : s.lines) {
            line.key = Substitute(line.key, inf);
            for (std::u16string& field : line.fields)
                field = Substitute(field, inf);
        }
    }
    const std::u16string signature = inf.Value(u"Version", u"Signature");
    inf.style = InfEqualNoCase(signature, u"$Windows NT$") ||
                        InfEqualNoCase(signature, u"$Chicago$") ||
                        InfEqualNoCase(signature, u"$Windows 95$")
                    ? 2   // INF_STYLE_WIN4
                    : 1;  // INF_STYLE_OLDNT
    return true;
}

bool ParseInfFile(const std::string& linuxPath, InfFile& inf, DWORD& error, UINT& errorLine) {
    std::ifstream in(linuxPath, std::ios::binary);
    if (!in) {
        error = ERROR_FILE_NOT_FOUND;
        errorLine = 0;
        return false;
    }
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return ParseInf(bytes, inf, error, errorLine);
}

}  // namespace tarnel::host
