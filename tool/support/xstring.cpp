// XStringW / XStringA storage and text operations: construction, assignment, append, the
// substring and search functions, in-place edits and ToInt.
#include "tool/support/xstring.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "tool/support/support_memory.h"

namespace {

template <typename Ch>
int TextLength(const Ch* text) {
    if (text == nullptr)
        return 0;
    size_t n = 0;
    while (text[n] != 0)
        ++n;
    if (n > static_cast<size_t>(INT_MAX / 4)) {
        std::fputs("Tarnel: text too long\n", stderr);
        std::abort();
    }
    return static_cast<int>(n);
}

// Lengths stay far below INT_MAX so that (capacity + 1) * width never overflows.
int CheckedSum(int a, int b) {
    if (b > INT_MAX / 4 - a) {
        std::fputs("Tarnel: text too long\n", stderr);
        std::abort();
    }
    return a + b;
}

template <typename Ch>
Ch* AllocText(int capacity) {
    return static_cast<Ch*>(SupportAllocate((static_cast<size_t>(capacity) + 1) * sizeof(Ch)));
}

template <typename Ch>
void FreeText(Ch* text, int capacity) {
    SupportFree(text, (static_cast<size_t>(capacity) + 1) * sizeof(Ch));
}

template <typename Ch>
void MoveChars(Ch* to, const Ch* from, int count) {
    if (count > 0)
        std::memmove(to, from, static_cast<size_t>(count) * sizeof(Ch));
}

template <typename Ch>
bool IsSpace(Ch c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

template <typename Ch>
XStringT<Ch>::XStringT() : text_(AllocText<Ch>(0)), length_(0), capacity_(0) {}

template <typename Ch>
XStringT<Ch>::XStringT(const Ch* text) : XStringT(text, TextLength(text), RawTag{}) {}

template <typename Ch>
XStringT<Ch>::XStringT(const XStringT& other) : XStringT(other.text_, other.length_, RawTag{}) {}

template <typename Ch>
XStringT<Ch>::XStringT(const Ch* chars, int count, RawTag)
    : text_(AllocText<Ch>(count)), length_(count), capacity_(count) {
    MoveChars(text_, chars, count);
}

template <typename Ch>
XStringT<Ch>::~XStringT() {
    FreeText(text_, capacity_);
    ReleaseConversion();
}

template <typename Ch>
XStringT<Ch>& XStringT<Ch>::operator=(const XStringT& other) {
    Assign(other);
    return *this;
}

template <typename Ch>
XStringT<Ch>& XStringT<Ch>::operator=(const Ch* text) {
    Assign(text);
    return *this;
}

template <typename Ch>
void XStringT<Ch>::Assign(const Ch* text) {
    AssignChars(text, TextLength(text));
}

template <typename Ch>
void XStringT<Ch>::Assign(const XStringT& other) {
    if (&other != this)
        AssignChars(other.text_, other.length_);
}

// The source may lie inside this string's own buffer: it is moved, never read after a release.
template <typename Ch>
void XStringT<Ch>::AssignChars(const Ch* chars, int count) {
    if (count <= capacity_) {
        MoveChars(text_, chars, count);
        if (length_ > count)
            SupportWipe(text_ + count, (length_ - count) * sizeof(Ch));
        length_ = count;
        return;
    }
    Ch* fresh = AllocText<Ch>(count);
    MoveChars(fresh, chars, count);
    FreeText(text_, capacity_);
    text_ = fresh;
    length_ = capacity_ = count;
}

template <typename Ch>
void XStringT<Ch>::Append(const Ch* text) {
    Append(text, TextLength(text));
}

template <typename Ch>
void XStringT<Ch>::Append(const XStringT& other) {
    Append(other.text_, other.length_);
}

template <typename Ch>
void XStringT<Ch>::Append(const Ch* chars, int count) {
    if (chars == nullptr || count <= 0)
        return;
    const int total = CheckedSum(length_, count);
    if (total <= capacity_) {
        MoveChars(text_ + length_, chars, count);
        length_ = total;
        return;
    }
    Ch* fresh = AllocText<Ch>(total);
    MoveChars(fresh, text_, length_);
    MoveChars(fresh + length_, chars, count);  // chars may be in the old buffer, still alive
    FreeText(text_, capacity_);
    text_ = fresh;
    length_ = capacity_ = total;
}

template <typename Ch>
void XStringT<Ch>::Empty() {
    SupportWipe(text_, static_cast<size_t>(length_) * sizeof(Ch));
    length_ = 0;
}

template <typename Ch>
bool XStringT<Ch>::operator==(const XStringT& other) const {
    return length_ == other.length_ &&
           std::memcmp(text_, other.text_, static_cast<size_t>(length_) * sizeof(Ch)) == 0;
}

template <typename Ch>
bool XStringT<Ch>::operator==(const Ch* text) const {
    const int n = TextLength(text);
    return n == length_ &&
           (n == 0 || std::memcmp(text_, text, static_cast<size_t>(n) * sizeof(Ch)) == 0);
}

template <typename Ch>
XStringT<Ch> XStringT<Ch>::Left(int count) const {
    if (count <= 0)
        return XStringT();
    return XStringT(text_, count < length_ ? count : length_, RawTag{});
}

template <typename Ch>
XStringT<Ch> XStringT<Ch>::Right(int count) const {
    if (count <= 0)
        return XStringT();
    if (count >= length_)
        return *this;
    return XStringT(text_ + length_ - count, count, RawTag{});
}

template <typename Ch>
XStringT<Ch> XStringT<Ch>::Mid(int start, int count) const {
    if (start < 0 || count < 0 || start >= length_)
        return XStringT();
    const int rest = length_ - start;
    if (count == 0 || count > rest)
        count = rest;
    return XStringT(text_ + start, count, RawTag{});
}

template <typename Ch>
XStringT<Ch> XStringT<Ch>::Substring(int from, int to) const {
    if (to > length_)
        to = length_;
    if (from < 0 || from >= length_ || from >= to)
        return XStringT();
    return XStringT(text_ + from, to - from, RawTag{});
}

template <typename Ch>
int XStringT<Ch>::Find(const Ch* text, int from) const {
    const int n = TextLength(text);
    if (length_ == 0 || n == 0 || from > length_)
        return -1;
    if (from < 0)
        from = 0;
    for (int i = from; i + n <= length_; ++i) {
        if (std::memcmp(text_ + i, text, static_cast<size_t>(n) * sizeof(Ch)) == 0)
            return i;
    }
    return -1;
}

template <typename Ch>
bool XStringT<Ch>::StartsWith(const Ch* text) const {
    const int n = TextLength(text);
    return n <= length_ &&
           (n == 0 || std::memcmp(text_, text, static_cast<size_t>(n) * sizeof(Ch)) == 0);
}

template <typename Ch>
bool XStringT<Ch>::EndsWith(const Ch* text) const {
    const int n = TextLength(text);
    return n <= length_ && (n == 0 || std::memcmp(text_ + length_ - n, text,
                                                  static_cast<size_t>(n) * sizeof(Ch)) == 0);
}

template <typename Ch>
void XStringT<Ch>::Replace(const Ch* oldText, const Ch* newText) {
    if (length_ == 0 || TextLength(oldText) == 0)
        return;
    // Texts taken from this string's own buffer are copied first; the buffer changes below.
    if (Holds(oldText) || Holds(newText)) {
        const XStringT oldCopy(oldText);
        const XStringT newCopy(newText);
        Replace(oldCopy.text_, newCopy.text_);
        return;
    }
    const int oldLen = TextLength(oldText);
    const int newLen = TextLength(newText);
    const size_t oldBytes = static_cast<size_t>(oldLen) * sizeof(Ch);
    auto matchAt = [&](int i) {
        return i + oldLen <= length_ && std::memcmp(text_ + i, oldText, oldBytes) == 0;
    };

    int matches = 0;
    for (int i = 0; i + oldLen <= length_;) {
        if (matchAt(i)) {
            ++matches;
            i += oldLen;
        } else {
            ++i;
        }
    }
    if (matches == 0)
        return;

    if (newLen <= oldLen) {
        // Shrinking in place: the write position never passes the read position.
        int w = 0;
        for (int r = 0; r < length_;) {
            if (matchAt(r)) {
                MoveChars(text_ + w, newText, newLen);
                w += newLen;
                r += oldLen;
            } else {
                text_[w++] = text_[r++];
            }
        }
        SupportWipe(text_ + w, static_cast<size_t>(length_ - w) * sizeof(Ch));
        length_ = w;
        return;
    }

    const int total = CheckedSum(length_, matches * (newLen - oldLen));
    Ch* built = AllocText<Ch>(total);
    int w = 0;
    for (int r = 0; r < length_;) {
        if (matchAt(r)) {
            MoveChars(built + w, newText, newLen);
            w += newLen;
            r += oldLen;
        } else {
            built[w++] = text_[r++];
        }
    }
    if (total <= capacity_) {
        MoveChars(text_, built, total);
        FreeText(built, total);
    } else {
        FreeText(text_, capacity_);
        text_ = built;
        capacity_ = total;
    }
    length_ = total;
}

template <typename Ch>
void XStringT<Ch>::Insert(int index, Ch ch) {
    if (index < 0)
        index = 0;
    if (index > length_)
        index = length_;
    const int total = CheckedSum(length_, 1);
    if (total > capacity_)
        Reallocate(total);
    MoveChars(text_ + index + 1, text_ + index, length_ - index);
    text_[index] = ch;
    length_ = total;
}

template <typename Ch>
void XStringT<Ch>::Delete(int index, int count) {
    if (index < 0 || index >= length_ || count <= 0)
        return;
    if (count > length_ - index)
        count = length_ - index;
    MoveChars(text_ + index, text_ + index + count, length_ - index - count);
    SupportWipe(text_ + length_ - count, static_cast<size_t>(count) * sizeof(Ch));
    length_ -= count;
}

template <typename Ch>
void XStringT<Ch>::TrimLeft() {
    int n = 0;
    while (n < length_ && IsSpace(text_[n]))
        ++n;
    Delete(0, n);
}

template <typename Ch>
void XStringT<Ch>::TrimRight() {
    int n = length_;
    while (n > 0 && IsSpace(text_[n - 1]))
        --n;
    Delete(n, length_ - n);
}

template <typename Ch>
void XStringT<Ch>::MakeLower() {
    for (int i = 0; i < length_; ++i) {
        if (text_[i] >= 'A' && text_[i] <= 'Z')
            text_[i] = static_cast<Ch>(text_[i] + ('a' - 'A'));
    }
}

// Saturates at INT_MIN / INT_MAX as the C runtime's conversion does.
template <typename Ch>
int XStringT<Ch>::ToInt() const {
    if (length_ == 0)
        return -1;
    int i = 0;
    while (i < length_ && IsSpace(text_[i]))
        ++i;
    bool negative = false;
    if (i < length_ && (text_[i] == '-' || text_[i] == '+'))
        negative = text_[i++] == '-';
    long long value = 0;
    for (; i < length_ && text_[i] >= '0' && text_[i] <= '9'; ++i) {
        value = value * 10 + (text_[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative)
        return static_cast<int>(-value);
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

template <typename Ch>
bool XStringT<Ch>::Holds(const void* p) const {
    const auto* begin = reinterpret_cast<const unsigned char*>(text_);
    const auto* end = begin + (static_cast<size_t>(capacity_) + 1) * sizeof(Ch);
    const auto* q = static_cast<const unsigned char*>(p);
    return p != nullptr && !std::less<const unsigned char*>()(q, begin) &&
           std::less<const unsigned char*>()(q, end);
}

template <typename Ch>
void XStringT<Ch>::Reallocate(int capacity) {
    Ch* fresh = AllocText<Ch>(capacity);
    MoveChars(fresh, text_, length_ < capacity ? length_ : capacity);
    FreeText(text_, capacity_);
    text_ = fresh;
    capacity_ = capacity;
    if (length_ > capacity)
        length_ = capacity;
}

template <typename Ch>
void XStringT<Ch>::Swap(XStringT& other) {
    Ch* text = text_;
    const int length = length_;
    const int capacity = capacity_;
    text_ = other.text_;
    length_ = other.length_;
    capacity_ = other.capacity_;
    other.text_ = text;
    other.length_ = length;
    other.capacity_ = capacity;
}

template <typename Ch>
void XStringT<Ch>::ReleaseConversion() const {
    if (converted_ == nullptr)
        return;
    SupportFree(converted_, (static_cast<size_t>(convertedLength_) + 1) * sizeof(OtherCh));
    converted_ = nullptr;
    convertedLength_ = 0;
}

template class XStringT<WCHAR>;
template class XStringT<char>;
