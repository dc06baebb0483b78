// The MySQL script file: its head, tables and indexes, foreign keys and views.
#include "SQL/sql_dump.h"

#include "SQL/sql_dmprs.h"
#include "SQL/sql_engi.h"
#include "SQL/sql_init.h"
#include "SQL/sql_util.h"
#include "SQL/sql_view.h"
#include "SQL/sql_vlim.h"
#include "TK/tk_fname.h"
#include "TK/tk_log.h"
#include "TK/tk_rfile.h"
#include "TK/tk_utils.h"
#include "UDB/sql_vali.h"
#include "UDB/udb_rule.h"
#include "UDB/udb_services.h"
#include "UDB/udb_util.h"
#include "platform/win32/localtime.h"
#include "platform/win32/nls.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

sql_engine& engine() {
    return *tk_singleton<sql_engine>::instance();
}

std::string utf8(const std::wstring& text) {
    return tk_to_utf8(text);
}

// The script is gathered in a buffer of this size and written in pieces of about that size. The
// stream's own buffer is not used for it: the stream writes every piece of 1 KiB or more at
// once, which would cost a write call per row of a table with wide rows.
constexpr std::size_t stream_buffer_size = 1 << 20;

// The modes a replay session runs under, each in the comment of the first version that knows
// it: an identity value 0 stays 0, a value a column cannot hold is an error, a missing storage
// engine is an error. None of the modes that change how literals are read.
const char* const sql_mode_lines[] = {
    "/*!40101 SET SESSION sql_mode='NO_AUTO_VALUE_ON_ZERO' */;",
    "/*!50002 SET SESSION sql_mode='NO_AUTO_VALUE_ON_ZERO,STRICT_ALL_TABLES' */;",
    "/*!50008 SET SESSION "
    "sql_mode='NO_AUTO_VALUE_ON_ZERO,STRICT_ALL_TABLES,NO_ENGINE_SUBSTITUTION' */;",
};

// Whether a table in `charset` is converted to utf8mb4 where the server has it: the stored name
// "utf8" stands for full Unicode (an empty name falls back to it too).
bool is_default_utf8(const std::wstring& charset) {
    return charset.empty() || udb_equal_no_case(charset, L"utf8");
}

// Sets an engine member for the life of the object.
template <class T> class engine_value_guard {
public:
    engine_value_guard(T& member, T value) : member_(member), saved_(member) { member_ = value; }
    ~engine_value_guard() { member_ = saved_; }
    engine_value_guard(const engine_value_guard&) = delete;
    engine_value_guard& operator=(const engine_value_guard&) = delete;

private:
    T& member_;
    T saved_;
};

// The file name as the system opens it: the ANSI code page; a name the code page cannot
// represent would open another file, so it is refused.
bool narrow_file_name(const std::wstring& name, std::string& narrow) {
    try {
        narrow = tk_to_string(name, -1);
        return !narrow.empty() && tk_to_wstring(narrow) == name;
    } catch (const tk_exception&) {
        return false;
    }
}

// Text for a "#" comment, which ends at the end of its line: a line break inside a name or a
// path would let the rest of it run as statements on replay, so each becomes a blank.
std::string comment_text(std::string text) {
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    return text;
}

std::string join_safe(const std::vector<std::wstring>& names) {
    const sql_engine& e = engine();
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            text += ", ";
        }
        text += utf8(e.get_safe_name(names[i]));
    }
    return text;
}

} // namespace

// ---- Options ------------------------------------------------------------------------------------

dump_options::dump_options() {
    tk_log_message(2, "dump_options::ctor1");
}

dump_options::~dump_options() {
    creator.clear();
    database_name.clear();
}

std::string dump_options::line_break() const {
    return line_breaks != 0 ? "\n" : "\r\n";
}

std::wstring dump_options::wline_break() const {
    return line_breaks != 0 ? L"\n" : L"\r\n";
}

// ---- Literals -----------------------------------------------------------------------------------

void dmp_escape_carriage_returns(std::string& text, std::size_t from) {
    if (from >= text.size() ||
        std::memchr(text.data() + from, '\r', text.size() - from) == nullptr) {
        return;
    }
    // Only the text from `from` on is rewritten: the multi-row path calls this for every value
    // of a statement of up to a megabyte.
    std::string out;
    out.reserve(text.size() - from + 16);
    char quote = 0; // the quote of the literal or identifier the scan is in
    for (std::size_t i = from; i < text.size(); ++i) {
        const char c = text[i];
        if (quote == 0) {
            if (c == '\'' || c == '"' || c == '`') {
                quote = c;
            }
            out += c;
            continue;
        }
        if (c == '\\' && quote != '`' && i + 1 < text.size()) {
            out += c;
            out += text[++i];
            continue;
        }
        if (c == quote) {
            quote = 0;
        }
        if (c == '\r' && quote != '`') {
            out += "\\r";
            continue;
        }
        out += c;
    }
    text.resize(from);
    text += out;
}

// ---- Column clauses for every server ------------------------------------------------------------

