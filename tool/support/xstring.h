// The tool's string classes: XStringW (16-bit text) and XStringA (8-bit text in the ANSI code
// page), with value semantics, exact-fit growth, wiped buffers and a small formatting language.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "platform/win32.h"

class XStringWList;
template <typename Ch>
class XStringT;

template <typename T>
inline constexpr bool kIsTextChar =
    std::is_same_v<T, char> || std::is_same_v<T, wchar_t> || std::is_same_v<T, char16_t> ||
    std::is_same_v<T, char8_t> || std::is_same_v<T, signed char> ||
    std::is_same_v<T, unsigned char>;

// One argument of Format/AppendFormat, captured with its type. A C variadic list cannot carry
// string objects, and a typed list lets a conversion that does not fit its argument write nothing
// instead of reading garbage. Text of the other width is rejected when compiling.
template <typename Ch>
struct XFormatArg {
    enum class Kind { None, Signed, Unsigned, Real, Text };

    Kind kind = Kind::None;
    bool wide = false;  // an integer of more than 32 bits; narrower ones act as promoted to int
    uint64_t bits = 0;  // integers: the value, sign-extended for signed types
    double real = 0;
    const Ch* text = nullptr;
    int textLength = -1;  // -1: up to the terminator

    XFormatArg() = default;

    template <typename T>
    requires std::is_integral_v<T> XFormatArg(T value)
        : kind(std::is_signed_v<T> ? Kind::Signed : Kind::Unsigned),
          wide(sizeof(T) > 4),
          bits(std::is_signed_v<T> ? static_cast<uint64_t>(static_cast<int64_t>(value))
                                   : static_cast<uint64_t>(value)) {}

    template <typename T>
    requires std::is_enum_v<T> XFormatArg(T value)
        : XFormatArg(static_cast<std::underlying_type_t<T>>(value)) {}

    template <typename T>
    requires std::is_floating_point_v<T> XFormatArg(T value)
        : kind(Kind::Real), real(static_cast<double>(value)) {}

    XFormatArg(const Ch* value) : kind(Kind::Text), text(value) {}
    XFormatArg(std::nullptr_t) : kind(Kind::Text) {}
    XFormatArg(const XStringT<Ch>& value);

    // Other pointers (handles, addresses) are numbers.
    template <typename T>
    requires(!kIsTextChar<std::remove_cv_t<T>>) XFormatArg(T* value)
        : kind(Kind::Unsigned), wide(sizeof(T*) > 4), bits(reinterpret_cast<uintptr_t>(value)) {}

    template <typename T>
    requires(kIsTextChar<std::remove_cv_t<T>> && !std::is_same_v<std::remove_cv_t<T>, Ch>)
        XFormatArg(T* value)
    = delete;
};

// Positions and counts are in characters, from 0. Invariants: the text buffer always exists and
// holds capacity + 1 characters; every character from length to capacity is zero. Every buffer
// (text and conversion) is wiped before it is freed. Growth is to the exact size needed.
template <typename Ch>
class XStringT {
  public:
    // The width GetMultiByte / GetWide convert to.
    using OtherCh = std::conditional_t<std::is_same_v<Ch, char>, WCHAR, char>;

    XStringT();
    XStringT(const Ch* text);  // a null pointer gives an empty string
    XStringT(const XStringT& other);
    virtual ~XStringT();

    XStringT& operator=(const XStringT& other);
    XStringT& operator=(const Ch* text);
    void Assign(const Ch* text);
    void Assign(const XStringT& other);

    // A null text appends nothing; raw characters are taken as they are, zeros included.
    void Append(const Ch* text);
    void Append(const XStringT& other);
    void Append(const Ch* chars, int count);
    XStringT& operator+=(const Ch* text) {
        Append(text);
        return *this;
    }
    XStringT& operator+=(const XStringT& other) {
        Append(other);
        return *this;
    }

