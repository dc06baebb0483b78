// Fields and records.
#include "UDB/udb_field.h"

#include <gtest/gtest.h>

namespace {

TEST(UdbField, GetSizeCountsArrayElementsAndTextUnitsElseTheStatedSize) {
    const udb_field text(L"t", 20, ole_variant(std::wstring(L"0123456789")), false, false);
    EXPECT_EQ(text.get_size(), 10u);
    // A character beyond U+FFFF counts as two UTF-16 units, as the row-size rules measure.
    const udb_field emoji(L"e", 1, ole_variant(std::wstring(L"\U0001F600")), false, false);
    EXPECT_EQ(emoji.get_size(), 2u);
    const std::vector<uint8_t> bytes(1000, 0);
    const udb_field blob(L"b", 5, ole_variant(bytes), false, false);
    EXPECT_EQ(blob.get_size(), 1000u);
    const udb_field number(L"n", 4, ole_variant(1.5), false, false);
    EXPECT_EQ(number.get_size(), 4u);
    const udb_field empty(L"x", 7, ole_variant(), false, false);
    EXPECT_EQ(empty.get_size(), 7u);
}

TEST(UdbField, CopyKeepsValueSizeNameAndAttributes) {
    udb_field field(L"Name", 30, ole_variant(std::wstring(L"abc")), true, true);
    const udb_field copy(field);
    EXPECT_EQ(copy.name, L"Name");
    EXPECT_EQ(copy.size, 30u);
    EXPECT_TRUE(copy.b_attr1);
    EXPECT_TRUE(copy.b_attr2);
    EXPECT_EQ(copy.get_type(), VT_BSTR);
    EXPECT_EQ(copy.to_wstring(), L"abc");
    const udb_field moved(L"m", 3, ole_variant(std::wstring(L"xyz")), false, false);
    EXPECT_EQ(moved.to_wstring(), L"xyz");
}

udb_record make_record() {
    udb_record record;
    record.push_back(std::make_unique<udb_field>(L"id", 4, ole_variant(5.0), false, false));
    record.push_back(nullptr);
    record.push_back(std::make_unique<udb_field>(
        L"Name", 20, ole_variant(std::wstring(L"0123456789")), false, false));
    record.push_back(std::make_unique<udb_field>(L"Note", 100, ole_variant(), false, false));
    return record;
}

TEST(UdbRecord, TotalSizeSkipsEmptyValuesAndNullSlots) {
    const udb_record record = make_record();
    EXPECT_EQ(record.get_total_size(), 4u + 10u);
}

TEST(UdbRecord, LookupsIgnoreCaseAndAMissingNameGivesAnEmptyField) {
    udb_record record = make_record();
    EXPECT_TRUE(record.find_field(L"NAME"));
    EXPECT_FALSE(record.find_field(L"missing"));
    EXPECT_EQ(record.get_field(L"ID").to_double(), 5.0);

    udb_field& missing = record.get_field(L"missing");
    EXPECT_TRUE(missing.name.empty());
    EXPECT_EQ(missing.get_type(), VT_EMPTY);
    // What a caller writes into the empty field never reaches the next miss.
    missing.name = L"dirty";
    missing = std::wstring(L"dirty");
    const udb_field& again = record.get_field(L"other");
    EXPECT_TRUE(again.name.empty());
    EXPECT_EQ(again.get_type(), VT_EMPTY);
}

} // namespace
