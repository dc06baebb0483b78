// Whether an existing MySQL column takes a source column's values unchanged, against the server
// itself: for every source type and every candidate column type, conform_to accepts exactly when
// the server gives back each boundary value of the source type as it was written.
#include "SQL/sql_db.h"
#include "tests/SQL/sql_test_fixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using sql_test::column;
using sql_test::exec;

// A source column as the MS SQL source describes it, with the extreme values of its type (and a
// value that needs every fractional digit). MySQL keeps at most 6 fractional seconds, and the run
// itself creates no finer column, so the time values stop at the sixth digit.
struct source_type {
    const char* name;
    std::shared_ptr<t_ftd> column;
    std::vector<std::string> values;
};

std::vector<source_type> source_types() {
    return {
        {"bit", column(L"v", VT_BOOL, 2), {"0", "1"}},
        {"tinyint", column(L"v", VT_UI1, 1), {"0", "255"}},
        {"smallint", column(L"v", VT_I2, 2), {"-32768", "32767"}},
        {"int", column(L"v", VT_I4, 4), {"-2147483648", "2147483647"}},
        {"bigint", column(L"v", VT_I8, 8), {"-9223372036854775808", "9223372036854775807"}},
        {"decimal(10,2)",
         column(L"v", VT_DECIMAL, 19, 0, 10, 2),
         {"-99999999.99", "99999999.99", "0.01"}},
        {"decimal(5,0)", column(L"v", VT_DECIMAL, 19, 0, 5, 0), {"-99999", "99999"}},
        {"money",
         column(L"v", VT_CY, 8),
         {"-922337203685477.5808", "922337203685477.5807", "0.0001"}},
        {"float", column(L"v", VT_R8, 8), {"1.7976931348623157e308", "2.2250738585072014e-308"}},
        {"date", column(L"v", VT_DATE, 6, 2), {"0001-01-01", "9999-12-31"}},
        {"smalldatetime",
         column(L"v", VT_DATE, 16, 1, 0, 0),
         {"1900-01-01 00:00:00", "2079-06-06 23:59:00"}},
        {"datetime",
         column(L"v", VT_DATE, 16, 1, 0, 3),
         {"1753-01-01 00:00:00.003", "9999-12-31 23:59:59.997"}},
        {"datetime2(7)",
         column(L"v", VT_DATE, 16, 1, 0, 7),
         {"0001-01-01 00:00:00.000001", "9999-12-31 23:59:59.999999"}},
        {"time(0)", column(L"v", VT_DATE, 10, 3, 0, 0), {"00:00:00", "23:59:59"}},
        {"time(7)", column(L"v", VT_DATE, 10, 3, 0, 7), {"00:00:00.000001", "23:59:59.999999"}},
        {"nvarchar(10)",
         column(L"v", VT_BSTR, 10),
         {"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xE2\x82\xAC"}},
    };
}

const char* const destination_types[] = {
    "TINYINT",
    "TINYINT UNSIGNED",
    "SMALLINT",
    "SMALLINT UNSIGNED",
    "MEDIUMINT",
    "MEDIUMINT UNSIGNED",
    "INT",
    "INT(3)",
    "INT UNSIGNED",
    "BIGINT",
    "BIGINT UNSIGNED",
    "BIT(1)",
    "YEAR",
    "DECIMAL(10,2)",
    "DECIMAL(10,1)",
    "DECIMAL(9,2)",
    "DECIMAL(11,3)",
    "DECIMAL(10,2) UNSIGNED",
    "DECIMAL(5,0)",
    "DECIMAL(19,4)",
    "DECIMAL(20,0)",
    "DECIMAL(65,30)",
    "FLOAT",
    "DOUBLE",
    "DATE",
    "DATETIME",
    "DATETIME(3)",
    "DATETIME(6)",
    "TIMESTAMP(6)",
    "TIME",
    "TIME(3)",
    "TIME(6)",
    "VARCHAR(9)",
    "VARCHAR(10)",
    "CHAR(9)",
    "CHAR(10)",
    "TEXT",
};

