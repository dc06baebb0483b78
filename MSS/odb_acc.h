// The accessor of a rowset: one client-owned row buffer that every column is bound into, as
// UTF-16 text or (binary columns) raw bytes.
#pragma once

#include "MSS/odb_rec.h"
#include "OLE/ole_ptr.h"
#include "platform/oledb/oledb.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class odb_accessor {
public:
    odb_accessor();
    ~odb_accessor();
    odb_accessor(const odb_accessor&) = delete;
    odb_accessor& operator=(const odb_accessor&) = delete;

    // Binds every column of `rowset` into a new row buffer (releasing an earlier binding).
    void bind(IRowset* rowset, unsigned columns, const DBCOLUMNINFO* info);
    // Reads row `row` into the buffer and makes its record (owned by the caller). A value
    // longer than its place in the buffer is read again in full on its own; when even that
    // fails the row is refused with a tk_exception (level 0).
    std::unique_ptr<odb_record> get_record(IRowset* rowset, HROW row);
    // As get_record, into `record`, whose fields an earlier row left are reused.
    void read_record(IRowset* rowset, HROW row, odb_record& record);
    // Bytes a column of the bound rowset asks for, before the per-column cap.
    unsigned get_bind_size(unsigned column) const;
    // The per-column cap for `columns` columns.
    static unsigned column_cap(unsigned columns);
    void clean_everything();

    // The columns' names as wide text, handed to every record, and the naming that the
    // records read with them carry (new with every binding).
    std::vector<std::wstring> names;
    std::uint64_t naming = 0;

    unsigned columns = 0;
    unsigned row_size = 0;
    HACCESSOR handle = 0;
    const DBCOLUMNINFO* info = nullptr;
    BYTE* row_buffer = nullptr;
    DBBINDING* bindings = nullptr;
    DBBINDSTATUS* bind_status = nullptr;
    ole_com_ptr<IAccessor> accessor;

private:
    // Reads the whole value of column `column` of `row` into `slot`; false when it cannot.
    bool read_long_value(IRowset* rowset, HROW row, unsigned column, std::vector<BYTE>& slot);
    // The whole text of `column` read straight into a BSTR; null when it could not be read
    // whole.
    BSTR read_long_text(IRowset* rowset, HROW row, unsigned column);
};
