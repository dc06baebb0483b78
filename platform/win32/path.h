// Full paths and split paths on POSIX paths: the stand-ins for the C runtime's _fullpath,
// _splitpath and _makepath. The separator is "/", and the drive part is always empty.
#pragma once

#include <string>
#include <string_view>

namespace win32 {

// The longest path the path functions accept or produce, in characters, without the NUL:
// Linux's PATH_MAX less the terminator.
std::size_t max_path_length();

// `path` made absolute against the working directory and normalised by its text alone (".",
// ".." and repeated "/" removed; ".." at the root stays at the root); the path need not exist,
// and symbolic links are not resolved. A trailing "/" is kept. False, with `out` unchanged, when
// the working directory cannot be read or the result would exceed max_path_length(). The wide
// form works on the characters directly.
bool full_path(std::string_view path, std::string& out);
bool full_path(std::wstring_view path, std::wstring& out);

// A path split into its parts: `drive` is always empty on POSIX paths; `dir` is everything up
// to and with the last "/" (empty when there is none); `ext` is the last "." of the final
// component and what follows it; `name` is the rest. A leading "." of the final component
// belongs to the name (".profile" has no extension), as file names on Linux use it.
template <typename Char> struct basic_path_parts {
    std::basic_string<Char> drive;
    std::basic_string<Char> dir;
    std::basic_string<Char> name;
    std::basic_string<Char> ext;
};
using path_parts = basic_path_parts<char>;
using wpath_parts = basic_path_parts<wchar_t>;

path_parts split_path(std::string_view path);
wpath_parts split_path(std::wstring_view path);

// The parts joined again: drive, dir (a "/" is added when it lacks one), name, ext (a "." is
// added before an extension that lacks one).
std::string make_path(const path_parts& parts);
std::wstring make_path(const wpath_parts& parts);

} // namespace win32
