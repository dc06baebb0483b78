// The views page: the source views to convert, in the order the user gives them.
#pragma once

#include "common/cmn_sel.h"
#include "converter/vlm_conv.h"

class vlm_sel_views_page : public sel_tables_page {
public:
    static constexpr int help_id = 1023;

    explicit vlm_sel_views_page(velmora_convertor& converter);

    bool page_init() override;
    // Stores the selected views in the selected list's order.
    int on_next() override;

    // All source views (the converter's answer).
    virtual void list_views(std::vector<udb_view>& out) { converter_.get_all_views(out); }

    // Every view of the source: name and text.
    std::vector<udb_view> views;

private:
    velmora_convertor& converter_;
};
