// The MS SQL connection page with its connect thread and "Connecting" dialog, and the database and
// file page with the overwrite dialog, against the TDS test server and the MariaDB test server.
#include "gui_test_support.h"

#include "GUI2/g_anim.h"
#include "GUI2/g_f_dlg.h"
#include "GUI2/g_wiz_sh.h"
#include "GUI2/g_wiz_ui.h"
#include "TK/tk_log.h"
#include "TK/tk_rfile.h"
#include "TK/tk_utils.h"
#include "common/cmn_file.h"
#include "common/cmn_mss.h"
#include "common/cmn_over.h"
#include "common/cmn_welc.h"
#include "converter/vlm_conv.h"
#include "converter/vlm_errh.h"
#include "platform/com/com_api.h"
#include "platform/tds/tds_provider.h"
#include "tests/support/mysql_test_env.h"
#include "tests/support/tds_server/tds_server.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <gtest/gtest.h>
#include <mysql.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <thread>

namespace {

const wchar_t* const odd_login = L"J\u00f6rg O'Neil; }x";
const wchar_t* const odd_password = L"p w'\"; }x \u00fc";

// A page of the other wizard steps, reached by its dialog id.
struct stand_in_page : wizard_page {
    explicit stand_in_page(int dialog) : wizard_page(dialog, back | next, 0, "Title", "Subtitle") {}
};

// The next message box shown, also while another modal dialog (the "Connecting" one) runs:
// recorded, then answered with `button`.
void answer_box(seen_box& seen, QMessageBox::StandardButton button) {
    when_modal_is<QMessageBox>([&seen, button](QMessageBox* box) {
        seen.caption = box->windowTitle();
        seen.text = box->text();
        seen.owner = box->parentWidget();
        seen.shown = true;
        if (QAbstractButton* answer = box->button(button)) {
            answer->click();
        } else {
            ADD_FAILURE() << "unexpected box: " << seen.text.toStdString();
            box->reject();
        }
    });
}

// A port on 127.0.0.1 where nothing listens.
std::uint16_t closed_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

// A client of the MariaDB test server for preparing and checking destinations.
class mysql_checker {
public:
    explicit mysql_checker(const test_support::mysql_test_server& s) {
        mysql_init(&mysql_);
        connected = mysql_real_connect(&mysql_, s.host.c_str(), s.user.c_str(), s.password.c_str(),
                                       nullptr, s.port, nullptr, 0) != nullptr;
    }
    ~mysql_checker() { mysql_close(&mysql_); }
    void exec(const std::string& statement) {
        EXPECT_EQ(mysql_query(&mysql_, statement.c_str()), 0)
            << statement << ": " << mysql_error(&mysql_);
    }
    bool exists(const std::string& db) {
        const std::string statement =
            "SELECT 1 FROM information_schema.schemata WHERE schema_name='" + db + "'";
        if (mysql_query(&mysql_, statement.c_str()) != 0) {
            ADD_FAILURE() << mysql_error(&mysql_);
            return false;
        }
        MYSQL_RES* result = mysql_store_result(&mysql_);
        const bool found = result != nullptr && mysql_num_rows(result) > 0;
        mysql_free_result(result);
        return found;
    }
    bool connected = false;

private:
    MYSQL mysql_{};
};

// The wizard's first pages over a TDS test server: welcome, MS SQL (118), stand-ins for the
// script options (102) and MySQL (123) pages, the file page (106), a stand-in for the settings.
struct source_env {
    source_env() {
        EXPECT_TRUE(tds_provider_registered);
        server.start();
        // The registry keeps what the test before stored: every test starts from the same.
        converter.mssqlh = server_name();
        converter.mssqlu = L"sa";
        converter.mssqlp = L"Velmora-Pw1";
        converter.sec_log = false;
        converter.src.clear();
        converter.dest.clear();
        converter.log_file.clear();
        converter.mode = 0;
        converter.direct = true;
        shell.add_page(new welcome_page(converter, L"vlm"));
        shell.add_page(mss);
        shell.add_page(new stand_in_page(102));
        shell.add_page(new stand_in_page(123));
        shell.add_page(file);
        shell.add_page(new stand_in_page(110));
        shell.show();
        QApplication::processEvents();
    }
    ~source_env() { server.stop(); }

