// A whole migration through every page of the wizard's road, as a user makes it: the server road
// into MariaDB and the script road into a file replayed with the mariadb client. Start-up builds
// the sheet; the test fills the controls, presses the sheet's buttons and answers the boxes.
#include "GUI2/g_f_dlg.h"
#include "GUI2/g_wiz_pg.h"
#include "common/cmn_start.h"
#include "converter/vlm_conv.h"
#include "platform/tds/tds_provider.h"
#include "tests/GUI2/gui_test_support.h"
#include "tests/agent/agent_test_support.h"
#include "tests/wizard/wizard_test_support.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QRadioButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using agent_test::mysql_client;
using agent_test::row;

// What the walk saw on its way, checked once start-up has returned.
struct walk_log {
    std::vector<int> forward;  // dialog ids after each Next up to the progress page
    std::vector<int> backward; // dialog ids after each Back from the views page
    std::vector<int> again;    // dialog ids after each Next on the way back to the views page
    QStringList selected_again;
    QStringList boxes;
    QString run_log;
    std::vector<int> bar;
    int bar_at_end = -1;
    QString finish_text;
    bool errors_hidden = false;
    bool finished = false;
};

wizard_shell& shell() {
    return tk_singleton<wizard_shell>::ref();
}

int current() {
    return shell().current_wizard_page()->dialog();
}

template <class T> T* control(const char* name) {
    T* found = shell().current_wizard_page()->findChild<T*>(name);
    if (found == nullptr) {
        throw std::runtime_error(std::string(name) + " is not on page " +
                                 std::to_string(current()));
    }
    return found;
}

void set_text(const char* name, const std::string& text) {
    control<QLineEdit>(name)->setText(QString::fromStdString(text));
}

// Presses a button of the sheet; a modal dialog it opens (the connect) runs to its end first.
int press(QWizard::WizardButton which) {
    shell().button(which)->click();
    QApplication::processEvents();
    return current();
}

QStringList items_of(const QListWidget* list) {
    QStringList texts;
    for (int i = 0; i < list->count(); ++i) {
        texts << list->item(i)->text();
    }
    return texts;
}

// Chooses the list items of `names` and presses the button `button` of the page.
void pick(const char* list_name, const QStringList& names, const char* button) {
    auto* list = control<QListWidget>(list_name);
    list->clearSelection();
    for (const QString& name : names) {
        const auto found = list->findItems(name, Qt::MatchExactly);
        ASSERT_EQ(found.size(), 1)
            << name.toStdString() << " in " << items_of(list).join("|").toStdString();
        found.front()->setSelected(true);
    }
    control<QAbstractButton>(button)->click();
}

class WizardRoad : public agent_test::tds_suite<WizardRoad> {
public:
    static std::vector<std::string> fixture_files() {
        return {std::string(WIZARD_FIXTURE_DIR) + "/road.tds"};
    }

protected:
    void SetUp() override {
        ASSERT_TRUE(db.connected());
        tds_register_provider();
    }
    void TearDown() override {
        for (const std::string& database : used_) {
            db.exec("DROP DATABASE IF EXISTS `" + database + "`");
        }
    }

    void drop(const std::string& database) {
        db.exec("DROP DATABASE IF EXISTS `" + database + "`");
        used_.push_back(database);
    }

    // The whole road from the welcome page to the finish page, with a trip back from the views
    // page to the welcome page and forward again. `direct`: into a MySQL server, else a script
    // file `dest`.
    void walk(bool direct, const std::string& dest, walk_log& seen) {
        try {
            walk_pages(direct, dest, seen);
        } catch (const std::exception& error) {
            ADD_FAILURE() << error.what() << "; boxes: " << seen.boxes.join("|").toStdString();
        }
        if (!seen.finished) {
            // A failed step leaves the sheet where it stopped: end it, so start-up returns.
            static_cast<QDialog&>(shell()).done(QDialog::Rejected);
        }
    }

