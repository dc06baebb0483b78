// GUID text: the bare, braced and located forms.
#include "OLE/ole_guid.h"

#include "OLE/ole_trace.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"

namespace {

bool is_guid_char(wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F') ||
           c == L'-';
}

bool all_guid_chars(const std::wstring& text, std::size_t from, std::size_t count) {
    for (std::size_t i = from; i < from + count; ++i) {
        if (!is_guid_char(text[i])) {
            return false;
        }
    }
    return true;
}

int nibble(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

ole_guid_extractor::ole_guid_extractor(const std::string& text) {
    parse(tk_utf8_to_wstring(text));
}

ole_guid_extractor::ole_guid_extractor(const std::wstring& text) {
    parse(text);
}

void ole_guid_extractor::parse(const std::wstring& source) {
    if (source.size() > 90) {
        OLE_TRACE(1, "Text is too long for GUID(1)");
        return;
    }
    text = tk_wtrim(source);
    if (text.size() < 36) {
        OLE_TRACE(1, "Text is too short for GUID");
        return;
    }
    if (text.size() > 45) {
        OLE_TRACE(1, "Text is too long for GUID(2)");
        return;
    }
    if (text.size() == 36) {
        OLE_TRACE(1, "Checking simple form (1)");
        valid = all_guid_chars(text, 0, 36);
        if (!valid) {
            OLE_TRACE(1, "Simple form (1) of GUID is NOT valid");
        }
        return;
    }
    if (text.size() == 38 && text.front() == L'{' && text.back() == L'}') {
        OLE_TRACE(1, "Checking simple form (2)");
        valid = all_guid_chars(text, 1, 36);
        if (valid) {
            pos = 0;
        } else {
            OLE_TRACE(1, "Simple form (2) of GUID is NOT valid");
        }
        return;
    }
    const std::size_t lower = text.find(L"guid");
    const std::size_t upper = text.find(L"GUID");
    OLE_TRACE(1, "Locating 'guid' (%d : %d)",
              lower == std::wstring::npos ? -1 : static_cast<int>(lower),
              upper == std::wstring::npos ? -1 : static_cast<int>(upper));
    const std::size_t word = lower != std::wstring::npos ? lower : upper;
    if (word == std::wstring::npos) {
        return;
    }
    // Only a brace followed by 36 characters of a GUID counts: the text handed out goes into
    // SQL as it stands.
    for (std::size_t i = word + 4; i + 37 <= text.size(); ++i) {
        if (text[i] == L'{' && all_guid_chars(text, i + 1, 36)) {
            pos = static_cast<int32_t>(i);
            valid = true;
            OLE_TRACE(1, "GUID is valid");
            return;
        }
    }
}

std::wstring ole_guid_extractor::get_wstr() const {
    if (!valid) {
        return std::wstring();
    }
    if (text.size() == 36) {
        return text;
    }
    return text.substr(static_cast<std::size_t>(pos) + 1, 36);
}

std::string ole_guid_extractor::get_str() const {
    return tk_to_utf8(get_wstr());
}

std::wstring ole_guid_extractor::get_guid_wstr() const {
    OLE_TRACE(1, "ole_guid_extractor::get_guid_wstr");
    if (!valid) {
        return std::wstring();
    }
    const std::size_t base = text.size() == 36 ? 0 : static_cast<std::size_t>(pos) + 1;
    static const std::size_t offsets[] = {0, 9, 14, 19, 24};
    static const std::size_t lengths[] = {8, 4, 4, 4, 12};
    std::wstring digits;
    for (int k = 0; k < 5; ++k) {
        const std::size_t from = base + offsets[k];
        if (from < text.size()) {
            digits += text.substr(from, lengths[k]);
        }
    }
    return digits;
}

void ole_guid_extractor::get_bytes(uint8_t* bytes) const {
    OLE_TRACE(1, "ole_guid_extractor::get_bytes");
    const std::string digits = tk_to_utf8(get_guid_wstr());
    if (digits.size() != 32 || bytes == nullptr) {
        throw tk_mail_assertion("ole_guid", 168);
    }
    uint8_t pairs[16];
    for (int k = 0; k < 16; ++k) {
        // A pair that is not hexadecimal reads as far as its digits go, as "%2hhx" does: its
        // first digit alone, or 0.
        const int high = nibble(digits[2 * k]);
        const int low = nibble(digits[2 * k + 1]);
        if (high < 0) {
            pairs[k] = 0;
        } else if (low < 0) {
            pairs[k] = static_cast<uint8_t>(high);
        } else {
            pairs[k] = static_cast<uint8_t>(high * 16 + low);
        }
    }
    static const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    for (int k = 0; k < 16; ++k) {
        bytes[k] = pairs[order[k]];
    }
}
