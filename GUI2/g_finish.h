// The profile dialogs: loading a profile from the welcome page, saving one from the finish page.
#pragma once

#include <QString>

#include <string>

class QWidget;
class velmora_convertor;

// "Profile Files (.vlm)" with *.vlm, then "All Files (*.*)" with every file. The extension must
// have 3 or 4 characters (internal error otherwise, at `line`).
QString profile_filter(const std::wstring& extension, int line);

// Asks for a profile and loads it into the converter. False when nothing was loaded (Cancel or
// a failure, which has been reported). A tk_exception of the profile reader goes to the caller.
bool load_profile_dialog(QWidget* owner, velmora_convertor& converter,
                         const std::wstring& extension);

// Asks for a file name and writes the converter's settings there; a file that cannot be written
// is reported in an error box. False on Cancel or failure.
bool store_profile_dialog(QWidget* owner, velmora_convertor& converter,
                          const std::wstring& extension);
