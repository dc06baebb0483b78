// The statements the MS SQL writer sends, over the stub provider: tables, defaults, indexes,
// foreign keys, sequences and views, and the failures that reach the error handler.
#include "MSS/mss_db.h"
#include "MSS/mss_engi.h"
#include "MSS/mss_icmp.h"
#include "MSS/mss_ntyp.h"
#include "MSS/mss_vali.h"
#include "MSS/odb_rec.h"
#include "TK/tk_utils.h"
#include "UDB/udb_services.h"
#include "tests/MSS_source/mss_source_support.h"

#include <iterator>
#include <random>
#include <string>
#include <vector>

using namespace mss_test;

namespace {

class recording_handler : public udb_error_handler {
public:
    void handle(const tk_exception& error, bool) override {
        messages.push_back(context + ": " + error.what());
    }
    std::vector<std::string> messages;
};

std::shared_ptr<t_ftd> column(const wchar_t* name, VARTYPE type, int size = 0, int reserved = 0,
                              const ole_variant& def = ole_variant()) {
    auto c = std::make_shared<t_ftd>(size, name, type, false, false, def, reserved, L"");
    return c;
}

ole_variant text_value(const wchar_t* text) {
    return ole_variant::from_wstring(text, VT_BSTR);
}

// A table known only by its indexes.
class indexed_table : public udb_recordset {
public:
    indexed_table() : udb_recordset(L"t") {}
    void append_record(const udb_record&) override {}
};

std::u16string u16(const std::wstring& text) {
    return tk_to_utf16(text);
}

class writer_test : public source_fixture {
protected:
    void SetUp() override {
        source_fixture::SetUp();
        connect();
        db = engine->open_db(L"Shop", 0, L"");
        server->executed.clear();
        server->accept_unlisted = true;
    }

    void TearDown() override {
        db.reset();
        source_fixture::TearDown();
    }

    // The answer of a catalogue probe for `name`: `count` objects of that name.
    void probe(const std::u16string& name, bool constraint, int count) {
        const std::u16string sql =
            constraint ? u"SELECT COUNT(*) FROM INFORMATION_SCHEMA.TABLE_CONSTRAINTS WHERE "
                         u"CONSTRAINT_NAME=N'" +
                             name + u"'"
                       : u"SELECT COUNT(*) FROM SYS.INDEXES WHERE NAME=N'" + name + u"'";
        server->statements[sql] = {{typed(u"", DBTYPE_I4, 4)},
                                   {row({std::u16string(count ? u"1" : u"0")})}};
    }

    // The statements run, probes left out.
    std::vector<std::wstring> changes() const {
        std::vector<std::wstring> out;
        for (const auto& s : server->executed) {
            if (s.rfind(u"SELECT COUNT(*)", 0) != 0) {
                out.push_back(tk_utf16_to_wstring(s));
            }
        }
        return out;
    }

    void fail(const std::wstring& statement, int number, const char16_t* text) {
        com_error_record record;
        record.result = DB_E_ERRORSINCOMMAND;
        record.description = text;
        record.source = server->source;
        record.sqlstate = u"42000";
        record.native_error = number;
        server->failing_statements[u16(statement)] = {record};
    }

    recording_handler handler;
    std::unique_ptr<mss_database> db;
};

} // namespace

TEST(mss_validator_test, acceptance_and_safe_names) {
    mss_tn_validator v({L"orders", L"Orders_1"}, {});
    for (const wchar_t* ok : {L"[Order Details]", L"Order Details", L"_x", L"\u00e9t\u00e9"}) {
        EXPECT_TRUE(v.is_acceptable(ok)) << tk_to_utf8(ok);
    }
    for (const wchar_t* bad : {L"1abc", L"#tmp", L"[x"}) {
        EXPECT_FALSE(v.is_acceptable(bad)) << tk_to_utf8(bad);
    }
    EXPECT_THROW(v.is_acceptable(L""), tk_mail_assertion);
    EXPECT_EQ(v.get_safe_name(L"ORDERS"), L"_ORDERS");
    v.add_existing_name(L"_orders");
    EXPECT_EQ(v.get_safe_name(L"ORDERS"), L"1_ORDERS");
    for (const wchar_t* taken : {L"1_orders", L"_1_orders", L"2_1_orders", L"_2_1_orders"}) {
        v.add_existing_name(taken);
    }
    EXPECT_EQ(v.get_safe_name(L"orders"), L"3_2_1_orders");
    EXPECT_EQ(v.get_safe_name(L"1free"), L"1free");

    udb_schema schema;
    schema.push_back(column(L"2nd", VT_I4));
    schema.push_back(column(L"id", VT_I4));
    mss_fn_validator f(schema);
    EXPECT_EQ(f.existing_names, std::vector<std::wstring>{L"id"});
}

