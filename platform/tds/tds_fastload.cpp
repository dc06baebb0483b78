// The bulk-copy rowset of the SQL Server provider.
#include "platform/tds/tds_fastload.h"

#include "platform/win32/unicode.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

namespace {

using win32::append_utf16;
using win32::append_utf8;

// The longest text or binary value FreeTDS's bulk copy converts without overrunning its buffer.
constexpr std::size_t max_value_bytes = 4096;

bool no_table(const std::vector<odbc::diagnostic>& diagnostics) {
    for (const odbc::diagnostic& d : diagnostics) {
        if (d.native == 208 || d.sqlstate == u"42S02") {
            return true;
        }
    }
    return false;
}

// One table column as the copy sends it.
struct fast_column {
    oledb_column info;
    bool skipped = false;   // rowversion: the server fills it
    bool binary = false;    // sent as bytes, not text
    bool wide = false;      // UTF-16 on the consumer's side (nchar, nvarchar, ntext, xml)
    bool timestamp = false; // a date or time column, sent as a timestamp structure
    bool limited = false;   // `limit` bounds the value
    DBLENGTH limit = 0;     // characters for text, bytes for binary
    std::vector<char> staged = std::vector<char>(4 + 64);
};

// The form the consumer writes for the column: what the server's providers report, with the
// types this rowset takes only as text reported as text.
void adapt(fast_column& c) {
    oledb_column& i = c.info;
    switch (i.type) {
    case DBTYPE_XML:
    case DBTYPE_VARIANT:
        i.type = DBTYPE_WSTR;
        i.size = ~DBLENGTH{0};
        c.wide = true;
        break;
    case DBTYPE_DBTIMESTAMPOFFSET:
        // Sent as a timestamp: FreeTDS reads date and time texts of years before 100 as
        // two-digit years, so no date goes as text. The offset becomes +00:00.
        i.type = DBTYPE_DBTIMESTAMP;
        i.size = sizeof(DBTIMESTAMP);
        c.timestamp = true;
        break;
    case DBTYPE_DBDATE:
    case DBTYPE_DBTIME2:
    case DBTYPE_DBTIMESTAMP:
        c.timestamp = true;
        break;
    case DBTYPE_UDT:
        i.type = DBTYPE_BYTES;
        i.size = ~DBLENGTH{0};
        c.binary = true;
        break;
    case DBTYPE_BYTES:
        c.binary = true;
        c.limited = (i.flags & DBCOLUMNFLAGS_ISLONG) == 0;
        c.limit = i.size;
        c.skipped = (i.flags & DBCOLUMNFLAGS_ISROWVER) != 0;
        break;
    case DBTYPE_STR:
        c.limited = (i.flags & DBCOLUMNFLAGS_ISLONG) == 0;
        if (c.limited) {
            // The consumer writes UTF-8, up to 3 bytes for a character of a single-byte code
            // page: the column takes that many bytes, and its size in characters.
            c.limit = i.size;
            i.size *= 3;
        }
        break;
    case DBTYPE_WSTR:
        c.wide = true;
        c.limited = (i.flags & DBCOLUMNFLAGS_ISLONG) == 0;
        c.limit = i.size;
        break;
    default:
        break;
    }
}

bool takes(DBTYPE type) {
    switch (type) {
    case DBTYPE_I1:
    case DBTYPE_I2:
    case DBTYPE_I4:
    case DBTYPE_I8:
    case DBTYPE_UI1:
    case DBTYPE_UI2:
    case DBTYPE_UI4:
    case DBTYPE_UI8:
    case DBTYPE_R4:
    case DBTYPE_R8:
    case DBTYPE_CY:
    case DBTYPE_BOOL:
    case DBTYPE_NUMERIC:
    case DBTYPE_DBDATE:
    case DBTYPE_DBTIME2:
    case DBTYPE_DBTIMESTAMP:
    case DBTYPE_GUID:
    case DBTYPE_STR:
    case DBTYPE_WSTR:
    case DBTYPE_BYTES:
    case DBTYPE_IUNKNOWN:
        return true;
    default:
        return false;
    }
}

template <class T> T read(const BYTE* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void put_text(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void put_text(std::string& out, const char* format, ...) {
    char buffer[96];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    out.append(buffer, static_cast<std::size_t>(n > 0 ? n : 0));
}

void put_numeric(std::string& out, const DB_NUMERIC& n) {
    unsigned __int128 magnitude = 0;
    for (int i = DB_NUMERIC_VAL_LEN - 1; i >= 0; --i) {
        magnitude = (magnitude << 8) | n.val[i];
    }
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(magnitude % 10)));
        magnitude /= 10;
    } while (magnitude != 0);
    while (digits.size() <= n.scale) {
        digits.insert(digits.begin(), '0');
    }
    if (n.scale > 0) {
        digits.insert(digits.end() - n.scale, '.');
    }
    if (n.sign == 0) {
        out += '-';
    }
    out += digits;
}

