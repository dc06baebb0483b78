// The error handler's dialogs in the wizard: the Continue/Abort question, the internal-error
// dialog, and the welcome page's profile loading.
#include "gui_test_support.h"

#include "GUI2/g_err_dlg.h"
#include "GUI2/g_f_dlg.h"
#include "GUI2/g_wiz_sh.h"
#include "GUI2/g_wiz_ui.h"
#include "TK/tk_excep.h"
#include "common/cmn_tmap.h"
#include "common/cmn_welc.h"
#include "converter/vlm_conv.h"
#include "converter/vlm_errh.h"

#include <QCheckBox>
#include <QClipboard>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

struct handler_env {
    error_handler handler{err_map_oledb_size, err_map_oledb};
    wizard_ui ui;
};

tk_exception level0(const char* text) {
    return tk_exception(std::string(text), 0);
}

// Answers the next Continue/Abort question: optionally ticks the box, then the given way.
void answer_question(const char* button, bool tick, QString* caption = nullptr) {
    when_modal([=](QWidget* shown) {
        auto* dialog = dynamic_cast<dlg_error_continue*>(shown);
        ASSERT_NE(dialog, nullptr);
        if (caption != nullptr) {
            *caption = dialog->windowTitle();
        }
        if (tick) {
            dialog->findChild<QCheckBox*>("1222")->click();
        }
        if (std::string(button) == "Esc") {
            QTest::keyClick(dialog, Qt::Key_Escape);
        } else {
            dialog->findChild<QPushButton*>(button)->click();
        }
    });
}

TEST(ErrorQuestion, AnswersAndTheSuppressSwitch) {
    const struct {
        const char* button;
        bool tick;
        bool top_level;
        bool throws;
        bool suppressed_after;
    } cases[] = {
        {"2", false, false, false, false},   // Continue
        {"Esc", false, false, false, false}, // Esc means Continue
        {"1", false, false, true, false},    // Abort ends the caller's work
        {"1", false, true, false, false},    // Abort at the top level: nothing left to abort
        {"2", true, false, false, true},     // Continue with the box: no more questions
        {"1", true, false, true, false},     // Abort with the box: the switch stays as it was
    };
    for (const auto& c : cases) {
        handler_env env;
        answer_question(c.button, c.tick);
        bool thrown = false;
        try {
            env.handler.handle(level0("duplicate"), c.top_level);
        } catch (const tk_final_exception&) {
            thrown = true;
        }
        EXPECT_EQ(thrown, c.throws) << c.button << c.tick << c.top_level;
        EXPECT_EQ(env.handler.suppress, c.suppressed_after) << c.button << c.tick << c.top_level;
    }
}

TEST(ErrorQuestion, CaptionAndDefaultFollowTheFrame) {
    dlg_error_continue before(L"text");
    EXPECT_EQ(before.windowTitle(), "Error");
    EXPECT_TRUE(before.findChild<QPushButton*>("2")->isDefault()) << "Continue is the default";
    wizard_shell shell(L"Velmora 8.3");
    shell.initialize_if();
    dlg_error_continue after(L"text");
    EXPECT_EQ(after.windowTitle(), "Velmora 8.3 Error");
    dlg_error_ex internal(L"text");
    EXPECT_EQ(internal.windowTitle(), "Velmora 8.3 Error");
    EXPECT_TRUE(internal.findChild<QPushButton*>("1112")->isDefault()) << "Send bug is the default";
}

TEST(ErrorQuestion, AskedFromAWorkerWhileTheGuiRuns) {
    handler_env env;
    answer_question("1", false);
    std::atomic<bool> aborted{false};
    std::atomic<bool> done{false};
    std::thread worker([&] {
        try {
            env.handler.handle(level0("row failed"), false);
        } catch (const tk_final_exception&) {
            aborted = true;
        }
        done = true;
    });
    const bool finished = wait_until([&] { return done.load(); });
    worker.join();
    EXPECT_TRUE(finished) << "the worker waited forever";
    EXPECT_TRUE(aborted);
}

TEST(InternalError, ButtonsClipboardAndMail) {
    recording_opener opener;
    wizard_ui ui;
    dlg_error_ex dialog(L"Internal error: tk_singl 64");
    dialog.show();
    dialog.findChild<QPushButton*>("1108")->click();
    EXPECT_TRUE(dialog.isVisible()) << "copying keeps the dialog open";
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "Internal error: tk_singl 64");

    QTest::keyClick(&dialog, Qt::Key_Escape);
    EXPECT_TRUE(dialog.isVisible()) << "Esc does nothing";
    dialog.close();
    EXPECT_TRUE(dialog.isVisible()) << "neither does the close box";

    dialog.findChild<QPushButton*>("1")->click();
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), dlg_error_ex::ok);

    dlg_error_ex mail(L"broken");
    mail.show();
    mail.findChild<QPushButton*>("1112")->click();
    EXPECT_EQ(mail.result(), dlg_error_ex::sent);
    ASSERT_TRUE(wait_until([&] { return !opener.targets().empty(); }));
    EXPECT_EQ(opener.targets().rfind("mailto:", 0), 0u) << opener.targets();
    EXPECT_NE(opener.targets().find("broken"), std::string::npos);
}