    std::wstring server_name() const { return L"127.0.0.1," + std::to_wstring(server.port()); }
    int current() const { return shell.current_wizard_page()->dialog(); }
    void enter(int dialog) {
        shell.go_to(shell.id_of_dialog(dialog));
        QApplication::processEvents();
    }
    void next() { shell.button(QWizard::NextButton)->click(); }
    void back() { shell.button(QWizard::BackButton)->click(); }
    template <class T> T* control(wizard_page* page, const char* name) {
        T* found = page->findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QLineEdit* edit(wizard_page* page, const char* name) { return control<QLineEdit>(page, name); }
    void connect_source() { converter.mss->connect(server_name(), L"sa", L"Velmora-Pw1", true); }

    // The trace log as the program has it, disabled: a log file name is checked against it.
    tk_logger logger{nullptr, false, 3, false};
    error_handler handler{err_map_oledb_size, err_map_oledb};
    wizard_ui ui;
    tds_server server{std::vector<std::string>{std::string(GUI_FIXTURE_DIR) + "/gui_source.tds",
                                               std::string(TDS_FIXTURE_DIR) + "/shop.tds",
                                               std::string(TDS_FIXTURE_DIR) + "/msssrc_names.tds"}};
    velmora_convertor converter;
    wizard_shell shell{L"Velmora 8.3"};
    mssql_settings_page* mss = new mssql_settings_page(converter);
    sel_file_page* file = new sel_file_page(converter);
    temp_folder files;
};

TEST(MssqlPage, ControlsShowTheConverterAndStoreIntoIt) {
    source_env env;
    env.converter.mssqlu = odd_login;
    env.converter.mssqlp = odd_password;
    env.converter.src = L"gui_src";
    env.converter.set_as_dbo(true);
    env.enter(118);
    EXPECT_EQ(env.current(), 118);
    EXPECT_EQ(env.edit(env.mss, "1014")->text().toStdWString(), env.server_name());
    EXPECT_EQ(env.edit(env.mss, "1012")->text().toStdWString(), odd_login);
    EXPECT_EQ(env.edit(env.mss, "1013")->text().toStdWString(), odd_password);
    EXPECT_EQ(env.edit(env.mss, "1013")->echoMode(), QLineEdit::Password);
    EXPECT_EQ(env.edit(env.mss, "1002")->text(), "gui_src");
    EXPECT_TRUE(env.control<QRadioButton>(env.mss, "1330")->isChecked());
    EXPECT_TRUE(env.edit(env.mss, "1012")->isEnabled());

    env.control<QRadioButton>(env.mss, "1329")->click();
    EXPECT_FALSE(env.edit(env.mss, "1012")->isEnabled());
    EXPECT_FALSE(env.edit(env.mss, "1013")->isEnabled());
    env.control<QRadioButton>(env.mss, "1330")->click();
    EXPECT_TRUE(env.edit(env.mss, "1012")->isEnabled());
    EXPECT_TRUE(env.edit(env.mss, "1013")->isEnabled());

    env.edit(env.mss, "1014")->setText("db host\\inst");
    env.edit(env.mss, "1002")->setText("Stra\u00dfe db");
    env.control<QRadioButton>(env.mss, "1329")->click();
    env.back();
    EXPECT_EQ(env.current(), 103);
    EXPECT_TRUE(env.converter.sec_log);
    EXPECT_EQ(env.converter.mssqlh, L"db host\\inst");
    EXPECT_EQ(env.converter.mssqlu, odd_login) << "kept for a later switch back";
    EXPECT_FALSE(env.converter.as_dbo) << "every store clears connect-as-owner";
    EXPECT_EQ(env.converter.src, L"gui_src") << "Back does not change the source database";

    env.enter(118);
    EXPECT_TRUE(env.control<QRadioButton>(env.mss, "1329")->isChecked());
    EXPECT_FALSE(env.edit(env.mss, "1012")->isEnabled());
    EXPECT_EQ(env.edit(env.mss, "1002")->text(), "gui_src") << "refilled from the converter";
}

TEST(MssqlPage, NextConnectsOnItsThreadAndGoesOnByScenario) {
    source_env env;
    // The connection of the odd login is used from the GUI thread and from another thread.
    for (const bool direct : {true, false}) {
        SCOPED_TRACE(direct ? "server destination" : "script file");
        env.converter.direct = direct;
        env.enter(118);
        env.edit(env.mss, "1012")->setText(QString::fromStdWString(odd_login));
        env.edit(env.mss, "1013")->setText(QString::fromStdWString(odd_password));
        env.edit(env.mss, "1002")->setText("gui_src");
        const std::thread::id gui = std::this_thread::get_id();
        env.next();
        EXPECT_EQ(env.current(), direct ? 123 : 102);
        EXPECT_TRUE(env.mss->connector().connected());
        EXPECT_EQ(env.mss->connector().dialog(), nullptr);
        EXPECT_EQ(env.converter.src, L"gui_src");
        EXPECT_EQ(env.converter.mss->user(), odd_login);
        EXPECT_TRUE(env.converter.mss->is_db_exist(L"velmora_shop"));

        std::vector<std::wstring> tables;
        std::thread worker([&] {
            // As the conversion thread does: COM for the thread, then the engine's connection.
            EXPECT_NE(std::this_thread::get_id(), gui);
            CoInitialize(nullptr);
            try {
                env.converter.get_all_tables(tables);
            } catch (const tk_exception& error) {
                ADD_FAILURE() << error.what();
            }
            CoUninitialize();
        });
        worker.join();
        EXPECT_EQ(tables, std::vector<std::wstring>{L"dbo.items"});
    }
}

TEST(MssqlPage, TheConnectingDialogAnimatesAndOnlyTheThreadEndsIt) {
    source_env env;
    // The connect waits on the server long enough to watch the dialog.
    env.server.pause_after_rows("@@VERSION", 0, std::chrono::milliseconds(1300));
    env.enter(118);
    std::vector<int> frames;
    bool visible_after_esc = false;
    QString text;
    when_modal([&](QWidget* shown) {
        auto* dialog = dynamic_cast<dlg_animation*>(shown);
        ASSERT_NE(dialog, nullptr);
        text = dialog->findChild<QLabel*>("text")->text();
        EXPECT_EQ(dialog->period(), 500);
        frames.push_back(dialog->frame());
        QTest::keyClick(dialog, Qt::Key_Escape);
        dialog->close();
        visible_after_esc = dialog->isVisible();
        const int first = dialog->frame();
        wait_until([&] { return !dialog->isVisible() || dialog->frame() != first; }, 2000);
        frames.push_back(dialog->frame());
    });
    QElapsedTimer clock;
    clock.start();
    env.next();
    EXPECT_GE(clock.elapsed(), 1200);
    EXPECT_EQ(text, "Connecting to MS SQL server. Please wait...");
    EXPECT_TRUE(visible_after_esc) << "Esc and close do not end it";
    // Seen at once the dialog shows frame 0; a busy machine may show it a tick later.
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_GE(frames[0], 0);
    EXPECT_EQ(frames[1], (frames[0] + 1) % dlg_animation::frame_count) << "one frame per tick";
    EXPECT_EQ(env.current(), 123);
}

TEST(ConnectDialog, EndsWhicheverComesFirst) {
    // The job ends before the dialog is shown.
    {
        dlg_animation dialog("wait", 500, nullptr);
        std::thread([&] { dialog.end_dialog(); }).join();
        QElapsedTimer clock;
        clock.start();
        QTimer::singleShot(3000, &dialog, [&] { dialog.done(7); });
        EXPECT_EQ(dialog.exec(), 0);
        EXPECT_LT(clock.elapsed(), 2000);
        EXPECT_EQ(dialog.frame(), -1);
    }
    // The dialog runs and the job ends it later from its thread.
    {
        dlg_animation dialog("wait", 20, nullptr);
        std::thread job;
        QTimer::singleShot(0, &dialog, [&] {
            job = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                dialog.end_dialog();
            });
        });
        QTimer::singleShot(5000, &dialog, [&] { dialog.done(7); });
        EXPECT_EQ(dialog.exec(), 0);
        job.join();
        EXPECT_EQ(dialog.frame(), -1);
    }
}