TEST_F(writer_test, native_and_oledb_types) {
    const struct {
        VARTYPE type;
        int size, prec, scale, reserved;
        bool identity;
        const wchar_t* native;
        const wchar_t* sql;
        DBTYPE oledb;
    } cases[] = {
        {VT_I4, 4, 0, 0, 0, false, L"money", L"money", DBTYPE_I4},
        {VT_UI8, 8, 0, 0, 0, true, L"", L"BIGINT IDENTITY", DBTYPE_I8},
        {VT_UI8, 8, 0, 0, 0, false, L"", L"BIGINT", DBTYPE_R8},
        {VT_UI1, 1, 0, 0, 0, true, L"", L"INT IDENTITY", DBTYPE_UI1},
        {VT_DECIMAL, 0, 38, 4, 0, false, L"", L"NUMERIC(38,4)", DBTYPE_NUMERIC},
        {VT_DECIMAL, 0, 39, 0, 0, false, L"", L"FLOAT", DBTYPE_R8},
        {VT_DECIMAL, 0, 0, 0, 0, false, L"", L"FLOAT", DBTYPE_R8},
        {VT_DECIMAL, 0, 0, 2, 0, false, L"", L"NUMERIC(0,2)", DBTYPE_R8},
        {VT_R8, 8, 0, 0, 1, false, L"", L"REAL", DBTYPE_R8},
        {VT_CY, 8, 0, 0, 0, false, L"", L"MONEY", DBTYPE_CY},
        {VT_BSTR, 4000, 0, 0, 0, false, L"", L"NVARCHAR(MAX)", DBTYPE_WSTR},
        {VT_BSTR, 3999, 0, 0, 0, false, L"", L"NVARCHAR(3999) ", DBTYPE_WSTR},
        {VT_BSTR, 0, 0, 0, 0, false, L"", L"NVARCHAR(MAX)", DBTYPE_WSTR},
        {VT_BSTR, 10, 0, 0, 0, false, L"VarChar(10)", L"VarChar(10)", DBTYPE_STR},
        {VT_BSTR, 36, 0, 0, 1, false, L"", L" uniqueidentifier", DBTYPE_GUID},
        {VT_BSTR, 0, 0, 0, 8, false, L"", L" geography", DBTYPE_WSTR},
        {VT_ARRAY | VT_UI1, 8000, 0, 0, 0, false, L"", L"VARBINARY(MAX)", DBTYPE_BYTES},
        {VT_BLOB, 7999, 0, 0, 0, false, L"", L"VARBINARY(7999) ", DBTYPE_BYTES},
        {VT_DATE, 16, 0, 0, 0x12, false, L"", L"DATETIMEOFFSET", DBTYPE_DATE},
        {VT_DATE, 16, 0, 0, 3, false, L"", L"TIME", DBTYPE_DBTIME2},
        {VT_DATE, 16, 0, 0, 1, false, L"", L"DATETIME2", DBTYPE_DBTIMESTAMP},
        {VT_BOOL, 2, 0, 0, 0, false, L"", L"BIT", DBTYPE_BOOL},
        {VT_I8, 8, 0, 0, 0, false, L"", L"BIGINT", DBTYPE_I8},
    };
    for (const auto& c : cases) {
        t_ftd f(c.size, L"c", c.type, false, c.identity, ole_variant(), c.reserved, c.native);
        f.prec = c.prec;
        f.scale = c.scale;
        EXPECT_EQ(mss_get_native_type(f), c.sql) << c.type << " " << tk_to_utf8(c.sql);
        EXPECT_EQ(odb_record::get_oledb_type(f), c.oledb) << c.type << " " << tk_to_utf8(c.sql);
    }
}

TEST_F(writer_test, create_table_statement_with_keys_and_defaults) {
    udb_schema schema;
    auto id = column(L"id", VT_I4);
    id->b_auto_num = true;
    schema.push_back(id);
    schema.push_back(column(L"code", VT_BSTR, 10));
    schema.push_back(column(L"ID", VT_I4));
    schema.push_back(column(L"made", VT_DATE, 16, 9, text_value(L"whatever")));
    schema.push_back(column(L"at", VT_DATE, 16, 1, text_value(L"NOW()")));
    schema.push_back(column(L"g", VT_BSTR, 36, 1, text_value(L"NEWID()")));
    schema.push_back(column(L"n", VT_I4, 4, 0, ole_variant::from_wstring(L"0", VT_I4)));
    schema.push_back(column(L"t", VT_BSTR, 20, 0, text_value(L"it's \u00e9")));
    schema.push_back(column(L"e", VT_BSTR, 20, 0, text_value(L"")));
    schema.push_back(column(L"odd]name", VT_BOOL, 2, 0, ole_variant::from_wstring(L"1", VT_I4)));
    udb_indexes indexes;
    udb_index pk(L"PK", true, true);
    pk.columns = {L"id", L"code"};
    indexes.push_back(pk);
    udb_index other(L"IX", false, false);
    other.columns = {L"ID"};
    indexes.push_back(other);
    db->do_create_table(L"[sales].[o]]rders]", schema, indexes);
    ASSERT_EQ(changes().size(), 1u);
    EXPECT_EQ(changes()[0], L"CREATE TABLE [sales].[o]]rders] (\r\n"
                            L"\t[id] INT IDENTITY NOT NULL,\r\n"
                            L"\t[code] NVARCHAR(10)  NOT NULL,\r\n"
                            L"\t[ID] INT,\r\n"
                            L"\t[made] DATETIME2 DEFAULT CURRENT_TIMESTAMP,\r\n"
                            L"\t[at] DATETIME2 DEFAULT getdate(),\r\n"
                            L"\t[g]  uniqueidentifier DEFAULT newid(),\r\n"
                            L"\t[n] INT DEFAULT 0,\r\n"
                            L"\t[t] NVARCHAR(20)  DEFAULT N'it''s \u00e9',\r\n"
                            L"\t[e] NVARCHAR(20) ,\r\n"
                            L"\t[odd]]name] BIT DEFAULT 1)");
}

