// Last error and system message texts over errno and strerror.
#include "platform/win32/error.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

thread_local DWORD last_error = ERROR_SUCCESS;

// Codes of this bit are errno values wrapped by error_from_errno.
constexpr DWORD errno_code_bit = 0x20000000;

struct code_pair {
    DWORD windows;
    int error_number;
};

// Windows codes and the errno values that mean the same. The first entry of an errno value is
// the code error_from_errno gives it.
constexpr code_pair code_pairs[] = {
    {2, ENOENT},         // ERROR_FILE_NOT_FOUND
    {3, ENOENT},         // ERROR_PATH_NOT_FOUND
    {4, EMFILE},         // ERROR_TOO_MANY_OPEN_FILES
    {5, EACCES},         // ERROR_ACCESS_DENIED
    {6, EBADF},          // ERROR_INVALID_HANDLE
    {8, ENOMEM},         // ERROR_NOT_ENOUGH_MEMORY
    {14, ENOMEM},        // ERROR_OUTOFMEMORY
    {19, EROFS},         // ERROR_WRITE_PROTECT
    {32, EBUSY},         // ERROR_SHARING_VIOLATION
    {50, ENOTSUP},       // ERROR_NOT_SUPPORTED
    {80, EEXIST},        // ERROR_FILE_EXISTS
    {87, EINVAL},        // ERROR_INVALID_PARAMETER
    {112, ENOSPC},       // ERROR_DISK_FULL
    {122, ENOBUFS},      // ERROR_INSUFFICIENT_BUFFER
    {145, ENOTEMPTY},    // ERROR_DIR_NOT_EMPTY
    {183, EEXIST},       // ERROR_ALREADY_EXISTS
    {206, ENAMETOOLONG}, // ERROR_FILENAME_EXCED_RANGE
    {267, ENOTDIR},      // ERROR_DIRECTORY
    {1004, EINVAL},      // ERROR_INVALID_FLAGS
    {1113, EILSEQ},      // ERROR_NO_UNICODE_TRANSLATION
};

// The C library's description of a Windows code, or null when it has none. glibc's
// strerrordesc_np tells an unknown errno apart ("Unknown error N" of strerror is not a text).
const char* describe(DWORD code) {
    if (code == ERROR_SUCCESS) {
        return strerrordesc_np(0);
    }
    if ((code & ~(errno_code_bit | 0xFFFF)) == 0 && (code & errno_code_bit) != 0) {
        return strerrordesc_np(static_cast<int>(code & 0xFFFF));
    }
    for (const code_pair& pair : code_pairs) {
        if (pair.windows == code) {
            return strerrordesc_np(pair.error_number);
        }
    }
    return nullptr;
}

} // namespace

DWORD GetLastError() {
    return last_error;
}

void SetLastError(DWORD code) {
    last_error = code;
}

DWORD FormatMessageA(DWORD flags, const void* /*source*/, DWORD message_id, DWORD /*language_id*/,
                     char* buffer, DWORD size, va_list* /*arguments*/) {
    if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char* description = describe(message_id);
    if (description == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::string text = std::string(description) + "\n";
    const auto length = static_cast<DWORD>(text.size());
    if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0) {
        auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
        if (copy == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        std::memcpy(copy, text.c_str(), text.size() + 1);
        *reinterpret_cast<char**>(buffer) = copy;
        return length;
    }
    if (size <= length) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return length;
}

HLOCAL LocalFree(HLOCAL memory) {
    std::free(memory);
    return nullptr;
}

namespace win32 {

DWORD error_from_errno(int error_number) {
    if (error_number == 0) {
        return ERROR_SUCCESS;
    }
    for (const code_pair& pair : code_pairs) {
        if (pair.error_number == error_number) {
            return pair.windows;
        }
    }
    return errno_code_bit | static_cast<DWORD>(error_number & 0xFFFF);
}

void set_last_error_from_errno(int error_number) {
    SetLastError(error_from_errno(error_number));
}

} // namespace win32
