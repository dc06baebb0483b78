// The SQL Server provider through FreeTDS against the TDS test server: logins, commands, every
// column type read as the MS SQL source binds it, tables by name, schema rowsets, and the
// failures (refused login, failing statement, lost connection, nothing listening).
#include "tds_provider_support.h"

#include "platform/oledb/oledb_services.h"
#include "platform/tds/tds_rowset.h"
#include "platform/win32/unicode.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace tds_test;

class TdsProvider : public provider_test {
protected:
    // The first value of the first row of `sql`, as text.
    static std::u16string first_text(IOpenRowset* session, const std::u16string& sql) {
        ref<IRowset> rowset;
        EXPECT_EQ(execute(session, sql, rowset), S_OK);
        if (!rowset) {
            return {};
        }
        const read_result r = read_all(rowset.get());
        return r.rows.empty() ? std::u16string() : r.rows[0][0].text;
    }
};

// Binds `fd` to a free port of 127.0.0.1; the port, or 0 when that fails.
std::uint16_t bind_loopback(int fd) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

std::u16string repeat(std::u16string_view piece, std::size_t times) {
    std::u16string out;
    out.reserve(piece.size() * times);
    for (std::size_t i = 0; i < times; ++i) {
        out += piece;
    }
    return out;
}

TEST_F(TdsProvider, LogsInUnderEveryRegisteredPath) {
    for (const CLSID* clsid : {&CLSID_SQLNCLI11, &CLSID_SQLNCLI10, &CLSID_SQLOLEDB}) {
        ref<IDBInitialize> data_source;
        EXPECT_EQ(open(data_source, *clsid, server_text(), user, password, u"velmora_shop"), S_OK);
    }

    // The service components' SQLOLEDB connection string reaches the same provider.
    ref<IDataInitialize> services;
    ASSERT_EQ(CoCreateInstance(CLSID_MSDAINITIALIZE, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IDataInitialize, services.out()),
              S_OK);
    const std::u16string text = u"Provider=sqloledb;Data Source=" + server_text() +
                                u";Initial Catalog=velmora_shop;User Id=sa;Password=" + password +
                                u";";
    ref<IUnknown> unknown;
    ASSERT_EQ(services->GetDataSource(nullptr, CLSCTX_INPROC_SERVER, text.c_str(), IID_IUnknown,
                                      unknown.unknown_out()),
              S_OK);
    ref<IDBInitialize> data_source;
    ASSERT_EQ(unknown->QueryInterface(IID_IDBInitialize, data_source.out()), S_OK);
    ASSERT_EQ(data_source->Initialize(), S_OK);
    EXPECT_EQ(data_source->Initialize(), DB_E_ALREADYINITIALIZED);

    ref<IDBCreateSession> create;
    ASSERT_EQ(data_source->QueryInterface(IID_IDBCreateSession, create.out()), S_OK);
    ref<IOpenRowset> session;
    ASSERT_EQ(create->CreateSession(nullptr, IID_IOpenRowset, session.unknown_out()), S_OK);
    EXPECT_NE(first_text(session.get(), u"SELECT @@VERSION").find(u"Microsoft SQL Server"),
              std::u16string::npos);
    EXPECT_EQ(first_text(session.get(), u"SELECT COUNT_BIG(*) FROM [sales].[customers]"), u"3");
}

TEST_F(TdsProvider, CommandsWithoutRowsLeaveTheRowsetNull) {
    ref<IOpenRowset> session;
    this->session(session, u"velmora_shop");
    ref<IRowset> rowset;
    // Asked for no rowset, even a query gives none.
    EXPECT_EQ(execute(session.get(), u"SELECT * FROM sales.customers", rowset, false), S_OK);
    EXPECT_FALSE(rowset);
    EXPECT_EQ(execute(session.get(), u"SET IDENTITY_INSERT sales.customers OFF;", rowset), S_OK);
    EXPECT_FALSE(rowset);
}

// Expected column information and texts of dbo.all_types, rows 1, 3 and 4 (row 2 is NULL but
// for id and rowversion). Binary columns are given as hexadecimal here.
struct type_case {
    const char* column;
    DBTYPE type;
    DBLENGTH size;
    BYTE precision;
    BYTE scale;
    DBCOLUMNFLAGS flags;
    const char16_t* typical;
    const char16_t* lowest;
    const char16_t* highest;
};

constexpr DBLENGTH unlimited = ~DBLENGTH{0};
constexpr DBCOLUMNFLAGS nul = DBCOLUMNFLAGS_ISNULLABLE | DBCOLUMNFLAGS_MAYBENULL;
constexpr DBCOLUMNFLAGS fix = DBCOLUMNFLAGS_ISFIXEDLENGTH;
constexpr DBCOLUMNFLAGS lng = DBCOLUMNFLAGS_ISLONG;

