// The command-line options of the console agent.
#include "agent/agn_opts.h"

#include "agent/agn_cons.h"
#include "agent/agn_tabf.h"
#include "converter/vlm_conv.h"
#include "converter/vlm_errh.h"
#include "TK/tk_cmdli.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

enum option_id : std::int32_t {
    opt_as_dbo,
    opt_charset,
    opt_dest,
    opt_dump,
    opt_engine,
    opt_help,
    opt_logfile,
    opt_mode,
    opt_mschema,
    opt_mssqlh,
    opt_mssqlu,
    opt_mssqlp,
    opt_mysqlh,
    opt_mysqlu,
    opt_mysqlp,
    opt_owned,
    opt_port,
    opt_profile,
    opt_silent,
    opt_skip_idx,
    opt_src,
    opt_tab_def,
    opt_tab_file,
    opt_views,
};

const char usage_format[] =
    "pontrel v%d.%d\n"
    "Usage: pontrel OPTIONS\n"
    "\n"
    "   --as_dbo       connect to MS SQL as database owner\n"
    "   --charset=...  MySQL character set (see 'Command Line' article of\n"
    "                  the product documentation for list of possible values)\n"
    "   --dest=...     MySQL database or dump file name\n"
    "   --dump         convert MS SQL database into dump file\n"
    "   --engine=...   MySQL storage engine (MyISAM, MEMORY, InnoDB\n"
    "                  BerkeleyDB, ARCHIVE, FEDERATED, etc)\n"
    "   --help         display this help message and exit\n"
    "   --logfile=...  path to the file where execution trace will be written\n"
    "   --mode=...     how to process an existing MySQL database\n"
    "                  (0 - overwrite the entire database, 1 - overwrite\n"
    "                  existing tables only, 2 - skip existing tables,\n"
    "                  3 - merge, 4 - synchronize)\n"
    "   --mschema=...  MS SQL schema (full replication, if none)\n"
    "   --mssqlh=...   MS SQL server IP address or network name\n"
    "   --mssqlu=...   MS SQL user name\n"
    "   --mssqlp=...   MS SQL user password\n"
    "   --mysqlh=...   MySQL server IP address or network name\n"
    "   --mysqlu=...   MySQL user name\n"
    "   --mysqlp=...   MySQL user password\n"
    "   --owned        convert tables owned by the user only\n"
    "   --port=...     MySQL port\n"
    "   --profile=...  path to the file to load conversion settings from\n"
    "   --silent       disable program output\n"
    "   --skip_idx     skip converting indexes\n"
    "   --src=...      MS SQL database name\n"
    "   --tab_def      convert table definitions only\n"
    "   --tab_file=... file containing the list of tables to convert\n"
    "                  (one table name per line)\n"
    "   --views        convert MS SQL views into MySQL\n"
    "\n"
    "NOTES:\n"
    "   1) You can omit 'mssqlh' or 'mysqlh' to connect local database server.\n"
    "   2) You can omit 'mssqlu' and 'mssqlp' parameters to connect to MS SQL\n"
    "      server using Windows authentication.\n"
    "   3) It is necessary to specify 'port' parameter only if it differs from\n"
    "      the default MySQL port 3306.\n"
    "   4) If you omit 'tab_file' parameter, all database tables will be converted.\n"
    "   5) If you omit 'mode' parameter, default mode 'overwrite the entire\n"
    "      database' will be used.\n"
    "   6) Command line parameters that contain spaces must be enclosed in quotes\n"
    "      (for example --dest=\"my database\")";

// The value as a wide text; false (the setting stays as it was) when it cannot be converted.
bool to_wide(const char* value, std::wstring& out) {
    wchar_t* converted = nullptr;
    const bool ok = tk_ansi_to_unicode(value, converted);
    const std::unique_ptr<wchar_t[]> owner(converted);
    if (ok) {
        out = converted;
    }
    return ok;
}

// An argument as the trace log may show it: the passwords stay out of the log, whatever its
// threshold.
const char* const password_options[] = {"--mssqlp=", "--mysqlp="};

// The length of the password option that `argument` begins with; 0 for any other argument.
std::size_t password_prefix(const char* argument) {
    for (const char* secret : password_options) {
        if (std::strncmp(argument, secret, std::strlen(secret)) == 0) {
            return std::strlen(secret);
        }
    }
    return 0;
}

std::string traced_argument(const char* argument) {
    const std::size_t prefix = password_prefix(argument);
    if (prefix != 0) {
        return std::string(argument, prefix) + "***";
    }
    return argument;
}

