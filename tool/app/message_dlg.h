// CMessageDlg: the tool's own modal message window (template 130) with three button sets and its
// text drawn line by line in a font the caller chooses.
#pragma once

#include "platform/ui/ui.h"
#include "tool/support/xstring.h"

class CMessageDlg : public ui::Dialog {
  public:
    // Button sets: the system message box types they stand for.
    static constexpr int kButtonsOk = 0;
    static constexpr int kButtonsOkCancel = 1;
    static constexpr int kButtonsYesNo = 4;
    // Text formats: one line, centred both ways; one line, left-aligned, centred vertically.
    static constexpr UINT kFormatCentred = 37;
    static constexpr UINT kFormatLeft = 36;

    CMessageDlg();

    void Setup(const XStringW& caption, const XStringW& text, int buttonSet, int fontHeight,
               int fontWeight, UINT textFormat);
    // The button that closed the dialog: 1 OK, 2 Cancel, 6 Yes, 7 No (Esc leaves 1).
    int GetResult() const { return result_; }
    const ui::Rect& GetTextArea() const { return textArea_; }

  protected:
    bool OnInitDialog() override;
    void OnCommand(int id, int code) override;
    bool HasPaint() const override { return true; }
    void OnPaint(ui::Dc& dc) override;

  private:
    XStringW caption_;
    XStringW text_;
    int buttonSet_ = kButtonsOk;
    UINT textFormat_ = kFormatCentred;
    int fontHeight_ = 20;
    int fontWeight_ = ui::kFwNormal;
    ui::Rect textArea_;
    int result_ = ui::kIdOk;
};
