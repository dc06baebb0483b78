// The type-mapping dialog.
#include "common/cmn_tmap.h"

#include "GUI2/g_wiz_sh.h"
#include "GUI2/g_wiz_ui.h"
#include "SQL/sql_tchk.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "UDB/udb_schema.h"
#include "converter/vlm_conv.h"

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <string>

namespace {

constexpr int max_name = 1023;

QString q(const std::wstring& text) {
    return QString::fromStdWString(text);
}

// The type name before its first "(".
std::wstring bare_type(const std::wstring& type) {
    return type.substr(0, type.find(L'('));
}

std::int64_t read_number(const QLineEdit* field) {
    const QString text = field->text().trimmed();
    if (text.isEmpty()) {
        return -1;
    }
    bool ok = false;
    const qlonglong value = text.toLongLong(&ok);
    return ok ? value : -1;
}

QLineEdit* add_field(QGridLayout* grid, int row, int column, const QString& label, const char* id,
                     QWidget* parent, QLabel** caption_out = nullptr) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(id);
    auto* caption = new QLabel(label, parent);
    caption->setBuddy(edit);
    grid->addWidget(caption, row, column);
    grid->addWidget(edit, row, column + 1);
    if (caption_out != nullptr) {
        *caption_out = caption;
    }
    return edit;
}

bool is_listed(const std::vector<std::wstring>& words, const QString& word) {
    for (const std::wstring& listed : words) {
        if (q(listed).trimmed().compare(word, Qt::CaseInsensitive) == 0) {
            return true;
        }
    }
    return false;
}

// The entry of a type: its own key, else a key equal without regard to case.
const std::vector<std::wstring>* entry_of(const tk_yaml_config& config, const std::wstring& type) {
    if (const auto it = config.find(type); it != config.end()) {
        return &it->second;
    }
    for (const auto& [key, items] : config) {
        if (q(key).compare(q(type), Qt::CaseInsensitive) == 0) {
            return &items;
        }
    }
    return nullptr;
}

} // namespace

void vlm_load_type_file(tk_yaml_config& config, const char* name) {
    if (!config.empty()) {
        return;
    }
    // The working directory first; a desktop start has the home folder there, so the files
    // installed beside the program come next. A folder of that name is no file.
    std::vector<std::string> places{name};
    if (QCoreApplication::instance() != nullptr) {
        places.push_back((QCoreApplication::applicationDirPath() + "/" + name).toStdString());
    }
    for (const std::string& path : places) {
        if (QFileInfo(QString::fromStdString(path)).isFile() &&
            config.load(path.c_str(), sql_db_mutator::empty_map())) {
            return;
        }
    }
    throw tk_exception(
        std::string("Cannot find ") + name + ". Custom type mapping is not available.", 1);
}

types_map_dlg::types_map_dlg(velmora_convertor& converter, const std::wstring& table,
                             QWidget* owner)
    : types_map_dlg(converter, table, converter.get_schema(table), owner) {
}