class tds_fast_load final
    : public com_object<IRowsetFastLoad, IAccessor, IColumnsInfo, IRowsetInfo> {
public:
    tds_fast_load(std::shared_ptr<tds_link> link, std::unique_ptr<odbc::connection> connection,
                  std::vector<fast_column> columns, std::u16string table)
        : link_(std::move(link)), connection_(std::move(connection)), columns_(std::move(columns)),
          table_(std::move(table)) {
        for (const fast_column& c : columns_) {
            infos_.push_back(c.info);
        }
    }

    HRESULT InsertRow(HACCESSOR accessor, void* data) override {
        std::lock_guard guard(lock_);
        const auto found = accessors_.find(accessor);
        if (found == accessors_.end() || data == nullptr) {
            return fail(DB_E_BADACCESSORHANDLE, u"The accessor handle is not valid.");
        }
        const BYTE* row = static_cast<const BYTE*>(data);
        const std::vector<DBBINDING>& bindings = found->second.bindings;
        // The row's storage objects are the rowset's to release on every way out.
        if (!connection_ || broken_) {
            for (const DBBINDING& b : bindings) {
                release_object(b, row);
            }
            return !connection_
                       ? fail(E_UNEXPECTED, u"The bulk copy into " + table_ + u" has ended.")
                       : fail(E_FAIL, u"The bulk copy into " + table_ +
                                          u" failed earlier; no further rows are sent.");
        }
        for (std::size_t k = 0; k < bindings.size(); ++k) {
            const DBBINDING& b = bindings[k];
            fast_column& c = columns_[b.iOrdinal - 1];
            if (c.skipped) {
                release_object(b, row);
                continue;
            }
            std::u16string error;
            bool too_big = false;
            if (!stage(c, b, row, error, too_big)) {
                // The storage objects not yet read go all the same; those read went already.
                for (std::size_t rest = k + 1; rest < bindings.size(); ++rest) {
                    release_object(bindings[rest], row);
                }
                if (too_big) {
                    return fail(DB_E_NOTSUPPORTED, error, u"HY000", 0);
                }
                const bool cut = error.rfind(u"String or binary data", 0) == 0;
                return fail(DB_E_ERRORSOCCURRED, error, cut ? u"22001" : u"22007", cut ? 2628 : 0);
            }
        }
        for (std::size_t i = 0; i < columns_.size(); ++i) {
            if (!columns_[i].skipped &&
                !connection_->bcp_colptr(static_cast<int>(i + 1), columns_[i].staged.data())) {
                return post(E_FAIL, u"The value could not be handed to the bulk copy.");
            }
        }
        if (!connection_->bcp_sendrow()) {
            // FreeTDS leaves the copy in a state that takes no further row, and the rows of the
            // batch it had taken are lost with it.
            broken_ = true;
            return post(E_FAIL, u"The row could not be sent to " + table_ + u"; " +
                                    number(pending_) +
                                    u" rows sent before it since the last commit are lost.");
        }
        ++pending_;
        sent_ = true;
        return com_succeed();
    }

    HRESULT Commit(BOOL done) override {
        std::lock_guard guard(lock_);
        if (!connection_) {
            return fail(E_UNEXPECTED, u"The bulk copy into " + table_ + u" has ended.");
        }
        if (broken_) {
            if (done) {
                connection_.reset();
            }
            return fail(E_FAIL, u"The bulk copy into " + table_ +
                                    u" failed earlier: the rows of the failed batch are not "
                                    u"stored, and no row was sent after it.");
        }
        if (!sent_) {
            // No row reached FreeTDS (each was refused before): nothing to commit or to end.
            if (done) {
                connection_.reset();
            }
            return com_succeed();
        }
        if (pending_ == 0 && !done) {
            return com_succeed();
        }
        const int rows = done ? connection_->bcp_done() : connection_->bcp_batch();
        if (rows < 0) {
            broken_ = true;
            const HRESULT hr =
                post(E_FAIL, u"The " + number(pending_) +
                                 u" rows of the batch were not stored in " + table_ + u".");
            if (done) {
                connection_.reset();
            }
            return hr;
        }
        pending_ = 0;
        if (done) {
            connection_.reset(); // a bulk-copy connection serves one copy
        }
        return com_succeed();
    }

    HRESULT AddRefAccessor(HACCESSOR accessor, DBREFCOUNT* ref_count) override {
        std::lock_guard guard(lock_);
        const auto found = accessors_.find(accessor);
        if (found == accessors_.end()) {
            return fail(DB_E_BADACCESSORHANDLE, u"The accessor handle is not valid.");
        }
        ++found->second.refs;
        if (ref_count != nullptr) {
            *ref_count = found->second.refs;
        }
        return com_succeed();
    }

    HRESULT CreateAccessor(DBACCESSORFLAGS flags, DBCOUNTITEM count, const DBBINDING bindings[],
                           DBLENGTH, HACCESSOR* accessor, DBBINDSTATUS statuses[]) override {
        std::lock_guard guard(lock_);
        if (accessor == nullptr || count == 0 || bindings == nullptr) {
            return fail(E_INVALIDARG, u"No bindings were given.");
        }
        *accessor = DB_NULL_HACCESSOR;
        if ((flags & DBACCESSOR_ROWDATA) == 0 || (flags & ~DWORD{DBACCESSOR_ROWDATA}) != 0) {
            return fail(DB_E_BADACCESSORFLAGS, u"Only row-data accessors are taken.");
        }
        bool bad = false;
        for (DBCOUNTITEM i = 0; i < count; ++i) {
            const DBBINDSTATUS status = check(bindings[i]);
            if (statuses != nullptr) {
                statuses[i] = status;
            }
            bad = bad || status != DBBINDSTATUS_OK;
        }
        if (bad) {
            return fail(DB_E_ERRORSOCCURRED, u"A binding cannot be served by the bulk copy.");
        }
        *accessor = next_accessor_++;
        std::vector<DBBINDING> kept(bindings, bindings + count);
        for (DBBINDING& b : kept) {
            // The consumer's storage description need not outlive this call; it was checked.
            b.pObject = nullptr;
        }
        accessors_[*accessor] = entry{std::move(kept), 1};
        return com_succeed();
    }

    HRESULT ReleaseAccessor(HACCESSOR accessor, DBREFCOUNT* ref_count) override {
        std::lock_guard guard(lock_);
        const auto found = accessors_.find(accessor);
        if (found == accessors_.end()) {
            return fail(DB_E_BADACCESSORHANDLE, u"The accessor handle is not valid.");
        }
        const DBREFCOUNT left = --found->second.refs;
        if (left == 0) {
            accessors_.erase(found);
        }
        if (ref_count != nullptr) {
            *ref_count = left;
        }
        return com_succeed();
    }

    HRESULT GetColumnInfo(DBORDINAL* columns, DBCOLUMNINFO** info, OLECHAR** strings) override {
        std::lock_guard guard(lock_);
        const HRESULT hr = oledb_column_info(infos_, columns, info, strings);
        return FAILED(hr) ? fail(hr, u"The column information could not be returned.")
                          : com_succeed(hr);
    }

    HRESULT GetProperties(ULONG id_sets, const DBPROPIDSET id_set_array[], ULONG* sets,
                          DBPROPSET** set_array) override {
        if (sets == nullptr || set_array == nullptr) {
            return fail(E_INVALIDARG, u"No place for the properties was given.");
        }
        *sets = 0;
        *set_array = nullptr;
        // Long values are taken as ISequentialStream objects; nothing else is reported.
        const auto known = [](const GUID& set, DBPROPID id, bool& value) {
            if (set != DBPROPSET_ROWSET) {
                return false;
            }
            if (id == DBPROP_ISequentialStream) {
                value = true;
                return true;
            }
            if (id == DBPROP_IStream) {
                value = false;
                return true;
            }
            return false;
        };
        std::vector<std::pair<GUID, std::vector<DBPROPID>>> asked;
        if (id_sets == 0) {
            asked.push_back({DBPROPSET_ROWSET, {DBPROP_ISequentialStream, DBPROP_IStream}});
        } else {
            for (ULONG s = 0; s < id_sets; ++s) {
                asked.push_back({id_set_array[s].guidPropertySet,
                                 std::vector<DBPROPID>(id_set_array[s].rgPropertyIDs,
                                                       id_set_array[s].rgPropertyIDs +
                                                           id_set_array[s].cPropertyIDs)});
            }
        }
        auto* out = static_cast<DBPROPSET*>(CoTaskMemAlloc(sizeof(DBPROPSET) * asked.size()));
        if (out == nullptr) {
            return fail(E_OUTOFMEMORY, u"No memory for the properties.");
        }
        std::size_t total = 0;
        std::size_t unknown = 0;
        for (std::size_t s = 0; s < asked.size(); ++s) {
            const auto& [set, ids] = asked[s];
            out[s].guidPropertySet = set;
            out[s].cProperties = static_cast<ULONG>(ids.size());
            out[s].rgProperties =
                ids.empty() ? nullptr
                            : static_cast<DBPROP*>(CoTaskMemAlloc(sizeof(DBPROP) * ids.size()));
            for (std::size_t p = 0; p < ids.size() && out[s].rgProperties != nullptr; ++p) {
                DBPROP& prop = out[s].rgProperties[p];
                prop = DBPROP{};
                prop.dwPropertyID = ids[p];
                prop.colid = DB_NULLID;
                bool value = false;
                ++total;
                if (known(set, ids[p], value)) {
                    prop.dwStatus = DBPROPSTATUS_OK;
                    prop.vValue.vt = VT_BOOL;
                    prop.vValue.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
                } else {
                    prop.dwStatus = DBPROPSTATUS_NOTSUPPORTED;
                    ++unknown;
                }
            }
        }
        *sets = static_cast<ULONG>(asked.size());
        *set_array = out;
        if (unknown == 0) {
            return com_succeed();
        }
        return unknown == total ? DB_E_ERRORSOCCURRED : DB_S_ERRORSOCCURRED;
    }

    HRESULT GetReferencedRowset(DBORDINAL, REFIID, IUnknown** rowset) override {
        if (rowset != nullptr) {
            *rowset = nullptr;
        }
        return fail(DB_E_NOTSUPPORTED, u"The bulk copy has no bookmarks.");
    }

    HRESULT GetSpecification(REFIID, IUnknown** specification) override {
        if (specification != nullptr) {
            *specification = nullptr;
        }
        return S_FALSE;
    }

private:
    struct entry {
        std::vector<DBBINDING> bindings;
        DBREFCOUNT refs = 1;
    };

    ~tds_fast_load() override = default;

    HRESULT fail(HRESULT result, const std::u16string& text, const std::u16string& sqlstate = {},
                 LONG native = 0) {
        odbc::diagnostic d;
        d.message = text;
        d.sqlstate = sqlstate.empty() ? u"HY000" : sqlstate;
        d.native = native;
        return tds_post(result, link_->clsid(), IID_IRowsetFastLoad, {d}, text);
    }

    HRESULT post(HRESULT result, const std::u16string& fallback) {
        if (connection_ && connection_->dead()) {
            broken_ = true;
        }
        // FreeTDS reports a client-side conversion failure under a message number it has no
        // text for, ahead of the text that tells what failed: the caller gets that text first.
        std::vector<odbc::diagnostic> told;
        if (connection_) {
            for (const odbc::diagnostic& d : connection_->diagnostics()) {
                const std::u16string text = tds_strip_prefixes(d.message);
                if (text != u"unrecognized msgno" && text != u"General driver error") {
                    told.push_back(d);
                }
            }
            if (told.empty()) {
                told = connection_->diagnostics();
            }
        }
        return tds_post(result, link_->clsid(), IID_IRowsetFastLoad, told, fallback);
    }

    DBBINDSTATUS check(const DBBINDING& b) const {
        if (b.iOrdinal == 0 || b.iOrdinal > columns_.size()) {
            return DBBINDSTATUS_BADORDINAL;
        }
        if ((b.dwPart & DBPART_VALUE) == 0 || (b.dwPart & ~DWORD{7}) != 0 ||
            b.eParamIO != DBPARAMIO_NOTPARAM) {
            return DBBINDSTATUS_BADBINDINFO;
        }
        if (!takes(b.wType)) {
            return DBBINDSTATUS_UNSUPPORTEDCONVERSION;
        }
        const bool date_binding =
            b.wType == DBTYPE_DBDATE || b.wType == DBTYPE_DBTIME2 || b.wType == DBTYPE_DBTIMESTAMP;
        if (columns_[b.iOrdinal - 1].timestamp != date_binding) {
            return DBBINDSTATUS_UNSUPPORTEDCONVERSION;
        }
        if (b.wType == DBTYPE_IUNKNOWN) {
            if (b.pObject != nullptr && b.pObject->iid != IID_ISequentialStream &&
                b.pObject->iid != IID_IUnknown) {
                return DBBINDSTATUS_NOINTERFACE;
            }
        } else if (b.pObject != nullptr) {
            return DBBINDSTATUS_BADSTORAGEFLAGS;
        }
        return DBBINDSTATUS_OK;
    }

    // A storage object in the row is the provider's to release once the row is taken.
    static void release_object(const DBBINDING& b, const BYTE* row) {
        if (b.wType != DBTYPE_IUNKNOWN) {
            return;
        }
        if ((b.dwPart & DBPART_STATUS) != 0 &&
            read<DBSTATUS>(row + b.obStatus) == DBSTATUS_S_ISNULL) {
            return;
        }
        if (auto* object = read<IUnknown*>(row + b.obValue)) {
            object->Release();
        }
    }

    // The value of binding `b` in the staging buffer of `c`: a 4-byte length (-1 for NULL),
    // then the text or bytes. False, with a reason, for a value the column cannot take whole.
    // `too_big` tells a value FreeTDS cannot carry at all from one the column refuses.
    bool stage(fast_column& c, const DBBINDING& b, const BYTE* row, std::u16string& error,
               bool& too_big) {
        std::string& out = scratch_;
        out.clear();
        const DBSTATUS status =
            (b.dwPart & DBPART_STATUS) != 0 ? read<DBSTATUS>(row + b.obStatus) : DBSTATUS_S_OK;
        if (status == DBSTATUS_S_ISNULL) {
            set_staged(c, nullptr, 0);
            return true;
        }
        const BYTE* v = row + b.obValue;
        const bool has_length = (b.dwPart & DBPART_LENGTH) != 0;
        const DBLENGTH length = has_length ? read<DBLENGTH>(row + b.obLength) : 0;
        std::size_t units = 0; // characters (UTF-16 units) or bytes, against the column size
        switch (b.wType) {
        case DBTYPE_I1:
            put_text(out, "%d", static_cast<int>(read<std::int8_t>(v)));
            break;
        case DBTYPE_UI1:
            put_text(out, "%u", static_cast<unsigned>(read<std::uint8_t>(v)));
            break;
        case DBTYPE_I2:
            put_text(out, "%d", static_cast<int>(read<std::int16_t>(v)));
            break;
        case DBTYPE_UI2:
            put_text(out, "%u", static_cast<unsigned>(read<std::uint16_t>(v)));
            break;
        case DBTYPE_I4:
            put_text(out, "%" PRId32, read<std::int32_t>(v));
            break;
        case DBTYPE_UI4:
            put_text(out, "%" PRIu32, read<std::uint32_t>(v));
            break;
        case DBTYPE_I8:
            put_text(out, "%" PRId64, read<std::int64_t>(v));
            break;
        case DBTYPE_UI8:
            put_text(out, "%" PRIu64, read<std::uint64_t>(v));
            break;
        case DBTYPE_R4:
            put_text(out, "%.9g", static_cast<double>(read<float>(v)));
            break;
        case DBTYPE_R8:
            put_text(out, "%.17g", read<double>(v));
            break;
        case DBTYPE_BOOL:
            out += read<std::int16_t>(v) != 0 ? '1' : '0';
            break;
        case DBTYPE_CY: {
            const std::int64_t cy = read<std::int64_t>(v);
            const std::uint64_t magnitude =
                cy < 0 ? 0 - static_cast<std::uint64_t>(cy) : static_cast<std::uint64_t>(cy);
            put_text(out, "%s%" PRIu64 ".%04" PRIu64, cy < 0 ? "-" : "", magnitude / 10000,
                     magnitude % 10000);
            break;
        }
        case DBTYPE_NUMERIC:
            put_numeric(out, read<DB_NUMERIC>(v));
            break;
        case DBTYPE_DBDATE: {
            const auto d = read<DBDATE>(v);
            const DBTIMESTAMP t{d.year, d.month, d.day, 0, 0, 0, 0};
            if (first_day(t)) {
                error = first_day_refused(c);
                return false;
            }
            set_staged(c, reinterpret_cast<const char*>(&t), sizeof t);
            return true;
        }
        case DBTYPE_DBTIME2: {
            const auto d = read<DBTIME2>(v);
            const DBTIMESTAMP t{1900, 1, 1, d.hour, d.minute, d.second, d.fraction};
            set_staged(c, reinterpret_cast<const char*>(&t), sizeof t);
            return true;
        }
        case DBTYPE_DBTIMESTAMP: {
            const auto t = read<DBTIMESTAMP>(v);
            if (first_day(t)) {
                error = first_day_refused(c);
                return false;
            }
            set_staged(c, reinterpret_cast<const char*>(&t), sizeof t);
            return true;
        }
        case DBTYPE_GUID: {
            const auto g = read<GUID>(v);
            put_text(out, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.Data1, g.Data2,
                     g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                     g.Data4[5], g.Data4[6], g.Data4[7]);
            break;
        }
        case DBTYPE_STR: {
            const std::size_t n =
                has_length ? length : std::strlen(reinterpret_cast<const char*>(v));
            out.assign(reinterpret_cast<const char*>(v), n);
            units = c.binary ? n : utf16_length_of(out);
            break;
        }
        case DBTYPE_WSTR: {
            const std::size_t n =
                has_length
                    ? length / 2
                    : std::char_traits<char16_t>::length(reinterpret_cast<const char16_t*>(v));
            std::u16string text(n, u'\0');
            std::memcpy(text.data(), v, n * 2);
            append_utf8(out, text);
            units = n;
            break;
        }
        case DBTYPE_BYTES: {
            const std::size_t n = has_length ? length : b.cbMaxLen;
            out.assign(reinterpret_cast<const char*>(v), n);
            units = n;
            break;
        }
        case DBTYPE_IUNKNOWN: {
            auto* object = read<IUnknown*>(v);
            if (object == nullptr) {
                set_staged(c, nullptr, 0);
                return true;
            }
            const bool ok = read_stream(object, out);
            object->Release();
            if (!ok) {
                error = u"The long value of column " + c.info.name + u" could not be read.";
                return false;
            }
            if (c.wide && !c.binary) {
                std::u16string text(out.size() / 2, u'\0');
                std::memcpy(text.data(), out.data(), text.size() * 2);
                out.clear();
                append_utf8(out, text);
                units = text.size();
            } else {
                units = c.binary ? out.size() : utf16_length_of(out);
            }
            break;
        }
        default:
            error = u"The binding type is not taken by the bulk copy.";
            return false;
        }
        // FreeTDS 1.3.17 converts a text or binary value into a buffer of 4096 bytes whatever
        // the column's size, and overruns it with a longer value. The UTF-8 bytes of a text
        // bound the bytes of any code page, the UTF-16 bytes are those of a Unicode column.
        const std::size_t server_bytes = c.wide && !c.binary ? units * 2 : out.size();
        if ((c.binary || b.wType == DBTYPE_STR || b.wType == DBTYPE_WSTR ||
             b.wType == DBTYPE_IUNKNOWN) &&
            server_bytes > max_value_bytes) {
            too_big = true;
            error = u"The bulk copy cannot send the " + number(server_bytes) +
                    u" bytes of the value of column " + c.info.name + u" of table " + table_ +
                    u" (at most " + number(max_value_bytes) + u").";
            return false;
        }
        // FreeTDS would cut a value longer than its column without a word: refuse it instead.
        if (c.limited && units > c.limit) {
            error = u"String or binary data would be truncated in table '" + table_ +
                    u"', column '" + c.info.name + u"': the value holds " + number(units) +
                    (c.binary ? u" bytes" : u" characters") + u", the column " + number(c.limit) +
                    u".";
            return false;
        }
        set_staged(c, out.data(), out.size());
        return true;
    }

    // FreeTDS 1.3.17 moves dates before 1600-03-01 by a day or two on their way (0001-01-01 so
    // far that the server refuses the whole batch): such a row is refused alone instead.
    static bool first_day(const DBTIMESTAMP& t) {
        return t.year < 1600 || (t.year == 1600 && t.month < 3);
    }

    std::u16string first_day_refused(const fast_column& c) const {
        return u"The bulk copy cannot send dates before 1600-03-01 (table " + table_ +
               u", column " + c.info.name + u"); the row is not sent.";
    }

    static std::u16string number(std::uint64_t n) {
        std::u16string out;
        do {
            out.insert(out.begin(), static_cast<char16_t>(u'0' + n % 10));
            n /= 10;
        } while (n != 0);
        return out;
    }

    static std::size_t utf16_length_of(const std::string& utf8) {
        std::u16string text;
        append_utf16(text, utf8);
        return text.size();
    }

    static bool read_stream(IUnknown* object, std::string& out) {
        ISequentialStream* stream = nullptr;
        if (FAILED(
                object->QueryInterface(IID_ISequentialStream, reinterpret_cast<void**>(&stream))) ||
            stream == nullptr) {
            return false;
        }
        char buffer[65536];
        bool ok = true;
        for (;;) {
            ULONG got = 0;
            const HRESULT hr = stream->Read(buffer, sizeof buffer, &got);
            if (FAILED(hr)) {
                ok = false;
                break;
            }
            out.append(buffer, got);
            if (hr == S_FALSE || got == 0) {
                break;
            }
        }
        stream->Release();
        return ok;
    }

    static void set_staged(fast_column& c, const char* data, std::size_t size) {
        const std::int32_t length = data == nullptr ? -1 : static_cast<std::int32_t>(size);
        if (c.staged.size() < 4 + size) {
            c.staged.resize(4 + size);
        }
        std::memcpy(c.staged.data(), &length, 4);
        if (size > 0) {
            std::memcpy(c.staged.data() + 4, data, size);
        }
    }

    std::mutex lock_;
    std::shared_ptr<tds_link> link_;
    std::unique_ptr<odbc::connection> connection_;
    std::vector<fast_column> columns_;
    std::vector<oledb_column> infos_;
    std::u16string table_;
    std::map<HACCESSOR, entry> accessors_;
    HACCESSOR next_accessor_ = 1;
    std::string scratch_;
    bool broken_ = false;
    bool sent_ = false;         // a row reached FreeTDS: the copy has begun
    std::uint64_t pending_ = 0; // rows sent since the last commit
};

} // namespace

