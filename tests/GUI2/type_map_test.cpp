// The "Edit Table" dialog: the type-mapping files, the column edits and their veto, and a run
// that creates the table as edited.
#include "pages_test_support.h"

#include "common/cmn_tabs.h"
#include "common/cmn_tmap.h"
#include "tests/support/mysql_test_env.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTreeWidget>

#include <mysql.h>

#include <filesystem>
#include <fstream>
#include <functional>

namespace {

// The working directory for the dialog's files, and type-mapping tables read afresh.
struct type_files_in {
    explicit type_files_in(const std::filesystem::path& folder)
        : saved(std::filesystem::current_path()) {
        std::filesystem::current_path(folder);
        types_map.clear();
        types_props.clear();
    }
    ~type_files_in() {
        std::filesystem::current_path(saved);
        types_map.clear();
        types_props.clear();
    }
    std::filesystem::path saved;
};

// Runs the dialog for `table`; `act` works on it once shown.
int edit_table(velmora_convertor& c, const std::wstring& table,
               std::function<void(types_map_dlg*)> act) {
    const QPointer<QTimer> timer = when_modal_is<types_map_dlg>(std::move(act));
    types_map_dlg dialog(c, table, nullptr);
    const int result = dialog.run();
    if (timer != nullptr && timer->isActive()) {
        // Never shown: the act did not run.
        timer->stop();
        timer->deleteLater();
    }
    return result;
}

template <class T> T* field(QWidget* dialog, const char* id) {
    return dialog->findChild<T*>(id);
}

QStringList combo_items(const QComboBox* combo) {
    QStringList items;
    for (int i = 0; i < combo->count(); ++i) {
        items << combo->itemText(i);
    }
    return items;
}

void press(QWidget* dialog, const char* id) {
    dialog->findChild<QPushButton*>(id)->click();
}

} // namespace

TEST_F(page_test, EditTableWithoutItsFilesSaysSoAndCloses) {
    auto c = converter();
    temp_folder empty;
    type_files_in here(empty.path);
    box_answerer boxes;
    bool shown = false;
    EXPECT_EQ(edit_table(*c, L"dbo.customers", [&shown](types_map_dlg*) { shown = true; }),
              QDialog::Rejected);
    EXPECT_FALSE(shown);
    EXPECT_EQ(boxes.texts,
              QStringList{"Cannot find sql.map. Custom type mapping is not available."});
    EXPECT_EQ(c->get_table_mutator3(L"dbo.customers"), nullptr);

    // With sql.map but not sql.typ the second file is named.
    std::ofstream(empty.path / "sql.map") << "INT:\n- INT\n";
    boxes.texts.clear();
    EXPECT_EQ(edit_table(*c, L"dbo.customers", [](types_map_dlg*) {}), QDialog::Rejected);
    EXPECT_EQ(boxes.texts,
              QStringList{"Cannot find sql.typ. Custom type mapping is not available."});
}

TEST_F(page_test, EditTableReadsFilesWithJunkLines) {
    auto c = converter();
    temp_folder folder;
    std::ofstream(folder.path / "sql.map")
        << "garbage without a colon\r\n- an item before any key\n\nINT:\n-  BIGINT \n"
           "- BIGINT; DROP DATABASE velmora\n-\n- INT`\nrandom text\n- INT\n;;;\nVARCHAR:\n"
           "- TEXT\n";
    std::ofstream(folder.path / "sql.typ") << "DECIMAL\nBIGINT:\n- length\n- nonsense\n";
    type_files_in here(folder.path);
    box_answerer boxes;
    QStringList offered;
    bool length_shown = true;
    bool precision_shown = true;
    EXPECT_EQ(edit_table(*c, L"dbo.customers",
                         [&](types_map_dlg* dialog) {
                             auto* type = field<QComboBox>(dialog, "1302");
                             offered = combo_items(type);
                             type->setCurrentIndex(0); // BIGINT, which lists "length"
                             length_shown = field<QLineEdit>(dialog, "1006")->isVisibleTo(dialog);
                             precision_shown =
                                 field<QLineEdit>(dialog, "1007")->isVisibleTo(dialog);
                             press(dialog, "2");
                         }),
              QDialog::Rejected);
    EXPECT_TRUE(boxes.texts.empty()) << boxes.texts.join("|").toStdString();
    EXPECT_EQ(offered, (QStringList{"BIGINT", "INT"}));
    EXPECT_TRUE(length_shown);
    EXPECT_FALSE(precision_shown);
}

