// The MySQL database on the test server: lists, statements, CREATE TABLE with every mapped type,
// literals stored and read back, and views.
#include "SQL/sql_db.h"

#include "SQL/sql_engi.h"
#include "SQL/sql_recs.h"
#include "SQL/sql_util.h"
#include "UDB/udb_field.h"
#include "tests/SQL/sql_test_fixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <vector>

namespace {

using sql_test::column;
using sql_test::exec;
using sql_test::fetch_row;
using sql_test::fetch_value;

// The column definitions of a table as SHOW CREATE TABLE gives them, by column name.
std::map<std::string, std::string> column_definitions(MYSQL* mysql, const std::string& table) {
    std::map<std::string, std::string> result;
    const std::string text = fetch_value(mysql, "SHOW CREATE TABLE `" + table + "`", 1);
    std::size_t at = 0;
    while ((at = text.find("\n  `", at)) != std::string::npos) {
        const std::size_t name_end = text.find('`', at + 4);
        const std::size_t line_end = text.find('\n', name_end);
        std::string definition = text.substr(name_end + 2, line_end - name_end - 2);
        if (!definition.empty() && definition.back() == ',') {
            definition.pop_back();
        }
        result[text.substr(at + 4, name_end - at - 4)] = definition;
        at = line_end;
    }
    return result;
}

std::string create_statement(MYSQL* mysql, const std::string& table) {
    return fetch_value(mysql, "SHOW CREATE TABLE `" + table + "`", 1);
}

// Every column of the TDS test server's type fixture as the MS SQL source describes it, with
// the MySQL type text it maps to and the definition MariaDB reports for it.
struct mapped_column {
    std::shared_ptr<t_ftd> column;
    std::wstring type_text;
    std::string definition;
};

std::shared_ptr<t_ftd> with(std::shared_ptr<t_ftd> c, const ole_variant& def, bool not_null = false,
                            bool auto_num = false) {
    c->default_value = def;
    c->b_not_null = not_null;
    c->b_auto_num = auto_num;
    return c;
}

std::vector<mapped_column> fixture_columns() {
    const ole_variant none;
    const int32_t max = -1; // ~0 as the source reports an unlimited size
    return {
        {with(column(L"id", VT_I4, 4), none, true, true), L"INT",
         "int(11) NOT NULL AUTO_INCREMENT"},
        {column(L"c_bit", VT_BOOL, 2), L"TINYINT(1)", "tinyint(1) DEFAULT NULL"},
        {column(L"c_tinyint", VT_UI1, 1), L"TINYINT UNSIGNED", "tinyint(3) unsigned DEFAULT NULL"},
        {column(L"c_smallint", VT_I2, 2), L"SMALLINT", "smallint(6) DEFAULT NULL"},
        {column(L"c_int", VT_I4, 4), L"INT", "int(11) DEFAULT NULL"},
        {column(L"c_bigint", VT_I8, 8), L"BIGINT", "bigint(20) DEFAULT NULL"},
        {column(L"c_decimal", VT_DECIMAL, 19, 0, 38, 10), L"DECIMAL(38,10)",
         "decimal(38,10) DEFAULT NULL"},
        {column(L"c_numeric", VT_DECIMAL, 19, 0, 5, 2), L"DECIMAL(5,2)",
         "decimal(5,2) DEFAULT NULL"},
        {column(L"c_money", VT_CY, 8), L"DECIMAL(19,4)", "decimal(19,4) DEFAULT NULL"},
        {column(L"c_smallmoney", VT_CY, 8), L"DECIMAL(19,4)", "decimal(19,4) DEFAULT NULL"},
        {column(L"c_real", VT_R4, 4), L"FLOAT", "float DEFAULT NULL"},
        {column(L"c_float", VT_R8, 8), L"DOUBLE", "double DEFAULT NULL"},
        {column(L"c_date", VT_DATE, 6, 2), L"DATE", "date DEFAULT NULL"},
        {column(L"c_time0", VT_DATE, 10, 3, 0, 0), L"TIME", "time DEFAULT NULL"},
        {column(L"c_time3", VT_DATE, 10, 3, 0, 3), L"TIME(3)", "time(3) DEFAULT NULL"},
        {column(L"c_time7", VT_DATE, 10, 3, 0, 7), L"TIME(6)", "time(6) DEFAULT NULL"},
        {column(L"c_smalldatetime", VT_DATE, 16, 1, 0, 0), L"DATETIME", "datetime DEFAULT NULL"},
        {column(L"c_datetime", VT_DATE, 16, 1, 0, 3), L"DATETIME(3)", "datetime(3) DEFAULT NULL"},
        {column(L"c_datetime2_0", VT_DATE, 16, 1, 0, 0), L"DATETIME", "datetime DEFAULT NULL"},
        {column(L"c_datetime2_7", VT_DATE, 16, 1, 0, 7), L"DATETIME(6)",
         "datetime(6) DEFAULT NULL"},
        {column(L"c_datetimeoffset", VT_DATE, 20, 0x11, 0, 7), L"DATETIME(6)",
         "datetime(6) DEFAULT NULL"},
        {column(L"c_char", VT_BSTR, 10, 4), L"VARCHAR(10)", "varchar(10) DEFAULT NULL"},
        {column(L"c_varchar", VT_BSTR, 50), L"VARCHAR(50)", "varchar(50) DEFAULT NULL"},
        {column(L"c_varchar_cyrillic", VT_BSTR, 20), L"VARCHAR(20)", "varchar(20) DEFAULT NULL"},
        {column(L"c_varchar_max", VT_BSTR, max), L"LONGTEXT", "longtext DEFAULT NULL"},
        {column(L"c_nchar", VT_BSTR, 10), L"VARCHAR(10)", "varchar(10) DEFAULT NULL"},
        {column(L"c_nvarchar", VT_BSTR, 50), L"VARCHAR(50)", "varchar(50) DEFAULT NULL"},
        {column(L"c_nvarchar_max", VT_BSTR, max), L"LONGTEXT", "longtext DEFAULT NULL"},
        {column(L"c_text", VT_BSTR, 2147483647), L"LONGTEXT", "longtext DEFAULT NULL"},
        {column(L"c_ntext", VT_BSTR, 1073741823), L"LONGTEXT", "longtext DEFAULT NULL"},
        {column(L"c_binary", ole_variant::vt_byte_array, 0), L"LONGBLOB", "longblob DEFAULT NULL"},
        {column(L"c_varbinary", ole_variant::vt_byte_array, 0), L"LONGBLOB",
         "longblob DEFAULT NULL"},
        {column(L"c_varbinary_max", ole_variant::vt_byte_array, 0), L"LONGBLOB",
         "longblob DEFAULT NULL"},
        {column(L"c_image", ole_variant::vt_byte_array, 0), L"LONGBLOB", "longblob DEFAULT NULL"},
        {column(L"c_uniqueidentifier", VT_BSTR, 36, 1), L"VARCHAR(36)", "varchar(36) DEFAULT NULL"},
        {column(L"c_xml", VT_BSTR, max, 11), L"LONGTEXT", "longtext DEFAULT NULL"},
        {column(L"c_geometry", VT_BSTR, 0, 2), L"geometry", "geometry DEFAULT NULL"},
        {column(L"c_geography", VT_BSTR, 0, 8), L"geometry", "geometry DEFAULT NULL"},
        {column(L"c_hierarchyid", ole_variant::vt_byte_array, 0), L"LONGBLOB",
         "longblob DEFAULT NULL"},
        {column(L"c_sql_variant", ole_variant::vt_byte_array, 0), L"LONGBLOB",
         "longblob DEFAULT NULL"},
        {column(L"c_rowversion", ole_variant::vt_byte_array, 0), L"LONGBLOB",
         "longblob DEFAULT NULL"},
        // The defaults the source reads from its catalogue.
        {with(column(L"d_int", VT_I4, 4), ole_variant::from_wstring(L"0", VT_I4), true), L"INT",
         "int(11) NOT NULL DEFAULT 0"},
        {with(column(L"d_bit", VT_BOOL, 2), ole_variant::from_wstring(L"0", VT_BOOL), true),
         L"TINYINT(1)", "tinyint(1) NOT NULL DEFAULT 0"},
        {with(column(L"d_decimal", VT_DECIMAL, 19, 0, 12, 2),
              ole_variant::from_wstring(L"1.25", VT_DECIMAL)),
         L"DECIMAL(12,2)", "decimal(12,2) DEFAULT 1.25"},
        {with(column(L"d_empty", VT_BSTR, 20, 0x10), ole_variant(std::wstring(L"''"))),
         L"VARCHAR(20)", "varchar(20) DEFAULT ''"},
        {with(column(L"d_text", VT_BSTR, 20), ole_variant(std::wstring(L"it's \\ ok"))),
         L"VARCHAR(20)", "varchar(20) DEFAULT 'it''s \\\\ ok'"},
        {with(column(L"d_created", VT_DATE, 16, 9, 0, 3), ole_variant(std::wstring(L"getdate()")),
              true),
         L"DATETIME(3)", "datetime(3) NOT NULL DEFAULT current_timestamp(3)"},
        {with(column(L"d_ordered", VT_DATE, 6, 10), ole_variant(std::wstring(L"getdate()")), true),
         L"DATE", "date NOT NULL DEFAULT curdate()"},
        {with(column(L"d_at", VT_DATE, 10, 11, 0, 0), ole_variant(std::wstring(L"getdate()"))),
         L"TIME", "time DEFAULT curtime()"},
        {with(column(L"d_offset", VT_DATE, 20, 0x19, 0, 7),
              ole_variant(std::wstring(L"sysdatetimeoffset()"))),
         L"DATETIME(6)", "datetime(6) DEFAULT current_timestamp(6)"},
        {with(column(L"d_day", VT_DATE, 6, 2), ole_variant(ole_date(std::string("2001-02-03")))),
         L"DATE", "date DEFAULT '2001-02-03'"},
        {with(column(L"d_noon", VT_DATE, 10, 3, 0, 0),
              ole_variant(ole_date(std::string("12:30:00")))),
         L"TIME", "time DEFAULT '12:30:00'"},
    };
}

class SqlDatabase : public sql_test::server_test {};

TEST_F(SqlDatabase, EveryMappedTypeIsCreatedAndReadBack) {
    auto db = create_db();
    const std::vector<mapped_column> columns = fixture_columns();
    udb_schema schema;
    for (const mapped_column& c : columns) {
        SCOPED_TRACE(tk_to_utf8(c.column->name));
        EXPECT_EQ(get_sql_native_type2(*c.column, false), c.type_text);
        schema.push_back(c.column);
    }
    udb_indexes indexes;
    udb_index pk(L"PK_all_types", true, true);
    pk.columns = {L"id"};
    indexes.push_back(pk);
    auto table = db->create_table(L"all_types", schema, indexes);
    ASSERT_TRUE(table);
    EXPECT_TRUE(db->is_table_exist(L"ALL_TYPES"));

    const auto definitions = column_definitions(mysql(), "all_types");
    for (const mapped_column& c : columns) {
        const std::string name = tk_to_utf8(c.column->name);
        SCOPED_TRACE(name);
        ASSERT_EQ(definitions.count(name), 1u);
        EXPECT_EQ(definitions.at(name), c.definition);
    }
    const std::string statement = create_statement(mysql(), "all_types");
    EXPECT_NE(statement.find("PRIMARY KEY (`id`)"), std::string::npos) << statement;
    EXPECT_NE(statement.find("ENGINE=InnoDB"), std::string::npos) << statement;

    // The recordset reads the structure back.
    ASSERT_EQ(table->schema.size(), columns.size());
    EXPECT_TRUE(table->schema[0]->b_auto_num);
    EXPECT_EQ(table->schema.get_field_type(L"c_decimal"), VT_DECIMAL);
    EXPECT_EQ(table->schema.get_field2(L"c_decimal").prec, 38);
    EXPECT_EQ(table->schema.get_field2(L"c_decimal").scale, 10);
    EXPECT_EQ(table->schema.get_field_type(L"c_binary"), ole_variant::vt_byte_array);
    EXPECT_EQ(table->schema.get_field_type(L"c_xml"), VT_BSTR);
    EXPECT_EQ(table->schema.get_field2(L"c_geometry").dw_reserved, 2);
    EXPECT_EQ(table->schema.get_field2(L"c_datetime").dw_reserved, 1);
    EXPECT_EQ(table->schema.get_field2(L"c_date").dw_reserved, 2);
    EXPECT_EQ(table->schema.get_field2(L"c_time3").dw_reserved, 3);
}

TEST_F(SqlDatabase, TableAndViewLists) {
    create_db();
    exec(mysql(), "CREATE TABLE t1 (a INT)");
    exec(mysql(), "CREATE TABLE `T 2` (a INT)");
    exec(mysql(), "CREATE VIEW v1 AS SELECT /* note */ a FROM `" + db_name_ + "`.t1 WHERE a > 1");
    auto db = open_db(2);
    std::vector<std::wstring> tables = db->get_tables();
    std::sort(tables.begin(), tables.end());
    EXPECT_EQ(tables, (std::vector<std::wstring>{L"T 2", L"t1"}));
    ASSERT_EQ(db->views.size(), 1u);
    EXPECT_EQ(db->views[0].first, L"v1");
    const std::wstring& text = db->views[0].second;
    EXPECT_EQ(text.find(tk_utf8_to_wstring("`" + db_name_ + "`.")), std::wstring::npos)
        << tk_to_utf8(text);
    EXPECT_NE(text.find(L"`t1`"), std::wstring::npos) << tk_to_utf8(text);
    EXPECT_FALSE(engine_->blob_to_text);

    auto without_views = open_db(0xA4);
    EXPECT_TRUE(without_views->views.empty());
    EXPECT_TRUE(without_views->is_table_exist(L"t2") == false);
    EXPECT_TRUE(without_views->is_table_exist(L"t 2"));
}

TEST_F(SqlDatabase, StatementsAndTheirResults) {
    auto db = create_db();
    db->query_append("CREATE TABLE t (a INT PRIMARY KEY, b VARCHAR(10))");
    db->query_append("INSERT INTO t VALUES (1, 'x'), (2, 'y')");
    EXPECT_EQ(db->query(L"UPDATE t SET b = 'z' WHERE a = 2"), nullptr);
    {
        auto reader = db->query(L"SELECT a, b FROM t ORDER BY a");
        ASSERT_TRUE(reader);
        std::vector<std::wstring> seen;
        for (reader->reset(); !reader->is_eof(); reader->next()) {
            seen.push_back((*reader->get_item())[1]->to_wstring());
        }
        EXPECT_EQ(seen, (std::vector<std::wstring>{L"x", L"z"}));
        EXPECT_THROW(reader->append_record(udb_record()), tk_mail_assertion);
    }
    try {
        db->query(L"SELECT nothing FROM nowhere");
        ADD_FAILURE() << "no exception";
    } catch (const sql_exception& e) {
        EXPECT_EQ(e.code, 0x400000 + 1146);
    }
    EXPECT_THROW(db->query_append("INSERT INTO t VALUES (1, 'dup')"), sql_exception);
    try {
        db->query_append("INSERT INTO t VALUES (1, 'dup')");
    } catch (const sql_exception& e) {
        EXPECT_EQ(e.code, 0x400426); // duplicate key, which merge mode skips
    }
    EXPECT_TRUE(db->test_query(L"SELECT * FROM t"));
    EXPECT_FALSE(db->test_query(L"SELECT * FROM missing"));

    // Tables are known by their list: dropping and emptying.
    auto reopened = open_db();
    reopened->empty_table(L"t");
    EXPECT_EQ(fetch_value(mysql(), "SELECT COUNT(*) FROM t"), "0");
    EXPECT_TRUE(reopened->delete_tab(L"T"));
    EXPECT_FALSE(reopened->is_table_exist(L"t"));
    EXPECT_THROW(reopened->delete_tab(L"t"), tk_mail_assertion);
    EXPECT_THROW(reopened->get_table(L"t", 8), tk_mail_assertion);
}

TEST_F(SqlDatabase, CreateTableOfAnExistingNameOpensItUnchanged) {
    auto db = create_db();
    db->query_append("CREATE TABLE Existing (a INT)");
    auto reopened = open_db();
    udb_schema schema;
    schema.push_back(column(L"other", VT_BSTR, 10));
    auto table = reopened->create_table(L"EXISTING", schema, udb_indexes());
    ASSERT_TRUE(table);
    ASSERT_EQ(table->schema.size(), 1u);
    EXPECT_EQ(table->schema[0]->name, L"a");
}

TEST_F(SqlDatabase, StrictModeAndIdentityZero) {
    auto db = create_db();
    db->query_append("CREATE TABLE t (id INT AUTO_INCREMENT PRIMARY KEY, small TINYINT UNSIGNED, "
                     "s VARCHAR(3))");
    // An identity value 0 stays 0.
    db->query_append("INSERT INTO t (id, small) VALUES (0, 1)");
    EXPECT_EQ(fetch_value(mysql(), "SELECT COUNT(*) FROM t WHERE id = 0"), "1");
    // A value the column cannot hold is the row's error, never a changed value.
    EXPECT_THROW(db->query_append("INSERT INTO t (small) VALUES (300)"), sql_exception);
    EXPECT_THROW(db->query_append("INSERT INTO t (s) VALUES ('abcd')"), sql_exception);
    EXPECT_EQ(fetch_value(mysql(), "SELECT COUNT(*) FROM t"), "1");
}

// ---- Literals stored and read back --------------------------------------------------------------

struct literal_case {
    const char* label;
    std::shared_ptr<t_ftd> column;
    ole_variant value;
    std::string expected; // as the server gives the value back (HEX() for bytes)
};

TEST_F(SqlDatabase, LiteralsStoreTheValueSent) {
    auto db = create_db();
    const std::u16string nul_text(u"a\0b'\\c", 6);
    const std::u16string emoji = u"Gr\u00FC\u00DFe \U0001F600 \U0001D11E";
    const std::string big_decimal = "-1234567890123456789012345678.9012345678";
    const std::vector<literal_case> cases = {
        {"quotes and backslashes", column(L"v", VT_BSTR, 50),
         ole_variant(std::wstring(L"O'Brien \\ \"x\" \\'")), "O'Brien \\ \"x\" \\'"},
        {"NUL characters", column(L"v", VT_BSTR, 50), ole_variant(nul_text),
         std::string("a\0b'\\c", 6)},
        {"non-BMP text", column(L"v", VT_BSTR, 50), ole_variant(emoji),
         "Gr\xC3\xBC\xC3\x9F"
         "e \xF0\x9F\x98\x80 \xF0\x9D\x84\x9E"},
        {"long text", column(L"v", VT_BSTR, 0), ole_variant(std::wstring(100000, L'\u00E9')),
         [] {
             std::string s;
             for (int i = 0; i < 100000; ++i) {
                 s += "\xC3\xA9";
             }
             return s;
         }()},
        {"int min", column(L"v", VT_I4, 4), ole_variant::from_wstring(L"-2147483648", VT_I4),
         "-2147483648"},
        {"int max", column(L"v", VT_I4, 4), ole_variant::from_wstring(L"2147483647", VT_I4),
         "2147483647"},
        {"bigint min", column(L"v", VT_I8, 8),
         ole_variant::from_wstring(L"-9223372036854775808", VT_I8), "-9223372036854775808"},
        {"bigint unsigned max", column(L"v", VT_UI8, 8),
         ole_variant::from_wstring(L"18446744073709551615", VT_UI8), "18446744073709551615"},
        {"tinyint unsigned", column(L"v", VT_UI1, 1), ole_variant::from_wstring(L"255", VT_UI1),
         "255"},
        {"double max", column(L"v", VT_R8, 8), ole_variant(1.7976931348623157e308),
         "1.7976931348623157e308"},
        {"double min normal", column(L"v", VT_R8, 8), ole_variant(-2.2250738585072014e-308),
         "-2.2250738585072014e-308"},
        {"float", column(L"v", VT_R4, 4), ole_variant::from_wstring(L"16777215", VT_R4),
         "16777215"},
        {"decimal(38)", column(L"v", VT_DECIMAL, 19, 0, 38, 10),
         ole_variant::from_string(big_decimal, VT_DECIMAL), big_decimal},
        {"money", column(L"v", VT_CY, 8),
         ole_variant::from_wstring(L"-922337203685477.5808", VT_CY), "-922337203685477.5808"},
        {"bit", column(L"v", VT_BOOL, 2), ole_variant(true), "1"},
        {"datetime(6)", column(L"v", VT_DATE, 16, 1, 0, 7),
         ole_variant(ole_date(std::string("2024-02-29 13:45:30.123456"))),
         "2024-02-29 13:45:30.123456"},
        {"datetime before 1970", column(L"v", VT_DATE, 16, 1, 0, 3),
         ole_variant(ole_date(std::string("1753-01-01 00:00:00.997"))), "1753-01-01 00:00:00.997"},
        {"date", column(L"v", VT_DATE, 6, 2), ole_variant(ole_date(std::string("0001-01-01"))),
         "0001-01-01"},
        {"time only", column(L"v", VT_DATE, 10, 3, 0, 7),
         ole_variant(ole_date(std::string("23:59:59.999999"))), "23:59:59.999999"},
        {"time only midnight", column(L"v", VT_DATE, 10, 3, 0, 0),
         ole_variant(ole_date(std::string("00:00:00"))), "00:00:00"},
        {"bytes", column(L"v", ole_variant::vt_byte_array, 0),
         ole_variant(std::vector<uint8_t>{0x00, 0xFF, 0x00, 0x27, 0x5C}), "00FF00275C"},
        {"geometry", column(L"v", VT_BSTR, 0, 2), ole_variant(std::wstring(L"POINT (1 2)")),
         "POINT(1 2)"},
        {"uniqueidentifier", column(L"v", VT_BSTR, 36, 1),
         ole_variant(std::wstring(L"{6F9619FF-8B86-D011-B42D-00C04FC964FF}")),
         "6F9619FF-8B86-D011-B42D-00C04FC964FF"},
        {"text holding a guid", column(L"v", VT_BSTR, 60),
         ole_variant(std::wstring(L"guid={6F9619FF-8B86-D011-B42D-00C04FC964FF}")),
         "guid={6F9619FF-8B86-D011-B42D-00C04FC964FF}"},
        {"null geometry", column(L"v", VT_BSTR, 0, 2), ole_variant(), "NULL"},
        {"null number", column(L"v", VT_I4, 4), ole_variant(), "NULL"},
    };
    int n = 0;
    for (const literal_case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::wstring table = L"t" + std::to_wstring(n++);
        udb_schema schema;
        schema.push_back(c.column);
        db->create_table(table, schema, udb_indexes());
        const udb_field field(L"v", 0, c.value, false, false);
        std::string insert = "INSERT INTO `" + tk_to_utf8(table) + "` VALUES (";
        append_fld_str(insert, field, *c.column, false);
        insert += ")";
        ASSERT_NO_THROW(db->query_append(insert)) << insert.substr(0, 200);
        const bool bytes = c.column->type == ole_variant::vt_byte_array;
        const bool geometry = c.column->type == VT_BSTR && c.column->dw_reserved == 2;
        // FLOAT shows 6 digits; as a double it shows the value stored.
        const std::string select = bytes                     ? "HEX(v)"
                                   : geometry                ? "ST_AsText(v)"
                                   : c.column->type == VT_R4 ? "v + 0e0"
                                                             : "v";
        EXPECT_EQ(fetch_value(mysql(), "SELECT " + select + " FROM `" + tk_to_utf8(table) + "`"),
                  c.expected);
    }
}

// ---- Views --------------------------------------------------------------------------------------

TEST_F(SqlDatabase, ViewsFromSourceViewTexts) {
    auto db = create_db();
    db->query_append("CREATE TABLE customers (id INT, name VARCHAR(20), vip TINYINT, "
                     "born DATETIME, died DATETIME)");
    db->query_append("INSERT INTO customers VALUES (1, 'Ann', 1, '2024-01-01 23:00:00', "
                     "'2024-01-02 01:00:00'), (2, NULL, 0, '2024-01-01', '2024-01-11')");
    sql_test::recording_error_handler handler;
    const std::vector<udb_view> views = {
        {L"big_customers", L"SELECT c.[id], ISNULL(c.name, 'none') AS name\r\nFROM customers c "
                           L"-- only the good ones\r\nWHERE c.vip = 1"},
        {L"ages", L"select id, datediff(day, born, died) AS days, LEN(name) AS n, "
                  L"getdate() AS now_at FROM customers"},
        {L"bad`name", L"SELECT id FROM customers"},
        {L"with_view", L"WITH x AS (SELECT 1 AS a) SELECT a FROM x"},
        {L"broken", L"SELECT nothing FROM nowhere"},
    };
    db->create_views(views);

    EXPECT_EQ(fetch_value(mysql(), "SELECT name FROM big_customers"), "Ann");
    EXPECT_EQ(fetch_value(mysql(), "SELECT COUNT(*) FROM big_customers"), "1");
    // DATEDIFF counts the same day boundaries as the day unit does.
    EXPECT_EQ(fetch_value(mysql(), "SELECT days FROM ages WHERE id = 1"), "1");
    EXPECT_EQ(fetch_value(mysql(), "SELECT days FROM ages WHERE id = 2"), "10");
    EXPECT_EQ(fetch_value(mysql(), "SELECT n FROM ages WHERE id = 1"), "3");
    EXPECT_NE(fetch_value(mysql(), "SELECT TIME(now_at) FROM ages WHERE id = 1"), "<none>");
    // A name the validator refuses is made safe and recorded.
    EXPECT_EQ(db->names_map.get_tn_mapped_name(L"bad`name", false), L"bad_name");
    EXPECT_EQ(fetch_value(mysql(), "SELECT COUNT(*) FROM bad_name"), "2");
    // The test server takes WITH in a view.
    EXPECT_EQ(fetch_value(mysql(), "SELECT a FROM with_view"), "1");
    ASSERT_EQ(handler.messages.size(), 1u);
    EXPECT_EQ(handler.messages[0].rfind("View 'broken': ", 0), 0u) << handler.messages[0];
}

// A view text that is more than one SELECT never reaches the server: the view is reported with
// its name and the next one is created.
TEST_F(SqlDatabase, ViewTextsOfMoreThanOneStatementAreRefused) {
    auto db = create_db();
    db->query_append("CREATE TABLE customers (id INT)");
    db->query_append("INSERT INTO customers VALUES (1), (2)");
    sql_test::recording_error_handler handler;
    db->create_views({{L"v_delete", L"SELECT id FROM customers DELETE FROM customers"},
                      {L"v_fine", L"SELECT id FROM customers"}});
    ASSERT_EQ(handler.messages.size(), 1u);
    EXPECT_EQ(handler.messages[0], "View 'v_delete': The view text is not a single SELECT "
                                   "statement: it holds the keyword DELETE");
    EXPECT_EQ(fetch_value(mysql(), "SELECT COUNT(*) FROM customers"), "2");
    EXPECT_EQ(fetch_value(mysql(), "SELECT COUNT(*) FROM v_fine"), "2");
}

// Texts that T-SQL and MySQL read differently (nested and executable comments, a line comment
// that ends at a carriage return, a backslash before a quote, a "#") reach the server as the
// SELECT the check read or not at all: the other database survives and no view reads the
// server's accounts.
TEST_F(SqlDatabase, ViewTextsReadAlikeByBothGrammars) {
    auto db = create_db();
    exec(mysql(), "DROP DATABASE IF EXISTS sql_victim");
    exec(mysql(), "CREATE DATABASE sql_victim");
    sql_test::recording_error_handler handler;
    db->create_views({
        {L"v_nested", L"SELECT 1 AS a /* /* */ ; DROP DATABASE sql_victim; -- */"},
        {L"v_cr", L"SELECT 1 AS a --1\r; DROP DATABASE sql_victim; SELECT 2"},
        {L"v_exec", L"SELECT 1 AS a /*!, (SELECT GROUP_CONCAT(User,0x3a,Password) FROM "
                    L"mysql.user) AS leak */"},
        {L"v_mariadb", L"SELECT 1 AS a /*M!, (SELECT GROUP_CONCAT(User) FROM mysql.user) AS "
                       L"leak */"},
        {L"v_slash", L"SELECT 'a\\'' , (SELECT GROUP_CONCAT(User) FROM mysql.user) AS leak, ' AS "
                     L"b"},
        {L"v_hash", L"SELECT 1 AS a #'\n, (SELECT GROUP_CONCAT(User) FROM mysql.user) AS leak "
                    L"-- '"},
        {L"v_dq", L"SELECT \"x\\\" AS a"},
    });
    EXPECT_EQ(handler.messages,
              (std::vector<std::string>{
                  "View 'v_cr': The view text is not a single SELECT statement: it holds a "
                  "\"--\" comment that a carriage return alone ends, which readers take "
                  "differently",
                  "View 'v_hash': The view text reads otherwise in MySQL: it holds a comment",
                  "View 'v_dq': The view cannot be carried over to MySQL: it holds a text in "
                  "double quotes, which SQL Server reads as a name and MySQL as a literal"}));
    EXPECT_EQ(fetch_value(mysql(), "SHOW DATABASES LIKE 'sql_victim'"), "sql_victim");
    for (const char* view : {"v_nested", "v_exec", "v_mariadb"}) {
        SCOPED_TRACE(view);
        EXPECT_EQ(fetch_row(mysql(), std::string("SELECT * FROM ") + view),
                  std::vector<std::string>{"1"});
    }
    // The literals stay literals, backslash and all.
    EXPECT_EQ(fetch_row(mysql(), "SELECT * FROM v_slash"),
              (std::vector<std::string>{"a\\' , (SELECT GROUP_CONCAT(User) FROM mysql.user) AS "
                                        "leak, "}));
    exec(mysql(), "DROP DATABASE sql_victim");
}

// A view computes in MySQL what SQL Server computes, reads only the destination, and does so with
// the rights of whoever reads it: what the rewriting cannot carry is reported by name and never
// created.
TEST_F(SqlDatabase, ViewsComputeSourceValuesInsideTheDestination) {
    auto db = create_db();
    db->query_append("CREATE TABLE customers (id INT, name VARCHAR(20), city VARCHAR(20), "
                     "price DECIMAL(10,2), joined DATE)");
    db->query_append("INSERT INTO customers VALUES (7, 'Ann', 'Oslo', 3.50, '2024-01-31')");
    sql_test::recording_error_handler handler;
    db->create_views({
        {L"v_values", L"SELECT name + N' from ' + city AS label, CAST(id AS varchar(5)) + 'x' AS "
                      L"tag, id / 2 AS half, 7 / 2 AS h, LEN(city + '  ') AS n, "
                      L"CAST(name AS nvarchar(2)) AS short, DATEADD(month, 1, joined) AS next "
                      L"FROM customers"},
        // Renames reach no name that holds a function's name.
        {L"v_kept", L"SELECT last_getdate.replicated_at AS len, 'getdate()' AS isnull_at FROM "
                    L"(SELECT 'k' AS replicated_at) AS last_getdate"},
        {L"v_priv", L"SELECT mysql.global_priv.User AS u, mysql.global_priv.Priv AS p FROM "
                    L"mysql.global_priv"},
        {L"v_user", L"SELECT [User] AS u, [Password] AS h FROM mysql.[user]"},
        {L"v_price", L"SELECT price / 2 AS half FROM customers"},
    });
    EXPECT_EQ(fetch_row(mysql(), "SELECT * FROM v_values"),
              (std::vector<std::string>{"Ann from Oslo", "7x", "3", "3", "4", "An", "2024-02-29"}));
    EXPECT_EQ(fetch_row(mysql(), "SELECT * FROM v_kept"),
              (std::vector<std::string>{"k", "getdate()"}));
    EXPECT_EQ(fetch_value(mysql(), "SELECT security_type FROM information_schema.views WHERE "
                                   "table_schema = DATABASE() AND table_name = 'v_values'"),
              "INVOKER");
    EXPECT_EQ(handler.messages,
              (std::vector<std::string>{
                  "View 'v_priv': The view reaches outside the destination database: it names "
                  "mysql.global_priv.User, which lies outside the destination database",
                  "View 'v_user': The view reaches outside the destination database: it names "
                  "mysql.`user`, which lies outside the destination database",
                  "View 'v_price': The view cannot be carried over to MySQL: it divides values "
                  "that the rewriting cannot tell as both integers or as floating-point numbers "
                  "(SQL Server and MySQL divide them otherwise)"}));
    EXPECT_EQ(fetch_value(mysql(), "SELECT COUNT(*) FROM information_schema.views WHERE "
                                   "table_schema = DATABASE()"),
              "2");

    // A reader granted the view alone reads nothing through it: the view runs with its rights.
    exec(mysql(), "DROP USER IF EXISTS 'sql_view_reader'@'127.0.0.1'");
    exec(mysql(), "CREATE USER 'sql_view_reader'@'127.0.0.1' IDENTIFIED BY 'Reader-pw9'");
    exec(mysql(), "GRANT SELECT ON `" + db_name_ + "`.`v_values` TO 'sql_view_reader'@'127.0.0.1'");
    MYSQL reader;
    mysql_init(&reader);
    ASSERT_NE(mysql_real_connect(&reader, server_.host.c_str(), "sql_view_reader", "Reader-pw9",
                                 db_name_.c_str(), server_.port, nullptr, 0),
              nullptr)
        << mysql_error(&reader);
    EXPECT_NE(mysql_query(&reader, "SELECT * FROM v_values"), 0);
    EXPECT_NE(mysql_query(&reader, "SELECT User FROM mysql.global_priv"), 0);
    mysql_close(&reader);
    exec(mysql(), "DROP USER 'sql_view_reader'@'127.0.0.1'");
}

} // namespace
