// velmora: the wizard that walks a user through a migration from MS SQL Server to MySQL.
#include "GUI2/g_anim.h"
#include "GUI2/g_err_dlg.h"
#include "GUI2/g_finish.h"
#include "GUI2/g_wiz_sh.h"
#include "GUI2/g_wiz_ui.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_rfile.h"
#include "UDB/udb_schema.h"
#include "common/cmn_convs.h"
#include "common/cmn_dump.h"
#include "common/cmn_file.h"
#include "common/cmn_fin.h"
#include "common/cmn_mss.h"
#include "common/cmn_mysql.h"
#include "common/cmn_over.h"
#include "common/cmn_prog.h"
#include "common/cmn_query.h"
#include "common/cmn_start.h"
#include "common/cmn_tabs.h"
#include "common/cmn_tmap.h"
#include "common/cmn_views.h"
#include "common/cmn_welc.h"
#include "converter/vlm_conv.h"
#include "converter/vlm_errh.h"
#include "converter/vlm_ui.h"
#include "platform/tds/tds_environment.h"
#include "platform/tds/tds_provider.h"

#include <QApplication>
#include <QBuffer>
#include <QDialog>
#include <QListWidget>
#include <QPixmap>
#include <QTimer>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>

namespace {

// Sets LC_CTYPE from the environment, C.UTF-8 when that is the plain C locale.
void set_text_locale() {
    const char* chosen = std::setlocale(LC_CTYPE, "");
    if (chosen == nullptr || std::strcmp(chosen, "C") == 0 || std::strcmp(chosen, "POSIX") == 0) {
        std::setlocale(LC_CTYPE, "C.UTF-8");
    }
}

// A screenshot goes through the program's one writer of files, like everything it writes.
void save_png(const QPixmap& picture, const QString& file) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, "PNG");
    try {
        tk_replace_file_contents(
            file.toStdString(), "screenshot",
            std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    } catch (const tk_exception& error) {
        std::fprintf(stderr, "%s\n", error.message.c_str());
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
        save_png(shown->grab(), file);
        if (auto* dialog = dynamic_cast<QDialog*>(shown)) {
            dialog->done(0);
        }
    });
}

// The selection pages of the tour list sample names instead of a source's.
struct tour_tables_page : vlm_sel_tables_page {
    using vlm_sel_tables_page::vlm_sel_tables_page;
    void list_tables(std::vector<std::wstring>& out) override {
        out = {L"dbo.Customers",
               L"dbo.Orders",
               L"[sales.eu].[Invoices]",
               L"sales.[Order Lines]",
               L"dbo.Ärger",
               L"dbo.audit_log",
               L"dbo.Zones"};
    }
};

struct tour_views_page : vlm_sel_views_page {
    using vlm_sel_views_page::vlm_sel_views_page;
    void list_views(std::vector<udb_view>& out) override {
        out = {{L"dbo.big_customers", L""}, {L"dbo.open_orders", L""}, {L"sales.by_region", L""}};
    }
};

// The set-up pages of the tour, with sample lists on the selection pages.
void add_tour_pages(wizard_shell& shell, velmora_convertor& converter) {
    add_setup_pages(shell, converter, new tour_tables_page(converter),
                    new tour_views_page(converter));
}

// A page of the tour, shown in the frame and saved.
void grab_page(wizard_shell& shell, int dialog, int nth, const QString& file) {
    int index = -1;
    for (const int id : shell.pageIds()) {
        auto* page = dynamic_cast<wizard_page*>(shell.page(id));
        if (page != nullptr && page->dialog() == dialog && nth-- == 0) {
            index = id;
            break;
        }
    }
    shell.go_to(index);
    QApplication::processEvents();
    save_png(shell.grab(), file);
}

