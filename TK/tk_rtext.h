// Reading a small text file (a profile, a table list) whole, with a bound on its size.
#pragma once

#include <cstddef>
#include <string>

// The largest profile or table-list file read; anything larger is refused, not read into memory.
inline constexpr std::size_t tk_text_file_limit = std::size_t{64} << 20;

enum class tk_read_result {
    ok,
    missing,   // no such file
    directory, // the path names a directory
    too_large, // more than the limit bytes
    failed,    // cannot be opened or read; errno tells why
};

// Reads the file at `path` (in the ANSI code page) into `bytes`. The bytes are counted as they
// arrive, so a device or pipe that reports no size (/dev/zero) is refused at the limit too. A
// pipe (a named one, or `<(cmd)`) is read until its writer closes it, waiting for a writer that
// has not opened it yet; a stop signal (tk_stop_requested) ends the wait as `failed`. Links
// are followed as tk_follow_path follows them: a refused link is a tk_exception (level 1).
tk_read_result tk_read_text_file(const std::string& path, std::size_t limit, std::string& bytes);

// The text that names a result for a message about the file (empty for ok).
std::string tk_read_result_text(tk_read_result result);
