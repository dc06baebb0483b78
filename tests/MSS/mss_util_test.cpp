// T-SQL literals of the MS SQL writer.
#include "MSS/mss_engi.h"
#include "MSS/mss_util.h"
#include "UDB/udb_field.h"
#include "UDB/udb_schema.h"
#include "tests/MSS/mss_test_support.h"

#include "TK/tk_utils.h"

#include <cmath>
#include <iterator>
#include <limits>
#include <random>

namespace {

class mss_util_test : public mss_fixture {
protected:
    void SetUp() override {
        mss_fixture::SetUp();
        engine = std::make_unique<mss_engine>(1);
    }
    void TearDown() override {
        engine.reset();
        mss_fixture::TearDown();
    }

    static udb_field field(const ole_variant& value) {
        return udb_field(L"f", 0, value, false, false);
    }

    std::unique_ptr<mss_engine> engine;
};

ole_variant typed(const std::wstring& text, VARTYPE vt) {
    return ole_variant::from_wstring(text, vt);
}

TEST_F(mss_util_test, values_of_every_kind_become_their_literals) {
    const t_ftd nullable(10, L"c", VT_BSTR, false, false, ole_variant(), 0, L"nvarchar");
    struct row {
        ole_variant value;
        std::wstring literal;
    };
    const std::vector<row> rows = {
        {ole_variant(std::wstring(L"O'Brien")), L"N'O''Brien'"},
        {ole_variant(std::wstring(L"'); DROP TABLE t; --")), L"N'''); DROP TABLE t; --'"},
        {ole_variant(std::wstring(L"{6F9619FF-8B86-D011-B42D-00C04FC964FF}")),
         L"N'{6F9619FF-8B86-D011-B42D-00C04FC964FF}'"},
        {ole_variant(std::wstring()), L"''"},
        {ole_variant(std::wstring(L"\u00e9\U0001F600")), L"N'\u00e9\U0001F600'"},
        {typed(L"42", VT_I4), L"42"},
        {typed(L"-12.50", VT_DECIMAL), L"-12.50"},
        {ole_variant(true), L"1"},
        {ole_variant(std::vector<uint8_t>{0x01, 0xAB, 0xFF}), L"0x01ABFF"},
        {ole_variant(0u, nullptr), L"0x"},
        {typed(L"2024-02-29 10:20:30.123456", VT_DATE),
         L"CONVERT(datetime2(7), '2024-02-29 10:20:30.123456')"},
        {typed(L"2024-02-29", VT_DATE), L"'2024-02-29'"},
        {ole_variant(), L"NULL"},
    };
    for (const row& r : rows) {
        const udb_field f = field(r.value);
        EXPECT_EQ(mss_get_fld_append_str(&f, &nullable), r.literal) << r.value.to_string();
    }
}

// A text that looks like a GUID is one only for a uniqueidentifier column; every other text
// column stores it as given, and so compares it in the key conditions of updates and deletes.
TEST_F(mss_util_test, guid_texts_are_read_as_guids_only_by_uniqueidentifier_columns) {
    const t_ftd text_column(50, L"c", VT_BSTR, false, false, ole_variant(), 0, L"nvarchar");
    const t_ftd guid_column(36, L"g", VT_BSTR, false, false, ole_variant(), 1, L"uniqueidentifier");
    const std::wstring guid = L"6F9619FF-8B86-D011-B42D-00C04FC964FF";
    std::mt19937 random(38);
    const wchar_t* const before[] = {L"", L"{", L"  ", L"  {", L"GUID'{", L"guid{", L"x"};
    const wchar_t* const after[] = {L"", L"}", L"}'", L"  ", L"'"};
    for (int round = 0; round < 200; ++round) {
        std::wstring middle = guid;
        if (round % 3 == 1) {
            middle[random() % middle.size()] = L"-{}'g 0aZ"[random() % 9];
        }
        const std::wstring text = std::wstring(before[random() % std::size(before)]) + middle +
                                  after[random() % std::size(after)];
        const udb_field f = field(ole_variant(text));
        std::wstring quoted = L"N'";
        for (wchar_t c : text) {
            quoted += c == L'\'' ? L"''" : std::wstring(1, c);
        }
        quoted += L'\'';
        EXPECT_EQ(mss_get_fld_append_str(&f, &text_column), quoted) << tk_to_utf8(text);
        if (text == guid || text == L"{" + guid + L"}") {
            EXPECT_EQ(mss_get_fld_append_str(&f, &guid_column), L"'" + guid + L"'");
        }
    }
    // A text that is no GUID goes as it is, for the server to refuse.
    const udb_field bad = field(ole_variant(std::wstring(L"not a guid")));
    EXPECT_EQ(mss_get_fld_append_str(&bad, &guid_column), L"N'not a guid'");
}

TEST_F(mss_util_test, unicode_switch_off_drops_the_n_prefix) {
    engine->set_unicode(false);
    EXPECT_EQ(to_mssql_str(L"O'Brien", VT_BSTR), L"'O''Brien'");
    EXPECT_EQ(to_mssql_str(L"", VT_BSTR), L"''");
}

// FreeTDS ends a statement's text at a NUL, so none may stand inside a literal.
TEST_F(mss_util_test, nul_characters_are_spelled_out_between_the_quoted_parts) {
    struct row {
        std::wstring text;
        const wchar_t* unicode;
        const wchar_t* plain;
    };
    const std::vector<row> rows = {
        // A join of bounded texts would stop at 8,000 bytes: the first part is of the max type.
        {std::wstring(L"a\0b", 3), L"CONVERT(nvarchar(max), N'a') + NCHAR(0) + N'b'",
         L"CONVERT(varchar(max), 'a') + CHAR(0) + 'b'"},
        {std::wstring(L"\0", 1), L"CONVERT(nvarchar(max), N'') + NCHAR(0)",
         L"CONVERT(varchar(max), '') + CHAR(0)"},
        {std::wstring(L"\0\0'", 3), L"CONVERT(nvarchar(max), N'') + NCHAR(0) + NCHAR(0) + N''''",
         L"CONVERT(varchar(max), '') + CHAR(0) + CHAR(0) + ''''"},
        {std::wstring(L"x\0", 2), L"CONVERT(nvarchar(max), N'x') + NCHAR(0)",
         L"CONVERT(varchar(max), 'x') + CHAR(0)"},
    };
    for (const row& r : rows) {
        engine->set_unicode(true);
        EXPECT_EQ(to_mssql_str(r.text, VT_BSTR), r.unicode);
        engine->set_unicode(false);
        EXPECT_EQ(to_mssql_str(r.text, VT_BSTR), r.plain);
    }
}

TEST_F(mss_util_test, missing_values_in_not_null_columns_take_the_default) {
    const t_ftd int_default(4, L"c", VT_I4, true, false, typed(L"0", VT_I4), 0, L"int");
    const t_ftd int_plain(4, L"c", VT_I4, true, false, ole_variant(), 0, L"int");
    const t_ftd blob(0, L"c", ole_variant::vt_byte_array, true, false, ole_variant(), 0,
                     L"varbinary");
    const t_ftd nullable(4, L"c", VT_I4, false, false, ole_variant(), 0, L"int");
    udb_field null_field = field(ole_variant());
    null_field.var.vt = VT_NULL;
    EXPECT_EQ(mss_get_fld_append_str(&null_field, &int_default), L"0");
    EXPECT_EQ(mss_get_fld_append_str(&null_field, &int_plain), L"''");
    EXPECT_EQ(mss_get_fld_append_str(&null_field, &blob), L"0x");
    EXPECT_EQ(mss_get_fld_append_str(&null_field, &nullable), L"NULL");
    EXPECT_THROW(mss_get_fld_append_str(nullptr, &nullable), tk_mail_assertion);
    EXPECT_THROW(mss_get_fld_append_str(&null_field, nullptr), tk_mail_assertion);
}

TEST_F(mss_util_test, dates_and_binary_texts) {
    EXPECT_EQ(to_mssql_str(L"0000-00-00 10:20:30", VT_DATE), L"'1899-12-30 10:20:30'");
    EXPECT_EQ(to_mssql_str(L"10:20:30.250", VT_DATE), L"'10:20:30.250'");
    // Finer than milliseconds: typed, since SQL Server reads no such text as a datetime.
    EXPECT_EQ(to_mssql_str(L"2024-01-02 10:20:30.1234567", VT_DATE),
              L"CONVERT(datetime2(7), '2024-01-02 10:20:30.123457')");
    EXPECT_EQ(to_mssql_str(L"10:20:30.000001", VT_DATE), L"CONVERT(time(7), '10:20:30.000001')");
    EXPECT_EQ(to_mssql_str(L"12ab", ole_variant::vt_byte_array), L"'12ab'");
    EXPECT_EQ(to_mssql_str(L"0x12ab", ole_variant::vt_byte_array), L"0x12ab");
    EXPECT_EQ(to_mssql_str(L"1234", VT_BLOB), L"1234");
    EXPECT_EQ(to_mssql_str(L"1x12", VT_BLOB), L"'1x12'");
    EXPECT_EQ(to_mssql_str(L"7", VT_BLOB), L"0x");
}

TEST_F(mss_util_test, doubles_are_brought_into_the_server_range) {
    const double big = std::numeric_limits<double>::max();
    struct row {
        double in;
        double out;
    };
    const double tiny = std::numeric_limits<double>::min();
    const double inf = std::numeric_limits<double>::infinity();
    // The extremes of float stay as they are: SQL Server takes every normal double.
    for (const row& r : std::vector<row>{{1e-310, tiny},
                                         {-1e-310, -tiny},
                                         {big, big},
                                         {-big, -big},
                                         {inf, big},
                                         {-inf, -big},
                                         {std::nan(""), -big},
                                         {0.0, 0.0},
                                         {1.5, 1.5}}) {
        const ole_variant safe = mssql_get_safe_variant(ole_variant(r.in));
        EXPECT_EQ(safe.var.dblVal, r.out) << r.in;
    }
    const ole_variant late = mssql_get_safe_variant(typed(L"12000-01-01 10:00:00", VT_DATE));
    EXPECT_LE(late.date.sys_time.wYear, 9999);
}

TEST(mss_util_no_engine, literal_without_engine_is_an_internal_error) {
    EXPECT_THROW(to_mssql_str(L"x", VT_BSTR), tk_mail_assertion);
}

} // namespace
