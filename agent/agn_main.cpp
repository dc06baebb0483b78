// The console agent's main body: the long-lived objects, the options, the connections, the
// destination's preparation and the run.
#include "agent/agn_main.h"

#include "agent/agn_cons.h"
#include "agent/agn_opts.h"
#include "converter/vlm_conv.h"
#include "converter/vlm_errh.h"
#include "TK/tk_log.h"
#include "TK/tk_stop.h"
#include "TK/tk_utils.h"

#include <clocale>
#include <cstring>
#include <exception>

namespace {

// The ANSI code page is the codeset of the locale the user runs under. A program started
// without one (the C locale) would see only ASCII in wide-character classes, so it takes
// C.UTF-8, which the code-page layer treats alike.
void set_console_locale() {
    const char* name = std::setlocale(LC_CTYPE, "");
    if (name == nullptr || std::strcmp(name, "C") == 0 || std::strcmp(name, "POSIX") == 0) {
        std::setlocale(LC_CTYPE, "C.UTF-8");
    }
}

void connect_mssql(velmora_convertor& converter) {
    tk_log_message(2, "mssql_converter_impl::connect_mssql_server");
    tk_log_message(2, "secure_login=%d", converter.sec_log ? 1 : 0);
    if (converter.sec_log) {
        tk_log_wmessage(2, L"mssql_host=%ls", converter.mssqlh.c_str());
        converter.mss->connect(converter.mssqlh, true);
        return;
    }
    // The password stays out of the trace log.
    tk_log_wmessage(2, L"mssql_host=%ls, mssql_user=%ls, mssql_pass=***\n",
                    converter.mssqlh.c_str(), converter.mssqlu.c_str());
    converter.mss->connect(converter.mssqlh, converter.mssqlu, converter.mssqlp, true);
}

// Steps from the options to the end of the run; whatever makes the run impossible throws or
// ends the process.
void run(int argc, char** argv, velmora_convertor& converter) {
    // The log named on the command line is emptied only once the whole command line is
    // taken: a refused one leaves an existing log as it was.
    tk_logger& logger = tk_singleton<tk_logger>::ref();
    logger.hold();
    if (argc <= 1 || !parse_cmd_line(argc, argv)) {
        report_fatal_and_exit(pontrel_usage());
    }
    logger.release(true);
    converter.check_script_mode();
    if (converter.direct) {
        // A host that the client library would read as several settings is refused before
        // the first connection of the run.
        converter.check_mysql_settings();
    }
    connect_mssql(converter);
    if (!converter.mss->is_db_exist(converter.src)) {
        report_fatal_and_exit("Database '" + console_text(converter.src) + "' does not exist");
    }
    if (converter.direct) {
        converter.connect_mysql_server();
        // As the wizard does: a name MySQL refuses is refused before anything is dropped.
        converter.check_mysql_db_name(converter.dest);
    }
    // The source's table list and schema are read before mode 0 drops the destination.
    converter.prepare_source();
    converter.check_dest();
    converter();
}

} // namespace

int pontrel_main(int argc, char** argv) {
    set_console_locale();
    // An interrupted run ends as an aborted one: no half script left in place, exit code 255.
    tk_install_stop_signals();
    tk_logger logger(nullptr, false, 3, false);
    error_handler handler(err_map_oledb_size, err_map_oledb);
    handler.load_err_map(err_map_mysql_size, err_map_mysql);
    console_ui ui;
    velmora_convertor converter(vlm_program::console);

    try {
        run(argc, argv, converter);
    } catch (const tk_exception& error) {
        // Levels 1 and 2 end the process inside the handler; a level-0 error (a refused MySQL
        // connection) is printed and nothing more is done.
        handler.handle(error, false);
    } catch (const std::exception& error) {
        report_fatal_and_exit(error.what());
    }
    // A scheduler must be able to tell a migration that reported errors from a clean one; a
    // trace log that could not be written was reported too.
    return ui.any_error() || logger.write_failed() ? -1 : 0;
}
