// The recordset interface: key index, key records and the condition built from a key text.
#include "UDB/udb_rs.h"

#include "TK/tk_excep.h"

#include <gtest/gtest.h>

namespace {

class test_recordset : public udb_recordset {
public:
    test_recordset() : udb_recordset(L"t") {
        add_column(L"id", VT_I4);
        add_column(L"Code", VT_BSTR);
        add_column(L"amount", VT_DECIMAL);
        add_column(L"data", VT_ARRAY | VT_UI1);
        add_column(L"say \"hi\"", VT_BSTR);
    }
    void append_record(const udb_record&) override {}

    void add_column(const std::wstring& name, VARTYPE vt) {
        schema.push_back(
            std::make_shared<t_ftd>(10, name, vt, false, false, ole_variant(), 0, L""));
    }
};

udb_index make_index(const std::wstring& name, bool unique, bool primary,
                     std::vector<std::wstring> columns) {
    udb_index index(name, unique, primary);
    index.columns = std::move(columns);
    return index;
}

TEST(UdbRecordset, BaseBehaviour) {
    test_recordset rs;
    EXPECT_EQ(rs.key_idx, -1);
    EXPECT_EQ(rs.rec_count, 0u);
    EXPECT_EQ(rs.db, nullptr);
    EXPECT_TRUE(rs.schema.b_owner);
    EXPECT_TRUE(rs.is_eof());
    EXPECT_EQ(rs.get_item(), nullptr);
    EXPECT_FALSE(rs.is_query());
    rs.query = L"select 1";
    EXPECT_TRUE(rs.is_query());
}

TEST(UdbRecordset, KeyIsThePrimaryKeyElseTheFirstUniqueIndex) {
    test_recordset rs;
    rs.add_index(make_index(L"ix", false, false, {L"Code"}));
    EXPECT_EQ(rs.key_idx, -1);
    rs.add_index(make_index(L"ux1", true, false, {L"Code"}));
    rs.add_index(make_index(L"ux2", true, false, {L"amount"}));
    EXPECT_EQ(rs.key_idx, 1);
    rs.add_index(make_index(L"UX1", true, true, {L"id"}));
    EXPECT_EQ(rs.indexes.size(), 3u);
    EXPECT_EQ(rs.key_idx, 1);
    rs.add_index(make_index(L"pk", true, true, {L"id"}));
    EXPECT_EQ(rs.key_idx, 3);
    EXPECT_EQ(rs.indexes.size(), 4u);
}

TEST(UdbRecordset, GetKeyCopiesTheKeyFieldsInKeyOrder) {
    test_recordset rs;
    udb_record empty;
    try {
        rs.get_key(empty);
        FAIL() << "no exception";
    } catch (const tk_exception& e) {
        EXPECT_STREQ(e.what(), "There's no primary/unique key");
        EXPECT_EQ(e.level, 1);
    }

    rs.add_index(make_index(L"pk", true, true, {L"CODE", L"id"}));
    udb_record record;
    record.push_back(std::make_unique<udb_field>(L"id", 4, ole_variant(7.0), false, false));
    record.push_back(
        std::make_unique<udb_field>(L"name", 4, ole_variant(std::wstring(L"n")), false, false));
    EXPECT_EQ(rs.get_key(record), nullptr);

    record.push_back(
        std::make_unique<udb_field>(L"code", 4, ole_variant(std::wstring(L"AB")), false, false));
    std::unique_ptr<udb_record> key = rs.get_key(record);
    ASSERT_NE(key, nullptr);
    ASSERT_EQ(key->size(), 2u);
    EXPECT_EQ((*key)[0]->name, L"code");
    EXPECT_EQ((*key)[0]->to_wstring(), L"AB");
    EXPECT_EQ((*key)[1]->name, L"id");
}

TEST(UdbRecordset, FilterSubqueryFromKeyText) {
    test_recordset rs;
    struct filter_case {
        const char* what;
        std::wstring key;
        std::wstring condition;
    };
    const std::vector<filter_case> cases = {
        {"empty key", L"", L""},
        {"number and text", L"<id>5</id><code>AB</code>", L"\"id\"=5 and \"Code\"='AB' "},
        {"entities are decoded one level", L"<Code>a&lt;b&gt;c&amp;d&amp;lt;</Code>",
         L"\"Code\"='a<b>c&d&lt;' "},
        {"quotes in text are doubled", L"<Code>O'Brien</Code>", L"\"Code\"='O''Brien' "},
        {"a number that is no literal is quoted", L"<id>1; drop table t</id>",
         L"\"id\"='1; drop table t' "},
        {"decimal and exponent stay bare", L"<amount>-12.5e3</amount>", L"\"amount\"=-12.5e3"},
        {"an empty number is quoted", L"<id></id>", L"\"id\"='' "},
        {"binary values stay bare", L"<data>0x0AFF</data>", L"\"data\"=0x0AFF"},
        {"binary text that is no literal is quoted", L"<data>0x0G</data>", L"\"data\"='0x0G' "},
        {"double quotes in names are doubled", L"<say \"hi\">x</say \"hi\">",
         L"\"say \"\"hi\"\"\"='x' "},
    };
    for (const filter_case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(rs.get_filter_subquery(c.key), c.condition);
    }
}

TEST(UdbRecordset, FilterSubqueryRefusesUnknownColumns) {
    test_recordset rs;
    for (const std::wstring key : {L"<key><id>5</id></key>", L"<missing>1</missing>"}) {
        try {
            rs.get_filter_subquery(key);
            FAIL() << "no exception";
        } catch (const tk_exception& e) {
            EXPECT_STREQ(e.what(),
                         "The structure of data source does not conform to the destination table.");
            EXPECT_EQ(e.level, 0);
        }
    }
}

} // namespace
