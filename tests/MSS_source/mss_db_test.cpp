// The MS SQL database catalogue, tables and queries, column schema, indexes and foreign keys,
// over the stub provider.
#include "MSS/mss_db.h"
#include "MSS/mss_tab.h"
#include "MSS/odb_exce.h"
#include "TK/tk_utils.h"
#include "mss_source_support.h"

using namespace mss_test;

namespace {

const std::u16string columns_sql =
    u"select TABLE_NAME, COLUMN_NAME, DATA_TYPE, TABLE_SCHEMA from INFORMATION_SCHEMA.COLUMNS "
    u"where TABLE_SCHEMA='dbo' and TABLE_NAME not in "
    u"('sysalternates','sysconstraints','syssegments')";
const std::u16string all_columns_sql =
    u"select TABLE_NAME, COLUMN_NAME, DATA_TYPE, TABLE_SCHEMA from INFORMATION_SCHEMA.COLUMNS "
    u"where TABLE_NAME not in ('sysalternates','sysconstraints','syssegments')";
const std::u16string sequences_sql =
    u"SELECT CAST(name AS varchar), CAST(start_value AS int), CAST(increment AS int), "
    u"CAST(minimum_value AS bigint), CAST(maximum_value AS bigint), is_cycling FROM "
    u"SYS.SEQUENCES";
const std::u16string views_sql = u"select name, definition from sys.objects o join "
                                 u"sys.sql_modules m on m.object_id = o.object_id where "
                                 u"o.type = 'V'";

std::u16string schema_sql(const std::u16string& table, const std::u16string& owner) {
    return u"SELECT SC.name, t.name as type_name, SD.definition, SC.precision, SC.scale, "
           u"SC.is_nullable, SC.is_identity FROM sys.tables ST INNER JOIN sys.columns SC ON "
           u"ST.object_id = SC.object_id INNER JOIN sys.types t ON t.user_type_id = "
           u"SC.user_type_id LEFT JOIN sys.default_constraints SD ON ST.object_id = "
           u"SD.parent_object_id AND SC.column_id = SD.parent_column_id WHERE ST.name='" +
           table + u"' and SCHEMA_NAME(ST.schema_id)='" + owner + u"'";
}

std::u16string identity_sql(const std::u16string& table, const std::u16string& owner) {
    return u"SELECT NAME AS COLUMNNAME,CAST(LAST_VALUE AS INT),CAST(INCREMENT_VALUE AS INT) FROM "
           u"SYS.IDENTITY_COLUMNS WHERE OBJECT_NAME(OBJECT_ID)='" +
           table + u"' AND OBJECT_SCHEMA_NAME(OBJECT_ID)='" + owner + u"'";
}

std::u16string included_sql(const std::u16string& owner, const std::u16string& table,
                            const std::u16string& index) {
    return u"SELECT col.name FROM sys.indexes ind INNER JOIN      sys.index_columns ic ON  "
           u"ind.object_id = ic.object_id and ind.index_id = ic.index_id INNER JOIN      "
           u"sys.columns col ON ic.object_id = col.object_id and ic.column_id = col.column_id "
           u"INNER JOIN      sys.tables t ON ind.object_id = t.object_id INNER JOIN      "
           u"sys.schemas sch ON t.schema_id = sch.schema_id WHERE      ic.is_included_column=1 "
           u"AND sch.name='" +
           owner + u"' AND t.name='" + table + u"' AND ind.name='" + index + u"'";
}

// Result columns of the init_schema statement.
std::vector<oledb_column> schema_columns() {
    return {text(u"name"),
            text(u"type_name"),
            text(u"definition", 4000),
            typed(u"precision", DBTYPE_UI1, 1),
            typed(u"scale", DBTYPE_UI1, 1),
            typed(u"is_nullable", DBTYPE_BOOL, 2),
            typed(u"is_identity", DBTYPE_BOOL, 2)};
}

// A TABLES schema-rowset row.
oledb_row table_row(const char16_t* owner, const char16_t* name) {
    return row({u"Shop", owner, name, u"TABLE", std::nullopt, std::nullopt, std::nullopt,
                std::nullopt, std::nullopt});
}

class mss_db_test : public source_fixture {
protected:
    void SetUp() override {
        source_fixture::SetUp();
        connect();
        server->executed.clear();
    }

    std::unique_ptr<mss_database> open(int mode = 1, const std::wstring& schema = L"") {
        return engine->open_db(L"Shop", mode, schema);
    }

