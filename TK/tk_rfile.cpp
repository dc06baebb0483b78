// A file written beside its destination and put in place whole, or not at all.
#include "TK/tk_rfile.h"

#include "TK/tk_excep.h"
#include "TK/tk_log.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <thread>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::atomic<unsigned> temp_counter{0};

// The first line of every lock file this program makes: a file of the lock's name without it
// is someone else's, and is neither taken over nor removed.
constexpr std::string_view lock_signature = "velmora lock file\n";
constexpr std::size_t lock_read_limit = 4096;
constexpr int lock_attempts = 8;
constexpr std::chrono::milliseconds lock_retry_pause{25};

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Up to lock_read_limit bytes from the start of the open file.
std::string read_head(int fd) {
    std::string text(lock_read_limit, '\0');
    const ssize_t got = pread(fd, text.data(), text.size(), 0);
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return text;
}

bool is_lock_text(const std::string& text) {
    return text.compare(0, lock_signature.size(), lock_signature) == 0;
}

// The value of "key=" on a line of a lock file's text; empty when it has none.
std::string lock_field(const std::string& text, const std::string& key) {
    const std::string start = "\n" + key + "=";
    const std::size_t at = text.find(start);
    if (at == std::string::npos) {
        return {};
    }
    const std::size_t from = at + start.size();
    const std::size_t end = text.find('\n', from);
    return end == std::string::npos ? std::string() : text.substr(from, end - from);
}

bool all_digits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

