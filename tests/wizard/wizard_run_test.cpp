// Whole runs through the wizard's last two pages and its start-up: into MariaDB and into a
// script file replayed with the mariadb client, runs with errors, the quick launch and its
// failures, closing the wizard in the middle of a run, and the program's own refusals.
#include "GUI2/g_f_dlg.h"
#include "GUI2/g_wiz_sh.h"
#include "GUI2/g_wiz_ui.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "common/cmn_fin.h"
#include "common/cmn_prog.h"
#include "common/cmn_start.h"
#include "converter/vlm_conv.h"
#include "converter/vlm_errh.h"
#include "platform/tds/tds_provider.h"
#include "tests/GUI2/gui_test_support.h"
#include "tests/agent/agent_test_support.h"
#include "tests/wizard/wizard_test_support.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sys/stat.h>

namespace {

using agent_test::mysql_client;
using agent_test::read_file;
using agent_test::row;

// The last two pages of the sheet, as start-up builds them.
struct run_sheet {
    explicit run_sheet(velmora_convertor& converter) : shell(wizard_title()) {
        progress = new progress_page(converter);
        shell.add_page(progress);
        finish = new finish_page(converter, L"vlm", finish_success_text, finish_error_text);
        shell.add_page(finish);
    }
    bool on_finish_page() const { return shell.currentPage() == finish; }
    QString log() const { return progress->findChild<QPlainTextEdit*>("1016")->toPlainText(); }
    QString finish_text() const { return finish->findChild<QLabel*>("1314")->text(); }
    QPlainTextEdit* error_list() const { return finish->findChild<QPlainTextEdit*>("1016"); }

    wizard_shell shell;
    progress_page* progress;
    finish_page* finish;
};

class WizardRun : public agent_test::tds_suite<WizardRun> {
public:
    static std::vector<std::string> fixture_files() {
        return {std::string(WIZARD_FIXTURE_DIR) + "/wizard.tds"};
    }

protected:
    void SetUp() override {
        ASSERT_TRUE(db.connected());
        tds_register_provider();
    }
    void TearDown() override {
        set_file_chooser({});
        for (const std::string& database : used_) {
            db.exec("DROP DATABASE IF EXISTS `" + database + "`");
        }
    }

    void drop(const std::string& database) {
        db.exec("DROP DATABASE IF EXISTS `" + database + "`");
        used_.push_back(database);
    }

    // The settings the set-up pages would leave in the converter.
    void set_up(velmora_convertor& converter, bool direct, const std::string& dest,
                std::vector<std::wstring> tables) const {
        converter.mssqlh = tk_utf8_to_wstring(mssql_host());
        converter.sec_log = false;
        converter.mssqlu = L"sa";
        converter.mssqlp = L"Velmora-Pw1";
        converter.src = L"velmora_wizard";
        converter.direct = direct;
        converter.store_mysql_settings(db.server.host, db.server.user, db.server.password,
                                       std::to_string(db.server.port));
        converter.dest = tk_utf8_to_wstring(dest);
        converter.mode = 0;
        // The selection pages keep tables as queries without a text, in the order chosen.
        converter.selected_queries.clear();
        for (std::wstring& table : tables) {
            converter.selected_queries.emplace_back(std::move(table), std::wstring());
        }
    }

    // What the connection and MySQL pages do on Next.
    void connect(velmora_convertor& converter) const {
        converter.mss->connect(converter.mssqlh, converter.mssqlu, converter.mssqlp, converter.src,
                               true);
        if (converter.direct) {
            converter.connect_mysql_server();
        }
    }

    // A profile of these settings, written the way the finish page writes it (the program's
    // objects must exist).
    std::string profile(bool direct, const std::string& dest, std::vector<std::wstring> tables,
                        const std::string& name,
                        const std::function<void(velmora_convertor&)>& tweak = {}) {
        velmora_convertor converter;
        set_up(converter, direct, dest, std::move(tables));
        if (tweak) {
            tweak(converter);
        }
        const std::string path = dir.file(name);
        EXPECT_TRUE(save_profile_file(converter, tk_utf8_to_wstring(path)));
        return path;
    }

    void expect_rows(const std::string& database) {
        const std::vector<row> customers = {
            {"1", "Åsa Öberg", "2024-01-02"},
            {"2", "Bob", std::nullopt},
            {"3", "Zoë 😀", "2023-12-31"},
        };
        EXPECT_EQ(
            db.query("SELECT id, name, joined FROM `" + database + "`.`dbo.customers` ORDER BY id"),
            customers);
        const std::vector<row> notes = {
            {"1", "first line"}, {"2", "it's quoted"}, {"3", std::nullopt}};
        EXPECT_EQ(db.query("SELECT id, body FROM `" + database + "`.`dbo.notes` ORDER BY id"),
                  notes);
    }

