// The table and view selection pages and the query dialog, against the TDS test server.
#include "pages_test_support.h"

#include "common/cmn_query.h"
#include "common/cmn_tabs.h"
#include "common/cmn_views.h"

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>

#include <functional>

namespace {

// Runs `act` on the next query dialog shown (message boxes are left to a box_answerer).
void when_query_dialog(std::function<void(set_query_dlg*)> act) {
    when_modal_is<set_query_dlg>(std::move(act));
}

// Types the name and statement into the next query dialog, presses `button` ("1" OK, "129"
// Test Query) and, unless that ended it, cancels it; then runs `then`.
void answer_query(const QString& name, const QString& statement, const char* button,
                  std::function<void()> then = {}) {
    when_query_dialog([=](set_query_dlg* dialog) {
        dialog->findChild<QLineEdit*>("1019")->setText(name);
        dialog->findChild<QPlainTextEdit*>("1020")->setPlainText(statement);
        dialog->findChild<QPushButton*>(button)->click();
        if (dialog->isVisible()) {
            dialog->reject();
        }
        if (then) {
            then();
        }
    });
}

void select_rows(QListWidget* list, const QStringList& texts) {
    list->clearSelection();
    for (const QString& text : texts) {
        const QList<QListWidgetItem*> found = list->findItems(text, Qt::MatchExactly);
        ASSERT_EQ(found.size(), 1) << text.toStdString();
        found[0]->setSelected(true);
    }
}

} // namespace

TEST_F(page_test, TablesPageListsMovesAndStoresExactNames) {
    auto c = converter();
    c->selected_queries = {{L"[a].[b.c]", L""}, {L"dbo.missing", L""}};
    vlm_sel_tables_page page(*c);
    ASSERT_TRUE(page.page_init());
    // Sorted without regard to case; the two dotted names stay two tables.
    EXPECT_EQ(items_of(page.available()),
              (QStringList{"[a.b].[c]", "dbo.alpha", "dbo.customers", "dbo.Zebra", "dbo.Ärger"}));
    EXPECT_EQ(items_of(page.selected()), QStringList{"[a].[b.c]"})
        << "a stored table moves over; one the source lacks is ignored";

    select_rows(page.available(), {"dbo.customers", "dbo.Zebra"});
    page.on_add();
    EXPECT_EQ(items_of(page.selected()), (QStringList{"[a].[b.c]", "dbo.customers", "dbo.Zebra"}));
    EXPECT_EQ(page.available()->currentItem()->text(), "dbo.Ärger") << "the item after them";
    select_rows(page.selected(), {"[a].[b.c]"});
    page.on_delete();
    page.on_add_all();
    EXPECT_EQ(page.available()->count(), 0);
    page.on_add_all(); // empty: only the focus moves
    page.on_del_all();
    EXPECT_EQ(page.selected()->count(), 0);
    EXPECT_EQ(page.available()->count(), 6);

    // Next with nothing selected asks; No stays, Yes goes on with no tables.
    {
        box_answerer boxes;
        boxes.answers = {QMessageBox::No};
        EXPECT_EQ(page.on_next(), wizard_page::stay);
        boxes.answers = {QMessageBox::Yes};
        EXPECT_EQ(page.on_next(), vlm_sel_tables_page::progress_dialog);
        EXPECT_EQ(boxes.texts, QStringList(2, "There are no tables selected. Continue anyway?"));
        EXPECT_TRUE(c->selected_tables.empty());
    }
    select_rows(page.available(), {"[a.b].[c]", "[a].[b.c]", "dbo.Ärger"});
    page.on_add();
    EXPECT_EQ(page.on_next(), vlm_sel_tables_page::progress_dialog) << "views are off";
    EXPECT_EQ(c->selected_tables,
              (std::vector<std::wstring>{L"[a.b].[c]", L"[a].[b.c]", L"dbo.Ärger"}));

    // Each name reaches its own table's columns.
    EXPECT_EQ(c->get_schema(L"[a].[b.c]")->size(), 1u);
    EXPECT_EQ(c->get_schema(L"[a.b].[c]")->size(), 1u);
    // Through a profile the two stay two, and the page puts both back.
    {
        temp_folder folder;
        const std::wstring path = (folder.path / "two.vlm").wstring();
        c->selected_queries = {{L"[a.b].[c]", L""}, {L"[a].[b.c]", L""}};
        c->selected_tables.clear();
        ASSERT_TRUE(save_profile_file(*c, path));
        c->selected_queries.clear();
        ASSERT_TRUE(load_profile_file(*c, path));
        ASSERT_TRUE(page.page_init());
        EXPECT_EQ(items_of(page.selected()), (QStringList{"[a.b].[c]", "[a].[b.c]"}));
        c->selected_queries.clear();
    }
    // Views on and a destination that takes them: on to the views page.
    c->convert_views = true;
    c->direct = false;
    EXPECT_EQ(page.on_next(), wizard_page::move_on);
}