const type_case type_cases[] = {
    {"id", DBTYPE_I4, 4, 10, 0xFF, fix, u"1", u"3", u"4"},
    {"c_bit", DBTYPE_BOOL, 2, 0xFF, 0xFF, fix | nul, u"True", u"False", u"True"},
    {"c_tinyint", DBTYPE_UI1, 1, 3, 0xFF, fix | nul, u"42", u"0", u"255"},
    {"c_smallint", DBTYPE_I2, 2, 5, 0xFF, fix | nul, u"-1234", u"-32768", u"32767"},
    {"c_int", DBTYPE_I4, 4, 10, 0xFF, fix | nul, u"123456", u"-2147483648", u"2147483647"},
    {"c_bigint", DBTYPE_I8, 8, 19, 0xFF, fix | nul, u"1234567890123", u"-9223372036854775808",
     u"9223372036854775807"},
    {"c_decimal", DBTYPE_NUMERIC, 19, 38, 10, fix | nul,
     u"-1234567890123456789012345678.9012345678", u"-9999999999999999999999999999.9999999999",
     u"9999999999999999999999999999.9999999999"},
    {"c_numeric", DBTYPE_NUMERIC, 19, 5, 2, fix | nul, u"123.45", u"-999.99", u"999.99"},
    {"c_money", DBTYPE_CY, 8, 19, 0xFF, fix | nul, u"12.3456", u"-922337203685477.5808",
     u"922337203685477.5807"},
    {"c_smallmoney", DBTYPE_CY, 8, 19, 0xFF, fix | nul, u"1.5000", u"-214748.3648", u"214748.3647"},
    {"c_real", DBTYPE_R4, 4, 7, 0xFF, fix | nul, u"0.1", u"-3.4028235e+38", u"3.4028235e+38"},
    {"c_float", DBTYPE_R8, 8, 15, 0xFF, fix | nul, u"0.1", u"-1.7976931348623157e+308",
     u"1.7976931348623157e+308"},
    {"c_date", DBTYPE_DBDATE, 6, 10, 0, fix | nul, u"2024-02-29", u"0001-01-01", u"9999-12-31"},
    {"c_time0", DBTYPE_DBTIME2, 10, 8, 0, fix | nul, u"13:45:30", u"00:00:00", u"23:59:59"},
    {"c_time3", DBTYPE_DBTIME2, 10, 12, 3, fix | nul, u"13:45:30.123", u"00:00:00.000",
     u"23:59:59.999"},
    {"c_time7", DBTYPE_DBTIME2, 10, 16, 7, fix | nul, u"13:45:30.1234567", u"00:00:00.0000000",
     u"23:59:59.9999999"},
    {"c_smalldatetime", DBTYPE_DBTIMESTAMP, 16, 16, 0, fix | nul, u"2024-02-29 13:45:00",
     u"1900-01-01 00:00:00", u"2079-06-06 23:59:00"},
    {"c_datetime", DBTYPE_DBTIMESTAMP, 16, 23, 3, fix | nul, u"2024-02-29 13:45:30.997",
     u"1753-01-01 00:00:00.000", u"9999-12-31 23:59:59.997"},
    {"c_datetime2_0", DBTYPE_DBTIMESTAMP, 16, 19, 0, fix | nul, u"2024-02-29 13:45:30",
     u"0001-01-01 00:00:00", u"9999-12-31 23:59:59"},
    {"c_datetime2_7", DBTYPE_DBTIMESTAMP, 16, 27, 7, fix | nul, u"2024-02-29 13:45:30.1234567",
     u"0001-01-01 00:00:00.0000000", u"9999-12-31 23:59:59.9999999"},
    {"c_datetimeoffset", DBTYPE_DBTIMESTAMPOFFSET, 20, 34, 7, fix | nul,
     u"2024-02-29 13:45:30.1234567 +05:30", u"0001-01-01 00:00:00.0000000 -14:00",
     u"9999-12-31 23:59:59.9999999 +14:00"},
    {"c_char", DBTYPE_STR, 10, 0xFF, 0xFF, fix | nul, u"abc       ", u"          ", u"ÀÉÎõü€    "},
    {"c_varchar", DBTYPE_STR, 50, 0xFF, 0xFF, nul, u"hello, world", u"", u"Grüße €"},
    {"c_varchar_cyrillic", DBTYPE_STR, 20, 0xFF, 0xFF, nul, u"Привет", u"", u"Ёё"},
    {"c_varchar_max", DBTYPE_STR, unlimited, 0xFF, 0xFF, lng | nul, u"short", u"", u"x"},
    {"c_nchar", DBTYPE_WSTR, 10, 0xFF, 0xFF, fix | nul, u"ab        ", u"          ",
     u"日本語       "},
    {"c_nvarchar", DBTYPE_WSTR, 50, 0xFF, 0xFF, nul, u"Grüße 😀", u"", u"𝄞 music"},
    {"c_nvarchar_max", DBTYPE_WSTR, unlimited, 0xFF, 0xFF, lng | nul, u"😀 max", u"", u"𝄞"},
    {"c_text", DBTYPE_STR, 2147483647, 0xFF, 0xFF, lng | nul, u"legacy text", u"", u"x"},
    {"c_ntext", DBTYPE_WSTR, 1073741823, 0xFF, 0xFF, lng | nul, u"legacy ünïcode 😀", u"", u"𝄞"},
    {"c_binary", DBTYPE_BYTES, 4, 0xFF, 0xFF, fix | nul, u"00010203", u"00000000", u"FFFFFFFF"},
    {"c_varbinary", DBTYPE_BYTES, 50, 0xFF, 0xFF, nul, u"00FF00", u"", u"FFFFFFFF"},
    {"c_varbinary_max", DBTYPE_BYTES, unlimited, 0xFF, 0xFF, lng | nul, u"00", u"", u"FF"},
    {"c_image", DBTYPE_BYTES, 2147483647, 0xFF, 0xFF, lng | nul, u"89504E47", u"", u"FF"},
    {"c_uniqueidentifier", DBTYPE_GUID, 16, 0xFF, 0xFF, fix | nul,
     u"{6F9619FF-8B86-D011-B42D-00C04FC964FF}", u"{00000000-0000-0000-0000-000000000000}",
     u"{FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF}"},
    {"c_xml", DBTYPE_XML, unlimited, 0xFF, 0xFF, lng | nul, u"<a b=\"1\">x</a>", u"<empty/>",
     u"<r/>"},
    {"c_geometry", DBTYPE_UDT, unlimited, 0xFF, 0xFF, lng | nul,
     u"00000000010C000000000000F03F0000000000000040",
     u"00000000010C00000000000000000000000000000000", nullptr},
    {"c_geography", DBTYPE_UDT, unlimited, 0xFF, 0xFF, lng | nul,
     u"E6100000010C000000000000F03F0000000000000040",
     u"E6100000010C00000000000000000000000000000000",
     u"E6100000010C3333333333D34740F6285C8FC2955EC0"},
    {"c_hierarchyid", DBTYPE_UDT, unlimited, 0xFF, 0xFF, lng | nul, u"58", u"", u"5AC0"},
    {"c_sql_variant", DBTYPE_VARIANT, 8016, 0xFF, 0xFF, nul, u"42", u"variant 😀", u"12.34"},
    {"c_rowversion", DBTYPE_BYTES, 8, 0xFF, 0xFF, fix | DBCOLUMNFLAGS_ISROWVER, u"00000000000007D1",
     u"0000000000000000", u"FFFFFFFFFFFFFFFF"},
};

