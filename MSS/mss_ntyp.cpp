// MS SQL column types of neutral column descriptors.
#include "MSS/mss_ntyp.h"

#include "MSS/mss_engi.h"
#include "MSS/odb_rec.h"
#include "TK/tk_log.h"
#include "UDB/udb_util.h"

#include <cwchar>

namespace {

std::wstring formatted(const wchar_t* format, int a, int b = 0) {
    wchar_t buffer[64];
    std::swprintf(buffer, 64, format, a, b);
    return buffer;
}

bool starts_no_case(const std::wstring& text, std::wstring_view prefix) {
    return text.size() >= prefix.size() &&
           udb_equal_no_case(std::wstring_view(text).substr(0, prefix.size()), prefix);
}

} // namespace

std::wstring mss_get_native_type(const t_ftd& column) {
    tk_log_wmessage(2, L"mss_get_native_type(%ls)", column.name.c_str());
    tk_log_wmessage(1, L"t_ftd.name=%ls, t_ftd.type=%d, t_ftd.size=%d, t_ftd.native_type=%ls",
                    column.name.c_str(), column.type, column.size, column.native_type.c_str());
    if (!column.native_type.empty()) {
        tk_log_message(2, "Field has custom type mapping defined");
        return column.native_type;
    }
    const bool unicode = mss_engine::ref().is_unicode();
    switch (column.type) {
    case VT_I2:
    case VT_I4:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
        return column.b_auto_num ? L"INT IDENTITY" : L"INT";
    case VT_I8:
    case VT_UI8:
        return column.b_auto_num ? L"BIGINT IDENTITY" : L"BIGINT";
    case VT_R4:
        return L"REAL";
    case VT_R8:
        return column.dw_reserved == 1 ? L"REAL" : L"FLOAT";
    case VT_CY:
    case VT_DECIMAL:
        // A currency value is exact to four decimals; as FLOAT it would lose digits.
        if (column.type == VT_CY && column.prec == 0 && column.scale == 0) {
            return L"MONEY";
        }
        if ((column.prec >= 1 && column.prec <= 38) || (column.prec == 0 && column.scale != 0)) {
            return L"NUMERIC" + formatted(L"(%d,%d)", column.prec, column.scale);
        }
        tk_log_message(1, "Processing VT_DECIMAL with precision=%d", column.prec);
        return L"FLOAT";
    case VT_DATE:
        if ((column.dw_reserved & 0x10) != 0) {
            return L"DATETIMEOFFSET";
        }
        if ((column.dw_reserved & 3) == 2) {
            return L"DATE";
        }
        if ((column.dw_reserved & 3) == 3) {
            return L"TIME";
        }
        tk_log_message(2, "Got DATETIME2(%d,%d)", column.prec, column.scale);
        return L"DATETIME2";
    case VT_BOOL:
        return L"BIT";
    case VT_BLOB:
    case VT_BLOB_OBJECT:
    case VT_ARRAY | VT_UI1:
        return column.size >= 1 && column.size <= 7999 ? formatted(L"VARBINARY(%d) ", column.size)
                                                       : L"VARBINARY(MAX)";
    default:
        break;
    }
    tk_log_message(1, "mss_engine::get_native_type - process as VT_BSTR(dw_reserved=%d)",
                   column.dw_reserved);
    switch (column.dw_reserved) {
    case 1:
        return L" uniqueidentifier";
    case 2:
        return L" geometry";
    case 8:
        return L" geography";
    default:
        break;
    }
    if (column.size >= 1 && column.size <= 3999) {
        return formatted(unicode ? L"NVARCHAR(%d) " : L"VARCHAR(%d) ", column.size);
    }
    return unicode ? L"NVARCHAR(MAX)" : L"VARCHAR(MAX)";
}

DBTYPE odb_record::get_oledb_type(const t_ftd& column) {
    tk_log_message(1, "odb_record::get_oledb_type(%d)", column.type);
    const mss_engine& engine = mss_engine::ref();
    switch (column.type) {
    case VT_I2:
    case VT_I1:
        return DBTYPE_I2;
    case VT_I4:
    case VT_UI2:
    case VT_INT:
        return DBTYPE_I4;
    case VT_R4:
    case VT_R8:
        return DBTYPE_R8;
    case VT_CY:
        return DBTYPE_CY;
    case VT_DATE:
        tk_log_message(1, "Got VT_DATE, flags=%d", column.dw_reserved);
        if (engine.version() >= 5 && engine.is_connected() && engine.is_native()) {
            if ((column.dw_reserved & 3) == 2) {
                return DBTYPE_DATE;
            }
            if ((column.dw_reserved & 3) == 3) {
                return DBTYPE_DBTIME2;
            }
        }
        return DBTYPE_DBTIMESTAMP;
    case VT_BSTR:
        if (column.dw_reserved == 1) {
            tk_log_message(2, "Got GUID");
            return DBTYPE_GUID;
        }
        if (!engine.is_unicode()) {
            return DBTYPE_STR;
        }
        for (std::wstring_view narrow : {L"varchar", L"char", L"text"}) {
            if (starts_no_case(column.native_type, narrow)) {
                return DBTYPE_STR;
            }
        }
        return DBTYPE_WSTR;
    case VT_BOOL:
        return DBTYPE_BOOL;
    case VT_DECIMAL:
        return column.prec >= 1 && column.prec <= 38 ? DBTYPE_NUMERIC : DBTYPE_R8;
    case VT_UI1:
        return DBTYPE_UI1;
    case VT_UI4:
    case VT_I8:
    case VT_UINT:
        return DBTYPE_I8;
    case VT_UI8:
        return column.b_auto_num ? DBTYPE_I8 : DBTYPE_R8;
    case VT_BLOB:
    case VT_BLOB_OBJECT:
    case VT_ARRAY | VT_UI1:
        return DBTYPE_BYTES;
    default:
        tk_log_message(1, "Got string (by default)!");
        return engine.is_unicode() ? DBTYPE_WSTR : DBTYPE_STR;
    }
}
