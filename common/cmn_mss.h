// The MS SQL connection page, and the connect thread with its "Connecting" dialog, which the
// quick launch uses without the page.
#pragma once

#include "GUI2/g_wiz_pg.h"
#include "TK/tk_threa.h"

#include <atomic>
#include <string>

class QLineEdit;
class QRadioButton;
class QWidget;
class dlg_animation;
class velmora_convertor;

// Connects the converter's MS SQL engine with its stored settings on a thread of its own while
// the GUI thread runs the "Connecting" dialog; the thread reports a failure itself and then ends
// the dialog. The connection stays with the engine for the GUI thread and for later runs.
class mssql_connector : public tk_thread, private tk_thread_functor {
public:
    static constexpr int frame_period_ms = 500;

    explicit mssql_connector(velmora_convertor& converter);
    ~mssql_connector() override;

    mssql_connector(const mssql_connector&) = delete;
    mssql_connector& operator=(const mssql_connector&) = delete;

    // Runs one connect; true when the engine is connected. `owner`: the dialog's owner window.
    bool run(QWidget* owner);
    bool connected() const { return connected_; }
    // The dialog of the connect in progress (null between connects): for tests and pictures.
    dlg_animation* dialog() const { return dialog_; }

    tk_thread_functor* create_functor() override { return this; }

private:
    // The connect thread.
    void operator()() override;
    void connect_steps();

    velmora_convertor& converter_;
    std::atomic<dlg_animation*> dialog_{nullptr};
    std::atomic<bool> connected_{false};
};

class mssql_settings_page : public wizard_page {
public:
    static constexpr int dialog_id = 118;
    static constexpr int help_id = 1010;
    static constexpr int mysql_page = 123;
    static constexpr int script_page = 102;

    explicit mssql_settings_page(velmora_convertor& converter);

    bool page_init() override;
    int on_next() override;
    int on_back() override;

    // The radios: login and password are used only with a SQL Server login.
    void enable_login(bool sql_login);
    // The controls into the converter; every store clears the connect-as-owner flag.
    void store_settings();

    mssql_connector& connector() { return connector_; }

private:
    velmora_convertor& converter_;
    mssql_connector connector_;
    std::wstring database_;
    QLineEdit* server_;
    QRadioButton* windows_;
    QRadioButton* sql_login_;
    QLineEdit* login_;
    QLineEdit* password_;
    QLineEdit* database_box_;
};
