// MySQL type mapping and value literals.
#include "SQL/sql_util.h"

#include "SQL/sql_engi.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "UDB/udb_field.h"
#include "UDB/udb_rule.h"
#include "UDB/udb_schema.h"
#include "UDB/udb_util.h"
#include "OLE/ole_guid.h"

#include <algorithm>
#include <cctype>
#include <cwchar>
#include <initializer_list>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace {

sql_engine& engine() {
    return tk_singleton<sql_engine>::ref();
}

// The subtype without the marks that only refine it: 0x10 is an empty-string default on a
// text column and a time-zone offset on a date column.
int32_t subtype_kind(const t_ftd& column) {
    return column.dw_reserved & ~0x10;
}

bool equals_any_no_case(const std::wstring& text, std::initializer_list<const wchar_t*> words) {
    for (const wchar_t* word : words) {
        if (udb_equal_no_case(text, word)) {
            return true;
        }
    }
    return false;
}

std::wstring with_size(const wchar_t* name, long long size) {
    wchar_t buffer[64];
    std::swprintf(buffer, 64, L"%ls(%lld)", name, size);
    return buffer;
}

std::wstring with_fsp(const wchar_t* name, int fsp, bool name_only) {
    if (name_only || fsp <= 0) {
        return name;
    }
    return with_size(name, fsp);
}

// How a date column is created: its type, fractional-second digits and current-date default.
struct date_plan {
    enum kind_t { char19, date_time, timestamp, date_only, time_only } kind;
    int fsp = 0;
    bool current_default = false; // the default is the current local date, time or both
    bool utc_default = false;     // the default is the current UTC date, time or both
};

// SQL Server's current-time functions in UTC: their value must never become local time.
bool is_utc_now_function(const std::wstring& text) {
    return equals_any_no_case(text, {L"getutcdate()", L"sysutcdatetime()"});
}

date_plan plan_date_column(const t_ftd& column) {
    const sql_engine& e = engine();
    const int32_t subtype = subtype_kind(column);
    const std::wstring def = column.default_value.get_type() > VT_NULL
                                 ? column.default_value.to_wstring()
                                 : std::wstring();
    tk_log_wmessage(1, L"Got date def.value: '%ls'", def.c_str());
    // The column's subtype marks a function default of any kind; a UTC one is told by its text.
    const bool utc_default = is_utc_now_function(def);
    const bool now_default =
        !utc_default &&
        (subtype == 9 || subtype == 11 ||
         equals_any_no_case(def, {L"NOW()", L"sysdate", L"getdate()", L"sysdatetime()",
                                  L"CURRENT_TIMESTAMP", L"sysdate()"}));
    const bool date_default = !utc_default && (subtype == 10 || udb_equal_no_case(def, L"date()"));
    const int32_t kind = subtype & 3;

    date_plan plan{date_plan::char19};
    // Fractional seconds are kept from 5.6.4 on; MySQL holds at most 6 digits.
    if (e.version >= 0x50604) {
        plan.fsp = std::clamp(column.scale, 0, 6);
    }
    if (utc_default) {
        // Only an expression default carries a UTC time, and only on a DATETIME column.
        plan.utc_default = true;
        plan.kind = kind == 2   ? date_plan::date_only
                    : kind == 3 ? date_plan::time_only
                                : date_plan::date_time;
        return plan;
    }
    if (now_default && (kind == 1 || kind == 0)) {
        tk_log_message(2, "Customize date type due to NOW() def.value");
        // DATETIME holds dates before 1970 and takes a current-time default from 5.6.5 on;
        // before that only TIMESTAMP takes one.
        plan.kind = e.version >= 0x50605 ? date_plan::date_time : date_plan::timestamp;
        plan.current_default = true;
        return plan;
    }
    if (date_default || (now_default && kind == 2)) {
        tk_log_message(2, "Customize date type due to date() def.value");
        plan.kind = date_plan::date_only;
        plan.current_default = true;
        return plan;
    }
    if (now_default && kind == 3) {
        plan.kind = date_plan::time_only;
        plan.current_default = true;
        return plan;
    }
    switch (kind) {
    case 0:
        plan.kind = date_plan::char19;
        break;
    case 1:
        if (e.version >= 0x50604) {
            tk_log_message(1, "MySQL ver >= 5.6.4, modern datetime can be used");
        }
        plan.kind = date_plan::date_time;
        break;
    case 2:
        tk_log_message(2, "Got pure date");
        plan.kind = date_plan::date_only;
        break;
    default:
        if (e.version >= 0x50604) {
            tk_log_message(1, "MySQL ver >= 5.6.4, modern time can be used");
        }
        plan.kind = date_plan::time_only;
        break;
    }
    return plan;
}

std::wstring date_type_text(const t_ftd& column, bool name_only) {
    const date_plan plan = plan_date_column(column);
    switch (plan.kind) {
    case date_plan::char19:
        return name_only ? L"CHAR" : L"CHAR(19)";
    case date_plan::date_time:
        return with_fsp(L"DATETIME", plan.fsp, name_only);
    case date_plan::timestamp:
        return with_fsp(L"TIMESTAMP", plan.fsp, name_only);
    case date_plan::date_only:
        return L"DATE";
    case date_plan::time_only:
        return with_fsp(L"TIME", plan.fsp, name_only);
    }
    return L"DATETIME";
}

