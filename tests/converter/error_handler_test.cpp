// The error handler: texts by context and code map, the answers by level, the error list.
#include "tests/converter/converter_test_support.h"

#include "SQL/sql_engi.h"
#include "platform/win32/codepage.h"

using converter_test::driver_env;
using converter_test::handler_env;
using converter_test::scripted_ui;

namespace {

tk_exception coded(int code, const std::string& message, int level) {
    tk_exception error(message, level);
    error.code = code;
    return error;
}

TEST(ErrorHandler, TextFromContextAndCodeMap) {
    driver_env env;
    const std::string duplicate = "Duplicate field values being used for an unique index were "
                                  "found. See 'Troubleshooting' article of the product "
                                  "documentation for solution.";
    const std::string connect = "Cannot connect to the MySQL server. Check to verify that MySQL "
                                "server is launched and the correct host/port values were given.";
    const std::string auth = "The program does not support authentication protocol requested by "
                             "server. See 'Troubleshooting' article of the product documentation.";
    struct row {
        const char* what;
        std::wstring context_name;
        int record; // 0: set_context
        int code;
        std::string expected;
        std::string message = "own message";
    };
    const std::vector<row> rows = {
        {"unmapped code, no context", L"", 0, 0x123, "own message"},
        {"unmapped code, context", L"Orders", 0, 0x123, "Orders: own message"},
        {"duplicate key with record: the advice, then the server's key and value",
         L"[dbo].[Orders]", 7, 0x400426,
         "[dbo].[Orders], record #7: " + duplicate + " Duplicate entry 'x' for key 'PRIMARY'",
         "Duplicate entry 'x' for key 'PRIMARY'"},
        {"2002 refused TCP connection", L"", 0, 0x4007D2, connect},
        {"2003", L"", 0, 0x4007D3, connect},
        {"2005 as 2003", L"", 0, 0x4007D5, connect},
        {"1249", L"", 0, 0x4004E1, auth},
        {"1250", L"", 0, 0x4004E2, auth},
        {"1251", L"", 0, 0x4004E3, auth},
        {"1071 ends with a blank", L"", 0, 0x40042F,
         "Primary key in the original database is too long. Restart the program with \"Skip "
         "converting indexes\" checkbox selected in order to resolve the conflict. "},
        {"OLE DB code", L"", 0, 0x80E4D, "Invalid user name or password."},
        {"CR LF pair", L"", 0, 0x123, "line one line two", "line one\r\nline two"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        if (r.record != 0) {
            env.handler.set_record_context(r.context_name, r.record);
        } else {
            env.handler.set_context(r.context_name);
        }
        env.ui.questions.clear();
        env.handler.handle(coded(r.code, r.message, 0), false);
        ASSERT_EQ(env.ui.questions.size(), 1u);
        EXPECT_EQ(tk_to_utf8(env.ui.questions[0]), r.expected);
        EXPECT_EQ(env.ui.errors.back(), r.expected);
    }
}

TEST(ErrorHandler, ContinueWithDontShowAgainSilencesLaterBoxes) {
    driver_env env;
    env.ui.answers.push_back({true, true});
    env.handler.handle(tk_exception("first", 0), false);
    EXPECT_TRUE(env.handler.suppress);
    env.handler.handle(tk_exception("second", 0), false);
    env.handler.handle(tk_exception("third", 1), false);
    EXPECT_EQ(env.ui.questions.size(), 1u);
    EXPECT_TRUE(env.ui.error_boxes.empty());
    EXPECT_EQ(env.ui.errors, (std::vector<std::string>{"first", "second", "third"}));
}

TEST(ErrorHandler, AbortEndsTheWorkOnlyBelowTheTopLevel) {
    driver_env env;
    env.ui.answers.push_back({false, true});
    EXPECT_THROW(env.handler.handle(tk_exception("row", 0), false), tk_final_exception);
    EXPECT_FALSE(env.handler.suppress) << "Abort leaves the box's state unused";
    env.ui.answers.push_back({false, false});
    EXPECT_NO_THROW(env.handler.handle(tk_exception("run", 0), true));
}

TEST(ErrorHandler, LevelOneShowsABoxAndGoesOn) {
    driver_env env;
    env.handler.handle(tk_exception("line one\nline two", 1), false);
    ASSERT_EQ(env.ui.error_boxes.size(), 1u);
    EXPECT_EQ(env.ui.error_boxes[0], L"line one line two");
    EXPECT_TRUE(env.ui.questions.empty());
}

TEST(ErrorHandler, TwentyErrorsListedTheTwentyFirstOnlyLogged) {
    driver_env env;
    for (int i = 1; i <= 21; ++i) {
        env.handler.handle(tk_exception("error " + std::to_string(i), 0), false);
    }
    ASSERT_EQ(env.ui.errors.size(), 20u);
    EXPECT_EQ(env.ui.errors.back(), "error 20");
    EXPECT_EQ(env.ui.questions.size(), 21u);

    env.ui.errors.clear();
    env.ui.initialized = false;
    env.handler.handle(tk_exception("before the frame", 0), false);
    EXPECT_TRUE(env.ui.errors.empty());
}

TEST(ErrorHandlerDeathTest, InternalErrorShowsTheDialogAndEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            handler_env env;
            env.handler.suppress = true;
            env.handler.set_context(L"ignored context");
            env.handler.handle(tk_mail_assertion("vlm_conv", 86), false);
        },
        testing::ExitedWithCode(255), "INTERNAL DIALOG: Internal error: \ncode=");
}

TEST(ErrorHandlerDeathTest, ConsoleEndsOnLevelOneEvenWhenSilent) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            handler_env env;
            env.ui.console = true;
            env.handler.suppress = true;
            env.handler.handle(tk_exception("fatal", 1), false);
        },
        testing::ExitedWithCode(255), "");
}

TEST(ErrorHandler, ConsoleGoesOnAfterLevelZero) {
    driver_env env;
    env.ui.console = true;
    env.handler.handle(tk_exception("row refused", 0), false);
    EXPECT_EQ(env.ui.questions.size(), 1u);
}

// Context and texts are only shown: a character the ANSI code page lacks, or bytes that are
// not text in it, must never turn a report into a failure of its own.
TEST(ErrorHandler, DisplayTextNeverThrowsOnForeignCharacters) {
    driver_env env;
    ASSERT_TRUE(win32::set_ansi_code_page(1252));
    struct restore {
        ~restore() { win32::set_ansi_code_page(0); }
    } restore_code_page;
    EXPECT_NO_THROW(env.handler.set_record_context(L"\u65E5\u672C\U0001F600", 3));
    EXPECT_EQ(env.handler.context, "???, record #3");
    EXPECT_NO_THROW(env.handler.handle(tk_exception(std::string("\x81\x8D\x90 bytes"), 0), false));
    EXPECT_EQ(vlm_display_narrow(L"caf\u00E9 \u4E2D"), "caf\xE9 ?");
}

} // namespace
