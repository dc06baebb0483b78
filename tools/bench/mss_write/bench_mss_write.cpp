// Writes the rows of audit.many_rows (a million rows of the shop fixture) read by the MS SQL
// source into new tables of the TDS test server through the MS SQL writer, in interleaved rounds
// beside peers that write the same rows into the same server in the same run (A B A B ...):
//   - bulk load beside tedious's bulk load and freebcp's `in` of the same rows from a file;
//   - INSERT statements beside FreeTDS's tsql and tedious sending the same statements, one a
//     row (a round trip each).
// Prints the min and median of wall and CPU time and the per-round ratios. The peers are part
// of the benchmark: without node, tests/tedious's packages, freebcp or tsql it fails rather than
// print a figure without its peer (tools/bench/mss_write/run.sh installs them through
// tools/setup.sh).
//   bench_mss_write [rows] [rounds] [insert rows]    (default: all rows, 3, 100000)
#include "MSS/mss_db.h"
#include "MSS/mss_engi.h"
#include "MSS/mss_tab.h"
#include "MSS/odb_cmd.h"
#include "TK/tk_excep.h"
#include "TK/tk_utils.h"
#include "platform/com/com_api.h"
#include "platform/tds/tds_provider.h"
#include "tests/support/tds_server/tds_server.h"
#include "tools/bench/bench_child.h"
#include "tools/bench/bench_stats.h"
#include "tools/bench/bench_memory.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using bench::median_of;
using bench::min_of;

using bench::peak_kib;
using bench::reset_peak;

struct measured {
    std::uint64_t rows = 0;
    double seconds = 0;
    double cpu_seconds = 0;
    long peak = 0;
    bool failed = false;
};

using bench::cpu_of;

double self_cpu() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return cpu_of(u);
}

// The runs of one contender, one per round.
struct series {
    std::string what;
    std::vector<measured> runs;
};

void print(const series& s) {
    std::vector<double> wall;
    std::vector<double> cpu;
    std::uint64_t rows = 0;
    long peak = 0;
    std::size_t failed = 0;
    for (const measured& m : s.runs) {
        if (m.failed) {
            ++failed;
            continue;
        }
        wall.push_back(m.seconds);
        cpu.push_back(m.cpu_seconds);
        rows = m.rows;
        peak = std::max(peak, m.peak);
    }
    if (wall.empty()) {
        std::printf("%-34s no round succeeded\n", s.what.c_str());
        return;
    }
    std::printf("%-34s %9llu rows %7.2f %7.2f s %9.0f rows/s  CPU %6.2f %6.2f s  peak %ld KiB%s\n",
                s.what.c_str(), static_cast<unsigned long long>(rows), min_of(wall),
                median_of(wall), median_of(wall) > 0 ? rows / median_of(wall) : 0.0, min_of(cpu),
                median_of(cpu), peak, failed > 0 ? "  (failed rounds left out)" : "");
}

// The per-round ratios of `a` to `b` (wall and CPU time) over the rounds where both succeeded:
// min and median.
void ratio(const series& a, const series& b) {
    std::vector<double> wall;
    std::vector<double> cpu;
    for (std::size_t i = 0; i < std::min(a.runs.size(), b.runs.size()); ++i) {
        if (!a.runs[i].failed && !b.runs[i].failed) {
            wall.push_back(a.runs[i].seconds / b.runs[i].seconds);
            cpu.push_back(a.runs[i].cpu_seconds / b.runs[i].cpu_seconds);
        }
    }
    std::printf("  %-26s / %-31s time %5.2f %5.2f  CPU %5.2f %5.2f  (%zu rounds)\n", a.what.c_str(),
                b.what.c_str(), min_of(wall), median_of(wall), min_of(cpu), median_of(cpu),
                wall.size());
}

void create_copy(mss_database& db, const std::wstring& table) {
    odb_command(db.session.get())
        .execute(L"CREATE TABLE " + table +
                 L" ([id] int NOT NULL PRIMARY KEY, [label] nvarchar(40) NOT NULL, "
                 L"[amount] decimal(12,2) NULL)");
}

