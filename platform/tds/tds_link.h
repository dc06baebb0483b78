// What a data source shares with its sessions, commands and rowsets: the login, a pool of
// connections, and the rules that turn ODBC diagnostics into OLE DB error records.
#pragma once

#include "platform/oledb/oledb.h"
#include "platform/tds/tds_columns.h"
#include "platform/tds/tds_odbc.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The component named in the provider's error records.
inline const std::u16string tds_error_source = u"Velmora SQL Server Provider (FreeTDS)";

// A TDS connection carries one result at a time (FreeTDS offers no MARS here). A session may
// hold several live rowsets, so each running statement takes a connection of its own from the
// pool and gives it back when its results are read or dropped, as SQL Server's providers open
// extra connections behind a session.
class tds_link {
public:
    tds_link(CLSID clsid, std::u16string connection_string, int login_timeout);

    // An idle connection, or a new one. Null on failure, with the driver's diagnostics.
    std::unique_ptr<odbc::connection> acquire(std::vector<odbc::diagnostic>& diagnostics);
    // Gives a connection back; a dead one is dropped.
    void release(std::unique_ptr<odbc::connection> connection);

    // A new connection that serves one bulk copy (it asks for bulk copy before it logs in);
    // it never joins the pool. Null on failure, with the driver's diagnostics.
    std::unique_ptr<odbc::connection> open_bulk_copy(std::vector<odbc::diagnostic>& diagnostics);

    const CLSID& clsid() const { return clsid_; }
    // Whether the data source allows bulk-copy rowsets (SSPROP_ENABLEFASTLOAD).
    bool fast_load() const { return fast_load_.load(); }
    void set_fast_load(bool enabled) { fast_load_.store(enabled); }

private:
    CLSID clsid_;
    std::u16string connection_string_;
    int login_timeout_;
    std::atomic<bool> fast_load_{false};
    std::mutex lock_;
    std::vector<std::unique_ptr<odbc::connection>> idle_;
};

// A message without the "[vendor][component]" prefixes ODBC drivers put before it.
std::u16string tds_strip_prefixes(std::u16string_view message);

// Whether the diagnostics tell of a lost connection.
bool tds_connection_lost(const std::vector<odbc::diagnostic>& diagnostics);

// Posts the diagnostics as error records of `result` (one record each: description, SQLSTATE,
// native number, source) and returns `result`. A lost connection is reported as such, before
// the driver's own records, whatever `result` was asked: E_FAIL. Without diagnostics one record
// carries `fallback`. A `lead` text (a failed connection attempt) comes first instead, with
// SQLSTATE 08001.
HRESULT tds_post(HRESULT result, const CLSID& clsid, const IID& iid,
                 const std::vector<odbc::diagnostic>& diagnostics, const std::u16string& fallback,
                 const std::u16string& lead = {});

// Runs SQL on a connection of the link. With `want_rows`, stops at the first result that has
// columns (describing them) and hands over the connection and statement; otherwise, or when no
// result has columns, reads every result, counts the rows affected and gives the connection
// back. A failed batch closes its connection instead of pooling it.
struct tds_execution {
    std::unique_ptr<odbc::connection> connection;
    std::unique_ptr<odbc::statement> statement;
    std::vector<tds_column> columns;
    std::int64_t rows_affected = -1;
    std::vector<odbc::diagnostic> diagnostics; // of the failure
    bool connect_failed = false;
};
bool tds_execute(tds_link& link, std::u16string_view sql, bool want_rows, tds_execution& out);

// Moves `statement` to the next result that has columns and describes them; false on an error
// (diagnostics in the statement) or when no such result is left (`columns` empty).
bool tds_next_result_with_columns(odbc::statement& statement, std::vector<tds_column>& columns,
                                  bool first);

// Reads every remaining result of the statement; false when one of them fails.
bool tds_drain(odbc::statement& statement, std::int64_t* rows_affected);