    mysql_client db;

private:
    std::vector<std::string> used_;
};

void finish_when_done() {
    once_when([] { return shell_on("116"); },
              [] { tk_singleton<wizard_shell>::ref().button(QWizard::FinishButton)->click(); });
}

TEST_F(WizardRun, ServerRunReachesTheFinishPageAndItsSavedProfileRunsInPontrel) {
    drop("wiz_server");
    drop("wiz_pontrel");
    program_objects objects;
    std::string saved = dir.file("saved");
    {
        velmora_convertor converter;
        set_up(converter, true, "wiz_server", {L"dbo.customers", L"dbo.notes"});
        connect(converter);
        run_sheet sheet(converter);
        std::vector<int> bar_values;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            bar_values.push_back(sheet.progress->findChild<QProgressBar*>("1321")->value());
        });
        watch.start(5);
        sheet.shell.show();
        ASSERT_TRUE(wait_until([&] { return sheet.on_finish_page(); }, 30000));
        watch.stop();

        EXPECT_TRUE(sheet.log().contains("Converting database 'velmora_wizard' (2 tables)"))
            << sheet.log().toStdString();
        EXPECT_TRUE(sheet.log().contains("(3 records)")) << sheet.log().toStdString();
        EXPECT_EQ(sheet.progress->findChild<QProgressBar*>("1321")->value(), 100);
        EXPECT_TRUE(std::is_sorted(bar_values.begin(), bar_values.end()));
        EXPECT_EQ(sheet.finish_text(), QString::fromWCharArray(finish_success_text));
        EXPECT_TRUE(sheet.error_list()->isHidden());
        EXPECT_FALSE(sheet.shell.button(QWizard::CancelButton)->isEnabled());
        EXPECT_FALSE(sheet.shell.button(QWizard::HelpButton)->isEnabled());
        EXPECT_TRUE(sheet.shell.button(QWizard::FinishButton)->isVisible());
        EXPECT_FALSE(objects.ui.any_error());

        // "&Save Settings...": the name gets the profile extension.
        set_file_chooser([&](QWidget*, const file_dialog_request& request) {
            EXPECT_TRUE(request.save);
            EXPECT_EQ(request.title, "Select Profile");
            return std::optional<QString>(QString::fromStdString(saved));
        });
        sheet.finish->findChild<QAbstractButton*>("1116")->click();
        saved += ".vlm";
        ASSERT_TRUE(std::filesystem::is_regular_file(saved));
        sheet.shell.button(QWizard::FinishButton)->click();
        EXPECT_FALSE(sheet.shell.isVisible());
    }
    expect_rows("wiz_server");

    // The saved profile, as it is, into another database through pontrel: only the name of
    // the destination differs, and pontrel takes it from its option after the profile.
    const auto result =
        agent_test::run_pontrel({"--profile=" + saved, "--dest=wiz_pontrel"}, dir.path());
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
    expect_rows("wiz_pontrel");
}

TEST_F(WizardRun, QuickLaunchRunsAProfileIntoMariaDBAndIntoAScriptFile) {
    drop("wiz_quick");
    program_objects objects;
    const std::string server_profile =
        profile(true, "wiz_quick", {L"dbo.customers", L"dbo.notes"}, "server.vlm");
    // An existing database of that name is dropped by mode 0 before the sheet opens.
    db.exec("CREATE DATABASE wiz_quick");
    db.exec("CREATE TABLE wiz_quick.stale (id int)");
    finish_when_done();
    EXPECT_EQ(velmora_start(server_profile), 0);
    expect_rows("wiz_quick");
    EXPECT_TRUE(db.query("SHOW TABLES FROM wiz_quick LIKE 'stale'").empty());

    drop("wiz_script");
    const std::string script = dir.file("out.sql");
    { std::ofstream(script) << "old content\n"; }
    const std::string script_profile =
        profile(false, script, {L"dbo.customers", L"dbo.notes"}, "script.vlm");
    // As an editor may save it: a byte-order mark first.
    dir.write("script.vlm", "\xEF\xBB\xBF" + read_file(script_profile));
    finish_when_done();
    EXPECT_EQ(velmora_start(script_profile), 0);
    EXPECT_EQ(read_file(script).find("old content"), std::string::npos);
    db.exec("CREATE DATABASE wiz_script CHARACTER SET utf8mb4");
    EXPECT_EQ(test_support::replay_script(db.server, "wiz_script", script), "");
    expect_rows("wiz_script");
}

// The quick launch of a script profile refuses the rows whose unique key repeats an earlier
// row's, as a run into the server does: the run ends with 255 and the script replays into the
// rows a server run keeps.
TEST_F(WizardRun, QuickLaunchScriptRefusesTheRowsTheServerRefuses) {
    drop("wiz_script_keys");
    program_objects objects;
    const std::string script = dir.file("keys.sql");
    const std::string path = profile(false, script, {L"dbo.dupes", L"dbo.customers"}, "keys.vlm");
    // The question after the first refused row (the connecting window comes before it): go on,
    // and ask no more.
    once_when(
        [] {
            const QWidget* shown = QApplication::activeModalWidget();
            return shown != nullptr && shown->isVisible() &&
                   shown->findChild<QCheckBox*>() != nullptr;
        },
        [] {
            QWidget* shown = QApplication::activeModalWidget();
            shown->findChild<QCheckBox*>()->setChecked(true);
            for (auto* button : shown->findChildren<QAbstractButton*>()) {
                if (button->text().remove('&') == "Continue") {
                    button->click();
                }
            }
        });
    finish_when_done();
    EXPECT_EQ(velmora_start(path), 255);
    db.exec("CREATE DATABASE wiz_script_keys CHARACTER SET utf8mb4");
    ASSERT_EQ(test_support::replay_script(db.server, "wiz_script_keys", script), "");
    EXPECT_EQ(db.query("SELECT id, code FROM wiz_script_keys.`dbo.dupes`"),
              (std::vector<row>{{"1", "same"}}));
    EXPECT_EQ(db.query("SELECT COUNT(*) FROM wiz_script_keys.`dbo.customers`"),
              std::vector<row>{{"3"}});
}