// The longest VARCHAR the server accepts in the engine's character set, in characters.
uint32_t varchar_limit(const sql_engine& e) {
    if (e.version < 0x50003) {
        return 21845; // older servers convert a long VARCHAR themselves
    }
    // 65535 bytes per row, two of them for the length.
    return 65533u / static_cast<uint32_t>(sql_charset_max_bytes(e.effective_charset(e.charset)));
}

std::wstring text_type_text(const t_ftd& column, bool name_only) {
    tk_log_message(1, "process as text");
    const sql_engine& e = engine();
    const int32_t subtype = subtype_kind(column);
    if (subtype == 2 || subtype == 8) {
        tk_log_message(2, "process VT_BSTR as geometry");
        return L"geometry";
    }
    const uint32_t size = static_cast<uint32_t>(column.size);
    bool medium = size >= 21846 && size <= 5592405;
    if (size >= 1 && size <= 21845) {
        if (size <= varchar_limit(e)) {
            std::wstring text = name_only ? std::wstring(L"VARCHAR") : with_size(L"VARCHAR", size);
            if (e.case_sensitive) {
                tk_log_message(2, "settings BINARY for VARCHAR");
                text += L" BINARY";
            } else {
                tk_log_message(2, "case insensitive VARCHAR");
            }
            return text;
        }
        // The character set takes more bytes per character than a VARCHAR of this size has.
        tk_log_message(2, "VARCHAR(%u) is too long for the character set, MEDIUMTEXT instead",
                       size);
        medium = true;
    }
    if (medium) {
        if (e.case_sensitive) {
            tk_log_message(2, "settings BINARY for MEDIUMTEXT");
            return L"MEDIUMTEXT BINARY";
        }
        tk_log_message(2, "case insensitive MEDIUMTEXT");
        return L"MEDIUMTEXT";
    }
    return L"LONGTEXT";
}

std::wstring blob_type_text(const t_ftd& column, bool name_only) {
    tk_log_message(1, "process as blob");
    const uint32_t size = static_cast<uint32_t>(column.size);
    if (size == 0 || size > 16777215) {
        return L"LONGBLOB";
    }
    if (size <= 255) {
        return name_only ? std::wstring(L"VARBINARY") : with_size(L"VARBINARY", size);
    }
    if (size <= 65535) {
        return L"BLOB";
    }
    return L"MEDIUMBLOB";
}

