// The bulk load is only a faster way to store the rows a statement stores: values of every source
// type, text forms included, at the edges of every column type the writer creates, written by
// INSERT statements into one table and by bulk load into another of the TDS test server, read
// back and compared. A row is stored alike on both paths, or refused alike with the server's own
// error; the list of allowed differences below is the only allowance.
#include "MSS/mss_floa.h"
#include "UDB/udb_services.h"
#include "tests/MSS_source/freetds_support.h"

#include <cmath>
#include <limits>
#include <map>
#include <set>

namespace {

class keeping_handler : public udb_error_handler {
public:
    void handle(const tk_exception& error, bool) override { errors.push_back(error.message); }
    std::vector<std::string> errors;
};

// A destination column: its T-SQL type and the descriptor the writer holds for it.
struct column_kind {
    std::string sql;
    VARTYPE vt;
    DWORD size;
    DWORD reserved; // date kind: 1 date-time, 2 date, 3 time
    std::wstring native;
    int prec = 0;
    int scale = 0;
};

// One source value and how to tell it in a failure.
struct source_value {
    std::string label;
    ole_variant value;
};

ole_variant typed(VARTYPE vt, const std::wstring& text) {
    return ole_variant::from_wstring(text, vt);
}

ole_variant real4(float f) {
    ole_variant v;
    v.var.vt = VT_R4;
    v.var.fltVal = f;
    return v;
}

std::string shown(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text.substr(0, 12)) {
        out += c == 0 ? std::string("\\0") : tk_to_utf8(std::wstring(1, c));
    }
    return "'" + out + (text.size() > 12 ? "...(" + std::to_string(text.size()) + ")" : "") + "'";
}