namespace {

std::wstring conditional_date_clause(const std::wstring& clause, const t_ftd& column) {
    if (column.type != VT_DATE || !column.native_type.empty() ||
        udb_custom_conversion::is_acceptable1(column)) {
        return clause;
    }
    sql_engine& e = engine();
    const std::wstring low_type = get_sql_native_type2(column, false);
    const std::wstring low_default = make_mysql_def_val(&column);
    std::wstring high_type;
    std::wstring high_default;
    {
        // The forms of servers that take fractional seconds (5.6.4) and a current-date default
        // on DATETIME (5.6.5).
        const engine_value_guard<uint32_t> newer(e.version, std::max<uint32_t>(e.version, 0x50605));
        high_type = get_sql_native_type2(column, false);
        high_default = make_mysql_def_val(&column);
    }
    if (high_type == low_type && high_default == low_default) {
        return clause;
    }
    const std::wstring name = sql_quote_identifier(column.name) + L" ";
    if (clause.compare(0, name.size(), name) != 0 ||
        clause.compare(name.size(), low_type.size(), low_type) != 0) {
        tk_log_wmessage(2, L"Column clause kept as built: %ls", clause.c_str());
        return clause;
    }
    const std::size_t paren = high_type.find(L'(');
    const std::wstring high_base = high_type.substr(0, paren);
    const std::wstring fsp = paren == std::wstring::npos ? std::wstring() : high_type.substr(paren);
    // Old servers take a current-date default only on TIMESTAMP, which cannot hold dates before
    // 1970: the column is DATETIME everywhere and takes its default where the server can.
    const bool timestamp_to_datetime = low_type == L"TIMESTAMP" && high_base == L"DATETIME";
    if (high_base != low_type && !timestamp_to_datetime) {
        tk_log_wmessage(2, L"Column clause kept as built: %ls", clause.c_str());
        return clause;
    }
    std::wstring type = high_base;
    if (!fsp.empty()) {
        type += L"/*!50604 " + fsp + L" */";
    }
    std::wstring rest = clause.substr(name.size() + low_type.size());
    if (!low_default.empty() && (timestamp_to_datetime || high_default != low_default)) {
        const std::wstring low_clause = L" DEFAULT " + low_default;
        const std::size_t at = rest.find(low_clause);
        if (at != std::wstring::npos) {
            rest.replace(at, low_clause.size(),
                         high_default.empty() ? std::wstring()
                                              : L" /*!50605 DEFAULT " + high_default + L" */");
        }
    }
    return name + type + rest;
}

// An expression default goes in MariaDB's own version comment: MySQL's form /*!80013 ... */
// would also run on MariaDB 10.0 and 10.1, which refuse it, while MySQL skips /*M! ... */.
// So MariaDB from 10.2.1 gets the default and every other server the column without it.
std::wstring with_expression_default(std::wstring clause, const t_ftd& column) {
    const auto size = static_cast<std::uint32_t>(column.size);
    if (column.b_auto_num || (column.type == VT_BSTR && (size == 0 || size > 21845))) {
        return clause;
    }
    std::wstring expression;
    {
        // The form of the first MariaDB that takes it, fractional seconds included.
        sql_engine& e = engine();
        const engine_value_guard<uint32_t> newer(e.version,
                                                 std::max<uint32_t>(e.version, 0x0A0201));
        expression = sql_expression_default(column);
    }
    if (expression.empty()) {
        return clause;
    }
    const std::wstring piece = L" /*M!100201 DEFAULT " + expression + L" */";
    const std::wstring name = sql_quote_identifier(column.name);
    const std::size_t comment = clause.find(L" COMMENT '", name.size());
    clause.insert(comment == std::wstring::npos ? clause.size() : comment, piece);
    return clause;
}

} // namespace

std::wstring dmp_conditional_column_clause(const std::wstring& clause, const t_ftd& column) {
    return with_expression_default(conditional_date_clause(clause, column), column);
}

// ---- Database -----------------------------------------------------------------------------------

dmp_database::dmp_database(const std::wstring& file_name, const dump_options& options)
    : udb_database(file_name, 1, 0), options_(options), line_break_(options.line_break()) {
    file_name_utf8_ = utf8(file_name);
    tk_log_wmessage(2, L"dmp_database::ctor(%ls)", file_name.c_str());

    sql_engine& e = engine();
    e.version = options_.new_version ? 0x40100 : 0x31401;
    tk_log_message(1, "b_new_ver=%d", options_.new_version ? 1 : 0);

    std::string narrow;
    if (!narrow_file_name(file_name, narrow)) {
        tk_log_message(2, "Failed to open file");
        throw tk_exception("Cannot create the script file '" + file_name_utf8_ +
                               "': the name cannot be represented in the system's code page",
                           1);
    }
    file_ = std::make_unique<tk_replaced_file>(narrow, "script file");
    out_.rdbuf()->pubsetbuf(nullptr, 0);
    buffer_.reserve(stream_buffer_size);
    errno = 0;
    out_.open(file_->write_path(), std::ios::out | std::ios::binary | std::ios::trunc);
    if (!out_.is_open()) {
        const int open_errno = errno;
        tk_log_message(2, "Failed to open file");
        file_->discard();
        throw tk_exception("Cannot create the script file '" + file_name_utf8_ + "': " +
                               (open_errno != 0 ? std::strerror(open_errno) : "cannot open it"),
                           1);
    }
    try {
        write_header();
    } catch (...) {
        // The stream is closed while its buffer, a later member, still exists.
        discard();
        throw;
    }
}

dmp_database::~dmp_database() {
    // Not closed: the run did not end well, and a script that stops part way must not stand
    // where a whole one is expected.
    if (!closed_) {
        tk_log_message(2, "dmp_database::~dmp_database - the script is discarded");
    }
    discard();
}

void dmp_database::close() {
    if (closed_) {
        return;
    }
    closed_ = true;
    try {
        sql_engine* e = tk_singleton<sql_engine>::pointer();
        if (e != nullptr && e->tables_locked && out_.good()) {
            e->tables_locked = false;
            tk_log_message(2, "dmp_database::~dmp_database - right before unlock tables");
            write("UNLOCK TABLES;" + line_break_);
        }
        indexes_by_table_.clear();
        // Whatever the options, so that a script that was cut short can be told from a whole
        // one by its last line.
        write(completion_line + line_break_);
        write_buffer();
        out_.flush();
        out_.close();
        if (out_.fail()) {
            throw_write_error();
        }
        file_->commit();
    } catch (...) {
        out_.close();
        file_->discard();
        throw;
    }
}

void dmp_database::discard() noexcept {
    if (closed_) {
        return;
    }
    closed_ = true;
    sql_engine* e = tk_singleton<sql_engine>::pointer();
    if (e != nullptr) {
        e->tables_locked = false;
    }
    out_.close();
    file_->discard();
}

void dmp_database::throw_write_error() {
    if (write_errno_ == 0) {
        write_errno_ = errno != 0 ? errno : EIO;
    }
    throw tk_exception("Cannot write the script file '" + file_name_utf8_ +
                           "': " + std::strerror(write_errno_),
                       1);
}

