// Text rules of the host registry: how names compare, and UTF-8/UTF-16 conversion for the hive
// file and the tools. Names compare by their upper-cased UTF-16 units, as Windows' registry does.
#pragma once

#include <string>
#include <string_view>

namespace tarnel::host {

// Windows' upcase mapping for the scripts a registry name here can reasonably use (Latin,
// Greek, Cyrillic, Armenian, full-width Latin); other units are their own upper case.
char16_t RegistryUpcase(char16_t c);
std::u16string RegistryUpcase(std::u16string_view s);
bool RegistryNamesEqual(std::u16string_view a, std::u16string_view b);

// UTF-16 to UTF-8 for display: a lone surrogate has no UTF-8 form and becomes U+FFFD.
std::string Utf16ToUtf8Lossy(std::u16string_view s);
// Strict UTF-8 to UTF-16: false on truncated or overlong sequences, encoded surrogates and
// code points above U+10FFFF.
bool Utf8ToUtf16(std::string_view s, std::u16string& out);

// Appends the UTF-8 form of one code point (at most U+10FFFF, not a surrogate).
void AppendUtf8(std::string& out, char32_t cp);

}  // namespace tarnel::host
