// Writes the rows of audit.many_rows (a million rows of the shop fixture) read by the MS SQL
// source into a new table of the TDS test server through the MS SQL writer, once by bulk load
// and once by INSERT statements, and prints rows/s, MB/s (the values' text lengths) and the peak
// memory of each; the source's reading alone is measured first as the floor. Run on demand:
//   bench_mss_write [rows]          (default: all rows; INSERT statements take minutes)
#include "MSS/mss_db.h"
#include "MSS/mss_engi.h"
#include "MSS/mss_tab.h"
#include "MSS/odb_cmd.h"
#include "TK/tk_excep.h"
#include "platform/com/com_api.h"
#include "platform/tds/tds_provider.h"
#include "tests/support/tds_server/tds_server.h"
#include "tools/bench/bench_memory.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

using bench::peak_kib;
using bench::reset_peak;

struct measured {
    std::uint64_t rows = 0;
    std::uint64_t bytes = 0;
    double seconds = 0;
    long peak = 0;
};

void print(const char* what, const measured& m) {
    std::printf("%-24s %9llu rows %8.2f s %10.0f rows/s %7.2f MB/s  peak %ld KiB\n", what,
                static_cast<unsigned long long>(m.rows), m.seconds,
                m.seconds > 0 ? m.rows / m.seconds : 0.0,
                m.seconds > 0 ? m.bytes / m.seconds / 1e6 : 0.0, m.peak);
}

// Reads up to `rows` rows; writes them to `target` unless it is empty.
measured run(mss_engine& engine, mss_database& db, const std::wstring& target, bool fast,
             std::uint64_t rows) {
    engine.enable_fast_load(engine.data_source(), fast);
    auto from = db.get_table(L"audit.many_rows", 1);
    std::unique_ptr<mss_table> to;
    if (!target.empty()) {
        odb_command(db.session.get())
            .execute(L"CREATE TABLE " + target +
                     L" ([id] int NOT NULL PRIMARY KEY, [label] nvarchar(40) NOT NULL, "
                     L"[amount] decimal(12,2) NULL)");
        to = std::make_unique<mss_table>(target, db.session.get(), from->schema, &db);
    }
    reset_peak();
    measured m;
    const auto start = std::chrono::steady_clock::now();
    for (from->reset(); !from->is_eof() && m.rows < rows; from->next()) {
        const udb_record& record = *from->get_item();
        for (const auto& f : record) {
            m.bytes += f->to_string().size();
        }
        if (to) {
            to->append_record(record);
        }
        ++m.rows;
    }
    to.reset(); // the last batch is committed here
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.peak = peak_kib();
    return m;
}

// tedious's bulk load of the same rows into the same server, when node and tests/tedious's
// packages are there (tools/setup.sh installs them).
void tedious(std::uint16_t port, std::uint64_t rows) {
    const std::string dir = VELMORA_SOURCE_DIR;
    const std::string command = "TEDIOUS_DIR='" + dir + "/tests/tedious' node '" + dir +
                                "/tools/bench/mss_write/tedious_bulk.js' " + std::to_string(port) +
                                " " + std::to_string(rows) + " 2>&1";
    FILE* out = popen(command.c_str(), "r");
    char line[512] = {};
    const bool got = out != nullptr && std::fgets(line, sizeof line, out) != nullptr;
    if (out != nullptr) {
        pclose(out);
    }
    unsigned long long loaded = 0;
    double seconds = 0;
    long rss = 0;
    if (!got || std::sscanf(line, "%llu %lf %ld", &loaded, &seconds, &rss) != 3) {
        std::printf("tedious bulk load        not run: %s", got ? line : "no output\n");
        return;
    }
    // The values' text lengths as the writer's rows count them: id, "row n", n.25.
    std::uint64_t bytes = 0;
    for (std::uint64_t n = 1; n <= loaded; ++n) {
        const std::size_t digits = std::to_string(n).size();
        bytes += digits + 4 + digits + digits + 3;
    }
    measured m;
    m.rows = loaded;
    m.bytes = bytes;
    m.seconds = seconds;
    m.peak = rss / 1024;
    print("tedious bulk load", m);
}

} // namespace

int main(int argc, char** argv) {
    const std::uint64_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : UINT64_MAX;
    if (!tds_provider_registered) {
        return 1;
    }
    // The server runs in a process of its own, so that the rows it stores do not count towards
    // the writer's memory.
    int ports[2];
    if (pipe(ports) != 0) {
        return 1;
    }
    const pid_t child = fork();
    if (child == 0) {
        tds_server server({tds_fixture_dir() + "/shop.tds"});
        server.start();
        const std::uint16_t port = server.port();
        if (write(ports[1], &port, sizeof port) != sizeof port) {
            _exit(1);
        }
        pause();
        _exit(0);
    }
    std::uint16_t port = 0;
    if (child < 0 || read(ports[0], &port, sizeof port) != sizeof port) {
        return 1;
    }
    CoInitialize(nullptr);
    int status = 0;
    try {
        mss_engine engine(1);
        engine.connect(L"127.0.0.1," + std::to_wstring(port), L"sa", L"Velmora-Pw1", true);
        auto db = engine.open_db(L"velmora_shop", 1, L"");
        print("read only", run(engine, *db, L"", false, rows));
        print("bulk load", run(engine, *db, L"[dbo].[copy_bulk]", true, rows));
        print("INSERT statements", run(engine, *db, L"[dbo].[copy_insert]", false, rows));
        tedious(port, rows == UINT64_MAX ? 1000000 : rows);
    } catch (const tk_exception& e) {
        std::fprintf(stderr, "failed: %s\n", e.message.c_str());
        status = 1;
    }
    CoUninitialize();
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
    return status;
}
