// One row of a MySQL result as a record of MySQL fields.
#include "SQL/sql_rec.h"

#include "SQL/sql_db.h"
#include "SQL/sql_engi.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "UDB/udb_schema.h"

#include <memory>

namespace {

bool is_text_kind(int type) {
    return type >= MYSQL_TYPE_TINY_BLOB && type <= MYSQL_TYPE_STRING;
}

} // namespace

sql_record::sql_record(unsigned n_fields, const MYSQL_FIELD* fields, const unsigned long* lengths,
                       MYSQL_ROW row) {
    tk_log_message(1, "sql_record::ctor1(n_fields=%u)", n_fields);
    if (fields == nullptr) {
        throw tk_mail_assertion("sql_rec", 20);
    }
    const bool blob_to_text = tk_singleton<sql_engine>::ref().blob_to_text;
    reserve(n_fields);
    for (unsigned i = 0; i < n_fields; ++i) {
        const MYSQL_FIELD& field = fields[i];
        const int type = static_cast<int>(field.type);
        const unsigned flags = field.flags;
        tk_log_message(1, "field #%u has type %d", i, type);
        tk_log_message(1, "BINARY FLAG=%d", (flags & BINARY_FLAG) != 0 ? 1 : 0);
        const std::wstring name =
            tk_utf16_to_wstring(tk_utf8_to_utf16(std::string_view(field.name, field.name_length)));
        const char* cell = row[i];
        if (cell != nullptr && is_text_kind(type) && ((flags & BINARY_FLAG) == 0 || blob_to_text)) {
            // Text goes from UTF-8 to the value's UTF-16 in one step; the type that the text
            // form of a field would carry decides its reading.
            tk_log_message(1, "Extract as Unicode (text data)");
            const int text_type = blob_to_text ? MYSQL_TYPE_STRING : type;
            push_back(std::make_unique<sql_field>(name, text_type, lengths[i], flags, cell));
            continue;
        }
        tk_log_message(1, "Extract as ANSI (binary data)");
        push_back(
            std::make_unique<sql_field>(name, type, cell != nullptr ? lengths[i] : 0, flags, cell));
    }
}

sql_record::sql_record(unsigned n_fields, const udb_schema& schema, const unsigned long* lengths,
                       MYSQL_ROW row) {
    tk_log_message(1, "sql_record::ctor2(n_fields=%u)", n_fields);
    tk_log_message(1, "schema.size=%zu", schema.size());
    reserve(n_fields);
    for (unsigned i = 0; i < n_fields; ++i) {
        push_back(
            std::make_unique<sql_field>(*schema[i], row[i] != nullptr ? lengths[i] : 0, row[i]));
    }
}