TEST_F(page_test, TablesPageWithoutTablesSaysWhatToTry) {
    const QString owned = "There are no tables available for the user specified. Try to uncheck "
                          "'View tables owned by the user' checkbox on 'Step 4 of 7' wizard page.";
    const QString dbo = "There are no tables available for the user specified. Try to connect as "
                        "database owner using the appropriate checkbox on 'Step 1 of 7' wizard "
                        "page.";
    const struct {
        bool view_owned;
        bool as_dbo;
        QStringList boxes;
    } cases[] = {
        {false, true, {}},
        {true, true, {owned}},
        {false, false, {dbo}},
        {true, false, {owned, dbo}},
    };
    auto c = converter();
    c->src = L"velmora_no_tables";
    vlm_sel_tables_page page(*c);
    for (const auto& each : cases) {
        c->set_view_owned(each.view_owned);
        c->set_as_dbo(each.as_dbo);
        box_answerer boxes;
        ASSERT_TRUE(page.page_init());
        EXPECT_EQ(boxes.texts, each.boxes);
        EXPECT_EQ(page.available()->currentRow(), -1);
        // Nothing to choose from: Next asks nothing.
        EXPECT_EQ(page.on_next(), vlm_sel_tables_page::progress_dialog);
        EXPECT_EQ(boxes.texts, each.boxes);
    }
}

TEST_F(page_test, TablesPageKeepsUserQueriesApart) {
    auto c = converter();
    vlm_sel_tables_page page(*c);
    ASSERT_TRUE(page.page_init());
    box_answerer boxes;

    answer_query("recent", "SELECT id FROM dbo.alpha", "1");
    page.on_add_query();
    // A name the selected list holds in another case is refused and the dialog comes back with
    // what was typed; a name only the available list holds is accepted.
    select_rows(page.available(), {"dbo.alpha"});
    page.on_add();
    QString reopened;
    answer_query("DBO.ALPHA", "SELECT 1", "1", [&reopened] {
        // The dialog comes back after the refusal: read what it shows, then cancel.
        when_query_dialog([&reopened](set_query_dlg* again) {
            reopened = again->findChild<QPlainTextEdit*>("1020")->toPlainText();
            again->reject();
        });
    });
    page.on_add_query();
    EXPECT_EQ(boxes.texts, QStringList{"Duplicate table name. Try again."});
    EXPECT_EQ(reopened, "SELECT 1");
    answer_query("dbo.Zebra", "SELECT 2", "1");
    page.on_add_query();
    EXPECT_EQ(items_of(page.selected()), (QStringList{"dbo.alpha", "dbo.Zebra", "recent"}));

    // Moved back and forth, a query keeps its text; Next stores queries apart from tables.
    select_rows(page.selected(), {"recent"});
    page.on_delete();
    EXPECT_EQ(page.avail_queries.size(), 1u);
    EXPECT_EQ(page.on_next(), vlm_sel_tables_page::progress_dialog);
    EXPECT_EQ(c->available_queries,
              (std::vector<vlm_query>{{L"recent", L"SELECT id FROM dbo.alpha"}}));
    EXPECT_EQ(c->selected_tables, std::vector<std::wstring>{L"dbo.alpha"})
        << "the query named like a table is no table";
    select_rows(page.available(), {"recent"});
    page.on_add();
    ASSERT_EQ(page.on_next(), vlm_sel_tables_page::progress_dialog);
    EXPECT_EQ(c->selected_queries,
              (std::vector<vlm_query>{{L"dbo.Zebra", L"SELECT 2"},
                                      {L"recent", L"SELECT id FROM dbo.alpha"}}));

    // A double click on a query edits it; the new name takes its sorted place.
    page.selected()->setCurrentRow(items_of(page.selected()).indexOf("recent"));
    answer_query("Alpha_copy", "SELECT id FROM dbo.alpha WHERE id > 0", "1");
    page.on_edit_query();
    EXPECT_EQ(items_of(page.selected()), (QStringList{"Alpha_copy", "dbo.alpha", "dbo.Zebra"}));

    // The restored page shows the queries again and the tables stored on Next: Back and Next
    // must not drop the tables while a query keeps the list from being empty.
    ASSERT_TRUE(page.page_init());
    EXPECT_EQ(items_of(page.selected()), (QStringList{"dbo.alpha", "dbo.Zebra", "recent"}));
}

TEST_F(page_test, ViewsPageStoresTheOrderTheUserGives) {
    auto c = converter();
    vlm_sel_views_page page(*c);
    ASSERT_TRUE(page.page_init());
    EXPECT_EQ(items_of(page.available()), (QStringList{"v_one", "V_two"}));
    EXPECT_TRUE(page.findChild<QPushButton*>("1117")->isVisibleTo(&page));
    page.on_add_all();
    page.selected()->setCurrentRow(0);
    page.on_move_up(); // the first item: nothing changes
    page.on_move_down();
    EXPECT_EQ(items_of(page.selected()), (QStringList{"V_two", "v_one"}));
    page.on_move_down(); // the last item: nothing changes
    EXPECT_EQ(page.on_next(), wizard_page::move_on);
    ASSERT_EQ(c->selected_views.size(), 2u);
    EXPECT_EQ(c->selected_views[0].first, L"V_two");
    EXPECT_NE(c->selected_views[0].second.find(L"dbo.Zebra"), std::wstring::npos);
    // Back on the page the selection is restored in sorted order; nothing asks on Next.
    ASSERT_TRUE(page.page_init());
    EXPECT_EQ(items_of(page.selected()), (QStringList{"v_one", "V_two"}));
    page.on_del_all();
    box_answerer boxes;
    EXPECT_EQ(page.on_next(), wizard_page::move_on);
    EXPECT_TRUE(boxes.texts.empty());
    EXPECT_TRUE(c->selected_views.empty());
}

