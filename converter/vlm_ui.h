// What the conversion driver asks of the program around it: the user's answers, the boxes it
// shows, and the parts of the wizard frame that a run drives (progress timer, log lines, the
// list of a run's errors). The wizard and the console agent each register one implementation;
// tests register a scriptable one.
#pragma once

#include "TK/tk_singl.h"

#include <string>
#include <vector>

// The one front end of the process, reached through tk_singleton<vlm_ui> (a missing front end
// is an internal error where the driver needs one). Every call may come from the conversion
// thread; an implementation that shows windows hands the call to its GUI thread and waits.
class vlm_ui : public tk_singleton<vlm_ui> {
public:
    // At most this many error texts are kept for the finish page.
    static constexpr std::size_t max_errors = 20;

    vlm_ui() = default;
    ~vlm_ui() override;

    // The Continue/Abort question about a level-0 error. `dont_show_again` comes in false and
    // goes out as the state of the box "&Do not show this dialog box again" when the question
    // was closed. True for Continue, false for Abort.
    virtual bool ask_continue(const std::wstring& text, bool& dont_show_again) = 0;
    // The error box for a level-1 error (or a failure outside the tk_exception family).
    virtual void show_error(const std::wstring& text) = 0;
    // The internal-error dialog; the process ends right after it returns.
    virtual void show_internal_error(const std::wstring& text) = 0;
    // Whether an error of this level (0 or 1) ends the process once it has been reported. The
    // wizard goes on after every such error; the console agent ends on level 1.
    virtual bool ends_process(int level) const;

    // The frame is up: from then on the error texts of a run are listed for the finish page.
    virtual bool is_initialized() const = 0;
    // Starts the timer that refreshes the progress display every `period_ms` milliseconds.
    virtual void start_timer(unsigned period_ms) = 0;
    // Appends a progress line (it carries its own "\r\n") to the log; returns when it is there.
    virtual void write_log(const std::wstring& line) = 0;
    // Shows a failure that is not of the tk_exception family (its narrow text).
    virtual void error_narrow(const std::string& text) = 0;

    // The console agent's run: with no table, query or view selected every source table is
    // converted, and a listed table that the source lacks is passed to table_missing() and
    // skipped. The wizard selects from lists of existing tables and answers false.
    virtual bool console_run() const;
    virtual void table_missing(const std::wstring& name);

    // The error texts of the run, one line each, at most max_errors of them.
    std::vector<std::string> errors;
};
