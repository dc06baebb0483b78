// The rowset of the SQL Server provider.
#include "platform/tds/tds_rowset.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace {

// Long values are read in pieces of this size.
constexpr std::size_t piece = 64 * 1024;

} // namespace

tds_rowset::tds_rowset(std::shared_ptr<tds_link> link, tds_execution execution, std::u16string sql)
    : link_(std::move(link)), connection_(std::move(execution.connection)),
      statement_(std::move(execution.statement)), sql_(std::move(sql)),
      columns_(std::move(execution.columns)) {
    row_size_ = tds_layout_row(columns_);
    long_slot_.assign(columns_.size(), 0);
    for (std::size_t i = 0; i < columns_.size(); ++i) {
        if (columns_[i].is_long) {
            long_slot_[i] = long_columns_.size();
            long_columns_.push_back(i);
        }
        info_.push_back(columns_[i].info);
    }
    block_mode_ = long_columns_.empty();
}

tds_rowset::~tds_rowset() {
    close_statement();
}

void tds_rowset::close_statement() {
    if (statement_) {
        statement_->close();
        statement_.reset();
    }
    bound_ = false;
    if (connection_) {
        link_->release(std::move(connection_));
    }
}

HRESULT tds_rowset::fail(HRESULT result, const std::u16string& text) {
    return tds_post(result, link_->clsid(), IID_IRowset, {}, text);
}

HRESULT tds_rowset::fail_odbc(HRESULT result, const std::vector<odbc::diagnostic>& diagnostics) {
    return tds_post(result, link_->clsid(), IID_IRowset, diagnostics,
                    u"The rows could not be read from the server.");
}

void tds_rowset::note_failure() {
    failed_ = true;
    failure_ = statement_ ? statement_->diagnostics() : std::vector<odbc::diagnostic>{};
    // The driver may fail a call without saying why; the connection's own state tells whether
    // it is gone.
    if (connection_ && connection_->dead() && !tds_connection_lost(failure_)) {
        failure_.insert(failure_.begin(), {u"08S01", 0, u"Communication link failure"});
    }
    if (failure_.empty()) {
        failure_.push_back({u"HY000", 0, u"The rows could not be read from the server."});
    }
}

bool tds_rowset::held(HROW handle, std::size_t& index) const {
    if (handle <= handle_base_ || handle > handle_base_ + rows_in_block_) {
        return false;
    }
    index = static_cast<std::size_t>(handle - handle_base_ - 1);
    return held_[index] > 0;
}

bool tds_rowset::prepare_block(std::uint64_t rows) {
    if (rows > capacity_) {
        images_.assign(rows * row_size_ / sizeof(std::uint64_t), 0);
        row_statuses_.assign(rows, 0);
        capacity_ = rows;
        bound_ = false;
    }
    if (!block_mode_) {
        if (longs_.size() < rows) {
            longs_.resize(rows, std::vector<long_value>(long_columns_.size()));
        }
        return true;
    }
    if (bound_ && bound_rows_ == rows) {
        return true;
    }
    auto* base = reinterpret_cast<BYTE*>(images_.data());
    if (!statement_->set_block(rows, row_size_, &fetched_, row_statuses_.data())) {
        return false;
    }
    for (std::size_t i = 0; i < columns_.size(); ++i) {
        const tds_column& c = columns_[i];
        if (!statement_->bind(static_cast<int>(i + 1), c.c_type, base + c.value_offset, c.slot_size,
                              reinterpret_cast<odbc::sql_len*>(base + c.indicator_offset))) {
            return false;
        }
    }
    bound_ = true;
    bound_rows_ = rows;
    return true;
}

std::uint64_t tds_rowset::fetch_block(std::uint64_t rows) {
    if (ended_ || failed_ || !statement_) {
        return 0;
    }
    // However many rows are asked for, a block holds what the budget allows: wide rows, and
    // rows with long values, come fewer at a time.
    const std::uint64_t per_row =
        row_size_ +
        (block_mode_ ? 0
                     : sizeof(std::vector<long_value>) + long_columns_.size() * sizeof(long_value));
    rows = std::max<std::uint64_t>(1, std::min(rows, block_byte_budget / per_row));
    return block_mode_ ? fetch_bound(rows) : fetch_each(rows);
}

