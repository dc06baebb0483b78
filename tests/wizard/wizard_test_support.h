// What the wizard's whole-run tests share: the objects main makes before the converter, and
// acting on the sheet from its own event loop while start-up runs it.
#pragma once

#include "GUI2/g_wiz_sh.h"
#include "GUI2/g_wiz_ui.h"
#include "TK/tk_log.h"
#include "converter/vlm_errh.h"

#include <QTimer>

#include <functional>

// The objects main makes before the converter.
struct program_objects {
    program_objects() { handler.load_err_map(err_map_mysql_size, err_map_mysql); }
    tk_logger logger{nullptr, false, 3, false};
    error_handler handler{err_map_oledb_size, err_map_oledb};
    wizard_ui ui;
};

// Runs `act` once, from the event loop, as soon as `ready` holds; never blocks the caller, so
// it also works while start-up still sits in a modal dialog of its own.
inline void once_when(std::function<bool()> ready, std::function<void()> act) {
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, ready, act] {
        if (!ready()) {
            return;
        }
        timer->stop();
        timer->deleteLater();
        act();
    });
    timer->start();
}

// True when the program's frame shows the page of dialog id `dialog`.
inline bool shell_on(const char* dialog) {
    auto* shell = tk_singleton<wizard_shell>::pointer();
    return shell != nullptr && shell->currentPage() != nullptr &&
           shell->currentPage()->objectName() == dialog;
}
