// The MySQL engine: connection, session settings, version rules and the MySQL exceptions.
#include "SQL/sql_engi.h"

#include "SQL/sql_db.h"
#include "SQL/sql_dump.h"
#include "TK/tk_log.h"
#include "TK/tk_stop.h"
#include "TK/tk_utils.h"
#include "UDB/sql_vali.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>

#include <sys/socket.h>

namespace {

const char* const option_group = "Quintaro MySQL Lib";

// Reads "%d.%d.%d" at the start of `text`; false with fewer than three numbers.
bool read_three_numbers(std::string_view text, uint32_t& word) {
    const std::string copy(text);
    int major = 0;
    int minor = 0;
    int patch = 0;
    if (std::sscanf(copy.c_str(), "%d.%d.%d", &major, &minor, &patch) != 3) {
        return false;
    }
    word = static_cast<uint32_t>(major) << 16 | static_cast<uint32_t>(minor) << 8 |
           static_cast<uint32_t>(patch);
    return true;
}

bool equal_ascii_no_case(const std::wstring& a, const wchar_t* b) {
    return tk_equal_ascii_no_case(a, b);
}

std::string utf8(const std::wstring& text) {
    return tk_to_utf8(text);
}

} // namespace

// ---- Exceptions ---------------------------------------------------------------------------------

sql_exception::sql_exception() : tk_exception(std::string(), 0) {
    MYSQL* conn = tk_singleton<sql_engine>::instance()->connection();
    const char* text = mysql_error(conn);
    if (text != nullptr && *text != '\0') {
        message = text;
    }
    code = 0x400000 + static_cast<int>(mysql_errno(conn) & 0xFFFF);
    tk_log_message(2, "sql_exception::sql_exception( msg=%s)", message.c_str());
    tk_log_message(2, "Got MySQL error code=%d", code);
}

bool sql_ends_object_list(const tk_exception& error) {
    return tk_stop_requested() || sql_failure_reach_of(error.code) == sql_failure_reach::connection;
}

sql_failure_reach sql_failure_reach_of(int code) {
    if ((code & ~0xFFFF) != 0x400000) {
        return sql_failure_reach::row;
    }
    const int number = code & 0xFFFF;
    if (number >= 2000 && number <= 2999) {
        return sql_failure_reach::connection;
    }
    switch (number) {
    case 1053: // ER_SERVER_SHUTDOWN
    case 1152: // ER_ABORTING_CONNECTION
    case 1184: // ER_NEW_ABORTING_CONNECTION
    case 1927: // ER_CONNECTION_KILLED
        return sql_failure_reach::connection;
    case 3:    // ER_ERROR_ON_WRITE
    case 1021: // ER_DISK_FULL
    case 1037: // ER_OUTOFMEMORY
    case 1041: // ER_OUT_OF_RESOURCES
        return sql_failure_reach::server;
    case 1030: // ER_GET_ERRNO
    case 1038: // ER_OUT_OF_SORTMEMORY
    case 1114: // ER_RECORD_FILE_FULL
    case 1054: // ER_BAD_FIELD_ERROR
    case 1136: // ER_WRONG_VALUE_COUNT_ON_ROW
    case 1146: // ER_NO_SUCH_TABLE
        return sql_failure_reach::table;
    default:
        return sql_failure_reach::row;
    }
}

sql_auth_not_supported_exception::sql_auth_not_supported_exception()
    : tk_exception("The program does not support authentication protocol requested by server. "
                   "See 'Troubleshooting' article of the product documentation.",
                   1) {
}

sql_prep_stmt_failed_exception::sql_prep_stmt_failed_exception()
    : tk_exception("Failed to execute prepared statement", 1) {
    code = 0x400BB9;
}

// ---- Free helpers -------------------------------------------------------------------------------

uint32_t sql_parse_version(std::string_view text) {
    // Old clients see MariaDB's version behind "5.5.5-" (the replication-compatible prefix).
    constexpr std::string_view mariadb_prefix = "5.5.5-";
    uint32_t word = 0;
    if (text.substr(0, mariadb_prefix.size()) == mariadb_prefix &&
        read_three_numbers(text.substr(mariadb_prefix.size()), word)) {
        return word;
    }
    if (read_three_numbers(text, word)) {
        return word;
    }
    return 0;
}

