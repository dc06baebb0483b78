// The query dialog.
#include "common/cmn_query.h"

#include "GUI2/g_wiz_sh.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "UDB/udb_qchk.h"
#include "converter/vlm_conv.h"
#include "converter/vlm_errh.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

constexpr int max_name = 2047;
constexpr int max_query = 9999;

// The text of one user query refused by the engine's check, or empty when it is one SELECT.
std::wstring single_select_fault(const std::wstring& name, const std::wstring& query) {
    try {
        udb_check_single_select(L"Query", name, query);
    } catch (const tk_exception& error) {
        return vlm_display_wide(error.what());
    }
    return {};
}

} // namespace

set_query_dlg::set_query_dlg(velmora_convertor& converter, const std::wstring& name_in,
                             const std::wstring& query_in, QWidget* owner)
    : QDialog(owner), name(name_in), query(query_in),
      converter_(converter), blanks_{L'\t', L'\n', L'\r', L' '} {
    tk_log_message(1, "set_query_dlg::set_query_dlg");
    setObjectName("128");
    setWindowTitle("Add Query");
    auto* column = new QVBoxLayout(this);
    auto* name_label = new QLabel("&Store as Table:", this);
    name_edit_ = new QLineEdit(this);
    name_edit_->setObjectName("1019");
    name_edit_->setMaxLength(max_name);
    name_label->setBuddy(name_edit_);
    auto* query_label = new QLabel("&Query:", this);
    query_edit_ = new QPlainTextEdit(this);
    query_edit_->setObjectName("1020");
    query_edit_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    query_label->setBuddy(query_edit_);
    column->addWidget(name_label);
    column->addWidget(name_edit_);
    column->addWidget(query_label);
    column->addWidget(query_edit_, 1);

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* ok = buttons->addButton(QDialogButtonBox::Ok);
    ok->setObjectName("1");
    buttons->addButton(QDialogButtonBox::Cancel)->setObjectName("2");
    QPushButton* test = buttons->addButton("&Test Query", QDialogButtonBox::ActionRole);
    test->setObjectName("129");
    QPushButton* help = buttons->addButton(QDialogButtonBox::Help);
    help->setObjectName("9");
    column->addWidget(buttons);
    // Enter in the statement is a new line, not OK.
    ok->setAutoDefault(false);
    ok->setDefault(false);

    connect(ok, &QPushButton::clicked, this, [this] { on_ok(); });
    connect(buttons, &QDialogButtonBox::rejected, this, [this] {
        tk_log_message(1, "set_query_dlg::on_cancel");
        reject();
    });
    connect(test, &QPushButton::clicked, this, [this] { on_test(); });
    connect(help, &QPushButton::clicked, this, [] {
        if (wizard_shell* frame = tk_singleton<wizard_shell>::pointer()) {
            frame->display_help(help_id);
        }
    });

    tk_log_message(1, "set_query_dlg::on_init");
    name_edit_->setText(QString::fromStdWString(name));
    query_edit_->setPlainText(QString::fromStdWString(query));
    resize(560, 360);
}

bool set_query_dlg::check_select(std::wstring& text) const {
    text = query_edit_->toPlainText().left(max_query).toStdWString();
    if (text.empty()) {
        return false;
    }
    std::size_t start = 0;
    while (start < text.size() && blanks_.count(text[start]) != 0) {
        ++start;
    }
    text.erase(0, start);
    return text.size() < 6 ||
           QString::fromStdWString(text.substr(0, 6)).compare("SELECT", Qt::CaseInsensitive) != 0;
}

void set_query_dlg::on_ok() {
    tk_log_message(1, "set_query_dlg::on_ok");
    name = name_edit_->text().left(max_name).toStdWString();
    if (name.empty()) {
        wizard_shell::message(L"Table name is empty!");
        return;
    }
    // A profile keeps a query as "name=text": a name holding "=" would come back as another
    // name with another text, so the settings saved from this run could not be run again.
    if (name.find(L'=') != std::wstring::npos) {
        wizard_shell::message(L"Table name cannot contain '='.");
        return;
    }
    if (check_select(query)) {
        wizard_shell::error(L"The query must start with SELECT.");
        return;
    }
    if (query.empty()) {
        wizard_shell::error(L"Query is empty!");
        return;
    }
    // The run refuses a text that holds another statement as well; it is said here, where the
    // text can still be mended.
    if (const std::wstring fault = single_select_fault(name, query); !fault.empty()) {
        wizard_shell::error(fault);
        return;
    }
    accept();
}

void set_query_dlg::on_test() {
    std::wstring checked;
    if (check_select(checked)) {
        wizard_shell::error(L"The query must start with SELECT.");
        return;
    }
    const std::wstring text = query_edit_->toPlainText().left(max_query).toStdWString();
    // A text that holds another statement is never sent: the test would run it on the source.
    if (const std::wstring fault =
            single_select_fault(name_edit_->text().left(max_name).toStdWString(), checked);
        !checked.empty() && !fault.empty()) {
        wizard_shell::error(fault);
        return;
    }
    if (converter_.test_query(text)) {
        wizard_shell::message(L"The query is correct.");
    } else {
        wizard_shell::error(L"You have an error in your query syntax. Make sure that it is a "
                            L"correct SQL SELECT-statement.");
    }
}
