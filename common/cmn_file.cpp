// The database and file selection page.
#include "common/cmn_file.h"

#include "GUI2/g_f_dlg.h"
#include "GUI2/g_wiz_sh.h"
#include "GUI2/g_wiz_ui.h"
#include "TK/tk_errco.h"
#include "TK/tk_excep.h"
#include "TK/tk_fname.h"
#include "TK/tk_fpath.h"
#include "TK/tk_log.h"
#include "TK/tk_rfile.h"
#include "TK/tk_utils.h"
#include "common/cmn_over.h"
#include "converter/vlm_conv.h"
#include "converter/vlm_errh.h"

#include <QApplication>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int text_limit = 259;

const char* dest_label(bool direct) {
    return direct ? "M&ySQL database:" : "M&ySQL dump file:";
}

// The text of an error on this page: the MySQL table's text for its code, then the OLE DB
// table's, else its own.
std::string page_error_text(const tk_exception& error) {
    tk_error_converter table(err_map_mysql_size, err_map_mysql);
    table.load_map(err_map_oledb_size, err_map_oledb);
    std::string text = table.convert(error.code);
    return text.empty() ? error.message : text;
}

// The log file name in the ANSI code page. A name the code page cannot hold exactly would name
// another file, so it is refused rather than changed.
std::string narrow_log_name(const std::wstring& name) {
    std::string narrow;
    if (name.empty()) {
        return narrow;
    }
    if (!tk_unicode_to_ansi3(name.c_str(), narrow) || tk_to_wstring(narrow) != name) {
        throw tk_exception(L"The log file name '" + name +
                               L"' holds characters that the system's code page cannot "
                               L"represent.",
                           1);
    }
    if (narrow.size() > static_cast<std::size_t>(text_limit)) {
        throw tk_exception("The log file name is too long.", 1);
    }
    return narrow;
}

QWidget* active_owner(QWidget* fallback) {
    QWidget* owner = QApplication::activeWindow();
    return owner != nullptr ? owner : fallback;
}

} // namespace

void dropdown_combo::showPopup() {
    if (on_dropdown) {
        on_dropdown();
    }
    QComboBox::showPopup();
}

sel_file_page::sel_file_page(velmora_convertor& converter)
    : wizard_page(dialog_id, back | next, help_id, "Step 3 of 7", "Select databases"),
      converter_(converter) {
    auto* column = new QVBoxLayout(this);
    auto* intro = new QLabel("Enter source and destination database names. Drop down the combo "
                             "box to see\nall available MS SQL databases (you must have "
                             "sufficient permissions).",
                             this);
    column->addWidget(intro);
    column->addSpacing(8);

    auto* grid = new QGridLayout;
    auto* source_label = new QLabel("M&S SQL database:", this);
    source_ = new dropdown_combo(this);
    source_->setObjectName("1302");
    source_->setEditable(true);
    source_->setInsertPolicy(QComboBox::NoInsert);
    source_->lineEdit()->setMaxLength(text_limit);
    source_label->setBuddy(source_);
    grid->addWidget(source_label, 0, 0, 1, 2);
    grid->addWidget(source_, 1, 0, 1, 2);

    dest_label_ = new QLabel(dest_label(true), this);
    dest_label_->setObjectName("1312");
    dest_ = new QLineEdit(this);
    dest_->setObjectName("1004");
    dest_->setMaxLength(text_limit);
    dest_label_->setBuddy(dest_);
    browse_dump_ = new QPushButton("Browse...", this);
    browse_dump_->setObjectName("1104");
    browse_dump_->hide();
    grid->addWidget(dest_label_, 2, 0, 1, 2);
    grid->addWidget(dest_, 3, 0);
    grid->addWidget(browse_dump_, 3, 1);

    auto* log_label = new QLabel("&Logfile (leave blank to disable logging):", this);
    log_ = new QLineEdit(this);
    log_->setObjectName("1005");
    log_->setMaxLength(text_limit);
    log_label->setBuddy(log_);
    auto* browse_log = new QPushButton("Browse...", this);
    browse_log->setObjectName("1105");
    grid->addWidget(log_label, 4, 0, 1, 2);
    grid->addWidget(log_, 5, 0);
    grid->addWidget(browse_log, 5, 1);
    grid->setColumnStretch(0, 1);
    column->addLayout(grid);
    column->addStretch();

    source_->on_dropdown = [this] { on_dropdown(); };
    // Only the user's choice in the list proposes a destination; the page's own selections
    // (on_dropdown) must not empty the lists.
    connect(source_, &QComboBox::activated, this, [this] { on_sel_change(); });
    connect(browse_dump_, &QPushButton::clicked, this, [this] { on_browse_dump(); });
    connect(browse_log, &QPushButton::clicked, this, [this] { on_browse_log(); });
    setTabOrder(source_, dest_);
    setTabOrder(dest_, browse_dump_);
    setTabOrder(browse_dump_, log_);
    setTabOrder(log_, browse_log);
}

bool sel_file_page::page_init() {
    tk_log_message(2, "sel_file_page::page_init");
    dest_label_->setText(dest_label(converter_.direct));
    if (!listed_) {
        source_->clear();
    }
    show_ctrl("1104", !converter_.direct);
    if (!converter_.log_file.empty()) {
        log_->setText(QString::fromStdWString(vlm_display_wide(converter_.log_file)));
    }
    if (!converter_.src.empty() || !converter_.dest.empty()) {
        source_->setEditText(QString::fromStdWString(converter_.src));
        const std::wstring& from = converter_.dest.empty() ? converter_.src : converter_.dest;
        std::wstring proposal;
        if (!from.empty()) {
            tk_file_wname parts(from);
            if (converter_.direct) {
                proposal = parts.name;
            } else {
                parts.set_ext(L".sql");
                proposal = parts.get_full_name();
            }
        }
        dest_->setText(QString::fromStdWString(proposal));
    }
    return true;
}

