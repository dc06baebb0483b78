// The wizard's front end for the conversion driver: every call runs on the GUI thread, the
// caller waiting, and goes to the frame and the error dialogs.
#pragma once

#include "converter/vlm_ui.h"

class wizard_ui : public vlm_ui {
public:
    // Also installs the clipboard the error dialog copies to (Qt's).
    wizard_ui();
    ~wizard_ui() override;

    bool ask_continue(const std::wstring& text, bool& dont_show_again) override;
    void show_error(const std::wstring& text) override;
    void show_internal_error(const std::wstring& text) override;
    bool is_initialized() const override;
    void start_timer(unsigned period_ms) override;
    void write_log(const std::wstring& line) override;
    void error_narrow(const std::string& text) override;
};
