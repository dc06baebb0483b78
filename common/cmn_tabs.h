// The tables page: the source tables to convert, user-defined queries stored as tables, and
// the type-mapping editor of a selected table.
#pragma once

#include "common/cmn_sel.h"
#include "converter/vlm_conv.h"

class vlm_sel_tables_page : public sel_tables_page {
public:
    static constexpr int help_id = 1017;
    // The progress page, which Next reaches past the views page.
    static constexpr int progress_dialog = 107;

    explicit vlm_sel_tables_page(velmora_convertor& converter);

    bool page_init() override;
    // 107 when no view is to be converted, else on to the views page; -1 stays.
    int on_next() override;

    void set_selected(const std::vector<vlm_query>& stored) override;
    bool is_query(const QString& name) const override;
    void do_add_query(const QString& name) override;
    void move_query(const QString& name) override;

    // "&Add Query": asks until the name is unique in the selected list or the user cancels.
    void on_add_query();
    // A double click in the selected list: a query opens the query dialog, a table the
    // type-mapping dialog.
    void on_edit_query();
    // The type-mapping dialog of one source table.
    virtual void edit_types(const std::wstring& table);

    // The names of all source tables (the converter's answer).
    virtual void list_tables(std::vector<std::wstring>& out) { converter_.get_all_tables(out); }

    // The queries of the selected and of the available list.
    std::vector<vlm_query> sel_queries;
    std::vector<vlm_query> avail_queries;

protected:
    void on_selected_activated() override { on_edit_query(); }

private:
    velmora_convertor& converter_;
};
