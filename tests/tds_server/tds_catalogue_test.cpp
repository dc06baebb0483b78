// The catalogue statements of the MS SQL source, answered from the shop fixture through
// FreeTDS's ODBC driver, and failures of values generated while streaming.
#include "odbc_client.h"

#include "tests/support/tds_server/tds_catalogue.h"
#include "tests/support/tds_server/tds_server.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

class TdsCatalogue : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server_ =
            std::make_unique<tds_server>(std::vector<std::string>{tds_fixture_dir() + "/shop.tds"});
        server_->start();
    }
    static void TearDownTestSuite() { server_.reset(); }
    static std::unique_ptr<tds_server> server_;
};

std::unique_ptr<tds_server> TdsCatalogue::server_;

// Every row of the current result as "a|b|c", NULL as "NULL".
std::vector<std::string> all_rows(odbc_client& c) {
    std::vector<std::string> rows;
    SQLSMALLINT count = static_cast<SQLSMALLINT>(c.columns().size());
    while (SQL_SUCCEEDED(c.fetch())) {
        std::string row;
        for (SQLUSMALLINT i = 1; i <= count; ++i) {
            if (i > 1)
                row += "|";
            row += c.text(i).value_or("NULL");
        }
        rows.push_back(row);
    }
    return rows;
}

struct catalogue_case {
    const char* statement;
    std::vector<std::string> rows;
};