// Values at the edges of every column type, in every source type that can carry them.
std::vector<source_value> generated_values() {
    std::vector<source_value> out;
    auto add = [&](const std::string& label, ole_variant v) {
        out.push_back({label, std::move(v)});
    };
    // Integers: each bound of every integer column and one past it, money's and smallmoney's
    // bounds in whole units, and the limits of exact floats; in every integer type that holds
    // them.
    const std::vector<std::int64_t> integers = {0,
                                                1,
                                                -1,
                                                5,
                                                127,
                                                128,
                                                -128,
                                                -129,
                                                255,
                                                256,
                                                32767,
                                                32768,
                                                -32768,
                                                -32769,
                                                214748,
                                                214749,
                                                -214748,
                                                -214749,
                                                2147483647,
                                                2147483648LL,
                                                -2147483648LL,
                                                -2147483649LL,
                                                16777217,
                                                9007199254740993LL,
                                                922337203685477LL,
                                                922337203685478LL,
                                                std::numeric_limits<std::int64_t>::max(),
                                                std::numeric_limits<std::int64_t>::min()};
    struct int_type {
        VARTYPE vt;
        const char* name;
        std::int64_t low, high;
    };
    const std::vector<int_type> int_types = {
        {VT_I1, "I1", -128, 127},
        {VT_UI1, "UI1", 0, 255},
        {VT_I2, "I2", -32768, 32767},
        {VT_UI2, "UI2", 0, 65535},
        {VT_I4, "I4", INT32_MIN, INT32_MAX},
        {VT_UI4, "UI4", 0, UINT32_MAX},
        {VT_I8, "I8", INT64_MIN, INT64_MAX},
        {VT_UI8, "UI8", 0, INT64_MAX},
    };
    for (std::int64_t i : integers) {
        for (const int_type& t : int_types) {
            if (i >= t.low && i <= t.high) {
                add(std::string(t.name) + " " + std::to_string(i), typed(t.vt, std::to_wstring(i)));
            }
        }
    }
    add("UI8 max", typed(VT_UI8, L"18446744073709551615"));
    add("UI8 2^63", typed(VT_UI8, L"9223372036854775808"));
    add("BOOL true", ole_variant(true));
    add("BOOL false", ole_variant(false));
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double d :
         {0.0,        -0.0,           1.1,          1.5,    0.5,  2.5,   0.4,
          1.00005,    214748.3647,    214748.36475, 1e-310, 1e39, -1e39, 3.4028234663852886e38,
          3.5e38,     1.17549435e-38, 1e-45,        1e308,  inf,  -inf,  nan,
          16777217.0, 123456.789}) {
        add("R8 " + std::to_string(d), ole_variant(d));
    }
    const float finf = std::numeric_limits<float>::infinity();
    for (float f : {0.0f, 1.1f, 0.4f, 1.5f, std::numeric_limits<float>::max(),
                    std::numeric_limits<float>::min(), 1e-45f, 16777216.0f, finf, -finf,
                    std::numeric_limits<float>::quiet_NaN()}) {
        add("R4 " + std::to_string(f), real4(f));
    }
    for (const wchar_t* c :
         {L"1.0000", L"0.4", L"-0.0001", L"1.5", L"214748.3647", L"214748.3648", L"-214748.3648",
          L"-214748.3649", L"922337203685477.5807", L"-922337203685477.5808", L"12345.6789"}) {
        add("CY " + tk_to_utf8(c), typed(VT_CY, c));
    }
    for (const wchar_t* d :
         {L"0.4", L"0.005", L"0.015", L"1.00005", L"999.995", L"999.99", L"-1.5", L"1.25",
          L"99999999999999999999999999999999999999", L"340282366920938463463374607431768211461",
          L"-340282366920938463463374607431768211461", L"123456789012345678.123456789",
          L"0.0000000001", L"12345.6789", L"214748.3648", L"79228162514264337593543950335"}) {
        add("DECIMAL " + tk_to_utf8(d), typed(VT_DECIMAL, d));
    }
    for (const wchar_t* d : {L"2024-01-01 23:59:59.999",
                             L"2024-01-01 23:59:59.998",
                             L"2024-01-01 23:59:59.997",
                             L"2024-01-01 23:59:59.9995",
                             L"2024-01-01 23:59:29.999",
                             L"2024-01-01 23:59:30",
                             L"2024-01-01 10:00:29.999",
                             L"2024-01-01 10:00:29.998",
                             L"2024-01-01 10:00:30",
                             L"2024-01-01 10:00:00",
                             L"2024-01-01 00:00:00.5",
                             L"2024-01-01 23:59:59.5",
                             L"2024-02-29 13:45:30.123456",
                             L"2024-01-01 12:00:00.000001",
                             L"2079-06-06 23:59:00",
                             L"2079-06-06 23:59:30",
                             L"2079-06-06 23:59:29.998",
                             L"2079-06-07",
                             L"1900-01-01",
                             L"1899-12-31 23:59:59",
                             L"1753-01-01",
                             L"1752-12-31",
                             L"9999-12-31 23:59:59.999",
                             L"9999-12-31 23:59:59.999999",
                             L"9999-12-31",
                             L"1600-03-01",
                             L"1600-02-29",
                             L"0001-01-01",
                             L"23:59:59.999999",
                             L"00:00:00.5",
                             L"12:34:56"}) {
        add("DATE " + tk_to_utf8(d), ole_variant(ole_date(std::wstring(d))));
    }
    // Text forms of every kind of value, text the server reads its own way, and lengths around
    // the row slot (8,000 bytes: 2,666/2,667 characters of a character column), the bulk
    // copy's 4,096-byte buffer and the columns' sizes; NULs; characters beyond each code page.
    const std::vector<std::wstring> texts = {L"",
                                             L"0",
                                             L"1",
                                             L"-1",
                                             L"5",
                                             L"true",
                                             L"TRUE",
                                             L"yes",
                                             L"1.5",
                                             L"0.4",
                                             L"1.00005",
                                             L"$1,000.50",
                                             L"214748.3648",
                                             L"1e5",
                                             L" 5 ",
                                             L"NaN",
                                             L"inf",
                                             L"2024-02-30",
                                             L"2024-01-01T10:00:00",
                                             L"20240101",
                                             L"2024-01-01 23:59:59.999",
                                             L"10:00:29.999",
                                             L"6F9619FF-8B86-D011-B42D-00C04FC964FF",
                                             L"{6F9619FF-8B86-D011-B42D-00C04FC964FF}",
                                             L"6f9619ff-8b86-d011-b42d-00c04fc964ff",
                                             L"  6F9619FF-8B86-D011-B42D-00C04FC964FF",
                                             std::wstring(36, L'-'),
                                             L"6F9619FF8B86D011B42D00C04FC964FF0000",
                                             L"AB",
                                             L"0x41",
                                             std::wstring(L"a\0b", 3),
                                             std::wstring(L"\0", 1),
                                             L"\u0416\u0436",
                                             L"\u00e9",
                                             L"\u20ac",
                                             L"ab   ",
                                             L"ab",
                                             L"  ab",
                                             L"abcdefghijk",
                                             L"abcdefghij    ",
                                             std::wstring(2666, L'm'),
                                             std::wstring(2667, L'm'),
                                             std::wstring(2667, L'm') + L"\u0416",
                                             std::wstring(3000, L'm') + std::wstring(1, L'\0') +
                                                 std::wstring(3000, L'n'),
                                             std::wstring(4096, L'x'),
                                             std::wstring(4097, L'x'),
                                             std::wstring(8000, L'x'),
                                             std::wstring(8001, L'x'),
                                             std::wstring(2048, L'\u0416'),
                                             std::wstring(2049, L'\u0416'),
                                             std::wstring(4000, L'x'),
                                             std::wstring(4000, L'x') + L"  ",
                                             L"\U0001F600",
                                             L"a\U0001F600b",
                                             std::wstring(L"\0ab", 3),
                                             std::wstring(L"ab\0", 3),
                                             std::wstring(4096, L'\u0416'),
                                             std::wstring(4000, L'\u0416'),
                                             std::wstring(1365, L'\u20ac'),
                                             std::wstring(1366, L'\u20ac'),
                                             std::wstring(2000, L'\U0001F600'),
                                             std::wstring(2001, L'\U0001F600'),
                                             std::wstring(3999, L'x') + L"\U0001F600",
                                             L"-0",
                                             L"-0.0",
                                             L"2024-01-01 10:00:00 +05:30",
                                             L"2024-01-01T10:00:00.1234567-14:00",
                                             L"23:59:59.9999999",
                                             L"0.000000000000000000000000000000000000015",
                                             L"1E-310",
                                             L"a\\'b"};
    for (const std::wstring& t : texts) {
        add("BSTR " + shown(t), ole_variant(t));
    }
    for (std::size_t n : {0, 1, 10, 11, 4096, 4097, 8000, 8001}) {
        std::vector<uint8_t> bytes(n);
        for (std::size_t i = 0; i < n; ++i) {
            bytes[i] = static_cast<uint8_t>(i * 7 + 1);
        }
        add("BYTES " + std::to_string(n), ole_variant(bytes));
    }
    return out;
}

