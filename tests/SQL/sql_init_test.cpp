// Column and index clauses of CREATE TABLE, the row budget and the field finder; offline and on
// the test server.
#include "SQL/sql_init.h"

#include "SQL/sql_db.h"
#include "SQL/sql_engi.h"
#include "SQL/sql_ffnd.h"
#include "SQL/sql_sch.h"
#include "UDB/udb_field.h"
#include "UDB/udb_vali.h"
#include "tests/SQL/sql_test_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using sql_test::column;
using sql_test::fetch_value;
using sql_test::offline_engine;

constexpr uint32_t mariadb_10_11 = 0x0A0B13;
const char* const mariadb_info = "10.11.19-MariaDB";

std::vector<std::wstring> column_clauses(const udb_schema& schema, const udb_indexes& indexes,
                                         std::wstring& auto_name) {
    sql_schema_initializer init(L"t", schema, indexes, auto_name, false);
    std::vector<std::wstring> out;
    init.get_init_chunks(out, nullptr);
    return out;
}

std::string narrow(const std::wstring& text) {
    return tk_to_utf8(text);
}

udb_index index_of(const std::wstring& name, std::vector<std::wstring> columns, bool unique = false,
                   bool primary = false) {
    udb_index index(name, unique || primary, primary);
    index.columns = std::move(columns);
    return index;
}

TEST(SqlColumnClauses, PiecesInOrder) {
    offline_engine e(mariadb_10_11, mariadb_info);
    udb_schema schema;
    auto id = column(L"id", VT_I4, 4);
    id->b_auto_num = true;
    id->default_value = ole_variant::from_wstring(L"7", VT_I4);
    schema.push_back(id);
    auto name = column(L"name", VT_BSTR, 40);
    name->b_not_null = true;
    name->default_value = ole_variant(std::wstring(L"n/a"));
    name->comment = L"it's a \\ name";
    schema.push_back(name);
    schema.push_back(column(L"shape", VT_BSTR, 0, 2));
    auto note = column(L"note", VT_BSTR, 30);
    note->native_type = L"varchar(30)";
    schema.push_back(note);
    auto memo = column(L"memo", VT_BSTR, 30);
    memo->native_type = L"TINYTEXT";
    schema.push_back(memo);
    auto amount = column(L"amount", VT_DECIMAL, 19, 0, 10, 2);
    amount->b_auto_num = true;
    schema.push_back(amount);
    udb_indexes indexes;
    indexes.push_back(index_of(L"PK", {L"name"}, true, true));

    std::wstring auto_name = L"stale";
    const auto clauses = column_clauses(schema, indexes, auto_name);
    ASSERT_EQ(clauses.size(), 6u);
    EXPECT_EQ(narrow(clauses[0]), "`id` INT NOT NULL AUTO_INCREMENT");
    EXPECT_EQ(narrow(clauses[1]), "`name` VARCHAR(40) CHARACTER SET utf8mb4 NOT NULL DEFAULT "
                                  "'n/a' COMMENT 'it\\'s a \\\\ name'");
    // Geometry takes no character set.
    EXPECT_EQ(narrow(clauses[2]), "`shape` geometry");
    // A stored type text in lower case takes none either; one in capitals does.
    EXPECT_EQ(narrow(clauses[3]), "`note` varchar(30)");
    EXPECT_EQ(narrow(clauses[4]), "`memo` TINYTEXT CHARACTER SET utf8mb4");
    // A decimal identity stays NOT NULL without AUTO_INCREMENT.
    EXPECT_EQ(narrow(clauses[5]), "`amount` DECIMAL(10,2) NOT NULL");
    EXPECT_EQ(auto_name, L"id");
}

