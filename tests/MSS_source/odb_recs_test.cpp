// Rowset reading and records from rows, over in-memory rowsets.
#include "MSS/odb_exce.h"
#include "MSS/odb_recs.h"
#include "TK/tk_utils.h"
#include "mss_source_support.h"

#include <cstring>

using namespace mss_test;

namespace {

class odb_recs_test : public source_fixture {
protected:
    // A rowset over `rows`; `memory` keeps the provider's object for its counters.
    ole_com_ptr<IRowset> make_rowset(std::vector<oledb_column> columns,
                                     std::vector<oledb_row> rows) {
        ole_com_ptr<IRowset> rowset;
        EXPECT_EQ(oledb_make_memory_rowset(std::move(columns), std::move(rows), IID_IRowset,
                                           rowset.out_unknown()),
                  S_OK);
        memory = static_cast<oledb_memory_rowset*>(rowset.get());
        return rowset;
    }

    static std::vector<oledb_row> numbered(int count) {
        std::vector<oledb_row> rows;
        for (int i = 1; i <= count; ++i) {
            rows.push_back(row({tk_to_utf16(std::to_wstring(i))}));
        }
        return rows;
    }

    // Every value of a one-row rowset, read back.
    std::unique_ptr<odb_recordset> read_one(std::vector<oledb_column> columns, oledb_row values) {
        auto rowset = make_rowset(std::move(columns), {std::move(values)});
        auto records = std::make_unique<odb_recordset>(rowset.get());
        records->reset();
        return records;
    }

    oledb_memory_rowset* memory = nullptr;
};

} // namespace

TEST_F(odb_recs_test, rows_come_in_batches_of_one_hundred) {
    for (const int count : {0, 1, 100, 250}) {
        SCOPED_TRACE(count);
        auto rowset = make_rowset({typed(u"n", DBTYPE_I4, 4)}, numbered(count));
        odb_recordset records(rowset.get());
        records.reset();
        int read = 0;
        for (; !records.is_eof(); records.next()) {
            ++read;
            EXPECT_EQ((*records.get_item())[0]->to_long(), read);
        }
        EXPECT_EQ(read, count);
        EXPECT_EQ(records.cur_pos, static_cast<unsigned>(count));
        // One fetch per full or partial batch, and the empty one that ends the read.
        EXPECT_EQ(memory->fetches(), count / 100 + (count % 100 != 0 ? 1 : 0) + 1);
        EXPECT_EQ(memory->held_rows(), 0u);
        if (count == 0) {
            EXPECT_THROW(records.get_item(), tk_mail_assertion);
        }
        // A reset reads from the start again.
        records.reset();
        EXPECT_EQ(records.is_eof(), count == 0);
        EXPECT_EQ(memory->restarts(), 2);
    }
}

TEST_F(odb_recs_test, a_recordset_without_rowset_is_at_its_end) {
    odb_recordset records(std::wstring(L"nothing"));
    records.reset();
    EXPECT_TRUE(records.is_eof());
    EXPECT_EQ(trace_count("Rowset isn't defined"), 0);
    records.initialize(true);
    EXPECT_EQ(trace_count("Rowset isn't defined"), 1);
    EXPECT_THROW(records.append_record(udb_record()), tk_mail_assertion);
}