// The process list (/proc/PID/cmdline, ps) shows the argument texts as they are in memory:
// once the values are taken, the passwords are overwritten there, as the mysql client does.
void mask_passwords(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::size_t prefix = password_prefix(argv[i]);
        if (prefix == 0) {
            continue;
        }
        for (char* c = argv[i] + prefix; *c != '\0'; ++c) {
            *c = 'x';
        }
    }
}

// A --dest= text the ANSI code page cannot read would be taken with its bad bytes replaced,
// and the script written under another name: only a text that converts both ways is taken.
bool converts_both_ways(const char* value, const std::wstring& wide) {
    std::string back;
    return tk_unicode_to_ansi3(wide.c_str(), back) && back == value;
}

} // namespace

std::string pontrel_usage() {
    char text[sizeof usage_format + 32];
    std::snprintf(text, sizeof text, usage_format, pontrel_version_major, pontrel_version_minor);
    return text;
}

bool parse_mode(const std::string& value, int& mode) {
    errno = 0;
    const long number = std::strtol(value.c_str(), nullptr, 10);
    if (errno != 0 || number < INT_MIN || number > INT_MAX) {
        return false;
    }
    if (std::to_string(number) != value || static_cast<unsigned>(number) > 4) {
        return false;
    }
    mode = static_cast<int>(number);
    return true;
}

bool is_server_word(const std::string& value) {
    if (value.empty()) {
        return false;
    }
    for (const unsigned char c : value) {
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        const bool digit = c >= '0' && c <= '9';
        if (!letter && !digit && c != '_') {
            return false;
        }
    }
    return true;
}