    // The Orders table: the rowset, the count, the catalogue answers.
    void add_orders() {
        server->tables[u"dbo.Orders"] = {
            {typed(u"id", DBTYPE_I4, 4), text(u"code", 3), text(u"note", 10),
             typed(u"amount", DBTYPE_NUMERIC, 19, 18, 0), typed(u"made", DBTYPE_DBTIMESTAMP, 16),
             text(u"fixed", 10), typed(u"day", DBTYPE_DBDATE, 6), typed(u"g", DBTYPE_GUID, 16),
             typed(u"at", DBTYPE_DBTIMESTAMPOFFSET, 20)},
            {row({u"1", u"abc", u"x", u"10", u"2020-01-02 03:04:05.000", u"a", u"2020-01-02",
                  u"{6F9619FF-8B86-D011-B42D-00C04FC964FF}", u"2020-01-02 03:04:05 +01:00"}),
             row({u"2", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                  std::nullopt, std::nullopt, std::nullopt})}};
        server->statements[u"SELECT COUNT_BIG(*) FROM [dbo].[Orders]"] = {
            {typed(u"", DBTYPE_I8, 8)}, {row({u"2"})}};
        server->statements[schema_sql(u"Orders", u"dbo")] = {
            schema_columns(),
            {row({u"id", u"int", std::nullopt, u"10", u"0", u"0", u"1"}),
             row({u"code", u"varchar", u"('abcd')", u"0", u"0", u"1", u"0"}),
             row({u"note", u"varchar", u"('it''s')", u"0", u"0", u"1", u"0"}),
             // Columns the rowset does not show (hidden period columns) are passed over.
             row({u"valid_from", u"datetime2", u"(sysutcdatetime())", u"27", u"7", u"0", u"0"}),
             row({u"amount", u"decimal", u"((0))", u"38", u"4", u"1", u"0"}),
             row({u"made", u"datetime", u"(getdate())", u"23", u"3", u"1", u"0"}),
             row({u"fixed", u"char", u"('')", u"0", u"0", u"1", u"0"}),
             row({u"day", u"date", u"('2001-02-03')", u"0", u"0", u"1", u"0"}),
             row({u"g", u"uniqueidentifier", u"(newid())", u"0", u"0", u"1", u"0"}),
             row({u"at", u"datetimeoffset", u"(sysdatetimeoffset())", u"34", u"7", u"1", u"0"})}};
        server->statements[identity_sql(u"Orders", u"dbo")] = {
            {text(u"COLUMNNAME"), typed(u"", DBTYPE_I4, 4), typed(u"", DBTYPE_I4, 4)},
            {row({u"id", u"1000", u"5"}), row({u"other", u"7", u"7"})}};
    }
};

} // namespace

