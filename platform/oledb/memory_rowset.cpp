// Values into row buffers, the in-memory rowset and the schema rowsets' column sets.
#include "platform/oledb/memory_rowset.h"

#include "platform/win32/unicode.h"

#include <algorithm>
#include <cstring>

namespace {

const std::u16string rowset_source = u"Velmora OLE DB rowset";

template <class T> void put(BYTE* row, DBBYTEOFFSET offset, T value) {
    std::memcpy(row + offset, &value, sizeof value);
}

bool is_error_status(DBSTATUS status) {
    return status != DBSTATUS_S_OK && status != DBSTATUS_S_ISNULL &&
           status != DBSTATUS_S_TRUNCATED && status != DBSTATUS_S_DEFAULT;
}

template <class Char> std::basic_string<Char> hex_text(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::basic_string<Char> text;
    text.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        text.push_back(static_cast<Char>(digits[b >> 4]));
        text.push_back(static_cast<Char>(digits[b & 0x0F]));
    }
    return text;
}

// Writes text of `units` code units of `unit_size` bytes with a terminator into `out` of
// `max_bytes`; returns the status. `keep` gives how many units fit without splitting a
// character.
template <class Char, class Fit>
DBSTATUS put_text(BYTE* out, DBLENGTH max_bytes, const std::basic_string<Char>& text, Fit keep) {
    const DBLENGTH needed = (text.size() + 1) * sizeof(Char);
    if (needed <= max_bytes) {
        std::memcpy(out, text.data(), text.size() * sizeof(Char));
        std::memset(out + text.size() * sizeof(Char), 0, sizeof(Char));
        return DBSTATUS_S_OK;
    }
    if (max_bytes < sizeof(Char)) {
        return DBSTATUS_S_TRUNCATED;
    }
    const std::size_t room = static_cast<std::size_t>(max_bytes / sizeof(Char)) - 1;
    const std::size_t units = keep(text, room);
    std::memcpy(out, text.data(), units * sizeof(Char));
    std::memset(out + units * sizeof(Char), 0, sizeof(Char));
    return DBSTATUS_S_TRUNCATED;
}

std::size_t keep_utf16(const std::u16string& text, std::size_t room) {
    if (room > 0 && text[room - 1] >= 0xD800 && text[room - 1] <= 0xDBFF) {
        --room; // never leave half of a surrogate pair
    }
    return room;
}

std::size_t keep_utf8(const std::string& text, std::size_t room) {
    while (room > 0 && (static_cast<unsigned char>(text[room]) & 0xC0) == 0x80) {
        --room; // back to the start of the cut character
    }
    return room;
}

} // namespace

DBBINDSTATUS oledb_check_binding(const DBBINDING& binding, DBORDINAL columns) {
    if (binding.iOrdinal == 0 || binding.iOrdinal > columns) {
        return DBBINDSTATUS_BADORDINAL;
    }
    if (binding.pObject != nullptr) {
        return DBBINDSTATUS_BADSTORAGEFLAGS;
    }
    if (binding.dwPart == 0 || (binding.dwPart & ~DWORD{7}) != 0 ||
        binding.dwMemOwner != DBMEMOWNER_CLIENTOWNED || binding.eParamIO != DBPARAMIO_NOTPARAM) {
        return DBBINDSTATUS_BADBINDINFO;
    }
    if (binding.wType != DBTYPE_WSTR && binding.wType != DBTYPE_STR &&
        binding.wType != DBTYPE_BYTES) {
        return DBBINDSTATUS_UNSUPPORTEDCONVERSION;
    }
    return DBBINDSTATUS_OK;
}

