// The MySQL settings page: local or remote server, login; its Next connects.
#pragma once

#include "GUI2/g_wiz_pg.h"

class QLineEdit;
class QRadioButton;
class velmora_convertor;

class mysql_settings_page : public wizard_page {
public:
    static constexpr int dialog_id = 123;
    static constexpr int help_id = 1011;
    // The help topic of authentication problems.
    static constexpr int auth_help_id = 1018;

    explicit mysql_settings_page(velmora_convertor& converter);

    bool page_init() override;
    // Stores and connects: goes on only when connected; a failure is shown and keeps the page.
    int on_next() override;
    // Stores, then back to the MS SQL settings page past the script-file page.
    int on_back() override;
    void store_settings();

private:
    void set_remote(bool remote);

    velmora_convertor& converter_;
    QRadioButton* local_;
    QRadioButton* remote_;
    QLineEdit* user_;
    QLineEdit* password_;
    QLineEdit* host_;
    QLineEdit* port_;
};
