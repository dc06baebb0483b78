// The table of a MySQL script file: rows as INSERT statements, long values in pieces.
#include "SQL/sql_dmprs.h"

#include "SQL/sql_dump.h"
#include "SQL/sql_engi.h"
#include "SQL/sql_init.h"
#include "SQL/sql_kcol.h"
#include "SQL/sql_util.h"
#include "SQL/sql_vlim.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "UDB/udb_rule.h"
#include "UDB/udb_util.h"
#include "UDB/udb_vali.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

const char* const structure_mismatch =
    "The structure of data source does not conform to the destination table. For more "
    "information see Troubleshooting article of the product documentation.";

constexpr std::size_t npos = static_cast<std::size_t>(-1);

bool is_byte_type(VARTYPE vt) {
    return vt == VT_BLOB || vt == VT_BLOB_OBJECT || vt == ole_variant::vt_byte_array;
}

} // namespace

dmp_recordset::dmp_recordset(dmp_database& db, const std::wstring& name, const udb_schema& schema)
    : udb_recordset(&db, name, true), dmp_(db), line_break_(db.line_break()),
      slice_(2 * static_cast<std::size_t>(slice_size) + 1) {
    tk_log_wmessage(1, L"dmp_recordset::dmp_recordset(%ls)", name.c_str());
    for (const auto& column : schema) {
        if (column) {
            this->schema.push_back(std::make_shared<t_ftd>(*column));
        }
    }
    const sql_engine& e = *tk_singleton<sql_engine>::instance();
    tk_log_message(1, "is_old_version(%08X)", e.version);
    const bool quoted = e.version >= 0x40100;
    table_name_ = tk_to_utf8(quoted ? sql_quote_identifier(name) : name);
    // The names map holds this table's columns from its creation on and never changes them.
    for (const auto& column : this->schema) {
        column_names_.push_back(
            tk_to_utf8(quoted ? sql_quote_identifier(column->name) : column->name));
        source_names_.push_back(db.names_map.get_fn_orig_name(name, column->name, false));
        tk_log_wmessage(1, L"Name=%ls, original name=%ls", column->name.c_str(),
                        source_names_.back().c_str());
    }
    // The script's tables are created with the engine's character set on their text columns;
    // an existing table (no CREATE TABLE in the script) is the replaying server's to judge.
    if (quoted && dmp_.options().create_tables) {
        charset_ = e.effective_charset(e.charset);
        find_limits();
        auto repertoire = std::make_unique<sql_charset_repertoire>(charset_);
        if (repertoire->checks()) {
            // A JSON column is text in the table's set (MariaDB) or in utf8mb4 (MySQL).
            for (std::size_t i = 0; i < this->schema.size(); ++i) {
                const sql_value_limit* limit = limit_of_[i];
                charset_columns_.push_back(
                    sql_takes_charset(*this->schema[i]) ||
                    (limit != nullptr && limit->what() == sql_value_limit::kind::json));
            }
            repertoire_ = std::move(repertoire);
        }
        judge_keys_of(db.written_unique_keys(name));
    }
}

void dmp_recordset::judge_keys_of(const std::vector<sql_unique_key>& written) {
    // The binary pseudo character set compares text byte for byte, as the source's key does.
    const bool collated = !udb_equal_no_case(charset_, L"binary");
    std::vector<sql_key_judge::key> keys;
    for (const sql_unique_key& written_key : written) {
        sql_key_judge::key key{written_key.name, {}, {}};
        for (const std::wstring& column : written_key.columns) {
            const std::int32_t at = schema.get_field_idx(column);
            if (at < 0) {
                key.columns.clear();
                break;
            }
            const t_ftd& part = *schema[static_cast<std::size_t>(at)];
            key.columns.push_back(static_cast<std::size_t>(at));
            const bool text =
                sql_takes_charset(part) || national_columns_[static_cast<std::size_t>(at)];
            key.text.push_back(collated && text);
            key.narrowed = key.narrowed || part.type == VT_DATE || (text && !collated);
        }
        if (!key.columns.empty()) {
            keys.push_back(std::move(key));
        }
    }
    const auto compared = udb_equal_no_case(charset_, L"latin1")
                              ? sql_key_judge::collations::latin1
                              : sql_key_judge::collations::unicode;
    auto judge = std::make_unique<sql_key_judge>(std::move(keys), compared);
    if (!judge->empty()) {
        keys_ = std::move(judge);
    }
}

