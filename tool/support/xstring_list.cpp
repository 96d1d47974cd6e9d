// XStringWList: add, indexed access with a checked index, and exact search.
#include "tool/support/xstring_list.h"

#include <stdexcept>

void XStringWList::Add(const XStringW& item) {
    items_.push_back(item);
}

const XStringW& XStringWList::GetAt(int index) const {
    if (index < 0 || index >= GetCount())
        throw std::invalid_argument("XStringWList index");
    return items_[static_cast<size_t>(index)];
}

XStringW& XStringWList::GetAt(int index) {
    if (index < 0 || index >= GetCount())
        throw std::invalid_argument("XStringWList index");
    return items_[static_cast<size_t>(index)];
}

int XStringWList::Find(const XStringW& item) const {
    for (int i = 0; i < GetCount(); ++i) {
        if (items_[static_cast<size_t>(i)] == item)
            return i;
    }
    return -1;
}