// Views of a saved profile whose comments or literals MySQL reads otherwise than SQL Server: the
// quick launch creates each as the SELECT the check read, and no view reads the server's
// accounts; the other database survives.
TEST_F(WizardRun, QuickLaunchCreatesViewsAsTheCheckReadThem) {
    drop("wiz_views");
    drop("wiz_victim");
    db.exec("CREATE DATABASE wiz_victim");
    program_objects objects;
    const std::string path =
        profile(true, "wiz_views", {L"dbo.customers"}, "views.vlm", [](velmora_convertor& c) {
            c.convert_views = true;
            c.selected_views = {
                {L"v_exec", L"SELECT 1 AS a /*!, (SELECT GROUP_CONCAT(User,0x3a,Password) FROM "
                            L"mysql.user) AS leak */"},
                {L"v_mariadb", L"SELECT 1 AS a /*M!, (SELECT GROUP_CONCAT(User) FROM mysql.user) "
                               L"AS leak */; /*! DROP DATABASE wiz_victim */"},
                {L"v_lead", L"\r\n-- leading\r\nSELECT 1 AS a"},
                {L"v_slash", L"SELECT 'a\\'' , (SELECT GROUP_CONCAT(User) FROM mysql.user) AS "
                             L"leak, ' AS a"},
            };
        });
    finish_when_done();
    EXPECT_EQ(velmora_start(path), 0);
    for (const char* view : {"v_exec", "v_mariadb", "v_lead"}) {
        SCOPED_TRACE(view);
        EXPECT_EQ(db.query(std::string("SELECT * FROM wiz_views.") + view),
                  std::vector<row>{{"1"}});
    }
    EXPECT_EQ(db.query("SELECT a FROM wiz_views.v_slash"),
              std::vector<row>{{"a\\' , (SELECT GROUP_CONCAT(User) FROM mysql.user) AS leak, "}});
    EXPECT_TRUE(db.query("SELECT table_name FROM information_schema.columns WHERE "
                         "table_schema = 'wiz_views' AND column_name = 'leak'")
                    .empty());
    EXPECT_EQ(db.query("SHOW DATABASES LIKE 'wiz_victim'").size(), 1u);
    drop("wiz_victim");
}

// A saved profile's view that names another database (the server's accounts above all) is
// refused through the quick launch: the run ends with 255 and the destination holds no such
// view, however MySQL would read the name as qualified. A view of the destination's own is the
// control: created, exit 0.
TEST_F(WizardRun, QuickLaunchRefusesAViewOutsideTheDestination) {
    const std::pair<const wchar_t*, bool> cases[] = {
        {L"SELECT 42 AS a", false},
        {L"SELECT mysql.global_priv.User AS u, mysql.global_priv.Priv AS p FROM mysql.global_priv",
         true},
        {L"SELECT [User] AS u, [Password] AS h FROM mysql.[user]", true},
        {L"SELECT x FROM end.secret", true},
    };
    // END is no reserved word of MySQL: "end.secret" is a table of another database.
    drop("end");
    db.exec("CREATE DATABASE `end`");
    db.exec("CREATE TABLE `end`.secret (x INT)");
    for (const auto& [text, refused] : cases) {
        SCOPED_TRACE(tk_to_utf8(text));
        // A run's errors stay with its program: one program per run.
        program_objects objects;
        drop("wiz_outside");
        const std::string path = profile(true, "wiz_outside", {L"dbo.customers"}, "outside.vlm",
                                         [text = text](velmora_convertor& c) {
                                             c.convert_views = true;
                                             c.selected_views = {{L"v", text}};
                                         });
        QTimer answering;
        // Each box is answered (OK, or Continue to a question), and the finish page closed.
        QObject::connect(&answering, &QTimer::timeout, [] {
            QWidget* shown = QApplication::activeModalWidget();
            if (shown != nullptr && shown->isVisible()) {
                if (auto* box = dynamic_cast<QMessageBox*>(shown)) {
                    box->button(QMessageBox::Ok)->click();
                    return;
                }
                for (auto* button : shown->findChildren<QAbstractButton*>()) {
                    if (button->text().remove('&') == "Continue") {
                        button->click();
                        return;
                    }
                }
            }
            if (shell_on("116")) {
                tk_singleton<wizard_shell>::ref().button(QWizard::FinishButton)->click();
            }
        });
        answering.start(5);
        EXPECT_EQ(velmora_start(path), refused ? 255 : 0);
        answering.stop();
        EXPECT_EQ(db.query("SELECT table_name FROM information_schema.views WHERE "
                           "table_schema = 'wiz_outside'"),
                  refused ? std::vector<row>{} : std::vector<row>{{"v"}});
    }
    drop("end");
}