void dmp_recordset::find_limits() {
    // Only a hand-mapped type can refuse a value: the engine's own types hold the source's.
    std::vector<std::string> unjudged;
    limits_.reserve(schema.size());
    for (const auto& column : schema) {
        const sql_value_limit* limit = nullptr;
        bool national = false;
        if (!column->native_type.empty() && !udb_custom_conversion::is_acceptable1(*column)) {
            sql_value_limit found(column->native_type, charset_);
            national = found.national();
            if (found.what() == sql_value_limit::kind::unjudged) {
                unjudged.push_back("'" + tk_to_utf8(column->name) + "' (" +
                                   tk_to_utf8(column->native_type) + ")");
            } else if (found.judges()) {
                limits_.push_back(std::move(found));
                limit = &limits_.back();
            }
        }
        limit_of_.push_back(limit);
        national_columns_.push_back(national);
    }
    if (std::find(national_columns_.begin(), national_columns_.end(), true) !=
        national_columns_.end()) {
        national_repertoire_ = std::make_unique<sql_charset_repertoire>(L"utf8mb3");
    }
    if (unjudged.empty()) {
        return;
    }
    std::string columns;
    for (const std::string& column : unjudged) {
        columns += (columns.empty() ? "" : ", ") + column;
    }
    const std::string text =
        "The values of the column" + std::string(unjudged.size() > 1 ? "s " : " ") + columns +
        " are not judged against the type the profile's type mapping gives " +
        (unjudged.size() > 1 ? "them" : "it") +
        ": only the replaying server tells which it refuses, and the replay would stop at the "
        "first of them.";
    sql_report_table_error(name, text);
}

void dmp_recordset::check_limit(std::string_view literal, std::size_t column) const {
    const sql_value_limit* limit = limit_of_.empty() ? nullptr : limit_of_[column];
    if (limit == nullptr) {
        return;
    }
    refuse_value(column, limit->refusal(literal));
}

void dmp_recordset::refuse_value(std::size_t column, const std::string& refusal) const {
    if (!refusal.empty()) {
        throw tk_exception("The value of column '" + tk_to_utf8(schema[column]->name) + "' " +
                               refusal + "; the row is not in the script.",
                           0);
    }
}

void dmp_recordset::check_keys() {
    if (!keys_) {
        return;
    }
    const sql_key_judge::key* repeated = keys_->repeated(key_values_);
    if (repeated == nullptr) {
        return;
    }
    const bool text =
        std::find(repeated->text.begin(), repeated->text.end(), true) != repeated->text.end();
    throw tk_exception("Duplicate entry '" + sql_key_judge::describe(*repeated, key_values_) +
                           "' for key '" + tk_to_utf8(repeated->name) +
                           (text ? "': the row's key equals an earlier row's as the servers' "
                                   "default collations compare text (letter case, accents and "
                                   "trailing blanks aside)"
                                 : "': the row's key equals an earlier row's as the script "
                                   "writes it (times to the microsecond, without an offset)") +
                           "; the replay would stop at it, so the row is not in the script.",
                       0);
}

void dmp_recordset::keep_keys() {
    if (!keys_) {
        return;
    }
    const bool was_exhausted = keys_->exhausted();
    keys_->keep();
    if (was_exhausted || !keys_->exhausted()) {
        return;
    }
    const std::string text =
        "The keys of the rows after record #" + std::to_string(keys_->exhausted_at()) +
        " are not compared with the earlier rows' (more than the memory set aside holds): a "
        "row whose key equals an earlier one's as the replaying server compares text would stop "
        "the replay.";
    sql_report_table_error(name, text);
}

void dmp_recordset::check_storable(std::string_view text, std::size_t column, bool literal) const {
    const bool national = !national_columns_.empty() && national_columns_[column];
    const sql_charset_repertoire* repertoire =
        national ? national_repertoire_.get()
                 : (repertoire_ && charset_columns_[column] ? repertoire_.get() : nullptr);
    if (repertoire == nullptr) {
        return;
    }
    const long point =
        repertoire->first_unstorable(text, literal ? sql_charset_repertoire::form::literal
                                                   : sql_charset_repertoire::form::value);
    if (point < 0) {
        return;
    }
    char code[24];
    std::snprintf(code, sizeof code, "U+%04lX", static_cast<unsigned long>(point));
    throw tk_exception("The value of column '" + tk_to_utf8(schema[column]->name) +
                           "' holds the character " + code + ", which the character set " +
                           (national ? std::string("utf8mb3") : tk_to_utf8(charset_)) +
                           " cannot store; the row is not in the script.",
                       0);
}

