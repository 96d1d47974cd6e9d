// Reader of the resource script: the preprocessor lines the script uses (#include of the quoted
// header, #define), then the statements windres compiles. Style names resolve through a table of
// the system's values, so a control's visibility and kind come from the same text on both sides.
#include "platform/ui/host/rc_script.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>

namespace ui::host {
namespace {

const std::map<std::string, DWORD>& StyleNames() {
    static const std::map<std::string, DWORD> names = {
        {"WS_POPUP", 0x80000000},
        {"WS_CHILD", kWsChild},
        {"WS_VISIBLE", kWsVisible},
        {"WS_DISABLED", kWsDisabled},
        {"WS_CAPTION", kWsCaption},
        {"WS_BORDER", kWsBorder},
        {"WS_SYSMENU", kWsSysMenu},
        {"WS_VSCROLL", 0x00200000},
        {"WS_HSCROLL", 0x00100000},
        {"WS_GROUP", kWsGroup},
        {"WS_TABSTOP", kWsTabStop},
        {"WS_MINIMIZEBOX", 0x00020000},
        {"WS_EX_CLIENTEDGE", 0x200},
        {"WS_EX_STATICEDGE", 0x20000},
        {"DS_MODALFRAME", 0x80},
        {"DS_SETFONT", 0x40},
        {"DS_FIXEDSYS", 0x8},
        {"DS_SHELLFONT", 0x48},
        {"DS_CENTER", 0x800},
        {"SS_LEFT", 0},
        {"SS_CENTER", kSsCenter},
        {"SS_RIGHT", kSsRight},
        {"SS_ETCHEDFRAME", kSsEtchedFrame},
        {"SS_NOTIFY", 0x100},
        {"SS_CENTERIMAGE", 0x200},
        {"BS_PUSHBUTTON", 0},
        {"BS_DEFPUSHBUTTON", kBsDefPushButton},
        {"BS_CHECKBOX", kBsCheckBox},
        {"BS_AUTOCHECKBOX", kBsAutoCheckBox},
        {"BS_RADIOBUTTON", kBsRadioButton},
        {"BS_GROUPBOX", kBsGroupBox},
        {"BS_AUTORADIOBUTTON", kBsAutoRadioButton},
        {"BS_MULTILINE", kBsMultiLine},
        {"ES_LEFT", 0},
        {"ES_CENTER", 1},
        {"ES_AUTOHSCROLL", 0x80},
        {"ES_READONLY", kEsReadOnly},
        {"ES_NUMBER", 0x2000},
        {"LBS_NOTIFY", 0x1},
        {"LBS_SORT", kLbsSort},
        {"LBS_NOINTEGRALHEIGHT", 0x100},
        {"CBS_SIMPLE", 0x1},
        {"CBS_DROPDOWN", 0x2},
        {"CBS_DROPDOWNLIST", 0x3},
        {"CBS_SORT", 0x100},
        {"LVS_REPORT", 0x1},
        {"LVS_SINGLESEL", 0x4},
        {"LVS_SHOWSELALWAYS", 0x8},
        {"PBS_SMOOTH", 0x1},
        {"IDOK", 1},
        {"IDCANCEL", 2},
        {"IDYES", 6},
        {"IDNO", 7},
        {"RT_MANIFEST", 24},
        {"VS_VERSION_INFO", 1},
        {"LANG_NEUTRAL", 0x00},
        {"LANG_ENGLISH", 0x09},
        {"SUBLANG_NEUTRAL", 0x00},
        {"SUBLANG_DEFAULT", 0x01},
        {"SUBLANG_ENGLISH_US", 0x01},
    };
    return names;
}

struct Token {
    enum Kind { End, Number, Ident, Text, Punct } kind = End;
    std::string text;  // identifier, punctuation, or the decoded string (UTF-8)
    long long number = 0;
};

struct ParseError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Lexer {
  public:
    Lexer(std::map<std::string, long long>& defines) : defines_(defines) {}

