// Win32 base type names and the constants shared by the platform stand-ins.
#pragma once

#include "platform/win32/error.h"

#include <cstdint>

// Integer and character types with the widths the Windows headers give them (DWORD, WORD, BOOL
// and the last-error codes come from error.h). WCHAR is the 16-bit unit of OLE and OLE DB
// (UTF-16); the system's own wide strings are wchar_t (UTF-32).
using BYTE = std::uint8_t;
using INT = int;
using UINT = unsigned int;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using CHAR = char;
using WCHAR = char16_t;
using PBYTE = BYTE*;
using LPBYTE = BYTE*;
using LPDWORD = DWORD*;
using LPLONG = LONG*;
using LPSTR = char*;
using LPCSTR = const char*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using LPBOOL = BOOL*;
using LPVOID = void*;
using LPCVOID = const void*;
using HANDLE = void*;
using HMODULE = void*;
using LCID = DWORD;

// The longest path the Windows buffers were written for. On Linux the limit that matters is
// PATH_MAX; the path stand-ins use that, and MAX_PATH stays only as a name.
inline constexpr DWORD MAX_PATH = 260;

// Generic access rights, as the access test takes them.
inline constexpr DWORD GENERIC_READ = 0x80000000;
inline constexpr DWORD GENERIC_WRITE = 0x40000000;
inline constexpr DWORD GENERIC_EXECUTE = 0x20000000;
inline constexpr DWORD GENERIC_ALL = 0x10000000;