bool starts_with(const std::wstring& text, const wchar_t* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// Whole-number defaults must read back to the same text.
template <class T> bool integer_text_is_exact(const std::wstring& text, const char* format) {
    const std::string narrow = tk_to_utf8(text);
    errno = 0;
    char* end = nullptr;
    T value{};
    if constexpr (std::is_same_v<T, uint64_t>) {
        if (!narrow.empty() && narrow[0] == '-') {
            return false;
        }
        value = std::strtoull(narrow.c_str(), &end, 10);
    } else {
        value = static_cast<T>(std::strtoll(narrow.c_str(), &end, 10));
    }
    if (errno == ERANGE) {
        return false;
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, format, value);
    return narrow == buffer;
}

bool int32_text_is_exact(const std::wstring& text) {
    const std::string narrow = tk_to_utf8(text);
    errno = 0;
    const long long value = std::strtoll(narrow.c_str(), nullptr, 10);
    const int32_t clamped =
        static_cast<int32_t>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%" PRId32, clamped);
    return narrow == buffer;
}

bool is_whole_number_type(VARTYPE vt) {
    switch (vt) {
    case VT_I2:
    case VT_I4:
    case VT_BOOL:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
        return true;
    default:
        return false;
    }
}

const char hex_digits[] = "0123456789ABCDEF";

void append_hex(std::string& out, const uint8_t* bytes, unsigned count) {
    const std::size_t at = out.size();
    out.resize(at + 2 + 2 * static_cast<std::size_t>(count));
    char* p = out.data() + at;
    *p++ = '0';
    *p++ = 'x';
    for (unsigned i = 0; i < count; ++i) {
        *p++ = hex_digits[bytes[i] >> 4];
        *p++ = hex_digits[bytes[i] & 0xF];
    }
}

// A byte text that may stand bare: 0x with hexadecimal digits, or decimal digits.
bool is_valid_blob_text(std::string_view text) {
    if (text.size() < 2) {
        return false;
    }
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        return std::all_of(text.begin() + 2, text.end(),
                           [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
    }
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool is_quoted_type(VARTYPE vt) {
    return vt == VT_DATE || vt == VT_BSTR;
}

bool is_blob_type(VARTYPE vt) {
    return vt == VT_BLOB || vt == VT_BLOB_OBJECT || vt == ole_variant::vt_byte_array;
}

// A quoted, escaped text literal ('' for an empty text); `Text` is UTF-8 or UTF-16.
template <class Text> void append_quoted(std::string& out, Text text) {
    out += '\'';
    append_escaped(out, text);
    out += '\'';
}

// A geometry value given as its well-known text; NULL for an empty text, never an empty
// geometry.
template <class Text> void append_geometry(std::string& out, Text text) {
    if (text.empty()) {
        out += "NULL";
        return;
    }
    out += "ST_GeomFromText('";
    append_escaped(out, text);
    out += "')";
}

// The literal of a text by value type, appended (the rules of to_mysql_str).
void append_text_literal(std::string& out, std::string_view text, VARTYPE vt) {
    if (vt == VT_EMPTY || vt == VT_NULL) {
        tk_log_message(1, "******* NULL VALUE ******");
        out += "NULL";
        return;
    }
    if (text.empty()) {
        out += "''";
        return;
    }
    if (vt == VT_DATE) {
        const ole_date date{std::string(text)};
        if (!date.is_valid()) {
            // Not a date: the server judges the text as it stands.
            append_quoted(out, text);
            return;
        }
        out += '\'';
        date.append_string(out, 6);
        out += '\'';
        return;
    }
    if (is_blob_type(vt)) {
        tk_log_message(1, "GOT BLOB");
        if (is_valid_blob_text(text)) {
            tk_log_message(1, "BLOB IS VALID");
            out += text;
            return;
        }
        append_quoted(out, text);
        return;
    }
    // Only a number may stand bare; any other text of a numeric type is quoted and escaped.
    if (!is_quoted_type(vt) && sql_is_number_text(text)) {
        out += text;
        return;
    }
    append_quoted(out, text);
}

bool value_is_missing(const ole_variant& value) {
    return value.get_type() == VT_EMPTY || value.get_type() == VT_NULL;
}

std::u16string_view bstr_view(const ole_variant& value) {
    const BSTR text = value.var.bstrVal;
    if (text == nullptr) {
        return {};
    }
    return std::u16string_view(text, SysStringLen(text));
}

// A text column's literal: geometry through ST_GeomFromText, uniqueidentifier values as their
// GUID text, every other value as an escaped text.
void append_text_column_literal(std::string& out, const udb_field& field, const t_ftd& column) {
    const int32_t subtype = subtype_kind(column);
    const bool geometry = subtype == 2 || subtype == 8;
    if (value_is_missing(field)) {
        // NULL whatever the column: a missing geometry is NULL too, never an empty geometry.
        out += "NULL";
        return;
    }
    if (field.get_type() == VT_BSTR) {
        const std::u16string_view text = bstr_view(field);
        if (geometry) {
            append_geometry(out, text);
            return;
        }
        if (subtype == 1) {
            const ole_guid_extractor guid{field.to_wstring()};
            if (guid.valid) {
                tk_log_message(1, "BSTR IS AN GUID");
                out += '\'';
                out += guid.get_str();
                out += '\'';
                return;
            }
        }
        append_quoted(out, text);
        return;
    }
    // A number in a text column is written with its own type, so the server stores its usual
    // text (2.5) rather than the value layer's long form (2.5000000000000000e+00), which a
    // narrow column would refuse.
    if (!geometry && ole_variant::is_numeric(field.get_type())) {
        append_mysql_str(out, field);
        return;
    }
    // Any other value in a text column: its text, quoted.
    const std::string text = field.to_string();
    if (geometry) {
        append_geometry(out, std::string_view(text));
        return;
    }
    append_quoted(out, std::string_view(text));
}

} // namespace

// ---- Type mapping -------------------------------------------------------------------------------

std::wstring get_sql_native_type2(const t_ftd& column, bool name_only) {
    tk_log_wmessage(1, L"get_sql_native_type2: %ls(%d,%d,%d)", column.name.c_str(), column.type,
                    column.size, column.dw_reserved);
    switch (column.type) {
    case VT_I2:
        return L"SMALLINT";
    case VT_I4:
    case VT_INT:
        return L"INT";
    case VT_R4:
        return L"FLOAT";
    case VT_R8:
        return L"DOUBLE";
    case VT_CY:
        return name_only ? L"DECIMAL" : L"DECIMAL(19,4)";
    case VT_BOOL:
        return name_only ? L"TINYINT" : L"TINYINT(1)";
    case VT_DECIMAL: {
        tk_log_message(1, "Scale/precision for decimal column: (%d, %d)", column.scale,
                       column.prec);
        if (column.prec == 0) {
            return L"DOUBLE";
        }
        if (name_only) {
            return L"DECIMAL";
        }
        wchar_t buffer[64];
        std::swprintf(buffer, 64, L"DECIMAL(%d,%d)", column.prec, column.scale);
        return buffer;
    }
    case VT_I1:
        return L"TINYINT";
    case VT_UI1:
        return L"TINYINT UNSIGNED";
    case VT_UI2:
        return L"SMALLINT UNSIGNED";
    case VT_UI4:
    case VT_UINT:
        return L"INT UNSIGNED";
    case VT_I8:
        return L"BIGINT";
    case VT_UI8:
        return L"BIGINT UNSIGNED";
    case VT_DATE:
        return date_type_text(column, name_only);
    case VT_BSTR:
        return text_type_text(column, name_only);
    case VT_BLOB:
    case ole_variant::vt_byte_array:
        return blob_type_text(column, name_only);
    default:
        throw tk_mail_assertion("sql_util", 604);
    }
}

namespace {

// NUMERIC, DEC or FIXED (in any letter case), the other names of DECIMAL.
bool is_decimal_synonym(const std::wstring& type) {
    const std::wstring word = tk_ascii_upper_copy(type.substr(0, type.find_first_of(L" (")));
    return word == L"NUMERIC" || word == L"DEC" || word == L"FIXED";
}

} // namespace

std::wstring get_sql_native_type1(const std::wstring& name, int64_t length, int32_t scale,
                                  int32_t precision) {
    tk_log_message(1, "get_sql_native_type1");
    // A type mapping may name its type in any letter case, as the server reads it; what decides
    // on its length here and on its character set (sql_takes_charset) reads the upper case.
    std::wstring result = name;
    for (wchar_t& c : result) {
        c = tk_ascii_upper(c);
    }
    wchar_t buffer[64];
    // The national forms (NCHAR, NVARCHAR, NATIONAL VARCHAR, NCHAR VARYING) need their length
    // as the plain ones do.
    std::wstring plain = result;
    if (starts_with(plain, L"NATIONAL ")) {
        plain.erase(0, 9);
    } else if (starts_with(plain, L"NCHAR") || starts_with(plain, L"NVARCHAR")) {
        plain.erase(0, 1);
    }
    if (starts_with(plain, L"VARCHAR") || starts_with(plain, L"CHAR") ||
        starts_with(result, L"VARBINARY") || starts_with(result, L"BINARY")) {
        // MySQL refuses VARBINARY without a length, as it refuses VARCHAR.
        std::swprintf(buffer, 64, L"(%d)", static_cast<int>(length));
        result += buffer;
    } else if (starts_with(result, L"DECIMAL")) {
        std::swprintf(buffer, 64, L"(%d,%d)", precision, scale);
        result += buffer;
    } else if (precision > 0 && is_decimal_synonym(result) &&
               result.find(L'(') == std::wstring::npos) {
        // Bare, the server reads them as DECIMAL(10,0) and rounds every fraction away.
        std::swprintf(buffer, 64, L"(%d,%d)", precision, scale);
        result.insert(std::min(result.find(L' '), result.size()), buffer);
    }
    tk_log_wmessage(1, L"buf=%ls", result.c_str());
    return result;
}

std::wstring make_mysql_def_val(const t_ftd* column) {
    if (column == nullptr) {
        throw tk_mail_assertion("sql_util", 53);
    }
    const std::wstring text = column->default_value.get_type() > VT_NULL
                                  ? column->default_value.to_wstring()
                                  : std::wstring();
    tk_log_wmessage(1, L"make_mysql_def_val(%d,%ls)", column->type, text.c_str());
    if (text == L"to_char(sysdate,'yyyy-mm-dd hh24:mi:ss')") {
        tk_log_message(3, "Cannot set def.value as current timetsamp for varchar column");
        return {};
    }
    if (column->type == VT_DATE) {
        const date_plan plan = plan_date_column(*column);
        // The current date alone and the current time alone are expression defaults (below).
        if (plan.current_default &&
            (plan.kind == date_plan::date_time || plan.kind == date_plan::timestamp)) {
            tk_log_message(2, "Got NOW() def.value");
            return plan.fsp > 0 ? with_size(L"CURRENT_TIMESTAMP", plan.fsp)
                                : std::wstring(L"CURRENT_TIMESTAMP");
        }
    }
    const std::wstring expression = sql_expression_default(*column);
    if (!expression.empty()) {
        if (engine().accepts_expression_defaults()) {
            return expression;
        }
        tk_log_wmessage(2, L"The server takes no expression default: default %ls left out",
                        text.c_str());
        return {};
    }
    if (column->type == VT_BSTR) {
        const int32_t subtype = subtype_kind(*column);
        if ((column->dw_reserved & 0x10) != 0) {
            // The source's default is the empty string.
            return L"''";
        }
        if (!text.empty() && (subtype == 2 || subtype == 8)) {
            tk_log_message(2, "A geometry column gets no default");
            return {};
        }
        if (!text.empty()) {
            tk_log_wmessage(1, L"Got BSTR def value: %ls", text.c_str());
            return to_mysql_wstr(text, VT_BSTR);
        }
    }
    if (text.empty()) {
        tk_log_message(1, "Got empty def value");
        return {};
    }
    if (udb_equal_no_case(text, L"newid()")) {
        tk_log_message(1, "newid() is not supported");
        return {};
    }
    if (is_whole_number_type(column->type)) {
        if (int32_text_is_exact(text)) {
            tk_log_message(1, "Int/long default value is correct");
            return text;
        }
        return {};
    }
    if (column->type == VT_I8) {
        if (integer_text_is_exact<int64_t>(text, "%" PRId64)) {
            tk_log_message(1, "__int64 default value is correct");
            return text;
        }
        return {};
    }
    if (column->type == VT_UI8) {
        if (integer_text_is_exact<uint64_t>(text, "%" PRIu64)) {
            tk_log_message(1, "unsigned __int64 default value is correct");
            return text;
        }
        return {};
    }
    if (column->type == VT_R4 || column->type == VT_R8 || column->type == VT_CY ||
        column->type == VT_DECIMAL) {
        // The text stands bare in the statement, so it must be a number.
        const std::string narrow = tk_to_utf8(text);
        if (!sql_is_number_text(narrow)) {
            return {};
        }
        const double value = std::strtod(narrow.c_str(), nullptr);
        if (value != 0.0) {
            return text;
        }
        const bool zero_text = text.find_first_not_of(L"eE-+.,0") == std::wstring::npos;
        return zero_text ? text : std::wstring();
    }
    if (column->type == VT_DATE) {
        tk_log_message(2, "Got DATE def value");
        if (equals_any_no_case(text, {L"getdate()", L"sysdate()", L"sysdate"})) {
            tk_log_message(1, "Special processing for getdate()");
            return L"CURRENT_TIMESTAMP";
        }
        ole_date date{text};
        const int32_t kind = subtype_kind(*column) & 3;
        if (kind == 2) {
            date.kind = ole_date::kind_date;
        } else if (kind == 3) {
            date.kind = ole_date::kind_time;
        }
        const std::string canonical = date.is_valid() ? date.to_string(6) : std::string();
        tk_log_message(2, "After canonization: %s", canonical.c_str());
        if (canonical.empty()) {
            return {};
        }
        return L"\"" + tk_utf8_to_wstring(canonical) + L"\"";
    }
    return {};
}

std::wstring sql_expression_default(const t_ftd& column) {
    if (column.type == VT_BSTR) {
        const int32_t subtype = subtype_kind(column);
        if (column.default_value.get_type() <= VT_NULL || subtype == 2 || subtype == 8 ||
            (column.dw_reserved & 0x10) != 0) {
            return {};
        }
        // SQL Server writes GUIDs in upper case, and so do the converted values; uuid() gives
        // lower case.
        const std::wstring text = column.default_value.to_wstring();
        return equals_any_no_case(text, {L"newid()", L"newsequentialid()"})
                   ? std::wstring(L"(upper(uuid()))")
                   : std::wstring();
    }
    if (column.type != VT_DATE) {
        return {};
    }
    const date_plan plan = plan_date_column(column);
    // A call with the column's fractional-second digits, in parentheses.
    auto call = [&plan](const wchar_t* name) {
        return L"(" + (plan.fsp > 0 ? with_size(name, plan.fsp) : name + std::wstring(L"()")) +
               L")";
    };
    if (plan.utc_default) {
        switch (plan.kind) {
        case date_plan::date_only:
            return L"(utc_date())";
        case date_plan::time_only:
            return call(L"utc_time");
        default:
            return call(L"utc_timestamp");
        }
    }
    if (!plan.current_default) {
        return {};
    }
    switch (plan.kind) {
    case date_plan::date_only:
        return L"(curdate())";
    case date_plan::time_only:
        return call(L"curtime");
    default:
        return {};
    }
}

VARTYPE get_vartype_of_native_type(const std::wstring& type, int64_t& size) {
    if (starts_with(type, L"VARCHAR") || starts_with(type, L"CHAR")) {
        if (!type.empty() && type.back() == L')') {
            const std::vector<std::wstring> pieces = tk_wstring::tokenize(type, L'(');
            if (pieces.size() >= 2) {
                size = std::wcstoll(pieces[1].c_str(), nullptr, 10);
            }
        }
        return VT_BSTR;
    }
    static const struct {
        const wchar_t* name;
        VARTYPE vt;
        int64_t size;
    } exact[] = {
        {L"BIT", VT_I1, 1},
        {L"TINYINT", VT_I1, 1},
        {L"TINYINT UNSIGNED", VT_UI1, 1},
        {L"SMALLINT", VT_I2, 2},
        {L"SMALLINT UNSIGNED", VT_UI2, 2},
        {L"INT", VT_I4, 4},
        {L"INT UNSIGNED", VT_UI4, 4},
        {L"BIGINT", VT_I8, 8},
        {L"BIGINT UNSIGNED", VT_UI8, 8},
        {L"DATE", VT_DATE, 8},
        {L"TIME", VT_DATE, 8},
        {L"DOUBLE", VT_R8, 8},
    };
    for (const auto& entry : exact) {
        if (type == entry.name) {
            size = entry.size;
            return entry.vt;
        }
    }
    if (starts_with(type, L"DECIMAL") || is_decimal_synonym(type)) {
        return VT_DECIMAL;
    }
    // Binary types keep their values as bytes: read as text, every byte that is no character
    // would be replaced.
    if (starts_with(type, L"VARBINARY") || starts_with(type, L"BINARY") ||
        (type.size() >= 4 && type.compare(type.size() - 4, 4, L"BLOB") == 0)) {
        return ole_variant::vt_byte_array;
    }
    if (type == L"FLOAT") {
        size = 4;
        return VT_R4;
    }
    return VT_BSTR;
}

std::wstring mysql_type_name(int code) {
    static std::map<int, std::wstring> names;
    if (names.empty()) {
        static const wchar_t* const table[] = {
            L"BINARY",     L"BIT",
            L"TINYINT",    L"TINYINT UNSIGNED",
            L"SMALLINT",   L"SMALLINT UNSIGNED",
            L"INT",        L"INT UNSIGNED",
            L"BIGINT",     L"BIGINT UNSIGNED",
            L"FLOAT",      L"DECIMAL",
            L"DOUBLE",     L"CHAR",
            L"VARBINARY",  L"VARCHAR",
            L"DATETIME",   L"DATE",
            L"TIME",       L"TIMESTAMP",
            L"LONGBLOB",   L"TINYBLOB",
            L"BLOB",       L"MEDIUMBLOB",
            L"TEXT",       L"LONGTEXT",
            L"MEDIUMTEXT", L"TINYTEXT",
        };
        for (int i = 0; i < 28; ++i) {
            names.emplace(i, table[i]);
        }
    }
    const auto found = names.find(code);
    if (found == names.end()) {
        tk_log_message(1, "Type %d wasn't found", code);
        return L"<Unknown type>";
    }
    return found->second;
}

namespace {

// LONG and LONG VARCHAR: the servers' other names of MEDIUMTEXT.
bool is_long_text(const std::wstring& upper) {
    return upper == L"LONG" || starts_with(upper, L"LONG VARCHAR");
}

} // namespace

bool sql_is_text_type(const std::wstring& type_text) {
    const std::wstring upper = tk_ascii_upper_copy(type_text);
    return is_long_text(upper) || starts_with(upper, L"CHAR") || starts_with(upper, L"VARCHAR") ||
           starts_with(upper, L"NCHAR") || starts_with(upper, L"NVARCHAR") ||
           starts_with(upper, L"TINYTEXT") || starts_with(upper, L"TEXT") ||
           starts_with(upper, L"MEDIUMTEXT") || starts_with(upper, L"LONGTEXT");
}

bool sql_is_lob_type(const std::wstring& type_text) {
    const std::wstring upper = tk_ascii_upper_copy(type_text);
    if (is_long_text(upper)) {
        return true;
    }
    for (const wchar_t* kind :
         {L"TINYTEXT", L"TEXT", L"MEDIUMTEXT", L"LONGTEXT", L"TINYBLOB", L"BLOB", L"MEDIUMBLOB",
          L"LONGBLOB", L"GEOMETRY", L"POINT", L"LINESTRING", L"POLYGON", L"MULTIPOINT",
          L"MULTILINESTRING", L"MULTIPOLYGON", L"GEOMETRYCOLLECTION", L"JSON"}) {
        if (starts_with(upper, kind)) {
            const std::size_t n = std::wcslen(kind);
            if (upper.size() == n || upper[n] == L' ' || upper[n] == L'(') {
                return true;
            }
        }
    }
    return false;
}

// ---- Literals -----------------------------------------------------------------------------------

bool sql_is_number_text(std::string_view text) {
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        ++i;
    }
    std::size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        ++i;
        ++digits;
    }
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            ++i;
            ++digits;
        }
    }
    if (digits == 0) {
        return false;
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
            ++i;
        }
        std::size_t exponent = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            ++i;
            ++exponent;
        }
        if (exponent == 0) {
            return false;
        }
    }
    return i == text.size();
}

