// The fixture files: the model they describe and the errors a bad file gets.
#include "tests/support/tds_server/tds_fixture.h"

#include <gtest/gtest.h>

namespace {

TEST(TdsFixture, DescribesSchemasKeysIndexesViewsAndSequences) {
    tds_fixture_database db = tds_load_fixture(tds_fixture_dir() + "/shop.tds");
    EXPECT_EQ(db.name, "velmora_shop");
    EXPECT_EQ(db.schemas, (std::vector<std::string>{"dbo", "sales", "audit"}));

    const tds_fixture_table* orders = db.find_table("SALES", "Orders");
    ASSERT_NE(orders, nullptr);
    const tds_fixture_column* id = orders->find_column("order_id");
    ASSERT_NE(id, nullptr);
    EXPECT_TRUE(id->identity);
    EXPECT_FALSE(id->nullable);
    EXPECT_EQ(id->identity_seed, 1000);
    EXPECT_EQ(id->identity_increment, 10);
    EXPECT_EQ(orders->find_column("ordered")->default_definition, "(getdate())");
    EXPECT_EQ(orders->find_column("quantity")->default_definition, "((1))");
    EXPECT_EQ(orders->find_column("total")->computed_definition, "([quantity]*[unit_price])");
    EXPECT_EQ(orders->find_column("note")->type.sql_name(), "nvarchar(max)");
    EXPECT_EQ(orders->find_column("unit_price")->type.base_name(), "money");

    ASSERT_EQ(orders->indexes.size(), 2u);
    EXPECT_TRUE(orders->indexes[0].primary_key);
    const tds_fixture_index& ix = orders->indexes[1];
    EXPECT_EQ(ix.name, "IX_orders_customer");
    EXPECT_FALSE(ix.unique);
    EXPECT_EQ(ix.columns, (std::vector<std::string>{"customer_id", "ordered"}));
    EXPECT_EQ(ix.descending, (std::vector<bool>{false, true}));
    EXPECT_EQ(ix.included, (std::vector<std::string>{"quantity", "unit_price"}));

    ASSERT_EQ(orders->foreign_keys.size(), 1u);
    const tds_fixture_foreign_key& fk = orders->foreign_keys[0];
    EXPECT_EQ(fk.referenced_schema, "sales");
    EXPECT_EQ(fk.referenced_table, "customers");
    EXPECT_EQ(fk.delete_action, "CASCADE");
    EXPECT_EQ(fk.update_action, "NO_ACTION");

    const tds_fixture_table* customers = db.find_table("sales", "customers");
    ASSERT_NE(customers, nullptr);
    EXPECT_TRUE(customers->indexes[1].unique);
    EXPECT_EQ(customers->indexes[1].included, (std::vector<std::string>{"name"}));

    const tds_fixture_view* view = db.find_view("sales", "big_customers");
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->definition, "CREATE VIEW sales.big_customers\nAS\nSELECT c.customer_id, "
                                "c.name\nFROM sales.customers c\nWHERE c.vip = 1");

    ASSERT_EQ(db.sequences.size(), 2u);
    EXPECT_EQ(db.sequences[0].name, "order_numbers");
    EXPECT_EQ(db.sequences[0].start, 1000);
    EXPECT_EQ(db.sequences[0].increment, 10);
    EXPECT_EQ(db.sequences[0].maximum, 9999999);
    EXPECT_TRUE(db.sequences[0].cycling);
    EXPECT_EQ(db.sequences[1].schema, "dbo");
    EXPECT_FALSE(db.sequences[1].cycling);
}

TEST(TdsFixture, GeneratesNumberedRowsAfterTheListedOnes) {
    tds_fixture_database db = tds_parse_fixture("database d\n"
                                                "table t\n"
                                                "column id int not null\n"
                                                "column label nvarchar(20)\n"
                                                "row 0, N'listed'\n"
                                                "generate 3 row {n}, N'r{n}-{n}'\n"
                                                "end\n",
                                                "inline");
    const tds_fixture_table& t = db.tables.front();
    ASSERT_EQ(t.row_count(), 4u);
    std::vector<tds_value> row;
    t.row(0, row);
    EXPECT_EQ(row[1].data, "listed");
    t.row(3, row);
    EXPECT_EQ(row[0].data, "3");
    EXPECT_EQ(row[1].data, "r3-3");
}

TEST(TdsFixture, NamesTheLineOfEveryFault) {
    struct bad_case {
        const char* text;
        const char* message;
    };
    const bad_case cases[] = {
        {"table t\ncolumn a int\nend\n", "inline: no 'database' line"},
        {"database d\ntable t\ncolumn a integer\nend\n", "inline:3: unknown type 'integer'"},
        {"database d\ntable t\ncolumn a int\nrow 1, 2\nend\n",
         "inline:4: row has 2 values for 1 columns"},
        {"database d\ntable t\ncolumn a int\nrow 2147483648\nend\n",
         "inline:4: column a: integer out of range"},
        {"database d\ntable t\ncolumn a int not null\nrow NULL\nend\n",
         "inline:4: NULL in NOT NULL column a"},
        {"database d\ntable t\ncolumn a varchar(3)\nrow 'abcd'\nend\n",
         "inline:4: column a: value longer than varchar(3) allows"},
        {"database d\ntable t\ncolumn a decimal(5,2)\nrow 1.234\nend\n",
         "inline:4: column a: more than 2 decimals"},
        {"database d\ntable t\ncolumn a date\nrow '2023-02-29'\nend\n",
         "inline:4: column a: date out of range"},
        {"database d\ntable t\ncolumn a varchar(3) collate Klingon_CI_AS\nend\n",
         "inline:3: unknown collation 'Klingon_CI_AS'"},
        {"database d\ntable t\ncolumn a varchar(3)\n", "inline:2: block has no 'end'"},
        {"database d\ntable t\ncolumn a int\nrow 'x\nend\n",
         "inline:4: unterminated string literal"},
        {"database d\nfrobnicate\n", "inline:2: unknown line: frobnicate"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            tds_parse_fixture(c.text, "inline");
            ADD_FAILURE() << "no error";
        } catch (const tds_fixture_error& e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.message, 0), 0u) << e.what();
        }
    }
}

TEST(TdsFixture, SplitsQuotedMultiPartNames) {
    EXPECT_EQ(tds_split_name("[my db].[dbo].[a]]b]"),
              (std::vector<std::string>{"my db", "dbo", "a]b"}));
    EXPECT_EQ(tds_split_name("sales.orders"), (std::vector<std::string>{"sales", "orders"}));
    EXPECT_THROW(tds_split_name("a.b c"), std::invalid_argument);
}

} // namespace
