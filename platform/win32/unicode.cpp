// Direct conversions between UTF-32, UTF-16 and UTF-8.
#include "platform/win32/unicode.h"

namespace win32 {
namespace {

constexpr bool is_surrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}
constexpr bool is_high_surrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
constexpr bool is_low_surrogate(char32_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

// A code point that can be encoded: in range and not a surrogate; anything else is replaced.
constexpr char32_t scalar_or_replacement(char32_t c) {
    return (c > 0x10FFFF || is_surrogate(c)) ? replacement_character : c;
}

constexpr std::size_t utf8_units(char32_t c) {
    if (c < 0x80) {
        return 1;
    }
    if (c < 0x800) {
        return 2;
    }
    if (c < 0x10000) {
        return 3;
    }
    return 4;
}

// `c` must be a scalar value.
inline char* put_utf8(char* out, char32_t c) {
    if (c < 0x80) {
        *out++ = static_cast<char>(c);
    } else if (c < 0x800) {
        *out++ = static_cast<char>(0xC0 | (c >> 6));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (c >> 12));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (c >> 18));
        *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

// Reads one character of UTF-16 at `i`, advancing `i`; unpaired surrogates are replaced.
inline char32_t next_utf16(std::u16string_view text, std::size_t& i) {
    char32_t c = text[i++];
    if (!is_surrogate(c)) {
        return c;
    }
    if (is_high_surrogate(c) && i < text.size() && is_low_surrogate(text[i])) {
        char32_t low = text[i++];
        return 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
    }
    return replacement_character;
}

// Reads one character of UTF-8 at `i`, advancing `i`. An invalid sequence gives one
// replacement for its maximal valid prefix (at least one byte), so decoding resumes at the byte
// that broke it.
inline char32_t next_utf8(std::string_view text, std::size_t& i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i++);
    if (lead < 0x80) {
        return lead;
    }
    std::size_t count;
    char32_t c;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        count = 1;
        c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        count = 2;
        c = lead & 0x0F;
        if (lead == 0xE0) {
            low = 0xA0; // no overlong forms
        } else if (lead == 0xED) {
            high = 0x9F; // no surrogates
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        count = 3;
        c = lead & 0x07;
        if (lead == 0xF0) {
            low = 0x90;
        } else if (lead == 0xF4) {
            high = 0x8F; // nothing beyond U+10FFFF
        }
    } else {
        return replacement_character;
    }
    for (std::size_t k = 0; k < count; ++k) {
        if (i >= text.size()) {
            return replacement_character;
        }
        unsigned char b = byte(i);
        if (b < low || b > high) {
            return replacement_character;
        }
        low = 0x80;
        high = 0xBF;
        c = (c << 6) | (b & 0x3F);
        ++i;
    }
    return c;
}

template <typename Sink> void for_each_utf8(std::string_view text, Sink sink) {
    std::size_t i = 0;
    while (i < text.size()) {
        sink(next_utf8(text, i));
    }
}

template <typename Sink> void for_each_utf16(std::u16string_view text, Sink sink) {
    std::size_t i = 0;
    while (i < text.size()) {
        sink(next_utf16(text, i));
    }
}

template <typename Sink> void for_each_utf32(std::wstring_view text, Sink sink) {
    for (wchar_t w : text) {
        sink(scalar_or_replacement(static_cast<char32_t>(w)));
    }
}

inline void put_utf16(char16_t*& out, char32_t c) {
    if (c < 0x10000) {
        *out++ = static_cast<char16_t>(c);
        return;
    }
    c -= 0x10000;
    *out++ = static_cast<char16_t>(0xD800 + (c >> 10));
    *out++ = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
}

} // namespace

std::size_t utf8_length(std::wstring_view text) {
    std::size_t n = 0;
    for_each_utf32(text, [&](char32_t c) { n += utf8_units(c); });
    return n;
}

std::size_t utf8_length(std::u16string_view text) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char16_t u = text[i];
        if (u < 0x80) {
            ++n;
        } else if (u < 0x800) {
            n += 2;
        } else if (is_high_surrogate(u) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
            n += 4;
            ++i;
        } else {
            n += 3; // a BMP character, or an unpaired surrogate's replacement
        }
    }
    return n;
}

