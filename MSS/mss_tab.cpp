// MS SQL tables and queries.
#include "MSS/mss_tab.h"

#include "MSS/mss_engi.h"
#include "MSS/mss_gap.h"
#include "MSS/mss_tnam.h"
#include "MSS/odb_exce.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"

#include <cwchar>

namespace {

constexpr int mode_no_rowset = 2;
constexpr int mode_read_only = 0x01;
constexpr int no_table_code = 0x0E37; // DB_E_NOTABLE's low 16 bits

} // namespace

// ---- odb_table ---------------------------------------------------------------------------

odb_table::odb_table(const std::wstring& name, IOpenRowset* session_in, int mode_in,
                     udb_relationships* relationships_in)
    : odb_recordset(name), session(session_in), relationships(relationships_in), mode(mode_in) {
    tk_log_wmessage(2, L"odb_table::odb_table(%ls,%d)", name.c_str(), mode);
    rec_count = get_records_cnt();
    tk_log_message(2, "Got %llu records", static_cast<unsigned long long>(rec_count));
    if (mode == mode_no_rowset) {
        return;
    }
    initialize_with_retry(true);
}

odb_table::odb_table(const std::wstring& name, const std::wstring& query_text,
                     IOpenRowset* session_in, int mode_in, udb_relationships* relationships_in)
    : odb_recordset(name), session(session_in), relationships(relationships_in), mode(mode_in) {
    query = query_text;
    tk_log_wmessage(2, L"odb_table::odb_table(%ls,%d)", name.c_str(), mode);
    tk_log_wmessage(1, L"sql=%ls", query.c_str());
    if (mode != mode_no_rowset) {
        initialize_with_retry(false);
    }
    rec_count = get_records_cnt();
    tk_log_message(2, "Got %llu records", static_cast<unsigned long long>(rec_count));
}

odb_table::~odb_table() {
    session.reset();
}

void odb_table::initialize_with_retry(bool table_form) {
    try {
        internal_initialize(mode);
    } catch (const odb_exception& e) {
        if ((e.code & 0xFFFF) != no_table_code) {
            throw;
        }
        tk_log_message(2, "Got table_not_exists error");
        std::wstring table;
        std::wstring owner;
        mss_split_tab_name(name, table, owner);
        name = mss_format_tab_name(L"dbo", table);
        if (!table_form) {
            tk_log_wmessage(2, L"Creating %ls", name.c_str());
        }
        internal_initialize(mode);
        if (table_form) {
            tk_log_wmessage(2, L"Creating %ls", name.c_str());
        }
    }
}

void odb_table::internal_initialize(int open_mode) {
    tk_log_message(2, "odb_table::internal_initialize");
    if (is_query()) {
        odb_command command(session.get());
        command.execute(query, &rowset);
    } else {
        std::u16string table_name = tk_to_utf16(name);
        DBID table_id{};
        table_id.eKind = DBKIND_NAME;
        table_id.uName.pwszName = table_name.data();
        DBPROP props[2]{};
        DBPROPSET set{props, 2, DBPROPSET_ROWSET};
        ULONG sets = 0;
        if ((open_mode & mode_read_only) != 0) {
            tk_log_message(2, "Open rowset in read_only mode");
        } else {
            tk_log_message(2, "Open rowset in create/append mode");
            props[0].dwPropertyID = DBPROP_IRowsetChange;
            props[0].dwOptions = DBPROPOPTIONS_REQUIRED;
            props[0].colid = DB_NULLID;
            props[0].vValue.vt = VT_BOOL;
            props[0].vValue.boolVal = VARIANT_TRUE;
            props[1].dwPropertyID = DBPROP_UPDATABILITY;
            props[1].dwOptions = DBPROPOPTIONS_REQUIRED;
            props[1].colid = DB_NULLID;
            props[1].vValue.vt = VT_I4;
            props[1].vValue.lVal = DBPROPVAL_UP_INSERT;
            sets = 1;
        }
        odb_check(session->OpenRowset(nullptr, &table_id, nullptr, IID_IRowset, sets,
                                      sets != 0 ? &set : nullptr, rowset.out_unknown()));
    }
    initialize(true);
}

std::unique_ptr<odb_recordset> odb_table::run_query(const std::wstring& sql) {
    odb_command command(session.get());
    ole_com_ptr<IRowset> result;
    command.execute(sql, &result);
    return std::make_unique<odb_recordset>(result.get());
}

std::uint64_t odb_table::get_records_cnt() {
    tk_log_message(2, "odb_table::get_records_cnt");
    const std::wstring sql = is_query() ? L"SELECT COUNT_BIG(*) FROM (" + query + L") as query"
                                        : L"SELECT COUNT_BIG(*) FROM " + name;
    std::unique_ptr<odb_recordset> records;
    try {
        records = run_query(sql);
    } catch (const odb_exception& error) {
        if (!is_query()) {
            throw; // a table that cannot be counted does not exist for the run
        }
        // SQL Server refuses to count some queries it runs (an ORDER BY without TOP, for
        // one): their rows are still read, to the result's end.
        tk_log_wmessage(3,
                        L"The rows of query '%ls' cannot be counted; they are read without "
                        L"a total.",
                        name.c_str());
        tk_log_message(3, "%s", error.what());
        return unknown_count;
    }
    records->reset();
    const std::wstring text = (*records->get_item())[0]->to_wstring();
    return static_cast<std::uint64_t>(std::wcstoll(text.c_str(), nullptr, 10));
}

