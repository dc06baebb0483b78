// The bulk load: accessor, row buffer and bulk-copy rowset.
#include "MSS/mss_floa.h"

#include "MSS/mss_engi.h"
#include "MSS/odb_exce.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "UDB/udb_schema.h"
#include "UDB/udb_services.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::int32_t commit_bytes = 100000;

DBLENGTH alignment(DBTYPE type) {
    if ((type & (DBTYPE_BYREF | 0x2000 | 0x1000)) != 0) {
        return 8;
    }
    switch (type) {
    case DBTYPE_I1:
    case DBTYPE_UI1:
    case DBTYPE_I8:
    case DBTYPE_UI8:
    case DBTYPE_BYTES:
    case DBTYPE_STR:
    case DBTYPE_NUMERIC:
        return 1;
    case DBTYPE_I2:
    case DBTYPE_BOOL:
    case DBTYPE_UI2:
    case DBTYPE_WSTR:
    case DBTYPE_DBDATE:
    case DBTYPE_DBTIME:
        return 2;
    case DBTYPE_I4:
    case DBTYPE_R4:
    case DBTYPE_ERROR:
    case DBTYPE_UI4:
    case DBTYPE_GUID:
    case DBTYPE_DBTIMESTAMP:
        return 4;
    default:
        return 8;
    }
}

DBLENGTH round_up(DBLENGTH value, DBLENGTH to) {
    return (value + to - 1) / to * to;
}

// Whether the server takes the 2008 date and time types through a native provider.
bool modern_dates() {
    const mss_engine* engine = mss_engine::pointer();
    return engine != nullptr && engine->is_connected() && engine->is_native() &&
           engine->version() >= 5;
}

} // namespace

// ---- CDynamicAccessorEx ------------------------------------------------------------------------

CDynamicAccessorEx::CDynamicAccessorEx() = default;

CDynamicAccessorEx::~CDynamicAccessorEx() {
    free_record_memory();
    if (accessor_ && handle_ != DB_NULL_HACCESSOR) {
        accessor_->ReleaseAccessor(handle_, nullptr);
    }
}

void CDynamicAccessorEx::Bind(DBBINDING& binding, DBORDINAL ordinal, DBTYPE type, DBLENGTH length,
                              BYTE precision, BYTE scale, DBPARAMIO direction, DBBYTEOFFSET data,
                              DBBYTEOFFSET length_offset, DBBYTEOFFSET status, DBOBJECT* object) {
    tk_log_message(1, "CDynamicAccessorEx::Bind");
    BindEx(binding, ordinal, type, length, precision, scale, direction, data, length_offset, status,
           object, (type & DBTYPE_BYREF) != 0 ? DBMEMOWNER_PROVIDEROWNED : DBMEMOWNER_CLIENTOWNED,
           false);
}

void CDynamicAccessorEx::BindEx(DBBINDING& binding, DBORDINAL ordinal, DBTYPE type, DBLENGTH length,
                                BYTE precision, BYTE scale, DBPARAMIO direction, DBBYTEOFFSET data,
                                DBBYTEOFFSET length_offset, DBBYTEOFFSET status, DBOBJECT* object,
                                DBMEMOWNER owner, bool without_value) {
    tk_log_message(1, "CDynamicAccessorEx::BindEx");
    tk_log_message(1, "nOrdinal=%d, wType=%d, nLength=%d, nPrecision=%d, nScale=%d, nDataOffset=%d",
                   static_cast<int>(ordinal), static_cast<int>(type), static_cast<int>(length),
                   precision, scale, static_cast<int>(data));
    binding = DBBINDING{};
    binding.iOrdinal = ordinal;
    binding.wType = type;
    binding.bPrecision = precision;
    binding.bScale = scale;
    binding.cbMaxLen = length;
    binding.pObject = object;
    binding.dwMemOwner = owner;
    binding.eParamIO = direction;
    if (!without_value) {
        binding.dwPart = DBPART_VALUE;
        binding.obValue = data;
    }
    if (length_offset != 0) {
        tk_log_message(1, "Activate DBPART_LENGTH");
        binding.dwPart |= DBPART_LENGTH;
        binding.obLength = length_offset;
    }
    if (status != 0) {
        tk_log_message(1, "Activate DBPART_STATUS");
        binding.dwPart |= DBPART_STATUS;
        binding.obStatus = status;
    }
}

