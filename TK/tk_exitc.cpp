// Work that must be done even when the process is ended at once.
#include "TK/tk_exitc.h"

#include <mutex>

namespace {

std::mutex registry_mutex;
tk_exit_cleanup* newest = nullptr;

} // namespace

tk_exit_cleanup::tk_exit_cleanup(std::function<void()> cleanup) : cleanup_(std::move(cleanup)) {
    const std::lock_guard lock(registry_mutex);
    previous_ = newest;
    newest = this;
}

tk_exit_cleanup::~tk_exit_cleanup() {
    const std::lock_guard lock(registry_mutex);
    // Registrations end in the reverse order of their making (they are scoped objects); one
    // that has run already is no longer in the list.
    for (tk_exit_cleanup** link = &newest; *link != nullptr; link = &(*link)->previous_) {
        if (*link == this) {
            *link = previous_;
            return;
        }
    }
}

void tk_run_exit_cleanups() noexcept {
    while (true) {
        tk_exit_cleanup* entry = nullptr;
        {
            const std::lock_guard lock(registry_mutex);
            entry = newest;
            if (entry == nullptr) {
                return;
            }
            newest = entry->previous_;
        }
        try {
            if (entry->cleanup_) {
                entry->cleanup_();
            }
        } catch (...) {
            // The process ends right after; the other cleanups still run.
        }
    }
}