bool odb_table::is_eof() {
    tk_log_message(1, "odb_table::is_eof(%d:%d)", static_cast<int>(cur_pos),
                   static_cast<int>(rec_count));
    // The rowset decides where the table ends: rows deleted after the count would otherwise
    // make the cursor read past the end, and rows added would be dropped.
    const bool dry = odb_recordset::is_eof();
    if (dry && rowset && !count_reported_ && rec_count != unknown_count && cur_pos != rec_count) {
        count_reported_ = true;
        const std::wstring text = L"Table '" + name + L"': " + std::to_wstring(rec_count) +
                                  L" rows were counted, " + std::to_wstring(cur_pos) +
                                  L" rows were read.";
        tk_log_wmessage(3, L"%ls", text.c_str());
        if (cur_pos < rec_count) {
            throw tk_exception(text, 0);
        }
    }
    return dry;
}

void odb_table::reset() {
    tk_log_message(1, "odb_table::reset()");
    odb_recordset::reset();
    rec_count = get_records_cnt();
    count_reported_ = false;
    tk_log_message(1, "n_records=%d", static_cast<int>(rec_count));
}

// ---- mss_table ---------------------------------------------------------------------------

mss_table::mss_table(const std::wstring& name_in, IOpenRowset* session_in, int flags,
                     udb_relationships* relationships_in)
    : odb_table(name_in, session_in, flags, relationships_in), command(session_in) {
    tk_log_wmessage(2, L"mss_table::ctor1(%ls)", name.c_str());
    init_schema();
    tk_log_message(1, "mss_table::split_tab_name");
    std::wstring table;
    std::wstring owner;
    mss_split_tab_name(name, table, owner);
    read_identity(table, owner);
    if ((flags & 0x60) != 0x60) {
        // Each statement reports its own failure; the table moves without what it lacks.
        if (mss_engine::instance()->version() == mss_engine::version_azure) {
            tk_log_message(2, "Alternate init_indexes for SQL Azure");
            init_indexes2(table, owner);
        } else {
            init_indexes(table, owner);
        }
    }
    for (std::size_t i = 0; i < schema.size(); ++i) {
        if (schema[i]->b_auto_num) {
            tk_log_message(2, "Auto-increment found: field #%d", static_cast<int>(i));
            b_identity = true;
            break;
        }
    }
}

mss_table::mss_table(const std::wstring& name_in, const std::wstring& query_text,
                     IOpenRowset* session_in, int flags, udb_relationships* relationships_in)
    : odb_table(name_in, query_text, session_in, flags, relationships_in), command(session_in) {
    tk_log_wmessage(2, L"mss_table::ctor2(%ls)", name.c_str());
}

void mss_table::read_identity(const std::wstring& table, const std::wstring& owner) {
    std::wstring sql = L"SELECT NAME AS COLUMNNAME,CAST(LAST_VALUE AS INT),CAST(INCREMENT_VALUE "
                       L"AS INT) FROM SYS.IDENTITY_COLUMNS WHERE OBJECT_NAME(OBJECT_ID)='" +
                       mss_escape_literal(table) + L"'";
    if (!owner.empty()) {
        sql += L" AND OBJECT_SCHEMA_NAME(OBJECT_ID)='" + mss_escape_literal(owner) + L"'";
    }
    try {
        auto records = run_query(sql);
        records->reset();
        if (!records->is_eof()) {
            const udb_record& row = *records->get_item();
            const std::int32_t last = row[1]->to_long();
            const std::int32_t step = row[2]->to_long();
            if (last != 1 || step != 1) {
                schema.seed = last;
                schema.increment = step;
                tk_log_message(2, "Autoincrement: seed=%d, increment=%d", last, step);
            }
        }
    } catch (const odb_exception& e) {
        mss_report_catalogue_gap(name, "The auto-increment start and step", e);
    }
}

mss_table::~mss_table() {
    tk_log_message(2, "mss_table::dtor(b_identity=%d)", b_identity);
    // Its last rows are committed, or their loss reported.
    try {
        tk_log_message(2, "Right before fl.close_table");
        if (fl.is_open()) {
            fl.close_table();
        }
        tk_log_message(2, "Right after fl.close_table");
    } catch (const tk_exception& e) {
        tk_log_message(3, "Got tk_exception in mss_table::dtor: %s", e.message.c_str());
    }
    tk_log_message(2, "mss_table::dtor - at the end");
}

mss_table* mss_table::refine_by_sql_query(const std::wstring& select) {
    tk_log_wmessage(2, L"mss_table::refine_by_sql_query(%ls)", select.c_str());
    odb_command refine(session.get());
    if (rowset) {
        clean_cache();
        accessor.clean_everything();
        rowset.reset();
    } else {
        tk_log_message(2, "IRowset is not initialized yet");
    }
    refine.execute(select, &rowset);
    initialize(false);
    return this;
}
