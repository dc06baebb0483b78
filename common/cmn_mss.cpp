// The MS SQL connection page and the connect thread.
#include "common/cmn_mss.h"

#include "GUI2/g_anim.h"
#include "GUI2/g_wiz_sh.h"
#include "GUI2/g_wiz_ui.h"
#include "MSS/odb_exce.h"
#include "TK/tk_errco.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "converter/vlm_conv.h"
#include "converter/vlm_errh.h"
#include "platform/com/com_api.h"

#include <QApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QVBoxLayout>

namespace {

// The longest text each box takes, as the converter's fields are read.
constexpr int text_limit = 259;

QLineEdit* add_edit(QGridLayout* grid, int row, const QString& label, const char* name,
                    QWidget* parent) {
    auto* text = new QLabel(label, parent);
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setMaxLength(text_limit);
    text->setBuddy(edit);
    grid->addWidget(text, row, 0);
    grid->addWidget(edit, row, 1);
    return edit;
}

std::wstring text_of(const QLineEdit* edit) {
    return edit->text().left(text_limit).toStdWString();
}

// The text the user sees for a failed OLE DB call: the OLE DB table's text for the code, else the
// provider's own message (which names what is missing, e.g. a Kerberos ticket).
std::string oledb_error_text(const tk_exception& error) {
    const tk_error_converter table(err_map_oledb_size, err_map_oledb);
    std::string text = table.convert(error.code);
    return text.empty() ? error.message : text;
}

} // namespace

mssql_connector::mssql_connector(velmora_convertor& converter)
    : tk_thread(false), converter_(converter) {
}

mssql_connector::~mssql_connector() {
    // The thread runs this object's code to its very end.
    wait(INFINITE);
}

bool mssql_connector::run(QWidget* owner) {
    connected_ = false;
    dlg_animation dialog(QStringLiteral("Connecting to MS SQL server. Please wait..."),
                         frame_period_ms, owner);
    dialog_ = &dialog;
    start();
    if (handle() == nullptr) {
        dialog_ = nullptr;
        wizard_page_error(L"The connection to the MS SQL server could not be started: no "
                          L"thread could be created.");
        return false;
    }
    // Ended only by the connect thread, also when it finished before the dialog appeared.
    dialog.exec();
    wait(INFINITE);
    dialog_ = nullptr;
    return connected_;
}

void mssql_connector::operator()() {
    tk_log_message(2, "mssql_settings_page::animation::operator()");
    CoInitialize(nullptr);
    connected_ = false;
    try {
        connect_steps();
        connected_ = true;
    } catch (const odb_exception& error) {
        wizard_page_error_narrow(oledb_error_text(error));
    } catch (const tk_exception& error) {
        try {
            tk_singleton<error_handler>::ref().handle(error, false);
        } catch (const tk_final_exception&) {
            // Abort answered to a warning: the connect has failed, nothing more.
            tk_log_message(2, "The connect was aborted");
        }
    } catch (const tk_final_exception&) {
        tk_log_message(2, "The connect was aborted");
    } catch (const std::exception& error) {
        wizard_page_error_narrow(error.what());
        vlm_exit_process(-1);
    } catch (...) {
        wizard_page_error_narrow("Unknown exception");
        vlm_exit_process(-1);
    }
    if (dlg_animation* dialog = dialog_) {
        dialog->end_dialog();
    }
    CoUninitialize();
}

void mssql_connector::connect_steps() {
    velmora_convertor& c = converter_;
    mss_engine& engine = *c.mss;
    // The password stays out of the trace log.
    if (c.src.empty()) {
        tk_log_message(2, "mssql_converter_impl::connect_mssql_server");
        tk_log_message(2, "secure_login=%d", c.sec_log ? 1 : 0);
        if (c.sec_log) {
            tk_log_wmessage(2, L"mssql_host=%ls", c.mssqlh.c_str());
            engine.connect(c.mssqlh, true);
        } else {
            tk_log_wmessage(2, L"mssql_host=%ls, mssql_user=%ls, mssql_pass=***\n",
                            c.mssqlh.c_str(), c.mssqlu.c_str());
            engine.connect(c.mssqlh, c.mssqlu, c.mssqlp, true);
        }
        return;
    }
    tk_log_wmessage(2, L"Connecting to non-default DB '%ls'", c.src.c_str());
    tk_log_wmessage(2, L"mssql_converter_impl::connect_mssql_server(%ls)", c.src.c_str());
    tk_log_message(2, "secure_login=%d", c.sec_log ? 1 : 0);
    if (c.sec_log) {
        // A Windows login opens the server's default database; the name is still the source.
        tk_log_wmessage(2, L"mssql_host=%ls", c.mssqlh.c_str());
        engine.connect(c.mssqlh, true);
    } else {
        tk_log_wmessage(2, L"mssql_host=%ls, mssql_user=%ls, mssql_pass=***\n", c.mssqlh.c_str(),
                        c.mssqlu.c_str());
        engine.connect(c.mssqlh, c.mssqlu, c.mssqlp, c.src, true);
    }
}

