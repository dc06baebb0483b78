// The script-file options page: the server version the script is written for, its line
// breaks and what it holds besides the rows.
#pragma once

#include "GUI2/g_wiz_pg.h"

class QCheckBox;
class QRadioButton;
class velmora_convertor;

class dump_page : public wizard_page {
public:
    static constexpr int dialog_id = 102;
    static constexpr int help_id = 1021;

    explicit dump_page(velmora_convertor& converter);

    bool page_init() override;
    // Both store; Next goes on past the MySQL settings page.
    int on_next() override;
    int on_back() override;
    // The controls into the converter's script options and the MySQL engine's version word.
    void store_settings();

private:
    velmora_convertor& converter_;
    QRadioButton* new_version_;
    QRadioButton* old_version_;
    QRadioButton* crlf_;
    QRadioButton* lf_;
    QCheckBox* lock_;
    QCheckBox* create_db_;
    QCheckBox* create_tables_;
    QCheckBox* comments_;
};