std::wstring sql_effective_charset(const std::wstring& charset, uint32_t version) {
    // "utf8" is utf8mb3 on the server, which refuses characters outside the BMP.
    if (version >= 0x50503 && equal_ascii_no_case(charset, L"utf8")) {
        return L"utf8mb4";
    }
    return charset;
}

int sql_charset_max_bytes(const std::wstring& charset) {
    static const struct {
        const wchar_t* name;
        int bytes;
    } table[] = {
        {L"utf8mb4", 4}, {L"utf16", 4}, {L"utf16le", 4}, {L"utf32", 4},
        {L"gb18030", 4}, {L"utf8", 3},  {L"utf8mb3", 3}, {L"ujis", 3},
        {L"eucjpms", 3}, {L"big5", 2},  {L"sjis", 2},    {L"euckr", 2},
        {L"gb2312", 2},  {L"gbk", 2},   {L"cp932", 2},   {L"ucs2", 2},
    };
    for (const auto& entry : table) {
        if (equal_ascii_no_case(charset, entry.name)) {
            return entry.bytes;
        }
    }
    return 1;
}

std::wstring sql_bare_word(const std::wstring& word) {
    bool plain = !word.empty();
    for (wchar_t c : word) {
        const bool ok = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') ||
                        (c >= L'0' && c <= L'9') || c == L'_';
        plain = plain && ok;
    }
    if (plain) {
        return word;
    }
    std::wstring quoted = L"`";
    for (wchar_t c : word) {
        if (c == L'`') {
            quoted += L'`';
        }
        quoted += c;
    }
    quoted += L'`';
    return quoted;
}

std::wstring sql_quote_identifier(const std::wstring& name) {
    std::wstring quoted;
    quoted.reserve(name.size() + 2);
    quoted += L'`';
    for (wchar_t c : name) {
        if (c == L'`') {
            quoted += L'`';
        }
        quoted += c;
    }
    quoted += L'`';
    return quoted;
}

// ---- Engine -------------------------------------------------------------------------------------

sql_engine::sql_engine() {
    std::memset(&mysql, 0, sizeof mysql);
    initialize();
}

sql_engine::~sql_engine() {
    tk_log_message(2, "sql_engine::dtor");
    if (connected) {
        if (run("SET FOREIGN_KEY_CHECKS = 1") != 0) {
            tk_log_message(2, "Cannot turn ON foreign key check: %s", mysql_error(&mysql));
        }
    }
    // The record holds the options even when no connection was made.
    if (initialized_) {
        close_connection();
    }
    tk_log_message(2, "sql_engine::dtor - END");
}