TEST_F(odb_recs_test, columns_are_bound_by_type_within_the_cap) {
    EXPECT_EQ(odb_accessor::column_cap(1), 20000000u);
    EXPECT_EQ(odb_accessor::column_cap(10), 20000000u);
    EXPECT_EQ(odb_accessor::column_cap(100), 2000000u);
    EXPECT_EQ(odb_accessor::column_cap(1000), 200000u);
    EXPECT_EQ(odb_accessor::column_cap(0), 20000000u);

    auto rowset =
        make_rowset({text(u"w", 50), typed(u"g", DBTYPE_GUID, 16), typed(u"i", DBTYPE_I4, 4),
                     typed(u"n", DBTYPE_NUMERIC, 19, 10, 2), typed(u"b", DBTYPE_BYTES, 16),
                     text(u"max", ~DBLENGTH(0)), typed(u"d", DBTYPE_DBTIMESTAMP, 16, 27, 7)},
                    {});
    odb_recordset records(rowset.get());
    const DBBINDING* b = records.accessor.bindings;
    const DBLENGTH expected[] = {102, 78, 52, 102, 66, 20000000, 102};
    DBBYTEOFFSET offset = 0;
    for (int i = 0; i < 7; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(b[i].cbMaxLen, expected[i]);
        EXPECT_EQ(b[i].obStatus, offset);
        EXPECT_EQ(b[i].obLength, offset + 4);
        EXPECT_EQ(b[i].obValue, offset + 12);
        EXPECT_EQ(b[i].wType, i == 4 ? DBTYPE_BYTES : DBTYPE_WSTR);
        EXPECT_EQ(b[i].dwPart, 7u);
        offset += 12 + expected[i];
    }
    EXPECT_EQ(records.accessor.row_size, offset);

    // The schema the columns describe.
    const udb_schema& s = records.schema;
    ASSERT_EQ(s.size(), 7u);
    EXPECT_EQ(s[0]->type, VT_BSTR);
    EXPECT_EQ(s[0]->size, 50);
    EXPECT_FALSE(s[0]->b_not_null);
    EXPECT_EQ(s[1]->type, VT_BSTR);
    EXPECT_EQ(s[1]->size, 36);
    EXPECT_EQ(s[1]->dw_reserved, 1);
    EXPECT_EQ(s[2]->type, VT_I4);
    EXPECT_EQ(s[3]->type, VT_DECIMAL);
    EXPECT_EQ(s[3]->prec, 10);
    EXPECT_EQ(s[3]->scale, 2);
    EXPECT_EQ(s[4]->type, ole_variant::vt_byte_array);
    EXPECT_EQ(s[4]->size, 0);
    EXPECT_EQ(s[6]->type, VT_DATE);
    EXPECT_EQ(s[6]->dw_reserved, 1);
    EXPECT_EQ(s[6]->scale, 7);
}

