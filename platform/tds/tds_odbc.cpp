// The ODBC calls of the SQL Server provider. This file alone includes the ODBC headers.
#include "platform/tds/tds_odbc.h"

#include "platform/win32/unicode.h"

#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>
// odbcss.h needs size_t before it; its bulk-copy calls come with TDSODBC_BCP.
#include <cstddef>
#define TDSODBC_BCP
#include <odbcss.h>
constexpr int bcp_succeed = SUCCEED;
#undef SUCCEED
#undef FAIL
#undef bcp_init

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

namespace odbc {

static_assert(sizeof(SQLLEN) == sizeof(sql_len));
static_assert(sizeof(SQLWCHAR) == sizeof(char16_t));
static_assert(SQL_NULL_DATA == null_data && SQL_NO_TOTAL == no_total);
static_assert(SQL_C_WCHAR == c_wchar && SQL_C_BINARY == c_binary && SQL_C_BIT == c_bit &&
              SQL_C_SBIGINT == c_sbigint && SQL_C_FLOAT == c_float && SQL_C_DOUBLE == c_double &&
              SQL_C_TYPE_DATE == c_type_date && SQL_C_TYPE_TIMESTAMP == c_type_timestamp &&
              SQL_C_GUID == c_guid && SQL_C_CHAR == c_char);
static_assert(SQL_SS_TIME2 == sql_ss_time2 && SQL_SS_TIMESTAMPOFFSET == sql_ss_timestampoffset &&
              SQL_SS_XML == sql_ss_xml && SQL_SS_VARIANT == sql_ss_variant &&
              SQL_GUID == sql_guid && SQL_WLONGVARCHAR == sql_wlongvarchar);
static_assert(sizeof(date_value) == sizeof(SQL_DATE_STRUCT));
static_assert(sizeof(timestamp_value) == sizeof(SQL_TIMESTAMP_STRUCT) &&
              offsetof(timestamp_value, fraction) == offsetof(SQL_TIMESTAMP_STRUCT, fraction));
static_assert(sizeof(time2_value) == sizeof(SQL_SS_TIME2_STRUCT) &&
              offsetof(time2_value, fraction) == offsetof(SQL_SS_TIME2_STRUCT, fraction));
static_assert(sizeof(timestamp_offset_value) == sizeof(SQL_SS_TIMESTAMPOFFSET_STRUCT) &&
              offsetof(timestamp_offset_value, timezone_hour) ==
                  offsetof(SQL_SS_TIMESTAMPOFFSET_STRUCT, timezone_hour));
static_assert(sizeof(guid_value) == sizeof(SQLGUID));
static_assert(SQL_ROW_SUCCESS == row_success &&
              SQL_ROW_SUCCESS_WITH_INFO == row_success_with_info && SQL_ROW_ERROR == row_error);

namespace {

SQLWCHAR* wide(const char16_t* text) {
    return reinterpret_cast<SQLWCHAR*>(const_cast<char16_t*>(text));
}

void collect(SQLSMALLINT type, SQLHANDLE handle, std::vector<diagnostic>& out) {
    out.clear();
    if (handle == nullptr) {
        return;
    }
    for (SQLSMALLINT record = 1;; ++record) {
        SQLWCHAR state[6] = {};
        SQLINTEGER native = 0;
        SQLSMALLINT length = 0;
        std::u16string message(512, u'\0');
        SQLRETURN rc = SQLGetDiagRecW(type, handle, record, state, &native,
                                      reinterpret_cast<SQLWCHAR*>(message.data()),
                                      static_cast<SQLSMALLINT>(message.size()), &length);
        if (rc == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(message.size())) {
            message.assign(static_cast<std::size_t>(length) + 1, u'\0');
            rc = SQLGetDiagRecW(type, handle, record, state, &native,
                                reinterpret_cast<SQLWCHAR*>(message.data()),
                                static_cast<SQLSMALLINT>(message.size()), &length);
        }
        if (!SQL_SUCCEEDED(rc)) {
            break;
        }
        message.resize(std::min<std::size_t>(static_cast<std::size_t>(length), message.size()));
        diagnostic d;
        d.sqlstate.assign(reinterpret_cast<const char16_t*>(state), 5);
        d.native = native;
        d.message = std::move(message);
        out.push_back(std::move(d));
    }
}

outcome to_outcome(SQLRETURN rc) {
    switch (rc) {
    case SQL_SUCCESS:
        return outcome::ok;
    case SQL_SUCCESS_WITH_INFO:
        return outcome::info;
    case SQL_NO_DATA:
        return outcome::no_data;
    default:
        return outcome::error;
    }
}

bool tds_lost(const std::vector<diagnostic>& diagnostics);

} // namespace

bool is_connection_lost(const diagnostic& d) {
    return d.native == 20017 || d.sqlstate == u"08S01";
}

namespace {
bool tds_lost(const std::vector<diagnostic>& diagnostics) {
    for (const diagnostic& d : diagnostics) {
        if (is_connection_lost(d)) {
            return true;
        }
    }
    return false;
}
} // namespace

void* environment() {
    static SQLHENV env = [] {
        SQLHENV h = SQL_NULL_HENV;
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &h))) {
            return SQLHENV{SQL_NULL_HENV};
        }
        SQLSetEnvAttr(h, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        return h;
    }();
    return env;
}

