// Test helpers: 16-bit text shown as readable UTF-8 in failure messages, and the check that a
// string's buffer holds only zeros after its text.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tool/support/xstring.h"

// ASCII stays as it is; other characters and zeros appear as \uXXXX.
inline std::string Show(const WCHAR* text, int length) {
    std::string out;
    for (int i = 0; i < length; ++i) {
        const unsigned c = static_cast<unsigned>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof(escape), "\\u%04X", c);
            out += escape;
        }
    }
    return out;
}

inline std::string Show(const XStringW& text) {
    return Show(text.GetString(), text.GetLength());
}

inline std::string Show(const WCHAR* text) {
    int n = 0;
    while (text != nullptr && text[n] != 0)
        ++n;
    return Show(text, n);
}

// Every character from the length to the capacity (the terminator included) is zero.
template <typename Ch>
::testing::AssertionResult TailIsZero(const XStringT<Ch>& text) {
    for (int i = text.GetLength(); i <= text.GetCapacity(); ++i) {
        if (text.GetString()[i] != 0) {
            return ::testing::AssertionFailure()
                   << "character " << i << " of capacity " << text.GetCapacity() << " is not zero";
        }
    }
    return ::testing::AssertionSuccess();
}