// Reads up to `rows` rows; writes them to `target` unless it is empty. Wall and CPU time
// include the reading, as a conversion has it.
measured run(mss_engine& engine, mss_database& db, const std::wstring& target, bool fast,
             std::uint64_t rows) {
    engine.enable_fast_load(engine.data_source(), fast);
    auto from = db.get_table(L"audit.many_rows", 1);
    std::unique_ptr<mss_table> to;
    if (!target.empty()) {
        create_copy(db, target);
        to = std::make_unique<mss_table>(target, db.session.get(), from->schema, &db);
    }
    reset_peak();
    measured m;
    const double cpu = self_cpu();
    const auto start = std::chrono::steady_clock::now();
    for (from->reset(); !from->is_eof() && m.rows < rows; from->next()) {
        if (to) {
            to->append_record(*from->get_item());
        }
        ++m.rows;
    }
    to.reset(); // the last batch is committed here
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.cpu_seconds = self_cpu() - cpu;
    m.peak = peak_kib();
    return m;
}

// Runs `args` as a child, its input from `in_path` and its output and errors into `out_path`;
// its wall and CPU time, peak memory.
measured run_child(const std::vector<std::string>& args, const std::string& out_path,
                   const std::string& in_path = "/dev/null") {
    const bench::child_run child = bench::run_child(args, out_path, in_path, true);
    measured m;
    m.seconds = child.seconds;
    m.cpu_seconds = child.cpu_seconds;
    m.peak = child.peak_kib;
    m.failed = child.exit_code != 0;
    return m;
}