void dmp_database::check_stream() {
    if (out_.fail()) {
        throw_write_error();
    }
}

void dmp_database::note_stream_state() noexcept {
    if (out_.fail() && write_errno_ == 0) {
        write_errno_ = errno != 0 ? errno : EIO;
    }
}

void dmp_database::write(std::string_view text) {
    if (out_.fail()) {
        throw_write_error();
    }
    if (buffer_.size() + text.size() > stream_buffer_size) {
        write_buffer();
        if (text.size() >= stream_buffer_size) {
            write_through(text);
            return;
        }
    }
    buffer_.append(text);
}

void dmp_database::write_buffer() {
    if (buffer_.empty()) {
        return;
    }
    write_through(buffer_);
    buffer_.clear();
}

void dmp_database::write_through(std::string_view text) {
    out_.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (out_.fail()) {
        throw_write_error();
    }
}

void dmp_database::write_statement(std::string_view statement) {
    // Only a statement that begins with C can begin with CREATE FUNCTION: rows skip the
    // comparison.
    const bool function = statement.size() >= 16 && (statement[0] == 'c' || statement[0] == 'C') &&
                          CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, statement.data(), 16,
                                         "CREATE FUNCTION ", 16) == CSTR_EQUAL;
    if (function) {
        write("DELIMITER $$" + line_break_);
    }
    write(statement);
    write(";");
    write(line_break_);
    if (function) {
        write("$$" + line_break_ + "DELIMITER ;" + line_break_);
    }
}

void dmp_database::write_header() {
    const sql_engine& e = engine();
    const std::string& lb = line_break_;
    if (options_.comments) {
        SYSTEMTIME now{};
        GetLocalTime(&now);
        char date[32];
        std::snprintf(date, sizeof date, "%02d/%02d/%04d", now.wMonth, now.wDay, now.wYear);
        std::string path = file_name_utf8_;
        std::replace(path.begin(), path.end(), '\\', '/');
        write("# File name: " + comment_text(path) + lb);
        write("# Creation date: " + std::string(date) + lb);
        write("# Created by " + comment_text(options_.creator) + lb);
        write("# " + std::string(50, '-') + lb);
    }
    // The file is UTF-8 whatever character set the tables are created in; utf8mb4 where the
    // server has it, so that characters outside the BMP replay intact.
    write(lb);
    write("SET NAMES utf8;" + lb);
    write("/*!50503 SET NAMES utf8mb4 */;" + lb);
    for (const char* line : sql_mode_lines) {
        write(line + lb);
    }
    // A script replayed again drops tables that the foreign keys of its last replay still
    // reference; the keys come at the end, after every table.
    write("/*!40014 SET FOREIGN_KEY_CHECKS = 0 */;" + lb);
    if (!options_.create_database || !options_.create_tables) {
        return;
    }
    const std::wstring name = script_database();
    // Quoted for old servers too (they know backquotes since 3.23.6): a name is never read as
    // more of the statement.
    const std::string quoted = utf8(sql_quote_identifier(name));
    write(lb);
    write("DROP DATABASE IF EXISTS " + quoted + ";" + lb);
    std::string create = "CREATE DATABASE " + quoted;
    if (!e.charset.empty()) {
        create += " character set " + utf8(sql_bare_word(e.charset));
    }
    write(create + ";" + lb);
    write("USE " + quoted + ";" + lb);
}

std::wstring dmp_database::safe(const std::wstring& name) const {
    return engine().get_safe_name(name);
}

void dmp_database::unlock_tables(const char* where) {
    engine().tables_locked = false;
    tk_log_message(2, "%s", where);
    write("UNLOCK TABLES;" + line_break_);
}

void dmp_database::write_comment(const char* title, const std::wstring& table) {
    const std::string& lb = line_break_;
    write(lb + "#" + lb + title + comment_text(utf8(table)) + "'" + lb + "#" + lb + lb);
}

std::wstring dmp_database::script_database() const {
    if (!options_.database_name.empty()) {
        return tk_utf8_to_wstring(options_.database_name);
    }
    const tk_file_name parts(file_name_utf8_);
    return tk_utf8_to_wstring(parts.name);
}

