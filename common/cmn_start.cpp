// Start-up of the wizard.
#include "common/cmn_start.h"

#include "GUI2/g_wiz_sh.h"
#include "GUI2/g_wiz_ui.h"
#include "MSS/mss_engi.h"
#include "MSS/odb_exce.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_stop.h"
#include "TK/tk_threa.h"
#include "UDB/udb_prof.h"
#include "common/cmn_convs.h"
#include "common/cmn_dump.h"
#include "common/cmn_file.h"
#include "common/cmn_fin.h"
#include "common/cmn_mss.h"
#include "common/cmn_mysql.h"
#include "common/cmn_prog.h"
#include "common/cmn_tabs.h"
#include "common/cmn_views.h"
#include "common/cmn_welc.h"
#include "converter/vlm_conv.h"
#include "converter/vlm_errh.h"
#include "platform/com/com_api.h"

#include <QApplication>
#include <QDialog>
#include <QFrame>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <QVBoxLayout>

#include <atomic>
#include <cstdlib>
#include <exception>
#include <filesystem>

const wchar_t* const finish_success_text =
    L"Wizard has converted your MS SQL database into\nMySQL data source successfully.\n\nClick "
    L"'Finish' to exit the wizard.";
const wchar_t* const finish_error_text =
    L"There were some errors while converting the database.\nClick 'Finish' to exit the wizard.";

std::string velmora_usage() {
    return "Usage: velmora [PROFILE]\n"
           "  Without arguments the wizard opens on its welcome page; with the path of a profile "
           "it runs that profile's conversion at once.";
}

std::string velmora_no_display_text() {
    const auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0';
    };
    if (set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM")) {
        return {};
    }
    return "velmora: no display to open the wizard on (neither DISPLAY nor WAYLAND_DISPLAY is "
           "set). Start it from a desktop session, or set QT_QPA_PLATFORM (for example "
           "QT_QPA_PLATFORM=offscreen).";
}

void add_setup_pages(wizard_shell& shell, velmora_convertor& converter, wizard_page* tables,
                     wizard_page* views) {
    shell.add_page(new welcome_page(converter, L"vlm"));
    shell.add_page(new mssql_settings_page(converter));
    shell.add_page(new dump_page(converter));
    shell.add_page(new mysql_settings_page(converter));
    shell.add_page(new sel_file_page(converter));
    shell.add_page(new conversion_settings(converter));
    shell.add_page(tables != nullptr ? tables : new vlm_sel_tables_page(converter));
    shell.add_page(views != nullptr ? views : new vlm_sel_views_page(converter));
}

namespace {

// The connect of a quick launch, on its own thread; failures are reported there.
class quick_connect : public tk_thread_functor {
public:
    explicit quick_connect(velmora_convertor& converter) : converter_(converter) {}

    void operator()() override {
        tk_log_message(2, "mssql_settings_page::animation::operator()");
        CoInitialize(nullptr);
        connected = false;
        try {
            connect();
            connected = true;
        } catch (const odb_exception& error) {
            const std::string mapped = tk_singleton<error_handler>::ref().map.convert(error.code);
            wizard_shell::error_narrow(mapped.empty() ? error.what() : mapped);
        } catch (const tk_final_exception&) {
            // Abort of a level-0 question: a failed connect, already answered by the user.
        } catch (const tk_exception& error) {
            try {
                tk_singleton<error_handler>::ref().handle(error, false);
            } catch (const tk_final_exception&) {
            }
        } catch (const std::exception& error) {
            wizard_shell::error_narrow(error.what());
            vlm_exit_process(-1);
        }
        CoUninitialize();
        done = true;
    }

    std::atomic<bool> connected{false};
    std::atomic<bool> done{false};

private:
    void connect() {
        velmora_convertor& c = converter_;
        if (!c.src.empty()) {
            tk_log_wmessage(2, L"Connecting to non-default DB '%ls'", c.src.c_str());
        }
        tk_log_message(2, "secure_login=%d", c.sec_log ? 1 : 0);
        if (c.sec_log) {
            tk_log_wmessage(2, L"mssql_host=%ls", c.mssqlh.c_str());
            c.mss->connect(c.mssqlh, true);
            return;
        }
        // The password stays out of the trace log.
        tk_log_wmessage(2, L"mssql_host=%ls, mssql_user=%ls, mssql_pass=***\n", c.mssqlh.c_str(),
                        c.mssqlu.c_str());
        if (c.src.empty()) {
            c.mss->connect(c.mssqlh, c.mssqlu, c.mssqlp, true);
        } else {
            c.mss->connect(c.mssqlh, c.mssqlu, c.mssqlp, c.src, true);
        }
    }

