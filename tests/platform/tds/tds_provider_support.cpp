// Shared pieces of the provider tests.
#include "tds_provider_support.h"

#include "platform/win32/unicode.h"

#include <algorithm>
#include <cstring>

namespace tds_test {

std::unique_ptr<tds_server> provider_test::server_;

std::string narrow(const std::u16string& text) {
    return win32::to_utf8(text);
}

std::vector<error_record> take_errors() {
    std::vector<error_record> out;
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK || info == nullptr) {
        return out;
    }
    IErrorRecords* records = nullptr;
    if (SUCCEEDED(info->QueryInterface(IID_IErrorRecords, reinterpret_cast<void**>(&records)))) {
        ULONG count = 0;
        records->GetRecordCount(&count);
        for (ULONG i = 0; i < count; ++i) {
            error_record r;
            ERRORINFO basic{};
            records->GetBasicErrorInfo(i, &basic);
            r.result = basic.hrError;
            IErrorInfo* one = nullptr;
            if (SUCCEEDED(records->GetErrorInfo(i, 0, &one)) && one != nullptr) {
                BSTR text = nullptr;
                one->GetDescription(&text);
                if (text != nullptr) {
                    r.description.assign(text, SysStringLen(text));
                }
                SysFreeString(text);
                BSTR source = nullptr;
                one->GetSource(&source);
                if (source != nullptr) {
                    r.source.assign(source, SysStringLen(source));
                }
                SysFreeString(source);
                one->Release();
            }
            IUnknown* custom = nullptr;
            if (SUCCEEDED(records->GetCustomErrorObject(i, IID_ISQLErrorInfo, &custom)) &&
                custom != nullptr) {
                auto* sql = static_cast<ISQLErrorInfo*>(static_cast<void*>(custom));
                BSTR state = nullptr;
                sql->GetSQLInfo(&state, &r.native);
                if (state != nullptr) {
                    r.sqlstate.assign(state, SysStringLen(state));
                }
                SysFreeString(state);
                custom->Release();
            }
            out.push_back(std::move(r));
        }
        records->Release();
    }
    info->Release();
    return out;
}

DBLENGTH consumer_bind_size(const DBCOLUMNINFO& column, DBORDINAL columns) {
    const std::uint32_t cap =
        std::min<std::uint32_t>(200000000u / static_cast<std::uint32_t>(columns), 20000000u);
    const std::uint64_t size = column.ulColumnSize;
    std::uint64_t bytes = 0;
    switch (column.wType) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
    case 10:
    case 11:
    case 16:
    case 17:
    case 18:
    case 19:
    case 20:
    case 21:
        bytes = 52;
        break;
    case 7:
    case 14:
    case 131:
    case 133:
    case 135:
    case 145:
    case 146:
    case 212:
        bytes = 102;
        break;
    case 8:
    case 129:
    case 130:
        bytes = 2 * std::min<std::uint64_t>(size + 1, 20000000);
        break;
    case 72:
        bytes = 78;
        break;
    case 128:
        bytes = 2 * std::min<std::uint64_t>(2 * size + 1, 20000000);
        break;
    default:
        bytes = size == 0 ? 20000000 : size;
        break;
    }
    const std::uint32_t bind = static_cast<std::uint32_t>(bytes);
    std::uint32_t max = bind < cap ? bind : cap;
    if (max == 0 && (column.wType == 129 || column.wType == 130 || column.wType == 8)) {
        max = cap;
    }
    return max;
}

read_result read_all(IRowset* rowset, bool restart) {
    read_result result;
    ref<IColumnsInfo> info;
    EXPECT_EQ(rowset->QueryInterface(IID_IColumnsInfo, info.out()), S_OK);
    DBORDINAL count = 0;
    DBCOLUMNINFO* columns = nullptr;
    OLECHAR* strings = nullptr;
    EXPECT_EQ(info->GetColumnInfo(&count, &columns, &strings), S_OK);
    std::vector<DBBINDING> bindings(count);
    DBBYTEOFFSET offset = 0;
    for (DBORDINAL i = 0; i < count; ++i) {
        const DBCOLUMNINFO& c = columns[i];
        DBBINDING& b = bindings[i];
        b = DBBINDING{};
        b.iOrdinal = i + 1;
        b.obStatus = offset;
        b.obLength = offset + 4;
        b.obValue = offset + 12;
        b.dwPart = DBPART_VALUE | DBPART_LENGTH | DBPART_STATUS;
        b.cbMaxLen = consumer_bind_size(c, count);
        b.wType = c.wType == DBTYPE_BYTES ? DBTYPE_BYTES : DBTYPE_WSTR;
        b.bPrecision = c.bPrecision;
        b.bScale = c.bScale;
        offset += 12 + b.cbMaxLen;
        result.columns.push_back({c.pwszName ? std::u16string(c.pwszName) : std::u16string(),
                                  c.wType, c.ulColumnSize, c.bPrecision, c.bScale, c.dwFlags,
                                  b.cbMaxLen});
    }
    CoTaskMemFree(columns);
    CoTaskMemFree(strings);

    ref<IAccessor> accessor;
    EXPECT_EQ(rowset->QueryInterface(IID_IAccessor, accessor.out()), S_OK);
    HACCESSOR handle = 0;
    std::vector<DBBINDSTATUS> statuses(count);
    EXPECT_EQ(accessor->CreateAccessor(DBACCESSOR_ROWDATA, count, bindings.data(), 0, &handle,
                                       statuses.data()),
              S_OK);
    std::vector<BYTE> buffer(offset + 1);
    if (restart) {
        EXPECT_EQ(rowset->RestartPosition(DB_NULL_HCHAPTER), S_OK);
    }
    HROW rows[100];
    for (;;) {
        DBCOUNTITEM got = 0;
        HROW* handles = rows;
        const HRESULT hr = rowset->GetNextRows(DB_NULL_HCHAPTER, 0, 100, &got, &handles);
        ++result.fetches;
        if (FAILED(hr)) {
            result.failure = hr;
            result.errors = take_errors();
            break;
        }
        for (DBCOUNTITEM r = 0; r < got; ++r) {
            EXPECT_EQ(rowset->GetData(rows[r], handle, buffer.data()), S_OK);
            std::vector<read_value> values;
            for (const DBBINDING& b : bindings) {
                read_value v;
                std::memcpy(&v.status, buffer.data() + b.obStatus, sizeof v.status);
                std::memcpy(&v.length, buffer.data() + b.obLength, sizeof v.length);
                if (v.status == DBSTATUS_S_OK) {
                    if (b.wType == DBTYPE_BYTES) {
                        v.bytes.assign(reinterpret_cast<const char*>(buffer.data() + b.obValue),
                                       v.length);
                    } else {
                        v.text.assign(reinterpret_cast<const char16_t*>(buffer.data() + b.obValue),
                                      v.length / 2);
                    }
                }
                values.push_back(std::move(v));
            }
            result.rows.push_back(std::move(values));
        }
        if (got > 0) {
            EXPECT_EQ(rowset->ReleaseRows(got, rows, nullptr, nullptr, nullptr), S_OK);
        }
        if (got == 0) {
            EXPECT_EQ(hr, DB_S_ENDOFROWSET);
            break;
        }
    }
    accessor->ReleaseAccessor(handle, nullptr);
    return result;
}

