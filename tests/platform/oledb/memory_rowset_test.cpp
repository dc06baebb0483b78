// Rows written into a consumer's packed row buffer, fetching, accessors and column information.
#include "platform/oledb/memory_rowset.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

template <class T> T read_at(const std::vector<BYTE>& buffer, std::size_t offset) {
    T value;
    std::memcpy(&value, buffer.data() + offset, sizeof value);
    return value;
}

std::u16string text_at(const std::vector<BYTE>& buffer, std::size_t offset, std::size_t bytes) {
    std::u16string text(bytes / 2, u'\0');
    std::memcpy(text.data(), buffer.data() + offset, bytes);
    return text;
}

// Bindings packed as the MS SQL source lays them out: per column [status 4][length 8][value],
// no alignment.
struct packed_layout {
    std::vector<DBBINDING> bindings;
    std::vector<std::size_t> offsets;
    std::size_t row_size = 0;

    void add(DBTYPE type, DBLENGTH max) {
        DBBINDING b{};
        b.iOrdinal = bindings.size() + 1;
        b.obStatus = row_size;
        b.obLength = row_size + 4;
        b.obValue = row_size + 12;
        b.dwPart = DBPART_VALUE | DBPART_LENGTH | DBPART_STATUS;
        b.dwMemOwner = DBMEMOWNER_CLIENTOWNED;
        b.cbMaxLen = max;
        b.wType = type;
        offsets.push_back(row_size);
        bindings.push_back(b);
        row_size += 12 + max;
    }
};

class rowset_fixture : public ::testing::Test {
protected:
    void SetUp() override { CoInitialize(nullptr); }
    void TearDown() override {
        if (rowset) {
            rowset->Release();
        }
        CoUninitialize();
    }

    void make(std::vector<oledb_column> columns, std::vector<oledb_row> rows) {
        rowset = new oledb_memory_rowset(std::move(columns), std::move(rows));
    }

    HACCESSOR bind(const packed_layout& layout) {
        HACCESSOR accessor = 0;
        std::vector<DBBINDSTATUS> statuses(layout.bindings.size(), 99);
        EXPECT_EQ(rowset->CreateAccessor(DBACCESSOR_ROWDATA, layout.bindings.size(),
                                         layout.bindings.data(), 0, &accessor, statuses.data()),
                  S_OK);
        for (DBBINDSTATUS s : statuses) {
            EXPECT_EQ(s, DBBINDSTATUS_OK);
        }
        return accessor;
    }

    oledb_memory_rowset* rowset = nullptr;
};

oledb_column column(const char16_t* name, DBTYPE type, DBLENGTH size) {
    return {name, type, size, 0xFF, 0xFF, DBCOLUMNFLAGS_ISNULLABLE};
}

} // namespace

