// The MySQL engine: the one server connection of the process, its settings and version rules,
// and the MySQL exception family.
#pragma once

#include "TK/tk_excep.h"
#include "TK/tk_singl.h"
#include "UDB/udb_db.h"

#include <mysql.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class udb_validator;
class dmp_database;
class dump_options;

// A failed client call on the engine's connection (level 0): the client library's error text,
// code 0x400000 plus the low 16 bits of the error number. Made right after the failing call; it
// reads the error of the registered engine's connection.
class sql_exception : public tk_exception {
public:
    sql_exception();
    sql_exception(const sql_exception&) = default;
};

// How far a failed MySQL call reaches, by the error's code (0x400000 plus the error number):
// - connection: the client library's own errors (2000 to 2999: the server is gone, the link is
//   lost, a reply is broken) and the server's word that it ends the session (1053 shutdown,
//   1152 and 1184 aborted, 1927 killed). Every later statement fails the same way.
// - server: the server ran out of room (1021 disk full, 3 a failed write) or of memory (1037,
//   1041): every later statement that writes fails alike, in every table.
// - table: the table disappeared (1146), or its columns are not those of the rows (1054 an
//   unknown column, 1136 a column count that does not match), or it can take no more rows (1114
//   the table is full, 1030 its storage engine failed, such as errno 28 for a full disk, 1038
//   out of sort memory): every row of it fails alike.
// - row: anything else, a fault of the row's own values or keys.
enum class sql_failure_reach { row, table, server, connection };
sql_failure_reach sql_failure_reach_of(int code);

// Whether a failure met while one object of a list (a foreign key, a view) is created ends the
// whole list rather than that object: the connection is gone, or a stop was requested (the stop
// watchdog cuts the connection, so every later statement would fail alike). The caller says it
// once instead of once per object.
bool sql_ends_object_list(const tk_exception& error);

// Exactly version 4.1.0 with a password (level 1).
class sql_auth_not_supported_exception : public tk_exception {
public:
    sql_auth_not_supported_exception();
    sql_auth_not_supported_exception(const sql_auth_not_supported_exception&) = default;
};

// A prepared statement that could not be executed (level 1, code 0x400BB9).
class sql_prep_stmt_failed_exception : public tk_exception {
public:
    sql_prep_stmt_failed_exception();
    sql_prep_stmt_failed_exception(const sql_prep_stmt_failed_exception&) = default;
};

// The version word (major<<16 | minor<<8 | patch) of a server version text such as
// "8.0.35-log" or "10.11.6-MariaDB"; a MariaDB text behind the "5.5.5-" prefix that old clients
// see gives MariaDB's own version. 0 when the text holds fewer than three numbers.
uint32_t sql_parse_version(std::string_view text);

// A character set name as the statements write it: the stored name "utf8" (any letter case)
// stands for full Unicode, which is utf8mb4 on servers from 5.5.3; every other name is kept.
std::wstring sql_effective_charset(const std::wstring& charset, uint32_t version);

// Which characters a text column in a character set can store, for a writer that has no
// server to ask (the script file): a value the server would refuse (error 1366 under a strict
// sql_mode) is found before it is written. A set is judged soundly: what is judged storable the
// server stores, and a character in doubt is refused. Built once per table; the lookup table of a
// set is built once per process and shared. A set whose repertoire is not known here checks
// nothing.
class sql_charset_repertoire {
public:
    // How the text reaches the check: the value itself, or the quoted literal that the script
    // writes for it, whose backslash escapes stand for one character each.
    enum class form { value, literal };

    explicit sql_charset_repertoire(const std::wstring& charset);
    ~sql_charset_repertoire();
    sql_charset_repertoire(const sql_charset_repertoire&) = delete;
    sql_charset_repertoire& operator=(const sql_charset_repertoire&) = delete;

    // Whether values are checked at all: false for sets that hold every character and for sets
    // whose repertoire is not known here.
    bool checks() const { return kind_ != kind::everything && kind_ != kind::unknown; }
    // Whether the name is one of a set that MySQL or MariaDB servers offer (in any letter case).
    bool known() const { return kind_ != kind::unknown; }
    // The first code point of the UTF-8 `text` that the set cannot store, or -1 when it can
    // store them all (and for text that is no valid UTF-8, which the server judges itself).
    long first_unstorable(std::string_view text, form as = form::value) const;