TEST_F(writer_test, a_default_is_a_literal_or_a_known_function_never_a_raw_expression) {
    db->tables.clear();
    tk_singleton<udb_error_handler>::instance(); // none registered yet
    const struct {
        VARTYPE type;
        int reserved;
        const wchar_t* text;
        const wchar_t* clause;
    } cases[] = {
        {VT_DATE, 1, L"GetDate()", L" DEFAULT GetDate()"},
        {VT_DATE, 1, L"sysutcdatetime()", L" DEFAULT sysutcdatetime()"},
        {VT_DATE, 1, L"2020-01-01 00:00:00", L" DEFAULT '2020-01-01 00:00:00'"},
        {VT_DATE, 10, L"x", L" DEFAULT getdate()"},
        {VT_BSTR, 1, L"abc", L" DEFAULT 'abc'"},
        {VT_BSTR, 0, L"getdate()", L" DEFAULT N'getdate()'"},
        {VT_BSTR, 0x10, L"''", L" DEFAULT ''"},
        {VT_BSTR, 0, L"C:\\\r\nit's", L" DEFAULT N'C:\\\\\n\r\nit''s'"},
        {VT_R8, 0, L"-1.5e3", L" DEFAULT -1.5e3"},
        {VT_I4, 0, L"(1); DROP TABLE x", L""},
        {VT_ARRAY | VT_UI1, 0, L"0x00FF", L" DEFAULT 0x00FF"},
        {VT_ARRAY | VT_UI1, 0, L"0xZZ", L""},
    };
    for (const auto& c : cases) {
        t_ftd f(10, L"c", c.type, false, false, text_value(c.text), c.reserved, L"");
        EXPECT_EQ(mss_default_clause(L"t", f), c.clause) << tk_to_utf8(c.text);
    }
    EXPECT_EQ(handler.messages.size(), 2u);
    EXPECT_EQ(handler.messages[0], "t: The default value (1); DROP TABLE x of column 'c' is left "
                                   "out: it is no value of the column's type");
}

TEST_F(writer_test, indexes_keys_and_constraints) {
    udb_schema schema;
    schema.push_back(column(L"a", VT_BSTR, 100));
    schema.push_back(column(L"b", VT_BSTR, 450));
    schema.push_back(column(L"c", VT_I4, 4));
    schema.back()->b_not_null = true;
    schema.push_back(column(L"f", VT_BOOL, 2));
    schema.push_back(column(L"m", VT_BSTR, 0));
    probe(u"PK_t", true, 1);
    probe(u"UQ_t", true, 0);
    probe(u"UX_a", false, 0);
    probe(u"IX_used", false, 1);
    for (const char16_t* name : {u"wide", u"flag", u"memo", u"missing"}) {
        probe(name, false, 0);
    }
    auto index = [](const wchar_t* name, bool unique, bool primary, bool constraint,
                    std::vector<std::wstring> columns) {
        udb_index i(name, unique, primary);
        i.b_constraint = constraint;
        i.columns = std::move(columns);
        return i;
    };
    udb_indexes list;
    list.push_back_direct(index(L"PK_t", true, true, false, {L"c"}));
    list.push_back_direct(index(L"UQ_t", true, false, true, {L"a", L"c"}));
    list.push_back_direct(index(L"UX_a", true, false, false, {L"a", L"c"}));
    list.push_back_direct(index(L"IX_used", false, false, false, {L"b"}));
    list.push_back_direct(index(L"", false, false, false, {L"c"}));
    list.push_back_direct(index(L"wide", false, false, false, {L"a", L"b"}));
    list.push_back_direct(index(L"flag", false, false, false, {L"f"}));
    list.push_back_direct(index(L"memo", false, false, false, {L"m"}));
    list.push_back_direct(index(L"missing", false, false, false, {L"zz"}));
    list.push_back_direct(index(L"none", false, false, false, {}));
    db->pk_created = false;
    db->create_indexes(L"t", schema, list);
    const std::vector<std::wstring> got = changes();
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0], L"ALTER TABLE [dbo].[t] ADD PRIMARY KEY NONCLUSTERED([c])");
    // A constraint never takes the filter an index gets.
    EXPECT_EQ(got[1], L"ALTER TABLE [dbo].[t] ADD CONSTRAINT [UQ_t] UNIQUE ([a], [c])");
    // Only the nullable column is filtered.
    EXPECT_EQ(got[2], L"CREATE UNIQUE INDEX [UX_a] ON [dbo].[t]([a], [c]) WHERE [a] IS NOT NULL");
    EXPECT_EQ(got[3].substr(0, 17), L"CREATE INDEX IDX_");
    EXPECT_EQ(got[3].substr(got[3].find(L" ON ")), L" ON [dbo].[t]([b])");
    EXPECT_EQ(got[4].substr(got[4].find(L" ON ")), L" ON [dbo].[t]([c])");
    const long first = std::stol(got[3].substr(17));
    EXPECT_EQ(got[4].substr(0, 17 + std::to_wstring(first + 1).size()),
              L"CREATE INDEX IDX_" + std::to_wstring(first + 1));
    EXPECT_TRUE(db->pk_created);
}

