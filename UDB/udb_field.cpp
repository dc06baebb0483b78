// Fields and records: one row is an ordered list of named values.
#include "UDB/udb_field.h"

#include "UDB/udb_util.h"

#include "TK/tk_log.h"

#include <atomic>

udb_field::udb_field() {
    tk_log_message(1, "udb_field::empty ctor");
}

udb_field::udb_field(const udb_field& that)
    : ole_variant(that), size(that.size), name(that.name), b_attr1(that.b_attr1),
      b_attr2(that.b_attr2) {
    tk_log_message(1, "udb_field::copy ctor");
}

udb_field::udb_field(const std::wstring& name, std::uint32_t size, const ole_variant& value,
                     bool b_attr1, bool b_attr2)
    : ole_variant(value), size(size), name(name), b_attr1(b_attr1), b_attr2(b_attr2) {
    tk_log_message(1, "udb_field::ctor #2");
    tk_log_wmessage(1, L"name=%ls, size=%d", name.c_str(), static_cast<int>(size));
}

udb_field::udb_field(const std::wstring& name, std::uint32_t size, ole_variant&& value,
                     bool b_attr1, bool b_attr2)
    : ole_variant(std::move(value)), size(size), name(name), b_attr1(b_attr1), b_attr2(b_attr2) {
    tk_log_message(1, "udb_field::ctor #2");
    tk_log_wmessage(1, L"name=%ls, size=%d", name.c_str(), static_cast<int>(size));
}

udb_field::~udb_field() = default;

VARTYPE udb_field::get_type() const {
    tk_log_message(1, "ole_variant::get_type");
    return var.vt;
}

std::uint32_t udb_field::get_size() const {
    const VARTYPE vt = var.vt;
    if ((vt == VT_CARRAY || vt == VT_BLOB || vt == vt_byte_array) && var.parray != nullptr &&
        SafeArrayGetDim(var.parray) == 1) {
        return var.parray->rgsabound[0].cElements;
    }
    if (get_type() == VT_BSTR) {
        return SysStringLen(var.bstrVal);
    }
    return size;
}

udb_record::~udb_record() {
    tk_log_message(1, "udb_record::dtor");
    tk_log_message(1, "udb_record::reset");
    clear();
    shrink_to_fit();
}

std::uint64_t udb_record::new_naming() {
    static std::atomic<std::uint64_t> last{0};
    return ++last;
}

const udb_field* udb_record::find(const std::wstring& name) const {
    for (std::size_t i = 0; i < size(); ++i) {
        const udb_field* field = (*this)[i].get();
        if (field == nullptr) {
            continue;
        }
        tk_log_wmessage(1, L"Processing %ls", field->name.c_str());
        if (udb_equal_no_case(field->name, name)) {
            tk_log_message(1, "Field found at pos=%d", static_cast<int>(i));
            return field;
        }
    }
    return nullptr;
}

bool udb_record::find_field(const std::wstring& name) const {
    tk_log_wmessage(1, L"udb_record::find_field(%ls)", name.c_str());
    return find(name) != nullptr;
}

namespace {

// The field answered for a name that no field has. It is emptied again at every miss, so what
// a caller wrote into it never reaches the next caller.
udb_field& missing_field() {
    thread_local udb_field empty;
    empty.clear();
    empty.name.clear();
    empty.size = 0;
    empty.b_attr1 = false;
    empty.b_attr2 = false;
    return empty;
}

} // namespace

udb_field& udb_record::get_field(const std::wstring& name) {
    tk_log_wmessage(1, L"udb_record::get_field(%ls)", name.c_str());
    const udb_field* field = find(name);
    return field != nullptr ? const_cast<udb_field&>(*field) : missing_field();
}

const udb_field& udb_record::get_field(const std::wstring& name) const {
    tk_log_wmessage(1, L"udb_record::get_field(%ls)", name.c_str());
    const udb_field* field = find(name);
    return field != nullptr ? *field : missing_field();
}

std::uint32_t udb_record::get_total_size() const {
    tk_log_message(1, "udb_record::get_total_size");
    std::uint32_t total = 0;
    const int count = static_cast<int>(size());
    for (int i = 0; i < count; ++i) {
        const udb_field* field = (*this)[i].get();
        if (field == nullptr) {
            tk_log_message(3, "Incorrect field #%d", i);
            continue;
        }
        if (field->get_type() != VT_EMPTY) {
            total += field->get_size();
        }
        tk_log_message(1, "size=%d", static_cast<int>(total));
        tk_log_message(1, "processed field %d of %d", i, count);
    }
    return total;
}
