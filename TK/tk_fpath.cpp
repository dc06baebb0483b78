// Following a path that a user gave, and opening the file it names to read or to write.
#include "TK/tk_fpath.h"

#include "TK/tk_excep.h"

#include <cerrno>
#include <fcntl.h>

namespace {

[[noreturn]] void refuse(const tk_followed_path& at, const std::string& path) {
    if (at.refusal == win32::path_refusal::link_loop) {
        throw tk_exception("Too many levels of symbolic links: '" + path + "'", 1);
    }
    throw tk_exception("The symbolic link '" + at.refused_link +
                           "' is not followed: it is in the shared folder '" + at.refused_folder +
                           "' and belongs to another user",
                       1);
}

[[noreturn]] void refuse_file(win32::path_refusal refusal, const std::string& text) {
    const char* why = "' is not a regular file";
    if (refusal == win32::path_refusal::other_owner) {
        why = "' belongs to another user";
    } else if (refusal == win32::path_refusal::shared_hard_link) {
        why = "' has other links in a shared folder";
    }
    throw tk_exception("'" + text + why, 1);
}

} // namespace

int tk_follow_path(const std::string& path, tk_followed_path& followed, bool follow_last) {
    const int error = win32::follow_path(path, followed, follow_last);
    if (followed.refusal != win32::path_refusal::none) {
        refuse(followed, path);
    }
    return error;
}

tk_fd tk_open_for_reading(const std::string& path, int flags) {
    tk_followed_path at;
    if (const int error = tk_follow_path(path, at)) {
        errno = error;
        return tk_fd();
    }
    return win32::open_followed(at, flags);
}

tk_fd tk_open_for_writing(const tk_followed_path& at, tk_write_mode how, mode_t mode) {
    if (at.object.valid()) {
        refuse_file(win32::path_refusal::not_regular_file, at.text);
    }
    return tk_open_in_folder(at.folder.get(), at.name, at.text, how, mode);
}

tk_fd tk_open_in_folder(int folder, const std::string& name, const std::string& text,
                        tk_write_mode how, mode_t mode) {
    win32::path_refusal refusal = win32::path_refusal::none;
    tk_fd file = win32::open_in_folder(folder, name, how, mode, refusal);
    if (refusal != win32::path_refusal::none) {
        refuse_file(refusal, text);
    }
    return file;
}

tk_fd tk_open_for_writing(const std::string& path, tk_write_mode how, mode_t mode,
                          bool follow_last) {
    tk_followed_path at;
    if (const int error = tk_follow_path(path, at, follow_last)) {
        errno = error;
        return tk_fd();
    }
    return tk_open_for_writing(at, how, mode);
}

int tk_remove_file(const std::string& path) {
    tk_followed_path at;
    if (const int error = tk_follow_path(path, at)) {
        return error;
    }
    if (at.object.valid()) {
        return EISDIR;
    }
    win32::path_refusal refusal = win32::path_refusal::none;
    const int error = win32::remove_in_folder(at.folder.get(), at.name, refusal);
    if (refusal != win32::path_refusal::none) {
        refuse_file(refusal, at.text);
    }
    return error;
}
