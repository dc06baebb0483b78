// Foreign keys created from source relationships, with their supporting indexes.
#include "table_fixture.h"

#include "SQL/sql_engi.h"

using namespace table_test;

namespace {

udb_relationship rel(const std::wstring& name, const std::wstring& child,
                     const std::wstring& parent, std::vector<std::wstring> fk,
                     std::vector<std::wstring> pk, const std::wstring& rule) {
    return udb_relationship(name, L"", child, parent, fk, pk, rule);
}

class sql_foreign_keys : public server_test {
protected:
    void SetUp() override {
        server_test::SetUp();
        exec(mysql(), "CREATE TABLE parent (a INT NOT NULL, b INT NOT NULL, PRIMARY KEY (a, b))"
                      " ENGINE=InnoDB");
        exec(mysql(), "CREATE TABLE child (id INT PRIMARY KEY, pa INT, pb INT, up INT)"
                      " ENGINE=InnoDB");
        exec(mysql(), "CREATE TABLE loose (x INT, y INT) ENGINE=InnoDB");
        exec(mysql(), "CREATE TABLE target (y INT NOT NULL) ENGINE=InnoDB");
        exec(mysql(), "CREATE TABLE other (z INT) ENGINE=InnoDB");
    }

    // Constraint name -> "table(columns)->table(columns) update/delete rules".
    std::map<std::string, std::string> constraints() {
        std::map<std::string, std::string> out;
        const auto rows = rows_of(
            mysql(), "SELECT r.CONSTRAINT_NAME, r.TABLE_NAME, r.REFERENCED_TABLE_NAME,"
                     " r.UPDATE_RULE, r.DELETE_RULE,"
                     " (SELECT GROUP_CONCAT(COLUMN_NAME, '>', REFERENCED_COLUMN_NAME ORDER BY"
                     " ORDINAL_POSITION) FROM information_schema.KEY_COLUMN_USAGE k WHERE"
                     " k.CONSTRAINT_SCHEMA=r.CONSTRAINT_SCHEMA AND"
                     " k.CONSTRAINT_NAME=r.CONSTRAINT_NAME AND k.TABLE_NAME=r.TABLE_NAME)"
                     " FROM information_schema.REFERENTIAL_CONSTRAINTS r WHERE"
                     " r.CONSTRAINT_SCHEMA=DATABASE()");
        for (const auto& r : rows) {
            out[r[0]] = r[1] + "->" + r[2] + " " + r[5] + " " + r[3] + "/" + r[4];
        }
        return out;
    }