// A saved profile runs as it was saved whatever the last session left in the registry: Full
// Replication stays Full Replication (owner-qualified names), and its views are created whether
// the last session's "Convert views" box was ticked or not.
TEST_F(WizardRun, QuickLaunchRunsTheProfileWhateverTheLastSessionLeft) {
    drop("wiz_session");
    program_objects objects;
    const std::string path = profile(true, "wiz_session", {L"dbo.customers", L"dbo.notes"},
                                     "session.vlm", [](velmora_convertor& c) {
                                         c.mss_schema.clear();
                                         c.convert_views = true;
                                         c.selected_views = {{L"answer", L"SELECT 42 AS a"}};
                                     });
    for (const bool schema_and_box : {true, false}) {
        SCOPED_TRACE(schema_and_box);
        {
            // The session before: its settings go to the registry when it ends.
            velmora_convertor last_session;
            last_session.mss_schema = schema_and_box ? L"dbo" : L"";
            last_session.convert_views = !schema_and_box;
        }
        finish_when_done();
        EXPECT_EQ(velmora_start(path), 0);
        EXPECT_EQ(db.query("SELECT table_name FROM information_schema.tables WHERE table_schema "
                           "= 'wiz_session' ORDER BY table_name"),
                  (std::vector<row>{{"answer"}, {"dbo.customers"}, {"dbo.notes"}}));
        expect_rows("wiz_session");
        EXPECT_EQ(db.query("SELECT a FROM wiz_session.answer"), std::vector<row>{{"42"}});
    }
}

// A profile that selects only views converts no table, as in pontrel: in mode 1 (which drops
// and recreates the tables it converts) an existing table keeps its rows.
TEST_F(WizardRun, QuickLaunchOfAProfileOfViewsOnlyConvertsNoTable) {
    drop("wiz_views_only");
    program_objects objects;
    const std::string path =
        profile(true, "wiz_views_only", {}, "views_only.vlm", [](velmora_convertor& c) {
            c.mode = 1;
            c.convert_views = true;
            c.selected_views = {{L"answer", L"SELECT 42 AS a"}};
        });
    db.exec("CREATE DATABASE wiz_views_only");
    db.exec("CREATE TABLE wiz_views_only.`dbo.customers` (id INT, name VARCHAR(20))");
    db.exec("INSERT INTO wiz_views_only.`dbo.customers` VALUES (42, 'do not lose me')");
    finish_when_done();
    EXPECT_EQ(velmora_start(path), 0);
    EXPECT_EQ(db.query("SELECT * FROM wiz_views_only.`dbo.customers`"),
              (std::vector<row>{{"42", "do not lose me"}}));
    EXPECT_EQ(db.query("SELECT COUNT(*) FROM information_schema.tables WHERE table_schema = "
                       "'wiz_views_only'"),
              std::vector<row>{{"2"}});
    EXPECT_EQ(db.query("SELECT a FROM wiz_views_only.answer"), std::vector<row>{{"42"}});
}

// A saved profile's query reaches the source through the quick launch as the one SELECT the
// check read: comments that FreeTDS's driver reads otherwise than SQL Server are gone, and a
// refused query never leaves (the run ends with 255 after its message).
TEST_F(WizardRun, QuickLaunchSendsEachQueryAsTheCheckReadIt) {
    program_objects objects;
    for (const agent_test::hidden_statement_query& query : agent_test::hidden_statement_queries) {
        SCOPED_TRACE(query.text);
        const std::string path =
            profile(false, dir.file("query.sql"), {}, "query.vlm", [&](velmora_convertor& c) {
                c.selected_queries = {{L"q1", tk_utf8_to_wstring(query.text)}};
            });
        server->clear_statements();
        const bool refused = std::string(query.sent).empty();
        QTimer answering;
        // The refusal's box is answered by OK, a question by Continue.
        QObject::connect(&answering, &QTimer::timeout, [] {
            QWidget* shown = QApplication::activeModalWidget();
            if (shown == nullptr || !shown->isVisible()) {
                return;
            }
            if (auto* box = dynamic_cast<QMessageBox*>(shown)) {
                box->button(QMessageBox::Ok)->click();
                return;
            }
            for (auto* button : shown->findChildren<QAbstractButton*>()) {
                if (button->text().remove('&') == "Continue") {
                    button->click();
                    return;
                }
            }
        });
        if (refused) {
            answering.start(5);
        } else {
            finish_when_done();
        }
        EXPECT_EQ(velmora_start(path), refused ? 255 : 0);
        answering.stop();
        EXPECT_EQ(agent_test::query_arrival_fault(server->statements(), query), "");
    }
}