    velmora_convertor& converter_;
};

class connect_thread : public tk_thread {
public:
    explicit connect_thread(quick_connect& work) : tk_thread(false), work_(work) {}
    tk_thread_functor* create_functor() override { return &work_; }

private:
    quick_connect& work_;
};

bool holds_a_setting(const udb_profile& profile) {
    for (const auto& [name, pairs] : profile.sections) {
        if (!pairs.empty()) {
            return true;
        }
    }
    return false;
}

// The profile of a quick launch into the converter; a profile that cannot be used is refused
// with the reason (level 1).
void load_quick_profile(velmora_convertor& converter, const std::string& path) {
    tk_log_message(2, "QUICK LAUNCH: profile=%s", path.c_str());
    // An empty argument names no file (an unset variable in a script's command line).
    if (path.empty()) {
        throw tk_exception(std::wstring(tk_wmessage(tk_msg_profile_missing)), 1);
    }
    const std::wstring wide = vlm_display_wide(path);
    std::error_code ignored;
    if (std::filesystem::is_directory(std::filesystem::path(path), ignored)) {
        throw tk_exception(L"The profile " + wide + L" is a folder, not a file.", 1);
    }
    // A profile only sets what it holds; one that holds no setting at all (empty, cut short)
    // would run the settings kept from the last session, mode 0 included.
    udb_profile profile;
    if (!profile.load(wide) || !holds_a_setting(profile) || !apply_profile(converter, profile)) {
        throw tk_exception(L"The profile " + wide + L" could not be read.", 1);
    }
}

// After the connections, what pontrel checks before its run: the source database exists, the
// destination's name is acceptable, the source's tables and schema can be read; only then is
// the destination prepared (mode 0 drops an existing database).
void prepare_quick_launch(velmora_convertor& converter) {
    if (!converter.mss->is_db_exist(converter.src)) {
        throw tk_exception(L"Database '" + converter.src + L"' does not exist", 1);
    }
    if (converter.direct) {
        converter.connect_mysql_server();
        converter.check_mysql_db_name(converter.dest);
    }
    converter.prepare_source();
    converter.check_dest();
}

// Any error reported in the process, as pontrel counts them.
int exit_code() {
    const vlm_ui* ui = tk_singleton<vlm_ui>::pointer();
    const auto* wizard = dynamic_cast<const wizard_ui*>(ui);
    const bool any_error =
        wizard != nullptr ? wizard->any_error() : ui != nullptr && !ui->errors.empty();
    return any_error ? 255 : 0;
}

} // namespace

connecting_dialog::connecting_dialog(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::FramelessWindowHint) {
    setObjectName("101");
    // Without a title bar the window draws its own border; a busy bar shows that it works.
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* frame = new QFrame(this);
    frame->setFrameShape(QFrame::Panel);
    frame->setFrameShadow(QFrame::Raised);
    frame->setLineWidth(2);
    outer->addWidget(frame);
    auto* column = new QVBoxLayout(frame);
    column->setContentsMargins(24, 16, 24, 16);
    column->addWidget(new QLabel("Connecting to MS SQL server. Please wait...", frame));
    auto* busy = new QProgressBar(frame);
    busy->setRange(0, 0);
    busy->setTextVisible(false);
    busy->setMaximumHeight(10);
    column->addWidget(busy);
    setModal(true);
}

bool quick_connect_mssql(velmora_convertor& converter) {
    quick_connect work(converter);
    connect_thread thread(work);
    connecting_dialog dialog(QApplication::activeWindow());
    // Polled once the dialog runs, so a connect that ends before the dialog is up ends it too.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &dialog, [&] {
        if (work.done.load()) {
            dialog.done(0);
        }
    });
    poll.start(20);
    thread.start();
    if (thread.handle() == nullptr) {
        wizard_shell::error(L"The connection to MS SQL could not be started: no thread could be "
                            L"created.");
        return false;
    }
    dialog.exec();
    poll.stop();
    thread.wait(INFINITE);
    return work.connected.load();
}

int velmora_start(const std::optional<std::string>& profile,
                  const std::function<int(wizard_shell&, velmora_convertor&)>& instead_of_sheet,
                  const std::function<void(wizard_shell&, velmora_convertor&)>& setup_pages) {
    error_handler& handler = tk_singleton<error_handler>::ref();
    // A stop asked for before start-up belongs to no run of this wizard.
    tk_clear_stop();
    // The pages and the frame go before the converter, which then writes its settings back.
    try {
        velmora_convertor converter;
        if (profile) {
            load_quick_profile(converter, *profile);
        }
        wizard_shell shell(wizard_title());
        progress_page* progress = nullptr;
        try {
            if (!profile) {
                if (setup_pages) {
                    setup_pages(shell, converter);
                } else {
                    add_setup_pages(shell, converter);
                }
            } else if (!quick_connect_mssql(converter)) {
                return 255;
            } else {
                prepare_quick_launch(converter);
            }
            progress = new progress_page(converter);
            shell.add_page(progress);
            shell.add_page(
                new finish_page(converter, L"vlm", finish_success_text, finish_error_text));
            if (instead_of_sheet) {
                return instead_of_sheet(shell, converter);
            }
            shell.exec();
        } catch (...) {
            // A run never outlives its frame, whatever ended the sheet.
            if (progress != nullptr) {
                progress->stop_and_wait();
            }
            throw;
        }
        progress->stop_and_wait();
    } catch (const tk_exception& error) {
        handler.handle(error, true);
        return 255;
    } catch (const std::exception& error) {
        if (vlm_ui* ui = tk_singleton<vlm_ui>::pointer()) {
            ui->error_narrow(error.what());
        } else {
            wizard_shell::error_narrow(error.what());
        }
        return 255;
    }
    return exit_code();
}