namespace {

bool is_live_lock(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && is_lock_text(read_head(fd)) &&
           flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

bool is_live_lock_in(int folder, const std::string& name) {
    const tk_fd fd(openat(folder, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    return fd.valid() && is_live_lock(fd.get());
}

} // namespace

bool tk_is_live_lock(const std::string& path) {
    const tk_fd fd = tk_open_for_reading(path, O_RDONLY | O_NONBLOCK);
    return fd.valid() && is_live_lock(fd.get());
}

std::string tk_link_target(const std::string& path) {
    tk_followed_path followed;
    tk_follow_path(path, followed);
    return followed.text.empty() ? path : followed.text;
}

tk_replaced_file::tk_replaced_file(const std::string& path, const std::string& kind,
                                   std::optional<mode_t> mode)
    : path_(path), kind_(kind) {
    if (const int error = tk_follow_path(path, at_)) {
        fail(std::strerror(error));
    }
    target_ = at_.text;
    lock_name_ = at_.name + ".lock";
    lock_path_ = target_ + ".lock";
    refuse_target_kind();
    lock();
    try {
        create_temp(mode);
    } catch (...) {
        release_lock();
        throw;
    }
    cleanup_.emplace([this] { discard(); });
}

tk_replaced_file::~tk_replaced_file() {
    discard();
}

void tk_replaced_file::fail(const std::string& reason) const {
    throw tk_exception("Cannot create the " + kind_ + " '" + path_ + "': " + reason, 1);
}

bool tk_replaced_file::target_status(struct stat& st) const {
    return fstatat(at_.folder.get(), at_.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

void tk_replaced_file::refuse_target_kind() const {
    if (at_.object.valid()) {
        fail("'" + target_ + "' is not a regular file");
    }
    struct stat st {};
    if (!target_status(st)) {
        return;
    }
    if (S_ISDIR(st.st_mode)) {
        fail("'" + target_ + "' is a folder");
    }
    if (!S_ISREG(st.st_mode)) {
        fail("'" + target_ + "' is not a regular file");
    }
    if (st.st_uid != geteuid()) {
        fail("'" + target_ + "' belongs to another user");
    }
    refuse_live_lock();
}

void tk_replaced_file::refuse_live_lock() const {
    if (is_live_lock_in(at_.folder.get(), at_.name)) {
        fail("'" + target_ + "' is the lock file of another run");
    }
}

void tk_replaced_file::lock() {
    // The lock file is created here or not at all (O_EXCL), so a file of that name that this
    // program did not make is never taken over, and only its maker removes it. A lock file of
    // this program whose lock nobody holds was left by a run that was killed: it is cleared
    // away with that run's temporary file.
    for (int attempt = 0; attempt < lock_attempts; ++attempt) {
        tk_fd created = open_lock();
        if (created.valid()) {
            const int fd = created.release();
            // Blocking: a run that opened the new file to look at it lets go at once.
            while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
            }
            lock_fd_ = fd;
            write_lock_text();
            return;
        }
        if (errno != EEXIST) {
            fail(std::strerror(errno));
        }
        clear_stale_lock(attempt + 1 == lock_attempts);
    }
    fail("its lock file '" + lock_path_ + "' keeps changing");
}

tk_fd tk_replaced_file::open_lock() const {
    try {
        return tk_open_in_folder(at_.folder.get(), lock_name_, lock_path_,
                                 tk_write_mode::create_new, 0644);
    } catch (const tk_exception& refused) {
        fail(refused.message);
    }
}

void tk_replaced_file::refuse_foreign_lock() const {
    fail("the name of its lock file '" + lock_path_ +
         "' is taken by a file this program did not make (it is left as it is)");
}

void tk_replaced_file::clear_stale_lock(bool last_attempt) {
    const int fd = openat(at_.folder.get(), lock_name_.c_str(),
                          O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) {
            return;
        }
        refuse_foreign_lock();
    }
    struct stat held {};
    if (fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
        close(fd);
        refuse_foreign_lock();
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        if (error == EWOULDBLOCK) {
            throw tk_exception("The " + kind_ + " '" + path_ +
                                   "' is being written by another run (lock file '" + lock_path_ +
                                   "')",
                               1);
        }
        fail(std::strerror(error));
    }
    const std::string text = read_head(fd);
    if (!is_lock_text(text)) {
        close(fd);
        // The run that made the file takes its lock and writes its text right after; a file
        // still short of the text may be that run's, caught in between, so it is looked at
        // again before it is taken for someone else's.
        if (!last_attempt && lock_signature.compare(0, text.size(), text) == 0) {
            std::this_thread::sleep_for(lock_retry_pause);
            return;
        }
        refuse_foreign_lock();
    }
    struct stat named {};
    if (fstatat(at_.folder.get(), lock_name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        same_file(held, named)) {
        remove_stale_temp(text, held);
        if (unlinkat(at_.folder.get(), lock_name_.c_str(), 0) != 0 && errno != ENOENT) {
            const int error = errno;
            close(fd);
            fail("cannot remove the lock file '" + lock_path_ +
                 "' of a run that ended: " + std::strerror(error));
        }
    }
    close(fd);
}

void tk_replaced_file::remove_stale_temp(const std::string& lock_text,
                                         const struct stat& lock_st) const {
    // Only a name this program gives its temporary files, of the run the lock names, made by
    // the same user as the lock: a lock file written by someone else cannot point elsewhere.
    const std::string pid = lock_field(lock_text, "pid");
    const std::string name = lock_field(lock_text, "temp");
    const std::string prefix = "." + at_.name + "." + pid + "-";
    const std::string suffix = ".tmp";
    if (!all_digits(pid) || name.size() <= prefix.size() + suffix.size() ||
        name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0 ||
        !all_digits(std::string_view(name).substr(prefix.size(),
                                                  name.size() - prefix.size() - suffix.size()))) {
        return;
    }
    struct stat st {};
    if (fstatat(at_.folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode) && st.st_uid == lock_st.st_uid) {
        unlinkat(at_.folder.get(), name.c_str(), 0);
    }
}

void tk_replaced_file::write_lock_text() const {
    std::string text(lock_signature);
    text += "pid=" + std::to_string(getpid()) + "\n";
    if (!temp_name_.empty()) {
        text += "temp=" + temp_name_ + "\n";
    }
    // Each text begins with the one before, so writing over it from the start is enough.
    if (pwrite(lock_fd_, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
        tk_log_message(3, "Cannot write the lock file %s: %s", lock_path_.c_str(),
                       std::strerror(errno));
    }
}

void tk_replaced_file::create_temp(std::optional<mode_t> mode) {
    struct stat existing {};
    const bool replaces = target_status(existing);
    const std::string prefix = "." + at_.name + "." + std::to_string(getpid()) + "-";
    while (true) {
        temp_name_ = prefix + std::to_string(temp_counter++) + ".tmp";
        temp_path_ = folder_of(target_) + temp_name_;
        temp_fd_ = tk_open_in_folder(at_.folder.get(), temp_name_, temp_path_,
                                     tk_write_mode::create_new, mode.value_or(0666));
        if (!temp_fd_.valid() && errno == EEXIST) {
            continue;
        }
        if (!temp_fd_.valid()) {
            const int error = errno;
            temp_name_.clear();
            temp_path_.clear();
            fail(std::strerror(error));
        }
        // A replaced file keeps who may read it: a script of a private database stays private.
        // A mode given is kept exactly, whatever the umask.
        if (mode) {
            fchmod(temp_fd_.get(), *mode);
        } else if (replaces) {
            fchmod(temp_fd_.get(), existing.st_mode & 07777);
        }
        write_path_ = "/proc/self/fd/" + std::to_string(temp_fd_.get());
        // A later run clears the file away should this one be killed.
        write_lock_text();
        return;
    }
}

void tk_replaced_file::commit() {
    if (done_) {
        return;
    }
    // Another run may have taken the target's name as its lock since the start, and another
    // user may have put a file of theirs there.
    try {
        refuse_live_lock();
        struct stat st {};
        if (target_status(st) && st.st_uid != geteuid()) {
            fail("'" + target_ + "' belongs to another user");
        }
    } catch (...) {
        discard();
        throw;
    }
    if (renameat(at_.folder.get(), temp_name_.c_str(), at_.folder.get(), at_.name.c_str()) != 0) {
        const int error = errno;
        discard();
        throw tk_exception(
            "Cannot replace the " + kind_ + " '" + path_ + "': " + std::strerror(error), 1);
    }
    committed_ = true;
    done_ = true;
    temp_fd_.reset();
    release_lock();
    cleanup_.reset();
}

void tk_replaced_file::discard() noexcept {
    if (done_) {
        return;
    }
    done_ = true;
    if (!temp_name_.empty()) {
        unlinkat(at_.folder.get(), temp_name_.c_str(), 0);
    }
    temp_fd_.reset();
    release_lock();
}

void tk_replaced_file::release_lock() noexcept {
    if (lock_fd_ < 0) {
        return;
    }
    // Removed while still locked, and only while its name still names this run's own file:
    // another run's script may have been put in its place meanwhile.
    struct stat held {};
    struct stat named {};
    if (fstat(lock_fd_, &held) == 0 &&
        fstatat(at_.folder.get(), lock_name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        same_file(held, named)) {
        unlinkat(at_.folder.get(), lock_name_.c_str(), 0);
    }
    close(lock_fd_);
    lock_fd_ = -1;
}

void tk_replace_file_contents(const std::string& path, const std::string& kind,
                              std::string_view bytes, std::optional<mode_t> mode) {
    tk_replaced_file file(path, kind, mode);
    while (!bytes.empty()) {
        const ssize_t done = write(file.temp_fd(), bytes.data(), bytes.size());
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            throw tk_exception(
                "Cannot write the " + kind + " '" + path + "': " + std::strerror(errno), 1);
        }
        bytes.remove_prefix(static_cast<std::size_t>(done));
    }
    // What is put in place is on the disk first: a crash leaves the old file or the new one.
    if (fsync(file.temp_fd()) != 0) {
        throw tk_exception("Cannot write the " + kind + " '" + path + "': " + std::strerror(errno),
                           1);
    }
    file.commit();
}