// "[a.b].[c]" and "[a].[b.c]" are two tables through the profile the finish page saves: the
// quick launch and pontrel running that profile put each one's rows in the same table of its own.
TEST_F(WizardRun, TablesWhoseNamesDifferOnlyByTheDotKeepTheirRowsApart) {
    drop("wiz_dots");
    drop("wiz_dots_pontrel");
    program_objects objects;
    // As the conversion settings page leaves it on Next: not only the login's own tables.
    const std::string path = profile(true, "wiz_dots", {L"[a.b].[c]", L"[a].[b.c]"}, "dots.vlm",
                                     [](velmora_convertor& c) { c.set_view_owned(false); });
    const auto columns = [&](const std::string& database) {
        return db.query("SELECT table_name, column_name FROM information_schema.columns WHERE "
                        "table_schema = '" +
                        database + "' ORDER BY column_name");
    };
    const auto expect_apart = [&](const std::string& database) {
        const std::vector<row> found = columns(database);
        ASSERT_EQ(found.size(), 2u) << database;
        EXPECT_EQ(found[0][1], "left_id");
        EXPECT_EQ(found[1][1], "right_id");
        EXPECT_NE(found[0][0], found[1][0]);
        EXPECT_EQ(db.query("SELECT left_id FROM `" + database + "`.`" + *found[0][0] + "`"),
                  std::vector<row>{{"1"}});
        EXPECT_EQ(db.query("SELECT right_id FROM `" + database + "`.`" + *found[1][0] + "`"),
                  std::vector<row>{{"2"}});
    };
    finish_when_done();
    ASSERT_EQ(velmora_start(path), 0);
    expect_apart("wiz_dots");

    const auto result =
        agent_test::run_pontrel({"--profile=" + path, "--dest=wiz_dots_pontrel"}, dir.path());
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
    expect_apart("wiz_dots_pontrel");
    EXPECT_EQ(columns("wiz_dots_pontrel"), columns("wiz_dots"));
}

// Level-0 record errors: Continue with "do not show again" lists every later one silently, and
// the finish page shows the first 20; Abort ends the run at once, the rows done kept.
TEST_F(WizardRun, ErrorsOfARunAreListedAndAbortEndsIt) {
    drop("wiz_errors");
    {
        program_objects objects;
        velmora_convertor converter;
        set_up(converter, true, "wiz_errors", {L"dbo.dupes", L"dbo.customers"});
        connect(converter);
        run_sheet sheet(converter);
        QString question;
        when_modal([&](QWidget* shown) {
            question = shown->findChild<QLabel*>("1320") != nullptr
                           ? shown->findChild<QLabel*>("1320")->text()
                           : QString();
            shown->findChild<QCheckBox*>()->setChecked(true);
            for (auto* button : shown->findChildren<QAbstractButton*>()) {
                if (button->text().remove('&') == "Continue") {
                    button->click();
                }
            }
        });
        sheet.shell.show();
        ASSERT_TRUE(wait_until([&] { return sheet.on_finish_page(); }, 30000));
        EXPECT_TRUE(question.contains("record #2")) << question.toStdString();
        EXPECT_EQ(sheet.finish_text(), QString::fromWCharArray(finish_error_text));
        ASSERT_FALSE(sheet.error_list()->isHidden());
        const QStringList listed =
            sheet.error_list()->toPlainText().split("\n\n", Qt::SkipEmptyParts);
        EXPECT_EQ(listed.size(), 20) << sheet.error_list()->toPlainText().toStdString();
        EXPECT_TRUE(listed.front().contains("record #2")) << listed.front().toStdString();
        EXPECT_FALSE(sheet.error_list()->toPlainText().contains("record #22"));
        EXPECT_TRUE(objects.ui.any_error());
        sheet.shell.button(QWizard::FinishButton)->click();
    }
    EXPECT_EQ(db.query("SELECT COUNT(*) FROM wiz_errors.`dbo.dupes`"), std::vector<row>{{"1"}});
    EXPECT_EQ(db.query("SELECT COUNT(*) FROM wiz_errors.`dbo.customers`"), std::vector<row>{{"3"}});

    drop("wiz_abort");
    {
        program_objects objects;
        velmora_convertor converter;
        set_up(converter, true, "wiz_abort", {L"dbo.customers", L"dbo.dupes", L"dbo.notes"});
        connect(converter);
        run_sheet sheet(converter);
        when_modal([&](QWidget* shown) {
            for (auto* button : shown->findChildren<QAbstractButton*>()) {
                if (button->text().remove('&') == "Abort") {
                    button->click();
                }
            }
        });
        sheet.shell.show();
        ASSERT_TRUE(wait_until([&] { return sheet.on_finish_page(); }, 30000));
        EXPECT_EQ(sheet.finish_text(), QString::fromWCharArray(finish_error_text));
        EXPECT_EQ(sheet.error_list()->toPlainText().split("\n\n", Qt::SkipEmptyParts).size(), 1);
        sheet.shell.button(QWizard::FinishButton)->click();
    }
    EXPECT_EQ(db.query("SELECT COUNT(*) FROM wiz_abort.`dbo.customers`"), std::vector<row>{{"3"}});
    EXPECT_EQ(db.query("SELECT COUNT(*) FROM wiz_abort.`dbo.dupes`"), std::vector<row>{{"1"}});
    EXPECT_TRUE(db.query("SHOW TABLES FROM wiz_abort LIKE 'dbo.notes'").empty());
}