mssql_settings_page::mssql_settings_page(velmora_convertor& converter)
    : wizard_page(dialog_id, back | next, help_id, "Step 1 of 7", "Connect to MS SQL server"),
      converter_(converter), connector_(converter) {
    auto* column = new QVBoxLayout(this);
    auto* intro =
        new QLabel("Provide necessary information to establish MS SQL server connection.", this);
    intro->setWordWrap(true);
    column->addWidget(intro);
    auto* local = new QLabel("Leave 'MS SQL Server' field empty to connect to local server.", this);
    local->setWordWrap(true);
    column->addWidget(local);

    auto* top = new QGridLayout;
    server_ = add_edit(top, 0, "MS &SQL Server:", "1014", this);
    column->addLayout(top);

    auto* group = new QGroupBox(" Connect using: ", this);
    auto* inside = new QGridLayout(group);
    windows_ = new QRadioButton("&Windows authentication", group);
    windows_->setObjectName("1329");
    sql_login_ = new QRadioButton("S&QL Server authentication", group);
    sql_login_->setObjectName("1330");
    inside->addWidget(windows_, 0, 0, 1, 2);
    inside->addWidget(sql_login_, 1, 0, 1, 2);
    login_ = add_edit(inside, 2, "&Login name:", "1012", group);
    password_ = add_edit(inside, 3, "&Password:", "1013", group);
    password_->setEchoMode(QLineEdit::Password);
    column->addWidget(group);

    auto* bottom = new QGridLayout;
    database_box_ = add_edit(bottom, 0, "&Database:", "1002", this);
    auto* note =
        new QLabel("(connect to non-default database\nor leave it blank). It must exist", this);
    bottom->addWidget(note, 1, 1);
    column->addLayout(bottom);
    column->addStretch();

    connect(windows_, &QRadioButton::clicked, this, [this] { enable_login(false); });
    connect(sql_login_, &QRadioButton::clicked, this, [this] { enable_login(true); });
    setTabOrder(server_, windows_);
    setTabOrder(windows_, sql_login_);
    setTabOrder(sql_login_, login_);
    setTabOrder(login_, password_);
    setTabOrder(password_, database_box_);
}

bool mssql_settings_page::page_init() {
    tk_log_message(2, "mssql_settings_page::page_init");
    database_ = converter_.src;
    tk_log_wmessage(2, L"mss_db=%ls", database_.c_str());
    tk_log_message(2, "mssql_settings_page<t_converter>::page_init");
    database_box_->setText(QString::fromStdWString(database_));
    server_->setText(QString::fromStdWString(converter_.mssqlh));
    login_->setText(QString::fromStdWString(converter_.mssqlu));
    password_->setText(QString::fromStdWString(converter_.mssqlp));
    enable_login(!converter_.sec_log);
    return true;
}

void mssql_settings_page::enable_login(bool sql_login) {
    (sql_login ? sql_login_ : windows_)->setChecked(true);
    login_->setEnabled(sql_login);
    password_->setEnabled(sql_login);
}

void mssql_settings_page::store_settings() {
    converter_.sec_log = windows_->isChecked();
    converter_.mssqlh = text_of(server_);
    converter_.mssqlu = text_of(login_);
    converter_.mssqlp = text_of(password_);
    database_ = text_of(database_box_);
    tk_log_message(2, "mss_engine::set_as_dbo(%d)", 0);
    converter_.set_as_dbo(false);
}

int mssql_settings_page::on_back() {
    store_settings();
    return move_on;
}

int mssql_settings_page::on_next() {
    store_settings();
    converter_.src = database_;
    QWidget* owner = QApplication::activeWindow();
    if (owner == nullptr) {
        owner = wizard();
    }
    if (!connector_.run(owner)) {
        return stay;
    }
    return converter_.direct ? mysql_page : script_page;
}
