// The rows of one table sent to a MySQL server in transactions of many rows.
#include "converter/vlm_batch.h"

#include "SQL/sql_engi.h"
#include "TK/tk_log.h"

#include <algorithm>

namespace {

// `failure` followed by how many records of the table are surely in it: "No row of this table
// is surely in it." or "The rows up to record #N are in the table; later ones may be missing."
tk_exception with_rows_in_table(const tk_exception& failure, std::uint64_t records) {
    tk_exception annotated(failure);
    annotated.message = std::string(failure.what()) +
                        (records == 0 ? " No row of this table is surely in it."
                                      : " The rows up to record #" + std::to_string(records) +
                                            " are in the table; later ones may be missing.");
    return annotated;
}

} // namespace

vlm_row_batch::vlm_row_batch(sql_engine* engine, std::uint64_t size)
    : engine_(engine), size_(std::max<std::uint64_t>(size, 1)) {
}

vlm_row_batch::~vlm_row_batch() {
    if (engine_ != nullptr && open_ && !failed_ && engine_->run("COMMIT") != 0) {
        tk_log_message(3, "The last rows of the table could not be committed: %s",
                       mysql_error(engine_->connection()));
    }
}

void vlm_row_batch::run_or_throw(const char* statement) {
    if (engine_->run(statement) != 0) {
        throw sql_exception();
    }
}

void vlm_row_batch::before_row() {
    if (engine_ == nullptr || open_) {
        return;
    }
    if (failed_) {
        throw_kept_failure();
    }
    try {
        run_or_throw("START TRANSACTION");
    } catch (const tk_exception& error) {
        throw with_committed_count(error);
    }
    open_ = true;
    pending_ = 0;
}

void vlm_row_batch::after_row(std::uint64_t record) {
    if (engine_ == nullptr) {
        return;
    }
    if (failed_) {
        throw_kept_failure();
    }
    last_sent_ = record;
    if (!open_) {
        // The row's report committed the batch: everything up to it is settled.
        committed_ = record;
        return;
    }
    if (++pending_ >= size_) {
        commit();
    }
}

void vlm_row_batch::check_transaction_kept(const tk_exception& row_error) {
    if (engine_ == nullptr || !open_ ||
        sql_failure_reach_of(row_error.code) == sql_failure_reach::connection) {
        return;
    }
    // An error packet carries no status flags: a statement that does nothing brings them.
    try {
        run_or_throw("DO 0");
    } catch (const tk_exception& error) {
        open_ = false;
        lost_ = pending_ > 0;
        throw with_committed_count(error);
    }
    if ((engine_->connection()->server_status & SERVER_STATUS_IN_TRANS) != 0) {
        return;
    }
    open_ = false;
    if (pending_ == 0) {
        return; // the failed row was the batch's first: nothing else was lost
    }
    pending_ = 0;
    lost_ = true;
    throw with_committed_count(tk_exception(
        "The server rolled back the transaction of the rows sent since the last commit: " +
            std::string(row_error.what()),
        0));
}

void vlm_row_batch::commit() {
    if (failed_) {
        throw_kept_failure();
    }
    if (engine_ == nullptr || !open_) {
        return;
    }
    open_ = false;
    try {
        run_or_throw("COMMIT");
    } catch (const tk_exception& error) {
        lost_ = pending_ > 0;
        throw with_committed_count(error);
    }
    committed_ = last_sent_;
    pending_ = 0;
}

void vlm_row_batch::commit_before_report() noexcept {
    if (engine_ == nullptr || !open_ || failed_) {
        return;
    }
    open_ = false;
    if (engine_->run("COMMIT") != 0) {
        failed_ = true;
        lost_ = pending_ > 0;
        failure_ = with_committed_count(sql_exception());
        return;
    }
    committed_ = last_sent_;
    pending_ = 0;
}

tk_exception vlm_row_batch::with_committed_count(const tk_exception& failure) const {
    count_told_ = true;
    if (table_gone && table_gone()) {
        tk_exception annotated(failure);
        annotated.message = std::string(failure.what()) + " " + vlm_table_gone_text;
        return annotated;
    }
    return with_rows_in_table(failure, committed_);
}

void vlm_row_batch::throw_kept_failure() {
    throw failure_;
}
