// The baseline of the benchmarks: rows through FreeTDS's ODBC driver alone. Kept apart from the
// provider's code because the ODBC headers and the platform headers declare the same Windows
// type names.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

struct raw_result {
    std::uint64_t rows = 0;
    std::uint64_t bytes = 0;  // value bytes as the driver delivered them
    double login_seconds = 0; // connecting and logging in
    double read_seconds = 0;  // the statement and every fetch, without the login
    std::string error;
};

// Connects with `connection_string`, runs `sql` and fetches every row in blocks of
// `rows_per_fetch` rows into bound column arrays (integers as SQL_C_SLONG/SBIGINT, everything
// else as SQL_C_WCHAR text): the fastest way an ODBC client reads. With `text_out`, every column
// is read as UTF-8 text instead and each row written there as a line of tab-separated values
// ("NULL" for a null), which is what a script file holds of the rows.
raw_result raw_odbc_read(const std::string& connection_string, const std::string& sql,
                         unsigned rows_per_fetch = 1000, std::FILE* text_out = nullptr);
