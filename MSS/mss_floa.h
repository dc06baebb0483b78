// The bulk-load object that every MS SQL table holds for the writer. The reading side only
// constructs it, destroys it and closes a bulk load that is still open; it never opens one.
#pragma once

class mss_fast_load {
public:
    // Closed, with nothing held; cannot fail.
    mss_fast_load();
    ~mss_fast_load();
    mss_fast_load(const mss_fast_load&) = delete;
    mss_fast_load& operator=(const mss_fast_load&) = delete;

    // Whether the writer's bulk load of the table is open.
    bool is_open() const { return open_; }

    // Commits and closes an open bulk load; on a closed one an internal error.
    void close_table();

private:
    bool open_ = false;
};
