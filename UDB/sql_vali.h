// MySQL identifier rules: the family for servers from 4.1 on and the family for older servers,
// with one class per kind of name.
#pragma once

#include "UDB/udb_vali.h"

#include <string>
#include <vector>

class udb_record;
class udb_schema;
class udb_indexes;

// The 14 characters that names may not hold on servers from 4.1 on; columns and indexes are
// refused only the first 8 (up to the plus sign).
inline constexpr wchar_t sql_new_illegal_chars[] = L"`\"'^*\\;+|:<>?/";
inline constexpr std::size_t sql_new_illegal_count_all = 14;
inline constexpr std::size_t sql_new_illegal_count_fields = 8;

// The reserved words of servers before 4.1, in lower case; the table ends with an empty text.
inline constexpr std::size_t sql_old_reserved_count = 167;
extern const wchar_t* const sql_old_reserved_words[sql_old_reserved_count + 1];

// Rules for servers from 4.1 on: 1 to 64 characters, no blank at either end, none of the
// illegal characters.
class sql_new_validator : public udb_validator {
public:
    // All 14 illegal characters when `all_chars`, else the first 8.
    explicit sql_new_validator(bool all_chars);

    bool is_acceptable(const std::wstring& name) const override;
    // The name without leading and trailing blanks, made safe by the base rules.
    std::wstring get_safe_name(const std::wstring& name) const override;
};

// Column names; the columns of the record or schema are taken.
class sql_new_fn_validator : public sql_new_validator {
public:
    explicit sql_new_fn_validator(const udb_record& record);
    explicit sql_new_fn_validator(const udb_schema& schema);
};

// Index names; the names of the index list are taken.
class sql_new_in_validator : public sql_new_validator {
public:
    explicit sql_new_in_validator(const udb_indexes& indexes);
};

// Table names; the names of both lists (the first first) are taken.
class sql_new_tn_validator : public sql_new_validator {
public:
    sql_new_tn_validator(const std::vector<std::wstring>& names1,
                         const std::vector<std::wstring>& names2);
};

// Rules for servers before 4.1: at most 64 characters, not a reserved word, only letters,
// digits, "_" and "$", not digits only.
class sql_old_validator : public udb_validator {
public:
    sql_old_validator();

    bool is_acceptable(const std::wstring& name) const override;
    // Every other character becomes "_", and a name of digits only gets "_" for its first
    // digit, before the base rules apply.
    std::wstring get_safe_name(const std::wstring& name) const override;

protected:
    // Steps shared with the database-name rules.
    bool old_rules_accept(const std::wstring& name) const;
};

class sql_old_fn_validator : public sql_old_validator {
public:
    explicit sql_old_fn_validator(const udb_record& record);
    explicit sql_old_fn_validator(const udb_schema& schema);
};

class sql_old_in_validator : public sql_old_validator {
public:
    explicit sql_old_in_validator(const udb_indexes& indexes);
};

class sql_old_tn_validator : public sql_old_validator {
public:
    sql_old_tn_validator(const std::vector<std::wstring>& names1,
                         const std::vector<std::wstring>& names2);
};

// Database names on servers before 4.1: the old rules, and no digit first.
class sql_old_dn_validator : public sql_old_validator {
public:
    sql_old_dn_validator();

    bool is_acceptable(const std::wstring& name) const override;
};
