// odbc_client: a small ODBC client (unixODBC + FreeTDS) for the TDS test server's tests.
#include "odbc_client.h"

#include "tests/support/tds_server/tds_wire.h"

#include <algorithm>
#include <stdexcept>

std::u16string odbc_utf16(const std::string& utf8) {
    std::string bytes = tds_utf16le(utf8);
    std::u16string out(bytes.size() / 2, u'\0');
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                       (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    return out;
}

std::string odbc_utf8(const std::u16string& utf16) {
    std::string bytes;
    for (char16_t c : utf16) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    return tds_utf8(bytes);
}

odbc_client::odbc_client() {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
    SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
}

odbc_client::~odbc_client() {
    if (stmt_ != SQL_NULL_HSTMT)
        SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
    if (connected_)
        SQLDisconnect(dbc_);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    SQLFreeHandle(SQL_HANDLE_ENV, env_);
}

void odbc_client::collect(SQLSMALLINT type, SQLHANDLE handle) {
    diagnostics_.clear();
    for (SQLSMALLINT i = 1;; ++i) {
        SQLWCHAR state[6] = {};
        // Room for the longest message SQL Server sends; `length` is the whole message's, which
        // may be more than the buffer took.
        constexpr SQLSMALLINT room = 4096;
        SQLWCHAR message[room] = {};
        SQLINTEGER native = 0;
        SQLSMALLINT length = 0;
        SQLRETURN rc = SQLGetDiagRecW(type, handle, i, state, &native, message, room, &length);
        if (!SQL_SUCCEEDED(rc))
            break;
        odbc_diagnostic d;
        d.state = odbc_utf8(std::u16string(reinterpret_cast<char16_t*>(state), 5));
        d.native = native;
        const auto taken = static_cast<std::size_t>(std::clamp<SQLSMALLINT>(length, 0, room - 1));
        d.message = odbc_utf8(std::u16string(reinterpret_cast<char16_t*>(message), taken));
        diagnostics_.push_back(std::move(d));
    }
}

std::string odbc_client::describe_diagnostics() const {
    std::string out;
    for (const auto& d : diagnostics_)
        out += d.state + "/" + std::to_string(d.native) + " " + d.message + "\n";
    return out;
}

void odbc_client::enable_bulk_copy() {
    constexpr SQLINTEGER bulk_copy_attribute = 1200 + 19; // SQL_COPT_SS_BCP
    SQLSetConnectAttr(dbc_, bulk_copy_attribute, reinterpret_cast<SQLPOINTER>(1), SQL_IS_INTEGER);
}

bool odbc_client::connect(const std::string& connection_string) {
    std::u16string cs = odbc_utf16(connection_string);
    SQLRETURN rc = SQLDriverConnectW(dbc_, nullptr, reinterpret_cast<SQLWCHAR*>(cs.data()),
                                     static_cast<SQLSMALLINT>(cs.size()), nullptr, 0, nullptr,
                                     SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(rc)) {
        collect(SQL_HANDLE_DBC, dbc_);
        return false;
    }
    connected_ = true;
    SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt_);
    return true;
}

bool odbc_client::execute(const std::string& statement) {
    std::u16string s = odbc_utf16(statement);
    SQLFreeStmt(stmt_, SQL_CLOSE);
    SQLRETURN rc = SQLExecDirectW(stmt_, reinterpret_cast<SQLWCHAR*>(s.data()),
                                  static_cast<SQLINTEGER>(s.size()));
    collect(SQL_HANDLE_STMT, stmt_);
    return SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA; // no data: a statement without rows
}

bool odbc_client::prepare(const std::string& statement) {
    std::u16string s = odbc_utf16(statement);
    SQLFreeStmt(stmt_, SQL_CLOSE);
    SQLRETURN rc = SQLPrepareW(stmt_, reinterpret_cast<SQLWCHAR*>(s.data()),
                               static_cast<SQLINTEGER>(s.size()));
    collect(SQL_HANDLE_STMT, stmt_);
    return SQL_SUCCEEDED(rc);
}

bool odbc_client::execute_prepared() {
    SQLFreeStmt(stmt_, SQL_CLOSE);
    SQLRETURN rc = SQLExecute(stmt_);
    collect(SQL_HANDLE_STMT, stmt_);
    return SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA;
}

SQLRETURN odbc_client::fetch() {
    SQLRETURN rc = SQLFetch(stmt_);
    if (rc != SQL_SUCCESS && rc != SQL_NO_DATA)
        collect(SQL_HANDLE_STMT, stmt_);
    return rc;
}

bool odbc_client::more_results() {
    return SQLMoreResults(stmt_) == SQL_SUCCESS;
}

void odbc_client::close_cursor() {
    SQLCloseCursor(stmt_);
}

std::vector<odbc_column> odbc_client::columns() {
    SQLSMALLINT count = 0;
    SQLNumResultCols(stmt_, &count);
    std::vector<odbc_column> out;
    for (SQLUSMALLINT i = 1; i <= count; ++i) {
        SQLWCHAR name[256] = {};
        SQLSMALLINT name_length = 0;
        odbc_column c;
        SQLDescribeColW(stmt_, i, name, 256, &name_length, &c.sql_type, &c.size, &c.digits,
                        &c.nullable);
        c.name = odbc_utf8(std::u16string(reinterpret_cast<char16_t*>(name),
                                          static_cast<std::size_t>(name_length)));
        out.push_back(std::move(c));
    }
    return out;
}

std::optional<std::string> odbc_client::read(SQLUSMALLINT column, SQLSMALLINT c_type) {
    std::string out;
    char buffer[65536];
    std::size_t terminator = c_type == SQL_C_WCHAR ? 2 : 0;
    for (;;) {
        SQLLEN indicator = 0;
        SQLRETURN rc = SQLGetData(stmt_, column, c_type, buffer, sizeof buffer, &indicator);
        if (rc == SQL_NO_DATA)
            return out;
        if (!SQL_SUCCEEDED(rc)) {
            collect(SQL_HANDLE_STMT, stmt_);
            throw std::runtime_error("SQLGetData failed: " + describe_diagnostics());
        }
        if (indicator == SQL_NULL_DATA)
            return std::nullopt;
        std::size_t got = (indicator == SQL_NO_TOTAL ||
                           static_cast<std::size_t>(indicator) + terminator > sizeof buffer)
                              ? sizeof buffer - terminator
                              : static_cast<std::size_t>(indicator);
        // A converting piece (binary as hex text) may fill less than the buffer: its
        // terminator tells where it ends.
        if (c_type == SQL_C_WCHAR && got == sizeof buffer - terminator) {
            for (std::size_t k = 0; k + 1 < got; k += 2) {
                if (buffer[k] == 0 && buffer[k + 1] == 0) {
                    got = k;
                    break;
                }
            }
        }
        out.append(buffer, got);
        // FreeTDS repeats a whole sql_variant with 01004 forever; a remainder that fits the
        // buffer has arrived whole whatever the return code says.
        if (rc == SQL_SUCCESS || (indicator >= 0 && got == static_cast<std::size_t>(indicator)))
            return out;
    }
}

std::optional<std::string> odbc_client::text(SQLUSMALLINT column) {
    std::optional<std::string> raw = read(column, SQL_C_WCHAR);
    if (!raw)
        return raw;
    return tds_utf8(*raw);
}

std::optional<std::string> odbc_client::bytes(SQLUSMALLINT column) {
    return read(column, SQL_C_BINARY);
}

bool odbc_client::connection_dead() {
    SQLUINTEGER dead = 0;
    SQLGetConnectAttr(dbc_, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr);
    return dead == SQL_CD_TRUE;
}