TEST_F(writer_test, a_refused_index_is_reported_and_the_next_is_created) {
    udb_schema schema;
    schema.push_back(column(L"c", VT_I4, 4));
    probe(u"PK_t", true, 0);
    probe(u"IX_c", false, 0);
    fail(L"ALTER TABLE [dbo].[t] ADD CONSTRAINT [PK_t] PRIMARY KEY NONCLUSTERED([c])", 1779,
         u"Table 't' already has a primary key defined on it.");
    udb_indexes list;
    udb_index pk(L"PK_t", true, true);
    pk.columns = {L"c"};
    list.push_back_direct(pk);
    udb_index ix(L"IX_c", false, false);
    ix.columns = {L"c"};
    list.push_back_direct(ix);
    db->create_indexes(L"t", schema, list);
    EXPECT_EQ(changes().back(), L"CREATE INDEX [IX_c] ON [dbo].[t]([c])");
    ASSERT_EQ(handler.messages.size(), 1u);
    EXPECT_EQ(handler.messages[0], "Index 'PK_t': Can't create primary key.\nError 1779: Table 't' "
                                   "already has a primary key defined on it.");
    EXPECT_TRUE(db->pk_created);
}

TEST_F(writer_test, gen_idx_name_skips_taken_names) {
    indexed_table table;
    udb_index a(L"UIDX_a_b", true, false);
    table.indexes.push_back_direct(a);
    a.name = L"uidx_a_b_00000";
    table.indexes.push_back_direct(a);
    EXPECT_EQ(db->gen_idx_name(&table, {L"a", L"b"}), L"UIDX_a_b_00001");
    EXPECT_EQ(db->gen_idx_name(&table, {L"b", L"a"}), L"UIDX_b_a");
}

TEST(mss_fk_rules_test, one_delete_and_one_update_rule_in_either_order) {
    for (const wchar_t* ok :
         {L"on update cascade on delete no action", L"ON DELETE SET NULL ON UPDATE SET DEFAULT"}) {
        EXPECT_TRUE(mss_engine::is_valid_fk_props(ok)) << tk_to_utf8(ok);
    }
    for (const wchar_t* bad : {L"ON DELETE CASCADE", L"ON DELETE CASCADE  ON UPDATE CASCADE",
                               L"ON DELETE CASCADE ON DELETE CASCADE", L""}) {
        EXPECT_FALSE(mss_engine::is_valid_fk_props(bad)) << tk_to_utf8(bad);
    }
}

