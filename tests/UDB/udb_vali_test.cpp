// Identifier validators: the base rules and the MySQL rules of new and old servers.
#include "UDB/sql_vali.h"
#include "UDB/udb_field.h"
#include "UDB/udb_idx.h"
#include "UDB/udb_schema.h"

#include "TK/tk_excep.h"

#include <gtest/gtest.h>

namespace {

std::string narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        out += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return out;
}

struct name_case {
    std::wstring name;
    bool acceptable;
    std::wstring safe;
};

void expect_names(const udb_validator& v, const std::vector<name_case>& cases) {
    for (const name_case& c : cases) {
        SCOPED_TRACE("name '" + narrow(c.name) + "'");
        EXPECT_EQ(v.is_acceptable(c.name), c.acceptable);
        EXPECT_EQ(v.get_safe_name(c.name), c.safe);
    }
}

const std::wstring name70 = std::wstring(70, L'N');
const std::wstring cut63 = std::wstring(63, L'n');
const std::wstring stem58 = std::wstring(58, L'n');

TEST(SqlNewValidator, ColumnRules) {
    sql_new_validator v(false);
    expect_names(v, {
                        {L"Name", true, L"name"},
                        {L"Straße Ärger", true, L"straße Ärger"},
                        {L"trailing ", false, L"trailing"},
                        {L" leading", false, L"leading"},
                        {L"", false, L"00000"},
                        {L"   ", false, L"00000"},
                        {L"a/b", true, L"a/b"},
                        {L"a`b", false, L"a_b"},
                        {L"``", false, L"__"},
                        {L"x\"y'z;+", false, L"x_y_z__"},
                        {std::wstring(64, L'a'), true, std::wstring(64, L'a')},
                        {name70, false, cut63},
                        {L"select", true, L"select"},
                    });
}

TEST(SqlNewValidator, TableRulesRefuseAllFourteenCharacters) {
    sql_new_tn_validator v({}, {});
    expect_names(v, {
                        {L"a/b", false, L"a_b"},
                        {L"a|b:c<d>e?f", false, L"a_b_c_d_e_f"},
                        {L"Orders", true, L"orders"},
                    });
}

TEST(SqlOldValidator, Rules) {
    sql_old_validator v;
    expect_names(v, {
                        {L"Select", false, L"select00000"},
                        {L"SELECT", false, L"select00000"},
                        {L"2024", false, L"_024"},
                        {L"a-b", false, L"a_b"},
                        {L"a$b_1", true, L"a$b_1"},
                        {L"Größe", true, L"größe"},
                        {L"a`b", false, L"a_b"},
                        {L"", false, L"_"},
                        {L"a b", false, L"a_b"},
                        {name70, false, cut63},
                    });
    EXPECT_EQ(sizeof(sql_old_reserved_words) / sizeof(sql_old_reserved_words[0]), 168u);
    EXPECT_EQ(v.restricted_words.size(), 167u);
}

TEST(SqlOldValidator, DatabaseNamesMayNotStartWithADigit) {
    sql_old_dn_validator v;
    EXPECT_FALSE(v.is_acceptable(L"1db"));
    EXPECT_TRUE(v.is_acceptable(L"db1"));
    EXPECT_FALSE(v.is_acceptable(L""));
    EXPECT_FALSE(v.is_acceptable(L"order"));
}

