// Rowset reading: an OLE DB rowset as a forward-reading neutral recordset, fetched 100 rows at
// a time into a cache of records.
#pragma once

#include "MSS/odb_acc.h"
#include "MSS/odb_rec.h"
#include "OLE/ole_ptr.h"
#include "UDB/udb_rs.h"
#include "platform/oledb/oledb.h"

#include <array>
#include <exception>
#include <memory>
#include <string>

class odb_recordset : public udb_recordset {
public:
    static constexpr unsigned cache_size = 100;

    // No rowset yet; a derived class opens one and calls initialize itself.
    explicit odb_recordset(const std::wstring& name);
    // Over `rowset` (its own reference): describes the columns, builds the schema and binds.
    explicit odb_recordset(IRowset* rowset);
    ~odb_recordset() override;

    // Describes the columns (and, with `build_schema`, rebuilds the schema from them), then
    // binds. Without a rowset the recordset stays at its end.
    void initialize(bool build_schema);

    // Read-only: an internal error.
    void append_record(const udb_record& record) override;
    void reserved1() override;
    // The current record (owned by the recordset, valid until next, reset or destruction).
    udb_record* get_item() override;
    bool is_eof() override;
    void next() override;
    void prev() override;
    void reset() override;
    void delete_key(const std::wstring& key) override;
    void delete_key(const udb_record& record) override;

    // Frees the cached records.
    void clean_cache();
    // Reads the next rows into the cache, reusing the records that are there.
    void fill_cache();

    unsigned column_count = 0;
    unsigned cur_pos = 0;
    odb_accessor accessor;
    ole_com_ptr<IRowset> rowset;
    DBCOLUMNINFO* column_info = nullptr;
    OLECHAR* column_strings = nullptr;
    unsigned local_pos = 0;
    unsigned rows_obtaind = 0;
    std::array<std::unique_ptr<odb_record>, cache_size> cache;

private:
    void free_column_info();

    // The failure of the row after the last cached one, raised when the cursor reaches it.
    std::exception_ptr pending_failure_;
};
