// The wizard's front end for the conversion driver: every call runs on the GUI thread, the
// caller waiting, and goes to the frame and the error dialogs. It counts every error it is
// given, so that the program can end with -1 after any reported error.
#pragma once

#include "converter/vlm_ui.h"

class wizard_ui : public vlm_ui {
public:
    // Also installs the clipboard the error dialog copies to (Qt's).
    wizard_ui();
    ~wizard_ui() override;

    bool ask_continue(const std::wstring& text, bool& dont_show_again) override;
    void show_error(const std::wstring& text) override;
    void show_internal_error(const std::wstring& text) override;
    bool is_initialized() const override;
    void start_timer(unsigned period_ms) override;
    void write_log(const std::wstring& line) override;
    // Also listed for the finish page: a run that ended this way did not succeed.
    void error_narrow(const std::string& text) override;

    // An error of the wizard's own pages and profile dialogs (a connect, a profile, a list that
    // failed): shown in a box, counted for the exit code and listed for the finish page like a
    // run's errors.
    void page_error(const std::wstring& text);

    // Whether any error was reported so far (shown, silenced or listed).
    bool any_error() const { return failures_ > 0 || !errors.empty(); }

    // Set while the wizard closes in the middle of a run: the user has asked for the end, so
    // errors are logged and counted but no box waits for an answer, and a Continue/Abort
    // question is answered Abort.
    void set_closing(bool closing) { closing_ = closing; }
    bool closing() const { return closing_; }

private:
    unsigned failures_ = 0;
    bool closing_ = false;
};

// wizard_ui::page_error of the process's front end; only the box where the front end is another.
void wizard_page_error(const std::wstring& text);
void wizard_page_error_narrow(const std::string& text);
