// Tests of the trace log: levels, emptying, time prefix, wide lines and concurrent writers.
#include "TK/tk_log.h"

#include "platform/win32/localtime.h"
#include "tests/TK/tk_core_fixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using tk_core_test::read_file;
using tk_core_test::temp_dir;
using tk_core_test::write_file;

void five_past_nine(SYSTEMTIME* time) {
    *time = SYSTEMTIME{2024, 3, 1, 15, 9, 5, 3, 250};
}

class TkLog : public ::testing::Test {
protected:
    temp_dir dir;
    std::string log = dir.file("trace.log");
};

TEST_F(TkLog, WritesLinesAtOrAboveTheThreshold) {
    tk_logger logger(log.c_str(), true, 2, false);
    tk_log_message(1, "detail %d", 1);
    tk_log_message(2, "trace %s", "entry");
    tk_log_wmessage(1, L"wide detail");
    tk_log_wmessage(3, L"progress %d%%", 50);
    EXPECT_EQ(read_file(log), "trace entry\r\nprogress 50%\r\n");
    EXPECT_FALSE(tk_log_wanted(1));
    EXPECT_TRUE(tk_log_wanted(2));
}

TEST_F(TkLog, ConstructionEnabledEmptiesTheFileAtOnce) {
    write_file(log, "old run\r\n");
    tk_logger logger(log.c_str(), true, 3, false);
    EXPECT_TRUE(logger.truncated());
    EXPECT_EQ(read_file(log), "");
}

TEST_F(TkLog, DisabledLoggerWritesNothing) {
    tk_logger logger(log.c_str(), false, 1, false);
    EXPECT_FALSE(tk_log_wanted(3));
    tk_log_message(3, "not written");
    tk_log_wmessage(3, L"not written");
    EXPECT_FALSE(std::filesystem::exists(log));
    EXPECT_FALSE(logger.truncated());
}

TEST_F(TkLog, WritersWithoutLoggerDoNothing) {
    EXPECT_FALSE(tk_log_wanted(3));
    tk_log_message(3, "no logger");
    tk_log_wmessage(3, L"no logger");
    EXPECT_FALSE(std::filesystem::exists(log));
}

TEST_F(TkLog, FirstCallAfterEnablingEmptiesTheFileEvenBelowThreshold) {
    tk_logger logger(nullptr, false, 3, false);
    write_file(log, "old run\r\n");
    logger.enable(log);
    tk_log_message(1, "below the threshold");
    EXPECT_EQ(read_file(log), "");
    EXPECT_TRUE(logger.truncated());

    // Emptied once per process: switching files later appends to the new one.
    const std::string second = dir.file("second.log");
    write_file(second, "kept\r\n");
    logger.enable(second);
    tk_log_message(3, "appended");
    EXPECT_EQ(read_file(second), "kept\r\nappended\r\n");
}

TEST_F(TkLog, TimePrefixOnlyWhenAsked) {
    const local_time_source previous = set_local_time_source(five_past_nine);
    {
        tk_logger logger(log.c_str(), true, 1, true);
        tk_log_message(1, "narrow");
        tk_log_wmessage(1, L"wide");
    }
    EXPECT_EQ(read_file(log), "09:05:03 narrow\r\n09:05:03 wide\r\n");
    {
        tk_logger logger(log.c_str(), true, 1, false);
        tk_log_message(1, "plain");
    }
    set_local_time_source(previous);
    EXPECT_EQ(read_file(log), "plain\r\n");
}

TEST_F(TkLog, WideTextIsWrittenAsUtf8AndNarrowTextByteForByte) {
    tk_logger logger(log.c_str(), true, 1, false);
    tk_log_wmessage(3, L"%ls|%lc|%d", L"\u00e9\u20ac\U0001D11E", L'\u4e2d', 7);
    tk_log_message(3, "%s", "\xe9\xff raw");
    EXPECT_EQ(read_file(log), "\xc3\xa9\xe2\x82\xac\xf0\x9d\x84\x9e|\xe4\xb8\xad|7\r\n"
                              "\xe9\xff raw\r\n");
}

TEST_F(TkLog, WideLineIsCutTo10239Characters) {
    tk_logger logger(log.c_str(), true, 1, false);
    const std::wstring long_text(20000, L'x');
    tk_log_wmessage(3, L"<%ls>", long_text.c_str());
    EXPECT_EQ(read_file(log), "<" + std::string(10238, 'x') + "\r\n");
}

TEST_F(TkLog, WideLineTooLongForTheUtf8BufferIsCutAtACharacter) {
    tk_logger logger(log.c_str(), true, 1, false);
    // 5000 euro signs take 15000 bytes; 3413 of them (10239 bytes) fit with a terminator.
    const std::wstring euros(5000, L'\u20ac');
    tk_log_wmessage(3, L"%ls", euros.c_str());
    std::string expected;
    for (int i = 0; i < 3413; ++i) {
        expected += "\xe2\x82\xac";
    }
    EXPECT_EQ(read_file(log), expected + "\r\n");
}

TEST_F(TkLog, NarrowLineHasNoLengthLimit) {
    tk_logger logger(log.c_str(), true, 1, false);
    const std::string long_text(100000, 'n');
    tk_log_message(3, "%s", long_text.c_str());
    EXPECT_EQ(read_file(log), long_text + "\r\n");
}

