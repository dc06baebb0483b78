// File attributes, file deletion, the program's own path and the access test, on POSIX paths.
#pragma once

#include "platform/win32/win32_types.h"

#include <string>

// The W functions take the system's wide strings (wchar_t) and reach the file system through
// the ANSI code page, as the narrow paths of the system are in it.

inline constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x00000001;
inline constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x00000010;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;
inline constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;

// The attributes of a file or directory (following symbolic links): FILE_ATTRIBUTE_DIRECTORY
// for a directory; FILE_ATTRIBUTE_READONLY for a file that the process may not write (no write
// permission bit at all, or refused to the process's effective ids); FILE_ATTRIBUTE_NORMAL for
// a file with neither. INVALID_FILE_ATTRIBUTES with the last error set when the path is null,
// empty, too long or missing.
DWORD GetFileAttributesA(LPCSTR path);
DWORD GetFileAttributesW(const wchar_t* path);

// Deletes a file (not a directory: ERROR_ACCESS_DENIED). FALSE with the last error set on
// failure. The path is followed as win32::follow_path does, and a file of another user is not
// removed (ERROR_ACCESS_DENIED).
BOOL DeleteFileA(LPCSTR path);
BOOL DeleteFileW(const wchar_t* path);

// The full path of the running program (/proc/self/exe). `module` must be null (the program
// itself). Writes at most `size` characters with the NUL; returns the length without the NUL.
// A path that does not fit is cut to size-1 characters, and `size` is returned with
// ERROR_INSUFFICIENT_BUFFER. 0 on failure, with the last error set.
DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);
DWORD GetModuleFileNameW(HMODULE module, wchar_t* buffer, DWORD size);

namespace win32 {

// Whether the process, with its effective user and group ids, is granted `generic_access`
// (GENERIC_READ, GENERIC_WRITE, GENERIC_EXECUTE, GENERIC_ALL, or-ed) on the file or directory.
// This stands in for the security descriptor and access-check calls of Windows: write access to
// a directory means that files may be created in it (write and search permission). False for a
// null, missing or over-long path.
bool has_access(const char* path, DWORD generic_access);

} // namespace win32