// The MS SQL page, the "Connecting" dialog, the file page in both scenarios and the overwrite
// dialog.
void picture_source_pages(wizard_shell& shell, velmora_convertor& converter,
                          const QString& folder) {
    const bool direct = converter.direct;
    converter.direct = true;
    grab_page(shell, mssql_settings_page::dialog_id, 0, folder + "/page-mssql.png");
    grab_modal_then_close(folder + "/dialog-connecting.png");
    {
        dlg_animation dialog("Connecting to MS SQL server. Please wait...",
                             mssql_connector::frame_period_ms, &shell);
        dialog.exec();
    }
    grab_page(shell, sel_file_page::dialog_id, 0, folder + "/page-file-server.png");
    // Entered again, the file page shows the other scenario.
    shell.go_to(shell.id_of_dialog(mssql_settings_page::dialog_id));
    converter.direct = false;
    grab_page(shell, sel_file_page::dialog_id, 0, folder + "/page-file-script.png");
    converter.direct = direct;
    grab_modal_then_close(folder + "/dialog-overwrite.png");
    {
        overwrite_dlg3 dialog(L"The destination database already exists. Select one of the\n"
                              L"options below. Click 'Help' button for more information.",
                              sel_file_page::overwrite_help_id, &shell);
        dialog.exec();
    }
}

// The sample table of the tour's "Edit Table" dialog.
std::unique_ptr<udb_schema> tour_columns() {
    auto schema = std::make_unique<udb_schema>(true);
    auto column = [&schema](const wchar_t* name, VARTYPE type, int size, int prec, int scale) {
        auto c = std::make_shared<t_ftd>();
        c->name = name;
        c->type = type;
        c->size = size;
        c->prec = prec;
        c->scale = scale;
        schema->push_back(c);
    };
    column(L"id", VT_I4, 4, 0, 0);
    column(L"name", VT_BSTR, 50, 0, 0);
    column(L"balance", VT_DECIMAL, 16, 12, 2);
    column(L"joined", VT_I8, 8, 0, 0);
    return schema;
}

// The progress and finish pages with a staged run (no conversion runs), and the dialog of a
// quick launch's connect.
void tour_run_pages(wizard_shell& shell, velmora_convertor& converter, const QString& folder) {
    grab_modal_then_close(folder + "/dialog-quick-launch-connecting.png");
    {
        dlg_animation dialog("Connecting to MS SQL server. Please wait...",
                             mssql_connector::frame_period_ms, &shell);
        dialog.exec();
    }
    auto* progress = dynamic_cast<progress_page*>(shell.page_of_dialog(progress_page::dialog_id));
    auto* finish = dynamic_cast<finish_page*>(shell.page_of_dialog(finish_page::dialog_id));
    if (progress == nullptr || finish == nullptr) {
        return;
    }
    progress->run_on_entry = false;
    shell.go_to(shell.id_of_dialog(progress_page::dialog_id));
    shell.write_log(L"Converting database 'shop' (4 tables)\r\n");
    shell.write_log(L"Converting table [dbo].[customers] (120 records)\r\n");
    shell.write_log(L"Converting table [dbo].[orders] (5000 records)\r\n");
    converter.object_count = 4;
    converter.object_index = 1;
    converter.object_records = 5000;
    converter.records_done = 2500;
    converter.set_current_object(L"[dbo].[orders]");
    progress->on_timer();
    QApplication::processEvents();
    save_png(shell.grab(), folder + "/page-progress.png");
    converter.finished = true;
    progress->on_timer();
    QApplication::processEvents();
    save_png(shell.grab(), folder + "/page-finish.png");
    vlm_ui& ui = tk_singleton<vlm_ui>::ref();
    ui.errors.push_back("[dbo].[orders], record #1042: Duplicate field values being used for an "
                        "unique index were found.");
    ui.errors.push_back("[dbo].[notes]: Table 'notes' already exists");
    finish->page_init();
    QApplication::processEvents();
    save_png(shell.grab(), folder + "/page-finish-errors.png");
    ui.errors.clear();
}