bool CDynamicAccessorEx::test_streams(IUnknown* rowset, IID& stream) {
    tk_log_message(2, "Testing streams support... ");
    stream = IID_ISequentialStream;
    ole_com_ptr<IRowsetInfo> info;
    if (FAILED(rowset->QueryInterface(IID_IRowsetInfo, info.out_void()))) {
        tk_log_message(2, "neither ISequentialStream nor IStream are supported!");
        return false;
    }
    DBPROPID ids[] = {DBPROP_ISequentialStream, DBPROP_IStream};
    DBPROPIDSET id_set{ids, 2, DBPROPSET_ROWSET};
    ULONG count = 0;
    DBPROPSET* sets = nullptr;
    const HRESULT hr = info->GetProperties(1, &id_set, &count, &sets);
    bool sequential = false;
    bool full = false;
    if (SUCCEEDED(hr) && sets != nullptr) {
        for (ULONG s = 0; s < count; ++s) {
            for (ULONG p = 0; p < sets[s].cProperties; ++p) {
                DBPROP& prop = sets[s].rgProperties[p];
                const bool on = prop.dwStatus == DBPROPSTATUS_OK && prop.vValue.vt == VT_BOOL &&
                                prop.vValue.boolVal != 0;
                if (prop.dwPropertyID == DBPROP_ISequentialStream) {
                    sequential = on;
                } else if (prop.dwPropertyID == DBPROP_IStream) {
                    full = on;
                }
                VariantClear(&prop.vValue);
            }
            CoTaskMemFree(sets[s].rgProperties);
        }
        CoTaskMemFree(sets);
    }
    if (sequential) {
        tk_log_message(2, "ISequentialStream is supported");
    } else if (full) {
        tk_log_message(2, "IStream is supported");
        stream = IID_IStream;
    } else {
        tk_log_message(2, "neither ISequentialStream nor IStream are supported!");
    }
    return sequential || full;
}