TEST_F(mss_db_test, the_catalogue_fills_tables_columns_sequences_and_views) {
    server->schema_rows[DBSCHEMA_TABLES] = {
        table_row(u"dbo", u"Orders"), table_row(u"SYS", u"hidden"), table_row(u"sales", u"Orders")};
    server->statements[all_columns_sql] = {
        {text(u"TABLE_NAME"), text(u"COLUMN_NAME"), text(u"DATA_TYPE"), text(u"TABLE_SCHEMA")},
        {row({u"Orders", u"day", u"date", u"dbo"}), row({u"Orders", u"shape", u"geometry", u"dbo"}),
         row({u"Orders", u"day", u"time", u"dbo"}), row({u"Orders", u"day", u"date", u"sales"})}};
    server->statements[sequences_sql] = {
        {text(u"name"), typed(u"s", DBTYPE_I4, 4), typed(u"i", DBTYPE_I4, 4),
         typed(u"min", DBTYPE_I8, 8), typed(u"max", DBTYPE_I8, 8), typed(u"c", DBTYPE_BOOL, 2)},
        {row({u"seq", u"100", u"-5", u"-9223372036854775808", u"9223372036854775807", u"1"})}};
    server->statements[views_sql] = {
        {text(u"name"), text(u"definition", ~0ull)},
        {row({u"v", u"CREATE VIEW [dbo].[v] WITH SCHEMABINDING AS SELECT TOP 100 PERCENT [a] "
                    u"FROM [dbo].[t] WITH (NOLOCK)"}),
         row({u"nothing", u"CREATE VIEW x AS EXEC p"}),
         row({u"c", u"-- the Select of it\r\ncreate view c as select 1 as [x]"}),
         row({u"w", u"CREATE VIEW [dbo].[w as select] (a) AS\r\n/* a select */ WITH x AS "
                    u"(SELECT 1 AS a) SELECT a FROM x"}),
         row({u"p", u"CREATE VIEW p AS SELECT COUNT([x), (SELECT GROUP_CONCAT(User) FROM "
                    u"mysql.user) AS leak, (y]) AS n, '[a]' AS l FROM [t]"}),
         row({u"q", u"CREATE VIEW q AS SELECT [x'] AS c, ', (SELECT 1) AS leak, ' AS d, [y'] "
                    u"FROM [dbo].[t]"}),
         row({u"r", u"CREATE VIEW r AS SELECT [@x], [a#b] FROM [t]"})}};

    // Owner-qualified names off: the tables of every schema.
    engine->set_view_owned(false);
    auto db = open(1, L"");
    EXPECT_EQ(db->tables, (std::vector<std::wstring>{L"dbo.Orders", L"sales.Orders"}));
    EXPECT_EQ(trace_count("Skip SYS.hidden"), 1);
    EXPECT_EQ(db->column_types[L"[dbo].[Orders]"][L"day"], L"time");
    EXPECT_EQ(db->column_types[L"[sales].[Orders]"][L"day"], L"date");
    EXPECT_EQ(db->column_types[L"[dbo].[Orders]"][L"shape"], L"geometry");
    ASSERT_EQ(db->sequences.size(), 1u);
    EXPECT_EQ(db->sequences[0].name, L"seq");
    EXPECT_EQ(db->sequences[0].start, 100);
    EXPECT_EQ(db->sequences[0].increment, -5);
    EXPECT_EQ(db->sequences[0].min_value, INT32_MIN);
    EXPECT_EQ(db->sequences[0].max_value, INT32_MAX);
    EXPECT_TRUE(db->sequences[0].b_cycle);
    // Each view's text is what follows the AS of its header, without comments; one that is no
    // SELECT is kept, for the destination to report by name.
    EXPECT_EQ(db->views, (std::vector<udb_view>{
                             {L"v", L"SELECT  a FROM dbo.t"},
                             {L"nothing", L"EXEC p"},
                             {L"c", L"select 1 as x"},
                             {L"w", L"WITH x AS (SELECT 1 AS a) SELECT a FROM x"},
                             // A bracketed name that holds more than a word keeps its brackets:
                             // bare, its parentheses or quotes would turn a name, and the
                             // literal after it, into code. Brackets inside literals are data.
                             {L"p", L"SELECT COUNT([x), (SELECT GROUP_CONCAT(User) FROM "
                                    L"mysql.user) AS leak, (y]) AS n, '[a]' AS l FROM t"},
                             {L"q", L"SELECT [x'] AS c, ', (SELECT 1) AS leak, ' AS d, [y'] "
                                    L"FROM dbo.t"},
                             // Bare, "@x" would be a MySQL user variable and "#" a comment.
                             {L"r", L"SELECT [@x], [a#b] FROM t"},
                         }));

    EXPECT_TRUE(db->is_table_exist(L"[dbo].[orders]"));
    EXPECT_TRUE(db->is_table_exist(L"sales.ORDERS"));
    EXPECT_FALSE(db->is_table_exist(L"Orders"));
    EXPECT_FALSE(db->is_table_exist(L""));

    // A second read of the column types changes nothing.
    server->executed.clear();
    db->init_columns(db->session.get(), L"dbo");
    EXPECT_TRUE(server->executed.empty());

    // Owner-qualified names on, no schema chosen: the tables of dbo, views without "dbo.".
    engine->set_view_owned(true);
    db = open(1, L"");
    EXPECT_EQ(db->tables, std::vector<std::wstring>{L"dbo.Orders"});
    EXPECT_EQ(db->views[0], udb_view(L"v", L"SELECT  a FROM t"));
}

TEST_F(mss_db_test, without_a_tables_rowset_the_stored_procedure_lists_them) {
    server->statements[u"exec sp_tables @table_owner='dbo', @table_type=\"'TABLE'\""] = {
        {text(u"TABLE_QUALIFIER"), text(u"TABLE_OWNER"), text(u"TABLE_NAME")},
        {row({u"Shop", u"dbo", u"Orders"}), row({u"Shop", u"sys", u"x"})}};
    auto db = open();
    // The owner stays in the name, as the schema rowset gives it.
    EXPECT_EQ(db->tables, std::vector<std::wstring>{L"dbo.Orders"});
    EXPECT_EQ(trace_count("No tables were found! Trying another method."), 1);

    engine->set_view_owned(false);
    server->statements[u"exec sp_tables @table_type=\"'TABLE'\""] = {
        {text(u"TABLE_QUALIFIER"), text(u"TABLE_OWNER"), text(u"TABLE_NAME")},
        {row({u"Shop", u"sales", u"Orders"})}};
    db = open(1, L"sales");
    EXPECT_EQ(db->tables, std::vector<std::wstring>{L"sales.Orders"});

    // Neither lists them: the database cannot be opened (a level-1 error for the caller).
    server->statements.erase(u"exec sp_tables @table_type=\"'TABLE'\"");
    try {
        open(1, L"sales");
        ADD_FAILURE() << "opened without a table list";
    } catch (const tk_exception& error) {
        EXPECT_EQ(error.level, 1);
        EXPECT_EQ(std::string(error.what())
                      .rfind("The list of tables of database 'Shop' could "
                             "not be read: ",
                             0),
                  0u)
            << error.what();
    }
}