std::u16string hex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::u16string out;
    for (unsigned char b : bytes) {
        out.push_back(static_cast<char16_t>(digits[b >> 4]));
        out.push_back(static_cast<char16_t>(digits[b & 15]));
    }
    return out;
}

std::u16string shown(const read_column& c, const read_value& v) {
    return c.type == DBTYPE_BYTES ? hex(v.bytes) : v.text;
}

TEST_F(TdsProvider, ReadsEveryTypeOfTheFirstFixtureAsTheSourceBindsIt) {
    ref<IOpenRowset> session;
    this->session(session, u"velmora_types");
    ref<IRowset> rowset;
    ASSERT_EQ(execute(session.get(), u"SELECT * FROM dbo.all_types", rowset), S_OK);
    const read_result r = read_all(rowset.get());
    ASSERT_EQ(r.failure, S_OK);
    ASSERT_EQ(r.columns.size(), std::size(type_cases));
    ASSERT_EQ(r.rows.size(), 5u);

    for (std::size_t i = 0; i < r.columns.size(); ++i) {
        const type_case& t = type_cases[i];
        const read_column& c = r.columns[i];
        SCOPED_TRACE(t.column);
        EXPECT_EQ(narrow(c.name), t.column);
        EXPECT_EQ(c.type, t.type);
        EXPECT_EQ(c.size, t.size);
        EXPECT_EQ(c.precision, t.precision);
        EXPECT_EQ(c.scale, t.scale);
        EXPECT_EQ(c.flags, t.flags);
        const std::pair<std::size_t, const char16_t*> expected[] = {
            {0, t.typical}, {2, t.lowest}, {3, t.highest}};
        for (const auto& [row, text] : expected) {
            SCOPED_TRACE("row " + std::to_string(row + 1));
            const read_value& v = r.rows[row][i];
            if (text == nullptr) {
                EXPECT_EQ(v.status, DBSTATUS_S_OK); // a long value, checked by its length
                continue;
            }
            EXPECT_EQ(v.status, DBSTATUS_S_OK);
            EXPECT_EQ(narrow(shown(c, v)), narrow(text));
        }
        const read_value& null_row = r.rows[1][i];
        if (t.column != std::string("id") && t.column != std::string("c_rowversion")) {
            EXPECT_EQ(null_row.status, DBSTATUS_S_ISNULL);
            EXPECT_EQ(null_row.length, 0u);
        }
    }

    // Row 5: values over 1 MiB arrive whole, in pieces put together.
    const auto& big = r.rows[4];
    const auto column = [&](const char* name) {
        for (std::size_t i = 0; i < std::size(type_cases); ++i) {
            if (type_cases[i].column == std::string(name)) {
                return i;
            }
        }
        return std::size_t{0};
    };
    EXPECT_EQ(big[column("c_varchar_max")].text, repeat(u"abcdefghij", 110000));
    EXPECT_EQ(big[column("c_nvarchar_max")].text, repeat(u"😀x", 400000));
    EXPECT_EQ(big[column("c_text")].text, repeat(u"t", 1100000));
    EXPECT_EQ(big[column("c_ntext")].text, repeat(u"ñ", 600000));
    EXPECT_EQ(big[column("c_xml")].text, repeat(u"<r>😀</r>", 100000));
    std::string pairs;
    for (int i = 0; i < 600000; ++i) {
        pairs += std::string("\x00\xFF", 2);
    }
    EXPECT_EQ(big[column("c_varbinary_max")].bytes, pairs);
    EXPECT_EQ(big[column("c_image")].bytes, std::string(1100000, '\0'));
    EXPECT_EQ(big[column("c_sql_variant")].text, u"2024-02-29 13:45:30.123");
    EXPECT_EQ(big[column("c_uniqueidentifier")].status, DBSTATUS_S_ISNULL);
}