void append_escaped(std::string& out, std::string_view utf8) {
    out.reserve(out.size() + utf8.size() + 8);
    for (const char c : utf8) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\'':
            out += "\\'";
            break;
        case '\0':
            out += "\\0";
            break;
        default:
            out += c;
            break;
        }
    }
}

void append_escaped(std::string& out, std::u16string_view utf16) {
    // One pass from UTF-16 to escaped UTF-8: at most 3 bytes per unit (a surrogate pair makes 4
    // bytes of 2 units), and an escape doubles a one-byte character.
    const std::size_t at = out.size();
    out.resize(at + 3 * utf16.size());
    char* p = out.data() + at;
    const std::size_t n = utf16.size();
    for (std::size_t i = 0; i < n; ++i) {
        uint32_t c = utf16[i];
        if (c < 0x80) {
            if (c == '\\' || c == '\'' || c == 0) {
                *p++ = '\\';
                *p++ = c == 0 ? '0' : static_cast<char>(c);
            } else {
                *p++ = static_cast<char>(c);
            }
            continue;
        }
        if (c < 0x800) {
            *p++ = static_cast<char>(0xC0 | (c >> 6));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && utf16[i + 1] >= 0xDC00 &&
            utf16[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
            ++i;
            *p++ = static_cast<char>(0xF0 | (c >> 18));
            *p++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
            continue;
        }
        if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD; // an unpaired surrogate
        }
        *p++ = static_cast<char>(0xE0 | (c >> 12));
        *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *p++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    out.resize(static_cast<std::size_t>(p - out.data()));
}

std::string to_mysql_str(const std::string& text, VARTYPE vt) {
    tk_log_message(1, "to_mysql_str(%s)", text.c_str());
    std::string out;
    append_text_literal(out, text, vt);
    return out;
}

std::wstring to_mysql_wstr(const std::wstring& text, VARTYPE vt) {
    tk_log_wmessage(1, L"to_mysql_wstr(%ls)", text.c_str());
    std::string out;
    append_text_literal(out, tk_to_utf8(text), vt);
    return tk_utf8_to_wstring(out);
}

void append_mysql_str(std::string& out, const ole_variant& value) {
    const VARTYPE vt = value.get_type();
    switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
        out += "NULL";
        return;
    case VT_BLOB:
    case ole_variant::vt_byte_array: {
        tk_log_message(1, "special processing for BLOBs");
        uint8_t* bytes = nullptr;
        const unsigned count = value.get_bytes(&bytes);
        if (count == 0) {
            // A zero-length value (0x) is a value: only a missing one is NULL.
            const SAFEARRAY* array = value.var.parray;
            out += array != nullptr && array->cDims == 1 ? "X''" : "NULL";
            return;
        }
        append_hex(out, bytes, count);
        tk_log_message(1, "to_mysql_str - at the END");
        return;
    }
    case VT_BSTR:
        append_quoted(out, bstr_view(value));
        return;
    case VT_DATE:
        if (!value.date.is_valid()) {
            out += "''";
            return;
        }
        out += '\'';
        value.date.append_string(out, 6);
        out += '\'';
        return;
    default:
        break;
    }
    // Numbers render themselves; anything that is not a plain number gets quoted.
    const std::size_t at = out.size();
    value.append_string(out);
    const std::string_view text(out.data() + at, out.size() - at);
    if (text.empty()) {
        out += "''";
        return;
    }
    if (!sql_is_number_text(text)) {
        const std::string copy(text);
        out.resize(at);
        append_quoted(out, std::string_view(copy));
    }
}

