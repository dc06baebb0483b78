// T-SQL literals of the MS SQL writer.
#include "MSS/mss_util.h"

#include "MSS/mss_engi.h"
#include "MSS/mss_tnam.h"
#include "OLE/ole_date.h"
#include "OLE/ole_guid.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "UDB/udb_field.h"
#include "UDB/udb_rule.h"
#include "UDB/udb_schema.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace {

// The range of SQL Server's float: every finite double but the subnormal ones.
constexpr double min_double = std::numeric_limits<double>::min();
constexpr double max_double = std::numeric_limits<double>::max();

bool is_binary(VARTYPE vt) {
    return vt == VT_BLOB || vt == VT_BLOB_OBJECT || vt == ole_variant::vt_byte_array;
}

bool is_hex_digit(wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

bool is_digit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

// "0x" and hexadecimal digits, or decimal digits only: T-SQL reads either as it stands.
bool is_bare_binary(const std::wstring& b) {
    if (!is_digit(b[0])) {
        return false;
    }
    if (b[1] == L'x' || b[1] == L'X') {
        if (b[0] != L'0') {
            return false;
        }
        for (std::size_t i = 2; i < b.size(); ++i) {
            if (!is_hex_digit(b[i])) {
                return false;
            }
        }
        return true;
    }
    for (std::size_t i = 1; i < b.size(); ++i) {
        if (!is_digit(b[i])) {
            return false;
        }
    }
    return true;
}

// A fraction finer than milliseconds.
bool has_microseconds(const ole_date& date) {
    return date.microseconds % 1000u != 0;
}

// The canonical text with the fraction the value holds: milliseconds, or microseconds where it
// has them. A date whose date part is all zeros keeps it as "0000-00-00" so that the caller can
// put the zero date in its place.
std::wstring canonical_date(const ole_date& date, bool zero_date) {
    const SYSTEMTIME& t = date.sys_time;
    wchar_t buffer[64];
    const bool has_date = date.kind == ole_date::kind_date || date.kind == ole_date::kind_date_time;
    const bool has_time =
        date.kind == ole_date::kind_time || (date.kind == ole_date::kind_date_time &&
                                             (t.wHour != 0 || t.wMinute != 0 || t.wSecond != 0 ||
                                              t.wMilliseconds != 0 || date.microseconds != 0));
    std::wstring out;
    if (has_date) {
        std::swprintf(buffer, 64, L"%04u-%02u-%02u", unsigned(t.wYear), unsigned(t.wMonth),
                      unsigned(t.wDay));
        out = buffer;
    } else if (zero_date) {
        out = L"0000-00-00";
    }
    if (has_time) {
        if (!out.empty()) {
            out += L' ';
        }
        std::swprintf(buffer, 64, L"%02u:%02u:%02u", unsigned(t.wHour % 24u), unsigned(t.wMinute),
                      unsigned(t.wSecond));
        out += buffer;
        if (has_microseconds(date)) {
            std::swprintf(buffer, 64, L".%06u", unsigned(date.microseconds % 1000000u));
            out += buffer;
        } else if (t.wMilliseconds != 0) {
            std::swprintf(buffer, 64, L".%03u", unsigned(t.wMilliseconds));
            out += buffer;
        }
    }
    return out;
}

bool is_guid_column(const t_ftd& column) {
    return column.type == VT_BSTR && column.dw_reserved == 1;
}

} // namespace

std::wstring mss_quote_text(const std::wstring& escaped, bool unicode) {
    const wchar_t* const open = unicode ? L"N'" : L"'";
    const std::size_t first_nul = escaped.find(L'\0');
    std::wstring out;
    if (first_nul == std::wstring::npos) {
        out.reserve(escaped.size() + 3);
        out += open;
        out += escaped;
        out += L'\'';
        return out;
    }
    // FreeTDS ends a statement's text at a NUL: the character is spelled out instead. A join of
    // bounded texts stops at 8,000 bytes, so the first part is of the max type.
    out = unicode ? L"CONVERT(nvarchar(max), N'" : L"CONVERT(varchar(max), '";
    out.append(escaped, 0, first_nul);
    out += L"')";
    for (std::size_t from = first_nul; from < escaped.size();) {
        out += L" + ";
        if (escaped[from] == L'\0') {
            out += unicode ? L"NCHAR(0)" : L"CHAR(0)";
            ++from;
            continue;
        }
        const std::size_t end = std::min(escaped.find(L'\0', from), escaped.size());
        out += open;
        out.append(escaped, from, end - from);
        out += L'\'';
        from = end;
    }
    return out;
}

