// The converter: the one object of each program that holds everything a conversion needs, and
// the work object whose run moves one MS SQL database into MySQL.
#pragma once

#include "MSS/mss_engi.h"
#include "SQL/sql_dump.h"
#include "SQL/sql_engi.h"
#include "SQL/sql_mut.h"
#include "TK/tk_regk.h"
#include "TK/tk_singl.h"
#include "TK/tk_threa.h"
#include "UDB/udb_db.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class udb_profile;
class vlm_row_batch;

// What the user is told when a stop request (a signal, closing the wizard) ends a run.
std::string vlm_stop_text();

// A named SELECT text, or a table (an empty text).
using vlm_query = std::pair<std::wstring, std::wstring>;

// The generic settings of a conversion and the progress of a run.
class udb_converter : public tk_converter {
public:
    udb_converter();
    ~udb_converter() override;

    // Whether the source server accepts the query.
    virtual bool test_query(const std::wstring& query) = 0;

    // The treatment of an existing destination, 0 to 4.
    void set_mode(std::int32_t value) { mode = value; }

    // Generic settings and the list sections. A "mode" outside 0 to 4 is refused with the
    // level-1 tk_exception "Invalid merge/overwrite mode".
    bool load_profile(udb_profile& profile);
    // `with_selection`: also writes the pairs of selected_queries into "Selected Tables".
    bool store_profile(udb_profile& profile, bool with_selection = true);

    // The name of the object being converted, as a copy: the run replaces it while the
    // progress display reads it from another thread.
    std::wstring current_object() const;
    void set_current_object(const std::wstring& name);

    std::int32_t mode = 0;
    std::atomic<std::int32_t> object_count{0};
    std::atomic<std::int32_t> object_index{0};
    // The current object's record count; udb_recordset::unknown_count when the source could
    // not count it (records_done then grows without a total).
    std::atomic<std::uint64_t> object_records{0};
    std::atomic<std::uint64_t> records_done{0};
    std::vector<std::wstring> selected_tables;
    // The objects to convert in order: queries with their texts, tables with an empty text.
    // A run converts these, then selected_tables, and changes neither list.
    std::vector<vlm_query> selected_queries;
    std::vector<udb_view> selected_views;
    std::vector<vlm_query> available_queries;
    bool tab_def = false;
    bool skip_idx = false;
    bool convert_views = false;

private:
    mutable std::mutex current_mutex_;
    std::wstring current_object_;
};

// The MS SQL side: its connection settings and the engine.
class mssql_converter_impl {
public:
    mssql_converter_impl();
    ~mssql_converter_impl();

    mssql_converter_impl(const mssql_converter_impl&) = delete;
    mssql_converter_impl& operator=(const mssql_converter_impl&) = delete;

    // Schema names of that source database; "dbo", "guest", "sys" when it does not exist.
    std::vector<std::wstring> get_mss_schemas(const std::wstring& database);
    // Database names of the connected server.
    std::vector<std::wstring> get_mss_databases();
    // Whether the source server accepts the query in database `src`; never throws.
    bool test_query(const std::wstring& src, const std::wstring& query);

    // Connect as database owner, and list only the user's own objects: kept here and in the
    // engine.
    void set_as_dbo(bool value);
    void set_view_owned(bool value);

    bool load_profile(udb_profile& profile);
    bool store_profile(udb_profile& profile);

    bool sec_log = true;
    std::wstring mss_schema;
    mss_dump_options mss_dump_opts;
    std::unique_ptr<mss_engine> mss;
    bool as_dbo = true;
    bool view_owned = true;
    std::wstring mssqlh;
    std::wstring mssqlu;
    std::wstring mssqlp;
};

// The MySQL side: its connection settings, the engine and the script-file options.
class mysql_converter_impl {
public:
    mysql_converter_impl();
    virtual ~mysql_converter_impl();

    mysql_converter_impl(const mysql_converter_impl&) = delete;
    mysql_converter_impl& operator=(const mysql_converter_impl&) = delete;

    // Stores the four values without leading and trailing blanks; an empty port is "3306".
    void store_mysql_settings(const std::string& host_name, const std::string& user_name,
                              const std::string& password, const std::string& port_text);

    // Refuses (level 1) stored settings that must never reach the client library: a host that
    // is not a host name or address (vlm_is_mysql_host), a NUL in the user or password, a port
    // text that is not a number from 1 to 65535 ("Invalid port number").
    void check_mysql_settings() const;
    // Connects the engine with the stored settings, checked first by check_mysql_settings.
    void connect_mysql_server();
    // Returns when MySQL accepts the name as a database name, else throws (level 1).
    void check_mysql_db_name(const std::wstring& name);
    // Drops the database. The server's own databases are refused (level 1).
    void del_mysql_base(const std::wstring& name);
    // The engine's version word is below 4.1.0.
    bool is_old_version() const;

    bool load_profile(udb_profile& profile);
    bool store_profile(udb_profile& profile);

    std::unique_ptr<sql_engine> sql;
    dump_options dump_opts;
    std::string host;
    std::string user;
    std::string pswd;
    std::string port = "3306";
};

// What the program around the converter is: the wizard keeps its settings in the registry from
// one start to the next; the console agent reads only the script-file options and writes
// nothing, and starts with a server destination and views off.
enum class vlm_program { wizard, console };

