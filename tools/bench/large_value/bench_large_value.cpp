// Converts a table of one row whose nvarchar(max) value is N MiB as SQL Server holds it (UTF-16;
// default 100) through the whole driver, into a script file and, with VELMORA_TEST_MYSQL set, into
// the MariaDB test server, and prints the peak resident memory each run adds to the process,
// beside the value's size: the copies the row path makes of one value.
//
// Usage: [VELMORA_TEST_MYSQL=...] bench_large_value [MiB]
#include "converter/vlm_conv.h"
#include "converter/vlm_errh.h"
#include "converter/vlm_ui.h"
#include "MSS/mss_db.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "platform/tds/tds_provider.h"
#include "tools/bench/bench_memory.h"
#include "tools/bench/bench_ui.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

extern char** environ;

namespace {

using bench::peak_kib;
using bench::bench_ui;
using bench::reset_peak;

// The TDS test server as a child process that ends with this one.
class server_process {
public:
    server_process(const std::string& dir, const std::string& fixture) {
        port_file_ = dir + "/port";
        const std::string program = TDS_SERVER_MAIN;
        std::vector<std::string> args = {program, "--port-file", port_file_, "--die-with-parent",
                                         fixture};
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
    }
    ~server_process() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    // The port once the server listens (it reads the fixture first); 0 when it did not start.
    int port() const {
        for (int i = 0; i < 1200 && pid_ > 0; ++i) {
            std::ifstream in(port_file_);
            int port = 0;
            if (in >> port && port > 0) {
                return port;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return 0;
    }

private:
    pid_t pid_ = -1;
    std::string port_file_;
};

void report(const char* what, double seconds, long base_kib, long peak, double value_mib) {
    const double added = (peak - base_kib) / 1024.0;
    std::printf("%-22s %7.2f s  peak %8.1f MiB  added %8.1f MiB  = %4.2f x the value\n", what,
                seconds, peak / 1024.0, added, added / value_mib);
}

} // namespace

int main(int argc, char** argv) {
    const long mib = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 100;
    // Four characters, five bytes in UTF-8, eight in UTF-16.
    const long repeats = mib * 1024 * 1024 / 8;
    const double value_mib = static_cast<double>(repeats) * 8 / 1024 / 1024;
    const char* env = std::getenv("VELMORA_TEST_MYSQL");
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
    int status = 1;
    {
        server_process server(dir, fixture);
        const int port = server.port();
        if (port == 0) {
            std::fprintf(stderr, "the TDS test server did not start\n");
            return 1;
        }
        std::printf("one nvarchar(max) value of %.1f MiB as UTF-16 (%.1f MiB as UTF-8)\n",
                    value_mib, value_mib * 5 / 8);

        tk_logger logger(nullptr, false, 3, false);
        error_handler handler(err_map_oledb_size, err_map_oledb);
        handler.load_err_map(err_map_mysql_size, err_map_mysql);
        bench_ui ui;
        velmora_convertor converter(vlm_program::console);
        converter.mss->connect(L"127.0.0.1," + std::to_wstring(port), L"sa", L"Velmora-Pw1", true);
        converter.src = L"velmora_big";
        converter.selected_tables = {L"big"};

        const auto run = [&](const char* what) {
            converter.check_dest();
            reset_peak();
            const long base = peak_kib();
            const auto start = std::chrono::steady_clock::now();
            converter();
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            report(what, took.count(), base, peak_kib(), value_mib);
        };

        converter.direct = false;
        converter.dest = tk_utf8_to_wstring(std::string(dir) + "/big.sql");
        run("into a script file");
        std::filesystem::remove(std::string(dir) + "/big.sql");

        if (env != nullptr) {
            converter.direct = true;
            bench::store_test_mysql(converter);
            converter.connect_mysql_server();
            converter.dest = L"velmora_bench_big";
            converter.mode = 0;
            run("into MariaDB");
            converter.del_mysql_base(converter.dest);
        } else {
            std::printf("into MariaDB: skipped (VELMORA_TEST_MYSQL is not set)\n");
        }
        status = ui.failures == 0 ? 0 : 1;
    }
    std::filesystem::remove_all(dir);
    return status;
}
