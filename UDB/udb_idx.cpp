// Index descriptions of a table and their list.
#include "UDB/udb_idx.h"

#include "UDB/udb_util.h"

#include "TK/tk_excep.h"
#include "TK/tk_log.h"

udb_index::udb_index(const std::wstring& name, bool b_unique, bool b_primary)
    : name(name), b_unique(b_unique), b_primary(b_primary) {
    tk_log_wmessage(1, L"udb_index::ctor('%ls',%d,%d)", name.c_str(), b_unique, b_primary);
}

bool udb_index::starts_with_fields(const std::vector<std::wstring>& fields) const {
    tk_log_wmessage(1, L"udb_index(%ls)::starts_with_fields", name.c_str());
    tk_log_message(1, "this.size=%d, that.size=%d", static_cast<int>(columns.size()),
                   static_cast<int>(fields.size()));
    if (columns.size() < fields.size()) {
        tk_log_message(1, "starts_with_fields returns false");
        return false;
    }
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (!udb_equal_no_case(fields[i], columns[i])) {
            tk_log_wmessage(1, L"Field '%ls' not found", fields[i].c_str());
            return false;
        }
    }
    tk_log_message(1, "starts_with_fields returns true");
    return true;
}

std::size_t udb_indexes::find2(const std::wstring& name) const {
    tk_log_message(1, "udb_indexes::find2");
    for (std::size_t i = 0; i < size(); ++i) {
        if (udb_equal_no_case((*this)[i].name, name)) {
            return i;
        }
    }
    return size();
}

void udb_indexes::push_back(const udb_index& index) {
    tk_log_wmessage(2, L"udb_indexes::push_back(%ls)", index.name.c_str());
    std::size_t pos = find2(index.name);
    if (pos == size()) {
        tk_log_message(2, "Index does not exist, add it");
        std::vector<udb_index>::push_back(index);
        return;
    }
    tk_log_wmessage(1, L"udb_indexes::get_index(%ls)", index.name.c_str());
    tk_check(pos < size(), "..\\UDB/udb_idx", 179);
    udb_index& existing = (*this)[pos];
    if (existing.b_primary) {
        tk_log_message(2, "Primary key with the same name exists, skip it.");
        return;
    }
    if (index.b_primary) {
        tk_log_message(2, "Upgrade existing index to primary key.");
        existing = index;
        return;
    }
    if (existing.b_constraint) {
        tk_log_message(2, "Unique constraint with the same name exists, skip it.");
        return;
    }
    if (index.b_constraint) {
        tk_log_message(2, "Set unique constraint attributes for existing index.");
        existing = index;
        // The remaining rules apply to the replaced entry.
    }
    if (existing.b_unique) {
        tk_log_message(2, "Unique index with the same name exists, skip it.");
        return;
    }
    if (index.b_unique) {
        tk_log_message(2, "Set unique attribute for existing index.");
        existing = index;
    }
}

void udb_indexes::push_back_direct(const udb_index& index) {
    tk_log_wmessage(2, L"udb_indexes::push_back_direct(%ls)", index.name.c_str());
    if (find2(index.name) != size()) {
        tk_log_message(2, "Index with the same name exists");
        return;
    }
    std::vector<udb_index>::push_back(index);
}

bool udb_indexes::has_index_on_fields(const std::vector<std::wstring>& fields,
                                      bool unique_only) const {
    tk_log_message(1, "udb_indexes::has_index_on_fields");
    for (const udb_index& index : *this) {
        if (index.starts_with_fields(fields)) {
            return unique_only ? index.b_unique : true;
        }
    }
    return false;
}

bool udb_indexes::is_idx_field(const std::wstring& field, bool primary_only) const {
    tk_log_wmessage(1, L"udb_indexes::is_idx_field(%ls)", field.c_str());
    for (const udb_index& index : *this) {
        if (primary_only && !index.b_primary) {
            continue;
        }
        for (const std::wstring& column : index.columns) {
            if (column == field) {
                tk_log_message(1, "index field");
                return true;
            }
        }
    }
    tk_log_message(1, "non-index field");
    return false;
}

bool udb_indexes::is_acceptable_name(const std::wstring& name) const {
    tk_log_wmessage(1, L"udb_indexes::is_acceptable_name(%ls)", name.c_str());
    for (const udb_index& index : *this) {
        if (udb_equal_no_case(index.name, name)) {
            return false;
        }
    }
    return true;
}