// The MS SQL source reads a value that did not fit its buffer again, through an accessor of
// the value's own length, on the same row.
TEST_F(TdsProvider, ACutValueCanBeReadAgainInFull) {
    ref<IOpenRowset> session;
    this->session(session, u"velmora_types");
    ref<IRowset> rowset;
    ASSERT_EQ(execute(session.get(), u"SELECT id, c_nvarchar_max FROM dbo.all_types", rowset),
              S_OK);
    ref<IAccessor> accessor;
    ASSERT_EQ(rowset->QueryInterface(IID_IAccessor, accessor.out()), S_OK);
    const auto bind = [&](DBLENGTH max, HACCESSOR& handle) {
        DBBINDING b{};
        b.iOrdinal = 2;
        b.obStatus = 0;
        b.obLength = 4;
        b.obValue = 12;
        b.dwPart = DBPART_VALUE | DBPART_LENGTH | DBPART_STATUS;
        b.cbMaxLen = max;
        b.wType = DBTYPE_WSTR;
        return accessor->CreateAccessor(DBACCESSOR_ROWDATA, 1, &b, 0, &handle, nullptr);
    };
    HACCESSOR small = 0;
    ASSERT_EQ(bind(100, small), S_OK);
    HROW rows[5];
    HROW* handles = rows;
    DBCOUNTITEM got = 0;
    ASSERT_EQ(rowset->GetNextRows(DB_NULL_HCHAPTER, 0, 5, &got, &handles), S_OK);
    ASSERT_EQ(got, 5u);
    std::vector<BYTE> buffer(12 + 100);
    ASSERT_EQ(rowset->GetData(rows[4], small, buffer.data()), S_OK);
    DBSTATUS status = 0;
    DBLENGTH length = 0;
    std::memcpy(&status, buffer.data(), sizeof status);
    std::memcpy(&length, buffer.data() + 4, sizeof length);
    EXPECT_EQ(status, DBSTATUS_S_TRUNCATED);
    ASSERT_EQ(length, 2400000u);

    HACCESSOR whole = 0;
    ASSERT_EQ(bind(length + 2, whole), S_OK);
    buffer.assign(12 + length + 2, 0);
    ASSERT_EQ(rowset->GetData(rows[4], whole, buffer.data()), S_OK);
    std::memcpy(&status, buffer.data(), sizeof status);
    EXPECT_EQ(status, DBSTATUS_S_OK);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(buffer.data() + 12), length / 2),
              repeat(u"😀x", 400000));
    // A row held twice stays until its second release; a bad handle in the batch is reported.
    const HROW twice[] = {rows[4], rows[4] + 100};
    DBREFCOUNT counts[2] = {};
    DBROWSTATUS statuses[2] = {};
    EXPECT_EQ(rowset->AddRefRows(2, twice, counts, statuses), DB_S_ERRORSOCCURRED);
    EXPECT_EQ(counts[0], 2u);
    EXPECT_EQ(statuses[1], DBROWSTATUS_E_INVALID);
    EXPECT_EQ(rowset->ReleaseRows(got, rows, nullptr, nullptr, nullptr), S_OK);
    ASSERT_EQ(rowset->GetData(rows[4], whole, buffer.data()), S_OK);
    EXPECT_EQ(rowset->ReleaseRows(1, twice, nullptr, counts, nullptr), S_OK);
    EXPECT_EQ(counts[0], 0u);
    // Released rows are gone.
    EXPECT_EQ(rowset->GetData(rows[4], whole, buffer.data()), DB_E_BADROWHANDLE);
    take_errors();
    accessor->ReleaseAccessor(small, nullptr);
    accessor->ReleaseAccessor(whole, nullptr);
}

// However many rows a consumer asks for at once, the provider holds only what its budget
// allows and hands over the rows there are.
TEST_F(TdsProvider, AHugeFetchRequestGetsTheRowsThereAre) {
    ref<IOpenRowset> session;
    this->session(session, u"velmora_types");
    for (const char16_t* sql : {u"SELECT id FROM dbo.all_types", u"SELECT * FROM dbo.all_types"}) {
        SCOPED_TRACE(narrow(sql));
        ref<IRowset> rowset;
        ASSERT_EQ(execute(session.get(), sql, rowset), S_OK);
        HROW* handles = nullptr;
        DBCOUNTITEM got = 0;
        const HRESULT hr =
            rowset->GetNextRows(DB_NULL_HCHAPTER, 0, DBROWCOUNT{1} << 40, &got, &handles);
        // Bound rows learn of the end at the next fetch; rows read one by one at once.
        EXPECT_TRUE(hr == DB_S_ENDOFROWSET || hr == DB_S_ROWLIMITEXCEEDED) << std::hex << hr;
        EXPECT_EQ(got, 5u);
        ASSERT_NE(handles, nullptr);
        EXPECT_EQ(rowset->ReleaseRows(got, handles, nullptr, nullptr, nullptr), S_OK);
        EXPECT_EQ(rowset->GetNextRows(DB_NULL_HCHAPTER, 0, DBROWCOUNT{1} << 40, &got, &handles),
                  DB_S_ENDOFROWSET);
        EXPECT_EQ(got, 0u);
        CoTaskMemFree(handles);
    }
}

