// Statements of the MS SQL writer that the server refused: what reaches the user.
#pragma once

#include "TK/tk_excep.h"

#include <string>

// The cause as the user reads it: "Error N: text" with the server's error number when the
// provider gave one, else the cause's text alone.
std::string mss_server_text(const tk_exception& cause);

// Hands `error` to the driver's error handler with `context` (UTF-8) set, then clears the
// context. Without a registered handler it is only traced. A user's Abort passes out as
// tk_final_exception.
void mss_report_writer_error(const std::string& context, const tk_exception& error);

// `what` on its first line and the server's cause on the second, at `level`.
tk_exception mss_writer_error(const std::string& what, const tk_exception& cause, int level = 0);
