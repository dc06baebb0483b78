// The wizard's front end.
#include "GUI2/g_wiz_ui.h"

#include "GUI2/g_err_dlg.h"
#include "GUI2/g_wiz_sh.h"
#include "TK/tk_log.h"
#include "converter/vlm_errh.h"
#include "platform/win32/clipboard.h"

#include <QApplication>
#include <QClipboard>
#include <QThread>

namespace {

// The owner of a dialog asked for on `caller_is_gui`'s behalf: the active window of the GUI
// thread; a worker thread has none, like a thread without windows of its own.
QWidget* dialog_owner(bool caller_is_gui) {
    return caller_is_gui ? QApplication::activeWindow() : nullptr;
}

bool on_gui_thread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app == nullptr || QThread::currentThread() == app->thread();
}

} // namespace

wizard_ui::wizard_ui() {
    win32::set_clipboard_sink([](std::u16string_view text) {
        const QString copied = QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
        gui_thread_call([&] { QGuiApplication::clipboard()->setText(copied); });
        return true;
    });
}

wizard_ui::~wizard_ui() {
    win32::set_clipboard_sink({});
}

bool wizard_ui::ask_continue(const std::wstring& text, bool& dont_show_again) {
    ++failures_;
    if (closing_) {
        return false;
    }
    const bool caller_is_gui = on_gui_thread();
    bool go_on = true;
    gui_thread_call([&] {
        dlg_error_continue dialog(text, dialog_owner(caller_is_gui));
        go_on = dialog.exec() == dlg_error_continue::go_on;
        dont_show_again = dialog.do_not_show();
    });
    return go_on;
}

void wizard_ui::show_error(const std::wstring& text) {
    ++failures_;
    if (closing_) {
        tk_log_message(3, "%s", vlm_display_narrow(text).c_str());
        return;
    }
    wizard_shell::error(text);
}

void wizard_ui::show_internal_error(const std::wstring& text) {
    ++failures_;
    const bool caller_is_gui = on_gui_thread();
    gui_thread_call([&] {
        dlg_error_ex dialog(text, dialog_owner(caller_is_gui));
        dialog.exec();
    });
}

bool wizard_ui::is_initialized() const {
    return wizard_shell::is_initialized();
}

void wizard_ui::start_timer(unsigned period_ms) {
    tk_singleton<wizard_shell>::ref().start_timer(period_ms);
}

void wizard_ui::write_log(const std::wstring& line) {
    if (wizard_shell* shell = tk_singleton<wizard_shell>::pointer()) {
        shell->write_log(line);
    }
}

void wizard_ui::error_narrow(const std::string& text) {
    ++failures_;
    if (is_initialized() && errors.size() < max_errors) {
        errors.push_back(text);
    }
    if (closing_) {
        tk_log_message(3, "%s", text.c_str());
        return;
    }
    wizard_shell::error_narrow(text);
}

void wizard_ui::page_error(const std::wstring& text) {
    ++failures_;
    if (is_initialized() && errors.size() < max_errors) {
        errors.push_back(vlm_display_narrow(text));
    }
    wizard_shell::error(text);
}

void wizard_page_error(const std::wstring& text) {
    if (auto* ui = dynamic_cast<wizard_ui*>(tk_singleton<vlm_ui>::pointer())) {
        ui->page_error(text);
    } else {
        wizard_shell::error(text);
    }
}

void wizard_page_error_narrow(const std::string& text) {
    wizard_page_error(vlm_display_wide(text));
}
