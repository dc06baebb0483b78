// Foreign keys of the tables a run creates, when their referenced tables are not created by the
// same run: already in the destination (modes 2 to 4, or left out of the selection), with or
// without the referenced key, or nowhere. Each key is created or reported with its reason; a
// stop or a lost connection while the keys are created is said once.
#include "tests/agent/agent_test_support.h"
#include "tests/support/tds_server/tds_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <future>
#include <thread>

namespace {

using agent_test::mysql_client;
using agent_test::occurrences;
using agent_test::row;
using agent_test::run_pontrel;
using agent_test::run_result;

constexpr int exit_failed = 255;

class PontrelForeignKeys : public agent_test::tds_suite<PontrelForeignKeys> {
public:
    static std::vector<std::string> fixture_files() {
        return {std::string(AGENT_FIXTURE_DIR) + "/foreign_keys.tds"};
    }

protected:
    void SetUp() override {
        ASSERT_TRUE(db.connected());
        dest = std::string("fk_") + testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char& c : dest) {
            c = std::isalnum(static_cast<unsigned char>(c)) != 0 ? c : '_';
        }
        db.exec("DROP DATABASE IF EXISTS " + dest);
    }
    void TearDown() override {
        if (db.connected()) {
            db.exec("DROP DATABASE IF EXISTS " + dest);
        }
    }

    std::vector<std::string> args(const std::vector<std::string>& extra) const {
        std::vector<std::string> all = {"--mssqlh=" + mssql_host(), "--mssqlu=sa",
                                        "--mssqlp=Velmora-Pw1", "--src=velmora_fk",
                                        "--mschema=dbo"};
        for (const std::string& a : db.pontrel_args()) {
            all.push_back(a);
        }
        all.insert(all.end(), extra.begin(), extra.end());
        return all;
    }
    run_result run(const std::vector<std::string>& extra) {
        return run_pontrel(args(extra), dir.path());
    }
    std::string tables(const std::string& list) { return dir.write("tables.txt", list); }

    // The foreign keys MariaDB holds for the table, by name.
    std::vector<std::string> foreign_keys(const std::string& database, const std::string& table) {
        std::vector<std::string> names;
        for (const row& r :
             db.query("SELECT constraint_name FROM information_schema."
                      "referential_constraints WHERE constraint_schema = '" +
                      database + "' AND table_name = '" + table + "' ORDER BY constraint_name")) {
            names.push_back(*r[0]);
        }
        return names;
    }

    // The parents as an earlier run left them, then changed by hand: Album keeps its primary key,
    // Genre's key column no longer matches Track's (the server refuses the key), MediaType has
    // lost its key. Composer is not there.
    void prepare_parents() {
        const run_result first = run(
            {"--dest=" + dest, "--tab_file=" + tables("dbo.Album\ndbo.Genre\ndbo.MediaType\n")});
        ASSERT_EQ(first.exit_code, 0) << first.out << first.err;
        db.exec("ALTER TABLE " + dest + ".Genre MODIFY GenreId VARCHAR(10) NOT NULL");
        db.exec("ALTER TABLE " + dest + ".MediaType DROP PRIMARY KEY");
    }

    std::string dest;
    mysql_client db;
};

// A table the run creates gets each key whose parent the destination holds with the referenced
// key; each other key is reported with its reason, and the run fails.
TEST_F(PontrelForeignKeys, KeysToTablesTheRunDidNotCreate) {
    for (const char* mode : {"2", "3", "4"}) {
        SCOPED_TRACE(std::string("mode ") + mode);
        db.exec("DROP DATABASE IF EXISTS " + dest);
        prepare_parents();
        const run_result result = run({"--dest=" + dest, "--mode=" + std::string(mode),
                                       "--tab_file=" + tables("dbo.Track\n")});

        EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
        EXPECT_EQ(occurrences(result.out, "Error:"), 3u) << result.out;
        // The server's own reason follows, not only that the key failed (its words differ
        // between server versions).
        const std::string refused = "Foreign key 'FK_TrackGenreId': Cannot create foreign key. ";
        const std::size_t at = result.out.find(refused);
        ASSERT_NE(at, std::string::npos) << result.out;
        const std::size_t from = at + refused.size();
        const std::string reason = result.out.substr(from, result.out.find('\n', at) - from);
        EXPECT_NE(reason.find("Genre"), std::string::npos) << reason;
        EXPECT_NE(result.out.find("Foreign key 'FK_TrackMediaTypeId': Cannot create foreign key. "
                                  "The table 'MediaType' in the destination has no primary key or "
                                  "unique index on (MediaTypeId)."),
                  std::string::npos)
            << result.out;
        EXPECT_NE(result.out.find("Foreign key 'FK_TrackComposerId': Cannot create foreign key. "
                                  "Its referenced table 'Composer' was not converted and "
                                  "is not in the destination."),
                  std::string::npos)
            << result.out;
        EXPECT_EQ(foreign_keys(dest, "Track"), std::vector<std::string>{"FK_TrackAlbumId"});
        EXPECT_EQ(db.query("SELECT COUNT(*) FROM " + dest + ".Track"), std::vector<row>{{"2"}});
    }
}