TEST(SqlColumnClauses, OldServersAndServerLimits) {
    udb_schema schema;
    auto c = column(L"c", VT_BSTR, 10);
    c->comment = std::wstring(2000, L'x');
    schema.push_back(c);
    std::wstring auto_name;
    {
        offline_engine e(0x40018);
        const auto clauses = column_clauses(schema, udb_indexes(), auto_name);
        EXPECT_EQ(narrow(clauses[0]), "c VARCHAR(10) COMMENT '" + std::string(255, 'x') + "'");
    }
    {
        offline_engine e(mariadb_10_11, mariadb_info);
        const auto clauses = column_clauses(schema, udb_indexes(), auto_name);
        EXPECT_EQ(narrow(clauses[0]),
                  "`c` VARCHAR(10) CHARACTER SET utf8mb4 COMMENT '" + std::string(1024, 'x') + "'");
    }
}

TEST(SqlColumnClauses, TextDefaultsOnlyWhereTheServerTakesThem) {
    udb_schema schema;
    auto memo = column(L"memo", VT_BSTR, 2000);
    memo->native_type = L"MEDIUMTEXT";
    memo->default_value = ole_variant(std::wstring(L"x"));
    schema.push_back(memo);
    std::wstring auto_name;
    {
        offline_engine e(mariadb_10_11, mariadb_info);
        EXPECT_EQ(narrow(column_clauses(schema, udb_indexes(), auto_name)[0]),
                  "`memo` MEDIUMTEXT CHARACTER SET utf8mb4 DEFAULT ('x')");
    }
    {
        offline_engine e(0x050729, "5.7.41");
        EXPECT_EQ(narrow(column_clauses(schema, udb_indexes(), auto_name)[0]),
                  "`memo` MEDIUMTEXT CHARACTER SET utf8mb4");
    }
}

TEST(SqlColumnClauses, NamesAreMadeUnique) {
    offline_engine e(mariadb_10_11, mariadb_info);
    udb_schema schema;
    schema.push_back(column(L"Name", VT_I4, 4));
    schema.push_back(column(L"name", VT_I4, 4));
    schema.push_back(column(L"a;b", VT_I4, 4));
    std::wstring auto_name;
    sql_schema_initializer init(L"t", schema, udb_indexes(), auto_name, false);
    ASSERT_EQ(init.columns.size(), 3u);
    EXPECT_EQ(init.columns[0]->name, L"Name");
    EXPECT_NE(init.columns[1]->name, L"name");
    EXPECT_EQ(init.columns[2]->name, L"a_b");
    EXPECT_EQ(init.validator->mapped_pairs.at(L"name"), init.columns[1]->name);
    EXPECT_EQ(init.validator->mapped_pairs.at(L"a;b"), L"a_b");
    // The source descriptors keep their names.
    EXPECT_EQ(schema[1]->name, L"name");
}

TEST(SqlRowBudget, LargestTextColumnsBecomeLongTextButKeysNever) {
    sql_schema schema;
    for (int i = 0; i < 20; ++i) {
        schema.push_back(column(L"c" + std::to_wstring(i), VT_BSTR, 1000));
    }
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(schema[i]->size, 1000) << i;
    }
    for (int i = 16; i < 20; ++i) {
        EXPECT_EQ(schema[i]->size, 0) << i;
    }
    EXPECT_LE(schema.total_size, 65535u);

    // A key column is never the one chosen.
    sql_schema keyed;
    keyed.push_back(column(L"key", VT_BSTR, 10000), false);
    keyed.push_back(column(L"other", VT_BSTR, 9000));
    EXPECT_EQ(keyed[0]->size, 10000);
    EXPECT_EQ(keyed[1]->size, 0);

    // The server counts each text's length bytes and each long column's pointer too: 81
    // VARCHAR(200) and 119 LONGTEXT were 66,420 bytes, which the server refused (error 1118).
    sql_schema many;
    for (int i = 0; i < 200; ++i) {
        many.push_back(column(L"c" + std::to_wstring(i), VT_BSTR, 200));
    }
    std::size_t row_bytes = 200 / 8 + 1;
    for (int i = 0; i < 200; ++i) {
        row_bytes += many[i]->size == 0 ? 12 : 200 * 4 + 2;
    }
    EXPECT_LE(row_bytes, 65535u);
    EXPECT_LE(many.total_size, 65535u);

    sql_schema wide;
    wide.push_back(column(L"w", VT_BSTR, 21845));
    EXPECT_EQ(wide.total_size, 21845u);
    EXPECT_THROW(wide.push_back(nullptr), tk_mail_assertion);
}

