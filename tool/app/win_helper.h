// CWinHelper: stateless answers about the environment the tool runs in.
#pragma once

#include "tool/support/xstring.h"

class CWinHelper {
  public:
    // The product version of the file's version resource (an empty path: the running program),
    // "a.b.c" or "a.b.c.Pdd"; empty when the file has no version resource.
    static XStringW GetVersionText(const XStringW& path);
};
