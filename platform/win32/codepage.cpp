// Code-page conversions over iconv, with UTF-8 converted directly.
#include "platform/win32/codepage.h"

#include "platform/win32/unicode.h"

#include <atomic>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <iconv.h>
#include <langinfo.h>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

// A code page as the conversions use it: UTF-8 (converted here) or a codeset for iconv.
struct code_page_target {
    bool utf8 = false;
    std::string iconv_name;
};

constexpr bool little_endian = std::endian::native == std::endian::little;
constexpr const char* utf32_name = little_endian ? "UTF-32LE" : "UTF-32BE";
constexpr const char* utf16_name = little_endian ? "UTF-16LE" : "UTF-16BE";

// The Windows numbers whose iconv names are not "CP<number>".
std::string iconv_name_of(UINT code_page) {
    switch (code_page) {
    case 20127:
        return "ANSI_X3.4-1968";
    case 20866:
        return "KOI8-R";
    case 21866:
        return "KOI8-U";
    case 28603:
        return "ISO-8859-13";
    case 28605:
        return "ISO-8859-15";
    case 51932:
        return "EUC-JP";
    case 51936:
        return "EUC-CN";
    case 51949:
        return "EUC-KR";
    case 54936:
        return "GB18030";
    default:
        break;
    }
    if (code_page >= 28591 && code_page <= 28599) {
        return "ISO-8859-" + std::to_string(code_page - 28590);
    }
    return "CP" + std::to_string(code_page);
}

// Whether iconv can convert between `name` and UTF-32 (both ways are offered by every iconv
// module, so one direction is enough to know).
bool iconv_knows(const std::string& name) {
    iconv_t cd = iconv_open(name.c_str(), utf32_name);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return false;
    }
    iconv_close(cd);
    return true;
}

bool is_utf8_codeset(std::string_view codeset) {
    // The C/POSIX locale's codeset is ASCII, which counts as UTF-8 so that no character is lost
    // in a program started without a locale.
    return codeset == "UTF-8" || codeset == "utf8" || codeset == "ANSI_X3.4-1968" ||
           codeset == "ASCII";
}

// The process-wide override of the ANSI code page; 0 when the locale decides.
std::atomic<UINT> ansi_override{0};
std::once_flag environment_read;

void read_environment_once() {
    std::call_once(environment_read, [] {
        const char* value = std::getenv("VELMORA_ANSI_CODEPAGE");
        if (value == nullptr || *value == '\0') {
            return;
        }
        UINT code_page = 0;
        auto [end, error] = std::from_chars(value, value + std::strlen(value), code_page);
        if (error != std::errc() || *end != '\0') {
            return;
        }
        win32::set_ansi_code_page(code_page);
    });
}

bool is_ansi_alias(UINT code_page) {
    return code_page == CP_ACP || code_page == CP_OEMCP || code_page == CP_THREAD_ACP;
}

std::optional<code_page_target> resolve(UINT code_page) {
    if (is_ansi_alias(code_page)) {
        read_environment_once();
        code_page = ansi_override.load(std::memory_order_relaxed);
        if (code_page == 0) {
            const char* codeset = nl_langinfo(CODESET);
            if (codeset == nullptr || is_utf8_codeset(codeset)) {
                return code_page_target{true, {}};
            }
            return code_page_target{false, codeset};
        }
    }
    if (code_page == CP_UTF8) {
        return code_page_target{true, {}};
    }
    if (code_page == 2 || code_page == 42 || code_page == 65000) {
        return std::nullopt; // CP_MACCP, CP_SYMBOL and UTF-7 are not offered
    }
    return code_page_target{false, iconv_name_of(code_page)};
}

// iconv descriptors are costly to open; each thread keeps the ones it used.
class iconv_cache {
public:
    iconv_cache() = default;
    iconv_cache(const iconv_cache&) = delete;
    iconv_cache& operator=(const iconv_cache&) = delete;
    ~iconv_cache() {
        for (auto& e : entries_) {
            iconv_close(e.cd);
        }
    }