const std::vector<column_kind>& column_kinds() {
    static const std::vector<column_kind> kinds = {
        {"bit", VT_BOOL, 1, 0, L"bit"},
        {"tinyint", VT_UI1, 1, 0, L"tinyint"},
        {"smallint", VT_I2, 2, 0, L"smallint"},
        {"int", VT_I4, 4, 0, L"int"},
        {"bigint", VT_I8, 8, 0, L"bigint"},
        {"real", VT_R4, 4, 0, L"real"},
        {"float", VT_R8, 8, 0, L"float"},
        {"money", VT_CY, 8, 0, L"money"},
        {"smallmoney", VT_CY, 4, 0, L"smallmoney"},
        {"decimal(38,0)", VT_DECIMAL, 38, 0, L"decimal", 38, 0},
        {"decimal(1,0)", VT_DECIMAL, 1, 0, L"decimal", 1, 0},
        {"decimal(38,38)", VT_DECIMAL, 38, 0, L"decimal", 38, 38},
        {"decimal(20,19)", VT_DECIMAL, 20, 0, L"decimal", 20, 19},
        {"decimal(5,2)", VT_DECIMAL, 5, 0, L"decimal", 5, 2},
        {"decimal(38,10)", VT_DECIMAL, 38, 0, L"decimal", 38, 10},
        {"numeric(10,4)", VT_DECIMAL, 10, 0, L"numeric", 10, 4},
        {"date", VT_DATE, 3, 2, L"date"},
        {"time(7)", VT_DATE, 5, 3, L"time"},
        {"time(0)", VT_DATE, 3, 3, L"time"},
        {"time(3)", VT_DATE, 4, 3, L"time"},
        {"datetimeoffset(0)", VT_DATE, 8, 1, L"datetimeoffset"},
        {"datetime", VT_DATE, 8, 1, L"datetime"},
        {"smalldatetime", VT_DATE, 4, 1, L"smalldatetime"},
        {"datetime2(7)", VT_DATE, 8, 1, L"datetime2"},
        {"datetime2(3)", VT_DATE, 8, 1, L"datetime2"},
        {"datetime2(0)", VT_DATE, 8, 1, L"datetime2"},
        {"datetimeoffset(7)", VT_DATE, 10, 1, L"datetimeoffset"},
        {"char(2)", VT_BSTR, 2, 0, L"char"},
        {"char(10)", VT_BSTR, 10, 0, L"char"},
        {"varchar(10)", VT_BSTR, 10, 0, L"varchar"},
        {"varchar(3000)", VT_BSTR, 3000, 0, L"varchar"},
        {"varchar(8000)", VT_BSTR, 8000, 0, L"varchar"},
        {"varchar(10) COLLATE Cyrillic_General_CI_AS", VT_BSTR, 10, 0, L"varchar"},
        {"varchar(3000) COLLATE Cyrillic_General_CI_AS", VT_BSTR, 3000, 0, L"varchar"},
        {"varchar(8000) COLLATE Cyrillic_General_CI_AS", VT_BSTR, 8000, 0, L"varchar"},
        {"varchar(4096) COLLATE Greek_CI_AS", VT_BSTR, 4096, 0, L"varchar"},
        {"char(3000)", VT_BSTR, 3000, 0, L"char"},
        {"nchar(10)", VT_BSTR, 10, 0, L"nchar"},
        {"nvarchar(10)", VT_BSTR, 10, 0, L"nvarchar"},
        {"nvarchar(4000)", VT_BSTR, 4000, 0, L"nvarchar"},
        {"binary(10)", ole_variant::vt_byte_array, 10, 0, L"binary"},
        {"varbinary(10)", ole_variant::vt_byte_array, 10, 0, L"varbinary"},
        {"varbinary(8000)", ole_variant::vt_byte_array, 8000, 0, L"varbinary"},
        {"uniqueidentifier", VT_BSTR, 36, 0, L"uniqueidentifier"},
    };
    return kinds;
}

