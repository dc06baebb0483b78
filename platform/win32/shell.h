// Run-time libraries with their version entry, and the desktop's opener for links.
#pragma once

#include "platform/win32/win32_types.h"

#include <cstdint>
#include <string>

// The version record that a library's DllGetVersion fills (20 bytes).
struct DLLVERSIONINFO {
    DWORD cbSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformID;
};
inline constexpr DWORD DLLVER_PLATFORM_NT = 2;

// DllGetVersion answers an HRESULT: 0 (S_OK) when it filled the record, negative otherwise.
using DLLGETVERSIONPROC = std::int32_t (*)(DLLVERSIONINFO* info);
using FARPROC = void (*)();

// Loads a library by name. "comctl32.dll" (any case) is answered here: the wizard's start-up
// asks its version, and its DllGetVersion reports 6.16, the common controls of current
// Windows releases, as the Qt widgets stand in for them. Any other name is a shared object for
// dlopen (in the ANSI code page). Null with the last error set (ERROR_MOD_NOT_FOUND) when it
// cannot be loaded.
HMODULE LoadLibraryW(const wchar_t* name);
// An export of a loaded library; null (ERROR_PROC_NOT_FOUND) when it has none of that name.
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
BOOL FreeLibrary(HMODULE module);

inline constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
inline constexpr DWORD ERROR_PROC_NOT_FOUND = 127;

namespace win32 {

// Hands a link or file (a "mailto:" link, a help file) to the desktop's opener, xdg-open, and
// returns without waiting for it. False, with the last error set (ERROR_FILE_NOT_FOUND when
// the opener is not installed), when the opener cannot be started.
bool open_with_desktop(const std::string& target);

// Replaces the opener program (looked up on PATH when it has no "/"), so tests can see what
// would be opened; the empty text restores xdg-open.
void set_desktop_opener(const std::string& program);

} // namespace win32
