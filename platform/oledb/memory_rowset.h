// Building blocks for providers: values written into a consumer's row buffer through a binding,
// a rowset over rows held in memory (used for schema rowsets and by test providers), and the
// standard column sets and restrictions of the schema rowsets.
#pragma once

#include "platform/oledb/oledb.h"

#include <mutex>
#include <map>
#include <optional>
#include <string>
#include <vector>

// One column as a provider describes it.
struct oledb_column {
    std::u16string name;
    DBTYPE type = DBTYPE_WSTR;
    DBLENGTH size = 0; // characters for text, bytes for binary and fixed types, ~0 unlimited
    BYTE precision = 0xFF;
    BYTE scale = 0xFF;
    DBCOLUMNFLAGS flags = DBCOLUMNFLAGS_ISNULLABLE;
};

// One value as a provider delivers it: NULL, text (the form the value takes when bound as
// DBTYPE_WSTR) or raw bytes (DBTYPE_BYTES columns).
struct oledb_value {
    enum class kind { null, text, bytes };
    kind what = kind::null;
    std::u16string text;
    std::string bytes;

    static oledb_value null() { return {}; }
    static oledb_value of_text(std::u16string text) { return {kind::text, std::move(text), {}}; }
    static oledb_value of_bytes(std::string bytes) { return {kind::bytes, {}, std::move(bytes)}; }
};

using oledb_row = std::vector<oledb_value>;

// Whether a provider can serve `binding` for a rowset of `columns` columns: DBBINDSTATUS_OK, or
// the reason it cannot (bad ordinal, a type other than DBTYPE_WSTR, DBTYPE_STR and DBTYPE_BYTES,
// provider-owned memory, no part, a storage object).
DBBINDSTATUS oledb_check_binding(const DBBINDING& binding, DBORDINAL columns);

// Writes `value` through `binding` into the row buffer at `row`: the status word, the length
// word (the whole value's length in bytes, without a terminator) and the value, at their
// unaligned offsets, each only when its part is bound. Text bound as DBTYPE_WSTR is UTF-16 with
// a terminator; as DBTYPE_STR UTF-8; bytes bound as DBTYPE_WSTR or DBTYPE_STR are upper-case
// hexadecimal, text bound as DBTYPE_BYTES is its UTF-16 bytes. A value whose bytes (plus the
// terminator for text) exceed cbMaxLen is cut, terminated and given DBSTATUS_S_TRUNCATED; cut
// text never splits a character. Returns the status.
DBSTATUS oledb_put_value(const DBBINDING& binding, BYTE* row, const oledb_value& value);

// The loop of AddRefRows and ReleaseRows, for providers to reuse: `change(handle, count)`
// changes the reference count of one row handle, stores the new count and says whether the
// handle was valid. The optional arrays get each handle's new count (0 for an invalid one) and
// status. Returns S_OK; DB_S_ERRORSOCCURRED when some handles were invalid, DB_E_ERRORSOCCURRED
// when all were; E_INVALIDARG for rows without handles.
template <class Change>
HRESULT oledb_change_row_refs(DBCOUNTITEM rows, const HROW handles[], DBREFCOUNT ref_counts[],
                              DBROWSTATUS statuses[], Change change) {
    if (rows > 0 && handles == nullptr) {
        return E_INVALIDARG;
    }
    DBCOUNTITEM bad = 0;
    for (DBCOUNTITEM i = 0; i < rows; ++i) {
        DBREFCOUNT count = 0;
        const bool ok = change(handles[i], count);
        bad += ok ? 0 : 1;
        if (ref_counts != nullptr) {
            ref_counts[i] = ok ? count : 0;
        }
        if (statuses != nullptr) {
            statuses[i] = ok ? DBROWSTATUS_S_OK : DBROWSTATUS_E_INVALID;
        }
    }
    return bad == 0 ? S_OK : bad == rows ? DB_E_ERRORSOCCURRED : DB_S_ERRORSOCCURRED;
}

// The text of a failed oledb_change_row_refs.
inline const char16_t* oledb_row_refs_error(HRESULT result) {
    return result == E_INVALIDARG ? u"No row handles were given." : u"Invalid row handle.";
}

// The accessors of one rowset (IAccessor), for providers to reuse.
class oledb_accessor_table {
public:
    HRESULT create(DBACCESSORFLAGS flags, DBCOUNTITEM count, const DBBINDING bindings[],
                   DBORDINAL columns, HACCESSOR* accessor, DBBINDSTATUS statuses[]);
    HRESULT add_ref(HACCESSOR accessor, DBREFCOUNT* ref_count);
    HRESULT release(HACCESSOR accessor, DBREFCOUNT* ref_count);
    // The bindings of `accessor`, or null for an unknown handle.
    const std::vector<DBBINDING>* find(HACCESSOR accessor) const;

private:
    struct entry {
        std::vector<DBBINDING> bindings;
        DBREFCOUNT refs = 1;
    };
    std::map<HACCESSOR, entry> accessors_;
    HACCESSOR next_ = 1;
};

// The column information of `columns` in the form GetColumnInfo returns it (task memory).
HRESULT oledb_column_info(const std::vector<oledb_column>& columns, DBORDINAL* count,
                          DBCOLUMNINFO** info, OLECHAR** strings);

// A forward-only rowset over rows in memory. It keeps its rows, so RestartPosition is free.
// Row handles are 1-based row numbers; rows must be released before the next fetch or restart.
// Every method posts an error object on failure and clears it on success.
class oledb_memory_rowset : public com_object<IRowset, IAccessor, IColumnsInfo> {
public:
    oledb_memory_rowset(std::vector<oledb_column> columns, std::vector<oledb_row> rows);

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

    // For tests: how many fetches and restarts the consumer made, and the rows it still holds.
    int fetches() const { return fetches_; }
    int restarts() const { return restarts_; }
    std::size_t held_rows() const;

protected:
    ~oledb_memory_rowset() override;

private:
    HRESULT fail(HRESULT result, const std::u16string& text);

    mutable std::mutex lock_;
    std::vector<oledb_column> columns_;
    std::vector<oledb_row> rows_;
    std::size_t next_row_ = 0;
    std::map<HROW, DBREFCOUNT> held_;
    oledb_accessor_table accessors_;
    int fetches_ = 0;
    int restarts_ = 0;
};

// Creates a memory rowset and answers its `riid` interface into `*rowset`.
HRESULT oledb_make_memory_rowset(std::vector<oledb_column> columns, std::vector<oledb_row> rows,
                                 REFIID riid, IUnknown** rowset);

// Schema rowsets: the standard columns of DBSCHEMA_TABLES, DBSCHEMA_PRIMARY_KEYS,
// DBSCHEMA_INDEXES and DBSCHEMA_FOREIGN_KEYS, in their standard order; null for another schema.
const std::vector<oledb_column>* oledb_schema_columns(REFGUID schema);
// The 0-based column that each restriction of `schema` narrows, in restriction order.
const std::vector<std::size_t>* oledb_schema_restrictions(REFGUID schema);
// The rows of `rows` (each in the schema's column layout) that match `restriction_values`:
// VT_EMPTY matches anything, VT_BSTR must equal the column's text exactly. E_INVALIDARG (and
// nothing kept) for more restrictions than the schema has or a restriction of another type;
// DB_E_NOTSUPPORTED for an unknown schema.
HRESULT oledb_filter_schema_rows(REFGUID schema, ULONG restrictions,
                                 const VARIANT restriction_values[], std::vector<oledb_row>& rows);
