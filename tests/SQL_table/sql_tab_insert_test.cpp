// Row insertion: one statement per row, long values as prepared-statement data, the multi-row
// path, REPLACE.
#include "table_fixture.h"

#include "SQL/sql_engi.h"
#include "platform/win32/codepage.h"

using namespace table_test;

namespace {

class sql_table_insert : public server_test {
protected:
    void SetUp() override {
        server_test::SetUp();
        engine_->fast_insert = false;
    }
};

std::vector<uint8_t> pattern(std::size_t n, unsigned seed) {
    std::vector<uint8_t> bytes(n);
    unsigned x = seed;
    for (auto& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return bytes;
}

std::string as_string(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

TEST_F(sql_table_insert, one_row_statements_by_record_and_by_schema) {
    exec(mysql(), "CREATE TABLE t (id INT PRIMARY KEY, name VARCHAR(100), note TEXT,"
                  " data BLOB)");
    auto db = open_db();
    auto t = table(*db, L"t");
    const std::wstring awkward = L"O'Brien \\ \"q\" \U0001F600 Ä";
    {
        // More fields than columns: every column in table order, the extra field unwritten.
        udb_record r;
        r.push_back(field(L"data", bytes_value({0, 1, 0xFF})));
        r.push_back(field(L"zzz", int_value(9), 4));
        r.push_back(field(L"name", text_value(awkward)));
        r.push_back(field(L"note", ole_variant()));
        r.push_back(field(L"ID", int_value(1), 4));
        t->append_record(r);
    }
    {
        // Fewer fields than columns: the record's own fields, the rest take defaults.
        udb_record r;
        r.push_back(field(L"name", text_value(L"two")));
        r.push_back(field(L"id", int_value(2), 4));
        t->append_record(r);
    }
    EXPECT_EQ(t->rec_count, 2u);
    const auto rows = rows_of(mysql(), "SELECT id, name, note, HEX(data) FROM t ORDER BY id");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"1", tk_to_utf8(awkward), "NULL", "0001FF"}));
    EXPECT_EQ(rows[1], (std::vector<std::string>{"2", "two", "NULL", "NULL"}));

    // A field without a column (fewer fields) and a column without a field (as many fields):
    // the structure error, nothing written, the count unchanged.
    {
        udb_record r;
        r.push_back(field(L"id", int_value(3), 4));
        r.push_back(field(L"nope", text_value(L"x")));
        EXPECT_THROW(t->append_record(r), tk_exception);
    }
    {
        udb_record r;
        r.push_back(field(L"id", int_value(4), 4));
        r.push_back(field(L"name", text_value(L"x")));
        r.push_back(field(L"note", text_value(L"x")));
        r.push_back(field(L"other", text_value(L"x")));
        try {
            t->append_record(r);
            ADD_FAILURE() << "no structure error";
        } catch (const tk_exception& e) {
            EXPECT_EQ(e.level, 0);
            EXPECT_NE(std::string(e.what()).find("does not conform"), std::string::npos);
        }
    }
    EXPECT_EQ(t->rec_count, 2u);
    EXPECT_EQ(value_of(mysql(), "SELECT COUNT(*) FROM t"), "2");

    // A duplicate key is the row's MySQL error (merge mode skips it by this code).
    udb_record dup;
    dup.push_back(field(L"id", int_value(1), 4));
    try {
        t->append_record(dup);
        ADD_FAILURE() << "duplicate accepted";
    } catch (const sql_exception& e) {
        EXPECT_EQ(e.code, 0x400426);
    }
}