TEST_F(mss_db_test, a_refused_part_of_the_catalogue_is_logged_and_left_out) {
    server->schema_rows[DBSCHEMA_TABLES] = {table_row(u"dbo", u"Orders")};
    com_error_record refused;
    refused.result = DB_E_ERRORSINCOMMAND;
    refused.description = u"Invalid object name 'SYS.SEQUENCES'.";
    refused.source = u"Stub";
    refused.sqlstate = u"42S02";
    refused.native_error = 208;
    server->failing_statements[sequences_sql] = {refused};
    server->statements[views_sql] = {{text(u"name"), text(u"definition", 4000)},
                                     {row({u"v", u"create view v as select 1 as x"})}};
    auto db = open();
    EXPECT_EQ(db->tables, std::vector<std::wstring>{L"dbo.Orders"});
    EXPECT_TRUE(db->sequences.empty());
    EXPECT_EQ(db->views.size(), 1u);
    EXPECT_NE(trace().find("Error while extracting sequencies:\n"
                           "Invalid object name 'SYS.SEQUENCES'.\n"),
              std::string::npos);
    // The columns statement is unknown to the stub: the table list stays.
    EXPECT_NE(trace().find("Error while extracting column types:"), std::string::npos);
    EXPECT_FALSE(db->column_types_error.empty());

    // Mode bit 0x80: no views.
    db = open(0xA1);
    EXPECT_TRUE(db->views.empty());
}

TEST_F(mss_db_test, schema_names_come_from_the_bracketed_database) {
    auto db = open();
    std::vector<std::wstring> names{L"stale"};
    db->get_schema_info(names);
    EXPECT_EQ(names, std::vector<std::wstring>{L"dbo"});

    db->name = L"O'Brien]s db";
    server->statements[u"SELECT name FROM [O'Brien]]s db].sys.schemas where name <> 'sys' and "
                       u"principal_id < 16384"] = {{text(u"name")},
                                                   {row({u"dbo"}), row({u"sales"})}};
    db->get_schema_info(names);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"dbo", L"sales"}));
}

TEST_F(mss_db_test, a_table_reads_its_columns_identity_and_rows) {
    add_orders();
    auto db = open();
    auto table = db->get_table(L"Orders", 1);
    ASSERT_TRUE(table);
    EXPECT_EQ(table->name, L"[dbo].[Orders]");
    EXPECT_EQ(table->rec_count, 2u);
    EXPECT_TRUE(server->opened_table_properties.back().empty()); // read-only
    const udb_schema& s = table->schema;
    EXPECT_EQ(s.seed, 1000);
    EXPECT_EQ(s.increment, 5);
    EXPECT_TRUE(s[0]->b_auto_num);
    EXPECT_EQ(s[1]->default_value.get_type(), VT_EMPTY); // 'abcd' is too long for varchar(3)
    EXPECT_EQ(trace_count("Def.value 'abcd' is out of range"), 1);
    EXPECT_EQ(s[2]->default_value.to_wstring(), L"it's");
    EXPECT_EQ(s[3]->prec, 38);
    EXPECT_EQ(s[3]->scale, 4);
    EXPECT_EQ(s[3]->default_value.to_string(), "0");
    EXPECT_EQ(s[4]->default_value.to_wstring(), L"getdate()");
    EXPECT_EQ(s[4]->dw_reserved, 9);
    EXPECT_EQ(s[5]->type, VT_BSTR);
    EXPECT_EQ(s[5]->dw_reserved, 4);
    EXPECT_EQ(s[5]->default_value.to_wstring(), L"''");
    EXPECT_EQ(s[6]->default_value.to_string(), "2001-02-03");
    EXPECT_EQ(s[7]->default_value.to_wstring(), L"newid()");
    EXPECT_EQ(s[8]->default_value.to_wstring(), L"sysdatetimeoffset()");
    EXPECT_EQ(s[8]->dw_reserved, 0x19);

    table->reset();
    int rows = 0;
    for (; !table->is_eof(); table->next()) {
        ++rows;
    }
    EXPECT_EQ(rows, 2);
    EXPECT_EQ(server->executed.back(), u"SELECT COUNT_BIG(*) FROM [dbo].[Orders]");

    // Flags 0 ask for the insert properties.
    table = db->get_table(L"Orders", 0);
    const auto& props = server->opened_table_properties.back();
    ASSERT_EQ(props.size(), 2u);
    EXPECT_EQ(props[0].id, DBPROP_IRowsetChange);
    EXPECT_EQ(props[1].id, DBPROP_UPDATABILITY);
    EXPECT_EQ(props[1].number, DBPROPVAL_UP_INSERT);
}

