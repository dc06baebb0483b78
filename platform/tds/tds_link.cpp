// The connection pool of a data source and the provider's error records.
#include "platform/tds/tds_link.h"

tds_link::tds_link(CLSID clsid, std::u16string connection_string, int login_timeout)
    : clsid_(clsid), connection_string_(std::move(connection_string)),
      login_timeout_(login_timeout) {
}

std::unique_ptr<odbc::connection> tds_link::acquire(std::vector<odbc::diagnostic>& diagnostics) {
    diagnostics.clear();
    {
        std::lock_guard guard(lock_);
        while (!idle_.empty()) {
            std::unique_ptr<odbc::connection> c = std::move(idle_.back());
            idle_.pop_back();
            if (!c->dead()) {
                return c;
            }
        }
    }
    auto c = std::make_unique<odbc::connection>();
    if (!c->open(connection_string_, login_timeout_)) {
        diagnostics = c->diagnostics();
        return nullptr;
    }
    return c;
}

std::unique_ptr<odbc::connection>
tds_link::open_bulk_copy(std::vector<odbc::diagnostic>& diagnostics) {
    diagnostics.clear();
    auto c = std::make_unique<odbc::connection>();
    if (!c->request_bulk_copy() || !c->open(connection_string_, login_timeout_)) {
        diagnostics = c->diagnostics();
        return nullptr;
    }
    return c;
}

void tds_link::release(std::unique_ptr<odbc::connection> connection) {
    if (!connection || connection->dead()) {
        return;
    }
    std::lock_guard guard(lock_);
    if (idle_.size() < 8) {
        idle_.push_back(std::move(connection));
    }
}

std::u16string tds_strip_prefixes(std::u16string_view message) {
    while (!message.empty() && message.front() == u'[') {
        const std::size_t close = message.find(u']');
        if (close == std::u16string_view::npos) {
            break;
        }
        message.remove_prefix(close + 1);
    }
    return std::u16string(message);
}

bool tds_connection_lost(const std::vector<odbc::diagnostic>& diagnostics) {
    for (const odbc::diagnostic& d : diagnostics) {
        if (odbc::is_connection_lost(d)) {
            return true;
        }
    }
    return false;
}

HRESULT tds_post(HRESULT result, const CLSID& clsid, const IID& iid,
                 const std::vector<odbc::diagnostic>& diagnostics, const std::u16string& fallback,
                 const std::u16string& lead) {
    std::vector<com_error_record> records;
    const auto add = [&](std::u16string text, std::u16string sqlstate, LONG native) {
        com_error_record r;
        r.clsid = clsid;
        r.iid = iid;
        r.description = std::move(text);
        r.source = tds_error_source;
        r.sqlstate = std::move(sqlstate);
        r.native_error = native;
        records.push_back(std::move(r));
    };
    if (!lead.empty()) {
        add(lead, u"08001", diagnostics.empty() ? 0 : diagnostics.front().native);
    } else if (tds_connection_lost(diagnostics)) {
        result = E_FAIL;
        LONG native = 0;
        std::u16string why;
        for (const odbc::diagnostic& d : diagnostics) {
            if (odbc::is_connection_lost(d)) {
                native = d.native;
                why = tds_strip_prefixes(d.message);
                break;
            }
        }
        add(u"The connection to the server was lost (" + why + u").", u"08S01", native);
    }
    for (const odbc::diagnostic& d : diagnostics) {
        add(tds_strip_prefixes(d.message), d.sqlstate, d.native);
    }
    if (records.empty()) {
        add(fallback, u"HY000", 0);
    }
    for (com_error_record& r : records) {
        r.result = result;
    }
    return com_post_error(std::move(records));
}

bool tds_next_result_with_columns(odbc::statement& statement, std::vector<tds_column>& columns,
                                  bool first) {
    columns.clear();
    for (bool at_result = first;; at_result = true) {
        if (!at_result) {
            const odbc::outcome o = statement.more_results();
            if (o == odbc::outcome::no_data) {
                return true;
            }
            if (o == odbc::outcome::error) {
                return false;
            }
        }
        const int count = statement.column_count();
        if (count < 0) {
            return false;
        }
        if (count > 0) {
            columns.reserve(static_cast<std::size_t>(count));
            for (int i = 1; i <= count; ++i) {
                odbc::column_description d;
                if (!statement.describe(i, d)) {
                    return false;
                }
                columns.push_back(tds_map_column(d));
            }
            tds_layout_row(columns);
            return true;
        }
        // A result without columns (a row count, a SET): on to the next.
    }
}

bool tds_drain(odbc::statement& statement, std::int64_t* rows_affected) {
    for (;;) {
        if (rows_affected != nullptr && statement.column_count() == 0) {
            const std::int64_t n = statement.row_count();
            if (n >= 0) {
                *rows_affected = (*rows_affected < 0 ? 0 : *rows_affected) + n;
            }
        }
        const odbc::outcome o = statement.more_results();
        if (o == odbc::outcome::no_data) {
            return true;
        }
        if (o == odbc::outcome::error) {
            return false;
        }
    }
}

bool tds_execute(tds_link& link, std::u16string_view sql, bool want_rows, tds_execution& out) {
    out = tds_execution{};
    out.connection = link.acquire(out.diagnostics);
    if (!out.connection) {
        out.connect_failed = true;
        return false;
    }
    out.statement = std::make_unique<odbc::statement>(*out.connection);
    // A batch that failed may have stopped between a SET and the SET that undoes it (a probe's
    // FMTONLY, an IDENTITY_INSERT): its connection is closed rather than pooled, so that no later
    // statement inherits settings nobody knows of.
    const auto fail = [&] {
        out.diagnostics = out.statement->diagnostics();
        out.statement.reset();
        out.connection.reset();
        return false;
    };
    if (!out.statement->valid()) {
        return fail();
    }
    const odbc::outcome o = out.statement->execute(sql);
    if (o == odbc::outcome::error) {
        return fail();
    }
    if (want_rows && o != odbc::outcome::no_data) {
        if (!tds_next_result_with_columns(*out.statement, out.columns, true)) {
            return fail();
        }
        if (!out.columns.empty()) {
            return true;
        }
    } else if (o != odbc::outcome::no_data) {
        if (!tds_drain(*out.statement, &out.rows_affected)) {
            return fail();
        }
    }
    out.statement.reset();
    link.release(std::move(out.connection));
    return true;
}