// Every road on which a quick launch cannot run: the user sees why in a box, the program ends
// with 255, and nothing is dropped or written.
TEST_F(WizardRun, QuickLaunchFailuresAreShownAndEndWith255) {
    program_objects objects;
    drop("wiz_kept");
    db.exec("CREATE DATABASE wiz_kept");
    db.exec("CREATE TABLE wiz_kept.t (id int)");
    const std::string folder = dir.file("a_folder");
    std::filesystem::create_directory(folder);
    const std::string fifo = dir.file("a_fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string damaged = dir.write("damaged.vlm", "not a profile\n[Generic settings]\n");
    const std::string bad_mode = dir.write("mode.vlm", "[Generic settings]\nmode=7\n");

    const std::string good = profile(true, "wiz_kept", {L"dbo.customers"}, "good.vlm");
    const std::string wrong_password = profile(true, "wiz_kept", {L"dbo.customers"}, "wrong.vlm",
                                               [](velmora_convertor& c) { c.pswd = "nope"; });
    const std::string no_source = profile(true, "wiz_kept", {L"dbo.customers"}, "no_source.vlm",
                                          [](velmora_convertor& c) { c.src = L"velmora_none"; });
    // A profile whose trace log is the profile itself: the log would empty it.
    const std::string self_log_text =
        "[Generic settings]\r\nlogfile=" + dir.file("self_log.vlm") + "\r\nmode=0\r\n";
    const std::string self_log = dir.write("self_log.vlm", self_log_text);
    // A runnable profile whose last type mapping is refused: none of it may run.
    const std::string bad_mapping =
        profile(true, "wiz_kept", {L"dbo.customers"}, "bad_mapping.vlm", [](velmora_convertor& c) {
            sql_native_type type;
            type.type = L"INT); DROP DATABASE wiz_kept; --";
            c.get_table_mutator2(L"[dbo].[notes]", L"dbo.notes")->update_field(L"id", L"id", type);
        });

    // Views a profile selects and says not to convert (as written by hand).
    std::string views_off_text =
        read_file(profile(true, "wiz_kept", {}, "views_off.vlm", [](velmora_convertor& c) {
            c.convert_views = true;
            c.selected_views = {{L"answer", L"SELECT 42 AS a"}};
        }));
    const std::size_t box = views_off_text.find("convert views=1");
    ASSERT_NE(box, std::string::npos) << views_off_text;
    views_off_text[box + std::strlen("convert views=")] = '0';
    const std::string views_off = dir.write("views_off.vlm", views_off_text);

    const struct {
        std::string profile;
        const char* shown; // a part of the first box's text
        std::function<void()> before;
    } cases[] = {
        {dir.file("missing.vlm"), "Profile does not exist", {}},
        {"", "Profile does not exist", {}},
        {folder, "is a folder", {}},
        {damaged, "could not be read", {}},
        {bad_mode, "Invalid merge/overwrite mode", {}},
        {dir.write("nul.vlm", std::string("[MS SQL Server settings]\r\npassword=pw\0zz\r\n", 42)),
         "the value of 'password' in [MS SQL Server settings] holds a NUL byte",
         {}},
        {dir.write("bad_dest.vlm", "[Generic settings]\r\ndest=wiz\xFF\r\n"),
         "the value of 'dest' in [Generic settings] is not valid UTF-8",
         {}},
        {bad_mapping, "is not a MySQL type", {}},
        {good, "", [] { WizardRun::server->refuse_logins(true); }},
        {wrong_password, "", {}},
        {no_source, "", {}},
        {profile(false, folder, {L"dbo.customers"}, "to_folder.vlm"), "folder", {}},
        {profile(false, fifo, {L"dbo.customers"}, "to_fifo.vlm"), "not a regular file", {}},
        {profile(true, "mysql", {L"dbo.customers"}, "to_mysql.vlm"), "", {}},
        {self_log, "which the log would empty", {}},
        // A script replay recreates its tables: it cannot keep what mode 2 keeps.
        {profile(false, dir.file("moded.sql"), {L"dbo.customers"}, "moded.vlm",
                 [](velmora_convertor& c) { c.mode = 2; }),
         "which a script cannot do",
         {}},
        // Views the profile leaves out are no selection: nothing to convert, nothing dropped.
        {views_off, "the selected views (answer) are left out: 'Convert views' is off", {}},
        // A profile that selects nothing: mode 0 would drop the database, a script stand empty.
        {profile(true, "wiz_kept", {}, "nothing.vlm"), "There is nothing to convert", {}},
        {profile(false, dir.file("nothing.sql"), {}, "nothing_script.vlm"),
         "There is nothing to convert",
         {}},
        // Last, when the settings kept from the runs above name wiz_kept in mode 0: a profile
        // that sets nothing must not run those.
        {dir.write("empty.vlm", ""), "could not be read", {}},
        {dir.write("headers.vlm", "[Generic settings]\r\n\r\n[MySQL settings]\r\n"),
         "could not be read",
         {}},
    };
    for (const auto& c : cases) {
        if (c.before) {
            c.before();
        }
        seen_box first;
        // Every box is answered: a level-0 question by Continue, an error box by OK.
        QTimer answering;
        bool recorded = false;
        QObject::connect(&answering, &QTimer::timeout, [&] {
            QWidget* shown = QApplication::activeModalWidget();
            if (shown == nullptr || !shown->isVisible()) {
                return;
            }
            if (auto* box = dynamic_cast<QMessageBox*>(shown)) {
                if (!recorded) {
                    first.text = box->text();
                    recorded = true;
                }
                box->button(QMessageBox::Ok)->click();
                return;
            }
            if (auto* label = shown->findChild<QLabel*>("1320"); label && !recorded) {
                first.text = label->text();
                recorded = true;
            }
            for (auto* button : shown->findChildren<QAbstractButton*>()) {
                if (button->text().remove('&') == "Continue") {
                    button->click();
                    return;
                }
            }
        });
        answering.start(5);
        EXPECT_EQ(velmora_start(c.profile), 255) << c.profile;
        answering.stop();
        server->clear_faults();
        EXPECT_TRUE(recorded) << c.profile;
        EXPECT_TRUE(first.text.contains(c.shown)) << c.profile << ": " << first.text.toStdString();
        EXPECT_EQ(tk_singleton<wizard_shell>::pointer(), nullptr);
    }
    EXPECT_EQ(db.query("SELECT COUNT(*) FROM information_schema.tables WHERE table_schema = "
                       "'wiz_kept'"),
              std::vector<row>{{"1"}});
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_EQ(read_file(self_log), self_log_text);
    EXPECT_FALSE(std::filesystem::exists(dir.file("nothing.sql")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("moded.sql")));
}

// Cancel in the middle of the million-row table: the wizard asks, the run stops at its next
// row, the rows counted as done are in MariaDB, and teardown writes the settings.
// Cancels the run of the quick launch of `path` once more than 5000 rows are done, answering the
// wizard's question Yes; returns the program's result and the rows done when Cancel returned.
std::pair<int, std::uint64_t> close_mid_run(const std::string& path, QString& asked_text,
                                            qint64& took_ms) {
    std::uint64_t done_at_close = 0;
    seen_box asked;
    QElapsedTimer clock;
    once_when(
        [] {
            auto* converter = tk_singleton<velmora_convertor>::pointer();
            return converter != nullptr && converter->records_done.load() > 5000 && shell_on("107");
        },
        [&] {
            record_and_press(asked, QMessageBox::Yes);
            clock.start();
            tk_singleton<wizard_shell>::ref().button(QWizard::CancelButton)->click();
            done_at_close = tk_singleton<velmora_convertor>::ref().records_done.load();
        });
    const int result = velmora_start(path);
    asked_text = asked.text;
    took_ms = clock.elapsed();
    return {result, done_at_close};
}

TEST_F(WizardRun, ClosingDuringARunStopsItAndKeepsTheRowsDone) {
    drop("wiz_close");
    program_objects objects;
    const std::string path = profile(true, "wiz_close", {L"dbo.many_rows"}, "big.vlm");
    const std::filesystem::path registry =
        std::filesystem::path(std::getenv("XDG_CONFIG_HOME")) / "velmora" / "registry";
    std::filesystem::remove(registry);

    // Threads of this process but Qt's idle pool threads, which Qt keeps for a while.
    const auto threads = [] {
        int count = 0;
        for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
            count += read_file((task.path() / "comm").string()) != "Thread (pooled)\n";
        }
        return count;
    };
    const auto threads_before = threads();
    QString asked;
    qint64 took = 0;
    const auto [result, done_at_close] = close_mid_run(path, asked, took);
    EXPECT_EQ(result, 255);
    // The conversion and connect threads are gone (the test server's own may take a moment).
    EXPECT_TRUE(wait_until([&] { return threads() <= threads_before; }, 5000))
        << threads() << " threads, " << threads_before << " before";
    EXPECT_EQ(asked, "Are you sure you want to exit the wizard?");
    EXPECT_LT(took, 10000);
    EXPECT_TRUE(std::filesystem::is_regular_file(registry));
    EXPECT_EQ(tk_singleton<velmora_convertor>::pointer(), nullptr);

    const auto counted = db.query("SELECT COUNT(*) FROM wiz_close.`dbo.many_rows`");
    ASSERT_EQ(counted.size(), 1U);
    const std::uint64_t rows = std::stoull(*counted[0][0]);
    EXPECT_EQ(rows, done_at_close);
    EXPECT_GE(rows, 5000U);
    EXPECT_LT(rows, 1000000U);
    ASSERT_FALSE(objects.ui.errors.empty());
    EXPECT_EQ(objects.ui.errors.back(),
              "The conversion was stopped by the user.\n[dbo].[many_rows]: "
              "The rows up to record #" +
                  std::to_string(rows) + " are in the table; later ones were not copied.");
}

