// The parts of the SQL Server provider that need no server: server texts, the ODBC connection
// string, table names, column information, value texts and the schema-rowset queries.
#include "platform/tds/tds_columns.h"
#include "platform/tds/tds_names.h"
#include "platform/tds/tds_odbc.h"
#include "platform/tds/tds_schema.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

std::string utf8(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) {
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

TEST(TdsServerText, AcceptsTheFormsUsersType) {
    struct form {
        const char16_t* text;
        const char* host;
        int port; // 0: none
        const char* instance;
    };
    const form forms[] = {
        {u"dbhost", "dbhost", 0, ""},
        {u"dbhost,1433", "dbhost", 1433, ""},
        {u" dbhost , 50000 ", "dbhost", 50000, ""},
        {u"dbhost\\SQLEXPRESS", "dbhost", 0, "SQLEXPRESS"},
        {u"dbhost\\SQLEXPRESS,1500", "dbhost", 1500, "SQLEXPRESS"},
        {u"tcp:10.0.0.5,1433", "10.0.0.5", 1433, ""},
        {u"TCP:dbhost", "dbhost", 0, ""},
        {u"(local)", "localhost", 0, ""},
        {u"(Local),1500", "localhost", 1500, ""},
        {u".\\SQLEXPRESS", "localhost", 0, "SQLEXPRESS"},
    };
    for (const form& f : forms) {
        SCOPED_TRACE(utf8(f.text));
        tds_server_address a;
        std::u16string error;
        ASSERT_TRUE(tds_parse_server(f.text, a, error)) << utf8(error);
        EXPECT_EQ(a.host, f.host);
        EXPECT_EQ(a.port.value_or(0), f.port);
        EXPECT_EQ(a.instance, f.instance);
    }
}

TEST(TdsServerText, RefusesBrokenForms) {
    for (const char16_t* text : {u"", u"  ", u",1433", u"host,", u"host,0", u"host,65536",
                                 u"host,14x3", u"host\\", u"\\inst"}) {
        SCOPED_TRACE(utf8(text));
        tds_server_address a;
        std::u16string error;
        EXPECT_FALSE(tds_parse_server(text, a, error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(TdsConnectionString, QuotesEveryValueSoPunctuationReachesTheDriver) {
    // FreeTDS reads a braced value up to the first "};" and unescapes nothing.
    EXPECT_EQ(tds_odbc_quote(u"plain"), u"{plain}");
    EXPECT_EQ(tds_odbc_quote(u"a;b=c{d}e}"), u"{a;b=c{d}e}}");
    EXPECT_EQ(tds_odbc_quote(u""), u"{}");

    tds_login login;
    ASSERT_TRUE([&] {
        std::u16string error;
        return tds_parse_server(u"db\\INST,1500", login.server, error);
    }());
    login.user = u"app;user";
    login.password = u"p}w;";
    login.database = u"Sales DB}";
    std::u16string s;
    std::u16string error;
    ASSERT_TRUE(tds_connection_string(login, s, error)) << utf8(error);
    EXPECT_NE(s.find(u"SERVER={db\\INST};PORT=1500;TDS_Version=7.4;"), std::u16string::npos)
        << utf8(s);
    EXPECT_NE(s.find(u";UID={app;user};PWD={p}w;};DATABASE={Sales DB}};"), std::u16string::npos)
        << utf8(s);
    EXPECT_EQ(s.find(u"Trusted_Connection"), std::u16string::npos);

    login.integrated = true;
    std::u16string k;
    ASSERT_TRUE(tds_connection_string(login, k, error));
    EXPECT_NE(k.find(u";Trusted_Connection=Yes"), std::u16string::npos);
    EXPECT_EQ(k.find(u"UID="), std::u16string::npos);
    EXPECT_EQ(k.find(u"PWD="), std::u16string::npos);

    // "};" would end the value early and let the rest be read as keywords of its own.
    login.integrated = false;
    login.password = u"x};UID=sa";
    std::u16string refused = u"untouched";
    EXPECT_FALSE(tds_connection_string(login, refused, error));
    EXPECT_EQ(refused, u"untouched");
    EXPECT_EQ(utf8(error), "The password holds \"};\", which the FreeTDS driver cannot be given.");
}

TEST(TdsTableName, RequotesTheNamesConsumersPass) {
    struct name_case {
        const char16_t* name;
        const char16_t* quoted; // null: refused
    };
    const name_case cases[] = {
        {u"[dbo].[Orders]", u"[dbo].[Orders]"},
        {u"dbo.Orders", u"[dbo].[Orders]"},
        {u"Orders", u"[Orders]"},
        {u"[O'Brien]", u"[O'Brien]"},
        {u"[a]]b].[c.d]", u"[a]]b].[c.d]"},
        {u"\"sales\".\"order \"\"lines\"\"\"", u"[sales].[order \"lines\"]"},
        {u"db..t", u"[db]..[t]"},
        {u"srv.db.dbo.t", u"[srv].[db].[dbo].[t]"},
        {u"[x]; DROP TABLE y", nullptr},
        {u"[open", nullptr},
        {u"dbo.", nullptr},
        {u"a.b.c.d.e", nullptr},
        {u"a]b", nullptr},
    };
    for (const name_case& c : cases) {
        SCOPED_TRACE(utf8(c.name));
        std::u16string quoted;
        const bool ok = tds_quote_table_name(c.name, quoted);
        ASSERT_EQ(ok, c.quoted != nullptr);
        if (ok) {
            EXPECT_EQ(quoted, c.quoted);
        }
    }
}

// What FreeTDS describes and what the provider reports for it, as SQL Server's providers do.
TEST(TdsColumns, ReportsTypesAsSqlServerProvidersDo) {
    struct type_case {
        const char* what;
        short sql_type;
        std::uint64_t size;
        short digits;
        const char16_t* type_name;
        DBTYPE type;
        DBLENGTH column_size;
        BYTE precision;
        BYTE scale;
        DBCOLUMNFLAGS flags; // besides the nullable flags
        bool is_long;
    };
    constexpr DBLENGTH unlimited = ~DBLENGTH{0};
    constexpr DBCOLUMNFLAGS fixed = DBCOLUMNFLAGS_ISFIXEDLENGTH;
    constexpr DBCOLUMNFLAGS islong = DBCOLUMNFLAGS_ISLONG;
    const type_case cases[] = {
        {"bit", -7, 1, 0, u"bit", DBTYPE_BOOL, 2, 0xFF, 0xFF, fixed, false},
        {"tinyint", -6, 3, 0, u"tinyint", DBTYPE_UI1, 1, 3, 0xFF, fixed, false},
        {"smallint", 5, 5, 0, u"smallint", DBTYPE_I2, 2, 5, 0xFF, fixed, false},
        {"int", 4, 10, 0, u"int", DBTYPE_I4, 4, 10, 0xFF, fixed, false},
        {"bigint", -5, 19, 0, u"bigint", DBTYPE_I8, 8, 19, 0xFF, fixed, false},
        {"decimal(38,10)", 2, 38, 10, u"decimal", DBTYPE_NUMERIC, 19, 38, 10, fixed, false},
        {"money", 3, 19, 4, u"money", DBTYPE_CY, 8, 19, 0xFF, fixed, false},
        {"smallmoney", 3, 10, 4, u"money", DBTYPE_CY, 8, 19, 0xFF, fixed, false},
        {"real", 7, 24, 0, u"real", DBTYPE_R4, 4, 7, 0xFF, fixed, false},
        {"float", 8, 53, 0, u"float", DBTYPE_R8, 8, 15, 0xFF, fixed, false},
        {"date", 91, 10, 0, u"date", DBTYPE_DBDATE, 6, 10, 0, fixed, false},
        {"time(0)", -154, 8, 0, u"time", DBTYPE_DBTIME2, 10, 8, 0, fixed, false},
        {"time(7)", -154, 16, 7, u"time", DBTYPE_DBTIME2, 10, 16, 7, fixed, false},
        {"smalldatetime", 93, 16, 0, u"datetime", DBTYPE_DBTIMESTAMP, 16, 16, 0, fixed, false},
        {"datetime", 93, 23, 3, u"datetime", DBTYPE_DBTIMESTAMP, 16, 23, 3, fixed, false},
        {"datetime2(0)", 93, 19, 0, u"datetime2", DBTYPE_DBTIMESTAMP, 16, 19, 0, fixed, false},
        {"datetime2(7)", 93, 27, 7, u"datetime2", DBTYPE_DBTIMESTAMP, 16, 27, 7, fixed, false},
        {"datetimeoffset(7)", -155, 34, 7, u"datetimeoffset", DBTYPE_DBTIMESTAMPOFFSET, 20, 34, 7,
         fixed, false},
        {"char(10)", 1, 10, 0, u"char", DBTYPE_STR, 10, 0xFF, 0xFF, fixed, false},
        {"varchar(50)", 12, 50, 0, u"varchar", DBTYPE_STR, 50, 0xFF, 0xFF, 0, false},
        {"varchar(max)", 12, 0, 0, u"varchar", DBTYPE_STR, unlimited, 0xFF, 0xFF, islong, true},
        {"nchar(10)", -8, 10, 0, u"nchar", DBTYPE_WSTR, 10, 0xFF, 0xFF, fixed, false},
        {"nvarchar(max)", -9, 0, 0, u"nvarchar", DBTYPE_WSTR, unlimited, 0xFF, 0xFF, islong, true},
        {"text", -1, 2147483647, 0, u"text", DBTYPE_STR, 2147483647, 0xFF, 0xFF, islong, true},
        {"ntext", -10, 1073741823, 0, u"ntext", DBTYPE_WSTR, 1073741823, 0xFF, 0xFF, islong, true},
        {"binary(4)", -2, 4, 0, u"binary", DBTYPE_BYTES, 4, 0xFF, 0xFF, fixed, false},
        {"varbinary(max)", -3, 0, 0, u"varbinary", DBTYPE_BYTES, unlimited, 0xFF, 0xFF, islong,
         true},
        {"image", -4, 2147483647, 0, u"image", DBTYPE_BYTES, 2147483647, 0xFF, 0xFF, islong, true},
        {"geometry", -4, 2147483647, 0, u"", DBTYPE_UDT, unlimited, 0xFF, 0xFF, islong, true},
        {"uniqueidentifier", -11, 36, 0, u"uniqueidentifier", DBTYPE_GUID, 16, 0xFF, 0xFF, fixed,
         false},
        {"xml", -152, 0, 0, u"xml", DBTYPE_XML, unlimited, 0xFF, 0xFF, islong, true},
        {"sql_variant", -150, 8000, 0, u"sql_variant", DBTYPE_VARIANT, 8016, 0xFF, 0xFF, 0, true},
        {"rowversion", -2, 8, 0, u"timestamp", DBTYPE_BYTES, 8, 0xFF, 0xFF,
         fixed | DBCOLUMNFLAGS_ISROWVER, false},
    };
    for (const type_case& c : cases) {
        SCOPED_TRACE(c.what);
        odbc::column_description d;
        d.name = u"c";
        d.type = c.sql_type;
        d.size = c.size;
        d.digits = c.digits;
        d.nullable = true;
        d.type_name = c.type_name;
        const tds_column col = tds_map_column(d);
        EXPECT_EQ(col.info.type, c.type);
        EXPECT_EQ(col.info.size, c.column_size);
        EXPECT_EQ(col.info.precision, c.precision);
        EXPECT_EQ(col.info.scale, c.scale);
        EXPECT_EQ(col.info.flags, c.flags | DBCOLUMNFLAGS_ISNULLABLE | DBCOLUMNFLAGS_MAYBENULL);
        EXPECT_EQ(col.is_long, c.is_long);
    }
    odbc::column_description not_null;
    not_null.type = 4;
    not_null.nullable = false;
    EXPECT_EQ(tds_map_column(not_null).info.flags, DBCOLUMNFLAGS_ISFIXEDLENGTH);
}

// One value written through a WSTR or BYTES binding of a given size.
struct written {
    DBSTATUS status;
    DBLENGTH length;
    std::u16string text;
    std::string bytes;
};

written put(const tds_column& column, DBTYPE type, DBLENGTH max, const void* value,
            odbc::sql_len length, DBPART parts = DBPART_VALUE | DBPART_LENGTH | DBPART_STATUS) {
    std::vector<BYTE> row(12 + max + 4, 0xCC);
    DBBINDING b{};
    b.iOrdinal = 1;
    b.obStatus = 0;
    b.obLength = 4; // unaligned, as the consumer packs it
    b.obValue = 12;
    b.dwPart = parts;
    b.cbMaxLen = max;
    b.wType = type;
    written w{};
    w.status = tds_put_value(column, b, row.data(), value, length);
    DBSTATUS status = 0;
    std::memcpy(&status, row.data(), sizeof status);
    EXPECT_EQ(status, w.status);
    std::memcpy(&w.length, row.data() + 4, sizeof w.length);
    if (w.status == DBSTATUS_S_ISNULL || (parts & DBPART_VALUE) == 0) {
        return w; // the value slot is left alone
    }
    if (type == DBTYPE_WSTR) {
        // Up to the terminator, never past the slot (0xCC bytes stand after it).
        std::u16string slot(max / sizeof(char16_t), u'\0');
        std::memcpy(slot.data(), row.data() + 12, slot.size() * sizeof(char16_t));
        w.text = slot.substr(0, slot.find(u'\0'));
    } else {
        w.bytes.assign(reinterpret_cast<const char*>(row.data() + 12),
                       std::min<std::size_t>(max, w.length));
    }
    return w;
}

tds_column column_of(short sql_type, std::uint64_t size, short digits,
                     const char16_t* type_name = u"") {
    odbc::column_description d;
    d.type = sql_type;
    d.size = size;
    d.digits = digits;
    d.type_name = type_name;
    return tds_map_column(d);
}

TEST(TdsValues, TextFormsAreThoseOfSqlServerProviders) {
    const unsigned char yes = 1;
    const std::int64_t big = -9223372036854775807LL - 1;
    const char decimal[] = "-.5000";
    const float real = 0.1f;
    const double dbl = 0.1;
    const odbc::date_value first_day{1, 1, 1};
    const odbc::time2_value time7{23, 59, 59, 999999900};
    const odbc::timestamp_value datetime{2024, 2, 29, 13, 45, 30, 997000000};
    const odbc::timestamp_offset_value offset{2024, 2, 29, 13, 45, 30, 123456700, -5, -30};
    const odbc::guid_value guid{
        0x6F9619FF, 0x8B86, 0xD011, {0xB4, 0x2D, 0x00, 0xC0, 0x4F, 0xC9, 0x64, 0xFF}};
    struct value_case {
        const char* what;
        tds_column column;
        const void* value;
        odbc::sql_len length;
        const char16_t* text;
    };
    const value_case cases[] = {
        {"bit", column_of(-7, 1, 0), &yes, 1, u"True"},
        {"bigint", column_of(-5, 19, 0), &big, 8, u"-9223372036854775808"},
        {"decimal without leading zero", column_of(2, 5, 4), decimal, 6, u"-0.5000"},
        {"real: shortest text that reads back", column_of(7, 24, 0), &real, 4, u"0.1"},
        {"float", column_of(8, 53, 0), &dbl, 8, u"0.1"},
        {"date of year 1", column_of(91, 10, 0), &first_day, 6, u"0001-01-01"},
        {"time(7)", column_of(-154, 16, 7), &time7, 12, u"23:59:59.9999999"},
        {"time(0)", column_of(-154, 8, 0), &time7, 12, u"23:59:59"},
        {"datetime", column_of(93, 23, 3), &datetime, 16, u"2024-02-29 13:45:30.997"},
        {"smalldatetime", column_of(93, 16, 0), &datetime, 16, u"2024-02-29 13:45:30"},
        {"datetimeoffset(7)", column_of(-155, 34, 7), &offset, 20,
         u"2024-02-29 13:45:30.1234567 -05:30"},
        {"uniqueidentifier in braces", column_of(-11, 36, 0), &guid, 16,
         u"{6F9619FF-8B86-D011-B42D-00C04FC964FF}"},
        {"binary as hexadecimal", column_of(-2, 4, 0), "\x00\x01\xAB\xFF", 4, u"0001ABFF"},
    };
    for (const value_case& c : cases) {
        SCOPED_TRACE(c.what);
        const written w = put(c.column, DBTYPE_WSTR, 200, c.value, c.length);
        EXPECT_EQ(w.status, DBSTATUS_S_OK);
        EXPECT_EQ(w.text, c.text);
        EXPECT_EQ(w.length, std::char_traits<char16_t>::length(c.text) * 2);
    }
}

TEST(TdsValues, NullAndCutValuesAreFlagged) {
    const tds_column text = column_of(-9, 50, 0);
    const written null = put(text, DBTYPE_WSTR, 20, nullptr, odbc::null_data);
    EXPECT_EQ(null.status, DBSTATUS_S_ISNULL);
    EXPECT_EQ(null.length, 0u);

    // "ab😀c": a cut never leaves half of a surrogate pair; the length word keeps the whole.
    const std::u16string value = u"ab\U0001F600c";
    const written cut = put(text, DBTYPE_WSTR, 8, value.data(), 10);
    EXPECT_EQ(cut.status, DBSTATUS_S_TRUNCATED);
    EXPECT_EQ(cut.length, 10u);
    EXPECT_EQ(cut.text, u"ab");

    const written whole = put(text, DBTYPE_WSTR, 12, value.data(), 10);
    EXPECT_EQ(whole.status, DBSTATUS_S_OK);
    EXPECT_EQ(whole.text, value);

    const tds_column binary = column_of(-3, 10, 0);
    const written raw = put(binary, DBTYPE_BYTES, 3, "\x01\x00\x02\x03", 4);
    EXPECT_EQ(raw.status, DBSTATUS_S_TRUNCATED);
    EXPECT_EQ(raw.length, 4u);
    EXPECT_EQ(raw.bytes, std::string("\x01\x00\x02", 3));
    const written hex = put(binary, DBTYPE_WSTR, 7 * 2, "\x01\x00\x02\x03", 4);
    EXPECT_EQ(hex.status, DBSTATUS_S_TRUNCATED);
    EXPECT_EQ(hex.text, u"010002"); // whole bytes only
    EXPECT_EQ(hex.length, 16u);

    // A consumer that binds only length and status learns the whole length; nothing is cut.
    const written length_only =
        put(text, DBTYPE_WSTR, 0, value.data(), 10, DBPART_LENGTH | DBPART_STATUS);
    EXPECT_EQ(length_only.status, DBSTATUS_S_OK);
    EXPECT_EQ(length_only.length, 10u);
    const written bytes_length =
        put(binary, DBTYPE_BYTES, 0, "\x01\x00\x02\x03", 4, DBPART_LENGTH | DBPART_STATUS);
    EXPECT_EQ(bytes_length.status, DBSTATUS_S_OK);
    EXPECT_EQ(bytes_length.length, 4u);
}

std::u16string bstr_restriction_query(const GUID& schema, std::vector<const char16_t*> values) {
    std::vector<VARIANT> v(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        VariantInit(&v[i]);
        if (values[i] != nullptr) {
            v[i].vt = VT_BSTR;
            v[i].bstrVal = SysAllocString(values[i]);
        }
    }
    std::u16string sql;
    EXPECT_EQ(tds_schema_query(schema, static_cast<ULONG>(v.size()), v.data(), sql), S_OK);
    for (VARIANT& x : v) {
        VariantClear(&x);
    }
    return sql;
}

TEST(TdsSchemaQueries, RestrictionsBecomeQuotedConditionsOnStandardColumns) {
    const std::u16string tables =
        bstr_restriction_query(DBSCHEMA_TABLES, {nullptr, u"sales", nullptr, u"TABLE"});
    EXPECT_NE(tables.find(u"WHERE 1 = 1 AND [TABLE_SCHEMA] = N'sales' AND [TABLE_TYPE] = "
                          u"N'TABLE' ORDER BY"),
              std::u16string::npos)
        << utf8(tables);

    const std::u16string keys =
        bstr_restriction_query(DBSCHEMA_FOREIGN_KEYS, {nullptr, nullptr, u"O'Brien]"});
    EXPECT_NE(keys.find(u"AND [PK_TABLE_NAME] = N'O''Brien]' ORDER BY"), std::u16string::npos)
        << utf8(keys);

    const std::u16string indexes =
        bstr_restriction_query(DBSCHEMA_INDEXES, {nullptr, u"dbo", nullptr, nullptr, u"t"});
    EXPECT_NE(indexes.find(u"AND [TABLE_SCHEMA] = N'dbo' AND [TABLE_NAME] = N't' ORDER BY"),
              std::u16string::npos)
        << utf8(indexes);

    std::u16string sql;
    VARIANT bad[2];
    VariantInit(&bad[0]);
    VariantInit(&bad[1]);
    bad[1].vt = VT_I4;
    bad[1].lVal = 5;
    EXPECT_EQ(tds_schema_query(DBSCHEMA_TABLES, 2, bad, sql), E_INVALIDARG);
    VARIANT five[5];
    for (VARIANT& x : five) {
        VariantInit(&x);
    }
    EXPECT_EQ(tds_schema_query(DBSCHEMA_TABLES, 5, five, sql), E_INVALIDARG);
    EXPECT_EQ(tds_schema_query(DBGUID_DBSQL, 0, nullptr, sql), DB_E_NOTSUPPORTED);
}

} // namespace