std::string to_mysql_str(const udb_field* field) {
    tk_log_message(1, "to_mysql_str");
    if (field == nullptr) {
        throw tk_mail_assertion("sql_util", 907);
    }
    std::string out;
    append_mysql_str(out, *field);
    return out;
}

void append_fld_str(std::string& out, const udb_field& field, const t_ftd& column,
                    bool allow_placeholder) {
    tk_log_message(1, "get_fld_append_str");
    if (allow_placeholder && field.get_type() != VT_EMPTY &&
        field.get_size() > sql_engine::max_field_size) {
        tk_log_message(1, "fld->get_size()=%u", field.get_size());
        tk_log_message(1, "Returns placeholder for prepared statement");
        out += '?';
        return;
    }
    if (udb_custom_conversion::is_acceptable2(field)) {
        tk_log_message(1, "udb_custom_conversion::is_acceptable");
        out += tk_to_utf8(udb_custom_conversion::handle2(field));
        return;
    }
    if (column.type == VT_BSTR) {
        append_text_column_literal(out, field, column);
        return;
    }

    const std::size_t at = out.size();
    if (ole_variant::is_numeric(column.type) && !ole_variant::is_numeric(field.get_type())) {
        // A value of another type in a numeric column stands bare only when it is a number.
        append_text_literal(out, field.to_string(), column.type);
    } else {
        append_mysql_str(out, field);
    }
    const std::string_view literal(out.data() + at, out.size() - at);
    const bool missing = value_is_missing(field) || literal.empty() || literal == "''" ||
                         literal == "\"\"" || literal == "NULL";
    if (!missing || is_blob_type(column.type)) {
        return;
    }
    if (column.b_not_null) {
        tk_log_message(1, "Put default value");
        const std::string def = column.default_value.get_type() > VT_NULL
                                    ? column.default_value.to_string()
                                    : std::string();
        if (!def.empty()) {
            out.resize(at);
            append_text_literal(out, def, column.type);
            return;
        }
        if (ole_variant::is_numeric(field.get_type())) {
            out.resize(at);
            out += '0';
        }
        return;
    }
    tk_log_message(1, "Put NULL-field");
    out.resize(at);
    out += "NULL";
}