    // The code points of the Basic Multilingual Plane that a set stores, one bit each.
    struct plane;

private:
    enum class kind { everything, unknown, bmp, table };
    bool stores(long point) const;

    kind kind_ = kind::unknown;
    // Whether every ASCII character is stored (all sets but a national ISO 646 variant).
    bool all_ascii_ = true;
    // For kind::table: the set's characters, shared by every table written in the set.
    std::shared_ptr<const plane> plane_;
};

// The most bytes one character takes in `charset` (1 for a set this table does not know).
int sql_charset_max_bytes(const std::wstring& charset);

// A name used as a bare word in a statement (character set, storage engine): kept as it is when
// it consists of letters, digits and underscores, else backquoted with inner backquotes doubled.
std::wstring sql_bare_word(const std::wstring& word);

// A name as a backquoted identifier, inner backquotes doubled, never cut: for names that exist
// on the server already.
std::wstring sql_quote_identifier(const std::wstring& name);

// The one MySQL engine of the process, reached through tk_singleton<sql_engine>. Database
// objects made here keep a plain pointer to `mysql` and never close it. No lock: one thread at
// a time uses it.
class sql_engine : public udb_engine, public tk_singleton<sql_engine> {
public:
    // Above this many bytes a value travels as prepared-statement long data.
    static constexpr uint32_t max_field_size = 0x100000;

    sql_engine();
    ~sql_engine() override;

    sql_engine(const sql_engine&) = delete;
    sql_engine& operator=(const sql_engine&) = delete;

    // Whether a server of `version` refuses the client's authentication: exactly 4.1.0 with a
    // password.
    static bool auth_not_supported(uint32_t version, const std::string& password) {
        return version == 0x40100 && !password.empty();
    }

    // The session's character-set statement on a server of `version`.
    static const char* names_statement(uint32_t version);
    // The session's fixed sql_mode on a server of `version`: each mode only from the version
    // that knows it; empty before 4.1.1 (no statement is sent then).
    static std::string session_sql_mode(uint32_t version);
    // "CREATE DATABASE" with the name (quoted from 4.1.0) and the character set.
    std::wstring create_database_statement(const std::wstring& name) const;

    // Prepares the connection record for a new connection.
    void initialize();

    // Connects and sets up the session: character set (utf8mb4 from 5.5.3, else UTF8),
    // wait_timeout, a fixed sql_mode, foreign-key checks off. A refused connection raises
    // sql_exception with the server's text; exactly 4.1.0 with a password raises
    // sql_auth_not_supported_exception.
    void connect(const std::string& host, const std::string& user, const std::string& password,
                 int port);

    // The new database (in `charset`), opened with mode 2; the caller owns it.
    std::unique_ptr<udb_database> create_db(const std::wstring& name) override;
    // The existing database, now the connection's current one; the caller owns it.
    std::unique_ptr<udb_database> open_db(const std::wstring& name, std::int32_t mode,
                                          const std::wstring& unused) override;
    std::unique_ptr<udb_database> open_db(const std::wstring& name, std::int32_t mode) {
        return open_db(name, mode, {});
    }
    void db_delete(const std::wstring& name) override;
    // Selecting the database; an existing one becomes the current database.
    bool is_db_exist(const std::wstring& name) override;
    // Keeps the pointer; takes "engine" (else InnoDB) and "character set" from it.
    void set_properties(udb_properties* props) override;

    // A new script file of that name, written with `options`; the caller owns it. A file that
    // cannot be created raises tk_exception (level 1).
    std::unique_ptr<dmp_database> create_dump(const std::wstring& file_name,
                                              const dump_options& options);

    // The max_allowed_packet in force for this session: the cached value, else (connected) read
    // from the server; 0 when neither read nor connected.
    uint32_t get_max_allowed_packet();
    // Raises this session's max_allowed_packet to `wanted` bytes when it is lower; never lowers
    // it. A session takes the server's global value when it connects, so the engine raises the
    // global value where it is lower, reconnects (same settings, same current database) and
    // sets the global value back at once: the server's other clients keep its own limit. The
    // session's value is cached. A refused raise is only logged; a failed reconnection raises
    // sql_exception. Returns the text of a global value that could not be set back (also
    // logged), else empty.
    std::string set_max_allowed_packet(uint32_t wanted);

