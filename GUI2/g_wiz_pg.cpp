// The page template.
#include "GUI2/g_wiz_pg.h"

#include "GUI2/g_images.h"
#include "GUI2/g_wiz_sh.h"
#include "TK/tk_log.h"

#include <QTimer>

wizard_page::wizard_page(int dialog, unsigned buttons, int help_topic, const QString& title,
                         const QString& subtitle)
    : dialog_(dialog), buttons_(buttons), help_topic_(help_topic) {
    setObjectName(QString::number(dialog));
    setTitle(title);
    setSubTitle(subtitle);
    if (subtitle.isEmpty()) {
        setPixmap(QWizard::WatermarkPixmap, wizard_watermark());
    }
}

wizard_shell* wizard_page::shell() const {
    return dynamic_cast<wizard_shell*>(wizard());
}

void wizard_page::on_help() {
    if (help_topic_ == 0) {
        return;
    }
    if (wizard_shell* frame = shell()) {
        frame->display_help(help_topic_ < 0 ? 0 : help_topic_);
    }
}

bool wizard_page::on_cancel() {
    tk_log_message(2, "wizard_page::on_cancel");
    return wizard_shell::question(L"Are you sure you want to exit the wizard?");
}

void wizard_page::enable_ctrl(const QString& name, bool enable) {
    tk_log_message(1, "wizard_page::enable_ctrl(%s=%d)", name.toUtf8().constData(), enable ? 1 : 0);
    if (auto* control = findChild<QWidget*>(name)) {
        control->setEnabled(enable);
        if (enable) {
            control->setFocus();
        }
    }
}

void wizard_page::show_ctrl(const QString& name, bool show) {
    tk_log_message(1, "wizard_page::show_ctrl(%s=%d)", name.toUtf8().constData(), show ? 1 : 0);
    if (auto* control = findChild<QWidget*>(name)) {
        control->setVisible(show);
    }
}

bool wizard_page::validatePage() {
    wizard_shell* frame = shell();
    if (frame == nullptr) {
        return true;
    }
    if (frame->finishing()) {
        return on_finish();
    }
    if (frame->jumping()) {
        return true;
    }
    const int answer = on_next();
    if (answer == stay) {
        return false;
    }
    const QList<int> ids = frame->pageIds();
    const qsizetype at = ids.indexOf(frame->currentId());
    const int target =
        answer == move_on ? (at + 1 < ids.size() ? ids[at + 1] : -1) : frame->id_of_dialog(answer);
    if (target < 0) {
        return false;
    }
    if (frame->visitedIds().contains(target)) {
        // QWizard moves forwards only to pages not yet in its history.
        QTimer::singleShot(0, frame, [frame, target] { frame->go_to(target); });
        return false;
    }
    target_ = target;
    return true;
}

int wizard_page::nextId() const {
    const wizard_shell* frame = shell();
    if (frame == nullptr) {
        return -1;
    }
    // A Finish page is the last whatever the road to it; asked while the frame jumps onto it,
    // it must not answer the jump's target, or Qt would hide its Finish button.
    if (buttons_ & finish) {
        return -1;
    }
    if (frame->jumping()) {
        return frame->jump_target();
    }
    if (target_ >= 0) {
        return target_;
    }
    const QList<int> ids = frame->pageIds();
    for (qsizetype i = 0; i + 1 < ids.size(); ++i) {
        if (frame->page(ids[i]) == this) {
            return ids[i + 1];
        }
    }
    return -1;
}

bool wizard_page::isComplete() const {
    return (buttons_ & (next | finish)) != 0;
}