    // Whether `table` has an index that begins with `column`.
    bool has_index(const std::string& table, const std::string& column) {
        return value_of(mysql(), "SELECT COUNT(*) FROM information_schema.STATISTICS WHERE"
                                 " TABLE_SCHEMA=DATABASE() AND TABLE_NAME='" +
                                     table + "' AND COLUMN_NAME='" + column +
                                     "' AND SEQ_IN_INDEX=1") != "0";
    }
};

TEST_F(sql_foreign_keys, created_from_source_relationships) {
    recording_handler handler;
    auto db = open_db();
    // The source spelled the child table and a column otherwise.
    db->names_map.add_tn_mapping(L"Child", L"child");
    t_names_map columns;
    columns.add(L"PA", L"pa");
    db->names_map.add_fn_map(L"child", columns);

    udb_relationships list;
    list.push_back(rel(L"fk_comp", L"Child", L"parent", {L"PA", L"pb"}, {L"a", L"b"},
                       L"ON DELETE CASCADE ON UPDATE CASCADE"));
    list.push_back(rel(L"fk_self", L"Child", L"child", {L"up"}, {L"id"}, L"ON DELETE SET NULL"));
    list.push_back(rel(L"fk_dup", L"loose", L"target", {L"x"}, {L"y"},
                       L"ON UPDATE NO ACTION ON DELETE RESTRICT"));
    list.push_back(rel(L"fk_dup", L"loose", L"target", {L"y"}, {L"y"}, L""));
    list.push_back(rel(L"fk_missing", L"loose", L"nowhere", {L"x"}, {L"y"}, L""));
    db->create_relationships(list);

    const auto found = constraints();
    ASSERT_EQ(found.size(), 4u) << ::testing::PrintToString(found)
                                << ::testing::PrintToString(handler.messages);
    EXPECT_EQ(found.at("fk_comp"), "child->parent pa>a,pb>b CASCADE/CASCADE");
    EXPECT_EQ(found.at("fk_self"), "child->child up>id RESTRICT/SET NULL");
    // While foreign-key checks are off the server records RESTRICT as NO ACTION, which means
    // the same to InnoDB.
    EXPECT_EQ(found.at("fk_dup"), "loose->target x>y NO ACTION/NO ACTION");
    // The second key of the same name got a name of its own.
    bool generated = false;
    for (const auto& [name, text] : found) {
        if (name != "fk_dup" && text == "loose->target y>y RESTRICT/RESTRICT") {
            generated = true;
        }
    }
    EXPECT_TRUE(generated) << ::testing::PrintToString(found);
    // Supporting indexes where none led with the key's columns.
    EXPECT_TRUE(has_index("target", "y"));
    EXPECT_TRUE(has_index("loose", "x"));
    EXPECT_TRUE(has_index("child", "up"));

    ASSERT_EQ(handler.messages.size(), 1u);
    // The reason follows the message.
    EXPECT_EQ(handler.messages[0],
              "Foreign key 'fk_missing': Cannot create foreign key. Table 'nowhere' not exists");

    // No table stays locked: the run's later statements reach every table.
    exec(mysql(), "CREATE VIEW v AS SELECT z FROM other");
    EXPECT_EQ(value_of(mysql(), "SELECT COUNT(*) FROM other"), "0");
    EXPECT_EQ(value_of(mysql(), "SELECT @@foreign_key_checks"), "1");
}

TEST_F(sql_foreign_keys, locks_released_when_the_user_aborts) {
    recording_handler handler;
    handler.abort = true;
    auto db = open_db();
    udb_relationships list;
    // The lock is taken, then the constraint fails (no such column).
    list.push_back(rel(L"bad", L"loose", L"target", {L"nope"}, {L"y"}, L""));
    list.push_back(rel(L"never", L"loose", L"target", {L"x"}, {L"y"}, L""));
    EXPECT_THROW(db->create_relationships(list), tk_final_exception);
    EXPECT_EQ(handler.messages.size(), 1u);
    EXPECT_TRUE(constraints().empty());
    exec(mysql(), "CREATE VIEW v AS SELECT z FROM other");
    EXPECT_EQ(value_of(mysql(), "SELECT COUNT(*) FROM other"), "0");
}

TEST_F(sql_foreign_keys, version_and_mode_rules) {
    recording_handler handler;
    udb_relationships list;
    list.push_back(rel(L"fk_v", L"loose", L"target", {L"x"}, {L"y"}, L""));
    const uint32_t real = engine_->version;
    {
        auto db = open_db();
        engine_->version = 0x3172B; // 3.23.43
        db->create_relationships(list);
        EXPECT_TRUE(constraints().empty());
    }
    {
        engine_->version = real;
        auto db = open_db(8); // append mode
        db->create_relationships(list);
        EXPECT_TRUE(constraints().empty());
    }
    {
        // 3.23.44 is the first version with foreign keys. The statements are the same, so the
        // real server can take them.
        auto db = open_db();
        engine_->version = 0x3172C;
        db->create_relationships(list);
        engine_->version = real;
        EXPECT_EQ(constraints().size(), 1u);
    }
    EXPECT_TRUE(handler.messages.empty()) << ::testing::PrintToString(handler.messages);
}

} // namespace

namespace {

TEST_F(sql_foreign_keys, every_update_and_delete_rule) {
    recording_handler handler;
    exec(mysql(), "CREATE TABLE rules (id INT PRIMARY KEY, c1 INT, c2 INT, c3 INT, c4 INT, c5 INT,"
                  " c6 INT) ENGINE=InnoDB");
    exec(mysql(), "CREATE TABLE keyed (k INT PRIMARY KEY) ENGINE=InnoDB");
    auto db = open_db();
    // The rule texts as the MS SQL source builds them.
    const std::vector<std::pair<std::wstring, std::string>> rules = {
        {L" ON UPDATE CASCADE ON DELETE CASCADE", "CASCADE/CASCADE"},
        {L" ON UPDATE SET NULL ON DELETE SET NULL", "SET NULL/SET NULL"},
        {L" ON UPDATE NO ACTION ON DELETE NO ACTION", "NO ACTION/NO ACTION"},
        {L" ON UPDATE CASCADE ON DELETE SET NULL", "CASCADE/SET NULL"},
        {L" ON DELETE CASCADE", "RESTRICT/CASCADE"},
        {L"", "RESTRICT/RESTRICT"},
    };
    udb_relationships list;
    for (std::size_t i = 0; i < rules.size(); ++i) {
        const std::wstring column = L"c" + std::to_wstring(i + 1);
        list.push_back(rel(L"fk_" + column, L"rules", L"keyed", {column}, {L"k"}, rules[i].first));
    }
    db->create_relationships(list);
    EXPECT_TRUE(handler.messages.empty()) << ::testing::PrintToString(handler.messages);
    const auto found = constraints();
    for (std::size_t i = 0; i < rules.size(); ++i) {
        const std::string column = "c" + std::to_string(i + 1);
        SCOPED_TRACE(column);
        ASSERT_EQ(found.count("fk_" + column), 1u);
        EXPECT_EQ(found.at("fk_" + column), "rules->keyed " + column + ">k " + rules[i].second);
    }
    // The referenced key leads an index already: no other index is added to it.
    EXPECT_EQ(value_of(mysql(), "SELECT COUNT(*) FROM information_schema.STATISTICS WHERE"
                                " TABLE_SCHEMA=DATABASE() AND TABLE_NAME='keyed'"),
              "1");
}

} // namespace
