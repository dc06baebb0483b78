// The open and save file dialogs of the wizard.
#pragma once

#include <QString>

#include <functional>
#include <optional>

class QWidget;

// What a file dialog asks: title, filter (Qt form, "Text (*.x);;All (*)"), start folder and
// name, and whether it saves.
struct file_dialog_request {
    bool save = false;
    QString title;
    QString filter;
    QString folder;
    QString name;
};

// Shows the dialog; the chosen path, or nothing on Cancel. Replaceable so tests can answer.
using file_chooser =
    std::function<std::optional<QString>(QWidget* owner, const file_dialog_request&)>;
void set_file_chooser(file_chooser chooser);

// The save dialog's extension rule: `extension` ("sql" or ".sql") is appended unless the name
// already contains it anywhere ("a.sql.bak" stays as it is).
QString with_default_extension(const QString& name, const QString& extension);

// An existing file; `initial` splits into the start folder and the name (without extension).
std::optional<QString> open_file_dialog(QWidget* owner, const QString& filter, const QString& title,
                                        const QString& initial);
// A file to write (no overwrite question); the extension rule applied to the choice.
std::optional<QString> save_file_dialog(QWidget* owner, const QString& filter, const QString& title,
                                        const QString& initial, const QString& extension);
