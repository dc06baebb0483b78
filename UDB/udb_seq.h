// Sequence description of a database.
#pragma once

#include <cstdint>
#include <string>

// One sequence, as the MS SQL reader finds it.
class udb_sequence {
public:
    // Logs "udb_sequence::ctor(%ls,%d,%d,%d,%d,%d)".
    udb_sequence(const std::wstring& name, std::int32_t start, std::int32_t increment,
                 std::int32_t min_value, std::int32_t max_value, bool b_cycle);

    std::wstring name;
    std::int32_t increment = 1;
    std::int32_t start = 1;
    std::int32_t min_value = 0;
    std::int32_t max_value = 0;
    bool b_cycle = false; // starts again after its limit
};
