// The baseline: SQLFetch of row arrays into bound columns.
#include "raw_odbc.h"

#include <sql.h>
#include <sqlext.h>

#include <chrono>
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

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One column bound column-wise: `rows` values of `width` bytes and their lengths.
struct bound {
    std::vector<char> values;
    std::vector<SQLLEN> lengths;
    SQLLEN width = 0;
};

// Rows [0, fetched) of the bound arrays as lines of tab-separated text.
void write_rows(const std::vector<bound>& values, SQLULEN fetched, std::FILE* out) {
    for (SQLULEN r = 0; r < fetched; ++r) {
        for (std::size_t c = 0; c < values.size(); ++c) {
            const bound& b = values[c];
            if (c > 0) {
                std::fputc('\t', out);
            }
            const SQLLEN length = b.lengths[r];
            if (length == SQL_NULL_DATA) {
                std::fputs("NULL", out);
            } else {
                const SQLLEN shown = length < b.width ? length : b.width - 1;
                std::fwrite(b.values.data() + static_cast<std::size_t>(b.width) * r, 1,
                            static_cast<std::size_t>(shown), out);
            }
        }
        std::fputc('\n', out);
    }
}

} // namespace

raw_result raw_odbc_read(const std::string& connection_string, const std::string& sql,
                         unsigned rows_per_fetch, std::FILE* text_out) {
    raw_result result;
    if (rows_per_fetch == 0) {
        rows_per_fetch = 1;
    }
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    auto start = std::chrono::steady_clock::now();
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    SQLSMALLINT out = 0;
    if (!SQL_SUCCEEDED(SQLDriverConnect(
            dbc, nullptr, reinterpret_cast<SQLCHAR*>(const_cast<char*>(connection_string.c_str())),
            SQL_NTS, nullptr, 0, &out, SQL_DRIVER_NOPROMPT))) {
        result.error = diagnostics(SQL_HANDLE_DBC, dbc);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        SQLFreeHandle(SQL_HANDLE_ENV, env);
        return result;
    }
    result.login_seconds = seconds_since(start);
    start = std::chrono::steady_clock::now();
    SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
    SQLULEN fetched = 0;
    SQLSetStmtAttr(stmt, SQL_ATTR_ROW_BIND_TYPE, reinterpret_cast<SQLPOINTER>(SQL_BIND_BY_COLUMN),
                   0);
    SQLSetStmtAttr(stmt, SQL_ATTR_ROW_ARRAY_SIZE,
                   reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(rows_per_fetch)), 0);
    SQLSetStmtAttr(stmt, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0);
    if (!SQL_SUCCEEDED(SQLExecDirect(
            stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS))) {
        result.error = diagnostics(SQL_HANDLE_STMT, stmt);
    } else {
        SQLSMALLINT columns = 0;
        SQLNumResultCols(stmt, &columns);
        std::vector<bound> values(static_cast<std::size_t>(columns));
        for (SQLSMALLINT c = 1; c <= columns; ++c) {
            SQLSMALLINT type = 0;
            SQLULEN size = 0;
            SQLSMALLINT digits = 0;
            SQLSMALLINT nullable = 0;
            SQLDescribeCol(stmt, static_cast<SQLUSMALLINT>(c), nullptr, 0, nullptr, &type, &size,
                           &digits, &nullable);
            bound& b = values[static_cast<std::size_t>(c - 1)];
            SQLSMALLINT c_type = SQL_C_WCHAR;
            if (text_out != nullptr) {
                c_type = SQL_C_CHAR;
                b.width = static_cast<SQLLEN>((size == 0 || size > 4000 ? 4000 : size + 2) * 4);
            } else if (type == SQL_INTEGER || type == SQL_SMALLINT || type == SQL_TINYINT) {
                c_type = SQL_C_SLONG;
                b.width = 4;
            } else if (type == SQL_BIGINT) {
                c_type = SQL_C_SBIGINT;
                b.width = 8;
            } else {
                b.width = static_cast<SQLLEN>((size == 0 || size > 4000 ? 4000 : size + 2) * 2);
            }
            b.values.resize(static_cast<std::size_t>(b.width) * rows_per_fetch);
            b.lengths.resize(rows_per_fetch);
            SQLBindCol(stmt, static_cast<SQLUSMALLINT>(c), c_type, b.values.data(), b.width,
                       b.lengths.data());
        }
        SQLRETURN rc;
        while (SQL_SUCCEEDED(rc = SQLFetch(stmt))) {
            result.rows += fetched;
            for (const bound& b : values) {
                for (SQLULEN r = 0; r < fetched; ++r) {
                    result.bytes += b.lengths[r] > 0 ? static_cast<std::uint64_t>(b.lengths[r]) : 0;
                }
            }
            if (text_out != nullptr) {
                write_rows(values, fetched, text_out);
            }
        }
        if (rc != SQL_NO_DATA) {
            result.error = diagnostics(SQL_HANDLE_STMT, stmt);
        }
    }
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    result.read_seconds = seconds_since(start);
    SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return result;
}
