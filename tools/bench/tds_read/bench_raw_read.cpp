// The source-side peer of bench_pontrel as a process of its own: reads the rows of a statement
// through FreeTDS's ODBC driver alone, in 1,000-row arrays, and writes every column as text into
// a file, as a script holds them. Prints the rows it wrote; ends 0 only when the read succeeded.
//   bench_raw_read CONNECTION-STRING STATEMENT OUTPUT-FILE
#include "raw_odbc.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_raw_read CONNECTION-STRING STATEMENT OUTPUT-FILE\n");
        return 2;
    }
    std::FILE* out = std::fopen(argv[3], "wb");
    if (out == nullptr) {
        std::perror(argv[3]);
        return 1;
    }
    static char buffer[1 << 16];
    std::setvbuf(out, buffer, _IOFBF, sizeof buffer);
    const raw_result r = raw_odbc_read(argv[1], argv[2], 1000, out);
    const bool written = std::fclose(out) == 0;
    if (!r.error.empty() || !written) {
        std::fprintf(stderr, "%s\n", r.error.empty() ? "cannot write the rows" : r.error.c_str());
        return 1;
    }
    std::printf("%llu\n", static_cast<unsigned long long>(r.rows));
    return 0;
}
