// Records from rows.
#include "MSS/odb_rec.h"

#include "MSS/mss_engi.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"

#include <cstdint>
#include <cstring>
#include <utility>
#include <limits>

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

// Values sit at unaligned offsets after a column whose place has an odd size; those few are
// copied into `spare` so that the text is read as UTF-16 without a misaligned access. Every
// other value is read where it is.
std::u16string_view buffer_text(const BYTE* at, std::size_t units, std::u16string& spare) {
    if (reinterpret_cast<std::uintptr_t>(at) % alignof(char16_t) == 0) {
        return {reinterpret_cast<const char16_t*>(at), units};
    }
    spare.resize(units);
    std::memcpy(spare.data(), at, units * sizeof(char16_t));
    return spare;
}

// Whether every unit is ASCII, so that narrowing unit by unit is the UTF-8 form.
bool is_ascii(std::u16string_view text) {
    char16_t any = 0;
    for (const char16_t unit : text) {
        any |= unit;
    }
    return any < 0x80;
}

// The UTF-8 form of `text` in `out`, which is reused from value to value so that parsing a
// number or date allocates nothing. Providers send those as ASCII, narrowed here unit by unit in
// the same pass that looks for the end; anything else takes the general conversion.
// `until_nul`: numbers and dates end at their first NUL, as their text form always did.
void narrow_to_utf8(std::u16string_view text, std::string& out, bool until_nul) {
    out.resize(text.size());
    char* to = out.data();
    for (const char16_t unit : text) {
        if (unit >= 0x80) {
            out.clear();
            tk_append_utf8(out, until_nul ? text.substr(0, text.find(u'\0')) : text);
            return;
        }
        if (unit == 0 && until_nul) {
            break;
        }
        *to++ = static_cast<char>(unit);
    }
    out.resize(static_cast<std::size_t>(to - out.data()));
}

// The buffer the numbers, dates and hexadecimal bytes of one thread's rows are narrowed into;
// one that a long value made large is let go after use.
std::string& narrow_buffer() {
    thread_local std::string buffer;
    return buffer;
}

void release_if_large(std::string& buffer) {
    constexpr std::size_t kept = 4096;
    if (buffer.capacity() > kept) {
        std::string().swap(buffer);
    }
}

// Lets the narrowing buffer go (when large) once the value made from it is returned: the value
// is then built straight in the caller's place rather than in a local moved out.
struct release_when_done {
    std::string& buffer;
    ~release_when_done() { release_if_large(buffer); }
};

// A text value straight from the row buffer: the BSTR is the one copy, NULs included.
ole_variant text_value(std::u16string_view text) {
    ole_variant value;
    if (text.size() > std::numeric_limits<unsigned int>::max() / 2) {
        throw tk_mail_assertion("odb_rec", 128);
    }
    value.var.bstrVal =
        SysAllocStringLen(text.empty() ? u"" : text.data(), static_cast<unsigned int>(text.size()));
    if (value.var.bstrVal == nullptr) {
        throw tk_mail_assertion("odb_rec", 128);
    }
    value.var.vt = VT_BSTR;
    return value;
}

} // namespace

std::wstring odb_field::to_wstring() const {
    tk_log_message(1, "odb_field::to_wstring");
    return ole_variant::to_wstring();
}

VARTYPE odb_record::get_vartype(DBTYPE type, DBLENGTH, DBCOLUMNFLAGS, std::int32_t& reserved) {
    if (tk_log_wanted(1)) {
        tk_log_message(1, "odb_record::get_vartype(%d)", type);
    }
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
        if (tk_log_wanted(1)) {
            tk_log_message(1, "odb_record::get_vartype: Got datetime/timestamp");
        }
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
    std::uint32_t size = 0;
    ole_variant value = get_value(column, text, length, size);
    return std::make_unique<odb_field>(name, size, std::move(value), false, false);
}

bool odb_record::keeps_text_as_is(const DBCOLUMNINFO& column, const DBBINDING& binding) {
    if (binding.wType != DBTYPE_WSTR ||
        (column.wType != DBTYPE_WSTR && column.wType != DBTYPE_STR)) {
        return false;
    }
    std::int32_t reserved = 0;
    return get_vartype(column.wType, column.ulColumnSize, column.dwFlags, reserved) == VT_BSTR;
}