TEST_F(page_test, EditTableChangesReachTheCreatedTable) {
    const test_support::mysql_test_server mysql = test_support::mysql_server_from_env();
    ASSERT_FALSE(mysql.host.empty());
    auto c = converter();
    type_files_in here(TYPE_FILES_DIR);
    box_answerer boxes;

    // OK without a change saves nothing.
    EXPECT_EQ(edit_table(*c, L"dbo.customers",
                         [](types_map_dlg* dialog) {
                             EXPECT_EQ(field<QLineEdit>(dialog, "1003")->text(), "dbo.customers");
                             QTreeWidget* rows = dialog->columns();
                             EXPECT_EQ(rows->currentItem(), rows->topLevelItem(0));
                             for (int i = 0; i < rows->topLevelItemCount(); ++i) {
                                 EXPECT_EQ(rows->topLevelItem(i)->checkState(0), Qt::Checked);
                             }
                             EXPECT_EQ(field<QComboBox>(dialog, "1302")->currentText(), "INT");
                             press(dialog, "1");
                         }),
              QDialog::Accepted);
    EXPECT_EQ(c->get_table_mutator3(L"dbo.customers"), nullptr);

    EXPECT_EQ(edit_table(*c, L"dbo.customers",
                         [&boxes](types_map_dlg* dialog) {
                             QTreeWidget* rows = dialog->columns();
                             field<QLineEdit>(dialog, "1003")->setText("clients");
                             // An empty column name keeps its row selected.
                             field<QLineEdit>(dialog, "1004")->clear();
                             rows->setCurrentItem(rows->topLevelItem(1));
                             EXPECT_EQ(boxes.texts,
                                       QStringList{"Name cannot be empty. Try again."});
                             EXPECT_EQ(rows->currentItem(), rows->topLevelItem(0));
                             field<QLineEdit>(dialog, "1004")->setText("id");
                             // The name column becomes full_name, a TEXT.
                             rows->setCurrentItem(rows->topLevelItem(1));
                             field<QLineEdit>(dialog, "1004")->setText("full_name");
                             auto* type = field<QComboBox>(dialog, "1302");
                             type->setCurrentIndex(type->findText("TEXT"));
                             EXPECT_FALSE(field<QLineEdit>(dialog, "1006")->isVisibleTo(dialog));
                             // The balance is left out: unticked while another row is shown.
                             rows->topLevelItem(2)->setCheckState(0, Qt::Unchecked);
                             press(dialog, "1");
                         }),
              QDialog::Accepted);
    sql_table_mutator* table = c->get_table_mutator3(L"dbo.customers");
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->new_name, L"clients");
    ASSERT_EQ(table->field_mutators.size(), 2u);
    EXPECT_EQ(table->field_mutators[L"name"]->new_name, L"full_name");
    EXPECT_EQ(table->field_mutators[L"name"]->native_type.type, L"TEXT");
    EXPECT_EQ(table->field_mutators[L"balance"]->new_name, L"balance")
        << "the unticked row keeps its own values, not those of the row shown";
    EXPECT_EQ(table->field_mutators[L"balance"]->status, udb_mutators::deleted);

    // Reopened, the dialog shows the edits.
    edit_table(*c, L"dbo.customers", [](types_map_dlg* dialog) {
        QTreeWidget* rows = dialog->columns();
        EXPECT_EQ(field<QLineEdit>(dialog, "1003")->text(), "clients");
        EXPECT_EQ(rows->topLevelItem(2)->checkState(0), Qt::Unchecked);
        rows->setCurrentItem(rows->topLevelItem(1));
        EXPECT_EQ(field<QLineEdit>(dialog, "1004")->text(), "full_name");
        EXPECT_EQ(field<QComboBox>(dialog, "1302")->currentText(), "TEXT");
        press(dialog, "2");
    });

    // A run creates the table as edited.
    c->store_mysql_settings(mysql.host, mysql.user, mysql.password, std::to_string(mysql.port));
    c->connect_mysql_server();
    c->dest = L"gui_type_map";
    c->mode = 0;
    c->selected_tables = {L"dbo.customers"};
    c->check_dest();
    (*c)();
    EXPECT_TRUE(env.ui.errors.empty());
    MYSQL client;
    mysql_init(&client);
    ASSERT_NE(mysql_real_connect(&client, mysql.host.c_str(), mysql.user.c_str(),
                                 mysql.password.c_str(), nullptr, mysql.port, nullptr, 0),
              nullptr);
    const std::string statement =
        "SELECT column_name, data_type FROM information_schema.columns WHERE table_schema = "
        "'gui_type_map' AND table_name = 'clients' ORDER BY ordinal_position";
    ASSERT_EQ(mysql_query(&client, statement.c_str()), 0);
    MYSQL_RES* result = mysql_store_result(&client);
    std::vector<std::string> columns;
    while (MYSQL_ROW row = mysql_fetch_row(result)) {
        columns.push_back(std::string(row[0]) + " " + row[1]);
    }
    mysql_free_result(result);
    EXPECT_EQ(columns, (std::vector<std::string>{"id int", "full_name text"}));
    mysql_query(&client, "SELECT full_name FROM gui_type_map.clients ORDER BY id");
    result = mysql_store_result(&client);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(mysql_num_rows(result), 2u);
    mysql_free_result(result);
    mysql_query(&client, "DROP DATABASE IF EXISTS gui_type_map");
    mysql_close(&client);
}