namespace {

// InnoDB keeps a few columns of its own in each row and refuses a table of more (errno 185).
constexpr std::size_t innodb_most_columns = 1017;
// No storage engine takes a table of more columns (error 1117).
constexpr std::size_t server_most_columns = 4096;

// The written default as the value judge reads literals: a quoted text or a bare number. A date
// default is written in double quotes, which the script's sql_mode reads as a text too; an
// expression default (empty here) is the server's to judge.
std::string judged_default_literal(const std::wstring& written) {
    std::string literal = tk_to_utf8(written);
    if (literal.size() >= 2 && literal.front() == '"' && literal.back() == '"' &&
        literal.find_first_of("'\\") == std::string::npos) {
        literal.front() = literal.back() = '\'';
    }
    if (literal.empty() || literal.front() == '\'' || sql_is_number_text(literal)) {
        return literal;
    }
    return {};
}

// The server refuses a table whose columns may take more bytes in a row than this, counting
// the TEXT and BLOB types by their pointers only (error 1118).
constexpr std::size_t server_most_row_bytes = 65535;

// The most bytes a column of the written type takes in the server's row, at `char_bytes` bytes
// a character for texts (`national_bytes` for the national forms); an unknown type counts as
// a pointer, as the TEXT and BLOB types do. Rounded up where unsure.
std::size_t row_bytes_of(const std::wstring& written, std::size_t char_bytes,
                         std::size_t national_bytes) {
    const std::wstring upper = tk_ascii_upper_copy(written);
    const std::size_t open = upper.find(L'(');
    const std::size_t length =
        open == std::wstring::npos ? 0 : std::wcstoul(upper.c_str() + open + 1, nullptr, 10);
    const auto starts = [&](std::wstring_view word) { return upper.rfind(word, 0) == 0; };
    const bool national = starts(L"NATIONAL ") || starts(L"NCHAR") || starts(L"NVARCHAR");
    const std::wstring plain = !national ? upper : upper.substr(starts(L"NATIONAL ") ? 9 : 1);
    const std::size_t width = national ? national_bytes : char_bytes;
    const auto starts_plain = [&](std::wstring_view word) { return plain.rfind(word, 0) == 0; };
    const auto with_length_bytes = [](std::size_t bytes) { return bytes + (bytes > 255 ? 2 : 1); };
    if (starts_plain(L"VARCHAR") || starts_plain(L"CHAR VARYING")) {
        return with_length_bytes(length * width);
    }
    if (starts_plain(L"CHAR")) {
        return std::max<std::size_t>(length, 1) * width;
    }
    if (starts(L"VARBINARY")) {
        return with_length_bytes(length);
    }
    if (starts(L"BINARY")) {
        return std::max<std::size_t>(length, 1);
    }
    static const std::pair<std::wstring_view, std::size_t> fixed[] = {
        {L"TINYINT", 1},  {L"BOOL", 1}, {L"SMALLINT", 2},  {L"MEDIUMINT", 3}, {L"MIDDLEINT", 3},
        {L"BIGINT", 8},   {L"INT", 4},  {L"FLOAT", 4},     {L"DOUBLE", 8},    {L"REAL", 8},
        {L"DATETIME", 8}, {L"DATE", 3}, {L"TIMESTAMP", 7}, {L"TIME", 6},      {L"YEAR", 1},
        {L"BIT", 8},      {L"ENUM", 2}, {L"SET", 8}};
    for (const auto& [word, bytes] : fixed) {
        if (starts(word)) {
            return bytes;
        }
    }
    if (starts(L"DEC") || starts(L"NUMERIC") || starts(L"FIXED")) {
        // Four bytes for every nine digits, and a part of nine for each side of the point.
        const std::size_t digits = length == 0 ? 10 : length;
        return (digits / 9 + 2) * 4;
    }
    return 12;
}

// InnoDB keeps a row in a page of 16 KiB, at most about half of it (error 1118 under
// innodb_strict_mode): columns of at most 255 bytes stay there whole; longer ones and the TEXT
// and BLOB types may leave the page, keeping a pointer of 20 bytes. A few bytes of the record
// header are counted too, rounded up.
constexpr std::size_t innodb_most_page_row_bytes = 8126;
constexpr std::size_t innodb_off_page_bytes = 20;
constexpr std::size_t innodb_record_header_bytes = 8;

// Whether a column of the written type, taking up to `bytes` in the row, stays whole in
// InnoDB's page.
bool stays_in_page(const std::wstring& written, std::size_t bytes) {
    // A column longer than 255 bytes writes its length in two bytes.
    return !sql_is_lob_type(written) && bytes <= 256;
}

// Why the server refuses the CREATE TABLE of these clauses, in its own words and with what it
// means for the script; empty when nothing here is refused. A direct run learns it from the
// server and reports the table; the script has no server to ask, and its replay would stop at
// the statement.
std::string refused_table(const sql_schema_initializer& columns,
                          const sql_indexes_initializer& indexes, const std::wstring& storage,
                          const std::wstring& charset, std::size_t char_bytes,
                          std::size_t national_bytes) {
    const bool innodb = udb_equal_no_case(storage, L"InnoDB");
    const std::size_t most = innodb ? innodb_most_columns : server_most_columns;
    if (columns.columns.size() > most) {
        return "Too many columns: " + std::string(innodb ? "InnoDB" : "the server") +
               " takes at most " + std::to_string(most) + " in a table, and it has " +
               std::to_string(columns.columns.size()) + "; the table is not in the script.";
    }
    // A bit a column for its NULL, rounded up to whole bytes.
    const std::size_t null_bytes = (columns.written_types.size() + 7) / 8;
    std::size_t row_bytes = null_bytes;
    std::size_t page_bytes = null_bytes + innodb_record_header_bytes;
    for (const std::wstring& type : columns.written_types) {
        const std::size_t bytes = row_bytes_of(type, char_bytes, national_bytes);
        row_bytes += bytes;
        page_bytes += stays_in_page(type, bytes) ? bytes : innodb_off_page_bytes;
    }
    if (row_bytes > server_most_row_bytes) {
        return "Row size too large: the columns may take up to " + std::to_string(row_bytes) +
               " bytes in a row (texts at " + std::to_string(char_bytes) +
               " bytes a character), and the server takes at most " +
               std::to_string(server_most_row_bytes) +
               " besides the TEXT and BLOB columns; the table is not in the script.";
    }
    if (innodb && page_bytes > innodb_most_page_row_bytes) {
        return "Row size too large (> " + std::to_string(innodb_most_page_row_bytes) +
               "): the columns InnoDB keeps in its page may take up to " +
               std::to_string(page_bytes) + " bytes (texts at " + std::to_string(char_bytes) +
               " bytes a character); the table is not in the script.";
    }
    for (const udb_index& index : indexes.indexes) {
        if (!index.b_primary && udb_equal_no_case(index.name, L"PRIMARY")) {
            return "Incorrect index name '" + tk_to_utf8(index.name) +
                   "': only the primary key takes that name; the table is not in the script.";
        }
    }
    // Only a hand-mapped type can refuse its default: the engine's own types hold the source's.
    for (std::size_t i = 0; i < columns.columns.size() && i < columns.written_defaults.size();
         ++i) {
        const t_ftd& column = *columns.columns[i];
        const std::string literal = judged_default_literal(columns.written_defaults[i]);
        if (literal.empty() || column.native_type.empty() ||
            udb_custom_conversion::is_acceptable1(column)) {
            continue;
        }
        const sql_value_limit limit(column.native_type, charset);
        const std::string refusal = limit.judges() ? limit.refusal(literal) : std::string();
        if (!refusal.empty()) {
            return "Invalid default value for '" + tk_to_utf8(column.name) + "': the default " +
                   literal + " " + refusal + "; the table is not in the script.";
        }
    }
    return {};
}

// The family of a written type in which InnoDB lets a foreign key join columns of other
// lengths: texts of one character set (the national forms are utf8mb3 on every server, the
// others take the table's set; BINARY after a text type is its binary collation), or bytes.
// Empty for any other type, whose columns must be of the same type.
std::wstring string_family(const std::wstring& upper) {
    const auto starts = [&](std::wstring_view word) { return upper.rfind(word, 0) == 0; };
    const bool national = starts(L"NATIONAL ") || starts(L"NCHAR") || starts(L"NVARCHAR");
    if (national || sql_is_text_type(upper)) {
        std::wstring family = national ? L"national text" : L"text";
        if (upper.size() > 7 && upper.compare(upper.size() - 7, 7, L" BINARY") == 0) {
            family += L" binary";
        }
        return family;
    }
    if (starts(L"BINARY") || starts(L"VARBINARY") ||
        (sql_is_lob_type(upper) && upper.find(L"BLOB") != std::wstring::npos)) {
        return L"bytes";
    }
    return {};
}

// A written type in upper case as the server reads it, where two spellings name one type: the
// synonyms of the whole-number and fixed-point types (INTEGER, BOOL, NUMERIC, DEC, FIXED,
// DOUBLE PRECISION), the display width of a whole number, which changes nothing it holds, and
// the precision and scale a bare DECIMAL takes. Anything else stays as written.
std::wstring canonical_type(const std::wstring& upper) {
    std::vector<std::wstring> words;
    std::wstring arguments;
    std::wstring word;
    bool in_arguments = false;
    const auto end_word = [&] {
        if (!word.empty()) {
            words.push_back(word);
            word.clear();
        }
    };
    for (const wchar_t c : upper) {
        if (in_arguments) {
            if (c == L')') {
                in_arguments = false;
            } else if (c != L' ' && c != L'\t') {
                arguments += c;
            }
        } else if (c == L'(' && words.size() + (word.empty() ? 0 : 1) == 1 && arguments.empty()) {
            end_word();
            in_arguments = true;
        } else if (c == L' ' || c == L'\t' || c == L'\n' || c == L'\r') {
            end_word();
        } else {
            word += c;
        }
    }
    end_word();
    if (in_arguments || words.empty()) {
        return upper;
    }
    static const std::map<std::wstring, std::wstring> synonyms = {
        {L"INTEGER", L"INT"},     {L"INT4", L"INT"},
        {L"INT1", L"TINYINT"},    {L"BOOL", L"TINYINT"},
        {L"BOOLEAN", L"TINYINT"}, {L"INT2", L"SMALLINT"},
        {L"INT3", L"MEDIUMINT"},  {L"MIDDLEINT", L"MEDIUMINT"},
        {L"INT8", L"BIGINT"},     {L"NUMERIC", L"DECIMAL"},
        {L"DEC", L"DECIMAL"},     {L"FIXED", L"DECIMAL"}};
    std::wstring head = words.front();
    if (const auto synonym = synonyms.find(head); synonym != synonyms.end()) {
        head = synonym->second;
    }
    std::wstring rest;
    for (std::size_t i = 1; i < words.size(); ++i) {
        if (words[i] == L"SIGNED" || (head == L"DOUBLE" && i == 1 && words[i] == L"PRECISION")) {
            continue;
        }
        rest += L" " + words[i];
    }
    const bool whole = head == L"TINYINT" || head == L"SMALLINT" || head == L"MEDIUMINT" ||
                       head == L"INT" || head == L"BIGINT";
    if (whole) {
        return head + rest;
    }
    if (head == L"DECIMAL") {
        if (arguments.empty()) {
            arguments = L"10";
        }
        if (arguments.find(L',') == std::wstring::npos) {
            arguments += L",0";
        }
    }
    return head + (arguments.empty() ? L"" : L"(" + arguments + L")") + rest;
}

// Whether the server creates a foreign key from a column of the written type `from` to one of
// `to`. Two spellings of one type are alike (INT, INTEGER and INT(11)); two types the server
// might still join are taken for unlike: a key the script leaves out is reported, one the
// replay refuses is not.
bool foreign_key_types_match(const std::wstring& from, const std::wstring& to) {
    const std::wstring a = canonical_type(tk_ascii_upper_copy(from));
    const std::wstring b = canonical_type(tk_ascii_upper_copy(to));
    if (a == b) {
        return true;
    }
    const std::wstring family = string_family(a);
    return !family.empty() && family == string_family(b);
}

} // namespace

