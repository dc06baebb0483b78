// Last error and system message texts: the Win32 error services over errno and strerror.
#pragma once

#include <cerrno>
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

// The last-error codes of the stand-ins are errno values, so that FormatMessageA can give the C
// library's text for any of them. The Win32 names the system's code refers to map onto the errno
// that means the same thing.
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = ENOENT;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = ENOENT;
inline constexpr DWORD ERROR_ACCESS_DENIED = EACCES;
inline constexpr DWORD ERROR_INVALID_HANDLE = EBADF;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = ENOMEM;
inline constexpr DWORD ERROR_OUTOFMEMORY = ENOMEM;
inline constexpr DWORD ERROR_INVALID_PARAMETER = EINVAL;
inline constexpr DWORD ERROR_INVALID_FLAGS = EINVAL;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = ERANGE;
inline constexpr DWORD ERROR_NO_UNICODE_TRANSLATION = EILSEQ;
inline constexpr DWORD ERROR_FILENAME_EXCED_RANGE = ENAMETOOLONG;
inline constexpr DWORD ERROR_ALREADY_EXISTS = EEXIST;
inline constexpr DWORD ERROR_NOT_SUPPORTED = ENOTSUP;

// The calling thread's last error. Every stand-in that fails sets it; nothing clears it on
// success unless the stand-in says so (as on Windows).
DWORD GetLastError();
void SetLastError(DWORD code);

inline constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
inline constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
inline constexpr DWORD FORMAT_MESSAGE_FROM_STRING = 0x00000400;
inline constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE = 0x00000800;
inline constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;

// LANG_NEUTRAL with SUBLANG_DEFAULT: the user's default language.
inline constexpr DWORD LANG_USER_DEFAULT_ID = 0x400;
#ifndef MAKELANGID
#define MAKELANGID(primary, sub) ((static_cast<DWORD>(sub) << 10) | static_cast<DWORD>(primary))
#endif
#ifndef LANG_NEUTRAL
#define LANG_NEUTRAL 0x00
#endif
#ifndef SUBLANG_DEFAULT
#define SUBLANG_DEFAULT 0x01
#endif

// Only FORMAT_MESSAGE_FROM_SYSTEM is served: the text is the C library's description of the
// errno value `message_id` followed by a line break ("\n"). A code without a description (a
// value the C library does not know, or 0) has no text: the result is 0 and the last error is
// ERROR_INVALID_PARAMETER. With FORMAT_MESSAGE_ALLOCATE_BUFFER, `buffer` is really a char** that
// receives a buffer for LocalFree; otherwise the text goes into `buffer` of `size` characters
// (too small: 0, ERROR_INSUFFICIENT_BUFFER). The result is the text's length without its NUL.
// The language is ignored: the texts are those of the C library.
DWORD FormatMessageA(DWORD flags, const void* source, DWORD message_id, DWORD language_id,
                     char* buffer, DWORD size, va_list* arguments);

// Frees a buffer that FormatMessageA allocated; returns null on success, as on Windows.
HLOCAL LocalFree(HLOCAL memory);
