// Tests of the thread calls over std::thread.
#include "platform/win32/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

struct gate {
    std::atomic<bool> open{false};
    std::atomic<bool> done{false};
};

DWORD wait_for_gate(void* parameter) {
    auto* g = static_cast<gate*>(parameter);
    while (!g->open) {
        Sleep(1);
    }
    g->done = true;
    return 7;
}

TEST(Thread, RunsTheRoutineAndKeepsItsExitCode) {
    gate g;
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, wait_for_gate, &g, 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, GetCurrentThreadId());

    EXPECT_EQ(WaitForSingleObject(thread, 10), WAIT_TIMEOUT);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);

    g.open = true;
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_TRUE(CloseHandle(thread));
}

TEST(Thread, ClosingTheHandleOfARunningThreadLetsItRunToItsEnd) {
    static gate g; // outlives the test: the thread may still read it as the test returns
    HANDLE thread = CreateThread(nullptr, 0, wait_for_gate, &g, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(CloseHandle(thread));
    g.open = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!g.done && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(g.done);
}

TEST(Thread, NullHandleOrRoutineIsRefused) {
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForSingleObject(nullptr, 10), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    DWORD code = 0;
    EXPECT_FALSE(GetExitCodeThread(nullptr, &code));
    EXPECT_FALSE(CloseHandle(nullptr));
}

} // namespace
