// Reading an existing MySQL table back: columns, indexes, row key and foreign keys.
#include "table_fixture.h"

#include "SQL/sql_engi.h"

using namespace table_test;

namespace {

class sql_table_read : public server_test {};

TEST_F(sql_table_read, columns_refined_from_the_server) {
    exec(mysql(), "CREATE TABLE t (v VARCHAR(50), f FLOAT(10,2), f0 FLOAT(10,0), fp FLOAT,"
                  " tx TEXT, d DATETIME NOT NULL DEFAULT '0000-00-00 00:00:00',"
                  " ts TIMESTAMP NOT NULL DEFAULT CURRENT_TIMESTAMP, n INT NOT NULL,"
                  " k INT NOT NULL DEFAULT 42, s VARCHAR(10) NOT NULL DEFAULT 'a''b',"
                  " e VARCHAR(36) NOT NULL DEFAULT (uuid()), nt TEXT)");
    auto db = open_db();
    auto t = table(*db, L"t");
    const udb_schema& s = t->schema;
    EXPECT_EQ(s.get_field2(L"v").type, VT_BSTR);
    EXPECT_EQ(s.get_field2(L"v").size, 50);
    EXPECT_EQ(s.get_field2(L"f").type, VT_DECIMAL);
    EXPECT_EQ(s.get_field2(L"f").prec, 10);
    EXPECT_EQ(s.get_field2(L"f").scale, 2);
    EXPECT_EQ(s.get_field2(L"f0").type, VT_R4);
    EXPECT_EQ(s.get_field2(L"fp").type, VT_R4);
    EXPECT_EQ(s.get_field2(L"tx").type, VT_BSTR);
    EXPECT_FALSE(s.get_field2(L"d").b_not_null); // a zero-date default means "no value"
    EXPECT_EQ(s.get_field2(L"ts").dw_reserved, 9);
    EXPECT_EQ(s.get_field2(L"k").default_value.to_long(), 42);
    EXPECT_EQ(s.get_field2(L"s").default_value.to_wstring(), L"a'b");
    EXPECT_EQ(s.get_field2(L"nt").default_value.get_type(), VT_EMPTY);
    EXPECT_TRUE(t->indexes.empty());
    EXPECT_EQ(t->key_idx, -1);
    EXPECT_FALSE(engine_->blob_to_text);
}

TEST_F(sql_table_read, indexes_and_row_key) {
    exec(mysql(), "CREATE TABLE pk_after_unique (a INT NOT NULL, b INT NOT NULL, c INT,"
                  " UNIQUE KEY u1 (b, a), PRIMARY KEY (a), KEY plain (c))");
    exec(mysql(), "CREATE TABLE two_unique (a INT, b INT, UNIQUE KEY first_u (b),"
                  " UNIQUE KEY second_u (a))");
    auto db = open_db();
    {
        auto t = table(*db, L"pk_after_unique");
        ASSERT_GE(t->key_idx, 0);
        const udb_index& key = t->indexes[static_cast<std::size_t>(t->key_idx)];
        EXPECT_EQ(key.name, L"PRIMARY");
        EXPECT_TRUE(key.b_primary);
        bool saw_u1 = false;
        for (const udb_index& index : t->indexes) {
            if (index.name == L"u1") {
                saw_u1 = true;
                EXPECT_EQ(index.columns, (std::vector<std::wstring>{L"b", L"a"}));
                EXPECT_TRUE(index.b_unique);
                EXPECT_FALSE(index.b_primary);
            }
            if (index.name == L"plain") {
                EXPECT_FALSE(index.b_unique);
            }
        }
        EXPECT_TRUE(saw_u1);
    }
    {
        auto t = table(*db, L"two_unique");
        ASSERT_GE(t->key_idx, 0);
        EXPECT_EQ(t->indexes[static_cast<std::size_t>(t->key_idx)].name, L"first_u");
    }
    {
        // Without bits other than 0x20 and 0x40 no index is read.
        auto t = table(*db, L"two_unique", 0x60);
        EXPECT_TRUE(t->indexes.empty());
        EXPECT_EQ(t->key_idx, -1);
    }
}

TEST_F(sql_table_read, foreign_keys_with_awkward_names) {
    exec(mysql(), "CREATE TABLE `par ``ent` (`k ey` INT NOT NULL, `größe` INT NOT NULL,"
                  " PRIMARY KEY (`k ey`, `größe`)) ENGINE=InnoDB");
    exec(mysql(), "CREATE TABLE `Kind Ä` (id INT PRIMARY KEY, `a``b` INT, `c d` INT,"
                  " parent INT,"
                  " CONSTRAINT `fk ``1` FOREIGN KEY (`a``b`, `c d`) REFERENCES `par ``ent`"
                  " (`k ey`, `größe`) ON DELETE CASCADE ON UPDATE SET NULL,"
                  " CONSTRAINT self_fk FOREIGN KEY (parent) REFERENCES `Kind Ä` (id))"
                  " ENGINE=InnoDB");
    auto db = open_db();
    db->relationships.clear();
    auto t = table(*db, L"Kind Ä");
    ASSERT_EQ(db->relationships.size(), 2u);
    const udb_relationship* composite = nullptr;
    const udb_relationship* self = nullptr;
    for (const udb_relationship& r : db->relationships) {
        (r.name == L"self_fk" ? self : composite) = &r;
    }
    ASSERT_NE(composite, nullptr);
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(composite->name, L"fk `1");
    EXPECT_EQ(composite->fk_table, L"Kind Ä");
    EXPECT_EQ(composite->pk_table, L"par `ent");
    EXPECT_EQ(composite->fk_flds, (std::vector<std::wstring>{L"a`b", L"c d"}));
    EXPECT_EQ(composite->pk_flds, (std::vector<std::wstring>{L"k ey", L"größe"}));
    EXPECT_EQ(composite->properties, L"ON DELETE CASCADE ON UPDATE SET NULL");
    EXPECT_EQ(self->pk_table, L"Kind Ä");
    EXPECT_EQ(self->fk_flds, (std::vector<std::wstring>{L"parent"}));
    EXPECT_TRUE(self->properties.empty());

    // The columns and the row key of the same table.
    EXPECT_TRUE(t->schema.find_field(L"a`b"));
    EXPECT_TRUE(t->schema.find_field(L"c d"));
    ASSERT_GE(t->key_idx, 0);
    EXPECT_EQ(t->indexes[static_cast<std::size_t>(t->key_idx)].columns,
              (std::vector<std::wstring>{L"id"}));

    // Opening the table again adds its foreign keys again.
    auto again = table(*db, L"Kind Ä");
    EXPECT_EQ(db->relationships.size(), 4u);
}

TEST_F(sql_table_read, blob_as_text_switch_restored_when_reading_fails) {
    exec(mysql(), "CREATE TABLE gone (a INT)");
    auto db = open_db();
    exec(mysql(), "DROP TABLE gone");
    engine_->set_blob_to_text(false);
    EXPECT_THROW(table(*db, L"gone"), sql_exception);
    EXPECT_FALSE(engine_->blob_to_text);
}

} // namespace