std::string get_fld_append_str(const udb_field* field, const t_ftd* column,
                               bool allow_placeholder) {
    if (field == nullptr) {
        throw tk_mail_assertion("sql_util", 1138);
    }
    if (column == nullptr) {
        throw tk_mail_assertion("sql_util", 1139);
    }
    std::string out;
    append_fld_str(out, *field, *column, allow_placeholder);
    return out;
}

// ---- Result cells -------------------------------------------------------------------------------

VARTYPE get_vartype(int mysql_type, unsigned flags) {
    tk_log_message(1, "get_vartype(%d,%u)", mysql_type, flags);
    const bool is_unsigned = (flags & UNSIGNED_FLAG) != 0;
    switch (mysql_type) {
    case MYSQL_TYPE_DECIMAL:
    case MYSQL_TYPE_NEWDECIMAL:
        return VT_DECIMAL;
    case MYSQL_TYPE_TINY:
        return is_unsigned ? VT_UI1 : VT_I1;
    case MYSQL_TYPE_SHORT:
        return is_unsigned ? VT_UI2 : VT_I2;
    case MYSQL_TYPE_LONG:
        return is_unsigned ? VT_UI4 : VT_I4;
    case MYSQL_TYPE_FLOAT:
        return VT_R4;
    case MYSQL_TYPE_DOUBLE:
        return VT_R8;
    case MYSQL_TYPE_TIMESTAMP:
    case MYSQL_TYPE_DATE:
    case MYSQL_TYPE_TIME:
    case MYSQL_TYPE_DATETIME:
        return VT_DATE;
    case MYSQL_TYPE_LONGLONG:
        return is_unsigned ? VT_UI8 : VT_I8;
    case MYSQL_TYPE_INT24:
        return VT_I4;
    case MYSQL_TYPE_YEAR:
        return VT_UI2;
    case MYSQL_TYPE_BIT:
        return VT_BOOL;
    case MYSQL_TYPE_TINY_BLOB:
    case MYSQL_TYPE_MEDIUM_BLOB:
    case MYSQL_TYPE_LONG_BLOB:
    case MYSQL_TYPE_BLOB: {
        const bool as_text = engine().blob_to_text;
        tk_log_message(1, "Processing BLOB, blob_to_text=%d", as_text ? 1 : 0);
        return as_text ? static_cast<VARTYPE>(VT_BSTR) : ole_variant::vt_byte_array;
    }
    case MYSQL_TYPE_VAR_STRING:
        return (flags & BINARY_FLAG) != 0 ? ole_variant::vt_byte_array
                                          : static_cast<VARTYPE>(VT_BSTR);
    default:
        return VT_BSTR;
    }
}

