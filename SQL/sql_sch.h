// The destination column list of a MySQL table, with its row-size budget.
#pragma once

#include "UDB/udb_schema.h"

#include <cstdint>
#include <memory>
#include <vector>

// A udb_schema that keeps the row within MySQL's 65535 bytes by turning its largest text
// columns into long text (size 0, which the type mapping makes LONGTEXT).
class sql_schema : public udb_schema {
public:
    sql_schema() = default;
    ~sql_schema() override;

    // Appends the column and keeps the budget. A key column (`may_become_long` false) is never
    // chosen to become long text: the index on it would be lost. Null is an internal error
    // (sql_sch, 24).
    void push_back(std::shared_ptr<t_ftd> column, bool may_become_long = true);

    std::uint32_t total_size = 0;
    // Positions of the text columns that may still become long text, largest first.
    std::vector<std::uint32_t> lobs;
};
