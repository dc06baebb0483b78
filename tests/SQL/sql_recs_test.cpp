// Readers of MySQL data on the test server: windows of rows, query results, BLOB-as-text, and
// opening a large table without reading it.
#include "SQL/sql_recs.h"

#include "SQL/sql_db.h"
#include "SQL/sql_engi.h"
#include "SQL/sql_limq.h"
#include "SQL/sql_rec.h"
#include "tests/SQL/sql_test_fixture.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using sql_test::fetch_value;

class SqlRecordsets : public sql_test::server_test {
protected:
    // A database with table `name` of `rows` rows: id 1..rows and a label.
    std::unique_ptr<sql_database> database_with_rows(const std::wstring& name, int rows) {
        auto db = create_db();
        const std::string table = tk_to_utf8(name);
        db->query_append("CREATE TABLE `" + table +
                         "` (id INT AUTO_INCREMENT PRIMARY KEY, label VARCHAR(20))");
        db->query_append("INSERT INTO `" + table +
                         "` SELECT seq, CONCAT('row ', seq) FROM seq_1_to_" + std::to_string(rows));
        return open_db();
    }

    std::uint64_t rows_sent() {
        return std::stoull(fetch_value(mysql(), "SHOW SESSION STATUS LIKE 'Rows_sent'", 1));
    }
};

TEST_F(SqlRecordsets, TableIsReadInWindowsOf256) {
    auto db = database_with_rows(L"t", 600);
    // The reader itself (the database hands out the writable table built on it).
    auto table = std::make_unique<sql_recordset>(db.get(), L"t", &db->relationships);
    sql_recordset* rs = table.get();
    EXPECT_EQ(rs->rec_count, 600u);
    EXPECT_EQ(rs->schema.seed, 600);
    EXPECT_FALSE(rs->is_query());
    EXPECT_THROW(rs->next(), tk_mail_assertion); // no reset yet
    EXPECT_THROW(rs->append_record(udb_record()), tk_mail_assertion);

    rs->reset();
    int expected = 1;
    std::vector<std::uint32_t> windows;
    for (; !rs->is_eof(); rs->next()) {
        if (rs->win_idx == 0) {
            windows.push_back(0);
        }
        ++windows.back();
        udb_record* record = rs->get_item();
        ASSERT_NE(record, nullptr);
        ASSERT_EQ((*record)[0]->to_long(), expected);
        EXPECT_EQ((*record)[1]->to_wstring(), L"row " + std::to_wstring(expected));
        EXPECT_EQ(rs->pos + 1, static_cast<std::uint32_t>(expected));
        ++expected;
    }
    EXPECT_EQ(expected, 601);
    EXPECT_EQ(windows, (std::vector<std::uint32_t>{256, 256, 88}));
    EXPECT_EQ(rs->prev_position(), 599u);

    // A second reading starts over.
    rs->reset();
    ASSERT_FALSE(rs->is_eof());
    EXPECT_EQ((*rs->get_item())[0]->to_long(), 1);
}

TEST_F(SqlRecordsets, OpeningALargeTableDoesNotReadIt) {
    auto db = database_with_rows(L"big", 50000);
    const std::uint64_t before = rows_sent();
    {
        auto table = db->get_table(L"big", 8);
        EXPECT_EQ(table->rec_count, 50000u);
        EXPECT_EQ(table->schema.size(), 2u);
    }
    // The count, the first window and the auto-increment maximum: a few hundred rows at most.
    EXPECT_LT(rows_sent() - before, 1000u);

    // A full reading streams every row and holds at most one window.
    auto table = db->get_table(L"big", 8);
    std::uint64_t n = 0;
    for (table->reset(); !table->is_eof(); table->next()) {
        ++n;
    }
    EXPECT_EQ(n, 50000u);
}

TEST_F(SqlRecordsets, EmptyTableAndQueries) {
    auto db = database_with_rows(L"t", 20);
    db->query_append("CREATE TABLE empty_t (id INT AUTO_INCREMENT PRIMARY KEY)");
    auto reopened = open_db();
    auto empty = reopened->get_table(L"empty_t", 8);
    EXPECT_EQ(empty->rec_count, 0u);
    EXPECT_EQ(empty->schema.seed, 0);
    empty->reset();
    EXPECT_TRUE(empty->is_eof());
    empty.reset();

    auto query = reopened->get_query(L"q", L"SELECT id, label FROM t WHERE id < 10");
    EXPECT_TRUE(query->is_query());
    EXPECT_EQ(query->rec_count, 9u);
    int n = 0;
    for (query->reset(); !query->is_eof(); query->next()) {
        ++n;
    }
    EXPECT_EQ(n, 9);
}

