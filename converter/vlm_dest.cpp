// Destination preparation: connecting MySQL, checking names and paths, clearing and opening the
// destination of a run.
#include "converter/vlm_conv.h"

#include "SQL/sql_engi.h"
#include "TK/tk_fname.h"
#include "TK/tk_log.h"
#include "TK/tk_rfile.h"
#include "TK/tk_stop.h"
#include "TK/tk_utils.h"
#include "UDB/udb_util.h"
#include "UDB/sql_vali.h"
#include "UDB/udb_vali.h"
#include "converter/vlm_errh.h"
#include "converter/vlm_inchk.h"
#include "platform/win32/error.h"
#include "platform/win32/win32_types.h"

#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace {

// The databases a MySQL or MariaDB server keeps for itself are never a destination: mode 0
// would drop them, and mode 1 would drop any of their tables that a source table is named like
// (a source table "user" would take the server's accounts with it).
void refuse_server_database(const std::wstring& name) {
    for (const wchar_t* own : {L"mysql", L"sys", L"information_schema", L"performance_schema"}) {
        if (udb_equal_no_case(name, own)) {
            throw tk_exception(L"The database '" + name +
                                   L"' belongs to the MySQL server itself and cannot be "
                                   L"overwritten.\nSpecify a different destination name.",
                               1);
        }
    }
}

// The database-name rules of the server a name is meant for; the text tells the user which.
void check_db_name(const udb_validator& validator, const std::wstring& name, bool old_server) {
    if (validator.is_acceptable(name)) {
        return;
    }
    if (old_server) {
        throw tk_exception("Not a valid MySQL database name. It cannot consist only of "
                           "numbers\nor start with a digit and must differ from any MySQL "
                           "keyword. Use\nalphanumeric symbols (A-Z, a-z, 0-9), '_' and '$' to "
                           "compose\nnew database name.",
                           1);
    }
    throw tk_exception("Not a valid MySQL database name. Use alphanumeric characters\r\n(A-Z, "
                       "a-z, 0-9), '_', '$' and spaces to compose new database name.",
                       1);
}

int port_number(const std::string& text) {
    const long number = std::strtol(text.c_str(), nullptr, 10);
    if (number <= 0 || number > 65535) {
        throw tk_exception("Invalid port number", 1);
    }
    return static_cast<int>(number);
}

} // namespace

void vlm_refuse_server_database(const std::wstring& name) {
    refuse_server_database(name);
}

void mysql_converter_impl::check_mysql_settings() const {
    vlm_check_mysql_connection(host, user, pswd);
    port_number(port);
}

void mysql_converter_impl::connect_mysql_server() {
    tk_log_message(2, "mysql_converter_impl::connect_mysql_server");
    check_mysql_settings();
    sql->connect(host, user, pswd, port_number(port));
}

bool mysql_converter_impl::is_old_version() const {
    tk_log_message(1, "is_old_version(%08X)", sql->version);
    return sql->version < 0x40100;
}

void mysql_converter_impl::check_mysql_db_name(const std::wstring& name) {
    tk_log_wmessage(2, L"mysql_converter_impl::check_mysql_db_name(%ls)", name.c_str());
    tk_log_message(1, "sql_engine::create_dn_validator");
    const std::unique_ptr<udb_validator> validator(sql->create_dn_validator());
    check_db_name(*validator, name, is_old_version());
}

void mysql_converter_impl::del_mysql_base(const std::wstring& name) {
    tk_log_wmessage(2, L"mysql_converter_impl::del_mysql_base (%ls)", name.c_str());
    refuse_server_database(name);
    sql->db_delete(name);
}

void common_check_dest(const std::wstring& dest) {
    tk_log_wmessage(1, L"common_check_dest(%ls)", dest.c_str());
    vlm_check_path_length(tk_to_utf8(dest));
    // A symbolic link stays; the script replaces what it names, so that is what is checked.
    const std::wstring path = tk_utf8_to_wstring(tk_link_target(tk_to_utf8(dest)));
    if (tk_is_path_exist(path)) {
        throw tk_exception("Destination name should specify a file, not folder.", 1);
    }
    if (tk_is_file_exist2(path, tk_file_exists) && !tk_is_file_exist2(path, tk_file_writable)) {
        throw tk_exception("Destination name specifies an existing read-only file.", 1);
    }
    // The wizard deletes an existing script before its run: never another run's lock.
    if (tk_is_live_lock(tk_to_utf8(path))) {
        throw tk_exception(
            "The destination '" + tk_to_utf8(path) + "' is the lock file of another run.", 1);
    }
    const tk_file_wname parts(path);
    const std::wstring folder = parts.drive + parts.dir;
    if (!tk_is_path_exist(folder)) {
        throw tk_exception("Destination path does not exist.\nPlease verify the correct path was "
                           "given.",
                           1);
    }
    if (!tk_has_waccess(folder.c_str(), GENERIC_WRITE)) {
        throw tk_exception("Cannot create or write into the destination file.\nRun the program "
                           "as Administrator or change folder.",
                           1);
    }
}

