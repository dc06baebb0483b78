// Shared pieces of the provider tests: the TDS test server, data sources of the provider, and
// a reader that binds and fetches a rowset the way the MS SQL source does (every column as
// DBTYPE_WSTR, binary columns as DBTYPE_BYTES, packed status/length/value slots, 100 rows a
// fetch).
#pragma once

#include "platform/oledb/oledb.h"
#include "platform/tds/tds_provider.h"
#include "tests/support/tds_server/tds_server.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace tds_test {

inline const std::u16string user = u"sa";
inline const std::u16string password = u"Velmora-Pw1";

// Holds one COM reference.
template <class I> class ref {
public:
    ref() = default;
    ~ref() { reset(); }
    ref(const ref&) = delete;
    ref& operator=(const ref&) = delete;
    I* get() const { return p_; }
    I* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    void reset() {
        if (p_ != nullptr) {
            p_->Release();
            p_ = nullptr;
        }
    }
    void** out() {
        reset();
        return reinterpret_cast<void**>(&p_);
    }
    IUnknown** unknown_out() {
        reset();
        return reinterpret_cast<IUnknown**>(&p_);
    }

private:
    I* p_ = nullptr;
};

// COM for the test's thread.
struct com_thread {
    com_thread() { CoInitialize(nullptr); }
    ~com_thread() { CoUninitialize(); }
};

// One error record as a consumer reads it.
struct error_record {
    HRESULT result = S_OK;
    std::u16string description;
    std::u16string source;
    std::u16string sqlstate;
    LONG native = 0;
};
// The records of the thread's error object (taking it).
std::vector<error_record> take_errors();

// A value read through the consumer's binding.
struct read_value {
    DBSTATUS status = 0;
    DBLENGTH length = 0;
    std::u16string text; // WSTR columns
    std::string bytes;   // BYTES columns
};
struct read_column {
    std::u16string name;
    DBTYPE type;
    DBLENGTH size;
    BYTE precision;
    BYTE scale;
    DBCOLUMNFLAGS flags;
    DBLENGTH bound; // cbMaxLen of the consumer's binding
};
struct read_result {
    std::vector<read_column> columns;
    std::vector<std::vector<read_value>> rows;
    HRESULT failure = S_OK; // the failing GetNextRows, if any
    std::vector<error_record> errors;
    int fetches = 0;
};

// The consumer's per-column buffer size.
DBLENGTH consumer_bind_size(const DBCOLUMNINFO& column, DBORDINAL columns);
// Describes, binds, restarts and reads the whole rowset (stopping at a failed fetch).
read_result read_all(IRowset* rowset, bool restart = true);

// The server for a test suite, with both fixture databases.
class provider_test : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void TearDown() override;

    static std::u16string server_text();
    // A data source of `clsid` with the consumer's initialisation properties; the result of
    // Initialize.
    static HRESULT open(ref<IDBInitialize>& data_source, const CLSID& clsid,
                        const std::u16string& server, const std::u16string& login_user,
                        const std::u16string& login_password, const std::u16string& database,
                        int timeout = 0);
    // A session on an initialised data source of SQLNCLI11 for `database`.
    static void session(ref<IOpenRowset>& out, const std::u16string& database);
    // Runs `sql` on a new command of the session; the rowset (null when none).
    static HRESULT execute(IOpenRowset* session, const std::u16string& sql, ref<IRowset>& rowset,
                           bool want_rows = true);

    static std::unique_ptr<tds_server> server_;
    com_thread com_;
};

std::string narrow(const std::u16string& text);

} // namespace tds_test
