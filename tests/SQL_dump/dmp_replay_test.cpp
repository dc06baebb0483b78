// Scripts replayed into the MariaDB test server with the mariadb client: the tables, rows, keys
// and views they create are the source's, value for value.
#include "SQL/sql_dump.h"

#include "tests/SQL_dump/dmp_test_fixture.h"

#include "SQL/sql_engi.h"
#include "TK/tk_excep.h"
#include "TK/tk_utils.h"
#include "UDB/udb_rel.h"
#include "tests/support/mysql_test_env.h"

#include <mysql.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <optional>

extern char** environ;

namespace {

using namespace dmp_test;

using cell = std::optional<std::string>; // nullopt: NULL

// One column of the type table: its descriptor, its value in each row, and what the server
// returns for it.
struct typed_column {
    std::shared_ptr<t_ftd> column;
    std::vector<ole_variant> values;
    std::vector<cell> expected;
};

ole_variant text16(const std::u16string& text) {
    ole_variant value;
    value.attach_u16string(text);
    return value;
}

std::string utf8_of(const std::u16string& text) {
    return tk_utf16_to_utf8(text);
}

std::vector<uint8_t> every_byte(std::size_t size) {
    std::vector<uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 131 + (i >> 11));
    }
    return bytes;
}

std::string as_string(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// Three rows of every value type: ordinary values, NULLs, and the other extremes; the third
// row holds values of more than 1 MiB, written in pieces.
std::vector<typed_column> type_columns() {
    using namespace std::string_literals;
    const std::u16string quoted =
        u"O'Brien \\ \"q\" `b` \0 nul \U0001F600 \u4e2d\u6587 \u00e9\r\n"s;
    std::u16string long_text;
    while (long_text.size() <= sql_engine::max_field_size + 3) {
        long_text += u"a'b\\c\0\U0001F600\u00e9\n"s;
    }
    const std::vector<uint8_t> small_bytes{0x00, 0x27, 0x5C, 0xFF};
    const std::vector<uint8_t> long_bytes = every_byte(2 * 1024 * 1024 + 3);

    auto col = [](const wchar_t* name, VARTYPE vt, int32_t size, int32_t subtype = 0,
                  int32_t prec = 0,
                  int32_t scale = 0) { return column(name, vt, size, subtype, prec, scale); };
    auto t = [](const char* text, VARTYPE vt) { return typed(text, vt); };
    const ole_variant null;
    std::vector<typed_column> columns = {
        {col(L"i2", VT_I2, 2),
         {t("-32768", VT_I2), null, t("32767", VT_I2)},
         {"-32768", std::nullopt, "32767"}},
        {col(L"i4", VT_I4, 4),
         {t("-2147483648", VT_I4), null, t("2147483647", VT_I4)},
         {"-2147483648", std::nullopt, "2147483647"}},
        {col(L"r4", VT_R4, 4),
         {t("3.40282347e+38", VT_R4), null, t("-1.17549435e-38", VT_R4)},
         {"3.40282e38", std::nullopt, "-1.17549e-38"}},
        {col(L"r8", VT_R8, 8),
         {t("1.7976931348623157e308", VT_R8), null, t("-2.2250738585072014e-308", VT_R8)},
         {"1.7976931348623157e308", std::nullopt, "-2.2250738585072014e-308"}},
        {col(L"cy", VT_CY, 8),
         {t("-922337203685477.5808", VT_CY), null, t("922337203685477.5807", VT_CY)},
         {"-922337203685477.5808", std::nullopt, "922337203685477.5807"}},
        {col(L"dt", VT_DATE, 8, 1, 0, 6),
         {t("2020-01-02 03:04:05.123456", VT_DATE), null, t("1753-01-01 00:00:00", VT_DATE)},
         {"2020-01-02 03:04:05.123456", std::nullopt, "1753-01-01 00:00:00.000000"}},
        {col(L"d", VT_DATE, 3, 2),
         {t("1960-05-06", VT_DATE), null, t("9999-12-31", VT_DATE)},
         {"1960-05-06", std::nullopt, "9999-12-31"}},
        {col(L"tm", VT_DATE, 5, 3, 0, 3),
         {t("13:14:15.25", VT_DATE), null, t("23:59:59.999", VT_DATE)},
         {"13:14:15.250", std::nullopt, "23:59:59.999"}},
        {col(L"vc", VT_BSTR, 100),
         {text16(quoted), null, ole_variant(std::wstring())},
         {utf8_of(quoted), std::nullopt, ""}},
        {col(L"lt", VT_BSTR, 0),
         {text16(u"short"), null, text16(long_text)},
         {"short", std::nullopt, utf8_of(long_text)}},
        {col(L"b", VT_BOOL, 2),
         {ole_variant(true), null, ole_variant(false)},
         {"1", std::nullopt, "0"}},
        {col(L"dec", VT_DECIMAL, 16, 0, 38, 0),
         {t("12345678901234567890123456789012345678", VT_DECIMAL), null,
          t("-99999999999999999999999999999999999999", VT_DECIMAL)},
         {"12345678901234567890123456789012345678", std::nullopt,
          "-99999999999999999999999999999999999999"}},
        {col(L"dec4", VT_DECIMAL, 16, 0, 10, 4),
         {t("-123456.7891", VT_DECIMAL), null, t("0.0001", VT_DECIMAL)},
         {"-123456.7891", std::nullopt, "0.0001"}},
        {col(L"i1", VT_I1, 1),
         {t("-128", VT_I1), null, t("127", VT_I1)},
         {"-128", std::nullopt, "127"}},
        {col(L"ui1", VT_UI1, 1),
         {t("0", VT_UI1), null, t("255", VT_UI1)},
         {"0", std::nullopt, "255"}},
        {col(L"ui2", VT_UI2, 2),
         {t("0", VT_UI2), null, t("65535", VT_UI2)},
         {"0", std::nullopt, "65535"}},
        {col(L"ui4", VT_UI4, 4),
         {t("0", VT_UI4), null, t("4294967295", VT_UI4)},
         {"0", std::nullopt, "4294967295"}},
        {col(L"i8", VT_I8, 8),
         {t("-9223372036854775808", VT_I8), null, t("9223372036854775807", VT_I8)},
         {"-9223372036854775808", std::nullopt, "9223372036854775807"}},
        {col(L"ui8", VT_UI8, 8),
         {t("0", VT_UI8), null, t("18446744073709551615", VT_UI8)},
         {"0", std::nullopt, "18446744073709551615"}},
        {col(L"uint", VT_UINT, 4),
         {t("4294967295", VT_UINT), null, t("0", VT_UINT)},
         {"4294967295", std::nullopt, "0"}},
        {col(L"vb", ole_variant::vt_byte_array, 16),
         {ole_variant(small_bytes), null, null},
         {as_string(small_bytes), std::nullopt, std::nullopt}},
        {col(L"lb", ole_variant::vt_byte_array, 0),
         {ole_variant(small_bytes), null, ole_variant(long_bytes)},
         {as_string(small_bytes), std::nullopt, as_string(long_bytes)}},
    };
    return columns;
}

// Reads back through the C API.
class connection {
public:
    connection(const test_support::mysql_test_server& server, const std::string& db) {
        mysql_init(&mysql_);
        mysql_options(&mysql_, MYSQL_SET_CHARSET_NAME, "utf8mb4");
        ok_ = mysql_real_connect(&mysql_, server.host.c_str(), server.user.c_str(),
                                 server.password.c_str(), db.empty() ? nullptr : db.c_str(),
                                 server.port, nullptr, 0) != nullptr;
        EXPECT_TRUE(ok_) << mysql_error(&mysql_);
    }
    ~connection() { mysql_close(&mysql_); }

    // Every row of a query, each cell as bytes or NULL.
    std::vector<std::vector<cell>> rows(const std::string& statement) {
        std::vector<std::vector<cell>> result;
        if (!ok_ || mysql_real_query(&mysql_, statement.data(), statement.size()) != 0) {
            ADD_FAILURE() << statement << ": " << mysql_error(&mysql_);
            return result;
        }
        MYSQL_RES* res = mysql_store_result(&mysql_);
        if (res == nullptr) {
            return result;
        }
        const unsigned n = mysql_num_fields(res);
        while (MYSQL_ROW row = mysql_fetch_row(res)) {
            const unsigned long* lengths = mysql_fetch_lengths(res);
            std::vector<cell> cells;
            for (unsigned i = 0; i < n; ++i) {
                cells.push_back(row[i] != nullptr ? cell(std::string(row[i], lengths[i]))
                                                  : std::nullopt);
            }
            result.push_back(std::move(cells));
        }
        mysql_free_result(res);
        return result;
    }

    void exec(const std::string& statement) {
        if (ok_ && mysql_real_query(&mysql_, statement.data(), statement.size()) != 0) {
            ADD_FAILURE() << statement << ": " << mysql_error(&mysql_);
        }
    }

private:
    MYSQL mysql_;
    bool ok_ = false;
};

class replay_test : public dump_test {
protected:
    void SetUp() override {
        dump_test::SetUp();
        server_ = test_support::mysql_server_from_env();
        ASSERT_FALSE(server_.host.empty());
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        db_name_ = std::string("test_SQL_dump_") + info->name();
        drop();
    }
    void TearDown() override {
        drop();
        dump_test::TearDown();
    }
    void drop() {
        connection c(server_, "");
        c.exec("DROP DATABASE IF EXISTS `" + db_name_ + "`");
    }

    // Runs the mariadb client on the script; its exit code, and its error output in `errors`.
    // `database` (when not empty) is the client's current database.
    int replay(const std::string& script, std::string& errors, const std::string& database = "") {
        const std::string error_file = path("client.err");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, script.c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, error_file.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const std::string port = "--port=" + std::to_string(server_.port);
        const std::string user = "--user=" + server_.user;
        std::vector<std::string> args = {
            "mariadb", "--no-defaults",          "--protocol=TCP", "--host=" + server_.host, port,
            user,      "--max-allowed-packet=1G"};
        std::vector<char*> argv;
        if (!database.empty()) {
            args.push_back(database);
        }
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        // The password reaches the client through its environment, not its command line.
        std::vector<std::string> env_strings = {"MYSQL_PWD=" + server_.password};
        for (char** e = environ; *e != nullptr; ++e) {
            env_strings.emplace_back(*e);
        }
        std::vector<char*> envp;
        for (std::string& e : env_strings) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        pid_t pid = 0;
        const int spawned =
            posix_spawnp(&pid, "mariadb", &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            errors = "cannot start mariadb";
            return -1;
        }
        int status = 0;
        waitpid(pid, &status, 0);
        errors = read_file(error_file);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    dump_options options() const {
        dump_options o;
        o.create_database = true;
        o.database_name = db_name_;
        o.creator = "replay test";
        return o;
    }

    test_support::mysql_test_server server_;
    std::string db_name_;
};

// Many rows of a small table: the fast path gathers them into multi-row statements.
constexpr int many_rows = 3000;

udb_record many_row(int i) {
    std::u16string text = u"row " + tk_to_utf16(std::to_wstring(i)) + u" 'q' \\ \U0001F600";
    return record_of({{L"id", typed(std::to_string(i), VT_I4)},
                      {L"txt", text16(text)},
                      {L"bin", ole_variant(every_byte(static_cast<std::size_t>(i % 50 + 1)))}});
}

void write_database(dmp_database& db, const std::vector<typed_column>& columns) {
    {
        auto id = column(L"id", VT_I4, 4);
        id->b_auto_num = true;
        id->b_not_null = true;
        const udb_schema schema = schema_of(
            {id, column(L"txt", VT_BSTR, 200), column(L"bin", ole_variant::vt_byte_array, 100)});
        udb_indexes indexes;
        indexes.push_back(index_of(L"PK_many", true, true, {L"id"}));
        auto table = db.create_table(L"many", schema, indexes);
        // An identity value 0 stays 0 on replay.
        for (int i = 0; i < many_rows; ++i) {
            table->append_record(many_row(i));
        }
    }
    {
        auto id = column(L"id", VT_I4, 4);
        id->b_not_null = true;
        auto created = column(L"created", VT_DATE, 8, 9, 0, 3);
        created->default_value = ole_variant(std::wstring(L"getdate()"));
        std::vector<std::shared_ptr<t_ftd>> list = {id, created, column(L"many_id", VT_I4, 4)};
        for (const typed_column& c : columns) {
            list.push_back(c.column);
        }
        udb_indexes indexes;
        indexes.push_back(index_of(L"PK_types", true, true, {L"id"}));
        auto table = db.create_table(L"types", schema_of(list), indexes);
        for (std::size_t row = 0; row < 3; ++row) {
            std::vector<std::pair<std::wstring, ole_variant>> fields;
            fields.emplace_back(L"id", typed(std::to_string(row + 1), VT_I4));
            // Before 1970: a TIMESTAMP column would refuse it.
            fields.emplace_back(L"created", typed("1900-01-01 00:00:00.5", VT_DATE));
            fields.emplace_back(L"many_id", typed(std::to_string(row), VT_I4));
            for (const typed_column& c : columns) {
                fields.emplace_back(c.column->name, c.values[row]);
            }
            table->append_record(record_of(std::move(fields)));
        }
    }
    udb_relationships keys;
    keys.push_back(udb_relationship(L"fk_types_many", L"PK_many", L"types", L"many", {L"many_id"},
                                    {L"id"}, L" ON DELETE CASCADE"));
    db.create_relationships(keys);
    db.create_views(
        {{L"v_types", L"SELECT [id], [vc]\r\n FROM [types] WHERE isnull([i4], 0) < 0"}});
    db.close();
}

void check_database(connection& c, const std::vector<typed_column>& columns) {
    const auto many = c.rows("SELECT id, txt, bin FROM many ORDER BY id");
    ASSERT_EQ(many.size(), static_cast<std::size_t>(many_rows));
    for (int i = 0; i < many_rows; ++i) {
        const udb_record expected = many_row(i);
        ASSERT_EQ(many[i][0], std::to_string(i));
        ASSERT_EQ(many[i][1], expected[1]->to_string()) << "row " << i;
        ASSERT_EQ(many[i][2], as_string(every_byte(static_cast<std::size_t>(i % 50 + 1))));
    }

    std::string select = "SELECT created";
    for (const typed_column& col : columns) {
        select += ", `" + tk_to_utf8(col.column->name) + "`";
    }
    const auto types = c.rows(select + " FROM types ORDER BY id");
    ASSERT_EQ(types.size(), 3u);
    for (std::size_t row = 0; row < 3; ++row) {
        EXPECT_EQ(types[row][0], "1900-01-01 00:00:00.500");
        for (std::size_t i = 0; i < columns.size(); ++i) {
            const typed_column& col = columns[i];
            const cell& got = types[row][i + 1];
            const cell& want = col.expected[row];
            SCOPED_TRACE(tk_to_utf8(col.column->name) + " row " + std::to_string(row));
            ASSERT_EQ(got.has_value(), want.has_value());
            if (!want) {
                continue;
            }
            if (col.column->type == VT_R4 || col.column->type == VT_R8) {
                // The server prints floating values its own way; the value is what counts.
                EXPECT_EQ(std::strtod(got->c_str(), nullptr), std::strtod(want->c_str(), nullptr))
                    << *got;
                continue;
            }
            EXPECT_EQ(got->size(), want->size());
            EXPECT_TRUE(*got == *want) << got->substr(0, 80);
        }
    }

    EXPECT_EQ(c.rows("SELECT CONSTRAINT_NAME FROM information_schema.REFERENTIAL_CONSTRAINTS "
                     "WHERE CONSTRAINT_SCHEMA = DATABASE()"),
              (std::vector<std::vector<cell>>{{cell("fk_types_many")}}));
    EXPECT_EQ(c.rows("SELECT id FROM v_types ORDER BY id"),
              (std::vector<std::vector<cell>>{{cell("1")}}));
    const auto charset = c.rows("SELECT CCSA.character_set_name FROM information_schema.TABLES T "
                                "JOIN information_schema.COLLATION_CHARACTER_SET_APPLICABILITY "
                                "CCSA ON CCSA.collation_name = T.table_collation WHERE "
                                "T.table_schema = DATABASE() AND T.table_name = 'types'");
    EXPECT_EQ(charset, (std::vector<std::vector<cell>>{{cell("utf8mb4")}}));
}

TEST_F(replay_test, ScriptReplaysValueForValue) {
    const std::vector<typed_column> columns = type_columns();
    {
        dmp_database db(wpath("replay.sql"), options());
        write_database(db, columns);
    }
    std::string errors;
    ASSERT_EQ(replay(path("replay.sql"), errors), 0) << errors;
    connection c(server_, db_name_);
    check_database(c, columns);
}

// Tables are dropped again while the foreign keys of the first replay still reference them.
TEST_F(replay_test, ScriptReplaysTwiceIntoTheSameDatabase) {
    const std::vector<typed_column> columns = type_columns();
    dump_options o = options();
    o.create_database = false;
    {
        dmp_database db(wpath("twice.sql"), o);
        write_database(db, columns);
    }
    {
        connection c(server_, "");
        c.exec("CREATE DATABASE `" + db_name_ + "`");
    }
    for (int round = 0; round < 2; ++round) {
        std::string errors;
        ASSERT_EQ(replay(path("twice.sql"), errors, db_name_), 0) << "round " << round << errors;
    }
    connection c(server_, db_name_);
    check_database(c, columns);
}

// The file is UTF-8 whatever character set the tables take.
TEST_F(replay_test, Latin1TablesReplayTheirText) {
    engine_.charset = L"latin1";
    {
        dmp_database db(wpath("latin1.sql"), options());
        auto t = db.create_table(L"t", schema_of({column(L"s", VT_BSTR, 20)}), {});
        t->append_record(
            record_of({{L"s", ole_variant(std::wstring(L"\u00e9\u00fc\u00df \u00a3"))}}));
        t.reset();
        db.close();
    }
    std::string errors;
    ASSERT_EQ(replay(path("latin1.sql"), errors), 0) << errors;
    connection c(server_, db_name_);
    EXPECT_EQ(
        c.rows("SELECT s, CHARSET(s) FROM t"),
        (std::vector<std::vector<cell>>{{cell("\u00e9\u00fc\u00df \u00a3"), cell("latin1")}}));
}

TEST_F(replay_test, FastPathScriptReplaysValueForValue) {
    engine_.fast_insert = true;
    const std::vector<typed_column> columns = type_columns();
    {
        dmp_database db(wpath("fast.sql"), options());
        write_database(db, columns);
    }
    // The long values of the third type row end the fast path.
    EXPECT_FALSE(engine_.fast_insert);
    const std::string text = read_file(path("fast.sql"));
    EXPECT_NE(text.find("), ("), std::string::npos);
    std::string errors;
    ASSERT_EQ(replay(path("fast.sql"), errors), 0) << errors;
    connection c(server_, db_name_);
    check_database(c, columns);
}

TEST_F(replay_test, ScriptWithNewLineBreaksAndNoLocksReplays) {
    const std::vector<typed_column> columns = type_columns();
    dump_options o = options();
    o.line_breaks = 1;
    o.lock_tables = false;
    o.comments = false;
    {
        dmp_database db(wpath("lf.sql"), o);
        write_database(db, columns);
    }
    std::string errors;
    ASSERT_EQ(replay(path("lf.sql"), errors), 0) << errors;
    connection c(server_, db_name_);
    check_database(c, columns);
}

} // namespace

// Whichever path a row takes into the script (gathered with others, or alone once a row too big
// for gathering has ended that), a row whose key the replaying server would take for an earlier
// row's is refused, and a row refused for any reason leaves no key behind: the replay holds
// every other row and nothing more.
TEST_F(replay_test, RowsRepeatingAKeyAreRefusedOnEitherPath) {
    engine_.charset = L"latin1";
    const std::string big(sql_engine::max_field_size + 10, 'b');
    for (const bool fast : {false, true}) {
        SCOPED_TRACE(fast ? "rows gathered first" : "a statement per row");
        drop();
        engine_.fast_insert = fast;
        const std::string script = path(fast ? "fast_keys.sql" : "slow_keys.sql");
        std::vector<int> refused;
        {
            dmp_database db(wpath(fast ? "fast_keys.sql" : "slow_keys.sql"), options());
            udb_indexes indexes;
            indexes.push_back(index_of(L"PK_t", true, true, {L"k"}));
            indexes.push_back(index_of(L"UX_t", true, false, {L"n", L"u"}));
            auto n = column(L"n", VT_I4, 4);
            n->b_not_null = true;
            auto k = column(L"k", VT_BSTR, 20);
            k->b_not_null = true;
            auto t = db.create_table(
                L"t", schema_of({n, k, column(L"u", VT_BSTR, 20), column(L"note", VT_BSTR, 0)}),
                indexes);
            const auto append = [&](int number, const wchar_t* key, const wchar_t* u,
                                    const std::string& note) {
                try {
                    t->append_record(record_of({{L"n", typed(std::to_string(number), VT_I4)},
                                                {L"k", ole_variant(std::wstring(key))},
                                                {L"u", ole_variant(std::wstring(u))},
                                                {L"note", ole_variant(tk_utf8_to_wstring(note))}}));
                } catch (const tk_exception& e) {
                    EXPECT_EQ(e.level, 0);
                    refused.push_back(number);
                }
            };
            append(1, L"abc", L"p", "");
            append(2, L"ABC", L"q", "");            // the primary key
            append(3, L"d\u00e9f", L"r", "\u03a9"); // a character latin1 lacks
            append(4, L"DEF", L"s", "");            // the refused row left no key
            append(1, L"ghi", L"P  ", "");          // the unique key (n, u)
            append(5, L"jkl", L"t", big);           // too big to be gathered
            append(6, L"JKL ", L"u", "");
            append(7, L"\u00c5bc", L"v", ""); // latin1_swedish_ci: not A
            append(8, L"[BC", L"w", "");      // ... but [
            t.reset();
            db.close();
        }
        EXPECT_EQ(refused, (std::vector<int>{2, 3, 1, 6, 8}));
        if (fast) {
            // The first rows written were gathered into one statement.
            EXPECT_NE(read_file(script).find("'p', ''), (4, 'DEF'"), std::string::npos);
        }
        std::string errors;
        ASSERT_EQ(replay(script, errors), 0) << errors;
        connection c(server_, db_name_);
        EXPECT_EQ(c.rows("SELECT n, k, u, LENGTH(note) FROM t ORDER BY n"),
                  (std::vector<std::vector<cell>>{
                      {cell("1"), cell("abc"), cell("p"), cell("0")},
                      {cell("4"), cell("DEF"), cell("s"), cell("0")},
                      {cell("5"), cell("jkl"), cell("t"), cell(std::to_string(big.size()))},
                      {cell("7"), cell("\u00c5bc"), cell("v"), cell("0")}}));
    }
}
