// The Type Mappings text and the application of the mutators to columns, indexes and records.
#include "tests/converter/converter_test_support.h"

#include "converter/vlm_mutap.h"
#include "converter/vlm_tmap.h"
#include "UDB/udb_prof.h"

namespace {

sql_native_type native(const wchar_t* type, std::uint64_t length, std::int32_t precision = 0,
                       std::int32_t scale = 0) {
    sql_native_type nt;
    nt.type = type;
    nt.length = length;
    nt.precision = precision;
    nt.scale = scale;
    return nt;
}

std::vector<std::wstring> lines_of(sql_db_mutator& mutators) {
    udb_profile profile;
    udb_db_mutator_store(mutators, profile);
    return profile.get_lines(L"Type Mappings");
}

bool load_lines(sql_db_mutator& mutators, const std::vector<std::wstring>& lines) {
    udb_profile profile;
    for (const std::wstring& line : lines) {
        profile.add_line(L"Type Mappings", line);
    }
    return udb_db_mutator_load(mutators, profile);
}

TEST(TypeMappings, WorkedExampleText) {
    sql_db_mutator mutators;
    sql_table_mutator* table = mutators.get_table_mutator2(L"[dbo].[Orders]", L"orders");
    table->update_field(L"Amount", L"amount", native(L"DECIMAL", 19, 12, 2));
    table->update_field(L"Notes", L"Notes", native(L"LONGTEXT", 0))->status = udb_mutators::deleted;
    table->properties[L"note"] = L"first";
    const std::vector<std::wstring> expected = {
        L"database:",
        L"tables:",
        L"  - name: [dbo].[Orders]",
        L"    new_name: orders",
        L"    fields:",
        L"      - name:Amount",
        L"        new_name: amount",
        L"        status: changed",
        L"        type: DECIMAL",
        L"        default_value: ",
        L"        character_set: ",
        L"        length: 19",
        L"        scale: 2",
        L"        precision: 12",
        L"      - name:Notes",
        L"        new_name: Notes",
        L"        status: deleted",
        L"        type: LONGTEXT",
        L"        default_value: ",
        L"        character_set: ",
        L"        length: 0",
        L"        scale: 0",
        L"        precision: 0",
        L"    properties:",
        L"        note: first",
    };
    EXPECT_EQ(lines_of(mutators), expected);

    sql_db_mutator loaded;
    ASSERT_TRUE(load_lines(loaded, expected));
    EXPECT_EQ(lines_of(loaded), expected) << "store, load and store give the same text";
}

TEST(TypeMappings, GrammarCases) {
    struct row {
        const char* what;
        std::vector<std::wstring> lines;
        bool result;
        std::size_t tables;
    };
    const std::vector<row> rows = {
        {"empty", {}, true, 0},
        {"only headers", {L"database:", L"tables:"}, true, 0},
        {"no database part", {L"tables:", L"  - name: T", L"    new_name: t"}, true, 1},
        {"database properties only", {L"database:", L"  a: 1", L"  b: 2"}, true, 0},
        {"other table header",
         {L"database:", L"Tables:", L"  - name: T", L"    new_name: t"},
         true,
         0},
        {"new name after fields",
         {L"tables:", L"  - name: T", L"    fields:", L"    new_name: t"},
         false,
         0},
        {"header alone", {L"tables:", L"  - name: T", L"  - name: U", L"    new_name: u"}, true, 1},
        {"unknown field line",
         {L"tables:", L"  - name: T", L"    fields:", L"      - name:F", L"        colour: red"},
         false,
         0},
        {"malformed after a good table",
         {L"tables:", L"  - name: T", L"    new_name: t", L"  - name: U", L"    fields:",
          L"    fields:"},
         false,
         0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        sql_db_mutator mutators;
        mutators.get_table_mutator2(L"old", L"old");
        EXPECT_EQ(load_lines(mutators, r.lines), r.result);
        EXPECT_EQ(mutators.table_mutators.size(), r.tables);
    }
}

TEST(TypeMappings, FieldAndTableDefaults) {
    sql_db_mutator mutators;
    ASSERT_TRUE(load_lines(mutators, {L"tables:", L"  - name: T", L"    fields:",
                                      L"      - name: F", L"        status: deleted",
                                      L"  - name: U", L"    new_name: u", L"", L"  - name: W",
                                      L"    fields:", L"      - name:G", L"        length: -2"}));
    sql_table_mutator* t = mutators.get_table_mutator3(L"T");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->new_name, L"T");
    ASSERT_EQ(t->field_mutators.count(L"F"), 1u) << "the field name is trimmed";
    const sql_field_mutator& f = *t->field_mutators.at(L"F");
    EXPECT_EQ(f.status, udb_mutators::deleted);
    EXPECT_EQ(f.new_name, L"F");
    EXPECT_EQ(f.native_type.type, L"");
    EXPECT_EQ(f.native_type.length, 0u);
    sql_table_mutator* u = mutators.get_table_mutator3(L"U");
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(u->new_name, L"u");
    EXPECT_TRUE(u->field_mutators.empty());
    const sql_field_mutator& g = *mutators.get_table_mutator3(L"W")->field_mutators.at(L"G");
    EXPECT_EQ(g.native_type.length, static_cast<std::uint64_t>(-2));

    sql_db_mutator big;
    big.get_table_mutator2(L"T", L"T")->update_field(L"F", L"F", native(L"VARCHAR", 3000000000u));
    const std::vector<std::wstring> text = lines_of(big);
    EXPECT_NE(std::find(text.begin(), text.end(), L"        length: -1294967296"), text.end());
}

// A table with columns A, B, C (A the key) and two indexes.
struct sample_table {
    sample_table() {
        for (const wchar_t* name : {L"A", L"B", L"C"}) {
            auto column =
                std::make_shared<t_ftd>(10, name, VT_BSTR, false, false, ole_variant(), 0, L"");
            schema.push_back(column);
        }
        schema[2]->type = VT_DECIMAL;
        schema[2]->prec = 9;
        schema[2]->scale = 3;
        schema[2]->dw_reserved = 4;
        udb_index key(L"PK", true, true);
        key.columns = {L"A", L"B"};
        udb_index unique(L"UQ_B", true, false);
        unique.columns = {L"B"};
        indexes.push_back(key);
        indexes.push_back(unique);
    }
    udb_record row(const wchar_t* a, const wchar_t* b, const wchar_t* c) const {
        udb_record record;
        record.push_back(
            std::make_unique<udb_field>(L"A", 10, ole_variant(std::wstring(a)), false, false));
        record.push_back(
            std::make_unique<udb_field>(L"B", 10, ole_variant(std::wstring(b)), false, false));
        record.push_back(
            std::make_unique<udb_field>(L"C", 10, ole_variant(std::wstring(c)), false, false));
        return record;
    }
    udb_schema schema{true};
    udb_indexes indexes;
};

std::vector<std::wstring> names(const udb_schema& schema) {
    std::vector<std::wstring> out;
    for (const auto& column : schema) {
        out.push_back(column->name);
    }
    return out;
}

TEST(ApplyMutators, RenameOnlyLeavesColumnsAndRecordsAlone) {
    sql_table_mutator mutator(L"renamed");
    sample_table t;
    std::wstring name = L"T";
    udb_table_mutator_modify3(mutator, t.indexes);
    EXPECT_EQ(udb_table_mutator_modify1(mutator, name, t.schema), L"renamed");
    EXPECT_EQ(name, L"renamed");
    EXPECT_EQ(names(t.schema), (std::vector<std::wstring>{L"A", L"B", L"C"}));
    const udb_record record = t.row(L"1", L"2", L"3");
    EXPECT_EQ(&udb_table_mutator_modify2(mutator, record), &record);
}

TEST(ApplyMutators, DeletedColumnLeavesSchemaIndexesAndRecords) {
    sql_table_mutator mutator(L"T");
    mutator.update_field(L"B", L"B", native(L"VARCHAR", 10))->status = udb_mutators::deleted;
    sample_table t;
    std::wstring name;
    udb_table_mutator_modify3(mutator, t.indexes);
    udb_table_mutator_modify1(mutator, name, t.schema);
    EXPECT_EQ(names(t.schema), (std::vector<std::wstring>{L"A", L"C"}));
    EXPECT_EQ(t.indexes[0].columns, (std::vector<std::wstring>{L"A"}));
    EXPECT_TRUE(t.indexes[1].columns.empty());
    EXPECT_EQ(t.indexes[1].name, L"UQ_B");
    EXPECT_TRUE(t.indexes[1].b_unique);
    const udb_record record = t.row(L"1", L"2", L"3");
    const udb_record& out = udb_table_mutator_modify2(mutator, record);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0]->name, L"A");
    EXPECT_EQ(out[1]->name, L"C");
    EXPECT_EQ(out[1]->to_wstring(), L"3");
    EXPECT_EQ(record.size(), 3u) << "the source record is not changed";
}