HRESULT tds_open_fast_load(const std::shared_ptr<tds_link>& link, const std::u16string& quoted,
                           bool keep_identity, REFIID riid, IUnknown** rowset) {
    // The columns as the server describes them, by the statement FreeTDS's bulk copy sends too.
    tds_execution run;
    const std::u16string sql = u"SET FMTONLY ON select * from " + quoted + u" SET FMTONLY OFF";
    if (!tds_execute(*link, sql, true, run)) {
        if (!run.connect_failed && no_table(run.diagnostics)) {
            return tds_post(DB_E_NOTABLE, link->clsid(), IID_IOpenRowset, run.diagnostics,
                            u"The table does not exist.");
        }
        return tds_post(E_FAIL, link->clsid(), IID_IOpenRowset, run.diagnostics,
                        u"The columns of the table could not be read.");
    }
    std::vector<fast_column> columns;
    std::u16string clr_column;
    for (const tds_column& t : run.columns) {
        if ((t.info.type == DBTYPE_UDT || t.info.type == DBTYPE_VARIANT ||
             t.info.type == DBTYPE_XML || t.is_long) &&
            clr_column.empty()) {
            clr_column = t.info.name;
        }
        fast_column c;
        c.info = t.info;
        adapt(c);
        columns.push_back(std::move(c));
    }
    // Pooled again only when the whole probe ran, its SET FMTONLY OFF included.
    const bool drained = !run.statement || tds_drain(*run.statement, nullptr);
    run.statement.reset();
    if (run.connection && drained) {
        link->release(std::move(run.connection));
    }
    run.connection.reset();
    if (!clr_column.empty()) {
        // FreeTDS converts no client value to a CLR type (geometry, geography, hierarchyid)
        // or to sql_variant, cannot declare an xml column for the copy, and holds a value of a
        // long column ((max) types, text, ntext, image) in a buffer of 4096 bytes that a longer
        // value overruns: such tables are written by statements.
        return tds_post(DB_E_NOTSUPPORTED, link->clsid(), IID_IOpenRowset, {},
                        u"The bulk copy cannot send values of the type of column " + clr_column +
                            u".");
    }
    if (columns.empty()) {
        return tds_post(DB_E_NOTABLE, link->clsid(), IID_IOpenRowset, {},
                        u"The table has no columns to copy into.");
    }

    std::vector<odbc::diagnostic> diagnostics;
    std::unique_ptr<odbc::connection> connection = link->open_bulk_copy(diagnostics);
    if (!connection) {
        return tds_post(E_FAIL, link->clsid(), IID_IOpenRowset, diagnostics,
                        u"No connection for the bulk copy could be opened.");
    }
    bool ok = connection->bcp_init(quoted);
    if (ok && keep_identity) {
        ok = connection->bcp_keep_identity();
    }
    static const std::int32_t null_value = -1;
    for (std::size_t i = 0; ok && i < columns.size(); ++i) {
        if (!columns[i].skipped) {
            using kind = odbc::connection::bcp_value;
            ok = connection->bcp_bind(static_cast<int>(i + 1), &null_value,
                                      columns[i].binary      ? kind::bytes
                                      : columns[i].timestamp ? kind::timestamp
                                                             : kind::text);
        }
    }
    if (!ok) {
        const HRESULT hr = no_table(connection->diagnostics()) ? DB_E_NOTABLE : E_FAIL;
        return tds_post(hr, link->clsid(), IID_IOpenRowset, connection->diagnostics(),
                        u"The bulk copy into the table could not be started.");
    }
    auto* made = new tds_fast_load(link, std::move(connection), std::move(columns), quoted);
    const HRESULT hr = made->QueryInterface(riid, reinterpret_cast<void**>(rowset));
    made->Release();
    if (FAILED(hr)) {
        return tds_post(hr, link->clsid(), IID_IOpenRowset, {},
                        u"The bulk-copy rowset does not offer the requested interface.");
    }
    return com_succeed();
}