types_map_dlg::types_map_dlg(velmora_convertor& converter, const std::wstring& table,
                             std::unique_ptr<udb_schema> schema, QWidget* owner)
    : QDialog(owner), converter_(converter), table_name_(table), schema_(std::move(schema)) {
    tk_log_message(1, "types_map_dlg::types_map_dlg");
    setObjectName("135");
    setWindowTitle("Edit Table");
    auto* column = new QVBoxLayout(this);

    auto* table_box = new QGroupBox(" Table info ", this);
    auto* table_grid = new QGridLayout(table_box);
    table_edit_ = add_field(table_grid, 0, 0, "&Name:", "1003", table_box);
    table_edit_->setMaxLength(max_name);
    column->addWidget(table_box);

    list_ = new QTreeWidget(this);
    list_->setObjectName("1316");
    list_->setRootIsDecorated(false);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setHeaderLabels({"", "Field Name", "Field Type", "Default value"});
    list_->setMinimumHeight(140);
    column->addWidget(list_, 1);

    auto* field_box = new QGroupBox(" Field info ", this);
    auto* grid = new QGridLayout(field_box);
    name_edit_ = add_field(grid, 0, 0, "N&ame:", "1004", field_box);
    name_edit_->setMaxLength(max_name);
    type_combo_ = new QComboBox(field_box);
    type_combo_->setObjectName("1302");
    type_combo_->setMinimumContentsLength(18);
    auto* type_label = new QLabel("&Type:", field_box);
    type_label->setBuddy(type_combo_);
    grid->addWidget(type_label, 0, 2);
    grid->addWidget(type_combo_, 0, 3);
    default_edit_ = add_field(grid, 1, 0, "&Default:", "1005", field_box);
    // The length and the precision share one place: a type takes one or the other.
    length_edit_ = add_field(grid, 1, 2, "&Length:", "1006", field_box, &length_label_);
    length_label_->setObjectName("1340");
    precision_edit_ = add_field(grid, 1, 2, "&Prec.:", "1007", field_box, &precision_label_);
    precision_label_->setObjectName("1341");
    scale_edit_ = add_field(grid, 2, 2, "&Scale:", "1008", field_box, &scale_label_);
    scale_label_->setObjectName("1342");
    // Sizes are whole numbers; anything else could not be stored.
    auto* digits = new QRegularExpressionValidator(QRegularExpression("[0-9]{0,10}"), this);
    for (QLineEdit* size : {length_edit_, precision_edit_, scale_edit_}) {
        size->setValidator(digits);
    }
    for (QWidget* hidden :
         {static_cast<QWidget*>(precision_label_), static_cast<QWidget*>(precision_edit_),
          static_cast<QWidget*>(scale_label_), static_cast<QWidget*>(scale_edit_)}) {
        hidden->hide();
    }
    column->addWidget(field_box);

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* ok = buttons->addButton(QDialogButtonBox::Ok);
    ok->setObjectName("1");
    buttons->addButton(QDialogButtonBox::Cancel)->setObjectName("2");
    QPushButton* help = buttons->addButton(QDialogButtonBox::Help);
    help->setObjectName("9");
    column->addWidget(buttons);

    connect(ok, &QPushButton::clicked, this, [this] { on_ok(); });
    connect(buttons, &QDialogButtonBox::rejected, this, [this] {
        tk_log_message(1, "types_map_dlg::on_cancel");
        reject();
    });
    connect(help, &QPushButton::clicked, this, [] {
        if (wizard_shell* frame = tk_singleton<wizard_shell>::pointer()) {
            frame->display_help(help_id);
        }
    });
    connect(list_, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* current, QTreeWidgetItem* previous) {
                on_current_changed(current, previous);
            });
    connect(list_, &QTreeWidget::itemChanged, this,
            [this](QTreeWidgetItem* item, int at) { on_item_changed(item, at); });
    connect(type_combo_, &QComboBox::currentIndexChanged, this, [this] {
        if (initialized_) {
            show_ctrl();
        }
    });
    resize(640, 460);
}

types_map_dlg::~types_map_dlg() = default;

int types_map_dlg::run() {
    if (!on_init()) {
        return QDialog::Rejected;
    }
    return exec();
}

const std::wstring& types_map_dlg::source_name(int row) const {
    return (*schema_)[static_cast<std::size_t>(row)]->name;
}

int types_map_dlg::selected_row() const {
    QTreeWidgetItem* item = list_->currentItem();
    return item != nullptr ? list_->indexOfTopLevelItem(item) : -1;
}

bool types_map_dlg::ticked(int row) const {
    return list_->topLevelItem(row)->checkState(0) == Qt::Checked;
}

