// The page of two lists, "available" and "selected", that the table and view selection pages
// are built on: moving names between the lists, the order of the selected list, and what Next
// collects.
#pragma once

#include "GUI2/g_wiz_pg.h"

#include <string>
#include <utility>
#include <vector>

class QLabel;
class QListWidget;
class QPushButton;

class sel_tables_page : public wizard_page {
public:
    static constexpr int dialog_id = 127;

    // `prompt`: asked on Next when names are offered and none is selected (empty: not asked).
    // `reorder`: the selected list's order can be changed (the up and down buttons show).
    sel_tables_page(int help_topic, const QString& title, const QString& subtitle,
                    std::wstring prompt, bool reorder);

    // Puts a stored selection into the selected list: each name the available list holds
    // exactly moves over; the others are skipped.
    virtual void set_selected(const std::vector<std::pair<std::wstring, std::wstring>>& stored);
    virtual bool is_query(const QString&) const { return false; }
    // After a query item moved to the selected list, or back to the available list.
    virtual void do_add_query(const QString&) {}
    virtual void move_query(const QString&) {}

    // The buttons.
    void on_add();
    void on_add_all();
    void on_delete();
    void on_del_all();
    void on_move_up();
    void on_move_down();

    // Index of the available item equal to `name` (case-sensitive), or -1.
    int find_available(const QString& name) const;
    // No item of `list` equals `name` without regard to case.
    static bool is_unique_name(const QString& name, const QListWidget* list);
    // Adds `text` at its place in a list sorted without regard to case; returns the row.
    static int insert_sorted(QListWidget* list, const QString& text);

    QListWidget* available() const { return available_; }
    QListWidget* selected() const { return selected_; }
    // The names offered (before do_page_init) or the selected tables (after Next).
    std::vector<std::wstring> names;

protected:
    void set_texts(const QString& description, const QString& available_label,
                   const QString& selected_label);
    // Both lists emptied and the available one filled from `names`; its first item selected.
    void do_page_init();
    // Asks the prompt when nothing is selected (No: false); then `names` := the selected items
    // that are not queries, in list order.
    bool collect_selected();
    void move_to_selected(int row);
    void move_to_available(int row);
    // A double click in the selected list.
    virtual void on_selected_activated() {}

    QPushButton* add_query_;

private:
    // Moves the selected items of `from` with `move`; then selects the item after the last one
    // moved, or, when `from` is empty, gives `to` the focus with its first item selected.
    void move_selection(QListWidget* from, QListWidget* to, void (sel_tables_page::*move)(int));

    std::wstring prompt_;
    bool reorder_;
    QLabel* description_;
    QLabel* available_label_;
    QLabel* selected_label_;
    QListWidget* available_;
    QListWidget* selected_;
    QPushButton* up_;
    QPushButton* down_;
};
