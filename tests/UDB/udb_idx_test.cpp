// Index descriptions, their merging list, and foreign-key and sequence descriptions.
#include "UDB/udb_idx.h"
#include "UDB/udb_rel.h"
#include "UDB/udb_seq.h"

#include "TK/tk_excep.h"

#include <gtest/gtest.h>

namespace {

udb_index make_index(const std::wstring& name, bool unique, bool primary,
                     std::vector<std::wstring> columns, bool constraint = false) {
    udb_index index(name, unique, primary);
    index.columns = std::move(columns);
    index.b_constraint = constraint;
    return index;
}

TEST(UdbIndexes, PushBackMergesIndexesOfTheSameName) {
    struct merge_case {
        const char* what;
        udb_index existing;
        udb_index added;
        bool primary, unique, constraint;
        std::vector<std::wstring> columns;
    };
    const std::vector<merge_case> cases = {
        {"primary key replaces a plain index",
         make_index(L"ix", false, false, {L"a"}),
         make_index(L"IX", true, true, {L"b"}),
         true,
         true,
         false,
         {L"b"}},
        {"plain index leaves a primary key alone",
         make_index(L"pk", true, true, {L"a"}),
         make_index(L"PK", false, false, {L"b"}),
         true,
         true,
         false,
         {L"a"}},
        {"unique index makes a plain entry unique, with its columns",
         make_index(L"ix", false, false, {L"a"}),
         make_index(L"ix", true, false, {L"b", L"c"}),
         false,
         true,
         false,
         {L"b", L"c"}},
        {"plain index over plain index changes nothing",
         make_index(L"ix", false, false, {L"a"}),
         make_index(L"ix", false, false, {L"b"}),
         false,
         false,
         false,
         {L"a"}},
        {"unique index keeps an existing unique one",
         make_index(L"ux", true, false, {L"a"}),
         make_index(L"ux", true, false, {L"b"}),
         false,
         true,
         false,
         {L"a"}},
        {"unique constraint replaces a unique index",
         make_index(L"ux", true, false, {L"a"}),
         make_index(L"ux", true, false, {L"b"}, true),
         false,
         true,
         true,
         {L"b"}},
        {"existing unique constraint is kept",
         make_index(L"ux", true, false, {L"a"}, true),
         make_index(L"ux", true, false, {L"b"}),
         false,
         true,
         true,
         {L"a"}},
        {"primary key replaces a unique constraint",
         make_index(L"ux", true, false, {L"a"}, true),
         make_index(L"ux", true, true, {L"b"}),
         true,
         true,
         false,
         {L"b"}},
    };
    for (const merge_case& c : cases) {
        SCOPED_TRACE(c.what);
        udb_indexes list;
        list.push_back(c.existing);
        list.push_back(c.added);
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0].b_primary, c.primary);
        EXPECT_EQ(list[0].b_unique, c.unique);
        EXPECT_EQ(list[0].b_constraint, c.constraint);
        EXPECT_EQ(list[0].columns, c.columns);
    }
}

TEST(UdbIndexes, PushBackAppendsNewNamesAndDirectPushRefusesKnownOnes) {
    udb_indexes list;
    list.push_back(make_index(L"a", false, false, {L"x"}));
    list.push_back(make_index(L"b", true, false, {L"y"}));
    list.push_back_direct(make_index(L"A", true, true, {L"z"}));
    list.push_back_direct(make_index(L"c", false, false, {L"z"}));
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].name, L"a");
    EXPECT_FALSE(list[0].b_primary);
    EXPECT_EQ(list[2].name, L"c");
    EXPECT_FALSE(list.is_acceptable_name(L"B"));
    EXPECT_TRUE(list.is_acceptable_name(L"d"));
}

