// Readers of MySQL data: tables and query results, and the results of single statements.
#pragma once

#include "SQL/sql_limq.h"
#include "UDB/udb_rel.h"
#include "UDB/udb_rs.h"

#include <mysql.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class sql_database;
class sql_record;

// An existing MySQL table or the result of a SELECT text, read in windows of 256 rows. The
// schema is built from the result's field descriptions at construction; the cursor starts with
// reset(), then is_eof(), get_item(), next().
class sql_recordset : public udb_recordset {
public:
    // A table.
    sql_recordset(sql_database* db, const std::wstring& name, udb_relationships* relationships);
    // A query result.
    sql_recordset(sql_database* db, const std::wstring& name, const std::wstring& select,
                  udb_relationships* relationships);
    ~sql_recordset() override;

    // Read only: internal error (sql_recs, 257).
    void append_record(const udb_record& record) override;
    udb_record* get_item() override;
    bool is_eof() override;
    void next() override;
    void prev() override;
    // The position after prev().
    std::uint32_t prev_position();
    void reset() override;

    std::int64_t get_rec_count();
    void clean();

    sql_database* sql_db;
    std::unique_ptr<sql_limited_query> lim_query;
    udb_relationships* relationships;
    std::uint32_t pos = 0;
    std::uint32_t win_idx = 0;
    sql_record_slots rows;

protected:
    void initialize();
};

// The streamed result of one statement, in batches of up to 1000 records. It holds the
// connection until it is deleted.
class sql_tmp_recordset : public udb_recordset {
public:
    // Takes the result over and reads the first batch; `mysql` is the connection it streams
    // from (its errors tell a broken result from the end of the rows).
    sql_tmp_recordset(MYSQL_RES* result, MYSQL* mysql = nullptr);
    // Runs `statement` (UTF-8) on `mysql` and keeps its result without reading rows; a
    // statement without rows leaves no fields and no rows; a refused one raises sql_exception.
    sql_tmp_recordset(MYSQL* mysql, const std::string& statement);
    ~sql_tmp_recordset() override;

    // Read only: internal error (sql_recs, 402).
    void append_record(const udb_record& record) override;
    udb_record* get_item() override;
    // Reaching the end of a batch reads the next one.
    bool is_eof() override;
    void next() override;
    void reset() override;

    // Reads the first batch; without a result: internal error (sql_recs, 409).
    void initialize();
    void fill_cache();
    void clean_cache();

    unsigned n_fields = 0;
    MYSQL_FIELD* fields = nullptr;
    std::size_t pos = 0;
    MYSQL_RES* result = nullptr;
    std::vector<std::unique_ptr<sql_record>> records;

private:
    MYSQL* mysql_ = nullptr;
};

// The table list of a database ("show full tables where Table_type='BASE TABLE'").
class sql_list_tables_rs : public sql_tmp_recordset {
public:
    sql_list_tables_rs(MYSQL* mysql, const std::string& statement);
    ~sql_list_tables_rs() override;
};