// The differences allowed between the paths, as "column type|value label": none. A value is
// stored alike or refused alike.
const std::set<std::string> allowed_differences;

class mss_bulk_differential_test : public mss_freetds_test {
protected:
    void TearDown() override {
        db.reset();
        mss_freetds_test::TearDown();
    }

    void SetUp() override {
        mss_freetds_test::SetUp();
        start({"all_types.tds"});
        model = tds_load_fixture(tds_fixture_dir() + "/all_types.tds");
        db = engine->open_db(wide(model.name), 1, L"");
    }

    void run(const std::string& sql) {
        odb_command command(db->session.get());
        command.execute(wide(sql));
    }

    static udb_schema schema_of(const column_kind& k) {
        udb_schema schema;
        schema.push_back(
            std::make_shared<t_ftd>(4, L"id", VT_I4, true, false, ole_variant(), 0, L"int"));
        auto c = std::make_shared<t_ftd>(k.size, L"c", k.vt, false, false, ole_variant(),
                                         k.reserved, k.native);
        c->prec = k.prec;
        c->scale = k.scale;
        schema.push_back(c);
        return schema;
    }

    // Writes `values` (indexes into `all`) into a new table of column `k`, by bulk load when
    // `fast`; every other record has its fields in the other order. Returns what each record
    // came to: refused (with the server's text, the table's name taken out) or not.
    std::map<int, std::string> write(const column_kind& k, const std::string& table,
                                     const std::vector<source_value>& all,
                                     const std::vector<std::size_t>& values, bool fast) {
        run("CREATE TABLE [dbo].[" + table + "] ([id] int NOT NULL, [c] " + k.sql + " NULL)");
        engine->enable_fast_load(engine->data_source(), fast);
        std::map<int, std::string> refused;
        const udb_schema schema = schema_of(k);
        mss_table t(L"[dbo].[" + wide(table) + L"]", db->session.get(), schema, db.get());
        int id = 0;
        for (std::size_t v : values) {
            ++id;
            udb_record r;
            auto id_field = std::make_unique<udb_field>(
                L"id", 4, ole_variant::from_wstring(std::to_wstring(id), VT_I4), false, false);
            auto c_field = std::make_unique<udb_field>(L"c", k.size, all[v].value, false, false);
            if (id % 2 == 0) {
                r.push_back(std::move(c_field));
                r.push_back(std::move(id_field));
            } else {
                r.push_back(std::move(id_field));
                r.push_back(std::move(c_field));
            }
            try {
                t.append_record(r);
            } catch (const tk_exception& e) {
                std::string why = e.message;
                for (std::size_t at; (at = why.find(table)) != std::string::npos;) {
                    why.replace(at, table.size(), "T");
                }
                refused[id] = why;
            }
        }
        EXPECT_FALSE(t.b_fl_failed);
        return refused;
    }