    void walk_pages(bool direct, const std::string& dest, walk_log& seen) {
        // Every box and question is recorded and closed; none is expected on the way. A
        // question of the run is answered Abort, so a failing run ends at once.
        QTimer boxes;
        QObject::connect(&boxes, &QTimer::timeout, [&seen] {
            QWidget* shown = QApplication::activeModalWidget();
            if (shown == nullptr || !shown->isVisible()) {
                return;
            }
            if (auto* box = dynamic_cast<QMessageBox*>(shown)) {
                seen.boxes << box->text();
                box->button(box->button(QMessageBox::Ok) != nullptr ? QMessageBox::Ok
                                                                    : QMessageBox::No)
                    ->click();
                return;
            }
            if (auto* label = shown->findChild<QLabel*>("1320")) {
                seen.boxes << label->text();
                for (auto* button : shown->findChildren<QAbstractButton*>()) {
                    if (button->text().remove('&') == "Abort") {
                        button->click();
                        return;
                    }
                }
            }
        });
        boxes.start(5);

        // Welcome, MS SQL, then the destination's own page and the database page.
        control<QRadioButton>(direct ? "1329" : "1330")->click();
        seen.forward.push_back(press(QWizard::NextButton));
        set_text("1014", mssql_host());
        control<QRadioButton>("1330")->click();
        set_text("1012", "sa");
        set_text("1013", "Velmora-Pw1");
        set_text("1002", "");
        seen.forward.push_back(press(QWizard::NextButton));
        if (direct) {
            // The test user may log in over TCP only, so the server is named by host and port.
            control<QRadioButton>("1330")->click();
            set_text("1014", db.server.host);
            set_text("1015", std::to_string(db.server.port));
            set_text("1012", db.server.user);
            set_text("1013", db.server.password);
        }
        seen.forward.push_back(press(QWizard::NextButton));

        // The source is chosen from the server's list, as a user picks it.
        auto* source = control<QComboBox>("1302");
        source->showPopup();
        QApplication::processEvents();
        const int index = source->findText("velmora_road");
        ASSERT_GE(index, 0);
        source->hidePopup();
        source->setCurrentIndex(index);
        emit source->activated(index);
        set_text("1004", dest);
        seen.forward.push_back(press(QWizard::NextButton));

        // Conversion settings: every schema, views too.
        control<QComboBox>("1306")->setCurrentIndex(0);
        control<QCheckBox>("1205")->setChecked(true);
        seen.forward.push_back(press(QWizard::NextButton));

        // Two tables only their brackets tell apart, and a third; one table is left out.
        const QStringList tables = {"[a.b].[c]", "[a].[b.c]", "dbo.customers"};
        pick("1317", tables, "1101");
        seen.forward.push_back(press(QWizard::NextButton));

        // Back to the welcome page and forward again: the choices made stay.
        for (int dialog = current(); dialog != 103 && seen.backward.size() < 10;) {
            dialog = press(QWizard::BackButton);
            seen.backward.push_back(dialog);
        }
        for (int dialog = current(); seen.again.size() < 6;) {
            dialog = press(QWizard::NextButton);
            seen.again.push_back(dialog);
            if (dialog == 127 && seen.again.size() == 5) {
                seen.selected_again = items_of(control<QListWidget>("1318"));
            }
        }

        control<QAbstractButton>("1102")->click();

        // The run: the bar is watched until the wizard moves to the finish page by itself.
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&seen] {
            if (shell_on("107")) {
                seen.bar.push_back(control<QProgressBar>("1321")->value());
            }
        });
        watch.start(5);
        seen.forward.push_back(press(QWizard::NextButton));
        auto* progress = shell().current_wizard_page();
        ASSERT_TRUE(wait_until([] { return shell_on("116"); }, 60000));
        watch.stop();
        seen.run_log = progress->findChild<QPlainTextEdit*>("1016")->toPlainText();
        seen.bar_at_end = progress->findChild<QProgressBar*>("1321")->value();
        seen.finish_text = control<QLabel>("1314")->text();
        seen.errors_hidden = control<QPlainTextEdit>("1016")->isHidden();
        seen.finished = true;
        // "&Save Settings...": the profile of what the pages gathered.
        set_file_chooser([this](QWidget*, const file_dialog_request&) {
            return std::optional<QString>(QString::fromStdString(dir.file("road")));
        });
        control<QAbstractButton>("1116")->click();
        set_file_chooser({});
        shell().button(QWizard::FinishButton)->click();
    }

    // The road's pages, forwards and back; a server skips the script page, a script the MySQL
    // page.
    static void expect_road(bool direct, const walk_log& seen) {
        const int own = direct ? 123 : 102;
        EXPECT_EQ(seen.forward, (std::vector<int>{118, own, 106, 110, 127, 127, 107}));
        EXPECT_EQ(seen.backward, (std::vector<int>{127, 110, 106, own, 118, 103}));
        EXPECT_EQ(seen.again, (std::vector<int>{118, own, 106, 110, 127, 127}));
        EXPECT_EQ(seen.selected_again, (QStringList{"[a.b].[c]", "[a].[b.c]", "dbo.customers"}));
        EXPECT_TRUE(seen.boxes.empty()) << seen.boxes.join("|").toStdString();
        ASSERT_TRUE(seen.finished);
        EXPECT_TRUE(seen.run_log.contains("Converting database 'velmora_road' (3 tables)"))
            << seen.run_log.toStdString();
        EXPECT_EQ(seen.run_log.count("(3 records)"), 1) << seen.run_log.toStdString();
        EXPECT_FALSE(seen.bar.empty());
        EXPECT_TRUE(std::is_sorted(seen.bar.begin(), seen.bar.end()));
        EXPECT_EQ(seen.bar_at_end, 100);
        EXPECT_EQ(seen.finish_text, QString::fromWCharArray(finish_success_text));
        EXPECT_TRUE(seen.errors_hidden);
    }

    // Each picked table's rows in its own table, the view, and nothing of the table left out.
    void expect_rows(const std::string& database) {
        const std::vector<row> customers = {
            {"1", "Åsa Öberg", "2024-01-02"},
            {"2", "Bob", std::nullopt},
            {"3", "Zoë 😀", "2023-12-31"},
        };
        const std::string in = "`" + database + "`.";
        EXPECT_EQ(db.query("SELECT id, name, joined FROM " + in + "`dbo.customers` ORDER BY id"),
                  customers);
        EXPECT_EQ(db.query("SELECT id, label FROM " + in + "`a.b.c`"),
                  (std::vector<row>{{"1", "a.b|c"}}));
        EXPECT_EQ(db.query("SELECT id, label FROM " + in + "`a.b.c00000`"),
                  (std::vector<row>{{"2", "a|b.c"}}));
        EXPECT_EQ(db.query("SELECT id, name FROM " + in + "`v_names` ORDER BY id"),
                  (std::vector<row>{{"1", "Åsa Öberg"}, {"2", "Bob"}, {"3", "Zoë 😀"}}));
        EXPECT_EQ(
            db.query("SELECT table_name FROM information_schema.tables WHERE table_schema = '" +
                     database + "' ORDER BY table_name"),
            (std::vector<row>{{"a.b.c"}, {"a.b.c00000"}, {"dbo.customers"}, {"v_names"}}));
    }

    mysql_client db;