DBSTATUS oledb_put_value(const DBBINDING& binding, BYTE* row, const oledb_value& value) {
    DBSTATUS status = DBSTATUS_S_OK;
    DBLENGTH length = 0;
    BYTE* out = row + binding.obValue;
    const bool want_value = (binding.dwPart & DBPART_VALUE) != 0;
    const DBLENGTH max = want_value ? binding.cbMaxLen : 0;

    if (value.what == oledb_value::kind::null) {
        status = DBSTATUS_S_ISNULL;
    } else if (binding.wType == DBTYPE_WSTR) {
        const std::u16string hex = value.what == oledb_value::kind::bytes
                                       ? hex_text<char16_t>(value.bytes)
                                       : std::u16string();
        const std::u16string& text = value.what == oledb_value::kind::bytes ? hex : value.text;
        length = text.size() * sizeof(char16_t);
        status = put_text(out, max, text, keep_utf16);
    } else if (binding.wType == DBTYPE_STR) {
        const std::string text = value.what == oledb_value::kind::bytes
                                     ? hex_text<char>(value.bytes)
                                     : win32::to_utf8(std::u16string_view(value.text));
        length = text.size();
        status = put_text(out, max, text, keep_utf8);
    } else if (binding.wType == DBTYPE_BYTES) {
        const char* data = value.what == oledb_value::kind::bytes
                               ? value.bytes.data()
                               : reinterpret_cast<const char*>(value.text.data());
        length = value.what == oledb_value::kind::bytes ? value.bytes.size()
                                                        : value.text.size() * sizeof(char16_t);
        const DBLENGTH copied = std::min(length, max);
        std::memcpy(out, data, copied);
        status = copied < length ? DBSTATUS_S_TRUNCATED : DBSTATUS_S_OK;
    } else {
        status = DBSTATUS_E_CANTCONVERTVALUE;
    }

    if (!want_value && status == DBSTATUS_S_TRUNCATED) {
        status = DBSTATUS_S_OK; // nothing was asked for, so nothing was cut
    }
    if ((binding.dwPart & DBPART_STATUS) != 0) {
        put(row, binding.obStatus, status);
    }
    if ((binding.dwPart & DBPART_LENGTH) != 0) {
        put(row, binding.obLength, length);
    }
    return status;
}

HRESULT oledb_accessor_table::create(DBACCESSORFLAGS flags, DBCOUNTITEM count,
                                     const DBBINDING bindings[], DBORDINAL columns,
                                     HACCESSOR* accessor, DBBINDSTATUS statuses[]) {
    if (accessor == nullptr || (count > 0 && bindings == nullptr)) {
        return E_INVALIDARG;
    }
    *accessor = DB_NULL_HACCESSOR;
    if ((flags & DBACCESSOR_ROWDATA) == 0 || (flags & DBACCESSOR_PARAMETERDATA) != 0 ||
        (flags & DBACCESSOR_PASSBYREF) != 0) {
        return DB_E_BADACCESSORFLAGS;
    }
    if (count == 0) {
        return E_INVALIDARG; // a null accessor reads nothing from a rowset
    }
    bool bad = false;
    for (DBCOUNTITEM i = 0; i < count; ++i) {
        const DBBINDSTATUS status = oledb_check_binding(bindings[i], columns);
        if (statuses != nullptr) {
            statuses[i] = status;
        }
        bad = bad || status != DBBINDSTATUS_OK;
    }
    if (bad) {
        return DB_E_ERRORSOCCURRED;
    }
    *accessor = next_++;
    accessors_[*accessor] = entry{std::vector<DBBINDING>(bindings, bindings + count), 1};
    return S_OK;
}

HRESULT oledb_accessor_table::add_ref(HACCESSOR accessor, DBREFCOUNT* ref_count) {
    const auto found = accessors_.find(accessor);
    if (found == accessors_.end()) {
        return DB_E_BADACCESSORHANDLE;
    }
    ++found->second.refs;
    if (ref_count != nullptr) {
        *ref_count = found->second.refs;
    }
    return S_OK;
}

HRESULT oledb_accessor_table::release(HACCESSOR accessor, DBREFCOUNT* ref_count) {
    const auto found = accessors_.find(accessor);
    if (found == accessors_.end()) {
        return DB_E_BADACCESSORHANDLE;
    }
    const DBREFCOUNT left = --found->second.refs;
    if (left == 0) {
        accessors_.erase(found);
    }
    if (ref_count != nullptr) {
        *ref_count = left;
    }
    return S_OK;
}