std::wstring dmp_database::create_table_text(const std::wstring& name, const udb_schema& schema,
                                             const udb_indexes& indexes, udb_properties* properties,
                                             sql_schema_initializer& columns,
                                             std::wstring& auto_name) {
    sql_engine& e = engine();
    const std::wstring wlb = options_.wline_break();
    std::wstring text = L"CREATE TABLE ";
    text += options_.new_version ? safe(name) : name;
    text += L" (" + wlb;

    std::vector<std::wstring> chunks;
    columns.get_init_chunks(chunks, properties);
    // Expression defaults travel in a version comment; what no server can take is reported.
    sql_report_left_out_defaults(name, columns.left_out_defaults, !options_.new_version);
    std::map<std::wstring, sql_value_kind>& kinds = column_kinds_[sql_lower_ascii(name)];
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        if (i < columns.columns.size()) {
            // The clause is the column's name, a blank and its type.
            const t_ftd& column = *columns.columns[i];
            const std::wstring quoted = sql_quote_identifier(column.name);
            const std::size_t type_at =
                (chunks[i].starts_with(quoted) ? quoted.size() : column.name.size()) + 1;
            kinds[sql_lower_ascii(column.name)] =
                type_at < chunks[i].size()
                    ? sql_kind_of_mysql_type(std::wstring_view(chunks[i]).substr(type_at))
                    : sql_value_kind::unknown;
        }
        if (i > 0) {
            text += L"," + wlb;
        }
        text += L"  ";
        text += options_.new_version && i < columns.columns.size()
                    ? dmp_conditional_column_clause(chunks[i], *columns.columns[i])
                    : chunks[i];
    }
    if (schema.empty()) {
        return text;
    }

    std::wstring storage = properties != nullptr ? properties->get_properties()[L"engine"] : L"";
    if (storage.empty()) {
        storage = options_.new_version ? e.storage_engine : std::wstring(L"MyISAM");
    }
    const std::wstring charset =
        properties != nullptr ? properties->get_properties()[L"character set"] : L"";
    const std::wstring values_charset = e.effective_charset(e.charset);
    // A table converted to utf8mb4 on replay takes four bytes per character in its keys.
    const bool converted =
        options_.new_version && is_default_utf8(charset.empty() ? e.charset : charset);
    const engine_value_guard<std::wstring> key_charset(
        e.charset, converted ? std::wstring(L"utf8mb4") : e.charset);
    sql_indexes_initializer index_clauses(columns.columns, indexes, auto_name,
                                          columns.validator->mapped_pairs, false, storage);
    index_clauses.mariadb_hash_comment = options_.new_version;
    std::vector<std::wstring> index_chunks;
    index_clauses.get_init_chunks(index_chunks);
    sql_report_left_out_keys(name, index_clauses.left_out_keys);
    // Texts take the most bytes a character of their set may take: four in a table converted to
    // utf8mb4 (national texts too), one in the single-byte sets, and four where unsure.
    const std::wstring table_charset = sql_lower_ascii(charset.empty() ? e.charset : charset);
    const bool single_byte =
        table_charset == L"latin1" || table_charset == L"ascii" || table_charset == L"binary";
    const std::size_t char_bytes = single_byte ? 1 : 4;
    const std::size_t national_bytes = converted ? 4 : 3;
    const std::string refusal = options_.create_tables
                                    ? refused_table(columns, index_clauses, storage, values_charset,
                                                    char_bytes, national_bytes)
                                    : std::string();
    if (!refusal.empty()) {
        column_kinds_.erase(sql_lower_ascii(name));
        throw tk_exception(refusal, 0);
    }
    std::map<std::wstring, std::wstring>& types = column_types_[sql_lower_ascii(name)];
    for (std::size_t i = 0; i < columns.columns.size() && i < columns.written_types.size(); ++i) {
        types[sql_lower_ascii(columns.columns[i]->name)] = columns.written_types[i];
    }
    unique_keys_[sql_lower_ascii(name)] = std::move(index_clauses.unique_keys);
    constexpr std::wstring_view comment_head = L"/*M!100400 ";
    for (const std::wstring& chunk : index_chunks) {
        if (chunk.starts_with(comment_head)) {
            // The comma belongs to the key: a server that skips the comment must not see it.
            text += wlb + L"  " + std::wstring(comment_head) + L", " +
                    chunk.substr(comment_head.size());
        } else {
            text += L"," + wlb + L"  " + chunk;
        }
    }
    return text;
}

