// The MS SQL writer: tables, schemas, and emptying and dropping tables.
#include "MSS/mss_db.h"

#include "MSS/mss_engi.h"
#include "MSS/mss_ntyp.h"
#include "MSS/mss_tab.h"
#include "MSS/mss_tnam.h"
#include "MSS/mss_werr.h"
#include "MSS/odb_cmd.h"
#include "MSS/odb_exce.h"
#include "OLE/ole_var.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "UDB/udb_idx.h"
#include "UDB/udb_util.h"

#include <cwctype>

namespace {

// The form the table list holds, so that is_table_exist and delete_tab find what was added.
std::wstring listed_name(const std::wstring& name) {
    std::wstring owner;
    std::wstring table;
    mss_read_dest_name(name, owner, table);
    return mss_list_tab_name(owner, table);
}

bool equals_any(const std::wstring& text, std::initializer_list<const wchar_t*> words) {
    for (const wchar_t* word : words) {
        if (udb_equal_no_case(text, word)) {
            return true;
        }
    }
    return false;
}

// A plain number: sign, digits, an optional fraction and exponent. Anything else written
// unquoted into the statement would be an expression of unknown meaning.
bool is_number_literal(const std::wstring& text) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    if (i < n && (text[i] == L'-' || text[i] == L'+')) {
        ++i;
    }
    std::size_t digits = 0;
    while (i < n && std::iswdigit(text[i]) != 0 && text[i] < 128) {
        ++i;
        ++digits;
    }
    if (i < n && text[i] == L'.') {
        ++i;
        while (i < n && text[i] >= L'0' && text[i] <= L'9') {
            ++i;
            ++digits;
        }
    }
    if (digits == 0) {
        return false;
    }
    if (i < n && (text[i] == L'e' || text[i] == L'E')) {
        ++i;
        if (i < n && (text[i] == L'-' || text[i] == L'+')) {
            ++i;
        }
        std::size_t exponent = 0;
        while (i < n && text[i] >= L'0' && text[i] <= L'9') {
            ++i;
            ++exponent;
        }
        if (exponent == 0) {
            return false;
        }
    }
    return i == n;
}

bool is_binary_literal(const std::wstring& text) {
    if (text.size() < 2 || text[0] != L'0' || (text[1] != L'x' && text[1] != L'X')) {
        return false;
    }
    for (std::size_t i = 2; i < text.size(); ++i) {
        if (std::iswxdigit(text[i]) == 0 || text[i] >= 128) {
            return false;
        }
    }
    return true;
}

} // namespace

std::wstring mss_default_clause(const std::wstring& table, const t_ftd& column) {
    if (column.type == VT_DATE && column.dw_reserved == 9) {
        return L" DEFAULT CURRENT_TIMESTAMP";
    }
    if (column.type == VT_DATE && column.dw_reserved == 10) {
        return L" DEFAULT getdate()";
    }
    if (column.type == VT_BSTR && (column.dw_reserved & 0x10) != 0) {
        // The readers' mark of an empty-string default, whatever text the value holds.
        return L" DEFAULT ''";
    }
    const std::wstring text = column.default_value.to_wstring();
    tk_log_wmessage(2, L"Got safe default value: %ls", text.c_str());
    if (text.empty()) {
        return {};
    }
    if (column.type == VT_BSTR && column.dw_reserved == 1 &&
        equals_any(text, {L"newid()", L"uuid_generate_v4()"})) {
        return L" DEFAULT newid()";
    }
    if (column.type == VT_DATE) {
        if (udb_equal_no_case(text, L"now()")) {
            return L" DEFAULT getdate()";
        }
        if (equals_any(text, {L"getdate()", L"CURRENT_TIMESTAMP", L"getutcdate()", L"sysdatetime()",
                              L"sysutcdatetime()", L"sysdatetimeoffset()"})) {
            tk_log_message(2, "Special processing for now/get...date()");
            return L" DEFAULT " + text;
        }
    }
    if (ole_variant::is_date_or_string(column.type)) {
        // Text beyond the database's code page survives only in a Unicode literal.
        const bool unicode_text =
            column.type != VT_DATE && column.dw_reserved != 1 && mss_engine::ref().is_unicode();
        return L" DEFAULT " + std::wstring(unicode_text ? L"N'" : L"'") + mss_escape_literal(text) +
               L"'";
    }
    if (column.type == VT_BOOL) {
        try {
            return column.default_value.to_long() != 0 ? L" DEFAULT 1" : L" DEFAULT 0";
        } catch (const tk_exception&) {
        }
    } else if (is_number_literal(text) ||
               (ole_variant::is_byte_array(column.type) && is_binary_literal(text))) {
        return L" DEFAULT " + text;
    }
    mss_report_writer_error(tk_to_utf8(table), tk_exception(L"The default value " + text +
                                                                L" of column '" + column.name +
                                                                L"' is left out: it is no value of "
                                                                L"the column's type",
                                                            0));
    return {};
}