TEST_F(rowset_fixture, packs_status_length_and_value_at_unaligned_offsets) {
    make({column(u"name", DBTYPE_WSTR, 50), column(u"raw", DBTYPE_BYTES, 16),
          column(u"n", DBTYPE_I4, 4)},
         {{oledb_value::of_text(u"h\u00e9llo \U0001F600"),
           oledb_value::of_bytes(std::string("\x00\x01\xFF", 3)), oledb_value::of_text(u"42")}});
    packed_layout layout;
    layout.add(DBTYPE_WSTR, 102); // 2 x (50 + 1)
    layout.add(DBTYPE_BYTES, 66); // 2 x (2 x 16 + 1)
    layout.add(DBTYPE_WSTR, 52);
    ASSERT_EQ(layout.offsets, (std::vector<std::size_t>{0, 114, 192}));
    const HACCESSOR accessor = bind(layout);

    HROW handles[100];
    HROW* h = handles;
    DBCOUNTITEM got = 0;
    ASSERT_EQ(rowset->GetNextRows(DB_NULL_HCHAPTER, 0, 100, &got, &h), DB_S_ENDOFROWSET);
    ASSERT_EQ(got, 1u);
    EXPECT_EQ(h, handles); // the caller's array is filled, not replaced
    std::vector<BYTE> row(layout.row_size, 0xCC);
    ASSERT_EQ(rowset->GetData(handles[0], accessor, row.data()), S_OK);

    const std::u16string name = u"h\u00e9llo \U0001F600";
    EXPECT_EQ(read_at<DBSTATUS>(row, 0), DBSTATUS_S_OK);
    EXPECT_EQ(read_at<DBLENGTH>(row, 4), name.size() * 2); // bytes, no terminator
    EXPECT_EQ(text_at(row, 12, name.size() * 2 + 2), name + u'\0');

    EXPECT_EQ(read_at<DBSTATUS>(row, 114), DBSTATUS_S_OK);
    EXPECT_EQ(read_at<DBLENGTH>(row, 118), 3u);
    EXPECT_EQ(std::memcmp(row.data() + 126, "\x00\x01\xFF", 3), 0);

    EXPECT_EQ(read_at<DBSTATUS>(row, 192), DBSTATUS_S_OK);
    EXPECT_EQ(read_at<DBLENGTH>(row, 196), 4u);
    EXPECT_EQ(text_at(row, 204, 6), std::u16string(u"42\0", 3));

    EXPECT_EQ(rowset->ReleaseRows(got, handles, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(rowset->ReleaseAccessor(accessor, nullptr), S_OK);
}

// Row handles are counted: a row stays until its last reference goes, and a batch with bad
// handles reports each one and still counts the good ones.
TEST_F(rowset_fixture, row_references_are_counted_per_handle) {
    make({column(u"t", DBTYPE_WSTR, 10)},
         {{oledb_value::of_text(u"a")}, {oledb_value::of_text(u"b")}});
    HROW handles[2];
    HROW* h = handles;
    DBCOUNTITEM got = 0;
    ASSERT_EQ(rowset->GetNextRows(DB_NULL_HCHAPTER, 0, 2, &got, &h), S_OK);
    ASSERT_EQ(got, 2u);

    const HROW mixed[] = {handles[0], 99, handles[1]};
    DBREFCOUNT counts[3] = {7, 7, 7};
    DBROWSTATUS statuses[3] = {};
    EXPECT_EQ(rowset->AddRefRows(3, mixed, counts, statuses), DB_S_ERRORSOCCURRED);
    EXPECT_EQ(counts[0], 2u);
    EXPECT_EQ(counts[1], 0u);
    EXPECT_EQ(counts[2], 2u);
    EXPECT_EQ(statuses[0], DBROWSTATUS_S_OK);
    EXPECT_EQ(statuses[1], DBROWSTATUS_E_INVALID);
    EXPECT_EQ(statuses[2], DBROWSTATUS_S_OK);
    EXPECT_EQ(rowset->AddRefRows(1, mixed + 1, nullptr, nullptr), DB_E_ERRORSOCCURRED);
    EXPECT_EQ(rowset->ReleaseRows(2, nullptr, nullptr, nullptr, nullptr), E_INVALIDARG);

    EXPECT_EQ(rowset->ReleaseRows(2, handles, nullptr, counts, statuses), S_OK);
    EXPECT_EQ(counts[0], 1u);
    EXPECT_EQ(counts[1], 1u);
    EXPECT_EQ(rowset->held_rows(), 2u);
    EXPECT_EQ(rowset->GetNextRows(DB_NULL_HCHAPTER, 0, 1, &got, &h), DB_E_ROWSNOTRELEASED);
    EXPECT_EQ(rowset->ReleaseRows(2, handles, nullptr, counts, nullptr), S_OK);
    EXPECT_EQ(counts[0], 0u);
    EXPECT_EQ(rowset->held_rows(), 0u);
    // A released row is gone: releasing it again is an error.
    EXPECT_EQ(rowset->ReleaseRows(1, handles, nullptr, counts, statuses), DB_E_ERRORSOCCURRED);
    EXPECT_EQ(statuses[0], DBROWSTATUS_E_INVALID);
}

TEST_F(rowset_fixture, truncation_and_null_are_statuses_not_failures) {
    make({column(u"t", DBTYPE_WSTR, 10), column(u"s", DBTYPE_WSTR, 10),
          column(u"b", DBTYPE_BYTES, 10), column(u"n", DBTYPE_WSTR, 10),
          column(u"e", DBTYPE_WSTR, 10)},
         {{oledb_value::of_text(u"abcdef"), oledb_value::of_text(u"a\U0001F600"),
           oledb_value::of_bytes("123456"), oledb_value::null(), oledb_value::of_text(u"")}});
    packed_layout layout;
    layout.add(DBTYPE_WSTR, 6); // room for two characters and the terminator
    layout.add(DBTYPE_WSTR, 6); // would split the surrogate pair
    layout.add(DBTYPE_BYTES, 4);
    layout.add(DBTYPE_WSTR, 6);
    layout.add(DBTYPE_WSTR, 6);
    const HACCESSOR accessor = bind(layout);
    HROW* handles = nullptr; // the provider allocates
    DBCOUNTITEM got = 0;
    ASSERT_EQ(rowset->GetNextRows(DB_NULL_HCHAPTER, 0, 1, &got, &handles), S_OK);
    std::vector<BYTE> row(layout.row_size, 0xCC);
    ASSERT_EQ(rowset->GetData(handles[0], accessor, row.data()), S_OK);
    IErrorInfo* error = nullptr;
    EXPECT_EQ(GetErrorInfo(0, &error), S_FALSE); // success leaves no error object

    const auto& o = layout.offsets;
    EXPECT_EQ(read_at<DBSTATUS>(row, o[0]), DBSTATUS_S_TRUNCATED);
    EXPECT_EQ(read_at<DBLENGTH>(row, o[0] + 4), 12u); // the whole length
    EXPECT_EQ(text_at(row, o[0] + 12, 6), std::u16string(u"ab\0", 3));

    EXPECT_EQ(read_at<DBSTATUS>(row, o[1]), DBSTATUS_S_TRUNCATED);
    EXPECT_EQ(text_at(row, o[1] + 12, 4), std::u16string(u"a\0", 2));

    EXPECT_EQ(read_at<DBSTATUS>(row, o[2]), DBSTATUS_S_TRUNCATED);
    EXPECT_EQ(read_at<DBLENGTH>(row, o[2] + 4), 6u);
    EXPECT_EQ(std::memcmp(row.data() + o[2] + 12, "1234", 4), 0);

    EXPECT_EQ(read_at<DBSTATUS>(row, o[3]), DBSTATUS_S_ISNULL);

    EXPECT_EQ(read_at<DBSTATUS>(row, o[4]), DBSTATUS_S_OK);
    EXPECT_EQ(read_at<DBLENGTH>(row, o[4] + 4), 0u);
    EXPECT_EQ(read_at<char16_t>(row, o[4] + 12), u'\0');

    rowset->ReleaseRows(got, handles, nullptr, nullptr, nullptr);
    CoTaskMemFree(handles);
}

TEST_F(rowset_fixture, fetches_in_batches_to_an_empty_end_and_restarts) {
    std::vector<oledb_row> rows;
    for (int i = 0; i < 250; ++i) {
        rows.push_back({oledb_value::of_text(std::u16string(1, char16_t(u'0' + i % 10)))});
    }
    make({column(u"d", DBTYPE_WSTR, 1)}, rows);
    packed_layout layout;
    layout.add(DBTYPE_WSTR, 4);
    const HACCESSOR accessor = bind(layout);
    std::vector<BYTE> row(layout.row_size);

    struct fetch {
        HRESULT result;
        DBCOUNTITEM rows;
    };
    const fetch expected[] = {{S_OK, 100},
                              {S_OK, 100},
                              {DB_S_ENDOFROWSET, 50},
                              {DB_S_ENDOFROWSET, 0},
                              {DB_S_ENDOFROWSET, 0}};
    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass == 0 ? "first read" : "after restart");
        int seen = 0;
        for (const fetch& f : expected) {
            HROW handles[100];
            HROW* h = handles;
            DBCOUNTITEM got = 99;
            EXPECT_EQ(rowset->GetNextRows(DB_NULL_HCHAPTER, 0, 100, &got, &h), f.result);
            ASSERT_EQ(got, f.rows);
            for (DBCOUNTITEM i = 0; i < got; ++i, ++seen) {
                ASSERT_EQ(rowset->GetData(handles[i], accessor, row.data()), S_OK);
                EXPECT_EQ(read_at<char16_t>(row, 12), char16_t(u'0' + seen % 10));
            }
            EXPECT_EQ(rowset->ReleaseRows(got, handles, nullptr, nullptr, nullptr), S_OK);
        }
        EXPECT_EQ(seen, 250);
        EXPECT_EQ(rowset->RestartPosition(DB_NULL_HCHAPTER), S_OK);
    }
    EXPECT_EQ(rowset->restarts(), 2);
}