TEST(SqlRowBudget, PrimaryKeyColumnsOfTheInitializerStay) {
    offline_engine e(mariadb_10_11, mariadb_info);
    udb_schema schema;
    schema.push_back(column(L"code", VT_BSTR, 700));
    for (int i = 0; i < 20; ++i) {
        schema.push_back(column(L"c" + std::to_wstring(i), VT_BSTR, 700));
    }
    udb_indexes indexes;
    indexes.push_back(index_of(L"PK", {L"code"}, true, true));
    std::wstring auto_name;
    sql_schema_initializer init(L"t", schema, indexes, auto_name, false);
    EXPECT_EQ(init.columns[0]->size, 700);
}

std::vector<std::wstring> index_clauses(const udb_schema& source, const udb_indexes& indexes,
                                        const std::wstring& storage = L"",
                                        std::vector<std::wstring>* left_out = nullptr,
                                        bool script = false) {
    std::wstring auto_name;
    sql_schema_initializer init(L"t", source, indexes, auto_name, false);
    std::vector<std::wstring> columns;
    init.get_init_chunks(columns, nullptr);
    sql_indexes_initializer idx(init.columns, indexes, auto_name, init.validator->mapped_pairs,
                                false, storage);
    idx.mariadb_hash_comment = script;
    std::vector<std::wstring> out;
    idx.get_init_chunks(out);
    if (left_out != nullptr) {
        *left_out = idx.left_out_keys;
    }
    return out;
}

std::vector<std::string> narrow_all(const std::vector<std::wstring>& texts) {
    std::vector<std::string> out;
    for (const std::wstring& text : texts) {
        out.push_back(narrow(text));
    }
    return out;
}

TEST(SqlIndexClauses, KeysNamesAndLimits) {
    offline_engine e(mariadb_10_11, mariadb_info);
    udb_schema schema;
    schema.push_back(column(L"a", VT_I4, 4));
    schema.push_back(column(L"b", VT_I4, 4));
    schema.push_back(column(L"t 1", VT_BSTR, 255));
    udb_indexes indexes;
    indexes.push_back(index_of(L"PK", {L"a", L"b"}, true, true));
    indexes.push_back(index_of(L"UX a;b", {L"t 1"}, true));
    indexes.push_back(index_of(L"IX_none", {}));
    indexes.push_back(index_of(L"IX_missing", {L"zz"}));
    std::vector<std::wstring> left_out;
    EXPECT_EQ(narrow_all(index_clauses(schema, indexes, L"", &left_out)),
              (std::vector<std::string>{"PRIMARY KEY (`a`, `b`)", "UNIQUE `ux a_b` (`t 1`)"}));
    EXPECT_TRUE(left_out.empty());
}

