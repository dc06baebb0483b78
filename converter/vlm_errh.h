// The error handler: the one place where a failure becomes a message for the user.
#pragma once

#include "TK/tk_errco.h"
#include "TK/tk_excep.h"
#include "TK/tk_singl.h"
#include "UDB/udb_services.h"

#include <functional>
#include <string>

// The code maps the programs load: the OLE DB codes (27 entries, given to the constructor) and
// the MySQL codes (13 entries, added with load_err_map right after).
extern const tk_error_converter::item err_map_oledb[];
extern const unsigned err_map_oledb_size;
extern const tk_error_converter::item err_map_mysql[];
extern const unsigned err_map_mysql_size;

// Display text: wide to the ANSI code page and back. A character the code page lacks becomes
// "?", bytes that are not text in the code page are read as UTF-8 (bad bytes U+FFFD): showing,
// listing or logging a text never fails.
std::string vlm_display_narrow(const std::wstring& text);
std::wstring vlm_display_wide(const std::string& text);

// Builds the user's text of an error from the context (what was being converted) and the code
// map, logs it, lists it for the finish page and, by the error's level, asks Continue or Abort
// (0), shows it (1), or shows the internal-error dialog and ends the process with -1 (2). The
// dealings with the user go through the registered front end (vlm_ui). One per process, made
// before the converter; it is also the udb_error_handler that the destinations report to.
class error_handler : public udb_error_handler, public tk_singleton<error_handler> {
public:
    error_handler(unsigned size, const tk_error_converter::item* table);
    ~error_handler() override;

    error_handler(const error_handler&) = delete;
    error_handler& operator=(const error_handler&) = delete;

    // Adds a table of codes; codes already held keep their text.
    void load_err_map(unsigned size, const tk_error_converter::item* table);

    // The prefix of the next reported error: the name, or "name, record #n".
    void set_context(const std::wstring& name);
    void set_record_context(const std::wstring& name, int record);

    // Reports the error by its level. Level 0 with the answer Abort and `top_level` false throws
    // tk_final_exception; level 2 never returns. Nothing else is thrown by the handler itself.
    void handle(const tk_exception& error, bool top_level) override;

    // The text handle() reports for the error: context and ": ", then the mapped text of its
    // code or its own message, line feeds kept.
    std::string error_text(const tk_exception& error) const;

    // Set: no question and no error box is shown any more (errors are still logged and listed).
    bool suppress = false;
    // Called first by handle(): a report may end the process or wait for the user's answer, so
    // the run commits the rows it has sent before (see vlm_row_batch). Must not throw.
    std::function<void()> before_report;
    tk_error_converter map;
};

// Ends the process at once with `code`, flushing the standard streams first; no destructor runs,
// so nothing is written back.
[[noreturn]] void vlm_exit_process(int code);