void dmp_recordset::check_sliced_row(const udb_record& record, const pairing& pairs) const {
    if (!repertoire_ && !national_repertoire_ && limits_.empty()) {
        return;
    }
    const auto sliced = [&](const std::pair<std::size_t, std::size_t>& pair) {
        const udb_field& field = *record[pair.first];
        return field.get_type() != VT_EMPTY && field.get_size() > sql_engine::max_field_size;
    };
    if (std::none_of(pairs.begin(), pairs.end(), sliced)) {
        return;
    }
    std::string literal;
    for (const auto& [field_index, column] : pairs) {
        const udb_field& field = *record[field_index];
        if (field.get_type() == VT_EMPTY) {
            continue;
        }
        const bool text = (repertoire_ && charset_columns_[column]) ||
                          (national_repertoire_ && national_columns_[column]);
        const sql_value_limit* limit = limit_of_.empty() ? nullptr : limit_of_[column];
        if (!text && limit == nullptr) {
            continue;
        }
        if (field.get_size() <= sql_engine::max_field_size) {
            literal.clear();
            append_fld_str(literal, field, *schema[column], false);
            check_storable(literal, column, true);
            check_limit(literal, column);
            continue;
        }
        std::string refusal;
        if (ole_variant::is_byte_array(field.get_type())) {
            refusal = limit == nullptr ? std::string() : limit->refusal_of_bytes(field.get_size());
        } else {
            const std::string value = field.to_string();
            if (text) {
                check_storable(value, column, false);
            }
            refusal = limit == nullptr ? std::string() : limit->refusal_of_value(value);
        }
        refuse_value(column, refusal);
    }
}

dmp_recordset::~dmp_recordset() {
    tk_log_message(2, "dmp_recordset::dtor");
    write_pending();
}

void dmp_recordset::write_pending() noexcept {
    if (buffer_.empty()) {
        return;
    }
    tk_log_message(1, "Run SQL query: [%s]", buffer_.c_str());
    try {
        dmp_.write_statement(buffer_);
    } catch (const tk_exception& error) {
        // The stream stays failed: the script's close reports it.
        tk_log_message(3, "%s", error.what());
        dmp_.note_stream_state();
    }
    buffer_.clear();
}

void dmp_recordset::append_record(const udb_record& record) {
    tk_log_message(1, "dmp_recordset::append_record");
    const std::uint32_t size = record.get_total_size();
    tk_log_message(1, "record size=%u", size);
    sql_engine& e = tk_singleton<sql_engine>::ref();
    if (size > batch_limit) {
        tk_log_message(3, "Row is too big (%u bytes), swtich to slow_append", size);
        e.fast_insert = false;
        if (!buffer_.empty()) {
            tk_log_message(1, "Run SQL query: [%s]", buffer_.c_str());
            dmp_.write_statement(buffer_);
            buffer_.clear();
        }
    }
    if (e.fast_insert) {
        fast_append(record);
    } else {
        slow_append(record);
    }
}

std::size_t dmp_recordset::find_field(const udb_record& record, const std::wstring& name,
                                      const std::vector<bool>& taken) {
    // A source that tells names by letter case ('Col' and 'col') has both in the record: the
    // field of that very name first, and only then one that differs in case.
    std::size_t same_but_case = npos;
    for (std::size_t i = 0; i < record.size(); ++i) {
        if (!record[i] || (i < taken.size() && taken[i])) {
            continue;
        }
        if (record[i]->name == name) {
            return i;
        }
        if (same_but_case == npos && udb_equal_no_case(record[i]->name, name)) {
            same_but_case = i;
        }
    }
    return same_but_case;
}

bool dmp_recordset::has_cached_names(const udb_record& record) const {
    if (!cached_ || record.size() != cached_names_.size()) {
        return false;
    }
    if (record.naming != 0 && record.naming == cached_naming_) {
        return true;
    }
    for (std::size_t i = 0; i < record.size(); ++i) {
        const bool same =
            record[i] ? record[i]->name == cached_names_[i] : cached_names_[i].empty();
        if (!same) {
            return false;
        }
    }
    return true;
}