class velmora_convertor : public udb_converter,
                          public mssql_converter_impl,
                          public mysql_converter_impl,
                          public tk_serializer,
                          public sql_db_mutator,
                          public tk_singleton<velmora_convertor> {
public:
    explicit velmora_convertor(vlm_program program = vlm_program::wizard);
    ~velmora_convertor() override;

    velmora_convertor(const velmora_convertor&) = delete;
    velmora_convertor& operator=(const velmora_convertor&) = delete;

    // The conversion run.
    void operator()() override;

    // Catalogue queries for the wizard's pages; the source's failures pass through.
    void get_all_tables(std::vector<std::wstring>& out);
    void get_all_views(std::vector<udb_view>& out);
    // The columns of one source table, owned by the caller; a table the source lacks is an
    // internal error (vlm_conv, 86).
    std::unique_ptr<udb_schema> get_schema(const std::wstring& table);
    bool test_query(const std::wstring& query) override;
    // Views can be created on the destination: a script file, or a server newer than 5.0.0.
    bool can_create_views();

    // Registry settings: `store` false loads, true stores. True when the key opened and every
    // value was read or written.
    bool serialize(bool store);

    // Destination preparation (see vlm_dest.cpp). get_dest_base opens or creates the
    // destination of a run; the caller owns it.
    void check_dest();
    // A script destination is refused (level 1) in any mode but 0: its replay drops and
    // creates the tables, so it cannot keep what modes 1 to 4 keep. check_dest checks it too.
    void check_script_mode() const;
    // With the script's CREATE DATABASE option: the database the script drops and creates
    // passes the checks of a server destination (the server's own databases refused, the
    // name rules of the script's server version), else throws (level 1).
    void check_script_db_name() const;
    // A script that creates its tables names its character set in them: a set no server
    // offers is refused (level 1), as a server run is refused at its CREATE DATABASE.
    void check_script_charset() const;
    virtual std::unique_ptr<udb_database> get_dest_base();
    // The source database of a run (tables and views, the schema filter); the caller owns it.
    virtual std::unique_ptr<udb_database> open_source();
    // Opens the source of the next run, which reads its table list, and checks the schema
    // filter against the source's own schemas. Throws (level 1) when the tables cannot be
    // listed or the schema does not exist: a caller does it before the destination is
    // prepared (mode 0 drops it). The next run takes this source over; a run without it
    // prepares its own.
    void prepare_source();
    // The schema filter checked as prepare_source checks it, on a source opened only for that
    // and closed again: the run still opens its own with the filter it is given then.
    void check_schema_of_source();

    // Settings that belong to no single part (after the parts' own).
    bool store_profile(udb_profile& profile);

    bool is_silent() const { return silent; }

    bool direct = true;
    vlm_program program;

    // The rows a copy matched with rows already in an existing table.
    struct matched_rows {
        std::uint64_t skipped = 0;  // merge: not copied, their key was there
        std::uint64_t replaced = 0; // synchronize: rows of the table that copied rows replaced
    };

private:
    struct run_state;
    // The schema filter names a schema of the source (an empty one included); else throws.
    void check_source_schema(udb_database& source);
    // One entry of the work list: steps of one table or query, with the per-object handling.
    void convert_object(run_state& run, const vlm_query& entry);
    // Names the selected views the run does not create, unless the user asked for that.
    void report_views_left_out();
    // Merge or synchronize into a table without a row key: reported once, the rows still go in.
    void report_unmatched_rows(const std::wstring& name);
    // The objects of this run in order: the queries and a profile's tables as selected, then
    // the listed tables (every source table for a console run given no selection at all).
    std::vector<vlm_query> work_list(udb_database& source) const;
    // Fixes the destination name of every source table before the first one is converted.
    void plan_table_names(run_state& run);
    // The selected views naming the converted tables by their destination names.
    std::vector<udb_view> views_for_names_map(const run_state& run) const;
    // Copies the rows of one object, each with the per-record handling. `existing`: the table
    // was there before the run (merge and synchronize match rows only in such a table).
    void copy_rows(run_state& run, udb_recordset& source, udb_recordset& destination,
                   sql_table_mutator* mutator, bool existing);
    void copy_rows_in(udb_recordset& source, udb_recordset& destination, sql_table_mutator* mutator,
                      vlm_row_batch& batch, bool existing, matched_rows& matched);
    void handler_for_row(const std::wstring& name, const tk_exception& error);
    // The foreign keys of the tables this run created; those that cannot be are reported.
    void create_relationships(run_state& run);
    // The foreign-key and view steps after the last object; a stop or a lost connection there
    // is said once and ends the run.
    void create_keys_and_views(run_state& run);
    std::wstring unconverted_table_name(run_state& run, const std::wstring& table);

    std::unique_ptr<udb_database> prepared_source_;
};

// Opens and closes every run: the start and end lines, COM for the calling thread, the progress
// timer; its destruction sets the finished flag.
class init_conversion {
public:
    // `no_com` non-zero: COM is left alone.
    init_conversion(std::atomic<bool>& finished, int no_com);
    ~init_conversion();

    init_conversion(const init_conversion&) = delete;
    init_conversion& operator=(const init_conversion&) = delete;

private:
    std::atomic<bool>& finished_;
    int no_com_;
};

// The product title: "Velmora 8.3".
std::wstring wizard_title();

// Refuses (level 1) a destination database that the MySQL server keeps for itself ("mysql",
// "sys", "information_schema", "performance_schema", in any case).
void vlm_refuse_server_database(const std::wstring& name);

// Returns when a script file can be written at the path, else throws (level 1).
void common_check_dest(const std::wstring& path);

// Profiles. load: false when the file was not read or the Type Mappings are malformed; a
// missing file raises the level-1 tk_exception of the profile reader. save: false when the file
// cannot be written.
bool load_profile_file(velmora_convertor& converter, const std::wstring& path);
bool apply_profile(velmora_convertor& converter, udb_profile& profile);
bool save_profile_file(velmora_convertor& converter, const std::wstring& path);

// A text for the line-based profile file: line comments ("-- ...") of SQL become block
// comments, then CR LF, LF and CR each become one blank.
std::wstring vlm_profile_text(const std::wstring& text);
