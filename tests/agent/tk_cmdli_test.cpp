// The command-line reader: matching by option prefix, values, unrecognised arguments.
#include "TK/tk_cmdli.h"

#include "TK/tk_excep.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

const cmd_option options[] = {
    {0, "--as_dbo"}, {1, "--dest="}, {2, "--dump"}, {3, "--silent"}, {-1, ""},
};

// The ids and values the cursor reports for each argument of `args` (program name first).
std::vector<std::pair<int, std::string>> walk(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    std::vector<std::pair<int, std::string>> seen;
    ansi_cmd_line cmd(static_cast<int>(argv.size()), argv.data(), options);
    for (; cmd.has_more(); cmd.next()) {
        seen.emplace_back(cmd.get_option_id(), cmd.get_value());
    }
    return seen;
}

TEST(TkCmdli, MatchesEachArgumentByItsBeginning) {
    struct case_t {
        const char* argument;
        int id;
        const char* value;
    };
    const case_t cases[] = {
        {"--as_dbo", 0, ""},
        {"--dest=my db", 1, "my db"},
        {"--dest=", 1, ""},
        {"--dest=a=b", 1, "a=b"},
        {"--dumpster", 2, "ster"}, // an option followed by more letters
                                   // acts as the option
        {"--silent", 3, ""},
        {"--DUMP", -1, "--DUMP"}, // case matters
        {"-dump", -1, "-dump"},
        {"dump", -1, "dump"},
        {"", -1, ""},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.argument);
        const auto seen = walk({"pontrel", c.argument});
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].first, c.id);
        EXPECT_EQ(seen[0].second, c.value);
    }
}

TEST(TkCmdli, WalksArgumentsInOrderAndSkipsTheProgram) {
    const auto seen = walk({"pontrel", "--dump", "--dest=x", "what", "--as_dbo"});
    const std::vector<std::pair<int, std::string>> expected = {
        {2, ""}, {1, "x"}, {-1, "what"}, {0, ""}};
    EXPECT_EQ(seen, expected);
    EXPECT_TRUE(walk({"pontrel"}).empty());
}

TEST(TkCmdli, CountsEveryUnrecognisedArgumentAndKeepsTheFirstTwenty) {
    std::vector<std::string> args{"pontrel"};
    for (int i = 0; i < 25; ++i) {
        args.push_back("bad" + std::to_string(i));
    }
    args.push_back("--dump");
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    ansi_cmd_line cmd(static_cast<int>(argv.size()), argv.data(), options);
    while (cmd.has_more()) {
        cmd.next();
    }
    EXPECT_EQ(cmd.unrecognised_count(), 25u);
    EXPECT_STREQ(cmd.unrecognised(0), "bad0");
    EXPECT_STREQ(cmd.unrecognised(TCmdLine::max_unrecognised - 1), "bad19");
}

TEST(TkCmdli, ReadingPastTheEndIsAnInternalError) {
    std::string program = "pontrel";
    char* argv[] = {program.data()};
    ansi_cmd_line cmd(1, argv, options);
    EXPECT_FALSE(cmd.has_more());
    for (int step = 0; step < 3; ++step) {
        SCOPED_TRACE(step);
        try {
            if (step == 0) {
                cmd.next();
            } else if (step == 1) {
                cmd.get_option_id();
            } else {
                cmd.get_value();
            }
            ADD_FAILURE() << "no internal error";
        } catch (const tk_exception& error) {
            EXPECT_EQ(error.level, 2);
        }
    }
}

} // namespace
