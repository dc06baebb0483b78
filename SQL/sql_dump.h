// The MySQL script file: a destination database that writes its statements into a file that a
// MySQL client replays later.
#pragma once

#include "SQL/sql_init.h"
#include "SQL/sql_vexp.h"
#include "UDB/udb_db.h"

#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class tk_replaced_file;

// The format options of a script file, copied by value into the script.
class sql_new_tn_validator;

class dump_options {
public:
    dump_options();
    ~dump_options();
    dump_options(const dump_options&) = default;
    dump_options& operator=(const dump_options&) = default;

    // "\n" when `line_breaks` is non-zero, else "\r\n".
    std::string line_break() const;
    std::wstring wline_break() const;

    std::int32_t line_breaks = 0;
    // A script for MySQL 4.1 and later (backquoted names, ENGINE=, foreign keys); what needs a
    // newer server is written in version-conditional comments.
    bool new_version = true;
    bool lock_tables = true;
    bool comments = true;
    // Only together with `create_tables`.
    bool create_database = false;
    bool create_tables = true;
    std::string creator;
    // Empty: the base name of the script file.
    std::string database_name;
};

// The script file as a udb_database. Made by sql_engine::create_dump; the caller owns it. It
// fixes the engine's version word for the whole run (0x40100 for a script for new servers,
// else 0x31401), since every MySQL rule reads it. Used by one thread.
//
// The statements go into a temporary file beside the script's path (beside the target of a
// symbolic link, which stays a link), under a lock that refuses a second script of the same
// path meanwhile (tk_replaced_file). Only close() puts the script in place, replacing a file of
// that name; the destructor without close(), discard() and an end of the process through
// tk_run_exit_cleanups() remove the temporary file and leave the old script as it was. A file
// that cannot be created, a locked path, and any failed write raise tk_exception (level 1)
// naming the file and the reason; once a write has failed every later operation raises it again.
class dmp_database : public udb_database {
public:
    // The last line of every whole script.
    static constexpr const char* completion_line = "# Script complete";

    dmp_database(const std::wstring& file_name, const dump_options& options);
    ~dmp_database() override;

    // Writes the final UNLOCK TABLES when a lock is open and the completion line, flushes and
    // closes the file and puts it in place; raises tk_exception (level 1) when the file is
    // incomplete, and then leaves no script. Later calls do nothing.
    void close();
    // Gives the script up: the temporary file is removed, the path keeps what it held.
    void discard() noexcept;

    // Slot 3: the table's DROP TABLE and CREATE TABLE statements (as the options say) and a
    // LOCK TABLES for its rows; answers the table's writer. A name created before (ignoring
    // case) is an internal error (sql_dump, 428).
    std::unique_ptr<udb_recordset> create_table(const std::wstring& name, const udb_schema& schema,
                                                const udb_indexes& indexes) override;
    using udb_database::create_table;
    void create_index(const std::wstring& table, const udb_schema& schema,
                      const udb_index& index) override;
    void create_views(const std::vector<udb_view>& views) override;
    void delete_fk(const udb_relationship& relationship) override;
    void delete_idx(const std::wstring& table, const udb_index& index) override;
    // Writes DROP TABLE; true when the table was created in this script.
    bool delete_tab(const std::wstring& name) override;
    void empty_table(const std::wstring& name) override;
    // A script has no rows to read: null.
    std::unique_ptr<udb_recordset> get_query(const std::wstring& name, const std::wstring& select,
                                             std::int32_t flags) override;
    // Not supported: internal error (sql_dump, 153).
    std::unique_ptr<udb_recordset> get_table(const std::wstring& name, std::int32_t flags) override;
    // Writes the statement; null.
    std::unique_ptr<udb_recordset> query(const std::wstring& statement) override;
    bool test_query(const std::wstring& statement) override;
    void create_relationships(const udb_relationships& relationships) override;