// utf8mb4 takes 4 bytes a character: VARCHAR(769) is 3076 bytes, one over InnoDB's 3072.
TEST(SqlIndexClauses, KeysOverTheLimit) {
    udb_schema schema;
    schema.push_back(column(L"id", VT_I4, 4));
    schema.push_back(column(L"long", VT_BSTR, 769));
    schema.push_back(column(L"memo", VT_BSTR, 0));
    schema.push_back(column(L"bin", ole_variant::vt_byte_array, 0));
    schema.push_back(column(L"shape", VT_BSTR, 0, 2));
    for (int i = 0; i < 4; ++i) {
        schema.push_back(column(L"c" + std::to_wstring(i), VT_BSTR, 255));
    }
    struct key_case {
        const char* label;
        uint32_t version;
        const char* info;
        udb_index index;
        std::vector<std::string> clauses;
        const char* reported; // part of the one message, or null for none
        const wchar_t* storage = L"";
        bool script = false;
    };
    const std::vector<key_case> cases = {
        // A prefix does not change what a plain index means: the longest columns are cut.
        {"plain index, long text",
         mariadb_10_11,
         mariadb_info,
         index_of(L"IX", {L"long"}),
         {"INDEX `IX` (`long`(768))"},
         nullptr},
        {"plain index, four columns",
         mariadb_10_11,
         mariadb_info,
         index_of(L"IX", {L"id", L"c0", L"c1", L"c2", L"c3"}),
         {"INDEX `IX` (`id`, `c0`(191), `c1`(192), `c2`(192), `c3`(192))"},
         nullptr},
        {"plain index, TEXT and BLOB",
         mariadb_10_11,
         mariadb_info,
         index_of(L"IX", {L"memo", L"bin"}),
         {"INDEX `IX` (`memo`(384), `bin`(1536))"},
         nullptr},
        {"plain index, MyISAM",
         mariadb_10_11,
         mariadb_info,
         index_of(L"IX", {L"c0"}),
         {"INDEX `IX` (`c0`(250))"},
         nullptr,
         L"MyISAM"},
        {"plain index, geometry",
         mariadb_10_11,
         mariadb_info,
         index_of(L"IX", {L"shape"}),
         {},
         "The index 'IX' was not created: its column 'shape' is GEOMETRY"},
        // A unique key is never cut: MariaDB 10.4 enforces it through a hash.
        {"unique, MariaDB 10.11",
         mariadb_10_11,
         mariadb_info,
         index_of(L"UX", {L"long"}, true),
         {"UNIQUE `UX` (`long`) USING HASH"},
         nullptr},
        {"unique TEXT, MariaDB 10.11",
         mariadb_10_11,
         mariadb_info,
         index_of(L"UX", {L"memo", L"id"}, true),
         {"UNIQUE `UX` (`memo`, `id`) USING HASH"},
         nullptr},
        {"unique, MariaDB 10.3",
         0x0A0312,
         "10.3.18-MariaDB",
         index_of(L"UX", {L"long"}, true),
         {},
         "The unique index 'UX' was not created: its key takes 3076 bytes, more than the 3072 "
         "bytes a key of storage engine InnoDB may take. Only MariaDB 10.4"},
        {"unique, MySQL 8",
         0x080024,
         "8.0.36",
         index_of(L"UX", {L"long"}, true),
         {},
         "The unique index 'UX' was not created"},
        {"unique, Aria",
         mariadb_10_11,
         mariadb_info,
         index_of(L"UX", {L"long"}, true),
         {},
         "The unique index 'UX' was not created: its key takes 3076 bytes, more than the 2000",
         L"Aria"},
        // No server makes a primary key that long: a unique hash stands in, and it is reported.
        {"primary key, MariaDB 10.11",
         mariadb_10_11,
         mariadb_info,
         index_of(L"PK_t", {L"long"}, true, true),
         {"UNIQUE `PK_t` (`long`) USING HASH"},
         "The primary key 'PK_t' was not created: its key takes 3076 bytes"},
        {"primary key, MySQL 8",
         0x080024,
         "8.0.36",
         index_of(L"PK_t", {L"long"}, true, true),
         {},
         "The primary key 'PK_t' was not created"},
        // A script judges keys at 767 bytes and writes a long unique key for MariaDB only.
        {"unique, script",
         0x40100,
         "",
         index_of(L"UX", {L"c0"}, true),
         {"/*M!100400 UNIQUE `UX` (`c0`) USING HASH */"},
         "The unique index 'UX' is written for MariaDB 10.4 and later only",
         L"InnoDB",
         true},
    };
    for (const key_case& c : cases) {
        SCOPED_TRACE(c.label);
        offline_engine e(c.version, c.info);
        e.engine.charset = L"utf8mb4";
        udb_indexes indexes;
        indexes.push_back(c.index);
        std::vector<std::wstring> left_out;
        EXPECT_EQ(narrow_all(index_clauses(schema, indexes, c.storage, &left_out, c.script)),
                  c.clauses);
        if (c.reported == nullptr) {
            EXPECT_TRUE(left_out.empty()) << narrow(left_out.front());
        } else {
            ASSERT_EQ(left_out.size(), 1u);
            EXPECT_NE(narrow(left_out[0]).find(c.reported), std::string::npos)
                << narrow(left_out[0]);
        }
    }
}