    friend XStringT operator+(const XStringT& a, const Ch* b) {
        XStringT result(a);
        result.Append(b);
        return result;
    }
    friend XStringT operator+(const XStringT& a, const XStringT& b) {
        XStringT result(a);
        result.Append(b);
        return result;
    }
    friend XStringT operator+(const Ch* a, const XStringT& b) {
        XStringT result(a);
        result.Append(b);
        return result;
    }

    // Conversions: %[width]d i u x X c s f @; any other letter (and "%%") writes nothing.
    // Arguments are checked against their conversion; a mismatch writes nothing.
    template <typename... Args>
    void Format(const Ch* format, const Args&... args) {
        const XFormatArg<Ch> list[sizeof...(Args) + 1] = {XFormatArg<Ch>(args)...,
                                                          XFormatArg<Ch>()};
        FormatArgs(format, list, static_cast<int>(sizeof...(Args)), false);
    }
    template <typename... Args>
    void AppendFormat(const Ch* format, const Args&... args) {
        const XFormatArg<Ch> list[sizeof...(Args) + 1] = {XFormatArg<Ch>(args)...,
                                                          XFormatArg<Ch>()};
        FormatArgs(format, list, static_cast<int>(sizeof...(Args)), true);
    }

    int GetLength() const { return length_; }
    int GetCapacity() const { return capacity_; }
    bool IsEmpty() const { return length_ == 0; }
    const Ch* GetString() const { return text_; }
    operator const Ch*() const { return text_; }
    // Wipes the text; the buffer is kept.
    void Empty();

    // Whole character values, case-sensitive.
    bool operator==(const XStringT& other) const;
    bool operator==(const Ch* text) const;

    XStringT Left(int count) const;
    XStringT Right(int count) const;
    XStringT Mid(int start, int count = 0) const;  // count 0: the rest
    XStringT Substring(int from, int to) const;
    int Find(const Ch* text, int from = 0) const;  // -1 when absent
    bool StartsWith(const Ch* text) const;
    bool EndsWith(const Ch* text) const;

    void Replace(const Ch* oldText, const Ch* newText);
    void Insert(int index, Ch ch);
    void Delete(int index, int count = 1);
    void TrimLeft();
    void TrimRight();
    void MakeLower();  // "A" to "Z" only

    XStringWList Split(const Ch* delimiters,
                       bool skipEmpty) const requires std::is_same_v<Ch, WCHAR>;
    int ToInt() const;

    // The text in the ANSI code page, valid until the next conversion or destruction; null when
    // the conversion fails.
    const char* GetMultiByte() const requires std::is_same_v<Ch, WCHAR>;
    // The text converted from the ANSI code page, with the same lifetime and failure rule.
    const WCHAR* GetWide() const requires std::is_same_v<Ch, char>;

  private:
    struct RawTag {};
    XStringT(const Ch* chars, int count, RawTag);
    void AssignChars(const Ch* chars, int count);

    void FormatArgs(const Ch* format, const XFormatArg<Ch>* args, int count, bool append);
    template <typename Sink>
    static void RunFormat(Sink& sink, const Ch* format, const XFormatArg<Ch>* args, int count);

    bool Holds(const void* p) const;
    void Reallocate(int capacity);
    void Swap(XStringT& other);
    void ReleaseConversion() const;

    Ch* text_;
    int length_;
    int capacity_;
    mutable OtherCh* converted_ = nullptr;
    mutable int convertedLength_ = 0;  // characters, the terminator not counted
};

template <typename Ch>
XFormatArg<Ch>::XFormatArg(const XStringT<Ch>& value)
    : kind(Kind::Text), text(value.GetString()), textLength(value.GetLength()) {}

extern template class XStringT<WCHAR>;
extern template class XStringT<char>;

using XStringW = XStringT<WCHAR>;
using XStringA = XStringT<char>;

#include "tool/support/xstring_list.h"