TEST_F(TdsProvider, RestartRunsTheStatementAgainAndRowsetsLiveSideBySide) {
    ref<IOpenRowset> session;
    this->session(session, u"velmora_shop");
    ref<IRowset> many;
    ASSERT_EQ(execute(session.get(), u"SELECT * FROM audit.many_rows", many), S_OK);

    // Part of a big result, then other statements on the same session while it is open.
    HROW rows[100];
    HROW* handles = rows;
    DBCOUNTITEM got = 0;
    ASSERT_EQ(many->GetNextRows(DB_NULL_HCHAPTER, 0, 100, &got, &handles), S_OK);
    ASSERT_EQ(got, 100u);
    DBCOUNTITEM none = 0;
    EXPECT_EQ(many->GetNextRows(DB_NULL_HCHAPTER, 0, 100, &none, &handles), DB_E_ROWSNOTRELEASED);
    ASSERT_EQ(many->ReleaseRows(got, rows, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(first_text(session.get(), u"SELECT COUNT_BIG(*) FROM audit.many_rows"), u"1000000");
    ref<IRowset> customers;
    ASSERT_EQ(execute(session.get(), u"SELECT * FROM sales.customers", customers), S_OK);
    EXPECT_EQ(read_all(customers.get()).rows.size(), 3u);
    ASSERT_EQ(many->GetNextRows(DB_NULL_HCHAPTER, 0, 100, &got, &handles), S_OK);
    EXPECT_EQ(got, 100u);
    ASSERT_EQ(many->ReleaseRows(got, rows, nullptr, nullptr, nullptr), S_OK);
    many.reset();

    // A command's result read to its end starts again from its first row.
    server_->clear_statements();
    const read_result first = read_all(customers.get());
    EXPECT_EQ(first.rows.size(), 3u);
    EXPECT_EQ(narrow(first.rows[0][1].text), "Åsa Öberg");
    int runs = 0;
    for (const std::string& s : server_->statements()) {
        runs += s == "SELECT * FROM sales.customers";
    }
    EXPECT_EQ(runs, 1);
    // Before the first fetch a restart costs nothing.
    ref<IRowset> fresh;
    ASSERT_EQ(execute(session.get(), u"SELECT * FROM sales.orders", fresh), S_OK);
    server_->clear_statements();
    EXPECT_EQ(fresh->RestartPosition(DB_NULL_HCHAPTER), S_OK);
    EXPECT_TRUE(server_->statements().empty());
}

TEST_F(TdsProvider, OpensTablesByName) {
    ref<IOpenRowset> session;
    this->session(session, u"velmora_shop");
    const auto open_table = [&](const char16_t* name, ref<IRowset>& rowset) {
        std::u16string text = name;
        DBID id{};
        id.eKind = DBKIND_NAME;
        id.uName.pwszName = text.data();
        return session->OpenRowset(nullptr, &id, nullptr, IID_IRowset, 0, nullptr,
                                   rowset.unknown_out());
    };
    ref<IRowset> lines;
    ASSERT_EQ(open_table(u"[sales].[order_lines]", lines), S_OK);
    const read_result r = read_all(lines.get());
    ASSERT_EQ(r.rows.size(), 2u);
    EXPECT_EQ(narrow(r.rows[1][2].text), "gadget");

    // The missing table that drives the consumer's "[dbo].[table]" retry, and names that are
    // no names at all.
    for (const char16_t* name :
         {u"[dbo].[order_lines]", u"[sales].[order_lines]; DROP TABLE x", u"[sales", u""}) {
        SCOPED_TRACE(narrow(name));
        ref<IRowset> rowset;
        EXPECT_EQ(open_table(name, rowset), DB_E_NOTABLE);
        EXPECT_FALSE(rowset);
        const std::vector<error_record> errors = take_errors();
        ASSERT_FALSE(errors.empty());
    }

    // Read-only rowsets: a required request for changes is refused.
    DBPROP prop{};
    prop.dwPropertyID = DBPROP_IRowsetChange;
    prop.dwOptions = DBPROPOPTIONS_REQUIRED;
    VariantInit(&prop.vValue);
    prop.vValue.vt = VT_BOOL;
    prop.vValue.boolVal = VARIANT_TRUE;
    DBPROPSET set{&prop, 1, DBPROPSET_ROWSET};
    std::u16string name = u"[sales].[orders]";
    DBID id{};
    id.eKind = DBKIND_NAME;
    id.uName.pwszName = name.data();
    ref<IRowset> changing;
    EXPECT_EQ(
        session->OpenRowset(nullptr, &id, nullptr, IID_IRowset, 1, &set, changing.unknown_out()),
        DB_E_ERRORSOCCURRED);
    EXPECT_EQ(prop.dwStatus, DBPROPSTATUS_NOTSUPPORTED);
}

// A schema rowset read as text, restricted by BSTRs at the given positions.
read_result schema_rows(IOpenRowset* session, const GUID& schema, ULONG count,
                        std::vector<std::pair<ULONG, std::u16string>> set) {
    ref<IDBSchemaRowset> schemas;
    EXPECT_EQ(session->QueryInterface(IID_IDBSchemaRowset, schemas.out()), S_OK);
    std::vector<VARIANT> restrictions(count);
    for (VARIANT& v : restrictions) {
        VariantInit(&v);
    }
    for (const auto& [position, value] : set) {
        restrictions[position].vt = VT_BSTR;
        restrictions[position].bstrVal = SysAllocString(value.c_str());
    }
    ref<IRowset> rowset;
    const HRESULT hr = schemas->GetRowset(nullptr, schema, count, restrictions.data(), IID_IRowset,
                                          0, nullptr, rowset.unknown_out());
    for (VARIANT& v : restrictions) {
        VariantClear(&v);
    }
    EXPECT_EQ(hr, S_OK);
    return rowset ? read_all(rowset.get()) : read_result{};
}

// Selected columns of each row, joined with "|".
std::vector<std::string> pick(const read_result& r, std::vector<std::size_t> columns) {
    std::vector<std::string> out;
    for (const auto& row : r.rows) {
        std::string line;
        for (std::size_t c : columns) {
            line +=
                (line.empty() ? "" : "|") +
                (row[c].status == DBSTATUS_S_ISNULL ? std::string("NULL") : narrow(row[c].text));
        }
        out.push_back(line);
    }
    return out;
}

TEST_F(TdsProvider, SchemaRowsetsAnswerFromTheCatalogue) {
    ref<IOpenRowset> session;
    this->session(session, u"velmora_shop");
    using lines = std::vector<std::string>;

    const read_result tables =
        schema_rows(session.get(), DBSCHEMA_TABLES, 4, {{1, u"sales"}, {3, u"TABLE"}});
    ASSERT_EQ(tables.columns.size(), 9u);
    EXPECT_EQ(narrow(tables.columns[2].name), "TABLE_NAME");
    EXPECT_EQ(pick(tables, {0, 1, 2, 3}),
              (lines{"velmora_shop|sales|customers|TABLE", "velmora_shop|sales|order_lines|TABLE",
                     "velmora_shop|sales|orders|TABLE"}));
    // Without a schema: the tables of every schema, and no views.
    EXPECT_EQ(pick(schema_rows(session.get(), DBSCHEMA_TABLES, 4, {{3, u"TABLE"}}), {1, 2}),
              (lines{"audit|many_rows", "sales|customers", "sales|order_lines", "sales|orders"}));

    EXPECT_EQ(pick(schema_rows(session.get(), DBSCHEMA_PRIMARY_KEYS, 3,
                               {{1, u"sales"}, {2, u"order_lines"}}),
                   {3, 6, 7}),
              (lines{"order_id|1|PK_order_lines", "line|2|PK_order_lines"}));

    EXPECT_EQ(
        pick(schema_rows(session.get(), DBSCHEMA_INDEXES, 5, {{1, u"sales"}, {4, u"orders"}}),
             {5, 6, 7, 16, 17, 20}),
        (lines{"PK_orders|True|True|1|order_id|1", "IX_orders_customer|False|False|1|customer_id|1",
               "IX_orders_customer|False|False|2|ordered|2"}));

    // The keys that point at a table, with their rules in words.
    EXPECT_EQ(pick(schema_rows(session.get(), DBSCHEMA_FOREIGN_KEYS, 6,
                               {{1, u"sales"}, {2, u"customers"}}),
                   {1, 2, 3, 7, 8, 9, 12, 13, 14, 15, 16}),
              (lines{"sales|customers|customer_id|sales|orders|customer_id|1|NO ACTION|CASCADE|"
                     "PK_customers|FK_orders_customers"}));
    EXPECT_TRUE(
        schema_rows(session.get(), DBSCHEMA_FOREIGN_KEYS, 6, {{1, u"sales"}, {2, u"order_lines"}})
            .rows.empty());

    // Quotes and brackets in restrictions are values, not SQL.
    EXPECT_TRUE(
        schema_rows(session.get(), DBSCHEMA_PRIMARY_KEYS, 3, {{2, u"x' OR '1'='1"}}).rows.empty());
    EXPECT_TRUE(
        schema_rows(session.get(), DBSCHEMA_PRIMARY_KEYS, 3, {{2, u"[orders]"}}).rows.empty());
}

// Login names, passwords and database names reach the server whole, whatever punctuation of
// the ODBC connection string they hold.
TEST_F(TdsProvider, LoginTextsWithPunctuationReachTheServer) {
    std::vector<tds_fixture_database> databases;
    databases.push_back(tds_parse_fixture("database [my;db}=1]\n"
                                          "login [o'neil;x}=1] p}w;d={1} }ü😀\n"
                                          "table t\ncolumn a int\nrow 7\nend\n",
                                          "inline"));
    tds_server server(std::move(databases));
    server.start();
    const std::u16string address = win32::to_utf16("127.0.0.1," + std::to_string(server.port()));
    const std::u16string login = u"o'neil;x}=1";
    ref<IDBInitialize> data_source;
    EXPECT_EQ(open(data_source, CLSID_SQLNCLI11, address, login, u"p}w;d={1} }ü😀", u"my;db}=1"),
              S_OK);
    ref<IDBCreateSession> create;
    ASSERT_EQ(data_source->QueryInterface(IID_IDBCreateSession, create.out()), S_OK);
    ref<IOpenRowset> session;
    ASSERT_EQ(create->CreateSession(nullptr, IID_IOpenRowset, session.unknown_out()), S_OK);
    EXPECT_EQ(first_text(session.get(), u"SELECT a FROM t"), u"7");
    // A password cut at its "}" or ";" would not do; one that would end the value early is
    // refused before any connection is tried.
    ref<IDBInitialize> cut;
    EXPECT_EQ(open(cut, CLSID_SQLNCLI11, address, login, u"p}w", u"my;db}=1"),
              DB_SEC_E_AUTH_FAILED);
    take_errors();
    ref<IDBInitialize> refused;
    EXPECT_EQ(open(refused, CLSID_SQLNCLI11, address, login, u"p};UID=sa", u"my;db}=1"), E_FAIL);
    const std::vector<error_record> errors = take_errors();
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(narrow(errors[0].description),
              "The password holds \"};\", which the FreeTDS driver cannot be given.");
}

// A wrong password is a refused login; a database that cannot be opened (4060, which SQL Server
// sends before its 18456) is named in the first record and never passed off as a wrong password.
TEST_F(TdsProvider, RefusedLoginCarriesTheServersFirstRecord) {
    const struct {
        const char* what;
        const char16_t* password;
        const char16_t* database;
        HRESULT result;
        const char* text;
        LONG native;
    } cases[] = {
        {"wrong password", u"wrong", u"", DB_SEC_E_AUTH_FAILED, "Login failed for user 'sa'.",
         18456},
        {"no such database", password.c_str(), u"velmora_none", E_FAIL,
         "Cannot open database \"velmora_none\" requested by the login. The login failed.", 4060},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ref<IDBInitialize> data_source;
        EXPECT_EQ(open(data_source, CLSID_SQLNCLI11, server_text(), user, c.password, c.database),
                  c.result);
        const std::vector<error_record> errors = take_errors();
        ASSERT_FALSE(errors.empty());
        EXPECT_EQ(narrow(errors[0].description), c.text);
        EXPECT_EQ(errors[0].sqlstate, u"42000");
        EXPECT_EQ(errors[0].native, c.native);
        EXPECT_EQ(errors[0].result, c.result);
        EXPECT_FALSE(errors[0].source.empty());
    }
}

TEST_F(TdsProvider, FailingStatementsCarryTheServersRecords) {
    ref<IOpenRowset> session;
    this->session(session, u"velmora_shop");
    server_->fail_statement("FROM sales.customers", {50001, 16, 1, "Custom failure."});
    struct failure {
        const char16_t* sql;
        const char* text;
        const char16_t* sqlstate;
        LONG native;
    };
    const failure failures[] = {
        {u"SELECT * FROM sales.customers", "Custom failure.", u"42000", 50001},
        {u"SELECT * FROM dbo.nowhere", "Invalid object name 'dbo.nowhere'.", u"42S02", 208},
    };
    for (const failure& f : failures) {
        SCOPED_TRACE(narrow(f.sql));
        ref<IRowset> rowset;
        EXPECT_EQ(execute(session.get(), f.sql, rowset), DB_E_ERRORSINCOMMAND);
        EXPECT_FALSE(rowset);
        const std::vector<error_record> errors = take_errors();
        ASSERT_FALSE(errors.empty());
        EXPECT_EQ(narrow(errors[0].description), f.text);
        EXPECT_EQ(errors[0].sqlstate, f.sqlstate);
        EXPECT_EQ(errors[0].native, f.native);
    }
    // An error after the last row of a result (a later statement of the batch) fails the read
    // once the rows are in: it is no end of rows.
    ref<IRowset> rowset;
    ASSERT_EQ(execute(session.get(),
                      u"SELECT * FROM sales.order_lines; SELECT * FROM sales.customers", rowset),
              S_OK);
    const read_result r = read_all(rowset.get());
    EXPECT_EQ(r.rows.size(), 2u);
    EXPECT_EQ(r.failure, E_FAIL);
    ASSERT_FALSE(r.errors.empty());
    EXPECT_EQ(narrow(r.errors[0].description), "Custom failure.");

    // The session goes on.
    EXPECT_EQ(first_text(session.get(), u"SELECT COUNT_BIG(*) FROM sales.orders"), u"3");
}

TEST_F(TdsProvider, ADroppedConnectionIsReportedNeverTakenForTheEnd) {
    struct drop_case {
        const char* what;
        const char* match;
        std::uint64_t after;
        const char16_t* sql;
    };
    // Rows fetched in blocks, and rows with long values fetched one by one.
    const drop_case cases[] = {
        {"block fetch", "many_rows", 250, u"SELECT * FROM audit.many_rows"},
        {"long values", "all_types", 3, u"SELECT * FROM velmora_types.dbo.all_types"},
        // Every row arrives, but not the end of the result.
        {"before the end, in blocks", "customers", 3, u"SELECT * FROM sales.customers"},
        {"before the end, one by one", "all_types", 5,
         u"SELECT * FROM velmora_types.dbo.all_types"},
    };
    for (const drop_case& c : cases) {
        SCOPED_TRACE(c.what);
        ref<IOpenRowset> session;
        this->session(session, u"velmora_shop");
        server_->drop_connection_after_rows(c.match, c.after);
        ref<IRowset> rowset;
        ASSERT_EQ(execute(session.get(), c.sql, rowset), S_OK);
        const read_result r = read_all(rowset.get());
        EXPECT_EQ(r.rows.size(), c.after);
        EXPECT_EQ(r.failure, E_FAIL);
        ASSERT_FALSE(r.errors.empty());
        EXPECT_NE(narrow(r.errors[0].description).find("connection to the server was lost"),
                  std::string::npos)
            << narrow(r.errors[0].description);
        EXPECT_EQ(r.errors[0].sqlstate, u"08S01");
        EXPECT_EQ(r.errors[0].native, 20017);
        // It stays failed rather than turning into an end.
        HROW rows[100];
        HROW* handles = rows;
        DBCOUNTITEM got = 0;
        EXPECT_EQ(rowset->GetNextRows(DB_NULL_HCHAPTER, 0, 100, &got, &handles), E_FAIL);
        take_errors();
        server_->clear_faults();
    }
}

TEST_F(TdsProvider, NothingListeningFailsClearlyWithinTheTimeout) {
    // A port that was free a moment ago.
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    const std::uint16_t port = bind_loopback(fd);
    close(fd);
    ASSERT_NE(port, 0);

    const std::u16string server = win32::to_utf16("127.0.0.1," + std::to_string(port));
    const auto start = std::chrono::steady_clock::now();
    ref<IDBInitialize> data_source;
    EXPECT_EQ(open(data_source, CLSID_SQLNCLI11, server, user, password, {}, 5), E_FAIL);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
    const std::vector<error_record> errors = take_errors();
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(narrow(errors[0].description),
              "Cannot connect to the server \"" + narrow(server) + "\".");
    EXPECT_EQ(errors[0].sqlstate, u"08001");
    EXPECT_GT(errors.size(), 1u); // the driver's own records follow
}

TEST_F(TdsProvider, AServerThatNeverAnswersFailsWhenTheTimeoutRunsOut) {
    // The kernel completes the TCP handshake for the listener's backlog; nothing ever answers.
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    const std::uint16_t port = bind_loopback(fd);
    ASSERT_NE(port, 0);
    ASSERT_EQ(listen(fd, 4), 0);
    const std::u16string server = win32::to_utf16("127.0.0.1," + std::to_string(port));

    const auto start = std::chrono::steady_clock::now();
    ref<IDBInitialize> data_source;
    EXPECT_EQ(open(data_source, CLSID_SQLNCLI11, server, user, password, {}, 2), E_FAIL);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    close(fd);
    EXPECT_GE(elapsed, std::chrono::milliseconds(1500));
    EXPECT_LT(elapsed, std::chrono::seconds(5));
    const std::vector<error_record> errors = take_errors();
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors[0].sqlstate, u"08001");
}

TEST_F(TdsProvider, BadInitialisationIsRefusedWithAReason) {
    struct bad_case {
        const char* what;
        std::u16string server;
        std::u16string login;
        HRESULT result;
    };
    const bad_case cases[] = {
        {"no server", u"", user, E_FAIL},
        {"bad port", u"127.0.0.1,99999", user, E_FAIL},
        {"empty instance", u"127.0.0.1\\", user, E_FAIL},
    };
    for (const bad_case& c : cases) {
        SCOPED_TRACE(c.what);
        ref<IDBInitialize> data_source;
        EXPECT_EQ(open(data_source, CLSID_SQLNCLI11, c.server, c.login, password, {}), c.result);
        const std::vector<error_record> errors = take_errors();
        ASSERT_FALSE(errors.empty());
        EXPECT_FALSE(errors[0].description.empty());
    }

    // Integrated security needs Kerberos. The login must fail here without asking any key
    // server for a ticket, even on a machine that holds one: no credential cache, no keytab.
    const std::pair<const char*, const char*> no_kerberos[] = {
        {"KRB5CCNAME", "FILE:/nonexistent/velmora-no-ticket"},
        {"KRB5_CLIENT_KTNAME", "FILE:/nonexistent/velmora-no-keytab"},
        {"KRB5_CONFIG", "/dev/null"},
    };
    std::vector<std::pair<std::string, std::optional<std::string>>> saved;
    for (const auto& [name, value] : no_kerberos) {
        const char* before = std::getenv(name);
        saved.emplace_back(name, before ? std::optional<std::string>(before) : std::nullopt);
        setenv(name, value, 1);
    }
    ref<IDBInitialize> data_source;
    EXPECT_TRUE(FAILED(open(data_source, CLSID_SQLNCLI11, server_text(), {}, {}, {}, 5)));
    for (const auto& [name, before] : saved) {
        if (before) {
            setenv(name.c_str(), before->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
    const std::vector<error_record> errors = take_errors();
    ASSERT_FALSE(errors.empty());
    EXPECT_NE(narrow(errors[0].description).find("Kerberos"), std::string::npos)
        << narrow(errors[0].description);
}

} // namespace