TEST_F(sql_table_insert, long_values_as_prepared_statement_data) {
    exec(mysql(), "CREATE TABLE big (id INT PRIMARY KEY, b LONGBLOB, t LONGTEXT, b2 LONGBLOB,"
                  " small VARCHAR(10))");
    auto db = open_db();
    auto t = table(*db, L"big");

    // Text of one-, two-, three- and four-byte characters, longer than the long-value limit
    // in UTF-16 units, whose UTF-8 form is cut between characters by the pieces.
    std::wstring text;
    const std::wstring unit = L"a\u0436\u4e2d\U0001F600"; // 1+2+3+4 bytes, 5 UTF-16 units
    while (text.size() < (0x100000 / 5 + 1000) * unit.size()) {
        text += unit;
    }
    ASSERT_GT(tk_to_utf16(text).size(), 0x100000u);
    const std::vector<uint8_t> b = pattern(0x100001, 1);
    const std::vector<uint8_t> b2 = pattern(20 * 1024 * 1024 + 7, 2);

    // Under a single-byte ANSI code page the text still travels as UTF-8.
    ASSERT_TRUE(win32::set_ansi_code_page(1252));
    {
        // The record lists the long values in another order than the table.
        udb_record r;
        r.push_back(field(L"b2", bytes_value(b2)));
        r.push_back(field(L"small", text_value(L"s")));
        r.push_back(field(L"t", text_value(text)));
        r.push_back(field(L"id", int_value(1), 4));
        r.push_back(field(L"b", bytes_value(b)));
        t->append_record(r);
    }
    win32::set_ansi_code_page(0);
    {
        // A value of exactly the limit stays in the statement text of a big row.
        udb_record r;
        r.push_back(field(L"id", int_value(2), 4));
        r.push_back(field(L"b", bytes_value(pattern(0x100000, 3))));
        t->append_record(r);
    }
    {
        // A missing value is never bound, whatever size its reader stated.
        udb_record r;
        r.push_back(field(L"id", int_value(4), 4));
        r.push_back(field(L"t", ole_variant(), 0x200000));
        r.push_back(field(L"b", bytes_value(pattern(0x100001, 4))));
        t->append_record(r);
        EXPECT_EQ(
            value_of(mysql(), "SELECT CONCAT(IFNULL(t, 'NULL'), LENGTH(b)) FROM big WHERE id=4"),
            "NULL1048577");
    }
    const auto rows =
        rows_of(mysql(), "SELECT id, b, t, b2, small FROM big WHERE id < 3 ORDER BY id");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_TRUE(rows[0][1] == as_string(b));
    EXPECT_TRUE(rows[0][2] == tk_to_utf8(text));
    EXPECT_TRUE(rows[0][3] == as_string(b2));
    EXPECT_EQ(rows[0][4], "s");
    EXPECT_TRUE(rows[1][1] == as_string(pattern(0x100000, 3)));

    // A long row that the server refuses is that row's MySQL error; the table goes on.
    {
        udb_record r;
        r.push_back(field(L"id", int_value(1), 4));
        r.push_back(field(L"b", bytes_value(b)));
        try {
            t->append_record(r);
            ADD_FAILURE() << "duplicate accepted";
        } catch (const sql_exception& e) {
            EXPECT_EQ(e.code, 0x400426);
            EXPECT_EQ(e.level, 0);
        }
    }
    udb_record next;
    next.push_back(field(L"id", int_value(3), 4));
    next.push_back(field(L"b", bytes_value(b)));
    t->append_record(next);
    EXPECT_EQ(value_of(mysql(), "SELECT LENGTH(b) FROM big WHERE id=3"), "1048577");
}

TEST_F(sql_table_insert, row_larger_than_the_session_packet_limit_is_refused) {
    exec(mysql(), "CREATE TABLE t (id INT PRIMARY KEY, b LONGBLOB, s TEXT)");
    auto db = open_db();
    auto t = table(*db, L"t");
    const uint32_t saved = engine_->max_allowed_packet;
    for (const bool big : {true, false}) {
        SCOPED_TRACE(big ? "big row" : "plain row");
        engine_->max_allowed_packet = big ? 3 * 1024 * 1024 : 200;
        udb_record r;
        r.push_back(field(L"id", int_value(1), 4));
        if (big) {
            r.push_back(field(L"b", bytes_value(pattern(4 * 1024 * 1024, 5))));
        } else {
            r.push_back(field(L"s", text_value(std::wstring(300, L'x'))));
        }
        try {
            t->append_record(r);
            ADD_FAILURE() << "row accepted";
        } catch (const tk_exception& e) {
            EXPECT_STREQ(e.what(), "Row size exceeds 'max_allowed_packet'");
            EXPECT_EQ(e.level, 0);
        }
    }
    engine_->max_allowed_packet = saved;
    EXPECT_EQ(value_of(mysql(), "SELECT COUNT(*) FROM t"), "0");
    EXPECT_EQ(t->rec_count, 0u);
}

