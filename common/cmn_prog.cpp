// The progress page.
#include "common/cmn_prog.h"

#include "GUI2/g_wiz_sh.h"
#include "GUI2/g_wiz_ui.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_stop.h"
#include "converter/vlm_conv.h"
#include "converter/vlm_ui.h"

#include <QAbstractButton>
#include <QEventLoop>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

unsigned progress_percent(std::int32_t object_count, std::int32_t object_index,
                          std::uint64_t object_records, std::uint64_t records_done) {
    if (object_count <= 0) {
        return 0;
    }
    const auto count = static_cast<std::uint32_t>(object_count);
    std::uint32_t percent = static_cast<std::uint32_t>(object_index) * 100U / count;
    if (object_records != 0 && object_records != udb_recordset::unknown_count) {
        const std::uint64_t done = std::min(records_done, object_records);
        percent += static_cast<std::uint32_t>(done * 100U / object_records / count);
    }
    return std::min<std::uint32_t>(percent, 100U);
}

progress_page::progress_page(velmora_convertor& converter)
    : wizard_page(dialog_id, 0, -1, "Step 7 of 7", "Database conversion is in progress"),
      tk_thread(false), converter_(converter) {
    auto* column = new QVBoxLayout(this);
    auto* note = new QLabel("Database conversion is in progress. Please wait until the wizard "
                            "completes converting your MS SQL database into MySQL data source.",
                            this);
    note->setWordWrap(true);
    column->addWidget(note);
    log_ = new QPlainTextEdit(this);
    log_->setObjectName("1016");
    log_->setReadOnly(true);
    log_->setLineWrapMode(QPlainTextEdit::NoWrap);
    column->addWidget(log_, 1);
    status_ = new QLabel(this);
    status_->setObjectName("1323");
    // A long owner-qualified name is cut at the page's edge instead of widening the page.
    status_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    status_->setTextFormat(Qt::PlainText);
    column->addWidget(status_);
    bar_ = new QProgressBar(this);
    bar_->setObjectName("1321");
    bar_->setRange(0, 100);
    bar_->setValue(0);
    column->addWidget(bar_);
}

progress_page::~progress_page() {
    // Never leave the run behind with a page, a frame and a timer it still uses.
    stop_and_wait();
}

tk_thread_functor* progress_page::create_functor() {
    set_owns_functor(false);
    return &converter_;
}

bool progress_page::page_init() {
    tk_log_message(2, "progress_page::page_init");
    // No wizard button during the run; Cancel stays.
    if (wizard_shell* frame = shell()) {
        frame->button(QWizard::BackButton)->setEnabled(false);
        frame->button(QWizard::NextButton)->setEnabled(false);
    }
    bar_->setValue(0);
    log_->clear();
    status_->clear();
    if (started_ || !run_on_entry) {
        return true;
    }
    started_ = true;
    // A stop asked for by an earlier run of this process is not this run's.
    tk_clear_stop();
    start();
    if (handle() == nullptr) {
        // No thread, no run: the finish page says so rather than waiting for ever.
        if (auto* ui = dynamic_cast<wizard_ui*>(tk_singleton<vlm_ui>::pointer())) {
            ui->error_narrow("The conversion could not be started: no thread could be created.");
        }
        converter_.finished = true;
        // No run starts the timer either: the page moves on by itself.
        QTimer::singleShot(0, this, [this] { on_timer(); });
    }
    return true;
}

void progress_page::on_timer() {
    if (&tk_singleton<velmora_convertor>::ref() != &converter_) {
        throw tk_mail_assertion("vlm_shel", 795);
    }
    if (!converter_.finished.load()) {
        // Before its first object and after its last the run holds no count: the bar stays.
        if (converter_.object_count.load() > 0) {
            bar_->setValue(static_cast<int>(progress_percent(
                converter_.object_count.load(), converter_.object_index.load(),
                converter_.object_records.load(), converter_.records_done.load())));
        }
    } else {
        // The run has zeroed its counters by now: a run that reported nothing went all the way.
        const vlm_ui* ui = tk_singleton<vlm_ui>::pointer();
        if (ui != nullptr && ui->errors.empty() && !stopping_) {
            bar_->setValue(100);
        }
        wizard_shell* frame = shell();
        if (frame != nullptr) {
            frame->stop_timer();
        }
        // While the wizard closes, the run's end is waited for elsewhere; no page follows.
        if (stopping_ || frame == nullptr) {
            return;
        }
        const QList<int> ids = frame->pageIds();
        const qsizetype at = ids.indexOf(frame->currentId());
        if (at >= 0 && at + 1 < ids.size()) {
            frame->go_to(ids[at + 1]);
        }
        return;
    }
    const std::wstring name = converter_.current_object();
    status_->setText(name.empty()
                         ? QString()
                         : QString("Processing table '%1'").arg(QString::fromStdWString(name)));
}

bool progress_page::run_active() const {
    return started_ && !wait(0);
}

bool progress_page::on_cancel() {
    if (!wizard_page::on_cancel()) {
        return false;
    }
    return stop_and_wait();
}

bool progress_page::stop_and_wait() {
    if (!run_active()) {
        return true;
    }
    tk_log_message(2, "progress_page::stop_and_wait");
    stopping_ = true;
    auto* ui = dynamic_cast<wizard_ui*>(tk_singleton<vlm_ui>::pointer());
    if (ui != nullptr) {
        ui->set_closing(true);
    }
    tk_request_stop(0);
    // The run may be waiting for the GUI thread (a log line); the event loop keeps serving it
    // and keeps the window painted until the run has ended.
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [this, &loop] {
        if (wait(0)) {
            loop.quit();
        }
    });
    poll.start(20);
    if (!wait(0)) {
        loop.exec();
    }
    poll.stop();
    if (wizard_shell* frame = shell()) {
        frame->stop_timer();
    }
    tk_log_message(2, "progress_page::stop_and_wait - the run has ended");
    return true;
}
