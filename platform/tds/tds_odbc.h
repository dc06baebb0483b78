// The ODBC calls the SQL Server provider makes, over unixODBC and FreeTDS's driver: owners of the
// environment, connection and statement handles, the diagnostics of each call, the connection
// string and the server forms users type.
//
// The ODBC headers declare Windows type names of their own (WCHAR, DWORD...) that clash with
// platform/win32, so they stay inside tds_odbc.cpp: this header mirrors the few constants and
// structures the provider needs, and tds_odbc.cpp checks them against the real ones.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace odbc {

using sql_len = std::int64_t; // SQLLEN on 64-bit unixODBC

inline constexpr sql_len null_data = -1; // SQL_NULL_DATA
inline constexpr sql_len no_total = -4;  // SQL_NO_TOTAL

// SQL data types as FreeTDS reports them.
enum sql_type : short {
    sql_char = 1,
    sql_numeric = 2,
    sql_decimal = 3,
    sql_integer = 4,
    sql_smallint = 5,
    sql_float = 6,
    sql_real = 7,
    sql_double = 8,
    sql_varchar = 12,
    sql_type_date = 91,
    sql_type_time = 92,
    sql_type_timestamp = 93,
    sql_longvarchar = -1,
    sql_binary = -2,
    sql_varbinary = -3,
    sql_longvarbinary = -4,
    sql_bigint = -5,
    sql_tinyint = -6,
    sql_bit = -7,
    sql_wchar = -8,
    sql_wvarchar = -9,
    sql_wlongvarchar = -10,
    sql_guid = -11,
    sql_ss_variant = -150,
    sql_ss_udt = -151,
    sql_ss_xml = -152,
    sql_ss_time2 = -154,
    sql_ss_timestampoffset = -155,
};

// C types the provider reads values as.
enum c_type : short {
    c_char = 1,
    c_wchar = -8,
    c_binary = -2,
    c_bit = -7,
    c_sbigint = -25,
    c_float = 7,
    c_double = 8,
    c_type_date = 91,
    c_type_timestamp = 93,
    c_guid = -11,
};

// The value structures of those C types, laid out as sqltypes.h and odbcss.h lay them out.
struct date_value {
    std::int16_t year;
    std::uint16_t month;
    std::uint16_t day;
};
struct timestamp_value {
    std::int16_t year;
    std::uint16_t month;
    std::uint16_t day;
    std::uint16_t hour;
    std::uint16_t minute;
    std::uint16_t second;
    std::uint32_t fraction; // nanoseconds
};
struct time2_value {
    std::uint16_t hour;
    std::uint16_t minute;
    std::uint16_t second;
    std::uint32_t fraction;
};
struct timestamp_offset_value {
    std::int16_t year;
    std::uint16_t month;
    std::uint16_t day;
    std::uint16_t hour;
    std::uint16_t minute;
    std::uint16_t second;
    std::uint32_t fraction;
    std::int16_t timezone_hour;
    std::int16_t timezone_minute;
};
struct guid_value {
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::uint8_t data4[8];
};

// One diagnostic record of a call.
struct diagnostic {
    std::u16string sqlstate;
    std::int32_t native = 0;
    std::u16string message; // as the driver wrote it, "[FreeTDS][SQL Server]" prefixes included
};

// What a call returned: success (with or without information), no data, or an error. A call
// that returns SQL_STILL_EXECUTING or SQL_NEED_DATA counts as an error here: the provider never
// asks for either.
enum class outcome { ok, info, no_data, error };

inline bool succeeded(outcome o) {
    return o == outcome::ok || o == outcome::info;
}

// The description of one result column.
struct column_description {
    std::u16string name;
    short type = 0;
    std::uint64_t size = 0;
    short digits = 0;
    bool nullable = true;
    std::u16string type_name;
};

// Whether a diagnostic tells of a connection that is gone: FreeTDS's "Unexpected EOF from the
// server" (native 20017, whatever its SQLSTATE) or a communication link failure (08S01).
bool is_connection_lost(const diagnostic& d);

// The process's ODBC environment (ODBC 3 behaviour), made on first use.
void* environment();

class statement;

// One connection. Opening makes one login attempt; the diagnostics stay for the caller.
class connection {
public:
    connection();
    ~connection();
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;

    // Connects with `connection_string` (SQLDriverConnect, no prompt) within `login_timeout`
    // seconds (0: the driver's default).
    bool open(const std::u16string& connection_string, int login_timeout);
    bool is_open() const { return open_; }
    // Whether the driver has seen the connection die (SQL_ATTR_CONNECTION_DEAD), or a call on it
    // reported a lost connection.
    bool dead() const;
    void mark_dead() { lost_ = true; }
    const std::vector<diagnostic>& diagnostics() const { return diagnostics_; }
    void* handle() const { return dbc_; }