std::unique_ptr<udb_recordset> dmp_database::create_table(const std::wstring& name,
                                                          const udb_schema& schema,
                                                          const udb_indexes& indexes) {
    tk_log_wmessage(2, L"dmp_database::create_table(%ls)", name.c_str());
    check_stream();
    if (is_table_exist(name)) {
        throw tk_mail_assertion("sql_dump", 428);
    }
    sql_engine& e = engine();
    std::wstring auto_name;
    sql_schema_initializer columns(name, schema, indexes, auto_name, false);
    if (e.tables_locked) {
        unlock_tables("dmp_database::create_table - right before unlock tables");
    }
    udb_properties* properties =
        e.properties != nullptr ? e.properties->find_by_new_name(name) : nullptr;
    // A table the server would refuse is judged before anything of it is written.
    std::wstring text = create_table_text(name, schema, indexes, properties, columns, auto_name);
    if (options_.create_tables) {
        if (options_.comments) {
            write_comment("# Table structure for table '", name);
        }
        delete_tab(name);
    }

    if (options_.create_tables) {
        tk_log_message(1, "Right before inserting CREATE TABLE statement");
        text += options_.wline_break() + L")";
        text += options_.new_version ? L" ENGINE=" : L" TYPE=";
        std::wstring storage =
            properties != nullptr ? properties->get_properties()[L"engine"] : L"";
        if (storage.empty()) {
            storage = options_.new_version ? e.storage_engine : std::wstring(L"MyISAM");
        }
        text += sql_bare_word(storage);
        const std::wstring charset =
            properties != nullptr ? properties->get_properties()[L"character set"] : L"";
        if (!charset.empty()) {
            text += L" character set " + sql_bare_word(charset);
        }
        std::string statement = utf8(text);
        dmp_escape_carriage_returns(statement, 0);
        write(statement + ";" + line_break_);
        if (options_.new_version && is_default_utf8(charset.empty() ? e.charset : charset)) {
            // "utf8" is utf8mb3 on the server: where utf8mb4 exists the table takes it.
            write("/*!50503 ALTER TABLE " + utf8(safe(name)) +
                  " CONVERT TO CHARACTER SET utf8mb4 */;" + line_break_);
        }
    }

    if (options_.comments) {
        write_comment("# Dumping data for table '", name);
    }
    if (options_.lock_tables) {
        const std::wstring locked = options_.new_version ? sql_quote_identifier(name) : name;
        write("LOCK TABLES " + utf8(locked) + " WRITE;" + line_break_);
        e.tables_locked = true;
    }

    tables.push_back(name);
    tk_log_wmessage(2, L"udb_names_map::add_fn_map(%ls)", name.c_str());
    names_map.add_fn_map(name, columns.validator->mapped_pairs);
    indexes_by_table_.emplace(name, indexes);
    return std::make_unique<dmp_recordset>(*this, name, columns.columns);
}

std::vector<sql_unique_key> dmp_database::written_unique_keys(const std::wstring& table) const {
    if (!options_.create_tables) {
        return {};
    }
    const auto found = unique_keys_.find(sql_lower_ascii(table));
    return found != unique_keys_.end() ? found->second : std::vector<sql_unique_key>{};
}

