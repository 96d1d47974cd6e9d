// XStringW::Split: the items between separator characters, with or without the empty ones.
#include "tool/support/xstring.h"
#include "tool/support/xstring_list.h"

template <typename Ch>
XStringWList XStringT<Ch>::Split(const Ch* delimiters,
                                 bool skipEmpty) const requires std::is_same_v<Ch, WCHAR> {
    int delimiterCount = 0;
    while (delimiters != nullptr && delimiters[delimiterCount] != 0)
        ++delimiterCount;
    auto isSeparator = [&](Ch c) {
        for (int d = 0; d < delimiterCount; ++d) {
            if (delimiters[d] == c)
                return true;
        }
        return false;
    };
    XStringWList items;
    auto addItem = [&](int from, int to) {
        if (to > from || !skipEmpty)
            items.Add(XStringT(text_ + from, to - from, RawTag{}));
    };
    int start = 0;
    for (int i = 0; i < length_; ++i) {
        if (isSeparator(text_[i])) {
            addItem(start, i);
            start = i + 1;
        }
    }
    addItem(start, length_);
    return items;
}

template XStringWList XStringT<WCHAR>::Split(const WCHAR*, bool) const;
