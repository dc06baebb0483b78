// The MySQL settings page.
#include "common/cmn_mysql.h"

#include "GUI2/g_wiz_sh.h"
#include "GUI2/g_wiz_ui.h"
#include "SQL/sql_engi.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "converter/vlm_conv.h"
#include "converter/vlm_errh.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QVBoxLayout>

namespace {

QLineEdit* add_field(QGridLayout* grid, int row, const QString& label, const char* id,
                     QWidget* parent, const QString& hint = {}) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(id);
    edit->setMaxLength(259);
    auto* caption = new QLabel(label, parent);
    caption->setBuddy(edit);
    grid->addWidget(caption, row, 0);
    grid->addWidget(edit, row, 1);
    if (!hint.isEmpty()) {
        grid->addWidget(new QLabel(hint, parent), row, 2);
    }
    return edit;
}

// The client library takes narrow texts in the ANSI code page; a character the code page lacks
// would silently become "?" and a different login would be tried.
std::string narrow(const QLineEdit* field, const char* what) {
    const std::wstring wide = field->text().toStdWString();
    std::string text = tk_to_string(wide, -1);
    if (tk_to_wstring(text) != wide) {
        throw tk_exception(std::string("The ") + what +
                               " holds characters that the system's code page cannot write.",
                           1);
    }
    return text;
}

QString wide(const std::string& text) {
    return QString::fromStdWString(vlm_display_wide(text));
}

} // namespace

mysql_settings_page::mysql_settings_page(velmora_convertor& converter)
    : wizard_page(dialog_id, back | next, help_id, "Step 2 of 7", "Connect to MySQL server"),
      converter_(converter) {
    auto* column = new QVBoxLayout(this);
    auto* intro = new QLabel(
        "Provide necessary information to establish connection with MySQL server.", this);
    intro->setWordWrap(true);
    column->addWidget(intro);

    auto* mode_box = new QGroupBox(" Access mode ", this);
    auto* mode = new QHBoxLayout(mode_box);
    local_ = new QRadioButton("&Local", mode_box);
    local_->setObjectName("1329");
    remote_ = new QRadioButton("&Remote", mode_box);
    remote_->setObjectName("1330");
    mode->addWidget(local_);
    mode->addWidget(remote_);
    mode->addStretch();
    column->addWidget(mode_box);

    auto* login_box = new QGroupBox(" Authorization settings ", this);
    auto* login = new QGridLayout(login_box);
    user_ = add_field(login, 0, "&User name:", "1012", login_box);
    password_ = add_field(login, 1, "User pa&ssword:", "1013", login_box);
    password_->setEchoMode(QLineEdit::Password);
    column->addWidget(login_box);

    auto* remote_box = new QGroupBox(" Remote settings ", this);
    auto* remote = new QGridLayout(remote_box);
    host_ = add_field(remote, 0, "H&ost:", "1014", remote_box,
                      "(it could be network name or IP address)");
    port_ = add_field(remote, 1, "&Port:", "1015", remote_box, "(default MySQL port is 3306)");
    column->addWidget(remote_box);
    column->addStretch();

    connect(local_, &QRadioButton::clicked, this, [this] { set_remote(false); });
    connect(remote_, &QRadioButton::clicked, this, [this] { set_remote(true); });
}

void mysql_settings_page::set_remote(bool remote) {
    // Enabling gives each field the focus in turn, so the port ends with it.
    enable_ctrl("1014", remote);
    enable_ctrl("1015", remote);
}

bool mysql_settings_page::page_init() {
    tk_log_message(1, "sql_settings_page2::page_init");
    user_->setText(wide(converter_.user));
    password_->setText(wide(converter_.pswd));
    if (converter_.host.empty()) {
        local_->setChecked(true);
        set_remote(false);
    } else {
        remote_->setChecked(true);
        set_remote(true);
        host_->setText(wide(converter_.host));
        port_->setText(wide(converter_.port));
    }
    return true;
}

void mysql_settings_page::store_settings() {
    tk_log_message(1, "sql_settings_page2::store_settings");
    std::string port = "3306";
    std::string host;
    if (remote_->isChecked()) {
        host = narrow(host_, "host name");
        port = narrow(port_, "port");
    }
    const std::string user = narrow(user_, "user name");
    const std::string password = narrow(password_, "password");
    converter_.store_mysql_settings(host, user, password, port);
}

int mysql_settings_page::on_next() {
    tk_log_message(1, "sql_settings_page2::on_next");
    try {
        store_settings();
        converter_.connect_mysql_server();
        return move_on;
    } catch (const sql_auth_not_supported_exception& error) {
        wizard_page_error_narrow(error.what());
        if (wizard_shell* frame = shell()) {
            frame->display_help(auth_help_id);
        }
    } catch (const tk_exception& error) {
        std::string text;
        if (error_handler* handler = tk_singleton<error_handler>::pointer()) {
            text = handler->map.convert(error.code);
        }
        wizard_page_error_narrow(text.empty() ? error.what() : text);
        const int number = error.code & 0xFFFF;
        if (number == 1249 || number == 1250) {
            if (wizard_shell* frame = shell()) {
                frame->display_help(auth_help_id);
            }
        }
    }
    return stay;
}

int mysql_settings_page::on_back() {
    tk_log_message(2, "mysql_settings_page::on_back");
    try {
        store_settings();
    } catch (const tk_exception& error) {
        // What could not be stored stays in the fields; going back loses nothing else.
        wizard_page_error_narrow(error.what());
        return stay;
    }
    return 118;
}
