// The error handler's two dialogs: the Continue/Abort question and the internal-error dialog.
#pragma once

#include <QDialog>

#include <string>

class QCheckBox;
class QLabel;

// Caption "<title> Error" once the wizard frame is up, "Error" before.
QString error_dialog_caption();

// The question about an error the user may continue past. Continue is the default and what
// Esc and the close box answer; Abort is the other answer.
class dlg_error_continue : public QDialog {
public:
    enum answer { abort = 1, go_on = 2 };

    explicit dlg_error_continue(const std::wstring& text, QWidget* owner = nullptr);
    bool do_not_show() const;
    void reject() override;

private:
    QCheckBox* do_not_show_;
};

// The internal-error dialog: "Send bug" (default, mails the text through the desktop's opener
// and closes), "OK" (closes) and "Copy to clipboard" (copies; the dialog stays open so the text
// can be pasted before the process ends). Esc and the close box do nothing.
class dlg_error_ex : public QDialog {
public:
    enum answer { ok = 1, sent = 1112 };

    explicit dlg_error_ex(const std::wstring& text, QWidget* owner = nullptr);
    void reject() override {}

private:
    std::wstring text_;
};
