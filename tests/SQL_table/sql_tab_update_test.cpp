// Update and delete by record and by key text.
#include "table_fixture.h"

#include "SQL/sql_engi.h"

#include <chrono>

using namespace table_test;

namespace {

// A text field with its stored size (a stored size of 0 marks a large object).
std::unique_ptr<udb_field> text_field(const std::wstring& name, const std::wstring& text) {
    return field(name, text_value(text), static_cast<std::uint32_t>(text.size()));
}

class sql_table_update : public server_test {
protected:
    void SetUp() override {
        server_test::SetUp();
        engine_->fast_insert = false;
        exec(mysql(), "CREATE TABLE t (k1 INT NOT NULL, k2 VARCHAR(10), s VARCHAR(20),"
                      " n INT, UNIQUE KEY uk (k1, k2))");
        exec(mysql(), "INSERT INTO t VALUES (1,'a','one',10),(1,NULL,'null key',20),"
                      "(2,'b','two',30)");
    }
    std::string row(const std::string& where) {
        const auto rows = rows_of(mysql(), "SELECT s, n FROM t WHERE " + where);
        return rows.size() == 1 ? rows[0][0] + "|" + rows[0][1]
                                : "<" + std::to_string(rows.size()) + " rows>";
    }
};

TEST_F(sql_table_update, update_by_record) {
    auto db = open_db();
    auto t = table(*db, L"t");
    {
        // A NULL key value finds its row.
        udb_record r;
        r.push_back(text_field(L"s", L"changed"));
        r.push_back(field(L"k2", ole_variant()));
        r.push_back(field(L"k1", int_value(1), 4));
        r.push_back(field(L"n", int_value(21), 4));
        t->update1(r);
        EXPECT_EQ(row("k1=1 AND k2 IS NULL"), "changed|21");
        EXPECT_EQ(row("k1=1 AND k2='a'"), "one|10");
        // The same values again: matched though unchanged, no error.
        EXPECT_NO_THROW(t->update1(r));
    }
    {
        // Only key columns: nothing to set, but the row must exist.
        udb_record r;
        r.push_back(field(L"k1", int_value(2), 4));
        r.push_back(text_field(L"k2", L"b"));
        EXPECT_NO_THROW(t->update1(r));
    }
    {
        // A row that is not there is an error, not a silent loss.
        udb_record r;
        r.push_back(field(L"k1", int_value(7), 4));
        r.push_back(text_field(L"k2", L"zz"));
        r.push_back(text_field(L"s", L"x"));
        try {
            t->update1(r);
            ADD_FAILURE() << "update of a missing row accepted";
        } catch (const tk_exception& e) {
            EXPECT_EQ(e.level, 0);
        }
    }
    {
        // A failing statement reaches the caller with the server's error.
        udb_record r;
        r.push_back(field(L"k1", int_value(1), 4));
        r.push_back(text_field(L"k2", L"a"));
        r.push_back(text_field(L"s", std::wstring(30, L'x')));
        EXPECT_THROW(t->update1(r), sql_exception);
    }
    {
        // A key column spelled in another case is not a key column: no key, an error.
        udb_record r;
        r.push_back(field(L"K1", int_value(1), 4));
        r.push_back(text_field(L"s", L"x"));
        EXPECT_THROW(t->update1(r), tk_exception);
        EXPECT_EQ(row("k1=1 AND k2='a'"), "one|10");
    }
    {
        // A large object of stored size 0 is left out of the SET list.
        exec(mysql(), "ALTER TABLE t ADD COLUMN big TEXT");
        auto t2 = table(*db, L"t");
        udb_record r;
        r.push_back(field(L"k1", int_value(2), 4));
        r.push_back(text_field(L"k2", L"b"));
        r.push_back(field(L"big", text_value(L"lob"), 0)); // stored size 0
        r.push_back(text_field(L"s", L"two'"));
        t2->update1(r);
        EXPECT_EQ(value_of(mysql(), "SELECT CONCAT(s, '|', IFNULL(big,'NULL')) FROM t WHERE k1=2"),
                  "two'|NULL");
    }
    exec(mysql(), "CREATE TABLE nokey (a INT)");
    auto db2 = open_db();
    auto nokey = table(*db2, L"nokey");
    udb_record r;
    r.push_back(field(L"a", int_value(1), 4));
    EXPECT_THROW(nokey->update1(r), tk_exception);
}

TEST_F(sql_table_update, update_and_delete_by_key_text) {
    auto db = open_db();
    auto t = table(*db, L"t");
    udb_record r;
    r.push_back(text_field(L"s", L"by key"));
    t->update2(r, L"<k1>1</k1><k2>a</k2>");
    EXPECT_EQ(row("k1=1 AND k2='a'"), "by key|10");
    EXPECT_THROW(t->update2(r, L"<k1>9</k1><k2>a</k2>"), tk_exception);
    EXPECT_THROW(t->update2(r, L""), tk_exception);

    // Entities, quotes and backslashes in a text value.
    exec(mysql(), "INSERT INTO t VALUES (3, 'a<&>''\\\\', 'odd', 0)");
    t->update2(r, L"<k1>3</k1><k2>a&lt;&amp;&gt;'\\</k2>");
    EXPECT_EQ(row("k1=3"), "by key|0");

    t->delete_key(L"<k1>3</k1><k2>a&lt;&amp;&gt;'\\</k2>");
    EXPECT_EQ(row("k1=3"), "<0 rows>");
    t->delete_key(L""); // nothing sent
    EXPECT_EQ(value_of(mysql(), "SELECT COUNT(*) FROM t"), "3");

    // Delete by record: every field the table has, NULL included.
    udb_record d;
    d.push_back(field(L"k1", int_value(1), 4));
    d.push_back(field(L"k2", ole_variant()));
    d.push_back(field(L"other", int_value(5), 4));
    t->delete_key(d);
    EXPECT_EQ(row("k1=1 AND k2 IS NULL"), "<0 rows>");
    EXPECT_EQ(value_of(mysql(), "SELECT COUNT(*) FROM t"), "2");
}

TEST_F(sql_table_update, filter_text_of_a_key) {
    auto db = open_db();
    sql_sync sync(db.get());
    struct filter_case {
        const wchar_t* key;
        const wchar_t* condition;
    };
    const filter_case cases[] = {
        {L"<k1>7</k1><k2>a&amp;b</k2>", L"`k1`<=>7 and `k2`<=>'a&b' "},
        {L"<k1>1 OR 1=1</k1>", L"`k1`<=>'1 OR 1=1' "},
        {L"<missing>5</missing>", L"`missing`<=>'5' "},
        {L"<k2>it's</k2>", L"`k2`<=>'it\\'s' "},
    };
    for (const filter_case& c : cases) {
        SCOPED_TRACE(tk_to_utf8(c.key));
        EXPECT_EQ(sync.get_filter_subquery(L"t", c.key), c.condition);
    }
}

TEST_F(sql_table_update, synchronize_by_key_on_a_large_table_stays_cheap) {
    exec(mysql(), "CREATE TABLE big (id INT PRIMARY KEY, s VARCHAR(20))");
    exec(mysql(), "INSERT INTO big SELECT seq, 'x' FROM seq_1_to_20000");
    auto db = open_db(0x1A0);
    auto t = table(*db, L"big");
    const auto rows_read = [&] {
        return std::stoll(value_of(mysql(), "SELECT SUM(VARIABLE_VALUE) FROM "
                                            "information_schema.SESSION_STATUS WHERE VARIABLE_NAME "
                                            "IN ('HANDLER_READ_RND_NEXT','HANDLER_READ_NEXT')"));
    };
    const long long before = rows_read();
    udb_record r;
    r.push_back(text_field(L"s", L"y"));
    for (int id = 1; id <= 2000; ++id) {
        t->update2(r, L"<id>" + std::to_wstring(id * 10) + L"</id>");
    }
    const long long read = rows_read() - before;
    // Each update reads its own row, never the table.
    EXPECT_LT(read, 20000);
    EXPECT_EQ(value_of(mysql(), "SELECT COUNT(*) FROM big WHERE s='y'"), "2000");
}

} // namespace