TEST(SqlIndexClauses, KeysTheServerCannotHoldAreReported) {
    std::vector<std::wstring> left_out;
    {
        offline_engine e(mariadb_10_11, mariadb_info);
        udb_schema schema;
        std::vector<std::wstring> names;
        for (int i = 0; i < 17; ++i) {
            names.push_back(L"c" + std::to_wstring(i));
            schema.push_back(column(names.back(), VT_I4, 4));
        }
        udb_indexes indexes;
        indexes.push_back(index_of(L"UX_wide", names, true));
        for (int i = 0; i < 64; ++i) {
            indexes.push_back(index_of(L"IX" + std::to_wstring(i), {L"c0"}));
        }
        EXPECT_EQ(index_clauses(schema, indexes, L"", &left_out).size(), 63u);
        EXPECT_EQ(
            narrow_all(left_out),
            (std::vector<std::string>{
                "The unique index 'UX_wide' was not created: it has 17 columns, and a key takes "
                "at most 16.",
                "The index 'IX63' was not created: a table takes at most 63 indexes here."}));
    }
    // Before 4.1 a key holds 256 characters; a unique key is not cut to fit.
    offline_engine old(0x40018);
    udb_schema narrow_schema;
    narrow_schema.push_back(column(L"c", VT_BSTR, 300));
    udb_indexes one;
    one.push_back(index_of(L"UX", {L"c"}, true));
    EXPECT_EQ(narrow_all(index_clauses(narrow_schema, one, L"", &left_out)),
              std::vector<std::string>{});
    EXPECT_EQ(left_out.size(), 1u);
}

TEST(SqlIndexClauses, AutoIncrementColumnKeepsAnIndexThatStartsWithIt) {
    offline_engine e(mariadb_10_11, mariadb_info);
    udb_schema schema;
    auto id = column(L"id", VT_I4, 4);
    id->b_auto_num = true;
    schema.push_back(id);
    schema.push_back(column(L"code", VT_I4, 4));
    schema.push_back(column(L"memo", VT_BSTR, 0));
    struct index_case {
        const char* label;
        std::vector<udb_index> indexes;
        std::vector<std::string> expected;
    };
    const std::vector<index_case> cases = {
        {"no index", {}, {"INDEX `id` (`id`)"}},
        {"first column", {index_of(L"IX", {L"id", L"code"})}, {"INDEX `IX` (`id`, `code`)"}},
        {"second column",
         {index_of(L"IX", {L"code", L"id"})},
         {"INDEX `IX` (`code`, `id`)", "INDEX `id` (`id`)"}},
        {"long text cut to a prefix",
         {index_of(L"IX", {L"id", L"memo"})},
         {"INDEX `IX` (`id`, `memo`(767))"}},
        {"an index named like the column",
         {index_of(L"id", {L"code"})},
         {"INDEX `id` (`code`)", "INDEX `id00000` (`id`)"}},
        // The server refuses the whole table when a hash covers the AUTO_INCREMENT column.
        {"long unique key over it",
         {index_of(L"UX", {L"id", L"memo"}, true)},
         {"INDEX `id` (`id`)"}},
        {"long primary key over it",
         {index_of(L"PK_t", {L"memo", L"id"}, true, true)},
         {"INDEX `id` (`id`)"}},
    };
    for (const index_case& c : cases) {
        SCOPED_TRACE(c.label);
        udb_indexes indexes;
        for (const udb_index& index : c.indexes) {
            indexes.push_back(index);
        }
        std::vector<std::string> got;
        for (const std::wstring& clause : index_clauses(schema, indexes)) {
            got.push_back(narrow(clause));
        }
        EXPECT_EQ(got, c.expected);
    }
    // Nor a script: the key is reported, never written as a hash.
    udb_indexes indexes;
    indexes.push_back(index_of(L"UX", {L"id", L"memo"}, true));
    std::vector<std::wstring> left_out;
    EXPECT_EQ(narrow_all(index_clauses(schema, indexes, L"InnoDB", &left_out, true)),
              std::vector<std::string>{"INDEX `id` (`id`)"});
    ASSERT_EQ(left_out.size(), 1u);
    EXPECT_NE(narrow(left_out[0]).find("The unique index 'UX' was not created"), std::string::npos)
        << narrow(left_out[0]);
    EXPECT_NE(narrow(left_out[0]).find("AUTO_INCREMENT column 'id' may be"), std::string::npos)
        << narrow(left_out[0]);
}

