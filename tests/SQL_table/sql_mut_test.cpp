// The user's table edits: the mutator tree and its MySQL types.
#include "SQL/sql_engi.h"
#include "SQL/sql_mut.h"

#include <gtest/gtest.h>

namespace {

sql_native_type native(const std::wstring& type, std::uint64_t length) {
    sql_native_type nt;
    nt.type = type;
    nt.length = length;
    return nt;
}

TEST(sql_mutators, table_mutator_found_or_created_by_exact_source_name) {
    sql_db_mutator db;
    sql_table_mutator* first = db.get_table_mutator2(L"Orders", L"orders_a");
    sql_table_mutator* again = db.get_table_mutator2(L"Orders", L"orders_b");
    EXPECT_EQ(first, again);
    EXPECT_EQ(again->new_name, L"orders_b");
    // A rename is found under the new name, no longer under the old one.
    EXPECT_EQ(db.find_by_new_name(L"orders_b"), again);
    EXPECT_EQ(db.find_by_new_name(L"orders_a"), nullptr);

    // Names that differ only in case are different tables.
    sql_table_mutator* lower = db.get_table_mutator2(L"orders", L"x");
    EXPECT_NE(lower, first);
    EXPECT_EQ(db.table_mutators.size(), 2u);
    EXPECT_EQ(db.get_table_mutator3(L"ORDERS"), nullptr);
    EXPECT_EQ(db.find_by_name(L"orders"), lower);

    db.properties[L"database:x"] = L"1";
    db.clear();
    EXPECT_TRUE(db.table_mutators.empty());
    EXPECT_TRUE(db.table_mutators_by_new_name.empty());
    EXPECT_EQ(db.properties.size(), 1u);
}

TEST(sql_mutators, update_field_sets_type_length_and_keeps_status) {
    sql_table_mutator table(L"t");
    sql_field_mutator* f = table.update_field(L"id", L"ident", native(L"INT", 11));
    EXPECT_EQ(f->status, udb_mutators::changed);
    EXPECT_EQ(f->native_type.length, 4u);
    EXPECT_EQ(f->vartype, VT_I4);
    EXPECT_EQ(f->dw_reserved, 0);
    f->status = udb_mutators::deleted;

    sql_field_mutator* again = table.update_field(L"id", L"ident2", native(L"VARCHAR", 100));
    EXPECT_EQ(again, f);
    EXPECT_EQ(again->new_name, L"ident2");
    EXPECT_EQ(again->native_type.type, L"VARCHAR");
    EXPECT_EQ(again->native_type.length, 100u);
    EXPECT_EQ(again->vartype, VT_BSTR);
    EXPECT_EQ(again->status, udb_mutators::deleted);
    EXPECT_EQ(table.field_mutators.size(), 1u);
    EXPECT_EQ(table.find_by_name(L"id"), f);
    EXPECT_EQ(table.find_by_new_name(L"ident2"), f);
    EXPECT_EQ(table.find_by_new_name(L"ident"), nullptr);
    EXPECT_EQ(f->find_by_name(L"x"), nullptr);
}

TEST(sql_mutators, field_properties_from_members) {
    sql_table_mutator table(L"t");
    sql_native_type nt = native(L"DECIMAL", 0x100000000ull);
    nt.scale = -2;
    nt.precision = 18;
    nt.default_value = L"'0'";
    nt.character_set = L"latin1";
    sql_field_mutator* f = table.update_field(L"amount", L"amt", nt);
    f->properties[L"stale"] = L"x";
    const udb_property_map& p = f->get_properties();
    EXPECT_EQ(p.size(), 7u);
    EXPECT_EQ(p.at(L"new_name"), L"amt");
    EXPECT_EQ(p.at(L"type"), L"DECIMAL");
    EXPECT_EQ(p.at(L"default_value"), L"'0'");
    EXPECT_EQ(p.at(L"character_set"), L"latin1");
    EXPECT_EQ(p.at(L"length"), L"0"); // the low 32 bits
    EXPECT_EQ(p.at(L"scale"), L"-2");
    EXPECT_EQ(p.at(L"precision"), L"18");
}

TEST(sql_mutators, default_native_type_of_a_source_column) {
    sql_engine engine;
    engine.version = 0x0A0B06;
    sql_db_mutator db;

    t_ftd dec(17, L"price", VT_DECIMAL, false, false, ole_variant(), 0, L"");
    dec.prec = 18;
    dec.scale = 4;
    sql_native_type nt;
    db.get_native_type(dec, nt);
    EXPECT_EQ(nt.type, L"DECIMAL");
    EXPECT_EQ(nt.precision, 18);
    EXPECT_EQ(nt.scale, 4);
    EXPECT_EQ(dec.native_type, L"DECIMAL(18,4)");

    t_ftd dbl(17, L"ratio", VT_DECIMAL, false, false, ole_variant(), 0, L"");
    sql_native_type nt2;
    db.get_native_type(dbl, nt2);
    EXPECT_EQ(nt2.type, L"DOUBLE");

    t_ftd text(50, L"name", VT_BSTR, false, false, ole_variant(), 0, L"");
    sql_native_type nt3;
    nt3.scale = 7;
    db.get_native_type(text, nt3);
    EXPECT_EQ(nt3.type, L"VARCHAR");
    EXPECT_EQ(nt3.length, 50u);
    EXPECT_EQ(nt3.scale, 7); // other types leave scale and precision alone
    EXPECT_EQ(text.native_type, L"VARCHAR(50)");

    EXPECT_TRUE(sql_db_mutator::empty_map().empty());
    EXPECT_STREQ(sql_db_mutator::get_map_file(), "sql.map");
    EXPECT_STREQ(sql_db_mutator::get_types_file(), "sql.typ");
}

} // namespace
