// What the conversion driver offers the database layers below it: its error handler. The driver
// implements the interface; the layers below reach it through the singleton accessor.
#pragma once

#include "TK/tk_excep.h"
#include "TK/tk_singl.h"

#include <string>

// The error handler as the destinations see it. A destination sets `context` right before it
// hands an exception over; when the context is not empty, it and ": " precede the reported
// message. handle() returns when the work may go on with the next item; when the user chooses
// Abort it throws tk_final_exception, which the caller lets pass.
class udb_error_handler : public tk_singleton<udb_error_handler> {
public:
    udb_error_handler() = default;
    ~udb_error_handler() override = default;

    virtual void handle(const tk_exception& error, bool top_level) = 0;

    std::string context;
};