    // An open descriptor reset to its initial state, or null when iconv lacks the pair.
    iconv_t get(const std::string& to, const std::string& from) {
        for (auto& e : entries_) {
            if (e.to == to && e.from == from) {
                iconv(e.cd, nullptr, nullptr, nullptr, nullptr);
                return e.cd;
            }
        }
        iconv_t cd = iconv_open(to.c_str(), from.c_str());
        if (cd == reinterpret_cast<iconv_t>(-1)) {
            return nullptr;
        }
        entries_.push_back({to, from, cd});
        return cd;
    }

private:
    struct entry {
        std::string to;
        std::string from;
        iconv_t cd;
    };
    std::vector<entry> entries_;
};

thread_local iconv_cache descriptors;

struct run_result {
    DWORD error = ERROR_SUCCESS;
    std::size_t out_bytes = 0;
    bool used_replacement = false;
};

// How many bytes of input make the character that iconv stopped at.
using skip_function = std::size_t (*)(const char* in, std::size_t left);

std::size_t skip_byte(const char*, std::size_t) {
    return 1;
}

std::size_t skip_utf32(const char*, std::size_t) {
    return 4;
}

// A surrogate pair is one character; anything else is one unit.
std::size_t skip_utf16(const char* in, std::size_t left) {
    if (left >= 4) {
        char16_t first;
        char16_t second;
        std::memcpy(&first, in, 2);
        std::memcpy(&second, in + 2, 2);
        if (first >= 0xD800 && first <= 0xDBFF && second >= 0xDC00 && second <= 0xDFFF) {
            return 4;
        }
    }
    return 2;
}

// Runs iconv over the whole input. Where the input holds something the target lacks (EILSEQ) or
// ends inside a character (EINVAL), that character's bytes are passed over and `replacement` is
// written instead, unless `strict`, which makes it a failure. A null `out` only counts.
run_result run_iconv(iconv_t cd, const char* in, std::size_t in_bytes, char* out,
                     std::size_t out_capacity, std::string_view replacement, skip_function skip,
                     bool strict) {
    run_result result;
    char scratch[256];
    char* in_ptr = const_cast<char*>(in);
    std::size_t in_left = in_bytes;
    auto emit_capacity = [&](char*& ptr, std::size_t& left) {
        if (out == nullptr) {
            ptr = scratch;
            left = sizeof scratch;
        } else {
            ptr = out + result.out_bytes;
            left = out_capacity - result.out_bytes;
        }
    };
    bool flushing = false;
    for (;;) {
        char* out_ptr;
        std::size_t out_left;
        emit_capacity(out_ptr, out_left);
        std::size_t before = out_left;
        std::size_t rc = flushing ? iconv(cd, nullptr, nullptr, &out_ptr, &out_left)
                                  : iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left);
        int error_number = errno;
        result.out_bytes += before - out_left;
        if (rc != static_cast<std::size_t>(-1)) {
            if (flushing) {
                return result;
            }
            flushing = true; // write the shift sequence a stateful code page may need
            continue;
        }
        if (error_number == E2BIG) {
            if (out != nullptr) {
                result.error = ERROR_INSUFFICIENT_BUFFER;
                return result;
            }
            continue; // counting: the scratch buffer was full
        }
        if (error_number != EILSEQ && error_number != EINVAL) {
            result.error = ERROR_NO_UNICODE_TRANSLATION;
            return result;
        }
        if (strict) {
            result.error = ERROR_NO_UNICODE_TRANSLATION;
            return result;
        }
        std::size_t step = skip(in_ptr, in_left);
        step = step < in_left ? step : in_left;
        in_ptr += step;
        in_left -= step;
        result.used_replacement = true;
        if (out != nullptr) {
            if (out_capacity - result.out_bytes < replacement.size()) {
                result.error = ERROR_INSUFFICIENT_BUFFER;
                return result;
            }
            std::memcpy(out + result.out_bytes, replacement.data(), replacement.size());
        }
        result.out_bytes += replacement.size();
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
}

// The replacement character U+FFFD in the host's UTF-32 or UTF-16.
std::string replacement_in(std::size_t unit) {
    if (unit == 4) {
        char32_t c = 0xFFFD;
        return std::string(reinterpret_cast<const char*>(&c), 4);
    }
    char16_t c = 0xFFFD;
    return std::string(reinterpret_cast<const char*>(&c), 2);
}

bool valid_sizes(const void* source, int source_length, const void* dest, int dest_size) {
    return source != nullptr && source_length != 0 && source_length >= -1 && dest_size >= 0 &&
           (dest_size == 0 || dest != nullptr);
}

