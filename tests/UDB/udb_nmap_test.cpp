// The names map: lookups of mapped names and the rewriting of view and query text.
#include "UDB/udb_nmap.h"

#include <gtest/gtest.h>

#include <cwchar>

namespace {

TEST(UdbNamesMap, TableLookupHonoursTheCaseFlagAndKeepsTheFirstPair) {
    udb_names_map map;
    map.add_tn_mapping(L"ORDERS", L"orders_1");
    map.add_tn_mapping(L"ORDERS", L"orders_2");
    EXPECT_EQ(map.get_tn_mapped_name(L"orders", false), L"orders_1");
    EXPECT_EQ(map.get_tn_mapped_name(L"orders", true), L"orders");
    EXPECT_EQ(map.get_tn_mapped_name(L"ORDERS", true), L"orders_1");
    EXPECT_EQ(map.get_tn_mapped_name(L"unknown", false), L"unknown");
}

TEST(UdbNamesMap, FieldLookupsFindTheTableExactly) {
    udb_names_map map;
    t_names_map columns;
    columns.add(L"Order ID", L"order_id");
    columns.add(L"Name", L"name");
    map.add_fn_map(L"orders", columns);

    EXPECT_EQ(map.get_fn_mapped_name(L"orders", L"order id", false), L"order_id");
    EXPECT_EQ(map.get_fn_mapped_name(L"orders", L"order id", true), L"order id");
    EXPECT_EQ(map.get_fn_mapped_name(L"ORDERS", L"Order ID", false), L"Order ID");
    EXPECT_EQ(map.get_fn_orig_name(L"orders", L"ORDER_ID", false), L"Order ID");
    EXPECT_EQ(map.get_fn_orig_name(L"orders", L"ORDER_ID", true), L"ORDER_ID");
    EXPECT_EQ(map.get_fn_orig_name(L"other", L"name", false), L"name");

    t_names_map again;
    again.add(L"Name", L"other");
    map.add_fn_map(L"orders", again);
    EXPECT_EQ(map.get_fn_mapped_name(L"orders", L"Name", true), L"name");
}

struct rewrite_case {
    const char* what;
    std::wstring text;
    std::wstring expected;
};

void expect_rewrites(const udb_names_map& map, const std::vector<rewrite_case>& cases,
                     const std::wstring& open = L"`", const std::wstring& close = L"`") {
    for (const rewrite_case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(map.do_global_replace1(c.text, open, close), c.expected);
    }
}

TEST(UdbNamesMap, GlobalReplaceMatchesWholeNamesOnly) {
    udb_names_map map;
    map.add_tn_mapping(L"Orders", L"orders");
    map.add_tn_mapping(L"Order Details", L"order_details");
    map.add_tn_mapping(L"Größe", L"groesse");
    t_names_map a;
    a.add(L"id", L"id");
    a.add(L"Name", L"name");
    map.add_fn_map(L"orders", a);
    t_names_map b;
    b.add(L"id", L"id");
    map.add_fn_map(L"order_details", b);

    expect_rewrites(
        map,
        {
            {"a name inside a longer identifier stays", L"select customer_id, idx, id2, $id",
             L"select customer_id, idx, id2, $id"},
            {"a column of two tables is quoted once", L"select id from Orders",
             L"select `id` from `orders`"},
            {"names after a dot and before a blank", L"select o.id from Orders o",
             L"select o.`id` from `orders` o"},
            {"case does not matter", L"SELECT ID FROM ORDERS", L"SELECT `id` FROM `orders`"},
            {"a name of several words wins over its first word",
             L"select * from Order Details join Orders on 1=1",
             L"select * from `order_details` join `orders` on 1=1"},
            {"non-ASCII letters belong to the word", L"select Größe, xGröße, GrößeX",
             L"select `groesse`, xGröße, GrößeX"},
            {"string literals and comments are left alone",
             L"select 'id', N'Orders', 'it''s id' -- id Orders\nfrom /* Orders /* id */ */ Orders",
             L"select 'id', N'Orders', 'it''s id' -- id Orders\nfrom /* Orders /* id */ */ "
             L"`orders`"},
            {"quoted identifiers are replaced whole",
             L"select \"id\", `Name`, [Order Details], [Orders].[id] from \"Order Details\"",
             L"select `id`, `name`, `order_details`, `orders`.`id` from `order_details`"},
            {"quoted identifiers that are no name stay", L"select [Order], \"x y\"",
             L"select [Order], \"x y\""},
            {"an unterminated literal ends the text", L"select id, 'Orders",
             L"select `id`, 'Orders"},
        });
}

TEST(UdbNamesMap, GlobalReplaceNeverRescansInsertedText) {
    udb_names_map map;
    t_names_map columns;
    columns.add(L"a", L"b");
    columns.add(L"b", L"c");
    map.add_fn_map(L"t", columns);
    EXPECT_EQ(map.do_global_replace1(L"a b", L"`", L"`"), L"`b` `c`");
    EXPECT_EQ(map.do_global_replace1(L"a b", L"", L""), L"b c");
}

TEST(UdbNamesMap, ReplacementQuotesAreAddedOnlyWhereMissing) {
    udb_names_map map;
    t_names_map pairs;
    pairs.add(L"both", L"`both`");
    pairs.add(L"open", L"`open");
    pairs.add(L"inner", L"in`ner");
    map.add_fn_map(L"t", pairs);
    expect_rewrites(map, {
                             {"already enclosed", L"both", L"`both`"},
                             {"only the closing quote is added", L"open", L"`open`"},
                             {"a quote inside is doubled", L"inner", L"`in``ner`"},
                         });
}

TEST(UdbNamesMap, WithoutQuotesAQuotedIdentifierKeepsItsOwnQuotes) {
    udb_names_map map;
    t_names_map pairs;
    pairs.add(L"Order Details", L"order]details");
    EXPECT_EQ(map.do_global_replace2(L"from [Order Details], \"order details\"", pairs, L"", L""),
              L"from [order]]details], \"order]details\"");
}

TEST(UdbNamesMap, FindNoCase) {
    const wchar_t* text = L"select Name from t";
    const auto n = std::wcslen(text);
    EXPECT_EQ(udb_names_map::find_no_case(text, n, 0, L"NAME", 4), 7u);
    EXPECT_EQ(udb_names_map::find_no_case(text, n, 8, L"NAME", 4), udb_names_map::npos);
    EXPECT_EQ(udb_names_map::find_no_case(text, n, 5, L"", 0), 5u);
    EXPECT_EQ(udb_names_map::find_no_case(text, n, n - 3, L"FROM", 4), udb_names_map::npos);
    EXPECT_EQ(udb_names_map::find_no_case(text, n, 0, L" T", 2), n - 2);
    EXPECT_EQ(udb_names_map::find_no_case(L"ab", 2, 0, L"abc", 3), udb_names_map::npos);
}

} // namespace
