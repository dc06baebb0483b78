// Following a path that a user gave, and opening the file it names, as every writer and reader
// of the programs' files does (the registry store among them).
#pragma once

#include <string>
#include <sys/types.h>

namespace win32 {

// An open file descriptor, closed with its owner.
class file_descriptor {
public:
    file_descriptor() = default;
    explicit file_descriptor(int fd) : fd_(fd) {}
    ~file_descriptor() { reset(); }
    file_descriptor(const file_descriptor&) = delete;
    file_descriptor& operator=(const file_descriptor&) = delete;
    file_descriptor(file_descriptor&& other) noexcept : fd_(other.release()) {}
    file_descriptor& operator=(file_descriptor&& other) noexcept;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() noexcept;
    void reset(int fd = -1) noexcept;

private:
    int fd_ = -1;
};

// Why a path or a file was refused rather than failing on its own.
enum class path_refusal {
    none,
    shared_link,      // a link the protected-symlinks rule does not follow (EACCES)
    link_loop,        // more links than the kernel follows (ELOOP)
    not_regular_file, // a pipe, device or open object where a file is written (EINVAL)
    other_owner,      // a file of another user where one is written or removed (EACCES)
    shared_hard_link, // a file with other hard links in a shared sticky folder (EACCES)
};

// Where a path leads: the folder its last name is in, held open, and that name.
//
// The folder is reached one name at a time from the start of the path, and every symbolic link
// on the way (the last name's included, and one met after a "..") is followed only where the
// kernel's protected-symlinks rule would follow it: a link in a sticky folder that everyone may
// write is followed only when it belongs to the caller or to the folder's owner. The rule is
// applied here, at every step, because a system may have it switched off. A ".." leaves the
// folder actually reached, as the kernel's does. Whatever later happens to the names on the
// way, a file opened in `folder` is the one found here.
struct followed_path {
    file_descriptor folder; // opened O_PATH
    std::string name;       // never a link that was allowed; "." when the path names a folder
    std::string text;       // the path as followed (links replaced by what they name)
    // Set for a link of /proc that names an open object rather than a path (/dev/fd/N of a
    // pipe): the object itself, opened O_PATH.
    file_descriptor object;
    // Why the path was refused; for a refused link, the link and its folder as followed.
    path_refusal refusal = path_refusal::none;
    std::string refused_link;
    std::string refused_folder;
};

// Follows `path` as described above: 0, or the errno. A refused link is EACCES and a loop of
// links (more than 40) ELOOP, both with `refusal` set. ENOENT is a folder on the way that does
// not exist, ENOTDIR a file where a folder stands; the last name need not exist. On a failure
// `text` is the path as followed so far with the names not reached yet.
// With `follow_last` false, a link as the last name is not followed: it is the name found.
int follow_path(const std::string& path, followed_path& followed, bool follow_last = true);

// Opens what a followed path names for reading with `flags`: the descriptor or -1 with errno.
file_descriptor open_followed(const followed_path& at, int flags);

// How a file is opened for writing.
enum class write_mode {
    create_new, // a file created here and now; an existing name fails with EEXIST
    append,     // the file, created when missing, written at its end
    truncate,   // the file, created when missing, emptied
};

// Opens the name `name` in the folder `folder` (from follow_path) to write into. It is never a
// link, never anything but a regular file, and never a file of another user: such a file is
// refused before a byte of it changes (`refusal` set), since writing into it would hand what is
// written to its owner; so is an existing file with other hard links in a sticky folder that
// everyone may write, since another user may have linked a file of the caller's there. A new
// file gets `mode` less the umask. Failures are -1 with errno.
// Opening never waits for a pipe's reader.
file_descriptor open_in_folder(int folder, const std::string& name, write_mode how, mode_t mode,
                               path_refusal& refusal);

// Removes the name `name` in `folder`, a file of another user refused as by open_in_folder:
// 0 or the errno; a missing file is ENOENT.
int remove_in_folder(int folder, const std::string& name, path_refusal& refusal);

// Follows `path` to a folder and holds it open (O_PATH), creating the folders missing on the
// way with `mode`; every prefix is followed as follow_path does, so a folder is only ever made
// where the followed path leads. 0 or the errno, with `at` telling a refusal.
int open_folder(const std::string& path, mode_t mode, file_descriptor& folder, followed_path& at);

} // namespace win32