std::wstring mss_get_fld_append_str(const udb_field* field, const t_ftd* column) {
    tk_check(field != nullptr, "mss_util", 110);
    tk_check(column != nullptr, "mss_util", 111);
    tk_log_message(1, "mss_get_fld_append_str");
    tk_log_message(1, "fld->size=%d", static_cast<int>(field->get_size()));
    const VARTYPE t = field->get_type();
    if (is_binary(t)) {
        tk_log_message(1, "Simplify processing BLOBs");
        return field->get_size() == 0 ? std::wstring(L"0x") : field->to_wstring();
    }
    const std::wstring text = field->to_wstring();
    tk_log_message(1, "Before mssql_get_safe_variant: %s", tk_to_utf8(text).c_str());
    const ole_variant safe = mssql_get_safe_variant(*field);
    const std::wstring s = to_mssql_str(safe.to_wstring(), t);
    tk_log_message(1, "Got string after mssql_get_safe_variant: %s", tk_to_utf8(s).c_str());
    if (udb_custom_conversion::is_acceptable2(*field)) {
        return udb_custom_conversion::handle2(*field);
    }
    if (t == VT_BSTR) {
        // Only a uniqueidentifier column reads a GUID in another spelling (braces, blanks, a
        // "guid" mark): any other text column keeps the text as given.
        if (is_guid_column(*column)) {
            const ole_guid_extractor guid(text);
            if (guid.valid) {
                return L"'" + guid.get_wstr() + L"'";
            }
        }
        return s;
    }
    if (t == VT_NULL || s.empty() || s == L"''") {
        tk_log_message(1, "Put NULL-field");
        if (!column->b_not_null) {
            return L"NULL";
        }
        if (is_binary(column->type)) {
            tk_log_message(1, "Special processing for VT_BLOB/NULL");
            return L"0x";
        }
        return to_mssql_str(column->default_value.to_wstring(), column->type);
    }
    return s;
}

ole_variant mssql_get_safe_variant(const ole_variant& value) {
    tk_log_message(1, "mssql_get_safe_variant");
    tk_log_message(1, "ole_variant::get_type");
    const VARTYPE vt = value.get_type();
    tk_log_message(1, "vt=%d", static_cast<int>(vt));
    if (vt == VT_DATE && value.date.sys_time.wYear > 9999) {
        const std::string text = value.to_string();
        tk_log_message(3, "Date '%s' is out of range", text.c_str());
        ole_date date(text);
        date.sys_time.wYear = 9999;
        date.sys_time.wMonth = 12;
        date.sys_time.wDay = 30;
        return ole_variant(date);
    }
    if (vt == VT_R8 || vt == VT_R4) {
        // A real goes as the double it is exactly, so that a float column stores the same
        // value a bulk load stores, and a real column rounds it back to itself.
        const double x = vt == VT_R4 ? static_cast<double>(value.var.fltVal) : value.var.dblVal;
        if (x != 0.0) {
            double r = x;
            if (std::isnan(x) || x < -max_double) {
                r = -max_double;
            } else if (x > max_double) {
                r = max_double;
            } else if (x > 0.0 && x < min_double) {
                r = min_double;
            } else if (x < 0.0 && x > -min_double) {
                r = -min_double;
            }
            return ole_variant(r);
        }
    }
    tk_log_message(1, "mssql_get_safe_variant - DEFAULT");
    return value;
}

std::wstring to_mssql_str(const std::wstring& text, VARTYPE vt) {
    const bool unicode = mss_engine::instance()->is_unicode();
    tk_log_message(1, "to_mssql_str(%s,%d), unicode=%d", tk_to_utf8(text).c_str(),
                   static_cast<int>(vt), unicode ? 1 : 0);
    if (text.empty()) {
        return L"''";
    }
    std::wstring b = text;
    const wchar_t* typed = nullptr; // the type a date finer than milliseconds is converted to
    switch (vt) {
    case VT_DATE: {
        ole_date date(text);
        if (has_microseconds(date)) {
            typed = date.kind == ole_date::kind_time ? L"time(7)" : L"datetime2(7)";
        }
        const bool zero_date = text.find(L"0000-00-00") != std::wstring::npos;
        if (date.sys_time.wYear > 9999) {
            tk_log_message(3, "Date '%s' is too much, truncating it", date.to_string(6).c_str());
            date.sys_time.wYear = 9999;
        }
        b = canonical_date(date, zero_date);
        const std::size_t zero = b.find(L"0000-00-00");
        if (zero != std::wstring::npos) {
            tk_log_message(2, "Null date has been found");
            b.replace(zero, 10, L"1899-12-30");
        }
        break;
    }
    case VT_BLOB:
    case VT_BLOB_OBJECT:
    case ole_variant::vt_byte_array:
        tk_log_message(1, "Processing BLOB");
        if (b.size() < 2) {
            return L"0x";
        }
        if (!is_bare_binary(b)) {
            return L"'" + mss_escape_literal(b) + L"'";
        }
        break;
    default:
        break;
    }
    b = mss_escape_literal(b);
    if (vt == VT_BSTR) {
        return mss_quote_text(b, unicode);
    }
    if (vt == VT_DATE) {
        b = L"'" + b + L"'";
        // A text of more than three fraction digits is no datetime for SQL Server (241): the
        // typed value converts into every date and time column, rounded to the column's scale.
        if (typed != nullptr) {
            b = L"CONVERT(" + std::wstring(typed) + L", " + b + L")";
        }
    }
    return b;
}
