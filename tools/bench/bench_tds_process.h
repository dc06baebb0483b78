// The TDS test server as a process of its own, pinned apart from what a benchmark measures, so
// that neither its CPU time nor its copy of the rows counts towards a contender's.
#pragma once

#include "tools/bench/bench_child.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace bench {

class tds_process {
public:
    // `program` is tds_server_main; `extra` are options before the fixture files.
    tds_process(const std::string& program, const std::string& dir,
                const std::vector<std::string>& fixtures, int processor,
                const std::vector<std::string>& extra = {}) {
        port_file_ = dir + "/tds.port";
        std::vector<std::string> args = {program, "--port-file", port_file_, "--die-with-parent"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.end(), fixtures.begin(), fixtures.end());
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            pin_to(processor);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    tds_process(const tds_process&) = delete;
    tds_process& operator=(const tds_process&) = delete;
    ~tds_process() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    // The port once the server listens (it reads its fixtures first); 0 when it did not start.
    int port() const {
        for (int i = 0; i < 2400 && pid_ > 0; ++i) {
            std::ifstream in(port_file_);
            int port = 0;
            if (in >> port && port > 0) {
                return port;
            }
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                return 0;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return 0;
    }
    std::string odbc_connection_string(const std::string& database) const {
        return "DRIVER={FreeTDS};SERVER=127.0.0.1;PORT=" + std::to_string(port()) +
               ";TDS_Version=7.4;UID=sa;PWD={Velmora-Pw1};DATABASE=" + database + ";";
    }

private:
    pid_t pid_ = -1;
    std::string port_file_;
};

} // namespace bench