TEST_F(rowset_fixture, misuse_fails_with_an_error_object) {
    make({column(u"a", DBTYPE_WSTR, 5), column(u"b", DBTYPE_I4, 4)},
         {{oledb_value::of_text(u"x"), oledb_value::of_text(u"1")}});
    packed_layout good;
    good.add(DBTYPE_WSTR, 12);
    const HACCESSOR accessor = bind(good);
    HROW handles[100];
    HROW* h = handles;
    DBCOUNTITEM got = 0;
    ASSERT_TRUE(SUCCEEDED(rowset->GetNextRows(DB_NULL_HCHAPTER, 0, 100, &got, &h)));

    struct failure {
        const char* name;
        HRESULT result;
        HRESULT expected;
    };
    std::vector<BYTE> row(64);
    const failure failures[] = {
        {"fetch while rows are held", rowset->GetNextRows(DB_NULL_HCHAPTER, 0, 100, &got, &h),
         DB_E_ROWSNOTRELEASED},
        {"restart while rows are held", rowset->RestartPosition(DB_NULL_HCHAPTER),
         DB_E_ROWSNOTRELEASED},
        {"unknown accessor", rowset->GetData(handles[0], accessor + 7, row.data()),
         DB_E_BADACCESSORHANDLE},
        {"backward fetch",
         (rowset->ReleaseRows(1, handles, nullptr, nullptr, nullptr),
          rowset->GetNextRows(DB_NULL_HCHAPTER, 0, -1, &got, &h)),
         DB_E_CANTFETCHBACKWARDS},
        {"released row", rowset->GetData(handles[0], accessor, row.data()), DB_E_BADROWHANDLE},
    };
    for (const failure& f : failures) {
        SCOPED_TRACE(f.name);
        EXPECT_EQ(f.result, f.expected);
    }
    IErrorInfo* error = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &error), S_OK); // the last failure's
    error->Release();

    // Bad bindings: each gets its own status, and no accessor is made.
    DBBINDING bad[4] = {good.bindings[0], good.bindings[0], good.bindings[0], good.bindings[0]};
    bad[0].iOrdinal = 3;
    bad[1].wType = DBTYPE_DATE;
    bad[2].dwMemOwner = DBMEMOWNER_PROVIDEROWNED;
    DBBINDSTATUS statuses[4] = {};
    HACCESSOR none = 5;
    EXPECT_EQ(rowset->CreateAccessor(DBACCESSOR_ROWDATA, 4, bad, 0, &none, statuses),
              DB_E_ERRORSOCCURRED);
    EXPECT_EQ(none, DB_NULL_HACCESSOR);
    EXPECT_EQ(statuses[0], DBBINDSTATUS_BADORDINAL);
    EXPECT_EQ(statuses[1], DBBINDSTATUS_UNSUPPORTEDCONVERSION);
    EXPECT_EQ(statuses[2], DBBINDSTATUS_BADBINDINFO);
    EXPECT_EQ(statuses[3], DBBINDSTATUS_OK);
    EXPECT_EQ(rowset->CreateAccessor(DBACCESSOR_PARAMETERDATA, 1, bad + 3, 0, &none, nullptr),
              DB_E_BADACCESSORFLAGS);
}

