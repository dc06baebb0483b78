// Catalogue statements of the source that failed. The object they describe still moves; what
// the statement would have given (keys, indexes, declared types) is missing, and the user is
// told so through the driver's error handler.
#pragma once

#include "TK/tk_excep.h"

#include <string>

// Reports, as a level-0 error with `object` as its context: "<missing> could not be read: "
// and the server's message. Without a registered error handler it is only traced. A user's
// Abort passes out as tk_final_exception.
void mss_report_catalogue_gap(const std::wstring& object, const char* missing,
                              const tk_exception& cause);

// Reports, as a level-0 error with `object` as its context, a column default the catalogue gives
// that no destination could carry, and `why`: the column is converted without it.
void mss_report_lost_default(const std::wstring& object, const std::wstring& column,
                             const std::wstring& definition, const wchar_t* why);

// The level-0 error mss_report_catalogue_gap reports.
tk_exception mss_catalogue_gap(const char* missing, const tk_exception& cause);
