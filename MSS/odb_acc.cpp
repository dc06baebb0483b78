// The accessor of a rowset.
#include "MSS/odb_acc.h"

#include "MSS/odb_exce.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

constexpr std::uint64_t max_column_bytes = 20000000;
constexpr unsigned row_budget = 200000000;
// The largest value read apart from the row buffer: what one text or byte value can hold.
constexpr std::uint64_t max_long_value = 0x7FFFFFFF;

} // namespace

odb_accessor::odb_accessor() {
    tk_log_message(2, "odb_accessor::ctor");
}

odb_accessor::~odb_accessor() {
    tk_log_message(1, "odb_accessor::dtor");
    clean_everything();
    tk_log_message(1, "odb_accessor::dtor - END");
}

void odb_accessor::clean_everything() {
    tk_log_message(1, "odb_accessor::clean_everything");
    if (accessor && handle != 0) {
        accessor->ReleaseAccessor(handle, nullptr);
    }
    handle = 0;
    CoTaskMemFree(row_buffer);
    row_buffer = nullptr;
    CoTaskMemFree(bindings);
    bindings = nullptr;
    CoTaskMemFree(bind_status);
    bind_status = nullptr;
    row_size = 0;
}

unsigned odb_accessor::column_cap(unsigned columns) {
    // A rowset without columns binds nothing; the cap only has to be defined.
    if (columns == 0) {
        return static_cast<unsigned>(max_column_bytes);
    }
    return std::min(row_budget / columns, static_cast<unsigned>(max_column_bytes));
}

unsigned odb_accessor::get_bind_size(unsigned column) const {
    tk_log_message(1, "odb_accessor::get_bind_size(%d)", static_cast<int>(column));
    tk_check(info != nullptr, "odb_acc", 207);
    const DBCOLUMNINFO& c = info[column];
    const std::uint64_t size = c.ulColumnSize;
    switch (c.wType) {
    case DBTYPE_EMPTY:
    case DBTYPE_NULL:
    case DBTYPE_I2:
    case DBTYPE_I4:
    case DBTYPE_R4:
    case DBTYPE_R8:
    case DBTYPE_CY:
    case DBTYPE_ERROR:
    case DBTYPE_BOOL:
    case DBTYPE_I1:
    case DBTYPE_UI1:
    case DBTYPE_UI2:
    case DBTYPE_UI4:
    case DBTYPE_I8:
    case DBTYPE_UI8:
        return 52;
    case DBTYPE_DATE:
    case DBTYPE_DECIMAL:
    case DBTYPE_NUMERIC:
    case DBTYPE_DBDATE:
    case DBTYPE_DBTIMESTAMP:
    case DBTYPE_DBTIME2:
    case DBTYPE_DBTIMESTAMPOFFSET:
    case 212:
        return 102;
    case DBTYPE_BSTR:
    case DBTYPE_STR:
    case DBTYPE_WSTR:
        return static_cast<unsigned>(2 * std::min<std::uint64_t>(size + 1, max_column_bytes));
    case DBTYPE_GUID:
        return 78;
    case DBTYPE_BYTES:
        return static_cast<unsigned>(2 * std::min<std::uint64_t>(2 * size + 1, max_column_bytes));
    default:
        return size == 0 ? static_cast<unsigned>(max_column_bytes) : static_cast<unsigned>(size);
    }
}