// The script road: a stopped run leaves no half script, and an older file of that name stays.
TEST_F(WizardRun, ClosingDuringAScriptRunLeavesNoHalfScript) {
    program_objects objects;
    const std::string script = dir.write("big.sql", "old content\n");
    const std::string path = profile(false, script, {L"dbo.many_rows"}, "big_script.vlm");
    QString asked;
    qint64 took = 0;
    EXPECT_EQ(close_mid_run(path, asked, took).first, 255);
    EXPECT_LT(took, 10000);
    EXPECT_EQ(read_file(script), "old content\n");
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        left.push_back(entry.path().filename().string());
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"big.sql", "big_script.vlm"}));
    EXPECT_NE(
        std::find(objects.ui.errors.begin(), objects.ui.errors.end(), "No script was written."),
        objects.ui.errors.end());
}

// As a process: no display and a bad command line end at once with a word on stderr.
TEST(WizardProgram, NoDisplayAndExtraArgumentsEndWith255) {
    agent_test::temp_dir dir;
    const auto run = [&](std::vector<std::string> args, std::vector<std::string> env) {
        std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM";
        for (const std::string& e : env) {
            command += " '" + e + "'";
        }
        command += " '" VELMORA_PATH "'";
        for (const std::string& a : args) {
            command += " '" + a + "'";
        }
        command += " 2>'" + dir.file("err") + "' >/dev/null";
        const int status = std::system(command.c_str());
        return std::make_pair(WEXITSTATUS(status), read_file(dir.file("err")));
    };
    const auto [no_display, why] = run({}, {});
    EXPECT_EQ(no_display, 255);
    EXPECT_NE(why.find("no display"), std::string::npos) << why;
    EXPECT_EQ(run({"a.vlm"}, {}).first, 255);

    const auto [usage, text] =
        run({"a.vlm", "b.vlm"}, {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + dir.path()});
    EXPECT_EQ(usage, 255);
    EXPECT_NE(text.find("Usage: velmora [PROFILE]"), std::string::npos) << text;
}

} // namespace