TEST(UdbIndexes, StartsWithFieldsComparesLeadingColumnsIgnoringCase) {
    const udb_index index = make_index(L"ix", false, false, {L"a", L"b", L"c"});
    EXPECT_TRUE(index.starts_with_fields({L"A", L"b"}));
    EXPECT_TRUE(index.starts_with_fields({}));
    EXPECT_TRUE(index.starts_with_fields({L"a", L"b", L"c"}));
    EXPECT_FALSE(index.starts_with_fields({L"b"}));
    EXPECT_FALSE(index.starts_with_fields({L"a", L"b", L"c", L"d"}));
}

TEST(UdbIndexes, HasIndexOnFieldsLooksOnlyAtTheFirstMatch) {
    udb_indexes list;
    list.push_back(make_index(L"plain", false, false, {L"a", L"b"}));
    list.push_back(make_index(L"uniq", true, false, {L"a"}));
    EXPECT_TRUE(list.has_index_on_fields({L"a"}, false));
    EXPECT_FALSE(list.has_index_on_fields({L"a"}, true));
    EXPECT_FALSE(list.has_index_on_fields({L"b"}, false));
}

TEST(UdbIndexes, IsIdxFieldComparesExactly) {
    udb_indexes list;
    list.push_back(make_index(L"pk", true, true, {L"Id"}));
    list.push_back(make_index(L"ix", false, false, {L"Name"}));
    EXPECT_TRUE(list.is_idx_field(L"Id", true));
    EXPECT_FALSE(list.is_idx_field(L"id", false));
    EXPECT_TRUE(list.is_idx_field(L"Name", false));
    EXPECT_FALSE(list.is_idx_field(L"Name", true));
}

TEST(UdbRelationships, LookupsIgnoreCaseAndMissingKeysAreInternalErrors) {
    udb_relationships list;
    list.push_back(udb_relationship(L"FK_Orders", L"PK_Cust", L"Orders", L"Customers", {L"cust_id"},
                                    {L"id"}, L" ON DELETE CASCADE"));
    EXPECT_TRUE(list.find(L"fk_orders", L"CUSTOMERS", L"orders"));
    EXPECT_FALSE(list.find(L"fk_orders", L"orders", L"customers"));
    EXPECT_EQ(list.get(L"FK_ORDERS", L"customers", L"ORDERS").pk_flds,
              std::vector<std::wstring>{L"id"});
    EXPECT_EQ(list.get_index(L"fk_orders").properties, L" ON DELETE CASCADE");
    EXPECT_FALSE(list.is_acceptable_name(L"FK_ORDERS"));
    EXPECT_TRUE(list.is_acceptable_name(L"FK_Other"));

    try {
        list.get(L"FK_Orders", L"Other", L"Orders");
        FAIL() << "no exception";
    } catch (const tk_mail_assertion& e) {
        EXPECT_EQ(e.message, make_err_meggase("udb_rel", 192));
    }
    try {
        list.get_index(L"missing");
        FAIL() << "no exception";
    } catch (const tk_mail_assertion& e) {
        EXPECT_EQ(e.message, make_err_meggase("udb_rel", 175));
    }
}

TEST(UdbRelationships, CopyKeepsEveryMember) {
    const udb_relationship rel(L"fk", L"pk", L"child", L"parent", {L"a", L"b"}, {L"x", L"y"},
                               L" ON UPDATE CASCADE");
    const udb_relationship copy(rel);
    EXPECT_EQ(copy.name, L"fk");
    EXPECT_EQ(copy.pk_name, L"pk");
    EXPECT_EQ(copy.fk_table, L"child");
    EXPECT_EQ(copy.pk_table, L"parent");
    EXPECT_EQ(copy.fk_flds, rel.fk_flds);
    EXPECT_EQ(copy.pk_flds, rel.pk_flds);
    EXPECT_EQ(copy.properties, rel.properties);
}

TEST(UdbSequence, ConstructorTakesStartBeforeIncrement) {
    const udb_sequence seq(L"s", 10, 5, -100, 1000, true);
    EXPECT_EQ(seq.start, 10);
    EXPECT_EQ(seq.increment, 5);
    EXPECT_EQ(seq.min_value, -100);
    EXPECT_EQ(seq.max_value, 1000);
    EXPECT_TRUE(seq.b_cycle);
}

} // namespace