void odb_accessor::bind(IRowset* rowset, unsigned n_columns, const DBCOLUMNINFO* column_info) {
    tk_log_message(2, "odb_accessor::bind(n_cols=%d)", static_cast<int>(n_columns));
    tk_check(column_info != nullptr || n_columns == 0, "odb_acc", 111);
    clean_everything();
    info = column_info;
    columns = n_columns;
    names.clear();
    names.reserve(columns);
    for (unsigned i = 0; i < columns; ++i) {
        names.push_back(info[i].pwszName != nullptr ? tk_utf16_to_wstring(info[i].pwszName)
                                                    : std::wstring());
    }
    naming = udb_record::new_naming();
    const std::size_t binding_bytes = std::max<std::size_t>(1, sizeof(DBBINDING) * columns);
    bindings = static_cast<DBBINDING*>(CoTaskMemAlloc(binding_bytes));
    tk_check(bindings != nullptr, "odb_acc", 119);
    std::memset(bindings, 0, binding_bytes);

    const unsigned cap = column_cap(columns);
    std::uint64_t offset = 0;
    for (unsigned i = 0; i < columns; ++i) {
        DBBINDING& b = bindings[i];
        const unsigned size = get_bind_size(i);
        unsigned max_len = size < cap ? size : cap;
        const DBTYPE type = info[i].wType;
        if (max_len == 0 && (type == DBTYPE_STR || type == DBTYPE_WSTR || type == DBTYPE_BSTR)) {
            max_len = cap;
        }
        b.iOrdinal = i + 1;
        b.obStatus = offset;
        b.obLength = offset + 4;
        b.obValue = offset + 12;
        b.dwPart = DBPART_VALUE | DBPART_LENGTH | DBPART_STATUS;
        b.dwMemOwner = DBMEMOWNER_CLIENTOWNED;
        b.eParamIO = DBPARAMIO_NOTPARAM;
        b.cbMaxLen = max_len;
        b.dwFlags = 0;
        b.wType = type == DBTYPE_BYTES ? DBTYPE_BYTES : DBTYPE_WSTR;
        b.bPrecision = info[i].bPrecision;
        b.bScale = info[i].bScale;
        tk_log_message(1, "bindings[%d].cbMaxLen=%d", static_cast<int>(i),
                       static_cast<int>(max_len));
        tk_log_message(1, "Bind column #%d, type=%d, size=%d", static_cast<int>(i), type,
                       static_cast<int>(info[i].ulColumnSize));
        offset += 12 + max_len;
    }
    row_size = static_cast<unsigned>(offset);
    tk_log_message(2, "Allocating bind-bufer, %d bytes", static_cast<int>(row_size));
    row_buffer = static_cast<BYTE*>(CoTaskMemAlloc(std::max<std::size_t>(1, row_size)));
    tk_check(row_buffer != nullptr, "odb_acc", 172);
    bind_status = static_cast<DBBINDSTATUS*>(
        CoTaskMemAlloc(std::max<std::size_t>(1, sizeof(DBBINDSTATUS) * columns)));
    tk_check(bind_status != nullptr, "odb_acc", 175);
    if (columns == 0) {
        return;
    }
    odb_check(rowset->QueryInterface(IID_IAccessor, accessor.out_void()));
    odb_check(
        accessor->CreateAccessor(DBACCESSOR_ROWDATA, columns, bindings, 0, &handle, bind_status));
    tk_log_message(2, "bind_status[0]=%08X", static_cast<unsigned>(bind_status[0]));
}

bool odb_accessor::read_long_value(IRowset* rowset, HROW row, unsigned column,
                                   std::vector<BYTE>& slot) {
    DBLENGTH length;
    std::memcpy(&length, row_buffer + bindings[column].obLength, sizeof length);
    // A length the buffer would have held means the provider cannot tell the whole length:
    // reading again with the same size would be cut the same way.
    if (length > max_long_value) {
        return false;
    }
    DBBINDING binding = bindings[column];
    binding.obStatus = 0;
    binding.obLength = 4;
    binding.obValue = 12;
    binding.cbMaxLen = length + sizeof(char16_t);
    slot.assign(12 + binding.cbMaxLen, 0);
    HACCESSOR single = 0;
    DBBINDSTATUS status = 0;
    if (FAILED(accessor->CreateAccessor(DBACCESSOR_ROWDATA, 1, &binding, 0, &single, &status))) {
        return false;
    }
    const HRESULT hr = rowset->GetData(row, single, slot.data());
    accessor->ReleaseAccessor(single, nullptr);
    DBSTATUS value_status;
    std::memcpy(&value_status, slot.data(), sizeof value_status);
    return SUCCEEDED(hr) && value_status == DBSTATUS_S_OK;
}

