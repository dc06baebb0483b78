// The file dialogs: Qt's own dialog, not the desktop's, so that every desktop behaves alike.
#include "GUI2/g_f_dlg.h"

#include "TK/tk_excep.h"

#include <QFileDialog>
#include <QFileInfo>

namespace {

std::optional<QString> run_qt_dialog(QWidget* owner, const file_dialog_request& request) {
    QFileDialog dialog(owner, request.title, request.folder, request.filter);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    if (request.save) {
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setOption(QFileDialog::DontConfirmOverwrite);
    } else {
        dialog.setFileMode(QFileDialog::ExistingFile);
    }
    if (!request.name.isEmpty()) {
        dialog.selectFile(request.name);
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return dialog.selectedFiles().front();
}

file_chooser& chooser() {
    static file_chooser current = run_qt_dialog;
    return current;
}

file_dialog_request request_for(bool save, const QString& filter, const QString& title,
                                const QString& initial) {
    const QFileInfo start(initial);
    file_dialog_request request;
    request.save = save;
    request.title = title;
    request.filter = filter;
    request.folder = initial.isEmpty() ? QString() : start.path();
    request.name = start.completeBaseName();
    return request;
}

} // namespace

void set_file_chooser(file_chooser replacement) {
    chooser() = replacement ? std::move(replacement) : file_chooser(run_qt_dialog);
}

QString with_default_extension(const QString& name, const QString& extension) {
    const QString dotted = extension.startsWith('.') ? extension : '.' + extension;
    return name.contains(dotted) ? name : name + dotted;
}

std::optional<QString> open_file_dialog(QWidget* owner, const QString& filter, const QString& title,
                                        const QString& initial) {
    return chooser()(owner, request_for(false, filter, title, initial));
}

std::optional<QString> save_file_dialog(QWidget* owner, const QString& filter, const QString& title,
                                        const QString& initial, const QString& extension) {
    if (extension.isEmpty()) {
        throw tk_mail_assertion("g_f_dlg", 111);
    }
    std::optional<QString> chosen = chooser()(owner, request_for(true, filter, title, initial));
    if (chosen) {
        *chosen = with_default_extension(*chosen, extension);
    }
    return chosen;
}