TEST_F(TkLog, LineWhoseFileCannotBeOpenedIsDroppedAndTheNextOneTriesAgain) {
    const std::string sub = dir.file("sub");
    std::filesystem::create_directory(sub);
    const std::string inner = sub + "/trace.log";
    tk_logger logger(inner.c_str(), true, 1, false);
    std::filesystem::remove_all(sub);
    tk_log_message(3, "dropped");
    tk_log_wmessage(3, L"dropped");
    std::filesystem::create_directory(sub);
    tk_log_message(3, "written");
    EXPECT_EQ(read_file(inner), "written\r\n");
}

TEST_F(TkLog, LinesOfConcurrentWritersStayWhole) {
    tk_logger logger(log.c_str(), true, 1, false);
    constexpr int lines_per_thread = 300;
    const std::string narrow_text(300, 'n');
    const std::wstring wide_text(300, L'w');
    std::thread narrow_writer([&] {
        for (int i = 0; i < lines_per_thread; ++i) {
            tk_log_message(3, "%s", narrow_text.c_str());
        }
    });
    std::thread wide_writer([&] {
        for (int i = 0; i < lines_per_thread; ++i) {
            tk_log_wmessage(3, L"%ls", wide_text.c_str());
        }
    });
    narrow_writer.join();
    wide_writer.join();

    const std::string content = read_file(log);
    int narrow_lines = 0;
    int wide_lines = 0;
    std::size_t start = 0;
    while (start < content.size()) {
        const std::size_t end = content.find("\r\n", start);
        ASSERT_NE(end, std::string::npos);
        const std::string line = content.substr(start, end - start);
        if (line == narrow_text) {
            ++narrow_lines;
        } else if (line == std::string(300, 'w')) {
            ++wide_lines;
        } else {
            FAIL() << "mixed line: " << line;
        }
        start = end + 2;
    }
    EXPECT_EQ(narrow_lines, lines_per_thread);
    EXPECT_EQ(wide_lines, lines_per_thread);
}

// The wizard names a new log file on its own thread while the conversion thread logs: every
// line reaches one of the two files whole, and the switch never touches the name a writer is
// reading (a race the thread sanitizer reports).
TEST_F(TkLog, SwitchingTheFileWhileAnotherThreadLogs) {
    // Names of different lengths, so that switching reallocates the stored name.
    const std::string first = dir.file("first.log");
    const std::string second = dir.file("a-much-longer-name-for-the-second-log-file.log");
    tk_logger logger(first.c_str(), true, 1, false);
    constexpr int lines = 400;
    std::thread writer([&] {
        for (int i = 0; i < lines; ++i) {
            tk_log_message(3, "line");
        }
    });
    for (int i = 0; i < lines; ++i) {
        logger.enable(i % 2 == 0 ? second : first);
    }
    writer.join();

    auto content = [](const std::string& path) {
        const std::string text = read_file(path);
        return text == "<missing>" ? std::string() : text;
    };
    const std::string all = content(first) + content(second);
    std::size_t count = 0;
    for (std::size_t at = 0; (at = all.find("line\r\n", at)) != std::string::npos; at += 6) {
        ++count;
    }
    EXPECT_EQ(count, static_cast<std::size_t>(lines));
    EXPECT_EQ(all.size(), count * 6);
}

TEST(TkLogger, DefaultFileIsTheProgramPathWithLogExtension) {
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe");
    std::filesystem::path expected = program;
    expected.replace_extension(".log");
    EXPECT_EQ(tk_logger::default_file_name(), expected.string());

    tk_logger logger(nullptr, false, 3, false);
    EXPECT_EQ(logger.log_path(), expected.string());
    EXPECT_FALSE(logger.enabled());
    EXPECT_EQ(logger.threshold(), 3);
    EXPECT_TRUE(logger.line_break());
    EXPECT_FALSE(logger.timestamp());
}

} // namespace

namespace {

TEST_F(TkLog, HeldLinesEmptyTheFileOnlyWhenReleasedSo) {
    tk_logger logger(nullptr, false, 3, false);
    write_file(log, "earlier run\r\n");
    logger.hold();
    logger.enable(log);
    tk_log_message(3, "kept");
    EXPECT_EQ(read_file(log), "earlier run\r\n");
    logger.release(true);
    EXPECT_EQ(read_file(log), "kept\r\n");
}

TEST_F(TkLog, HeldLinesWaitForTheCommandLine) {
    tk_logger logger(nullptr, false, 3, false);
    write_file(log, "earlier run\r\n");
    logger.hold();
    logger.enable(log);
    tk_log_message(3, "while held %d", 1);
    tk_log_wmessage(3, L"wide %ls", L"é");
    // Nothing touches the file while held.
    EXPECT_EQ(read_file(log), "earlier run\r\n");
    EXPECT_FALSE(logger.truncated());

    // Released without emptying (a refused command line): the lines follow the old content.
    logger.release(false);
    EXPECT_EQ(read_file(log), "earlier run\r\nwhile held 1\r\nwide \xC3\xA9\r\n");
    tk_log_message(3, "after");
    EXPECT_EQ(read_file(log), "earlier run\r\nwhile held 1\r\nwide \xC3\xA9\r\nafter\r\n");
}

TEST_F(TkLog, FailedWritesAreReportedOnceOnStderr) {
    const std::string folder = dir.file("gone");
    std::filesystem::create_directory(folder);
    tk_logger logger(nullptr, false, 3, false);
    logger.enable(folder + "/trace.log");
    tk_log_message(3, "written");
    std::filesystem::remove_all(folder);
    testing::internal::CaptureStderr();
    tk_log_message(3, "lost one");
    tk_log_wmessage(3, L"lost two");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Cannot write the trace log " + folder + "/trace.log: No such file or directory\n");
}

} // namespace