std::size_t utf16_length(std::wstring_view text) {
    std::size_t n = 0;
    for_each_utf32(text, [&](char32_t c) { n += c < 0x10000 ? 1 : 2; });
    return n;
}

std::size_t write_utf8(char* out, std::u16string_view text) {
    char* start = out;
    std::size_t i = 0;
    while (i < text.size()) {
        char16_t u = text[i];
        if (u < 0x80) {
            *out++ = static_cast<char>(u);
            ++i;
            continue;
        }
        out = put_utf8(out, next_utf16(text, i));
    }
    return static_cast<std::size_t>(out - start);
}

std::size_t write_utf8(char* out, std::wstring_view text) {
    char* start = out;
    for_each_utf32(text, [&](char32_t c) { out = put_utf8(out, c); });
    return static_cast<std::size_t>(out - start);
}

void append_utf8(std::string& out, std::wstring_view text) {
    std::size_t old = out.size();
    out.resize(old + utf8_length(text));
    write_utf8(out.data() + old, text);
}

void append_utf8(std::string& out, std::u16string_view text) {
    std::size_t old = out.size();
    out.resize(old + utf8_length(text));
    write_utf8(out.data() + old, text);
}

void append_utf16(std::u16string& out, std::wstring_view text) {
    std::size_t old = out.size();
    out.resize(old + utf16_length(text));
    char16_t* p = out.data() + old;
    for_each_utf32(text, [&](char32_t c) { put_utf16(p, c); });
}

void append_utf16(std::u16string& out, std::string_view utf8) {
    std::size_t n = 0;
    for_each_utf8(utf8, [&](char32_t c) { n += c < 0x10000 ? 1 : 2; });
    std::size_t old = out.size();
    out.resize(old + n);
    char16_t* p = out.data() + old;
    for_each_utf8(utf8, [&](char32_t c) { put_utf16(p, c); });
}

void append_wide(std::wstring& out, std::u16string_view text) {
    std::size_t n = 0;
    for_each_utf16(text, [&](char32_t) { ++n; });
    std::size_t old = out.size();
    out.resize(old + n);
    wchar_t* p = out.data() + old;
    for_each_utf16(text, [&](char32_t c) { *p++ = static_cast<wchar_t>(c); });
}

void append_wide(std::wstring& out, std::string_view utf8) {
    std::size_t n = 0;
    for_each_utf8(utf8, [&](char32_t) { ++n; });
    std::size_t old = out.size();
    out.resize(old + n);
    wchar_t* p = out.data() + old;
    for_each_utf8(utf8, [&](char32_t c) { *p++ = static_cast<wchar_t>(c); });
}

std::string to_utf8(std::wstring_view text) {
    std::string out;
    append_utf8(out, text);
    return out;
}

std::string to_utf8(std::u16string_view text) {
    std::string out;
    append_utf8(out, text);
    return out;
}

std::u16string to_utf16(std::wstring_view text) {
    std::u16string out;
    append_utf16(out, text);
    return out;
}

std::u16string to_utf16(std::string_view utf8) {
    std::u16string out;
    append_utf16(out, utf8);
    return out;
}

std::wstring to_wide(std::u16string_view text) {
    std::wstring out;
    append_wide(out, text);
    return out;
}

std::wstring to_wide(std::string_view utf8) {
    std::wstring out;
    append_wide(out, utf8);
    return out;
}

bool is_valid_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t start = i;
        char32_t c = next_utf8(text, i);
        // A real U+FFFD in the text is three bytes long; a replacement made for bad bytes is not
        // always, but then EF BF BD is the only valid encoding of U+FFFD.
        if (c == replacement_character &&
            text.substr(start, i - start) != std::string_view("\xEF\xBF\xBD", 3)) {
            return false;
        }
    }
    return true;
}

bool is_valid_unicode(std::wstring_view text) {
    for (wchar_t w : text) {
        char32_t c = static_cast<char32_t>(w);
        if (c > 0x10FFFF || is_surrogate(c)) {
            return false;
        }
    }
    return true;
}

bool is_valid_unicode(std::u16string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        char16_t u = text[i];
        if (!is_surrogate(u)) {
            continue;
        }
        if (!is_high_surrogate(u) || i + 1 >= text.size() || !is_low_surrogate(text[i + 1])) {
            return false;
        }
        ++i;
    }
    return true;
}

} // namespace win32
