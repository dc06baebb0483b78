// Column descriptors, their conformity rules and schemas.
#include "UDB/udb_schema.h"

#include <gtest/gtest.h>

namespace {

t_ftd column(VARTYPE vt, std::int32_t size, const std::wstring& name = L"c") {
    return t_ftd(size, name, vt, false, false, ole_variant(), 0, L"");
}

TEST(TFtd, EqualityRules) {
    EXPECT_FALSE(column(VT_BSTR, 50) == column(VT_BSTR, 60));
    EXPECT_TRUE(column(VT_BSTR, 50) == column(VT_BSTR, 50));
    EXPECT_TRUE(column(VT_CY, 8) == column(VT_DECIMAL, 17));
    EXPECT_TRUE(column(VT_DECIMAL, 1) == column(VT_CY, 99));
    EXPECT_TRUE(column(VT_I4, 4) == column(VT_I4, 8));
    EXPECT_FALSE(column(VT_I4, 4) == column(VT_I8, 4));
}

t_ftd decimal(VARTYPE vt, std::int32_t prec, std::int32_t scale, std::int32_t subtype = 0) {
    t_ftd c = column(vt, 17);
    c.prec = prec;
    c.scale = scale;
    c.dw_reserved = subtype;
    return c;
}

t_ftd date(std::int32_t kind, std::int32_t fraction) {
    t_ftd c = column(VT_DATE, 16);
    c.dw_reserved = kind;
    c.scale = fraction;
    return c;
}

t_ftd whole(VARTYPE vt, std::int32_t subtype) {
    t_ftd c = column(vt, 4);
    c.dw_reserved = subtype;
    return c;
}

// A BINARY(n) column as a MySQL table reads it back.
t_ftd fixed_bytes(std::int32_t size) {
    t_ftd c = column(VT_ARRAY | VT_UI1, size);
    c.dw_reserved = udb_subtype_fixed_bytes;
    return c;
}

// The rules the server cannot show: codes no MySQL column reads back as, sizes that mean "no
// limit", the subtypes the MySQL side marks. The server itself judges the rest (see the MySQL
// target's conformity test).
TEST(TFtd, ConformityOfSourceToDestination) {
    struct conform_case {
        const char* what;
        t_ftd src;
        t_ftd dest;
        bool conforms;
    };
    const VARTYPE bytes = VT_ARRAY | VT_UI1;
    const std::vector<conform_case> cases = {
        {"text into unlimited text", column(VT_BSTR, 100), column(VT_BSTR, 0), true},
        {"text into text of the same size", column(VT_BSTR, 100), column(VT_BSTR, 100), true},
        {"text into shorter text", column(VT_BSTR, 100), column(VT_BSTR, 50), false},
        {"long text into a large text", column(VT_BSTR, 100000), column(VT_BSTR, 70000), true},
        {"long text into a medium text", column(VT_BSTR, 100000), column(VT_BSTR, 50000), false},
        {"long text at the large threshold", column(VT_BSTR, 100000), column(VT_BSTR, 65535), true},
        {"19-character text into a date", column(VT_BSTR, 19), date(1, 0), true},
        {"20-character text into a date", column(VT_BSTR, 20), date(1, 0), false},
        {"VT_INT into VT_INT", column(VT_INT, 4), column(VT_INT, 4), true},
        {"VT_INT into VT_I4", column(VT_INT, 4), column(VT_I4, 4), false},
        {"VT_I4 into VT_INT", column(VT_I4, 4), column(VT_INT, 4), true},
        {"wider number into a narrower one", column(VT_UI8, 8), column(VT_I2, 2), false},
        {"int into a MEDIUMINT", column(VT_I4, 4), whole(VT_I4, udb_subtype_medium), false},
        {"smallint into a MEDIUMINT", column(VT_I2, 2), whole(VT_I4, udb_subtype_medium), true},
        {"tinyint into a YEAR", column(VT_UI1, 1), whole(VT_UI2, udb_subtype_year), false},
        {"tinyint into an unsigned decimal", column(VT_UI1, 1),
         decimal(VT_DECIMAL, 3, 0, udb_subtype_unsigned), true},
        {"decimal into an unsigned decimal", decimal(VT_DECIMAL, 3, 0),
         decimal(VT_DECIMAL, 10, 0, udb_subtype_unsigned), false},
        {"money without digits is money(19,4)", column(VT_CY, 8), decimal(VT_DECIMAL, 19, 4), true},
        {"money into fewer places", column(VT_CY, 8), decimal(VT_DECIMAL, 19, 2), false},
        {"decimal into money", decimal(VT_DECIMAL, 10, 2), column(VT_CY, 8), true},
        {"text into a number", column(VT_BSTR, 5), column(VT_I4, 4), false},
        {"number into text long enough", column(VT_I4, 4), column(VT_BSTR, 11), true},
        {"number into text too short", column(VT_I4, 4), column(VT_BSTR, 10), false},
        {"unsigned number into text", column(VT_UI1, 1), column(VT_BSTR, 3), true},
        {"single precision into text of its width", column(VT_R4, 4), column(VT_BSTR, 15), true},
        {"single precision into shorter text", column(VT_R4, 4), column(VT_BSTR, 14), false},
        {"date and time into unlimited text", date(1, 7), column(VT_BSTR, 0), true},
        {"date and time into text of its width", date(1, 7), column(VT_BSTR, 26), true},
        {"date and time into shorter text", date(1, 7), column(VT_BSTR, 25), false},
        {"unknown value into text", column(VT_CARRAY, 4), column(VT_BSTR, 1), true},
        {"date into a date and time", date(2, 0), date(1, 0), true},
        {"date into a timestamp", date(2, 0), date(0, 6), false},
        {"a current-time default keeps the kind", date(9, 3), date(1 | 8, 3), true},
        {"date and time into a date", date(1, 0), date(2, 0), false},
        {"seven fractional digits into six", date(1, 7), date(1, 6), true},
        {"three fractional digits into none", date(1, 3), date(1, 0), false},
        {"time into a date and time", date(3, 0), date(1, 0), false},
        {"number into binary", column(VT_I4, 4), column(bytes, 1), true},
        {"binary into text", column(bytes, 4), column(VT_BSTR, 100), false},
        {"text into larger binary", column(VT_BSTR, 10), column(VT_BLOB, 20), true},
        {"binary into shorter binary", column(VT_BLOB, 30), column(bytes, 20), false},
        {"one binary type into itself", column(bytes, 30), column(bytes, 20), true},
        {"binary into unlimited binary", column(bytes, 30), column(VT_BLOB_OBJECT, 0), true},
        {"binary into BINARY of its length", column(bytes, 16), fixed_bytes(16), true},
        {"shorter binary into BINARY, padded", column(bytes, 10), fixed_bytes(16), false},
        {"longer binary into BINARY", column(VT_BLOB, 20), fixed_bytes(16), false},
        {"text into BINARY, padded", column(VT_BSTR, 10), fixed_bytes(40), false},
        {"number into BINARY, padded", column(VT_I4, 4), fixed_bytes(11), false},
        {"negative size reads as a huge unsigned one", column(VT_BSTR, 10), column(VT_BSTR, -1),
         true},
        {"anything into an unknown type", column(VT_I4, 4), column(VT_CARRAY, 4), false},
    };
    for (const conform_case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.src.conform_to(c.dest), c.conforms);
    }
}