namespace {

ole_variant text_value(VARTYPE vt, std::string_view utf8) {
    if (vt == VT_BSTR) {
        ole_variant value;
        value.attach_u16string(tk_utf8_to_utf16(utf8));
        return value;
    }
    if (vt == VT_BOOL) {
        return ole_variant(!utf8.empty() && utf8[0] != '\0');
    }
    return ole_variant::from_string(std::string(utf8), vt);
}

ole_variant cell_value(int mysql_type, unsigned long length, unsigned flags, const char* data) {
    tk_log_message(1, "get_variant(2), type=%d, lenght=%lu", mysql_type, length);
    if (data == nullptr) {
        tk_log_message(1, "process NULL-values");
        return ole_variant();
    }
    if (mysql_type == MYSQL_TYPE_VAR_STRING && (flags & BINARY_FLAG) != 0) {
        tk_log_message(1, "Process TEXT as BINARY");
        return ole_variant(static_cast<unsigned>(length), data);
    }
    if (mysql_type == MYSQL_TYPE_VAR_STRING) {
        tk_log_message(1, "Extract TEXT value");
        return text_value(get_vartype(MYSQL_TYPE_VAR_STRING, flags), {data, length});
    }
    if (mysql_type >= MYSQL_TYPE_TINY_BLOB && mysql_type <= MYSQL_TYPE_BLOB) {
        if (engine().blob_to_text || (flags & BINARY_FLAG) == 0) {
            tk_log_message(1, "Process BINARY as TEXT");
            return text_value(get_vartype(MYSQL_TYPE_VAR_STRING, 0), {data, length});
        }
        tk_log_message(1, "Extract BINARY value");
        return ole_variant(static_cast<unsigned>(length), data);
    }
    return text_value(get_vartype(mysql_type, flags), {data, length});
}

} // namespace

