// The script-file options page.
#include "common/cmn_dump.h"

#include "TK/tk_log.h"
#include "converter/vlm_conv.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QRadioButton>
#include <QVBoxLayout>

namespace {

QRadioButton* add_radio(QVBoxLayout* group, const QString& text, const char* id, QWidget* parent) {
    auto* radio = new QRadioButton(text, parent);
    radio->setObjectName(id);
    group->addWidget(radio);
    return radio;
}

QCheckBox* add_check(QVBoxLayout* column, const QString& text, const char* id, QWidget* parent) {
    auto* box = new QCheckBox(text, parent);
    box->setObjectName(id);
    column->addWidget(box);
    return box;
}

} // namespace

dump_page::dump_page(velmora_convertor& converter)
    : wizard_page(dialog_id, back | next, help_id, "Step 2 of 7", "MySQL dump file settings"),
      converter_(converter) {
    auto* column = new QVBoxLayout(this);
    auto* intro =
        new QLabel("On this page you can specify how to format output MySQL dump file.", this);
    intro->setWordWrap(true);
    column->addWidget(intro);

    auto* version_box = new QGroupBox(" MySQL server version: ", this);
    auto* version = new QVBoxLayout(version_box);
    new_version_ = add_radio(version, "n&ew (4.1 or higher)", "1329", version_box);
    old_version_ = add_radio(version, "&old (before 4.1)", "1330", version_box);
    column->addWidget(version_box);

    auto* breaks_box = new QGroupBox(" Line breaks: ", this);
    auto* breaks = new QVBoxLayout(breaks_box);
    crlf_ = add_radio(breaks, "MS &Windows style (\\r\\n)", "1331", breaks_box);
    lf_ = add_radio(breaks, "Uni&x style (\\n)", "1332", breaks_box);
    column->addWidget(breaks_box);

    lock_ = add_check(column, "&Add lock for write around 'INSERT' statements", "1202", this);
    create_db_ = add_check(column, "Insert 'CREATE &DATABASE' statement", "1203", this);
    create_tables_ = add_check(column, "Insert 'CREATE &TABLE' statements", "1204", this);
    comments_ = add_check(column, "Insert &comments", "1205", this);
    column->addStretch();
    // CREATE DATABASE only makes sense in a script that creates its tables; its tick stays.
    connect(create_tables_, &QCheckBox::toggled, this,
            [this](bool on) { enable_ctrl("1203", on); });
}

bool dump_page::page_init() {
    tk_log_message(1, "sql_dump_page<t_converter>::page_init");
    const dump_options& options = converter_.dump_opts;
    (options.new_version ? new_version_ : old_version_)->setChecked(true);
    (options.line_breaks == 0 ? crlf_ : lf_)->setChecked(true);
    lock_->setChecked(options.lock_tables);
    create_db_->setChecked(options.create_database);
    create_tables_->setChecked(options.create_tables);
    comments_->setChecked(options.comments);
    enable_ctrl("1203", options.create_tables);
    return true;
}

void dump_page::store_settings() {
    dump_options& options = converter_.dump_opts;
    options.lock_tables = lock_->isChecked();
    options.create_database = create_db_->isChecked();
    options.create_tables = create_tables_->isChecked();
    options.comments = comments_->isChecked();
    options.new_version = new_version_->isChecked();
    // Every later MySQL-side rule of the run follows the version chosen here.
    converter_.sql->version = options.new_version ? 0x40100 : 0x31401;
    options.line_breaks = crlf_->isChecked() ? 0 : 1;
}

int dump_page::on_next() {
    tk_log_message(2, "dump_page::on_next");
    store_settings();
    return 106;
}

int dump_page::on_back() {
    tk_log_message(2, "dump_page::on_back");
    store_settings();
    return move_on;
}