const std::vector<DBBINDING>* oledb_accessor_table::find(HACCESSOR accessor) const {
    const auto found = accessors_.find(accessor);
    return found == accessors_.end() ? nullptr : &found->second.bindings;
}

HRESULT oledb_column_info(const std::vector<oledb_column>& columns, DBORDINAL* count,
                          DBCOLUMNINFO** info, OLECHAR** strings) {
    if (count == nullptr || info == nullptr || strings == nullptr) {
        return E_INVALIDARG;
    }
    *count = 0;
    *info = nullptr;
    *strings = nullptr;
    if (columns.empty()) {
        return S_OK;
    }
    std::size_t units = 0;
    for (const oledb_column& c : columns) {
        units += c.name.size() + 1;
    }
    auto* array = static_cast<DBCOLUMNINFO*>(CoTaskMemAlloc(columns.size() * sizeof(DBCOLUMNINFO)));
    auto* names = static_cast<OLECHAR*>(CoTaskMemAlloc(units * sizeof(OLECHAR)));
    if (array == nullptr || names == nullptr) {
        CoTaskMemFree(array);
        CoTaskMemFree(names);
        return E_OUTOFMEMORY;
    }
    OLECHAR* name = names;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const oledb_column& c = columns[i];
        std::memcpy(name, c.name.data(), c.name.size() * sizeof(OLECHAR));
        name[c.name.size()] = 0;
        DBCOLUMNINFO& out = array[i];
        out = DBCOLUMNINFO{};
        out.pwszName = name;
        out.iOrdinal = i + 1;
        out.dwFlags = c.flags;
        out.ulColumnSize = c.size;
        out.wType = c.type;
        out.bPrecision = c.precision;
        out.bScale = c.scale;
        out.columnid.eKind = DBKIND_NAME;
        out.columnid.uName.pwszName = name;
        name += c.name.size() + 1;
    }
    *count = columns.size();
    *info = array;
    *strings = names;
    return S_OK;
}

oledb_memory_rowset::oledb_memory_rowset(std::vector<oledb_column> columns,
                                         std::vector<oledb_row> rows)
    : columns_(std::move(columns)), rows_(std::move(rows)) {
}

oledb_memory_rowset::~oledb_memory_rowset() = default;

HRESULT oledb_memory_rowset::fail(HRESULT result, const std::u16string& text) {
    return com_post_error(result, text, rowset_source);
}

std::size_t oledb_memory_rowset::held_rows() const {
    std::lock_guard guard(lock_);
    return held_.size();
}

HRESULT oledb_memory_rowset::AddRefRows(DBCOUNTITEM rows, const HROW handles[],
                                        DBREFCOUNT ref_counts[], DBROWSTATUS statuses[]) {
    std::lock_guard guard(lock_);
    const HRESULT hr = oledb_change_row_refs(rows, handles, ref_counts, statuses,
                                             [this](HROW handle, DBREFCOUNT& count) {
                                                 const auto found = held_.find(handle);
                                                 if (found == held_.end()) {
                                                     return false;
                                                 }
                                                 count = ++found->second;
                                                 return true;
                                             });
    return hr == S_OK ? com_succeed() : fail(hr, oledb_row_refs_error(hr));
}

HRESULT oledb_memory_rowset::GetData(HROW row, HACCESSOR accessor, void* data) {
    std::lock_guard guard(lock_);
    if (held_.find(row) == held_.end()) {
        return fail(DB_E_BADROWHANDLE, u"The row handle is not valid.");
    }
    const std::vector<DBBINDING>* bindings = accessors_.find(accessor);
    if (bindings == nullptr) {
        return fail(DB_E_BADACCESSORHANDLE, u"The accessor handle is not valid.");
    }
    if (data == nullptr) {
        return fail(E_INVALIDARG, u"No row buffer was given.");
    }
    const oledb_row& values = rows_[row - 1];
    std::size_t errors = 0;
    for (const DBBINDING& binding : *bindings) {
        const oledb_value& value =
            binding.iOrdinal <= values.size() ? values[binding.iOrdinal - 1] : oledb_value();
        errors += is_error_status(oledb_put_value(binding, static_cast<BYTE*>(data), value));
    }
    if (errors == 0) {
        return com_succeed();
    }
    return errors == bindings->size()
               ? fail(DB_E_ERRORSOCCURRED, u"No value of the row could be returned.")
               : fail(DB_S_ERRORSOCCURRED, u"Some values of the row could not be returned.");
}