TEST_F(sql_table_insert, multi_row_path_while_fast_insert_is_on) {
    exec(mysql(), "CREATE TABLE t (id INT PRIMARY KEY, s VARCHAR(20), b LONGBLOB)");
    auto db = open_db();
    engine_->fast_insert = true;
    {
        auto t = table(*db, L"t");
        for (int i = 1; i <= 3; ++i) {
            udb_record r;
            r.push_back(field(L"id", int_value(i), 4));
            r.push_back(field(L"s", text_value(L"r" + std::to_wstring(i))));
            t->append_record(r);
        }
        // Gathered, not yet sent; a duplicate is ignored when it is.
        EXPECT_EQ(value_of(mysql(), "SELECT COUNT(*) FROM t"), "0");
        EXPECT_EQ(t->pending_query.rfind("INSERT IGNORE INTO `t`(`id`, `s`) VALUES(", 0), 0u);
        udb_record dup;
        dup.push_back(field(L"id", int_value(1), 4));
        dup.push_back(field(L"s", text_value(L"dup")));
        t->append_record(dup);

        // Another layout sends the pending rows and begins a new statement.
        udb_record other;
        other.push_back(field(L"id", int_value(10), 4));
        t->append_record(other);
        EXPECT_EQ(value_of(mysql(), "SELECT COUNT(*) FROM t"), "3");
        EXPECT_EQ(t->pending_query, "INSERT IGNORE INTO `t`(`id`)VALUES(10)");
        EXPECT_EQ(t->cached_rec_size, 1u);

        // Rows past the batch limit go out in statements of their own.
        for (int i = 100; i < 400; ++i) {
            udb_record r;
            r.push_back(field(L"id", int_value(i), 4));
            r.push_back(field(L"s", text_value(L"x")));
            r.push_back(field(L"b", text_value(std::wstring(8000, L'z'))));
            t->append_record(r);
        }
        EXPECT_GT(std::stoi(value_of(mysql(), "SELECT COUNT(*) FROM t")), 4);
        EXPECT_LE(t->pending_query.size(), 1000000u);
        EXPECT_TRUE(engine_->fast_insert);

        // An oversized row turns the switch off, sends what is pending and goes alone.
        udb_record huge;
        huge.push_back(field(L"id", int_value(1000), 4));
        huge.push_back(field(L"b", bytes_value(pattern(0x100001, 9))));
        t->append_record(huge);
        EXPECT_FALSE(engine_->fast_insert);
        EXPECT_TRUE(t->pending_query.empty());
        EXPECT_EQ(value_of(mysql(), "SELECT COUNT(*) FROM t"), "305");

        engine_->fast_insert = true;
        udb_record last;
        last.push_back(field(L"id", int_value(2000), 4));
        t->append_record(last);
        EXPECT_EQ(value_of(mysql(), "SELECT COUNT(*) FROM t"), "305");
    }
    // Destroying the table sends the rest.
    EXPECT_EQ(value_of(mysql(), "SELECT COUNT(*) FROM t"), "306");
    EXPECT_EQ(value_of(mysql(), "SELECT s FROM t WHERE id=1"), "r1");
    EXPECT_EQ(value_of(mysql(), "SELECT LENGTH(b) FROM t WHERE id=1000"), "1048577");
}

TEST_F(sql_table_insert, multi_row_path_keeps_columns_when_field_order_changes) {
    // Fewer fields than columns: the statement lists the record's own fields in record order,
    // so a record of the same field count in another order must not join the pending rows.
    exec(mysql(), "CREATE TABLE t (id INT PRIMARY KEY, s VARCHAR(20), n INT)");
    auto db = open_db();
    engine_->fast_insert = true;
    {
        auto t = table(*db, L"t");
        udb_record first;
        first.push_back(field(L"id", int_value(1), 4));
        first.push_back(field(L"s", text_value(L"one")));
        t->append_record(first);
        udb_record swapped;
        swapped.push_back(field(L"s", text_value(L"two")));
        swapped.push_back(field(L"id", int_value(2), 4));
        t->append_record(swapped);
        udb_record again;
        again.push_back(field(L"s", text_value(L"three")));
        again.push_back(field(L"id", int_value(3), 4));
        t->append_record(again);
        EXPECT_EQ(t->pending_query, "INSERT IGNORE INTO `t`(`s`, `id`)VALUES('two', 2), "
                                    "('three', 3)");
    }
    EXPECT_EQ(rows_of(mysql(), "SELECT id, s FROM t ORDER BY id"),
              (std::vector<std::vector<std::string>>{{"1", "one"}, {"2", "two"}, {"3", "three"}}));
}

TEST_F(sql_table_insert, synchronize_mode_replaces_on_both_paths) {
    exec(mysql(), "CREATE TABLE t (id INT PRIMARY KEY, s VARCHAR(20))");
    auto db = open_db(0x1A0);
    for (const bool fast : {false, true}) {
        SCOPED_TRACE(fast ? "multi-row" : "one row");
        engine_->fast_insert = fast;
        {
            auto t = table(*db, L"t");
            for (const wchar_t* s : {L"first", L"second"}) {
                udb_record r;
                r.push_back(field(L"id", int_value(fast ? 2 : 1), 4));
                r.push_back(field(L"s", text_value(s)));
                t->append_record(r);
            }
            if (fast) {
                EXPECT_EQ(t->pending_query.rfind("REPLACE INTO `t`(", 0), 0u);
            }
        }
        EXPECT_EQ(value_of(mysql(), "SELECT s FROM t WHERE id=" + std::string(fast ? "2" : "1")),
                  "second");
    }
    EXPECT_EQ(value_of(mysql(), "SELECT COUNT(*) FROM t"), "2");
}

} // namespace
