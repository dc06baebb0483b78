// Tests of the script's table blocks, indexes, foreign keys, views and statements.
#include "SQL/sql_dump.h"

#include "tests/SQL_dump/dmp_test_fixture.h"
#include "tests/SQL/sql_test_fixture.h"

#include "SQL/sql_view.h"
#include "TK/tk_utils.h"
#include "TK/tk_excep.h"
#include "UDB/udb_rel.h"

#include <map>

namespace {

using namespace dmp_test;

// The properties of one table, found by its new name.
class table_properties : public udb_properties {
public:
    udb_properties* find_by_name(const std::wstring&) override { return nullptr; }
    udb_properties* find_by_new_name(const std::wstring& name) override {
        const auto found = tables.find(name);
        return found == tables.end() ? nullptr : &found->second;
    }
    struct bag : udb_properties {
        udb_properties* find_by_name(const std::wstring&) override { return nullptr; }
        udb_properties* find_by_new_name(const std::wstring&) override { return nullptr; }
    };
    std::map<std::wstring, bag> tables;
};

class table_test : public dump_test {
protected:
    // A script without its head, written with `change` applied to the default options.
    template <class F> std::string script(F&& body, void (*change)(dump_options&) = nullptr) {
        dump_options options;
        options.comments = false;
        if (change != nullptr) {
            change(options);
        }
        {
            dmp_database db(wpath("t.sql"), options);
            body(db);
            db.close();
        }
        const std::string text =
            without_completion_line(script_text("t.sql"), options.line_break());
        const std::string head_end = "FOREIGN_KEY_CHECKS = 0 */;" + options.line_break();
        return text.substr(text.find(head_end) + head_end.size());
    }

