// The question put when the destination MySQL database exists: what to do with it (the mode).
#pragma once

#include <QDialog>

#include <string>

class QButtonGroup;
class QVBoxLayout;

// Four choices: overwrite everything (0), overwrite existing tables (1), skip them (2), merge (3).
class overwrite_dlg2 : public QDialog {
public:
    static constexpr int dialog_id = 133;

    overwrite_dlg2(const std::wstring& text, int help_topic, QWidget* owner);

    // The mode chosen: the number of the radio checked when OK was pressed; 0 until then.
    int mode() const { return mode_; }
    int help_topic() const { return help_topic_; }

protected:
    void add_choice(const QString& text, const char* name, int mode);
    void on_ok();
    void showEvent(QShowEvent* event) override;

    QButtonGroup* choices_;
    QVBoxLayout* radios_;

private:
    int mode_ = 0;
    int help_topic_;
    bool beeped_ = false;
};

// ... and a fifth: synchronize (4).
class overwrite_dlg3 : public overwrite_dlg2 {
public:
    overwrite_dlg3(const std::wstring& text, int help_topic, QWidget* owner);
};