bool types_map_dlg::on_init() {
    tk_log_message(1, "types_map_dlg::on_init");
    table_edit_->setText(q(table_name_));
    load_edits();
    for (int row = 0; row < static_cast<int>(schema_->size()); ++row) {
        add_item(row);
    }
    ticks_.clear();
    for (int row = 0; row < list_->topLevelItemCount(); ++row) {
        const auto it = edits_.find(source_name(row));
        const bool tick = it == edits_.end() || it->second.status != udb_mutators::deleted;
        list_->topLevelItem(row)->setCheckState(0, tick ? Qt::Checked : Qt::Unchecked);
        ticks_.push_back(tick);
    }
    for (int at = 0; at < list_->columnCount(); ++at) {
        list_->resizeColumnToContents(at);
    }
    if (list_->topLevelItemCount() > 0) {
        list_->setCurrentItem(list_->topLevelItem(0));
        list_->scrollToItem(list_->topLevelItem(0));
        if (!set_available_conversions(0)) {
            return false;
        }
        show_row(0);
        // The size fields match the first row's type from the start.
        if (!show_ctrl()) {
            return false;
        }
    }
    initialized_ = true;
    return true;
}

void types_map_dlg::load_edits() {
    sql_table_mutator* mutator = converter_.get_table_mutator3(table_name_);
    if (mutator == nullptr) {
        new_table_name_ = table_name_;
        table_edit_->setText(q(new_table_name_));
        return;
    }
    new_table_name_ = mutator->new_name;
    table_edit_->setText(q(new_table_name_));
    for (const auto& [name, field] : mutator->field_mutators) {
        edit stored;
        stored.new_name = field->new_name;
        stored.type = bare_type(field->native_type.type);
        stored.default_value = field->native_type.default_value;
        stored.length = static_cast<std::int64_t>(field->native_type.length);
        stored.scale = field->native_type.scale;
        stored.precision = field->native_type.precision;
        stored.status = field->status;
        edits_[name] = stored;
    }
}

void types_map_dlg::add_item(int row) {
    tk_log_message(1, "types_map_dlg::add_item");
    t_ftd& column = *(*schema_)[static_cast<std::size_t>(row)];
    sql_native_type base;
    converter_.get_native_type(column, base);
    auto* item = new QTreeWidgetItem;
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setText(1, q(column.name));
    item->setText(2, q(column.native_type));
    item->setText(3, q(base.default_value));
    list_->addTopLevelItem(item);
    base_types_[column.name] = base;
}

bool types_map_dlg::set_available_conversions(int row) {
    tk_log_message(1, "types_map_dlg::set_available_conversions(%d)", row);
    const std::wstring& name = source_name(row);
    const auto edited = edits_.find(name);
    const std::wstring current =
        edited != edits_.end() ? edited->second.type : base_types_[name].type;
    try {
        vlm_load_type_file(types_map, sql_map);
    } catch (const tk_exception& error) {
        fail(error.what());
        return false;
    }
    const QSignalBlocker quiet(type_combo_);
    type_combo_->clear();
    if (const std::vector<std::wstring>* targets = entry_of(types_map, current)) {
        for (const std::wstring& target : *targets) {
            // A type goes into CREATE TABLE as it stands: an item that is no MySQL type form
            // ("INT; DROP ...") is junk and is not offered, as a saved profile would refuse it.
            if (sql_is_mapped_type(target)) {
                type_combo_->addItem(q(target));
            }
        }
    }
    type_combo_->setCurrentIndex(-1);
    return true;
}

void types_map_dlg::select_type(const std::wstring& type) {
    const QSignalBlocker quiet(type_combo_);
    type_combo_->setCurrentIndex(
        type_combo_->findText(q(type), Qt::MatchFixedString)); // case-insensitive
}

void types_map_dlg::show_row(int row) {
    const auto it = edits_.find(source_name(row));
    if (it == edits_.end()) {
        show_base_type(row);
        return;
    }
    const edit& shown = it->second;
    name_edit_->setText(q(shown.new_name));
    select_type(shown.type);
    default_edit_->setText(q(shown.default_value));
    length_edit_->setText(shown.length < 0 ? QString() : QString::number(shown.length));
    precision_edit_->setText(shown.precision < 0 ? QString() : QString::number(shown.precision));
    scale_edit_->setText(shown.scale < 0 ? QString() : QString::number(shown.scale));
}