HRESULT CDynamicAccessorEx::BindColumns(IUnknown* rowset, const udb_schema& schema) {
    tk_log_message(2, "CDynamicAccessorEx::BindColumns");
    HRESULT hr = rowset->QueryInterface(IID_IAccessor, accessor_.out_void());
    if (FAILED(hr)) {
        return hr;
    }
    ole_com_ptr<IColumnsInfo> info;
    hr = rowset->QueryInterface(IID_IColumnsInfo, info.out_void());
    if (FAILED(hr)) {
        return hr;
    }
    DBORDINAL count = 0;
    DBCOLUMNINFO* infos = nullptr;
    OLECHAR* strings = nullptr;
    hr = info->GetColumnInfo(&count, &infos, &strings);
    if (FAILED(hr)) {
        return hr;
    }
    columns_.clear();
    columns_.reserve(count);
    std::vector<DBBINDING> bindings(count);
    // The bindings handed over point into this member, so they stay valid while the accessor
    // lives, for the provider and for anyone reading them back.
    objects_.assign(count, DBOBJECT{});
    std::vector<DBOBJECT>& objects = objects_;
    const bool modern = modern_dates();
    bool streams_tested = false;
    IID stream = IID_ISequentialStream;
    DBLENGTH o = 0;
    for (DBORDINAL i = 0; i < count; ++i) {
        const DBCOLUMNINFO& ci = infos[i];
        column c;
        c.ordinal = ci.iOrdinal;
        c.type = ci.wType;
        c.reported = ci.wType;
        c.precision = ci.bPrecision;
        c.scale = ci.bScale;
        c.fraction_digits = ci.bScale;
        c.size = ci.ulColumnSize;
        const t_ftd* ftd = i < schema.size() ? schema[i].get() : nullptr;
        if (ftd != nullptr && ftd->type == VT_DATE && modern) {
            tk_log_message(1, "Adjusting date/time columns (schema[i]->dw_reserved=%d)",
                           ftd->dw_reserved);
            tk_log_message(2, "ulColumnSize=%d", static_cast<int>(c.size));
            tk_log_message(2, "m_pColumnInfo[i].wType=%d", c.type);
            switch (ftd->dw_reserved & 3) {
            case 1:
                tk_log_message(2, "Got DATETIME, bPrecision=%d", c.precision);
                c.scale = 3;
                break;
            case 2:
                tk_log_message(2, "Got pure DATE");
                c.type = DBTYPE_DBDATE;
                c.precision = 0;
                c.scale = 0;
                c.size = sizeof(DBDATE);
                break;
            case 3:
                tk_log_message(2, "Got pure TIME");
                c.type = DBTYPE_DBTIME2;
                c.precision = 0;
                c.scale = 4;
                c.size = sizeof(DBTIME2);
                break;
            default:
                break;
            }
        }
        DBOBJECT* object = nullptr;
        if (c.size > blob_size_ && c.type != DBTYPE_IUNKNOWN) {
            tk_log_message(2, "Binding BLOB (column #%d)", static_cast<int>(i));
            tk_log_message(2, "m_eBlobHandling == DBBLOBHANDLING_DEFAULT");
            if (!streams_tested) {
                test_streams(rowset, stream);
                streams_tested = true;
            }
            objects[i] = DBOBJECT{STGM_READ, stream};
            object = &objects[i];
            c.type = DBTYPE_IUNKNOWN;
            c.size = sizeof(IUnknown*);
            tk_log_message(1,
                           stream == IID_IStream
                               ? "%d. Column ordinal %d: Binding as an IStream object"
                               : "%d. Column ordinal %d: Binding as an ISequentialStream object",
                           static_cast<int>(i), static_cast<int>(c.ordinal));
        } else if (c.type == DBTYPE_IUNKNOWN) {
            tk_log_message(1, "m_pColumnInfo[i].wType == DBTYPE_IUNKNOWN");
            objects[i] = DBOBJECT{STGM_READ, IID_IUnknown};
            object = &objects[i];
            c.size = sizeof(IUnknown*);
            tk_log_message(1, "%d. Column ordinal %d: Binding a COM object", static_cast<int>(i),
                           static_cast<int>(c.ordinal));
        } else {
            tk_log_message(1, "it's not a BLOB or COM object");
            if (c.type == DBTYPE_DBTIME2 || c.type == DBTYPE_DBDATE) {
                // The provider may report the size of the time's text: the slot holds the
                // structure.
                c.size = std::max<DBLENGTH>(c.size, c.type == DBTYPE_DBTIME2 ? sizeof(DBTIME2)
                                                                             : sizeof(DBDATE));
            } else if (c.type == DBTYPE_STR) {
                c.size += 1;
            } else if (c.type == DBTYPE_GUID) {
                tk_log_message(1, "Set column size for guid");
                c.size = 72;
            } else if (c.type == DBTYPE_WSTR) {
                tk_log_message(1, "Increase column size twice for wstring");
                c.size = c.size * 2 + 2;
            }
            tk_log_message(1, "%d. Column ordinal %d: - Binding as native data type",
                           static_cast<int>(i), static_cast<int>(c.ordinal));
        }
        c.data = round_up(o, alignment(c.type));
        c.length = round_up(c.data + c.size, 8);
        c.status = c.length + 8;
        o = c.status + 4;
        if (object == nullptr) {
            tk_log_message(1, "nDataOffset=%d, nLengthOffset=%d, nStatusOffset=%d",
                           static_cast<int>(c.data), static_cast<int>(c.length),
                           static_cast<int>(c.status));
        }
        Bind(bindings[i], c.ordinal, c.type, c.size, c.precision, c.scale, DBPARAMIO_NOTPARAM,
             c.data, c.length, c.status, object);
        columns_.push_back(c);
    }
    CoTaskMemFree(infos);
    CoTaskMemFree(strings);
    row_size_ = o;
    words_.assign(round_up(o, 8) / 8 + 1, 0);
    tk_log_message(1, "m_pBuffer=%08X",
                   static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(base())));
    hr =
        accessor_->CreateAccessor(DBACCESSOR_ROWDATA, count, bindings.data(), o, &handle_, nullptr);
    if (FAILED(hr)) {
        tk_log_message(1, "Failed to create Accessor!!!");
        handle_ = DB_NULL_HACCESSOR;
    }
    return hr;
}