HRESULT oledb_memory_rowset::GetNextRows(HCHAPTER, DBROWOFFSET offset, DBROWCOUNT rows,
                                         DBCOUNTITEM* obtained, HROW** handles) {
    std::lock_guard guard(lock_);
    if (obtained == nullptr || handles == nullptr) {
        return fail(E_INVALIDARG, u"No place for the fetched rows was given.");
    }
    *obtained = 0;
    if (rows < 0 || offset < 0) {
        return fail(DB_E_CANTFETCHBACKWARDS, u"The rowset reads forward only.");
    }
    if (!held_.empty()) {
        return fail(DB_E_ROWSNOTRELEASED, u"Rows of the last fetch are still held.");
    }
    if (rows == 0) {
        return com_succeed();
    }
    ++fetches_;
    next_row_ = std::min(rows_.size(), next_row_ + static_cast<std::size_t>(offset));
    const std::size_t count = std::min(rows_.size() - next_row_, static_cast<std::size_t>(rows));
    if (count > 0) {
        if (*handles == nullptr) {
            *handles = static_cast<HROW*>(CoTaskMemAlloc(count * sizeof(HROW)));
            if (*handles == nullptr) {
                return fail(E_OUTOFMEMORY, u"Out of memory.");
            }
        }
        for (std::size_t i = 0; i < count; ++i) {
            const HROW handle = next_row_ + i + 1;
            (*handles)[i] = handle;
            held_[handle] = 1;
        }
    }
    next_row_ += count;
    *obtained = count;
    return com_succeed(count < static_cast<std::size_t>(rows) ? DB_S_ENDOFROWSET : S_OK);
}

HRESULT oledb_memory_rowset::ReleaseRows(DBCOUNTITEM rows, const HROW handles[], DBROWOPTIONS[],
                                         DBREFCOUNT ref_counts[], DBROWSTATUS statuses[]) {
    std::lock_guard guard(lock_);
    const HRESULT hr = oledb_change_row_refs(rows, handles, ref_counts, statuses,
                                             [this](HROW handle, DBREFCOUNT& count) {
                                                 const auto found = held_.find(handle);
                                                 if (found == held_.end()) {
                                                     return false;
                                                 }
                                                 if ((count = --found->second) == 0) {
                                                     held_.erase(found);
                                                 }
                                                 return true;
                                             });
    return hr == S_OK ? com_succeed() : fail(hr, oledb_row_refs_error(hr));
}

HRESULT oledb_memory_rowset::RestartPosition(HCHAPTER) {
    std::lock_guard guard(lock_);
    if (!held_.empty()) {
        return fail(DB_E_ROWSNOTRELEASED, u"Rows of the last fetch are still held.");
    }
    next_row_ = 0;
    ++restarts_;
    return com_succeed();
}

HRESULT oledb_memory_rowset::AddRefAccessor(HACCESSOR accessor, DBREFCOUNT* ref_count) {
    std::lock_guard guard(lock_);
    const HRESULT hr = accessors_.add_ref(accessor, ref_count);
    return FAILED(hr) ? fail(hr, u"The accessor handle is not valid.") : com_succeed(hr);
}

HRESULT oledb_memory_rowset::CreateAccessor(DBACCESSORFLAGS flags, DBCOUNTITEM bindings,
                                            const DBBINDING binding_array[], DBLENGTH,
                                            HACCESSOR* accessor, DBBINDSTATUS statuses[]) {
    std::lock_guard guard(lock_);
    const HRESULT hr =
        accessors_.create(flags, bindings, binding_array, columns_.size(), accessor, statuses);
    return FAILED(hr) ? fail(hr, u"The accessor could not be created.") : com_succeed(hr);
}

HRESULT oledb_memory_rowset::ReleaseAccessor(HACCESSOR accessor, DBREFCOUNT* ref_count) {
    std::lock_guard guard(lock_);
    const HRESULT hr = accessors_.release(accessor, ref_count);
    return FAILED(hr) ? fail(hr, u"The accessor handle is not valid.") : com_succeed(hr);
}

