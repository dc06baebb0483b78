// The conversion settings page.
#include "common/cmn_convs.h"

#include "GUI2/g_wiz_sh.h"
#include "GUI2/g_wiz_ui.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "converter/vlm_conv.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace {

constexpr int max_text = 259;

const QString full_replication = "<Full Replication>";

QComboBox* add_combo(QGridLayout* grid, int row, const QString& label, const char* id,
                     QWidget* parent) {
    auto* combo = new QComboBox(parent);
    combo->setObjectName(id);
    combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    combo->setMinimumContentsLength(24);
    auto* caption = new QLabel(label, parent);
    caption->setBuddy(combo);
    grid->addWidget(caption, row, 0);
    grid->addWidget(combo, row, 1);
    return combo;
}

// The first item whose text begins with `start` without regard to case, searched from the
// second item to the end and then the first; -1 when none does.
int find_prefix_after_first(const QComboBox* combo, const QString& start) {
    const int count = combo->count();
    for (int step = 1; step <= count; ++step) {
        const int at = step % count;
        if (combo->itemText(at).startsWith(start, Qt::CaseInsensitive)) {
            return at;
        }
    }
    return -1;
}

QString field_text(const QComboBox* combo) {
    return combo->currentText().left(max_text);
}

} // namespace

conversion_settings::conversion_settings(velmora_convertor& converter)
    : wizard_page(dialog_id, back | next, help_id, "Step 4 of 7", "Conversion settings"),
      converter_(converter) {
    auto* column = new QVBoxLayout(this);
    auto* intro = new QLabel("On this wizard page you can specify conversion settings.", this);
    intro->setWordWrap(true);
    column->addWidget(intro);
    auto* grid = new QGridLayout;
    schema_ = add_combo(grid, 0, "MS SQL &schema:", "1306", this);
    schema_->setEditable(true);
    schema_->setInsertPolicy(QComboBox::NoInsert);
    schema_->lineEdit()->setMaxLength(max_text);
    charset_ = add_combo(grid, 1, "&MySQL character set:", "1303", this);
    engine_ = add_combo(grid, 2, "MySQL &engine type:", "1304", this);
    grid->setColumnStretch(1, 1);
    column->addLayout(grid);
    column->addSpacing(8);
    tab_def_ = new QCheckBox("&Do not migrate the data", this);
    tab_def_->setObjectName("1228");
    skip_idx_ = new QCheckBox("S&kip converting indexes", this);
    skip_idx_->setObjectName("1226");
    views_ = new QCheckBox("Convert &views", this);
    views_->setObjectName("1205");
    column->addWidget(tab_def_);
    column->addWidget(skip_idx_);
    column->addWidget(views_);
    column->addStretch();
}

bool conversion_settings::page_init() {
    tk_log_message(2, "conversion_settings::page_init");
    skip_idx_->setChecked(converter_.skip_idx);
    tab_def_->setChecked(converter_.tab_def);
    views_->setChecked(converter_.convert_views);

    const QString source = QString::fromStdWString(converter_.src);
    // Coming back with the same source keeps the list and whatever was typed into the field.
    if (schemas_source_.empty() ||
        QString::fromStdWString(schemas_source_).compare(source, Qt::CaseInsensitive) != 0) {
        schemas_ = converter_.get_mss_schemas(converter_.src);
        schema_->clear();
        schema_->addItem(full_replication);
        for (const std::wstring& name : schemas_) {
            tk_log_wmessage(1, L"Add MS SQL schema: %ls", name.c_str());
            schema_->addItem(QString::fromStdWString(name));
        }
        schemas_source_ = converter_.src;
    }
    if (!converter_.mss_schema.empty()) {
        const QString stored = QString::fromStdWString(converter_.mss_schema);
        for (int i = 0; i < schema_->count(); ++i) {
            if (schema_->itemText(i).startsWith(stored, Qt::CaseInsensitive)) {
                schema_->setCurrentIndex(i);
                break;
            }
        }
    } else {
        schema_->setCurrentIndex(0);
    }

    if (!lists_filled_) {
        tk_log_message(1, "Initializing charset combobox");
        charset_->clear();
        for (const std::wstring& entry : converter_.sql->get_charsets()) {
            charset_->addItem(QString::fromStdWString(entry));
        }
        tk_log_message(1, "Initializing engines combobox");
        engine_->clear();
        for (const std::wstring& entry : converter_.sql->get_storage_engines()) {
            engine_->addItem(QString::fromStdWString(entry));
        }
        // As filled, neither list has a choice: a stored value none of the items matches keeps
        // the field empty, and storing then leaves the engine's value as it was.
        charset_->setCurrentIndex(-1);
        engine_->setCurrentIndex(-1);
        lists_filled_ = true;
    }
    if (const int at =
            find_prefix_after_first(charset_, QString::fromStdWString(converter_.sql->charset));
        at >= 0) {
        charset_->setCurrentIndex(at);
        charset_shown_ = charset_->itemText(at);
    } else {
        charset_shown_.clear();
    }
    if (const int at = find_prefix_after_first(
            engine_, QString::fromStdWString(converter_.sql->storage_engine));
        at >= 0) {
        engine_->setCurrentIndex(at);
    }
    return true;
}

void conversion_settings::store_file_info() {
    tk_log_message(1, "conversion_settings::store_file_info");
    converter_.tab_def = tab_def_->isChecked();
    converter_.skip_idx = skip_idx_->isChecked();
    converter_.convert_views = views_->isChecked();

    std::wstring schema;
    // The field shows the item's text, so a typed "<Full Replication>" means every schema too.
    if (schema_->currentIndex() == 0 && schema_->currentText() == full_replication) {
        tk_log_message(2, "<Full Replication>");
    } else {
        schema = field_text(schema_).toStdWString();
        if (schema.empty()) {
            tk_log_message(2, "Failed to exract MS SQL schema");
        }
    }
    converter_.mss_schema = schema;
    converter_.set_view_owned(!schema.empty());

    const QString charset = field_text(charset_);
    tk_log_wmessage(1, L"got charset1=%ls", charset.toStdWString().c_str());
    if (charset.isEmpty()) {
        tk_log_message(2, "Failed to exract text from charset COMBO");
    } else if (charset == charset_shown_) {
        // The entry the page chose for the stored name may be a longer one ("utf8" shows as
        // MariaDB's "utf8mb3", which refuses characters outside the BMP while "utf8" becomes
        // utf8mb4): an untouched choice keeps the stored name.
        tk_log_wmessage(1, L"charset kept=%ls", converter_.sql->charset.c_str());
    } else {
        converter_.sql->charset =
            charset.section(' ', 0, 0, QString::SectionSkipEmpty).toStdWString();
        tk_log_wmessage(1, L"got charset2=%ls", converter_.sql->charset.c_str());
    }
    const QString engine = field_text(engine_);
    tk_log_wmessage(1, L"got tab_type=%ls", engine.toStdWString().c_str());
    if (engine.isEmpty()) {
        tk_log_message(2, "Failed to exract text from engines COMBO");
    } else {
        converter_.sql->storage_engine = engine.toStdWString();
    }
}

int conversion_settings::on_next() {
    tk_log_message(2, "conversion_settings::on_next");
    store_file_info();
    // A schema the source lacks would select no table; say so while it can still be changed.
    try {
        converter_.check_schema_of_source();
    } catch (const tk_exception& error) {
        wizard_page_error_narrow(error.what());
        return stay;
    }
    converter_.set_view_owned(false);
    return move_on;
}

int conversion_settings::on_back() {
    tk_log_message(2, "conversion_settings::on_back");
    store_file_info();
    return move_on;
}
