// The progress page: starts the conversion on its own thread, shows the run's log lines, the
// share done and the object being converted, and moves on to the finish page when the run ends.
#pragma once

#include "GUI2/g_wiz_pg.h"
#include "TK/tk_threa.h"

#include <cstdint>

class QLabel;
class QProgressBar;
class velmora_convertor;

// The share of a run done, 0 to 100: the completed objects in equal steps, the current object's
// records within its step. A record count the source could not take adds nothing.
unsigned progress_percent(std::int32_t object_count, std::int32_t object_index,
                          std::uint64_t object_records, std::uint64_t records_done);

class progress_page : public wizard_page, public tk_thread {
public:
    static constexpr int dialog_id = 107;

    explicit progress_page(velmora_convertor& converter);
    ~progress_page() override;

    bool page_init() override;
    void on_timer() override;
    // During a run: asks, then stops the run and waits for it before the wizard may close.
    bool on_cancel() override;
    QPlainTextEdit* log_box() override { return log_; }

    // The conversion thread runs the converter.
    tk_thread_functor* create_functor() override;

    // Asks a running conversion to stop and waits for its end with the event loop running (the
    // run may be waiting for the GUI thread), so no thread outlives the wizard. True when no
    // run is left.
    bool stop_and_wait();
    // Cleared only by the picture tour, which shows the page without a run.
    bool run_on_entry = true;
    // Whether the conversion was started and has not ended yet.
    bool run_active() const;

private:
    velmora_convertor& converter_;
    QPlainTextEdit* log_;
    QLabel* status_;
    QProgressBar* bar_;
    bool started_ = false;
    bool stopping_ = false;
};
