// The error handler.
#include "converter/vlm_errh.h"

#include "converter/vlm_ui.h"
#include "TK/tk_exitc.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"

#include <cstdio>
#include <cstdlib>

namespace {

const char* const duplicate_text = "Duplicate field values being used for an unique index were "
                                   "found.\nSee 'Troubleshooting' article of the product "
                                   "documentation\nfor solution.";
const char* const connect_text =
    "Cannot connect to the MySQL server. Check to verify that MySQL server\nis launched and the "
    "correct host/port values were given.";
const char* const auth_text = "The program does not support authentication protocol requested by "
                              "server.\nSee 'Troubleshooting' article of the product "
                              "documentation.";

} // namespace

const tk_error_converter::item err_map_oledb[] = {
    {0x80E03, "Given values violate the database schema."},
    {0x80E07, "Literal value could not be converted to the correct type."},
    {0x80E09, "You are not allowed to access MS SQL database. Ask your\nsystem administrator to "
              "grant you necessary privileges."},
    {0x80E11, "Invalid column ID."},
    {0x80E13, "Invalid value."},
    {0x80E17, "Data source with the specified name already exists."},
    {0x80E1D, "Requested conversion is not supported."},
    {0x80E21, "Errors occurred."},
    {0x80E2F, "The specified record violates the integrity constraints.\nSee 'Troubleshooting' "
              "article of the product documentation\nfor solution."},
    {0x80E30, "The given type name is unrecognized."},
    {0x80E34, "The specified index already exists."},
    {0x80E35, "The specified index does not exist."},
    {0x80E37, "The specified table does not exist."},
    {0x80E3A, "The specified precision is invalid."},
    {0x80E3B, "The specified scale is invalid."},
    {0x80E3C, "Invalid table ID."},
    {0x80E3D, "The specified type is invalid."},
    // The provider's own wording, kept exactly; it speaks of the column list of a command.
    {0x80E3E, "The column ID is occurred more than once in the "
              "specification."},
    {0x80E3F, "The specified table already exists. Try to connect as database owner\nusing the "
              "appropriate checkbox on 'Connect to MS SQL server' wizard page."},
    {0x80E42, "The specified record number is invalid."},
    {0x80E4D, "Invalid user name or password."},
    {0x80E55, "The specified column did not exist."},
    {0x80E57, "Literal value overflowed the range of the type of the associated column."},
    {0x80E65, "The supplied columnID is invalid."},
    {0x80E72, "The index ID is invalid."},
    {0x80EC1, "One or more column types are incompatible; conversion errors will\noccur during "
              "copying."},
    {0x80EDA, "Errors occurred."},
};
const unsigned err_map_oledb_size = sizeof(err_map_oledb) / sizeof(err_map_oledb[0]);

const tk_error_converter::item err_map_mysql[] = {
    {0x400414, "Access denied. Ask your system administrator to grant you\nthe necessary "
               "privileges to write into the database."},
    {0x400415, "Access denied. Verify the user name and password are correct, and you have\nthe "
               "necessary privileges to connect to the target MySQL server."},
    {0x400426, duplicate_text},
    {0x40042F, "Primary key in the original database is too long.\nRestart the program with "
               "\"Skip converting indexes\"\ncheckbox selected in order to resolve the "
               "conflict.\n"},
    {0x40046A, "You are not allowed to connect to the destination MySQL server.\nAsk your system "
               "administrator to grant you necessary privileges\nto create new databases on "
               "target MySQL server."},
    {0x40041B, "Failed to overwrite MySQL database. It is being used by\nanother application. "
               "Specify a different destination name."},
    // 2002 is how the client library reports a refused TCP connection as well as a missing
    // socket; the user's remedy is the same as for 2003.
    {0x4007D2, connect_text},
    {0x4007D3, connect_text},
    {0x4007D5, connect_text},
    {0x4007D6, "Transferred value is too big. Increase MySQL max packet size and try\nagain. See "
               "'Troubleshooting' article of the product documentation."},
    {0x4004E1, auth_text},
    {0x4004E2, auth_text},
    {0x4004E3, auth_text},
};
const unsigned err_map_mysql_size = sizeof(err_map_mysql) / sizeof(err_map_mysql[0]);

