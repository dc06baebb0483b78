// Following a path that a user gave, and opening the file it names to read or to write.
#include "platform/win32/followed_path.h"

#include <cerrno>
#include <climits>
#include <deque>
#include <vector>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace win32 {

namespace {

// The limit of the kernel's own resolution.
constexpr int max_link_hops = 40;
constexpr long proc_magic = 0x9fa0;

// The names of a path in order; "." and empty names say nothing and are left out, except that
// a path that ends in a folder ("a/", "a/.", ".") ends in ".".
void push_names(const std::string& path, std::deque<std::string>& pending) {
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        std::string name = path.substr(start, end - start);
        if (!name.empty() && name != ".") {
            names.push_back(std::move(name));
        }
        start = end + 1;
    }
    const bool ends_in_folder = path.empty() || path == "." || path.back() == '/' ||
                                (path.size() >= 2 && path.compare(path.size() - 2, 2, "/.") == 0);
    if (ends_in_folder) {
        names.push_back(".");
    }
    pending.insert(pending.begin(), names.begin(), names.end());
}

// The followed path's text, kept as names so that ".." can step back.
class path_text {
public:
    void restart(bool absolute) {
        absolute_ = absolute;
        names_.clear();
    }
    void enter(const std::string& name) { names_.push_back(name); }
    void leave() {
        if (!names_.empty() && names_.back() != "..") {
            names_.pop_back();
        } else if (!absolute_) {
            names_.push_back("..");
        }
    }
    std::string folder() const {
        std::string text = absolute_ ? "/" : "";
        for (const std::string& name : names_) {
            text += name + "/";
        }
        return text;
    }

private:
    bool absolute_ = false;
    std::vector<std::string> names_;
};

file_descriptor open_start(bool absolute) {
    return file_descriptor(::open(absolute ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
}

// The kernel's protected-symlinks rule for a link whose folder is `folder`.
bool may_follow(const struct stat& link, const struct stat& folder) {
    const bool shared = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
    return !shared || link.st_uid == geteuid() || link.st_uid == folder.st_uid;
}

// A folder where anyone may make names, each keeping them for themselves (/tmp).
bool in_shared_folder(int folder) {
    struct stat st {};
    return ::fstat(folder, &st) != 0 ||
           ((st.st_mode & S_ISVTX) != 0 && (st.st_mode & S_IWOTH) != 0);
}

// A link of /proc that names an open pipe, socket or other object ("pipe:[123]") rather than
// a path: only the kernel can follow it.
bool names_an_object(int folder, const std::string& text) {
    struct statfs fs {};
    return !text.empty() && text.front() != '/' && text.find(':') != std::string::npos &&
           ::fstatfs(folder, &fs) == 0 && static_cast<long>(fs.f_type) == proc_magic;
}

std::string read_link(int link) {
    std::string text(PATH_MAX, '\0');
    const ssize_t length = ::readlinkat(link, "", text.data(), text.size());
    text.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return text;
}

} // namespace

file_descriptor& file_descriptor::operator=(file_descriptor&& other) noexcept {
    if (this != &other) {
        reset(other.release());
    }
    return *this;
}

int file_descriptor::release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void file_descriptor::reset(int fd) noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
}

