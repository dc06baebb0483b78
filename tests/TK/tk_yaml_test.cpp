// Tests of the key/list configuration reader.
#include "TK/tk_yaml.h"

#include "tests/TK/tk_config_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using entries = std::vector<std::pair<std::wstring, std::vector<std::wstring>>>;

entries entries_of(const tk_yaml_config& config) {
    return entries(config.begin(), config.end());
}

class tk_yaml_test : public ::testing::Test {
protected:
    std::string file_with(const std::string& content) {
        const std::string path = dir_.file("list" + std::to_string(++count_) + ".typ");
        tk_core_test::write_file(path, content);
        return path;
    }

    tk_core_test::temp_dir dir_;
    int count_ = 0;
};

TEST_F(tk_yaml_test, FilesReadIntoTheirKeysAndLists) {
    struct yaml_case {
        const char* what;
        std::string content;
        std::set<std::wstring> filter;
        entries expected;
    };
    const std::vector<yaml_case> cases = {
        {"keys with items, blanks and empty lines",
         "INT:\n  - LENGTH  \n\n- SCALE\nVARCHAR:\n- LENGTH\n",
         {},
         {{L"INT", {L"LENGTH", L"SCALE"}}, {L"VARCHAR", {L"LENGTH"}}}},
        {"items before the first key go to the empty key",
         "- a\n-b\nK:\n- c\n",
         {},
         {{L"", {L"a", L"b"}}, {L"K", {L"c"}}}},
        {"a key that occurs twice collects both places",
         "A:\n- 1\nB:\n- 2\nA:\n- 3\n",
         {},
         {{L"A", {L"1", L"3"}}, {L"B", {L"2"}}}},
        {"filtered items are left out, unfiltered duplicates kept",
         "T:\n- keep\n- drop\n- keep\n- drop \n",
         {L"drop"},
         {{L"T", {L"keep", L"keep"}}}},
        {"the colon test comes first", "- x:\n- y\n", {}, {{L"- x", {L"y"}}}},
        {"blanks before the colon stay part of the key",
         "  name  :\n- v\n",
         {},
         {{L"name  ", {L"v"}}}},
        {"CR LF line ends", "K:\r\n- v\r\n", {}, {{L"K", {L"v"}}}},
        {"other lines and tabs are ignored",
         "K:\n# note\n\t- tabbed\nplain\n- v\n",
         {},
         {{L"K", {L"v"}}}},
        {"a lone dash gives the empty item", "K:\n-\n- \n", {}, {{L"K", {L"", L""}}}},
        {"UTF-8 keys and items",
         "\xc3\x84nderung:\n- \xe2\x82\xac \xf0\x9f\x98\x80\n",
         {},
         {{L"\u00c4nderung", {L"\u20ac \U0001F600"}}}},
        {"a last line without a line break is read",
         "K:\n- a\n- last",
         {},
         {{L"K", {L"a", L"last"}}}},
        {"binary junk neither stops nor breaks the reading",
         std::string("K:\n- a\xff\xfe\n\x01\x02\x03\n- b\0c\n- d\n", 23),
         {},
         {{L"K", {L"a\uFFFD\uFFFD", L"b", L"d"}}}},
        {"an empty file", "", {}, {}},
    };
    for (const yaml_case& c : cases) {
        SCOPED_TRACE(c.what);
        tk_yaml_config config;
        ASSERT_TRUE(config.load(file_with(c.content).c_str(), c.filter));
        EXPECT_EQ(entries_of(config), c.expected);
    }
}

TEST_F(tk_yaml_test, LoadsAddToWhatTheMapHolds) {
    tk_yaml_config config;
    ASSERT_TRUE(config.load(file_with("A:\n- 1\n").c_str(), {}));
    ASSERT_TRUE(config.load(file_with("A:\n- 2\nB:\n- 3\n").c_str(), {}));
    EXPECT_EQ(entries_of(config), (entries{{L"A", {L"1", L"2"}}, {L"B", {L"3"}}}));
}

TEST_F(tk_yaml_test, MissingFileLeavesTheMapAsItWas) {
    tk_yaml_config config;
    ASSERT_TRUE(config.load(file_with("A:\n- 1\n").c_str(), {}));
    EXPECT_FALSE(config.load(dir_.file("sql.map").c_str(), {}));
    EXPECT_FALSE(config.load(dir_.path().c_str(), {})) << "a directory is no list file";
    EXPECT_FALSE(config.load(nullptr, {}));
    EXPECT_EQ(entries_of(config), (entries{{L"A", {L"1"}}}));
}

TEST_F(tk_yaml_test, VeryLongLinesAreReadWhole) {
    const std::string item(1 << 20, 'x');
    tk_yaml_config config;
    ASSERT_TRUE(
        config.load(file_with(std::string(70000, 'k') + ":\n- " + item + "\n").c_str(), {}));
    ASSERT_EQ(config.size(), 1u);
    EXPECT_EQ(config.begin()->first.size(), 70000u);
    ASSERT_EQ(config.begin()->second.size(), 1u);
    EXPECT_EQ(config.begin()->second[0].size(), item.size());
}

TEST_F(tk_yaml_test, KeysAreOrderedByTheirUtf16Units) {
    // U+1F600 is D83D DE00 in UTF-16, below U+FF21 there, though above it as a code point.
    tk_yaml_config config;
    ASSERT_TRUE(config.load(
        file_with("\xef\xbc\xa1:\n- fullwidth\n\xf0\x9f\x98\x80:\n- emoji\nZ:\n- z\n").c_str(),
        {}));
    std::vector<std::wstring> keys;
    for (const auto& [key, items] : config)
        keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::wstring>{L"Z", L"\U0001F600", L"\uFF21"}));
}

TEST_F(tk_yaml_test, ReadingIsTraced) {
    tk_config_test::log_capture log;
    tk_yaml_config config;
    const std::string path = file_with("K:\n\n- a\n- b\n");
    ASSERT_TRUE(config.load(path.c_str(), {L"b"}));
    EXPECT_TRUE(log.contains("tk_yaml_config::load(" + path + ")")) << log.text();
    EXPECT_TRUE(log.contains("Got text line: - a")) << log.text();
    EXPECT_TRUE(log.contains("Skip empty line")) << log.text();
    EXPECT_TRUE(log.contains("String 'b' has not passed the filter")) << log.text();
    EXPECT_TRUE(log.contains("String 'a' has been stored under key='K'")) << log.text();
}

} // namespace
