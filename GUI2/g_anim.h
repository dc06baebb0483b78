// The small modal "please wait" dialog whose icon turns while a worker does the waiting job; only
// the worker ends it.
#pragma once

#include <QDialog>
#include <QPixmap>
#include <QTimer>

#include <array>
#include <atomic>

class QLabel;

class dlg_animation : public QDialog {
public:
    static constexpr int frame_count = 8;

    // `text`: the line beside the icon. `period_ms`: the time each frame is shown.
    dlg_animation(const QString& text, int period_ms, QWidget* owner);

    // Ends the dialog with 0; callable from any thread, also before the dialog is shown (it then
    // closes as soon as it appears, so a job that finished early cannot leave it hanging).
    void end_dialog();
    bool ended() const { return ended_; }

    // The frame shown: 0 to 7 while the dialog runs, -1 before and after.
    int frame() const { return frame_; }
    int period() const { return period_ms_; }

    // Esc and the close box do nothing: the dialog is the worker's to end.
    void reject() override {}

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void tick();
    // Ends the dialog from its own thread's event loop if it is showing by then.
    void finish_later();
    void finish();

    QLabel* icon_;
    std::array<QPixmap, frame_count> frames_;
    QTimer timer_;
    int period_ms_;
    std::atomic<int> frame_{-1};
    std::atomic<bool> ended_{false};
};

// The frames of the turning icon, 32 by 32 pixels, drawn in code.
std::array<QPixmap, dlg_animation::frame_count> animation_frames();