const CDynamicAccessorEx::column* CDynamicAccessorEx::find(DBORDINAL ordinal) const {
    for (const column& c : columns_) {
        if (c.ordinal == ordinal) {
            return &c;
        }
    }
    return nullptr;
}

void CDynamicAccessorEx::release_object(const column& c) {
    if (c.type != DBTYPE_IUNKNOWN || words_.empty()) {
        return;
    }
    IUnknown* held = nullptr;
    std::memcpy(&held, value(c), sizeof held);
    if (held != nullptr) {
        held->Release();
        std::memset(value(c), 0, sizeof held);
    }
}

void CDynamicAccessorEx::add_ref_objects() {
    for (const column& c : columns_) {
        if (c.type != DBTYPE_IUNKNOWN || *status(c) == DBSTATUS_S_ISNULL) {
            continue;
        }
        IUnknown* held = nullptr;
        std::memcpy(&held, value(c), sizeof held);
        if (held != nullptr) {
            held->AddRef();
        }
    }
}

void CDynamicAccessorEx::free_record_memory() {
    for (const column& c : columns_) {
        release_object(c);
    }
}

HRESULT CDynamicAccessorEx::release() {
    free_record_memory();
    HRESULT hr = S_OK;
    if (accessor_ && handle_ != DB_NULL_HACCESSOR) {
        hr = accessor_->ReleaseAccessor(handle_, nullptr);
        if (FAILED(hr)) {
            return hr;
        }
    }
    handle_ = DB_NULL_HACCESSOR;
    accessor_.reset();
    words_.clear();
    columns_.clear();
    objects_.clear();
    row_size_ = 0;
    return hr;
}

// ---- mss_fl_failed_exception -------------------------------------------------------------------

mss_fl_failed_exception::mss_fl_failed_exception() : tk_exception(1) {
}

mss_fl_failed_exception::~mss_fl_failed_exception() = default;

mss_fl_row_exception::mss_fl_row_exception() : tk_exception(1) {
}

mss_fl_row_exception::~mss_fl_row_exception() = default;

// ---- mss_fast_load -----------------------------------------------------------------------------

mss_fast_load::mss_fast_load() {
    tk_log_message(2, "CDynamicAccessorEx::ctor");
    tk_log_message(2, "mss_fast_load::ctor");
}

mss_fast_load::~mss_fast_load() {
    tk_log_message(2, "mss_fast_load::dtor");
    accessor.free_record_memory();
    m_spFastLoad.reset();
    tk_log_message(1, "mss_fast_load::dtor - at the end");
}

HRESULT mss_fast_load::open_table(IOpenRowset* session, DBID* table, const udb_schema& schema,
                                  const std::wstring& name) {
    tk_log_message(2, "mss_fast_load::open_table");
    tk_check(!b_open_table, "mss_floa", 174);
    tk_check(table != nullptr, "mss_floa", 175);
    name_ = name;
    DBPROP props[2]{};
    for (DBPROP& p : props) {
        p.dwOptions = DBPROPOPTIONS_REQUIRED;
        p.colid = DB_NULLID;
        p.vValue.vt = VT_BOOL;
        p.vValue.boolVal = VARIANT_TRUE;
    }
    props[0].dwPropertyID = SSPROP_IRowsetFastLoad;
    props[1].dwPropertyID = SSPROP_FASTLOADKEEPIDENTITY;
    DBPROPSET set{props, 2, DBPROPSET_SQLSERVERROWSET};
    HRESULT hr = session->OpenRowset(nullptr, table, nullptr, IID_IRowsetFastLoad, 1, &set,
                                     m_spFastLoad.out_unknown());
    if (FAILED(hr)) {
        tk_log_message(2, "open_rowset->OpenRowset failed: %08X", static_cast<unsigned>(hr));
        m_spFastLoad.reset();
        return hr;
    }
    hr = accessor.BindColumns(m_spFastLoad.get(), schema);
    if (FAILED(hr)) {
        tk_log_message(2, "CDynamicAccessor::BindColumns failed: %08X", static_cast<unsigned>(hr));
        accessor.release();
        m_spFastLoad.reset();
        return hr;
    }
    tk_log_message(1, "b_open_table->true");
    b_open_table = true;
    byte_total_ = 0;
    last_record_ = 0;
    first_pending_ = 0;
    return hr;
}

