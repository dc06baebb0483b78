// The bulk load's accessor and rowset handling, against a bulk-copy rowset in memory that
// decodes each row it is sent.
#include "MSS/mss_engi.h"
#include "MSS/mss_floa.h"
#include "MSS/mss_seqs.h"
#include "MSS/odb_exce.h"
#include "UDB/udb_schema.h"
#include "UDB/udb_services.h"
#include "platform/oledb/memory_rowset.h"
#include "tests/MSS/mss_test_support.h"

#include <cstring>

namespace {

// Decodes the rows it is sent through the accessor it was given: one text per value.
class fake_fast_load final
    : public com_object<IRowsetFastLoad, IAccessor, IColumnsInfo, IRowsetInfo> {
public:
    explicit fake_fast_load(std::vector<oledb_column> columns) : columns_(std::move(columns)) {}

    HRESULT InsertRow(HACCESSOR accessor, void* data) override {
        if (accessor != 1 || data == nullptr) {
            return E_INVALIDARG;
        }
        const BYTE* row = static_cast<const BYTE*>(data);
        std::vector<std::string> values;
        for (const DBBINDING& b : bindings) {
            DBSTATUS status = 0;
            std::memcpy(&status, row + b.obStatus, sizeof status);
            DBLENGTH length = 0;
            std::memcpy(&length, row + b.obLength, sizeof length);
            const BYTE* v = row + b.obValue;
            if (status == DBSTATUS_S_ISNULL) {
                values.push_back("NULL");
                continue;
            }
            switch (b.wType) {
            case DBTYPE_I4: {
                std::int32_t n = 0;
                std::memcpy(&n, v, 4);
                values.push_back(std::to_string(n));
                break;
            }
            case DBTYPE_NUMERIC: {
                DB_NUMERIC n{};
                std::memcpy(&n, v, sizeof n);
                unsigned __int128 m = 0;
                for (int i = 15; i >= 0; --i) {
                    m = (m << 8) | n.val[i];
                }
                std::string digits;
                do {
                    digits.insert(digits.begin(), static_cast<char>('0' + int(m % 10)));
                    m /= 10;
                } while (m != 0);
                values.push_back((n.sign ? "" : "-") + digits + "e-" + std::to_string(n.scale) +
                                 "/p" + std::to_string(n.precision));
                break;
            }
            case DBTYPE_WSTR:
                values.push_back("W" + std::to_string(length));
                break;
            case DBTYPE_BYTES:
                values.push_back(std::string(reinterpret_cast<const char*>(v), length));
                break;
            case DBTYPE_IUNKNOWN: {
                IUnknown* object = nullptr;
                std::memcpy(&object, v, sizeof object);
                if (object == nullptr) {
                    values.push_back("S:none");
                    break;
                }
                ISequentialStream* stream = nullptr;
                object->QueryInterface(IID_ISequentialStream, reinterpret_cast<void**>(&stream));
                std::string bytes(length, '\0');
                ULONG got = 0;
                stream->Read(bytes.data(), static_cast<ULONG>(length), &got);
                stream->Release();
                object->Release(); // the provider's reference
                values.push_back("S:" + bytes);
                break;
            }
            default:
                values.push_back("?");
            }
        }
        rows.push_back(values);
        return S_OK;
    }

    HRESULT Commit(BOOL done) override {
        commits.push_back(done != 0);
        if (done && fail_final_commit) {
            com_error_record r;
            r.result = E_FAIL;
            r.description = u"Violation of PRIMARY KEY constraint 'PK_t'.";
            r.native_error = 2627;
            return com_post_error({r});
        }
        return S_OK;
    }

    HRESULT AddRefAccessor(HACCESSOR, DBREFCOUNT*) override { return S_OK; }
    HRESULT CreateAccessor(DBACCESSORFLAGS flags, DBCOUNTITEM count, const DBBINDING b[],
                           DBLENGTH size, HACCESSOR* accessor, DBBINDSTATUS*) override {
        EXPECT_EQ(flags, DBACCESSOR_ROWDATA);
        bindings.assign(b, b + count);
        row_size = size;
        *accessor = 1;
        return S_OK;
    }
    HRESULT ReleaseAccessor(HACCESSOR, DBREFCOUNT*) override {
        ++released;
        return S_OK;
    }
    HRESULT GetColumnInfo(DBORDINAL* count, DBCOLUMNINFO** info, OLECHAR** strings) override {
        return oledb_column_info(columns_, count, info, strings);
    }
    HRESULT GetProperties(ULONG, const DBPROPIDSET[], ULONG* sets, DBPROPSET** out) override {
        auto* set = static_cast<DBPROPSET*>(CoTaskMemAlloc(sizeof(DBPROPSET)));
        auto* props = static_cast<DBPROP*>(CoTaskMemAlloc(2 * sizeof(DBPROP)));
        props[0] = DBPROP{DBPROP_ISequentialStream, 0, DBPROPSTATUS_OK, DB_NULLID, {}};
        props[0].vValue.vt = VT_BOOL;
        props[0].vValue.boolVal = VARIANT_TRUE;
        props[1] = DBPROP{DBPROP_IStream, 0, DBPROPSTATUS_NOTSUPPORTED, DB_NULLID, {}};
        *set = DBPROPSET{props, 2, DBPROPSET_ROWSET};
        *sets = 1;
        *out = set;
        return DB_S_ERRORSOCCURRED;
    }
    HRESULT GetReferencedRowset(DBORDINAL, REFIID, IUnknown**) override { return E_NOTIMPL; }
    HRESULT GetSpecification(REFIID, IUnknown**) override { return E_NOTIMPL; }

    std::vector<DBBINDING> bindings;
    DBLENGTH row_size = 0;
    std::vector<std::vector<std::string>> rows;
    std::vector<bool> commits;
    int released = 0;
    bool fail_final_commit = false;

private:
    std::vector<oledb_column> columns_;
};

// A session that opens the one bulk-copy rowset, or refuses.
class fake_session final : public com_object<IOpenRowset> {
public:
    explicit fake_session(fake_fast_load* rowset) : rowset_(rowset) {}
    HRESULT OpenRowset(IUnknown*, DBID* id, DBID*, REFIID riid, ULONG sets, DBPROPSET set[],
                       IUnknown** out) override {
        table = id->uName.pwszName;
        for (ULONG s = 0; s < sets; ++s) {
            for (ULONG p = 0; p < set[s].cProperties; ++p) {
                properties.push_back(set[s].rgProperties[p].dwPropertyID);
            }
        }
        if (rowset_ == nullptr) {
            return com_post_error(DB_E_NOTABLE, u"No bulk copy here.", u"fake");
        }
        return rowset_->QueryInterface(riid, reinterpret_cast<void**>(out));
    }
    std::u16string table;
    std::vector<DBPROPID> properties;

private:
    fake_fast_load* rowset_;
};

class keeping_handler : public udb_error_handler {
public:
    void handle(const tk_exception& error, bool) override { errors.push_back(error.message); }
    std::vector<std::string> errors;
};

oledb_column column(const char16_t* name, DBTYPE type, DBLENGTH size) {
    oledb_column c;
    c.name = name;
    c.type = type;
    c.size = size;
    return c;
}

class mss_floa_test : public mss_fixture {
protected:
    void SetUp() override {
        mss_fixture::SetUp();
        engine = std::make_unique<mss_engine>(1);
    }
    void TearDown() override {
        if (rowset != nullptr) {
            rowset->Release();
        }
        engine.reset();
        mss_fixture::TearDown();
    }

