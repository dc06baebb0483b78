// The profile dialogs.
#include "GUI2/g_finish.h"

#include "GUI2/g_f_dlg.h"
#include "GUI2/g_wiz_sh.h"
#include "GUI2/g_wiz_ui.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "converter/vlm_conv.h"

#include <filesystem>

QString profile_filter(const std::wstring& extension, int line) {
    if (extension.size() < 3 || extension.size() > 4) {
        throw tk_mail_assertion("g_finish", line);
    }
    const QString ext = QString::fromStdWString(extension);
    return QString("Profile Files (.%1) (*.%1);;All Files (*.*) (*)").arg(ext);
}

bool load_profile_dialog(QWidget* owner, velmora_convertor& converter,
                         const std::wstring& extension) {
    const QString filter = profile_filter(extension, 266);
    tk_log_message(1, "welcome_page_t::on_load(%s)", filter.toUtf8().constData());
    const std::optional<QString> chosen =
        open_file_dialog(owner, filter, "Select Profile", QString());
    if (!chosen) {
        return false;
    }
    const std::wstring path = chosen->toStdWString();
    std::error_code ignored;
    if (std::filesystem::is_directory(std::filesystem::path(path), ignored)) {
        wizard_page_error(L"The profile " + path + L" is a folder, not a file.");
        return false;
    }
    if (!load_profile_file(converter, path)) {
        wizard_page_error(L"The profile " + path + L" could not be read.");
        return false;
    }
    return true;
}

bool store_profile_dialog(QWidget* owner, velmora_convertor& converter,
                          const std::wstring& extension) {
    const QString filter = profile_filter(extension, 141);
    tk_log_message(1, "gui_finish_page_t::on_store(%s)", filter.toUtf8().constData());
    const std::optional<QString> chosen = save_file_dialog(
        owner, filter, "Select Profile", QString(), QString::fromStdWString(extension));
    if (!chosen) {
        return false;
    }
    if (!save_profile_file(converter, chosen->toStdWString())) {
        wizard_page_error(L"The settings could not be saved to " + chosen->toStdWString() + L".");
        return false;
    }
    return true;
}
