// The running program's folder and file name, from GetModuleFileNameW.
#pragma once

#include "tool/support/xstring.h"

// The program's full path cut before its last "\" (no trailing backslash); empty when the path
// cannot be read whole.
XStringW GetProgramDirectory();
// The part of the path after the last "\"; without extension it is cut before the last ".".
XStringW GetProgramFileName(bool withExtension);
