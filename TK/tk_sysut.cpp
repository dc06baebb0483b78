// Clipboard, library version and bug-report mail: services of the wizard's error dialog and
// start-up.
#include "TK/tk_sysut.h"

#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "platform/win32/clipboard.h"
#include "platform/win32/error.h"
#include "platform/win32/localtime.h"
#include "platform/win32/shell.h"

#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

// The narrow texts are in the ANSI code page; a mail link carries UTF-8. Text that cannot be
// converted goes as it is rather than not at all.
std::string ansi_to_utf8(const std::string& text) {
    try {
        return tk_to_utf8(tk_to_wstring(text));
    } catch (const tk_exception&) {
        return text;
    }
}

// Percent-encodes everything but the unreserved characters and `allowed`, with line breaks as
// CR LF as mail links require.
std::string link_encode(std::string_view text, std::string_view allowed = {}) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\n' && (i == 0 || text[i - 1] != '\r')) {
            out += "%0D%0A";
            continue;
        }
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                                c == '~' || allowed.find(static_cast<char>(c)) != allowed.npos;
        if (unreserved) {
            out += static_cast<char>(c);
            continue;
        }
        out += '%';
        out += hex[c >> 4];
        out += hex[c & 0xF];
    }
    return out;
}

// The address of a recipient written as "Name <address>", or the whole text without brackets.
std::string_view address_of(std::string_view recipient) {
    const std::size_t open = recipient.rfind('<');
    const std::size_t close = recipient.rfind('>');
    if (open != std::string_view::npos && close != std::string_view::npos && close > open)
        return recipient.substr(open + 1, close - open - 1);
    return recipient;
}

std::string local_date_text() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%d/%d/%d %d:%d", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute);
    return buffer;
}

} // namespace

void tk_copy_to_clipboard2(const std::wstring& text) {
    tk_log_wmessage(2, L"tk_copy_to_clipboard2(%ls)", text.c_str());
    const std::u16string units = tk_to_utf16(std::wstring_view(text.c_str()));
    const std::size_t size = 2 * units.size() + 2;
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, size);
    if (!memory) {
        tk_log_message(2, "GlobalAlloc failed");
        return;
    }
    bool taken = false;
    if (void* data = GlobalLock(memory)) {
        std::memcpy(data, units.c_str(), size);
        GlobalUnlock(memory);
        if (OpenClipboard(nullptr)) {
            tk_log_message(2, "OpenClipboard succeeded");
            EmptyClipboard();
            taken = SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
            CloseClipboard();
        } else {
            tk_log_message(2, "GetLastError() returns %08X", static_cast<unsigned>(GetLastError()));
        }
    }
    // Memory the clipboard took is the clipboard's; in every other case it is freed here.
    if (!taken)
        GlobalFree(memory);
}

unsigned get_dll_version(const wchar_t* library) {
    HMODULE module = LoadLibraryW(library);
    if (!module) {
        tk_log_message(1, "get_dll_version failed to load DLL");
        return 0;
    }
    auto get_version = reinterpret_cast<DLLGETVERSIONPROC>(GetProcAddress(module, "DllGetVersion"));
    if (!get_version) {
        tk_log_message(1, "get_dll_version failed to obtain DllGetVersion");
        FreeLibrary(module);
        return 0;
    }
    DLLVERSIONINFO info{};
    info.cbSize = sizeof info;
    unsigned version = 0;
    if (get_version(&info) >= 0)
        version = (info.dwMajorVersion << 16) | (info.dwMinorVersion & 0xFFFF);
    FreeLibrary(module);
    return version;
}

void tk_send_bug(const std::string& title, const std::string& text) {
    tk_log_message(2, "tk_send_bug(%s|%s)", title.c_str(), text.c_str());
    const std::string subject = "Bug report on " + title;
    const std::string date = local_date_text();
    const std::string body = date.empty() ? text : text + "\n\n" + date;

    const char* recipient = tk_message(tk_msg_bug_recipient);
    std::string link = "mailto:";
    link += link_encode(address_of(recipient ? recipient : ""), "@+");
    link += "?subject=";
    link += link_encode(ansi_to_utf8(subject));
    link += "&body=";
    link += link_encode(ansi_to_utf8(body));

    // The mail program runs in a process of its own, so it cannot change this one's working
    // directory; the link goes to whatever program the desktop has for mail.
    if (!win32::open_with_desktop(link)) {
        tk_log_message(2, "Failed to locate the desktop opener for mail links (error %u)",
                       static_cast<unsigned>(GetLastError()));
        return;
    }
    tk_log_message(1, "Mail link handed to the desktop opener: %s", link.c_str());
}
