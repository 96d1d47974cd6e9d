// The test print (see test_print.h).
#include "tool/app/test_print.h"

#include "tool/portio/port_facade.h"
#include "tool/support/trace.h"

const BYTE kPosModelRequest[3] = {0x1D, 0x49, 0x43};
const BYTE kPosCentreOn[3] = {0x1B, 0x61, 0x01};
const BYTE kPosCentreOff[3] = {0x1B, 0x61, 0x00};

namespace {

const WCHAR kLocation[] = TEXT("CTarnel_ConfigurationDlg::OnTestPrint");
const char kEqualsLine[] = "===============================\n";  // 31

int Length(const XStringA& text) {
    return text.GetLength();
}

const BYTE* Bytes(const XStringA& text) {
    return reinterpret_cast<const BYTE*>(text.GetString());
}

}  // namespace

XStringA BuildLabelTestPage() {
    XStringA page;
    page.Append("T50,50,2,1,1,0,0,N,N,'==================='\r\n");
    page.Append("T50,100,2,1,1,0,0,N,N,'Brisant'\r\n");
    page.Append("T50,150,2,1,1,0,0,N,N,'    Test is OK   '\r\n");
    page.Append("T50,200,2,1,1,0,0,N,N,'==================='\r\nP1\r\n");
    return page;
}

XStringA BuildReceiptText(const XStringW& model, const XStringW& portName) {
    // Each text converted on its own: the conversion buffer lives with its string.
    const char* modelText = model.GetMultiByte();
    const char* portText = portName.GetMultiByte();
    XStringA receipt;
    receipt.Append(kEqualsLine);
    receipt.Append("Brisant Test\n");
    receipt.Append("Test is OK\n");
    receipt.AppendFormat("%s <-> %s\n", modelText ? modelText : "", portText ? portText : "");
    receipt.Append(kEqualsLine);
    return receipt;
}

TestPrintResult RunTestPrint(const TestPrintSelection& selection, TestPrintUi& ui) {
    if (selection.selected < 0 || selection.selected > selection.rowCount) {
        ui.ShowMessage(TEXT("Select mac address at list"), TestPrintIcon::Exclamation);
        return TestPrintResult::NoSelection;
    }
    Trace(kLocation, __LINE__, TEXT("Test Print : START"));
    if (selection.assigned == 0) {
        ui.ShowMessage(TEXT("Not assigned!!!"), TestPrintIcon::Exclamation);
        return TestPrintResult::NotAssigned;
    }
    CPortFacade port;
    if (!port.Open(selection.assignInfo, 0, 0, true, true)) {
        DWORD error = GetLastError();
        Trace(kLocation, __LINE__, TEXT("Selected Port : %s, create port fail(%d)"),
              selection.assignInfo, error);
        port.Close();
        return TestPrintResult::OpenFailed;
    }
    TestPrintResult result = TestPrintResult::Printed;
    if (selection.type == TestPrinterType::Label) {
        XStringA page = BuildLabelTestPage();
        port.Write(Bytes(page), Length(page));
    } else {
        XStringW model =
            port.TransactText(0, kPosModelRequest, kPosModelHeader, kPosModelTerminator);
        if (model.IsEmpty()) {
            result = TestPrintResult::BiDirectionFailed;
        } else {
            XStringA receipt = BuildReceiptText(model, selection.assignInfo);
            port.Write(kPosCentreOn, sizeof kPosCentreOn);
            port.Write(Bytes(receipt), Length(receipt));
            port.Write(kPosCentreOff, sizeof kPosCentreOff);
        }
    }
    port.Close();
    // Nothing was printed after a failed model request: that failure is the whole report.
    if (result == TestPrintResult::BiDirectionFailed)
        ui.ShowMessage(TEXT("bi-direction Test fail!!!"), TestPrintIcon::Information);
    else
        ui.ShowMessage(TEXT("Printer Test Success!!!"), TestPrintIcon::Information);
    Trace(kLocation, __LINE__, TEXT("Test Print : END"));
    return result;
}
