// The error dialogs.
#include "GUI2/g_err_dlg.h"

#include "GUI2/g_wiz_sh.h"
#include "TK/tk_log.h"
#include "TK/tk_sysut.h"
#include "converter/vlm_errh.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>

namespace {

QLabel* error_icon(QWidget* parent) {
    auto* icon = new QLabel(parent);
    const int size = parent->style()->pixelMetric(QStyle::PM_MessageBoxIconSize);
    icon->setPixmap(
        parent->style()->standardIcon(QStyle::SP_MessageBoxCritical).pixmap(size, size));
    icon->setAlignment(Qt::AlignTop);
    return icon;
}

QLabel* error_text(const std::wstring& text, QWidget* parent) {
    auto* label = new QLabel(QString::fromStdWString(text), parent);
    label->setObjectName("1320");
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setMinimumWidth(380);
    return label;
}

QPushButton* add_button(QHBoxLayout* row, const QString& text, const char* name, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(name);
    button->setAutoDefault(false);
    row->addWidget(button);
    return button;
}

void finish_layout(QDialog* dialog, QGridLayout* grid) {
    grid->setSizeConstraint(QLayout::SetFixedSize);
    dialog->setWindowTitle(error_dialog_caption());
    dialog->setWindowFlag(Qt::WindowContextHelpButtonHint, false);
}

} // namespace

QString error_dialog_caption() {
    if (wizard_shell::is_initialized()) {
        return QString::fromStdWString(tk_singleton<wizard_shell>::pointer()->title()) + " Error";
    }
    return "Error";
}

dlg_error_continue::dlg_error_continue(const std::wstring& text, QWidget* owner) : QDialog(owner) {
    tk_log_message(1, "dlg_error_continue::ctor");
    setObjectName("115");
    auto* grid = new QGridLayout(this);
    grid->addWidget(error_icon(this), 0, 0, 3, 1);
    grid->addWidget(error_text(text, this), 0, 1);
    do_not_show_ = new QCheckBox("&Do not show this dialog box again", this);
    do_not_show_->setObjectName("1222");
    grid->addWidget(do_not_show_, 1, 1);
    auto* row = new QHBoxLayout;
    QPushButton* go_on_button = add_button(row, "Continue", "2", this);
    QPushButton* abort_button = add_button(row, "Abort", "1", this);
    row->addStretch();
    grid->addLayout(row, 2, 1);
    go_on_button->setDefault(true);
    go_on_button->setFocus();
    connect(go_on_button, &QPushButton::clicked, this, [this] { done(go_on); });
    connect(abort_button, &QPushButton::clicked, this, [this] { done(abort); });
    finish_layout(this, grid);
}

bool dlg_error_continue::do_not_show() const {
    return do_not_show_->isChecked();
}

void dlg_error_continue::reject() {
    done(go_on);
}

dlg_error_ex::dlg_error_ex(const std::wstring& text, QWidget* owner) : QDialog(owner), text_(text) {
    tk_log_message(1, "dlg_error_ex::ctor");
    setObjectName("114");
    auto* grid = new QGridLayout(this);
    grid->addWidget(error_icon(this), 0, 0, 2, 1);
    grid->addWidget(error_text(text, this), 0, 1);
    auto* row = new QHBoxLayout;
    QPushButton* send = add_button(row, "Send bug", "1112", this);
    QPushButton* ok_button = add_button(row, "OK", "1", this);
    QPushButton* copy = add_button(row, "Copy to clipboard", "1108", this);
    row->addStretch();
    grid->addLayout(row, 1, 1);
    send->setDefault(true);
    send->setFocus();
    connect(ok_button, &QPushButton::clicked, this, [this] { done(ok); });
    // The dialog stays open after copying: on X11 the clipboard's text is served by this
    // process, which ends as soon as the dialog closes.
    connect(copy, &QPushButton::clicked, this, [this] { tk_copy_to_clipboard2(text_); });
    connect(send, &QPushButton::clicked, this, [this] {
        const std::string title =
            wizard_shell::is_initialized()
                ? vlm_display_narrow(tk_singleton<wizard_shell>::pointer()->title())
                : "";
        tk_send_bug(title, vlm_display_narrow(text_));
        done(sent);
    });
    finish_layout(this, grid);
}