void types_map_dlg::show_base_type(int row) {
    const std::wstring& name = source_name(row);
    const sql_native_type& base = base_types_[name];
    name_edit_->setText(q(name));
    select_type(bare_type(base.type));
    default_edit_->setText(q(base.default_value));
    length_edit_->setText(base.length < 65536 ? QString::number(base.length) : QString());
    scale_edit_->setText(QString::number(base.scale));
    precision_edit_->setText(QString::number(base.precision));
}

bool types_map_dlg::read_row(edit& out) {
    out.new_name = name_edit_->text().left(max_name).toStdWString();
    if (out.new_name.empty()) {
        wizard_shell::message(L"Name cannot be empty. Try again.");
        return false;
    }
    out.type = type_combo_->currentText().toStdWString();
    out.default_value = default_edit_->text().toStdWString();
    out.length = read_number(length_edit_);
    out.precision = static_cast<std::int32_t>(read_number(precision_edit_));
    out.scale = static_cast<std::int32_t>(read_number(scale_edit_));
    out.status = udb_mutators::changed;
    return true;
}

bool types_map_dlg::store_row(int row) {
    if (!initialized_ || row < 0) {
        return true;
    }
    edit read;
    if (!read_row(read)) {
        return false;
    }
    const std::wstring& name = source_name(row);
    const sql_native_type& base = base_types_[name];
    const auto stored = edits_.find(name);
    // A type that "sql.map" does not offer for the column leaves the combo without a choice:
    // the column keeps the type it has.
    if (read.type.empty()) {
        read.type = stored != edits_.end() ? stored->second.type : bare_type(base.type);
    }
    read.status = ticked(row) ? udb_mutators::changed : udb_mutators::deleted;
    const std::int64_t base_length =
        base.length < 65536 ? static_cast<std::int64_t>(base.length) : -1;
    const bool is_base = read.new_name == name && read.type == bare_type(base.type) &&
                         read.default_value == base.default_value && read.length == base_length &&
                         read.scale == base.scale && read.precision == base.precision &&
                         read.status == udb_mutators::changed;
    // A row brought back to its base type replaces an edit stored before, so that OK writes the
    // base values over the earlier ones.
    if (is_base && stored == edits_.end()) {
        return true;
    }
    edits_[name] = read;
    return true;
}

void types_map_dlg::on_current_changed(QTreeWidgetItem* current, QTreeWidgetItem* previous) {
    if (!initialized_ || reverting_ || closed_) {
        return;
    }
    tk_log_message(1, "types_map_dlg::on_item_changing");
    if (previous != nullptr && !store_row(list_->indexOfTopLevelItem(previous))) {
        // The row whose edit failed keeps the selection.
        reverting_ = true;
        list_->setCurrentItem(previous);
        reverting_ = false;
        return;
    }
    if (current == nullptr) {
        return;
    }
    const int row = list_->indexOfTopLevelItem(current);
    tk_log_message(1, "Row #%d is selected", row);
    const t_ftd& column = *(*schema_)[static_cast<std::size_t>(row)];
    name_edit_->setText(q(column.name));
    if (column.type == VT_BSTR && column.size >= 1 && column.size <= 9999) {
        length_edit_->setText(QString::number(column.size));
    }
    if (!set_available_conversions(row)) {
        return;
    }
    show_row(row);
    show_ctrl();
}