connection::connection() = default;

connection::~connection() {
    if (dbc_ != nullptr) {
        if (open_) {
            SQLDisconnect(dbc_);
        }
        SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    }
}

bool connection::allocate() {
    void* env = environment();
    if (env == nullptr) {
        diagnostics_.push_back({u"IM004", 0, u"The ODBC environment could not be created."});
        return false;
    }
    if (dbc_ == nullptr) {
        SQLHDBC h = SQL_NULL_HDBC;
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env, &h))) {
            collect(SQL_HANDLE_ENV, env, diagnostics_);
            return false;
        }
        dbc_ = h;
    }
    return true;
}

bool connection::open(const std::u16string& connection_string, int login_timeout) {
    diagnostics_.clear();
    if (!allocate()) {
        return false;
    }
    if (login_timeout > 0) {
        SQLSetConnectAttrW(dbc_, SQL_ATTR_LOGIN_TIMEOUT,
                           reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(login_timeout)), 0);
    }
    SQLSMALLINT out_length = 0;
    const SQLRETURN rc = SQLDriverConnectW(dbc_, nullptr, wide(connection_string.c_str()),
                                           static_cast<SQLSMALLINT>(connection_string.size()),
                                           nullptr, 0, &out_length, SQL_DRIVER_NOPROMPT);
    collect(SQL_HANDLE_DBC, dbc_, diagnostics_);
    open_ = SQL_SUCCEEDED(rc);
    return open_;
}

bool connection::request_bulk_copy() {
    diagnostics_.clear();
    if (!allocate()) {
        return false;
    }
    const SQLRETURN rc = SQLSetConnectAttrW(
        dbc_, SQL_COPT_SS_BCP, reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(SQL_BCP_ON)),
        SQL_IS_INTEGER);
    collect(SQL_HANDLE_DBC, dbc_, diagnostics_);
    return SQL_SUCCEEDED(rc);
}

bool connection::bcp_init(const std::u16string& table) {
    const bool ok =
        ::bcp_initW(dbc_, wide(table.c_str()), nullptr, nullptr, BCP_DIRECTION_IN) == bcp_succeed;
    collect(SQL_HANDLE_DBC, dbc_, diagnostics_);
    return ok;
}

bool connection::bcp_keep_identity() {
    static char hint[] = "KEEP_IDENTITY";
    bool ok = ::bcp_control(dbc_, BCPKEEPIDENTITY, reinterpret_cast<void*>(1)) == bcp_succeed;
    ok = ok && ::bcp_control(dbc_, BCPHINTS, hint) == bcp_succeed;
    collect(SQL_HANDLE_DBC, dbc_, diagnostics_);
    return ok;
}

bool connection::bcp_bind(int column, const void* data, bcp_value kind) {
    const int type = kind == bcp_value::bytes       ? BCP_TYPE_SQLVARBINARY
                     : kind == bcp_value::timestamp ? BCP_TYPE_SQLDATETIME2
                                                    : BCP_TYPE_SQLCHAR;
    const bool ok = ::bcp_bind(dbc_, static_cast<const unsigned char*>(data), 4, SQL_VARLEN_DATA,
                               nullptr, 0, type, column) == bcp_succeed;
    collect(SQL_HANDLE_DBC, dbc_, diagnostics_);
    return ok;
}

