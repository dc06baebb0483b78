// Column descriptors and the schema of a table.
#include "UDB/udb_schema.h"

#include "UDB/udb_util.h"

#include "TK/tk_log.h"

t_ftd::t_ftd(std::int32_t size, const std::wstring& name, VARTYPE type, bool b_not_null,
             bool b_auto_num, const ole_variant& default_value, std::int32_t dw_reserved,
             const std::wstring& native_type)
    : size(size), name(name), type(type), native_type(native_type), b_auto_num(b_auto_num),
      b_not_null(b_not_null), default_value(default_value), dw_reserved(dw_reserved) {
    tk_log_message(1, "t_ftd::ctor2");
    tk_log_wmessage(1, L"\tfield name='%ls', vartype=%d, size=%d, b_not_null=%d, reserved=%d",
                    name.c_str(), type, size, b_not_null, dw_reserved);
}

namespace {

bool is_money(VARTYPE vt) {
    return vt == VT_DECIMAL || vt == VT_CY;
}

bool is_text(VARTYPE vt) {
    return vt == VT_BSTR || vt == 30 || vt == 31; // VT_LPSTR, VT_LPWSTR
}

} // namespace

bool udb_is_number_type(VARTYPE vt) {
    return ole_variant::is_numeric(vt) && vt != VT_INT && vt != VT_UINT;
}

bool udb_is_bytes_type(VARTYPE vt) {
    return vt == VT_BLOB || vt == VT_BLOB_OBJECT || vt == ole_variant::vt_byte_array;
}

bool t_ftd::operator==(const t_ftd& that) const {
    tk_log_message(1, "t_ftd::operator ==");
    if (is_money(type) && is_money(that.type)) {
        return true;
    }
    if (type != that.type) {
        return false;
    }
    return type != VT_BSTR || size == that.size;
}

bool t_ftd::conform_to(const t_ftd& that) const {
    tk_log_message(1, "t_ftd::conform_to");
    if (*this == that) {
        tk_log_message(1, "Src and dest columns are identical");
        return true;
    }
    tk_log_message(1, "that.type=%d", that.type);
    const auto src_size = static_cast<std::uint32_t>(size);
    const auto dest_size = static_cast<std::uint32_t>(that.size);
    if (ole_variant::is_numeric(that.type)) {
        return udb_is_number_type(type);
    }
    if (that.type == VT_DATE) {
        tk_log_message(1, "Processing VT_DATE, size=%d", size);
        return type == VT_DATE || (type == VT_BSTR && size == 19);
    }
    if (is_text(that.type)) {
        if (udb_is_bytes_type(type)) {
            return false;
        }
        if (!is_text(type)) {
            return true;
        }
        tk_log_message(1, "Src and dest columns are both text");
        // Destination sizes of 65535 and more hold any text.
        return dest_size == 0 || dest_size >= src_size || dest_size >= 65535;
    }
    if (udb_is_bytes_type(that.type)) {
        if (!is_text(type) && !udb_is_bytes_type(type)) {
            return true;
        }
        tk_log_message(1, "Src is BLOB and dest is TEXT");
        return dest_size == 0 || dest_size >= src_size;
    }
    return false;
}

udb_schema::udb_schema(bool b_owner) : b_owner(b_owner) {
    tk_log_message(1, "udb_schema::ctor");
}

udb_schema::~udb_schema() {
    tk_log_message(1, "udb_schema::dtor");
    clear();
    tk_log_message(1, "udb_schema::dtor - at the end");
}

void udb_schema::reset() {
    tk_log_message(1, "udb_schema::reset");
    if (b_owner) {
        for (auto& column : *this) {
            column.reset();
        }
    }
    clear();
    tk_log_message(1, "udb_schema::reset - END");
}

