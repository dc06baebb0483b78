// The wizard frame and page template: box captions and owners, navigation answers, Cancel,
// help, the file dialogs' extension rule.
#include "gui_test_support.h"

#include "GUI2/g_f_dlg.h"
#include "GUI2/g_wiz_pg.h"
#include "GUI2/g_wiz_sh.h"
#include "TK/tk_excep.h"
#include "platform/win32/shell.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <thread>

namespace {

// A page whose answers and entries the test sets and counts.
struct script_page : wizard_page {
    explicit script_page(int dialog)
        : wizard_page(dialog, back | next, 5000 + dialog, "Title", "Subtitle") {}
    bool page_init() override {
        ++entries;
        return true;
    }
    int on_next() override { return next_answer; }
    int on_back() override { return back_answer; }
    int next_answer = move_on;
    int back_answer = move_on;
    int entries = 0;
};

// A frame of four test pages (dialogs 201..204), shown and so initialized.
struct four_pages {
    four_pages() {
        for (int dialog = 201; dialog <= 204; ++dialog) {
            pages.push_back(new script_page(dialog));
            shell.add_page(pages.back());
        }
        shell.show();
        QApplication::processEvents();
    }
    int current() const { return shell.current_wizard_page()->dialog(); }
    void press(QWizard::WizardButton which) { shell.button(which)->click(); }
    wizard_shell shell{L"Velmora 8.3"};
    std::vector<script_page*> pages;
};

TEST(WizardBoxes, CaptionAndOwnerFollowTheFrame) {
    const struct {
        const char* word;
        std::function<void()> show;
        int button;
    } boxes[] = {
        {"Error", [] { wizard_shell::error(L"e 100%s"); }, QMessageBox::Ok},
        {"Message", [] { wizard_shell::message(L"m"); }, QMessageBox::Ok},
        {"Question", [] { wizard_shell::question(L"q"); }, QMessageBox::No},
    };
    for (const auto& box : boxes) {
        seen_box before;
        record_and_press(before, box.button);
        box.show();
        EXPECT_EQ(before.caption, box.word) << "no frame yet: the bare word";
        EXPECT_EQ(before.owner, nullptr);

        wizard_shell unshown(L"Velmora 8.3");
        seen_box pending;
        record_and_press(pending, box.button);
        box.show();
        EXPECT_EQ(pending.caption, box.word) << "a frame not yet shown is not initialized";

        unshown.initialize_if();
        seen_box after;
        record_and_press(after, box.button);
        box.show();
        EXPECT_EQ(after.caption, QString("Velmora 8.3 ") + box.word);
        EXPECT_EQ(after.owner, &unshown);
    }
}

TEST(WizardBoxes, QuestionDefaultsToNoAndAnswersYes) {
    bool default_is_no = false;
    when_modal([&](QWidget* shown) {
        auto* box = dynamic_cast<QMessageBox*>(shown);
        default_is_no =
            static_cast<QAbstractButton*>(box->defaultButton()) == box->button(QMessageBox::No);
        QTest::keyClick(box, Qt::Key_Return);
    });
    EXPECT_FALSE(wizard_shell::question(L"Really?")) << "Enter takes the default, No";
    EXPECT_TRUE(default_is_no);
    seen_box yes;
    record_and_press(yes, QMessageBox::Yes);
    EXPECT_TRUE(wizard_shell::question(L"Really?"));
}

TEST(WizardBoxes, WorkerThreadBoxesRunOnTheGuiThreadAndReturnTheAnswer) {
    wizard_shell shell(L"Velmora 8.3");
    shell.initialize_if();
    seen_box second;
    // The second answer is armed only once the first box is answered: the worker's second box
    // may come while the test still waits for the first.
    when_modal([&](QWidget* shown) {
        auto* box = dynamic_cast<QMessageBox*>(shown);
        record_and_press(second, QMessageBox::Ok);
        box->button(QMessageBox::Yes)->click();
    });
    std::atomic<int> answer{-1};
    std::atomic<bool> done{false};
    std::thread worker([&] {
        answer = wizard_shell::question(L"from the worker") ? 1 : 0;
        wizard_shell::error(L"worker error");
        done = true;
    });
    const bool finished = wait_until([&] { return done.load(); });
    if (!finished) {
        worker.detach();
        FAIL() << "the worker never got its answers";
    }
    worker.join();
    EXPECT_EQ(answer, 1);
    EXPECT_EQ(second.text, "worker error");
    EXPECT_EQ(second.owner, &shell);
}

// A page with a log box that counts the progress timer's ticks.
struct log_page : wizard_page {
    log_page()
        : wizard_page(107, back | next, -1, "Step 7 of 7", "Database conversion is in progress") {
        box = new QPlainTextEdit(this);
    }
    QPlainTextEdit* log_box() override { return box; }
    void on_timer() override { ++ticks; }
    QPlainTextEdit* box;
    std::atomic<int> ticks{0};
};

TEST(WizardFrame, LogLinesAndTimerFromAWorkerReachTheCurrentPage) {
    wizard_shell shell(L"Velmora 8.3");
    auto* page = new log_page;
    shell.add_page(page);
    shell.write_log(L"before any page\r\n");
    shell.show();
    QApplication::processEvents();

    std::atomic<bool> done{false};
    bool second_start_refused = false;
    std::thread worker([&] {
        shell.write_log(L"Table 'a' 100%\r\n");
        shell.write_log(L"Table 'b' 100%\r\n");
        shell.start_timer(10);
        try {
            shell.start_timer(10);
        } catch (const tk_mail_assertion&) {
            second_start_refused = true;
        }
        done = true;
    });
    ASSERT_TRUE(wait_until([&] { return done.load() && page->ticks >= 2; }));
    worker.join();
    const QStringList lines =
        page->box->toPlainText().split(QRegularExpression("[\r\n]+"), Qt::SkipEmptyParts);
    EXPECT_EQ(lines, QStringList({"Table 'a' 100%", "Table 'b' 100%"}))
        << "lines are appended in order; nothing was written before a page was entered";
    EXPECT_TRUE(second_start_refused) << "starting the timer twice is an internal error";
    shell.stop_timer();
    EXPECT_FALSE(shell.timer_running());
}

TEST(WizardPages, NextAnswersMoveStayOrJump) {
    const struct {
        int answer;
        int lands_on;
    } cases[] = {
        {wizard_page::move_on, 202},
        {wizard_page::stay, 201},
        {204, 204},
    };
    for (const auto& c : cases) {
        four_pages wizard;
        wizard.pages[0]->next_answer = c.answer;
        wizard.press(QWizard::NextButton);
        EXPECT_EQ(wizard.current(), c.lands_on) << "answer " << c.answer;
        EXPECT_EQ(wizard.pages[0]->entries, 1);
    }
}

TEST(WizardPages, BackIsAskedEntersThePageAgainAndMayRefuse) {
    four_pages wizard;
    wizard.pages[0]->next_answer = 203;
    wizard.press(QWizard::NextButton);
    ASSERT_EQ(wizard.current(), 203);

    wizard.pages[2]->back_answer = wizard_page::stay;
    wizard.press(QWizard::BackButton);
    EXPECT_EQ(wizard.current(), 203) << "a refused Back keeps the page";

    wizard.pages[2]->back_answer = wizard_page::move_on;
    wizard.press(QWizard::BackButton);
    EXPECT_EQ(wizard.current(), 202) << "0 means the previous page in sheet order";
    EXPECT_EQ(wizard.pages[1]->entries, 1);

    wizard.pages[1]->back_answer = 201;
    wizard.press(QWizard::BackButton);
    EXPECT_EQ(wizard.current(), 201);
    EXPECT_EQ(wizard.pages[0]->entries, 2) << "activation runs on Back too";

    wizard.pages[0]->next_answer = wizard_page::move_on;
    wizard.press(QWizard::NextButton);
    wizard.press(QWizard::NextButton);
    EXPECT_EQ(wizard.current(), 203) << "pages left by Back can be entered again by Next";
}

TEST(WizardPages, CancelEscAndCloseAskBeforeLeaving) {
    const struct {
        const char* way;
        std::function<void(wizard_shell&)> leave;
    } ways[] = {
        {"Cancel", [](wizard_shell& shell) { shell.button(QWizard::CancelButton)->click(); }},
        {"Esc", [](wizard_shell& shell) { QTest::keyClick(&shell, Qt::Key_Escape); }},
        {"close", [](wizard_shell& shell) { shell.close(); }},
    };
    for (const auto& way : ways) {
        four_pages wizard;
        seen_box no;
        record_and_press(no, QMessageBox::No);
        way.leave(wizard.shell);
        EXPECT_TRUE(no.shown) << way.way;
        EXPECT_EQ(no.text, "Are you sure you want to exit the wizard?");
        EXPECT_EQ(no.caption, "Velmora 8.3 Question");
        EXPECT_TRUE(wizard.shell.isVisible()) << way.way << ": No keeps the wizard";

        seen_box yes;
        record_and_press(yes, QMessageBox::Yes);
        way.leave(wizard.shell);
        EXPECT_FALSE(wizard.shell.isVisible()) << way.way << ": Yes closes it";
    }
}

TEST(WizardHelp, F1AndHelpButtonOpenThePageTopic) {
    recording_opener opener;
    temp_folder help;
    std::ofstream(help.path / "5202.html") << "topic";
    four_pages wizard;
    wizard.shell.help_folder = help.path.string();
    wizard.press(QWizard::NextButton);
    wizard.press(QWizard::HelpButton);
    QTest::keyClick(&wizard.shell, Qt::Key_F1);
    const std::string topic = (help.path / "5202.html").string() + "\n";
    ASSERT_TRUE(wait_until([&] { return opener.targets().size() >= 2 * topic.size(); }));
    EXPECT_EQ(opener.targets(), topic + topic);
}

TEST(WizardHelp, MissingHelpFileOrOpenerIsReported) {
    temp_folder help;
    four_pages wizard;
    wizard.shell.help_folder = (help.path / "absent").string();
    seen_box missing;
    record_and_press(missing, QMessageBox::Ok);
    wizard.press(QWizard::HelpButton);
    EXPECT_EQ(missing.text, "Help file does not exist. Reinstall the program.");
    EXPECT_EQ(missing.caption, "Velmora 8.3 Error");

    std::ofstream(help.path / "5201.html") << "topic";
    wizard.shell.help_folder = help.path.string();
    win32::set_desktop_opener((help.path / "no-such-opener").string());
    seen_box no_opener;
    record_and_press(no_opener, QMessageBox::Ok);
    wizard.press(QWizard::HelpButton);
    win32::set_desktop_opener("");
    EXPECT_TRUE(no_opener.text.contains("xdg-open")) << no_opener.text.toStdString();
}

TEST(FileDialogs, SaveAddsTheExtensionUnlessTheNameHoldsIt) {
    const struct {
        const char* chosen;
        const char* extension;
        const char* result;
    } names[] = {
        {"out", "sql", "out.sql"},
        {"out.sql", "sql", "out.sql"},
        {"a.sql.bak", "sql", "a.sql.bak"},
        {"run", ".vlm", "run.vlm"},
        {"/tmp/x.sqlite", "sql", "/tmp/x.sqlite"},
        {"notes.txt", "log", "notes.txt.log"},
        {"my.vlm.d/run", "vlm", "my.vlm.d/run"},
    };
    for (const auto& name : names) {
        set_file_chooser([&](QWidget*, const file_dialog_request& request) {
            EXPECT_TRUE(request.save);
            return std::optional<QString>(name.chosen);
        });
        EXPECT_EQ(save_file_dialog(nullptr, "*", "Select", "", name.extension),
                  QString(name.result))
            << name.chosen;
    }
    set_file_chooser({});
}

TEST(FileDialogs, InitialPathGivesFolderAndBareName) {
    file_dialog_request seen;
    set_file_chooser([&](QWidget*, const file_dialog_request& request) {
        seen = request;
        return std::nullopt;
    });
    EXPECT_FALSE(open_file_dialog(nullptr, "*", "Select Profile", "/data/x.vlm"));
    set_file_chooser({});
    EXPECT_EQ(seen.folder, "/data");
    EXPECT_EQ(seen.name, "x");
    EXPECT_FALSE(seen.save);
}

} // namespace