    // Preprocesses text (resolving the quoted include to header) into the token list.
    void Feed(const std::string& text, const std::string& header, int depth = 0) {
        size_t i = 0;
        bool lineStart = true;
        while (i < text.size()) {
            char c = text[i];
            if (c == '\n') {
                lineStart = true;
                ++i;
                continue;
            }
            if (std::isspace(static_cast<unsigned char>(c))) {
                ++i;
                continue;
            }
            if (c == '/' && i + 1 < text.size() && text[i + 1] == '/') {
                while (i < text.size() && text[i] != '\n')
                    ++i;
                continue;
            }
            if (c == '/' && i + 1 < text.size() && text[i + 1] == '*') {
                size_t end = text.find("*/", i + 2);
                i = end == std::string::npos ? text.size() : end + 2;
                continue;
            }
            if (c == '#' && lineStart) {
                size_t end = text.find('\n', i);
                if (end == std::string::npos)
                    end = text.size();
                Directive(text.substr(i + 1, end - i - 1), header, depth);
                i = end;
                continue;
            }
            lineStart = false;
            if (c == '"' || ((c == 'L' || c == 'l') && i + 1 < text.size() && text[i + 1] == '"')) {
                if (c != '"')
                    ++i;
                tokens_.push_back(ReadString(text, i));
                continue;
            }
            if (std::isdigit(static_cast<unsigned char>(c))) {
                Token t;
                t.kind = Token::Number;
                size_t used = 0;
                t.number = std::stoll(text.substr(i, 24), &used, 0);
                i += used;
                while (i < text.size() &&
                       (text[i] == 'L' || text[i] == 'l' || text[i] == 'U' || text[i] == 'u')) {
                    ++i;
                }
                tokens_.push_back(t);
                continue;
            }
            if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
                size_t start = i;
                while (i < text.size() &&
                       (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '_')) {
                    ++i;
                }
                tokens_.push_back(Token{Token::Ident, text.substr(start, i - start), 0});
                continue;
            }
            tokens_.push_back(Token{Token::Punct, std::string(1, c), 0});
            ++i;
        }
    }

    std::vector<Token>& Tokens() { return tokens_; }

  private:
    static Token ReadString(const std::string& text, size_t& i) {
        Token t;
        t.kind = Token::Text;
        ++i;  // opening quote
        for (;;) {
            if (i >= text.size())
                throw ParseError("unterminated string");
            char c = text[i++];
            if (c == '"') {
                if (i < text.size() && text[i] == '"') {
                    t.text += '"';
                    ++i;
                    continue;
                }
                break;
            }
            if (c == '\\' && i < text.size()) {
                char e = text[i++];
                switch (e) {
                    case 'n':
                        t.text += '\n';
                        break;
                    case 'r':
                        t.text += '\r';
                        break;
                    case 't':
                        t.text += '\t';
                        break;
                    case 'a':
                        t.text += '\b';
                        break;
                    default:
                        t.text += e;
                        break;
                }
                continue;
            }
            t.text += c;
        }
        return t;
    }

    void Directive(const std::string& line, const std::string& header, int depth) {
        size_t p = line.find_first_not_of(" \t");
        if (p == std::string::npos)
            return;
        size_t e = line.find_first_of(" \t", p);
        std::string word = line.substr(p, e == std::string::npos ? std::string::npos : e - p);
        std::string rest = e == std::string::npos ? "" : line.substr(e);
        if (word == "include") {
            size_t q = rest.find('"');
            // System headers are the SDK's; their names the script uses are in the style table.
            if (q == std::string::npos)
                return;
            if (depth > 0)
                throw ParseError("nested include");
            Feed(header, header, depth + 1);
            return;
        }
        if (word != "define")
            return;
        Lexer sub(defines_);
        sub.Feed(rest, header, depth + 1);
        auto& t = sub.Tokens();
        if (t.empty() || t[0].kind != Token::Ident)
            throw ParseError("bad #define");
        long long value = 0;
        bool negative = false;
        for (size_t k = 1; k < t.size(); ++k) {
            if (t[k].kind == Token::Number) {
                value = t[k].number;
            } else if (t[k].kind == Token::Punct && t[k].text == "-") {
                negative = true;
            } else if (t[k].kind == Token::Ident && defines_.count(t[k].text)) {
                value = defines_[t[k].text];
            }
        }
        defines_[t[0].text] = negative ? -value : value;
    }

    std::map<std::string, long long>& defines_;
    std::vector<Token> tokens_;
};

struct StyleValue {
    DWORD set = 0;
    DWORD cleared = 0;
};

class Parser {
  public:
    Parser(std::vector<Token>& tokens, std::map<std::string, long long>& defines,
           ResourceScript& out)
        : t_(tokens), defines_(defines), out_(out) {}

