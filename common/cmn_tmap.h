// The "Edit Table" dialog: how one source table is converted (its destination name, and for
// each column its name, MySQL type, default, size, and whether it is converted at all). It
// shows the edits the converter already holds for the table and writes the user's back on OK.
#pragma once

#include "SQL/sql_mut.h"

#include <QDialog>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QTreeWidget;
class QTreeWidgetItem;
class udb_schema;
class velmora_convertor;

// Reads a type-mapping file into `config` unless it holds entries already: from the working
// directory first, then beside the program. Throws (level 1) "Cannot find <name>. Custom type
// mapping is not available." when neither can be read.
void vlm_load_type_file(tk_yaml_config& config, const char* name);

class types_map_dlg : public QDialog {
public:
    static constexpr int help_id = 1024;

    // Reads the table's columns from the source; its failures pass to the caller.
    types_map_dlg(velmora_convertor& converter, const std::wstring& table, QWidget* owner);
    // With the table's columns given.
    types_map_dlg(velmora_convertor& converter, const std::wstring& table,
                  std::unique_ptr<udb_schema> schema, QWidget* owner);
    ~types_map_dlg() override;

    // Fills the dialog and runs it; a type-mapping file that cannot be read is reported and the
    // dialog closes without saving. QDialog::Accepted when OK saved (or had nothing to save).
    int run();

    // One column's edit. A size of -1 is an empty field.
    struct edit {
        std::wstring new_name;
        std::wstring type;
        std::wstring default_value;
        std::int64_t length = -1;
        std::int32_t scale = -1;
        std::int32_t precision = -1;
        std::int32_t status = udb_mutators::changed;
    };

    // What a test looks at.
    QTreeWidget* columns() const { return list_; }
    const std::map<std::wstring, edit>& edits() const { return edits_; }

private:
    bool on_init();
    void load_edits();
    void add_item(int row);
    bool set_available_conversions(int row);
    void select_type(const std::wstring& type);
    void show_row(int row);
    void show_base_type(int row);
    bool read_row(edit& out);
    bool store_row(int row);
    void on_current_changed(QTreeWidgetItem* current, QTreeWidgetItem* previous);
    void on_item_changed(QTreeWidgetItem* item, int column);
    bool show_ctrl();
    void on_ok();
    // A type-mapping file failed: the message, then the dialog closes at once.
    void fail(const char* text);

    const std::wstring& source_name(int row) const;
    int selected_row() const;
    bool ticked(int row) const;

    velmora_convertor& converter_;
    std::wstring table_name_;
    std::unique_ptr<udb_schema> schema_;
    std::wstring new_table_name_;
    bool initialized_ = false;
    bool reverting_ = false;
    bool closed_ = false;
    std::vector<bool> ticks_;
    std::map<std::wstring, edit> edits_;
    std::map<std::wstring, sql_native_type> base_types_;

    QTreeWidget* list_;
    QLineEdit* table_edit_;
    QLineEdit* name_edit_;
    QComboBox* type_combo_;
    QLineEdit* default_edit_;
    QLabel* length_label_;
    QLineEdit* length_edit_;
    QLabel* precision_label_;
    QLineEdit* precision_edit_;
    QLabel* scale_label_;
    QLineEdit* scale_edit_;
};
