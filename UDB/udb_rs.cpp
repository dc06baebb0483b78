// The neutral recordset: one table or query result, read as a forward cursor on the source
// side and written row by row on the destination side.
#include "UDB/udb_rs.h"

#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"

udb_recordset::udb_recordset(udb_database* db, const std::wstring& name, const std::wstring& query,
                             bool b_owner)
    : query(query), name(name), schema(b_owner), db(db) {
}

udb_recordset::udb_recordset(udb_database* db, const std::wstring& name, bool b_owner)
    : name(name), schema(b_owner), db(db) {
}

udb_recordset::udb_recordset(const std::wstring& name) : name(name), schema(true) {
    tk_log_message(2, "udb_recordset::ctor(default)");
}

udb_recordset::~udb_recordset() {
    tk_log_message(1, "udb_recordset::dtor");
}

void udb_recordset::update2(const udb_record&, const std::wstring&) {
    tk_log_message(1, "udb_recordset::update2");
}

void udb_recordset::update1(const udb_record&) {
    tk_log_message(1, "udb_recordset::update1");
}

void udb_recordset::reserved1() {
}

udb_record* udb_recordset::get_item() {
    return nullptr;
}

bool udb_recordset::is_eof() {
    return true;
}

bool udb_recordset::is_query() const {
    return !query.empty();
}

void udb_recordset::move_to(std::int32_t position) {
    tk_log_message(1, "udb_recordset::move_to(%d)", position);
}

void udb_recordset::next() {
}

void udb_recordset::prev() {
}

void udb_recordset::reset() {
}

void udb_recordset::delete_key(const std::wstring&) {
}

void udb_recordset::delete_key(const udb_record&) {
}

void udb_recordset::add_index(const udb_index& index) {
    tk_log_wmessage(2, L"udb_recordset::add_index(%ls, %d)", index.name.c_str(), key_idx);
    if (!indexes.is_acceptable_name(index.name)) {
        tk_log_wmessage(2, L"Index '%ls' cannot be processed", index.name.c_str());
        return;
    }
    if (index.b_primary || (key_idx == -1 && index.b_unique)) {
        tk_log_message(2, "Store primary/unique key");
        key_idx = static_cast<std::int32_t>(indexes.size());
    }
    indexes.push_back(index);
}

std::unique_ptr<udb_record> udb_recordset::get_key(const udb_record& record) const {
    tk_log_message(1, "udb_recordset::get_key(that.size=%d)", static_cast<int>(record.size()));
    if (key_idx < 0 || static_cast<std::size_t>(key_idx) >= indexes.size()) {
        throw tk_exception(std::string("There's no primary/unique key"), 1);
    }
    const udb_index& key = indexes[static_cast<std::size_t>(key_idx)];
    tk_log_message(1, "u_k_flds.size=%d", static_cast<int>(key.columns.size()));
    auto result = std::make_unique<udb_record>();
    int step = 0;
    for (const std::wstring& column : key.columns) {
        tk_log_message(1, "Step %d.1", step);
        if (!record.find_field(column)) {
            tk_log_wmessage(3, L"Key field '%ls' is not found in record", column.c_str());
            return nullptr;
        }
        const udb_field& field = record.get_field(column);
        // The value's text costs a conversion per row; make it only for a line that is written.
        if (tk_log_wanted(1)) {
            tk_log_message(1, ">> Got key field: %s", field.to_string().c_str());
        }
        result->push_back(std::make_unique<udb_field>(field));
        tk_log_message(1, "Step %d.2", step);
        ++step;
    }
    tk_log_message(1, "Just before exit: result.size=%d", static_cast<int>(result->size()));
    return result;
}