TEST(ApplyMutators, ChainedRenamesFollowTheSourceOrder) {
    sql_table_mutator mutator(L"T");
    mutator.update_field(L"A", L"B", native(L"VARCHAR", 10));
    mutator.update_field(L"B", L"C", native(L"VARCHAR", 10));
    sample_table t;
    std::wstring name;
    udb_table_mutator_modify3(mutator, t.indexes);
    udb_table_mutator_modify1(mutator, name, t.schema);
    EXPECT_EQ(names(t.schema), (std::vector<std::wstring>{L"B", L"C", L"C"}));
    EXPECT_EQ(t.indexes[0].columns, (std::vector<std::wstring>{L"B", L"C"}));
    const udb_record record = t.row(L"a", L"b", L"c");
    const udb_record& out = udb_table_mutator_modify2(mutator, record);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0]->name, L"B");
    EXPECT_EQ(out[0]->to_wstring(), L"a");
    EXPECT_EQ(out[1]->name, L"C");
    EXPECT_EQ(out[1]->to_wstring(), L"b");
}

// A mapping without a type renames its column and keeps the column's own type, length, scale
// and default; before, it made the column a LONGTEXT and its values texts.
TEST(ApplyMutators, AnEmptyTypeOnlyRenames) {
    sample_table t;
    t.schema[2]->default_value.attach_wstring(L"((1.5))");
    sql_table_mutator mutator(L"T");
    mutator.update_field(L"C", L"amount", native(L"", 0));
    std::wstring name;
    udb_table_mutator_modify1(mutator, name, t.schema);
    const t_ftd& column = *t.schema[2];
    EXPECT_EQ(column.name, L"amount");
    EXPECT_EQ(column.type, VT_DECIMAL);
    EXPECT_EQ(column.size, 10);
    EXPECT_EQ(column.prec, 9);
    EXPECT_EQ(column.scale, 3);
    EXPECT_EQ(column.dw_reserved, 4);
    EXPECT_EQ(column.native_type, L"");
    EXPECT_EQ(column.default_value.to_wstring(), L"((1.5))");

    const udb_record record = t.row(L"x", L"y", L"1.5");
    const udb_record& out = udb_table_mutator_modify2(mutator, record);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[2]->name, L"amount");
    EXPECT_EQ(out[2]->get_type(), VT_BSTR) << "the value as the source gave it";
    EXPECT_EQ(out[2]->to_wstring(), L"1.5");
    EXPECT_EQ(out[2]->size, 10u);
}