    // Bulk copy into a table (FreeTDS's bcp_* for ODBC). The connection must ask for it before
    // it opens; such a connection serves one bulk copy and no statements.
    bool request_bulk_copy();
    // Starts the copy into `table` (as the server reads it, e.g. "[dbo].[t]"): FreeTDS reads
    // the table's columns first.
    bool bcp_init(const std::u16string& table);
    // Sends the identity values of the rows (BCPKEEPIDENTITY and the KEEP_IDENTITY hint).
    bool bcp_keep_identity();
    // How a bound value is laid out: text in the client character set (UTF-8), bytes, or an
    // SQL_TIMESTAMP_STRUCT that FreeTDS converts to the column's date or time type.
    enum class bcp_value { text, bytes, timestamp };
    // Binds table column `column` (from 1) to a value with a 4-byte length prefix (-1 for NULL)
    // at `data`.
    bool bcp_bind(int column, const void* data, bcp_value kind);
    // Points column `column` at another prefixed value.
    bool bcp_colptr(int column, const void* data);
    bool bcp_sendrow();
    // Ends the batch (or, with done, the copy); the rows it held, or -1 on failure.
    int bcp_batch();
    int bcp_done();

private:
    // Keeps the diagnostics of a bulk copy call; one of a lost connection marks it dead.
    void collect_bulk_copy();
    // The connection handle, allocated on first use; false (with the diagnostics) when it
    // cannot be.
    bool allocate();

    void* dbc_ = nullptr;
    bool open_ = false;
    bool lost_ = false;
    std::vector<diagnostic> diagnostics_;
};

// One statement on a connection. Every call keeps its diagnostics for the caller, and a
// diagnostic of a lost connection marks the connection dead.
class statement {
public:
    explicit statement(connection& owner);
    ~statement();
    statement(const statement&) = delete;
    statement& operator=(const statement&) = delete;

    bool valid() const { return stmt_ != nullptr; }
    outcome execute(std::u16string_view sql);
    outcome more_results();
    // Columns of the current result (0 for a statement without one, -1 on error).
    int column_count();
    bool describe(int column, column_description& out);
    std::int64_t row_count();

    // Row-wise binding of `rows` rows of `stride` bytes each; unbinds what was bound before.
    bool set_block(std::uint64_t rows, std::uint64_t stride, std::uint64_t* fetched,
                   std::uint16_t* statuses);
    bool bind(int column, c_type type, void* buffer, sql_len size, sql_len* indicator);
    outcome fetch(); // the next block when a block is set, else the next row
    outcome get_data(int column, c_type type, void* buffer, sql_len size, sql_len* indicator);
    // Closes the open cursor and discards pending results; the statement can run again.
    void close();

    const std::vector<diagnostic>& diagnostics() const { return diagnostics_; }

private:
    outcome finish(short rc);

    connection& owner_;
    void* stmt_ = nullptr;
    std::vector<diagnostic> diagnostics_;
};

// Row status values of a block fetch.
inline constexpr std::uint16_t row_success = 0;
inline constexpr std::uint16_t row_success_with_info = 6;
inline constexpr std::uint16_t row_error = 5;

} // namespace odbc

// Whether two names are equal when ASCII letters are compared without regard to case (type
// names, keywords).
bool tds_same_ascii(std::u16string_view a, std::u16string_view b);

// A server as users type it: "host", "host,port" or "host\instance" (a "tcp:" prefix and the
// "(local)" and "." names of the local server are accepted too).
struct tds_server_address {
    std::string host;
    std::optional<std::uint16_t> port;
    std::string instance;
};

// Reads a server text; false with a reason for an empty host, a bad port or an empty instance.
bool tds_parse_server(std::u16string_view text, tds_server_address& out, std::u16string& error);

// A value as FreeTDS's driver reads it from an ODBC connection string: in braces, as it is, so
// that ";", "=", "{", "}" and blanks in user names and passwords reach the driver unchanged.
// FreeTDS ends a braced value at the first "};" and knows no escape ("}}" stays two braces): a
// value holding "};" cannot be passed at all.
std::u16string tds_odbc_quote(std::u16string_view value);

// What a login needs, from the data source's initialisation properties.
struct tds_login {
    tds_server_address server;
    std::u16string user;
    std::u16string password;
    std::u16string database;
    bool integrated = false;
};

// The driver part of the connection string: "DRIVER={FreeTDS}" when unixODBC knows the driver
// by that name, else the path of the tdsodbc library; VELMORA_TDS_DRIVER in the environment
// overrides both.
std::u16string tds_driver_keyword();

// The whole ODBC connection string for FreeTDS, TDS 7.4, UTF-8 client character set, in `out`;
// false, with the reason in `error`, when a value holds "};".
bool tds_connection_string(const tds_login& login, std::u16string& out, std::u16string& error);
