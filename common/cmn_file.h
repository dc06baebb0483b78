// The page that names the source database, the destination (MySQL database or script file) and
// the trace log, and settles what happens to an existing destination.
#pragma once

#include "GUI2/g_wiz_pg.h"

#include <QComboBox>

#include <functional>
#include <string>

class QLabel;
class QLineEdit;
class QPushButton;
class velmora_convertor;

// An editable combo box that tells its owner before its list drops down.
class dropdown_combo : public QComboBox {
public:
    explicit dropdown_combo(QWidget* parent) : QComboBox(parent) {}
    std::function<void()> on_dropdown;
    void showPopup() override;
};

class sel_file_page : public wizard_page {
public:
    static constexpr int dialog_id = 106;
    static constexpr int help_id = 1016;
    static constexpr int overwrite_help_id = 1014;
    static constexpr int mysql_page = 123;
    static constexpr int script_page = 102;

    explicit sel_file_page(velmora_convertor& converter);

    bool page_init() override;
    int on_next() override;
    int on_back() override;

    // The source database box's text, at most 259 characters.
    std::wstring get_sql_title() const;
    // The three names into the converter; an unusable log file name throws (level 1).
    void store_file_info();
    // First drop-down: the server's databases; then the converter's source chosen in the list.
    void on_dropdown();
    // A database chosen in the list: a destination proposed, the earlier selections emptied.
    void on_sel_change();
    void on_browse_dump();
    void on_browse_log();

    bool listed() const { return listed_; }

private:
    int check_destination();
    int check_script_file();
    int check_mysql_database();

    velmora_convertor& converter_;
    bool listed_ = false;
    dropdown_combo* source_;
    QLabel* dest_label_;
    QLineEdit* dest_;
    QPushButton* browse_dump_;
    QLineEdit* log_;
};
