// Input written to make pontrel run statements, connect elsewhere, overwrite files or eat
// memory: each is refused with its message, and the data it aimed at survives.
#include "tests/agent/agent_test_support.h"
#include "tests/support/tds_server/tds_server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using agent_test::mysql_client;
using agent_test::read_file;
using agent_test::row;
using agent_test::run_pontrel;
using agent_test::run_result;
using agent_test::temp_dir;

constexpr int exit_failed = 255;

// pontrel started in the background, its output thrown away; killed at the end if still running.
class background_pontrel {
public:
    background_pontrel(const std::vector<std::string>& args, const std::string& work_dir) {
        std::vector<std::string> env = {"LC_ALL=C.UTF-8",
                                        "XDG_CONFIG_HOME=" + work_dir + "/config"};
        std::vector<char*> argv{const_cast<char*>(PONTREL_PATH)};
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& e : env) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            std::freopen("/dev/null", "w", stdout);
            std::freopen("/dev/null", "w", stderr);
            execve(PONTREL_PATH, argv.data(), envp.data());
            _exit(127);
        }
    }
    ~background_pontrel() {
        if (!ended_) {
            kill(pid_, SIGKILL);
            wait();
        }
    }
    background_pontrel(const background_pontrel&) = delete;
    background_pontrel& operator=(const background_pontrel&) = delete;

    pid_t pid() const { return pid_; }
    // Waits for the end; the exit code as the shell shows it, the peak resident set in KiB.
    std::pair<int, long> wait() {
        int status = 0;
        rusage usage{};
        wait4(pid_, &status, 0, &usage);
        ended_ = true;
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, usage.ru_maxrss};
    }

private:
    pid_t pid_ = -1;
    bool ended_ = false;
};

// A TCP port on 127.0.0.1 that accepts connections and never answers.
class silent_listener {
public:
    silent_listener() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(fd_, 4);
        socklen_t size = sizeof address;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
    }
    ~silent_listener() { close(fd_); }
    silent_listener(const silent_listener&) = delete;
    silent_listener& operator=(const silent_listener&) = delete;
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

class HostileInput : public agent_test::tds_suite<HostileInput> {
public:
    static std::vector<std::string> fixture_files() {
        return {std::string(AGENT_FIXTURE_DIR) + "/agent.tds"};
    }

protected:
    void SetUp() override { ASSERT_TRUE(db.connected()); }

    // A database the hostile input aims at; each test has its own, as tests run in parallel.
    void make_victim(const std::string& name) {
        victim_ = name;
        used(name);
        db.exec("DROP DATABASE IF EXISTS " + name);
        db.exec("CREATE DATABASE " + name);
        db.exec("CREATE TABLE " + name + ".kept (id INT)");
        db.exec("INSERT INTO " + name + ".kept VALUES (7)");
    }
    void TearDown() override {
        if (!db.connected()) {
            return;
        }
        for (const std::string& database : used_) {
            db.exec("DROP DATABASE IF EXISTS `" + database + "`");
        }
    }
    // A database the test may leave behind, dropped when it ends.
    void used(const std::string& name) { used_.push_back(name); }

    static std::vector<std::string> source_args() {
        return {"--mssqlh=" + mssql_host(), "--mssqlu=sa", "--mssqlp=Velmora-Pw1",
                "--src=velmora_agent"};
    }
    std::vector<std::string> with(std::vector<std::string> all,
                                  const std::vector<std::string>& extra) const {
        all.insert(all.end(), extra.begin(), extra.end());
        return all;
    }

    void expect_victim_intact() {
        EXPECT_EQ(db.query("SELECT id FROM " + victim_ + ".kept"), std::vector<row>{{"7"}});
        EXPECT_FALSE(db.query("SELECT COUNT(*) FROM mysql.user").empty());
        EXPECT_TRUE(db.query("SHOW DATABASES LIKE 'h18a_x'").empty());
    }

    void write_registry(bool new_version) {
        std::filesystem::create_directories(dir.file("config/velmora"));
        dir.write("config/velmora/registry", std::string("; velmora registry: HKEY_CURRENT_USER\n"
                                                         "[Software\\Quintaro\\Velmora]\n"
                                                         "\"dmp_ins_db\"=dword:00000001\n"
                                                         "\"dmp_new_ver\"=dword:0000000") +
                                                 (new_version ? "1" : "0") + "\n; end\n");
    }

    // Replays the script with the mariadb client, as a user would, without naming a database.
    std::string replay(const std::string& script) {
        return test_support::replay_script(db.server, "", script);
    }

    mysql_client db;

private:
    std::string victim_ = "victim";
    std::vector<std::string> used_;
};