TEST_F(TdsCatalogue, AnswersTheSourceCatalogueStatementsFromTheModel) {
    const catalogue_case cases[] = {
        {"SELECT name from master.sys.databases ORDER BY name",
         {"master", "model", "msdb", "tempdb", "velmora_shop"}},
        {"exec sp_helpsort",
         {"Latin1-General, case-insensitive, accent-sensitive, kanatype-insensitive, "
          "width-insensitive for Unicode Data, SQL Server Sort Order 52 on Code Page 1252 for "
          "non-Unicode Data"}},
        {"exec sp_tables @table_owner='sales', @table_type=\"'TABLE'\"",
         {"velmora_shop|sales|customers|TABLE|NULL", "velmora_shop|sales|orders|TABLE|NULL",
          "velmora_shop|sales|order_lines|TABLE|NULL"}},
        {"exec sp_tables @table_type=\"'TABLE'\"",
         {"velmora_shop|sales|customers|TABLE|NULL", "velmora_shop|sales|orders|TABLE|NULL",
          "velmora_shop|sales|order_lines|TABLE|NULL", "velmora_shop|audit|many_rows|TABLE|NULL"}},
        {"select TABLE_NAME, COLUMN_NAME, DATA_TYPE from INFORMATION_SCHEMA.COLUMNS where "
         "TABLE_SCHEMA='audit' and TABLE_NAME not in "
         "('sysalternates','sysconstraints','syssegments')",
         {"many_rows|id|int", "many_rows|label|nvarchar", "many_rows|amount|decimal"}},
        {"SELECT CAST(name AS varchar), CAST(start_value AS int), CAST(increment AS int), "
         "CAST(minimum_value AS bigint), CAST(maximum_value AS bigint), is_cycling FROM "
         "SYS.SEQUENCES",
         {"order_numbers|1000|10|1000|9999999|1", "tickets|1|1|-2147483648|2147483647|0"}},
        {"select name, definition from sys.objects o join sys.sql_modules m on m.object_id = "
         "o.object_id where o.type = 'V'",
         {"big_customers|CREATE VIEW sales.big_customers\nAS\nSELECT c.customer_id, c.name\nFROM "
          "sales.customers c\nWHERE c.vip = 1"}},
        {"SELECT name FROM velmora_shop.sys.schemas where name <> 'sys' and principal_id < 16384",
         {"dbo", "guest", "INFORMATION_SCHEMA", "sales", "audit"}},
        {"SELECT name FROM [velmora_shop].sys.schemas where name <> 'sys' and principal_id < 16384",
         {"dbo", "guest", "INFORMATION_SCHEMA", "sales", "audit"}},
        {"select TABLE_NAME, COLUMN_NAME, DATA_TYPE, TABLE_SCHEMA from INFORMATION_SCHEMA.COLUMNS "
         "where TABLE_NAME not in ('sysalternates','sysconstraints','syssegments')",
         {"customers|customer_id|int|sales", "customers|name|nvarchar|sales",
          "customers|email|varchar|sales", "customers|created|datetime2|sales",
          "customers|vip|bit|sales", "orders|order_id|int|sales", "orders|customer_id|int|sales",
          "orders|ordered|date|sales", "orders|quantity|smallint|sales",
          "orders|unit_price|money|sales", "orders|total|money|sales", "orders|note|nvarchar|sales",
          "order_lines|order_id|int|sales", "order_lines|line|smallint|sales",
          "order_lines|product|nvarchar|sales", "many_rows|id|int|audit",
          "many_rows|label|nvarchar|audit", "many_rows|amount|decimal|audit"}},
        {"SELECT      ind.name, col.name, ind.is_primary_key, ind.is_unique, "
         "ic.is_included_column FROM      sys.indexes ind INNER JOIN      sys.index_columns ic "
         "ON  ind.object_id = ic.object_id and ind.index_id = ic.index_id INNER JOIN      "
         "sys.columns col ON ic.object_id = col.object_id and ic.column_id = col.column_id "
         "INNER JOIN      sys.tables t ON ind.object_id = t.object_id WHERE      "
         "SCHEMA_NAME(t.schema_id)='sales' AND t.name='customers' AND t.is_ms_shipped=0 ORDER BY "
         "     t.name, ind.name, ind.index_id, ic.index_column_id",
         {"PK_customers|customer_id|1|1|0", "UX_customers_email|email|0|1|0",
          "UX_customers_email|name|0|1|1"}},
        {"SELECT       obj.name, col1.name, tab2.name, col2.name,      "
         "fks.delete_referential_action_desc, fks.update_referential_action_desc, "
         "SCHEMA_NAME(tab2.schema_id) FROM      sys.foreign_keys fks INNER JOIN "
         "sys.foreign_key_columns fkc      ON fks.object_id = fkc.constraint_object_id INNER "
         "JOIN sys.objects obj     ON obj.object_id = fkc.constraint_object_id INNER JOIN "
         "sys.tables tab1     ON tab1.object_id = fkc.parent_object_id INNER JOIN sys.columns "
         "col1     ON col1.column_id = parent_column_id AND col1.object_id = tab1.object_id "
         "INNER JOIN sys.tables tab2     ON tab2.object_id = fkc.referenced_object_id INNER "
         "JOIN sys.columns col2     ON col2.column_id = referenced_column_id AND "
         "col2.object_id = tab2.object_id WHERE      tab1.name = 'orders' ORDER BY obj.name",
         {"FK_orders_customers|customer_id|customers|customer_id|CASCADE|NO_ACTION|sales"}},
        {"SELECT NAME AS COLUMNNAME,CAST(LAST_VALUE AS INT),CAST(INCREMENT_VALUE AS INT) FROM "
         "SYS.IDENTITY_COLUMNS WHERE OBJECT_NAME(OBJECT_ID)='orders' AND "
         "OBJECT_SCHEMA_NAME(OBJECT_ID)='sales'",
         {"order_id|1020|10"}},
        {"SELECT NAME AS COLUMNNAME,CAST(LAST_VALUE AS INT),CAST(INCREMENT_VALUE AS INT) FROM "
         "SYS.IDENTITY_COLUMNS WHERE OBJECT_NAME(OBJECT_ID)='customers'",
         {"customer_id|3|1"}},
        {"SELECT col.name FROM sys.indexes ind INNER JOIN      sys.index_columns ic ON  "
         "ind.object_id = ic.object_id and ind.index_id = ic.index_id INNER JOIN      sys.columns "
         "col ON ic.object_id = col.object_id and ic.column_id = col.column_id INNER JOIN      "
         "sys.tables t ON ind.object_id = t.object_id INNER JOIN      sys.schemas sch ON "
         "t.schema_id = sch.schema_id WHERE      ic.is_included_column=1 AND sch.name='sales' AND "
         "t.name='orders' AND ind.name='IX_orders_customer'",
         {"quantity", "unit_price"}},
        {"SELECT      ind.name, col.name, ind.is_primary_key, ind.is_unique FROM      sys.indexes "
         "ind INNER JOIN      sys.index_columns ic ON  ind.object_id = ic.object_id and "
         "ind.index_id = ic.index_id INNER JOIN      sys.columns col ON ic.object_id = "
         "col.object_id and ic.column_id = col.column_id INNER JOIN      sys.tables t ON "
         "ind.object_id = t.object_id WHERE      SCHEMA_NAME(t.schema_id)='sales' AND "
         "t.name='orders' AND t.is_ms_shipped=0 ORDER BY      t.name, ind.name, ind.index_id, "
         "ic.index_column_id",
         {"IX_orders_customer|customer_id|0|0", "IX_orders_customer|ordered|0|0",
          "IX_orders_customer|quantity|0|0", "IX_orders_customer|unit_price|0|0",
          "PK_orders|order_id|1|1"}},
        {"SELECT      ind.name, col.name, ind.is_primary_key, ind.is_unique FROM      sys.indexes "
         "ind INNER JOIN      sys.index_columns ic ON  ind.object_id = ic.object_id and "
         "ind.index_id = ic.index_id INNER JOIN      sys.columns col ON ic.object_id = "
         "col.object_id and ic.column_id = col.column_id INNER JOIN      sys.tables t ON "
         "ind.object_id = t.object_id WHERE      t.name = 'customers' AND t.is_ms_shipped = 0 "
         "ORDER BY      t.name, ind.name, ind.index_id, ic.index_column_id",
         {"PK_customers|customer_id|1|1", "UX_customers_email|email|0|1",
          "UX_customers_email|name|0|1"}},
        {"SELECT       obj.name, col1.name, tab2.name, col2.name,      "
         "fks.delete_referential_action_desc, fks.update_referential_action_desc FROM      "
         "sys.foreign_keys fks INNER JOIN sys.foreign_key_columns fkc      ON fks.object_id = "
         "fkc.constraint_object_id INNER JOIN sys.objects obj     ON obj.object_id = "
         "fkc.constraint_object_id INNER JOIN sys.tables tab1     ON tab1.object_id = "
         "fkc.parent_object_id INNER JOIN sys.columns col1     ON col1.column_id = "
         "parent_column_id AND col1.object_id = tab1.object_id INNER JOIN sys.tables tab2     ON "
         "tab2.object_id = fkc.referenced_object_id INNER JOIN sys.columns col2     ON "
         "col2.column_id = referenced_column_id AND col2.object_id = tab2.object_id WHERE      "
         "SCHEMA_NAME(tab1.schema_id)='sales' AND tab1.name = 'orders' ORDER BY obj.name",
         {"FK_orders_customers|customer_id|customers|customer_id|CASCADE|NO_ACTION"}},
        {"SELECT       obj.name, col1.name, tab2.name, col2.name,      "
         "fks.delete_referential_action_desc, fks.update_referential_action_desc FROM      "
         "sys.foreign_keys fks INNER JOIN sys.foreign_key_columns fkc      ON fks.object_id = "
         "fkc.constraint_object_id INNER JOIN sys.objects obj     ON obj.object_id = "
         "fkc.constraint_object_id INNER JOIN sys.tables tab1     ON tab1.object_id = "
         "fkc.parent_object_id INNER JOIN sys.columns col1     ON col1.column_id = "
         "parent_column_id AND col1.object_id = tab1.object_id INNER JOIN sys.tables tab2     ON "
         "tab2.object_id = fkc.referenced_object_id INNER JOIN sys.columns col2     ON "
         "col2.column_id = referenced_column_id AND col2.object_id = tab2.object_id WHERE      "
         "tab1.name = 'order_lines' ORDER BY obj.name",
         {"FK_order_lines_orders|order_id|orders|order_id|CASCADE|CASCADE"}},
        {"SELECT SC.name, t.name as type_name, SD.definition, SC.precision, SC.scale, "
         "SC.is_nullable, SC.is_identity FROM sys.tables ST INNER JOIN sys.columns SC ON "
         "ST.object_id = SC.object_id INNER JOIN sys.types t ON t.user_type_id = SC.user_type_id "
         "LEFT JOIN sys.default_constraints SD ON ST.object_id = SD.parent_object_id AND "
         "SC.column_id = SD.parent_column_id WHERE ST.name='orders' and "
         "SCHEMA_NAME(ST.schema_id)='sales'",
         {"order_id|int|NULL|10|0|0|1", "customer_id|int|NULL|10|0|0|0",
          "ordered|date|(getdate())|10|0|0|0", "quantity|smallint|((1))|5|0|0|0",
          "unit_price|money|NULL|19|4|0|0", "total|money|NULL|19|4|1|0",
          "note|nvarchar|NULL|0|0|1|0"}},
    };
    odbc_client c;
    ASSERT_TRUE(c.connect(server_->odbc_connection_string("sa", "Velmora-Pw1")))
        << c.describe_diagnostics();
    for (const auto& k : cases) {
        SCOPED_TRACE(k.statement);
        ASSERT_TRUE(c.execute(k.statement)) << c.describe_diagnostics();
        EXPECT_EQ(all_rows(c), k.rows);
    }
}