void sql_engine::initialize() {
    tk_log_message(1, "sql_engine::initialize");
    mysql_init(&mysql);
    initialized_ = true;
    tk_log_message(1, "sql_engine::initialize - 1");
    mysql_options(&mysql, MYSQL_READ_DEFAULT_GROUP, option_group);
    tk_log_message(1, "sql_engine::initialize - 2");
    unsigned int timeout = 10;
    mysql_options(&mysql, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    tk_log_message(1, "sql_engine::initialize - END");
}

int sql_engine::run(std::string_view statement) {
    return mysql_real_query(&mysql, statement.data(), static_cast<unsigned long>(statement.size()));
}

void sql_engine::open_connection() {
    if (mysql_real_connect(&mysql, host_.c_str(), user_.c_str(), password_.c_str(), nullptr,
                           static_cast<unsigned>(port_), nullptr,
                           CLIENT_REMEMBER_OPTIONS) == nullptr) {
        throw sql_exception();
    }
    connected = true;
    const std::lock_guard<std::mutex> lock(socket_mutex_);
    socket_ = static_cast<int>(mysql_get_socket(&mysql));
}

void sql_engine::close_connection() {
    {
        // Once forgotten here, the descriptor may be closed and reused: interrupt() no longer
        // touches it.
        const std::lock_guard<std::mutex> lock(socket_mutex_);
        socket_ = -1;
    }
    mysql_close(&mysql);
}

bool sql_engine::interrupt() noexcept {
    const std::lock_guard<std::mutex> lock(socket_mutex_);
    if (socket_ < 0) {
        return false;
    }
    return ::shutdown(socket_, SHUT_RDWR) == 0;
}

void sql_engine::connect(const std::string& host, const std::string& user,
                         const std::string& password, int port) {
    // The trace file is shared for support: the password stays out of it.
    tk_log_message(2, "sql_engine::connect(%s,%s,%s,%d)", host.c_str(), user.c_str(),
                   password.empty() ? "" : "*****", port);
    if (connected) {
        tk_log_message(2, "Connection was established already - disconnecting first...");
        close_connection();
        initialize();
        connected = false;
    }
    host_ = host;
    user_ = user;
    password_ = password;
    port_ = port;
    current_db_.clear();
    max_allowed_packet = 0;

    tk_log_message(3, "Connecting to MySQL server...");
    open_connection();

    // The version decides the session's character set and sql_mode, so it is read first.
    const char* info = mysql_get_server_info(&mysql);
    server_info = info != nullptr ? info : "";
    if (!server_info.empty()) {
        tk_log_message(2, "Got MySQL server version: %s", server_info.c_str());
        const uint32_t word = sql_parse_version(server_info);
        if (word == 0) {
            tk_log_message(3, "Invalid MySQL version: %s", server_info.c_str());
            throw tk_mail_assertion("sql_engi", 375);
        }
        version = word;
        tk_log_message(1, "Hex version: %08X", version);
        if (auth_not_supported(version, password)) {
            throw sql_auth_not_supported_exception();
        }
    }
    setup_session();
}

const char* sql_engine::names_statement(uint32_t version) {
    return version >= 0x50503 ? "SET NAMES utf8mb4" : "SET NAMES UTF8";
}

std::string sql_engine::session_sql_mode(uint32_t version) {
    std::string mode;
    if (version >= 0x40101) {
        mode = "NO_AUTO_VALUE_ON_ZERO";
    }
    if (version >= 0x50002) {
        mode += ",STRICT_ALL_TABLES";
    }
    if (version >= 0x50008) {
        mode += ",NO_ENGINE_SUBSTITUTION";
    }
    return mode;
}

std::wstring sql_engine::create_database_statement(const std::wstring& name) const {
    std::wstring statement = L"CREATE DATABASE ";
    statement += version >= 0x40100 ? get_safe_name(name) : name;
    statement += L" character set ";
    statement += sql_bare_word(effective_charset(charset));
    return statement;
}

void sql_engine::setup_session() {
    tk_log_message(2, "Setting UTF-8 collation...");
    // utf8mb4 carries every character; "UTF8" (utf8mb3) refuses those outside the BMP.
    if (run(names_statement(version)) != 0) {
        const sql_exception e;
        tk_log_message(3, "Failed to set UTF-8 collation");
        tk_log_message(2, "Cannot set UTF-8 collation: %s", e.what());
    }

    tk_log_message(2, "Setting wait_timeout...");
    if (run("set session wait_timeout=cast(if(@@session.wait_timeout < "
            "28800,28800,@@session.wait_timeout) as unsigned);") != 0) {
        const sql_exception e;
        tk_log_message(3, "Failed to set wait_timeout");
        tk_log_message(2, "Cannot set wait_timeout: %s", e.what());
    }

    if (server_info.empty()) {
        return;
    }

    // A fixed sql_mode, whatever the server's default: an identity value 0 stays 0, a value the
    // column cannot hold is an error rather than a silently changed value, a missing storage
    // engine is an error; and none of the modes that change how literals are read.
    const std::string mode = session_sql_mode(version);
    if (!mode.empty()) {
        const std::string statement = "SET SESSION sql_mode='" + mode + "'";
        if (run(statement) != 0) {
            const sql_exception e;
            tk_log_message(3, "Failed to set sql_mode");
            tk_log_message(2, "Cannot set sql_mode: %s", e.what());
        }
    }

    if (run("SET FOREIGN_KEY_CHECKS = 0") != 0) {
        const sql_exception e;
        tk_log_message(2, "Cannot turn off foreign key check: %s", e.what());
    }
}

void sql_engine::select_current_db() {
    if (current_db_.empty()) {
        return;
    }
    if (mysql_select_db(&mysql, current_db_.c_str()) != 0) {
        throw sql_exception();
    }
}

bool sql_engine::is_mariadb() const {
    return server_info.find("MariaDB") != std::string::npos;
}

bool sql_engine::accepts_expression_defaults() const {
    return is_mariadb() ? version >= 0x0A0201 : version >= 0x08000D;
}

std::size_t sql_engine::max_comment_length() const {
    return version >= 0x50503 ? 1024 : 255;
}

std::wstring sql_engine::get_safe_name(const std::wstring& name) const {
    tk_log_wmessage(1, L"sql_engine::get_safe_name(%ls)", name.c_str());
    if (name.empty()) {
        tk_log_message(1, "Preserve the original name");
        return name;
    }
    if (name.size() >= 2 && name.front() == L'`' && name.back() == L'`') {
        // Already quoted when every backquote inside comes in a pair.
        bool well_formed = true;
        for (std::size_t i = 1; i + 1 < name.size(); ++i) {
            if (name[i] != L'`') {
                continue;
            }
            if (i + 2 < name.size() && name[i + 1] == L'`') {
                ++i;
                continue;
            }
            well_formed = false;
            break;
        }
        if (well_formed) {
            tk_log_message(1, "Preserve the original name");
            return name;
        }
    }
    const std::wstring cut = name.size() > 64 ? name.substr(0, 63) : name;
    std::wstring result;
    result.reserve(cut.size() + 2);
    result += L'`';
    for (wchar_t c : cut) {
        if (c == L'`') {
            result += L'`';
        }
        result += c;
    }
    result += L'`';
    tk_log_wmessage(1, L"Returns [%ls]", result.c_str());
    return result;
}

std::unique_ptr<udb_database> sql_engine::create_db(const std::wstring& name) {
    tk_log_wmessage(2, L"sql_engine::create_db (%ls)", name.c_str());
    tk_log_wmessage(3, L"Creating MySQL database '%ls'", name.c_str());
    tk_log_message(1, "is_old_version(%08X)", version);
    const std::wstring statement = create_database_statement(name);
    tk_log_wmessage(2, L"Run SQL-query: %ls", statement.c_str());
    if (run(utf8(statement)) != 0) {
        throw sql_exception();
    }
    return open_db(name, 2, {});
}

std::unique_ptr<udb_database> sql_engine::open_db(const std::wstring& name, std::int32_t mode,
                                                  const std::wstring&) {
    tk_log_wmessage(2, L"sql_engine::open_db (%ls)", name.c_str());
    tk_log_wmessage(3, L"Opening MySQL database '%ls'", name.c_str());
    const std::string db = utf8(name);
    if (mysql_select_db(&mysql, db.c_str()) != 0) {
        throw sql_exception();
    }
    current_db_ = db;
    return std::make_unique<sql_database>(name, &mysql, mode);
}

void sql_engine::db_delete(const std::wstring& name) {
    tk_log_wmessage(2, L"sql_engine::db_delete(%ls)", name.c_str());
    tk_log_wmessage(3, L"Deleting MySQL database '%ls'", name.c_str());
    if (run("SET FOREIGN_KEY_CHECKS = 0") != 0) {
        tk_log_message(2, "Cannot turn off foreign key check: %s", mysql_error(&mysql));
    }
    tk_log_message(1, "is_old_version(%08X)", version);
    std::wstring statement = L"DROP DATABASE ";
    statement += version >= 0x40100 ? get_safe_name(name) : name;
    if (run(utf8(statement)) != 0) {
        throw sql_exception();
    }
    if (current_db_ == utf8(name)) {
        current_db_.clear();
    }
    if (run("SET FOREIGN_KEY_CHECKS = 1") != 0) {
        tk_log_message(2, "Cannot turn on foreign key check: %s", mysql_error(&mysql));
    }
}

bool sql_engine::is_db_exist(const std::wstring& name) {
    tk_log_wmessage(1, L"sql_engine::is_db_exist(%ls)", name.c_str());
    const std::string db = utf8(name);
    const int result = mysql_select_db(&mysql, db.c_str());
    tk_log_message(1, "n_result=%d", result);
    if (result == 0) {
        current_db_ = db;
    }
    return result == 0;
}

void sql_engine::set_properties(udb_properties* props) {
    tk_log_message(1, "sql_engine::set_properties");
    properties = props;
    if (props == nullptr) {
        return;
    }
    const auto& map = props->get_properties();
    const auto engine = map.find(L"engine");
    if (engine == map.end()) {
        tk_log_message(1, "Set InnoDB as default");
        storage_engine = L"InnoDB";
    } else {
        tk_log_wmessage(1, L"Set tab.type='%ls'", engine->second.c_str());
        storage_engine = engine->second;
    }
    const auto chars = map.find(L"character set");
    if (chars != map.end()) {
        charset = chars->second;
    }
}

std::unique_ptr<dmp_database> sql_engine::create_dump(const std::wstring& file_name,
                                                      const dump_options& options) {
    tk_log_wmessage(2, L"sql_engine::create_dump (%ls)", file_name.c_str());
    tk_log_wmessage(3, L"Creating MySQL dump file '%ls'", file_name.c_str());
    return std::make_unique<dmp_database>(file_name, options);
}

bool sql_engine::read_single_value(const char* statement, int column, std::string& value) {
    if (run(statement) != 0) {
        throw sql_exception();
    }
    MYSQL_RES* result = mysql_store_result(&mysql);
    if (result == nullptr) {
        if (mysql_errno(&mysql) != 0) {
            throw sql_exception();
        }
        return false;
    }
    bool found = false;
    MYSQL_ROW row = mysql_fetch_row(result);
    if (row != nullptr && static_cast<int>(mysql_num_fields(result)) > column &&
        row[column] != nullptr) {
        value = row[column];
        found = true;
    }
    mysql_free_result(result);
    return found;
}

uint32_t sql_engine::get_max_allowed_packet() {
    tk_log_message(1, "sql_engine::get_max_allowed_packet");
    if (max_allowed_packet != 0 || !connected) {
        return max_allowed_packet;
    }
    std::string value;
    if (read_single_value("SHOW VARIABLES LIKE 'max_allowed_packet'", 1, value)) {
        max_allowed_packet = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
    }
    tk_log_message(1, "max_packet_size=%u", max_allowed_packet);
    return max_allowed_packet;
}

namespace {

// Sets the server's global max_allowed_packet through `connection`; the client's error text on
// failure, else empty.
std::string set_global_packet(MYSQL& connection, unsigned long value) {
    const std::string statement = "SET GLOBAL max_allowed_packet=" + std::to_string(value);
    if (mysql_real_query(&connection, statement.data(),
                         static_cast<unsigned long>(statement.size())) == 0) {
        return {};
    }
    const char* text = mysql_error(&connection);
    return text != nullptr && *text != '\0' ? text : "refused";
}

} // namespace

std::string sql_engine::restore_global_packet(unsigned long value, uint32_t raised) {
    std::string failure = connected ? set_global_packet(mysql, value) : "not connected";
    if (failure.empty()) {
        return {};
    }
    // The run's session may be gone: a brief connection of its own puts the value back.
    MYSQL brief;
    mysql_init(&brief);
    mysql_options(&brief, MYSQL_READ_DEFAULT_GROUP, option_group);
    unsigned int timeout = 10;
    mysql_options(&brief, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
    if (mysql_real_connect(&brief, host_.c_str(), user_.c_str(), password_.c_str(), nullptr,
                           static_cast<unsigned>(port_), nullptr, 0) != nullptr) {
        failure = set_global_packet(brief, value);
    } else {
        failure = mysql_error(&brief);
    }
    mysql_close(&brief);
    if (failure.empty()) {
        return {};
    }
    const std::string text =
        "The MySQL server's global max_allowed_packet could not be set back "
        "to " +
        std::to_string(value) + " (" + failure + "); it stays at " + std::to_string(raised) +
        " for new connections until \"SET GLOBAL max_allowed_packet=" + std::to_string(value) +
        "\" is run.";
    tk_log_message(3, "%s", text.c_str());
    return text;
}

std::string sql_engine::set_max_allowed_packet(uint32_t wanted) {
    tk_log_message(2, "sql_engine::set_max_allowed_packet(%u)", wanted);
    if (!connected) {
        tk_log_message(3, "Failed to set max_allowed_packet:\n%s", "not connected");
        return {};
    }
    // The session's limit is what a statement must fit; it never goes down here.
    if (wanted <= get_max_allowed_packet()) {
        return {};
    }
    std::string global_text;
    try {
        read_single_value("SELECT @@global.max_allowed_packet", 0, global_text);
    } catch (const sql_exception& e) {
        tk_log_message(3, "Failed to set max_allowed_packet:\n%s", e.what());
        return {};
    }
    const unsigned long global = std::strtoul(global_text.c_str(), nullptr, 10);
    const bool raise = global < wanted;
    if (raise) {
        char statement[64];
        std::snprintf(statement, sizeof statement, "SET GLOBAL max_allowed_packet=%u", wanted);
        if (run(statement) != 0) {
            const sql_exception e;
            tk_log_message(3, "Failed to set max_allowed_packet:\n%s", e.what());
            return {};
        }
    }
    // A global value applies to sessions opened later: reconnect so this one runs under it.
    tk_log_message(2, "Reconnecting for the new max_allowed_packet");
    close_connection();
    connected = false;
    initialize();
    std::string unrestored;
    try {
        open_connection();
    } catch (sql_exception& e) {
        // The reconnection's failure is the error; a value left raised is said with it.
        if (raise) {
            const std::string left_raised = restore_global_packet(global, wanted);
            if (!left_raised.empty()) {
                e.message += "\n" + left_raised;
            }
        }
        throw;
    }
    // The new session keeps the limit it started with; the server's own value goes back before
    // anything else, so that the raise lasts only for the moment of the connection.
    if (raise) {
        unrestored = restore_global_packet(global, wanted);
    }
    setup_session();
    select_current_db();
    max_allowed_packet = 0;
    get_max_allowed_packet();
    return unrestored;
}

void sql_engine::set_blob_to_text(bool on) {
    tk_log_message(2, "sql_engine::set_blob_to_text(%d)", on ? 1 : 0);
    blob_to_text = on;
}

udb_validator* sql_engine::create_fn_validator(const udb_record& record) const {
    tk_log_message(1, "sql_engine::create_fn_validator( const udb_record& )");
    tk_log_message(1, "is_old_version(%08X)", version);
    if (version >= 0x40100) {
        return new sql_new_fn_validator(record);
    }
    return new sql_old_fn_validator(record);
}

udb_validator* sql_engine::create_fn_validator(const udb_schema& schema) const {
    tk_log_message(1, "sql_engine::create_fn_validator( const udb_schema& )");
    tk_log_message(1, "is_old_version(%08X)", version);
    if (version >= 0x40100) {
        return new sql_new_fn_validator(schema);
    }
    return new sql_old_fn_validator(schema);
}

udb_validator* sql_engine::create_in_validator(const udb_indexes& indexes) const {
    tk_log_message(1, "sql_engine::create_in_validator");
    tk_log_message(1, "is_old_version(%08X)", version);
    if (version >= 0x40100) {
        return new sql_new_in_validator(indexes);
    }
    return new sql_old_in_validator(indexes);
}

udb_validator* sql_engine::create_tn_validator(const std::vector<std::wstring>& names1,
                                               const std::vector<std::wstring>& names2) const {
    tk_log_message(1, "sql_engine::create_tn_validator");
    tk_log_message(1, "is_old_version(%08X)", version);
    if (version >= 0x40100) {
        return new sql_new_tn_validator(names1, names2);
    }
    return new sql_old_tn_validator(names1, names2);
}

udb_validator* sql_engine::create_dn_validator() const {
    tk_log_message(1, "sql_engine::create_dn_validator");
    tk_log_message(1, "is_old_version(%08X)", version);
    if (version >= 0x40100) {
        return new sql_new_validator(true);
    }
    return new sql_old_dn_validator();
}