bool connection::bcp_colptr(int column, const void* data) {
    const bool ok =
        ::bcp_colptr(dbc_, static_cast<const unsigned char*>(data), column) == bcp_succeed;
    if (!ok) {
        collect(SQL_HANDLE_DBC, dbc_, diagnostics_);
    }
    return ok;
}

void connection::collect_bulk_copy() {
    collect(SQL_HANDLE_DBC, dbc_, diagnostics_);
    if (tds_lost(diagnostics_)) {
        lost_ = true;
    }
}

bool connection::bcp_sendrow() {
    const bool ok = ::bcp_sendrow(dbc_) == bcp_succeed;
    collect_bulk_copy();
    return ok;
}

int connection::bcp_batch() {
    const int rows = ::bcp_batch(dbc_);
    collect_bulk_copy();
    return rows;
}

int connection::bcp_done() {
    const int rows = ::bcp_done(dbc_);
    collect_bulk_copy();
    return rows;
}

bool connection::dead() const {
    if (lost_) {
        return true;
    }
    if (!open_) {
        return true;
    }
    SQLUINTEGER value = SQL_CD_FALSE;
    if (SQL_SUCCEEDED(SQLGetConnectAttrW(dbc_, SQL_ATTR_CONNECTION_DEAD, &value, 0, nullptr))) {
        return value == SQL_CD_TRUE;
    }
    return false;
}

statement::statement(connection& owner) : owner_(owner) {
    SQLHSTMT h = SQL_NULL_HSTMT;
    if (owner.handle() == nullptr ||
        !SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, owner.handle(), &h))) {
        collect(SQL_HANDLE_DBC, owner.handle(), diagnostics_);
    } else if (!SQL_SUCCEEDED(SQLSetStmtAttrW(h, SQL_ATTR_NOSCAN,
                                              reinterpret_cast<SQLPOINTER>(SQL_NOSCAN_ON), 0))) {
        // Statements carry users' query texts: the driver is to send them as they are, never
        // turn an escape such as {call ...} into an EXEC of its own. FreeTDS 1.3 does not yet
        // honour the attribute for {call ...}: the single-SELECT check refuses "{" before a
        // user's text gets here.
        collect(SQL_HANDLE_STMT, h, diagnostics_);
        SQLFreeHandle(SQL_HANDLE_STMT, h);
    } else {
        stmt_ = h;
    }
    if (stmt_ == nullptr && diagnostics_.empty()) {
        diagnostics_.push_back({u"HY000", 0, u"No statement could be made on the connection."});
    }
}

statement::~statement() {
    if (stmt_ != nullptr) {
        SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
    }
}

outcome statement::finish(short rc) {
    if (rc == SQL_SUCCESS || rc == SQL_NO_DATA) {
        diagnostics_.clear();
    } else {
        collect(SQL_HANDLE_STMT, stmt_, diagnostics_);
        for (const diagnostic& d : diagnostics_) {
            if (is_connection_lost(d)) {
                owner_.mark_dead();
            }
        }
    }
    return to_outcome(rc);
}

outcome statement::execute(std::u16string_view sql) {
    if (stmt_ == nullptr) {
        return outcome::error;
    }
    const std::u16string text(sql);
    return finish(SQLExecDirectW(stmt_, wide(text.c_str()), static_cast<SQLINTEGER>(text.size())));
}

outcome statement::more_results() {
    return finish(SQLMoreResults(stmt_));
}

int statement::column_count() {
    SQLSMALLINT count = 0;
    if (!succeeded(finish(SQLNumResultCols(stmt_, &count)))) {
        return -1;
    }
    return count;
}

