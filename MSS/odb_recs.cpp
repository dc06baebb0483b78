// Rowset reading.
#include "MSS/odb_recs.h"

#include "MSS/odb_exce.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"

#include <cstring>
#include <utility>

odb_recordset::odb_recordset(const std::wstring& name) : udb_recordset(name) {
}

odb_recordset::odb_recordset(IRowset* rowset_in)
    : udb_recordset(std::wstring()), rowset(rowset_in) {
    tk_log_message(1, "odb_recordset::ctor");
    initialize(true);
}

odb_recordset::~odb_recordset() {
    tk_log_message(1, "odb_recordset::dtor");
    clean_cache();
    // The accessor still points at the column information: release its binding first.
    accessor.clean_everything();
    free_column_info();
    tk_log_message(1, "odb_recordset::dtor - END");
    rowset.reset();
}

void odb_recordset::free_column_info() {
    CoTaskMemFree(column_info);
    column_info = nullptr;
    CoTaskMemFree(column_strings);
    column_strings = nullptr;
}

void odb_recordset::initialize(bool build_schema) {
    tk_log_message(1, "odb_recordset::initialize");
    if (!rowset) {
        tk_log_message(2, "Rowset isn't defined");
        return;
    }
    ole_com_ptr<IColumnsInfo> columns_info;
    odb_check(rowset->QueryInterface(IID_IColumnsInfo, columns_info.out_void()));
    clean_cache();
    accessor.clean_everything();
    free_column_info();
    DBORDINAL count = 0;
    odb_check(columns_info->GetColumnInfo(&count, &column_info, &column_strings));
    column_count = static_cast<unsigned>(count);
    tk_log_message(1, "*** Got %d columns ***", static_cast<int>(column_count));

    if (build_schema) {
        schema.reset();
        for (unsigned i = 0; i < column_count; ++i) {
            const DBCOLUMNINFO& c = column_info[i];
            const std::wstring name =
                c.pwszName != nullptr ? tk_utf16_to_wstring(c.pwszName) : std::wstring();
            tk_log_wmessage(2, L"Column '%ls' (#%d) has type=%d, size=%d", name.c_str(),
                            static_cast<int>(i), c.wType, static_cast<int>(c.ulColumnSize));
            std::int32_t reserved = 0;
            const VARTYPE vt =
                odb_record::get_vartype(c.wType, c.ulColumnSize, c.dwFlags, reserved);
            auto size = static_cast<std::int32_t>(c.ulColumnSize);
            if (c.wType == DBTYPE_GUID) {
                tk_log_message(2, "Update column size for DBTYPE_GUID");
                size = 36;
            }
            tk_log_message(2, "f_size=%d", size);
            if (vt == VT_BSTR && c.wType == DBTYPE_GUID) {
                tk_log_message(2, "Set dw_reserved = 1 for DBTYPE_GUID");
                reserved = 1;
            }
            tk_log_message(1, ">>> reserved=%d", reserved);
            if (ole_variant::is_byte_array(vt)) {
                size = 0;
            }
            auto ftd =
                std::make_shared<t_ftd>(size, name, vt, (c.dwFlags & DBCOLUMNFLAGS_ISNULLABLE) == 0,
                                        false, ole_variant(), reserved, std::wstring());
            if (vt == VT_DECIMAL) {
                tk_log_wmessage(2, L"Scale/precision for decimal column '%ls': (%d, %d)",
                                name.c_str(), c.bScale, c.bPrecision);
                ftd->prec = c.bPrecision;
                ftd->scale = c.bScale;
            } else if (vt == VT_DATE) {
                tk_log_wmessage(2, L"Scale for date column '%ls': %d", name.c_str(), c.bScale);
                ftd->prec = 0;
                ftd->scale = c.bScale;
            }
            schema.push_back(std::move(ftd));
        }
    }
    accessor.bind(rowset.get(), column_count, column_info);
}

void odb_recordset::append_record(const udb_record&) {
    throw tk_mail_assertion("odb_recs", 55);
}

