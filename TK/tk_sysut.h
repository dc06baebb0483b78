// Clipboard, library version and bug-report mail: services of the wizard's error dialog and
// start-up.
#pragma once

#include <string>

// Puts the text (up to its first NUL) on the clipboard as Unicode text. Where no clipboard is
// installed (the console agent) the failure is only traced.
void tk_copy_to_clipboard2(const std::wstring& text);

// The library's version as major * 65536 + minor, or 0 when the library, its DllGetVersion or
// the call fails.
unsigned get_dll_version(const wchar_t* library);

// Offers a bug report to the user's mail program: a "mailto:" link to the recipient of the
// toolkit message table, subject "Bug report on " and the title, body the text and the local
// date and time, handed to the desktop's opener. Failures are only traced.
void tk_send_bug(const std::string& title, const std::string& text);
