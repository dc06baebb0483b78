// Tests of the last error and of the system message texts.
#include "platform/win32/error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

namespace {

// FormatMessageA's text of `code`, allocated by the call, or "<none>".
std::string system_text(DWORD code) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                        reinterpret_cast<char*>(&text), 0, nullptr);
    if (length == 0) {
        return "<none>";
    }
    std::string result(text, length);
    LocalFree(text);
    return result;
}

TEST(FormatMessage, WindowsCodesGetTheTextOfTheMatchingErrno) {
    struct text_case {
        DWORD code;
        int error_number;
    };
    const text_case cases[] = {
        {ERROR_FILE_NOT_FOUND, ENOENT},         {ERROR_PATH_NOT_FOUND, ENOENT},
        {ERROR_ACCESS_DENIED, EACCES},          {ERROR_INVALID_HANDLE, EBADF},
        {ERROR_NOT_ENOUGH_MEMORY, ENOMEM},      {ERROR_INVALID_PARAMETER, EINVAL},
        {ERROR_INSUFFICIENT_BUFFER, ENOBUFS},   {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG},
        {ERROR_NO_UNICODE_TRANSLATION, EILSEQ}, {ERROR_SUCCESS, 0},
    };
    for (const text_case& test : cases) {
        SCOPED_TRACE(test.code);
        EXPECT_EQ(system_text(test.code), std::string(std::strerror(test.error_number)) + "\n");
    }
}

TEST(FormatMessage, CodeWithoutTextGivesNothing) {
    for (DWORD code : {DWORD{1}, DWORD{99999}, DWORD{0x20000000 | 4095}, DWORD{0xFFFFFFFF}}) {
        SCOPED_TRACE(code);
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(system_text(code), "<none>");
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
}

TEST(FormatMessage, CallersBufferMustHoldTheTextAndItsNul) {
    const std::string expected = std::string(std::strerror(EACCES)) + "\n";
    char buffer[256];
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, buffer,
                             sizeof buffer, nullptr),
              expected.size());
    EXPECT_EQ(std::string(buffer), expected);

    const auto exact = static_cast<DWORD>(expected.size());
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, buffer,
                             exact, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(ErrorFromErrno, KnownValuesBecomeWindowsCodesOthersKeepTheirText) {
    EXPECT_EQ(win32::error_from_errno(0), ERROR_SUCCESS);
    EXPECT_EQ(win32::error_from_errno(ENOENT), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(win32::error_from_errno(EACCES), ERROR_ACCESS_DENIED);
    EXPECT_EQ(win32::error_from_errno(EILSEQ), ERROR_NO_UNICODE_TRANSLATION);

    const DWORD cross_device = win32::error_from_errno(EXDEV);
    EXPECT_EQ(cross_device & 0x20000000u, 0x20000000u);
    EXPECT_EQ(system_text(cross_device), std::string(std::strerror(EXDEV)) + "\n");

    win32::set_last_error_from_errno(ENOSPC);
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
}

TEST(LastError, BelongsToEachThread) {
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD seen_by_other = 12345;
    std::thread other([&] {
        seen_by_other = GetLastError();
        SetLastError(ERROR_FILE_NOT_FOUND);
    });
    other.join();
    EXPECT_EQ(seen_by_other, ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

} // namespace
