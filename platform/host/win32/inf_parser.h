// The host machine's INF reader: sections, keyed and key-less lines, comma-separated fields,
// quoted strings ("" for a quote), ';' comments, '\' line continuations, %name% substitution
// from [Strings] (%% is a percent sign, %10% %11% %12% %17% the Windows, system, drivers and
// INF folders), in UTF-16LE files with a byte-order mark or in the ANSI code page.
#pragma once

#include <string>
#include <vector>

#include "platform/host/types.h"

namespace tarnel::host {

struct InfLine {
    std::u16string key;                  // empty for a key-less line with more than one field
    std::vector<std::u16string> fields;  // the values, after substitution
    UINT number = 0;                     // the source line it starts on, from 1
};

struct InfSection {
    std::u16string name;
    std::vector<InfLine> lines;
};

struct InfFile {
    std::vector<InfSection> sections;  // sections of one name are merged, in file order
    // Win4 style ($Windows NT$, $Chicago$ or $Windows 95$ signature) or the old NT style.
    DWORD style = 0;

    const InfSection* Find(std::u16string_view name) const;
    // The first line of `section` whose key is `key` (both compared without regard to case).
    const InfLine* FindLine(std::u16string_view section, std::u16string_view key) const;
    // Field 1 of the line `key` in `section`, or empty.
    std::u16string Value(std::u16string_view section, std::u16string_view key) const;
};

// False with a SetupAPI error code and the line it was found on for a file that is no INF.
bool ParseInf(const std::string& bytes, InfFile& inf, DWORD& error, UINT& errorLine);
bool ParseInfFile(const std::string& linuxPath, InfFile& inf, DWORD& error, UINT& errorLine);

bool InfEqualNoCase(std::u16string_view a, std::u16string_view b);

}  // namespace tarnel::host
