// Trace lines of the value layer, skipped before their arguments are built when the log would
// drop them: values are made and rendered once per field of every row.
#pragma once

#include "TK/tk_log.h"

inline bool ole_trace_on(int level) {
    const tk_logger* logger = tk_singleton<tk_logger>::pointer();
    return logger != nullptr && logger->enabled() && level >= logger->threshold();
}

#define OLE_TRACE(level, ...)                                                                      \
    do {                                                                                           \
        if (ole_trace_on(level)) {                                                                 \
            tk_log_message(level, __VA_ARGS__);                                                    \
        }                                                                                          \
    } while (0)
