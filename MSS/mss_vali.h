// Identifier rules of an MS SQL destination: column names and table or view names.
#pragma once

#include "UDB/udb_schema.h"
#include "UDB/udb_vali.h"

#include <string>
#include <vector>

// No length limit, no illegal characters, no reserved words: any name that starts with a letter
// or "_", or is enclosed in brackets, is used as it stands (the statements bracket every name).
// A taken name is made free by prefixes, never by cutting or replacing characters.
class mss_validator : public udb_validator {
public:
    mss_validator();

    // Internal error (mss_vali, 115) for an empty name.
    bool is_acceptable(const std::wstring& name) const override;
    // The name itself when free, else the name behind the first free run of the prefixes "_",
    // "1", "_", "2", "_", "3", ... (_N, 1_N, _1_N, 2_1_N, ...). Not added to the taken names.
    std::wstring get_safe_name(const std::wstring& name) const override;
};

// Column names: seeded with the acceptable names of the column list.
class mss_fn_validator : public mss_validator {
public:
    explicit mss_fn_validator(const udb_schema& schema);
};

// Table and view names: seeded with every name of both lists.
class mss_tn_validator : public mss_validator {
public:
    mss_tn_validator(const std::vector<std::wstring>& first,
                     const std::vector<std::wstring>& second);
};