bool parse_cmd_line(int argc, char** argv) {
    tk_log_message(2, "parse_cmd_line");
    for (int i = 0; i < argc; ++i) {
        tk_log_message(1, "parameter #%d: %s", i, traced_argument(argv[i]).c_str());
    }

    static const cmd_option options[] = {
        {opt_as_dbo, "--as_dbo"},
        {opt_charset, "--charset="},
        {opt_dest, "--dest="},
        {opt_dump, "--dump"},
        {opt_engine, "--engine="},
        {opt_help, "--help"},
        {opt_logfile, "--logfile="},
        {opt_mode, "--mode="},
        {opt_mschema, "--mschema="},
        {opt_mssqlh, "--mssqlh="},
        {opt_mssqlu, "--mssqlu="},
        {opt_mssqlp, "--mssqlp="},
        {opt_mysqlh, "--mysqlh="},
        {opt_mysqlu, "--mysqlu="},
        {opt_mysqlp, "--mysqlp="},
        {opt_owned, "--owned"},
        {opt_port, "--port="},
        {opt_profile, "--profile="},
        {opt_silent, "--silent"},
        {opt_skip_idx, "--skip_idx"},
        {opt_src, "--src="},
        {opt_tab_def, "--tab_def"},
        {opt_tab_file, "--tab_file="},
        {opt_views, "--views"},
        {-1, ""},
    };

    velmora_convertor& converter = tk_singleton<velmora_convertor>::ref();
    std::wstring mss_host;
    std::wstring mss_user;
    std::wstring mss_password;
    std::string mysql_host;
    std::string mysql_user;
    std::string mysql_password;
    std::string mysql_port = "3306";
    bool profile_loaded = false;

    ansi_cmd_line cmd(argc, argv, options);
    for (; cmd.has_more(); cmd.next()) {
        const char* value = cmd.get_value();
        std::wstring wide;
        switch (cmd.get_option_id()) {
        case opt_as_dbo:
            tk_log_message(2, "\tconnecting as DBO");
            tk_log_message(1, "mss_engine::set_as_dbo(%d)", 1);
            converter.set_as_dbo(true);
            break;
        case opt_charset:
            // The name is written into CREATE statements: only a word a server could know.
            if (!is_server_word(value)) {
                report_fatal_and_exit(std::string("Invalid MySQL character set: ") + value);
            }
            if (to_wide(value, wide)) {
                tk_log_wmessage(1, L"parse_cmd_line - got charset '%ls'", wide.c_str());
                converter.sql->charset = wide;
            }
            break;
        case opt_dest:
            if (!to_wide(value, wide) || !converts_both_ways(value, wide)) {
                report_fatal_and_exit("Invalid destination name: it is not valid text in the "
                                      "character set of the locale");
            }
            tk_log_wmessage(2, L"\tgot dest %ls", wide.c_str());
            converter.dest = wide;
            break;
        case opt_dump:
            tk_log_message(2, "\tconvert into dump files");
            converter.direct = false;
            break;
        case opt_engine:
            if (!is_server_word(value)) {
                report_fatal_and_exit(std::string("Invalid MySQL storage engine: ") + value);
            }
            if (to_wide(value, wide)) {
                tk_log_wmessage(1, L"parse_cmd_line - got engine '%ls'", wide.c_str());
                converter.sql->storage_engine = wide;
            }
            break;
        case opt_help:
            report_fatal_and_exit(pontrel_usage());
        case opt_logfile:
            tk_log_message(1, "parse_cmd_line - got logfile %s", value);
            converter.set_logfile(value);
            break;
        case opt_mode: {
            int mode = 0;
            if (!parse_mode(value, mode)) {
                report_fatal_and_exit("Invalid merge/overwrite mode");
            }
            tk_log_message(2, "\tgot mode %d", mode);
            tk_log_message(1, "udb_converter::set_mode(%d)", mode);
            converter.set_mode(mode);
            break;
        }
        case opt_mschema:
            if (to_wide(value, wide)) {
                tk_log_wmessage(2, L"\tgot MS SQL schema: %ls", wide.c_str());
                converter.mss_schema = wide;
                converter.set_view_owned(!wide.empty());
            }
            break;
        case opt_mssqlh:
            to_wide(value, mss_host);
            break;
        case opt_mssqlu:
            to_wide(value, mss_user);
            break;
        case opt_mssqlp:
            to_wide(value, mss_password);
            break;
        case opt_mysqlh:
            mysql_host = value;
            break;
        case opt_mysqlu:
            mysql_user = value;
            break;
        case opt_mysqlp:
            mysql_password = value;
            break;
        case opt_owned:
            tk_log_message(2, "\tconvert tables owned by the user");
            converter.set_view_owned(true);
            break;
        case opt_port:
            mysql_port = value;
            break;
        case opt_profile:
            if (to_wide(value, wide)) {
                tk_log_wmessage(1, L"parse_cmd_line - got profile %ls", wide.c_str());
                profile_loaded = load_profile_file(converter, wide);
                // Running on with half of a profile's settings could convert the wrong data
                // into the wrong place (and drop a database there): refuse.
                if (!profile_loaded) {
                    report_fatal_and_exit(std::string("Cannot apply the profile ") + value +
                                          ": the file cannot be read, or its Type Mappings "
                                          "section is malformed");
                }
            }
            break;
        case opt_silent:
            tk_log_message(1, "parse_cmd_line - silent mode is ON");
            converter.set_flag(true);
            tk_singleton<error_handler>::ref().suppress = true;
            break;
        case opt_skip_idx:
            tk_log_message(2, "\tskip converting indexes");
            converter.skip_idx = true;
            break;
        case opt_src:
            if (to_wide(value, wide)) {
                tk_log_wmessage(2, L"\tparse_cmd_line - got src %ls", wide.c_str());
                converter.src = wide;
            }
            break;
        case opt_tab_def:
            tk_log_message(2, "\tconvert table definitions only");
            converter.tab_def = true;
            break;
        case opt_tab_file:
            tk_log_message(2, "\tparse_cmd_line - got tab_file %s", value);
            process_tab_file(value);
            break;
        case opt_views:
            tk_log_message(2, "\tcovnerting views is ON");
            converter.convert_views = true;
            break;
        default:
            break;
        }
    }

    mask_passwords(argc, argv);
    if (cmd.unrecognised_count() > 0) {
        return false;
    }
    if (converter.src.empty()) {
        report_fatal_and_exit("You should enter source MS SQL database name");
    }
    if (converter.dest.empty()) {
        report_fatal_and_exit("You should enter destination MySQL database or dump file name");
    }
    if (profile_loaded && !converter.convert_views && !converter.selected_views.empty() &&
        !converter.is_silent()) {
        // Views are converted only on request: a profile that selects some would otherwise
        // leave them out without a word.
        std::wstring names;
        for (const udb_view& view : converter.selected_views) {
            names += (names.empty() ? L"" : L", ") + view.first;
        }
        console_out("The profile selects the views " + console_text(names) +
                    "; they are converted only with --views.\n");
    }
    if (!profile_loaded) {
        converter.sec_log = mss_user.empty() && mss_password.empty();
        converter.mssqlh = mss_host;
        converter.mssqlu = mss_user;
        converter.mssqlp = mss_password;
        converter.store_mysql_settings(mysql_host, mysql_user, mysql_password, mysql_port);
    }
    return true;
}
