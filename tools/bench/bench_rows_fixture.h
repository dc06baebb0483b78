// The table the wizard and pontrel benchmarks convert, so that their rates compare.
#pragma once

#include <string>

namespace bench {

// The fixture of a table of `rows` rows with the kinds of column most tables have.
inline std::string fixture_text(unsigned long rows) {
    return "database velmora_bench\n"
           "login sa Velmora-Pw1\n"
           "table dbo.rows_1m\n"
           "column id int not null\n"
           "column label nvarchar(40) not null\n"
           "column amount decimal(12,2) null\n"
           "column created datetime2(3) not null\n"
           "column code varchar(10) null\n"
           "column flag bit not null\n"
           "primary key PK_rows_1m (id)\n"
           "generate " +
           std::to_string(rows) +
           " row {n}, N'row {n} \xC3\xA9t\xC3\xA9', {n}.25, '2024-01-02 03:04:05.678', 'c{n}', 1\n"
           "end\n";
}

} // namespace bench