private:
    std::vector<std::string> used_;
};

TEST_F(WizardRoad, ServerRoadThroughEveryPageIntoMariaDB) {
    drop("road_server");
    program_objects objects;
    walk_log seen;
    once_when([] { return shell_on("103"); }, [&] { walk(true, "road_server", seen); });
    EXPECT_EQ(velmora_start(std::nullopt), 0);
    expect_road(true, seen);
    expect_rows("road_server");

    // The profile saved on the finish page runs in pontrel unchanged: the same tables, and the
    // view (pontrel creates a profile's views when asked to).
    drop("road_pontrel");
    const auto result = agent_test::run_pontrel(
        {"--profile=" + dir.file("road.vlm"), "--dest=road_pontrel", "--views"}, dir.path());
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
    expect_rows("road_pontrel");
}

TEST_F(WizardRoad, ScriptRoadThroughEveryPageIntoAReplayedScript) {
    drop("road_script");
    program_objects objects;
    walk_log seen;
    const std::string script = dir.file("road_script.sql");
    once_when([] { return shell_on("103"); }, [&] { walk(false, script, seen); });
    EXPECT_EQ(velmora_start(std::nullopt), 0);
    expect_road(false, seen);
    db.exec("CREATE DATABASE road_script CHARACTER SET utf8mb4");
    EXPECT_EQ(test_support::replay_script(db.server, "road_script", script), "");
    expect_rows("road_script");
}

} // namespace