const dmp_recordset::pairing& dmp_recordset::pair_fields(const udb_record& record) {
    if (has_cached_names(record)) {
        return cached_pairs_;
    }
    cached_ = false;
    cached_pairs_.clear();
    if (record.size() < schema.size()) {
        tk_log_message(1, "Size of record is less than size of schema");
        const sql_engine& e = tk_singleton<sql_engine>::ref();
        const std::unique_ptr<udb_validator> validator(e.create_fn_validator(record));
        for (std::size_t i = 0; i < record.size(); ++i) {
            if (!record[i]) {
                continue;
            }
            const std::wstring& name = record[i]->name;
            std::wstring used = name;
            if (!validator->is_acceptable(name)) {
                used = validator->get_safe_name(name);
                tk_log_wmessage(1, L"udb_validator::add_existing_name(%ls)", used.c_str());
                validator->add_existing_name(used);
            }
            tk_log_wmessage(1, L"Name=%ls, mapped name=%ls", name.c_str(), used.c_str());
            const std::int32_t column = schema.get_field_idx(used);
            if (column < 0) {
                tk_log_wmessage(2, L"Field %ls not found", used.c_str());
                throw udb_structure_exception(structure_mismatch);
            }
            cached_pairs_.emplace_back(i, static_cast<std::size_t>(column));
        }
    } else {
        tk_log_message(1, "Size of schema is less or equal to the size of record");
        taken_fields_.assign(record.size(), false);
        for (std::size_t column = 0; column < schema.size(); ++column) {
            const std::size_t field = find_field(record, source_names_[column], taken_fields_);
            if (field == npos) {
                tk_log_wmessage(1, L"Field %ls not found", source_names_[column].c_str());
                throw udb_structure_exception(structure_mismatch);
            }
            taken_fields_[field] = true;
            cached_pairs_.emplace_back(field, column);
        }
    }
    cached_names_.clear();
    for (const auto& field : record) {
        cached_names_.push_back(field ? field->name : std::wstring());
    }
    cached_head_.clear();
    append_head(cached_head_, cached_pairs_);
    cached_head_ += " \nVALUES (";
    cached_ = true;
    cached_naming_ = record.naming;
    return cached_pairs_;
}

void dmp_recordset::append_head(std::string& out, const pairing& pairs) const {
    out += "INSERT INTO ";
    out += table_name_;
    out += '(';
    for (std::size_t k = 0; k < pairs.size(); ++k) {
        if (k > 0) {
            out += ", ";
        }
        out += column_names_[pairs[k].second];
    }
    out += ')';
}

void dmp_recordset::slow_append(const udb_record& record) {
    tk_log_message(1, "dmp_recordset::slow_append");
    // Rows keep their order when the fast path was switched off with a statement pending.
    write_pending();
    const pairing& pairs = pair_fields(record);
    check_sliced_row(record, pairs);
    if (keys_) {
        key_values_.assign(schema.size(), nullptr);
        for (const auto& [field, column] : pairs) {
            key_values_[column] = record[field].get();
        }
        check_keys();
    }
    statement_.assign(cached_head_);
    for (std::size_t k = 0; k < pairs.size(); ++k) {
        if (k > 0) {
            statement_ += ", ";
        }
        const udb_field& field = *record[pairs[k].first];
        const t_ftd& column = *schema[pairs[k].second];
        if (field.get_type() != VT_EMPTY && field.get_size() > sql_engine::max_field_size) {
            // The text before the value goes first; the value follows in slices.
            dmp_.write(statement_);
            statement_.clear();
            if (write_long_value(field, column)) {
                continue;
            }
        }
        const std::size_t at = statement_.size();
        append_fld_str(statement_, field, column, false);
        check_storable(std::string_view(statement_).substr(at), pairs[k].second, true);
        check_limit(std::string_view(statement_).substr(at), pairs[k].second);
        dmp_escape_carriage_returns(statement_, at);
    }
    statement_ += ')';
    tk_log_message(1, "Run SQL query: %s", statement_.c_str());
    dmp_.write_statement(statement_);
    keep_keys();
}