void odb_recordset::reserved1() {
}
void odb_recordset::prev() {
}
void odb_recordset::delete_key(const std::wstring&) {
}
void odb_recordset::delete_key(const udb_record&) {
}

void odb_recordset::clean_cache() {
    tk_log_message(1, "odb_recordset::clean_cache(rows_obtaind=%d)",
                   static_cast<int>(rows_obtaind));
    for (auto& record : cache) {
        record.reset();
    }
    rows_obtaind = 0;
    tk_log_message(1, "odb_recordset::clean_cache - END");
}

void odb_recordset::fill_cache() {
    tk_log_message(1, "odb_recordset::fill_cache");
    tk_check(static_cast<bool>(rowset), "odb_recs", 188);
    HROW handles[cache_size] = {};
    HROW* handles_out = handles;
    DBCOUNTITEM obtained = 0;
    odb_check(rowset->GetNextRows(DB_NULL_HCHAPTER, 0, cache_size, &obtained, &handles_out));
    if (obtained > cache_size) {
        obtained = cache_size;
    }
    tk_log_message(1, "GetNextRows extracts %d records", static_cast<int>(obtained));
    // A row that cannot be read keeps the rows before it: they are delivered first, and its
    // failure is raised when the cursor reaches it.
    for (DBCOUNTITEM i = 0; i < obtained; ++i) {
        try {
            if (cache[i] != nullptr) {
                accessor.read_record(rowset.get(), handles[i], *cache[i]);
            } else {
                cache[i] = accessor.get_record(rowset.get(), handles[i]);
            }
        } catch (...) {
            pending_failure_ = std::current_exception();
            break;
        }
        rows_obtaind = static_cast<unsigned>(i + 1);
    }
    const HRESULT released = rowset->ReleaseRows(obtained, handles, nullptr, nullptr, nullptr);
    if (rows_obtaind == 0 && pending_failure_) {
        std::rethrow_exception(std::exchange(pending_failure_, nullptr));
    }
    odb_check(released);
    tk_log_message(1, "End of odb_recordset::fill_cache");
}

void odb_recordset::reset() {
    tk_log_message(1, "odb_recordset::reset");
    if (!rowset) {
        return;
    }
    tk_log_message(1, "cur_pos=%d, local_pos=%d", static_cast<int>(cur_pos),
                   static_cast<int>(local_pos));
    odb_check(rowset->RestartPosition(DB_NULL_HCHAPTER));
    clean_cache();
    pending_failure_ = nullptr;
    cur_pos = 0;
    local_pos = 0;
    fill_cache();
}

bool odb_recordset::is_eof() {
    tk_log_message(1, "odb_recordset::is_eof(%d)", static_cast<int>(cur_pos));
    tk_log_message(1, "rows_obtaind=%d", static_cast<int>(rows_obtaind));
    return !rowset || rows_obtaind == 0;
}

udb_record* odb_recordset::get_item() {
    tk_log_message(1, "odb_recordset::get_item(local_pos=%d, rows_obtaind=%d)",
                   static_cast<int>(local_pos), static_cast<int>(rows_obtaind));
    tk_check(local_pos < rows_obtaind, "..\\MSS/odb_recs", 82);
    return cache[local_pos].get();
}

void odb_recordset::next() {
    tk_log_message(1, "odb_recordset::next(%d)", static_cast<int>(cur_pos));
    tk_log_message(1, "local_pos=%d, rows_obtaind=%d", static_cast<int>(local_pos),
                   static_cast<int>(rows_obtaind));
    tk_check(rows_obtaind > 0, "odb_recs", 218);
    if (local_pos + 1 < rows_obtaind) {
        ++local_pos;
    } else {
        // The records stay: the next rows are read into them.
        rows_obtaind = 0;
        local_pos = 0;
        if (pending_failure_) {
            std::rethrow_exception(std::exchange(pending_failure_, nullptr));
        }
        fill_cache();
    }
    ++cur_pos;
}