TEST_F(page_test, QueryDialogChecksAndTestsTheStatement) {
    auto c = converter();
    const QString not_select = "The query must start with SELECT.";
    const QString syntax = "You have an error in your query syntax. Make sure that it is a correct "
                           "SQL SELECT-statement.";
    const struct {
        const char* name;
        const char* statement;
        const char* button;
        QString box; // empty: accepted (OK) or nothing shown
    } cases[] = {
        {"", "", "1", "Table name is empty!"},
        {"a=b", "SELECT id FROM dbo.alpha", "1", "Table name cannot contain '='."},
        {"t", "", "1", "Query is empty!"},
        {"t", " \r\n\t ", "1", not_select},
        {"t", "SELEC", "1", not_select},
        {"t", "UPDATE x SET y = 1", "1", not_select},
        {"t", "\n  sElEcT* FROM dbo.alpha", "1", ""},
        {"t", "SELECT id FROM dbo.alpha", "129", "The query is correct."},
        {"t", "SELECT nothing FROM dbo.no_such_table", "129", syntax},
        {"t", "DELETE FROM dbo.alpha", "129", not_select},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.statement);
        box_answerer boxes;
        answer_query(each.name, each.statement, each.button);
        set_query_dlg dialog(*c, L"", L"", nullptr);
        const int result = dialog.exec();
        if (each.box.isEmpty()) {
            EXPECT_EQ(result, QDialog::Accepted);
            EXPECT_TRUE(boxes.texts.empty());
            EXPECT_EQ(dialog.query, L"sElEcT* FROM dbo.alpha") << "leading blanks dropped";
        } else {
            EXPECT_EQ(result, QDialog::Rejected) << "the dialog stayed open";
            EXPECT_EQ(boxes.texts, QStringList{each.box});
        }
    }
}

TEST_F(page_test, QueryDialogNeverSendsASecondStatement) {
    auto c = converter();
    for (const char* button : {"129", "1"}) {
        SCOPED_TRACE(button);
        server->clear_statements();
        box_answerer boxes;
        answer_query("t", "SELECT id FROM dbo.alpha; DROP TABLE dbo.alpha", button);
        set_query_dlg dialog(*c, L"", L"", nullptr);
        EXPECT_EQ(dialog.exec(), QDialog::Rejected);
        ASSERT_EQ(boxes.texts.size(), 1);
        EXPECT_TRUE(boxes.texts[0].startsWith("Query 't' is not a single SELECT statement"))
            << boxes.texts[0].toStdString();
        for (const std::string& sent : server->statements()) {
            EXPECT_EQ(sent.find("DROP"), std::string::npos) << sent;
        }
    }
}

TEST_F(page_test, SourceGoneKeepsThePagesUsable) {
    auto c = converter();
    vlm_sel_tables_page tables(*c);
    ASSERT_TRUE(tables.page_init());
    server->stop();
    box_answerer boxes;
    // Reading the lists again fails: said once per page, the page still shown and usable.
    ASSERT_TRUE(tables.page_init());
    EXPECT_EQ(boxes.texts.size(), 1);
    EXPECT_EQ(tables.available()->count(), 0);
    vlm_sel_views_page views(*c);
    ASSERT_TRUE(views.page_init());
    EXPECT_EQ(boxes.texts.size(), 2);
    // The query test reports the failure as the syntax error; the dialog stays open.
    answer_query("t", "SELECT 1", "129");
    set_query_dlg dialog(*c, L"", L"", nullptr);
    EXPECT_EQ(dialog.exec(), QDialog::Rejected);
    ASSERT_EQ(boxes.texts.size(), 3);
    EXPECT_TRUE(boxes.texts[2].startsWith("You have an error in your query syntax"));
    // A double click on a table cannot read its columns: an error box, nothing else.
    tables.selected()->addItem("dbo.alpha");
    tables.selected()->setCurrentRow(0);
    tables.on_edit_query();
    ASSERT_EQ(boxes.texts.size(), 4);
    for (const QString& text : boxes.texts) {
        EXPECT_FALSE(text.startsWith("Internal error")) << text.toStdString();
    }
    // The server back on its port: the pages read the source again.
    const std::uint16_t port = server->port();
    server->start(port);
    ASSERT_TRUE(tables.page_init());
    EXPECT_EQ(tables.available()->count(), 6);
    EXPECT_EQ(boxes.texts.size(), 4);
}
