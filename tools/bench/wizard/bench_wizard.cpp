// The wizard against pontrel on one table of a million rows (by default) of the TDS test server:
// the wizard runs in this process on Qt's offscreen platform through its quick launch (progress
// and finish pages), pontrel as a child with the same profile. Into a script file, and into
// MariaDB when VELMORA_TEST_MYSQL names a server. Prints rows/s of each, the wizard's rate over
// pontrel's (above 1 when the wizard was faster), and the longest gap between two ticks of a 200 ms
// timer on the GUI thread while the wizard converted (how long the window would not answer).
//
// Usage: bench_wizard [rows]        tools/bench/wizard/run.sh starts a MariaDB server for it
#include "GUI2/g_wiz_sh.h"
#include "GUI2/g_wiz_ui.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "common/cmn_start.h"
#include "converter/vlm_conv.h"
#include "converter/vlm_errh.h"
#include "platform/tds/tds_provider.h"
#include "tests/support/tds_server/tds_server.h"
#include "tools/bench/bench_mysql_env.h"
#include "tools/bench/bench_rows_fixture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

using bench::fixture_text;

using bench::mysql_address;
using bench::mysql_from_env;

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double run_pontrel(const std::string& profile, const std::string& dest) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        const std::string profile_arg = "--profile=" + profile;
        const std::string dest_arg = "--dest=" + dest;
        execl(PONTREL_PATH, PONTREL_PATH, profile_arg.c_str(), dest_arg.c_str(), "--silent",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    const double took = seconds_since(start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::printf("  pontrel failed (status %d)\n", status);
    }
    return took;
}

struct wizard_measure {
    double seconds = 0;
    qint64 longest_gap_ms = 0;
    int exit_code = -1;
};

wizard_measure run_wizard(const std::string& profile) {
    wizard_measure m;
    QElapsedTimer since_tick;
    QTimer ticks;
    ticks.setInterval(200);
    QObject::connect(&ticks, &QTimer::timeout, [&] {
        m.longest_gap_ms = std::max(m.longest_gap_ms, since_tick.restart());
        auto* shell = tk_singleton<wizard_shell>::pointer();
        if (shell != nullptr && shell->currentPage() != nullptr &&
            shell->currentPage()->objectName() == "116") {
            shell->button(QWizard::FinishButton)->click();
        }
    });
    since_tick.start();
    ticks.start();
    const auto start = std::chrono::steady_clock::now();
    m.exit_code = velmora_start(profile);
    m.seconds = seconds_since(start);
    return m;
}

// pontrel runs before and after the wizard, so that a server that slows down as it fills
// (or a busy machine) weighs on both; the wizard is compared with their mean.
void report(const char* road, unsigned long rows, double pontrel_before, double pontrel_after,
            const wizard_measure& wizard) {
    const double pontrel = (pontrel_before + pontrel_after) / 2;
    std::printf("%-8s pontrel %7.2f s and %7.2f s %9.0f rows/s | wizard %7.2f s %9.0f rows/s%s | "
                "wizard rows/s over pontrel rows/s %.2f (above 1: the wizard was faster) | "
                "longest tick gap %lld ms\n",
                road, pontrel_before, pontrel_after, rows / pontrel, wizard.seconds,
                rows / wizard.seconds, wizard.exit_code == 0 ? "" : " (FAILED)",
                pontrel / wizard.seconds, static_cast<long long>(wizard.longest_gap_ms));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    const unsigned long rows = argc > 1 ? std::stoul(argv[1]) : 1000000;
    const std::filesystem::path work =
        std::filesystem::temp_directory_path() / ("bench-wizard-" + std::to_string(getpid()));
    std::filesystem::create_directories(work / "config");
    setenv("XDG_CONFIG_HOME", (work / "config").c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);

    std::vector<tds_fixture_database> databases;
    databases.push_back(tds_parse_fixture(fixture_text(rows), "bench"));
    tds_server server(std::move(databases));
    server.start();

    tds_register_provider();
    tk_logger logger(nullptr, false, 3, false);
    error_handler handler(err_map_oledb_size, err_map_oledb);
    handler.load_err_map(err_map_mysql_size, err_map_mysql);
    QApplication app(argc, argv);
    wizard_ui ui;
    // Each run a profile, as the finish page writes them.
    const auto write_profile = [&](bool direct, const std::string& dest, const mysql_address* my,
                                   const std::string& name) {
        velmora_convertor converter;
        converter.mssqlh = tk_utf8_to_wstring("127.0.0.1," + std::to_string(server.port()));
        converter.sec_log = false;
        converter.mssqlu = L"sa";
        converter.mssqlp = L"Velmora-Pw1";
        converter.src = L"velmora_bench";
        converter.direct = direct;
        if (my != nullptr) {
            converter.store_mysql_settings(my->host, my->user, my->password, my->port);
        }
        converter.dest = tk_utf8_to_wstring(dest);
        converter.mode = 0;
        converter.selected_queries = {{L"dbo.rows_1m", L""}};
        const std::string path = (work / name).string();
        save_profile_file(converter, tk_utf8_to_wstring(path));
        return path;
    };

    std::printf("wizard and pontrel, %lu rows of dbo.rows_1m\n\n", rows);
    const std::string script = (work / "wizard.sql").string();
    const std::string script_profile = write_profile(false, script, nullptr, "script.vlm");
    const double script_before = run_pontrel(script_profile, (work / "pontrel.sql").string());
    const wizard_measure script_wizard = run_wizard(script_profile);
    const double script_after = run_pontrel(script_profile, (work / "pontrel.sql").string());
    report("script", rows, script_before, script_after, script_wizard);

    mysql_address mysql;
    if (mysql_from_env(mysql)) {
        const std::string server_profile =
            write_profile(true, "bench_wizard", &mysql, "server.vlm");
        // Mode 0: each run drops the database of the one before.
        const double before = run_pontrel(server_profile, "bench_wizard");
        const wizard_measure wizard = run_wizard(server_profile);
        const double after = run_pontrel(server_profile, "bench_wizard");
        report("MariaDB", rows, before, after, wizard);
    } else {
        std::printf("\n(VELMORA_TEST_MYSQL is not set: no MariaDB runs; see run.sh)\n");
    }
    std::filesystem::remove_all(work);
    return 0;
}
