// File names split into their parts and joined again.
#pragma once

#include <string>

// A path made absolute and split into drive (always empty on POSIX paths), directory (with its
// trailing "/"), name and extension (with its leading "."). An empty path stands for the
// program's own file, with an empty name. A null path, or one that cannot be made absolute
// (the working directory is unreadable, or the result is longer than PATH_MAX), is an internal
// error.
class tk_file_name {
public:
    explicit tk_file_name(const std::string& path);
    explicit tk_file_name(const char* path);

    void initialize(const char* path);
    // drive + dir.
    std::string get_path() const;

    std::string ext;
    std::string drive;
    std::string name;
    std::string dir;
};

class tk_file_wname {
public:
    explicit tk_file_wname(const std::wstring& path);

    void initialize(const wchar_t* path);
    // A non-empty extension without a leading "." gets one.
    void set_ext(const std::wstring& ext);
    // drive + dir + name + ext.
    std::wstring get_full_name() const;

    std::wstring ext;
    std::wstring drive;
    std::wstring name;
    std::wstring dir;
};

// With `as_is`: `out` := `name`. Otherwise `out` := `name` with extension `ext` in the directory
// of `base` (an absolute path plays the part of a path with a drive, and every path is absolute
// once split); returns `out`.
std::wstring& tk_make_file_wname(std::wstring& out, const std::wstring& base,
                                 const std::wstring& name, const std::wstring& ext, bool as_is);