std::string vlm_display_narrow(const std::wstring& text) {
    try {
        return tk_to_string(text, -1);
    } catch (const tk_exception&) {
        return tk_to_utf8(text);
    }
}

std::wstring vlm_display_wide(const std::string& text) {
    try {
        return tk_to_wstring(text);
    } catch (const tk_exception&) {
        return tk_utf8_to_wstring(text);
    }
}

void vlm_exit_process(int code) {
    tk_run_exit_cleanups();
    // A run that ends while the log is still held (its command line refused) adds its lines
    // to the log without emptying it.
    if (tk_logger* logger = tk_singleton<tk_logger>::pointer();
        logger != nullptr && logger->held()) {
        logger->release(false);
    }
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(code);
}

error_handler::error_handler(unsigned size, const tk_error_converter::item* table)
    : map(size, table) {
    tk_log_message(2, "error_handler::ctor");
}

error_handler::~error_handler() = default;

void error_handler::load_err_map(unsigned size, const tk_error_converter::item* table) {
    tk_log_message(2, "error_handler::load_err_map");
    map.load_map(size, table);
}

void error_handler::set_context(const std::wstring& name) {
    context = vlm_display_narrow(name);
}

void error_handler::set_record_context(const std::wstring& name, int record) {
    context = vlm_display_narrow(name + L", record #" + std::to_wstring(record));
}

std::string error_handler::error_text(const tk_exception& error) const {
    std::string text;
    if (!context.empty()) {
        text = context + ": ";
    }
    const std::string mapped = map.convert(error.code);
    text += mapped.empty() ? std::string(error.what()) : mapped;
    // The advice alone says neither which key nor which value collided; the server's own text
    // ("Duplicate entry 'x' for key 'PRIMARY'") does.
    if (error.code == 0x400426 && !mapped.empty() && *error.what() != '\0') {
        text += "\n";
        text += error.what();
    }
    return text;
}

void error_handler::handle(const tk_exception& error, bool top_level) {
    tk_log_message(2, "error_handler::handle");
    if (before_report) {
        before_report();
    }
    vlm_ui* ui = tk_singleton<vlm_ui>::pointer();
    if (error.level == 2) {
        tk_log_message(3, "Internal error:\n%s", error.what());
        if (ui != nullptr) {
            ui->show_internal_error(vlm_display_wide(error.what()));
        }
        vlm_exit_process(-1);
    }

    std::string text = error_text(error);
    tk_log_message(3, "Error:\n%s", text.c_str());
    // One line: a line feed becomes a blank, and so does a CR LF pair (some texts carry one),
    // whose CR alone would send a console's cursor back over the start of the line.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            continue;
        }
        text[kept++] = text[i] == '\n' ? ' ' : text[i];
    }
    text.resize(kept);
    if (ui == nullptr) {
        // No front end to ask: a program without one goes on as after Continue.
        return;
    }
    if (ui->is_initialized() && ui->errors.size() < vlm_ui::max_errors) {
        ui->errors.push_back(text);
    }

    if (error.level == 1) {
        tk_log_message(1, "Got 1-level error");
        if (!suppress) {
            tk_log_message(1, "Step 1");
            ui->show_error(vlm_display_wide(text));
        }
        tk_log_message(1, "Step 2");
        if (ui->ends_process(1)) {
            vlm_exit_process(-1);
        }
        return;
    }

    tk_log_message(1, "Got 0-level error");
    if (suppress) {
        return;
    }
    bool dont_show_again = false;
    const bool go_on = ui->ask_continue(vlm_display_wide(text), dont_show_again);
    if (!go_on && !top_level) {
        throw tk_final_exception();
    }
    suppress = dont_show_again;
    if (ui->ends_process(error.level)) {
        vlm_exit_process(-1);
    }
}
