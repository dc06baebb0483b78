// Identifier rules of one destination and one kind of name.
#pragma once

#include "UDB/udb_nmap.h"

#include <cstdint>
#include <string>
#include <vector>

// One set of identifier rules (maximum length, illegal characters, restricted words) and the
// names already taken. The destinations derive their own rules from it.
class udb_validator {
public:
    // `max_len` in characters; 0 means no limit.
    explicit udb_validator(std::int32_t max_len);
    virtual ~udb_validator();

    udb_validator(const udb_validator&) = default;
    udb_validator& operator=(const udb_validator&) = default;

    // Whether `name` keeps the rules: not longer than max_len, not a restricted word (ignoring
    // case), no illegal character.
    virtual bool is_acceptable(const std::wstring& name) const;

    // Whether `name` equals a taken name, ignoring case.
    virtual bool is_duplicated(const std::wstring& name) const;

    // A name in lower case that keeps the rules and is not taken: over-long names are cut,
    // illegal characters become "_", and when that is still refused or taken a five-digit
    // counter is appended to a stem short enough for it. The answer is not added to the taken
    // names; the caller does that when it uses it. Internal error (udb_vali, 55) when every
    // counter from 0 to 99999 fails.
    virtual std::wstring get_safe_name(const std::wstring& name) const;

    void add_existing_name(const std::wstring& name);
    void add_mapped_pair(const std::wstring& source, const std::wstring& safe);

    std::int32_t max_len;
    t_names_map mapped_pairs; // source name -> safe name chosen for it
    std::vector<wchar_t> illegal_chars;
    std::vector<std::wstring> restricted_words; // compared ignoring case
    std::vector<std::wstring> existing_names;   // names already taken
};
