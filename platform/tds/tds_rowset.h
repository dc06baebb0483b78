// The rowset of the SQL Server provider: a forward-only reader over one ODBC result.
//
// Rows are fetched in blocks into a row image per row: when no column is long, FreeTDS fills a
// whole block at once through bound columns (row-wise binding); otherwise each row is fetched on
// its own and long values are read in pieces into buffers of their own. GetData then writes each
// value into the consumer's buffer in the bound form, without further copies.
#pragma once

#include "platform/oledb/memory_rowset.h"
#include "platform/tds/tds_link.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

// More rows were asked than the provider holds at once; fewer came (a success).
inline constexpr HRESULT DB_S_ROWLIMITEXCEEDED = 0x00040EC0;

class tds_rowset final : public com_object<IRowset, IAccessor, IColumnsInfo> {
public:
    // Takes over the running statement of `execution` (its first result with columns). `sql`
    // is kept to run the statement again when the consumer restarts after reading.
    tds_rowset(std::shared_ptr<tds_link> link, tds_execution execution, std::u16string sql);

    HRESULT AddRefRows(DBCOUNTITEM rows, const HROW handles[], DBREFCOUNT ref_counts[],
                       DBROWSTATUS statuses[]) override;
    HRESULT GetData(HROW row, HACCESSOR accessor, void* data) override;
    HRESULT GetNextRows(HCHAPTER chapter, DBROWOFFSET offset, DBROWCOUNT rows,
                        DBCOUNTITEM* obtained, HROW** handles) override;
    HRESULT ReleaseRows(DBCOUNTITEM rows, const HROW handles[], DBROWOPTIONS options[],
                        DBREFCOUNT ref_counts[], DBROWSTATUS statuses[]) override;
    HRESULT RestartPosition(HCHAPTER chapter) override;

    HRESULT AddRefAccessor(HACCESSOR accessor, DBREFCOUNT* ref_count) override;
    HRESULT CreateAccessor(DBACCESSORFLAGS flags, DBCOUNTITEM bindings,
                           const DBBINDING binding_array[], DBLENGTH row_size, HACCESSOR* accessor,
                           DBBINDSTATUS statuses[]) override;
    HRESULT ReleaseAccessor(HACCESSOR accessor, DBREFCOUNT* ref_count) override;

    HRESULT GetColumnInfo(DBORDINAL* columns, DBCOLUMNINFO** info, OLECHAR** strings) override;

    // The bytes one block may hold: its row images when rows come bound, its long values when
    // rows are read one by one.
    static constexpr std::uint64_t block_byte_budget = 64u << 20;

private:
    ~tds_rowset() override;

    HRESULT fail(HRESULT result, const std::u16string& text);
    HRESULT fail_odbc(HRESULT result, const std::vector<odbc::diagnostic>& diagnostics);
    // Fetches up to `rows` rows into the block; the count fetched. Sets ended_ or failed_.
    std::uint64_t fetch_block(std::uint64_t rows);
    std::uint64_t fetch_bound(std::uint64_t rows);
    std::uint64_t fetch_each(std::uint64_t rows);
    bool read_long(std::size_t row, std::size_t column, std::size_t slot);
    bool prepare_block(std::uint64_t rows);
    // Keeps the statement's diagnostics as the rowset's failure.
    void note_failure();
    // The end of the result: reads what follows it, then gives the connection back.
    void finish();
    void close_statement();
    HRESULT execute_again();
    bool held(HROW handle, std::size_t& index) const;

    mutable std::mutex lock_;
    std::shared_ptr<tds_link> link_;
    std::unique_ptr<odbc::connection> connection_;
    std::unique_ptr<odbc::statement> statement_;
    std::u16string sql_;
    std::vector<tds_column> columns_;
    std::vector<std::size_t> long_columns_; // indexes into columns_
    std::vector<std::size_t> long_slot_;    // column index to its place among the long values
    bool block_mode_ = true;
    std::uint64_t row_size_ = 0;

    // The block: row images, long values, and what ODBC reports of the block fetch.
    std::vector<std::uint64_t> images_; // 8-byte aligned row images
    std::uint64_t capacity_ = 0;
    bool bound_ = false;
    std::uint64_t bound_rows_ = 0;
    std::uint64_t fetched_ = 0;
    std::vector<std::uint16_t> row_statuses_;
    struct long_value {
        std::string bytes; // UTF-16 text, or raw bytes for binary columns
        odbc::sql_len length = odbc::null_data;
    };
    std::vector<std::vector<long_value>> longs_; // [row][long column]
    std::string scratch_;                        // first piece of each long value

    std::uint64_t rows_in_block_ = 0;
    HROW handle_base_ = 0;
    std::vector<DBREFCOUNT> held_;

    bool fetched_any_ = false;
    bool ended_ = false;
    bool failed_ = false;
    std::vector<odbc::diagnostic> failure_;

    oledb_accessor_table accessors_;
    std::vector<oledb_column> info_;
};
