// Which characters a character set stores, as the script file judges it without a server,
// against the MariaDB test server itself over generated code points: the server converts each
// character and answers "?" for one the set lacks.
#include "SQL/sql_engi.h"

#include "tests/support/mysql_test_env.h"

#include <gtest/gtest.h>
#include <mysql.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::string utf8(char32_t c) {
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// Every code point up to U+33FF (the sets' upper halves live there), then a random sample of
// the rest of the BMP and of the planes above, without the surrogates.
std::vector<char32_t> code_points() {
    std::vector<char32_t> points;
    for (char32_t c = 0x80; c < 0x3400; ++c) {
        points.push_back(c);
    }
    std::mt19937 random(20261211);
    std::uniform_int_distribution<std::uint32_t> bmp(0x3400, 0xFFFD);
    std::uniform_int_distribution<std::uint32_t> astral(0x10000, 0x10FFFF);
    for (int i = 0; i < 3000; ++i) {
        const char32_t c = bmp(random);
        if (c < 0xD800 || c > 0xDFFF) {
            points.push_back(c);
        }
        points.push_back(astral(random));
    }
    return points;
}

class CharsetRepertoire : public testing::Test {
protected:
    void SetUp() override {
        const auto server = test_support::mysql_server_from_env();
        ASSERT_FALSE(server.host.empty());
        mysql_init(&mysql_);
        ASSERT_NE(mysql_real_connect(&mysql_, server.host.c_str(), server.user.c_str(),
                                     server.password.c_str(), nullptr, server.port, nullptr, 0),
                  nullptr)
            << mysql_error(&mysql_);
        ASSERT_EQ(mysql_query(&mysql_, "SET NAMES utf8mb4"), 0) << mysql_error(&mysql_);
    }
    void TearDown() override { mysql_close(&mysql_); }

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
        constexpr std::size_t chunk = 500;
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
                stored.push_back(std::string(row[i]) != question);
            }
            mysql_free_result(result);
        }
        return stored;
    }

    MYSQL mysql_{};
};

// Each set that the writer checks agrees with the server on every generated character; a set
// that holds every character, or that the writer does not know, checks nothing.
TEST_F(CharsetRepertoire, AgreesWithTheServer) {
    const std::vector<char32_t> points = code_points();
    for (const char* charset : {"latin1", "ascii", "utf8mb3", "ucs2", "latin2", "latin5", "latin7",
                                "cp1250", "cp1251", "cp1257", "koi8r", "cp850", "cp852"}) {
        SCOPED_TRACE(charset);
        const std::wstring name(charset, charset + std::char_traits<char>::length(charset));
        const sql_charset_repertoire repertoire(name);
        ASSERT_TRUE(repertoire.checks());
        const std::vector<bool> stored = server_stores(charset, points);
        ASSERT_EQ(stored.size(), points.size());
        int disagreements = 0;
        for (std::size_t i = 0; i < points.size() && disagreements < 5; ++i) {
            const std::string text = "ab" + utf8(points[i]) + "c";
            const long first = repertoire.first_unstorable(text);
            if ((first < 0) != stored[i]) {
                ++disagreements;
                ADD_FAILURE() << charset << " U+" << std::hex
                              << static_cast<unsigned long>(points[i]) << ": the server "
                              << (stored[i] ? "stores" : "refuses") << " it";
            } else if (first >= 0) {
                EXPECT_EQ(first, static_cast<long>(points[i]));
            }
        }
    }
    for (const wchar_t* charset :
         {L"utf8", L"UTF8MB4", L"binary", L"sjis", L"greek", L"no such set"}) {
        EXPECT_FALSE(sql_charset_repertoire(charset).checks());
    }
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
