// Converts a generated table of N rows (default 2,000,000 and a tenth of it before) from the TDS
// test server into the MariaDB test server through the whole driver, and reads the same rows
// through the MS SQL source alone as the baseline. Prints rows/s, MB/s and the peak memory of
// each pass: the peak must not grow with the number of rows.
//
// Usage: VELMORA_TEST_MYSQL=... bench_driver_run [rows]
#include "converter/vlm_conv.h"
#include "converter/vlm_errh.h"
#include "converter/vlm_ui.h"
#include "MSS/mss_db.h"
#include "TK/tk_log.h"
#include "platform/tds/tds_provider.h"
#include "tests/support/tds_server/tds_server.h"
#include "tools/bench/bench_memory.h"
#include "tools/bench/bench_ui.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

using bench::peak_kib;
using bench::bench_ui;
using bench::reset_peak;

// Each row: an int key, a 40-character text and a decimal: about 60 bytes of values.
constexpr double bytes_per_row = 60.0;

void report(const char* what, unsigned long long rows, double seconds, long peak) {
    std::printf("%-28s %10llu rows %8.2f s %10.0f rows/s %7.2f MB/s  peak %7ld KiB\n", what, rows,
                seconds, rows / seconds, rows * bytes_per_row / seconds / 1e6, peak);
}

} // namespace

int main(int argc, char** argv) {
    const unsigned long long rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2000000;
    const char* env = std::getenv("VELMORA_TEST_MYSQL");
    if (env == nullptr) {
        std::fprintf(stderr, "VELMORA_TEST_MYSQL is not set (tools/mysql-test-server.sh start)\n");
        return 1;
    }
    if (!tds_provider_registered) {
        return 1;
    }
    char dir[] = "/tmp/vlm-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        return 1;
    }
    setenv("XDG_CONFIG_HOME", dir, 1);
    const std::string fixture = std::string(dir) + "/bench.tds";
    {
        std::ofstream out(fixture);
        out << "database velmora_bench\nlogin sa Velmora-Pw1\n";
        for (unsigned long long n : {rows / 10, rows}) {
            out << "table dbo.rows_" << n << "\ncolumn id int not null\ncolumn label "
                << "nvarchar(40) not null\ncolumn amount decimal(12,2)\nprimary key PK_rows_" << n
                << " (id)\ngenerate " << n << " row {n}, N'row number {n} of the benchmark', "
                << "{n}.25\nend\n";
        }
    }
    tds_server server({fixture});
    server.start();

    tk_logger logger(nullptr, false, 3, false);
    error_handler handler(err_map_oledb_size, err_map_oledb);
    handler.load_err_map(err_map_mysql_size, err_map_mysql);
    bench_ui ui;
    velmora_convertor converter(vlm_program::console);
    converter.mss->connect(L"127.0.0.1," + std::to_wstring(server.port()), L"sa", L"Velmora-Pw1",
                           true);
    converter.src = L"velmora_bench";
    bench::store_test_mysql(converter);
    converter.connect_mysql_server();

    for (unsigned long long n : {rows / 10, rows}) {
        const std::wstring table = L"rows_" + std::to_wstring(n);
        {
            reset_peak();
            const auto start = std::chrono::steady_clock::now();
            auto db = converter.mss->open_db(L"velmora_bench", 1, L"");
            auto source = db->get_table(table, 1);
            unsigned long long read = 0;
            for (source->reset(); !source->is_eof(); source->next()) {
                read += source->get_item()->size() > 0 ? 1 : 0;
            }
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            report(("source read, " + std::to_string(n)).c_str(), read, took.count(), peak_kib());
        }
        reset_peak();
        const auto start = std::chrono::steady_clock::now();
        converter.dest = L"velmora_bench_" + std::to_wstring(n);
        converter.mode = 0;
        converter.selected_tables = {table};
        converter.selected_queries.clear();
        converter.check_dest();
        converter();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        report(("whole run, " + std::to_string(n)).c_str(), n, took.count(), peak_kib());
        converter.del_mysql_base(converter.dest);
    }
    server.stop();
    // The fixture and the settings the converter made (its registry file and lock) go too.
    std::filesystem::remove_all(dir);
    return ui.failures == 0 ? 0 : 1;
}