TEST(SqlFieldFinder, NamesFollowTheColumnRules) {
    offline_engine e(mariadb_10_11, mariadb_info);
    udb_record record;
    for (const wchar_t* name : {L"a", L"A", L"b"}) {
        record.push_back(std::make_unique<udb_field>(name, 4, ole_variant(), false, false));
    }
    sql_field_finder finder(record);
    ASSERT_EQ(finder.names.size(), 3u);
    EXPECT_EQ(finder.names[0], L"a");
    EXPECT_NE(finder.names[1], L"A");
    EXPECT_EQ(finder.get_field_idx(L"B"), 2);
    EXPECT_EQ(finder.get_field_idx(L"a"), 0);
    EXPECT_EQ(finder.get_field_idx(L"zz"), -1);
}

// ---- On the server ------------------------------------------------------------------------------

class SqlClauses : public sql_test::server_test {};

TEST_F(SqlClauses, TablesTheServerAccepts) {
    auto db = create_db();
    udb_schema schema;
    auto id = column(L"id", VT_I4, 4);
    id->b_auto_num = true;
    schema.push_back(id);
    auto shape = column(L"shape", VT_BSTR, 0, 2);
    schema.push_back(shape);
    auto note = column(L"note", VT_BSTR, 100);
    note->comment = std::wstring(1500, L'c') + L"\\";
    note->comment[0] = L'\'';
    schema.push_back(note);
    for (int i = 0; i < 4; ++i) {
        schema.push_back(column(L"k" + std::to_wstring(i), VT_BSTR, 255));
    }
    schema.push_back(column(L"emoji", VT_BSTR, 10));
    udb_indexes indexes;
    // The identity column is second in this index: it gets an index of its own.
    indexes.push_back(index_of(L"IX_note_id", {L"note", L"id"}));
    // Four text columns of 255 characters take 4080 bytes in utf8mb4: cut to prefixes.
    indexes.push_back(index_of(L"IX_wide", {L"k0", L"k1", L"k2", L"k3"}));
    auto table = db->create_table(L"Table `odd`", schema, indexes);
    ASSERT_TRUE(table);
    const std::string created = fetch_value(mysql(), "SHOW CREATE TABLE `Table ``odd```", 1);
    EXPECT_NE(created.find("KEY `id` (`id`)"), std::string::npos) << created;
    EXPECT_NE(created.find("KEY `IX_wide` (`k0`(192),`k1`(192),`k2`(192),`k3`(192))"),
              std::string::npos)
        << created;
    EXPECT_EQ(fetch_value(mysql(), "SELECT CHARACTER_MAXIMUM_LENGTH FROM "
                                   "information_schema.COLUMNS WHERE TABLE_SCHEMA=DATABASE() AND "
                                   "COLUMN_NAME='note'"),
              "100");
    const std::string comment =
        fetch_value(mysql(), "SELECT COLUMN_COMMENT FROM information_schema.COLUMNS WHERE "
                             "TABLE_SCHEMA=DATABASE() AND COLUMN_NAME='note'");
    EXPECT_EQ(comment.size(), 1024u);
    EXPECT_EQ(comment[0], '\'');

    // Characters outside the BMP arrive intact.
    db->query_append("INSERT INTO `Table ``odd``` (emoji) VALUES ('\xF0\x9F\x98\x80')");
    EXPECT_EQ(fetch_value(mysql(), "SELECT emoji FROM `Table ``odd```"), "\xF0\x9F\x98\x80");
}

