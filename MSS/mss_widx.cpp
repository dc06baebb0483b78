// The MS SQL writer: primary keys, unique constraints, indexes and Azure's clustered index.
#include "MSS/mss_db.h"

#include "MSS/mss_engi.h"
#include "MSS/mss_tnam.h"
#include "MSS/mss_werr.h"
#include "MSS/odb_cmd.h"
#include "MSS/odb_exce.h"
#include "MSS/odb_recs.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"

#include <atomic>
#include <cstdint>
#include <cwchar>

namespace {

std::atomic<std::int64_t> index_counter{0};

bool is_long_type(VARTYPE type) {
    return type == VT_BSTR || type == VT_BLOB || type == (VT_ARRAY | VT_UI1);
}

} // namespace

bool mss_may_be_null(const udb_schema& schema, const std::wstring& column) {
    if (!schema.find_field(column)) {
        return true;
    }
    const t_ftd& field = schema.get_field2(column);
    return !field.b_not_null && !field.b_auto_num;
}

std::wstring gen_idx_name2() {
    tk_log_message(1, "gen_idx_name2");
    return L"IDX_" + std::to_wstring(++index_counter);
}

void mss_database::create_indexes(const std::wstring& table, const udb_schema& schema,
                                  const udb_indexes& indexes) {
    tk_log_wmessage(2, L"mss_database::create_indexes(%ls)", table.c_str());
    udb_database::create_indexes(table, schema, indexes);
    if (!pk_created && mss_engine::ref().version() == mss_engine::version_azure) {
        create_clustered_index(table, schema);
    }
}

void mss_database::create_index(const std::wstring& table, const udb_schema& schema,
                                const udb_index& index) {
    tk_log_message(2, "mss_database::create_index");
    if (index.columns.empty()) {
        tk_log_wmessage(3, L"Index '%ls': no fields, cannot build index",
                        mss_enclose_name(index.name).c_str());
        return;
    }
    mss_engine& engine = mss_engine::ref();
    const std::wstring qualified = engine.get_dest_tname(table);
    std::wstring sql;
    if (index.b_primary) {
        sql = L"ALTER TABLE " + qualified;
        if (index.name.empty() || is_index_exist(index, true)) {
            sql += L" ADD PRIMARY KEY NONCLUSTERED(";
        } else {
            sql +=
                L" ADD CONSTRAINT " + mss_enclose_name(index.name) + L" PRIMARY KEY NONCLUSTERED(";
        }
    } else if (index.b_constraint) {
        tk_log_wmessage(2, L"Processing unique constraint '%ls'", index.name.c_str());
        sql = L"ALTER TABLE " + qualified + L" ADD";
        if (!index.name.empty() && !is_index_exist(index, true)) {
            sql += L" CONSTRAINT " + mss_enclose_name(index.name);
        }
        sql += L" UNIQUE (";
    } else {
        sql = index.b_unique ? L"CREATE UNIQUE INDEX " : L"CREATE INDEX ";
        sql += index.name.empty() || is_index_exist(index, false) ? gen_idx_name2()
                                                                  : mss_enclose_name(index.name);
        sql += L" ON " + qualified + L"(";
    }
    // Only an index takes a filter: after a constraint's column list a WHERE is a syntax error.
    const bool filtered =
        engine.version() >= 5 && index.b_unique && !index.b_primary && !index.b_constraint;
    std::wstring filter;
    // Wide enough that a missing column's size (all ones) cannot wrap round to a small total.
    std::uint64_t total = 0;
    bool first = true;
    for (const std::wstring& column : index.columns) {
        const std::uint64_t size = schema.get_field_size(column);
        const VARTYPE type = schema.get_field_type(column);
        const std::uint64_t bytes = type == VT_BSTR ? size * 2 : size;
        tk_log_wmessage(1, L"Index field '%ls' has vt=%08X, size=%d", column.c_str(),
                        static_cast<unsigned>(type), static_cast<int>(size));
        total += bytes;
        tk_log_message(1, "Total index size=%llu", static_cast<unsigned long long>(total));
        if (total > 900 || type == VT_BOOL ||
            (is_long_type(type) && (bytes == 0 || bytes > 8000))) {
            tk_log_wmessage(3, L"Index '%ls' has been skipped", index.name.c_str());
            return;
        }
        if (!first) {
            sql += L", ";
        }
        sql += mss_enclose_name(column);
        // Only nullable columns get a term: a filter that leaves no row out still keeps the
        // index from serving as a foreign key's candidate key.
        if (filtered && mss_may_be_null(schema, column)) {
            filter += (filter.empty() ? L" WHERE " : L" AND ") + mss_enclose_name(column) +
                      L" IS NOT NULL";
        }
        first = false;
    }
    sql += L")" + filter;
    tk_log_wmessage(2, L"Create index query: '%ls'", sql.c_str());
    try {
        odb_command command(session.get());
        command.execute(sql);
    } catch (const odb_exception& e) {
        tk_log_message(2, "Error: %s", e.what());
        mss_report_writer_error(
            index.name.empty() ? tk_to_utf8(table) : "Index '" + tk_to_utf8(index.name) + "'",
            mss_writer_error(index.b_primary ? "Can't create primary key." : "Can't create index.",
                             e));
    }
    if (index.b_primary) {
        pk_created = true;
    }
}

