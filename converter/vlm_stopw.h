// Makes a stop request end a run whose MySQL server does not answer.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

class sql_engine;

// Lives as long as a run. A stop request is answered at the run's next safe point, but a run
// waiting for a server that has stopped answering never reaches one: once a stop has been
// requested and the run has not ended within `grace`, the watchdog interrupts the engine's
// connection (sql_engine::interrupt), so that the waiting call fails and the run ends the way a
// stop ends it. Nothing happens without a stop request, however long a statement takes.
class vlm_stop_watchdog {
public:
    vlm_stop_watchdog(sql_engine* engine, std::chrono::milliseconds grace);
    // Ends the watch; the connection is not touched afterwards.
    ~vlm_stop_watchdog();

    vlm_stop_watchdog(const vlm_stop_watchdog&) = delete;
    vlm_stop_watchdog& operator=(const vlm_stop_watchdog&) = delete;

    // How long a run may take to end after a stop request before its connection is cut.
    static constexpr std::chrono::milliseconds default_grace{3000};

private:
    void watch();

    sql_engine* engine_;
    std::chrono::milliseconds grace_;
    std::mutex mutex_;
    std::condition_variable ended_;
    bool done_ = false;
    std::thread thread_;
};
