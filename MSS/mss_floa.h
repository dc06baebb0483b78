// The bulk load of an MS SQL destination table: the bulk-copy rowset (IRowsetFastLoad), the
// accessor that lays out its row buffer, and the exception that sends a table back to INSERT
// statements when the rowset cannot be opened.
#pragma once

#include "OLE/ole_ptr.h"
#include "TK/tk_excep.h"
#include "platform/oledb/oledb.h"

#include <cstdint>
#include <string>
#include <vector>

class udb_schema;

// The row buffer and accessor of a bulk-copy rowset. Each column gets a value slot aligned for
// its binding type, an 8-byte length slot and a 4-byte status slot; columns larger than the
// BLOB size are bound as storage objects (an interface pointer in the row).
class CDynamicAccessorEx {
public:
    // One column as bound: its ordinal, binding type, size of the value slot and offsets.
    struct column {
        DBORDINAL ordinal = 0;
        DBTYPE type = DBTYPE_EMPTY;
        DBTYPE reported = DBTYPE_EMPTY; // the rowset's own type, before a storage object
        BYTE precision = 0;
        BYTE scale = 0;
        BYTE fraction_digits = 0; // of a date or time column, as the rowset reports them
        DBLENGTH size = 0;
        DBBYTEOFFSET data = 0;
        DBBYTEOFFSET length = 0;
        DBBYTEOFFSET status = 0;
    };

    CDynamicAccessorEx();
    ~CDynamicAccessorEx();
    CDynamicAccessorEx(const CDynamicAccessorEx&) = delete;
    CDynamicAccessorEx& operator=(const CDynamicAccessorEx&) = delete;

    // Binds every column of `rowset`; schema descriptor i belongs to column i. Every failing
    // call is returned as its result.
    HRESULT BindColumns(IUnknown* rowset, const udb_schema& schema);
    static void Bind(DBBINDING& binding, DBORDINAL ordinal, DBTYPE type, DBLENGTH length,
                     BYTE precision, BYTE scale, DBPARAMIO direction, DBBYTEOFFSET data,
                     DBBYTEOFFSET length_offset, DBBYTEOFFSET status, DBOBJECT* object);
    static void BindEx(DBBINDING& binding, DBORDINAL ordinal, DBTYPE type, DBLENGTH length,
                       BYTE precision, BYTE scale, DBPARAMIO direction, DBBYTEOFFSET data,
                       DBBYTEOFFSET length_offset, DBBYTEOFFSET status, DBOBJECT* object,
                       DBMEMOWNER owner, bool without_value);

    // The column of ordinal `ordinal`, or null.
    const column* find(DBORDINAL ordinal) const;
    BYTE* value(const column& c) { return base() + c.data; }
    DBLENGTH* length(const column& c) { return reinterpret_cast<DBLENGTH*>(base() + c.length); }
    DBSTATUS* status(const column& c) { return reinterpret_cast<DBSTATUS*>(base() + c.status); }
    // Releases an interface pointer held in a storage-object column's value slot.
    void release_object(const column& c);

    HACCESSOR handle() const { return handle_; }
    void* buffer() { return base(); }
    std::size_t row_size() const { return row_size_; }
    const std::vector<column>& columns() const { return columns_; }

    // Releases the interface pointers the row still holds (free record memory).
    void free_record_memory();
    // Adds a reference to each interface pointer the row holds: the provider's, which it
    // releases whatever becomes of the row.
    void add_ref_objects();
    // Frees the row and releases the accessor handle; the result of ReleaseAccessor.
    HRESULT release();

private:
    bool test_streams(IUnknown* rowset, IID& stream);
    BYTE* base() { return reinterpret_cast<BYTE*>(words_.data()); }

    ole_com_ptr<IAccessor> accessor_;
    HACCESSOR handle_ = DB_NULL_HACCESSOR;
    // The row, in 8-byte words so that every slot is aligned as the layout says.
    std::vector<std::uint64_t> words_;
    std::size_t row_size_ = 0;
    std::vector<column> columns_;
    // The storage-object descriptions the bindings point to: they live as long as the accessor.
    std::vector<DBOBJECT> objects_;
    DBBLOBHANDLINGENUM blob_handling_ = DBBLOBHANDLING_DEFAULT;
    DBLENGTH blob_size_ = 8000;
};