bool udb_schema::conform_to(const udb_schema& dest, bool by_name) const {
    tk_log_message(1, "udb_schema::conform_to");
    if (size() != dest.size()) {
        tk_log_message(2, "Tables are not conformed: src_size=%d, dest_size=%d",
                       static_cast<int>(size()), static_cast<int>(dest.size()));
        return false;
    }
    for (std::size_t i = 0; i < size(); ++i) {
        static const t_ftd empty_column;
        const t_ftd& src = (*this)[i] ? *(*this)[i] : empty_column;
        const t_ftd* target = nullptr;
        if (!by_name) {
            target = dest[i] ? dest[i].get() : &empty_column;
        } else {
            if (!dest.find_field(src.name)) {
                tk_log_wmessage(2, L"Field '%ls' is not found in record", src.name.c_str());
                return false;
            }
            target = &dest.get_field2(src.name);
        }
        if (!src.conform_to(*target)) {
            tk_log_message(2,
                           "Column #%d doesn't conform (src_vt=%d, src_size=%d, dest_vt=%d, "
                           "dest_size=%d)",
                           static_cast<int>(i + 1), src.type, src.size, target->type, target->size);
            return false;
        }
    }
    return true;
}

t_ftd* udb_schema::find(const std::wstring& name) const {
    for (const auto& column : *this) {
        if (column && udb_equal_no_case(column->name, name)) {
            return column.get();
        }
    }
    return nullptr;
}

bool udb_schema::find_field(const std::wstring& name) const {
    tk_log_wmessage(1, L"udb_schema::find_field(%ls)", name.c_str());
    tk_log_message(1, "Schema size=%d", static_cast<int>(size()));
    for (std::size_t i = 0; i < size(); ++i) {
        tk_log_message(1, "Iterating field #%d", static_cast<int>(i));
        const t_ftd* column = (*this)[i].get();
        if (column == nullptr) {
            continue;
        }
        tk_log_wmessage(1, L"Compare with field: '%ls'", column->name.c_str());
        if (udb_equal_no_case(column->name, name)) {
            tk_log_message(1, "Field found!!!");
            return true;
        }
    }
    tk_log_message(1, "Field NOT found!!!");
    return false;
}

namespace {

// The descriptor answered for a name that no column has, emptied again at every miss.
t_ftd& missing_column() {
    thread_local t_ftd empty;
    empty = t_ftd();
    return empty;
}

} // namespace

t_ftd& udb_schema::get_field1(const std::wstring& name) {
    tk_log_wmessage(1, L"udb_schema::get_field1(%ls)", name.c_str());
    if (t_ftd* column = find(name)) {
        return *column;
    }
    tk_log_wmessage(2, L"Field '%ls' not found", name.c_str());
    return missing_column();
}

const t_ftd& udb_schema::get_field2(const std::wstring& name) const {
    tk_log_wmessage(1, L"udb_schema::get_field2(%ls)", name.c_str());
    if (const t_ftd* column = find(name)) {
        return *column;
    }
    tk_log_wmessage(2, L"Field '%ls' not found", name.c_str());
    return missing_column();
}

std::int32_t udb_schema::get_field_idx(const std::wstring& name) const {
    tk_log_wmessage(1, L"udb_schema::get_field_idx(%ls)", name.c_str());
    for (std::size_t i = 0; i < size(); ++i) {
        const t_ftd* column = (*this)[i].get();
        if (column != nullptr && udb_equal_no_case(column->name, name)) {
            return static_cast<std::int32_t>(i);
        }
    }
    return -1;
}

std::uint32_t udb_schema::get_field_size(const std::wstring& name) const {
    tk_log_wmessage(1, L"udb_schema::get_field_size(%ls)", name.c_str());
    if (const t_ftd* column = find(name)) {
        return static_cast<std::uint32_t>(column->size);
    }
    tk_log_wmessage(3, L"Field '%ls' not found", name.c_str());
    return 0xFFFFFFFF;
}

VARTYPE udb_schema::get_field_type(const std::wstring& name) const {
    tk_log_wmessage(1, L"udb_schema::get_field_type(%ls)", name.c_str());
    if (const t_ftd* column = find(name)) {
        return column->type;
    }
    tk_log_wmessage(2, L"Field '%ls' not found", name.c_str());
    return VT_NULL;
}