HRESULT oledb_memory_rowset::GetColumnInfo(DBORDINAL* columns, DBCOLUMNINFO** info,
                                           OLECHAR** strings) {
    std::lock_guard guard(lock_);
    const HRESULT hr = oledb_column_info(columns_, columns, info, strings);
    return FAILED(hr) ? fail(hr, u"The column information could not be returned.")
                      : com_succeed(hr);
}

HRESULT oledb_make_memory_rowset(std::vector<oledb_column> columns, std::vector<oledb_row> rows,
                                 REFIID riid, IUnknown** rowset) {
    if (rowset == nullptr) {
        return E_INVALIDARG;
    }
    *rowset = nullptr;
    auto* created = new oledb_memory_rowset(std::move(columns), std::move(rows));
    const HRESULT hr = created->QueryInterface(riid, reinterpret_cast<void**>(rowset));
    created->Release();
    return hr;
}

namespace {

oledb_column text_column(const char16_t* name) {
    return {name, DBTYPE_WSTR, 128, 0xFF, 0xFF, DBCOLUMNFLAGS_ISNULLABLE};
}

oledb_column fixed_column(const char16_t* name, DBTYPE type, DBLENGTH size) {
    return {name, type, size, 0xFF, 0xFF, DBCOLUMNFLAGS_ISNULLABLE | DBCOLUMNFLAGS_ISFIXEDLENGTH};
}

struct schema_layout {
    GUID schema;
    std::vector<oledb_column> columns;
    std::vector<std::size_t> restrictions;
};

const std::vector<schema_layout>& schema_layouts() {
    static const std::vector<schema_layout> layouts = {
        {DBSCHEMA_TABLES,
         {text_column(u"TABLE_CATALOG"), text_column(u"TABLE_SCHEMA"), text_column(u"TABLE_NAME"),
          text_column(u"TABLE_TYPE"), fixed_column(u"TABLE_GUID", DBTYPE_GUID, 16),
          text_column(u"DESCRIPTION"), fixed_column(u"TABLE_PROPID", DBTYPE_UI4, 4),
          fixed_column(u"DATE_CREATED", DBTYPE_DATE, 8),
          fixed_column(u"DATE_MODIFIED", DBTYPE_DATE, 8)},
         {0, 1, 2, 3}},
        {DBSCHEMA_PRIMARY_KEYS,
         {text_column(u"TABLE_CATALOG"), text_column(u"TABLE_SCHEMA"), text_column(u"TABLE_NAME"),
          text_column(u"COLUMN_NAME"), fixed_column(u"COLUMN_GUID", DBTYPE_GUID, 16),
          fixed_column(u"COLUMN_PROPID", DBTYPE_UI4, 4), fixed_column(u"ORDINAL", DBTYPE_UI4, 4),
          text_column(u"PK_NAME")},
         {0, 1, 2}},
        {DBSCHEMA_INDEXES,
         {text_column(u"TABLE_CATALOG"),
          text_column(u"TABLE_SCHEMA"),
          text_column(u"TABLE_NAME"),
          text_column(u"INDEX_CATALOG"),
          text_column(u"INDEX_SCHEMA"),
          text_column(u"INDEX_NAME"),
          fixed_column(u"PRIMARY_KEY", DBTYPE_BOOL, 2),
          fixed_column(u"UNIQUE", DBTYPE_BOOL, 2),
          fixed_column(u"CLUSTERED", DBTYPE_BOOL, 2),
          fixed_column(u"TYPE", DBTYPE_UI2, 2),
          fixed_column(u"FILL_FACTOR", DBTYPE_I4, 4),
          fixed_column(u"INITIAL_SIZE", DBTYPE_I4, 4),
          fixed_column(u"NULLS", DBTYPE_I4, 4),
          fixed_column(u"SORT_BOOKMARKS", DBTYPE_BOOL, 2),
          fixed_column(u"AUTO_UPDATE", DBTYPE_BOOL, 2),
          fixed_column(u"NULL_COLLATION", DBTYPE_I4, 4),
          fixed_column(u"ORDINAL_POSITION", DBTYPE_UI4, 4),
          text_column(u"COLUMN_NAME"),
          fixed_column(u"COLUMN_GUID", DBTYPE_GUID, 16),
          fixed_column(u"COLUMN_PROPID", DBTYPE_UI4, 4),
          fixed_column(u"COLLATION", DBTYPE_I2, 2),
          fixed_column(u"CARDINALITY", DBTYPE_UI8, 8),
          fixed_column(u"PAGES", DBTYPE_I4, 4),
          text_column(u"FILTER_CONDITION"),
          fixed_column(u"INTEGRATED", DBTYPE_BOOL, 2)},
         {0, 1, 5, 9, 2}},
        {DBSCHEMA_FOREIGN_KEYS,
         {text_column(u"PK_TABLE_CATALOG"), text_column(u"PK_TABLE_SCHEMA"),
          text_column(u"PK_TABLE_NAME"), text_column(u"PK_COLUMN_NAME"),
          fixed_column(u"PK_COLUMN_GUID", DBTYPE_GUID, 16),
          fixed_column(u"PK_COLUMN_PROPID", DBTYPE_UI4, 4), text_column(u"FK_TABLE_CATALOG"),
          text_column(u"FK_TABLE_SCHEMA"), text_column(u"FK_TABLE_NAME"),
          text_column(u"FK_COLUMN_NAME"), fixed_column(u"FK_COLUMN_GUID", DBTYPE_GUID, 16),
          fixed_column(u"FK_COLUMN_PROPID", DBTYPE_UI4, 4), fixed_column(u"ORDINAL", DBTYPE_UI4, 4),
          text_column(u"UPDATE_RULE"), text_column(u"DELETE_RULE"), text_column(u"PK_NAME"),
          text_column(u"FK_NAME"), fixed_column(u"DEFERRABILITY", DBTYPE_I2, 2)},
         {0, 1, 2, 6, 7, 8}},
    };
    return layouts;
}

const schema_layout* find_layout(REFGUID schema) {
    for (const schema_layout& layout : schema_layouts()) {
        if (layout.schema == schema) {
            return &layout;
        }
    }
    return nullptr;
}

} // namespace

