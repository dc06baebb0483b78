// Tests of the exception family and the toolkit's message table.
#include "TK/tk_excep.h"

#include "TK/tk_log.h"
#include "platform/win32/error.h"
#include "platform/win32/thread.h"
#include "tests/TK/tk_core_fixture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace {

// The internal-error text of a check at `file`, `line`, written out by hand.
std::string internal_error_text(const std::string& hex_digits) {
    return std::string("Internal error: \ncode=") + hex_digits;
}

TEST(TkException, EmptyTextReportsUnknownException) {
    const tk_exception error(std::string(), 1);
    EXPECT_STREQ(error.what(), "Unknown exception");
    EXPECT_EQ(error.code, 0);
    EXPECT_EQ(error.level, 1);

    const tk_exception by_level(2);
    EXPECT_EQ(by_level.message, "Unknown exception");
    EXPECT_EQ(by_level.level, 2);
}

TEST(TkException, WideTextIsConvertedToNarrowText) {
    const tk_exception error(std::wstring(L"Table \u00e9t\u00e9 failed"), 0);
    EXPECT_EQ(error.code, 0);
    EXPECT_EQ(error.level, 0);
    // The ANSI code page of the test process is UTF-8 (C or a UTF-8 locale).
    EXPECT_EQ(error.message, "Table \xc3\xa9t\xc3\xa9 failed");
}

TEST(TkException, CopiesKeepMessageCodeAndLevel) {
    tk_exception original("broken", 1);
    original.code = 0x80e37;
    const tk_exception copy = original;
    EXPECT_EQ(copy.message, "broken");
    EXPECT_EQ(copy.code, 0x80e37);
    EXPECT_EQ(copy.level, 1);
}

TEST(TkExceptionEx, CarriesTheFailedCallsErrorAndItsText) {
    // A real failure of a stand-in sets the last error.
    ASSERT_EQ(CloseHandle(nullptr), FALSE);
    const tk_exception_ex error("Cannot close: ", 0);
    EXPECT_EQ(error.code, static_cast<int>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(error.level, 0);
    EXPECT_EQ(error.message, std::string("Cannot close: ") + std::strerror(EBADF) + "\n");
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE) << "reading the text keeps the last error";
}

TEST(TkExceptionEx, WithoutTextGivesTheSystemTextAtLevelOne) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    const tk_exception_ex error;
    EXPECT_EQ(error.level, 1);
    EXPECT_EQ(error.code, 1113);
    EXPECT_EQ(error.message, std::string(std::strerror(EILSEQ)) + "\n");
}

TEST(TkExceptionEx, ErrorWithoutSystemTextIsUnknownExceptionAndKeepsTheCode) {
    SetLastError(0x1234567);
    const tk_exception_ex error("Ignored text: ", 0);
    EXPECT_EQ(error.message, "Unknown exception");
    EXPECT_EQ(error.code, 0x1234567);
}

TEST(TkMailAssertion, EncodesFileAndLineInHex) {
    const tk_mail_assertion error("ab", 1);
    EXPECT_EQ(error.message, internal_error_text("61625c31"));
    EXPECT_EQ(error.level, 2);
    EXPECT_EQ(error.code, 0);

    // Every character of "tk_singl\64" as two lower-case digits.
    EXPECT_EQ(make_err_meggase("tk_singl", 64), internal_error_text("746b5f73696e676c5c3634"));
}

TEST(TkMailAssertion, LogsItsStepsAtLevelTwo) {
    tk_core_test::temp_dir dir;
    const std::string log = dir.file("trace.log");
    tk_logger logger(log.c_str(), true, 2, false);
    const tk_mail_assertion error("ab", 12);
    EXPECT_EQ(tk_core_test::read_file(log), "make_err_meggase(ab, 12)\r\n"
                                            "result=ab\\12\r\n"
                                            "tk_mail_assertion::ctor(ab)\r\n");
}

TEST(TkFinalException, IsNotCaughtAsTkException) {
    bool caught_as_family = false;
    bool caught_as_final = false;
    try {
        try {
            throw tk_final_exception();
        } catch (const tk_exception&) {
            caught_as_family = true;
        }
    } catch (const tk_final_exception&) {
        caught_as_final = true;
    }
    EXPECT_FALSE(caught_as_family);
    EXPECT_TRUE(caught_as_final);
}

TEST(TkMessages, HoldTheToolkitTexts) {
    EXPECT_STREQ(tk_message(tk_msg_logfile_no_privileges),
                 "Cannot create log file. Make sure you have sufficient\n"
                 "privileges to create files in the directory.");
    EXPECT_STREQ(tk_message(3),
                 "Logfile path does not exist.\nPlease verify the correct path was given.");
    EXPECT_STREQ(tk_message(4), "Logfile name specifies an existing read-only file.");
    EXPECT_STREQ(tk_message(5), "Logfile name specifies an existing path.");
    EXPECT_STREQ(tk_message(10), "Unknown exception");
    EXPECT_STREQ(tk_message(11), "Internal error: \ncode=");
    EXPECT_STREQ(tk_wmessage(tk_msg_section_generic), L"Generic settings");
    EXPECT_STREQ(tk_wmessage(44), L"MS SQL Server settings");
    EXPECT_STREQ(tk_wmessage(51), L"MySQL settings");
    EXPECT_STREQ(tk_wmessage(58), L"dump create table");
    EXPECT_STREQ(
        tk_wmessage(70),
        L"Table names file does not exist.\nPlease verify the correct path/name was given.");
    EXPECT_STREQ(static_cast<const wchar_t*>(tk_messages[69]),
                 L"The structure of data source does not conform to the destination table.");
    EXPECT_STRNE(tk_message(tk_msg_bug_recipient), "");
}

TEST(TkMessages, AnEntryOfTheOtherWidthIsAnInternalError) {
    EXPECT_THROW(tk_message(12), tk_mail_assertion);
    EXPECT_THROW(tk_wmessage(11), tk_mail_assertion);
    EXPECT_THROW(tk_wmessage(71), tk_mail_assertion);
    EXPECT_THROW(tk_message(-1), tk_mail_assertion);
}

} // namespace
