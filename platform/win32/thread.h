// Threads: the Win32 thread calls over std::thread.
#pragma once

#include "platform/win32/win32_types.h"

#include <cstddef>

using LPTHREAD_START_ROUTINE = DWORD (*)(void* parameter);

inline constexpr DWORD INFINITE = 0xFFFFFFFF;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
inline constexpr DWORD STILL_ACTIVE = 259;

// Starts a thread that runs `start(parameter)` at once. Security attributes, stack size and
// creation flags are accepted and ignored (threads are created runnable). Returns a handle for
// WaitForSingleObject, GetExitCodeThread and CloseHandle, or null when the thread cannot be
// created (last error set); `thread_id`, when given, receives a number that names the thread.
HANDLE CreateThread(void* security, std::size_t stack_size, LPTHREAD_START_ROUTINE start,
                    void* parameter, DWORD creation_flags, DWORD* thread_id);

// Waits up to `milliseconds` (INFINITE: no limit) for the thread to end: WAIT_OBJECT_0 when it
// has ended, WAIT_TIMEOUT when it still runs, WAIT_FAILED for a null handle.
DWORD WaitForSingleObject(HANDLE thread, DWORD milliseconds);

// The value the thread's routine returned, or STILL_ACTIVE while it runs.
BOOL GetExitCodeThread(HANDLE thread, DWORD* exit_code);

// Closes the handle. A thread that has ended is joined. A thread that still runs is never
// stopped: it is detached and goes on to its end, as a Windows thread does after its handle is
// closed. Null handle: FALSE with ERROR_INVALID_HANDLE.
BOOL CloseHandle(HANDLE thread);

// Suspends the calling thread.
void Sleep(DWORD milliseconds);

// A number naming the calling thread (for traces).
DWORD GetCurrentThreadId();