TEST(ApplyMutators, TypeChangesReachColumnAndValues) {
    sample_table t;
    sql_table_mutator mutator(L"T");
    mutator.update_field(L"A", L"A", native(L"VARCHAR", 100));
    mutator.update_field(L"B", L"B", native(L"INT", 11));
    sql_native_type decimal = native(L"DECIMAL", 8);
    decimal.default_value = L"";
    mutator.update_field(L"C", L"C", decimal);
    std::wstring name;
    udb_table_mutator_modify1(mutator, name, t.schema);
    EXPECT_EQ(t.schema[0]->native_type, L"VARCHAR(100)");
    EXPECT_EQ(t.schema[0]->size, 100);
    EXPECT_EQ(t.schema[0]->type, VT_BSTR);
    EXPECT_EQ(t.schema[1]->size, 4);
    EXPECT_EQ(t.schema[1]->type, VT_I4);
    EXPECT_EQ(t.schema[2]->native_type, L"DECIMAL(0,0)");
    EXPECT_EQ(t.schema[2]->prec, 9) << "precision and scale 0 keep the column's own";
    EXPECT_EQ(t.schema[2]->scale, 3);
    EXPECT_EQ(t.schema[2]->dw_reserved, 0);
    EXPECT_EQ(t.schema[2]->default_value.get_type(), VT_BSTR)
        << "an empty text, not an absent default";

    // A text bound for an integer column arrives as its number; what the value layer refuses
    // becomes the mapping's own error.
    const udb_record good = t.row(L"x", L"42", L"1.5");
    const udb_record& out = udb_table_mutator_modify2(mutator, good);
    EXPECT_EQ(out[1]->get_type(), VT_I4);
    EXPECT_EQ(out[1]->to_long(), 42);
    EXPECT_EQ(out[1]->size, 4u);
    EXPECT_EQ(out[2]->get_type(), VT_DECIMAL);

    udb_record bad = t.row(L"x", L"", L"1");
    *bad[1] = ole_variant::from_wstring(L"2020-01-02 03:04:05", VT_DATE);
    try {
        udb_table_mutator_modify2(mutator, bad);
        ADD_FAILURE() << "no error";
    } catch (const tk_exception& error) {
        EXPECT_STREQ(error.what(), "Data conversion is not supported for given type mapping");
        EXPECT_EQ(error.level, 0);
    }
}

