// The two-list selection page.
#include "common/cmn_sel.h"

#include "GUI2/g_wiz_sh.h"
#include "TK/tk_log.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace {

QPushButton* add_button(QVBoxLayout* column, const QString& text, const char* id, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(id);
    column->addWidget(button);
    return button;
}

QListWidget* make_list(const char* id, QWidget* parent) {
    auto* list = new QListWidget(parent);
    list->setObjectName(id);
    list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    return list;
}

std::vector<int> selected_rows(const QListWidget* list) {
    std::vector<int> rows;
    for (const QListWidgetItem* item : list->selectedItems()) {
        rows.push_back(list->row(item));
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

} // namespace

sel_tables_page::sel_tables_page(int help_topic, const QString& title, const QString& subtitle,
                                 std::wstring prompt, bool reorder)
    : wizard_page(dialog_id, back | next, help_topic, title, subtitle), prompt_(std::move(prompt)),
      reorder_(reorder) {
    tk_log_message(2, "sel_tables_page::ctor(b_reorder=%d)", reorder ? 1 : 0);
    auto* column = new QVBoxLayout(this);
    description_ = new QLabel(this);
    description_->setObjectName("1337");
    description_->setWordWrap(true);
    column->addWidget(description_);

    auto* row = new QHBoxLayout;
    auto* left = new QVBoxLayout;
    available_label_ = new QLabel(this);
    available_label_->setObjectName("1334");
    available_ = make_list("1317", this);
    available_label_->setBuddy(available_);
    left->addWidget(available_label_);
    left->addWidget(available_);
    row->addLayout(left, 1);

    auto* buttons = new QVBoxLayout;
    buttons->addStretch();
    auto* add = add_button(buttons, "A&dd >", "1101", this);
    auto* add_all = add_button(buttons, "Add a&ll >", "1102", this);
    auto* remove = add_button(buttons, "< &Remove", "1111", this);
    auto* remove_all = add_button(buttons, "< Re&move all", "1110", this);
    buttons->addSpacing(8);
    add_query_ = add_button(buttons, "&Add Query", "1114", this);
    add_query_->hide();
    buttons->addStretch();
    row->addLayout(buttons);

    auto* right = new QVBoxLayout;
    selected_label_ = new QLabel(this);
    selected_label_->setObjectName("1312");
    selected_ = make_list("1318", this);
    selected_label_->setBuddy(selected_);
    right->addWidget(selected_label_);
    right->addWidget(selected_);
    row->addLayout(right, 1);

    auto* order = new QVBoxLayout;
    order->addStretch();
    up_ = add_button(order, "^", "1117", this);
    down_ = add_button(order, "v", "1118", this);
    up_->setFixedWidth(up_->sizeHint().height() + 8);
    down_->setFixedWidth(down_->sizeHint().height() + 8);
    up_->hide();
    down_->hide();
    order->addStretch();
    row->addLayout(order);
    column->addLayout(row, 1);

    connect(add, &QPushButton::clicked, this, [this] { on_add(); });
    connect(available_, &QListWidget::itemDoubleClicked, this, [this] { on_add(); });
    connect(add_all, &QPushButton::clicked, this, [this] { on_add_all(); });
    connect(remove, &QPushButton::clicked, this, [this] { on_delete(); });
    connect(remove_all, &QPushButton::clicked, this, [this] { on_del_all(); });
    connect(up_, &QPushButton::clicked, this, [this] { on_move_up(); });
    connect(down_, &QPushButton::clicked, this, [this] { on_move_down(); });
    connect(selected_, &QListWidget::itemDoubleClicked, this, [this] { on_selected_activated(); });
}

void sel_tables_page::set_texts(const QString& description, const QString& available_label,
                                const QString& selected_label) {
    // The label wraps by itself; a fixed line break would leave a short line in a narrow window.
    QString shown = description;
    description_->setText(shown.replace("\r\n", " "));
    available_label_->setText(available_label);
    selected_label_->setText(selected_label);
}

int sel_tables_page::insert_sorted(QListWidget* list, const QString& text) {
    // Case-insensitive order as the list boxes keep it; equal names go after the ones there.
    int low = 0;
    int high = list->count();
    while (low < high) {
        const int middle = (low + high) / 2;
        if (QString::compare(list->item(middle)->text(), text, Qt::CaseInsensitive) <= 0) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    list->insertItem(low, text);
    return low;
}

void sel_tables_page::move_to_selected(int row) {
    QListWidgetItem* item = available_->takeItem(row);
    if (item == nullptr) {
        return;
    }
    const QString text = item->text();
    delete item;
    insert_sorted(selected_, text);
    if (is_query(text)) {
        do_add_query(text);
    }
}

void sel_tables_page::move_to_available(int row) {
    QListWidgetItem* item = selected_->takeItem(row);
    if (item == nullptr) {
        return;
    }
    const QString text = item->text();
    delete item;
    insert_sorted(available_, text);
    if (is_query(text)) {
        move_query(text);
    }
}

void sel_tables_page::move_selection(QListWidget* from, QListWidget* to,
                                     void (sel_tables_page::*move)(int)) {
    const std::vector<int> rows = selected_rows(from);
    tk_log_message(1, "n_sel=%d", static_cast<int>(rows.size()));
    if (rows.empty()) {
        // Nothing chosen: nothing moves and the selection stays as it is.
        return;
    }
    for (std::size_t i = 0; i < rows.size(); ++i) {
        tk_log_message(1, "Moving item #%d", static_cast<int>(i));
        (this->*move)(rows[i] - static_cast<int>(i));
    }
    if (from->count() > 0) {
        const int next =
            std::min(rows.back() - static_cast<int>(rows.size()) + 1, from->count() - 1);
        from->clearSelection();
        from->setCurrentRow(next, QItemSelectionModel::ClearAndSelect);
    } else {
        to->clearSelection();
        to->setFocus();
        if (to->count() > 0) {
            to->setCurrentRow(0, QItemSelectionModel::ClearAndSelect);
        }
    }
}

void sel_tables_page::on_add() {
    move_selection(available_, selected_, &sel_tables_page::move_to_selected);
}

void sel_tables_page::on_delete() {
    move_selection(selected_, available_, &sel_tables_page::move_to_available);
}

void sel_tables_page::on_add_all() {
    while (available_->count() > 0) {
        move_to_selected(0);
    }
    selected_->setFocus();
    if (selected_->count() > 0) {
        selected_->setCurrentRow(0);
    }
}

void sel_tables_page::on_del_all() {
    while (selected_->count() > 0) {
        move_to_available(0);
    }
    available_->setFocus();
    if (available_->count() > 0) {
        available_->setCurrentRow(0);
    }
}

void sel_tables_page::on_move_up() {
    const int current = selected_->currentRow();
    if (current <= 0) {
        return;
    }
    QListWidgetItem* item = selected_->takeItem(current);
    selected_->insertItem(current - 1, item);
    selected_->setCurrentRow(current - 1, QItemSelectionModel::ClearAndSelect);
}

void sel_tables_page::on_move_down() {
    const int current = selected_->currentRow();
    if (current < 0 || current + 1 >= selected_->count()) {
        return;
    }
    QListWidgetItem* item = selected_->takeItem(current);
    selected_->insertItem(current + 1, item);
    selected_->setCurrentRow(current + 1, QItemSelectionModel::ClearAndSelect);
}

void sel_tables_page::do_page_init() {
    available_->clear();
    selected_->clear();
    for (const std::wstring& name : names) {
        insert_sorted(available_, QString::fromStdWString(name));
    }
    if (available_->count() > 0) {
        tk_log_message(1, "Highlight 1st row");
        available_->setCurrentRow(0, QItemSelectionModel::ClearAndSelect);
    }
    if (reorder_) {
        tk_log_message(1, "Activating re-order buttons");
        up_->show();
        down_->show();
    }
}

int sel_tables_page::find_available(const QString& name) const {
    for (int i = 0; i < available_->count(); ++i) {
        if (available_->item(i)->text() == name) {
            return i;
        }
    }
    return -1;
}

bool sel_tables_page::is_unique_name(const QString& name, const QListWidget* list) {
    for (int i = 0; i < list->count(); ++i) {
        if (QString::compare(list->item(i)->text(), name, Qt::CaseInsensitive) == 0) {
            return false;
        }
    }
    return true;
}

void sel_tables_page::set_selected(
    const std::vector<std::pair<std::wstring, std::wstring>>& stored) {
    for (const auto& entry : stored) {
        const int at = find_available(QString::fromStdWString(entry.first));
        if (at >= 0) {
            move_to_selected(at);
        }
    }
}

bool sel_tables_page::collect_selected() {
    if (available_->count() > 0 && selected_->count() == 0 && !prompt_.empty() &&
        !wizard_shell::question(prompt_)) {
        return false;
    }
    names.clear();
    for (int i = 0; i < selected_->count(); ++i) {
        const QString text = selected_->item(i)->text();
        if (!is_query(text)) {
            names.push_back(text.toStdWString());
        }
    }
    return true;
}
