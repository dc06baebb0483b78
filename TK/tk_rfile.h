// A file written beside its destination and put in place whole, or not at all.
#pragma once

#include "TK/tk_exitc.h"
#include "TK/tk_fpath.h"

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

struct stat;

// The file a path finally names: symbolic links are followed (a relative link from the folder
// of the link), the last one even when what it names does not exist yet, each only as the
// kernel's protected-symlinks rule would follow it (tk_follow_path, whose tk_exception a
// refused link or a loop is). The path as followed comes back; a path that cannot be followed
// (a folder on the way is missing) comes back as it is, for the caller's own checks to name.
std::string tk_link_target(const std::string& path);

// Whether `path` is a lock file of this program that a live run holds.
bool tk_is_live_lock(const std::string& path);

// The writer of a file that replaces its destination only when it is complete.
//
// The constructor follows the path (tk_follow_path: a link anywhere on it only as the kernel's
// protected-symlinks rule would follow it; a link is never replaced itself) and from then on
// works in the folder it reached, whatever happens to the names on the way. It refuses a target
// that is a folder, a device, a pipe, a socket, another run's live lock file or a file of
// another user (writing it would hand the contents to its owner, and replacing it would take
// away a file that is not the caller's), creates the lock file "<target>.lock" beside it and holds
// an advisory lock on it (a second writer of the same target is refused while the first holds it),
// and creates an empty temporary file ".<name>.<pid>-<n>.tmp" in the target's folder
// (tk_open_in_folder), with `mode` when it is given, else the permissions of an existing target,
// else those the umask gives. commit() renames the temporary file over the target; the destructor,
// discard() and the exit cleanups (tk_run_exit_cleanups) remove it instead.
//
// The lock file is the writer's own: created new (a file of that name that this program did not
// make is refused and kept), it names the process and its temporary file, and it is removed
// when the lock is released, only while its name still names that file. A lock file of this
// program that no process holds was left by a killed run; it is removed, with that run's
// temporary file, before the lock is taken.
// Failures are tk_exception (level 1) whose text begins "Cannot create the <kind> '<path>': ".
class tk_replaced_file {
public:
    tk_replaced_file(const std::string& path, const std::string& kind,
                     std::optional<mode_t> mode = std::nullopt);
    ~tk_replaced_file();
    tk_replaced_file(const tk_replaced_file&) = delete;
    tk_replaced_file& operator=(const tk_replaced_file&) = delete;

    // A name of the temporary file for the writer of its contents: it reaches the file this
    // object created, whatever happens meanwhile to the names on the way.
    const std::string& write_path() const { return write_path_; }
    // The temporary file, open for writing.
    int temp_fd() const { return temp_fd_.get(); }
    // Where the temporary file is, for messages.
    const std::string& temp_path() const { return temp_path_; }
    // The file that commit() replaces.
    const std::string& target() const { return target_; }
    const std::string& lock_path() const { return lock_path_; }

    // Puts the temporary file in place of the target and releases the lock; a failure removes
    // the temporary file and throws. Later calls do nothing.
    void commit();
    // Removes the temporary file and releases the lock; the target stays as it was.
    void discard() noexcept;
    bool committed() const { return committed_; }

private:
    void refuse_target_kind() const;
    void refuse_live_lock() const;
    void lock();
    tk_fd open_lock() const;
    // Refuses a live lock and a file that is not a lock; removes a stale lock and its run's
    // temporary file. A file short of a lock's text, unless on the `last_attempt`, is left for
    // the next attempt: its maker may not have written it yet.
    void clear_stale_lock(bool last_attempt);
    [[noreturn]] void refuse_foreign_lock() const;
    void remove_stale_temp(const std::string& lock_text, const struct stat& lock_st) const;
    void write_lock_text() const;
    void create_temp(std::optional<mode_t> mode);
    // The target's own status; false when it does not exist.
    bool target_status(struct stat& st) const;
    void release_lock() noexcept;
    [[noreturn]] void fail(const std::string& reason) const;

    std::string path_;
    std::string kind_;
    tk_followed_path at_;
    std::string target_;
    std::string lock_name_;
    std::string lock_path_;
    std::string temp_name_;
    std::string temp_path_;
    tk_fd temp_fd_;
    std::string write_path_;
    int lock_fd_ = -1;
    bool committed_ = false;
    bool done_ = false;
    std::optional<tk_exit_cleanup> cleanup_;
};

// Puts `bytes` in place of the file `path` names, whole or not at all, through a
// tk_replaced_file (whose rules and messages hold); `mode`, when given, is the new file's
// permissions whatever the umask. A failure to write is "Cannot write the <kind> '<path>': ...".
void tk_replace_file_contents(const std::string& path, const std::string& kind,
                              std::string_view bytes, std::optional<mode_t> mode = std::nullopt);