bool mss_fast_load::bind_data3(const void* data, DBLENGTH count, DBLENGTH length,
                               DBORDINAL ordinal) {
    tk_log_message(2, "mss_fast_load::bind_data3(%d,%d,%d)", static_cast<int>(count),
                   static_cast<int>(length), static_cast<int>(ordinal));
    tk_check(b_open_table, "mss_floa", 80);
    const CDynamicAccessorEx::column* c = accessor.find(ordinal);
    if (c == nullptr) {
        return false;
    }
    // A value longer than its slot would run into the next column's slots.
    if (count > c->size) {
        tk_log_message(3, "Value of %llu bytes does not fit the %llu bytes of column %d",
                       static_cast<unsigned long long>(count),
                       static_cast<unsigned long long>(c->size), static_cast<int>(ordinal));
        return false;
    }
    // Only what goes to the provider counts towards the batch.
    byte_total_ += static_cast<std::int32_t>(length);
    *accessor.length(*c) = length;
    if (count == 0 && data == nullptr) {
        tk_log_message(1, "Setting NULL-flag");
        *accessor.status(*c) = DBSTATUS_S_ISNULL;
    } else {
        *accessor.status(*c) = DBSTATUS_S_OK;
    }
    accessor.release_object(*c);
    if (count > 0 && data != nullptr) {
        std::memcpy(accessor.value(*c), data, count);
    }
    tk_log_message(1, "pDataBuffer=%08X",
                   static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(accessor.value(*c))));
    tk_log_message(1, "after memcpy, BindData: type=%d, prec=%d, scale=%d", c->type, c->precision,
                   c->scale);
    tk_log_message(1, "mss_fast_load::bind_data3 - END");
    return true;
}

bool mss_fast_load::bind_data2(const void* data, DBLENGTH size, DBORDINAL ordinal) {
    tk_log_message(2, "mss_fast_load::bind_data2");
    return bind_data3(data, size, size, ordinal);
}

void mss_fast_load::bind_data4(const DB_NUMERIC& numeric, DBORDINAL ordinal) {
    tk_log_message(1, "mss_fast_load::bind_data4");
    const CDynamicAccessorEx::column* c = accessor.find(ordinal);
    if (c == nullptr || c->size < sizeof numeric) {
        return;
    }
    std::memcpy(accessor.value(*c), &numeric, sizeof numeric);
    *accessor.status(*c) = DBSTATUS_S_OK;
}

HRESULT mss_fast_load::insert_data(std::uint64_t record) {
    tk_log_message(1, "mss_fast_load::insert_data");
    tk_check(b_open_table, "mss_floa", 137);
    tk_check(static_cast<bool>(m_spFastLoad), "mss_floa", 138);
    // The provider releases the streams it is handed whatever becomes of the row; the row's own
    // references go now, so that their bytes are not kept until the next row.
    accessor.add_ref_objects();
    HRESULT hr = m_spFastLoad->InsertRow(accessor.handle(), accessor.buffer());
    accessor.free_record_memory();
    if (hr == DB_E_NOTSUPPORTED) {
        tk_log_message(2, "The row cannot be bulk-loaded as it is: it goes by statement");
        throw mss_fl_row_exception();
    }
    const std::uint64_t number = record != 0 ? record : last_record_ + 1;
    if (FAILED(hr)) {
        tk_log_message(2, "m_spFastLoad->InsertRow failed: %08X", static_cast<unsigned>(hr));
        odb_exception refused(hr, false);
        if (hr != DB_E_ERRORSOCCURRED && first_pending_ != 0) {
            // A row the copy failed to send may have broken it, and the rows sent before with
            // it: a commit tells, and a failed one leaves the rest of the table to a new copy.
            try {
                commit_batch();
            } catch (const odb_exception& lost) {
                throw odb_exception(tk_to_wstring(refused.message) + L"\n" +
                                    tk_to_wstring(lost.message) + L" Record " +
                                    std::to_wstring(number) + L" is not in the table either.");
            }
        }
        throw refused;
    }
    last_record_ = number;
    if (first_pending_ == 0) {
        first_pending_ = last_record_;
    }
    if (byte_total_ >= commit_bytes) {
        commit_batch();
    }
    return hr;
}

