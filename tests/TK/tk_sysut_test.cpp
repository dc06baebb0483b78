// Tests of the clipboard copy, the library version and the bug-report mail.
#include "TK/tk_sysut.h"

#include "platform/win32/clipboard.h"
#include "platform/win32/localtime.h"
#include "platform/win32/shell.h"
#include "tests/TK/tk_config_fixture.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

namespace {

class tk_sysut_test : public ::testing::Test {
protected:
    void TearDown() override {
        win32::set_clipboard_sink({});
        win32::set_desktop_opener("");
        set_local_time_source(nullptr);
    }
    tk_config_test::log_capture log_;
};

TEST_F(tk_sysut_test, TextGoesToTheInstalledClipboardUpToItsFirstNul) {
    std::optional<std::u16string> clipboard;
    win32::set_clipboard_sink([&](std::u16string_view text) {
        clipboard = std::u16string(text);
        return true;
    });
    const std::vector<std::pair<std::wstring, std::u16string>> cases = {
        {L"Internal error: \ncode=61625c31", u"Internal error: \ncode=61625c31"},
        {L"", u""},
        {L"\u00e9t\u00e9 \U0001F600", u"\u00e9t\u00e9 \U0001F600"},
        {std::wstring(L"ab\0cd", 5), u"ab"},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(testing::PrintToString(expected));
        clipboard.reset();
        tk_copy_to_clipboard2(text);
        EXPECT_EQ(clipboard, expected);
    }
    EXPECT_TRUE(log_.contains("OpenClipboard succeeded")) << log_.text();
}

TEST_F(tk_sysut_test, WithoutAClipboardTheFailureIsOnlyTraced) {
    tk_copy_to_clipboard2(L"text");
    EXPECT_TRUE(log_.contains("tk_copy_to_clipboard2(text)")) << log_.text();
    EXPECT_TRUE(log_.contains("GetLastError() returns 00000032")) << log_.text();

    // A clipboard that refuses the text leaves the memory with the caller, who frees it.
    win32::set_clipboard_sink([](std::u16string_view) { return false; });
    tk_copy_to_clipboard2(L"refused");
}

TEST_F(tk_sysut_test, LibraryVersionsComeFromDllGetVersion) {
    EXPECT_EQ(get_dll_version(L"comctl32.dll"), 6u * 65536 + 16);
    EXPECT_EQ(get_dll_version(L"COMCTL32.DLL"), 6u * 65536 + 16);

    EXPECT_EQ(get_dll_version(L"libc.so.6"), 0u);
    EXPECT_TRUE(log_.contains("get_dll_version failed to obtain DllGetVersion")) << log_.text();

    EXPECT_EQ(get_dll_version(L"no-such-library.dll"), 0u);
    EXPECT_EQ(get_dll_version(nullptr), 0u);
    EXPECT_TRUE(log_.contains("get_dll_version failed to load DLL")) << log_.text();
}

void morning_of_leap_day(SYSTEMTIME* time) {
    *time = SYSTEMTIME{2024, 2, 4, 29, 9, 5, 3, 0};
}

// An opener that writes the link it is given to a file beside itself.
std::string make_recording_opener(const tk_core_test::temp_dir& dir) {
    const std::string script = dir.file("opener.sh");
    tk_core_test::write_file(script,
                             "#!/bin/sh\nprintf '%s' \"$1\" > \"$0.out.tmp\" && mv \"$0.out.tmp\" "
                             "\"$0.out\"\n");
    chmod(script.c_str(), 0755);
    return script;
}

std::string wait_for_file(const std::string& path) {
    for (int i = 0; i < 500 && !std::filesystem::exists(path); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return tk_core_test::read_file(path);
}

TEST_F(tk_sysut_test, BugReportBecomesAMailLinkForTheDesktopOpener) {
    tk_core_test::temp_dir dir;
    const std::string opener = make_recording_opener(dir);
    win32::set_desktop_opener(opener);
    set_local_time_source(&morning_of_leap_day);

    tk_send_bug("Velmora 2.1", "Internal error: \ncode=61625c31 & 100% \xc3\xa9");

    EXPECT_EQ(wait_for_file(opener + ".out"),
              "mailto:support@velmora.example"
              "?subject=Bug%20report%20on%20Velmora%202.1"
              "&body=Internal%20error%3A%20%0D%0Acode%3D61625c31%20%26%20100%25%20%C3%A9"
              "%0D%0A%0D%0A2024%2F2%2F29%209%3A5");
    EXPECT_TRUE(log_.contains("tk_send_bug(Velmora 2.1|Internal error: \ncode=61625c31 & 100% "
                              "\xc3\xa9)"))
        << log_.text();
}

TEST_F(tk_sysut_test, MissingOpenerIsOnlyTracedAndLeavesTheWorkingDirectory) {
    win32::set_desktop_opener("velmora-no-such-opener");
    const auto before = std::filesystem::current_path();
    EXPECT_NO_THROW(tk_send_bug("title", "text"));
    EXPECT_EQ(std::filesystem::current_path(), before);
    EXPECT_NE(log_.text().find("Failed to locate the desktop opener"), std::string::npos)
        << log_.text();
}

} // namespace