ole_variant get_variant(int mysql_type, unsigned long length, unsigned flags, const char* data) {
    tk_log_message(1, "get_variant(char)");
    return cell_value(mysql_type, length, flags, data);
}

ole_variant get_variant(int mysql_type, unsigned long length, unsigned flags,
                        const char16_t* data) {
    tk_log_message(1, "get_variant(wchar_t)");
    if (data == nullptr) {
        return cell_value(mysql_type, length, flags, nullptr);
    }
    const bool bytes = (mysql_type == MYSQL_TYPE_VAR_STRING && (flags & BINARY_FLAG) != 0) ||
                       (mysql_type >= MYSQL_TYPE_TINY_BLOB && mysql_type <= MYSQL_TYPE_BLOB &&
                        !engine().blob_to_text && (flags & BINARY_FLAG) != 0);
    if (bytes) {
        std::string low(length, '\0');
        for (unsigned long i = 0; i < length; ++i) {
            low[i] = static_cast<char>(data[i] & 0xFF);
        }
        return cell_value(mysql_type, length, flags, low.data());
    }
    const std::string utf8 = tk_utf16_to_utf8(std::u16string_view(data, length));
    return cell_value(mysql_type, utf8.size(), flags, utf8.data());
}

ole_variant get_variant_text(VARTYPE vt, std::string_view text) {
    return text_value(vt, text);
}

ole_variant get_variant(VARTYPE vt, const char* text) {
    tk_log_message(1, "get_variant(char)");
    if (text == nullptr) {
        return ole_variant();
    }
    tk_log_message(1, "Type=%d, src=%s", vt, text);
    if (vt == VT_BOOL) {
        return ole_variant(text[0] != '\0');
    }
    return ole_variant::from_string(text, vt);
}

ole_variant get_variant(VARTYPE vt, const wchar_t* text) {
    tk_log_message(1, "get_variant(wchar_t)");
    if (text == nullptr) {
        return ole_variant();
    }
    tk_log_wmessage(1, L"Type=%d, src=%ls", vt, text);
    if (vt == VT_BOOL) {
        return ole_variant(text[0] != L'\0');
    }
    return ole_variant::from_wstring(text, vt);
}
