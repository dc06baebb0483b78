// Run-time libraries with their version entry, and the desktop's opener for links.
#include "platform/win32/shell.h"

#include "platform/win32/codepage.h"
#include "platform/win32/error.h"
#include "platform/win32/file.h"

#include <dlfcn.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <cwctype>
#include <mutex>
#include <string_view>
#include <thread>

extern char** environ;

namespace {

std::int32_t comctl32_version(DLLVERSIONINFO* info) {
    if (!info || info->cbSize < sizeof(DLLVERSIONINFO))
        return static_cast<std::int32_t>(0x80070057u); // E_INVALIDARG
    info->dwMajorVersion = 6;
    info->dwMinorVersion = 16;
    info->dwBuildNumber = 0;
    info->dwPlatformID = DLLVER_PLATFORM_NT;
    return 0;
}

// A library answered here rather than loaded; its handle is its own address.
struct builtin_module {
    std::wstring_view name;
    const char* export_name;
    FARPROC export_address;
};

const builtin_module builtin_modules[] = {
    {L"comctl32.dll", "DllGetVersion", reinterpret_cast<FARPROC>(&comctl32_version)},
};

const builtin_module* builtin_of(HMODULE module) {
    for (const builtin_module& candidate : builtin_modules)
        if (module == &candidate)
            return &candidate;
    return nullptr;
}

// ASCII letters fold alone, whatever the locale (a Turkish one lowers 'I' to U+0131); others by
// Unicode's lower case, as Windows compares file names.
wint_t name_fold(wchar_t c) {
    if (c < 0x80)
        return (c >= L'A' && c <= L'Z') ? static_cast<wint_t>(c + 32) : static_cast<wint_t>(c);
    return std::towlower(static_cast<wint_t>(c));
}

bool same_name_ignoring_case(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (name_fold(a[i]) != name_fold(b[i]))
            return false;
    return true;
}

std::mutex opener_mutex;
std::string opener = "xdg-open";

} // namespace

HMODULE LoadLibraryW(const wchar_t* name) {
    if (!name || !*name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    for (const builtin_module& candidate : builtin_modules)
        if (same_name_ignoring_case(candidate.name, name))
            return const_cast<builtin_module*>(&candidate);
    const int size = WideCharToMultiByte(CP_ACP, 0, name, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    std::string narrow(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, name, -1, narrow.data(), size, nullptr, nullptr);
    void* handle = dlopen(narrow.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return handle;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    if (!module || !name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (const builtin_module* builtin = builtin_of(module)) {
        if (std::strcmp(builtin->export_name, name) == 0)
            return builtin->export_address;
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    void* address = dlsym(module, name);
    if (!address) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(address);
}

BOOL FreeLibrary(HMODULE module) {
    if (!module) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (builtin_of(module))
        return TRUE;
    return dlclose(module) == 0 ? TRUE : FALSE;
}

bool win32::open_with_desktop(const std::string& target) {
    std::string program;
    {
        std::lock_guard<std::mutex> guard(opener_mutex);
        program = opener;
    }
    char* argv[] = {program.data(), const_cast<char*>(target.c_str()), nullptr};
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv, environ);
    if (error != 0) {
        SetLastError(win32::error_from_errno(error));
        return false;
    }
    // The opener may stay as long as the program it starts; it is reaped whenever it ends.
    std::thread([pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return true;
}

void win32::set_desktop_opener(const std::string& program) {
    std::lock_guard<std::mutex> guard(opener_mutex);
    opener = program.empty() ? "xdg-open" : program;
}
