// MessageBoxW of the host machine until the dialog framework provides its own: the answer
// comes from a policy a test sets (IDOK by default) and every box is recorded.
#pragma once

#include <string>
#include <vector>

#include "platform/host/types.h"

struct HWND__;
using HWND = HWND__*;

#define MB_OK 0x00000000L
#define MB_YESNO 0x00000004L
#define MB_ICONQUESTION 0x00000020L
#define MB_ICONERROR 0x00000010L
#define IDOK 1
#define IDCANCEL 2
#define IDYES 6
#define IDNO 7

int MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType);

namespace tarnel::host {

struct MessageBoxRecord {
    std::u16string text, caption;
    UINT type;
};
std::vector<MessageBoxRecord> MessageBoxes();
// The next boxes are answered with `answer`; the record is emptied.
void ResetMessageBoxes(int answer = IDOK);

}  // namespace tarnel::host
