// File names split into their parts and joined again.
#include "TK/tk_fname.h"

#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "platform/win32/path.h"

tk_file_name::tk_file_name(const std::string& path) {
    tk_log_message(1, "tk_file_name::ctor(%s)", path.c_str());
    initialize(path.c_str());
}

tk_file_name::tk_file_name(const char* path) {
    tk_log_message(1, "tk_file_name::ctor(%s)", path != nullptr ? path : "(null)");
    initialize(path);
}

void tk_file_name::initialize(const char* path) {
    tk_check(path != nullptr, "tk_fname", 31);
    std::string full;
    if (*path == '\0') {
        full = tk_get_module_file_name();
    } else {
        tk_check(win32::full_path(path, full), "tk_fname", 39);
    }
    win32::path_parts parts = win32::split_path(full);
    drive = std::move(parts.drive);
    dir = std::move(parts.dir);
    ext = std::move(parts.ext);
    name = *path == '\0' ? std::string() : std::move(parts.name);
}

std::string tk_file_name::get_path() const {
    return drive + dir;
}

tk_file_wname::tk_file_wname(const std::wstring& path) {
    tk_log_wmessage(1, L"tk_file_name::ctor(%ls)", path.c_str());
    initialize(path.c_str());
}

void tk_file_wname::initialize(const wchar_t* path) {
    tk_log_wmessage(1, L"tk_file_wname::initialize(%ls)", path != nullptr ? path : L"(null)");
    tk_check(path != nullptr, "tk_fname", 83);
    std::wstring full;
    if (*path == L'\0') {
        full = tk_get_module_file_wname();
    } else {
        tk_check(win32::full_path(path, full), "tk_fname", 91);
    }
    win32::wpath_parts parts = win32::split_path(full);
    drive = std::move(parts.drive);
    dir = std::move(parts.dir);
    ext = std::move(parts.ext);
    name = *path == L'\0' ? std::wstring() : std::move(parts.name);
}

void tk_file_wname::set_ext(const std::wstring& new_ext) {
    ext = (new_ext.empty() || new_ext.front() == L'.') ? new_ext : L"." + new_ext;
}

std::wstring tk_file_wname::get_full_name() const {
    return win32::make_path({drive, dir, name, ext});
}

std::wstring& tk_make_file_wname(std::wstring& out, const std::wstring& base,
                                 const std::wstring& name, const std::wstring& ext, bool as_is) {
    if (as_is) {
        out = name;
        return out;
    }
    // Windows told a local path (with a drive) from a network one; here an absolute directory
    // plays the part of the drive, and only a base without one falls back to the program's
    // directory.
    tk_file_wname file(base);
    if (file.dir.empty() || file.dir.front() != L'/') {
        file = tk_file_wname(tk_get_module_file_wname());
    }
    file.name = name;
    file.set_ext(ext);
    out = file.get_full_name();
    return out;
}