TEST_F(SqlRecordsets, BlobAsTextBothWays) {
    auto db = create_db();
    db->query_append("CREATE TABLE t (b BLOB, x TEXT, v VARBINARY(10))");
    db->query_append("INSERT INTO t VALUES (0x41004243, 'text \\'q\\'', 0x6869)");
    auto reopened = open_db();
    {
        auto table = reopened->get_table(L"t", 8);
        EXPECT_EQ(table->schema.get_field_type(L"b"), ole_variant::vt_byte_array);
        EXPECT_EQ(table->schema.get_field_type(L"x"), VT_BSTR);
        table->reset();
        udb_record& record = *table->get_item();
        EXPECT_EQ(record[0]->get_type(), ole_variant::vt_byte_array);
        EXPECT_EQ(record[0]->get_size(), 4u);
        EXPECT_EQ(record[1]->to_wstring(), L"text 'q'");
    }
    engine_->set_blob_to_text(true);
    {
        auto table = reopened->get_table(L"t", 8);
        EXPECT_EQ(table->schema.get_field_type(L"b"), VT_BSTR);
        table->reset();
        udb_record& record = *table->get_item();
        EXPECT_EQ(record[0]->get_type(), VT_BSTR);
        EXPECT_EQ(record[0]->to_wstring(), std::wstring(L"A\0BC", 4));
    }
    {
        // Rows of a statement's result follow the switch too.
        auto reader = reopened->query(L"SELECT b, v FROM t");
        udb_record& record = *reader->get_item();
        EXPECT_EQ(record[0]->get_type(), VT_BSTR);
        EXPECT_EQ(record[1]->get_type(), VT_BSTR);
    }
    engine_->set_blob_to_text(false);
    auto reader = reopened->query(L"SELECT b, v FROM t");
    udb_record& record = *reader->get_item();
    EXPECT_EQ(record[0]->get_type(), ole_variant::vt_byte_array);
    EXPECT_EQ(record[1]->get_type(), ole_variant::vt_byte_array);
}

TEST_F(SqlRecordsets, GeometryIsReadAsText) {
    auto db = create_db();
    db->query_append("CREATE TABLE shapes (id INT, shape GEOMETRY)");
    db->query_append("INSERT INTO shapes VALUES (1, ST_GeomFromText('POINT(1 2)')), (2, NULL)");
    auto reopened = open_db();
    auto table = reopened->get_table(L"shapes", 8);
    EXPECT_TRUE(table->is_query());
    EXPECT_EQ(table->query, L"SELECT `id`,ST_AsText(`shape`) as `shape` FROM `shapes`");
    EXPECT_EQ(table->schema.get_field2(L"shape").dw_reserved, 2);
    table->reset();
    EXPECT_EQ((*table->get_item())[1]->to_wstring(), L"POINT(1 2)");
    table->next();
    EXPECT_EQ((*table->get_item())[1]->get_type(), VT_EMPTY);
}

TEST_F(SqlRecordsets, StatementResultsComeInBatchesOf1000) {
    auto db = database_with_rows(L"t", 2500);
    auto reader = db->query_rows(L"SELECT id FROM t ORDER BY id");
    ASSERT_TRUE(reader);
    std::vector<std::size_t> batches = {reader->records.size()};
    int n = 0;
    for (reader->reset(); !reader->is_eof(); reader->next()) {
        if (reader->pos == 0 && n > 0) {
            batches.push_back(reader->records.size());
        }
        ++n;
        ASSERT_EQ((*reader->get_item())[0]->to_long(), n);
    }
    EXPECT_EQ(n, 2500);
    EXPECT_EQ(batches, (std::vector<std::size_t>{1000, 1000, 500}));
}

TEST_F(SqlRecordsets, StatementFailingInItsFirstRowsIsAnErrorAndFreesItsResult) {
    // The server sends the result's columns, then fails on the first row: the subquery
    // matches three rows. The result must be freed, so the connection serves the next statement.
    auto db = database_with_rows(L"t", 3);
    EXPECT_THROW(db->query_rows(L"SELECT id, (SELECT id FROM t WHERE id >= o.id) FROM t o"),
                 sql_exception);
    EXPECT_EQ(fetch_value(mysql(), "SELECT COUNT(*) FROM t", 0), "3");
    auto reader = db->query_rows(L"SELECT id FROM t");
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->records.size(), 3u);
}

TEST_F(SqlRecordsets, LimitedQueryWrapsQueriesAndReportsFailures) {
    auto db = database_with_rows(L"t", 3);
    {
        sql_limited_query q(*db, L"SELECT id FROM t", L"", 256, true);
        sql_record_slots slots;
        EXPECT_EQ(q.store_to(&slots, nullptr), 3u);
        EXPECT_NE(slots[2], nullptr);
        EXPECT_EQ(slots[3], nullptr);
        EXPECT_THROW(q.store_to(nullptr, nullptr), tk_mail_assertion);
    }
    EXPECT_THROW(sql_limited_query(*db, L"missing", L"", 256, false), sql_exception);
    EXPECT_THROW(sql_limited_query(*db, L"SELECT FROM", L"", 256, true), sql_exception);
}

} // namespace
