// The overwrite question.
#include "common/cmn_over.h"

#include "GUI2/g_wiz_sh.h"
#include "TK/tk_log.h"

#include <QApplication>
#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>

overwrite_dlg2::overwrite_dlg2(const std::wstring& text, int help_topic, QWidget* owner)
    : QDialog(owner), help_topic_(help_topic) {
    tk_log_message(1, "overwrite_dlg2::ctor");
    setObjectName(QString::number(dialog_id));
    std::wstring caption = L"Warning";
    if (const wizard_shell* frame = tk_singleton<wizard_shell>::pointer()) {
        caption = frame->title() + L" Warning";
    }
    setWindowTitle(QString::fromStdWString(caption));

    auto* column = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    auto* icon = new QLabel(this);
    const int side = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(side, side));
    icon->setAlignment(Qt::AlignTop);
    top->addWidget(icon);
    auto* message = new QLabel(QString::fromStdWString(text), this);
    message->setObjectName("1320");
    message->setWordWrap(false);
    top->addWidget(message, 1);
    column->addLayout(top);

    radios_ = new QVBoxLayout;
    radios_->setContentsMargins(side + 12, 4, 0, 4);
    column->addLayout(radios_);
    choices_ = new QButtonGroup(this);
    add_choice("&Overwrite the entire database", "1329", 0);
    add_choice("Overwrite existing &tables only", "1330", 1);
    add_choice("&Skip existing tables", "1331", 2);
    add_choice("&Merge", "1332", 3);
    choices_->button(0)->setChecked(true);

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* ok = buttons->addButton(QDialogButtonBox::Ok);
    ok->setObjectName("1");
    ok->setDefault(true);
    QPushButton* cancel = buttons->addButton(QDialogButtonBox::Cancel);
    cancel->setObjectName("2");
    QPushButton* help = buttons->addButton(QDialogButtonBox::Help);
    help->setObjectName("9");
    column->addWidget(buttons);
    connect(ok, &QPushButton::clicked, this, [this] { on_ok(); });
    connect(cancel, &QPushButton::clicked, this, [this] { done(2); });
    connect(help, &QPushButton::clicked, this, [this] {
        if (wizard_shell* frame = tk_singleton<wizard_shell>::pointer()) {
            frame->display_help(help_topic_);
        }
    });
}

void overwrite_dlg2::add_choice(const QString& text, const char* name, int mode) {
    auto* radio = new QRadioButton(text, this);
    radio->setObjectName(name);
    choices_->addButton(radio, mode);
    radios_->addWidget(radio);
}

void overwrite_dlg2::on_ok() {
    // Without a checked radio nothing was chosen: that must never read as mode 0, which drops
    // the database, so it ends like Cancel.
    const int checked = choices_->checkedId();
    if (checked < 0) {
        done(2);
        return;
    }
    mode_ = checked;
    done(1);
}

void overwrite_dlg2::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!beeped_) {
        tk_log_message(1, "overwrite_dlg2::on_init");
        beeped_ = true;
        QApplication::beep();
    }
}

overwrite_dlg3::overwrite_dlg3(const std::wstring& text, int help_topic, QWidget* owner)
    : overwrite_dlg2(text, help_topic, owner) {
    tk_log_message(1, "overwrite_dlg3::ctor");
    add_choice("S&ynchronize", "1339", 4);
}