std::uint64_t tds_rowset::fetch_bound(std::uint64_t rows) {
    if (!prepare_block(rows)) {
        note_failure();
        return 0;
    }
    fetched_ = 0;
    const odbc::outcome o = statement_->fetch();
    const std::uint64_t reported = fetched_;
    if (o == odbc::outcome::no_data) {
        finish();
        return 0;
    }
    // Rows up to the first that failed arrived whole; a failure after them is kept for the
    // next fetch, so that the consumer gets the complete rows first and then the error.
    std::uint64_t good = 0;
    const std::uint64_t n = o == odbc::outcome::error ? reported : std::min(reported, rows);
    while (good < n && (row_statuses_[good] == odbc::row_success ||
                        row_statuses_[good] == odbc::row_success_with_info)) {
        ++good;
    }
    if (o == odbc::outcome::error || good < n) {
        note_failure();
    }
    fetched_any_ = fetched_any_ || good > 0;
    return good;
}

bool tds_rowset::read_long(std::size_t row, std::size_t column, std::size_t slot) {
    const tds_column& c = columns_[column];
    long_value& v = longs_[row][slot];
    const std::size_t terminator = c.c_type == odbc::c_wchar ? sizeof(char16_t) : 0;
    // The first piece goes to a scratch buffer, so a small value costs only its own bytes.
    scratch_.resize(piece);
    odbc::sql_len indicator = 0;
    odbc::outcome o = statement_->get_data(static_cast<int>(column + 1), c.c_type, scratch_.data(),
                                           static_cast<odbc::sql_len>(piece), &indicator);
    if (o == odbc::outcome::error) {
        return false;
    }
    if (o == odbc::outcome::no_data) {
        v.length = 0; // nothing to read: an empty value
        v.bytes.clear();
        return true;
    }
    if (indicator == odbc::null_data) {
        v.length = odbc::null_data;
        v.bytes.clear();
        return true;
    }
    const auto more_after = [&](odbc::outcome r, std::size_t room) {
        return r == odbc::outcome::info && !c.read_once &&
               (indicator == odbc::no_total ||
                static_cast<std::size_t>(indicator) > room - terminator);
    };
    const auto received = [&](std::size_t room) {
        return indicator == odbc::no_total
                   ? room - terminator
                   : std::min(static_cast<std::size_t>(indicator), room - terminator);
    };
    std::size_t have = received(piece);
    bool more = more_after(o, piece);
    // Bytes still to come after the last piece, when the driver tells them.
    std::optional<std::size_t> remaining;
    if (indicator != odbc::no_total) {
        remaining = static_cast<std::size_t>(indicator) - have;
    }
    // A buffer left large by an earlier long value goes when the new one is much smaller.
    if (v.bytes.capacity() > (std::size_t{1} << 20) && v.bytes.capacity() > 4 * have && !more) {
        std::string().swap(v.bytes);
    }
    v.bytes.assign(scratch_.data(), have);
    while (more) {
        // Grow to the announced length, or by half again when the driver cannot tell it.
        const std::size_t rest = remaining ? *remaining + terminator : std::max(piece, have / 2);
        v.bytes.resize(have + std::max(rest, terminator + 2));
        const std::size_t room = v.bytes.size() - have;
        o = statement_->get_data(static_cast<int>(column + 1), c.c_type, v.bytes.data() + have,
                                 static_cast<odbc::sql_len>(room), &indicator);
        if (o == odbc::outcome::error) {
            return false;
        }
        if (o == odbc::outcome::no_data) {
            break;
        }
        const std::size_t got = received(room);
        have += got;
        more = more_after(o, room);
        remaining.reset();
        if (indicator != odbc::no_total) {
            remaining = static_cast<std::size_t>(indicator) - got;
        }
    }
    v.bytes.resize(have);
    v.length = static_cast<odbc::sql_len>(have);
    return true;
}