TEST_F(odb_recs_test, values_arrive_typed) {
    auto not_null = typed(u"id", DBTYPE_I4, 4);
    not_null.flags = 0;
    std::string bytes("\x00\x01\xFF\x00\x7F", 5);
    auto records = read_one(
        {not_null, text(u"t", 10), text(u"empty", 10), typed(u"g", DBTYPE_GUID, 16),
         typed(u"b", DBTYPE_BYTES, 8), typed(u"b0", DBTYPE_BYTES, 8),
         typed(u"x", DBTYPE_XML, ~0ull), typed(u"v", DBTYPE_SQLVARIANT, 8000),
         typed(u"v12", DBTYPE_VARIANT, 8000), typed(u"dec", DBTYPE_NUMERIC, 19, 38, 0),
         typed(u"m", DBTYPE_CY, 8), typed(u"dt", DBTYPE_DBTIMESTAMP, 16, 27, 7),
         typed(u"bit", DBTYPE_BOOL, 2), text(u"emoji", 10), typed(u"f", DBTYPE_R8, 8),
         typed(u"null", DBTYPE_I8, 8)},
        {oledb_value::of_text(u"-2147483648"), oledb_value::of_text(u"Grüße"),
         oledb_value::of_text(u""), oledb_value::of_text(u"{6F9619FF-8B86-D011-B42D-00C04FC964FF}"),
         oledb_value::of_bytes(bytes), oledb_value::of_bytes(""), oledb_value::of_text(u"<a>b</a>"),
         oledb_value::of_text(u"hello!"), oledb_value::of_text(u"abc"),
         oledb_value::of_text(u"12345678901234567890123456789012345678"),
         oledb_value::of_text(u"922337203685477.5807"),
         oledb_value::of_text(u"2024-02-29 13:45:30.1234567"), oledb_value::of_text(u"1"),
         oledb_value::of_text(u"a\U0001F600b"), oledb_value::of_text(u"0.10000000000000001"),
         oledb_value::null()});
    const udb_record& r = *records->get_item();
    ASSERT_EQ(r.size(), 16u);
    EXPECT_EQ(r[0]->name, L"id");
    EXPECT_EQ(r[0]->get_type(), VT_I4);
    EXPECT_EQ(r[0]->to_long(), INT32_MIN);
    EXPECT_EQ(r[1]->get_type(), VT_BSTR);
    EXPECT_EQ(r[1]->to_wstring(), L"Grüße");
    EXPECT_EQ(r[1]->size, 10u); // bytes of the UTF-16 text
    EXPECT_EQ(r[2]->get_type(), VT_BSTR);
    EXPECT_EQ(r[2]->to_wstring(), L"");
    EXPECT_EQ(r[2]->size, 0u);
    EXPECT_EQ(r[3]->get_type(), VT_BSTR);
    EXPECT_EQ(r[3]->to_wstring(), L"6F9619FF-8B86-D011-B42D-00C04FC964FF");
    EXPECT_EQ(r[3]->size, 16u);
    EXPECT_EQ(r[4]->get_type(), ole_variant::vt_byte_array);
    EXPECT_EQ(r[4]->get_size(), 5u);
    EXPECT_EQ(r[4]->to_string(), "0x0001FF007F");
    // Zero bytes are a value of no bytes, not NULL.
    EXPECT_EQ(r[5]->get_type(), ole_variant::vt_byte_array);
    EXPECT_EQ(r[5]->get_size(), 0u);
    EXPECT_EQ(r[6]->to_wstring(), L"<a>b</a>");
    // sql_variant is text, never hexadecimal.
    EXPECT_EQ(r[7]->get_type(), VT_BSTR);
    EXPECT_EQ(r[7]->to_wstring(), L"hello!");
    EXPECT_EQ(r[8]->to_wstring(), L"abc");
    EXPECT_EQ(r[9]->get_type(), VT_DECIMAL);
    EXPECT_EQ(r[9]->to_string(), "12345678901234567890123456789012345678");
    EXPECT_EQ(r[10]->get_type(), VT_CY);
    EXPECT_EQ(r[10]->to_string(), "922337203685477.5807");
    EXPECT_EQ(r[11]->get_type(), VT_DATE);
    EXPECT_EQ(r[11]->to_string(), "2024-02-29 13:45:30.123457");
    EXPECT_EQ(r[12]->get_type(), VT_BOOL);
    EXPECT_TRUE(r[12]->to_bool());
    EXPECT_EQ(r[13]->to_wstring(), L"a\U0001F600b");
    EXPECT_EQ(r[14]->to_double(), 0.1);
    EXPECT_EQ(r[15]->get_type(), VT_EMPTY);
    EXPECT_EQ(r[15]->size, 0u);

    std::int32_t reserved = 0;
    EXPECT_EQ(odb_record::get_vartype(DBTYPE_XML, 0, 0, reserved), VT_BSTR);
    EXPECT_EQ(reserved, 11);
    reserved = 0;
    EXPECT_EQ(odb_record::get_vartype(DBTYPE_UDT, 0, 0, reserved), ole_variant::vt_byte_array);
    EXPECT_EQ(reserved, 0);
}