bool statement::describe(int column, column_description& out) {
    SQLWCHAR name[512] = {};
    SQLSMALLINT name_length = 0;
    SQLSMALLINT type = 0;
    SQLULEN size = 0;
    SQLSMALLINT digits = 0;
    SQLSMALLINT nullable = SQL_NULLABLE_UNKNOWN;
    if (!succeeded(finish(SQLDescribeColW(stmt_, static_cast<SQLUSMALLINT>(column), name,
                                          sizeof name / sizeof name[0], &name_length, &type, &size,
                                          &digits, &nullable)))) {
        return false;
    }
    out.name.assign(reinterpret_cast<const char16_t*>(name),
                    std::min<std::size_t>(static_cast<std::size_t>(name_length), 511));
    out.type = type;
    out.size = size;
    out.digits = digits;
    out.nullable = nullable != SQL_NO_NULLS;
    SQLWCHAR type_name[128] = {};
    SQLSMALLINT type_name_length = 0;
    out.type_name.clear();
    if (SQL_SUCCEEDED(SQLColAttributeW(stmt_, static_cast<SQLUSMALLINT>(column), SQL_DESC_TYPE_NAME,
                                       type_name, sizeof type_name, &type_name_length, nullptr))) {
        out.type_name.assign(reinterpret_cast<const char16_t*>(type_name),
                             std::min<std::size_t>(type_name_length / sizeof(SQLWCHAR), 127));
    }
    return true;
}

std::int64_t statement::row_count() {
    SQLLEN count = -1;
    if (!SQL_SUCCEEDED(SQLRowCount(stmt_, &count))) {
        return -1;
    }
    return count;
}

bool statement::set_block(std::uint64_t rows, std::uint64_t stride, std::uint64_t* fetched,
                          std::uint16_t* statuses) {
    SQLFreeStmt(stmt_, SQL_UNBIND);
    const bool ok =
        succeeded(finish(SQLSetStmtAttrW(stmt_, SQL_ATTR_ROW_BIND_TYPE,
                                         reinterpret_cast<SQLPOINTER>(stride), 0))) &&
        succeeded(finish(SQLSetStmtAttrW(stmt_, SQL_ATTR_ROW_ARRAY_SIZE,
                                         reinterpret_cast<SQLPOINTER>(rows), 0))) &&
        succeeded(finish(SQLSetStmtAttrW(stmt_, SQL_ATTR_ROWS_FETCHED_PTR, fetched, 0))) &&
        succeeded(finish(SQLSetStmtAttrW(stmt_, SQL_ATTR_ROW_STATUS_PTR, statuses, 0)));
    return ok;
}

bool statement::bind(int column, c_type type, void* buffer, sql_len size, sql_len* indicator) {
    return succeeded(finish(SQLBindCol(stmt_, static_cast<SQLUSMALLINT>(column), type, buffer, size,
                                       reinterpret_cast<SQLLEN*>(indicator))));
}

outcome statement::fetch() {
    return finish(SQLFetchScroll(stmt_, SQL_FETCH_NEXT, 0));
}

outcome statement::get_data(int column, c_type type, void* buffer, sql_len size,
                            sql_len* indicator) {
    return finish(SQLGetData(stmt_, static_cast<SQLUSMALLINT>(column), type, buffer, size,
                             reinterpret_cast<SQLLEN*>(indicator)));
}

void statement::close() {
    if (stmt_ != nullptr) {
        SQLFreeStmt(stmt_, SQL_CLOSE);
    }
}

} // namespace odbc

namespace {

std::u16string_view trim(std::u16string_view text) {
    while (!text.empty() && (text.front() == u' ' || text.front() == u'\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == u' ' || text.back() == u'\t')) {
        text.remove_suffix(1);
    }
    return text;
}

std::string narrow(std::u16string_view text) {
    return win32::to_utf8(text);
}

std::u16string widen(std::string_view text) {
    return win32::to_utf16(text);
}

} // namespace

bool tds_same_ascii(std::u16string_view a, std::u16string_view b) {
    const auto fold = [](char16_t c) {
        return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
    };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [&](char16_t x, char16_t y) { return fold(x) == fold(y); });
}