// A value's text in one form: a number without a plus sign, leading zeros, trailing fractional
// zeros or a point left bare; a midnight time of day dropped from a date (a date and that date
// at midnight are one value); fractional seconds without trailing zeros.
std::string normal_form(std::string text) {
    const auto is_digits = [](const std::string& s) {
        return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
    };
    const bool negative = !text.empty() && text[0] == '-';
    std::string body = negative || (!text.empty() && text[0] == '+') ? text.substr(1) : text;
    const std::size_t point = body.find('.');
    const std::string whole = body.substr(0, point);
    if (is_digits(whole) && (point == std::string::npos || is_digits(body.substr(point + 1)) ||
                             point + 1 == body.size())) {
        std::string w = whole.substr(std::min(whole.find_first_not_of('0'), whole.size()));
        std::string fraction = point == std::string::npos ? "" : body.substr(point + 1);
        fraction.erase(fraction.find_last_not_of('0') + 1);
        if (w.empty()) {
            w = "0";
        }
        std::string result = w + (fraction.empty() ? "" : "." + fraction);
        return negative && result != "0" ? "-" + result : result;
    }
    // Dates and times: trailing fractional zeros, then a midnight time of day.
    if (const std::size_t dot = text.rfind('.');
        dot != std::string::npos && dot > 0 && text.find(':') != std::string::npos) {
        text.erase(text.find_last_not_of('0') + 1);
        if (text.back() == '.') {
            text.pop_back();
        }
    }
    if (text.size() == 19 && text.compare(10, 9, " 00:00:00") == 0) {
        text.resize(10);
    }
    return text;
}

bool same_value(const std::string& written, const std::string& read) {
    if (written.find_first_of("eE") != std::string::npos ||
        read.find_first_of("eE") != std::string::npos) {
        return std::strtold(written.c_str(), nullptr) == std::strtold(read.c_str(), nullptr);
    }
    return normal_form(written) == normal_form(read);
}

class ConformToServer : public sql_test::server_test {};

TEST(ConformNormalForm, TellsValuesApartOnlyByWhatTheyMean) {
    struct case_t {
        const char* a;
        const char* b;
        bool same;
    };
    const case_t cases[] = {
        {"19.99", "19.99", true},
        {"19.99", "20", false},
        {"0.50", "0.5", true},
        {"0.5", "1", false},
        {"-0.00", "0", true},
        {"007", "7", true},
        {"99999", "99999.000", true},
        {"-5", "5", false},
        {"1.5e3", "1500", true},
        {"2024-01-02", "2024-01-02 00:00:00", true},
        {"2024-01-02 00:00:01", "2024-01-02", false},
        {"12:00:00.500000", "12:00:00.5", true},
        {"12:00:00.123", "12:00:00", false},
        {"2000", "2000-01-01", false},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " / " + c.b);
        EXPECT_EQ(same_value(c.a, c.b), c.same);
    }
}

// The oracle writes as a lenient session does (sql_mode empty): whatever the column cannot hold
// comes back changed (rounded, clipped, cut, zeroed) instead of being refused, so any change
// shows. A statement the server refuses all the same counts as a value that does not fit.
TEST_F(ConformToServer, AcceptsExactlyTheColumnsThatGiveEveryValueBack) {
    auto db = create_db();
    exec(mysql(), "SET SESSION sql_mode = ''");
    const std::vector<source_type> sources = source_types();
    int index = 0;
    for (const char* type : destination_types) {
        const std::string table = "t" + std::to_string(index++);
        exec(mysql(), "CREATE TABLE " + table + " (v " + type + ")");
        auto reopened = open_db();
        const std::unique_ptr<udb_recordset> opened =
            reopened->get_table(tk_utf8_to_wstring(table), 8);
        ASSERT_EQ(opened->schema.size(), 1u);
        const t_ftd& destination = *opened->schema[0];
        for (const source_type& source : sources) {
            SCOPED_TRACE(std::string(source.name) + " into " + type);
            bool fits = true;
            std::string changed;
            for (const std::string& value : source.values) {
                exec(mysql(), "DELETE FROM " + table);
                // A BIT column reads a quoted value as bytes and gives bytes back.
                const bool bits = std::string(type).rfind("BIT", 0) == 0;
                const std::string literal = bits ? value : "'" + value + "'";
                const std::string insert = "INSERT INTO " + table + " VALUES (" + literal + ")";
                if (mysql_real_query(mysql(), insert.data(), insert.size()) != 0) {
                    fits = false;
                    changed = value + " refused: " + mysql_error(mysql());
                    break;
                }
                const std::string read = sql_test::fetch_value(
                    mysql(), std::string("SELECT ") + (bits ? "v + 0" : "v") + " FROM " + table);
                if (!same_value(value, read)) {
                    fits = false;
                    changed = value + " came back as " + read;
                    break;
                }
            }
            EXPECT_EQ(source.column->conform_to(destination), fits) << changed;
        }
    }
}

} // namespace
