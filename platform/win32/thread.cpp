// Threads over std::thread. A handle is the shared state of one thread; the thread keeps its own
// reference, so closing the handle of a thread that still runs leaves the thread intact.
#include "platform/win32/thread.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace {

struct thread_state {
    std::mutex mutex;
    std::condition_variable ended_signal;
    bool ended = false;
    DWORD exit_code = STILL_ACTIVE;
    std::thread thread;
};

// What a HANDLE points to: the caller's reference to the shared state.
struct thread_handle {
    std::shared_ptr<thread_state> state;
};

thread_handle* from_handle(HANDLE handle) {
    return static_cast<thread_handle*>(handle);
}

DWORD thread_number(std::thread::id id) {
    return static_cast<DWORD>(std::hash<std::thread::id>{}(id));
}

} // namespace

HANDLE CreateThread(void* /*security*/, std::size_t /*stack_size*/, LPTHREAD_START_ROUTINE start,
                    void* parameter, DWORD /*creation_flags*/, DWORD* thread_id) {
    if (start == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* handle = new (std::nothrow) thread_handle{std::make_shared<thread_state>()};
    if (handle == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::shared_ptr<thread_state> state = handle->state;
    try {
        // The mutex is held until `thread` is stored, so that the body's end never races with it.
        std::unique_lock lock(state->mutex);
        state->thread = std::thread([state, start, parameter] {
            const DWORD code = start(parameter);
            std::lock_guard ended_lock(state->mutex);
            state->exit_code = code;
            state->ended = true;
            state->ended_signal.notify_all();
        });
        if (thread_id != nullptr) {
            *thread_id = thread_number(state->thread.get_id());
        }
    } catch (const std::system_error& error) {
        delete handle;
        win32::set_last_error_from_errno(error.code().value());
        return nullptr;
    }
    return handle;
}

DWORD WaitForSingleObject(HANDLE thread, DWORD milliseconds) {
    if (thread == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    thread_state& state = *from_handle(thread)->state;
    std::unique_lock lock(state.mutex);
    if (milliseconds == INFINITE) {
        state.ended_signal.wait(lock, [&] { return state.ended; });
        return WAIT_OBJECT_0;
    }
    const bool ended = state.ended_signal.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                                   [&] { return state.ended; });
    return ended ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL GetExitCodeThread(HANDLE thread, DWORD* exit_code) {
    if (thread == nullptr || exit_code == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    thread_state& state = *from_handle(thread)->state;
    std::lock_guard lock(state.mutex);
    *exit_code = state.exit_code;
    return TRUE;
}

BOOL CloseHandle(HANDLE thread) {
    if (thread == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    thread_handle* handle = from_handle(thread);
    {
        std::unique_lock lock(handle->state->mutex);
        const bool ended = handle->state->ended;
        lock.unlock();
        if (ended) {
            // The body has only its last few instructions left; join reclaims the thread.
            handle->state->thread.join();
        } else {
            handle->state->thread.detach();
        }
    }
    delete handle;
    return TRUE;
}

void Sleep(DWORD milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD GetCurrentThreadId() {
    return thread_number(std::this_thread::get_id());
}
