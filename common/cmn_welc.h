// The welcome page: the product, what to check before a migration, the destination kind, and
// loading a profile.
#pragma once

#include "GUI2/g_wiz_pg.h"

#include <string>

class QRadioButton;
class velmora_convertor;

class welcome_page : public wizard_page {
public:
    static constexpr int dialog_id = 103;
    static constexpr int help_id = 1013;

    // `extension`: the profile files' extension without the dot ("vlm").
    welcome_page(velmora_convertor& converter, const std::wstring& extension);

    bool page_init() override;
    int on_next() override;
    // Sets the radios from the converter's destination kind.
    void check_mode();
    // "&Load Settings...": a profile into the converter, then the radios again.
    void on_load();
    velmora_convertor& converter() const { return converter_; }

private:
    velmora_convertor& converter_;
    std::wstring extension_;
    QRadioButton* direct_;
    QRadioButton* script_;
};
