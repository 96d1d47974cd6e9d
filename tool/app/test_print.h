// The test print of STEP 3: the exact bytes of the label and POS test pages, and the sequence
// that opens the assigned port, asks a POS printer for its model and prints. What the user is
// told goes through TestPrintUi, so the main window can show it with its own message dialog.
#pragma once

#include "platform/win32.h"
#include "tool/support/xstring.h"

enum class TestPrinterType { Pos, Label };

enum class TestPrintIcon { Information, Exclamation };

// The main window's side of the test print: a modal message the user acknowledges.
class TestPrintUi {
  public:
    virtual ~TestPrintUi() = default;
    virtual void ShowMessage(const WCHAR* text, TestPrintIcon icon) = 0;
};

enum class TestPrintResult {
    NoSelection,        // "Select mac address at list"
    NotAssigned,        // "Not assigned!!!"
    OpenFailed,         // traced only
    BiDirectionFailed,  // "bi-direction Test fail!!!", nothing printed
    Printed,            // "Printer Test Success!!!"
};

// What the main window's list gives for the chosen row: its 1-based number (0 or below for
// none), the number of rows, the row's "Assign Info" text and its item data (0: not assigned).
struct TestPrintSelection {
    int selected = 0;
    int rowCount = 0;
    XStringW assignInfo;
    DWORD_PTR assigned = 0;
    TestPrinterType type = TestPrinterType::Pos;
};

extern const BYTE kPosModelRequest[3];  // GS I 0x43
constexpr BYTE kPosModelHeader = 0x5F;
constexpr BYTE kPosModelTerminator = 0x00;
extern const BYTE kPosCentreOn[3];   // ESC a 1
extern const BYTE kPosCentreOff[3];  // ESC a 0

// The label test page, one write.
XStringA BuildLabelTestPage();
// The receipt text for a POS printer, naming its model and the port (ANSI code page).
XStringA BuildReceiptText(const XStringW& model, const XStringW& portName);

// The whole of OnTestPrint after the dialog has read its controls. Failures and results are told
// through `ui` exactly as the main window shows them.
TestPrintResult RunTestPrint(const TestPrintSelection& selection, TestPrintUi& ui);