TEST_F(rowset_fixture, column_information_in_task_memory) {
    oledb_column id{u"id", DBTYPE_I4, 4, 10, 0xFF, DBCOLUMNFLAGS_ISFIXEDLENGTH};
    oledb_column text{u"text", DBTYPE_WSTR, ~DBLENGTH{0},
                      0xFF,    0xFF,        DBCOLUMNFLAGS_ISNULLABLE | DBCOLUMNFLAGS_ISLONG};
    make({id, text}, {});
    IColumnsInfo* info = nullptr;
    ASSERT_EQ(rowset->QueryInterface(IID_IColumnsInfo, reinterpret_cast<void**>(&info)), S_OK);
    DBORDINAL count = 0;
    DBCOLUMNINFO* columns = nullptr;
    OLECHAR* strings = nullptr;
    ASSERT_EQ(info->GetColumnInfo(&count, &columns, &strings), S_OK);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(std::u16string(columns[0].pwszName), u"id");
    EXPECT_EQ(columns[0].iOrdinal, 1u);
    EXPECT_EQ(columns[0].wType, DBTYPE_I4);
    EXPECT_EQ(columns[0].bPrecision, 10);
    EXPECT_EQ(columns[0].dwFlags & DBCOLUMNFLAGS_ISNULLABLE, 0u);
    EXPECT_EQ(std::u16string(columns[1].pwszName), u"text");
    EXPECT_EQ(columns[1].ulColumnSize, ~DBLENGTH{0});
    EXPECT_NE(columns[1].dwFlags & DBCOLUMNFLAGS_ISNULLABLE, 0u);
    EXPECT_EQ(columns[1].columnid.eKind, DBKIND_NAME);
    CoTaskMemFree(columns);
    CoTaskMemFree(strings);
    info->Release();
}