int follow_path(const std::string& path, followed_path& followed, bool follow_last) {
    followed.refusal = path_refusal::none;
    std::deque<std::string> pending;
    push_names(path, pending);
    const bool absolute = !path.empty() && path.front() == '/';
    file_descriptor folder = open_start(absolute);
    path_text text;
    text.restart(absolute);
    int hops = 0;
    // A path that cannot be followed to its end still has a text, for the caller's messages.
    const auto unfinished = [&](int error, const std::string& name) {
        std::string rest = name;
        for (const std::string& next : pending) {
            rest += (rest.empty() ? "" : "/") + next;
        }
        followed.text = text.folder() + rest;
        return error;
    };
    while (!folder.valid() || !pending.empty()) {
        if (!folder.valid()) {
            return unfinished(errno, "");
        }
        const std::string name = std::move(pending.front());
        pending.pop_front();
        const bool last = pending.empty();
        if (name == ".") {
            if (!last) {
                continue; // the end of a link's text that names a folder
            }
            followed.name = name;
            break;
        }
        if (name == "..") {
            folder.reset(::openat(folder.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
            text.leave();
            if (last) {
                pending.push_back(".");
            }
            continue;
        }
        file_descriptor step(::openat(folder.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!step.valid()) {
            if (errno == ENOENT && last) {
                followed.name = name;
                break;
            }
            return unfinished(errno, name);
        }
        struct stat st {};
        if (::fstat(step.get(), &st) != 0) {
            return unfinished(errno, name);
        }
        if (S_ISLNK(st.st_mode) && !(last && !follow_last)) {
            const std::string link = text.folder() + name;
            struct stat folder_st {};
            if (::fstat(folder.get(), &folder_st) != 0) {
                return unfinished(errno, name);
            }
            if (!may_follow(st, folder_st)) {
                followed.refusal = path_refusal::shared_link;
                followed.refused_link = link;
                followed.refused_folder = text.folder();
                return unfinished(EACCES, name);
            }
            if (++hops > max_link_hops) {
                followed.refusal = path_refusal::link_loop;
                return unfinished(ELOOP, name);
            }
            const std::string names = read_link(step.get());
            if (names.empty()) {
                return unfinished(errno != 0 ? errno : ENOENT, name);
            }
            if (names_an_object(folder.get(), names)) {
                if (!last) {
                    return unfinished(ENOTDIR, name);
                }
                followed.object.reset(::openat(folder.get(), name.c_str(), O_PATH | O_CLOEXEC));
                if (!followed.object.valid()) {
                    return unfinished(errno, name);
                }
                followed.name = name;
                break;
            }
            if (names.front() == '/') {
                folder = open_start(true);
                text.restart(true);
            }
            push_names(names, pending);
            continue;
        }
        if (last) {
            followed.name = name;
            break;
        }
        if (!S_ISDIR(st.st_mode)) {
            return unfinished(ENOTDIR, name);
        }
        folder = std::move(step);
        text.enter(name);
    }
    followed.folder = std::move(folder);
    followed.text = followed.name == "." ? text.folder() : text.folder() + followed.name;
    return 0;
}

file_descriptor open_followed(const followed_path& at, int flags) {
    if (at.object.valid()) {
        const std::string reopened = "/proc/self/fd/" + std::to_string(at.object.get());
        return file_descriptor(::open(reopened.c_str(), flags | O_CLOEXEC));
    }
    return file_descriptor(
        ::openat(at.folder.get(), at.name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC));
}

file_descriptor open_in_folder(int folder, const std::string& name, write_mode how, mode_t mode,
                               path_refusal& refusal) {
    refusal = path_refusal::none;
    if (name == "." || name == "..") {
        errno = EISDIR;
        return file_descriptor();
    }
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    switch (how) {
    case write_mode::create_new:
        flags |= O_EXCL;
        break;
    case write_mode::append:
        flags |= O_APPEND;
        break;
    case write_mode::truncate:
        break; // emptied only once it is known to be ours
    }
    file_descriptor file(::openat(folder, name.c_str(), flags, mode));
    if (!file.valid()) {
        return file;
    }
    struct stat st {};
    if (::fstat(file.get(), &st) != 0) {
        return file_descriptor();
    }
    if (!S_ISREG(st.st_mode)) {
        refusal = path_refusal::not_regular_file;
        errno = EINVAL;
        return file_descriptor();
    }
    if (st.st_uid != geteuid()) {
        refusal = path_refusal::other_owner;
        errno = EACCES;
        return file_descriptor();
    }
    // A hard link to one's own file is no proof that one made it: in a shared folder another
    // user may have linked a file of ours there (the kernel lets them when its
    // protected-hardlinks rule is off), and writing through the name would change that file.
    if (st.st_nlink > 1 && in_shared_folder(folder)) {
        refusal = path_refusal::shared_hard_link;
        errno = EACCES;
        return file_descriptor();
    }
    const int status = ::fcntl(file.get(), F_GETFL);
    if (status < 0 || ::fcntl(file.get(), F_SETFL, status & ~O_NONBLOCK) != 0) {
        return file_descriptor();
    }
    if (how == write_mode::truncate && ::ftruncate(file.get(), 0) != 0) {
        return file_descriptor();
    }
    return file;
}

int remove_in_folder(int folder, const std::string& name, path_refusal& refusal) {
    refusal = path_refusal::none;
    if (name == "." || name == "..") {
        return EISDIR;
    }
    struct stat st {};
    if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno;
    }
    if (st.st_uid != geteuid()) {
        refusal = path_refusal::other_owner;
        return EACCES;
    }
    return ::unlinkat(folder, name.c_str(), 0) == 0 ? 0 : errno;
}

int open_folder(const std::string& path, mode_t mode, file_descriptor& folder, followed_path& at) {
    // Each prefix is followed afresh, so that a folder is made only in the folder a followed
    // path reaches, never through a link the rule refuses.
    std::size_t end = 0;
    while (end != std::string::npos) {
        end = path.find('/', end + 1);
        const std::string prefix = path.substr(0, end);
        if (const int error = follow_path(prefix, at)) {
            return error;
        }
        if (at.object.valid()) {
            return ENOTDIR;
        }
        if (at.name != "." && ::mkdirat(at.folder.get(), at.name.c_str(), mode) != 0 &&
            errno != EEXIST) {
            return errno;
        }
    }
    folder.reset(
        ::openat(at.folder.get(), at.name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    return folder.valid() ? 0 : errno;
}

} // namespace win32