    HRESULT open(std::vector<oledb_column> columns, mss_fast_load& fl) {
        if (rowset != nullptr) {
            rowset->Release(); // the fixture's reference to the rowset of an earlier open
        }
        rowset = new fake_fast_load(std::move(columns));
        fake_session* session = new fake_session(rowset);
        std::u16string name = u"[dbo].[t]";
        DBID id{};
        id.eKind = DBKIND_NAME;
        id.uName.pwszName = name.data();
        const HRESULT hr = fl.open_table(session, &id, schema, L"[dbo].[t]");
        properties = session->properties;
        session->Release();
        return hr;
    }

    std::unique_ptr<mss_engine> engine;
    fake_fast_load* rowset = nullptr;
    udb_schema schema;
    std::vector<DBPROPID> properties;
};

TEST_F(mss_floa_test, row_buffer_layout_and_bindings) {
    mss_fast_load fl;
    ASSERT_EQ(open({column(u"a", DBTYPE_I4, 4), column(u"b", DBTYPE_I4, 4)}, fl), S_OK);
    EXPECT_EQ(properties,
              (std::vector<DBPROPID>{SSPROP_IRowsetFastLoad, SSPROP_FASTLOADKEEPIDENTITY}));
    ASSERT_EQ(rowset->bindings.size(), 2u);
    EXPECT_EQ(rowset->row_size, 36u);
    const DBBINDING& a = rowset->bindings[0];
    const DBBINDING& b = rowset->bindings[1];
    EXPECT_EQ(std::vector<DBBYTEOFFSET>(
                  {a.obValue, a.obLength, a.obStatus, b.obValue, b.obLength, b.obStatus}),
              std::vector<DBBYTEOFFSET>({0, 8, 16, 20, 24, 32}));
    EXPECT_EQ(a.dwPart, DBPART_VALUE | DBPART_LENGTH | DBPART_STATUS);
    fl.close_table();

    mss_fast_load wide;
    ASSERT_EQ(open({column(u"n", DBTYPE_WSTR, 50), column(u"v", DBTYPE_STR, 50),
                    column(u"g", DBTYPE_GUID, 16), column(u"m", DBTYPE_WSTR, ~DBLENGTH{0})},
                   wide),
              S_OK);
    EXPECT_EQ(wide.column_size(1), 102u);
    EXPECT_EQ(wide.column_size(2), 51u);
    EXPECT_EQ(wide.column_size(3), 72u);
    EXPECT_EQ(wide.column_type(4), DBTYPE_IUNKNOWN);
    EXPECT_EQ(wide.column_reported_type(4), DBTYPE_WSTR);
    // The accessor keeps what its bindings point to while it lives.
    ASSERT_NE(rowset->bindings[3].pObject, nullptr);
    EXPECT_EQ(rowset->bindings[3].pObject->iid, IID_ISequentialStream);
    wide.close_table();
}

TEST_F(mss_floa_test, values_nulls_streams_and_commits) {
    mss_fast_load fl;
    ASSERT_EQ(open({column(u"n", DBTYPE_NUMERIC, 19), column(u"b", DBTYPE_BYTES, 4),
                    column(u"s", DBTYPE_BYTES, ~DBLENGTH{0})},
                   fl),
              S_OK);
    // NULL in one row, a value in the next: the status follows.
    fl.bind_data2(nullptr, 0, 1);
    fl.bind_data2("", 0, 2); // zero-length, not NULL
    fl.bind_data2(nullptr, 0, 3);
    fl.insert_data();
    DB_NUMERIC big{38, 2, 1, {}};
    for (int i = 0; i < 12; ++i) {
        big.val[i] = 0xFF; // 2^96 - 1: beyond 64 bits
    }
    fl.bind_data4(big, 1);
    EXPECT_TRUE(fl.bind_data2("abcd", 4, 2));
    EXPECT_FALSE(fl.bind_data2("abcde", 5, 2)); // longer than the slot: refused, not written
    // The row holds the stream's one reference; the provider is handed one of its own.
    auto* stream = new CSeqStream;
    stream->Write("long", 4, nullptr);
    ISequentialStream* pointer = stream;
    fl.bind_data3(&pointer, sizeof pointer, 4, 3);
    fl.insert_data();
    EXPECT_EQ(rowset->rows, (std::vector<std::vector<std::string>>{
                                {"NULL", "", "NULL"},
                                {"79228162514264337593543950335e-2/p38", "abcd", "S:long"}}));
    EXPECT_EQ(rowset->commits, std::vector<bool>{});

    // About 100000 bound bytes commit the batch; the count starts again.
    fl.bind_data3(nullptr, 0, 99000, 1);
    EXPECT_EQ(fl.byte_total(), 99008);
    fl.bind_data2("abcd", 4, 2);
    fl.insert_data();
    fl.bind_data2("abcd", 4, 2);
    fl.bind_data2("abcd", 4, 2);
    fl.bind_data2("abcd", 4, 2);
    fl.bind_data2("abcd", 4, 2);
    EXPECT_EQ(rowset->commits, std::vector<bool>{});
    fl.bind_data3(nullptr, 0, 1000, 1);
    fl.insert_data();
    EXPECT_EQ(rowset->commits, std::vector<bool>{false});
    EXPECT_EQ(fl.byte_total(), 0);
    fl.close_table();
    EXPECT_EQ(rowset->commits, (std::vector<bool>{false, true}));
    EXPECT_EQ(rowset->released, 1);
    EXPECT_FALSE(fl.is_open());
    EXPECT_THROW(fl.close_table(), tk_mail_assertion);
    EXPECT_THROW(fl.insert_data(), tk_mail_assertion);
}

TEST_F(mss_floa_test, a_failed_last_commit_reaches_the_error_handler_with_the_table) {
    keeping_handler handler;
    mss_fast_load fl;
    ASSERT_EQ(open({column(u"a", DBTYPE_I4, 4)}, fl), S_OK);
    rowset->fail_final_commit = true;
    // The report names the records that are lost: those sent since the last commit.
    const std::int32_t one = 1;
    fl.bind_data2(&one, 4, 1);
    fl.insert_data(7);
    fl.bind_data2(&one, 4, 1);
    fl.insert_data(9);
    fl.close_table();
    ASSERT_EQ(handler.errors.size(), 1u);
    EXPECT_EQ(handler.errors[0], "The bulk load of table [dbo].[t] failed when its last rows were "
                                 "committed (records 7 to 9 are not in the table): Violation of "
                                 "PRIMARY KEY constraint 'PK_t'.");
}

TEST_F(mss_floa_test, a_rowset_that_cannot_be_opened_is_a_failure_to_fall_back_on) {
    mss_fast_load fl;
    fake_session* session = new fake_session(nullptr);
    std::u16string name = u"[dbo].[t]";
    DBID id{};
    id.eKind = DBKIND_NAME;
    id.uName.pwszName = name.data();
    EXPECT_EQ(fl.open_table(session, &id, schema, L"[dbo].[t]"), DB_E_NOTABLE);
    session->Release();
    EXPECT_FALSE(fl.is_open());
    EXPECT_THROW(fl.bind_data2(nullptr, 0, 1), tk_mail_assertion);
}

} // namespace
