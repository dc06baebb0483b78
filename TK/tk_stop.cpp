// A request to stop the work in progress early.
#include "TK/tk_stop.h"

#include <atomic>
#include <csignal>

namespace {

// Lock-free atomics are what a signal handler may touch.
std::atomic<bool> stop_requested{false};
std::atomic<int> stop_signal{0};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

extern "C" void on_stop_signal(int signal) {
    tk_request_stop(signal);
}

} // namespace

void tk_request_stop(int signal) noexcept {
    int none = 0;
    if (signal != 0) {
        stop_signal.compare_exchange_strong(none, signal);
    }
    stop_requested.store(true);
}

bool tk_stop_requested() noexcept {
    return stop_requested.load(std::memory_order_relaxed);
}

int tk_stop_signal() noexcept {
    return stop_signal.load();
}

void tk_clear_stop() noexcept {
    stop_signal.store(0);
    stop_requested.store(false);
}

void tk_install_stop_signals() {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    // Interrupted system calls resume: the network and file calls of the work go on until it
    // reaches its next safe point.
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGXFSZ, &ignore, nullptr);
}