TEST(mss_refine_view_test, mysql_texts_become_t_sql) {
    const struct {
        const wchar_t* in;
        const wchar_t* out;
    } cases[] = {
        {L"select `a`.`b` from `t` where x = '`q`'", L"select [a].[b] from [t] where x = '`q`'"},
        // A backquoted name stays one name: its quotes are letters, "]" is doubled.
        {L"select `i d]'x`, `a``b` from t", L"select [i d]]'x], [a`b] from t"},
        {L"select ifnull(a,0), IFNULL(b,1), IfNull(c,2) from t",
         L"select isnull(a,0), ISNULL(b,1), IfNull(c,2) from t"},
        {L"select now() from t", L"select getdate() from t"},
        {L"select NOW (), curdate ( ) from t", L"select getdate(), cast(getdate() as date) from t"},
        // Whole words in code only: a longer word, a qualified name, a word without a call.
        {L"select nowhere(), t.now(), now, last_now(), isnull_x(a) from t",
         L"select nowhere(), t.now(), now, last_now(), isnull_x(a) from t"},
        {L"select\nnow(),\tnow() from t", L"select\ngetdate(),\tgetdate() from t"},
        {L"now()", L"getdate()"},
        {L"select isnull(x) from t", L"select (x) is null from t"},
        // Two arguments is T-SQL's own ISNULL, not MySQL's test.
        {L"select isnull(v, 0) from t", L"select isnull(v, 0) from t"},
        {L"select isnull(f(a, b)) from t", L"select (f(a, b)) is null from t"},
        {L"select from_unixtime(t) from t", L"select DateAdd(ss,(t),'01-01-1970') from t"},
        {L"select curdate(), curtime() from t",
         L"select cast(getdate() as date), convert(time, getdate()) from t"},
        {L"select isnull(curdate()) from t", L"select (cast(getdate() as date)) is null from t"},
        {L"select ifnull(now(), 'now()') from t", L"select isnull(getdate(), 'now()') from t"},
        {L"select _utf8'abc', _latin1 'd', _utf8mb4 from t", L"select 'abc', 'd', _utf8mb4 from t"},
        // Literals: MySQL's escapes read, T-SQL's doubled quote written.
        {L"select 'it\\'s', 'a''b', \"say \"\"hi\"\"\", 'c:\\\\', 'IFNULL(x)' from t",
         L"select 'it''s', 'a''b', 'say \"hi\"', 'c:\\', 'IFNULL(x)' from t"},
        {L"select 'a\\nb', 'x\\%' from t", L"select 'a\nb', 'x\\%' from t"},
        {L"select 'a\\0b' as z", L"select CONVERT(varchar(max), 'a') + CHAR(0) + 'b' as z"},
        // Comments go as a blank; an apostrophe in one opens nothing.
        {L"select `a` /* it's */ from `t` -- it's\nwhere `b` = 1 # ifnull(\n",
         L"select [a]   from [t]  \nwhere [b] = 1  \n"},
        {L"select /*!50001 `a` */ from t", L"select   [a]   from t"},
        // Two minus signs are MySQL's subtraction of a negation, where T-SQL reads a comment
        // that would hide the rest of the line.
        {L"select 1--1 as x, a---b, 2-/**/-3 from t",
         L"select 1- -1 as x, a- - -b, 2- -3 from t"},
        // A name with a blank, as MySQL or T-SQL writes it.
        {L"select 1 AS `time now`, 2 AS [time now], [it's] from t",
         L"select 1 AS [time now], 2 AS [time now], [it's] from t"},
        // Unclosed pieces stay as they are, for the server to refuse.
        {L"select 'open", L"select 'open"},
        {L"select `open", L"select `open"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mss_database::refine_view(c.in), c.out) << tk_to_utf8(c.in);
    }
    // A hostile nesting is rewritten to a depth and left alone below it, never overflowing.
    const std::size_t levels = 100000;
    std::wstring deep = L"select ";
    for (std::size_t i = 0; i < levels; ++i) {
        deep += L"isnull(";
    }
    deep += L"x" + std::wstring(levels, L')');
    const std::wstring refined = mss_database::refine_view(deep);
    EXPECT_EQ(refined.rfind(L"select ((", 0), 0u);
    EXPECT_EQ(refined.size() - refined.rfind(L") is null"), 9u);
    EXPECT_NE(refined.find(L"isnull(isnull(x))"), std::wstring::npos);
    EXPECT_EQ(icomparer(L"now").compare(L"now", 0), -1);
    EXPECT_EQ(icomparer(L"now").compare(L"NOW(", 0), 0);
}