std::uint64_t tds_rowset::fetch_each(std::uint64_t rows) {
    prepare_block(rows);
    auto* base = reinterpret_cast<BYTE*>(images_.data());
    std::uint64_t count = 0;
    std::uint64_t bytes = 0;
    while (count < rows) {
        const odbc::outcome o = statement_->fetch();
        if (o == odbc::outcome::no_data) {
            finish();
            break;
        }
        if (o == odbc::outcome::error) {
            note_failure();
            break;
        }
        BYTE* image = base + count * row_size_;
        bool ok = true;
        std::size_t slot = 0;
        for (std::size_t i = 0; ok && i < columns_.size(); ++i) {
            const tds_column& c = columns_[i];
            if (c.is_long) {
                ok = read_long(static_cast<std::size_t>(count), i, slot);
                bytes += longs_[count][slot].bytes.size();
                ++slot;
                continue;
            }
            odbc::sql_len* indicator = reinterpret_cast<odbc::sql_len*>(image + c.indicator_offset);
            const odbc::outcome r = statement_->get_data(
                static_cast<int>(i + 1), c.c_type, image + c.value_offset, c.slot_size, indicator);
            ok = odbc::succeeded(r);
        }
        if (!ok) {
            // A row cut short is not delivered; its error is.
            note_failure();
            break;
        }
        ++count;
        fetched_any_ = true;
        if (bytes >= block_byte_budget) {
            break;
        }
    }
    return count;
}

void tds_rowset::finish() {
    ended_ = true;
    if (statement_ && !tds_drain(*statement_, nullptr)) {
        // An error after the last row (a later statement of the batch) fails the read.
        note_failure();
        ended_ = false;
    }
    close_statement();
}

HRESULT tds_rowset::execute_again() {
    close_statement();
    std::vector<odbc::diagnostic> diagnostics;
    tds_execution again;
    if (!tds_execute(*link_, sql_, true, again)) {
        return fail_odbc(again.connect_failed ? E_FAIL : DB_E_ERRORSINCOMMAND, again.diagnostics);
    }
    if (again.columns.size() != columns_.size()) {
        return fail(E_FAIL, u"The statement returned other columns when it ran again.");
    }
    connection_ = std::move(again.connection);
    statement_ = std::move(again.statement);
    bound_ = false;
    return S_OK;
}

HRESULT tds_rowset::GetNextRows(HCHAPTER, DBROWOFFSET offset, DBROWCOUNT rows,
                                DBCOUNTITEM* obtained, HROW** handles) {
    std::lock_guard guard(lock_);
    if (obtained == nullptr || handles == nullptr) {
        return fail(E_INVALIDARG, u"No place for the fetched rows was given.");
    }
    *obtained = 0;
    if (rows < 0 || offset < 0) {
        return fail(DB_E_CANTFETCHBACKWARDS, u"The rowset reads forward only.");
    }
    if (std::any_of(held_.begin(), held_.end(), [](DBREFCOUNT r) { return r > 0; })) {
        return fail(DB_E_ROWSNOTRELEASED, u"Rows of the last fetch are still held.");
    }
    handle_base_ += rows_in_block_;
    rows_in_block_ = 0;
    held_.clear();
    // Skipped rows are read and dropped.
    for (DBROWOFFSET skipped = 0; skipped < offset;) {
        const std::uint64_t n =
            fetch_block(static_cast<std::uint64_t>(std::min<DBROWOFFSET>(offset - skipped, 100)));
        if (n == 0) {
            break;
        }
        skipped += static_cast<DBROWOFFSET>(n);
    }
    std::uint64_t count = rows > 0 ? fetch_block(static_cast<std::uint64_t>(rows)) : 0;
    if (count == 0) {
        if (failed_) {
            return fail_odbc(E_FAIL, failure_);
        }
        return com_succeed(rows > 0 && ended_ ? DB_S_ENDOFROWSET : S_OK);
    }
    if (*handles == nullptr) {
        *handles = static_cast<HROW*>(CoTaskMemAlloc(count * sizeof(HROW)));
        if (*handles == nullptr) {
            return fail(E_OUTOFMEMORY, u"Out of memory.");
        }
    }
    rows_in_block_ = count;
    held_.assign(count, 1);
    for (std::uint64_t i = 0; i < count; ++i) {
        (*handles)[i] = handle_base_ + i + 1;
    }
    *obtained = count;
    if (count < static_cast<std::uint64_t>(rows)) {
        return com_succeed(ended_ ? DB_S_ENDOFROWSET : failed_ ? S_OK : DB_S_ROWLIMITEXCEEDED);
    }
    return com_succeed();
}

