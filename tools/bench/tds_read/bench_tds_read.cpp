// Reads audit.many_rows (a million rows) of the TDS test server through the SQL Server provider
// the way the MS SQL source does (every column bound as text, 100 rows a fetch) and through
// FreeTDS's ODBC driver alone at its fastest (row arrays of 1,000 rows into bound columns), and
// prints rows/s, MB/s and the peak memory of each (best of three runs) and the ratio of their
// times. Both times leave the login out.
//
// Usage: bench_tds_read [rows-table]   (default audit.many_rows of the shop fixture)
#include "raw_odbc.h"

#include "platform/oledb/oledb.h"
#include "platform/tds/tds_provider.h"
#include "tests/support/tds_server/tds_server.h"
#include "tools/bench/bench_memory.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct measured {
    std::uint64_t rows = 0;
    std::uint64_t bytes = 0;
    double seconds = 0;
    long peak_kib = 0;
    std::string error;
};

using bench::peak_kib;
using bench::reset_peak;

template <class I> struct ref {
    I* p = nullptr;
    ~ref() {
        if (p) {
            p->Release();
        }
    }
    void** out() { return reinterpret_cast<void**>(&p); }
    IUnknown** unknown() { return reinterpret_cast<IUnknown**>(&p); }
};

std::u16string u16(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

measured provider_read(const std::string& server, const std::string& sql) {
    measured m;
    ref<IDBInitialize> data_source;
    if (FAILED(CoCreateInstance(CLSID_SQLNCLI11, nullptr, CLSCTX_INPROC_SERVER, IID_IDBInitialize,
                                data_source.out()))) {
        m.error = "the provider is not registered";
        return m;
    }
    const std::u16string values[] = {u16(server), u"sa", u"Velmora-Pw1", u"velmora_shop"};
    const DBPROPID ids[] = {DBPROP_INIT_DATASOURCE, DBPROP_AUTH_USERID, DBPROP_AUTH_PASSWORD,
                            DBPROP_INIT_CATALOG};
    DBPROP props[4] = {};
    for (int i = 0; i < 4; ++i) {
        props[i].dwPropertyID = ids[i];
        props[i].colid = DB_NULLID;
        props[i].vValue.vt = VT_BSTR;
        props[i].vValue.bstrVal = SysAllocString(values[i].c_str());
    }
    DBPROPSET set{props, 4, DBPROPSET_DBINIT};
    ref<IDBProperties> properties;
    data_source.p->QueryInterface(IID_IDBProperties, properties.out());
    properties.p->SetProperties(1, &set);
    for (DBPROP& p : props) {
        VariantClear(&p.vValue);
    }
    if (FAILED(data_source.p->Initialize())) {
        m.error = "the login failed";
        return m;
    }
    const auto start = std::chrono::steady_clock::now();
    ref<IDBCreateSession> create_session;
    data_source.p->QueryInterface(IID_IDBCreateSession, create_session.out());
    ref<IDBCreateCommand> session;
    create_session.p->CreateSession(nullptr, IID_IDBCreateCommand, session.unknown());
    ref<ICommandText> command;
    session.p->CreateCommand(nullptr, IID_ICommandText, command.unknown());
    const std::u16string text = u16(sql);
    command.p->SetCommandText(DBGUID_DBSQL, text.c_str());
    ref<IRowset> rowset;
    if (FAILED(command.p->Execute(nullptr, IID_IRowset, nullptr, nullptr, rowset.unknown())) ||
        rowset.p == nullptr) {
        m.error = "the statement failed";
        return m;
    }
    // Bound as the MS SQL source binds: packed status, length and value; text for all but
    // binary columns.
    ref<IColumnsInfo> info;
    rowset.p->QueryInterface(IID_IColumnsInfo, info.out());
    DBORDINAL count = 0;
    DBCOLUMNINFO* columns = nullptr;
    OLECHAR* names = nullptr;
    info.p->GetColumnInfo(&count, &columns, &names);
    const DBLENGTH cap = std::min<DBLENGTH>(200000000 / count, 20000000);
    std::vector<DBBINDING> bindings(count);
    DBBYTEOFFSET offset = 0;
    for (DBORDINAL i = 0; i < count; ++i) {
        const DBCOLUMNINFO& c = columns[i];
        DBLENGTH size = 52;
        if (c.wType == DBTYPE_WSTR || c.wType == DBTYPE_STR) {
            size = 2 * std::min<DBLENGTH>(c.ulColumnSize + 1, 20000000);
        } else if (c.wType == DBTYPE_BYTES) {
            size = 2 * std::min<DBLENGTH>(2 * c.ulColumnSize + 1, 20000000);
        } else if (c.wType == DBTYPE_NUMERIC || c.wType == DBTYPE_DBTIMESTAMP) {
            size = 102;
        } else if (c.wType == DBTYPE_GUID) {
            size = 78;
        }
        DBBINDING& b = bindings[i];
        b.iOrdinal = i + 1;
        b.obStatus = offset;
        b.obLength = offset + 4;
        b.obValue = offset + 12;
        b.dwPart = DBPART_VALUE | DBPART_LENGTH | DBPART_STATUS;
        b.cbMaxLen = size == 0 || size > cap ? cap : size;
        b.wType = c.wType == DBTYPE_BYTES ? DBTYPE_BYTES : DBTYPE_WSTR;
        offset += 12 + b.cbMaxLen;
    }
    CoTaskMemFree(columns);
    CoTaskMemFree(names);
    ref<IAccessor> accessor;
    rowset.p->QueryInterface(IID_IAccessor, accessor.out());
    HACCESSOR handle = 0;
    accessor.p->CreateAccessor(DBACCESSOR_ROWDATA, count, bindings.data(), 0, &handle, nullptr);
    std::vector<BYTE> buffer(offset);
    rowset.p->RestartPosition(DB_NULL_HCHAPTER);
    HROW rows[100];
    for (;;) {
        DBCOUNTITEM got = 0;
        HROW* handles = rows;
        const HRESULT hr = rowset.p->GetNextRows(DB_NULL_HCHAPTER, 0, 100, &got, &handles);
        if (FAILED(hr)) {
            m.error = "a fetch failed";
            break;
        }
        for (DBCOUNTITEM r = 0; r < got; ++r) {
            rowset.p->GetData(rows[r], handle, buffer.data());
            for (const DBBINDING& b : bindings) {
                DBSTATUS status = 0;
                DBLENGTH length = 0;
                std::memcpy(&status, buffer.data() + b.obStatus, sizeof status);
                std::memcpy(&length, buffer.data() + b.obLength, sizeof length);
                m.bytes += status == DBSTATUS_S_OK ? length : 0;
            }
        }
        m.rows += got;
        if (got > 0) {
            rowset.p->ReleaseRows(got, rows, nullptr, nullptr, nullptr);
        }
        if (got == 0) {
            break;
        }
    }
    accessor.p->ReleaseAccessor(handle, nullptr);
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return m;
}

void print(const char* what, const measured& m) {
    if (!m.error.empty()) {
        std::printf("%-34s failed: %s\n", what, m.error.c_str());
        return;
    }
    std::printf("%-34s %9llu rows  %7.3f s  %10.0f rows/s  %7.1f MB/s  peak %ld MiB\n", what,
                static_cast<unsigned long long>(m.rows), m.seconds, m.rows / m.seconds,
                m.bytes / m.seconds / 1e6, m.peak_kib / 1024);
}

} // namespace

