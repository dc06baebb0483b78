// Start-up of the wizard: the long-lived objects in their order, the sheet of pages, the quick
// launch of a profile named on the command line, and the program's exit code.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

class velmora_convertor;
class wizard_page;
class wizard_shell;

// The usage line of `velmora`.
std::string velmora_usage();

// Empty when a display can be reached (DISPLAY, WAYLAND_DISPLAY, or a QT_QPA_PLATFORM that needs
// none); else the text that says why the wizard cannot open.
std::string velmora_no_display_text();

// Success and error texts of the finish page.
extern const wchar_t* const finish_success_text;
extern const wchar_t* const finish_error_text;

// Adds the set-up pages of the ordinary road to the sheet, in sheet order. `tables` and `views`,
// when given, take the place of the selection pages (the picture tour lists sample names).
void add_setup_pages(wizard_shell& shell, velmora_convertor& converter,
                     wizard_page* tables = nullptr, wizard_page* views = nullptr);

// Connects to MS SQL with the converter's settings as the MS SQL page does (its connect thread
// and "Connecting" dialog, owned by the active window); the thread reports a failure itself.
// True when connected.
bool quick_connect_mssql(velmora_convertor& converter);

// Everything from the converter to the end of the sheet, on the GUI thread of an existing
// application, with the trace logger, the error handler and the wizard's front end already made.
// `profile`: none for the ordinary road, else the profile of a quick launch (an empty path is
// a profile that does not exist, never the ordinary road). `instead_of_sheet`,
// when given, is called with the frame in place of running the sheet (the picture tour) and
// gives the result; `setup_pages`, when given, adds the set-up pages instead of
// `add_setup_pages`. Returns the program's exit code: 255 after any reported error.
int velmora_start(
    const std::optional<std::string>& profile,
    const std::function<int(wizard_shell&, velmora_convertor&)>& instead_of_sheet = {},
    const std::function<void(wizard_shell&, velmora_convertor&)>& setup_pages = {});
