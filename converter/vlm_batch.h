// The rows of one table sent to a MySQL server in transactions of many rows: one commit per row
// would make the server flush its log once per row.
#pragma once

#include "TK/tk_excep.h"

#include <cstdint>
#include <functional>
#include <string>

class sql_engine;

// Said of a table that a failure found gone from the destination, in place of how many of its
// rows are there.
inline constexpr const char* vlm_table_gone_text =
    "The table is no longer in the destination database.";

// Opens a transaction before the first row of a batch and commits it after `size` rows, before
// every report to the user (through the error handler's hook, which the caller sets) and when
// the table ends. A failed row statement rolls back only itself; a transaction the server rolled
// back, or a connection lost while rows were uncommitted, is told apart and reported with the
// number of records surely in the table. Without an engine (a script file, merge and
// synchronize, which keep their row-by-row handling) every call does nothing.
class vlm_row_batch {
public:
    vlm_row_batch(sql_engine* engine, std::uint64_t size);
    // Commits what is still open; a failure here is only traced (an exception is leaving).
    ~vlm_row_batch();

    vlm_row_batch(const vlm_row_batch&) = delete;
    vlm_row_batch& operator=(const vlm_row_batch&) = delete;

    // Before the row's statement: opens a transaction when none is open.
    void before_row();
    // After the statement of record `record` (1-based within the table), sent or refused:
    // commits when the batch is full.
    void after_row(std::uint64_t record);
    // After a refused row statement: throws a table-ending tk_exception when the server rolled
    // back the open transaction with it (a deadlock, a lock wait timeout under
    // innodb_rollback_on_timeout), whatever the error's code said.
    void check_transaction_kept(const tk_exception& row_error);
    // Commits what is open; a failure throws the table-ending error.
    void commit();
    // Commits what is open for a report that may end the process or wait for an answer; a
    // failure is kept and thrown by the next after_row or commit.
    void commit_before_report() noexcept;

    // Asked when a failure ends the table: whether the table is gone from the destination (it,
    // or its database, was dropped), when no count of rows in it holds. Unset: never gone.
    std::function<bool()> table_gone;

    // Records of the table surely committed so far.
    std::uint64_t committed() const { return committed_; }
    // The error `failure` gets when rows may be missing: its text followed by how many records
    // are surely in the table, with its code and level.
    tk_exception with_committed_count(const tk_exception& failure) const;
    // An error with that count was made: the failure that ends the table says how far it got.
    bool count_told() const { return count_told_; }
    // Rows were sent since the last commit.
    bool has_uncommitted() const { return open_ && pending_ > 0; }
    // Rows sent were lost (rolled back, or their commit failed): only committed() counts.
    bool lost() const { return lost_; }
    // The failure of a commit made before a report, with the count of records surely in the
    // table; null when there is none. after_row and commit throw it, but a run that ends without
    // either (Abort, a stop request, a report that ends the process) must show it itself.
    const tk_exception* kept_failure() const { return failed_ ? &failure_ : nullptr; }

private:
    void run_or_throw(const char* statement);
    [[noreturn]] void throw_kept_failure();

    sql_engine* engine_;
    std::uint64_t size_;
    std::uint64_t pending_ = 0;   // rows sent in the open transaction
    std::uint64_t last_sent_ = 0; // the record number of the last row sent
    std::uint64_t committed_ = 0;
    bool open_ = false;
    bool failed_ = false;
    bool lost_ = false;
    mutable bool count_told_ = false;
    tk_exception failure_{std::string(), 0};
};