int fail(DWORD error) {
    SetLastError(error);
    return 0;
}

// Copies a converted text into the caller's buffer, or only reports its size.
template <typename Unit>
int deliver(const std::basic_string<Unit>& converted, Unit* dest, int dest_size) {
    if (converted.size() > static_cast<std::size_t>(INT32_MAX)) {
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (dest_size == 0) {
        return static_cast<int>(converted.size());
    }
    if (converted.size() > static_cast<std::size_t>(dest_size)) {
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(dest, converted.data(), converted.size() * sizeof(Unit));
    return static_cast<int>(converted.size());
}

template <typename Unit>
int multi_byte_to_wide(UINT code_page, DWORD flags, LPCSTR source, int source_length, Unit* dest,
                       int dest_size) {
    if (!valid_sizes(source, source_length, dest, dest_size)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if ((flags & ~(MB_PRECOMPOSED | MB_ERR_INVALID_CHARS)) != 0) {
        return fail(ERROR_INVALID_FLAGS);
    }
    std::optional<code_page_target> target = resolve(code_page);
    if (!target) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    std::size_t length =
        source_length == -1 ? std::strlen(source) + 1 : static_cast<std::size_t>(source_length);
    std::string_view text(source, length);
    bool strict = (flags & MB_ERR_INVALID_CHARS) != 0;

    if (target->utf8) {
        if (strict && !win32::is_valid_utf8(text)) {
            return fail(ERROR_NO_UNICODE_TRANSLATION);
        }
        if constexpr (sizeof(Unit) == sizeof(wchar_t)) {
            return deliver(win32::to_wide(text), dest, dest_size);
        } else {
            return deliver(win32::to_utf16(text), dest, dest_size);
        }
    }

    iconv_t cd = descriptors.get(sizeof(Unit) == 4 ? utf32_name : utf16_name, target->iconv_name);
    if (cd == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    run_result r = run_iconv(cd, text.data(), text.size(), reinterpret_cast<char*>(dest),
                             static_cast<std::size_t>(dest_size) * sizeof(Unit),
                             replacement_in(sizeof(Unit)), skip_byte, strict);
    if (r.error != ERROR_SUCCESS) {
        return fail(r.error);
    }
    std::size_t units = r.out_bytes / sizeof(Unit);
    if (units > static_cast<std::size_t>(INT32_MAX)) {
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    return static_cast<int>(units);
}

template <typename Unit>
int wide_to_multi_byte(UINT code_page, DWORD flags, const Unit* source, int source_length,
                       LPSTR dest, int dest_size, LPCSTR default_char, LPBOOL used_default_char) {
    if (!valid_sizes(source, source_length, dest, dest_size)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if ((flags & ~WC_ERR_INVALID_CHARS) != 0) {
        return fail(ERROR_INVALID_FLAGS);
    }
    std::optional<code_page_target> target = resolve(code_page);
    if (!target) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    std::size_t length = 0;
    if (source_length == -1) {
        while (source[length] != 0) {
            ++length;
        }
        ++length;
    } else {
        length = static_cast<std::size_t>(source_length);
    }
    std::basic_string_view<Unit> text(source, length);
    bool strict = (flags & WC_ERR_INVALID_CHARS) != 0;
    if (used_default_char != nullptr) {
        *used_default_char = FALSE;
    }

    if (target->utf8) {
        if (strict && !win32::is_valid_unicode(text)) {
            return fail(ERROR_NO_UNICODE_TRANSLATION);
        }
        std::size_t needed = win32::utf8_length(text);
        if (needed > static_cast<std::size_t>(INT32_MAX)) {
            return fail(ERROR_NOT_ENOUGH_MEMORY);
        }
        if (dest_size == 0) {
            return static_cast<int>(needed);
        }
        if (needed > static_cast<std::size_t>(dest_size)) {
            return fail(ERROR_INSUFFICIENT_BUFFER);
        }
        return static_cast<int>(win32::write_utf8(dest, text));
    }

    iconv_t cd = descriptors.get(target->iconv_name, sizeof(Unit) == 4 ? utf32_name : utf16_name);
    if (cd == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    std::string_view replacement = default_char != nullptr && *default_char != '\0'
                                       ? std::string_view(default_char, 1)
                                       : std::string_view("?");
    run_result r = run_iconv(cd, reinterpret_cast<const char*>(text.data()),
                             text.size() * sizeof(Unit), dest, static_cast<std::size_t>(dest_size),
                             replacement, sizeof(Unit) == 4 ? skip_utf32 : skip_utf16, strict);
    if (r.error != ERROR_SUCCESS) {
        return fail(r.error);
    }
    if (used_default_char != nullptr) {
        *used_default_char = r.used_replacement ? TRUE : FALSE;
    }
    if (r.out_bytes > static_cast<std::size_t>(INT32_MAX)) {
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    return static_cast<int>(r.out_bytes);
}

// The Windows number of a locale codeset, 0 when it has none.
UINT code_page_of_codeset(std::string_view codeset) {
    if (is_utf8_codeset(codeset)) {
        return CP_UTF8;
    }
    auto number_after = [&](std::string_view prefix) -> UINT {
        if (codeset.substr(0, prefix.size()) != prefix) {
            return 0;
        }
        UINT n = 0;
        std::string_view digits = codeset.substr(prefix.size());
        auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
        return (error == std::errc() && end == digits.data() + digits.size()) ? n : 0;
    };
    if (UINT n = number_after("CP"); n != 0) {
        return n;
    }
    if (UINT n = number_after("ISO-8859-"); n != 0) {
        return n == 13 ? 28603 : n == 15 ? 28605 : 28590 + n;
    }
    if (codeset == "KOI8-R") {
        return 20866;
    }
    if (codeset == "KOI8-U") {
        return 21866;
    }
    if (codeset == "GB18030") {
        return 54936;
    }
    if (codeset == "EUC-JP") {
        return 51932;
    }
    if (codeset == "EUC-KR") {
        return 51949;
    }
    if (codeset == "GB2312") {
        return 936;
    }
    if (codeset == "GBK") {
        return 936;
    }
    if (codeset == "BIG5") {
        return 950;
    }
    return 0;
}

} // namespace

UINT GetACP() {
    read_environment_once();
    UINT code_page = ansi_override.load(std::memory_order_relaxed);
    if (code_page != 0) {
        return code_page;
    }
    const char* codeset = nl_langinfo(CODESET);
    return codeset == nullptr ? CP_UTF8 : code_page_of_codeset(codeset);
}

namespace win32 {

bool set_ansi_code_page(UINT code_page) {
    if (is_ansi_alias(code_page)) {
        ansi_override.store(0, std::memory_order_relaxed);
        return true;
    }
    std::optional<code_page_target> target = resolve(code_page);
    if (!target || (!target->utf8 && !iconv_knows(target->iconv_name))) {
        return false;
    }
    ansi_override.store(code_page, std::memory_order_relaxed);
    return true;
}

int max_bytes_per_char(UINT) {
    // UTF-8 takes four bytes for a character beyond U+FFFF, and every multi-byte code page iconv
    // offers under a Windows number (the Far-East DBCS ones, GB18030, EUC-*) at most four.
    return 4;
}

int max_bytes_per_utf16_unit(UINT code_page) {
    std::optional<code_page_target> target = resolve(code_page);
    if (!target || target->utf8) {
        return 3; // a surrogate pair takes 4 bytes for its 2 units
    }
    return 4; // GB18030 gives some BMP characters four bytes
}

} // namespace win32

int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR source, int source_length,
                        wchar_t* dest, int dest_size) {
    return multi_byte_to_wide(code_page, flags, source, source_length, dest, dest_size);
}

int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR source, int source_length, LPWSTR dest,
                        int dest_size) {
    return multi_byte_to_wide(code_page, flags, source, source_length, dest, dest_size);
}

int WideCharToMultiByte(UINT code_page, DWORD flags, const wchar_t* source, int source_length,
                        LPSTR dest, int dest_size, LPCSTR default_char, LPBOOL used_default_char) {
    return wide_to_multi_byte(code_page, flags, source, source_length, dest, dest_size,
                              default_char, used_default_char);
}

int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR source, int source_length, LPSTR dest,
                        int dest_size, LPCSTR default_char, LPBOOL used_default_char) {
    return wide_to_multi_byte(code_page, flags, source, source_length, dest, dest_size,
                              default_char, used_default_char);
}