    // The rows of `table` as id -> value text.
    std::map<int, std::string> stored(const std::string& table) {
        auto fresh = engine->open_db(wide(model.name), 1, L"");
        auto rs = fresh->get_table(L"dbo." + wide(table), 1);
        std::map<int, std::string> out;
        for (rs->reset(); !rs->is_eof(); rs->next()) {
            const udb_record& r = *rs->get_item();
            const udb_field& f = *r[1];
            const std::string value =
                f.get_type() == VT_EMPTY || f.get_type() == VT_NULL
                    ? "NULL"
                    : f.to_string() + " (vt " + std::to_string(f.get_type()) + ")";
            out[std::stoi(r[0]->to_string())] = value;
        }
        return out;
    }

    std::size_t count_statements(const std::string& prefix) const {
        std::size_t n = 0;
        for (const std::string& s : server->statements()) {
            n += s.rfind(prefix, 0) == 0;
        }
        return n;
    }

    // Both paths over `values`; every difference not allowed is a failure. Returns the number
    // of records the bulk load stored itself.
    std::size_t compare_paths(const column_kind& k, const std::string& name,
                              const std::vector<source_value>& all,
                              const std::vector<std::size_t>& values) {
        const auto refused_rows = write(k, name + "_s", all, values, false);
        const auto refused_bulk = write(k, name + "_b", all, values, true);
        EXPECT_EQ(handler.errors, std::vector<std::string>{});
        handler.errors.clear();
        const auto rows = stored(name + "_s");
        const auto bulk = stored(name + "_b");
        for (std::size_t i = 0; i < values.size(); ++i) {
            const int id = static_cast<int>(i + 1);
            const std::string& label = all[values[i]].label;
            auto seen = [id](const std::map<int, std::string>& stored,
                             const std::map<int, std::string>& refused) {
                const auto s = stored.find(id);
                const auto r = refused.find(id);
                return (s != stored.end() ? "stored " + s->second : std::string("not stored")) +
                       (r != refused.end() ? "; refused: " + r->second : std::string());
            };
            const std::string by_statement = seen(rows, refused_rows);
            const std::string by_bulk = seen(bulk, refused_bulk);
            if (by_statement != by_bulk && allowed_differences.count(k.sql + "|" + label) == 0) {
                ADD_FAILURE() << k.sql << " <- " << label << "\n  statement: " << by_statement
                              << "\n  bulk load: " << by_bulk;
            }
        }
        const std::size_t statements = count_statements("INSERT INTO [dbo].[" + name + "_b]");
        return values.size() - std::min(values.size(), statements);
    }

    tds_fixture_database model;
    std::unique_ptr<mss_database> db;
    keeping_handler handler;
};

TEST_F(mss_bulk_differential_test, every_value_into_every_column_type_is_stored_alike) {
    const std::vector<source_value> all = generated_values();
    std::vector<std::size_t> every(all.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        every[i] = i;
    }
    int n = 0;
    for (const column_kind& k : column_kinds()) {
        SCOPED_TRACE(k.sql);
        const std::size_t by_bulk = compare_paths(k, "v" + std::to_string(++n), all, every);
        // The comparison means something only where the bulk load stores rows itself.
        EXPECT_GT(by_bulk, 0u) << k.sql;
    }
}

