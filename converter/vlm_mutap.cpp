// Applying the mutators.
#include "converter/vlm_mutap.h"

#include "SQL/sql_db.h"
#include "TK/tk_log.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <string>

namespace {

struct integer_range {
    std::int64_t low;
    std::uint64_t high;
};

// The values a whole-number value type holds; false for every other type.
bool range_of(VARTYPE vt, integer_range& range) {
    switch (vt) {
    case VT_I1:
        range = {INT8_MIN, INT8_MAX};
        return true;
    case VT_UI1:
        range = {0, UINT8_MAX};
        return true;
    case VT_I2:
        range = {INT16_MIN, INT16_MAX};
        return true;
    case VT_UI2:
        range = {0, UINT16_MAX};
        return true;
    case VT_I4:
    case VT_INT:
        range = {INT32_MIN, INT32_MAX};
        return true;
    case VT_UI4:
    case VT_UINT:
        range = {0, UINT32_MAX};
        return true;
    case VT_I8:
        range = {INT64_MIN, INT64_MAX};
        return true;
    case VT_UI8:
        range = {0, UINT64_MAX};
        return true;
    default:
        return false;
    }
}

// A text bound for a whole-number column converts only when it is wholly a decimal integer
// (an optional sign, then digits) within the type's range; anything else is refused, so no
// text reaches the server to be cut or zeroed there.
void convert_text_to_integer(ole_variant& value, VARTYPE vt, const integer_range& range) {
    const std::string text = value.to_string();
    const char* first = text.data();
    const char* const last = first + text.size();
    const bool negative = first != last && *first == '-';
    if (first != last && (*first == '-' || *first == '+')) {
        ++first;
    }
    std::uint64_t magnitude = 0;
    const auto [end, error] = std::from_chars(first, last, magnitude);
    if (first == last || error != std::errc() || end != last) {
        throw ole_cast_exception();
    }
    ole_variant converted;
    if (negative && magnitude != 0) {
        const std::uint64_t lowest = static_cast<std::uint64_t>(-(range.low + 1)) + 1;
        if (magnitude > lowest) {
            throw ole_cast_exception();
        }
        converted.hyper = static_cast<std::int64_t>(0 - magnitude);
        converted.var.vt = VT_I8;
    } else {
        if (magnitude > range.high) {
            throw ole_cast_exception();
        }
        converted.uhyper = magnitude;
        converted.var.vt = VT_UI8;
    }
    // Within the range checked above, so the narrowing is exact.
    converted.change_type(vt);
    value = std::move(converted);
}

void change_value_type(udb_field& field, VARTYPE vt) {
    integer_range range{};
    if (field.get_type() == VT_BSTR && range_of(vt, range)) {
        convert_text_to_integer(field, vt, range);
        return;
    }
    field.change_type(vt);
}

// A mapping without a type keeps the column's own type, length and default: it only renames.
bool renames_only(const sql_field_mutator& mutator) {
    return mutator.native_type.type.empty();
}

} // namespace

std::shared_ptr<t_ftd> udb_field_mutator_create2(const sql_field_mutator& mutator,
                                                 const t_ftd* column) {
    tk_log_message(1, "udb_field_mutator::create2");
    if (column == nullptr) {
        return nullptr;
    }
    auto copy = std::make_shared<t_ftd>(*column);
    if (!renames_only(mutator)) {
        copy->native_type = sql_native_type::full_text(mutator.native_type);
    }
    return copy;
}

void udb_field_mutator_modify1(const sql_field_mutator& mutator, t_ftd& column) {
    tk_log_message(2, "udb_field_mutator::modify1");
    if (!mutator.new_name.empty()) {
        tk_log_wmessage(2, L"new_name=%ls", mutator.new_name.c_str());
        column.name = mutator.new_name;
    }
    if (renames_only(mutator)) {
        return;
    }
    if (mutator.vartype != VT_NULL) {
        column.type = mutator.vartype;
    }
    column.native_type = sql_native_type::full_text(mutator.native_type);
    tk_log_wmessage(2, L"\tf.native_type=%ls", column.native_type.c_str());
    column.size = static_cast<std::int32_t>(static_cast<std::uint32_t>(mutator.native_type.length));
    tk_log_message(2, "\tf.size=%d", column.size);
    column.dw_reserved = mutator.dw_reserved;
    tk_log_message(2, "\told dw_reserved=%d, new dw_reserved=%d", column.dw_reserved,
                   column.dw_reserved);
    column.default_value.attach_wstring(mutator.native_type.default_value);
    if (mutator.native_type.precision != 0 || mutator.native_type.scale != 0) {
        tk_log_message(2, "Setting new prec/scale: (%d,%d)", mutator.native_type.precision,
                       mutator.native_type.scale);
        column.prec = mutator.native_type.precision;
        column.scale = mutator.native_type.scale;
    }
}

