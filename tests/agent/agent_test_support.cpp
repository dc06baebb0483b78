// Runs the built pontrel program as a user would, and reads what it left in MariaDB.
#include "tests/agent/agent_test_support.h"

#include "tests/support/tds_server/tds_statements.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace agent_test {

temp_dir::temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pontrel-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
    }
    path_ = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string temp_dir::write(const std::string& name, const std::string& bytes) const {
    const std::string path = file(name);
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

const hidden_statement_query hidden_statement_queries[7] = {
    {"SELECT * FROM dbo.customers /* /* */ *{x }/ EXEC xp_cmdshell 'id' /{x }* */",
     "SELECT * FROM dbo.customers  "},
    {"SELECT * FROM dbo.customers /* /* */ *{x }/ SHUTDOWN WITH NOWAIT /{x }* */",
     "SELECT * FROM dbo.customers  "},
    {"SELECT * FROM dbo.customers /* /* */ *{x }/ EXEC sp_executesql N'DROP TABLE "
     "dbo.customers' /{x }* */",
     "SELECT * FROM dbo.customers  "},
    {"SELECT * FROM dbo.customers /* /* */ */ EXEC xp_cmdshell 'id' /* */", ""},
    {"SELECT * FROM dbo.customers {call sp_executesql(N'SHUTDOWN WITH NOWAIT')}", ""},
    {"SELECT * FROM dbo.customers WHERE id = ? EXEC xp_cmdshell 'id'", ""},
    {"SELECT * FROM dbo.customers USE HINT", ""},
};

std::string query_arrival_fault(const std::vector<std::string>& log,
                                const hidden_statement_query& query) {
    const std::string sent = query.sent;
    bool arrived = false;
    for (const std::string& batch : log) {
        for (const char* word : {"xp_cmdshell", "SHUTDOWN", "sp_executesql", "USE HINT"}) {
            if (batch.find(word) != std::string::npos) {
                return "the source received " + std::string(word) + " in: " + batch;
            }
        }
        if (batch.find("dbo.customers") == std::string::npos) {
            continue; // the run's own catalogue statements
        }
        if (sent.empty()) {
            return "the refused query reached the source: " + batch;
        }
        if (tds_split_batch(batch).size() != 1) {
            return "the source read more than one statement in: " + batch;
        }
        arrived = arrived || batch == sent;
    }
    return sent.empty() || arrived ? "" : "the query never arrived as \"" + sent + "\"";
}

std::string type_mapping_field(const mapped_field& field) {
    return "      - name: " + field.column + "\n        new_name: " + field.column +
           "\n        status: changed\n        type: " + field.type +
           "\n        default_value: " + field.default_value +
           "\n        character_set: \n        length: " + std::to_string(field.length) +
           "\n        scale: " + std::to_string(field.scale) +
           "\n        precision: " + std::to_string(field.precision) + "\n";
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

run_result run_pontrel(const std::vector<std::string>& args, const std::string& work_dir,
                       const std::vector<std::string>& env) {
    return wait_pontrel(start_pontrel(args, work_dir, env));
}

pontrel_process start_pontrel(const std::vector<std::string>& args, const std::string& work_dir,
                              const std::vector<std::string>& env, unsigned long file_size_limit) {
    const std::string out_path = work_dir + "/.pontrel.out";
    const std::string err_path = work_dir + "/.pontrel.err";
    const std::string config = work_dir + "/config";
    std::filesystem::create_directories(config);

    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string item = *e;
        if (item.rfind("LC_", 0) == 0 || item.rfind("LANG=", 0) == 0 ||
            item.rfind("XDG_CONFIG_HOME=", 0) == 0 ||
            item.rfind("VELMORA_ANSI_CODEPAGE=", 0) == 0) {
            continue;
        }
        environment.push_back(item);
    }
    environment.push_back("XDG_CONFIG_HOME=" + config);
    bool locale_given = false;
    for (const std::string& item : env) {
        locale_given = locale_given || item.rfind("LC_ALL=", 0) == 0;
        environment.push_back(item);
    }
    if (!locale_given) {
        environment.push_back("LC_ALL=C.UTF-8");
    }

    std::vector<char*> argv{const_cast<char*>(PONTREL_PATH)};
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& item : environment) {
        envp.push_back(item.data());
    }
    envp.push_back(nullptr);

    const pid_t child = fork();
    if (child == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || chdir(work_dir.c_str()) != 0) {
            _exit(127);
        }
        dup2(out, 1);
        dup2(err, 2);
        const int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        if (file_size_limit != 0) {
            const rlimit limit{file_size_limit, file_size_limit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        execve(PONTREL_PATH, argv.data(), envp.data());
        _exit(127);
    }
    return {static_cast<int>(child), work_dir};
}

run_result wait_pontrel(const pontrel_process& process) {
    const pid_t child = process.pid;
    run_result result;
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) {
        ADD_FAILURE() << "pontrel could not be run";
        return result;
    }
    if (WIFEXITED(status)) {
        result.exit_code = WEXITSTATUS(status);
    } else {
        ADD_FAILURE() << "pontrel ended by signal " << WTERMSIG(status);
        result.exit_code = 128 + WTERMSIG(status);
    }
    result.out = read_file(process.work_dir + "/.pontrel.out");
    result.err = read_file(process.work_dir + "/.pontrel.err");
    return result;
}

mysql_client::mysql_client() : server(test_support::mysql_server_from_env()) {
    if (server.host.empty()) {
        return;
    }
    mysql_init(&mysql_);
    mysql_options(&mysql_, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    if (mysql_real_connect(&mysql_, server.host.c_str(), server.user.c_str(),
                           server.password.c_str(), nullptr, server.port, nullptr, 0) == nullptr) {
        ADD_FAILURE() << "MariaDB test server: " << mysql_error(&mysql_);
        return;
    }
    connected_ = true;
}

mysql_client::~mysql_client() {
    mysql_close(&mysql_);
}

void mysql_client::exec(const std::string& statement) {
    if (mysql_real_query(&mysql_, statement.data(), statement.size()) != 0) {
        ADD_FAILURE() << statement << ": " << mysql_error(&mysql_);
        return;
    }
    while (true) {
        if (MYSQL_RES* result = mysql_store_result(&mysql_)) {
            mysql_free_result(result);
        }
        if (mysql_next_result(&mysql_) != 0) {
            break;
        }
    }
}

std::vector<row> mysql_client::query(const std::string& statement) {
    std::vector<row> rows;
    if (mysql_real_query(&mysql_, statement.data(), statement.size()) != 0) {
        ADD_FAILURE() << statement << ": " << mysql_error(&mysql_);
        return rows;
    }
    MYSQL_RES* result = mysql_store_result(&mysql_);
    if (result == nullptr) {
        return rows;
    }
    const unsigned columns = mysql_num_fields(result);
    while (MYSQL_ROW r = mysql_fetch_row(result)) {
        const unsigned long* lengths = mysql_fetch_lengths(result);
        row values;
        for (unsigned i = 0; i < columns; ++i) {
            if (r[i] == nullptr) {
                values.emplace_back(std::nullopt);
            } else {
                values.emplace_back(std::string(r[i], lengths[i]));
            }
        }
        rows.push_back(std::move(values));
    }
    mysql_free_result(result);
    return rows;
}

std::vector<std::string> mysql_client::pontrel_args() const {
    return {"--mysqlh=" + server.host, "--port=" + std::to_string(server.port),
            "--mysqlu=" + server.user, "--mysqlp=" + server.password};
}

} // namespace agent_test