TEST_F(odb_recs_test, pure_dates_need_a_native_provider_on_2008_or_later) {
    std::int32_t reserved = 0;
    EXPECT_EQ(odb_record::get_vartype(DBTYPE_DBDATE, 6, 0, reserved), VT_DATE);
    EXPECT_EQ(reserved, 0); // not connected
    connect();
    EXPECT_EQ(odb_record::get_vartype(DBTYPE_DBDATE, 6, 0, reserved), VT_DATE);
    EXPECT_EQ(reserved, 2);
    EXPECT_EQ(odb_record::get_vartype(DBTYPE_DBTIME2, 10, 0, reserved), VT_DATE);
    EXPECT_EQ(reserved, 3);

    auto records =
        read_one({typed(u"d", DBTYPE_DBDATE, 6, 10, 0), typed(u"t", DBTYPE_DBTIME2, 10, 16, 7),
                  typed(u"o", DBTYPE_DBTIMESTAMPOFFSET, 20, 34, 7)},
                 row({u"0001-01-01", u"23:59:59.9999999", u"2024-02-29 13:45:30.1234567 +05:30"}));
    const udb_record& r = *records->get_item();
    EXPECT_EQ(r[0]->to_string(), "0001-01-01");
    EXPECT_EQ(r[1]->to_string(), "0000-00-00 23:59:59.999999");
    EXPECT_EQ(r[2]->to_string(), "2024-02-29 13:45:30.123457");
    EXPECT_EQ(records->schema[0]->dw_reserved, 2);
    EXPECT_EQ(records->schema[2]->dw_reserved, 1);

    add_connect_answers(*server, u"Microsoft SQL Server 2005 - 9.00.5000.00 (Intel X86) 2005");
    connect();
    reserved = 0;
    odb_record::get_vartype(DBTYPE_DBDATE, 6, 0, reserved);
    EXPECT_EQ(reserved, 0);
}

TEST_F(odb_recs_test, values_longer_than_their_buffer_are_read_in_full) {
    // Over a mebibyte of text in a column that declares 10 characters, bytes likewise, next to
    // a short value: nothing is cut and nothing becomes NULL.
    std::u16string long_text(600000, u'x');
    long_text += u"\U0001F600end";
    std::string long_bytes(3 * 1024 * 1024, '\0');
    long_bytes[1] = '\x01';
    long_bytes.back() = '\x7F';
    auto rowset = make_rowset({text(u"t", 10), typed(u"b", DBTYPE_BYTES, 4), text(u"s", 10)},
                              {{oledb_value::of_text(long_text), oledb_value::of_bytes(long_bytes),
                                oledb_value::of_text(u"short")},
                               row({u"ok", std::nullopt, u"next"})});
    odb_recordset records(rowset.get());
    records.reset();
    const udb_record& r = *records.get_item();
    EXPECT_EQ(r[0]->get_type(), VT_BSTR);
    EXPECT_EQ(r[0]->to_wstring(), tk_utf16_to_wstring(long_text));
    EXPECT_EQ(r[1]->get_size(), long_bytes.size());
    std::uint8_t* data = nullptr;
    ASSERT_EQ(r[1]->get_bytes(&data), long_bytes.size());
    EXPECT_EQ(std::memcmp(data, long_bytes.data(), long_bytes.size()), 0);
    EXPECT_EQ(r[2]->to_wstring(), L"short");
    records.next();
    EXPECT_EQ((*records.get_item())[0]->to_wstring(), L"ok");
    EXPECT_EQ((*records.get_item())[2]->to_wstring(), L"next");
    records.next();
    EXPECT_TRUE(records.is_eof());
    EXPECT_EQ(memory->held_rows(), 0u);
}