// A host is one host: the client library must never see a connection string or a failover list.
// The source server named here refuses at once, so a check made after its connection would show
// its error instead.
TEST_F(HostileInput, MysqlHostsThatAreNotOneHostAreRefusedBeforeAnyConnection) {
    make_victim("victim_host");
    const char* hosts[] = {
        "host=127.0.0.1;init-command=CREATE DATABASE h18a_x",
        "abc;",
        "127.0.0.1,127.0.0.1",
        "127.0.0.1 ",
        "localhost/../x",
        "[::1]",
        "-h127.0.0.1",
    };
    for (const char* host : hosts) {
        SCOPED_TRACE(host);
        const std::vector<std::string> refused_source = {"--mssqlh=127.0.0.1,1", "--mssqlu=sa",
                                                         "--mssqlp=x", "--src=a", "--dest=h18a_x"};
        auto result =
            run_pontrel(with(refused_source, {std::string("--mysqlh=") + host}), dir.path());
        // Blanks around a command-line value are trimmed, as before: "127.0.0.1 " is a host.
        if (std::string(host) == "127.0.0.1 ") {
            EXPECT_EQ(result.out.find("Invalid MySQL host"), std::string::npos) << result.out;
            continue;
        }
        EXPECT_EQ(result.exit_code, exit_failed);
        EXPECT_EQ(result.out.rfind("Error:\nInvalid MySQL host: '", 0), 0u) << result.out;

        // The same host from a profile.
        const std::string profile = dir.write(
            "host.vlm", std::string("[MySQL settings]\nhost=") + host +
                            "\nuser=root\nport=3306\n[MS SQL Server settings]\n"
                            "server=127.0.0.1,1\nlogin=sa\npassword=x\nwindows authentication=0\n"
                            "[Generic settings]\nsrc=a\ndest=h18a_x\n");
        result = run_pontrel({"--profile=" + profile}, dir.path());
        EXPECT_EQ(result.exit_code, exit_failed);
        EXPECT_EQ(result.out.rfind("Error:\nInvalid MySQL host: '", 0), 0u) << result.out;
    }
    expect_victim_intact();
}

// A password is not parsed: every character a password may hold reaches the server as typed.
TEST_F(HostileInput, PasswordsWithSeparatorsStillLogIn) {
    const std::string password = "a;b,c=d 'e\"f\\g host=x;";
    used("h18a_pw_db");
    db.exec("DROP USER IF EXISTS h18a_pw");
    db.exec("CREATE USER h18a_pw IDENTIFIED BY 'a;b,c=d \\'e\"f\\\\g host=x;'");
    db.exec("GRANT ALL ON `h18a_pw_db`.* TO h18a_pw");
    const auto& s = db.server;
    const auto result =
        run_pontrel(with(source_args(), {"--mysqlh=" + s.host, "--port=" + std::to_string(s.port),
                                         "--mysqlu=h18a_pw", "--mysqlp=" + password,
                                         "--dest=h18a_pw_db", "--tab_def"}),
                    dir.path());
    db.exec("DROP USER h18a_pw");
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
    EXPECT_FALSE(db.query("SHOW DATABASES LIKE 'h18a_pw_db'").empty());
}

// The script's CREATE DATABASE option takes the database from the file name: the name passes
// the checks of a server destination, and every script written replays without touching
// another database. (A script for old servers says TYPE=, which today's servers refuse: its
// quoting is read from the text.)
TEST_F(HostileInput, ScriptDatabaseNamesFromHostileFileNames) {
    make_victim("victim");
    used("h18a v");
    used("h18a.v");
    struct case_t {
        const char* file;
        bool new_version;
        const char* refusal; // empty: the script is written and replayed
    };
    const case_t cases[] = {
        {"mysql.sql", true, "The database 'mysql' belongs to the MySQL server itself"},
        {"MySQL.sql", false, "The database 'MySQL' belongs to the MySQL server itself"},
        {"information_schema.sql", true, "The database 'information_schema' belongs"},
        {"performance_schema.sql", true, "The database 'performance_schema' belongs"},
        {"sys.sql", false, "The database 'sys' belongs"},
        {"victim;x.sql", false, "Not a valid MySQL database name."},
        {"victim;x.sql", true, "Not a valid MySQL database name."},
        {"victim` x.sql", true, "Not a valid MySQL database name."},
        {"h18a v.sql", false, "Not a valid MySQL database name."},
        {"h18a v.sql", true, ""},
        {"h18a.v.sql", true, ""},
        {"h18a_old.sql", false, ""},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(std::string(c.file) + (c.new_version ? " new" : " old"));
        write_registry(c.new_version);
        const std::string script = dir.file(c.file);
        std::filesystem::remove(script);
        const auto result =
            run_pontrel(with(source_args(), {"--dump", "--dest=" + script}), dir.path());
        if (*c.refusal != '\0') {
            EXPECT_EQ(result.exit_code, exit_failed);
            EXPECT_NE(result.out.find(c.refusal), std::string::npos) << result.out;
            EXPECT_FALSE(std::filesystem::exists(script));
            continue;
        }
        ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
        if (c.new_version) {
            EXPECT_EQ(replay(script), "");
            continue;
        }
        EXPECT_NE(read_file(script).find("DROP DATABASE IF EXISTS `h18a_old`;"), std::string::npos);
    }
    // With the option on, a path too long for the system is still reported as such.
    const auto too_long = run_pontrel(
        with(source_args(), {"--dump", "--dest=" + dir.path() + std::string(4100, '/') + "x.sql"}),
        dir.path());
    EXPECT_EQ(too_long.out.rfind("Error:\nDestination path is too long (", 0), 0u) << too_long.out;

    expect_victim_intact();
    EXPECT_EQ(db.query("SELECT COUNT(*) FROM `h18a v`.`dbo.orders`"), std::vector<row>{{"2"}});
    EXPECT_EQ(db.query("SELECT COUNT(*) FROM `h18a.v`.`dbo.orders`"), std::vector<row>{{"2"}});
}