TEST(ApplyMutators, TextToIntegerConvertsOnlyWholeNumbersInRange) {
    struct row {
        const wchar_t* type;
        const wchar_t* text;
        bool converts;
        std::int64_t value = 0;
    };
    const std::vector<row> rows = {
        {L"INT", L"42", true, 42},
        {L"INT", L"-2147483648", true, INT32_MIN},
        {L"INT", L"+7", true, 7},
        {L"INT", L"007", true, 7},
        {L"INT", L"-0", true, 0},
        {L"INT", L"2147483648", false},
        {L"INT", L"abc", false},
        {L"INT", L"12abc", false},
        {L"INT", L"1.5", false},
        {L"INT", L" 12", false},
        {L"INT", L"12 ", false},
        {L"INT", L"", false},
        {L"INT", L"-", false},
        {L"INT", L"1e3", false},
        {L"TINYINT", L"-128", true, -128},
        {L"TINYINT", L"128", false},
        {L"TINYINT UNSIGNED", L"255", true, 255},
        {L"TINYINT UNSIGNED", L"256", false},
        {L"TINYINT UNSIGNED", L"-1", false},
        {L"SMALLINT", L"-32769", false},
        {L"SMALLINT UNSIGNED", L"65535", true, 65535},
        {L"INT UNSIGNED", L"4294967295", true, 4294967295LL},
        {L"INT UNSIGNED", L"4294967296", false},
        {L"BIGINT", L"-9223372036854775808", true, INT64_MIN},
        {L"BIGINT", L"9223372036854775807", true, INT64_MAX},
        {L"BIGINT", L"9223372036854775808", false},
        {L"BIGINT", L"-9223372036854775809", false},
        {L"BIGINT UNSIGNED", L"99999999999999999999", false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::wstring(r.type) + L" <- '" + r.text + L"'");
        sql_table_mutator mutator(L"T");
        const sql_field_mutator* field = mutator.update_field(L"B", L"B", native(r.type, 8));
        sample_table t;
        std::wstring name;
        udb_table_mutator_modify1(mutator, name, t.schema);
        const udb_record record = t.row(L"a", r.text, L"c");
        if (!r.converts) {
            EXPECT_THROW(udb_table_mutator_modify2(mutator, record), tk_exception);
            continue;
        }
        const udb_record& out = udb_table_mutator_modify2(mutator, record);
        EXPECT_EQ(out[1]->get_type(), field->vartype);
        EXPECT_EQ(out[1]->to_i8(), r.value);
    }
    // The largest unsigned value does not fit the signed reading above.
    sql_table_mutator mutator(L"T");
    mutator.update_field(L"B", L"B", native(L"BIGINT UNSIGNED", 8));
    sample_table t;
    std::wstring name;
    udb_table_mutator_modify1(mutator, name, t.schema);
    const udb_record& out =
        udb_table_mutator_modify2(mutator, t.row(L"a", L"18446744073709551615", L"c"));
    EXPECT_EQ(out[1]->get_type(), VT_UI8);
    EXPECT_EQ(out[1]->to_ui8(), UINT64_MAX);
}

TEST(ApplyMutators, ColumnNamesCompareExactly) {
    sql_table_mutator mutator(L"T");
    mutator.update_field(L"a", L"renamed", native(L"VARCHAR", 5));
    sample_table t;
    std::wstring name;
    udb_table_mutator_modify1(mutator, name, t.schema);
    EXPECT_EQ(names(t.schema), (std::vector<std::wstring>{L"A", L"B", L"C"}));
}

} // namespace