// Bulk loading cannot be used for the table: the rows go by statement (level 1, code 0).
class mss_fl_failed_exception : public tk_exception {
public:
    mss_fl_failed_exception();
    mss_fl_failed_exception(const mss_fl_failed_exception&) = default;
    ~mss_fl_failed_exception() override;
};

// The row cannot go by bulk load as it is (a value the bulk copy would change, cut or refuse
// together with its whole batch): the rows sent so far are committed and this row goes by
// statement, which stores or refuses it as any statement does.
class mss_fl_row_exception : public tk_exception {
public:
    mss_fl_row_exception();
    mss_fl_row_exception(const mss_fl_row_exception&) = default;
    ~mss_fl_row_exception() override;
};

// The bulk load that every MS SQL table holds. Closed until the writer's first bulk-loaded
// record opens it; closing commits the rows sent since the last intermediate commit.
class mss_fast_load {
public:
    // Closed, with nothing held; cannot fail.
    mss_fast_load();
    ~mss_fast_load();
    mss_fast_load(const mss_fast_load&) = delete;
    mss_fast_load& operator=(const mss_fast_load&) = delete;

    // Whether the writer's bulk load of the table is open.
    bool is_open() const { return b_open_table; }

    // Opens the bulk-copy rowset of `table` on `session`, keeping identity values, and binds its
    // columns. `name` (the table's canonical name) names the table in reports.
    HRESULT open_table(IOpenRowset* session, DBID* table, const udb_schema& schema,
                       const std::wstring& name);
    // Puts `count` bytes of `data` into the value slot of column `ordinal` with length `length`;
    // no data and no bytes is NULL. False for an unknown ordinal, or for a value longer than the
    // slot (nothing is written then).
    bool bind_data3(const void* data, DBLENGTH count, DBLENGTH length, DBORDINAL ordinal);
    bool bind_data2(const void* data, DBLENGTH size, DBORDINAL ordinal);
    void bind_data4(const DB_NUMERIC& numeric, DBORDINAL ordinal);
    // Sends the buffered row, the table's record number `record` (0: the next after the last
    // row sent); commits after about 100000 bytes of bound values. A row the rowset cannot
    // carry as it is (DB_E_NOTSUPPORTED) is mss_fl_row_exception; other failures are
    // odb_exception. A row that failed otherwise than by its values commits the rows sent
    // before it, and when that fails names them with it (the copy is closed then).
    HRESULT insert_data(std::uint64_t record = 0);
    // Commits the rows sent since the last commit, if any. A failure is odb_exception naming the
    // records that are not in the table; the copy is closed then, so that the next row opens a
    // new one.
    void commit_batch();
    // Drops what the buffered row holds (its streams), when the row is not sent.
    void discard_row() { accessor.free_record_memory(); }
    // Commits and closes an open bulk load; on a closed one an internal error. A failed commit
    // goes to the error handler (or is thrown when there is none) with the table's name.
    void close_table();

    // The binding type of column `ordinal` (DBTYPE_EMPTY when unknown).
    DBTYPE column_type(DBORDINAL ordinal) const;
    // The type the rowset reports for column `ordinal` (DBTYPE_EMPTY when unknown): for a
    // column bound as a storage object, what its stream holds (STR bytes or WSTR UTF-16).
    DBTYPE column_reported_type(DBORDINAL ordinal) const;
    // The value-slot size of column `ordinal` (0 when unknown).
    DBLENGTH column_size(DBORDINAL ordinal) const;
    // The precision and scale the rowset reports for column `ordinal` (0 when unknown).
    BYTE column_precision(DBORDINAL ordinal) const;
    BYTE column_scale(DBORDINAL ordinal) const;
    // The fraction digits the rowset reports for date and time column `ordinal` (0 when unknown).
    BYTE column_fraction_digits(DBORDINAL ordinal) const;
    std::int32_t byte_total() const { return byte_total_; }

private:
    // Closes the copy without committing it.
    void abandon();

    bool b_open_table = false;
    CDynamicAccessorEx accessor;
    ole_com_ptr<IRowsetFastLoad> m_spFastLoad;
    // What a failed commit of the rows sent since the last commit loses: records first to last.
    std::wstring lost_rows() const;

    std::int32_t byte_total_ = 0;
    std::wstring name_;
    std::uint64_t last_record_ = 0;   // the record number of the last row sent
    std::uint64_t first_pending_ = 0; // of the first row sent since the last commit; 0: none
};
