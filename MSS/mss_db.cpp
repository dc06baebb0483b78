// The MS SQL source database and its catalogue.
#include "MSS/mss_db.h"

#include "MSS/mss_engi.h"
#include "MSS/mss_gap.h"
#include "MSS/mss_tab.h"
#include "MSS/mss_tnam.h"
#include "MSS/odb_cmd.h"
#include "MSS/odb_exce.h"
#include "MSS/odb_mdat.h"
#include "MSS/odb_recs.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "UDB/udb_qchk.h"
#include "UDB/udb_util.h"

#include <algorithm>
#include <climits>
#include <cwctype>

namespace {

std::wstring text_of(const udb_record& row, std::size_t column) {
    return row[column]->to_wstring();
}

} // namespace

// ---- odb_database ------------------------------------------------------------------------

odb_database::odb_database(const std::wstring& name, int mode, IDBInitialize* data_source_in,
                           IOpenRowset* session_in)
    : udb_database(name, mode, 0), session(session_in), data_source(data_source_in) {
    tk_log_message(2, "odb_database::ctor");
}

odb_database::~odb_database() {
    data_source.reset();
    session.reset();
}

std::unique_ptr<odb_recordset> odb_database::run(const std::wstring& statement) {
    odb_command command(session.get());
    ole_com_ptr<IRowset> rowset;
    command.execute(statement, &rowset);
    return std::make_unique<odb_recordset>(rowset.get());
}

std::unique_ptr<udb_recordset> odb_database::query(const std::wstring& statement) {
    tk_log_wmessage(1, L"odb_database::query(%ls)", statement.c_str());
    return run(statement);
}

bool odb_database::test_query(const std::wstring& statement) {
    tk_log_wmessage(2, L"odb_database::test_query(%ls)", statement.c_str());
    odb_command command(session.get());
    try {
        ole_com_ptr<IRowset> rowset;
        command.execute(statement, &rowset);
    } catch (...) {
        tk_log_message(1, "Query failed");
        return false;
    }
    tk_log_message(1, "Query succeeded");
    return true;
}

// ---- mss_database ------------------------------------------------------------------------

mss_database::mss_database(const std::wstring& name, const std::wstring& schema,
                           IDBInitialize* data_source_in, IOpenRowset* session_in, int mode)
    : odb_database(name, mode, data_source_in, session_in) {
    tk_log_wmessage(2, L"mss_database::ctor2(%ls,%ls)", name.c_str(), schema.c_str());
    try {
        mss_engine::ref().get_code_page(data_source.get());
    } catch (const odb_exception& e) {
        tk_log_message(3, "Error while reading the code page:\n%s\n", e.message.c_str());
    }
    // A source whose tables cannot be listed is no source: the error passes to the opener,
    // before any destination is touched.
    init_tables(session.get(),
                mss_engine::ref().is_view_owned() && schema.empty() ? L"dbo" : schema);
    try {
        init_sequencies(session.get(), schema);
    } catch (const odb_exception& e) {
        tk_log_message(3, "Error while extracting sequencies:\n%s\n", e.message.c_str());
    }
    if ((mode & 0x80) == 0) {
        try {
            init_views(session.get(), schema);
        } catch (const odb_exception& e) {
            tk_log_message(3, "Error while extracting views:\n%s\n", e.message.c_str());
            views_error = mss_catalogue_gap("The views", e).what();
        }
    }
}

mss_database::~mss_database() {
    column_types.clear();
}