// A refused row first, last and every other among good ones: the bulk load loses none of the
// rows around it and stores them as the statements do.
TEST_F(mss_bulk_differential_test, refused_rows_first_last_and_every_other) {
    std::vector<source_value> all = generated_values();
    struct pair_case {
        const char* column;
        std::wstring good;
        std::wstring bad;
    };
    const std::vector<pair_case> cases = {
        {"smallmoney", L"CY 1.5", L"CY 214748.3648"},
        {"int", L"I8 5", L"I8 2147483648"},
        {"datetime", L"DATE 2024-01-01 10:00:00", L"DATE 9999-12-31 23:59:59.999"},
        {"smalldatetime", L"DATE 2024-01-01 10:00:00", L"DATE 2079-06-06 23:59:30"},
        {"bit", L"BOOL true", L"BSTR 'yes'"},
        {"decimal(38,0)", L"I8 5", L"DECIMAL 340282366920938463463374607431768211461"},
        {"varchar(3000)", L"BSTR 'ab'", L"BSTR '\u0416\u0436'"},
        {"char(2)", L"BSTR 'ab'", L"BSTR 'abcdefghijk'"},
        {"uniqueidentifier", L"BSTR '6F9619FF-8B8...(36)'", L"BSTR 'AB'"},
        {"varbinary(10)", L"BYTES 10", L"BYTES 11"},
    };
    auto index_of = [&](const std::wstring& label) {
        for (std::size_t i = 0; i < all.size(); ++i) {
            if (all[i].label == tk_to_utf8(label)) {
                return i;
            }
        }
        ADD_FAILURE() << "no value " << tk_to_utf8(label);
        return std::size_t{0};
    };
    int n = 0;
    for (const pair_case& c : cases) {
        const column_kind* k = nullptr;
        for (const column_kind& kind : column_kinds()) {
            k = kind.sql == c.column ? &kind : k;
        }
        ASSERT_NE(k, nullptr) << c.column;
        const std::size_t good = index_of(c.good);
        const std::size_t bad = index_of(c.bad);
        for (const std::vector<std::size_t>& order :
             {std::vector<std::size_t>{bad, good, good, good, good},
              std::vector<std::size_t>{good, good, good, good, bad},
              std::vector<std::size_t>{bad, good, bad, good, bad, good, bad}}) {
            SCOPED_TRACE(std::string(c.column) + " pattern " + std::to_string(n));
            compare_paths(*k, "p" + std::to_string(++n), all, order);
        }
    }
}

} // namespace

namespace {

// A long text column (2,667 characters and more: a storage object in the bulk row) beside a
// value that sends the row by statement: the row's stream is released whether the row goes by
// statement before it reached the rowset or is sent (LeakSanitizer tells).
TEST_F(mss_bulk_differential_test, long_text_rows_release_their_streams_on_every_path) {
    run("CREATE TABLE [dbo].[streams] ([v] varchar(3000) NULL, [n] int NOT NULL)");
    udb_schema schema;
    schema.push_back(
        std::make_shared<t_ftd>(3000, L"v", VT_BSTR, false, false, ole_variant(), 0, L"varchar"));
    schema.push_back(
        std::make_shared<t_ftd>(4, L"n", VT_I4, true, false, ole_variant(), 0, L"int"));
    engine->enable_fast_load(engine->data_source(), true);
    {
        mss_table t(L"[dbo].[streams]", db->session.get(), schema, db.get());
        for (int i = 0; i < 4; ++i) {
            udb_record r;
            r.push_back(std::make_unique<udb_field>(
                L"v", 3000, ole_variant(std::wstring(2700, L'a')), false, false));
            r.push_back(std::make_unique<udb_field>(
                L"n", 4,
                i % 2 == 0 ? ole_variant::from_wstring(std::to_wstring(i), VT_I4) : ole_variant(),
                false, false));
            try {
                t.append_record(r);
            } catch (const odb_exception&) {
                // NULL into the NOT NULL column: the server's refusal, by statement.
            }
        }
        EXPECT_FALSE(t.b_fl_failed);
    }
    EXPECT_EQ(count_statements("INSERT INTO [dbo].[streams]"), 2u);
    EXPECT_EQ(handler.errors, std::vector<std::string>{});
}

} // namespace
