// XStringWList: an ordered list of owned XStringW values, as Split returns them.
#pragma once

#include <vector>

#include "tool/support/xstring.h"

class XStringWList {
  public:
    XStringWList() = default;
    XStringWList(const XStringWList& other) = default;
    XStringWList& operator=(const XStringWList& other) = default;
    virtual ~XStringWList() = default;

    // Appends a copy at the tail.
    void Add(const XStringW& item);
    int GetCount() const { return static_cast<int>(items_.size()); }
    // An index outside the list is a caller error: std::invalid_argument is thrown.
    const XStringW& GetAt(int index) const;
    XStringW& GetAt(int index);
    // Index of the first element equal to `item` (whole characters, case-sensitive), or -1.
    int Find(const XStringW& item) const;
    void RemoveAll() { items_.clear(); }

  private:
    std::vector<XStringW> items_;
};