std::wstring sel_file_page::get_sql_title() const {
    return source_->currentText().left(text_limit).toStdWString();
}

void sel_file_page::store_file_info() {
    tk_log_message(2, "sel_file_page::store_file_info");
    converter_.src = get_sql_title();
    converter_.dest = dest_->text().left(text_limit).toStdWString();
    converter_.set_logfile(narrow_log_name(log_->text().left(text_limit).toStdWString()));
}

int sel_file_page::on_back() {
    try {
        store_file_info();
    } catch (const tk_exception& error) {
        wizard_page_error_narrow(error.message);
        return stay;
    }
    listed_ = false;
    return converter_.direct ? mysql_page : script_page;
}

void sel_file_page::on_dropdown() {
    tk_log_message(2, "sel_file_page::on_dropdown");
    if (!listed_) {
        try {
            const std::vector<std::wstring> names = converter_.get_mss_databases();
            // The list replaces what the box held; the typed text stays.
            const QString typed = source_->currentText();
            source_->clear();
            for (const std::wstring& name : names) {
                source_->addItem(QString::fromStdWString(name));
            }
            source_->setEditText(typed);
            listed_ = true;
        } catch (const tk_exception& error) {
            wizard_page_error_narrow(error.message);
            return;
        }
    }
    if (!converter_.src.empty()) {
        const int at =
            source_->findText(QString::fromStdWString(converter_.src), Qt::MatchStartsWith);
        if (at >= 0) {
            source_->setCurrentIndex(at);
        }
    }
}

void sel_file_page::on_sel_change() {
    tk_log_message(2, "sel_file_page::on_sel_change");
    std::wstring proposal;
    tk_make_file_wname(proposal, dest_->text().toStdWString(), get_sql_title(), L".sql",
                       converter_.direct);
    dest_->setText(QString::fromStdWString(proposal));
    // The selections named objects of the database chosen before.
    converter_.selected_tables.clear();
    converter_.selected_queries.clear();
    converter_.available_queries.clear();
    converter_.selected_views.clear();
}

void sel_file_page::on_browse_dump() {
    if (auto chosen = save_file_dialog(this, "MySQL Dump Files (.sql) (*.sql);;All Files (*.*) (*)",
                                       "Select Dump File", dest_->text(), "sql")) {
        dest_->setText(*chosen);
    }
}

void sel_file_page::on_browse_log() {
    if (auto chosen = save_file_dialog(this, "Log Files (.log) (*.log);;All Files (*.*) (*)",
                                       "Select Log File", log_->text(), "log")) {
        log_->setText(*chosen);
    }
}

int sel_file_page::on_next() {
    try {
        store_file_info();
        if (converter_.src.empty()) {
            wizard_shell::message(L"You should enter MS SQL database name");
            return stay;
        }
        if (converter_.dest.empty()) {
            wizard_shell::message(converter_.direct ? L"You should enter MySQL database name"
                                                    : L"You should enter MySQL dump file name");
            return stay;
        }
        if (!converter_.mss->is_db_exist(converter_.src)) {
            wizard_shell::message(L"MS SQL database does not exist");
            return stay;
        }
        return check_destination();
    } catch (const tk_exception& error) {
        wizard_page_error_narrow(page_error_text(error));
        return stay;
    }
}

int sel_file_page::check_destination() {
    return converter_.direct ? check_mysql_database() : check_script_file();
}

int sel_file_page::check_script_file() {
    // A script has no mode to choose (its replay replaces the tables it writes): a mode an
    // earlier server destination or a loaded profile chose does not come along.
    converter_.set_mode(0);
    // The run's own checks of a script destination: a writable regular file in an existing
    // folder, not the trace log, a database name the script may create.
    converter_.check_dest();
    const std::wstring& path = converter_.dest;
    if (!tk_is_file_exist2(path, tk_file_exists)) {
        return move_on;
    }
    if (!wizard_shell::question(L"Destination file already exists. Overwrite?")) {
        return stay;
    }
    // Through a symbolic link the old script is the file the link names, which the run then
    // writes (as pontrel does); the link itself stays.
    if (const int error = tk_remove_file(tk_to_utf8(path))) {
        throw tk_exception(
            std::string("The destination file could not be deleted: ") + std::strerror(error), 1);
    }
    return move_on;
}

int sel_file_page::check_mysql_database() {
    const std::wstring& name = converter_.dest;
    converter_.check_mysql_db_name(name);
    vlm_refuse_server_database(name);
    tk_log_wmessage(2, L"mysql_converter_impl::is_mysql_base_exist( %ls )", name.c_str());
    if (!converter_.sql->is_db_exist(name)) {
        tk_log_message(2, "Creating new MySQL DB...");
        return move_on;
    }
    tk_log_message(2, "MySQL DB exists...");
    overwrite_dlg3 dialog(L"The destination database already exists. Select one of the\n"
                          L"options below. Click 'Help' button for more information.",
                          overwrite_help_id, active_owner(this));
    if (dialog.exec() != 1) {
        return stay;
    }
    if (dialog.mode() == 0) {
        converter_.del_mysql_base(name);
    }
    tk_log_message(2, "udb_converter::set_mode(%d)", dialog.mode());
    converter_.set_mode(dialog.mode());
    return move_on;
}