std::unique_ptr<udb_recordset> mss_database::create_table(const std::wstring& table,
                                                          const udb_schema& schema,
                                                          const udb_indexes& indexes) {
    tk_log_wmessage(2, L"mss_database::create_table(%ls, %d)", table.c_str(), mode);
    tk_log_message(2, "schema.size()=%d", static_cast<int>(schema.size()));
    if ((mode & 0x01) != 0) {
        throw tk_mail_assertion("mss_db", 442);
    }
    const bool exists = is_table_exist(listed_name(table));
    std::unique_ptr<udb_recordset> opened;
    if ((mode & 0x08) != 0 && exists) {
        opened = get_table(mss_engine::ref().get_dest_tname(table), 8);
    } else if (exists) {
        throw odb_exception(std::wstring(L"The specified table already exists"));
    } else {
        pk_created = false;
        do_create_table(table, schema, indexes);
        tables.push_back(listed_name(table));
        opened = get_table2(table, schema);
    }
    tk_log_message(1, "s.size()=%d", static_cast<int>(opened->schema.size()));
    if (opened->schema.size() != schema.size()) {
        throw tk_exception(
            std::string("The structure of data source does not conform to the destination table."),
            1);
    }
    for (std::size_t i = 0; i < schema.size(); ++i) {
        tk_log_wmessage(1, L"src[%d].name=%ls, dest[%d].name=%ls", static_cast<int>(i),
                        schema[i]->name.c_str(), static_cast<int>(i),
                        opened->schema[i]->name.c_str());
        tk_log_message(1, "src[%d].type=%d, dest[%d].type=%d", static_cast<int>(i), schema[i]->type,
                       static_cast<int>(i), opened->schema[i]->type);
        opened->schema[i]->dw_reserved = schema[i]->dw_reserved;
    }
    tk_log_message(1, "mss_database::create_table - END");
    return opened;
}

void mss_database::do_create_table(const std::wstring& table, const udb_schema& schema,
                                   const udb_indexes& indexes) {
    std::wstring sql = L"CREATE TABLE " + mss_engine::ref().get_dest_tname(table) + L" (\r\n";
    bool first = true;
    for (const auto& column : schema) {
        if (!first) {
            sql += L",\r\n";
        }
        first = false;
        sql += L"\t" + mss_enclose_name(column->name) + L" " + mss_get_native_type(*column);
        bool not_null = column->b_not_null || column->b_auto_num;
        if (!not_null) {
            not_null = indexes.is_idx_field(column->name, true);
        }
        if (not_null) {
            sql += L" NOT NULL";
        }
        sql += mss_default_clause(table, *column);
    }
    sql += L")";
    tk_log_wmessage(2, L"Create table query: '%ls'", sql.c_str());
    try {
        odb_command command(session.get());
        command.execute(sql);
    } catch (const odb_exception& e) {
        // The server's reason is the one to report, not the failure to open a missing table.
        tk_log_message(3, "Failed to create table: %s", e.what());
        throw;
    }
}

std::unique_ptr<mss_table> mss_database::get_table2(const std::wstring& table,
                                                    const udb_schema& schema) {
    tk_log_wmessage(2, L"mss_database::get_table2(%ls)", table.c_str());
    const std::wstring qualified = mss_engine::ref().get_dest_tname(table);
    auto opened = std::make_unique<mss_table>(qualified, session.get(), schema, this);
    return amend_schema(std::move(opened));
}

bool odb_database::delete_tab(const std::wstring& table) {
    tk_log_wmessage(2, L"odb_database::delete_tab(%ls)", table.c_str());
    odb_command command(session.get());
    command.execute(L"DROP TABLE " + mss_engine::ref().get_dest_tname(table));
    return udb_database::delete_tab(listed_name(table));
}

void mss_database::empty_table(const std::wstring& table) {
    tk_log_wmessage(2, L"mss_database::empty_table(%ls)", table.c_str());
    odb_command command(session.get());
    command.execute(L"delete from " + mss_engine::ref().get_dest_tname(table));
}

void mss_database::create_schema(const std::wstring& schema) {
    tk_log_wmessage(2, L"mss_database::create_schema(%ls)", schema.c_str());
    if (udb_equal_no_case(schema, L"dbo")) {
        tk_log_message(2, "Skip 'dbo' schema");
        return;
    }
    // The name is a literal twice over: in the test, and inside the statement text that
    // sp_executesql is given.
    const std::wstring create = L"CREATE SCHEMA " + mss_format_tab_name({}, schema);
    const std::wstring sql =
        L"IF NOT EXISTS (SELECT  SCHEMA_NAME FROM    INFORMATION_SCHEMA.SCHEMATA WHERE   "
        L"SCHEMA_NAME = N'" +
        mss_escape_literal(schema) + L"' ) BEGIN EXEC sp_executesql N'" +
        mss_escape_literal(create) + L"' END";
    odb_command command(session.get());
    command.execute(sql);
}