namespace {

TEST(ProgressPage, PercentOfObjectsAndOfTheCurrentObjectsRecords) {
    const struct {
        std::int32_t count, index;
        std::uint64_t records, done;
        unsigned percent;
    } cases[] = {
        {0, 0, 10, 5, 0},                               // no run yet
        {4, 1, 0, 0, 25},                               // after the first of four
        {4, 1, 1000, 500, 37},                          // halfway through the second
        {4, 1, 0, 7, 25},                               // no records: the objects' share only
        {4, 1, udb_recordset::unknown_count, 9, 25},    // a count the source could not take
        {3, 2, 3, 3, 99},                               // truncated, never rounded up
        {1, 0, 10, 25, 100},                            // more rows than counted stays in bounds
        {2, 1, 0xFFFFFFFFFFFULL, 0x7FFFFFFFFFFULL, 74}, // large counts do not overflow
    };
    for (const auto& c : cases) {
        EXPECT_EQ(progress_percent(c.count, c.index, c.records, c.done), c.percent)
            << c.count << " " << c.index << " " << c.records << " " << c.done;
    }
}

// The log box keeps the newest text within its limit and starts on a whole line.
TEST(ProgressPage, LogBoxDropsTheOldestLines) {
    program_objects objects;
    velmora_convertor converter;
    run_sheet sheet(converter);
    sheet.progress->run_on_entry = false;
    sheet.shell.show();
    const std::wstring line(999, L'x');
    for (int i = 0; i < 1100; ++i) {
        sheet.shell.write_log(std::to_wstring(i % 10) + line.substr(1) + L"\r\n");
    }
    sheet.shell.write_log(L"last line\r\n");
    const QString text = sheet.log();
    EXPECT_LE(text.size(), wizard_shell::log_limit);
    EXPECT_GT(text.size(), wizard_shell::log_limit - 2000);
    EXPECT_TRUE(text.endsWith("last line\n")) << text.right(20).toStdString();
    EXPECT_TRUE(text.startsWith(QString::number(text.front().digitValue()) + "xx"));
    EXPECT_EQ(text.indexOf('\n') % 1000, 999);
}

} // namespace

namespace {

// The list: the first 20 errors, a line feed inside one shown as a blank, an empty line after
// each; the first focus of the list moves on to Finish without leaving a selection.
TEST(FinishPage, ListsTheFirstTwentyErrorsOnOneLineEach) {
    program_objects objects;
    velmora_convertor converter;
    run_sheet sheet(converter);
    sheet.progress->run_on_entry = false;
    sheet.shell.show();
    objects.ui.errors.push_back("dbo.a: first part\nsecond part\r\nthird");
    for (int i = 2; i <= 20; ++i) {
        objects.ui.errors.push_back("error " + std::to_string(i));
    }
    converter.finished = true;
    sheet.progress->on_timer();
    ASSERT_TRUE(wait_until([&] { return sheet.on_finish_page(); }));
    EXPECT_EQ(sheet.finish_text(), QString::fromWCharArray(finish_error_text));
    const QString list = sheet.error_list()->toPlainText();
    EXPECT_TRUE(list.startsWith("dbo.a: first part second part third\n\nerror 2\n\n"))
        << list.toStdString();
    EXPECT_TRUE(list.endsWith("error 20\n\n")) << list.toStdString();

    sheet.error_list()->setFocus();
    ASSERT_TRUE(wait_until([&] { return sheet.shell.button(QWizard::FinishButton)->hasFocus(); }));
    EXPECT_FALSE(sheet.error_list()->textCursor().hasSelection());
    EXPECT_TRUE(sheet.error_list()->textCursor().atEnd());
}

} // namespace
