// The template of every wizard page: activation on each entry, Next and Back answered by the
// page, its buttons, help topic and Cancel question.
#pragma once

#include <QString>
#include <QWizardPage>

class wizard_shell;
class QPlainTextEdit;

class wizard_page : public QWizardPage {
public:
    // The wizard buttons a page shows enabled.
    enum buttons : unsigned { back = 1, next = 2, finish = 4 };
    // Answers of on_next and on_back besides a dialog id.
    static constexpr int move_on = 0;
    static constexpr int stay = -1;

    // `dialog`: the page's dialog id, the target other pages name. `title`/`subtitle`: the header
    // band; a page without them shows the watermark instead (welcome and finish pages).
    wizard_page(int dialog, unsigned buttons, int help_topic, const QString& title = {},
                const QString& subtitle = {});

    int dialog() const { return dialog_; }
    unsigned wizard_buttons() const { return buttons_; }
    int help_topic() const { return help_topic_; }

    // Runs on every entry, Back included; false skips the page in the direction of travel.
    virtual bool page_init() { return true; }
    virtual bool on_kill_active() { return true; }
    virtual bool on_finish() { return true; }
    // Default: the page's help topic (none: 0 keeps quiet, -1 opens the help's start page).
    virtual void on_help();
    // 0: next (previous) page in sheet order; -1: stay; else the dialog id of the target.
    virtual int on_next() { return move_on; }
    virtual int on_back() { return move_on; }
    // Default: "Are you sure you want to exit the wizard?", No the default answer.
    virtual bool on_cancel();
    // A tick of the progress timer while the page is current.
    virtual void on_timer() {}

    // The page's log box for wizard_shell::write_log, or null.
    virtual QPlainTextEdit* log_box() { return nullptr; }

    void enable_ctrl(const QString& name, bool enable);
    void show_ctrl(const QString& name, bool show);

    // QWizardPage: Next runs on_next; nextId stays pure (the target chosen by the last Next,
    // else the next page in sheet order).
    bool validatePage() override;
    int nextId() const override;
    bool isComplete() const override;
    void initializePage() override {}
    void cleanupPage() override {}

    // Called by the frame on entry; clears the stored target.
    void forget_target() { target_ = -2; }

protected:
    wizard_shell* shell() const;

private:
    int dialog_;
    unsigned buttons_;
    int help_topic_;
    int target_ = -2;
};
