// The bulk-load object, as far as the reading side uses it.
#include "MSS/mss_floa.h"

#include "TK/tk_excep.h"
#include "TK/tk_log.h"

mss_fast_load::mss_fast_load() {
    tk_log_message(2, "CDynamicAccessorEx::ctor");
    tk_log_message(2, "mss_fast_load::ctor");
}

mss_fast_load::~mss_fast_load() {
    tk_log_message(2, "mss_fast_load::dtor");
    tk_log_message(1, "mss_fast_load::dtor - at the end");
}

void mss_fast_load::close_table() {
    tk_log_message(1, "mss_fast_load::close_table");
    tk_check(open_, "mss_floa", 225);
    // Nothing of the writer's bulk load is held on the reading side: the table is closed.
    open_ = false;
    tk_log_message(1, "mss_fast_load::close_table - END");
}