void velmora_convertor::check_dest() {
    tk_log_message(1, "velmora_convertor::check_dest");
    // A stop asked for while the connections were made or the source was read ends the run
    // before anything is dropped.
    if (tk_stop_requested()) {
        throw tk_exception(vlm_stop_text(), 1);
    }
    if (direct) {
        tk_log_wmessage(2, L"mysql_converter_impl::is_mysql_base_exist( %ls )", dest.c_str());
        refuse_server_database(dest);
        if (sql->is_db_exist(dest) && mode == 0) {
            del_mysql_base(dest);
        }
        return;
    }
    check_script_mode();
    vlm_check_dest_not_log(tk_to_utf8(dest));
    common_check_dest(dest);
    check_script_db_name();
    check_script_charset();
    // An existing script is not deleted here: the run writes beside it and replaces it only
    // with a whole script. Only a regular file is ever replaced; a device, a pipe or a socket
    // (also as the target of a link) is refused.
    struct stat st {};
    if (stat(tk_link_target(tk_to_utf8(dest)).c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        throw tk_exception("Destination name specifies an existing file that is not a regular "
                           "file.",
                           1);
    }
}

void velmora_convertor::check_script_mode() const {
    // A script creates every table it writes, and its replay replaces what a server run of
    // modes 1 to 4 would have kept; it can keep no mode's promise but that of mode 0.
    if (!direct && mode != 0) {
        throw tk_exception("Mode " + std::to_string(mode) +
                               " keeps what the destination holds, which a script cannot do: "
                               "replaying it drops and creates every table it writes. A script "
                               "file is written in mode 0 (overwrite the entire database) only.",
                           1);
    }
}

void velmora_convertor::check_script_db_name() const {
    if (!dump_opts.create_database || !dump_opts.create_tables) {
        return;
    }
    // The script drops and creates this database when it is replayed: the rules of a server
    // destination apply, for the server version the script is written for.
    const std::wstring name = dump_opts.database_name.empty()
                                  ? tk_utf8_to_wstring(tk_file_name(tk_to_utf8(dest)).name)
                                  : tk_utf8_to_wstring(dump_opts.database_name);
    tk_log_wmessage(1, L"velmora_convertor::check_script_db_name(%ls)", name.c_str());
    refuse_server_database(name);
    if (dump_opts.new_version) {
        check_db_name(sql_new_validator(true), name, false);
        return;
    }
    check_db_name(sql_old_dn_validator(), name, true);
}

void velmora_convertor::check_script_charset() const {
    const std::wstring& charset = sql->charset;
    if (!dump_opts.create_tables || charset.empty() || sql_charset_repertoire(charset).known()) {
        return;
    }
    throw tk_exception(L"The character set '" + charset +
                           L"' is not one that MySQL or MariaDB servers offer: the script's "
                           L"replay would stop at its first CREATE TABLE.",
                       1);
}

std::unique_ptr<udb_database> velmora_convertor::get_dest_base() {
    tk_log_message(2, "velmora_convertor::get_dest_base");
    if (!direct) {
        dump_opts.creator = vlm_display_narrow(wizard_title());
        return std::make_unique<dmp_database>(dest, dump_opts);
    }
    tk_log_message(1, "mode=%08X", static_cast<unsigned>(mode));
    const std::int32_t flags = mode == 0 ? 0xA4 : mode == 4 ? 0x1A0 : 0xA8;
    tk_log_wmessage(2, L"mysql_converter_impl::is_mysql_base_exist( %ls )", dest.c_str());
    if (sql->is_db_exist(dest)) {
        return sql->open_db(dest, flags, L"");
    }
    return sql->create_db(dest);
}
