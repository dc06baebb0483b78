// Helpers of the wizard tests: answering modal dialogs, a recording desktop opener, a temporary
// folder.
#pragma once

#include <QApplication>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <filesystem>
#include <functional>
#include <string>

// Runs `act` once on the next modal dialog of type T as soon as it is shown (polled from the
// event loop, also inside another modal dialog's loop). The timer polls until then and is gone
// after: a null or inactive one means `act` ran.
template <class T> QPointer<QTimer> when_modal_is(std::function<void(T*)> act) {
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, act] {
        auto* shown = dynamic_cast<T*>(QApplication::activeModalWidget());
        if (shown == nullptr || !shown->isVisible()) {
            return;
        }
        timer->stop();
        timer->deleteLater();
        act(shown);
    });
    timer->start();
    return timer;
}

// Runs `act` on the next modal dialog as soon as it is shown.
inline void when_modal(std::function<void(QWidget*)> act) {
    when_modal_is<QWidget>(std::move(act));
}

// What a finished modal dialog looked like.
struct seen_box {
    QString caption;
    QString text;
    QWidget* owner = nullptr;
    bool shown = false;
};
// Records the next modal message box and presses `button` (a QMessageBox::StandardButton).
void record_and_press(seen_box& seen, int button);

// Spins the event loop until `done` holds or `ms` milliseconds pass.
bool wait_until(const std::function<bool()>& done, int ms = 5000);

// A temporary folder, removed with its contents.
struct temp_folder {
    temp_folder();
    ~temp_folder();
    std::filesystem::path path;
};

// A desktop opener that appends each target to a file; restores xdg-open when destroyed.
struct recording_opener {
    recording_opener();
    ~recording_opener();
    std::string targets() const;
    temp_folder folder;
};