    udb_schema one_column() { return schema_of({column(L"a", VT_I4, 4)}); }
};

TEST_F(table_test, WithoutCreateTablesOnlyTheDataCommentAndTheLock) {
    std::unique_ptr<udb_recordset> table;
    const std::string text = script(
        [&](dmp_database& db) {
            table = db.create_table(L"t", one_column(), {});
            EXPECT_TRUE(db.is_table_exist(L"T"));
            table.reset();
        },
        [](dump_options& o) {
            o.create_tables = false;
            o.comments = true;
        });
    EXPECT_EQ(text, "\r\n#\r\n# Dumping data for table 't'\r\n#\r\n\r\n"
                    "LOCK TABLES `t` WRITE;\r\nUNLOCK TABLES;\r\n");
}

TEST_F(table_test, LineBreaksOfANameStayInsideTheComments) {
    // A "#" comment ends at its line: the rest of such a name would run on replay.
    const std::wstring name = L"x\r\nDROP DATABASE shop;\n";
    const std::string text =
        script([&](dmp_database& db) { db.create_table(name, one_column(), {}); },
               [](dump_options& o) { o.comments = true; });
    EXPECT_NE(text.find("# Table structure for table 'x  DROP DATABASE shop; '\r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("# Dumping data for table 'x  DROP DATABASE shop; '\r\n"),
              std::string::npos)
        << text;
}

TEST_F(table_test, TablePropertiesGiveEngineAndCharacterSet) {
    table_properties properties;
    properties.tables[L"t"].properties[L"character set"] = L"latin1";
    properties.tables[L"m"].properties[L"engine"] = L"MyISAM";
    engine_.properties = &properties;
    const std::string text = script([&](dmp_database& db) {
        db.create_table(L"t", one_column(), {});
        db.create_table(L"m", one_column(), {});
        db.create_table(L"plain", one_column(), {});
    });
    engine_.properties = nullptr;
    // A latin1 table stays latin1; utf8 tables become utf8mb4 where the server has it.
    EXPECT_NE(text.find("\r\n) ENGINE=InnoDB character set latin1;\r\nLOCK TABLES `t`"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\r\n) ENGINE=MyISAM;\r\n/*!50503 ALTER TABLE `m` CONVERT TO CHARACTER "
                        "SET utf8mb4 */;\r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\r\n) ENGINE=InnoDB;\r\n/*!50503 ALTER TABLE `plain`"), std::string::npos);
}

TEST_F(table_test, EmptySchemaAndConsecutiveTables) {
    const std::string text = script([&](dmp_database& db) {
        db.create_table(L"e", udb_schema(), {});
        db.create_table(L"f", one_column(), {});
    });
    const std::string expected = "DROP TABLE IF EXISTS `e` CASCADE;\r\n"
                                 "CREATE TABLE `e` (\r\n\r\n) ENGINE=InnoDB;\r\n"
                                 "/*!50503 ALTER TABLE `e` CONVERT TO CHARACTER SET utf8mb4 */;\r\n"
                                 "LOCK TABLES `e` WRITE;\r\nUNLOCK TABLES;\r\n";
    EXPECT_EQ(text.substr(0, expected.size()), expected);
}

TEST_F(table_test, CarriageReturnsOfDefaultsAreEscaped) {
    auto c = column(L"s", VT_BSTR, 10);
    c->default_value = ole_variant(std::wstring(L"a\r\nb"));
    const std::string text =
        script([&](dmp_database& db) { db.create_table(L"t", schema_of({c}), {}); });
    EXPECT_NE(text.find("(\r\n  `s` VARCHAR(10) CHARACTER SET utf8 DEFAULT 'a\\r\nb'\r\n)"),
              std::string::npos)
        << text;
}

TEST_F(table_test, SecondTableOfTheSameNameIsAnInternalError) {
    script([&](dmp_database& db) {
        db.create_table(L"Orders", one_column(), {});
        try {
            db.create_table(L"ORDERS", one_column(), {});
            ADD_FAILURE() << "no exception";
        } catch (const tk_mail_assertion& e) {
            EXPECT_EQ(e.message, make_err_meggase("sql_dump", 428));
        }
    });
}

TEST_F(table_test, DropCreateIndexAndStatements) {
    const std::string text = script([&](dmp_database& db) {
        EXPECT_FALSE(db.delete_tab(L"never"));
        db.create_index(L"t", udb_schema(), index_of(L"ix", true, false, {L"a", L"b"}));
        db.delete_idx(L"t", index_of(L"ix", false, false, {}));
        db.delete_idx(L"t", index_of(L"pk", true, true, {}));
        db.delete_fk(udb_relationship(L"fk", L"", L"child", L"parent", {}, {}, L""));
        db.empty_table(L"t x");
        db.query(L"create function f() returns int return 1");
    });
    EXPECT_EQ(text, "DROP TABLE IF EXISTS `never` CASCADE;\r\n"
                    "LOCK TABLES `t` WRITE;\r\n"
                    "CREATE UNIQUE INDEX `ix` ON `t`(`a`, `b`);\n"
                    "ALTER TABLE `t` DROP INDEX `ix`;\r\n"
                    "ALTER TABLE `t` DROP PRIMARY KEY;\r\n"
                    "ALTER TABLE `child` DROP FOREIGN KEY `fk`;\r\n"
                    "delete from `t x`;\r\n"
                    "DELIMITER $$\r\ncreate function f() returns int return 1;\r\n$$\r\n"
                    "DELIMITER ;\r\nUNLOCK TABLES;\r\n");
}

// What needs a newer server than 4.1 stays in version comments.
TEST_F(table_test, DateColumnsKeepFractionsAndDefaultsForNewerServers) {
    auto with_default = [](std::shared_ptr<t_ftd> c, const wchar_t* text) {
        c->default_value = ole_variant(std::wstring(text));
        return c;
    };
    auto with_comment = [](std::shared_ptr<t_ftd> c, const wchar_t* text) {
        c->comment = text;
        return c;
    };
    struct {
        std::shared_ptr<t_ftd> column;
        const char* clause;
    } cases[] = {
        {column(L"d", VT_DATE, 8, 1, 0, 3), "`d` DATETIME/*!50604 (3) */"},
        {column(L"d", VT_DATE, 8, 3, 0, 7), "`d` TIME/*!50604 (6) */"},
        {column(L"d", VT_DATE, 8, 1, 0, 0), "`d` DATETIME"},
        {with_default(column(L"d", VT_DATE, 8, 9, 0, 0), L"getdate()"),
         "`d` DATETIME /*!50605 DEFAULT CURRENT_TIMESTAMP */"},
        {with_default(column(L"d", VT_DATE, 8, 9, 0, 6), L"getdate()"),
         "`d` DATETIME/*!50604 (6) */ /*!50605 DEFAULT CURRENT_TIMESTAMP(6) */"},
        {with_default(column(L"d", VT_DATE, 8, 1, 0, 2), L"2001-02-03 04:05:06"),
         "`d` DATETIME/*!50604 (2) */ DEFAULT \"2001-02-03 04:05:06\""},
        // Expression defaults: only MariaDB from 10.2.1 runs its own comment form; MySQL skips
        // it, and MariaDB 10.0 and 10.1 (which would run /*!80013 ... */) skip it too.
        {with_default(column(L"d", VT_DATE, 8, 10, 0, 0), L"getdate()"),
         "`d` DATE /*M!100201 DEFAULT (curdate()) */"},
        {with_default(column(L"d", VT_DATE, 8, 11, 0, 3), L"sysdatetime()"),
         "`d` TIME/*!50604 (3) */ /*M!100201 DEFAULT (curtime(3)) */"},
        {with_default(column(L"d", VT_DATE, 8, 9, 0, 7), L"sysutcdatetime()"),
         "`d` DATETIME/*!50604 (6) */ /*M!100201 DEFAULT (utc_timestamp(6)) */"},
        {with_default(column(L"d", VT_DATE, 8, 9, 0, 0), L"getutcdate()"),
         "`d` DATETIME /*M!100201 DEFAULT (utc_timestamp()) */"},
        {with_default(column(L"g", VT_BSTR, 36, 1), L"newid()"),
         "`g` VARCHAR(36) CHARACTER SET utf8 /*M!100201 DEFAULT (upper(uuid())) */"},
        {with_default(column(L"g", VT_BSTR, 36, 1), L"NEWSEQUENTIALID()"),
         "`g` VARCHAR(36) CHARACTER SET utf8 /*M!100201 DEFAULT (upper(uuid())) */"},
        {with_comment(with_default(column(L"g", VT_BSTR, 36, 1), L"newid()"), L"x COMMENT 'y'"),
         "`g` VARCHAR(36) CHARACTER SET utf8 /*M!100201 DEFAULT (upper(uuid())) */ COMMENT 'x "
         "COMMENT \\'y\\''"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.clause);
        const std::string text =
            script([&](dmp_database& db) { db.create_table(L"t", schema_of({c.column}), {}); });
        EXPECT_NE(text.find(std::string("(\r\n  ") + c.clause + "\r\n)"), std::string::npos)
            << text;
    }
}

// Index keys of a table converted to utf8mb4 count four bytes per character against the
// 767 bytes every InnoDB takes.
TEST_F(table_test, IndexKeysAreJudgedAtFourBytesPerCharacter) {
    udb_indexes indexes;
    indexes.push_back(index_of(L"ix_fits", false, false, {L"a"}));
    indexes.push_back(index_of(L"ix_long", false, false, {L"b"}));
    indexes.push_back(index_of(L"ux_long", true, false, {L"b"}));
    const udb_schema schema = schema_of({column(L"a", VT_BSTR, 191), column(L"b", VT_BSTR, 192)});
    const std::string utf8 =
        script([&](dmp_database& db) { db.create_table(L"t", schema, indexes); });
    EXPECT_NE(utf8.find("INDEX `ix_fits` (`a`)"), std::string::npos) << utf8;
    // Too long for every server: a plain index on a prefix, a unique one only for MariaDB.
    EXPECT_NE(utf8.find("INDEX `ix_long` (`b`(191))\r\n  /*M!100400 , UNIQUE `ux_long` (`b`) "
                        "USING HASH */\r\n)"),
              std::string::npos)
        << utf8;
    EXPECT_EQ(engine_.charset, L"utf8");

    engine_.charset = L"latin1";
    const std::string latin1 =
        script([&](dmp_database& db) { db.create_table(L"t", schema, indexes); });
    EXPECT_NE(latin1.find("INDEX `ix_long` (`b`)"), std::string::npos) << latin1;
    EXPECT_EQ(latin1.find("CONVERT TO"), std::string::npos);
}

TEST_F(table_test, ForeignKeysWithoutRelationshipsAndAfterALock) {
    EXPECT_EQ(script([&](dmp_database& db) { db.create_relationships({}); }),
              "\r\nSET FOREIGN_KEY_CHECKS = 0;\r\nSET FOREIGN_KEY_CHECKS = 1;\r\n");
    const std::string locked = script([&](dmp_database& db) {
        db.create_table(L"t", one_column(), {});
        db.create_relationships({});
    });
    EXPECT_NE(
        locked.find("LOCK TABLES `t` WRITE;\r\nUNLOCK TABLES;\r\n\r\nSET FOREIGN_KEY_CHECKS = "
                    "0;\r\nSET FOREIGN_KEY_CHECKS = 1;\r\n"),
        std::string::npos)
        << locked;
}

TEST_F(table_test, ForeignKeysUseDestinationNamesAndNamesOfTheirOwn) {
    udb_indexes indexes;
    indexes.push_back(index_of(L"PK", true, true, {L"id"}));
    indexes.push_back(index_of(L"ix_parent", false, false, {L"parent;id", L"id"}));
    // "parent;id" is no valid MySQL column name: the script names it otherwise.
    const udb_schema schema = schema_of({column(L"id", VT_I4, 4), column(L"parent;id", VT_I4, 4)});
    udb_relationships keys;
    keys.push_back(udb_relationship(L"fk_self", L"PK", L"Tree", L"tree", {L"parent;id"}, {L"id"},
                                    L" ON DELETE NO ACTION"));
    keys.push_back(udb_relationship(L"fk_self", L"PK", L"tree", L"tree", {L"id"}, {L"id"}, L""));
    const std::string text = script([&](dmp_database& db) {
        db.add_tn_mapping(L"Tree", L"tree");
        db.create_table(L"tree", schema, indexes);
        db.create_relationships(keys);
    });
    const std::string fks = text.substr(text.find("SET FOREIGN_KEY_CHECKS = 0"));
    // The key's columns lead ix_parent: no index is added; the table is locked once.
    EXPECT_EQ(fks, "SET FOREIGN_KEY_CHECKS = 0;\r\n"
                   "LOCK TABLES `tree` WRITE;\r\n"
                   "ALTER TABLE `tree` ADD CONSTRAINT `fk_self` FOREIGN KEY(`parent_id`) "
                   "REFERENCES `tree`(`id`)  ON DELETE NO ACTION;\r\n"
                   "LOCK TABLES `tree` WRITE;\r\n"
                   "ALTER TABLE `tree` ADD CONSTRAINT `fk_self00000` FOREIGN KEY(`id`) "
                   "REFERENCES `tree`(`id`);\r\n"
                   "SET FOREIGN_KEY_CHECKS = 1;\r\n"
                   "UNLOCK TABLES;\r\n");
}

TEST_F(table_test, OldServerScriptHasNoForeignKeys) {
    udb_relationships keys;
    keys.push_back(udb_relationship(L"fk", L"", L"a", L"b", {L"x"}, {L"y"}, L""));
    EXPECT_EQ(script([&](dmp_database& db) { db.create_relationships(keys); },
                     [](dump_options& o) { o.new_version = false; }),
              "");
}

// LOCK TABLES refuses CREATE VIEW on tables it does not name, so the views come after an
// UNLOCK; their texts take the server's conversion. A view the script's servers may not take
// (WITH) is reported by name, never left out without a word.
TEST_F(table_test, ViewsFollowAnUnlockAndOnlySelectsAreWritten) {
    const std::wstring source = L"SELECT [a] FROM [t]\r\n WHERE isnull(a, 0) = 0";
    sql_test::recording_error_handler handler;
    const std::string text = script([&](dmp_database& db) {
        db.create_table(L"t", one_column(), {});
        db.create_views({{L"v1", source},
                         {L"v2", L" select 1"},
                         {L"v3", L"WITH x AS (SELECT 1) SELECT * FROM x"},
                         {L"v;4", L"select 4"},
                         {L"v5", L"select 'a\r\nb' AS x"}});
        EXPECT_EQ(db.names_map.get_tn_mapped_name(L"v;4", false), L"v_4");
    });
    udb_names_map names;
    const std::string expected =
        "LOCK TABLES `t` WRITE;\r\nUNLOCK TABLES;\r\nCREATE OR REPLACE SQL SECURITY INVOKER VIEW `v1` AS " +
        tk_to_utf8(sql_view_converter::refine_view_in(source, &names)) +
        "\r\nCREATE OR REPLACE SQL SECURITY INVOKER VIEW `v2` AS select 1;\r\n"
        "CREATE OR REPLACE SQL SECURITY INVOKER VIEW `v_4` AS select 4;\r\n"
        "CREATE OR REPLACE SQL SECURITY INVOKER VIEW `v5` AS select 'a\\r\nb' AS x;\r\n";
    EXPECT_EQ(text.substr(text.find("LOCK TABLES")), expected);
    EXPECT_EQ(handler.messages,
              std::vector<std::string>{"View 'v3': The view begins with WITH, which only MySQL "
                                       "8.0 and MariaDB 10.2 and later take in a view"});
}

} // namespace