void mss_database::init_tables(IOpenRowset* on, const std::wstring& schema) {
    tk_log_wmessage(2, L"mss_database::init_tables(%ls)", schema.c_str());
    const bool view_owned = mss_engine::ref().is_view_owned();
    tk_log_message(1, "mss_engine::ref().is_view_owned()=%d", view_owned);
    std::string first_error;
    try {
        odb_tl_meta_data list(on, schema);
        for (list.reset(); !list.is_eof(); list.next()) {
            const udb_record& row = *list.get_item();
            const std::wstring owner = text_of(row, odb_schema_column::tables_schema);
            const std::wstring table = text_of(row, odb_schema_column::tables_name);
            tk_log_wmessage(2, L"Got table (1): (name=%ls, owner=%ls)", table.c_str(),
                            owner.c_str());
            if (udb_equal_no_case(owner, L"sys")) {
                tk_log_wmessage(3, L"Skip %ls.%ls", owner.c_str(), table.c_str());
                continue;
            }
            tables.push_back(mss_list_tab_name(owner, table));
            tk_log_wmessage(1, L"Stored as %ls", tables.back().c_str());
        }
    } catch (const tk_exception& e) {
        // The schema rowset is optional: the stored procedure below lists the tables too.
        first_error = e.what();
        tk_log_message(3, "Error while extracting tables:\n%s\n", e.what());
        tables.clear();
    }
    if (!tables.empty()) {
        tk_log_message(2, "Tables count: %d", static_cast<int>(tables.size()));
        init_column_types(on, schema);
        return;
    }
    tk_log_message(2, "No tables were found! Trying another method.");
    std::wstring sql = L"exec sp_tables ";
    if (view_owned && !udb_equal_no_case(schema, L"sa")) {
        sql += L"@table_owner='" + mss_escape_literal(schema) + L"', ";
    }
    sql += L"@table_type=\"'TABLE'\"";
    std::unique_ptr<odb_recordset> list;
    try {
        list = run(sql);
    } catch (const tk_exception& e) {
        throw tk_exception(L"The list of tables of database '" + name + L"' could not be read: " +
                               tk_utf8_to_wstring(e.what()) +
                               (first_error.empty()
                                    ? std::wstring()
                                    : L" (first query: " + tk_utf8_to_wstring(first_error) + L")"),
                           1);
    }
    for (list->reset(); !list->is_eof(); list->next()) {
        const udb_record& row = *list->get_item();
        const std::wstring owner = text_of(row, 1);
        const std::wstring table = text_of(row, 2);
        if (udb_equal_no_case(owner, L"sys")) {
            tk_log_wmessage(3, L"Skip %ls.%ls", owner.c_str(), table.c_str());
            continue;
        }
        tk_log_wmessage(2, L"Got table (2): (name=%ls, owner=%ls)", table.c_str(), owner.c_str());
        // The same form as the schema rowset gives, owner included whatever the settings: a
        // table must not change its name (and its destination) because the first query failed.
        tables.push_back(mss_list_tab_name(owner, table));
    }
    tk_log_message(2, "Tables count: %d", static_cast<int>(tables.size()));
    init_column_types(on, schema);
}

void mss_database::init_column_types(IOpenRowset* on, const std::wstring& schema) {
    try {
        init_columns(on, schema);
    } catch (const odb_exception& e) {
        tk_log_message(3, "Error while extracting column types:\n%s\n", e.what());
        column_types_error = e.what();
    }
}

void mss_database::init_columns(IOpenRowset*, const std::wstring& schema) {
    tk_log_wmessage(2, L"mss_database::init_columns(%ls)", schema.c_str());
    if (!column_types.empty()) {
        return;
    }
    std::wstring sql =
        L"select TABLE_NAME, COLUMN_NAME, DATA_TYPE, TABLE_SCHEMA from INFORMATION_SCHEMA.COLUMNS "
        L"where ";
    if (mss_engine::ref().is_view_owned()) {
        sql += L"TABLE_SCHEMA='" + mss_escape_literal(schema) + L"' and ";
    }
    sql += L"TABLE_NAME not in ('sysalternates','sysconstraints','syssegments')";
    auto rows = run(sql);
    mss_engine& engine = *mss_engine::instance();
    for (rows->reset(); !rows->is_eof(); rows->next()) {
        const udb_record& row = *rows->get_item();
        const std::wstring table = text_of(row, 0);
        const std::wstring column = text_of(row, 1);
        const std::wstring type = text_of(row, 2);
        // Keyed by schema and table, as get_table names the table: tables of the same name in
        // two schemas keep their own column types.
        const std::wstring owner = text_of(row, 3);
        const std::wstring key =
            owner.empty() ? engine.get_safe_tname(table) : mss_format_tab_name(owner, table);
        column_types[key][column] = type;
        tk_log_wmessage(2, L"Database column (table, column, type): %ls, %ls, %ls", table.c_str(),
                        column.c_str(), type.c_str());
    }
}

