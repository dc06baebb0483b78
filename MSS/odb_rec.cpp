// Records from rows.
#include "MSS/odb_rec.h"

#include "MSS/mss_engi.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"

#include <cstring>

namespace {

bool pure_values_allowed() {
    if (mss_engine::instance()->version() < 5) {
        return false;
    }
    const mss_engine& engine = mss_engine::ref();
    return engine.is_connected() && engine.is_native();
}

std::wstring column_name(const DBCOLUMNINFO& column) {
    return column.pwszName != nullptr ? tk_utf16_to_wstring(column.pwszName) : std::wstring();
}

} // namespace

std::wstring odb_field::to_wstring() const {
    tk_log_message(1, "odb_field::to_wstring");
    return ole_variant::to_wstring();
}

VARTYPE odb_record::get_vartype(DBTYPE type, DBLENGTH, DBCOLUMNFLAGS, std::int32_t& reserved) {
    tk_log_message(1, "odb_record::get_vartype(%d)", type);
    switch (type) {
    case DBTYPE_I2:
    case DBTYPE_I4:
    case DBTYPE_R4:
    case DBTYPE_R8:
    case DBTYPE_CY:
    case DBTYPE_BOOL:
    case DBTYPE_I1:
    case DBTYPE_UI1:
    case DBTYPE_UI2:
    case DBTYPE_UI4:
    case DBTYPE_I8:
    case DBTYPE_UI8:
        return type;
    case DBTYPE_DECIMAL:
    case DBTYPE_NUMERIC:
        return VT_DECIMAL;
    case DBTYPE_DATE:
    case DBTYPE_DBDATE:
        if (pure_values_allowed()) {
            tk_log_message(1, "odb_record::get_vartype: Got pure date");
            reserved = 2;
        }
        return VT_DATE;
    case DBTYPE_DBTIME:
    case DBTYPE_DBTIME2:
        if (pure_values_allowed()) {
            tk_log_message(1, "odb_record::get_vartype: Got pure time");
            reserved = 3;
        }
        return VT_DATE;
    case DBTYPE_DBTIMESTAMP:
    case DBTYPE_DBTIMESTAMPOFFSET:
    case 212:
        tk_log_message(1, "odb_record::get_vartype: Got datetime/timestamp");
        reserved = 1;
        return VT_DATE;
    case DBTYPE_XML:
        tk_log_message(1, "Got DBTYPE_XML, set dw_reserved = 11");
        reserved = 11;
        return VT_BSTR;
    case DBTYPE_GUID:
        reserved = 1;
        return VT_BSTR;
    case DBTYPE_BSTR:
    case DBTYPE_STR:
    case DBTYPE_WSTR:
    // sql_variant values arrive as their text; read as bytes they would be parsed as
    // hexadecimal and lost.
    case DBTYPE_VARIANT:
    case DBTYPE_SQLVARIANT:
        return VT_BSTR;
    default:
        return ole_variant::vt_byte_array;
    }
}

std::unique_ptr<odb_field> odb_record::get_field(const DBCOLUMNINFO& column,
                                                 const std::wstring& name, std::u16string_view text,
                                                 DBLENGTH length) {
    if (tk_logger::pointer() != nullptr && tk_logger::ref().enabled() &&
        tk_logger::ref().threshold() <= 1) {
        const std::wstring wide = tk_utf16_to_wstring(text);
        tk_log_wmessage(1, L"odb_record::get_field(%d, '%ls')", static_cast<int>(length),
                        wide.c_str());
        if (length > 7) {
            unsigned char b[8];
            std::memcpy(b, text.data(), 8);
            tk_log_message(1, "binary buffer=%02X %02X %02X %02X %02X %02X %02X %02X", b[0], b[1],
                           b[2], b[3], b[4], b[5], b[6], b[7]);
        }
    }
    std::int32_t reserved = 0;
    const VARTYPE vt = get_vartype(column.wType, column.ulColumnSize, column.dwFlags, reserved);
    const auto column_size = static_cast<std::uint32_t>(column.ulColumnSize);
    const auto text_size = static_cast<std::uint32_t>(length);
    std::unique_ptr<odb_field> field;
    if (text.empty()) {
        field = vt == VT_BSTR ? std::make_unique<odb_field>(name, 0, ole_variant(std::u16string()),
                                                            false, false)
                              : std::make_unique<odb_field>(name, 0, ole_variant(), false, false);
    } else if (column.wType == DBTYPE_DATE || column.wType == DBTYPE_DBTIMESTAMP ||
               column.wType == 212) {
        field = std::make_unique<odb_field>(
            name, column_size, ole_variant(ole_date(tk_utf16_to_wstring(text))), false, false);
    } else if (column.wType == DBTYPE_GUID && text.size() > 1) {
        tk_log_message(1, "Processing GUID");
        tk_log_message(1, "len=%d, little preprocessing...", static_cast<int>(text.size()));
        // Providers write GUIDs in braces; a GUID without them is taken as it is.
        std::u16string_view inner = text;
        if (inner.front() == u'{' && inner.back() == u'}') {
            inner = inner.substr(1, inner.size() - 2);
        }
        field = std::make_unique<odb_field>(name, column_size, ole_variant(std::u16string(inner)),
                                            false, false);
    } else if (vt == VT_BSTR) {
        field = std::make_unique<odb_field>(name, text_size, ole_variant(std::u16string(text)),
                                            false, false);
    } else if (ole_variant::is_byte_array(vt)) {
        field = std::make_unique<odb_field>(
            name, text_size,
            ole_variant::from_wstring(tk_utf16_to_wstring(text), ole_variant::vt_byte_array), false,
            false);
    } else {
        field = std::make_unique<odb_field>(
            name, text_size, ole_variant::from_wstring(tk_utf16_to_wstring(text), vt), false,
            false);
    }
    tk_log_wmessage(1, L"odb_field::ctor(%ls,%d)", name.c_str(), static_cast<int>(field->size));
    return field;
}