int picture_tour(wizard_shell& shell, velmora_convertor& converter, const QString& folder) {
    auto* welcome = dynamic_cast<welcome_page*>(shell.page_of_dialog(welcome_page::dialog_id));
    if (welcome == nullptr) {
        return 255;
    }
    grab_modal_then_close(folder + "/box-error-before-frame.png");
    wizard_shell::error(L"An error reported before the wizard window exists.");
    shell.show();
    QApplication::processEvents();
    save_png(shell.grab(), folder + "/page-welcome.png");
    grab_modal_then_close(folder + "/box-error.png");
    wizard_shell::error(L"Cannot connect to the MySQL server. Check to verify that MySQL server is "
                        L"launched and the correct host/port values were given.");
    grab_modal_then_close(folder + "/box-message.png");
    wizard_shell::message(L"You should enter MS SQL database name");
    grab_modal_then_close(folder + "/box-question-cancel.png");
    wizard_shell::question(L"Are you sure you want to exit the wizard?");
    grab_modal_then_close(folder + "/dialog-open-profile.png");
    welcome->on_load();
    grab_modal_then_close(folder + "/dialog-save-profile.png");
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
    grab_page(shell, dump_page::dialog_id, 0, folder + "/page-script-options.png");
    grab_page(shell, mysql_settings_page::dialog_id, 0, folder + "/page-mysql-settings.png");
    grab_page(shell, conversion_settings::dialog_id, 0, folder + "/page-conversion-settings.png");
    grab_page(shell, sel_tables_page::dialog_id, 0, folder + "/page-tables.png");
    auto* tables = dynamic_cast<vlm_sel_tables_page*>(shell.current_wizard_page());
    if (tables != nullptr) {
        tables->available()->setCurrentRow(1);
        tables->on_add();
        tables->sel_queries.emplace_back(L"recent_orders", L"SELECT * FROM dbo.Orders");
        sel_tables_page::insert_sorted(tables->selected(), "recent_orders");
        save_png(shell.grab(), folder + "/page-tables-chosen.png");
    }
    grab_page(shell, sel_tables_page::dialog_id, 1, folder + "/page-views.png");
    grab_modal_then_close(folder + "/dialog-query.png");
    {
        set_query_dlg dialog(converter, L"recent_orders",
                             L"SELECT o.id, o.amount\nFROM dbo.Orders o\nWHERE o.year = 2026",
                             &shell);
        dialog.exec();
    }
    grab_modal_then_close(folder + "/dialog-edit-table.png");
    {
        types_map_dlg dialog(converter, L"dbo.Customers", tour_columns(), &shell);
        dialog.run();
    }
    tour_run_pages(shell, converter, folder);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 2) {
        std::fprintf(stderr, "%s\n", velmora_usage().c_str());
        return 255;
    }
    // Without a display Qt would abort the process; the user is told why instead.
    if (const std::string why = velmora_no_display_text(); !why.empty()) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 255;
    }
    // Before any thread starts: FreeTDS would let TDSPORT and TDSVER override the connection.
    tds_remove_overriding_environment();
    set_text_locale();
    tds_register_provider();
    tk_logger logger(nullptr, false, 3, false);
    error_handler handler(err_map_oledb_size, err_map_oledb);
    handler.load_err_map(err_map_mysql_size, err_map_mysql);

    // The profile is the first argument as the shell passed it, taken before Qt removes the
    // options it knows ("-reverse", ...) from the command line.
    std::optional<std::string> profile;
    if (argc > 1) {
        profile = argv[1];
    }
    QApplication app(argc, argv);
    wizard_ui ui;
    if (const char* folder = std::getenv("VELMORA_SCREENSHOTS");
        folder != nullptr && *folder != '\0') {
        return velmora_start(
            profile,
            [folder](wizard_shell& shell, velmora_convertor& converter) {
                return picture_tour(shell, converter, QString::fromLocal8Bit(folder));
            },
            add_tour_pages);
    }
    return velmora_start(profile);
}
