// Last error and system message texts: the Win32 error services over errno and strerror.
#pragma once

// Included by win32_types.h: this header defines the basic scalar types itself.
#include <cstdarg>
#include <cstdint>

// Basic Win32 scalar types, as wide as on Windows (DWORD is 32 bits there, not long).
using DWORD = std::uint32_t;
using WORD = std::uint16_t;
using BOOL = int;
using HLOCAL = void*;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// Last-error codes, with their Windows numbers, so that a code compared or logged means the
// same as there.
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_OUTOFMEMORY = 14;
inline constexpr DWORD ERROR_WRITE_PROTECT = 19;
inline constexpr DWORD ERROR_SHARING_VIOLATION = 32;
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_FILE_EXISTS = 80;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_DISK_FULL = 112;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_DIR_NOT_EMPTY = 145;
inline constexpr DWORD ERROR_ALREADY_EXISTS = 183;
inline constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr DWORD ERROR_DIRECTORY = 267;
inline constexpr DWORD ERROR_INVALID_FLAGS = 1004;
inline constexpr DWORD ERROR_NO_UNICODE_TRANSLATION = 1113;

// The calling thread's last error. Codes are Windows numbers (the ERROR_* names of types.h); a
// stand-in that fails with an errno value turns it into one with win32::error_from_errno.
// Nothing clears the last error on success unless the stand-in says so (as on Windows).
DWORD GetLastError();
void SetLastError(DWORD code);

inline constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
inline constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
inline constexpr DWORD FORMAT_MESSAGE_FROM_STRING = 0x00000400;
inline constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE = 0x00000800;
inline constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;

#ifndef MAKELANGID
#define MAKELANGID(primary, sub) ((static_cast<DWORD>(sub) << 10) | static_cast<DWORD>(primary))
#endif
#ifndef LANG_NEUTRAL
#define LANG_NEUTRAL 0x00
#endif
#ifndef SUBLANG_DEFAULT
#define SUBLANG_DEFAULT 0x01
#endif

// Only FORMAT_MESSAGE_FROM_SYSTEM is served. The text of a code is the C library's description
// (strerror) of the errno value that means the same, followed by a line break ("\n"): the
// ERROR_* codes above and the codes made by
// win32::error_from_errno. 0 gives "Success". A code without a text gives 0 and the last error
// ERROR_INVALID_PARAMETER. With FORMAT_MESSAGE_ALLOCATE_BUFFER, `buffer` is really a char** that
// receives a buffer for LocalFree; otherwise the text goes into `buffer` of `size` characters
// (too small: 0, ERROR_INSUFFICIENT_BUFFER). The result is the text's length without its NUL.
// The language is ignored: the texts are those of the C library.
DWORD FormatMessageA(DWORD flags, const void* source, DWORD message_id, DWORD language_id,
                     char* buffer, DWORD size, va_list* arguments);

// Frees a buffer that FormatMessageA allocated; returns null on success, as on Windows.
HLOCAL LocalFree(HLOCAL memory);

namespace win32 {

// The Windows code for an errno value: the Windows number where one means the same (ENOENT is
// ERROR_FILE_NOT_FOUND, EACCES ERROR_ACCESS_DENIED, ...), else 0x20000000 | errno (the bit
// Windows leaves to applications), whose FormatMessageA text is strerror's. 0 stays 0.
DWORD error_from_errno(int error_number);

// SetLastError(error_from_errno(error_number)).
void set_last_error_from_errno(int error_number);

} // namespace win32