    void Run() {
        while (!AtEnd())
            Statement();
    }

  private:
    bool AtEnd() const { return pos_ >= t_.size(); }
    const Token& Peek(size_t ahead = 0) const {
        static const Token end;
        return pos_ + ahead < t_.size() ? t_[pos_ + ahead] : end;
    }
    Token Next() {
        if (AtEnd())
            throw ParseError("unexpected end of script");
        return t_[pos_++];
    }
    bool IsPunct(const char* p) const { return Peek().kind == Token::Punct && Peek().text == p; }
    bool IsWord(const char* w) const { return Peek().kind == Token::Ident && Peek().text == w; }
    void Expect(const char* p) {
        if (!IsPunct(p))
            throw ParseError(std::string("expected '") + p + "' near " + Peek().text);
        ++pos_;
    }
    bool Optional(const char* p) {
        if (!IsPunct(p))
            return false;
        ++pos_;
        return true;
    }

    long long Primary() {
        Token tok = Next();
        if (tok.kind == Token::Number)
            return tok.number;
        if (tok.kind == Token::Punct && tok.text == "-")
            return -Primary();
        if (tok.kind == Token::Punct && tok.text == "(") {
            StyleValue v = Expr();
            Expect(")");
            return static_cast<long long>(static_cast<LONG>(v.set));
        }
        if (tok.kind == Token::Ident) {
            auto d = defines_.find(tok.text);
            if (d != defines_.end())
                return d->second;
            auto s = StyleNames().find(tok.text);
            if (s != StyleNames().end())
                return s->second;
            throw ParseError("unknown name " + tok.text);
        }
        throw ParseError("expected a value near " + tok.text);
    }

    StyleValue Expr() {
        StyleValue v;
        do {
            bool negate = false;
            if (IsWord("NOT")) {
                ++pos_;
                negate = true;
            }
            DWORD bits = static_cast<DWORD>(Primary());
            if (negate) {
                v.cleared |= bits;
            } else {
                v.set |= bits;
            }
        } while (Optional("|") || Optional("+"));
        return v;
    }
    int Int() { return static_cast<int>(Expr().set); }

    String Wide(const std::string& utf8) {
        String s;
        for (size_t i = 0; i < utf8.size();) {
            unsigned char c = static_cast<unsigned char>(utf8[i]);
            char32_t cp = c;
            int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
            if (extra)
                cp = c & (0x3F >> extra);
            ++i;
            for (int k = 0; k < extra && i < utf8.size(); ++k, ++i) {
                cp = (cp << 6) | (static_cast<unsigned char>(utf8[i]) & 0x3F);
            }
            if (cp >= 0x10000) {
                cp -= 0x10000;
                s += static_cast<WCHAR>(0xD800 + (cp >> 10));
                s += static_cast<WCHAR>(0xDC00 + (cp & 0x3FF));
            } else {
                s += static_cast<WCHAR>(cp);
            }
        }
        return s;
    }
    String Text() {
        Token tok = Next();
        if (tok.kind != Token::Text)
            throw ParseError("expected a string near " + tok.text);
        return Wide(tok.text);
    }

    void SkipBlock() {
        if (!IsWord("BEGIN") && !IsPunct("{"))
            throw ParseError("expected BEGIN");
        int depth = 0;
        do {
            Token tok = Next();
            if ((tok.kind == Token::Ident && tok.text == "BEGIN") ||
                (tok.kind == Token::Punct && tok.text == "{")) {
                ++depth;
            } else if ((tok.kind == Token::Ident && tok.text == "END") ||
                       (tok.kind == Token::Punct && tok.text == "}")) {
                --depth;
            }
        } while (depth > 0);
    }
    bool Begin() {
        if (IsWord("BEGIN") || IsPunct("{")) {
            ++pos_;
            return true;
        }
        return false;
    }
    bool End() {
        if (IsWord("END") || IsPunct("}")) {
            ++pos_;
            return true;
        }
        return false;
    }