// Generated texts of code, literals, names and comments, each piece with the T-SQL the rewriting
// must give for it, built from the piece's value rather than from its MySQL spelling.
TEST(mss_refine_view_test, only_code_is_rewritten_in_generated_texts) {
    std::mt19937 random(20261211);
    const auto pick = [&](const auto& list) { return list[random() % std::size(list)]; };
    const wchar_t* const words[] = {
        L"now",   L"isnull", L"ifnull",       L"IFNULL", L"curdate", L"curtime", L"from_unixtime",
        L"_utf8", L"it's",   L"time now",     L"a`b",    L"x]y",     L"--",      L"/*",
        L"*/",    L"#",      L"\\",           L"\"",     L"(",       L")",       L",",
        L" ",     L"\n",     L"replicated_at"};
    const auto value = [&] {
        std::wstring v;
        for (int n = static_cast<int>(random() % 4); n >= 0; --n) {
            v += pick(words);
        }
        return v;
    };
    const auto literal = [&](std::wstring& in, std::wstring& out) {
        const std::wstring v = value();
        const wchar_t quote = random() % 2 ? L'\'' : L'"';
        in += quote;
        for (wchar_t c : v) {
            if (c == L'\\' || c == quote) {
                in += random() % 2 || c == L'\\' ? std::wstring{L'\\', c} : std::wstring(2, c);
            } else {
                in += c;
            }
        }
        in += quote;
        // T-SQL's literal: "'" doubled, and a backslash before a line break followed by a line
        // continuation of its own, which the server drops.
        out += L'\'';
        for (std::size_t i = 0; i < v.size(); ++i) {
            out += v[i] == L'\'' ? std::wstring(2, v[i]) : std::wstring(1, v[i]);
            if (v[i] == L'\\' && i + 1 < v.size() && v[i + 1] == L'\n') {
                out += L"\\\n";
            }
        }
        out += L'\'';
    };
    const auto name = [&](std::wstring& in, std::wstring& out) {
        const std::wstring v = value();
        in += L'`';
        out += L'[';
        for (wchar_t c : v) {
            in += c == L'`' ? std::wstring(2, c) : std::wstring(1, c);
            out += c == L']' ? std::wstring(2, c) : std::wstring(1, c);
        }
        in += L'`';
        out += L']';
    };
    const struct {
        const wchar_t* in;
        const wchar_t* out;
    } code[] = {
        {L"nowhere", L"nowhere"},
        {L"last_now", L"last_now"},
        {L"replicated_at", L"replicated_at"},
        {L"t.now()", L"t.now()"},
        {L"IfNull", L"IfNull"},
        {L"now()", L"getdate()"},
        {L"ifnull(a,0)", L"isnull(a,0)"},
        {L"isnull(v)", L"(v) is null"},
        {L"isnull(v, 0)", L"isnull(v, 0)"},
        {L"curtime()", L"convert(time, getdate())"},
        {L"isnull(now())", L"(getdate()) is null"},
        {L"_latin1'x'", L"'x'"},
        {L"/* it's now() */", L" "},
        {L"-- it's `\n", L" \n"},
        {L"# isnull(\n", L" \n"},
        {L"1--1", L"1- -1"},
    };
    const wchar_t* const separators[] = {L" ", L", ", L"\n", L"\t", L" = "};
    for (int round = 0; round < 2000; ++round) {
        std::wstring in = L"select ";
        std::wstring out = L"select ";
        for (int n = 1 + static_cast<int>(random() % 8); n > 0; --n) {
            switch (random() % 3) {
            case 0:
                literal(in, out);
                break;
            case 1:
                name(in, out);
                break;
            default: {
                const auto& c = pick(code);
                in += c.in;
                out += c.out;
                break;
            }
            }
            const wchar_t* separator = pick(separators);
            in += separator;
            out += separator;
        }
        ASSERT_EQ(mss_database::refine_view(in), out) << tk_to_utf8(in);
    }
}

TEST_F(writer_test, foreign_keys_map_names_and_report_refusals) {
    db->tables = {L"dbo.parent", L"dbo.child", L"[sales].[c]]x]"};
    db->names_map.add_tn_mapping(L"src_child", L"[dbo].[child]");
    t_names_map fields;
    fields.add(L"src_pid", L"pid");
    db->names_map.add_fn_map(L"[dbo].[child]", fields);
    udb_relationships list;
    list.push_back(udb_relationship(L"FK_1", L"", L"src_child", L"parent", {L"src_pid"}, {L"id"},
                                    L" ON UPDATE CASCADE ON DELETE NO ACTION"));
    list.push_back(udb_relationship(L"", L"", L"[sales].[c]]x]", L"parent", {L"p"}, {L"id"},
                                    L"ON DELETE CASCADE"));
    list.push_back(udb_relationship(L"FK_gone", L"", L"nowhere", L"parent", {L"p"}, {L"id"}, L""));
    const std::wstring second =
        L"ALTER TABLE [sales].[c]]x] ADD FOREIGN KEY ([p]) REFERENCES [dbo].[parent]([id])";
    fail(second, 1785,
         u"Introducing FOREIGN KEY constraint may cause cycles or multiple cascade "
         u"paths.");
    // The parent is opened to look for an index over the referenced columns; when that fails,
    // no index is made and the keys are still tried.
    fail(L"SELECT COUNT_BIG(*) FROM [dbo].[parent]", 208, u"Invalid object name 'parent'.");
    db->create_relationships(list);
    std::vector<std::wstring> keys;
    for (const std::wstring& s : changes()) {
        if (s.rfind(L"ALTER TABLE", 0) == 0) {
            keys.push_back(s);
        }
    }
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0], L"ALTER TABLE [dbo].[child] ADD CONSTRAINT [FK_1] FOREIGN KEY ([pid]) "
                       L"REFERENCES [dbo].[parent]([id])  ON UPDATE CASCADE ON DELETE NO ACTION");
    EXPECT_EQ(keys[1], second);
    ASSERT_EQ(handler.messages.size(), 2u);
    EXPECT_EQ(handler.messages[0],
              "[sales].[c]]x]: Can't create foreign key.\nError 1785: Introducing FOREIGN KEY "
              "constraint may cause cycles or multiple cascade paths.");
    EXPECT_EQ(handler.messages[1],
              "Foreign key 'FK_gone': Can't create foreign key.\nTable 'nowhere' not exists");

    server->executed.clear();
    db->mode = 8;
    db->create_relationships(list);
    EXPECT_TRUE(server->executed.empty());
}