void mss_database::create_clustered_index(const std::wstring& table, const udb_schema& schema) {
    tk_log_message(2, "mss_database::create_clustered_index");
    const t_ftd* chosen = nullptr;
    for (const auto& column : schema) {
        if (is_long_type(column->type) && static_cast<std::uint32_t>(column->size) - 1 > 7998) {
            tk_log_wmessage(2, L"Field '%ls' is not suitable for building index",
                            column->name.c_str());
            continue;
        }
        chosen = column.get();
        break;
    }
    if (chosen == nullptr) {
        tk_log_message(1, "Failed to find a field for building clustered index");
        return;
    }
    // Qualified: a table outside the login's default schema must be the one indexed.
    const std::wstring sql =
        L"CREATE CLUSTERED INDEX " + mss_enclose_name(chosen->name + L"_clust_idx") + L" ON " +
        mss_engine::ref().get_dest_tname(table) + L"(" + mss_enclose_name(chosen->name) + L")";
    tk_log_wmessage(2, L"CLUSTERED-index-query: %ls", sql.c_str());
    try {
        odb_command command(session.get());
        command.execute(sql);
    } catch (const tk_exception& e) {
        tk_log_message(2, "ERROR: %s", e.what());
        mss_report_writer_error(tk_to_utf8(table),
                                mss_writer_error("Can't create clustered index.", e));
    }
}

bool mss_database::is_index_exist(const udb_index& index, bool constraint) {
    tk_log_wmessage(1, L"mss_database::is_index_exist('%ls',%d)", index.name.c_str(),
                    constraint ? 1 : 0);
    const std::wstring sql =
        std::wstring(constraint
                         ? L"SELECT COUNT(*) FROM INFORMATION_SCHEMA.TABLE_CONSTRAINTS WHERE "
                           L"CONSTRAINT_NAME=N'"
                         : L"SELECT COUNT(*) FROM SYS.INDEXES WHERE NAME=N'") +
        mss_escape_literal(index.name) + L"'";
    std::int32_t count = 0;
    try {
        auto rows = run(sql);
        rows->reset();
        tk_check(!rows->is_eof(), "odb_recs", 0);
        count = (*rows->get_item())[0]->to_long();
    } catch (const odb_exception& e) {
        tk_log_message(3, "Error extracting indexes:\n%s\n", e.what());
        count = 0;
    }
    tk_log_message(1, "n_recs=%d", count);
    return count != 0;
}

std::wstring mss_database::gen_idx_name(const udb_recordset* table,
                                        const std::vector<std::wstring>& columns) {
    tk_log_message(1, "mss_database::gen_idx_name");
    tk_check(table != nullptr, "mss_db", 1254);
    std::wstring base = L"UIDX";
    for (const std::wstring& column : columns) {
        base += L"_" + column;
    }
    if (table->indexes.is_acceptable_name(base)) {
        return base;
    }
    for (int number = 0; number < 100000; ++number) {
        wchar_t suffix[16];
        std::swprintf(suffix, 16, L"_%05d", number);
        const std::wstring candidate = base + suffix;
        tk_log_wmessage(1, L"udb_indexes::is_acceptable_name(%ls)", candidate.c_str());
        if (table->indexes.is_acceptable_name(candidate)) {
            return candidate;
        }
    }
    throw tk_mail_assertion("mss_db", 1272);
}