bool dmp_database::delete_tab(const std::wstring& name) {
    tk_log_wmessage(2, L"dmp_database::delete_tab(%ls)", name.c_str());
    const std::wstring quoted = options_.new_version ? safe(name) : name;
    write("DROP TABLE IF EXISTS " + utf8(quoted) + " CASCADE;" + line_break_);
    if (!is_table_exist(name)) {
        return false;
    }
    return udb_database::delete_tab(name);
}

void dmp_database::empty_table(const std::wstring& name) {
    tk_log_wmessage(2, L"dmp_database::empty_table(%ls)", name.c_str());
    query(L"delete from " + (options_.new_version ? sql_quote_identifier(name) : name));
}

void dmp_database::create_index(const std::wstring& table, const udb_schema&,
                                const udb_index& index) {
    tk_log_message(2, "dmp_database::create_index");
    const std::string name = utf8(safe(table));
    if (options_.lock_tables) {
        write("LOCK TABLES " + name + " WRITE;" + line_break_);
        engine().tables_locked = true;
    }
    std::string text;
    if (index.b_primary) {
        text = "ALTER TABLE " + name + " ADD PRIMARY KEY " + utf8(safe(index.name)) + " (";
    } else {
        text = std::string("CREATE ") + (index.b_unique ? "UNIQUE " : "") + "INDEX " +
               utf8(safe(index.name)) + " ON " + name + "(";
    }
    text += join_safe(index.columns);
    text += ");\n";
    write(text);
    write_buffer();
    out_.flush();
    check_stream();
}

void dmp_database::delete_idx(const std::wstring& table, const udb_index& index) {
    tk_log_wmessage(2, L"dmp_database::delete_idx(%ls.%ls)", table.c_str(), index.name.c_str());
    std::wstring statement = L"ALTER TABLE " + sql_quote_identifier(table) + L" DROP ";
    statement += index.b_primary ? L"PRIMARY KEY" : L"INDEX " + sql_quote_identifier(index.name);
    query(statement);
}

void dmp_database::delete_fk(const udb_relationship& relationship) {
    tk_log_wmessage(2, L"dmp_database::delete_fk(%ls)", relationship.name.c_str());
    query(L"ALTER TABLE " + sql_quote_identifier(relationship.fk_table) + L" DROP FOREIGN KEY " +
          sql_quote_identifier(relationship.name));
}

std::unique_ptr<udb_recordset> dmp_database::get_query(const std::wstring&, const std::wstring&,
                                                       std::int32_t) {
    return nullptr;
}

std::unique_ptr<udb_recordset> dmp_database::get_table(const std::wstring&, std::int32_t) {
    throw tk_mail_assertion("sql_dump", 153);
}

std::unique_ptr<udb_recordset> dmp_database::query(const std::wstring& statement) {
    write_statement(utf8(statement));
    return nullptr;
}

bool dmp_database::test_query(const std::wstring&) {
    return false;
}

void dmp_database::create_relationships(const udb_relationships& relationships) {
    tk_log_message(2, "dmp_database::create_relationships(rels.size=%zu)", relationships.size());
    sql_engine& e = engine();
    if (!options_.new_version) {
        tk_log_message(3, "This version of MySQL (%08X) doesn't support Foreign Keys", e.version);
        return;
    }
    check_stream();
    const std::string& lb = line_break_;
    if (e.tables_locked) {
        unlock_tables("dmp_database::create_relationships - right before unlock tables");
    }
    write(lb + "SET FOREIGN_KEY_CHECKS = 0;" + lb);
    const std::unique_ptr<udb_validator> validator(e.create_in_validator(udb_indexes()));

    for (const udb_relationship& relationship : relationships) {
        const std::wstring child = names_map.get_tn_mapped_name(relationship.fk_table, false);
        const std::wstring parent = names_map.get_tn_mapped_name(relationship.pk_table, false);
        tk_log_wmessage(2, L"Processing FK '%ls', properties=%ls", relationship.name.c_str(),
                        relationship.properties.c_str());
        const std::string child_name = utf8(safe(child));

        std::vector<std::wstring> key_columns;
        for (const std::wstring& column : relationship.fk_flds) {
            key_columns.push_back(names_map.get_fn_mapped_name(child, column, false));
        }
        std::vector<std::wstring> referenced_columns;
        for (const std::wstring& column : relationship.pk_flds) {
            referenced_columns.push_back(names_map.get_fn_mapped_name(parent, column, false));
        }

        const auto listed = indexes_by_table_.find(child);
        if (listed != indexes_by_table_.end() &&
            listed->second.has_index_on_fields(relationship.fk_flds, false)) {
            tk_log_wmessage(2, L"Child index for table '%ls' exists", child.c_str());
        } else {
            if (options_.lock_tables) {
                e.tables_locked = true;
                write("LOCK TABLES " + child_name + " WRITE;" + lb);
            }
            write("ALTER TABLE " + child_name + " ADD INDEX (" + join_safe(key_columns) + ");" +
                  lb);
        }

        if (options_.lock_tables) {
            e.tables_locked = true;
            if (parent != child) {
                write("LOCK TABLES " + child_name + " WRITE, " + utf8(safe(parent)) + " WRITE;" +
                      lb);
            } else {
                write("LOCK TABLES " + child_name + " WRITE;" + lb);
            }
        }

        std::wstring constraint = relationship.name;
        if (!validator->is_acceptable(constraint)) {
            constraint = validator->get_safe_name(constraint);
        }
        if (!validator->is_acceptable(constraint)) {
            tk_log_wmessage(2, L"Store generated index name '%ls'", constraint.c_str());
            tk_log_wmessage(1, L"udb_validator::add_existing_name(%ls)", constraint.c_str());
            validator->add_existing_name(constraint);
        }
        validator->restricted_words.push_back(constraint);

        const std::string unlike =
            unlike_key_columns(child, key_columns, parent, referenced_columns);
        if (!unlike.empty()) {
            udb_error_handler& handler = tk_singleton<udb_error_handler>::ref();
            handler.context = "Foreign key '" + tk_to_utf8(relationship.name) + "'";
            handler.handle(tk_exception("Cannot create foreign key. " + unlike, 0), false);
            continue;
        }
        std::string text = "ALTER TABLE " + child_name + " ADD CONSTRAINT " +
                           utf8(safe(constraint)) + " FOREIGN KEY(" + join_safe(key_columns) +
                           ") REFERENCES " + utf8(safe(parent)) + "(" +
                           join_safe(referenced_columns) + ")";
        if (!relationship.properties.empty()) {
            text += " " + utf8(relationship.properties);
        }
        write(text + ";" + lb);
    }
    write("SET FOREIGN_KEY_CHECKS = 1;" + lb);
}

