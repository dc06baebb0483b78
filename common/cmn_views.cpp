// The views page.
#include "common/cmn_views.h"

#include "GUI2/g_wiz_sh.h"
#include "GUI2/g_wiz_ui.h"
#include "TK/tk_log.h"
#include "converter/vlm_errh.h"

vlm_sel_views_page::vlm_sel_views_page(velmora_convertor& converter)
    : sel_tables_page(help_id, "Step 6 of 7", "Select views to convert", L"", true),
      converter_(converter) {
}

bool vlm_sel_views_page::page_init() {
    tk_log_message(2, "vlm_sel_views_page::page_init");
    set_texts("Select MS SQL views to convert into MySQL format. Use the up and down buttons to "
              "control the order in which views are converted.",
              "&Available views:", "&Selected views:");
    names.clear();
    try {
        list_views(views);
    } catch (const tk_exception& error) {
        // The page stays usable: the lists show what could be read.
        tk_log_message(3, "ERROR: %s", error.what());
        wizard_page_error_narrow(error.what());
        views.clear();
    }
    for (const udb_view& view : views) {
        names.push_back(view.first);
    }
    do_page_init();
    sel_tables_page::set_selected(converter_.selected_views);
    return true;
}

int vlm_sel_views_page::on_next() {
    tk_log_message(2, "vlm_sel_views_page::on_next");
    if (!collect_selected()) {
        return stay;
    }
    std::vector<udb_view> chosen;
    for (const std::wstring& name : names) {
        for (const udb_view& view : views) {
            if (view.first == name) {
                tk_log_wmessage(1, L"Found view: '%ls'", name.c_str());
                chosen.push_back(view);
                break;
            }
        }
    }
    converter_.selected_views = std::move(chosen);
    return move_on;
}
