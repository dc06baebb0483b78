// The script-file options, MySQL settings and conversion settings pages: controls filled from
// and stored into the converter, Next and Back answers, refused input.
#include "pages_test_support.h"

#include "common/cmn_convs.h"
#include "common/cmn_dump.h"
#include "common/cmn_mysql.h"
#include "tests/support/mysql_test_env.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>

#include <cstdlib>

namespace {

template <class T> T* control(QWidget* page, const char* id) {
    auto* found = page->findChild<T*>(id);
    EXPECT_NE(found, nullptr) << id;
    return found;
}

} // namespace

TEST_F(page_test, ScriptOptionsPageShowsAndStoresTheOptions) {
    auto c = converter();
    c->dump_opts.new_version = true;
    c->dump_opts.line_breaks = 1;
    c->dump_opts.create_tables = true;
    c->dump_opts.create_database = true;
    dump_page page(*c);
    ASSERT_TRUE(page.page_init());
    EXPECT_TRUE(control<QRadioButton>(&page, "1329")->isChecked());
    EXPECT_TRUE(control<QRadioButton>(&page, "1332")->isChecked());
    auto* create_db = control<QCheckBox>(&page, "1203");
    EXPECT_TRUE(create_db->isEnabled());

    // Unticking CREATE TABLE disables CREATE DATABASE, whose tick stays and is stored.
    control<QCheckBox>(&page, "1204")->click();
    EXPECT_FALSE(create_db->isEnabled());
    EXPECT_TRUE(create_db->isChecked());
    control<QRadioButton>(&page, "1330")->click();
    control<QRadioButton>(&page, "1331")->click();
    control<QCheckBox>(&page, "1202")->setChecked(false);

    // Back stores too, and the engine follows the version at once.
    EXPECT_EQ(page.on_back(), wizard_page::move_on);
    EXPECT_FALSE(c->dump_opts.new_version);
    EXPECT_EQ(c->sql->version, 0x31401u);
    EXPECT_EQ(c->dump_opts.line_breaks, 0);
    EXPECT_FALSE(c->dump_opts.create_tables);
    EXPECT_TRUE(c->dump_opts.create_database);
    EXPECT_FALSE(c->dump_opts.lock_tables);

    control<QRadioButton>(&page, "1329")->click();
    EXPECT_EQ(page.on_next(), 106) << "past the MySQL settings page";
    EXPECT_EQ(c->sql->version, 0x40100u);
}

TEST_F(page_test, MySqlSettingsPageStoresWhatEachModeMeans) {
    auto c = converter();
    mysql_settings_page page(*c);
    auto* user = control<QLineEdit>(&page, "1012");
    auto* password = control<QLineEdit>(&page, "1013");
    auto* host = control<QLineEdit>(&page, "1014");
    auto* port = control<QLineEdit>(&page, "1015");
    const struct {
        bool remote;
        const char* host;
        const char* port;
        std::string stored_host;
        std::string stored_port;
    } cases[] = {
        {false, "db.example", "4000", "", "3306"},
        {true, " db.example ", "", "db.example", "3306"},
        {true, "10.0.0.7", "   ", "10.0.0.7", "3306"},
        {true, "10.0.0.7", " 3307 ", "10.0.0.7", "3307"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.host);
        c->host = each.remote ? "placeholder" : "";
        ASSERT_TRUE(page.page_init());
        EXPECT_EQ(host->isEnabled(), each.remote);
        host->setText(each.host);
        port->setText(each.port);
        user->setText("  Zoë \"x\";} ");
        password->setText(" p w ");
        EXPECT_EQ(page.on_back(), 118);
        EXPECT_EQ(c->host, each.stored_host);
        EXPECT_EQ(c->port, each.stored_port);
        EXPECT_EQ(c->user, "Zoë \"x\";}");
        EXPECT_EQ(c->pswd, "p w");
    }
    // The next activation shows what was stored.
    ASSERT_TRUE(page.page_init());
    EXPECT_TRUE(control<QRadioButton>(&page, "1330")->isChecked());
    EXPECT_EQ(host->text(), "10.0.0.7");
    EXPECT_EQ(port->text(), "3307");
    c->host.clear();
    ASSERT_TRUE(page.page_init());
    EXPECT_TRUE(control<QRadioButton>(&page, "1329")->isChecked());
    EXPECT_FALSE(port->isEnabled());
}

