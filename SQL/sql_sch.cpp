// The destination column list of a MySQL table, with its row-size budget.
#include "SQL/sql_sch.h"

#include "TK/tk_excep.h"
#include "TK/tk_log.h"

sql_schema::~sql_schema() {
    lobs.clear();
}

namespace {

// A length of up to two bytes and a bit for the NULL, rounded up to a byte.
constexpr std::uint32_t text_overhead = 3;
// The pointer of the longest TEXT or BLOB in the row, and the NULL's bit.
constexpr std::uint32_t long_column_bytes = 13;

} // namespace

void sql_schema::push_back(std::shared_ptr<t_ftd> column, bool may_become_long) {
    if (!column) {
        throw tk_mail_assertion("sql_sch", 24);
    }
    const auto size = static_cast<std::uint32_t>(column->size);
    if (column->type == VT_BSTR && size >= 1 && size <= 21844) {
        // Four bytes per character of the widest character set, the length's two bytes and
        // the NULL's bit, as the server counts them.
        total_size += size * 4 + text_overhead;
        if (may_become_long) {
            const auto position = static_cast<std::uint32_t>(this->size());
            auto at = lobs.begin();
            while (at != lobs.end() && static_cast<std::uint32_t>((*this)[*at]->size) > size) {
                ++at;
            }
            lobs.insert(at, position);
        }
    } else if (size == 0) {
        // A long text or blob: the server counts its pointer.
        total_size += long_column_bytes;
    } else if (size < 5592405) {
        total_size += size + (column->type == VT_BSTR ? 0 : text_overhead);
    }
    udb_schema::push_back(std::move(column));

    while (total_size > 65535 && !lobs.empty()) {
        t_ftd& largest = *(*this)[lobs.front()];
        tk_log_wmessage(3, L"Column '%ls' converted into LONG TEXT", largest.name.c_str());
        const std::uint32_t bytes = static_cast<std::uint32_t>(largest.size) * 4 + text_overhead;
        total_size = bytes > total_size ? 0 : total_size - bytes;
        total_size += long_column_bytes;
        largest.size = 0;
        lobs.erase(lobs.begin());
    }
}
