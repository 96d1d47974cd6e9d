// CMessageDlg: button sets shown at opening, results by button, and the paint that gives every
// line feed a slot of the text area.
#include "tool/app/message_dlg.h"

#include "tool/app/res/resource.h"

CMessageDlg::CMessageDlg() : ui::Dialog(IDD_MESSAGE_DIALOG) {}

void CMessageDlg::Setup(const XStringW& caption, const XStringW& text, int buttonSet,
                        int fontHeight, int fontWeight, UINT textFormat) {
    caption_ = caption;
    text_ = text;
    buttonSet_ = buttonSet;
    fontHeight_ = fontHeight;
    fontWeight_ = fontWeight;
    textFormat_ = textFormat;
}

bool CMessageDlg::OnInitDialog() {
    SetWindowText(caption_);
    textArea_ = ControlRect(IDC_MSG_TEXT_AREA);
    if (buttonSet_ == kButtonsOkCancel) {
        ShowItem(IDC_MSG_OK, true);
        ShowItem(IDC_MSG_CANCEL, true);
    } else if (buttonSet_ == kButtonsYesNo) {
        ShowItem(IDC_MSG_YES, true);
        ShowItem(IDC_MSG_NO, true);
    } else {
        ShowItem(ui::kIdOk, true);
    }
    return true;
}

void CMessageDlg::OnCommand(int id, int code) {
    switch (id) {
        case IDC_MSG_YES:
            result_ = ui::kIdYes;
            OnOK();
            break;
        case IDC_MSG_NO:
            result_ = ui::kIdNo;
            OnCancel();
            break;
        case IDC_MSG_OK:
            result_ = ui::kIdOk;
            OnOK();
            break;
        case IDC_MSG_CANCEL:
            result_ = ui::kIdCancel;
            OnCancel();
            break;
        default:
            ui::Dialog::OnCommand(id, code);
            break;
    }
}

// Every line feed takes a slot of the text area, blank lines included; a line starts below the
// heights of the lines drawn before it and ends at the bottom of its own slot.
void CMessageDlg::OnPaint(ui::Dc& dc) {
    int slots = 1;
    for (int i = 0; i < text_.GetLength(); ++i) {
        if (text_.GetString()[i] == TEXT('\n'))
            ++slots;
    }
    const LONG slot = (textArea_.bottom - textArea_.top) / slots;
    XStringWList lines = text_.Split(TEXT("\r\n"), true);
    LONG used = 0;
    for (int i = 0; i < lines.GetCount(); ++i) {
        ui::Rect r;
        r.left = textArea_.left + 10;
        r.right = textArea_.right;
        r.top = textArea_.top + used;
        r.bottom = textArea_.top + (i + 1) * slot;
        ui::FontSpec spec;
        spec.height = fontHeight_;
        spec.weight = fontWeight_;
        spec.charset = 1;  // DEFAULT_CHARSET
        spec.face = TEXT("Verdana");
        ui::Font font(spec);
        void* previous = dc.SelectFont(font);
        if (r.bottom - r.top > 0) {
            dc.SetTransparent();
            dc.SetTextColor(ui::Rgb(0, 0, 0));
            const XStringW& line = lines.GetAt(i);
            dc.DrawText(line.GetString(), line.GetLength(), r, textFormat_);
        }
        used += dc.GetTextMetrics().height;
        dc.RestoreFont(previous);
    }
}
