// The front end's defaults.
#include "converter/vlm_ui.h"

vlm_ui::~vlm_ui() = default;

bool vlm_ui::ends_process(int) const {
    return false;
}

bool vlm_ui::console_run() const {
    return false;
}

void vlm_ui::table_missing(const std::wstring&) {
}