// Destinations and logs that would write another file, or the same file twice, or hang.
TEST_F(HostileInput, DestinationAndLogPathsThatCannotBeUsed) {
    const std::string log = dir.write("trace.log", "");
    symlink("trace.log", dir.file("link.sql").c_str());
    mkfifo(dir.file("fifo.log").c_str(), 0600);
    const std::string long_path =
        dir.path() + std::string(2100, '/') + "x" + std::string(2100, '/') + "y.sql";
    struct case_t {
        const char* name;
        std::vector<std::string> extra;
        std::string message; // the start of the standard output
        std::string err;
    };
    const case_t cases[] = {
        {"log is the script",
         {"--logfile=" + log, "--dest=" + log},
         "Error:\nThe destination file " + log + " is the trace log file.",
         ""},
        {"script is a link to the log",
         {"--logfile=" + log, "--dest=" + dir.file("link.sql")},
         "Error:\nThe destination file " + dir.file("link.sql") + " is the trace log file.",
         ""},
        {"log is a pipe",
         {"--logfile=" + dir.file("fifo.log"), "--dest=" + dir.file("a.sql")},
         "Error:\nThe log file " + dir.file("fifo.log") + " is not a regular file",
         ""},
        {"log is a device",
         {"--logfile=/dev/null", "--dest=" + dir.file("a.sql")},
         "Error:\nThe log file /dev/null is not a regular file",
         ""},
        {"name not valid in the code page",
         {"--dest=" + dir.file("a\xFF.sql")},
         "",
         "Invalid destination name: it is not valid text in the character set of the locale\n"},
        {"path longer than the system allows",
         {"--dest=" + long_path},
         "Error:\nDestination path is too long (",
         ""},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = run_pontrel(with(with(source_args(), {"--dump"}), c.extra), dir.path());
        EXPECT_EQ(result.exit_code, exit_failed);
        EXPECT_EQ(result.out.rfind(c.message, 0), 0u) << result.out;
        EXPECT_EQ(result.err, c.err);
    }
    // Nothing was written under another name.
    EXPECT_FALSE(std::filesystem::exists(dir.file("a\xEF\xBF\xBD.sql")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("a.sql")));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link.sql")));
}

// A device as table list or profile never ends: the reader stops at its limit, and the process
// stays small until it refuses.
TEST_F(HostileInput, EndlessFilesAreRefusedInBoundedMemory) {
    for (const char* option : {"--tab_file=/dev/zero", "--profile=/dev/zero"}) {
        SCOPED_TRACE(option);
        background_pontrel run({"--src=a", "--dest=b", option}, dir.path());
        const auto [code, peak_kib] = run.wait();
        EXPECT_EQ(code, exit_failed);
        EXPECT_LT(peak_kib, 300L * 1024);
    }
}

// The process list shows the arguments: the passwords are masked there while the run waits on
// a server that never answers.
TEST_F(HostileInput, PasswordsAreMaskedInTheProcessList) {
    const silent_listener listener;
    const std::string secret = "Hidden-Pw-42";
    background_pontrel run({"--mssqlh=127.0.0.1," + std::to_string(listener.port()), "--mssqlu=sa",
                            "--mssqlp=" + secret, "--mysqlp=" + secret + "x", "--src=a",
                            "--dest=b"},
                           dir.path());
    const std::string cmdline = "/proc/" + std::to_string(run.pid()) + "/cmdline";
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        text = read_file(cmdline);
        if (text.find("--mssqlp=xxxx") != std::string::npos) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Still running: the masked text is what ps shows for the rest of the run.
    EXPECT_EQ(kill(run.pid(), 0), 0);
    EXPECT_NE(text.find(std::string("--mssqlp=") + std::string(secret.size(), 'x') + '\0'),
              std::string::npos);
    EXPECT_NE(text.find(std::string("--mysqlp=") + std::string(secret.size() + 1, 'x') + '\0'),
              std::string::npos);
    EXPECT_EQ(text.find(secret), std::string::npos);
    EXPECT_NE(text.find("--mssqlu=sa"), std::string::npos);
}

} // namespace
