// Trace lines of the value layer, skipped before their arguments are built when the log would
// drop them: values are made and rendered once per field of every row.
#pragma once

#include "TK/tk_log.h"

#define OLE_TRACE(level, ...)                                                                      \
    do {                                                                                           \
        if (tk_log_wanted(level)) {                                                                \
            tk_log_message(level, __VA_ARGS__);                                                    \
        }                                                                                          \
    } while (0)