    // Writes one statement followed by ";" and the line break; a CREATE FUNCTION statement
    // inside DELIMITER lines.
    void write_statement(std::string_view statement);
    // Writes text as it is (gathered in the buffer; a write error may show at a later call).
    void write(std::string_view text);
    // Raises the write error when the stream has failed.
    void check_stream();
    // Notes a failed stream without raising (destructors).
    void note_stream_state() noexcept;

    const dump_options& options() const { return options_; }
    const std::string& line_break() const { return line_break_; }
    // The primary key and unique indexes that the CREATE TABLE of `table` wrote (none when the
    // script creates no tables), by destination column names.
    std::vector<sql_unique_key> written_unique_keys(const std::wstring& table) const;

private:
    // Writes the gathered text to the file; throws the write error.
    void write_buffer();
    void write_through(std::string_view text);
    void write_header();
    // The database the script creates: the options' name, else the file's base name.
    std::wstring script_database() const;
    // One view of create_views: refused (tk_exception) when its text is not one SELECT as both
    // T-SQL and MySQL read it, begins with WITH, or holds what the mysql client would take for
    // its own command.
    void create_view(sql_new_tn_validator& validator, const udb_view& view);
    void write_comment(const char* title, const std::wstring& table);
    void unlock_tables(const char* where);
    // Throws the write error (errno of the failure) naming the file.
    [[noreturn]] void throw_write_error();
    std::wstring safe(const std::wstring& name) const;
    // The table's own CREATE TABLE column and index clauses as the engine's builders make them,
    // with what needs a newer server in version-conditional comments.
    std::wstring create_table_text(const std::wstring& name, const udb_schema& schema,
                                   const udb_indexes& indexes, udb_properties* properties,
                                   class sql_schema_initializer& columns, std::wstring& auto_name);

    // Why the server refuses a foreign key from these columns of `child` to those of `parent`
    // (their written types are unlike); empty when it does not, or a table is not the script's.
    std::string unlike_key_columns(const std::wstring& child,
                                   const std::vector<std::wstring>& key_columns,
                                   const std::wstring& parent,
                                   const std::vector<std::wstring>& referenced) const;

    std::unique_ptr<tk_replaced_file> file_;
    std::ofstream out_;
    dump_options options_;
    std::map<std::wstring, udb_indexes> indexes_by_table_;
    // The kinds of the columns of the tables written so far, for the views' rewriting.
    sql_column_kinds column_kinds_;
    // written_unique_keys, by table name in lower case.
    std::map<std::wstring, std::vector<sql_unique_key>> unique_keys_;
    // The written type of each column of the tables written so far, by table and column name
    // in lower case, for the foreign keys between them.
    std::map<std::wstring, std::map<std::wstring, std::wstring>> column_types_;
    std::string line_break_;
    std::string file_name_utf8_;
    // Script text not yet written to the file.
    std::string buffer_;
    // errno of the first failed write, 0 while none failed.
    int write_errno_ = 0;
    bool closed_ = false;
};

// Writes every carriage return inside a quoted literal of `text` (from position `from` on) as
// the escape \r. The mysql client drops a carriage return that ends a line, so a literal value
// ending a line with one would lose it on replay; line breaks between clauses stay as they are.
void dmp_escape_carriage_returns(std::string& text, std::size_t from);

// Why a statement of the script would make the mysql client do more than send it, or an empty
// string: a backslash (outside a literal a client command such as \! or \., inside one an
// escape that T-SQL text never meant, which can close the literal early), or a line that begins
// with one of the client's own commands (source, system, delimiter, connect, use, ...).
std::string dmp_client_command_fault(std::string_view statement);

// The version-conditional form of one column clause for a script that replays on every server
// from 4.1 on: `clause` as the builders made it at the script's version word, for the column
// `column`. Fractional seconds and a current-date default of a date-and-time column are what
// newer servers accept ("DATETIME/*!50604 (3) */ ... /*!50605 DEFAULT CURRENT_TIMESTAMP(3) */")
// in place of a TIMESTAMP column. Other clauses come back unchanged.
std::wstring dmp_conditional_column_clause(const std::wstring& clause, const t_ftd& column);
