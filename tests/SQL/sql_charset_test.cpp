// Which characters a character set stores, as the script file judges it without a server,
// against the MariaDB test server itself over generated code points: the server converts each
// character and answers "?" for one the set lacks.
#include "SQL/sql_engi.h"

#include "SQL/sql_util.h"
#include "TK/tk_utils.h"
#include "tests/SQL/sql_test_fixture.h"
#include "tests/support/text_codes.h"
#include "tests/support/turkish_locale.h"

#include <gtest/gtest.h>
#include <mysql.h>

#include <clocale>
#include <cwctype>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using test_support::hex;
using test_support::utf8;

// Every code point of the Basic Multilingual Plane but the surrogates, then a random sample of
// the planes above.
std::vector<char32_t> code_points() {
    std::vector<char32_t> points;
    for (char32_t c = 0; c <= 0xFFFF; ++c) {
        if (c < 0xD800 || c > 0xDFFF) {
            points.push_back(c);
        }
    }
    std::mt19937 random(20261211);
    std::uniform_int_distribution<std::uint32_t> astral(0x10000, 0x10FFFF);
    for (int i = 0; i < 3000; ++i) {
        points.push_back(astral(random));
    }
    points.push_back(0x10FFFF);
    return points;
}

// The literal the script writes for `value`.
std::string literal(const std::string& value) {
    std::string out = "'";
    append_escaped(out, std::string_view(value));
    return out + "'";
}

class CharsetRepertoire : public sql_test::plain_client_test {
protected:
    // Whether the server converts each character into `charset` as something other than "?";
    // one statement per chunk of characters, each converted on its own.
    std::vector<bool> server_stores(const std::string& charset,
                                    const std::vector<char32_t>& points) {
        std::vector<bool> stored;
        // The set's own "?", which the server puts in place of a character the set lacks.
        EXPECT_EQ(mysql_query(&mysql_, ("SELECT HEX(CONVERT('?' USING " + charset + "))").c_str()),
                  0)
            << mysql_error(&mysql_);
        MYSQL_RES* mark = mysql_store_result(&mysql_);
        if (mark == nullptr) {
            return stored;
        }
        const std::string question = mysql_fetch_row(mark)[0];
        mysql_free_result(mark);
        constexpr std::size_t chunk = 2000;
        for (std::size_t from = 0; from < points.size(); from += chunk) {
            std::string select = "SELECT ";
            const std::size_t to = std::min(points.size(), from + chunk);
            for (std::size_t i = from; i < to; ++i) {
                select += (i > from ? ", " : "") + std::string("HEX(CONVERT(_utf8mb4 X'") +
                          hex(utf8(points[i])) + "' USING " + charset + "))";
            }
            EXPECT_EQ(mysql_query(&mysql_, select.c_str()), 0) << mysql_error(&mysql_);
            MYSQL_RES* result = mysql_store_result(&mysql_);
            if (result == nullptr) {
                return stored;
            }
            MYSQL_ROW row = mysql_fetch_row(result);
            for (std::size_t i = 0; i < to - from; ++i) {
                // "?" itself converts to the set's "?".
                stored.push_back(points[from + i] == U'?' || std::string(row[i]) != question);
            }
            mysql_free_result(result);
        }
        return stored;
    }
};

// Every set the server offers is judged soundly: a character judged storable, as a value and
// as the literal the script writes, is one the server stores. A set refuses characters the
// server stores only as many as its entry below allows (where the C library's table and the
// server's differ, see sql_chrs.cpp), so a set judged by a wrong or missing table fails too.
TEST_F(CharsetRepertoire, AgreesWithTheServer) {
    // The characters of the Basic Multilingual Plane that the server stores and the judge
    // refuses, at most.
    const std::map<std::string, int> refused_beyond = {
        {"big5", 259}, {"ujis", 1880}, {"keybcs2", 48}, {"tis620", 33}, {"armscii8", 4},
        {"greek", 2},  {"cp866", 2},   {"macroman", 2}, {"geostd8", 2}, {"dec8", 1},
        {"hebrew", 1}, {"koi8u", 1},   {"swe7", 1},     {"cp932", 1},
    };
    const std::vector<char32_t> points = code_points();
    ASSERT_EQ(mysql_query(&mysql_, "SHOW CHARACTER SET"), 0) << mysql_error(&mysql_);
    MYSQL_RES* list = mysql_store_result(&mysql_);
    ASSERT_NE(list, nullptr);
    std::vector<std::string> charsets;
    while (MYSQL_ROW row = mysql_fetch_row(list)) {
        charsets.emplace_back(row[0]);
    }
    mysql_free_result(list);
    ASSERT_GT(charsets.size(), 30U);
    for (const std::string& charset : charsets) {
        SCOPED_TRACE(charset);
        const sql_charset_repertoire repertoire(std::wstring(charset.begin(), charset.end()));
        // A script in a set the judge does not know is refused.
        EXPECT_TRUE(repertoire.known());
        const std::vector<bool> stored = server_stores(charset, points);
        ASSERT_EQ(stored.size(), points.size());
        int unsound = 0;
        int refused = 0;
        for (std::size_t i = 0; i < points.size() && unsound < 5; ++i) {
            const std::string value = "ab" + utf8(points[i]) + "c";
            const long first = repertoire.first_unstorable(value);
            const long in_literal =
                repertoire.first_unstorable(literal(value), sql_charset_repertoire::form::literal);
            if (!stored[i] && (first < 0 || in_literal < 0)) {
                ++unsound;
                ADD_FAILURE() << charset << " U+" << std::hex
                              << static_cast<unsigned long>(points[i])
                              << ": judged storable (as a value: " << (first < 0)
                              << ", as a literal: " << (in_literal < 0)
                              << "), the server refuses it";
                continue;
            }
            for (const long judged : {first, in_literal}) {
                if (judged >= 0) {
                    EXPECT_EQ(judged, static_cast<long>(points[i]));
                }
            }
            refused += stored[i] && points[i] <= 0xFFFF && (first >= 0 || in_literal >= 0);
        }
        const auto allowed = refused_beyond.find(charset);
        EXPECT_LE(refused, allowed == refused_beyond.end() ? 0 : allowed->second)
            << "characters the server stores and " << charset << "'s judge refuses";
    }
}