std::wstring mss_fast_load::lost_rows() const {
    if (first_pending_ == 0) {
        return L"no row was lost";
    }
    if (first_pending_ == last_record_) {
        return L"record " + std::to_wstring(first_pending_) + L" is not in the table";
    }
    return L"records " + std::to_wstring(first_pending_) + L" to " + std::to_wstring(last_record_) +
           L" are not in the table";
}

void mss_fast_load::commit_batch() {
    tk_check(b_open_table, "mss_floa", 139);
    byte_total_ = 0;
    if (first_pending_ == 0) {
        return;
    }
    const HRESULT hr = m_spFastLoad->Commit(FALSE);
    if (FAILED(hr)) {
        tk_log_message(2, "m_spFastLoad->Commit failed: %08X", static_cast<unsigned>(hr));
        const std::wstring error = odb_exception::GetErrorString();
        const std::wstring lost = lost_rows();
        abandon();
        throw odb_exception(L"The bulk load of table " + name_ +
                            L" failed when its rows were "
                            L"committed (" +
                            lost + L"): " + error);
    }
    first_pending_ = 0;
}

void mss_fast_load::abandon() {
    // A copy whose batch failed takes no further row: it ends without a commit (its failure is
    // reported already), and the table's next row opens a new copy.
    accessor.release();
    m_spFastLoad.reset();
    b_open_table = false;
    byte_total_ = 0;
    first_pending_ = 0;
}

void mss_fast_load::close_table() {
    tk_log_message(1, "mss_fast_load::close_table");
    tk_check(b_open_table, "mss_floa", 225);
    tk_log_message(1, "Right before m_spFastLoad->Commit");
    const HRESULT committed = m_spFastLoad->Commit(TRUE);
    tk_log_message(1, "Right after m_spFastLoad->Commit");
    std::wstring error;
    const std::wstring lost = lost_rows();
    if (FAILED(committed)) {
        tk_log_message(1, "m_spFastLoad->Commit failed: %08X", static_cast<unsigned>(committed));
        error = odb_exception::GetErrorString();
    }
    first_pending_ = 0;
    const HRESULT released = accessor.release();
    if (FAILED(released)) {
        tk_log_message(2, "Error code: %08X", static_cast<unsigned>(released));
        throw odb_exception(released, true);
    }
    m_spFastLoad.reset();
    b_open_table = false;
    if (FAILED(committed)) {
        // The rows of the last batch are lost: say which table they were meant for.
        const tk_exception failure(L"The bulk load of table " + name_ +
                                       L" failed when its last rows were committed (" + lost +
                                       L"): " + error,
                                   0);
        udb_error_handler* handler = udb_error_handler::pointer();
        if (handler == nullptr) {
            throw failure;
        }
        handler->handle(failure, true);
    }
    tk_log_message(1, "mss_fast_load::close_table - END");
}

DBTYPE mss_fast_load::column_type(DBORDINAL ordinal) const {
    const CDynamicAccessorEx::column* c = accessor.find(ordinal);
    return c != nullptr ? c->type : static_cast<DBTYPE>(DBTYPE_EMPTY);
}

DBTYPE mss_fast_load::column_reported_type(DBORDINAL ordinal) const {
    const CDynamicAccessorEx::column* c = accessor.find(ordinal);
    return c != nullptr ? c->reported : static_cast<DBTYPE>(DBTYPE_EMPTY);
}

DBLENGTH mss_fast_load::column_size(DBORDINAL ordinal) const {
    const CDynamicAccessorEx::column* c = accessor.find(ordinal);
    return c != nullptr ? c->size : 0;
}

BYTE mss_fast_load::column_precision(DBORDINAL ordinal) const {
    const CDynamicAccessorEx::column* c = accessor.find(ordinal);
    return c != nullptr ? c->precision : 0;
}

BYTE mss_fast_load::column_fraction_digits(DBORDINAL ordinal) const {
    const CDynamicAccessorEx::column* c = accessor.find(ordinal);
    return c != nullptr ? c->fraction_digits : 0;
}

BYTE mss_fast_load::column_scale(DBORDINAL ordinal) const {
    const CDynamicAccessorEx::column* c = accessor.find(ordinal);
    return c != nullptr ? c->scale : 0;
}
