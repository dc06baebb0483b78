// Reading a table list: encodings chosen by the first name, line ends, empty and long lines.
#include "agent/agn_tabf.h"

#include "platform/win32/codepage.h"
#include "TK/tk_excep.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

// Runs with CP1252 as the ANSI code page, as under the en_US.CP1252 locale.
class TableList : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(win32::set_ansi_code_page(1252)); }
    void TearDown() override { win32::set_ansi_code_page(0); }

    static std::vector<std::wstring> read(const std::string& bytes) {
        std::istringstream in(bytes);
        return read_table_list(in);
    }
};

TEST_F(TableList, EncodingFollowsTheFirstNonEmptyLine) {
    struct case_t {
        const char* name;
        std::string bytes;
        std::vector<std::wstring> names;
    };
    const case_t cases[] = {
        {"utf8 with mark",
         "\xEF\xBB\xBF"
         "dbo.Caf\xC3\xA9\n\xD0\x97\xD0\xB0\n",
         {L"dbo.Café", L"За"}},
        {"ansi without mark", "dbo.Caf\xC3\xA9\nCaf\xE9\n", {L"dbo.CafÃ©", L"Café"}},
        {"mark after empty lines",
         "\n\r\n\xEF\xBB\xBF"
         "Caf\xC3\xA9\n",
         {L"Café"}},
        {"mark on a later line is part of the name",
         "a\n\xEF\xBB\xBF"
         "b\n",
         {L"a", L"ï»¿b"}},
        {"a line of the mark alone", "\xEF\xBB\xBF\nCaf\xC3\xA9\n", {L"", L"Café"}},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(read(c.bytes), c.names);
    }
}

TEST_F(TableList, LineEndsEmptyLinesAndBlanks) {
    struct case_t {
        const char* name;
        std::string bytes;
        std::vector<std::wstring> names;
    };
    const case_t cases[] = {
        {"crlf", "a\r\nb\r\n", {L"a", L"b"}},
        {"lf, no end on the last line", "a\nb", {L"a", L"b"}},
        {"empty lines skipped", "\n\r\na\n\n\nb\n\r\n", {L"a", L"b"}},
        {"only empty lines", "\r\n\n\r\n", {}},
        {"empty file", "", {}},
        {"blanks and tabs belong to the name", " a \t\r\n", {L" a \t"}},
        {"only the last CR is a line end", "a\r\r\n", {L"a\r"}},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(read(c.bytes), c.names);
    }
}

// A fixed buffer would split a long name into two, or cut a UTF-8 character in half.
TEST_F(TableList, LongLinesAreReadWhole) {
    const std::string longest =
        "\xEF\xBB\xBF" + std::string(300, 'x') + "\xC3\xA9" + std::string(5000, 'y') + "\r\nnext\n";
    const auto names = read(longest);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], std::wstring(300, L'x') + L"é" + std::wstring(5000, L'y'));
    EXPECT_EQ(names[1], L"next");
}

} // namespace
