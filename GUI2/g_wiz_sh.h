// The wizard frame: the one QWizard of `velmora` and the service point every part of the wizard
// uses to talk to the user (message boxes, help, progress timer, log lines).
#pragma once

#include "TK/tk_singl.h"

#include <QTimer>
#include <QWizard>

#include <functional>
#include <string>

class wizard_page;

class wizard_shell : public QWizard, public tk_singleton<wizard_shell> {
public:
    // The progress timer's ticks go to the current page's on_timer.
    static constexpr int progress_timer_id = 0x10000;

    explicit wizard_shell(const std::wstring& title);
    ~wizard_shell() override;

    wizard_shell(const wizard_shell&) = delete;
    wizard_shell& operator=(const wizard_shell&) = delete;

    // Appends a page in sheet order; the page is owned by the frame from then on.
    void add_page(wizard_page* page);
    // The page with this dialog id (the first in sheet order), or null.
    wizard_page* page_of_dialog(int dialog) const;
    // Its page id (sheet index), or -1.
    int id_of_dialog(int dialog) const;
    wizard_page* current_wizard_page() const;

    // The first call gives the window its caption, icon and place; called on every activation.
    void initialize_if();
    // True once a frame exists and has been initialized.
    static bool is_initialized();
    const std::wstring& title() const { return title_; }

    // Boxes; callable from any thread (a worker waits until the box is closed on the GUI
    // thread). Captions "<title> Error/Message/Question" once the frame is initialized, else
    // the word alone; owned by the frame then, else by nothing. The question's default is No.
    static void error(const std::wstring& text);
    static void error_narrow(const std::string& text);
    static void message(const std::wstring& text);
    static bool question(const std::wstring& text);

    // Opens the help page of a topic (0: the help's start page) with the desktop's opener.
    void display_help(int topic = 0);
    // Where the help pages are; by default the folder "help" beside the program.
    std::string help_folder;

    void start_timer(unsigned period_ms);
    void stop_timer();
    bool timer_running() const { return timer_.isActive(); }

    // The log box keeps at most this many characters; the oldest lines give way.
    static constexpr int log_limit = 1000000;
    // Appends a text to the log box of the page activated last; any thread.
    void write_log(const std::wstring& text);

    // Enables or disables a button of the frame (QWizard::WizardButton).
    void enable_button(WizardButton which, bool enable);

    // QWizard's navigation, turned into the pages' answers.
    void reject() override;
    void accept() override;
    // Back: asks the page, which may store and refuse, then moves.
    void go_back();
    // Moves to the page of sheet index `index` (QWizard page id), forwards or backwards.
    void go_to(int index);

    // While go_to moves forwards, the page's Next is not asked again and nextId is the target.
    bool jumping() const { return jumping_; }
    int jump_target() const { return jump_target_; }
    bool finishing() const { return finishing_; }

private:
    void activate(int id);
    void help_requested();

    std::wstring title_;
    bool initialized_ = false;
    bool jumping_ = false;
    bool finishing_ = false;
    bool navigating_ = false;
    int jump_target_ = -1;
    int last_id_ = -1;
    QTimer timer_;
};

// Runs `work` on the GUI thread and returns its result; the caller waits. Direct when called on
// the GUI thread (or when no application exists), so a GUI-thread caller never waits for itself.
void gui_thread_call(const std::function<void()>& work);
