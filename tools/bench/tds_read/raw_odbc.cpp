// The baseline: SQLFetch with bound columns.
#include "raw_odbc.h"

#include <sql.h>
#include <sqlext.h>

#include <vector>

namespace {

std::string diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLCHAR text[512] = {};
    SQLSMALLINT length = 0;
    if (SQL_SUCCEEDED(SQLGetDiagRec(type, handle, 1, state, &native, text, sizeof text, &length))) {
        return std::string(reinterpret_cast<char*>(state)) + " " + reinterpret_cast<char*>(text);
    }
    return "unknown ODBC error";
}

} // namespace

raw_result raw_odbc_read(const std::string& connection_string, const std::string& sql) {
    raw_result result;
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    SQLSMALLINT out = 0;
    if (!SQL_SUCCEEDED(SQLDriverConnect(
            dbc, nullptr, reinterpret_cast<SQLCHAR*>(const_cast<char*>(connection_string.c_str())),
            SQL_NTS, nullptr, 0, &out, SQL_DRIVER_NOPROMPT))) {
        result.error = diagnostics(SQL_HANDLE_DBC, dbc);
    } else {
        SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
        if (!SQL_SUCCEEDED(SQLExecDirect(
                stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS))) {
            result.error = diagnostics(SQL_HANDLE_STMT, stmt);
        } else {
            SQLSMALLINT columns = 0;
            SQLNumResultCols(stmt, &columns);
            struct bound {
                std::vector<char> buffer;
                SQLLEN length = 0;
            };
            std::vector<bound> values(static_cast<std::size_t>(columns));
            for (SQLSMALLINT c = 1; c <= columns; ++c) {
                SQLSMALLINT type = 0;
                SQLULEN size = 0;
                SQLSMALLINT digits = 0;
                SQLSMALLINT nullable = 0;
                SQLDescribeCol(stmt, static_cast<SQLUSMALLINT>(c), nullptr, 0, nullptr, &type,
                               &size, &digits, &nullable);
                bound& b = values[static_cast<std::size_t>(c - 1)];
                SQLSMALLINT c_type = SQL_C_WCHAR;
                if (type == SQL_INTEGER || type == SQL_SMALLINT || type == SQL_TINYINT) {
                    c_type = SQL_C_SLONG;
                    b.buffer.resize(4);
                } else if (type == SQL_BIGINT) {
                    c_type = SQL_C_SBIGINT;
                    b.buffer.resize(8);
                } else {
                    b.buffer.resize((size == 0 ? 8000 : size + 2) * 2);
                }
                SQLBindCol(stmt, static_cast<SQLUSMALLINT>(c), c_type, b.buffer.data(),
                           static_cast<SQLLEN>(b.buffer.size()), &b.length);
            }
            SQLRETURN rc;
            while (SQL_SUCCEEDED(rc = SQLFetch(stmt))) {
                ++result.rows;
                for (const bound& b : values) {
                    result.bytes += b.length > 0 ? static_cast<std::uint64_t>(b.length) : 0;
                }
            }
            if (rc != SQL_NO_DATA) {
                result.error = diagnostics(SQL_HANDLE_STMT, stmt);
            }
        }
        SQLFreeHandle(SQL_HANDLE_STMT, stmt);
        SQLDisconnect(dbc);
    }
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return result;
}
