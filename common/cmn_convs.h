// The conversion settings page: the MS SQL schema to convert, the character set and storage
// engine of the new tables, and what is converted.
#pragma once

#include "GUI2/g_wiz_pg.h"

#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class velmora_convertor;

class conversion_settings : public wizard_page {
public:
    static constexpr int dialog_id = 110;
    static constexpr int help_id = 1025;

    explicit conversion_settings(velmora_convertor& converter);

    bool page_init() override;
    // Both store; Next also clears the engine's "views owned by the user" flag.
    int on_next() override;
    int on_back() override;
    void store_file_info();

private:
    velmora_convertor& converter_;
    // The source database whose schemas the combo lists, and those schemas.
    std::wstring schemas_source_;
    std::vector<std::wstring> schemas_;
    bool lists_filled_ = false;
    // The charset entry shown for the converter's stored name on entry.
    QString charset_shown_;
    QComboBox* schema_;
    QComboBox* charset_;
    QComboBox* engine_;
    QCheckBox* tab_def_;
    QCheckBox* skip_idx_;
    QCheckBox* views_;
};