void mss_database::init_sequencies(IOpenRowset*, const std::wstring& schema) {
    tk_log_wmessage(2, L"mss_database::init_sequencies(%ls)", schema.c_str());
    auto rows = run(L"SELECT CAST(name AS varchar), CAST(start_value AS int), CAST(increment AS "
                    L"int), CAST(minimum_value AS bigint), CAST(maximum_value AS bigint), "
                    L"is_cycling FROM SYS.SEQUENCES");
    for (rows->reset(); !rows->is_eof(); rows->next()) {
        const udb_record& row = *rows->get_item();
        const std::int64_t minimum = std::max<std::int64_t>(row[3]->to_i8(), INT_MIN);
        const std::int64_t maximum = std::min<std::int64_t>(row[4]->to_i8(), INT_MAX);
        sequences.emplace_back(text_of(row, 0), row[1]->to_long(), row[2]->to_long(),
                               static_cast<std::int32_t>(minimum),
                               static_cast<std::int32_t>(maximum), row[5]->to_bool());
    }
}

namespace {

bool name_part(wchar_t c) {
    return std::iswalnum(static_cast<wint_t>(c)) || c == L'_' || c == L'@' || c == L'#' ||
           c == L'$' || c > 0x7F;
}

// What follows the AS that ends a CREATE VIEW header (name, column list, WITH options), without
// the definition's comments: a view may begin with WITH, "(" or a comment, and a "select" in
// its name or a comment is no start. Empty when there is no AS.
std::wstring view_body(const std::wstring& definition) {
    const std::wstring text = udb_without_comments(definition);
    wchar_t close = 0; // of the literal or quoted name being read
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (close != 0) {
            if (c == close) {
                if (i + 1 < text.size() && text[i + 1] == close) {
                    ++i;
                } else {
                    close = 0;
                }
            }
        } else if (c == L'[') {
            close = L']';
        } else if (c == L'\'' || c == L'"') {
            close = c;
        } else if ((i == 0 || !name_part(text[i - 1])) && i + 2 <= text.size() &&
                   udb_equal_no_case(std::wstring_view(text).substr(i, 2), L"as") &&
                   (i + 2 == text.size() || !name_part(text[i + 2]))) {
            const std::size_t start = text.find_first_not_of(L" \t\r\n", i + 2);
            return start == std::wstring::npos ? std::wstring() : text.substr(start);
        }
    }
    return {};
}

// Whether a bracketed name may lose its brackets: a word of letters, digits, _ and $ not
// beginning with a digit. Bare, any other name (parentheses, quotes, blanks, commas) would be
// read as code, and could turn what follows into code too.
bool plain_name(std::wstring_view name) {
    if (name.empty() || std::iswdigit(static_cast<wint_t>(name.front()))) {
        return false;
    }
    // "@" and "#" stay in brackets: bare, MySQL reads a user variable or a comment.
    return std::all_of(name.begin(), name.end(), [](wchar_t c) {
        return name_part(c) && c != L'@' && c != L'#' && !udb_unicode_blank(c);
    });
}

// `text` with the brackets of plain names removed, outside literals; other bracketed names
// and every literal are kept as they are.
std::wstring without_plain_brackets(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const wchar_t c = text[i];
        if (c == L'\'' || c == L'"') {
            std::size_t end = i + 1;
            while (end < text.size() &&
                   (text[end] != c || (end + 1 < text.size() && text[end + 1] == c))) {
                end += text[end] == c ? 2 : 1;
            }
            end = std::min(end + 1, text.size());
            out.append(text, i, end - i);
            i = end;
        } else if (c == L'[') {
            std::size_t end = i + 1;
            while (end < text.size() &&
                   (text[end] != L']' || (end + 1 < text.size() && text[end + 1] == L']'))) {
                end += text[end] == L']' ? 2 : 1;
            }
            const std::wstring_view name = std::wstring_view(text).substr(i + 1, end - i - 1);
            if (end < text.size() && plain_name(name)) {
                out.append(name);
            } else {
                out.append(text, i, std::min(end + 1, text.size()) - i);
            }
            i = std::min(end + 1, text.size());
        } else {
            out.push_back(c);
            ++i;
        }
    }
    return out;
}

} // namespace