TEST(TdsTemplate, MatchesIgnoringCaseAndWhiteSpaceAndReadsQuotedValues) {
    std::vector<std::string> values;
    EXPECT_TRUE(tds_match_template("SELECT a FROM t WHERE x='%s' AND y='%s'",
                                   "select  a\n from T where X='it''s' and y=''", values));
    EXPECT_EQ(values, (std::vector<std::string>{"it's", ""}));
    EXPECT_FALSE(tds_match_template("SELECT a FROM t WHERE x='%s'",
                                    "SELECT a FROM t WHERE x='1' OR 1=1", values));
    EXPECT_FALSE(tds_match_template("SELECT a FROM t", "SELECT a FROM t2", values));
}

TEST(TdsGeneratedRows, ValueThatDoesNotFitIsAServerErrorAfterTheRowsBefore) {
    std::vector<tds_fixture_database> dbs;
    dbs.push_back(tds_parse_fixture("database d\nlogin u p\ntable t\ncolumn a tinyint\n"
                                    "generate 300 row {n}\nend\n",
                                    "inline"));
    tds_server server(std::move(dbs));
    server.start();
    odbc_client c;
    ASSERT_TRUE(c.connect(server.odbc_connection_string("u", "p"))) << c.describe_diagnostics();
    ASSERT_TRUE(c.execute("SELECT a FROM t")) << c.describe_diagnostics();
    int rows = 0;
    while (c.fetch() == SQL_SUCCESS)
        ++rows;
    EXPECT_EQ(rows, 255);
    ASSERT_FALSE(c.diagnostics().empty());
    EXPECT_EQ(c.diagnostics()[0].native, 50000) << c.describe_diagnostics();
    ASSERT_TRUE(c.execute("SELECT COUNT_BIG(*) FROM t")) << c.describe_diagnostics();
    ASSERT_EQ(c.fetch(), SQL_SUCCESS);
    EXPECT_EQ(c.text(1), "300");
}

TEST(TdsServerLifetime, StopEndsConnectionsInTheMiddleOfAResult) {
    tds_server server(std::vector<std::string>{tds_fixture_dir() + "/shop.tds"});
    server.start();
    odbc_client c;
    ASSERT_TRUE(c.connect(server.odbc_connection_string("sa", "Velmora-Pw1")))
        << c.describe_diagnostics();
    ASSERT_TRUE(c.execute("SELECT * FROM audit.many_rows")) << c.describe_diagnostics();
    ASSERT_EQ(c.fetch(), SQL_SUCCESS);
    server.stop();
    // What was already sent still fetches; then the connection is gone.
    long rows = 1;
    while (c.fetch() == SQL_SUCCESS)
        ++rows;
    EXPECT_LT(rows, 1000000);
    EXPECT_TRUE(c.connection_dead());
}

} // namespace