TEST_F(odb_recs_test, values_after_a_place_of_odd_size_and_hexadecimal_bytes_read_alike) {
    // A 3-byte place first leaves every later value at an odd address of the row buffer: texts,
    // numbers, dates and GUIDs are read from there all the same. Hexadecimal bytes (a UDT bound
    // as text) are read whole; a text of the wrong alphabet keeps its old reading.
    const std::u16string with_nul(u"a\0b", 3);
    auto records = read_one(
        {typed(u"odd", DBTYPE_UDT, 3), text(u"t", 10), text(u"nul", 10), typed(u"n", DBTYPE_I8, 8),
         typed(u"dec", DBTYPE_NUMERIC, 19, 38, 4), typed(u"dt", DBTYPE_DBTIMESTAMP, 16, 27, 7),
         typed(u"g", DBTYPE_GUID, 16), typed(u"hex", DBTYPE_UDT, 40),
         typed(u"not_hex", DBTYPE_UDT, 40), typed(u"odd_digits", DBTYPE_UDT, 40),
         text(u"last", 10)},
        {oledb_value::null(), oledb_value::of_text(u"Grüße\U0001F600"),
         oledb_value::of_text(with_nul), oledb_value::of_text(u"-9223372036854775808"),
         oledb_value::of_text(u"-12345.6789"), oledb_value::of_text(u"2024-02-29 13:45:30.1234567"),
         oledb_value::of_text(u"{6F9619FF-8B86-D011-B42D-00C04FC964FF}"),
         oledb_value::of_text(u"0x0A0bFF"), oledb_value::of_text(u"0xÄB"),
         oledb_value::of_text(u"0A0"), oledb_value::of_text(u"end")});
    const udb_record& r = *records->get_item();
    ASSERT_EQ(r.size(), 11u);
    EXPECT_EQ(r[0]->get_type(), VT_EMPTY);
    EXPECT_EQ(r[1]->to_wstring(), L"Grüße\U0001F600");
    EXPECT_EQ(r[1]->get_size(), 7u);
    EXPECT_EQ(r[2]->get_type(), VT_BSTR);
    EXPECT_EQ(r[2]->get_size(), 3u); // NULs inside a text are kept
    EXPECT_EQ(r[3]->get_type(), VT_I8);
    EXPECT_EQ(r[3]->to_i8(), INT64_MIN);
    EXPECT_EQ(r[4]->get_type(), VT_DECIMAL);
    EXPECT_EQ(r[4]->to_string(), "-12345.6789");
    EXPECT_EQ(r[5]->to_string(), "2024-02-29 13:45:30.123457");
    EXPECT_EQ(r[6]->to_wstring(), L"6F9619FF-8B86-D011-B42D-00C04FC964FF");
    EXPECT_EQ(r[7]->get_type(), ole_variant::vt_byte_array);
    EXPECT_EQ(r[7]->to_string(), "0x0A0BFF");
    // Each character counts as one digit; one that is not a digit reads as 0.
    EXPECT_EQ(r[8]->to_string(), "0x0B");
    // An odd number of digits is no byte value.
    EXPECT_EQ(r[9]->get_type(), VT_EMPTY);
    EXPECT_EQ(r[10]->to_wstring(), L"end");
}

TEST_F(odb_recs_test, a_value_still_cut_is_a_row_error_never_an_empty_value) {
    // A row buffer whose one column arrives cut.
    DBCOLUMNINFO info{};
    std::u16string name = u"big";
    info.pwszName = name.data();
    info.wType = DBTYPE_WSTR;
    info.ulColumnSize = 10;
    DBBINDING binding{};
    binding.obStatus = 0;
    binding.obLength = 4;
    binding.obValue = 12;
    binding.cbMaxLen = 22;
    binding.wType = DBTYPE_WSTR;
    BYTE buffer[34] = {};
    const DBSTATUS truncated = DBSTATUS_S_TRUNCATED;
    std::memcpy(buffer, &truncated, 4);
    try {
        odb_record record(1, buffer, &info, &binding);
        FAIL() << "built";
    } catch (const tk_exception& e) {
        EXPECT_EQ(e.level, 0);
        EXPECT_NE(e.message.find("big"), std::string::npos);
    }
    EXPECT_EQ(trace_count("Field #0 - TRUNCATED"), 1);
    EXPECT_THROW(odb_record(1, nullptr, &info, &binding), tk_mail_assertion);
    EXPECT_THROW(odb_record(1, buffer, &info, nullptr), tk_mail_assertion);
}

