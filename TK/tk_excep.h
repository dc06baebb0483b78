// The exception family of the system and the toolkit's message table.
#pragma once

#include <exception>
#include <string>

// Root of every error the system reports. `level` tells the error handler what to do:
// 0 a warning (continue or abort), 1 an error (reported, the work goes on), 2 an internal error
// (the program ends). `code` is 0 unless a constructor or subclass sets it.
class tk_exception : public std::exception {
public:
    // An empty text gives "Unknown exception".
    tk_exception(const std::string& message, int level);
    // The text in the ANSI code page; when it cannot be converted the message stays empty.
    tk_exception(const std::wstring& message, int level);
    // "Unknown exception".
    explicit tk_exception(int level);

    tk_exception(const tk_exception&) = default;
    tk_exception& operator=(const tk_exception&) = default;
    ~tk_exception() override;

    const char* what() const noexcept override;

    std::string message;
    int code = 0;
    int level = 0;
};

// A failure of an operating-system call: `code` is the thread's last error at construction and
// the message is the given text followed by the system's text for it (which ends with a line
// break). A last error without a system text gives "Unknown exception" and keeps the code.
class tk_exception_ex : public tk_exception {
public:
    tk_exception_ex(const std::string& text, int level);
    // Level 1, the system's text alone.
    tk_exception_ex();
};

// A failed internal check: level 2, message "Internal error: \ncode=" followed by the hex codes
// of "<file>\<line>". `file` is the short name of the module that holds the check.
class tk_mail_assertion : public tk_exception {
public:
    tk_mail_assertion(const char* file, int line);
};

// Thrown when the user chooses Abort. Deliberately outside the tk_exception family, so that
// handlers for tk_exception let it pass and it ends the run.
class tk_final_exception : public std::exception {
public:
    tk_final_exception();
};

// The internal-error text for a check in `file` at `line`.
std::string make_err_meggase(const char* file, int line);

// Throws tk_mail_assertion(module, line) unless `condition` holds.
inline void tk_check(bool condition, const char* module, int line) {
    if (!condition) {
        throw tk_mail_assertion(module, line);
    }
}

// The toolkit's message table: 71 entries, 0 to 11 narrow texts, 12 to 70 wide texts. Entries
// that no operation reads are empty.
inline constexpr int tk_message_count = 71;
inline constexpr int tk_first_wide_message = 12;

enum tk_message_index : int {
    tk_msg_bug_recipient = 1,
    tk_msg_logfile_no_privileges = 2,
    tk_msg_logfile_path_missing = 3,
    tk_msg_logfile_read_only = 4,
    tk_msg_logfile_is_path = 5,
    tk_msg_unknown_exception = 10,
    tk_msg_internal_error = 11,
    tk_msg_section_generic = 12,
    tk_msg_section_queries = 13,
    tk_msg_section_tables = 14,
    tk_msg_section_views = 15,
    tk_msg_key_src = 16,
    tk_msg_key_dest = 17,
    tk_msg_key_logfile = 18,
    tk_msg_key_only_definitions = 19,
    tk_msg_key_skip_indexes = 20,
    tk_msg_key_mode = 21,
    tk_msg_key_connect_as_dbo = 39,
    tk_msg_key_server = 40,
    tk_msg_key_windows_authentication = 41,
    tk_msg_key_login = 42,
    tk_msg_key_mss_password = 43,
    tk_msg_section_mssql = 44,
    tk_msg_key_host = 45,
    tk_msg_key_user = 46,
    tk_msg_key_mysql_password = 47,
    tk_msg_key_port = 48,
    tk_msg_key_direct_mode = 49,
    tk_msg_section_mysql = 51,
    tk_msg_key_dump_line_break = 53,
    tk_msg_key_dump_new_version = 54,
    tk_msg_key_dump_add_lock = 55,
    tk_msg_key_dump_insert_comments = 56,
    tk_msg_key_dump_create_database = 57,
    tk_msg_key_dump_create_table = 58,
    tk_msg_profile_missing = 68,
    tk_msg_structure_mismatch = 69,
    tk_msg_table_names_file_missing = 70,
};

// The table itself: entries 0 to 11 are `const char*`, 12 to 70 `const wchar_t*`.
extern const void* const tk_messages[tk_message_count];

// Typed access: a narrow entry (0 to 11) and a wide entry (12 to 70). Any other index, or an
// entry of the other width, is an internal error.
const char* tk_message(int index);
const wchar_t* tk_wmessage(int index);
