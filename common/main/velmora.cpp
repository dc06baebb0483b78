// velmora: the wizard that walks a user through a migration from MS SQL Server to MySQL.
#include "GUI2/g_anim.h"
#include "GUI2/g_err_dlg.h"
#include "GUI2/g_finish.h"
#include "GUI2/g_wiz_sh.h"
#include "GUI2/g_wiz_ui.h"
#include "TK/tk_log.h"
#include "common/cmn_file.h"
#include "common/cmn_mss.h"
#include "common/cmn_over.h"
#include "common/cmn_welc.h"
#include "converter/vlm_conv.h"
#include "converter/vlm_errh.h"
#include "platform/tds/tds_environment.h"
#include "platform/tds/tds_provider.h"

#include <QApplication>
#include <QDialog>
#include <QTimer>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

namespace {

// Sets LC_CTYPE from the environment, C.UTF-8 when that is the plain C locale.
void set_text_locale() {
    const char* chosen = std::setlocale(LC_CTYPE, "");
    if (chosen == nullptr || std::strcmp(chosen, "C") == 0 || std::strcmp(chosen, "POSIX") == 0) {
        std::setlocale(LC_CTYPE, "C.UTF-8");
    }
}

// The picture tour behind VELMORA_SCREENSHOTS=<folder>: every page and dialog built so far is
// shown, saved as a PNG there and closed; then the program ends. Used by tools/screenshots.sh.
void grab_modal_then_close(const QString& file) {
    QTimer::singleShot(300, [file] {
        QWidget* shown = QApplication::activeModalWidget();
        if (shown == nullptr) {
            return;
        }
        shown->grab().save(file);
        if (auto* dialog = dynamic_cast<QDialog*>(shown)) {
            dialog->done(0);
        }
    });
}

// The MS SQL page, the "Connecting" dialog, the file page in both scenarios and the overwrite
// dialog.
void picture_page(wizard_shell& shell, int dialog, const QString& file) {
    shell.go_to(shell.id_of_dialog(dialog));
    QApplication::processEvents();
    shell.grab().save(file);
}

void picture_source_pages(wizard_shell& shell, velmora_convertor& converter,
                          const QString& folder) {
    const bool direct = converter.direct;
    converter.direct = true;
    picture_page(shell, mssql_settings_page::dialog_id, folder + "/page-mssql.png");
    grab_modal_then_close(folder + "/dialog-connecting.png");
    {
        dlg_animation dialog("Connecting to MS SQL server. Please wait...",
                             mssql_connector::frame_period_ms, &shell);
        dialog.exec();
    }
    picture_page(shell, sel_file_page::dialog_id, folder + "/page-file-server.png");
    // Entered again, the file page shows the other scenario.
    shell.go_to(shell.id_of_dialog(mssql_settings_page::dialog_id));
    converter.direct = false;
    picture_page(shell, sel_file_page::dialog_id, folder + "/page-file-script.png");
    converter.direct = direct;
    grab_modal_then_close(folder + "/dialog-overwrite.png");
    {
        overwrite_dlg3 dialog(L"The destination database already exists. Select one of the\n"
                              L"options below. Click 'Help' button for more information.",
                              sel_file_page::overwrite_help_id, &shell);
        dialog.exec();
    }
}

int picture_tour(wizard_shell& shell, welcome_page& welcome, const QString& folder) {
    grab_modal_then_close(folder + "/box-error-before-frame.png");
    wizard_shell::error(L"An error reported before the wizard window exists.");
    shell.show();
    QApplication::processEvents();
    shell.grab().save(folder + "/page-welcome.png");
    grab_modal_then_close(folder + "/box-error.png");
    wizard_shell::error(L"Cannot connect to the MySQL server. Check to verify that MySQL server is "
                        L"launched and the correct host/port values were given.");
    grab_modal_then_close(folder + "/box-message.png");
    wizard_shell::message(L"You should enter MS SQL database name");
    grab_modal_then_close(folder + "/box-question-cancel.png");
    wizard_shell::question(L"Are you sure you want to exit the wizard?");
    grab_modal_then_close(folder + "/dialog-open-profile.png");
    welcome.on_load();
    grab_modal_then_close(folder + "/dialog-save-profile.png");
    velmora_convertor& converter = welcome.converter();
    store_profile_dialog(&shell, converter, L"vlm");
    grab_modal_then_close(folder + "/dialog-error-continue.png");
    {
        dlg_error_continue dialog(
            L"dbo.Orders, record #1042: Duplicate field values being used for an "
            L"unique index were found. See 'Troubleshooting' article of the "
            L"product documentation for solution.",
            &shell);
        dialog.exec();
    }
    grab_modal_then_close(folder + "/dialog-internal-error.png");
    {
        dlg_error_ex dialog(L"Internal error in module g_wiz_sh, line 281.", &shell);
        dialog.exec();
    }
    picture_source_pages(shell, converter, folder);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    // Before any thread starts: FreeTDS would let TDSPORT and TDSVER override the connection.
    tds_remove_overriding_environment();
    set_text_locale();
    tds_register_provider();
    tk_logger logger(nullptr, false, 3, false);
    error_handler handler(err_map_oledb_size, err_map_oledb);
    handler.load_err_map(err_map_mysql_size, err_map_mysql);

    QApplication app(argc, argv);
    wizard_ui ui;
    try {
        velmora_convertor converter;
        wizard_shell shell(wizard_title());
        auto* welcome = new welcome_page(converter, L"vlm");
        shell.add_page(welcome);
        shell.add_page(new mssql_settings_page(converter));
        shell.add_page(new sel_file_page(converter));
        if (const char* folder = std::getenv("VELMORA_SCREENSHOTS");
            folder != nullptr && *folder != '\0') {
            return picture_tour(shell, *welcome, QString::fromLocal8Bit(folder));
        }
        // Finish and Cancel both end normally; the exit codes of a run come with the run's pages.
        shell.exec();
        return 0;
    } catch (const tk_exception& error) {
        handler.handle(error, true);
    } catch (const std::exception& error) {
        wizard_shell::error_narrow(error.what());
    }
    return 0;
}