std::string first_line(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// tedious writing `rows` rows into `table` (bulk load or INSERT statements). Its time is the
// load's own (its script measures it after the login); CPU and memory are node's whole process.
measured tedious(std::uint16_t port, std::uint64_t rows, const std::string& table, const char* mode,
                 const std::string& out) {
    const std::string dir = VELMORA_SOURCE_DIR;
    setenv("TEDIOUS_DIR", (dir + "/tests/tedious").c_str(), 1);
    measured m = run_child({"node", dir + "/tools/bench/mss_write/tedious_peer.js",
                            std::to_string(port), std::to_string(rows), table, mode},
                           out);
    const std::string line = first_line(out);
    unsigned long long written = 0;
    double seconds = 0;
    if (m.failed || std::sscanf(line.c_str(), "%llu %lf", &written, &seconds) != 2 ||
        written != rows) {
        std::fprintf(stderr, "FAILED: tedious (%s): exit code or output: %s\n%s", mode,
                     line.c_str(), bench::tail_of(out).c_str());
        m.failed = true;
        return m;
    }
    m.rows = written;
    m.seconds = seconds;
    return m;
}

// The rows of audit.many_rows as freebcp's character format reads them.
void write_bcp_file(const std::string& path, std::uint64_t rows) {
    std::ofstream out(path);
    for (std::uint64_t n = 1; n <= rows; ++n) {
        out << n << "\trow " << n << '\t' << n << ".25\n";
    }
}

// The INSERT statements the writer sends for the rows of audit.many_rows, one batch each, as
// FreeTDS's tsql reads them.
void write_insert_batches(const std::string& path, const std::string& table, std::uint64_t rows) {
    std::ofstream out(path);
    for (std::uint64_t n = 1; n <= rows; ++n) {
        out << "INSERT INTO " << table << "([id], [label], [amount]) VALUES( " << n << ", N'row "
            << n << "', " << n << ".25)\ngo\n";
    }
}

// Whether a line of the output file `out` holds `text`.
bool says(const std::string& out, const std::string& text) {
    std::ifstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        if (line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// Whether the peers can run at all: failing here beats a figure without its peer.
bool peers_installed() {
    const std::string dir = VELMORA_SOURCE_DIR;
    bool ok = true;
    if (std::system("command -v node >/dev/null 2>&1") != 0 ||
        !std::ifstream(dir + "/tests/tedious/node_modules/tedious/package.json")) {
        std::fprintf(stderr,
                     "tedious is not installed (node and %s/tests/tedious/node_modules): "
                     "run tools/setup.sh\n",
                     dir.c_str());
        ok = false;
    }
    if (std::system("command -v freebcp >/dev/null 2>&1") != 0 ||
        std::system("command -v tsql >/dev/null 2>&1") != 0) {
        std::fprintf(stderr, "freebcp and tsql are not installed (Debian's freetds-bin): run "
                             "tools/setup.sh\n");
        ok = false;
    }
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    const std::uint64_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const std::uint64_t insert_rows =
        std::min<std::uint64_t>(rows, argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 100000);
    if (!tds_provider_registered || !peers_installed()) {
        return 1;
    }
    // The server runs in a process of its own, so that the rows it stores do not count towards
    // the writer's memory; it keeps none of the written rows, so that rounds do not fill it.
    // It answers each byte on `asks` with the count of rows written so far, so that every
    // round's rows are counted.
    int ports[2];
    int asks[2];
    if (pipe(ports) != 0 || pipe(asks) != 0) {
        return 1;
    }
    const bench::pinning pin = bench::pinning::of_machine();
    const pid_t child = fork();
    if (child == 0) {
        bench::pin_to(pin.tds_server);
        tds_server server({tds_fixture_dir() + "/shop.tds"});
        server.discard_written_rows(true);
        server.start();
        const std::uint16_t port = server.port();
        if (write(ports[1], &port, sizeof port) != sizeof port) {
            _exit(1);
        }
        char ask = 0;
        while (read(asks[0], &ask, 1) == 1) {
            const std::uint64_t written = server.discarded_rows();
            if (write(ports[1], &written, sizeof written) != sizeof written) {
                _exit(1);
            }
        }
        _exit(0);
    }
    std::uint16_t port = 0;
    if (child < 0 || read(ports[0], &port, sizeof port) != sizeof port) {
        return 1;
    }
    bench::pin_to(pin.contender);
    auto written_so_far = [&]() -> std::uint64_t {
        std::uint64_t written = 0;
        const char ask = 1;
        if (write(asks[1], &ask, 1) != 1 ||
            read(ports[0], &written, sizeof written) != sizeof written) {
            return 0;
        }
        return written;
    };
    // Fails `m` when the server did not get `expected` rows since `before`.
    auto check_written = [&](measured& m, std::uint64_t before, std::uint64_t expected,
                             const char* what) {
        const std::uint64_t got = written_so_far() - before;
        if (got != expected) {
            std::fprintf(stderr, "FAILED: %s: the server got %llu rows, not %llu\n", what,
                         static_cast<unsigned long long>(got),
                         static_cast<unsigned long long>(expected));
            m.failed = true;
        }
    };
    const std::string work = "/tmp/bench-mss-write-" + std::to_string(getpid());
    std::filesystem::create_directories(work);
    const std::string freetds_conf = work + "/freetds.conf";
    std::ofstream(freetds_conf) << "[bench]\n\thost = 127.0.0.1\n\tport = " << port
                                << "\n\ttds version = 7.4\n\tclient charset = UTF-8\n";
    setenv("FREETDSCONF", freetds_conf.c_str(), 1);
    const std::string out = work + "/peer.out";
    const std::string data = work + "/rows.bcp";
    const std::string batches = work + "/inserts.sql";
    CoInitialize(nullptr);
    int status = 0;
    try {
        mss_engine engine(1);
        engine.connect(L"127.0.0.1," + std::to_wstring(port), L"sa", L"Velmora-Pw1", true);
        auto db = engine.open_db(L"velmora_shop", 1, L"");
        const measured read_only = run(engine, *db, L"", false, rows);
        const std::uint64_t bulk_rows = read_only.rows;
        write_bcp_file(data, bulk_rows);
        std::printf("MS SQL writer into the TDS test server, %d interleaved rounds\n", rounds);
        bench::print_load("before");
        std::printf("%s\n", pin.said().c_str());
        std::printf("\n%-34s %14s %7s %7s %19s %6s %6s\n", "", "", "min", "median", "", "min",
                    "median");
        series reading{"reading alone", {}};
        series bulk{"writer, bulk load", {}};
        series tedious_bulk{"peer: tedious, bulk load", {}};
        series bcp{"peer: freebcp in from a file", {}};
        series insert{"writer, INSERT statements", {}};
        series tedious_insert{"peer: tedious, the same INSERTs", {}};
        series tsql_insert{"peer: tsql, the same INSERTs", {}};
        for (int round = 0; round < rounds; ++round) {
            const std::string n = std::to_string(round);
            const std::wstring w = std::to_wstring(round);
            // Runs one contender and counts the rows the server got from it.
            auto counted = [&](series& s, std::uint64_t expected, auto&& contender) {
                const std::uint64_t before = written_so_far();
                measured m = contender();
                check_written(m, before, expected, s.what.c_str());
                s.runs.push_back(m);
            };
            counted(reading, 0, [&] { return run(engine, *db, L"", false, rows); });
            counted(bulk, bulk_rows,
                    [&] { return run(engine, *db, L"[dbo].[copy_bulk_" + w + L"]", true, rows); });
            counted(tedious_bulk, bulk_rows, [&] {
                return tedious(port, bulk_rows, "[dbo].[tedious_bulk_" + n + "]", "bulk", out);
            });
            create_copy(*db, L"[dbo].[bcp_copy_" + w + L"]");
            counted(bcp, bulk_rows, [&] {
                measured m =
                    run_child({"freebcp", "dbo.bcp_copy_" + n, "in", data, "-c", "-S", "bench",
                               "-U", "sa", "-P", "Velmora-Pw1", "-D", "velmora_shop", "-b", "1000"},
                              out);
                m.rows = bulk_rows;
                m.failed = m.failed || !says(out, std::to_string(bulk_rows) + " rows copied");
                if (m.failed) {
                    std::fprintf(stderr, "FAILED: freebcp: %s\n%s", first_line(out).c_str(),
                                 bench::tail_of(out).c_str());
                }
                return m;
            });
            counted(insert, insert_rows, [&] {
                return run(engine, *db, L"[dbo].[copy_insert_" + w + L"]", false, insert_rows);
            });
            counted(tedious_insert, insert_rows, [&] {
                return tedious(port, insert_rows, "[dbo].[tedious_insert_" + n + "]", "insert",
                               out);
            });
            const std::string tsql_table = "[dbo].[tsql_insert_" + n + "]";
            create_copy(*db, tk_to_wstring(tsql_table));
            write_insert_batches(batches, tsql_table, insert_rows);
            counted(tsql_insert, insert_rows, [&] {
                measured m = run_child({"tsql", "-S", "bench", "-U", "sa", "-P", "Velmora-Pw1",
                                        "-D", "velmora_shop", "-o", "q"},
                                       out, batches);
                m.rows = insert_rows;
                // tsql ends with 0 whatever the server answered: a message is a failure.
                m.failed = m.failed || says(out, "Msg ");
                if (m.failed) {
                    std::fprintf(stderr, "FAILED: tsql: %s\n%s", first_line(out).c_str(),
                                 bench::tail_of(out).c_str());
                }
                return m;
            });
        }
        for (const series* s :
             {&reading, &bulk, &tedious_bulk, &bcp, &insert, &tsql_insert, &tedious_insert}) {
            print(*s);
            for (const measured& m : s->runs) {
                status = m.failed ? 1 : status;
            }
        }
        std::printf("\nratios over the rounds (min and median of the per-round ratios)\n");
        ratio(bulk, tedious_bulk);
        ratio(bulk, bcp);
        ratio(insert, tsql_insert);
        ratio(insert, tedious_insert);
        bench::print_load("after");
    } catch (const tk_exception& e) {
        std::fprintf(stderr, "failed: %s\n", e.message.c_str());
        status = 1;
    }
    CoUninitialize();
    kill(child, SIGTERM);
    waitpid(child, nullptr, 0);
    std::filesystem::remove_all(work);
    return status;
}
