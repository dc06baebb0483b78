// Sequence description of a database.
#include "UDB/udb_seq.h"

#include "TK/tk_log.h"

udb_sequence::udb_sequence(const std::wstring& name, std::int32_t start, std::int32_t increment,
                           std::int32_t min_value, std::int32_t max_value, bool b_cycle)
    : name(name), increment(increment), start(start), min_value(min_value), max_value(max_value),
      b_cycle(b_cycle) {
    tk_log_wmessage(2, L"udb_sequence::ctor(%ls,%d,%d,%d,%d,%d)", name.c_str(), start, increment,
                    min_value, max_value, b_cycle);
}