TEST(schema_rowsets, standard_columns_at_the_ordinals_readers_use) {
    struct expectation {
        const char* name;
        GUID schema;
        std::size_t count;
        std::vector<std::pair<std::size_t, std::u16string>> columns;
    };
    const expectation expectations[] = {
        {"tables", DBSCHEMA_TABLES, 9, {{1, u"TABLE_SCHEMA"}, {2, u"TABLE_NAME"}}},
        {"primary keys",
         DBSCHEMA_PRIMARY_KEYS,
         8,
         {{3, u"COLUMN_NAME"}, {6, u"ORDINAL"}, {7, u"PK_NAME"}}},
        {"indexes",
         DBSCHEMA_INDEXES,
         25,
         {{5, u"INDEX_NAME"}, {6, u"PRIMARY_KEY"}, {7, u"UNIQUE"}, {17, u"COLUMN_NAME"}}},
        {"foreign keys",
         DBSCHEMA_FOREIGN_KEYS,
         18,
         {{1, u"PK_TABLE_SCHEMA"},
          {2, u"PK_TABLE_NAME"},
          {3, u"PK_COLUMN_NAME"},
          {7, u"FK_TABLE_SCHEMA"},
          {8, u"FK_TABLE_NAME"},
          {9, u"FK_COLUMN_NAME"},
          {13, u"UPDATE_RULE"},
          {14, u"DELETE_RULE"},
          {15, u"PK_NAME"},
          {16, u"FK_NAME"}}},
    };
    for (const expectation& e : expectations) {
        SCOPED_TRACE(e.name);
        const std::vector<oledb_column>* columns = oledb_schema_columns(e.schema);
        ASSERT_NE(columns, nullptr);
        EXPECT_EQ(columns->size(), e.count);
        for (const auto& [ordinal, name] : e.columns) {
            EXPECT_EQ((*columns)[ordinal].name, name);
        }
    }
    EXPECT_EQ(oledb_schema_columns(GUID_NULL), nullptr);
}

TEST(schema_rowsets, restrictions_narrow_their_columns) {
    const auto text = [](const char16_t* t) { return oledb_value::of_text(t); };
    const auto fk = [&](const char16_t* pk_table, const char16_t* fk_table) {
        oledb_row row(18, oledb_value::null());
        row[1] = text(u"dbo");
        row[2] = text(pk_table);
        row[7] = text(u"dbo");
        row[8] = text(fk_table);
        return row;
    };
    BSTR a = SysAllocString(u"A");
    BSTR dbo = SysAllocString(u"dbo");
    VARIANT r[7];
    for (VARIANT& v : r) {
        VariantInit(&v);
    }
    r[1].vt = VT_BSTR;
    r[1].bstrVal = dbo;
    r[2].vt = VT_BSTR;
    r[2].bstrVal = a;

    // A foreign key from B to A is found under A, the referenced table.
    std::vector<oledb_row> rows = {fk(u"A", u"B"), fk(u"B", u"A"), fk(u"C", u"A")};
    ASSERT_EQ(oledb_filter_schema_rows(DBSCHEMA_FOREIGN_KEYS, 6, r, rows), S_OK);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][8].text, u"B");

    // INDEXES restriction 4 is TABLE_NAME, the third column.
    oledb_row index(25, oledb_value::null());
    index[2] = text(u"A");
    std::vector<oledb_row> indexes = {index};
    VARIANT ir[5];
    for (VARIANT& v : ir) {
        VariantInit(&v);
    }
    ir[4].vt = VT_BSTR;
    ir[4].bstrVal = a;
    EXPECT_EQ(oledb_filter_schema_rows(DBSCHEMA_INDEXES, 5, ir, indexes), S_OK);
    EXPECT_EQ(indexes.size(), 1u);
    ir[4].bstrVal = dbo;
    EXPECT_EQ(oledb_filter_schema_rows(DBSCHEMA_INDEXES, 5, ir, indexes), S_OK);
    EXPECT_TRUE(indexes.empty());

    std::vector<oledb_row> untouched = {fk(u"A", u"B")};
    EXPECT_EQ(oledb_filter_schema_rows(DBSCHEMA_FOREIGN_KEYS, 7, r, untouched), E_INVALIDARG);
    r[0].vt = VT_I4;
    EXPECT_EQ(oledb_filter_schema_rows(DBSCHEMA_FOREIGN_KEYS, 6, r, untouched), E_INVALIDARG);
    EXPECT_EQ(untouched.size(), 1u);
    EXPECT_EQ(oledb_filter_schema_rows(GUID_NULL, 0, nullptr, untouched), DB_E_NOTSUPPORTED);
    SysFreeString(a);
    SysFreeString(dbo);
}