TEST_F(page_test, DoubleClickOnATableOpensItsEditTable) {
    auto c = converter();
    c->selected_queries = {{L"[a].[b.c]", L""}};
    type_files_in here(TYPE_FILES_DIR);
    vlm_sel_tables_page page(*c);
    ASSERT_TRUE(page.page_init());
    page.selected()->setCurrentRow(0);
    QString shown;
    when_modal_is<types_map_dlg>([&shown](types_map_dlg* dialog) {
        shown = field<QLineEdit>(dialog, "1003")->text();
        press(dialog, "2");
    });
    emit page.selected()->itemDoubleClicked(page.selected()->item(0));
    EXPECT_EQ(shown, "[a].[b.c]");
    EXPECT_EQ(c->get_table_mutator3(L"[a].[b.c]"), nullptr) << "Cancel saves nothing";
}

TEST_F(page_test, EditedBinaryColumnsKeepTheirBytes) {
    const test_support::mysql_test_server mysql = test_support::mysql_server_from_env();
    ASSERT_FALSE(mysql.host.empty());
    auto c = converter();
    c->src = L"velmora_files";
    type_files_in here(TYPE_FILES_DIR);
    box_answerer boxes;
    // Both binary columns renamed, the long one given another blob type.
    EXPECT_EQ(edit_table(*c, L"dbo.files",
                         [](types_map_dlg* dialog) {
                             QTreeWidget* rows = dialog->columns();
                             rows->setCurrentItem(rows->topLevelItem(1));
                             field<QLineEdit>(dialog, "1004")->setText("small_renamed");
                             rows->setCurrentItem(rows->topLevelItem(2));
                             field<QLineEdit>(dialog, "1004")->setText("big_renamed");
                             auto* type = field<QComboBox>(dialog, "1302");
                             type->setCurrentIndex(type->findText("MEDIUMBLOB"));
                             press(dialog, "1");
                         }),
              QDialog::Accepted);
    EXPECT_TRUE(boxes.texts.empty()) << boxes.texts.join("|").toStdString();
    c->store_mysql_settings(mysql.host, mysql.user, mysql.password, std::to_string(mysql.port));
    c->connect_mysql_server();
    c->dest = L"gui_binary";
    c->mode = 0;
    c->selected_tables = {L"dbo.files"};
    c->check_dest();
    (*c)();
    EXPECT_TRUE(env.ui.errors.empty()) << (env.ui.errors.empty() ? "" : env.ui.errors.front());
    MYSQL client;
    mysql_init(&client);
    ASSERT_NE(mysql_real_connect(&client, mysql.host.c_str(), mysql.user.c_str(),
                                 mysql.password.c_str(), nullptr, mysql.port, nullptr, 0),
              nullptr);
    const std::string statement = "SELECT CONCAT(id, '|', IFNULL(HEX(small_renamed), 'NULL'), '|', "
                                  "HEX(big_renamed), '|', DATA_TYPE) FROM gui_binary.`dbo.files`, "
                                  "information_schema.columns WHERE table_schema = 'gui_binary' "
                                  "AND column_name = 'big_renamed' ORDER BY id";
    ASSERT_EQ(mysql_query(&client, statement.c_str()), 0) << mysql_error(&client);
    MYSQL_RES* result = mysql_store_result(&client);
    std::vector<std::string> rows;
    while (MYSQL_ROW row = mysql_fetch_row(result)) {
        rows.push_back(row[0]);
    }
    mysql_free_result(result);
    EXPECT_EQ(rows,
              (std::vector<std::string>{"1|00FF10|000102FF|mediumblob", "2|NULL||mediumblob"}));
    ASSERT_EQ(mysql_query(&client, "SELECT COLUMN_TYPE FROM information_schema.columns WHERE "
                                   "table_schema = 'gui_binary' AND column_name = 'small_renamed'"),
              0);
    result = mysql_store_result(&client);
    MYSQL_ROW type = mysql_fetch_row(result);
    ASSERT_NE(type, nullptr);
    EXPECT_EQ(std::string(type[0]), "longblob") << "a renamed column keeps the type it had";
    mysql_free_result(result);
    mysql_query(&client, "DROP DATABASE IF EXISTS gui_binary");
    mysql_close(&client);
}