void provider_test::SetUpTestSuite() {
    server_ = std::make_unique<tds_server>(std::vector<std::string>{
        tds_fixture_dir() + "/all_types.tds", tds_fixture_dir() + "/shop.tds"});
    server_->start();
}

void provider_test::TearDownTestSuite() {
    server_.reset();
}

void provider_test::TearDown() {
    server_->clear_faults();
    server_->clear_statements();
}

std::u16string provider_test::server_text() {
    return win32::to_utf16("127.0.0.1," + std::to_string(server_->port()));
}

HRESULT provider_test::open(ref<IDBInitialize>& data_source, const CLSID& clsid,
                            const std::u16string& server, const std::u16string& login_user,
                            const std::u16string& login_password, const std::u16string& database,
                            int timeout) {
    HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDBInitialize,
                                  data_source.out());
    if (FAILED(hr)) {
        return hr;
    }
    std::vector<DBPROP> props;
    const auto text = [&](DBPROPID id, const std::u16string& value) {
        DBPROP p{};
        p.dwPropertyID = id;
        p.dwOptions = DBPROPOPTIONS_REQUIRED;
        p.colid = DB_NULLID;
        VariantInit(&p.vValue);
        p.vValue.vt = VT_BSTR;
        p.vValue.bstrVal = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
        props.push_back(p);
    };
    text(DBPROP_INIT_DATASOURCE, server);
    if (!login_user.empty()) {
        text(DBPROP_AUTH_USERID, login_user);
        text(DBPROP_AUTH_PASSWORD, login_password);
    } else {
        text(DBPROP_AUTH_INTEGRATED, u"SSPI");
    }
    if (!database.empty()) {
        text(DBPROP_INIT_CATALOG, database);
    }
    if (timeout > 0) {
        DBPROP p{};
        p.dwPropertyID = DBPROP_INIT_TIMEOUT;
        p.colid = DB_NULLID;
        VariantInit(&p.vValue);
        p.vValue.vt = VT_I4;
        p.vValue.lVal = timeout;
        props.push_back(p);
    }
    ref<IDBProperties> properties;
    EXPECT_EQ(data_source->QueryInterface(IID_IDBProperties, properties.out()), S_OK);
    DBPROPSET set{props.data(), static_cast<ULONG>(props.size()), DBPROPSET_DBINIT};
    hr = properties->SetProperties(1, &set);
    for (DBPROP& p : props) {
        VariantClear(&p.vValue);
    }
    if (FAILED(hr)) {
        return hr;
    }
    return data_source->Initialize();
}

void provider_test::session(ref<IOpenRowset>& out, const std::u16string& database) {
    ref<IDBInitialize> data_source;
    ASSERT_EQ(open(data_source, CLSID_SQLNCLI11, server_text(), user, password, database), S_OK);
    ref<IDBCreateSession> create;
    ASSERT_EQ(data_source->QueryInterface(IID_IDBCreateSession, create.out()), S_OK);
    ASSERT_EQ(create->CreateSession(nullptr, IID_IOpenRowset, out.unknown_out()), S_OK);
}

HRESULT provider_test::execute(IOpenRowset* session, const std::u16string& sql,
                               ref<IRowset>& rowset, bool want_rows) {
    ref<IDBCreateCommand> create;
    EXPECT_EQ(session->QueryInterface(IID_IDBCreateCommand, create.out()), S_OK);
    ref<ICommand> command;
    EXPECT_EQ(create->CreateCommand(nullptr, IID_ICommand, command.unknown_out()), S_OK);
    ref<ICommandText> text;
    EXPECT_EQ(command->QueryInterface(IID_ICommandText, text.out()), S_OK);
    EXPECT_EQ(text->SetCommandText(DBGUID_DBSQL, sql.c_str()), S_OK);
    return text->Execute(nullptr, want_rows ? IID_IRowset : IID_NULL, nullptr, nullptr,
                         rowset.unknown_out());
}

} // namespace tds_test