HRESULT tds_rowset::GetData(HROW row, HACCESSOR accessor, void* data) {
    std::lock_guard guard(lock_);
    std::size_t index = 0;
    if (!held(row, index)) {
        return fail(DB_E_BADROWHANDLE, u"The row handle is not valid.");
    }
    const std::vector<DBBINDING>* bindings = accessors_.find(accessor);
    if (bindings == nullptr) {
        return fail(DB_E_BADACCESSORHANDLE, u"The accessor handle is not valid.");
    }
    if (data == nullptr) {
        return fail(E_INVALIDARG, u"No row buffer was given.");
    }
    const BYTE* image = reinterpret_cast<const BYTE*>(images_.data()) + index * row_size_;
    auto* out = static_cast<BYTE*>(data);
    std::size_t errors = 0;
    for (const DBBINDING& binding : *bindings) {
        const tds_column& c = columns_[binding.iOrdinal - 1];
        const void* value = nullptr;
        odbc::sql_len length = odbc::null_data;
        if (c.is_long) {
            const long_value& v = longs_[index][long_slot_[binding.iOrdinal - 1]];
            value = v.bytes.data();
            length = v.length;
        } else {
            std::memcpy(&length, image + c.indicator_offset, sizeof length);
            value = image + c.value_offset;
            const std::uint64_t room =
                c.kind == tds_kind::text ? c.slot_size - sizeof(char16_t) : c.slot_size;
            if (length != odbc::null_data &&
                (length < 0 || static_cast<std::uint64_t>(length) > room) &&
                (c.kind == tds_kind::text || c.kind == tds_kind::binary)) {
                // The driver cut a value its column size promised would fit: never pass it on
                // as whole.
                const DBSTATUS status = DBSTATUS_E_DATAOVERFLOW;
                if ((binding.dwPart & DBPART_STATUS) != 0) {
                    std::memcpy(out + binding.obStatus, &status, sizeof status);
                }
                ++errors;
                continue;
            }
        }
        const DBSTATUS status = tds_put_value(c, binding, out, value, length);
        if (status != DBSTATUS_S_OK && status != DBSTATUS_S_ISNULL &&
            status != DBSTATUS_S_TRUNCATED) {
            ++errors;
        }
    }
    if (errors == 0) {
        return com_succeed();
    }
    return errors == bindings->size()
               ? fail(DB_E_ERRORSOCCURRED, u"No value of the row could be returned.")
               : fail(DB_S_ERRORSOCCURRED, u"Some values of the row could not be returned.");
}

HRESULT tds_rowset::AddRefRows(DBCOUNTITEM rows, const HROW handles[], DBREFCOUNT ref_counts[],
                               DBROWSTATUS statuses[]) {
    std::lock_guard guard(lock_);
    const HRESULT hr = oledb_change_row_refs(rows, handles, ref_counts, statuses,
                                             [this](HROW handle, DBREFCOUNT& count) {
                                                 std::size_t index = 0;
                                                 if (!held(handle, index)) {
                                                     return false;
                                                 }
                                                 count = ++held_[index];
                                                 return true;
                                             });
    return hr == S_OK ? com_succeed() : fail(hr, oledb_row_refs_error(hr));
}

