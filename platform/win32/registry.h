// Registry stand-in: HKEY_CURRENT_USER kept in a per-user file.
#pragma once

// The programs keep their settings under HKEY_CURRENT_USER. Here that root is one text file,
// $XDG_CONFIG_HOME/velmora/registry (default ~/.config/velmora/registry), holding keys by
// path and typed values (REG_DWORD, REG_SZ, any other type as raw bytes). Every change
// re-reads the file under a lock file and replaces it atomically (temporary file, rename), so
// two processes writing at once keep each other's values and a crash never leaves the file
// half-written. A file damaged from outside is read as far as it is sound; before it is first
// replaced, the damaged original is kept beside it under a "registry.damaged" name.
//
// Only HKEY_CURRENT_USER is offered. Strings of the W functions are UTF-16 (WCHAR is char16_t);
// the A functions convert REG_SZ data between the ANSI code page and UTF-16 as Windows does, so a
// narrow value of n characters reads back as n+1 bytes through the A functions and as 2n+2
// bytes through the W functions. Key and value names compare without regard to case.

#include "platform/win32/win32_types.h"

#include <cstdint>
#include <string>

struct HKEY__;
typedef HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef DWORD REGSAM;

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    void* lpSecurityDescriptor;
    BOOL bInheritHandle;
};
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

inline HKEY const HKEY_CURRENT_USER =
    reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000001));

// Value types.
inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;

// Access rights.
inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_NOTIFY = 0x0010;
inline constexpr REGSAM KEY_READ = 0x20019;
inline constexpr REGSAM KEY_WRITE = 0x20006;
inline constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

// Result codes of the registry functions besides those of error.h.
inline constexpr DWORD ERROR_BAD_PATHNAME = 161;
inline constexpr DWORD ERROR_MORE_DATA = 234;
inline constexpr DWORD ERROR_REGISTRY_IO_FAILED = 1016;

// Options and dispositions of RegCreateKeyEx.
inline constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

LONG RegCreateKeyExA(HKEY key, LPCSTR sub_key, DWORD reserved, LPSTR key_class, DWORD options,
                     REGSAM desired, LPSECURITY_ATTRIBUTES security, PHKEY result,
                     LPDWORD disposition);
LONG RegCreateKeyExW(HKEY key, LPCWSTR sub_key, DWORD reserved, LPWSTR key_class, DWORD options,
                     REGSAM desired, LPSECURITY_ATTRIBUTES security, PHKEY result,
                     LPDWORD disposition);
LONG RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD options, REGSAM desired, PHKEY result);
LONG RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD options, REGSAM desired, PHKEY result);
LONG RegCloseKey(HKEY key);

// A null `data` with a non-null `size` asks for the size alone. A buffer too small for the value
// gives ERROR_MORE_DATA with the needed size in *size and leaves the buffer as it was.
LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD size);
LONG RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD size);
LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD size);
LONG RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD size);

namespace win32 {

// The file that holds HKEY_CURRENT_USER for the current environment; empty when neither
// XDG_CONFIG_HOME nor a home directory is known.
std::string registry_file();

} // namespace win32