TEST_F(page_test, MySqlSettingsPageConnectsOrSaysWhyNot) {
    const test_support::mysql_test_server mysql = test_support::mysql_server_from_env();
    ASSERT_FALSE(mysql.host.empty());
    auto c = converter();
    mysql_settings_page page(*c);
    auto* user = control<QLineEdit>(&page, "1012");
    auto* password = control<QLineEdit>(&page, "1013");
    auto* host = control<QLineEdit>(&page, "1014");
    auto* port = control<QLineEdit>(&page, "1015");
    const std::string access_denied = "Access denied. Verify the user name and password are "
                                      "correct, and you have\nthe necessary privileges to connect "
                                      "to the target MySQL server.";
    const struct {
        const char* port;
        const char* password;
        int answer;
        std::string box;
    } cases[] = {
        {"0", "", wizard_page::stay, "Invalid port number"},
        {"abc", "", wizard_page::stay, "Invalid port number"},
        {"", "wrong password", wizard_page::stay, access_denied},
        {"", mysql.password.c_str(), wizard_page::move_on, ""},
    };
    c->host = "remote";
    ASSERT_TRUE(page.page_init());
    for (const auto& each : cases) {
        SCOPED_TRACE(each.port);
        host->setText(QString::fromStdString(mysql.host));
        port->setText(*each.port ? QString(each.port) : QString::number(mysql.port));
        user->setText(QString::fromStdString(mysql.user));
        password->setText(each.password);
        box_answerer boxes;
        EXPECT_EQ(page.on_next(), each.answer);
        if (each.box.empty()) {
            EXPECT_TRUE(boxes.texts.empty());
            EXPECT_TRUE(c->sql->connected);
        } else {
            ASSERT_EQ(boxes.texts.size(), 1);
            EXPECT_EQ(boxes.texts[0].toStdString(), each.box);
            EXPECT_EQ(user->text().toStdString(), mysql.user) << "nothing typed is lost";
        }
    }
}

TEST_F(page_test, MySqlSettingsPageRefusesAHostThatIsNoHostName) {
    auto c = converter();
    c->host = "remote";
    mysql_settings_page page(*c);
    ASSERT_TRUE(page.page_init());
    for (const char* typed : {"db host", "db\";}", "höst.example;"}) {
        SCOPED_TRACE(typed);
        control<QLineEdit>(&page, "1014")->setText(QString::fromUtf8(typed));
        control<QLineEdit>(&page, "1015")->setText("3306");
        box_answerer boxes;
        EXPECT_EQ(page.on_next(), wizard_page::stay);
        EXPECT_EQ(boxes.texts.size(), 1);
        EXPECT_EQ(control<QLineEdit>(&page, "1014")->text(), QString::fromUtf8(typed));
        EXPECT_FALSE(c->sql->connected);
    }
}

TEST_F(page_test, LocalMySqlGoesToTheTestServersSocket) {
    const test_support::mysql_test_server mysql = test_support::mysql_server_from_env();
    ASSERT_FALSE(mysql.socket.empty());
    // The test program points the client's default socket at the test server (see main). The
    // test user exists for TCP only, so the server refuses the socket login: it was reached.
    ASSERT_EQ(std::string(std::getenv("MYSQL_UNIX_PORT")), mysql.socket);
    auto c = converter();
    c->host.clear();
    mysql_settings_page page(*c);
    ASSERT_TRUE(page.page_init());
    control<QLineEdit>(&page, "1012")->setText("nobody_here");
    box_answerer boxes;
    EXPECT_EQ(page.on_next(), wizard_page::stay);
    EXPECT_EQ(c->host, "");
    EXPECT_EQ(c->port, "3306");
    ASSERT_EQ(boxes.texts.size(), 1);
    EXPECT_TRUE(boxes.texts[0].startsWith("Access denied. Verify")) << boxes.texts[0].toStdString();
}