void types_map_dlg::on_item_changed(QTreeWidgetItem* item, int column) {
    if (!initialized_ || reverting_ || closed_ || column != 0) {
        return;
    }
    const int row = list_->indexOfTopLevelItem(item);
    if (row < 0 || ticked(row) == ticks_[static_cast<std::size_t>(row)]) {
        return;
    }
    const bool tick = ticked(row);
    tk_log_message(1, "types_map_dlg::on_item_changed");
    const std::wstring& name = source_name(row);
    edit read;
    if (row == selected_row()) {
        if (!read_row(read)) {
            reverting_ = true;
            item->setCheckState(0, ticks_[static_cast<std::size_t>(row)] ? Qt::Checked
                                                                         : Qt::Unchecked);
            reverting_ = false;
            return;
        }
        if (read.type.empty()) {
            const auto stored = edits_.find(name);
            read.type =
                stored != edits_.end() ? stored->second.type : bare_type(base_types_[name].type);
        }
    } else if (const auto stored = edits_.find(name); stored != edits_.end()) {
        // The editors show another row: this row keeps its own values.
        read = stored->second;
    } else {
        const sql_native_type& base = base_types_[name];
        read.new_name = name;
        read.type = bare_type(base.type);
        read.default_value = base.default_value;
        read.length = base.length < 65536 ? static_cast<std::int64_t>(base.length) : -1;
        read.scale = base.scale;
        read.precision = base.precision;
    }
    ticks_[static_cast<std::size_t>(row)] = tick;
    read.status = tick ? udb_mutators::changed : udb_mutators::deleted;
    edits_[name] = read;
    show_ctrl();
}

bool types_map_dlg::show_ctrl() {
    const QString type = type_combo_->currentText();
    try {
        vlm_load_type_file(types_props, sql_typ);
    } catch (const tk_exception& error) {
        fail(error.what());
        return false;
    }
    const std::vector<std::wstring>* words = entry_of(types_props, type.toStdWString());
    const std::vector<std::wstring> none;
    const std::vector<std::wstring>& listed = words != nullptr ? *words : none;
    const bool length = is_listed(listed, "LENGTH");
    const bool decimal = is_listed(listed, "PRECISION") && is_listed(listed, "SCALE");
    length_label_->setVisible(length);
    length_edit_->setVisible(length);
    for (QWidget* control :
         {static_cast<QWidget*>(precision_label_), static_cast<QWidget*>(precision_edit_),
          static_cast<QWidget*>(scale_label_), static_cast<QWidget*>(scale_edit_)}) {
        control->setVisible(decimal);
    }
    return true;
}

void types_map_dlg::fail(const char* text) {
    // The dialog closes on it: an error of the process, not a check of what was typed.
    wizard_page_error_narrow(text);
    closed_ = true;
    done(QDialog::Rejected);
}

void types_map_dlg::on_ok() {
    tk_log_message(1, "types_map_dlg::on_ok");
    tk_log_message(1, "types_map_dlg::save_to_mutator");
    if (!store_row(selected_row())) {
        return;
    }
    const std::wstring new_name = table_edit_->text().left(max_name).toStdWString();
    if (new_name.empty()) {
        wizard_shell::message(L"Name cannot be empty. Try again.");
        return;
    }
    if (new_name == new_table_name_ && edits_.empty()) {
        accept();
        return;
    }
    sql_table_mutator* mutator = converter_.get_table_mutator2(table_name_, new_name);
    for (int row = 0; row < list_->topLevelItemCount(); ++row) {
        const std::wstring& name = source_name(row);
        const auto it = edits_.find(name);
        if (it == edits_.end()) {
            continue;
        }
        const edit& chosen = it->second;
        const sql_native_type& base = base_types_[name];
        sql_native_type type;
        type.type = chosen.type;
        type.default_value = chosen.default_value;
        // An empty size keeps the column's own.
        type.length = chosen.length < 0 ? base.length : static_cast<std::uint64_t>(chosen.length);
        type.scale = chosen.scale < 0 ? base.scale : chosen.scale;
        type.precision = chosen.precision < 0 ? base.precision : chosen.precision;
        sql_field_mutator* field = mutator->update_field(name, chosen.new_name, type);
        field->status = chosen.status;
        tk_log_message(1, "fm->status=%d", field->status);
    }
    accept();
}
