// Start-up of the wizard.
#include "common/cmn_start.h"

#include "GUI2/g_wiz_sh.h"
#include "GUI2/g_wiz_ui.h"
#include "MSS/mss_engi.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_stop.h"
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

#include <QApplication>

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
    const tk_logger* logger = tk_singleton<tk_logger>::pointer();
    return any_error || (logger != nullptr && logger->write_failed()) ? 255 : 0;
}

} // namespace

bool quick_connect_mssql(velmora_convertor& converter) {
    mssql_connector connector(converter);
    return connector.run(QApplication::activeWindow());
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
