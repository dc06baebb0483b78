// A file written beside its destination and put in place whole, or not at all.
#include "TK/tk_rfile.h"

#include "TK/tk_excep.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
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

} // namespace

std::string tk_link_target(const std::string& path) {
    std::string current = path;
    for (int hop = 0; hop < max_link_hops; ++hop) {
        struct stat st {};
        if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            return current;
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
}

void tk_replaced_file::lock() {
    // The holder removes the lock file when it is done; a file opened just before that removal
    // is locked in vain, so the lock counts only while the path still names the locked file.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const int fd = open(lock_path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd < 0) {
            fail(std::strerror(errno));
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            close(fd);
            if (error == EWOULDBLOCK) {
                throw tk_exception("The " + kind_ + " '" + path_ +
                                       "' is being written by another run (lock file '" +
                                       lock_path_ + "')",
                                   1);
            }
            fail(std::strerror(error));
        }
        struct stat held {};
        struct stat named {};
        if (fstat(fd, &held) == 0 && stat(lock_path_.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            lock_fd_ = fd;
            return;
        }
        close(fd);
    }
    fail("its lock file '" + lock_path_ + "' keeps changing");
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
        return;
    }
}

void tk_replaced_file::commit() {
    if (done_) {
        return;
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
    // Removed while still locked: a writer that opened it just before finds that the path no
    // longer names the file it locked, and makes a new one.
    unlink(lock_path_.c_str());
    close(lock_fd_);
    lock_fd_ = -1;
}
