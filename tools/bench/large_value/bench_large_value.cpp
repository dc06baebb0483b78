// Converts a table of one row whose nvarchar(max) value is N MiB as SQL Server holds it (UTF-16;
// default 100) through the whole driver, into a script file and, with VELMORA_TEST_MYSQL set, into
// the MariaDB test server, and prints the peak resident memory each run adds to its process,
// beside the value's size: the copies the row path makes of one value. Each path runs in a
// process of its own (this program again, with --one), so that neither inherits the other's
// heap; a path that fails fails the benchmark.
//
// Usage: [VELMORA_TEST_MYSQL=...] bench_large_value [MiB]   (tools/bench/large_value/run.sh)
#include "converter/vlm_conv.h"
#include "converter/vlm_errh.h"
#include "converter/vlm_ui.h"
#include "MSS/mss_db.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "platform/tds/tds_provider.h"
#include "tools/bench/bench_child.h"
#include "tools/bench/bench_memory.h"
#include "tools/bench/bench_tds_process.h"
#include "tools/bench/bench_ui.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

using bench::bench_ui;
using bench::peak_kib;
using bench::reset_peak;

void report(const char* what, double seconds, long base_kib, long peak, double value_mib) {
    const double added = (peak - base_kib) / 1024.0;
    std::printf("%-22s %7.2f s  peak %8.1f MiB  added %8.1f MiB  = %4.2f x the value\n", what,
                seconds, peak / 1024.0, added, added / value_mib);
}

// One path in this process: "script" or "mariadb", from the TDS test server at `port`.
int run_one(const std::string& path, int port, double value_mib, const std::string& dir) {
    tk_logger logger(nullptr, false, 3, false);
    error_handler handler(err_map_oledb_size, err_map_oledb);
    handler.load_err_map(err_map_mysql_size, err_map_mysql);
    bench_ui ui;
    velmora_convertor converter(vlm_program::console);
    converter.mss->connect(L"127.0.0.1," + std::to_wstring(port), L"sa", L"Velmora-Pw1", true);
    converter.src = L"velmora_big";
    converter.selected_tables = {L"big"};
    const char* what = "into a script file";
    if (path == "script") {
        converter.direct = false;
        converter.dest = tk_utf8_to_wstring(dir + "/big.sql");
    } else {
        what = "into MariaDB";
        converter.direct = true;
        bench::store_test_mysql(converter);
        converter.connect_mysql_server();
        converter.dest = L"velmora_bench_big";
        converter.mode = 0;
    }
    converter.check_dest();
    reset_peak();
    const long base = peak_kib();
    const auto start = std::chrono::steady_clock::now();
    converter();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (ui.failures != 0) {
        std::fprintf(stderr, "%s: the run reported %d failures\n", what, ui.failures);
        return 1;
    }
    report(what, took.count(), base, peak_kib(), value_mib);
    if (path == "script") {
        std::filesystem::remove(dir + "/big.sql");
    } else {
        converter.del_mysql_base(converter.dest);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 6 && std::string(argv[1]) == "--one") {
        return run_one(argv[2], std::atoi(argv[3]), std::atof(argv[4]), argv[5]);
    }
    const long mib = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 100;
    // Four characters, five bytes in UTF-8, eight in UTF-16.
    const long repeats = mib * 1024 * 1024 / 8;
    const double value_mib = static_cast<double>(repeats) * 8 / 1024 / 1024;
    if (!tds_provider_registered) {
        return 1;
    }
    char dir[] = "/tmp/vlm-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        return 1;
    }
    setenv("XDG_CONFIG_HOME", dir, 1);
    const std::string fixture = std::string(dir) + "/big.tds";
    {
        std::ofstream out(fixture);
        out << "database velmora_big\nlogin sa Velmora-Pw1\ntable dbo.big\ncolumn id int not "
               "null\ncolumn body nvarchar(max)\nprimary key PK_big (id)\nrow 1, "
               "repeat(N'Zo\xc3\xab "
               "', "
            << repeats << ")\nend\n";
    }
    int status = 0;
    {
        const bench::pinning pin = bench::pinning::of_machine();
        const bench::tds_process server(bench::companion("tds_server_main", TDS_SERVER_MAIN), dir,
                                        {fixture}, pin.tds_server);
        const int port = server.port();
        if (port == 0) {
            std::fprintf(stderr, "FAILED: the TDS test server did not start\n");
            return 1;
        }
        std::printf("one nvarchar(max) value of %.1f MiB as UTF-16 (%.1f MiB as UTF-8), each path "
                    "a process of its own\n",
                    value_mib, value_mib * 5 / 8);
        std::vector<std::string> paths = {"script"};
        if (std::getenv("VELMORA_TEST_MYSQL") != nullptr) {
            paths.push_back("mariadb");
        } else {
            std::printf("into MariaDB: skipped (VELMORA_TEST_MYSQL is not set)\n");
        }
        for (const std::string& path : paths) {
            const std::string output = std::string(dir) + "/" + path + ".out";
            const bench::child_run m =
                bench::run_child({"/proc/self/exe", "--one", path, std::to_string(port),
                                  std::to_string(value_mib), dir},
                                 output, {}, true, pin.contender);
            std::ifstream shown(output);
            std::string line;
            while (std::getline(shown, line)) {
                std::printf("%s\n", line.c_str());
            }
            if (m.exit_code != 0) {
                std::fprintf(stderr, "FAILED: %s: exit code %d\n", path.c_str(), m.exit_code);
                status = 1;
            }
        }
    }
    std::filesystem::remove_all(dir);
    return status;
}
