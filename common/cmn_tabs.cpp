// The tables page.
#include "common/cmn_tabs.h"

#include "GUI2/g_wiz_sh.h"
#include "GUI2/g_wiz_ui.h"
#include "TK/tk_log.h"
#include "common/cmn_query.h"
#include "common/cmn_tmap.h"
#include "converter/vlm_errh.h"

#include <QApplication>
#include <QListWidget>
#include <QPushButton>

#include <algorithm>

namespace {

auto with_name(const QString& name) {
    return [wanted = name.toStdWString()](const vlm_query& pair) { return pair.first == wanted; };
}

// The owner of a dialog opened from the page: the active window, else the page's.
QWidget* owner_of(QWidget* page) {
    QWidget* active = QApplication::activeWindow();
    return active != nullptr ? active : page->window();
}

} // namespace

vlm_sel_tables_page::vlm_sel_tables_page(velmora_convertor& converter)
    : sel_tables_page(help_id, "Step 5 of 7", "Select tables to convert",
                      L"There are no tables selected. Continue anyway?", false),
      converter_(converter) {
    connect(add_query_, &QPushButton::clicked, this, [this] { on_add_query(); });
}

bool vlm_sel_tables_page::page_init() {
    tk_log_message(1, "vlm_sel_tables_page::page_init");
    set_texts("Select MS SQL tables to convert into MySQL format. Double click on an item in\r\n"
              "'Selected tables' list to edit it.",
              "&Available tables:", "&Selected tables:");
    sel_queries.clear();
    avail_queries.clear();
    names.clear();
    try {
        list_tables(names);
    } catch (const tk_exception& error) {
        tk_log_message(3, "ERROR: %s", error.what());
        wizard_page_error_narrow(error.what());
        names.clear();
    }
    do_page_init();
    add_query_->show();
    set_selected(converter_.selected_queries);
    // The tables this page stored on an earlier Next: without them, Back and Next would drop
    // the user's tables silently whenever a query kept the list from being empty.
    std::vector<vlm_query> stored_tables;
    stored_tables.reserve(converter_.selected_tables.size());
    for (const std::wstring& table : converter_.selected_tables) {
        stored_tables.emplace_back(table, std::wstring());
    }
    set_selected(stored_tables);
    for (const vlm_query& pair : converter_.available_queries) {
        const QString name = QString::fromStdWString(pair.first);
        if (!pair.second.empty() && is_unique_name(name, available())) {
            insert_sorted(available(), name);
            avail_queries.push_back(pair);
        }
    }
    if (names.empty()) {
        if (converter_.view_owned) {
            wizard_shell::message(L"There are no tables available for the user specified. Try "
                                  L"to uncheck 'View tables owned by the user' checkbox on 'Step "
                                  L"4 of 7' wizard page.");
        }
        if (!converter_.as_dbo) {
            wizard_shell::message(L"There are no tables available for the user specified. Try "
                                  L"to connect as database owner using the appropriate checkbox "
                                  L"on 'Step 1 of 7' wizard page.");
        }
    }
    return true;
}

void vlm_sel_tables_page::set_selected(const std::vector<vlm_query>& stored) {
    for (const vlm_query& pair : stored) {
        const QString name = QString::fromStdWString(pair.first);
        if (!pair.second.empty() && is_unique_name(name, selected()) &&
            is_unique_name(name, available())) {
            insert_sorted(selected(), name);
            sel_queries.push_back(pair);
            continue;
        }
        tk_log_wmessage(1, L"Processing '%ls'", pair.first.c_str());
        if (const int at = find_available(name); at >= 0) {
            move_to_selected(at);
        }
    }
}

bool vlm_sel_tables_page::is_query(const QString& name) const {
    return std::any_of(sel_queries.begin(), sel_queries.end(), with_name(name)) ||
           std::any_of(avail_queries.begin(), avail_queries.end(), with_name(name));
}

void vlm_sel_tables_page::do_add_query(const QString& name) {
    tk_log_wmessage(1, L"sel_tables_page_ex::do_add_query(%ls)", name.toStdWString().c_str());
    if (std::any_of(sel_queries.begin(), sel_queries.end(), with_name(name))) {
        return;
    }
    const auto it = std::find_if(avail_queries.begin(), avail_queries.end(), with_name(name));
    if (it != avail_queries.end()) {
        sel_queries.push_back(*it);
        avail_queries.erase(it);
    }
}

void vlm_sel_tables_page::move_query(const QString& name) {
    const auto it = std::find_if(sel_queries.begin(), sel_queries.end(), with_name(name));
    if (it != sel_queries.end()) {
        avail_queries.push_back(*it);
        sel_queries.erase(it);
    }
}

void vlm_sel_tables_page::on_add_query() {
    std::wstring name;
    std::wstring query;
    for (;;) {
        set_query_dlg dialog(converter_, name, query, owner_of(this));
        if (dialog.exec() != QDialog::Accepted) {
            return;
        }
        name = dialog.name;
        query = dialog.query;
        if (is_unique_name(QString::fromStdWString(name), selected())) {
            break;
        }
        wizard_shell::message(L"Duplicate table name. Try again.");
    }
    insert_sorted(selected(), QString::fromStdWString(name));
    sel_queries.emplace_back(name, query);
}

void vlm_sel_tables_page::on_edit_query() {
    QListWidgetItem* item = selected()->currentItem();
    if (item == nullptr) {
        tk_log_message(1, "Nothing is selected!");
        return;
    }
    const QString text = item->text();
    const auto it = std::find_if(sel_queries.begin(), sel_queries.end(), with_name(text));
    if (it == sel_queries.end()) {
        tk_log_message(1, "It's not a query, show type mapping");
        edit_types(text.toStdWString());
        return;
    }
    const std::size_t at = static_cast<std::size_t>(it - sel_queries.begin());
    set_query_dlg dialog(converter_, it->first, it->second, owner_of(this));
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    sel_queries[at] = {dialog.name, dialog.query};
    delete selected()->takeItem(selected()->row(item));
    selected()->setCurrentRow(insert_sorted(selected(), QString::fromStdWString(dialog.name)));
}

void vlm_sel_tables_page::edit_types(const std::wstring& table) {
    tk_log_message(2, "Ready for types mapping");
    try {
        types_map_dlg dialog(converter_, table, owner_of(this));
        dialog.run();
    } catch (const tk_exception& error) {
        // The table's columns could not be read: the page stays as it was.
        tk_log_message(3, "ERROR: %s", error.what());
        wizard_page_error_narrow(error.what());
    }
}

int vlm_sel_tables_page::on_next() {
    tk_log_message(2, "vlm_sel_tables_page::on_next");
    if (!collect_selected()) {
        return stay;
    }
    converter_.selected_tables = names;
    converter_.selected_queries = sel_queries;
    converter_.available_queries = avail_queries;
    if (!converter_.convert_views) {
        // Views chosen before the box was unticked are not this run's: neither run nor saved.
        converter_.selected_views.clear();
        return progress_dialog;
    }
    if (!converter_.can_create_views()) {
        return progress_dialog;
    }
    std::vector<udb_view> views;
    try {
        converter_.get_all_views(views);
    } catch (const tk_exception& error) {
        wizard_page_error_narrow(error.what());
        return stay;
    }
    return views.empty() ? progress_dialog : move_on;
}