HRESULT tds_rowset::ReleaseRows(DBCOUNTITEM rows, const HROW handles[], DBROWOPTIONS[],
                                DBREFCOUNT ref_counts[], DBROWSTATUS statuses[]) {
    std::lock_guard guard(lock_);
    const HRESULT hr = oledb_change_row_refs(rows, handles, ref_counts, statuses,
                                             [this](HROW handle, DBREFCOUNT& count) {
                                                 std::size_t index = 0;
                                                 if (!held(handle, index)) {
                                                     return false;
                                                 }
                                                 count = --held_[index];
                                                 return true;
                                             });
    return hr == S_OK ? com_succeed() : fail(hr, oledb_row_refs_error(hr));
}

HRESULT tds_rowset::RestartPosition(HCHAPTER) {
    std::lock_guard guard(lock_);
    if (std::any_of(held_.begin(), held_.end(), [](DBREFCOUNT r) { return r > 0; })) {
        return fail(DB_E_ROWSNOTRELEASED, u"Rows of the last fetch are still held.");
    }
    handle_base_ += rows_in_block_;
    rows_in_block_ = 0;
    held_.clear();
    if (statement_ && !fetched_any_ && !ended_ && !failed_) {
        return com_succeed(); // still before the first row
    }
    // A forward-only result starts again by running its statement again.
    ended_ = false;
    failed_ = false;
    failure_.clear();
    fetched_any_ = false;
    const HRESULT hr = execute_again();
    if (FAILED(hr)) {
        failed_ = true;
        return hr;
    }
    return com_succeed();
}

HRESULT tds_rowset::AddRefAccessor(HACCESSOR accessor, DBREFCOUNT* ref_count) {
    std::lock_guard guard(lock_);
    const HRESULT hr = accessors_.add_ref(accessor, ref_count);
    return FAILED(hr) ? fail(hr, u"The accessor handle is not valid.") : com_succeed(hr);
}

HRESULT tds_rowset::CreateAccessor(DBACCESSORFLAGS flags, DBCOUNTITEM bindings,
                                   const DBBINDING binding_array[], DBLENGTH, HACCESSOR* accessor,
                                   DBBINDSTATUS statuses[]) {
    std::lock_guard guard(lock_);
    if (accessor != nullptr && binding_array != nullptr) {
        bool bad = false;
        for (DBCOUNTITEM i = 0; i < bindings; ++i) {
            const DBBINDING& b = binding_array[i];
            const DBBINDSTATUS status =
                b.iOrdinal == 0 || b.iOrdinal > columns_.size()
                    ? DBBINDSTATUS_BADORDINAL
                    : tds_check_binding(columns_[b.iOrdinal - 1], b, columns_.size());
            if (statuses != nullptr) {
                statuses[i] = status;
            }
            bad = bad || status != DBBINDSTATUS_OK;
        }
        if (bad) {
            *accessor = DB_NULL_HACCESSOR;
            return fail(DB_E_ERRORSOCCURRED, u"A binding cannot be served by this rowset.");
        }
    }
    const HRESULT hr =
        accessors_.create(flags, bindings, binding_array, columns_.size(), accessor, statuses);
    return FAILED(hr) ? fail(hr, u"The accessor could not be created.") : com_succeed(hr);
}

HRESULT tds_rowset::ReleaseAccessor(HACCESSOR accessor, DBREFCOUNT* ref_count) {
    std::lock_guard guard(lock_);
    const HRESULT hr = accessors_.release(accessor, ref_count);
    return FAILED(hr) ? fail(hr, u"The accessor handle is not valid.") : com_succeed(hr);
}

HRESULT tds_rowset::GetColumnInfo(DBORDINAL* columns, DBCOLUMNINFO** info, OLECHAR** strings) {
    std::lock_guard guard(lock_);
    const HRESULT hr = oledb_column_info(info_, columns, info, strings);
    return FAILED(hr) ? fail(hr, u"The column information could not be returned.")
                      : com_succeed(hr);
}
