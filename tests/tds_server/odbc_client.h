// odbc_client: a small ODBC client (unixODBC + FreeTDS) for the TDS test server's tests.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One diagnostic record of a failed or warned call.
struct odbc_diagnostic {
    std::string state;
    SQLINTEGER native = 0;
    std::string message;
};

// SQLDescribeCol's view of a result column.
struct odbc_column {
    std::string name;
    SQLSMALLINT sql_type = 0;
    SQLULEN size = 0;
    SQLSMALLINT digits = 0;
    SQLSMALLINT nullable = 0;
};

// An environment, a connection and one statement handle, released in reverse order.
class odbc_client {
public:
    odbc_client();
    ~odbc_client();
    odbc_client(const odbc_client&) = delete;
    odbc_client& operator=(const odbc_client&) = delete;

    // Connects; on failure returns false and keeps the diagnostics.
    bool connect(const std::string& connection_string);
    // Asks FreeTDS for its bulk-copy functions (odbcss.h); only before connecting.
    void enable_bulk_copy();
    SQLHDBC connection() const { return dbc_; }
    // Keeps the connection's diagnostics (after a bulk-copy call failed).
    void collect_connection_diagnostics() { collect(SQL_HANDLE_DBC, dbc_); }
    // Runs a statement with SQLExecDirectW; false on SQL_ERROR.
    bool execute(const std::string& statement);
    // Prepares a statement, then runs it (again) with SQLExecute; false on SQL_ERROR.
    bool prepare(const std::string& statement);
    bool execute_prepared();
    SQLRETURN fetch();
    bool more_results();
    void close_cursor();
    std::vector<odbc_column> columns();
    // The column as text through SQL_C_WCHAR in pieces; nullopt for NULL. Throws on errors.
    std::optional<std::string> text(SQLUSMALLINT column);
    // The column as bytes through SQL_C_BINARY in pieces; nullopt for NULL.
    std::optional<std::string> bytes(SQLUSMALLINT column);
    bool connection_dead();

    // Diagnostics of the last failed call.
    const std::vector<odbc_diagnostic>& diagnostics() const { return diagnostics_; }
    std::string describe_diagnostics() const;

private:
    void collect(SQLSMALLINT type, SQLHANDLE handle);
    std::optional<std::string> read(SQLUSMALLINT column, SQLSMALLINT c_type);
    SQLHENV env_ = SQL_NULL_HENV;
    SQLHDBC dbc_ = SQL_NULL_HDBC;
    SQLHSTMT stmt_ = SQL_NULL_HSTMT;
    bool connected_ = false;
    std::vector<odbc_diagnostic> diagnostics_;
};

// UTF-8 <-> UTF-16 for SQLWCHAR strings.
std::u16string odbc_utf16(const std::string& utf8);
std::string odbc_utf8(const std::u16string& utf16);