    void Statement() {
        if (IsWord("LANGUAGE")) {
            ++pos_;
            Int();
            Expect(",");
            Int();
            return;
        }
        if (IsWord("STRINGTABLE")) {
            ++pos_;
            while (!Begin())
                Next();
            while (!End()) {
                int id = Int();
                Optional(",");
                out_.strings[id] = Text();
            }
            return;
        }
        // <name or id> <type> ...
        Token nameTok = Next();
        int id = 0;
        if (nameTok.kind == Token::Number) {
            id = static_cast<int>(nameTok.number);
        } else if (nameTok.kind == Token::Ident) {
            auto d = defines_.find(nameTok.text);
            auto s = StyleNames().find(nameTok.text);
            id = d != defines_.end()       ? static_cast<int>(d->second)
                 : s != StyleNames().end() ? static_cast<int>(s->second)
                                           : 0;
        } else {
            throw ParseError("expected a resource name near " + nameTok.text);
        }
        Token type = Next();
        if (type.kind == Token::Ident && type.text == "ICON") {
            Text();
            out_.icons.push_back(id);
        } else if ((type.kind == Token::Ident && type.text == "RT_MANIFEST") ||
                   (type.kind == Token::Number && type.number == 24)) {
            Text();
            out_.hasManifest = true;
        } else if (type.kind == Token::Ident &&
                   (type.text == "DIALOGEX" || type.text == "DIALOG")) {
            Dialog(id);
        } else if (type.kind == Token::Ident && type.text == "VERSIONINFO") {
            Version();
        } else {
            throw ParseError("unknown resource type " + type.text);
        }
    }

    static void Quad(DWORD& ms, DWORD& ls, int a, int b, int c, int d) {
        ms = (static_cast<DWORD>(a) << 16) | (static_cast<DWORD>(b) & 0xFFFF);
        ls = (static_cast<DWORD>(c) << 16) | (static_cast<DWORD>(d) & 0xFFFF);
    }

    void Version() {
        out_.hasVersion = true;
        while (!IsWord("BEGIN") && !IsPunct("{")) {
            Token key = Next();
            if (key.kind != Token::Ident)
                throw ParseError("bad VERSIONINFO line");
            if (key.text == "FILEVERSION" || key.text == "PRODUCTVERSION") {
                int v[4] = {0, 0, 0, 0};
                for (int k = 0; k < 4; ++k) {
                    v[k] = Int();
                    if (k < 3 && !Optional(","))
                        break;
                }
                if (key.text == "FILEVERSION") {
                    Quad(out_.fileVersionMs, out_.fileVersionLs, v[0], v[1], v[2], v[3]);
                } else {
                    Quad(out_.productVersionMs, out_.productVersionLs, v[0], v[1], v[2], v[3]);
                }
            } else {
                Int();
            }
        }
        SkipBlock();
    }

    void Dialog(int id) {
        DialogTemplate d;
        d.id = id;
        d.x = Int();
        Expect(",");
        d.y = Int();
        Expect(",");
        d.cx = Int();
        Expect(",");
        d.cy = Int();
        if (Optional(","))
            Int();  // help id
        while (!Begin()) {
            Token key = Next();
            if (key.kind != Token::Ident)
                throw ParseError("bad dialog option near " + key.text);
            if (key.text == "STYLE") {
                d.style = Expr().set;
            } else if (key.text == "EXSTYLE") {
                Expr();
            } else if (key.text == "CAPTION") {
                d.caption = Text();
            } else if (key.text == "FONT") {
                d.pointSize = Int();
                Expect(",");
                d.face = Text();
                while (Optional(","))
                    Int();
            } else if (key.text == "MENU" || key.text == "CLASS") {
                Next();
            } else {
                throw ParseError("unknown dialog option " + key.text);
            }
        }
        while (!End())
            d.controls.push_back(Control());
        out_.dialogs[id] = std::move(d);
    }

    static ControlKind KindOf(std::string cls) {
        for (char& c : cls)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (cls == "button")
            return ControlKind::Button;
        if (cls == "edit")
            return ControlKind::Edit;
        if (cls == "listbox")
            return ControlKind::ListBox;
        if (cls == "combobox")
            return ControlKind::ComboBox;
        if (cls == "syslistview32")
            return ControlKind::ListView;
        if (cls == "msctls_progress32")
            return ControlKind::Progress;
        if (cls == "sysipaddress32")
            return ControlKind::IpAddress;
        if (cls == "static")
            return ControlKind::Static;
        throw ParseError("unknown control class " + cls);
    }