bool tds_parse_server(std::u16string_view text, tds_server_address& out, std::u16string& error) {
    out = tds_server_address{};
    text = trim(text);
    if (text.size() >= 4 && tds_same_ascii(text.substr(0, 4), u"tcp:")) {
        text = trim(text.substr(4));
    }
    std::u16string_view host = text;
    std::u16string_view port_text;
    std::u16string_view instance;
    bool has_port = false;
    bool has_instance = false;
    const std::size_t comma = text.find(u',');
    if (comma != std::u16string_view::npos) {
        host = trim(text.substr(0, comma));
        port_text = trim(text.substr(comma + 1));
        has_port = true;
    }
    const std::size_t slash = host.find(u'\\');
    if (slash != std::u16string_view::npos) {
        instance = trim(host.substr(slash + 1));
        host = trim(host.substr(0, slash));
        has_instance = true;
    }
    if (host.empty()) {
        error = u"The server name is empty.";
        return false;
    }
    if (host == u"." || tds_same_ascii(host, u"(local)")) {
        host = u"localhost";
    }
    if (has_instance && instance.empty()) {
        error = u"The instance name after \"\\\" is empty.";
        return false;
    }
    if (has_port) {
        unsigned long port = 0;
        bool digits = !port_text.empty() && port_text.size() <= 5;
        for (char16_t c : port_text) {
            digits = digits && c >= u'0' && c <= u'9';
            port = port * 10 + (c - u'0');
        }
        if (!digits || port == 0 || port > 65535) {
            error =
                u"The port \"" + std::u16string(port_text) + u"\" is not a number from 1 to 65535.";
            return false;
        }
        out.port = static_cast<std::uint16_t>(port);
    }
    out.host = narrow(host);
    out.instance = narrow(instance);
    return true;
}

std::u16string tds_odbc_quote(std::u16string_view value) {
    std::u16string out = u"{";
    out += value;
    out.push_back(u'}');
    return out;
}

std::u16string tds_driver_keyword() {
    if (const char* chosen = std::getenv("VELMORA_TDS_DRIVER"); chosen != nullptr && *chosen) {
        return u"DRIVER=" + tds_odbc_quote(widen(chosen));
    }
    static const std::u16string found = [] {
        void* env = odbc::environment();
        if (env != nullptr) {
            SQLCHAR name[256];
            SQLCHAR attributes[1024];
            SQLSMALLINT name_length = 0;
            SQLSMALLINT attributes_length = 0;
            SQLUSMALLINT direction = SQL_FETCH_FIRST;
            while (SQL_SUCCEEDED(SQLDriversA(env, direction, name, sizeof name, &name_length,
                                             attributes, sizeof attributes, &attributes_length))) {
                direction = SQL_FETCH_NEXT;
                if (std::strcmp(reinterpret_cast<const char*>(name), "FreeTDS") == 0) {
                    return std::u16string(u"DRIVER={FreeTDS}");
                }
            }
        }
#ifdef VELMORA_TDS_ODBC_DRIVER
        return u"DRIVER=" + tds_odbc_quote(widen(VELMORA_TDS_ODBC_DRIVER));
#else
        return std::u16string(u"DRIVER={FreeTDS}");
#endif
    }();
    return found;
}

bool tds_connection_string(const tds_login& login, std::u16string& out, std::u16string& error) {
    std::string server = login.server.host;
    if (!login.server.instance.empty()) {
        server += "\\" + login.server.instance;
    }
    const std::pair<const char16_t*, std::u16string> values[] = {
        {u"server name", widen(server)},
        {u"login name", login.integrated ? std::u16string() : login.user},
        {u"password", login.integrated ? std::u16string() : login.password},
        {u"database name", login.database},
    };
    for (const auto& [what, value] : values) {
        if (value.find(u"};") != std::u16string::npos) {
            error = u"The " + std::u16string(what) +
                    u" holds \"};\", which the FreeTDS driver cannot be given.";
            return false;
        }
    }
    std::u16string s = tds_driver_keyword();
    s += u";SERVER=" + tds_odbc_quote(widen(server));
    if (login.server.port) {
        s += u";PORT=" + widen(std::to_string(*login.server.port));
    }
    s += u";TDS_Version=7.4;ClientCharset=UTF-8";
    if (login.integrated) {
        s += u";Trusted_Connection=Yes";
    } else {
        s += u";UID=" + tds_odbc_quote(login.user) + u";PWD=" + tds_odbc_quote(login.password);
    }
    if (!login.database.empty()) {
        s += u";DATABASE=" + tds_odbc_quote(login.database);
    }
    s += u";";
    out = std::move(s);
    return true;
}
