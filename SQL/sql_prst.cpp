// Prepared statements whose long values travel as long data, in pieces, instead of as
// statement text.
#include "SQL/sql_db.h"

#include "SQL/sql_engi.h"
#include "TK/tk_log.h"

#include <mysql.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr unsigned piece_size = 0x20000;

// Closes the statement handle on every way out.
struct stmt_closer {
    void operator()(MYSQL_STMT* stmt) const { mysql_stmt_close(stmt); }
};
using stmt_handle = std::unique_ptr<MYSQL_STMT, stmt_closer>;

// The failure of a statement: the server's error when there is one, a row error like any
// other refused INSERT (code 0x400000 plus the error number); else the generic failure.
[[noreturn]] void fail(MYSQL_STMT* stmt) {
    const unsigned error = stmt != nullptr ? mysql_stmt_errno(stmt) : 0;
    if (error != 0) {
        sql_exception e;
        e.message = mysql_stmt_error(stmt);
        e.code = 0x400000 + static_cast<int>(error & 0xFFFF);
        throw e;
    }
    throw sql_prep_stmt_failed_exception();
}

// Sends one value as long data of parameter `k`.
void send_value(MYSQL_STMT* stmt, unsigned k, const udb_field& field, std::vector<char>& buffer) {
    const VARTYPE vt = field.get_type();
    auto send = [&](unsigned pos, const char* data, unsigned long length) {
        tk_log_message(1, "prepared_statement: pos=%u, length=%lu", pos, length);
        if (mysql_stmt_send_long_data(stmt, k, data, length) != 0) {
            tk_log_message(2, "mysql_stmt_send_long_data failed (pos=%u, res=%lu, error=%s)", pos,
                           length, mysql_stmt_error(stmt));
            fail(stmt);
        }
    };
    if (ole_variant::is_byte_array(vt)) {
        // The array's own bytes, borrowed: no copy.
        uint8_t* bytes = nullptr;
        const unsigned count = field.get_bytes(&bytes);
        for (unsigned pos = 0; pos < count; pos += piece_size) {
            send(pos, reinterpret_cast<const char*>(bytes) + pos,
                 std::min(piece_size, count - pos));
        }
        return;
    }
    if (vt == VT_BSTR) {
        // The text's UTF-8 bytes (the connection's character set) through one reused buffer;
        // the position counts bytes, so no piece is lost or repeated.
        buffer.resize(piece_size + 1);
        unsigned pos = 0;
        for (;;) {
            const int got = field.get_at(buffer.data(), pos, piece_size);
            if (got <= 0) {
                break;
            }
            send(pos, buffer.data(), static_cast<unsigned long>(got));
            pos += static_cast<unsigned>(got);
        }
        return;
    }
    // Any other value: its text.
    const std::string text = field.to_string();
    for (std::size_t pos = 0; pos < text.size(); pos += piece_size) {
        send(static_cast<unsigned>(pos), text.data() + pos,
             static_cast<unsigned long>(std::min<std::size_t>(piece_size, text.size() - pos)));
    }
}

} // namespace

void sql_database::prepared_statement(const std::string& statement, const udb_record& record,
                                      unsigned count) {
    tk_log_message(1, "sql_database::prepared_statement(%s, %d)", statement.c_str(),
                   static_cast<int>(count));
    std::vector<const udb_field*> long_values;
    for (std::size_t f = 0; f < record.size(); ++f) {
        const udb_field* field = record[f].get();
        if (field != nullptr && field->get_type() != VT_EMPTY &&
            field->get_size() > sql_engine::max_field_size) {
            tk_log_message(1, "Binding field #%d", static_cast<int>(f));
            long_values.push_back(field);
        } else {
            tk_log_message(1, "Field #%d is not supposed to be bound (type %d)",
                           static_cast<int>(f), field != nullptr ? field->get_type() : 0);
        }
    }
    if (long_values.size() != count) {
        // The statement's placeholders and the record disagree: the server would bind the
        // wrong values.
        tk_log_message(2, "Binding failed: error=%s", "placeholder count mismatch");
        throw sql_prep_stmt_failed_exception();
    }
    prepared_statement(statement, long_values);
}

std::uint64_t sql_database::prepared_statement(const std::string& statement,
                                               const std::vector<const udb_field*>& long_values) {
    const stmt_handle stmt(mysql_stmt_init(mysql));
    if (!stmt) {
        throw sql_prep_stmt_failed_exception();
    }
    if (mysql_stmt_prepare(stmt.get(), statement.data(),
                           static_cast<unsigned long>(statement.size())) != 0) {
        tk_log_message(2, "mysql_stmt_prepare failed: error=%s", mysql_stmt_error(stmt.get()));
        fail(stmt.get());
    }
    const std::size_t count = long_values.size();
    if (mysql_stmt_param_count(stmt.get()) != count) {
        tk_log_message(2, "Binding failed: error=%s", "placeholder count mismatch");
        throw sql_prep_stmt_failed_exception();
    }
    if (count > 0) {
        std::vector<MYSQL_BIND> binds(count);
        std::vector<unsigned long> lengths(count, 0);
        std::memset(binds.data(), 0, sizeof(MYSQL_BIND) * count);
        for (std::size_t k = 0; k < count; ++k) {
            // Text goes as a string, which the server converts from the connection's character
            // set into the column's; as a BLOB its UTF-8 bytes were stored as they are, so a
            // utf16 column took 'aa' for one character U+6161.
            binds[k].buffer_type = ole_variant::is_byte_array(long_values[k]->get_type())
                                       ? MYSQL_TYPE_BLOB
                                       : MYSQL_TYPE_STRING;
            binds[k].length = &lengths[k];
        }
        if (mysql_stmt_bind_param(stmt.get(), binds.data()) != 0) {
            tk_log_message(2, "Binding failed: error=%s", mysql_stmt_error(stmt.get()));
            fail(stmt.get());
        }
        std::vector<char> buffer;
        for (std::size_t k = 0; k < count; ++k) {
            tk_log_message(1, "Reading field #%d (size=%d)", static_cast<int>(k),
                           static_cast<int>(long_values[k]->get_size()));
            send_value(stmt.get(), static_cast<unsigned>(k), *long_values[k], buffer);
        }
    }
    if (mysql_stmt_execute(stmt.get()) != 0) {
        tk_log_message(3, "QUERY=%s", statement.c_str());
        tk_log_message(3, "mysql_stmt_execute failed: error=%s", mysql_stmt_error(stmt.get()));
        fail(stmt.get());
    }
    return mysql_stmt_affected_rows(stmt.get());
}