bool dmp_recordset::write_long_value(const udb_field& field, const t_ftd& column) {
    if (udb_custom_conversion::is_acceptable2(field)) {
        return false;
    }
    const VARTYPE vt = field.get_type();
    const bool text_column = column.type == VT_BSTR;
    const bool byte_column = is_byte_type(column.type);
    if (byte_column && ole_variant::is_byte_array(vt)) {
        dmp_.write("0x");
        unsigned start = 0;
        for (;;) {
            const int covered = field.get_at(slice_.data(), start, slice_size);
            if (covered <= 0) {
                break;
            }
            dmp_.write(std::string_view(slice_.data(), 2 * static_cast<std::size_t>(covered)));
            start += static_cast<unsigned>(covered);
        }
        return true;
    }
    if (vt != VT_BSTR || (!text_column && !byte_column)) {
        return false;
    }
    // The escaped UTF-8 literal; an escape never spans two slices, since only ASCII bytes are
    // escaped and a cut falls between bytes.
    const int subtype = column.dw_reserved & ~0x10;
    const bool geometry = text_column && (subtype == 2 || subtype == 8);
    dmp_.write(geometry ? "ST_GeomFromText('" : "'");
    unsigned start = 0;
    for (;;) {
        const int written = field.get_at(slice_.data(), start, slice_size);
        if (written <= 0) {
            break;
        }
        piece_.clear();
        // The escapes of the literal writer, and \r (see dmp_escape_carriage_returns).
        for (const char c : std::string_view(slice_.data(), static_cast<std::size_t>(written))) {
            switch (c) {
            case '\\':
                piece_ += "\\\\";
                break;
            case '\'':
                piece_ += "\\'";
                break;
            case '\0':
                piece_ += "\\0";
                break;
            case '\r':
                piece_ += "\\r";
                break;
            default:
                piece_ += c;
                break;
            }
        }
        dmp_.write(piece_);
        start += static_cast<unsigned>(written);
    }
    dmp_.write(geometry ? "')" : "'");
    return true;
}

void dmp_recordset::find_statement_fields(const udb_record& record, bool opening) {
    positions_naming_ = 0;
    std::vector<std::size_t>& fields = field_positions_;
    fields.clear();
    taken_fields_.assign(record.size(), false);
    for (std::size_t k = 0; k < statement_columns_.size();) {
        const std::size_t column = statement_columns_[k];
        const std::wstring& source = source_names_[column];
        std::size_t field = npos;
        if (column < record.size() && record[column] && record[column]->name == source &&
            !taken_fields_[column]) {
            field = column;
        } else {
            field = find_field(record, source, taken_fields_);
        }
        if (field == npos) {
            tk_log_wmessage(2, L"Field %ls not found", source.c_str());
            if (!opening) {
                throw tk_exception("Generic error occurred while migrating the data.", 0);
            }
            tk_log_message(2, "1st time => reduce schema");
            statement_columns_.erase(statement_columns_.begin() + static_cast<std::ptrdiff_t>(k));
            continue;
        }
        taken_fields_[field] = true;
        fields.push_back(field);
        ++k;
    }
    positions_naming_ = record.naming;
}

void dmp_recordset::fast_append(const udb_record& record) {
    tk_log_message(1, "dmp_recordset::fast_append");
    const bool opening = buffer_.empty();
    if (opening) {
        tk_log_message(1, "Initialize new query...");
        statement_columns_.clear();
        for (std::size_t i = 0; i < schema.size(); ++i) {
            statement_columns_.push_back(i);
        }
    }
    // Every column of the statement is paired with its field by name before anything of the
    // row is written, unless the record is named as the one the pairs were found for.
    if (opening || record.naming == 0 || record.naming != positions_naming_) {
        find_statement_fields(record, opening);
    }
    const std::vector<std::size_t>& fields = field_positions_;
    if (keys_) {
        key_values_.assign(schema.size(), nullptr);
        for (std::size_t k = 0; k < statement_columns_.size(); ++k) {
            key_values_[statement_columns_[k]] = record[fields[k]].get();
        }
        check_keys();
    }

    const std::size_t rollback = buffer_.size();
    try {
        if (opening) {
            buffer_ += "INSERT INTO ";
            buffer_ += table_name_;
            buffer_ += '(';
            for (std::size_t k = 0; k < statement_columns_.size(); ++k) {
                if (k > 0) {
                    buffer_ += ", ";
                }
                buffer_ += column_names_[statement_columns_[k]];
            }
            buffer_ += ") VALUES(";
        } else {
            buffer_ += ", (";
        }
        for (std::size_t k = 0; k < statement_columns_.size(); ++k) {
            if (k > 0) {
                buffer_ += ", ";
            }
            const std::size_t at = buffer_.size();
            append_fld_str(buffer_, *record[fields[k]], *schema[statement_columns_[k]], false);
            check_storable(std::string_view(buffer_).substr(at), statement_columns_[k], true);
            check_limit(std::string_view(buffer_).substr(at), statement_columns_[k]);
            dmp_escape_carriage_returns(buffer_, at);
        }
        buffer_ += ')';
    } catch (...) {
        buffer_.resize(rollback);
        throw;
    }
    keep_keys();
    if (buffer_.size() > batch_limit) {
        tk_log_message(1, "Run SQL query: [%s]", buffer_.c_str());
        dmp_.write_statement(buffer_);
        tk_log_message(1, "Cleaning append_buffer...");
        buffer_.clear();
    }
}