TEST_F(page_test, EditTableRenamingOnlyTheTableAddsNoColumnEdit) {
    auto c = converter();
    type_files_in here(TYPE_FILES_DIR);
    box_answerer boxes;
    EXPECT_EQ(edit_table(*c, L"dbo.alpha",
                         [](types_map_dlg* dialog) {
                             field<QLineEdit>(dialog, "1003")->setText("Alpha Ü");
                             press(dialog, "1");
                         }),
              QDialog::Accepted);
    sql_table_mutator* table = c->get_table_mutator3(L"dbo.alpha");
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->new_name, L"Alpha Ü");
    EXPECT_TRUE(table->field_mutators.empty());
    EXPECT_TRUE(boxes.texts.empty());
    // An empty table name is refused and the dialog stays open.
    EXPECT_EQ(edit_table(*c, L"dbo.alpha",
                         [](types_map_dlg* dialog) {
                             field<QLineEdit>(dialog, "1003")->clear();
                             press(dialog, "1");
                             EXPECT_TRUE(dialog->isVisible());
                             press(dialog, "2");
                         }),
              QDialog::Rejected);
    EXPECT_EQ(boxes.texts, QStringList{"Name cannot be empty. Try again."});
    EXPECT_EQ(c->get_table_mutator3(L"dbo.alpha")->new_name, L"Alpha Ü");
}