// A record keeps its fields' names while it is read under the same naming, takes the names of
// a new one, and after a row cut on the way carries no naming, so that the next row names
// every field again.
TEST_F(odb_recs_test, a_record_is_named_anew_for_a_new_naming_and_after_a_cut_row) {
    DBCOLUMNINFO info[2] = {};
    std::u16string column_names[2] = {u"p", u"q"};
    DBBINDING bindings[2] = {};
    for (unsigned i = 0; i < 2; ++i) {
        info[i].pwszName = column_names[i].data();
        info[i].wType = DBTYPE_WSTR;
        info[i].ulColumnSize = 10;
        bindings[i].obStatus = 40 * i;
        bindings[i].obLength = 40 * i + 4;
        bindings[i].obValue = 40 * i + 12;
        bindings[i].cbMaxLen = 22;
        bindings[i].wType = DBTYPE_WSTR;
    }
    BYTE buffer[80] = {};
    auto set_row = [&](DBSTATUS second_status) {
        const DBLENGTH length = 2;
        for (unsigned i = 0; i < 2; ++i) {
            const DBSTATUS status = i == 0 ? DBSTATUS_S_OK : second_status;
            std::memcpy(buffer + bindings[i].obStatus, &status, sizeof status);
            std::memcpy(buffer + bindings[i].obLength, &length, sizeof length);
            std::memcpy(buffer + bindings[i].obValue, u"x", 2);
        }
    };
    auto names_of = [](const udb_record& record) {
        return record[0]->name + L"," + record[1]->name;
    };
    const std::vector<std::wstring> first = {L"a", L"b"};
    const std::vector<std::wstring> second = {L"c", L"d"};
    const std::uint64_t first_naming = udb_record::new_naming();
    const std::uint64_t second_naming = udb_record::new_naming();

    set_row(DBSTATUS_S_OK);
    odb_record record(2, buffer, info, bindings, &first, {}, first_naming);
    EXPECT_EQ(names_of(record), L"a,b");
    EXPECT_EQ(record.naming, first_naming);
    set_row(DBSTATUS_S_TRUNCATED);
    EXPECT_THROW(record.read(2, buffer, info, bindings, &second, {}, second_naming), tk_exception);
    EXPECT_EQ(record.naming, 0u);
    set_row(DBSTATUS_S_OK);
    record.read(2, buffer, info, bindings, &second, {}, second_naming);
    EXPECT_EQ(names_of(record), L"c,d");
    EXPECT_EQ(record.naming, second_naming);
    // Names without a naming give the record none.
    record.read(2, buffer, info, bindings, &first, {}, 0);
    EXPECT_EQ(names_of(record), L"a,b");
    EXPECT_EQ(record.naming, 0u);
}

namespace {

// A rowset whose third row cannot be read: GetData fails for it.
class failing_rowset final : public com_object<IRowset, IAccessor, IColumnsInfo> {
public:
    explicit failing_rowset(IRowset* inner) : rowset_(inner) {
        rowset_->QueryInterface(IID_IAccessor, accessor_.out_void());
        rowset_->QueryInterface(IID_IColumnsInfo, columns_.out_void());
    }
    HRESULT AddRefRows(DBCOUNTITEM n, const HROW h[], DBREFCOUNT r[], DBROWSTATUS s[]) override {
        return rowset_->AddRefRows(n, h, r, s);
    }
    HRESULT GetData(HROW row, HACCESSOR accessor, void* data) override {
        return row == 3 ? E_FAIL : rowset_->GetData(row, accessor, data);
    }
    HRESULT GetNextRows(HCHAPTER c, DBROWOFFSET o, DBROWCOUNT n, DBCOUNTITEM* got,
                        HROW** h) override {
        return rowset_->GetNextRows(c, o, n, got, h);
    }
    HRESULT ReleaseRows(DBCOUNTITEM n, const HROW h[], DBROWOPTIONS o[], DBREFCOUNT r[],
                        DBROWSTATUS s[]) override {
        return rowset_->ReleaseRows(n, h, o, r, s);
    }
    HRESULT RestartPosition(HCHAPTER c) override { return rowset_->RestartPosition(c); }
    HRESULT AddRefAccessor(HACCESSOR a, DBREFCOUNT* r) override {
        return accessor_->AddRefAccessor(a, r);
    }
    HRESULT CreateAccessor(DBACCESSORFLAGS f, DBCOUNTITEM n, const DBBINDING b[], DBLENGTH size,
                           HACCESSOR* a, DBBINDSTATUS s[]) override {
        return accessor_->CreateAccessor(f, n, b, size, a, s);
    }
    HRESULT ReleaseAccessor(HACCESSOR a, DBREFCOUNT* r) override {
        return accessor_->ReleaseAccessor(a, r);
    }
    HRESULT GetColumnInfo(DBORDINAL* n, DBCOLUMNINFO** info, OLECHAR** strings) override {
        return columns_->GetColumnInfo(n, info, strings);
    }

private:
    ole_com_ptr<IRowset> rowset_;
    ole_com_ptr<IAccessor> accessor_;
    ole_com_ptr<IColumnsInfo> columns_;
};

} // namespace