void udb_field_mutator_modify2(const sql_field_mutator& mutator, udb_field& field) {
    tk_log_message(2, "udb_field_mutator::modify2");
    field.name = mutator.new_name;
    if (renames_only(mutator)) {
        return;
    }
    try {
        change_value_type(field, mutator.vartype);
    } catch (const ole_cast_exception&) {
        throw tk_exception("Data conversion is not supported for given type mapping", 0);
    }
    field.size = static_cast<std::uint32_t>(mutator.native_type.length);
}

void udb_table_mutator_modify3(sql_table_mutator& mutator, udb_indexes& indexes) {
    tk_log_message(2, "udb_table_mutator::modify3()");
    for (udb_index& index : indexes) {
        std::vector<std::wstring> kept;
        kept.reserve(index.columns.size());
        for (const std::wstring& column : index.columns) {
            const auto it = mutator.field_mutators.find(column);
            if (it == mutator.field_mutators.end()) {
                kept.push_back(column);
                continue;
            }
            if (it->second->status == udb_mutators::deleted) {
                continue;
            }
            kept.push_back(it->second->new_name);
        }
        index.columns = std::move(kept);
    }
}

udb_schema& udb_table_mutator_create_modified_copy2(sql_table_mutator& mutator,
                                                    const udb_schema& schema) {
    tk_log_message(1, "create_modified_copy2");
    mutator.modified_schema.reset();
    for (const auto& column : schema) {
        const auto it = mutator.field_mutators.find(column->name);
        if (it == mutator.field_mutators.end()) {
            mutator.modified_schema.push_back(std::make_shared<t_ftd>(*column));
            continue;
        }
        if (it->second->status == udb_mutators::deleted) {
            continue;
        }
        mutator.modified_schema.push_back(udb_field_mutator_create2(*it->second, column.get()));
    }
    tk_log_message(1, "create_modified_copy2 - END");
    return mutator.modified_schema;
}

std::wstring udb_table_mutator_modify1(sql_table_mutator& mutator, std::wstring& name,
                                       udb_schema& schema) {
    tk_log_message(2, "udb_table_mutator::modify1()");
    if (!mutator.field_mutators.empty()) {
        const udb_schema& modified = udb_table_mutator_create_modified_copy2(mutator, schema);
        // The same descriptors: the schema and the mutator share them, so neither frees them
        // under the other.
        schema.assign(modified.begin(), modified.end());
        for (const auto& column : schema) {
            const auto it = mutator.field_mutators.find(column->name);
            if (it != mutator.field_mutators.end() && it->second->status == udb_mutators::changed) {
                udb_field_mutator_modify1(*it->second, *column);
            }
        }
    }
    tk_log_wmessage(1, L"returning new_name=%ls", mutator.new_name.c_str());
    name = mutator.new_name;
    return name;
}

udb_record& udb_table_mutator_create_modified_copy1(sql_table_mutator& mutator,
                                                    const udb_record& record) {
    tk_log_message(1, "create_modified_copy1");
    udb_record& out = mutator.modified_record;
    out.clear();
    for (const auto& field : record) {
        if (!field) {
            continue;
        }
        tk_log_wmessage(1, L"Field name='%ls'", field->name.c_str());
        const auto it = mutator.field_mutators.find(field->name);
        if (it == mutator.field_mutators.end()) {
            tk_log_message(1, "Failed to find field");
            out.push_back(std::make_unique<udb_field>(*field));
            continue;
        }
        if (it->second->status == udb_mutators::deleted) {
            tk_log_message(1, "status == udb_mutators::deleted, cotinue");
            continue;
        }
        tk_log_message(1, "udb_field_mutator::create1");
        auto changed = std::make_unique<sql_field>(*field);
        udb_field_mutator_modify2(*it->second, *changed);
        out.push_back(std::move(changed));
    }
    tk_log_message(1, "create_modified_copy1 - END");
    return out;
}

const udb_record& udb_table_mutator_modify2(sql_table_mutator& mutator, const udb_record& record) {
    tk_log_message(2, "udb_table_mutator::modify2()");
    if (mutator.field_mutators.empty()) {
        tk_log_message(2, "field_mutators.size == 0, nothing to do");
        return record;
    }
    udb_record& out = udb_table_mutator_create_modified_copy1(mutator, record);
    tk_log_message(1, "udb_table_mutator::modify2 - END");
    return out;
}
