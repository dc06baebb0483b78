// The welcome page.
#include "common/cmn_welc.h"

#include "GUI2/g_finish.h"
#include "TK/tk_log.h"
#include "converter/vlm_conv.h"
#include "converter/vlm_errh.h"

#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace {

QLabel* add_label(QVBoxLayout* column, const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    column->addWidget(label);
    return label;
}

} // namespace

welcome_page::welcome_page(velmora_convertor& converter, const std::wstring& extension)
    : wizard_page(dialog_id, next, help_id), converter_(converter), extension_(extension) {
    auto* column = new QVBoxLayout(this);
    QLabel* heading = add_label(column, "Velmora Migration Wizard", this);
    heading->setObjectName("1337");
    QFont heading_font = heading->font();
    heading_font.setPointSize(13);
    heading->setFont(heading_font);
    add_label(column,
              "This wizard helps you to migrate database from Microsoft SQL Server or Azure SQL "
              "to MySQL, MariaDB or Percona.",
              this);
    column->addSpacing(8);
    QLabel* check = add_label(column, "Before starting migration please check:", this);
    check->setObjectName("1340");
    QFont bold = check->font();
    bold.setBold(true);
    check->setFont(bold);
    add_label(column, "- you can connect to source and target database servers", this);
    add_label(column,
              "- you have sufficient privileges to read MS SQL schema information and data, "
              "create objects and insert data on the target MySQL server",
              this);
    add_label(column,
              "- the max_allowed_packet parameter of MySQL server is large enough to fit the "
              "largest migrated value (BLOB,TEXT)",
              this);
    column->addSpacing(8);
    add_label(column, "Select conversion scenario:", this);
    direct_ = new QRadioButton("&Migrate to MySQL server directly", this);
    direct_->setObjectName("1329");
    script_ = new QRadioButton("&Export into MySQL script file", this);
    script_->setObjectName("1330");
    column->addWidget(direct_);
    column->addWidget(script_);
    column->addStretch();
    auto* load = new QPushButton("&Load Settings...", this);
    load->setObjectName("1115");
    load->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
    column->addWidget(load);
    connect(load, &QPushButton::clicked, this, [this] { on_load(); });
}

bool welcome_page::page_init() {
    tk_log_message(2, "welcome_page::show");
    check_mode();
    return true;
}

void welcome_page::check_mode() {
    (converter_.direct ? direct_ : script_)->setChecked(true);
}

int welcome_page::on_next() {
    tk_log_message(2, "welcome_page::on_next");
    converter_.direct = direct_->isChecked();
    tk_log_message(1, "settind direct_mode to %d", converter_.direct ? 1 : 0);
    return move_on;
}

void welcome_page::on_load() {
    try {
        load_profile_dialog(this, converter_, extension_);
        check_mode();
    } catch (const tk_exception& error) {
        tk_singleton<error_handler>::ref().handle(error, false);
    }
}
