// Console reporting of the console agent.
#include "agent/agn_cons.h"

#include "converter/vlm_conv.h"
#include "converter/vlm_errh.h"
#include "TK/tk_log.h"

#include <cstdio>

namespace {

bool is_silent() {
    const velmora_convertor* converter = tk_singleton<velmora_convertor>::pointer();
    return converter != nullptr && converter->is_silent();
}

// Windows ends console lines with CR LF; on a Linux console the CR would show as a stray
// character in pipes and files, so the run's progress lines end with LF alone.
std::string console_line(std::string text) {
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0) {
        text.erase(text.size() - 2, 1);
    }
    return text;
}

} // namespace

void console_out(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    // Into a pipe or a file standard output keeps whole blocks back: a run watched with
    // `tail -f` or `tee` would show no progress and no error for hours. A flush per table or
    // per reported error costs nothing beside the statements.
    std::fflush(stdout);
}

void console_err(const std::string& text) {
    std::fflush(stdout);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

std::string console_text(const std::wstring& text) {
    return vlm_display_narrow(text);
}

void report_fatal_and_exit(const std::string& message) {
    tk_log_message(3, "%s", message.c_str());
    if (!is_silent()) {
        console_err(message + "\n");
    }
    vlm_exit_process(-1);
}

console_ui::~console_ui() = default;

void console_ui::print_error(const std::wstring& text) {
    ++failures_;
    console_out("Error:\n" + console_text(text) + "\n");
}

bool console_ui::ask_continue(const std::wstring& text, bool&) {
    print_error(text);
    return true;
}

void console_ui::show_error(const std::wstring& text) {
    print_error(text);
}

void console_ui::show_internal_error(const std::wstring& text) {
    ++failures_;
    console_out("Internal error: " + console_text(text) + "\n");
}

bool console_ui::ends_process(int level) const {
    return level >= 1;
}

bool console_ui::is_initialized() const {
    return true;
}

void console_ui::start_timer(unsigned) {
}

void console_ui::write_log(const std::wstring& line) {
    if (is_silent()) {
        return;
    }
    console_out(console_line(console_text(line)));
}

void console_ui::error_narrow(const std::string& text) {
    ++failures_;
    tk_log_message(3, "ERROR:\n%s", text.c_str());
    if (!is_silent()) {
        console_err(text + "\n");
    }
}

bool console_ui::console_run() const {
    return true;
}

void console_ui::table_missing(const std::wstring& name) {
    ++failures_;
    if (!is_silent()) {
        console_err("Table " + console_text(name) + " not exists\n");
    }
}