TEST_F(SqlClauses, TablePropertiesChooseEngineAndCharacterSet) {
    auto db = create_db();
    struct table_props : udb_properties {
        udb_properties* find_by_name(const std::wstring&) override { return nullptr; }
        udb_properties* find_by_new_name(const std::wstring& name) override {
            return name == L"t_aria" ? &aria : nullptr;
        }
        struct leaf : udb_properties {
            udb_properties* find_by_name(const std::wstring&) override { return nullptr; }
            udb_properties* find_by_new_name(const std::wstring&) override { return nullptr; }
        } aria;
    } props;
    props.aria.properties[L"engine"] = L"Aria";
    props.aria.properties[L"character set"] = L"utf8";
    engine_->set_properties(&props);
    udb_schema schema;
    schema.push_back(column(L"a", VT_I4, 4));
    db->create_table(L"t_aria", schema, udb_indexes());
    db->create_table(L"t_plain", schema, udb_indexes());
    const std::string aria = fetch_value(mysql(), "SHOW CREATE TABLE t_aria", 1);
    EXPECT_NE(aria.find("ENGINE=Aria"), std::string::npos) << aria;
    EXPECT_NE(aria.find("CHARSET=utf8mb4"), std::string::npos) << aria;
    const std::string plain = fetch_value(mysql(), "SHOW CREATE TABLE t_plain", 1);
    EXPECT_NE(plain.find("ENGINE=InnoDB"), std::string::npos) << plain;
    engine_->set_properties(nullptr);
}

} // namespace