std::string dmp_database::unlike_key_columns(const std::wstring& child,
                                             const std::vector<std::wstring>& key_columns,
                                             const std::wstring& parent,
                                             const std::vector<std::wstring>& referenced) const {
    const auto child_types = column_types_.find(sql_lower_ascii(child));
    const auto parent_types = column_types_.find(sql_lower_ascii(parent));
    if (child_types == column_types_.end() || parent_types == column_types_.end()) {
        return {};
    }
    for (std::size_t i = 0; i < key_columns.size() && i < referenced.size(); ++i) {
        const auto from = child_types->second.find(sql_lower_ascii(key_columns[i]));
        const auto to = parent_types->second.find(sql_lower_ascii(referenced[i]));
        if (from == child_types->second.end() || to == parent_types->second.end() ||
            foreign_key_types_match(from->second, to->second)) {
            continue;
        }
        return "The column '" + tk_to_utf8(key_columns[i]) + "' (" + tk_to_utf8(from->second) +
               ") cannot refer to '" + tk_to_utf8(referenced[i]) + "' (" + tk_to_utf8(to->second) +
               ") of table '" + tk_to_utf8(parent) +
               "': the server joins only columns of one type (texts of one character set, or "
               "bytes, of any lengths); the foreign key is not in the script.";
    }
    return {};
}

void dmp_database::create_views(const std::vector<udb_view>& views) {
    tk_log_message(2, "dmp_database::create_views");
    check_stream();
    sql_engine& e = engine();
    // A LOCK TABLES in force refuses CREATE VIEW, which names tables that are not locked.
    if (e.tables_locked) {
        unlock_tables("dmp_database::create_views - right before unlock tables");
    }
    std::vector<std::wstring> names;
    for (const udb_view& view : views) {
        names.push_back(view.first);
    }
    sql_new_tn_validator validator(names, {});
    for (const udb_view& view : views) {
        try {
            create_view(validator, view);
        } catch (const tk_exception& error) {
            // A refused view is reported and left out; the next view follows.
            tk_log_message(2, "Error while creating view:\n%s\n", error.what());
            udb_error_handler& handler = tk_singleton<udb_error_handler>::ref();
            handler.context = "View '" + tk_to_utf8(view.first) + "'";
            handler.handle(error, false);
        }
    }
}

void dmp_database::create_view(sql_new_tn_validator& validator, const udb_view& view) {
    const std::wstring& name = view.first;
    const std::wstring& text = view.second;
    tk_log_wmessage(2, L"Processing '%ls'", name.c_str());
    tk_log_wmessage(2, L"\t'%ls'", text.c_str());
    // The script replays on servers from MySQL 4.1 on, most of which take no WITH in a view; its
    // views know the columns of the tables it creates.
    sql_view_target target;
    // Without its own database the script replays into one nobody knows yet.
    if (options_.create_database && options_.create_tables) {
        target.database = script_database();
    }
    target.columns = &column_kinds_;
    const std::wstring body = sql_view_text_for_mysql(text, &names_map, target);
    std::wstring dest = name;
    if (!validator.is_acceptable(name)) {
        tk_log_wmessage(2, L"sql_new_validator::get_safe_name(%ls)", name.c_str());
        dest = validator.get_safe_name(name);
        tk_log_wmessage(2, L"udb_names_map::add_tn_mapping(%ls,%ls)", name.c_str(), dest.c_str());
        names_map.add_tn_mapping(name, dest);
        tk_log_wmessage(2, L"Store generated column name '%ls'", dest.c_str());
        tk_log_wmessage(1, L"udb_validator::add_existing_name(%ls)", dest.c_str());
        validator.add_existing_name(dest);
    }
    std::string statement = utf8(sql_create_view_head + safe(dest) + L" AS " + body);
    // The client reads the script: what it would take for its own commands never gets there.
    const std::string fault = dmp_client_command_fault(statement);
    if (!fault.empty()) {
        throw tk_exception("The view text cannot go into the script: " + fault, 0);
    }
    // Joined lines leave carriage returns only inside literals (and comments).
    dmp_escape_carriage_returns(statement, 0);
    write(statement + line_break_);
}

std::string dmp_client_command_fault(std::string_view statement) {
    // The client's commands that read or run something, or change where the rest goes.
    static constexpr std::string_view line_commands[] = {
        "source", "system", "delimiter", "connect", "use", "charset", "tee", "pager", "edit"};
    if (statement.find('\\') != std::string_view::npos) {
        return "it holds a backslash, which the mysql client reads as a command or an escape";
    }
    std::size_t line = 0;
    while (line <= statement.size()) {
        std::size_t end = statement.find_first_of("\r\n", line);
        if (end == std::string_view::npos) {
            end = statement.size();
        }
        std::size_t word = statement.find_first_not_of(" \t", line);
        std::string first;
        while (word < end && tk_ascii_lower(statement[word]) >= 'a' &&
               tk_ascii_lower(statement[word]) <= 'z') {
            first.push_back(tk_ascii_lower(statement[word++]));
        }
        for (std::string_view command : line_commands) {
            if (first == command) {
                return "a line begins with the mysql client's command " + first;
            }
        }
        line = end + 1;
    }
    return {};
}
