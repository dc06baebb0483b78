// The finish page: success or the errors of the run, and saving the settings as a profile.
#pragma once

#include "GUI2/g_wiz_pg.h"

#include <string>

class QLabel;
class velmora_convertor;

class finish_page : public wizard_page {
public:
    static constexpr int dialog_id = 116;

    // `extension`: the profile files' extension without the dot ("vlm").
    finish_page(velmora_convertor& converter, const std::wstring& extension,
                const std::wstring& success_text, const std::wstring& error_text);

    bool page_init() override;
    // "&Save Settings...": the converter's settings into a profile.
    void on_store();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    velmora_convertor& converter_;
    std::wstring extension_;
    std::wstring success_text_;
    std::wstring error_text_;
    QLabel* text_;
    QPlainTextEdit* errors_;
    bool first_focus_ = true;
};