namespace {

TEST_F(sql_table_read, old_servers_by_version_word) {
    exec(mysql(), "CREATE TABLE p (id INT PRIMARY KEY) ENGINE=InnoDB");
    exec(mysql(), "CREATE TABLE c (id INT, CONSTRAINT fk FOREIGN KEY (id) REFERENCES p (id))"
                  " ENGINE=InnoDB");
    auto db = open_db();
    const uint32_t real = engine_->version;
    for (const uint32_t version : {0x3172Bu, 0x3172Cu}) {
        SCOPED_TRACE(version);
        db->relationships.clear();
        engine_->version = version; // the statements stay valid on the real server
        auto t = table(*db, L"c");
        engine_->version = real;
        EXPECT_EQ(db->relationships.size(), version >= 0x3172C ? 1u : 0u);
        EXPECT_EQ(t->indexes.size(), 1u); // indexes are read all the same
    }
}

TEST_F(sql_table_read, prepared_statement_failures) {
    exec(mysql(), "CREATE TABLE t (id INT PRIMARY KEY, b LONGBLOB)");
    auto db = open_db();
    udb_record r;
    r.push_back(field(L"id", int_value(1), 4));
    r.push_back(field(L"b", bytes_value(std::vector<uint8_t>(0x100001, 7))));
    // A statement the server cannot prepare is the server's error.
    try {
        db->prepared_statement("INSERT INTO nowhere VALUES (1, ?)", r, 1);
        ADD_FAILURE() << "no error";
    } catch (const sql_exception& e) {
        EXPECT_EQ(e.code, 0x400000 + 1146);
    }
    // Placeholders and long values that do not agree are refused before anything is sent.
    EXPECT_THROW(db->prepared_statement("INSERT INTO t VALUES (1, ?)", r, 2),
                 sql_prep_stmt_failed_exception);
    EXPECT_THROW(db->prepared_statement("INSERT INTO t VALUES (?, ?)", r, 1),
                 sql_prep_stmt_failed_exception);
    db->prepared_statement("INSERT INTO t VALUES (1, ?)", r, 1);
    EXPECT_EQ(value_of(mysql(), "SELECT LENGTH(b) FROM t"), "1048577");
}

} // namespace