TEST_F(writer_test, sequences_are_dropped_and_created_in_their_schema) {
    const std::vector<udb_sequence> list = {
        udb_sequence(L"[sales].[seq_order]", 1, 1, 1, 2147483647, false),
        udb_sequence(L"[DBO].[s2]", -5, -1, -100, -1, true),
    };
    fail(L"CREATE SEQUENCE [dbo].[s2] START WITH -5 INCREMENT BY -1 MINVALUE -100 MAXVALUE -1 "
         L"CYCLE",
         2714, u"There is already an object named 's2' in the database.");
    fail(L"DROP SEQUENCE IF EXISTS [dbo].[s2]", 156, u"Incorrect syntax near 'IF'.");
    db->create_sequences(list);
    const std::vector<std::wstring> expected = {
        L"DROP SEQUENCE IF EXISTS [sales].[seq_order]",
        L"IF NOT EXISTS (SELECT  SCHEMA_NAME FROM    INFORMATION_SCHEMA.SCHEMATA WHERE   "
        L"SCHEMA_NAME = N'sales' ) BEGIN EXEC sp_executesql N'CREATE SCHEMA [sales]' END",
        L"CREATE SEQUENCE [sales].[seq_order] START WITH 1 INCREMENT BY 1 MINVALUE 1 MAXVALUE "
        L"2147483647",
        L"DROP SEQUENCE IF EXISTS [DBO].[s2]",
        L"CREATE SEQUENCE [DBO].[s2] START WITH -5 INCREMENT BY -1 MINVALUE -100 MAXVALUE -1 "
        L"CYCLE",
    };
    EXPECT_EQ(changes(), expected);
    server->executed.clear();
    db->create_sequences({});
    EXPECT_TRUE(server->executed.empty());
}

TEST_F(writer_test, hostile_schema_names_stay_literals) {
    db->create_schema(L"DBO");
    db->create_schema(L"o'k]; x");
    const std::vector<std::wstring> expected = {
        L"IF NOT EXISTS (SELECT  SCHEMA_NAME FROM    INFORMATION_SCHEMA.SCHEMATA WHERE   "
        L"SCHEMA_NAME = N'o''k]; x' ) BEGIN EXEC sp_executesql N'CREATE SCHEMA [o''k]]; x]' "
        L"END"};
    EXPECT_EQ(changes(), expected);
}

TEST_F(writer_test, views_are_renamed_dropped_created_and_failures_reported) {
    const std::vector<udb_view> views = {
        {L"2021sales", L"select `a` from `t`"},
        {L"[2021 sales]", L"select 1 as x"},
        {L"bad", L"select nothing"},
        {L"o'v", L"select 2 as y"},
        {L"two", L"select 1 as x; DROP TABLE [dbo].[victim]"},
        {L"", L"select 3 as z"},
    };
    fail(L"CREATE VIEW [dbo].[bad] AS select nothing", 207, u"Invalid column name 'nothing'.");
    db->create_views(views);
    const std::vector<std::wstring> expected = {
        L"IF OBJECT_ID(N'[dbo].[_2021sales]') IS NOT NULL DROP VIEW [dbo].[_2021sales]",
        L"CREATE VIEW [dbo].[_2021sales] AS select [a] from [t]",
        L"IF OBJECT_ID(N'[dbo].[2021 sales]') IS NOT NULL DROP VIEW [dbo].[2021 sales]",
        L"CREATE VIEW [dbo].[2021 sales] AS select 1 as x",
        L"IF OBJECT_ID(N'[dbo].[bad]') IS NOT NULL DROP VIEW [dbo].[bad]",
        L"CREATE VIEW [dbo].[bad] AS select nothing",
        L"IF OBJECT_ID(N'[dbo].[o''v]') IS NOT NULL DROP VIEW [dbo].[o'v]",
        L"CREATE VIEW [dbo].[o'v] AS select 2 as y",
    };
    EXPECT_EQ(changes(), expected);
    EXPECT_EQ(db->names_map.get_tn_mapped_name(L"2021sales", true), L"_2021sales");
    // A text of more than one SELECT is refused before anything is sent.
    ASSERT_EQ(handler.messages.size(), 3u);
    EXPECT_EQ(handler.messages[0],
              "View 'bad': Can't create view.\nError 207: Invalid column name 'nothing'.");
    EXPECT_EQ(handler.messages[1], "View 'two': Can't create view.\nView 'two' is not a single "
                                   "SELECT statement: another statement follows its \";\"");
    EXPECT_EQ(handler.messages[2], "View '': Can't create view.\nThe view has no name.");
}

TEST_F(writer_test, tables_are_emptied_and_dropped_by_their_qualified_names) {
    db->tables = {L"sales.orders"};
    db->empty_table(L"[sales].[orders]");
    EXPECT_TRUE(db->delete_tab(L"[sales].[orders]"));
    EXPECT_FALSE(db->delete_tab(L"gone"));
    const std::vector<std::wstring> expected = {L"delete from [sales].[orders]",
                                                L"DROP TABLE [sales].[orders]",
                                                L"DROP TABLE [dbo].[gone]"};
    EXPECT_EQ(changes(), expected);
    EXPECT_TRUE(db->tables.empty());
}

