// A file written beside its destination and put in place whole, or not at all.
#include "TK/tk_rfile.h"

#include "TK/tk_excep.h"
#include "TK/tk_log.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The limit of the kernel's own resolution.
constexpr int max_link_hops = 40;

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string name_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::atomic<unsigned> temp_counter{0};

// The first line of every lock file this program makes: a file of the lock's name without it
// is someone else's, and is neither taken over nor removed.
constexpr std::string_view lock_signature = "velmora lock file\n";
constexpr std::size_t lock_read_limit = 4096;

// Whether the kernel's protected-symlinks rule would let the caller follow the link: in a
// sticky folder that everyone may write, only a link of the caller or of the folder's owner.
// Applied here because the links are followed by the program itself, where the kernel's rule
// does not reach (and a system may have it switched off).
bool may_follow(const std::string& link, const struct stat& link_st, std::string& folder) {
    folder = folder_of(link);
    struct stat folder_st {};
    if (stat(folder.empty() ? "." : folder.c_str(), &folder_st) != 0) {
        return false;
    }
    const bool shared = (folder_st.st_mode & S_ISVTX) != 0 && (folder_st.st_mode & S_IWOTH) != 0;
    return !shared || link_st.st_uid == geteuid() || link_st.st_uid == folder_st.st_uid;
}

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

bool tk_is_live_lock(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    bool live = false;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && is_lock_text(read_head(fd))) {
        live = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    }
    close(fd);
    return live;
}

std::string tk_link_target(const std::string& path) {
    std::string current = path;
    for (int hop = 0; hop < max_link_hops; ++hop) {
        struct stat st {};
        if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            return current;
        }
        std::string folder;
        if (!may_follow(current, st, folder)) {
            const std::string reason =
                "it is in the shared folder '" + folder + "' and belongs to another user";
            throw tk_exception("The symbolic link '" + current + "' is not followed: " + reason, 1);
        }
        std::string link(PATH_MAX, '\0');
        const ssize_t length = readlink(current.c_str(), link.data(), link.size());
        if (length <= 0) {
            return current;
        }
        link.resize(static_cast<std::size_t>(length));
        current = link.front() == '/' ? link : folder_of(current) + link;
    }
    throw tk_exception("Too many levels of symbolic links: '" + path + "'", 1);
}

tk_replaced_file::tk_replaced_file(const std::string& path, const std::string& kind)
    : path_(path), kind_(kind), target_(tk_link_target(path)), lock_path_(target_ + ".lock") {
    refuse_target_kind();
    lock();
    try {
        create_temp();
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

void tk_replaced_file::refuse_target_kind() const {
    struct stat st {};
    if (stat(target_.c_str(), &st) != 0) {
        return;
    }
    if (S_ISDIR(st.st_mode)) {
        fail("'" + target_ + "' is a folder");
    }
    if (!S_ISREG(st.st_mode)) {
        fail("'" + target_ + "' is not a regular file");
    }
    refuse_live_lock();
}

void tk_replaced_file::refuse_live_lock() const {
    if (tk_is_live_lock(target_)) {
        fail("'" + target_ + "' is the lock file of another run");
    }
}

void tk_replaced_file::lock() {
    // The lock file is created here or not at all (O_EXCL), so a file of that name that this
    // program did not make is never taken over, and only its maker removes it. A lock file of
    // this program whose lock nobody holds was left by a run that was killed: it is cleared
    // away with that run's temporary file.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const int fd =
            open(lock_path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd >= 0) {
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
        clear_stale_lock();
    }
    fail("its lock file '" + lock_path_ + "' keeps changing");
}

void tk_replaced_file::refuse_foreign_lock() const {
    fail("the name of its lock file '" + lock_path_ +
         "' is taken by a file this program did not make (it is left as it is)");
}

void tk_replaced_file::clear_stale_lock() {
    const int fd = open(lock_path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
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
        refuse_foreign_lock();
    }
    struct stat named {};
    if (lstat(lock_path_.c_str(), &named) == 0 && same_file(held, named)) {
        remove_stale_temp(text, held);
        if (unlink(lock_path_.c_str()) != 0 && errno != ENOENT) {
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
    const std::string prefix = "." + name_of(target_) + "." + pid + "-";
    const std::string suffix = ".tmp";
    if (!all_digits(pid) || name.size() <= prefix.size() + suffix.size() ||
        name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0 ||
        !all_digits(std::string_view(name).substr(prefix.size(),
                                                  name.size() - prefix.size() - suffix.size()))) {
        return;
    }
    const std::string temp = folder_of(target_) + name;
    struct stat st {};
    if (lstat(temp.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == lock_st.st_uid) {
        unlink(temp.c_str());
    }
}

void tk_replaced_file::write_lock_text() const {
    std::string text(lock_signature);
    text += "pid=" + std::to_string(getpid()) + "\n";
    if (!temp_path_.empty()) {
        text += "temp=" + name_of(temp_path_) + "\n";
    }
    // Each text begins with the one before, so writing over it from the start is enough.
    if (pwrite(lock_fd_, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
        tk_log_message(3, "Cannot write the lock file %s: %s", lock_path_.c_str(),
                       std::strerror(errno));
    }
}

void tk_replaced_file::create_temp() {
    struct stat existing {};
    const bool replaces = stat(target_.c_str(), &existing) == 0;
    const std::string prefix =
        folder_of(target_) + "." + name_of(target_) + "." + std::to_string(getpid()) + "-";
    while (true) {
        temp_path_ = prefix + std::to_string(temp_counter++) + ".tmp";
        const int fd =
            open(temp_path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd < 0 && errno == EEXIST) {
            continue;
        }
        if (fd < 0) {
            const int error = errno;
            temp_path_.clear();
            fail(std::strerror(error));
        }
        // A replaced file keeps who may read it: a script of a private database stays private.
        if (replaces) {
            fchmod(fd, existing.st_mode & 07777);
        }
        close(fd);
        // A later run clears the file away should this one be killed.
        write_lock_text();
        return;
    }
}

void tk_replaced_file::commit() {
    if (done_) {
        return;
    }
    // Another run may have taken the target's name as its lock since the start.
    try {
        refuse_live_lock();
    } catch (...) {
        discard();
        throw;
    }
    if (std::rename(temp_path_.c_str(), target_.c_str()) != 0) {
        const int error = errno;
        discard();
        throw tk_exception(
            "Cannot replace the " + kind_ + " '" + path_ + "': " + std::strerror(error), 1);
    }
    committed_ = true;
    done_ = true;
    release_lock();
    cleanup_.reset();
}

void tk_replaced_file::discard() noexcept {
    if (done_) {
        return;
    }
    done_ = true;
    if (!temp_path_.empty()) {
        unlink(temp_path_.c_str());
    }
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
    if (fstat(lock_fd_, &held) == 0 && lstat(lock_path_.c_str(), &named) == 0 &&
        same_file(held, named)) {
        unlink(lock_path_.c_str());
    }
    close(lock_fd_);
    lock_fd_ = -1;
}