const std::vector<oledb_column>* oledb_schema_columns(REFGUID schema) {
    const schema_layout* layout = find_layout(schema);
    return layout ? &layout->columns : nullptr;
}

const std::vector<std::size_t>* oledb_schema_restrictions(REFGUID schema) {
    const schema_layout* layout = find_layout(schema);
    return layout ? &layout->restrictions : nullptr;
}

HRESULT oledb_filter_schema_rows(REFGUID schema, ULONG restrictions,
                                 const VARIANT restriction_values[], std::vector<oledb_row>& rows) {
    const schema_layout* layout = find_layout(schema);
    if (layout == nullptr) {
        return DB_E_NOTSUPPORTED;
    }
    if (restrictions > layout->restrictions.size() ||
        (restrictions > 0 && restriction_values == nullptr)) {
        return E_INVALIDARG;
    }
    for (ULONG i = 0; i < restrictions; ++i) {
        if (restriction_values[i].vt != VT_EMPTY && restriction_values[i].vt != VT_BSTR) {
            return E_INVALIDARG;
        }
    }
    const auto mismatch = [&](const oledb_row& row) {
        for (ULONG i = 0; i < restrictions; ++i) {
            const VARIANT& wanted = restriction_values[i];
            if (wanted.vt == VT_EMPTY) {
                continue;
            }
            const std::size_t column = layout->restrictions[i];
            const std::u16string_view text(wanted.bstrVal ? wanted.bstrVal : u"",
                                           wanted.bstrVal ? SysStringLen(wanted.bstrVal) : 0);
            if (column >= row.size() || row[column].what != oledb_value::kind::text ||
                row[column].text != text) {
                return true;
            }
        }
        return false;
    };
    rows.erase(std::remove_if(rows.begin(), rows.end(), mismatch), rows.end());
    return S_OK;
}