// The names a script may carry for the Unicode sets, in any letter case, and names no server
// knows.
TEST(CharsetRepertoireNames, UnicodeAndUnknownSets) {
    const std::string astral = "\xF0\x9F\x98\x80";
    for (const wchar_t* charset : {L"utf8", L"UTF8MB4", L"utf16", L"binary", L"gb18030"}) {
        EXPECT_FALSE(sql_charset_repertoire(charset).checks());
    }
    EXPECT_EQ(sql_charset_repertoire(L"UTF8MB3").first_unstorable(astral), 0x1F600);
    EXPECT_EQ(sql_charset_repertoire(L"SJis").first_unstorable(astral), 0x1F600);
    EXPECT_FALSE(sql_charset_repertoire(L"no such set").checks());
    EXPECT_FALSE(sql_charset_repertoire(L"utf8mb4_bin").known());
}

// pontrel and the wizard take the letter case of the user's locale: under a Turkish one the C
// library lower-cases 'I' to a dotless i, and a name matched with the locale's case
// ("--charset=LATIN1") was judged by no table, so its script wrote rows the replay refused.
TEST(CharsetRepertoireNames, NamesMatchInAsciiWhateverTheLocale) {
    ASSERT_TRUE(test_support::use_turkish_locale());
    ASSERT_EQ(std::towlower(L'I'), 0x131u) << "the locale does not fold as Turkish does";
    // Every name with an 'i' that a server offers, and a text that each set refuses somewhere.
    const std::string text = "a\xC3\xA9\xCE\xA9\xE3\x82\xA2\xF0\x9F\x98\x80"; // aéΩア😀
    for (const wchar_t* lower : {L"latin1", L"latin2", L"latin5", L"latin7", L"ascii", L"big5",
                                 L"sjis", L"ujis", L"tis620", L"eucjpms", L"armscii8"}) {
        std::wstring upper(lower);
        for (wchar_t& c : upper) {
            c = tk_ascii_upper(c);
        }
        SCOPED_TRACE(testing::PrintToString(upper));
        const sql_charset_repertoire as_given(upper);
        const sql_charset_repertoire as_listed(lower);
        ASSERT_TRUE(as_listed.checks());
        EXPECT_TRUE(as_given.checks());
        EXPECT_EQ(as_given.first_unstorable(text), as_listed.first_unstorable(text));
    }
    std::setlocale(LC_ALL, "C");
}

// A backslash escape of the literal stands for one character: in swe7, which lacks the
// backslash, an escaped quote is storable and an escaped backslash is not.
TEST(CharsetRepertoireText, LiteralEscapes) {
    const sql_charset_repertoire swe7(L"swe7");
    using form = sql_charset_repertoire::form;
    const struct {
        std::string value;
        long first;
    } cases[] = {
        {"it's", -1}, {std::string("a\0b", 3), -1}, {"C:\\dir", '\\'},
        {"50%_", -1}, {"f\xC3\xA5r", -1},           {"[x]", '['},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(swe7.first_unstorable(c.value), c.first);
        EXPECT_EQ(swe7.first_unstorable(literal(c.value), form::literal), c.first);
    }
    EXPECT_EQ(swe7.first_unstorable("'50\\%'", form::literal), '\\');
}

// Text that is no valid UTF-8 is left to the server; the first character the set lacks is
// named, not a later one.
TEST(CharsetRepertoireText, MalformedTextAndFirstCharacter) {
    const sql_charset_repertoire latin1(L"latin1");
    EXPECT_EQ(latin1.first_unstorable(""), -1);
    EXPECT_EQ(latin1.first_unstorable("caf\xC3\xA9 \xE2\x82\xAC"), -1);    // é €
    EXPECT_EQ(latin1.first_unstorable("\xCE\xA9\xF0\x9F\x98\x80"), 0x3A9); // Ω 😀
    EXPECT_EQ(latin1.first_unstorable("\xC2\x80"), 0x80);                  // not 0x81
    EXPECT_EQ(latin1.first_unstorable("\xC2\x81"), -1);
    EXPECT_EQ(latin1.first_unstorable("\xE2\x82"), -1);     // cut short
    EXPECT_EQ(latin1.first_unstorable("\xFF\xCE\xA9"), -1); // not UTF-8
    const sql_charset_repertoire bmp(L"utf8mb3");
    EXPECT_EQ(bmp.first_unstorable("\xEF\xBF\xBD\xF0\x9F\x98\x80"), 0x1F600);
}

} // namespace