TEST_F(page_test, ConversionSettingsPageFollowsTheSourceAndStores) {
    auto c = converter();
    c->sql->charset = L"latin1";
    c->sql->storage_engine = L"MyISAM";
    c->skip_idx = true;
    conversion_settings page(*c);
    ASSERT_TRUE(page.page_init());
    auto* schema = control<QComboBox>(&page, "1306");
    auto* charset = control<QComboBox>(&page, "1303");
    auto* engine = control<QComboBox>(&page, "1304");
    QStringList listed;
    for (int i = 0; i < schema->count(); ++i) {
        listed << schema->itemText(i);
    }
    EXPECT_EQ(listed.first(), "<Full Replication>");
    EXPECT_TRUE(listed.contains("a.b") && listed.contains("Sales"))
        << listed.join(",").toStdString();
    EXPECT_EQ(schema->currentIndex(), 0);
    EXPECT_TRUE(charset->currentText().startsWith("latin1"));
    EXPECT_EQ(engine->currentText(), "MyISAM");
    EXPECT_TRUE(control<QCheckBox>(&page, "1226")->isChecked());

    // "<Full Replication>": every schema, and Next clears view_owned.
    // The list is the server's once a connection was made in this process, else a fixed one:
    // either way an entry is a name, " - " and a description, and the name is stored.
    charset->setCurrentIndex(charset->findText("utf8", Qt::MatchStartsWith));
    const QString chosen = charset->currentText();
    ASSERT_TRUE(chosen.contains(" - ")) << chosen.toStdString();
    EXPECT_EQ(page.on_next(), wizard_page::move_on);
    EXPECT_EQ(c->mss_schema, L"");
    EXPECT_FALSE(c->view_owned);
    EXPECT_EQ(c->sql->charset, chosen.section(' ', 0, 0).toStdWString());
    EXPECT_TRUE(c->skip_idx);

    // A typed schema is stored as typed; Back leaves view_owned set.
    schema->setEditText("Nowhere");
    EXPECT_EQ(page.on_back(), wizard_page::move_on);
    EXPECT_EQ(c->mss_schema, L"Nowhere");
    EXPECT_TRUE(c->view_owned);
    // Next refuses a schema the source lacks, as a run would, while it can still be changed;
    // any case of an existing one goes on.
    {
        box_answerer boxes;
        EXPECT_EQ(page.on_next(), wizard_page::stay);
        EXPECT_EQ(boxes.texts,
                  QStringList("The schema 'Nowhere' does not exist in database 'velmora_pages'."));
        schema->setEditText("sALES");
        EXPECT_EQ(page.on_next(), wizard_page::move_on);
        EXPECT_EQ(boxes.texts.size(), 1);
    }
    schema->setEditText("Nowhere");
    page.on_back();

    // The same source in another case keeps the list and the typed text; a stored prefix
    // selects the first schema that begins with it.
    c->src = L"VELMORA_PAGES";
    ASSERT_TRUE(page.page_init());
    EXPECT_EQ(schema->currentText(), "Nowhere");
    c->mss_schema = L"sal";
    ASSERT_TRUE(page.page_init());
    EXPECT_EQ(schema->currentText(), "Sales");
    // A stored engine no entry matches stays as it was.
    conversion_settings fresh(*c);
    c->sql->storage_engine = L"NoSuchEngine";
    ASSERT_TRUE(fresh.page_init());
    EXPECT_EQ(control<QComboBox>(&fresh, "1304")->currentText(), "");
    fresh.on_next();
    EXPECT_EQ(c->sql->storage_engine, L"NoSuchEngine");
    // Another source refills the list.
    c->src = L"no_such_db";
    c->mss_schema.clear();
    ASSERT_TRUE(page.page_init());
    EXPECT_EQ(schema->findText("Sales"), -1);
}