TEST(UdbValidator, TakenNamesGetNumberedSuffixes) {
    for (bool old_rules : {false, true}) {
        SCOPED_TRACE(old_rules ? "old rules" : "new rules");
        std::unique_ptr<udb_validator> v;
        if (old_rules) {
            v = std::make_unique<sql_old_tn_validator>(std::vector<std::wstring>{L"Orders"},
                                                       std::vector<std::wstring>{});
        } else {
            v = std::make_unique<sql_new_tn_validator>(std::vector<std::wstring>{L"Orders"},
                                                       std::vector<std::wstring>{});
        }
        EXPECT_TRUE(v->is_duplicated(L"ORDERS"));
        std::wstring first = v->get_safe_name(L"ORDERS");
        EXPECT_EQ(first, L"orders00000");
        v->add_existing_name(first);
        EXPECT_EQ(v->get_safe_name(L"Orders"), L"orders00001");

        // Two long names that collide once cut.
        const std::wstring long1 = std::wstring(63, L'n') + L"_first";
        const std::wstring long2 = std::wstring(63, L'n') + L"_second";
        std::wstring safe1 = v->get_safe_name(long1);
        EXPECT_EQ(safe1, cut63);
        v->add_existing_name(safe1);
        std::wstring safe2 = v->get_safe_name(long2);
        EXPECT_EQ(safe2, stem58 + L"00000");
        EXPECT_EQ(safe2.size(), 63u);
        v->add_existing_name(safe2);
        EXPECT_EQ(v->get_safe_name(long1), stem58 + L"00001");

        // Names that differ only in case are one name.
        EXPECT_TRUE(v->is_duplicated(L"ORDERS00000"));
    }
}

TEST(UdbValidator, DuplicatesIgnoreCaseBeyondAscii) {
    sql_new_tn_validator v({L"ÄRGER"}, {L"Größe"});
    EXPECT_TRUE(v.is_duplicated(L"ärger"));
    EXPECT_TRUE(v.is_duplicated(L"GRÖßE"));
    // Lower-casing covers A to Z only; the duplicate test still sees the taken name.
    EXPECT_EQ(v.get_safe_name(L"ÄRGER"), L"Ärger00000");
}

TEST(UdbValidator, ExhaustedCountersAreAnInternalError) {
    class all_taken : public udb_validator {
    public:
        all_taken() : udb_validator(0) {}
        bool is_duplicated(const std::wstring&) const override { return true; }
    };
    all_taken v;
    try {
        v.get_safe_name(L"x");
        FAIL() << "no exception";
    } catch (const tk_mail_assertion& e) {
        EXPECT_EQ(e.message, make_err_meggase("udb_vali", 55));
    }
}

TEST(UdbValidator, KindsTakeTheirExistingNames) {
    udb_schema schema;
    schema.push_back(std::make_shared<t_ftd>(4, L"Id", VT_I4, true, true, ole_variant(), 0, L""));
    schema.push_back(nullptr);
    schema.push_back(
        std::make_shared<t_ftd>(10, L"Name", VT_BSTR, false, false, ole_variant(), 0, L""));
    udb_record record;
    record.push_back(std::make_unique<udb_field>(L"Code", 4, ole_variant(), false, false));
    udb_indexes indexes;
    indexes.push_back(udb_index(L"PK_x", true, true));

    EXPECT_EQ(sql_new_fn_validator(schema).existing_names,
              (std::vector<std::wstring>{L"Id", L"Name"}));
    EXPECT_EQ(sql_old_fn_validator(schema).existing_names,
              (std::vector<std::wstring>{L"Id", L"Name"}));
    EXPECT_EQ(sql_new_fn_validator(record).existing_names, std::vector<std::wstring>{L"Code"});
    EXPECT_EQ(sql_old_fn_validator(record).existing_names, std::vector<std::wstring>{L"Code"});
    EXPECT_EQ(sql_new_in_validator(indexes).existing_names, std::vector<std::wstring>{L"PK_x"});
    EXPECT_EQ(sql_old_in_validator(indexes).existing_names, std::vector<std::wstring>{L"PK_x"});
    EXPECT_EQ(sql_old_tn_validator({L"a"}, {L"b", L"c"}).existing_names,
              (std::vector<std::wstring>{L"a", L"b", L"c"}));
    EXPECT_EQ(sql_new_validator(true).illegal_chars.size(), 14u);
    EXPECT_EQ(sql_new_fn_validator(schema).illegal_chars.size(), 8u);
}

TEST(UdbValidator, MappedPairsKeepTheFirstSafeName) {
    sql_new_validator v(false);
    v.add_mapped_pair(L"Order ID", L"order id");
    v.add_mapped_pair(L"Order ID", L"other");
    ASSERT_EQ(v.mapped_pairs.size(), 1u);
    EXPECT_EQ(v.mapped_pairs.at(L"Order ID"), L"order id");
}

} // namespace