void mss_database::init_views(IOpenRowset*, const std::wstring& schema) {
    tk_log_wmessage(2, L"mss_database::init_views(%ls)", schema.c_str());
    auto rows = run(L"select name, definition from sys.objects o join sys.sql_modules m on "
                    L"m.object_id = o.object_id where o.type = 'V'");
    const bool view_owned = mss_engine::ref().is_view_owned();
    for (rows->reset(); !rows->is_eof(); rows->next()) {
        const udb_record& row = *rows->get_item();
        const std::wstring view = text_of(row, 0);
        std::wstring text = text_of(row, 1);
        text = view_body(text.substr(0, text.find(L'\0')));
        if (text.empty()) {
            tk_log_message(2, "No AS found in the view");
            continue;
        }
        tk_log_wmessage(2, L"Got view #1: ('%ls', '%ls')", view.c_str(), text.c_str());
        for (const wchar_t* noise :
             {L"TOP 100 PERCENT", L"top 100 percent", L"TOP (100) PERCENT", L"top (100) percent",
              L"WITH (NOLOCK)", L"with (nolock)", L"WITH SCHEMABINDING", L"with schemabinding",
              L"WITH VIEW_METADATA", L"with view_metadata"}) {
            tk_wstring::replace_all(text, noise, L"");
        }
        text = without_plain_brackets(text);
        tk_log_wmessage(2, L"Got view #2: ('%ls', '%ls')", view.c_str(), text.c_str());
        if (view_owned) {
            tk_wstring::replace_all(text, L"dbo.", L"");
            tk_log_wmessage(2, L"Got view #3: ('%ls', '%ls')", view.c_str(), text.c_str());
        }
        tk_wstring::trim(text);
        tk_log_wmessage(2, L"Got view: ('%ls', '%ls')", view.c_str(), text.c_str());
        views.emplace_back(view, text);
    }
}

std::unique_ptr<udb_recordset> mss_database::get_table(const std::wstring& table,
                                                       std::int32_t flags) {
    tk_log_wmessage(2, L"mss_database::get_table1(%ls)", table.c_str());
    const std::wstring canonical = mss_engine::instance()->get_safe_tname(table);
    auto opened = std::make_unique<mss_table>(canonical, session.get(), flags, &relationships);
    if (!column_types_error.empty()) {
        mss_report_catalogue_gap(canonical, "The declared column types",
                                 tk_exception(column_types_error, 0));
    }
    return amend_schema(std::move(opened));
}

std::unique_ptr<udb_recordset> mss_database::get_query(const std::wstring& query_name,
                                                       const std::wstring& select,
                                                       std::int32_t flags) {
    tk_log_wmessage(2, L"mss_database::get_query(%ls: %ls)", query_name.c_str(), select.c_str());
    // Only one SELECT goes to the server, whoever composed the text, and the driver gets it
    // without the comments it would read otherwise.
    const std::wstring sent = udb_select_to_send(L"Query", query_name, select);
    auto opened =
        std::make_unique<mss_table>(query_name, sent, session.get(), flags, &relationships);
    return amend_schema(std::move(opened));
}

void mss_database::get_schema_info(std::vector<std::wstring>& names) {
    tk_log_message(2, "mss_database::get_schema_info");
    names.clear();
    try {
        names = read_schema_names();
    } catch (const odb_exception& e) {
        tk_log_message(2, "%s", e.message.c_str());
    }
    if (names.empty()) {
        names.push_back(L"dbo");
    }
}

std::vector<std::wstring> mss_database::read_schema_names() {
    std::vector<std::wstring> names;
    auto rows = run(L"SELECT name FROM " + mss_enclose_name(name) +
                    L".sys.schemas where name <> 'sys' and principal_id < 16384");
    for (rows->reset(); !rows->is_eof(); rows->next()) {
        const std::wstring schema = text_of(*rows->get_item(), 0);
        tk_log_wmessage(2, L"Got schema: name=%ls", schema.c_str());
        names.push_back(schema);
    }
    return names;
}

bool mss_database::is_table_exist(const std::wstring& table) {
    tk_log_wmessage(2, L"mss_database::is_table_exist(%ls)", table.c_str());
    if (table.empty()) {
        return false;
    }
    // Compared in the list's own form: owner and table as a pair, so that neither a point nor a
    // bracket inside a part can make two tables look alike.
    std::wstring owner;
    std::wstring plain;
    if (!mss_parse_tab_name(table, owner, plain)) {
        return false;
    }
    return udb_database::is_table_exist(mss_list_tab_name(owner, plain));
}