// The welcome page on a shown frame, with a converter whose profile loads the test answers.
struct welcome_env {
    welcome_env() {
        shell.add_page(page);
        shell.show();
        QApplication::processEvents();
    }
    ~welcome_env() { set_file_chooser({}); }
    void choose(const std::optional<std::string>& path) {
        set_file_chooser([path](QWidget*, const file_dialog_request&) -> std::optional<QString> {
            if (!path) {
                return std::nullopt;
            }
            return QString::fromStdString(*path);
        });
    }
    bool direct_checked() const { return page->findChild<QRadioButton*>("1329")->isChecked(); }
    handler_env errors;
    velmora_convertor converter;
    wizard_shell shell{L"Velmora 8.3"};
    welcome_page* page = new welcome_page(converter, L"vlm");
    temp_folder files;
};

TEST(WelcomePage, RadiosFollowTheConverterAndNextStoresThem) {
    welcome_env env;
    EXPECT_TRUE(env.direct_checked());
    env.page->findChild<QRadioButton*>("1330")->click();
    EXPECT_EQ(env.page->on_next(), wizard_page::move_on);
    EXPECT_FALSE(env.converter.direct);
}

TEST(WelcomePage, LoadSettingsReadsTheProfileIntoTheConverter) {
    welcome_env env;
    const std::string profile = (env.files.path / "script.vlm").string();
    std::ofstream(profile)
        << "[MySQL settings]\r\ndirect mode=0\r\n[Generic settings]\r\nsrc=Shop\r\n";
    env.choose(profile);
    env.page->findChild<QPushButton*>("1115")->click();
    EXPECT_FALSE(env.converter.direct);
    EXPECT_EQ(env.converter.src, L"Shop");
    EXPECT_FALSE(env.direct_checked());

    env.page->findChild<QRadioButton*>("1329")->click();
    env.choose(std::nullopt);
    env.page->findChild<QPushButton*>("1115")->click();
    EXPECT_FALSE(env.direct_checked()) << "Cancel still shows the converter's scenario";
}

TEST(WelcomePage, BadProfilesAreReportedAndChangeNothing) {
    welcome_env env;
    const bool direct = env.converter.direct;
    const std::wstring src = env.converter.src;
    const std::string long_line = (env.files.path / "long.vlm").string();
    std::ofstream(long_line) << "[Generic settings]\r\nsrc=" << std::string(200000, 'x') << "\r\n";
    // Settings that would apply if the profile were taken in part.
    const std::string bad_mapping = (env.files.path / "mapping.vlm").string();
    std::ofstream(bad_mapping) << "[MySQL settings]\r\ndirect mode=" << (direct ? 0 : 1)
                               << "\r\n[Generic settings]\r\nsrc=Other\r\n[Type Mappings]\r\n"
                                  "database:\r\ntables:\r\n    fields:\r\n";
    const struct {
        std::string path;
        const char* says;
    } cases[] = {
        {(env.files.path / "absent.vlm").string(), "Profile does not exist"},
        {env.files.path.string(), "folder"},
        {bad_mapping, "could not be read"},
    };
    for (const auto& c : cases) {
        env.choose(c.path);
        seen_box box;
        record_and_press(box, QMessageBox::Ok);
        const std::size_t listed = env.errors.ui.errors.size();
        env.page->findChild<QPushButton*>("1115")->click();
        EXPECT_TRUE(box.text.contains(c.says)) << box.text.toStdString();
        EXPECT_EQ(box.caption, "Velmora 8.3 Error");
        EXPECT_EQ(env.converter.direct, direct);
        EXPECT_EQ(env.direct_checked(), direct);
        EXPECT_EQ(env.converter.src, src);
        ASSERT_EQ(env.errors.ui.errors.size(), listed + 1) << "listed for the finish page";
        EXPECT_TRUE(env.errors.ui.any_error()) << "and counted for the exit code";
    }
    env.choose(long_line);
    env.page->findChild<QPushButton*>("1115")->click();
    EXPECT_EQ(env.converter.src.size(), 200000u) << "a line of any length is read whole";
}

// "Edit Table" without its type-mapping files closes on an error box: an error of the process
// like the pages' own, so Cancel after it must not end with 0.
TEST(EditTable, MissingTypeFilesAreCountedAndListed) {
    welcome_env env;
    const std::filesystem::path saved = std::filesystem::current_path();
    std::filesystem::current_path(env.files.path);
    types_map.clear();
    auto schema = std::make_unique<udb_schema>();
    schema->push_back(
        std::make_shared<t_ftd>(4, L"id", VT_I4, true, false, ole_variant(), 0, L"int"));
    types_map_dlg dialog(env.converter, L"dbo.t", std::move(schema), nullptr);
    seen_box box;
    record_and_press(box, QMessageBox::Ok);
    const int result = dialog.run();
    std::filesystem::current_path(saved);
    EXPECT_EQ(result, QDialog::Rejected);
    EXPECT_TRUE(box.text.contains("Cannot find sql.map")) << box.text.toStdString();
    EXPECT_TRUE(env.errors.ui.any_error()) << "counted for the exit code";
    EXPECT_EQ(env.errors.ui.errors.size(), 1u) << "listed for the finish page";
}

} // namespace