TEST_F(writer_test, the_table_definition_path_describes_columns_and_refines_types) {
    udb_schema schema;
    auto id = column(L"id", VT_I4, 4);
    id->b_auto_num = true;
    schema.push_back(id);
    schema.push_back(column(L"memo", VT_BSTR, 0));
    schema.push_back(column(L"g", VT_BSTR, 36, 1));
    schema.push_back(column(L"r", VT_R8, 8, 1));
    schema.push_back(column(L"at", VT_DATE, 16, 0x11));
    schema.back()->b_not_null = true;
    schema.push_back(column(L"day", VT_DATE, 16, 2));
    schema.push_back(column(L"clock", VT_DATE, 16, 3));
    schema.push_back(column(L"now", VT_DATE, 16, 1, text_value(L"NOW()")));
    auto dec = column(L"dec", VT_DECIMAL, 0, 0, text_value(L"1.5"));
    dec->prec = 10;
    dec->scale = 2;
    schema.push_back(dec);
    auto wide_dec = column(L"wide", VT_DECIMAL, 0);
    wide_dec->prec = 40;
    schema.push_back(wide_dec);
    schema.push_back(column(L"flag", VT_BOOL, 2, 0, ole_variant::from_wstring(L"1", VT_I4)));
    schema.push_back(column(L"s", VT_BSTR, 5, 0, text_value(L"it's long")));
    schema.push_back(column(L"bin", VT_ARRAY | VT_UI1, 0));
    udb_indexes indexes;
    udb_index pk(L"PK", true, true);
    pk.columns = {L"memo"};
    indexes.push_back(pk);
    fail(L"ALTER TABLE [t] ALTER COLUMN [r] REAL", 4902, u"Cannot find the object \"t\".");

    EXPECT_EQ(db->odb_database::create_table(L"t", schema, indexes), nullptr);

    ASSERT_EQ(server->created_tables.size(), 1u);
    const test_support::stub_created_table& t = server->created_tables[0];
    EXPECT_EQ(t.name, u"[t]");
    ASSERT_EQ(t.columns.size(), schema.size());
    // name, type, size, precision, scale, type name, then the properties: autoincrement,
    // nullable, default.
    auto shown = [](const test_support::stub_column_desc& c) {
        std::string s = tk_to_utf8(tk_utf16_to_wstring(c.name)) + " " + std::to_string(c.type) +
                        " " + (c.size == ~DBLENGTH(0) ? "~0" : std::to_string(c.size)) + " " +
                        std::to_string(c.precision) + " " + std::to_string(c.scale) + " " +
                        tk_to_utf8(tk_utf16_to_wstring(c.type_name));
        for (const auto& p : c.properties) {
            s += " " + std::to_string(p.id) + "=" +
                 (p.vt == VT_BSTR ? tk_to_utf8(tk_utf16_to_wstring(p.text))
                                  : std::to_string(p.vt) + ":" + std::to_string(p.number));
        }
        return s;
    };
    const std::vector<std::string> expected = {
        "[id] 3 4 0 0  26=11:-1 29=11:0",
        "[memo] 130 ~0 0 0  26=11:0 29=11:0",
        "[g] 72 36 0 0  26=11:0 29=11:-1",
        "[r] 5 8 0 0  26=11:0 29=11:-1",
        "[at] 135 16 0 6  26=11:0 29=11:0",
        "[day] 7 0 0 0 DATE 26=11:0 29=11:-1",
        "[clock] 145 0 0 4 TIME 26=11:0 29=11:-1",
        "[now] 135 16 0 6  26=11:0 29=11:-1 27=CURRENT_TIMESTAMP",
        "[dec] 131 0 10 2  26=11:0 29=11:-1 27=14:0",
        "[wide] 5 0 0 0  26=11:0 29=11:-1",
        "[flag] 11 2 0 0  26=11:0 29=11:-1 27=1",
        "[s] 130 5 0 0  26=11:0 29=11:-1 27='it''s'",
        "[bin] 128 ~0 0 0  26=11:0 29=11:-1",
    };
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(shown(t.columns[i]), expected[i]);
    }
    const std::vector<std::wstring> alters = {
        L"ALTER TABLE [t] ALTER COLUMN [g] uniqueidentifier",
        L"ALTER TABLE [t] ALTER COLUMN [r] REAL",
        L"ALTER TABLE [t] ALTER COLUMN [at] DATETIMEOFFSET NOT NULL",
    };
    EXPECT_EQ(changes(), alters);
    ASSERT_EQ(handler.messages.size(), 1u);
    EXPECT_EQ(handler.messages[0], "t: Can't change the type of column 'r'.\nError 4902: Cannot "
                                   "find the object \"t\".");
}