std::shared_ptr<t_ftd> shared_column(VARTYPE vt, std::int32_t size, const std::wstring& name) {
    return std::make_shared<t_ftd>(column(vt, size, name));
}

udb_schema make_schema() {
    udb_schema schema;
    schema.push_back(shared_column(VT_I4, 4, L"id"));
    schema.push_back(nullptr);
    schema.push_back(shared_column(VT_BSTR, 50, L"name"));
    return schema;
}

TEST(UdbSchema, LookupsIgnoreCaseAndReportMissingNames) {
    udb_schema schema = make_schema();
    EXPECT_TRUE(schema.find_field(L"NAME"));
    EXPECT_EQ(schema.get_field_idx(L"Name"), 2);
    EXPECT_EQ(schema.get_field_idx(L"none"), -1);
    EXPECT_EQ(schema.get_field_size(L"NAME"), 50u);
    EXPECT_EQ(schema.get_field_size(L"none"), 0xFFFFFFFFu);
    EXPECT_EQ(schema.get_field_type(L"ID"), VT_I4);
    EXPECT_EQ(schema.get_field_type(L"none"), VT_NULL);
    EXPECT_EQ(schema.get_field2(L"Id").size, 4);

    t_ftd& missing = schema.get_field1(L"none");
    EXPECT_TRUE(missing.name.empty());
    EXPECT_EQ(missing.type, VT_EMPTY);
    missing.name = L"written";
    missing.size = 99;
    const t_ftd& again = schema.get_field2(L"other");
    EXPECT_TRUE(again.name.empty());
    EXPECT_EQ(again.size, 0);
}

TEST(UdbSchema, CopiesShareDescriptorsThatOutliveEveryCopy) {
    auto original = std::make_unique<udb_schema>(make_schema());
    original->seed = 100;
    original->increment = 5;
    udb_schema copy(*original);
    EXPECT_EQ(copy.seed, 100);
    EXPECT_EQ(copy.increment, 5);
    EXPECT_TRUE(copy.b_owner);

    copy.get_field1(L"name").size = 80;
    EXPECT_EQ(original->get_field_size(L"name"), 80u);

    original->reset();
    EXPECT_TRUE(original->empty());
    original.reset();
    EXPECT_EQ(copy.get_field_size(L"name"), 80u);
    EXPECT_EQ(copy[0]->name, L"id");
}

TEST(UdbSchema, ConformityByPositionAndByName) {
    udb_schema src;
    src.push_back(shared_column(VT_I4, 4, L"id"));
    src.push_back(shared_column(VT_BSTR, 20, L"name"));

    udb_schema same_order;
    same_order.push_back(shared_column(VT_I8, 8, L"ID"));
    same_order.push_back(shared_column(VT_BSTR, 0, L"NAME"));
    EXPECT_TRUE(src.conform_to(same_order, false));
    EXPECT_TRUE(src.conform_to(same_order, true));

    udb_schema swapped;
    swapped.push_back(shared_column(VT_BSTR, 0, L"name"));
    swapped.push_back(shared_column(VT_I8, 8, L"id"));
    EXPECT_FALSE(src.conform_to(swapped, false));
    EXPECT_TRUE(src.conform_to(swapped, true));

    udb_schema renamed;
    renamed.push_back(shared_column(VT_I8, 8, L"id"));
    renamed.push_back(shared_column(VT_BSTR, 0, L"title"));
    EXPECT_FALSE(src.conform_to(renamed, true));

    udb_schema shorter;
    shorter.push_back(shared_column(VT_I8, 8, L"id"));
    EXPECT_FALSE(src.conform_to(shorter, false));

    udb_schema too_small;
    too_small.push_back(shared_column(VT_I8, 8, L"id"));
    too_small.push_back(shared_column(VT_BSTR, 10, L"name"));
    EXPECT_FALSE(src.conform_to(too_small, false));
}

} // namespace