odb_record::odb_record(unsigned columns, const BYTE* row_buffer, const DBCOLUMNINFO* info,
                       const DBBINDING* bindings, const std::vector<std::wstring>* names,
                       const std::vector<odb_long_value>& long_values)
    : columns(columns), row_buffer(row_buffer), info(info), bindings(bindings) {
    tk_log_message(1, "odb_record::ctor(size=%d)", static_cast<int>(columns));
    tk_check(row_buffer != nullptr, "odb_rec", 72);
    tk_check(bindings != nullptr, "odb_rec", 73);
    reserve(columns);
    for (unsigned i = 0; i < columns; ++i) {
        const DBCOLUMNINFO& column = info[i];
        // Where this column's status, length and value are: its place in the row buffer, or
        // the slot its whole value was read into.
        const BYTE* status_at = row_buffer + bindings[i].obStatus;
        const BYTE* length_at = row_buffer + bindings[i].obLength;
        const BYTE* value_at = row_buffer + bindings[i].obValue;
        for (const odb_long_value& long_value : long_values) {
            if (long_value.column == i) {
                status_at = long_value.slot;
                length_at = long_value.slot + 4;
                value_at = long_value.slot + 12;
            }
        }
        DBSTATUS status;
        std::memcpy(&status, status_at, sizeof status);
        const std::wstring name = names != nullptr ? (*names)[i] : column_name(column);
        std::unique_ptr<udb_field> field;
        if (status == DBSTATUS_S_OK) {
            DBLENGTH length;
            std::memcpy(&length, length_at, sizeof length);
            tk_log_message(1, "offset=%d", static_cast<int>(bindings[i].obValue));
            tk_log_message(1, "type1=%d, type2=%d", column.wType, bindings[i].wType);
            tk_log_message(1, "Field #%d - OK, length=%d", static_cast<int>(i),
                           static_cast<int>(length));
            if (column.wType == DBTYPE_BYTES) {
                const auto blob_len = static_cast<std::uint32_t>(length);
                tk_log_message(1, "Processing VT_BLOB: blob_len=%d", static_cast<int>(blob_len));
                field = std::make_unique<odb_field>(name, blob_len, ole_variant(blob_len, value_at),
                                                    false, false);
            } else {
                std::u16string text(static_cast<std::size_t>(length / sizeof(char16_t)), u'\0');
                std::memcpy(text.data(), value_at, text.size() * sizeof(char16_t));
                field = get_field(column, name, text, length);
                if (tk_logger::pointer() != nullptr && tk_logger::ref().enabled() &&
                    tk_logger::ref().threshold() <= 1) {
                    tk_log_wmessage(1, L"\trow_buffer=%ls", tk_utf16_to_wstring(text).c_str());
                }
            }
        } else if (status == DBSTATUS_S_TRUNCATED) {
            tk_log_message(1, "Field #%d - TRUNCATED", static_cast<int>(i));
            // An empty value here would be written as NULL: the row is refused instead.
            throw tk_exception(L"The value of column '" + name + L"' could not be read in full.",
                               0);
        } else {
            tk_log_message(1, "Field #%d - FAILED, status code=%08X", static_cast<int>(i),
                           static_cast<unsigned>(status));
            field = std::make_unique<odb_field>(name, 0, ole_variant(), false, false);
            tk_log_message(1, "\t<NULL>");
        }
        push_back(std::move(field));
    }
}

odb_record::~odb_record() = default;