namespace {

TEST(SqlCreateTable, StatementByServerVersion) {
    udb_schema schema;
    auto id = column(L"id", VT_I4, 4);
    id->b_auto_num = true;
    schema.push_back(id);
    schema.push_back(column(L"name", VT_BSTR, 20));
    struct version_case {
        const char* label;
        uint32_t version;
        std::string expected;
    };
    const std::vector<version_case> cases = {
        {"3.23.34", 0x31722,
         "CREATE TABLE `t` (id INT NOT NULL AUTO_INCREMENT, name VARCHAR(20), "
         "INDEX `id` (`id`)) TYPE=MyISAM"},
        {"4.0.22", 0x40016,
         "CREATE TABLE `t` (id INT NOT NULL AUTO_INCREMENT, name VARCHAR(20), "
         "INDEX `id` (`id`)) TYPE=InnoDB"},
        {"4.0.23", 0x40017,
         "CREATE TABLE `t` (id INT NOT NULL AUTO_INCREMENT, name VARCHAR(20), "
         "INDEX `id` (`id`)) ENGINE=InnoDB"},
        {"10.11", mariadb_10_11,
         "CREATE TABLE `t` (`id` INT NOT NULL AUTO_INCREMENT, `name` VARCHAR(20) CHARACTER SET "
         "utf8mb4, INDEX `id` (`id`)) ENGINE=InnoDB"},
    };
    for (const version_case& c : cases) {
        SCOPED_TRACE(c.label);
        offline_engine e(c.version, c.version == mariadb_10_11 ? mariadb_info : "");
        t_names_map names;
        EXPECT_EQ(narrow(sql_create_table_statement(L"t", schema, udb_indexes(), names)),
                  c.expected);
    }

    // Without an index or an identity column there is no index clause; without table properties
    // no table character set, whatever the engine's.
    offline_engine e(mariadb_10_11, mariadb_info);
    e.engine.charset = L"latin1";
    udb_schema plain;
    plain.push_back(column(L"a b", VT_I4, 4));
    t_names_map names;
    EXPECT_EQ(narrow(sql_create_table_statement(L"x`y", plain, udb_indexes(), names)),
              "CREATE TABLE `x``y` (`a b` INT) ENGINE=InnoDB");
}

// A default only an expression carries is left out where the server takes none, and the user is
// told which table, column and default; the table is still created.
TEST(SqlEngineVersionRules, DefaultsTheServerCannotTakeAreReported) {
    udb_schema schema;
    auto with_default = [&schema](std::shared_ptr<t_ftd> c, const wchar_t* text) {
        c->default_value = ole_variant(std::wstring(text));
        c->b_not_null = true;
        schema.push_back(c);
    };
    with_default(column(L"g", VT_BSTR, 36, 1), L"newid()");
    with_default(column(L"u", VT_DATE, 16, 9, 0, 3), L"getutcdate()");
    with_default(column(L"d", VT_DATE, 6, 10), L"getdate()");
    with_default(column(L"n", VT_DATE, 16, 9, 0, 3), L"sysdatetime()");
    struct server_case {
        const char* label;
        uint32_t version;
        const char* info;
        std::string columns;
        std::vector<std::string> reported;
    };
    const std::string t = "Table 'dbo.t': The default value '";
    const std::string why = "' is left out: the server takes no expression default (MySQL "
                            "8.0.13 or MariaDB 10.2.1 needed)";
    const std::vector<server_case> cases = {
        {"MySQL 5.7",
         0x05072C,
         "5.7.44",
         "(`g` VARCHAR(36) CHARACTER SET utf8mb4 NOT NULL, `u` DATETIME(3) NOT NULL, `d` DATE NOT "
         "NULL, `n` DATETIME(3) NOT NULL DEFAULT CURRENT_TIMESTAMP(3))",
         {t + "newid()' of column 'g" + why, t + "getutcdate()' of column 'u" + why,
          t + "getdate()' of column 'd" + why}},
        {"MariaDB 10.11",
         mariadb_10_11,
         mariadb_info,
         "(`g` VARCHAR(36) CHARACTER SET utf8mb4 NOT NULL DEFAULT (upper(uuid())), `u` "
         "DATETIME(3) NOT NULL DEFAULT (utc_timestamp(3)), `d` DATE NOT NULL DEFAULT (curdate()), "
         "`n` DATETIME(3) NOT NULL DEFAULT CURRENT_TIMESTAMP(3))",
         {}},
    };
    for (const server_case& c : cases) {
        SCOPED_TRACE(c.label);
        offline_engine e(c.version, c.info);
        sql_test::recording_error_handler handler;
        t_names_map names;
        EXPECT_EQ(narrow(sql_create_table_statement(L"dbo.t", schema, udb_indexes(), names)),
                  "CREATE TABLE `dbo.t` " + c.columns + " ENGINE=InnoDB");
        EXPECT_EQ(handler.messages, c.reported);
    }
}

TEST(SqlEngineVersionRules, SessionSettingsAndDatabaseStatements) {
    EXPECT_STREQ(sql_engine::names_statement(0x50503), "SET NAMES utf8mb4");
    EXPECT_STREQ(sql_engine::names_statement(0x50502), "SET NAMES UTF8");
    EXPECT_EQ(sql_engine::session_sql_mode(0x40100), "");
    EXPECT_EQ(sql_engine::session_sql_mode(0x40101), "NO_AUTO_VALUE_ON_ZERO");
    EXPECT_EQ(sql_engine::session_sql_mode(0x50001), "NO_AUTO_VALUE_ON_ZERO");
    EXPECT_EQ(sql_engine::session_sql_mode(0x50002), "NO_AUTO_VALUE_ON_ZERO,STRICT_ALL_TABLES");
    EXPECT_EQ(sql_engine::session_sql_mode(0x50008),
              "NO_AUTO_VALUE_ON_ZERO,STRICT_ALL_TABLES,NO_ENGINE_SUBSTITUTION");
    {
        offline_engine e(0x50729, "5.7.41");
        EXPECT_EQ(e.engine.create_database_statement(L"db1"),
                  L"CREATE DATABASE `db1` character set utf8mb4");
    }
    {
        offline_engine e(0x40018);
        EXPECT_EQ(e.engine.create_database_statement(L"db1"),
                  L"CREATE DATABASE db1 character set utf8");
    }
}

} // namespace