namespace {

bool is_digit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

bool is_hex_digit(wchar_t c) {
    return is_digit(c) || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

// A plain decimal number: optional sign, digits with an optional point, optional exponent.
bool is_number_literal(const std::wstring& v) {
    std::size_t i = 0;
    if (i < v.size() && (v[i] == L'+' || v[i] == L'-')) {
        ++i;
    }
    std::size_t digits = 0;
    while (i < v.size() && is_digit(v[i])) {
        ++i;
        ++digits;
    }
    if (i < v.size() && v[i] == L'.') {
        ++i;
        while (i < v.size() && is_digit(v[i])) {
            ++i;
            ++digits;
        }
    }
    if (digits == 0) {
        return false;
    }
    if (i < v.size() && (v[i] == L'e' || v[i] == L'E')) {
        ++i;
        if (i < v.size() && (v[i] == L'+' || v[i] == L'-')) {
            ++i;
        }
        std::size_t exponent = 0;
        while (i < v.size() && is_digit(v[i])) {
            ++i;
            ++exponent;
        }
        if (exponent == 0) {
            return false;
        }
    }
    return i == v.size();
}

// 0x followed by hexadecimal digits.
bool is_binary_literal(const std::wstring& v) {
    if (v.size() < 2 || v[0] != L'0' || (v[1] != L'x' && v[1] != L'X')) {
        return false;
    }
    for (std::size_t i = 2; i < v.size(); ++i) {
        if (!is_hex_digit(v[i])) {
            return false;
        }
    }
    return true;
}

void append_doubled(std::wstring& out, const std::wstring& text, wchar_t quote) {
    for (wchar_t c : text) {
        out += c;
        if (c == quote) {
            out += quote;
        }
    }
}

} // namespace

std::wstring udb_recordset::text_literal(const std::wstring& text) const {
    std::wstring out = L"'";
    append_doubled(out, text, L'\'');
    return out + L"'";
}

std::wstring udb_recordset::get_filter_subquery(const std::wstring& key) const {
    tk_log_wmessage(1, L"udb_recordset::get_filter_subquery(%ls)", key.c_str());
    std::wstring result;
    std::wstring pending_name;
    std::wstring pending_value;
    int tags = 0;
    bool inside = false;

    auto emit_pair = [&]() {
        const VARTYPE vt = schema.find_field(pending_name) ? schema.get_field_type(pending_name)
                                                           : static_cast<VARTYPE>(VT_EMPTY);
        const bool bare = (udb_is_number_type(vt) && is_number_literal(pending_value)) ||
                          (udb_is_bytes_type(vt) &&
                           (is_binary_literal(pending_value) || is_number_literal(pending_value)));
        if (bare) {
            tk_log_message(1, "Special processing for binary");
            result += L'=';
            result += pending_value;
            return;
        }
        // Values that are not plain literals travel as escaped text, never as SQL.
        std::wstring value = pending_value;
        tk_wstring::replace_all(value, L"&lt;", L"<");
        tk_wstring::replace_all(value, L"&gt;", L">");
        tk_wstring::replace_all(value, L"&amp;", L"&");
        result += L'=';
        result += text_literal(value);
        result += L' ';
    };

    for (std::size_t pos = 0; pos < key.size(); ++pos) {
        const wchar_t c = key[pos];
        if (c == L'<') {
            tk_log_message(1, "Open XML-tag at pos=%d", static_cast<int>(pos));
            if (++tags == 2) {
                emit_pair();
                pending_name.clear();
                pending_value.clear();
                tags = 0;
            }
            continue;
        }
        if (c == L'>') {
            tk_log_message(1, "Close XML-tag at pos=%d", static_cast<int>(pos));
            if (!inside) {
                if (!result.empty()) {
                    result += L" and ";
                }
                if (!schema.find_field(pending_name)) {
                    tk_log_wmessage(2, L"Field %ls not found in the schema", pending_name.c_str());
                    throw udb_structure_exception(
                        std::wstring(tk_wmessage(tk_msg_structure_mismatch)));
                }
                result += L'"';
                append_doubled(result, schema.get_field2(pending_name).name, L'"');
                result += L'"';
            }
            inside = !inside;
            continue;
        }
        if (tags != 1) {
            continue;
        }
        (inside ? pending_value : pending_name) += c;
    }
    return result;
}
