// Foreign-key descriptions and their list.
#include "UDB/udb_rel.h"

#include "UDB/udb_util.h"

#include "TK/tk_excep.h"
#include "TK/tk_log.h"

udb_relationship::udb_relationship(const std::wstring& name, const std::wstring& pk_name,
                                   const std::wstring& fk_table, const std::wstring& pk_table,
                                   const std::vector<std::wstring>& fk_flds,
                                   const std::vector<std::wstring>& pk_flds,
                                   const std::wstring& properties)
    : name(name), pk_name(pk_name), fk_table(fk_table), pk_table(pk_table), properties(properties),
      fk_flds(fk_flds), pk_flds(pk_flds) {
}

udb_relationship::udb_relationship(const udb_relationship& that)
    : name(that.name), pk_name(that.pk_name), fk_table(that.fk_table), pk_table(that.pk_table),
      properties(that.properties), fk_flds(that.fk_flds), pk_flds(that.pk_flds) {
    tk_log_message(2, "udb_relationship::copy ctor");
    tk_log_message(2, "that.fk_flds.size=%d, fk_flds.size=%d",
                   static_cast<int>(that.fk_flds.size()), static_cast<int>(fk_flds.size()));
    tk_log_message(2, "that.pk_flds.size=%d, pk_flds.size=%d",
                   static_cast<int>(that.pk_flds.size()), static_cast<int>(pk_flds.size()));
}

std::size_t udb_relationships::find_pos(const std::wstring& name, const std::wstring& pk_table,
                                        const std::wstring& fk_table) const {
    for (std::size_t i = 0; i < size(); ++i) {
        const udb_relationship& rel = (*this)[i];
        if (udb_equal_no_case(rel.name, name) && udb_equal_no_case(rel.pk_table, pk_table) &&
            udb_equal_no_case(rel.fk_table, fk_table)) {
            return i;
        }
    }
    return size();
}

bool udb_relationships::find(const std::wstring& name, const std::wstring& pk_table,
                             const std::wstring& fk_table) const {
    tk_log_wmessage(1, L"udb_relationships::find(%ls,%ls,%ls)", name.c_str(), pk_table.c_str(),
                    fk_table.c_str());
    return find_pos(name, pk_table, fk_table) != size();
}

udb_relationship& udb_relationships::get(const std::wstring& name, const std::wstring& pk_table,
                                         const std::wstring& fk_table) {
    tk_log_wmessage(1, L"udb_relationships::get(%ls,%ls,%ls)", name.c_str(), pk_table.c_str(),
                    fk_table.c_str());
    std::size_t pos = find_pos(name, pk_table, fk_table);
    tk_check(pos != size(), "udb_rel", 192);
    return (*this)[pos];
}

udb_relationship& udb_relationships::get_index(const std::wstring& name) {
    tk_log_wmessage(1, L"udb_relationships::get_index(%ls)", name.c_str());
    for (udb_relationship& rel : *this) {
        if (udb_equal_no_case(rel.name, name)) {
            return rel;
        }
    }
    throw tk_mail_assertion("udb_rel", 175);
}

bool udb_relationships::is_acceptable_name(const std::wstring& name) const {
    tk_log_wmessage(1, L"udb_relationships::is_acceptable_name(%ls)", name.c_str());
    for (const udb_relationship& rel : *this) {
        if (udb_equal_no_case(rel.name, name)) {
            return false;
        }
    }
    return true;
}