// The same in a script: a key whose parent the script does not create is reported, the others
// are written, and the script replays.
TEST_F(PontrelForeignKeys, ScriptReportsKeysToTablesItDoesNotCreate) {
    const std::string script = dir.file("fk.sql");
    const run_result result =
        run({"--dump", "--dest=" + script, "--tab_file=" + tables("dbo.Track\ndbo.Album\n")});
    EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
    EXPECT_EQ(occurrences(result.out, "Error:"), 3u) << result.out;
    EXPECT_NE(result.out.find("Foreign key 'FK_TrackGenreId': Cannot create foreign key. Its "
                              "referenced table 'Genre' was not converted and is not in "
                              "the script."),
              std::string::npos)
        << result.out;

    db.exec("CREATE DATABASE " + dest + " CHARACTER SET utf8mb4");
    ASSERT_EQ(test_support::replay_script(db.server, dest, script), "");
    EXPECT_EQ(foreign_keys(dest, "Track"), std::vector<std::string>{"FK_TrackAlbumId"});
}

// Every table converted: every key, nothing reported.
TEST_F(PontrelForeignKeys, WholeDatabaseGetsEveryKey) {
    const run_result result = run({"--dest=" + dest});
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
    const std::vector<std::string> all = {"FK_TrackAlbumId", "FK_TrackComposerId",
                                          "FK_TrackGenreId", "FK_TrackMediaTypeId"};
    EXPECT_EQ(foreign_keys(dest, "Track"), all);
}

// While the keys are created, the run waits for a table another session holds locked; then its
// connection is killed, or it is asked to stop. Either is said once, and the run fails as a stop
// does, instead of one "Cannot create foreign key." per key.
TEST_F(PontrelForeignKeys, LostConnectionOrStopWhileKeysAreCreatedIsSaidOnce) {
    for (const bool stop : {false, true}) {
        SCOPED_TRACE(stop ? "stop" : "killed connection");
        db.exec("DROP DATABASE IF EXISTS " + dest);
        const run_result first = run(
            {"--dest=" + dest, "--tab_file=" + tables("dbo.Album\ndbo.Genre\ndbo.MediaType\n")});
        ASSERT_EQ(first.exit_code, 0) << first.out << first.err;
        mysql_client holder;
        holder.exec("LOCK TABLES " + dest + ".Album WRITE, " + dest + ".Genre WRITE, " + dest +
                    ".MediaType WRITE");
        const agent_test::pontrel_process process = agent_test::start_pontrel(
            args({"--dest=" + dest, "--mode=2", "--tab_file=" + tables("dbo.Track\n")}),
            dir.path());
        std::string waiting;
        for (int i = 0; i < 200 && waiting.empty(); ++i) {
            const auto rows = db.query("SELECT id FROM information_schema.processlist WHERE state "
                                       "LIKE 'Waiting for table metadata lock' AND db = '" +
                                       dest + "'");
            if (!rows.empty()) {
                waiting = *rows[0][0];
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        if (waiting.empty()) {
            ::kill(process.pid, SIGKILL);
            agent_test::wait_pontrel(process);
            FAIL() << "the run never waited for the locked tables";
        }
        if (stop) {
            ::kill(process.pid, SIGINT);
        } else {
            db.exec("KILL CONNECTION " + waiting);
        }
        const run_result result = agent_test::wait_pontrel(process);
        holder.exec("UNLOCK TABLES");

        EXPECT_EQ(result.exit_code, exit_failed) << result.out << result.err;
        EXPECT_EQ(result.out.find("Cannot create foreign key"), std::string::npos) << result.out;
        if (stop) {
            EXPECT_EQ(occurrences(result.out + result.err, "Error:"), 0u) << result.out;
            EXPECT_EQ(occurrences(result.err, "The conversion was interrupted (SIGINT)."), 1u)
                << result.out << result.err;
        } else {
            EXPECT_EQ(occurrences(result.out, "Error:"), 1u) << result.out;
            EXPECT_EQ(occurrences(result.out, "The connection to the MySQL server is gone"), 1u)
                << result.out;
        }
    }
}

} // namespace