TEST_F(odb_recs_test, rows_before_an_unreadable_row_are_delivered_first) {
    auto inner = make_rowset({typed(u"n", DBTYPE_I4, 4)},
                             {row({u"1"}), row({u"2"}), row({u"3"}), row({u"4"})});
    auto* failing = new failing_rowset(inner.get());
    odb_recordset records(static_cast<IRowset*>(failing));
    failing->Release();
    std::vector<std::int32_t> read;
    try {
        for (records.reset(); !records.is_eof(); records.next()) {
            read.push_back((*records.get_item())[0]->to_long());
        }
        FAIL() << "no error";
    } catch (const odb_exception&) {
    }
    EXPECT_EQ(read, (std::vector<std::int32_t>{1, 2}));
    EXPECT_EQ(records.cur_pos, 1u);
    EXPECT_TRUE(records.is_eof());
    EXPECT_EQ(memory->held_rows(), 0u);
}

TEST_F(odb_recs_test, records_read_into_the_storage_of_earlier_rows_carry_nothing_over) {
    // Rows of 250 cycle through NULLs, long values, empty values and short ones, so that every
    // kind of value follows every other in the same record of the cache; each record must
    // equal the one a fresh read of its row makes.
    const std::vector<oledb_column> columns = {
        typed(u"n", DBTYPE_I4, 4), text(u"t", 400), typed(u"b", DBTYPE_BYTES, 300),
        typed(u"dec", DBTYPE_NUMERIC, 19, 38, 4), typed(u"dt", DBTYPE_DBTIMESTAMP, 16, 27, 3)};
    auto value_of = [](int i) {
        const std::u16string n = tk_to_utf16(std::to_wstring(i));
        switch (i % 4) {
        case 0:
            return oledb_row(5, oledb_value::null());
        case 1:
            return oledb_row{oledb_value::of_text(n),
                             oledb_value::of_text(std::u16string(300, u'é')),
                             oledb_value::of_bytes(std::string(250, '\x5A')),
                             oledb_value::of_text(u"123456789012345678901234567890.1234"),
                             oledb_value::of_text(u"2024-02-29 13:45:30.123")};
        case 2:
            return oledb_row{oledb_value::of_text(u""), oledb_value::of_text(u""),
                             oledb_value::of_bytes(""), oledb_value::of_text(u""),
                             oledb_value::of_text(u"")};
        default:
            return oledb_row{oledb_value::of_text(n), oledb_value::of_text(u"x" + n),
                             oledb_value::of_bytes("\x01"), oledb_value::of_text(n + u".5"),
                             oledb_value::of_text(u"1999-12-31 23:59:59.999")};
        }
    };
    std::vector<oledb_row> rows;
    for (int i = 0; i < 250; ++i) {
        rows.push_back(value_of(i));
    }
    auto rowset = make_rowset(columns, rows);
    odb_recordset records(rowset.get());
    int i = 0;
    for (records.reset(); !records.is_eof(); records.next(), ++i) {
        SCOPED_TRACE(i);
        const udb_record& got = *records.get_item();
        const auto fresh = read_one(columns, value_of(i));
        const udb_record& expected = *fresh->get_item();
        ASSERT_EQ(got.size(), expected.size());
        for (std::size_t k = 0; k < got.size(); ++k) {
            EXPECT_EQ(got[k]->name, expected[k]->name);
            EXPECT_EQ(got[k]->get_type(), expected[k]->get_type());
            EXPECT_EQ(got[k]->size, expected[k]->size);
            EXPECT_EQ(got[k]->to_wstring(), expected[k]->to_wstring());
        }
    }
    EXPECT_EQ(i, 250);
}
