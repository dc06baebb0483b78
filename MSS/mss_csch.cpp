// MS SQL column schema: the catalogue's column details (identity, defaults, declared types)
// completing what the rowset describes.
#include "MSS/mss_db.h"
#include "MSS/mss_gap.h"
#include "MSS/mss_tab.h"
#include "MSS/mss_tnam.h"
#include "MSS/odb_exce.h"
#include "OLE/ole_date.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "UDB/udb_util.h"

namespace {

bool quoted_by(const std::wstring& text, wchar_t quote, std::size_t longer_than) {
    return text.size() > longer_than && text.front() == quote && text.back() == quote;
}

bool is_current_time_function(const std::wstring& text) {
    for (const wchar_t* name : {L"getdate()", L"getutcdate()", L"sysdatetimeoffset()",
                                L"sysdatetime()", L"sysutcdatetime()", L"current_timestamp"}) {
        if (udb_equal_no_case(text, name)) {
            return true;
        }
    }
    return false;
}

void add_date_function_mark(t_ftd& ftd) {
    if (ftd.dw_reserved == 1) {
        ftd.dw_reserved = 9;
    } else if (ftd.dw_reserved == 2) {
        ftd.dw_reserved = 10;
    } else if (ftd.dw_reserved == 3) {
        ftd.dw_reserved = 11;
    }
}

// A number as SQL Server writes it in a default: a sign, digits with one point, an exponent.
bool is_number_literal(std::wstring_view text) {
    std::size_t at = 0;
    if (at < text.size() && (text[at] == L'-' || text[at] == L'+')) {
        ++at;
    }
    bool digits = false;
    bool point = false;
    for (; at < text.size(); ++at) {
        if (text[at] >= L'0' && text[at] <= L'9') {
            digits = true;
        } else if (text[at] == L'.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (digits && at < text.size() && (text[at] == L'e' || text[at] == L'E')) {
        ++at;
        if (at < text.size() && (text[at] == L'-' || text[at] == L'+')) {
            ++at;
        }
        const std::size_t exponent = at;
        while (at < text.size() && text[at] >= L'0' && text[at] <= L'9') {
            ++at;
        }
        digits = at > exponent;
    }
    return digits && at == text.size();
}

// Applies a default definition of the catalogue to its column. Returns why it was left out when
// it gives no value a destination could write, else null.
const wchar_t* apply_default(t_ftd& ftd, std::wstring definition) {
    tk_log_wmessage(2, L"Got default string: %ls", definition.c_str());
    // SQL Server stores an empty Unicode default as (N''), an empty plain one as ('').
    if (ftd.type == VT_BSTR && (definition == L"('')" || definition == L"(N'')")) {
        tk_log_message(2, "Empty string def.value for VT_BSTR");
        ftd.dw_reserved |= 0x10;
    } else if (udb_equal_no_case(definition, L"(NULL)") || udb_equal_no_case(definition, L"NULL")) {
        tk_log_message(1, "Got NULL def.value");
        ftd.default_value.clear();
        return nullptr;
    } else if (!definition.empty() && definition.front() == L'N') {
        tk_log_message(1, "Processing Unicode def.value(1)");
        definition = definition.size() >= 2 ? definition.substr(1, definition.size() - 2) : L"";
        tk_log_wmessage(1, L"Got default string (2): %ls", definition.c_str());
    } else if (definition.size() >= 4 && definition.compare(0, 2, L"(N") == 0) {
        tk_log_message(1, "Processing Unicode def.value(2)");
        definition = definition.substr(2, definition.size() - 3);
        tk_log_wmessage(1, L"Got default string (2): %ls", definition.c_str());
    }
    ole_variant value = mss_table::get_def_value(ftd, definition);
    const std::wstring text = value.to_wstring();
    tk_log_wmessage(2, L"Got [stored] default variant: %ls", text.c_str());
    if (ftd.type == VT_BSTR && text.size() > static_cast<std::size_t>(std::max(ftd.size, 0)) &&
        ftd.size > 0) {
        tk_log_wmessage(3, L"Def.value '%ls' is out of range", text.c_str());
        return L"it is longer than the column";
    }
    const bool carried = value.get_type() != VT_EMPTY;
    ftd.default_value = std::move(value);
    tk_log_message(1, "v.get_type()=%08X", ftd.default_value.get_type());
    if (ftd.type == VT_DATE && (ftd.default_value.get_type() == VT_BSTR ||
                                ftd.default_value.get_type() == 31 /* VT_LPWSTR */)) {
        tk_log_message(1, "Tuning for DATE/TIME functions as def.values");
        add_date_function_mark(ftd);
    }
    return carried ? nullptr : L"it is neither a constant nor a current-time function";
}

} // namespace

ole_variant mss_table::get_def_value(const t_ftd& ftd, const std::wstring& definition) {
    tk_log_wmessage(1, L"mss_table::get_def_value(type=0x%08X, src='%ls')",
                    static_cast<unsigned>(ftd.type), definition.c_str());
    std::wstring text = definition;
    std::size_t n = 0;
    while (n < text.size() && text[n] == L'(') {
        ++n;
    }
    if (n >= 1) {
        const std::size_t keep = text.size() >= 2 * n ? text.size() - 2 * n : 0;
        tk_log_message(1, "Before removing round brackets, pos0=%d, size=%d", static_cast<int>(n),
                       static_cast<int>(keep));
        text = keep > 0 ? text.substr(n, keep) : std::wstring();
        tk_log_wmessage(1, L"mss_table::get_def_value - buf=[%ls]", text.c_str());
    }
    if (quoted_by(text, L'\'', 2)) {
        text = text.substr(1, text.size() - 2);
        tk_log_wmessage(1, L"mss_table::get_def_value - buf=[%ls]", text.c_str());
    }
    if (ftd.type == VT_DATE) {
        tk_log_message(1, "f_type == VT_DATE");
        if (quoted_by(text, L'\'', 1)) {
            text = text.substr(1, text.size() - 2);
        }
        if (text.size() > 1 && text.front() == L'(' && text.back() == L')') {
            text = text.substr(1, text.size() - 2);
        }
        if (udb_equal_no_case(text, L"now()")) {
            text = L"getdate()";
        }
        // The current-time functions stay texts for the destination to map; the
        // higher-precision and UTC ones among them as well as getdate().
        if (is_current_time_function(text)) {
            tk_log_message(2, "Special processing for now/get...date()");
            return ole_variant(text);
        }
        const ole_date date(text);
        return date.is_valid() ? ole_variant(date) : ole_variant();
    }
    if (ftd.type == VT_BSTR) {
        tk_log_message(1, "f_type == VT_BSTR");
        if (quoted_by(text, L'\'', 2)) {
            text = text.substr(1, text.size() - 2);
            tk_log_wmessage(1, L"Got string def.value: [%ls]", text.c_str());
        }
    }
    // The value layer reads a number leniently ("abs((-1" as 0): an expression is no value.
    if (ole_variant::is_numeric(ftd.type) && !is_number_literal(text)) {
        tk_log_wmessage(2, L"Def.value '%ls' is not a number", text.c_str());
        return ole_variant();
    }
    if (text.size() > 2) {
        tk_wstring::replace_all(text, L"''", L"'");
    }
    return ole_variant::from_wstring(text, ftd.type);
}

void mss_table::init_schema() {
    tk_log_message(2, "mss_table::init_schema");
    tk_log_message(1, "mss_table::split_tab_name");
    std::wstring table;
    std::wstring owner;
    mss_split_tab_name(name, table, owner);
    std::wstring sql =
        L"SELECT SC.name, t.name as type_name, SD.definition, SC.precision, SC.scale, "
        L"SC.is_nullable, SC.is_identity FROM sys.tables ST INNER JOIN sys.columns SC ON "
        L"ST.object_id = SC.object_id INNER JOIN sys.types t ON t.user_type_id = SC.user_type_id "
        L"LEFT JOIN sys.default_constraints SD ON ST.object_id = SD.parent_object_id AND "
        L"SC.column_id = SD.parent_column_id WHERE ST.name='" +
        mss_escape_literal(table) + L"'";
    if (!owner.empty()) {
        sql += L" and SCHEMA_NAME(ST.schema_id)='" + mss_escape_literal(owner) + L"'";
    }
    tk_log_wmessage(2, L"query=%ls", sql.c_str());
    auto rows = run_query(sql);
    rows->reset();
    tk_log_message(1, "schema.size()=%d", static_cast<int>(schema.size()));
    if (schema.empty()) {
        return;
    }
    // Every catalogue row is read and matched to its column by name: the catalogue may list
    // columns the rowset does not show (hidden period columns) and in any order.
    for (; !rows->is_eof(); rows->next()) {
        const udb_record& row = *rows->get_item();
        const std::wstring column = row[0]->to_wstring();
        const std::wstring type_name = row[1]->to_wstring();
        tk_log_wmessage(2, L"Got field name/type: %ls/%ls", column.c_str(), type_name.c_str());
        if (!schema.find_field(column)) {
            tk_log_wmessage(2, L"Column %ls is not in the rowset, skip it", column.c_str());
            continue;
        }
        t_ftd& ftd = schema.get_field1(column);
        tk_log_message(1, "ftd.type=%d", ftd.type);
        const std::wstring definition = row[2]->to_wstring();
        if (!definition.empty()) {
            if (const wchar_t* lost = apply_default(ftd, definition)) {
                mss_report_lost_default(name, column, definition, lost);
            }
        }
        ftd.b_auto_num = row[6]->to_long() != 0;
        if (udb_equal_no_case(type_name, L"char")) {
            tk_log_message(1, "Got fixed width char");
            ftd.type = VT_BSTR;
            ftd.dw_reserved = 4;
        } else if (udb_equal_no_case(type_name, L"datetimeoffset")) {
            tk_log_message(1, "Got datetimeoffset");
            ftd.type = VT_DATE;
            ftd.dw_reserved |= 0x10;
        }
        tk_log_message(1, "ftd.b_auto_num=%d", ftd.b_auto_num);
        if (ftd.type == VT_DECIMAL) {
            ftd.prec = row[3]->to_long();
            ftd.scale = row[4]->to_long();
            tk_log_message(2, ">>(prec/scale)=%d/%d", ftd.prec, ftd.scale);
        }
        tk_log_message(1, ">>> reserved=%d", ftd.dw_reserved);
    }
}

std::unique_ptr<mss_table> mss_database::amend_schema(std::unique_ptr<mss_table> table) {
    tk_log_message(2, "mss_database::amend_schema");
    if (!table) {
        return table;
    }
    std::wstring select = L"SELECT ";
    bool spatial = false;
    const auto types = column_types.find(table->name);
    for (std::size_t i = 0; i < table->schema.size(); ++i) {
        t_ftd& ftd = *table->schema[i];
        if (i != 0) {
            select += L",";
        }
        const std::wstring enclosed = mss_enclose_name(ftd.name);
        select += enclosed;
        std::wstring type;
        if (types != column_types.end()) {
            const auto found = types->second.find(ftd.name);
            if (found != types->second.end()) {
                type = found->second;
            }
        }
        if (type == L"date") {
            tk_log_wmessage(2, L"Refine date column '%ls'", ftd.name.c_str());
            if (ftd.dw_reserved != 10) {
                ftd.dw_reserved = 2;
            }
            ftd.type = VT_DATE;
        } else if (type == L"time") {
            tk_log_wmessage(2, L"Refine time column '%ls'", ftd.name.c_str());
            if (ftd.dw_reserved != 11) {
                ftd.dw_reserved = 3;
            }
            ftd.type = VT_DATE;
        } else if (type == L"uniqueidentifier") {
            tk_log_wmessage(2, L"Refine uniqueidentifier column '%ls'", ftd.name.c_str());
            ftd.type = VT_BSTR;
            ftd.dw_reserved = 1;
        } else if (type == L"geometry" || type == L"geography") {
            tk_log_wmessage(2, L"Refine geometry/geography column '%ls'", ftd.name.c_str());
            ftd.dw_reserved = type == L"geometry" ? 2 : 8;
            ftd.size = 0;
            ftd.type = VT_BSTR;
            select += L".STAsText() as " + enclosed;
            spatial = true;
        }
    }
    select += L" FROM " + table->name;
    tk_log_message(2, "mss_database::amend_schema - END");
    if (spatial) {
        table->refine_by_sql_query(select);
    }
    return table;
}
