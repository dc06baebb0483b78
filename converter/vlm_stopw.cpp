// Makes a stop request end a run whose MySQL server does not answer.
#include "converter/vlm_stopw.h"

#include "SQL/sql_engi.h"
#include "TK/tk_log.h"
#include "TK/tk_stop.h"

namespace {

// A stop request comes from a signal handler, which cannot wake a thread: it is polled.
constexpr std::chrono::milliseconds poll_period{100};

} // namespace

vlm_stop_watchdog::vlm_stop_watchdog(sql_engine* engine, std::chrono::milliseconds grace)
    : engine_(engine), grace_(grace) {
    if (engine_ != nullptr) {
        thread_ = std::thread([this] { watch(); });
    }
}

vlm_stop_watchdog::~vlm_stop_watchdog() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
    }
    ended_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void vlm_stop_watchdog::watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!done_ && !tk_stop_requested()) {
        ended_.wait_for(lock, poll_period);
    }
    if (ended_.wait_for(lock, grace_, [this] { return done_; })) {
        return;
    }
    if (engine_->interrupt()) {
        tk_log_message(3,
                       "The run had not ended %lld ms after the stop request: the MySQL "
                       "connection was shut down",
                       static_cast<long long>(grace_.count()));
    }
}
