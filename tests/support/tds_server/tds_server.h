// tds_server: a small TDS 7.4 server for the tests. It listens on 127.0.0.1 only, serves the
// fixture databases, records every statement it receives and can be told to fail.
#pragma once

#include "tests/support/tds_server/tds_statements.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A server error to answer a statement with.
struct tds_server_error {
    std::int32_t number = 50000;
    std::uint8_t severity = 16;
    std::uint8_t state = 1;
    std::string message;
};

class tds_server {
public:
    // Serves the given fixture files (the first is the logins' default database); throws
    // tds_fixture_error for a bad file.
    explicit tds_server(const std::vector<std::string>& fixture_paths);
    explicit tds_server(std::vector<tds_fixture_database> databases);
    ~tds_server();
    tds_server(const tds_server&) = delete;
    tds_server& operator=(const tds_server&) = delete;

    // Listens on 127.0.0.1 at the given port, or a free one for 0; throws std::runtime_error
    // when the port cannot be had.
    void start(std::uint16_t port = 0);
    // Closes the listener and every connection and waits for their threads; safe to repeat.
    void stop();
    std::uint16_t port() const { return port_; }

    // A connection string for FreeTDS's ODBC driver reaching this server.
    std::string odbc_connection_string(const std::string& user, const std::string& password,
                                       const std::string& database = {}) const;

    // Every SQL batch received, in order, as the client sent it; RPC calls as "RPC name".
    std::vector<std::string> statements() const;
    void clear_statements();
    // The TDS version of every LOGIN7 received, in order, as the client sent it (0x74000004
    // for 7.4, 0x70000000 for 7.0).
    std::vector<std::uint32_t> login_versions() const;

    // Fault switches; they apply to connections made and statements sent afterwards.
    // Every login fails with error 18456.
    void refuse_logins(bool refuse);
    // A statement whose text contains `match` (ignoring case and runs of white space) gets
    // `error` instead of its answer.
    void fail_statement(const std::string& match, tds_server_error error);
    // A result of a statement containing `match` is cut after `rows` rows: half of the next row
    // is sent, then the connection is closed.
    void drop_connection_after_rows(const std::string& match, std::uint64_t rows);
    // A result of a statement containing `match` sends `rows` rows, then waits `pause` (or until
    // the server stops) before the rest: a client is caught in the middle of a table.
    void pause_after_rows(const std::string& match, std::uint64_t rows,
                          std::chrono::milliseconds pause);
    void clear_faults();

    // Rows written from now on are checked and counted but not kept (for benchmarks: the server's
    // memory stays flat); `discarded_rows` counts them.
    void discard_written_rows(bool discard);
    std::uint64_t discarded_rows();

    // The served model; it changes while sessions write, so read it only while none runs.
    const tds_catalogue& catalogue() const { return catalogue_; }

private:
    struct fault_set {
        bool refuse_logins = false;
        std::vector<std::pair<std::string, tds_server_error>> failures;
        std::vector<std::pair<std::string, std::uint64_t>> drops;
        struct pause {
            std::string match;
            std::uint64_t rows;
            std::chrono::milliseconds length;
        };
        std::vector<pause> pauses;
    };
    struct connection {
        int fd = -1;
        std::thread thread;
        std::atomic<bool> finished{false};
    };
    class session;

    void accept_loop();
    void record(std::string statement);
    void record_login(std::uint32_t tds_version);
    fault_set faults() const;
    bool stopping() const;

    tds_catalogue catalogue_;
    std::uint16_t port_ = 0;
    int listen_fd_ = -1;
    int wake_fds_[2] = {-1, -1};
    std::thread acceptor_;
    mutable std::mutex mutex_; // guards connections_, log_, login_versions_ and faults_
    std::mutex model_mutex_;   // guards the catalogue's contents, which statements change
    std::vector<std::unique_ptr<connection>> connections_;
    std::vector<std::string> log_;
    std::vector<std::uint32_t> login_versions_;
    fault_set faults_;
    bool stopping_ = false;
};
