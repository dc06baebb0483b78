// File attributes, deletion, the program's path and the access test on Linux.
#include "platform/win32/file.h"

#include "platform/win32/codepage.h"
#include "platform/win32/followed_path.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A wide path in the ANSI code page. A character the code page lacks refuses the path rather
// than turning it into "?", which could name another file.
bool narrow_path(const wchar_t* path, std::string& out) {
    if (path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::size_t length = std::wcslen(path);
    if (length >= PATH_MAX) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    if (length == 0) {
        out.clear();
        return true;
    }
    int n = static_cast<int>(length);
    out.resize(length * static_cast<std::size_t>(win32::max_bytes_per_char(CP_ACP)));
    int got = WideCharToMultiByte(CP_ACP, WC_ERR_INVALID_CHARS, path, n, out.data(),
                                  static_cast<int>(out.size()), nullptr, nullptr);
    if (got == 0) {
        return false;
    }
    out.resize(static_cast<std::size_t>(got));
    return true;
}

// Checks a narrow path before it reaches the system: null, empty and over-long paths fail with
// the last error set.
bool usable_path(LPCSTR path) {
    if (path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (*path == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    if (std::strlen(path) >= PATH_MAX) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return true;
}

bool effective_access(const char* path, int mode) {
    return faccessat(AT_FDCWD, path, mode, AT_EACCESS) == 0;
}

} // namespace

DWORD GetFileAttributesA(LPCSTR path) {
    if (!usable_path(path)) {
        return INVALID_FILE_ATTRIBUTES;
    }
    struct stat info;
    if (stat(path, &info) != 0) {
        win32::set_last_error_from_errno(errno);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (S_ISDIR(info.st_mode)) {
        return FILE_ATTRIBUTE_DIRECTORY;
    }
    // Windows keeps read-only as a flag of the file; here a file without any write permission
    // bit carries it, and so does one that this process may not write, since the callers ask
    // whether they can write the file.
    bool read_only =
        (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || !effective_access(path, W_OK);
    return read_only ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
}

DWORD GetFileAttributesW(const wchar_t* path) {
    std::string narrow;
    if (!narrow_path(path, narrow)) {
        return INVALID_FILE_ATTRIBUTES;
    }
    return GetFileAttributesA(narrow.c_str());
}

BOOL DeleteFileA(LPCSTR path) {
    if (!usable_path(path)) {
        return FALSE;
    }
    // Followed as every path the programs touch for a user, so that a link planted in a shared
    // folder on the way never turns this into the removal of a file elsewhere.
    win32::followed_path at;
    int error = win32::follow_path(path, at);
    if (error == 0) {
        win32::path_refusal refusal = win32::path_refusal::none;
        error =
            at.object.valid() ? EACCES : win32::remove_in_folder(at.folder.get(), at.name, refusal);
    }
    if (error != 0) {
        // Windows refuses to delete a directory as a file with "access denied".
        win32::set_last_error_from_errno(error == EISDIR ? EACCES : error);
        return FALSE;
    }
    return TRUE;
}

BOOL DeleteFileW(const wchar_t* path) {
    std::string narrow;
    if (!narrow_path(path, narrow)) {
        return FALSE;
    }
    return DeleteFileA(narrow.c_str());
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
    if (module != nullptr || (buffer == nullptr && size != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        win32::set_last_error_from_errno(length == 0 ? ENOENT : errno);
        return 0;
    }
    if (size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::size_t n = static_cast<std::size_t>(length);
    if (n >= size) {
        std::memcpy(buffer, path, size - 1);
        buffer[size - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::memcpy(buffer, path, n);
    buffer[n] = '\0';
    return static_cast<DWORD>(n);
}

DWORD GetModuleFileNameW(HMODULE module, wchar_t* buffer, DWORD size) {
    if (module != nullptr || (buffer == nullptr && size != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    char narrow[PATH_MAX];
    DWORD length = GetModuleFileNameA(nullptr, narrow, sizeof narrow);
    if (length == 0) {
        return 0;
    }
    std::wstring wide(length, L'\0');
    int got = MultiByteToWideChar(CP_ACP, 0, narrow, static_cast<int>(length), wide.data(),
                                  static_cast<int>(length));
    if (got == 0) {
        return 0;
    }
    wide.resize(static_cast<std::size_t>(got));
    if (size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (wide.size() >= size) {
        std::wmemcpy(buffer, wide.data(), size - 1);
        buffer[size - 1] = L'\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::wmemcpy(buffer, wide.data(), wide.size());
    buffer[wide.size()] = L'\0';
    return static_cast<DWORD>(wide.size());
}

namespace win32 {

bool has_access(const char* path, DWORD generic_access) {
    if (!usable_path(path)) {
        return false;
    }
    struct stat info;
    if (stat(path, &info) != 0) {
        return false;
    }
    int mode = 0;
    if ((generic_access & (GENERIC_READ | GENERIC_ALL)) != 0) {
        mode |= R_OK;
    }
    if ((generic_access & (GENERIC_WRITE | GENERIC_ALL)) != 0) {
        // Creating a file in a directory needs its search permission besides write.
        mode |= S_ISDIR(info.st_mode) ? W_OK | X_OK : W_OK;
    }
    if ((generic_access & (GENERIC_EXECUTE | GENERIC_ALL)) != 0) {
        mode |= X_OK;
    }
    return effective_access(path, mode == 0 ? F_OK : mode);
}

} // namespace win32