    void Rect4(ControlTemplate& c) {
        c.x = Int();
        Expect(",");
        c.y = Int();
        Expect(",");
        c.cx = Int();
        Expect(",");
        c.cy = Int();
    }
    void TailStyles(ControlTemplate& c, DWORD defaults) {
        StyleValue v;
        if (Optional(","))
            v = Expr();
        if (Optional(","))
            c.exStyle = Expr().set;
        c.style = ((kWsChild | kWsVisible | defaults) | v.set) & ~v.cleared;
    }

    ControlTemplate Control() {
        Token kw = Next();
        if (kw.kind != Token::Ident)
            throw ParseError("expected a control near " + kw.text);
        ControlTemplate c;
        const std::string& k = kw.text;
        if (k == "CONTROL") {
            c.text = Text();
            Expect(",");
            c.id = Int();
            Expect(",");
            Token cls = Next();
            c.className = cls.text;
            c.kind = KindOf(cls.text);
            Expect(",");
            StyleValue v = Expr();
            Expect(",");
            Rect4(c);
            if (Optional(","))
                c.exStyle = Expr().set;
            c.style = ((kWsChild | kWsVisible) | v.set) & ~v.cleared;
            return c;
        }
        static const std::map<std::string, std::pair<const char*, DWORD>> textual = {
            {"LTEXT", {"Static", kWsGroup}},
            {"CTEXT", {"Static", kSsCenter | kWsGroup}},
            {"RTEXT", {"Static", kSsRight | kWsGroup}},
            {"PUSHBUTTON", {"Button", kWsTabStop}},
            {"DEFPUSHBUTTON", {"Button", kBsDefPushButton | kWsTabStop}},
            {"GROUPBOX", {"Button", kBsGroupBox}},
            {"CHECKBOX", {"Button", kBsCheckBox | kWsTabStop}},
            {"AUTOCHECKBOX", {"Button", kBsAutoCheckBox | kWsTabStop}},
            {"RADIOBUTTON", {"Button", kBsRadioButton}},
            {"AUTORADIOBUTTON", {"Button", kBsAutoRadioButton}},
        };
        static const std::map<std::string, std::pair<const char*, DWORD>> plain = {
            {"EDITTEXT", {"Edit", kWsBorder | kWsTabStop}},
            {"LISTBOX", {"ListBox", 0x1 | kWsBorder}},
            {"COMBOBOX", {"ComboBox", 0x1 | kWsTabStop}},
        };
        if (auto t = textual.find(k); t != textual.end()) {
            c.text = Text();
            Expect(",");
            c.id = Int();
            Expect(",");
            Rect4(c);
            c.className = t->second.first;
            c.kind = KindOf(c.className);
            TailStyles(c, t->second.second);
            return c;
        }
        if (auto p = plain.find(k); p != plain.end()) {
            c.id = Int();
            Expect(",");
            Rect4(c);
            c.className = p->second.first;
            c.kind = KindOf(c.className);
            TailStyles(c, p->second.second);
            return c;
        }
        throw ParseError("unknown control statement " + k);
    }

    std::vector<Token>& t_;
    size_t pos_ = 0;
    std::map<std::string, long long>& defines_;
    ResourceScript& out_;
};

}  // namespace

bool ParseResourceScript(const std::string& script, const std::string& header, ResourceScript& out,
                         std::string& error) {
    try {
        std::map<std::string, long long> defines;
        Lexer lexer(defines);
        lexer.Feed(script, header);
        ResourceScript parsed;
        Parser(lexer.Tokens(), defines, parsed).Run();
        out = std::move(parsed);
        return true;
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
}

namespace {
std::mutex g_scriptLock;
std::shared_ptr<const ResourceScript> g_script;
}  // namespace

std::shared_ptr<const ResourceScript> Resources() {
    std::lock_guard<std::mutex> lock(g_scriptLock);
    return g_script;
}

}  // namespace ui::host

void ui::UseResourceScript(const char* script, const char* header) {
    ui::host::ResourceScript parsed;
    std::string error;
    bool ok = ui::host::ParseResourceScript(script, header ? header : "", parsed, error);
    if (!ok)
        std::fprintf(stderr, "resource script: %s\n", error.c_str());
    std::lock_guard<std::mutex> lock(ui::host::g_scriptLock);
    if (ok) {
        ui::host::g_script = std::make_shared<const ui::host::ResourceScript>(std::move(parsed));
    } else {
        ui::host::g_script.reset();
    }
}