TEST(MssqlPage, AFailedConnectIsReportedAndThePageKeepsWhatWasTyped) {
    source_env env;
    const std::wstring closed = L"127.0.0.1," + std::to_wstring(closed_port());
    const struct {
        const char* what;
        std::wstring server;
        bool windows;
        const wchar_t* password;
        const wchar_t* database;
        const char* says;
    } cases[] = {
        {"wrong password", env.server_name(), false, L"wrong \u00fc;}", L"gui_src",
         "Invalid user name or password."},
        {"nothing listens", closed, false, odd_password, L"gui_src",
         "Cannot connect to the server"},
        {"no Kerberos ticket", env.server_name(), true, L"", L"gui_src", "Kerberos"},
        // No server is the local default instance, where nothing listens on a test machine.
        {"no server named", L"", false, odd_password, L"gui_src",
         "Cannot connect to the server \"(local)\""},
        {"a name the driver cannot take", env.server_name(), false, odd_password, L"x};y",
         "cannot be given"},
        // The server refuses the login because of the database, and says so first.
        {"no such database", env.server_name(), false, odd_password, L"gui_none",
         "Cannot open database \"gui_none\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        env.enter(118);
        env.edit(env.mss, "1014")->setText(QString::fromStdWString(c.server));
        env.control<QRadioButton>(env.mss, c.windows ? "1329" : "1330")->click();
        if (!c.windows) {
            env.edit(env.mss, "1012")->setText(QString::fromStdWString(odd_login));
            env.edit(env.mss, "1013")->setText(QString::fromStdWString(c.password));
        }
        env.edit(env.mss, "1002")->setText(QString::fromStdWString(c.database));
        seen_box box;
        answer_box(box, QMessageBox::Ok);
        const std::size_t listed = env.ui.errors.size();
        QElapsedTimer clock;
        clock.start();
        env.next();
        EXPECT_LT(clock.elapsed(), 15000) << "within the login timeout";
        EXPECT_TRUE(box.shown);
        EXPECT_TRUE(box.text.contains(c.says)) << box.text.toStdString();
        EXPECT_EQ(env.ui.errors.size(), listed + 1) << "listed and counted for the exit code";
        EXPECT_EQ(box.caption, "Velmora 8.3 Error");
        EXPECT_EQ(env.current(), 118);
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "the dialog is gone";
        EXPECT_FALSE(env.mss->connector().connected());
        EXPECT_EQ(env.edit(env.mss, "1014")->text().toStdWString(), c.server);
        if (!c.windows) {
            EXPECT_EQ(env.edit(env.mss, "1013")->text().toStdWString(), c.password);
        }
        EXPECT_EQ(env.edit(env.mss, "1002")->text().toStdWString(), c.database);
    }
    // The page is still usable: the right login goes on.
    env.edit(env.mss, "1014")->setText(QString::fromStdWString(env.server_name()));
    env.control<QRadioButton>(env.mss, "1330")->click();
    env.edit(env.mss, "1013")->setText(QString::fromStdWString(odd_password));
    env.edit(env.mss, "1002")->setText("gui_src");
    env.next();
    EXPECT_EQ(env.current(), 123);
}

TEST(FilePage, NamesAreCheckedBeforeAnythingHappens) {
    source_env env;
    env.connect_source();
    env.enter(106);
    auto* source = env.control<QComboBox>(env.file, "1302");
    const struct {
        bool direct;
        const char* source;
        const char* dest;
        const char* says;
    } cases[] = {
        {true, "", "x", "You should enter MS SQL database name"},
        {true, "gui_src", "", "You should enter MySQL database name"},
        {false, "gui_src", "", "You should enter MySQL dump file name"},
        {true, "nowhere", "x", "MS SQL database does not exist"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        env.converter.direct = c.direct;
        source->setEditText(c.source);
        env.edit(env.file, "1004")->setText(c.dest);
        seen_box box;
        answer_box(box, QMessageBox::Ok);
        env.next();
        EXPECT_EQ(box.text, c.says);
        EXPECT_EQ(box.caption, "Velmora 8.3 Message");
        EXPECT_EQ(env.current(), 106);
        EXPECT_EQ(source->currentText(), c.source) << "what was typed stays";
    }
}

TEST(FilePage, TheListComesOnFirstDropDownAndAChoiceProposesADestination) {
    source_env env;
    env.connect_source();
    env.converter.src = L"VELMORA_S";
    env.converter.selected_tables = {L"dbo.items"};
    env.converter.selected_queries = {{L"q", L"SELECT 1"}};
    env.converter.available_queries = {{L"q", L"SELECT 1"}};
    env.converter.selected_views = {udb_view{}};
    env.enter(106);
    auto* source = env.control<QComboBox>(env.file, "1302");
    EXPECT_EQ(source->count(), 0);
    EXPECT_EQ(env.control<QLabel>(env.file, "1312")->text(), "M&ySQL database:");
    EXPECT_FALSE(env.control<QPushButton>(env.file, "1104")->isVisible());
    EXPECT_EQ(env.edit(env.file, "1004")->text(), "VELMORA_S") << "proposed from the source";

    source->showPopup();
    source->hidePopup();
    EXPECT_TRUE(env.file->listed());
    EXPECT_GE(source->findText("gui_src", Qt::MatchExactly), 0);
    EXPECT_GE(source->findText("velmora_shop", Qt::MatchExactly), 0);
    EXPECT_EQ(source->currentText(), "velmora_shop") << "the first item the source begins";
    EXPECT_EQ(env.converter.selected_tables.size(), 1u) << "the page's own choice empties nothing";

    const int count = source->count();
    source->showPopup();
    source->hidePopup();
    EXPECT_EQ(source->count(), count) << "listed once";

    // The user's choice: server destination, then a script file in the folder of the old one.
    source->setCurrentIndex(source->findText("gui_src"));
    emit source->activated(source->currentIndex());
    EXPECT_EQ(env.edit(env.file, "1004")->text(), "gui_src");
    EXPECT_TRUE(env.converter.selected_tables.empty());
    EXPECT_TRUE(env.converter.selected_queries.empty());
    EXPECT_TRUE(env.converter.available_queries.empty());
    EXPECT_TRUE(env.converter.selected_views.empty());

    env.converter.direct = false;
    env.enter(103);
    env.enter(106);
    EXPECT_EQ(env.control<QLabel>(env.file, "1312")->text(), "M&ySQL dump file:");
    EXPECT_TRUE(env.control<QPushButton>(env.file, "1104")->isVisible());
    const std::string old = (env.files.path / "out dir" / "old.sql").string();
    env.edit(env.file, "1004")->setText(QString::fromStdString(old));
    source->setCurrentIndex(source->findText("velmora_shop"));
    emit source->activated(source->currentIndex());
    EXPECT_EQ(env.edit(env.file, "1004")->text().toStdString(),
              (env.files.path / "out dir" / "velmora_shop.sql").string());

    // Back lets a new connection list its own databases.
    env.back();
    EXPECT_EQ(env.current(), 102);
    EXPECT_FALSE(env.file->listed());
    EXPECT_EQ(env.converter.src, L"velmora_shop");
}

TEST(FilePage, AScriptFileIsCheckedAndAnOldOneDeletedOnlyWhenTheUserSaysYes) {
    source_env env;
    env.connect_source();
    env.converter.direct = false;
    env.enter(106);
    env.control<QComboBox>(env.file, "1302")->setEditText("gui_src");
    const std::filesystem::path script = env.files.path / "gui_src.sql";
    std::ofstream(script) << "-- old\n";
    env.edit(env.file, "1004")->setText(QString::fromStdString(script.string()));

    seen_box no;
    answer_box(no, QMessageBox::No);
    env.next();
    EXPECT_EQ(no.text, "Destination file already exists. Overwrite?");
    EXPECT_EQ(env.current(), 106);
    EXPECT_TRUE(std::filesystem::exists(script));

    // Another run writing other.sql holds its lock: Yes must never delete that.
    const std::filesystem::path other = env.files.path / "other.sql";
    tk_replaced_file other_run(other.string(), "script file");
    const std::filesystem::path other_lock = other.string() + ".lock";
    const struct {
        std::filesystem::path dest;
        std::filesystem::path log;
        const char* says;
    } refusals[] = {
        {other_lock, {}, "the lock file of another run"},
        {env.files.path / "missing" / "a.sql", {}, "Destination path does not exist."},
        {env.files.path, {}, "Destination name should specify a file, not folder."},
        {script, env.files.path / "missing" / "trace.log", "Logfile path does not exist."},
    };
    for (const auto& r : refusals) {
        SCOPED_TRACE(r.says);
        env.edit(env.file, "1004")->setText(QString::fromStdString(r.dest.string()));
        env.edit(env.file, "1005")->setText(QString::fromStdString(r.log.string()));
        seen_box box;
        answer_box(box, QMessageBox::Ok);
        env.next();
        EXPECT_TRUE(box.text.contains(r.says)) << box.text.toStdString();
        EXPECT_EQ(box.caption, "Velmora 8.3 Error");
        EXPECT_EQ(env.current(), 106);
    }
    EXPECT_TRUE(std::filesystem::exists(other_lock));
    // A log file in a missing folder keeps the page on Back too.
    seen_box on_back;
    answer_box(on_back, QMessageBox::Ok);
    env.back();
    EXPECT_TRUE(on_back.text.contains("Logfile path does not exist."))
        << on_back.text.toStdString();
    EXPECT_EQ(env.current(), 106);

    env.edit(env.file, "1005")->clear();
    seen_box yes;
    answer_box(yes, QMessageBox::Yes);
    env.next();
    EXPECT_EQ(env.current(), 110);
    EXPECT_FALSE(std::filesystem::exists(script));
}

// A script path that is a symbolic link is treated as the run treats it: the old script is
// the file the link names, so Yes deletes that file and the link stays for the run to follow.
TEST(FilePage, OverwritingThroughALinkDeletesWhatTheLinkNames) {
    source_env env;
    env.connect_source();
    env.converter.direct = false;
    env.enter(106);
    env.control<QComboBox>(env.file, "1302")->setEditText("gui_src");
    const std::filesystem::path target = env.files.path / "real.sql";
    const std::filesystem::path link = env.files.path / "link.sql";
    std::ofstream(target) << "-- old\n";
    std::filesystem::create_symlink(target, link);
    env.edit(env.file, "1004")->setText(QString::fromStdString(link.string()));

    seen_box yes;
    answer_box(yes, QMessageBox::Yes);
    env.next();
    EXPECT_EQ(yes.text, "Destination file already exists. Overwrite?");
    EXPECT_EQ(env.current(), 110);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_FALSE(std::filesystem::exists(target));
}

TEST(FilePage, ASourceNameWithQuotesBracketsAndNonAsciiLettersIsFoundAndProposed) {
    source_env env;
    env.connect_source();
    env.converter.direct = false;
    env.enter(106);
    auto* source = env.control<QComboBox>(env.file, "1302");
    source->showPopup();
    source->hidePopup();
    const QString odd = QString::fromStdWString(L"Velmora O'Brien] Stra\u00dfe");
    ASSERT_GE(source->findText(odd, Qt::MatchExactly), 0);
    env.edit(env.file, "1004")
        ->setText(QString::fromStdString((env.files.path / "x.sql").string()));
    source->setCurrentIndex(source->findText(odd, Qt::MatchExactly));
    emit source->activated(source->currentIndex());
    EXPECT_EQ(env.edit(env.file, "1004")->text().toStdString(),
              (env.files.path / "Velmora O'Brien] Stra\u00dfe.sql").string());
    env.next();
    EXPECT_EQ(env.current(), 110);
    EXPECT_EQ(env.converter.src, odd.toStdWString());
}

class FileOverwrite : public testing::Test {
protected:
    void SetUp() override {
        mysql = test_support::mysql_server_from_env();
        ASSERT_FALSE(mysql.host.empty());
        check = std::make_unique<mysql_checker>(mysql);
        ASSERT_TRUE(check->connected);
        env.connect_source();
        env.converter.store_mysql_settings(mysql.host, mysql.user, mysql.password,
                                           std::to_string(mysql.port));
        env.converter.connect_mysql_server();
        env.enter(106);
        env.control<QComboBox>(env.file, "1302")->setEditText("gui_src");
        env.edit(env.file, "1004")->setText(QString::fromStdString(db));
    }
    void TearDown() override { check->exec("DROP DATABASE IF EXISTS " + db); }

    void existing() {
        check->exec("DROP DATABASE IF EXISTS " + db);
        check->exec("CREATE DATABASE " + db);
        check->exec("CREATE TABLE " + db + ".kept (x int)");
    }
    // Next with the overwrite dialog answered: the radio of `choice` (none: Cancel).
    void next_choosing(const char* choice, QString* caption = nullptr,
                       bool* first_checked = nullptr, QString* text = nullptr) {
        when_modal([=](QWidget* shown) {
            auto* dialog = dynamic_cast<overwrite_dlg3*>(shown);
            ASSERT_NE(dialog, nullptr);
            if (caption != nullptr) {
                *caption = dialog->windowTitle();
            }
            if (first_checked != nullptr) {
                *first_checked = dialog->findChild<QRadioButton*>("1329")->isChecked();
            }
            if (text != nullptr) {
                *text = dialog->findChild<QLabel*>("1320")->text();
            }
            if (choice == nullptr) {
                // Help shows topic 1014 and leaves the dialog open.
                dialog->findChild<QPushButton*>("9")->click();
                EXPECT_TRUE(dialog->isVisible());
                dialog->findChild<QPushButton*>("2")->click();
                return;
            }
            dialog->findChild<QRadioButton*>(choice)->click();
            dialog->findChild<QPushButton*>("1")->click();
        });
        env.next();
    }

    source_env env;
    test_support::mysql_test_server mysql;
    std::unique_ptr<mysql_checker> check;
    // One database per process: ctest runs the tests of this fixture in parallel processes
    // against one server, and one's DROP must not pull the database from under another.
    const std::string db = "gui_overwrite_" + std::to_string(getpid());
};

TEST_F(FileOverwrite, TheFiveModesOfAnExistingDatabase) {
    const struct {
        const char* radio;
        int mode;
    } modes[] = {{"1329", 0}, {"1330", 1}, {"1331", 2}, {"1332", 3}, {"1339", 4}};
    for (const auto& m : modes) {
        SCOPED_TRACE(m.radio);
        existing();
        env.enter(106);
        env.converter.mode = 7;
        next_choosing(m.radio);
        EXPECT_EQ(env.current(), 110);
        EXPECT_EQ(env.converter.mode, m.mode);
        EXPECT_EQ(check->exists(db), m.mode != 0) << "only mode 0 drops, and at once";
        env.enter(106);
    }
}

TEST_F(FileOverwrite, CancelChangesNothingAndANewDatabaseKeepsTheMode) {
    recording_opener opener;
    env.shell.help_folder = opener.folder.path.string();
    std::ofstream(opener.folder.path / "1014.html") << "topic";
    existing();
    env.converter.mode = 3;
    QString caption;
    QString text;
    bool first_checked = false;
    next_choosing(nullptr, &caption, &first_checked, &text);
    EXPECT_EQ(caption, "Velmora 8.3 Warning");
    EXPECT_TRUE(first_checked) << "opens on overwriting the entire database";
    EXPECT_EQ(text, "The destination database already exists. Select one of the\noptions below. "
                    "Click 'Help' button for more information.");
    EXPECT_EQ(env.current(), 106);
    EXPECT_EQ(env.converter.mode, 3);
    EXPECT_TRUE(check->exists(db));
    EXPECT_TRUE(wait_until([&] { return !opener.targets().empty(); }));
    EXPECT_EQ(opener.targets(), (opener.folder.path / "1014.html").string() + "\n");

    check->exec("DROP DATABASE " + db);
    env.next();
    EXPECT_EQ(env.current(), 110);
    EXPECT_EQ(env.converter.mode, 3) << "a new database leaves the mode as it was";
}

TEST_F(FileOverwrite, TheServersOwnDatabasesAndBadNamesAreRefused) {
    for (const char* name : {"mysql", "INFORMATION_SCHEMA", "Sys", "performance_schema", "a/b"}) {
        SCOPED_TRACE(name);
        env.edit(env.file, "1004")->setText(name);
        seen_box box;
        answer_box(box, QMessageBox::Ok);
        env.next();
        EXPECT_EQ(box.caption, "Velmora 8.3 Error");
        EXPECT_FALSE(box.text.isEmpty());
        EXPECT_EQ(env.current(), 106);
        EXPECT_EQ(env.edit(env.file, "1004")->text(), name);
    }
    EXPECT_TRUE(check->exists("mysql"));
}

} // namespace