BSTR odb_accessor::read_long_text(IRowset* rowset, HROW row, unsigned column) {
    DBLENGTH length;
    std::memcpy(&length, row_buffer + bindings[column].obLength, sizeof length);
    if (length > max_long_value || length % sizeof(char16_t) != 0) {
        return nullptr;
    }
    // The provider writes the text, its terminator, then the length and the status behind it,
    // into one BSTR with room for all: the text is never held a second time. The BSTR is then
    // told its text's length (its byte count sits in front of the text).
    const DBLENGTH text_room = length + sizeof(char16_t);
    const DBLENGTH length_at = (text_room + 7) / 8 * 8;
    const DBLENGTH room = length_at + sizeof(DBLENGTH) + sizeof(DBSTATUS);
    if (room > std::numeric_limits<unsigned int>::max() / 2) {
        return nullptr;
    }
    BSTR text = SysAllocStringByteLen(nullptr, static_cast<unsigned int>(room));
    if (text == nullptr) {
        return nullptr;
    }
    DBBINDING binding = bindings[column];
    binding.obValue = 0;
    binding.obLength = length_at;
    binding.obStatus = length_at + sizeof(DBLENGTH);
    binding.cbMaxLen = text_room;
    HACCESSOR single = 0;
    DBBINDSTATUS bind_status = 0;
    auto* data = reinterpret_cast<BYTE*>(text);
    bool whole = false;
    if (SUCCEEDED(
            accessor->CreateAccessor(DBACCESSOR_ROWDATA, 1, &binding, 0, &single, &bind_status))) {
        const HRESULT hr = rowset->GetData(row, single, data);
        accessor->ReleaseAccessor(single, nullptr);
        DBSTATUS status;
        DBLENGTH got;
        std::memcpy(&status, data + binding.obStatus, sizeof status);
        std::memcpy(&got, data + binding.obLength, sizeof got);
        whole = SUCCEEDED(hr) && status == DBSTATUS_S_OK && got == length;
    }
    if (!whole) {
        SysFreeString(text);
        return nullptr;
    }
    const auto bytes = static_cast<std::uint32_t>(length);
    std::memcpy(data - sizeof bytes, &bytes, sizeof bytes);
    std::memset(data + length, 0, sizeof(char16_t));
    return text;
}

std::unique_ptr<odb_record> odb_accessor::get_record(IRowset* rowset, HROW row) {
    tk_check(row != 0, "odb_acc", 194);
    auto record = std::make_unique<odb_record>(0, row_buffer, info, bindings, &names);
    read_record(rowset, row, *record);
    return record;
}

void odb_accessor::read_record(IRowset* rowset, HROW row, odb_record& record) {
    tk_log_message(1, "odb_accessor::get_record");
    tk_check(row != 0, "odb_acc", 194);
    if (columns == 0) {
        record.read(0, row_buffer, info, bindings, &names, {}, naming);
        return;
    }
    odb_check(rowset->GetData(row, handle, row_buffer));

    bool long_value = false;
    for (unsigned i = 0; i < columns && !long_value; ++i) {
        DBSTATUS status;
        std::memcpy(&status, row_buffer + bindings[i].obStatus, sizeof status);
        long_value = status == DBSTATUS_S_TRUNCATED;
    }
    if (!long_value) {
        record.read(columns, row_buffer, info, bindings, &names, {}, naming);
        return;
    }
    // A slot's bytes stay where they are when the list grows; the texts are placed before any is
    // taken, and those the record did not take over are freed on every way out.
    std::vector<std::vector<BYTE>> slots;
    std::vector<BSTR> texts;
    texts.reserve(columns);
    struct free_texts {
        std::vector<BSTR>& texts;
        ~free_texts() {
            for (BSTR text : texts) {
                SysFreeString(text);
            }
        }
    } guard{texts};
    std::vector<odb_long_value> long_values;
    for (unsigned i = 0; i < columns; ++i) {
        DBSTATUS status;
        std::memcpy(&status, row_buffer + bindings[i].obStatus, sizeof status);
        if (status != DBSTATUS_S_TRUNCATED) {
            continue;
        }
        tk_log_message(2, "Column #%d does not fit its buffer, reading it in full",
                       static_cast<int>(i));
        if (odb_record::keeps_text_as_is(info[i], bindings[i])) {
            texts.push_back(read_long_text(rowset, row, i));
            if (texts.back() != nullptr) {
                long_values.push_back({i, nullptr, &texts.back()});
                continue;
            }
            texts.pop_back();
        }
        std::vector<BYTE> slot;
        if (!read_long_value(rowset, row, i, slot)) {
            throw tk_exception(
                L"The value of column '" + names[i] + L"' is too long to be read in full.", 0);
        }
        slots.push_back(std::move(slot));
        long_values.push_back({i, slots.back().data()});
    }
    record.read(columns, row_buffer, info, bindings, &names, long_values, naming);
}
