// The finish page.
#include "common/cmn_fin.h"

#include "GUI2/g_finish.h"
#include "GUI2/g_wiz_sh.h"
#include "TK/tk_log.h"
#include "converter/vlm_conv.h"
#include "converter/vlm_errh.h"
#include "converter/vlm_ui.h"

#include <QAbstractButton>
#include <QEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

finish_page::finish_page(velmora_convertor& converter, const std::wstring& extension,
                         const std::wstring& success_text, const std::wstring& error_text)
    : wizard_page(dialog_id, finish, 0), converter_(converter), extension_(extension),
      success_text_(success_text), error_text_(error_text) {
    auto* column = new QVBoxLayout(this);
    auto* heading = new QLabel("Conversion is Completed", this);
    heading->setObjectName("1313");
    QFont heading_font = heading->font();
    heading_font.setPointSize(13);
    heading->setFont(heading_font);
    column->addWidget(heading);
    text_ = new QLabel(this);
    text_->setObjectName("1314");
    text_->setWordWrap(true);
    text_->setTextFormat(Qt::PlainText);
    column->addWidget(text_);
    errors_ = new QPlainTextEdit(this);
    errors_->setObjectName("1016");
    errors_->setReadOnly(true);
    errors_->hide();
    errors_->installEventFilter(this);
    column->addWidget(errors_, 1);
    column->addStretch();
    auto* store = new QPushButton("&Save Settings...", this);
    store->setObjectName("1116");
    store->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
    column->addWidget(store);
    connect(store, &QPushButton::clicked, this, [this] { on_store(); });
}

bool finish_page::page_init() {
    tk_log_message(2, "gui_finish_page::page_init");
    if (wizard_shell* frame = shell()) {
        frame->enable_button(QWizard::CancelButton, false);
        frame->enable_button(QWizard::HelpButton, false);
        frame->button(QWizard::BackButton)->setEnabled(false);
    }
    const vlm_ui* ui = tk_singleton<vlm_ui>::pointer();
    if (ui == nullptr || ui->errors.empty()) {
        tk_log_message(2, "Display success-message");
        text_->setText(QString::fromStdWString(success_text_));
        errors_->hide();
        return true;
    }
    tk_log_message(2, "Display errors");
    text_->setText(QString::fromStdWString(error_text_));
    QString list;
    for (const std::string& error : ui->errors) {
        // One line each: a line feed, a CR or a CR LF pair becomes one blank.
        std::string line;
        line.reserve(error.size());
        for (std::size_t i = 0; i < error.size(); ++i) {
            if (error[i] == '\r' && i + 1 < error.size() && error[i + 1] == '\n') {
                continue;
            }
            line += error[i] == '\n' || error[i] == '\r' ? ' ' : error[i];
        }
        list += QString::fromStdWString(vlm_display_wide(line)) + "\n\n";
    }
    errors_->setPlainText(list);
    errors_->show();
    return true;
}

bool finish_page::eventFilter(QObject* watched, QEvent* event) {
    if (watched == errors_ && event->type() == QEvent::FocusIn && first_focus_) {
        tk_log_message(2, "gui_finish_page::on_eb_focus");
        first_focus_ = false;
        QTextCursor end = errors_->textCursor();
        end.movePosition(QTextCursor::End);
        errors_->setTextCursor(end);
        errors_->ensureCursorVisible();
        if (wizard_shell* frame = shell()) {
            frame->button(QWizard::FinishButton)->setFocus();
        }
    }
    return wizard_page::eventFilter(watched, event);
}

void finish_page::on_store() {
    store_profile_dialog(this, converter_, extension_);
}