int main(int argc, char** argv) {
    const std::string table = argc > 1 ? argv[1] : "audit.many_rows";
    const std::string sql = "SELECT * FROM " + table;
    tds_server server(std::vector<std::string>{tds_fixture_dir() + "/shop.tds"});
    server.start();
    const std::string address = "127.0.0.1," + std::to_string(server.port());
    std::printf("%s from the TDS test server on %s\n", sql.c_str(), address.c_str());

    // Each reader runs three times; the fastest run counts, so other load on the machine
    // weighs less. The peak memory is the highest of the runs.
    constexpr int runs = 3;
    measured raw;
    for (int run = 0; run < runs; ++run) {
        reset_peak();
        measured m;
        const raw_result r =
            raw_odbc_read(server.odbc_connection_string("sa", "Velmora-Pw1", "velmora_shop"), sql);
        m.seconds = r.read_seconds;
        m.rows = r.rows;
        m.bytes = r.bytes;
        m.error = r.error;
        m.peak_kib = std::max(peak_kib(), raw.peak_kib);
        if (run == 0 || m.seconds < raw.seconds || !m.error.empty()) {
            raw = m;
        }
        raw.peak_kib = std::max(raw.peak_kib, m.peak_kib);
    }

    CoInitialize(nullptr);
    measured provider;
    for (int run = 0; run < runs; ++run) {
        reset_peak();
        measured m = provider_read(address, sql);
        m.peak_kib = peak_kib();
        const long peak = std::max(provider.peak_kib, m.peak_kib);
        if (run == 0 || m.seconds < provider.seconds || !m.error.empty()) {
            provider = m;
        }
        provider.peak_kib = peak;
    }
    CoUninitialize();

    print("FreeTDS ODBC, 1,000-row arrays", raw);
    print("OLE DB provider, bound as text", provider);
    if (raw.error.empty() && provider.error.empty() && provider.seconds > 0) {
        std::printf("provider speed: %.0f%% of the raw ODBC rows/s (time ratio %.2f)\n",
                    100.0 * (provider.rows / provider.seconds) / (raw.rows / raw.seconds),
                    provider.seconds / raw.seconds);
    }
    return raw.error.empty() && provider.error.empty() ? 0 : 1;
}