ole_variant odb_record::get_value(const DBCOLUMNINFO& column, std::u16string_view text,
                                  DBLENGTH length, std::uint32_t& size) {
    if (tk_log_wanted(1)) {
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
    if (text.empty()) {
        // A value of no characters or no bytes is an empty value, never NULL.
        size = 0;
        return vt == VT_BSTR                    ? text_value(text)
               : ole_variant::is_byte_array(vt) ? ole_variant(0u, nullptr)
                                                : ole_variant();
    }
    if (column.wType == DBTYPE_DATE || column.wType == DBTYPE_DBTIMESTAMP || column.wType == 212) {
        std::string& utf8 = narrow_buffer();
        const release_when_done release{utf8};
        narrow_to_utf8(text, utf8, true);
        size = column_size;
        return ole_variant(ole_date(utf8));
    }
    if (column.wType == DBTYPE_GUID && text.size() > 1) {
        if (tk_log_wanted(1)) {
            tk_log_message(1, "Processing GUID");
            tk_log_message(1, "len=%d, little preprocessing...", static_cast<int>(text.size()));
        }
        // Providers write GUIDs in braces; a GUID without them is taken as it is.
        std::u16string_view inner = text;
        if (inner.front() == u'{' && inner.back() == u'}') {
            inner = inner.substr(1, inner.size() - 2);
        }
        size = column_size;
        return text_value(inner);
    }
    size = text_size;
    if (vt == VT_BSTR) {
        return text_value(text);
    }
    if (ole_variant::is_byte_array(vt)) {
        // Hexadecimal digits, read whole (NULs and all): ASCII narrows to the same digits.
        if (!is_ascii(text)) {
            return ole_variant::from_wstring(tk_utf16_to_wstring(text), ole_variant::vt_byte_array);
        }
        std::string& digits = narrow_buffer();
        const release_when_done release{digits};
        narrow_to_utf8(text, digits, false);
        return ole_variant::from_string(digits, ole_variant::vt_byte_array);
    }
    std::string& utf8 = narrow_buffer();
    const release_when_done release{utf8};
    narrow_to_utf8(text, utf8, true);
    return ole_variant::from_string(utf8, vt);
}

void odb_record::place(unsigned i, const std::wstring& name, bool named, std::uint32_t size,
                       ole_variant&& value) {
    std::unique_ptr<udb_field>& slot = (*this)[i];
    if (slot == nullptr) {
        slot = std::make_unique<odb_field>(name, size, std::move(value), false, false);
    } else {
        static_cast<ole_variant&>(*slot) = std::move(value);
        slot->size = size;
        if (!named && slot->name != name) {
            slot->name = name;
        }
    }
    if (tk_log_wanted(1)) {
        tk_log_wmessage(1, L"odb_field::ctor(%ls,%d)", name.c_str(), static_cast<int>(slot->size));
    }
}

odb_record::odb_record(unsigned columns, const BYTE* row_buffer, const DBCOLUMNINFO* info,
                       const DBBINDING* bindings, const std::vector<std::wstring>* names,
                       const std::vector<odb_long_value>& long_values, std::uint64_t names_naming) {
    tk_log_message(1, "odb_record::ctor(size=%d)", static_cast<int>(columns));
    read(columns, row_buffer, info, bindings, names, long_values, names_naming);
}

void odb_record::read(unsigned n_columns, const BYTE* buffer, const DBCOLUMNINFO* column_info,
                      const DBBINDING* column_bindings, const std::vector<std::wstring>* names,
                      const std::vector<odb_long_value>& long_values, std::uint64_t names_naming) {
    tk_check(buffer != nullptr, "odb_rec", 72);
    tk_check(column_bindings != nullptr, "odb_rec", 73);
    if (names == nullptr) {
        names_naming = 0;
    }
    // The fields of the last row read in full have the names already; a row that fails on
    // the way leaves the record without a naming, so that the next row names every field.
    const bool named = names_naming != 0 && naming == names_naming && size() == n_columns;
    naming = 0;
    columns = n_columns;
    row_buffer = buffer;
    info = column_info;
    bindings = column_bindings;
    resize(columns);
    const bool trace = tk_log_wanted(1);
    std::wstring unnamed;
    std::u16string spare;
    for (unsigned i = 0; i < columns; ++i) {
        const DBCOLUMNINFO& column = info[i];
        // Where this column's status, length and value are: its place in the row buffer, or
        // the slot its whole value was read into.
        const BYTE* status_at = row_buffer + bindings[i].obStatus;
        const BYTE* length_at = row_buffer + bindings[i].obLength;
        const BYTE* value_at = row_buffer + bindings[i].obValue;
        BSTR* whole_text = nullptr;
        for (const odb_long_value& long_value : long_values) {
            if (long_value.column == i && long_value.text != nullptr) {
                whole_text = long_value.text;
            } else if (long_value.column == i) {
                status_at = long_value.slot;
                length_at = long_value.slot + 4;
                value_at = long_value.slot + 12;
            }
        }
        const std::wstring& name = names != nullptr ? (*names)[i] : (unnamed = column_name(column));
        if (whole_text != nullptr && *whole_text != nullptr) {
            ole_variant value;
            value.var.vt = VT_BSTR;
            value.var.bstrVal = std::exchange(*whole_text, nullptr);
            place(i, name, named, SysStringByteLen(value.var.bstrVal), std::move(value));
            continue;
        }
        DBSTATUS status;
        std::memcpy(&status, status_at, sizeof status);
        if (status == DBSTATUS_S_OK) {
            DBLENGTH length;
            std::memcpy(&length, length_at, sizeof length);
            if (trace) {
                tk_log_message(1, "offset=%d", static_cast<int>(bindings[i].obValue));
                tk_log_message(1, "type1=%d, type2=%d", column.wType, bindings[i].wType);
                tk_log_message(1, "Field #%d - OK, length=%d", static_cast<int>(i),
                               static_cast<int>(length));
            }
            if (column.wType == DBTYPE_BYTES) {
                const auto blob_len = static_cast<std::uint32_t>(length);
                if (trace) {
                    tk_log_message(1, "Processing VT_BLOB: blob_len=%d",
                                   static_cast<int>(blob_len));
                }
                place(i, name, named, blob_len, ole_variant(blob_len, value_at));
            } else {
                const std::u16string_view text = buffer_text(
                    value_at, static_cast<std::size_t>(length / sizeof(char16_t)), spare);
                std::uint32_t size = 0;
                ole_variant value = get_value(column, text, length, size);
                place(i, name, named, size, std::move(value));
                if (trace) {
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
            place(i, name, named, 0, ole_variant());
            tk_log_message(1, "\t<NULL>");
        }
    }
    naming = names_naming;
}

odb_record::~odb_record() = default;