    // The name as a quoted identifier: cut to 63 characters when longer than 64, inner
    // backquotes doubled, enclosed in backquotes. An empty name, or one that already is a
    // well-formed quoted identifier, is returned unchanged.
    std::wstring get_safe_name(const std::wstring& name) const;

    // Identifier validators by server version (new rules from 4.1.0); the caller owns them.
    udb_validator* create_fn_validator(const udb_record& record) const;
    udb_validator* create_fn_validator(const udb_schema& schema) const;
    udb_validator* create_in_validator(const udb_indexes& indexes) const;
    udb_validator* create_tn_validator(const std::vector<std::wstring>& names1,
                                       const std::vector<std::wstring>& names2) const;
    udb_validator* create_dn_validator() const;

    // Character sets ("name - description") and storage engines offered for new tables: from
    // the server when connected at the first call, else fixed lists; kept for the process.
    const std::vector<std::wstring>& get_charsets();
    const std::vector<std::wstring>& get_storage_engines();

    void set_blob_to_text(bool on);

    // Runs one statement, sent with its length so that NUL characters survive; the client
    // library's result (0 on success).
    int run(std::string_view statement);

    // From any thread: shuts the connection's socket down, so that a call waiting for a server
    // that does not answer returns at once with a lost-connection error, and every later one
    // fails alike. The server rolls back what was not committed. False when no connection is
    // open. No timeout is set instead: a statement may legitimately run for hours.
    bool interrupt() noexcept;

    // The character set that statements write for `charset` on this server.
    std::wstring effective_charset(const std::wstring& name) const {
        return sql_effective_charset(name, version);
    }
    // The server is MariaDB (told by its version text).
    bool is_mariadb() const;
    // The server accepts expression defaults: a DEFAULT on TEXT, BLOB and geometry columns and
    // current-date or current-time defaults on DATE and TIME columns (MySQL 8.0.13, MariaDB
    // 10.2.1).
    bool accepts_expression_defaults() const;
    // The longest column comment the server accepts, in characters.
    std::size_t max_comment_length() const;

    MYSQL* connection() { return &mysql; }

    std::wstring charset = L"utf8";
    std::wstring storage_engine = L"InnoDB";
    bool tables_locked = false;
    bool connected = false;
    bool fast_insert = true;
    bool blob_to_text = false;
    bool case_sensitive = false;
    uint32_t version = 0;
    MYSQL mysql;
    uint32_t max_allowed_packet = 0;
    // The server's version text as the connection reported it.
    std::string server_info;

private:
    void open_connection();
    void close_connection();
    // Sets the global max_allowed_packet back to `value` after a raise to `raised`, through the
    // session or else a brief connection of its own; the text of a failure, else empty.
    std::string restore_global_packet(unsigned long value, uint32_t raised);
    void setup_session();
    // Reads one value of a single-row statement; false when there is none.
    bool read_single_value(const char* statement, int column, std::string& value);
    void select_current_db();

    std::string host_;
    std::string user_;
    std::string password_;
    int port_ = 0;
    bool initialized_ = false;
    // The database last selected, selected again after a reconnection.
    std::string current_db_;
    // The open connection's socket (-1: none), for interrupt() on another thread.
    std::mutex socket_mutex_;
    int socket_ = -1;
};

// Switches the engine's BLOB-as-text reading on for its lifetime and puts it back on every way
// out: the result cells of SHOW statements and catalogue queries come as text, whatever flags
// the server gives them.
class sql_blob_as_text_scope {
public:
    explicit sql_blob_as_text_scope(sql_engine& engine)
        : engine_(engine), saved_(engine.blob_to_text) {
        engine_.set_blob_to_text(true);
    }
    ~sql_blob_as_text_scope() { engine_.set_blob_to_text(saved_); }
    sql_blob_as_text_scope(const sql_blob_as_text_scope&) = delete;
    sql_blob_as_text_scope& operator=(const sql_blob_as_text_scope&) = delete;

private:
    sql_engine& engine_;
    bool saved_;
};
