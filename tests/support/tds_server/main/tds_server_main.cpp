// tds_server_main: runs the TDS test server by hand (tools/tds-test-server.sh starts it).
#include "tests/support/tds_server/tds_server.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <signal.h>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

namespace {

void usage() {
    std::cerr << "usage: tds_server_main [--port N] [--port-file FILE] [--log FILE]\n"
                 "                       [--refuse-logins] [--fail TEXT=NUMBER:MESSAGE]\n"
                 "                       [--drop TEXT=ROWS] [--discard-written-rows]\n"
                 "                       [--die-with-parent] FIXTURE...\n"
                 "Serves the fixture databases on 127.0.0.1 until SIGTERM or SIGINT.\n";
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> fixtures;
    std::string port_file, log_file;
    int port = 0;
    bool refuse = false, discard = false;
    std::vector<std::pair<std::string, tds_server_error>> failures;
    std::vector<std::pair<std::string, std::uint64_t>> drops;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage();
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--port") {
            port = std::atoi(value().c_str());
        } else if (a == "--port-file") {
            port_file = value();
        } else if (a == "--log") {
            log_file = value();
        } else if (a == "--refuse-logins") {
            refuse = true;
        } else if (a == "--discard-written-rows") {
            discard = true;
        } else if (a == "--die-with-parent") {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            // A parent that ended before the call above sends no signal: it has left us to init.
            if (::getppid() == 1)
                return 1;
        } else if (a == "--fail" || a == "--drop") {
            std::string spec = value();
            auto eq = spec.rfind('=');
            if (eq == std::string::npos) {
                usage();
                return 2;
            }
            std::string match = spec.substr(0, eq), rest = spec.substr(eq + 1);
            if (a == "--drop") {
                drops.emplace_back(match, std::strtoull(rest.c_str(), nullptr, 10));
                continue;
            }
            tds_server_error e;
            auto colon = rest.find(':');
            e.number = std::atoi(rest.substr(0, colon).c_str());
            e.message =
                colon == std::string::npos ? "Failed by the test server." : rest.substr(colon + 1);
            failures.emplace_back(match, e);
        } else if (a == "-h" || a == "--help") {
            usage();
            return 0;
        } else if (!a.empty() && a[0] == '-') {
            usage();
            return 2;
        } else {
            fixtures.push_back(a);
        }
    }
    if (fixtures.empty())
        fixtures.push_back(tds_fixture_dir() + "/all_types.tds");
    if (port < 0 || port > 65535) {
        usage();
        return 2;
    }

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    try {
        tds_server server(fixtures);
        server.refuse_logins(refuse);
        server.discard_written_rows(discard);
        for (auto& [m, e] : failures)
            server.fail_statement(m, e);
        for (auto& [m, n] : drops)
            server.drop_connection_after_rows(m, n);
        server.start(static_cast<std::uint16_t>(port));
        if (!port_file.empty()) {
            std::ofstream(port_file) << server.port() << "\n";
        }
        std::cout << "listening on 127.0.0.1:" << server.port() << std::endl;
        int received = 0;
        sigwait(&signals, &received);
        server.stop();
        if (!log_file.empty()) {
            std::ofstream log(log_file, std::ios::app);
            for (const auto& s : server.statements())
                log << s << "\n;\n";
        }
    } catch (const std::exception& e) {
        std::cerr << "tds_server_main: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
