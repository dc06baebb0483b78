// Console reporting of the console agent: fatal messages, progress lines and errors on the
// standard streams instead of the wizard's boxes and log window.
#pragma once

#include "converter/vlm_ui.h"

#include <string>

// Logs `message`, writes it with an end of line on standard error unless the converter is
// silent, and ends the process with exit code -1 (no destructor runs).
[[noreturn]] void report_fatal_and_exit(const std::string& message);

// Standard output, written through at once, and standard error (which flushes standard output
// first, so that lines on a shared console keep their order). Texts are narrow, in the ANSI code
// page.
void console_out(const std::string& text);
void console_err(const std::string& text);

// A wide text in the ANSI code page for the console; a character the code page lacks becomes
// "?", never an error.
std::string console_text(const std::wstring& text);

// The console agent's front end for the conversion driver: errors are printed and the run goes
// on after level 0, the process ends after level 1 and 2; progress lines go to standard output
// and missing tables to standard error. Every error it sees counts, so that the program can end
// with -1 after a run that reported any.
class console_ui : public vlm_ui {
public:
    console_ui() = default;
    ~console_ui() override;

    bool ask_continue(const std::wstring& text, bool& dont_show_again) override;
    void show_error(const std::wstring& text) override;
    void show_internal_error(const std::wstring& text) override;
    bool ends_process(int level) const override;

    // True: the errors of the process are listed (in `errors`) even when printing is silenced.
    bool is_initialized() const override;
    void start_timer(unsigned period_ms) override;
    void write_log(const std::wstring& line) override;
    void error_narrow(const std::string& text) override;

    bool console_run() const override;
    void table_missing(const std::wstring& name) override;

    // Whether any error was reported so far (listed, printed or silenced).
    bool any_error() const { return failures_ > 0 || !errors.empty(); }

private:
    void print_error(const std::wstring& text);

    unsigned failures_ = 0;
};