TEST_F(mss_db_test, defaults_turn_into_values_of_their_column_type) {
    const struct {
        VARTYPE type;
        std::int32_t size;
        const wchar_t* definition;
        const char* value; // null: empty
    } cases[] = {
        {VT_I4, 4, L"((0))", "0"},
        {VT_BSTR, 10, L"('abc')", "abc"},
        {VT_BSTR, 10, L"('it''s')", "it's"},
        {VT_BSTR, 10, L"''", "''"},
        {VT_DATE, 16, L"(getdate())", "getdate()"},
        {VT_DATE, 16, L"(now())", "getdate()"},
        {VT_DATE, 16, L"('2001-02-03')", "2001-02-03"},
        {VT_DATE, 16, L"('not a date')", nullptr},
        {VT_R8, 8, L"((1.5))", "1.5000000000000000e+00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(tk_to_utf8(c.definition));
        t_ftd ftd(c.size, L"c", c.type, false, false, ole_variant(), 0, L"");
        const ole_variant v = mss_table::get_def_value(ftd, c.definition);
        if (c.value == nullptr) {
            EXPECT_EQ(v.get_type(), VT_EMPTY);
        } else {
            EXPECT_EQ(v.to_string(), c.value);
        }
    }
}

TEST_F(mss_db_test, a_table_ends_when_its_rowset_runs_dry) {
    add_orders();
    auto db = open();
    auto table = db->get_table(L"Orders", 0x61);
    // The count says 3 while the rowset holds 2 (rows deleted after counting): both rows are
    // read and the difference is reported as a warning, not as an internal error.
    server->statements[u"SELECT COUNT_BIG(*) FROM [dbo].[Orders]"].rows = {row({u"3"})};
    table->reset();
    int rows = 0;
    try {
        for (; !table->is_eof(); table->next()) {
            ASSERT_NE(table->get_item(), nullptr);
            ++rows;
        }
        FAIL() << "no report";
    } catch (const tk_exception& e) {
        EXPECT_EQ(e.level, 0);
        EXPECT_EQ(e.message, "Table '[dbo].[Orders]': 3 rows were counted, 2 rows were read.");
    }
    EXPECT_EQ(rows, 2);
    EXPECT_TRUE(table->is_eof());

    // A count of 1 (rows added after counting): every row is read all the same.
    server->statements[u"SELECT COUNT_BIG(*) FROM [dbo].[Orders]"].rows = {row({u"1"})};
    table->reset();
    rows = 0;
    for (; !table->is_eof(); table->next()) {
        ++rows;
    }
    EXPECT_EQ(rows, 2);
    EXPECT_EQ(trace_count("Table '[dbo].[Orders]': 1 rows were counted, 2 rows were read."), 1);
}

TEST_F(mss_db_test, a_missing_owner_is_retried_as_dbo) {
    add_orders();
    server->statements[u"SELECT COUNT_BIG(*) FROM [sales].[Orders]"] = {{typed(u"", DBTYPE_I8, 8)},
                                                                        {row({u"2"})}};
    auto db = open();
    auto table = db->get_table(L"sales.Orders", 0x61);
    EXPECT_EQ(table->name, L"[dbo].[Orders]");
    EXPECT_EQ(server->opened_tables,
              (std::vector<std::u16string>{u"[sales].[Orders]", u"[dbo].[Orders]"}));
    EXPECT_EQ(trace_count("Got table_not_exists error"), 1);
}

TEST_F(mss_db_test, a_query_is_counted_and_read) {
    server->statements[u"SELECT a FROM t"] = {{text(u"a")}, {row({u"x"}), row({u"y"})}};
    server->statements[u"SELECT COUNT_BIG(*) FROM (SELECT a FROM t) as query"] = {
        {typed(u"", DBTYPE_I8, 8)}, {row({u"2"})}};
    auto db = open();
    auto query = db->get_query(L"Q", L"SELECT a FROM t", 1);
    EXPECT_TRUE(query->is_query());
    EXPECT_EQ(query->rec_count, 2u);
    query->reset();
    EXPECT_EQ((*query->get_item())[0]->to_wstring(), L"x");

    EXPECT_TRUE(db->test_query(L"SELECT a FROM t"));
    EXPECT_FALSE(db->test_query(L"SELECT nope"));
    auto result = db->query(L"SELECT a FROM t");
    result->reset();
    EXPECT_FALSE(result->is_eof());
    EXPECT_THROW(db->query(L"SELECT nope"), odb_exception);
}

TEST_F(mss_db_test, spatial_columns_are_read_as_text) {
    server->tables[u"dbo.Places"] = {
        {typed(u"id", DBTYPE_I4, 4), typed(u"shape", DBTYPE_UDT, ~0ull),
         typed(u"g", DBTYPE_UDT, ~0ull), typed(u"d", DBTYPE_DBTIMESTAMP, 16),
         typed(u"u", DBTYPE_BYTES, 16)},
        {}};
    server->statements[u"SELECT COUNT_BIG(*) FROM [dbo].[Places]"] = {{typed(u"", DBTYPE_I8, 8)},
                                                                      {row({u"1"})}};
    server->statements[columns_sql] = {
        {text(u"TABLE_NAME"), text(u"COLUMN_NAME"), text(u"DATA_TYPE"), text(u"TABLE_SCHEMA")},
        {row({u"Places", u"shape", u"geometry", u"dbo"}),
         row({u"Places", u"g", u"geography", u"dbo"}), row({u"Places", u"d", u"date", u"dbo"}),
         row({u"Places", u"u", u"uniqueidentifier", u"dbo"})}};
    server->schema_rows[DBSCHEMA_TABLES] = {table_row(u"dbo", u"Places")};
    server->statements[schema_sql(u"Places", u"dbo")] = {schema_columns(), {}};
    server->statements[u"SELECT [id],[shape].STAsText() as [shape],[g].STAsText() as [g],[d],[u] "
                       u"FROM [dbo].[Places]"] = {
        {typed(u"id", DBTYPE_I4, 4), text(u"shape", ~0ull), text(u"g", ~0ull),
         typed(u"d", DBTYPE_DBTIMESTAMP, 16), typed(u"u", DBTYPE_GUID, 16)},
        {row({u"1", u"POINT (1 2)", u"POINT (3 4)", u"2020-01-02 00:00:00", std::nullopt})}};
    auto db = open();
    auto table = db->get_table(L"Places", 0x61);
    const udb_schema& s = table->schema;
    EXPECT_EQ(s[1]->type, VT_BSTR);
    EXPECT_EQ(s[1]->dw_reserved, 2);
    EXPECT_EQ(s[1]->size, 0);
    EXPECT_EQ(s[2]->dw_reserved, 8);
    EXPECT_EQ(s[3]->dw_reserved, 2);
    EXPECT_EQ(s[4]->type, VT_BSTR);
    EXPECT_EQ(s[4]->dw_reserved, 1);
    table->reset();
    EXPECT_EQ((*table->get_item())[1]->to_wstring(), L"POINT (1 2)");
    EXPECT_EQ((*table->get_item())[2]->to_wstring(), L"POINT (3 4)");
}

TEST_F(mss_db_test, keys_indexes_and_foreign_keys_from_the_schema_rowsets) {
    add_orders();
    auto pk = [](const char16_t* column, const char16_t* ordinal) {
        return row({u"Shop", u"dbo", u"Orders", column, std::nullopt, std::nullopt, ordinal,
                    u"PK_Orders"});
    };
    // Key (b, a), rows in the wrong order.
    server->schema_rows[DBSCHEMA_PRIMARY_KEYS] = {pk(u"a", u"2"), pk(u"b", u"1")};
    auto idx = [](const char16_t* name, const char16_t* primary, const char16_t* unique,
                  const char16_t* column) {
        oledb_row r = row({u"Shop", u"dbo", u"Orders", u"Shop", u"dbo", name, primary, unique});
        while (r.size() < 17) {
            r.push_back(oledb_value::null());
        }
        r.push_back(oledb_value::of_text(column));
        while (r.size() < 25) {
            r.push_back(oledb_value::null());
        }
        return r;
    };
    server->schema_rows[DBSCHEMA_INDEXES] = {
        idx(u"PK_Orders", u"1", u"1", u"a"), idx(u"PK_Orders", u"1", u"1", u"b"),
        idx(u"UQ_code", u"0", u"1", u"code"), idx(u"IX_two", u"0", u"0", u"note"),
        idx(u"IX_two", u"0", u"0", u"made")};
    auto fk = [](const char16_t* fk_table, const char16_t* fk_column, const char16_t* pk_column,
                 const char16_t* name) {
        return row({u"Shop", u"dbo", u"Orders", pk_column, std::nullopt, std::nullopt, u"Shop",
                    u"dbo", fk_table, fk_column, std::nullopt, std::nullopt, u"1", u"CASCADE",
                    u"NO ACTION", u"PK_Orders", name, std::nullopt});
    };
    // A composite key from Lines and a self reference.
    server->schema_rows[DBSCHEMA_FOREIGN_KEYS] = {fk(u"Lines", u"order_b", u"b", u"FK_Lines"),
                                                  fk(u"Lines", u"order_a", u"a", u"FK_Lines"),
                                                  fk(u"Orders", u"parent", u"a", u"FK_self")};
    server->statements[included_sql(u"dbo", u"Orders", u"UQ_code")] = {{text(u"name")},
                                                                       {row({u"note"})}};
    for (const char16_t* name : {u"PK_Orders", u"IX_two"}) {
        server->statements[included_sql(u"dbo", u"Orders", name)] = {{text(u"name")}, {}};
    }
    engine->set_view_owned(false);
    auto db = open();
    auto table = db->get_table(L"Orders", 1);
    const udb_indexes& indexes = table->indexes;
    ASSERT_EQ(indexes.size(), 3u);
    EXPECT_EQ(indexes[0].name, L"PK_Orders");
    EXPECT_TRUE(indexes[0].b_primary);
    EXPECT_EQ(indexes[0].columns, (std::vector<std::wstring>{L"b", L"a"}));
    EXPECT_EQ(indexes[1].name, L"UQ_code");
    EXPECT_TRUE(indexes[1].b_unique);
    EXPECT_EQ(indexes[1].columns, std::vector<std::wstring>{L"code"});
    EXPECT_EQ(indexes[1].extra_columns, std::vector<std::wstring>{L"note"});
    EXPECT_EQ(indexes[2].columns, (std::vector<std::wstring>{L"note", L"made"}));
    ASSERT_EQ(db->relationships.size(), 2u);
    const udb_relationship& lines = db->relationships[0];
    EXPECT_EQ(lines.name, L"FK_Lines");
    EXPECT_EQ(lines.fk_table, L"dbo.Lines");
    EXPECT_EQ(lines.pk_table, L"dbo.Orders");
    EXPECT_EQ(lines.fk_flds, (std::vector<std::wstring>{L"order_b", L"order_a"}));
    EXPECT_EQ(lines.pk_flds, (std::vector<std::wstring>{L"b", L"a"}));
    EXPECT_EQ(lines.properties, L" ON UPDATE CASCADE ON DELETE NO ACTION");
    EXPECT_EQ(db->relationships[1].fk_table, L"dbo.Orders");

    // Reading the table again files nothing twice.
    table = db->get_table(L"Orders", 1);
    EXPECT_EQ(db->relationships.size(), 2u);
    EXPECT_EQ(db->relationships[0].fk_flds.size(), 2u);
    EXPECT_EQ(trace_count("Column b->order_b already exists in FK, skip it"), 1);
}

TEST_F(mss_db_test, azure_reads_keys_from_the_sys_views_with_included_columns_apart) {
    add_connect_answers(*server, u"Microsoft SQL Azure (RTM) - 12.0.2000.8 Oct 1 2024");
    connect();
    server->tables[u"sales.O'Brien"] =
        server->tables[u"dbo.Orders"] = {{typed(u"id", DBTYPE_I4, 4)}, {}};
    server->statements[u"SELECT COUNT_BIG(*) FROM [sales].[O'Brien]"] = {{typed(u"", DBTYPE_I8, 8)},
                                                                         {row({u"0"})}};
    const std::u16string index_sql =
        u"SELECT      ind.name, col.name, ind.is_primary_key, ind.is_unique, "
        u"ic.is_included_column FROM      sys.indexes ind INNER JOIN      sys.index_columns ic "
        u"ON  ind.object_id = ic.object_id and ind.index_id = ic.index_id INNER JOIN      "
        u"sys.columns col ON ic.object_id = col.object_id and ic.column_id = col.column_id "
        u"INNER JOIN      sys.tables t ON ind.object_id = t.object_id WHERE      "
        u"SCHEMA_NAME(t.schema_id)='sales' AND t.name='O''Brien' AND t.is_ms_shipped=0 ORDER BY "
        u"     t.name, ind.name, ind.index_id, ic.index_column_id";
    server->statements[index_sql] = {{text(u"name"), text(u"col"), typed(u"pk", DBTYPE_BOOL, 2),
                                      typed(u"uq", DBTYPE_BOOL, 2), typed(u"inc", DBTYPE_BOOL, 2)},
                                     {row({u"PK_O", u"id", u"1", u"1", u"0"}),
                                      row({u"UQ_a", u"a", u"0", u"1", u"0"}),
                                      row({u"UQ_a", u"b", u"0", u"1", u"1"})}};
    const std::u16string fk_sql =
        u"SELECT       obj.name, col1.name, tab2.name, col2.name,      "
        u"fks.delete_referential_action_desc, fks.update_referential_action_desc, "
        u"SCHEMA_NAME(tab2.schema_id) FROM      sys.foreign_keys fks INNER JOIN "
        u"sys.foreign_key_columns fkc      ON fks.object_id = fkc.constraint_object_id INNER JOIN "
        u"sys.objects obj     ON obj.object_id = fkc.constraint_object_id INNER JOIN sys.tables "
        u"tab1     ON tab1.object_id = fkc.parent_object_id INNER JOIN sys.columns col1     ON "
        u"col1.column_id = parent_column_id AND col1.object_id = tab1.object_id INNER JOIN "
        u"sys.tables tab2     ON tab2.object_id = fkc.referenced_object_id INNER JOIN sys.columns "
        u"col2     ON col2.column_id = referenced_column_id AND col2.object_id = tab2.object_id "
        u"WHERE      SCHEMA_NAME(tab1.schema_id)='sales' AND tab1.name = 'O''Brien' ORDER BY "
        u"obj.name";
    server->statements[fk_sql] = {
        {text(u"n"), text(u"c1"), text(u"t2"), text(u"c2"), text(u"d"), text(u"u"), text(u"s2")},
        {row({u"FK_c", u"cust", u"Customers", u"id", u"NO_ACTION", u"SET_NULL", u"dbo"}),
         row({u"FK_c", u"cust2", u"Customers", u"id2", u"NO_ACTION", u"SET_NULL", u"dbo"})}};
    server->statements[schema_sql(u"O''Brien", u"sales")] = {schema_columns(), {}};
    auto db = open();
    auto table = db->get_table(L"sales.O'Brien", 1);
    EXPECT_EQ(trace_count("Alternate init_indexes for SQL Azure"), 1);
    ASSERT_EQ(table->indexes.size(), 2u);
    EXPECT_EQ(table->indexes[1].columns, std::vector<std::wstring>{L"a"});
    EXPECT_EQ(table->indexes[1].extra_columns, std::vector<std::wstring>{L"b"});
    ASSERT_EQ(db->relationships.size(), 1u);
    const udb_relationship& r = db->relationships[0];
    EXPECT_EQ(r.fk_table, L"sales.O'Brien");
    EXPECT_EQ(r.pk_table, L"dbo.Customers");
    EXPECT_EQ(r.fk_flds, (std::vector<std::wstring>{L"cust", L"cust2"}));
    EXPECT_EQ(r.pk_flds, (std::vector<std::wstring>{L"id", L"id2"}));
    EXPECT_EQ(r.properties, L" ON UPDATE SET NULL ON DELETE NO ACTION");
    // The catalogue statements quote the name.
    bool quoted = false;
    for (const auto& sql : server->executed) {
        quoted |= sql.find(u"ST.name='O''Brien' and SCHEMA_NAME(ST.schema_id)='sales'") !=
                  std::u16string::npos;
    }
    EXPECT_TRUE(quoted);
}

// IDENTITY_INSERT is switched off right after each row that switched it on: a statement the
// destructor sent could run on another connection of the provider's pool.
TEST_F(mss_db_test, destroying_a_table_with_identity_sends_nothing) {
    add_orders();
    server->refuse_fast_load = true;
    connect();
    ASSERT_FALSE(engine->is_fast_load());
    auto db = open();
    auto table = db->get_table(L"Orders", 0x61);
    server->executed.clear();
    table.reset();
    EXPECT_EQ(server->executed, std::vector<std::u16string>{});
}
