// Judging a value against a hand-mapped column type, as the server does under a strict sql_mode.
#include "SQL/sql_vlim.h"

#include "SQL/sql_engi.h"
#include "SQL/sql_util.h"
#include "TK/tk_utils.h"

#include <cstdlib>
#include <limits>
#include <optional>

namespace {

std::string upper_ascii(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (const wchar_t c : text) {
        // A tab separates the words of a type as a blank does.
        out += c == L'\t' ? ' ' : c < 0x80 ? static_cast<char>(tk_ascii_upper(c)) : '?';
    }
    return out;
}

std::string trimmed(std::string_view text) {
    return tk_trim(std::string(text));
}

bool is_utf8_lead(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
}

// Hands `take` each byte the server reads from the inside of a quoted literal, with its backslash
// escapes and doubled quotes; false when the inside does not end the literal where it seems to
// (a lone quote, a last lone backslash), which the server reads otherwise or refuses.
template <typename Take> bool unescape(std::string_view inside, Take&& take) {
    for (std::size_t i = 0; i < inside.size(); ++i) {
        const char c = inside[i];
        if (c == '\'') {
            if (i + 1 == inside.size() || inside[i + 1] != '\'') {
                return false;
            }
            take(inside[++i]);
            continue;
        }
        if (c != '\\') {
            take(c);
            continue;
        }
        if (++i == inside.size()) {
            return false;
        }
        switch (inside[i]) {
        case 'n':
            take('\n');
            break;
        case 't':
            take('\t');
            break;
        case 'r':
            take('\r');
            break;
        case 'b':
            take('\b');
            break;
        case 'Z':
            take('\x1A');
            break;
        case '0':
            take('\0');
            break;
        case '%':
        case '_':
            // Kept with their backslash, for LIKE patterns.
            take('\\');
            take(inside[i]);
            break;
        default:
            take(inside[i]);
            break;
        }
    }
    return true;
}

// A bare number the server reads as written and whose text is never longer than the literal:
// digits with an optional sign and fraction.
bool plain_number(std::string_view literal) {
    std::size_t at = !literal.empty() && literal[0] == '-' ? 1 : 0;
    const auto digits = [&] {
        const std::size_t from = at;
        while (at < literal.size() && literal[at] >= '0' && literal[at] <= '9') {
            ++at;
        }
        return at > from;
    };
    if (!digits()) {
        return false;
    }
    if (at < literal.size() && literal[at] == '.') {
        ++at;
        if (!digits()) {
            return false;
        }
    }
    return at == literal.size();
}

bool hex_digits(std::string_view digits) {
    return !digits.empty() &&
           digits.find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos;
}

} // namespace

sql_value_limit::sql_value_limit(const std::wstring& type, const std::wstring& charset) {
    const std::string text = upper_ascii(type);
    type_ = text;
    const auto open = text.find('(');
    std::string name = trimmed(std::string_view(text).substr(0, open));
    long first = -1;
    long second = -1;
    if (open != std::string::npos) {
        char* end = nullptr;
        first = std::strtol(text.c_str() + open + 1, &end, 10);
        // The profile allows blanks about the arguments: DECIMAL ( 10 , 2 ).
        while (end != nullptr && *end == ' ') {
            ++end;
        }
        if (end != nullptr && *end == ',') {
            second = std::strtol(end + 1, nullptr, 10);
        }
    }
    // ZEROFILL makes a number unsigned, also without the word; either may follow the arguments
    // without a blank: INT(5)UNSIGNED.
    const bool is_unsigned =
        text.find("UNSIGNED") != std::string::npos || text.find("ZEROFILL") != std::string::npos;
    if (name.starts_with("NATIONAL ")) {
        national_ = true;
        name = trimmed(std::string_view(name).substr(9));
    } else if (name.starts_with("NCHAR") || name.starts_with("NVARCHAR")) {
        national_ = true;
        name = name.substr(1);
    }
    if (name == "CHARACTER" || name == "CHAR VARYING" || name == "CHARACTER VARYING") {
        name = name == "CHARACTER" ? "CHAR" : "VARCHAR";
    }
    if (national_ && name != "CHAR" && name != "VARCHAR" && name != "CHAR VARYING") {
        national_ = false;
        kind_ = kind::unjudged;
        return;
    }
    if (name == "CHAR VARYING") {
        name = "VARCHAR";
    }
    const std::wstring set = national_ ? std::wstring(L"utf8mb3") : charset;
    const int most = sql_charset_max_bytes(set);
    const std::string set_name = upper_ascii(set);
    // In the binary set a text column is a byte column: its length counts the text's UTF-8
    // bytes, and blanks past it are refused.
    const bool binary_set = set_name == "BINARY";
    if (set_name.starts_with("UTF8")) {
        width_ = width::utf8;
    } else if (set_name == "UTF16" || set_name == "UTF16LE") {
        width_ = width::utf16;
    } else if (set_name == "UTF32") {
        width_ = width::utf32;
    } else if (set_name == "UCS2") {
        ascii_bytes_ = 2;
        other_bytes_ = 2;
    } else {
        other_bytes_ = most;
    }

    struct sized {
        const char* name;
        kind what;
        std::uint64_t length;
    };
    static const sized fixed[] = {
        {"TINYTEXT", kind::text_bytes, 255},
        {"TEXT", kind::text_bytes, 65535},
        {"MEDIUMTEXT", kind::text_bytes, 16777215},
        {"LONG", kind::text_bytes, 16777215},
        {"LONG VARCHAR", kind::text_bytes, 16777215},
        {"LONGTEXT", kind::none, 0},
        {"TINYBLOB", kind::bytes, 255},
        {"BLOB", kind::bytes, 65535},
        {"MEDIUMBLOB", kind::bytes, 16777215},
        {"LONG VARBINARY", kind::bytes, 16777215},
        {"LONGBLOB", kind::none, 0},
    };
    for (const sized& entry : fixed) {
        if (name == entry.name && (open == std::string::npos || entry.what == kind::none)) {
            kind_ = entry.what == kind::text_bytes && binary_set ? kind::bytes : entry.what;
            length_ = entry.length;
            return;
        }
    }
    if ((name == "CHAR" || name == "VARCHAR") && first >= 0) {
        kind_ = binary_set ? kind::bytes : kind::characters;
        length_ = static_cast<std::uint64_t>(first);
        return;
    }
    if ((name == "BINARY" || name == "VARBINARY") && first >= 0) {
        kind_ = kind::bytes;
        length_ = static_cast<std::uint64_t>(first);
        return;
    }
    struct ranged {
        const char* name;
        int bits;
    };
    static const ranged integers[] = {
        {"TINYINT", 8},    {"BOOL", 8}, {"BOOLEAN", 8},  {"SMALLINT", 16},
        {"MEDIUMINT", 24}, {"INT", 32}, {"INTEGER", 32}, {"BIGINT", 64},
    };
    std::string bare = name;
    for (const char* word : {" UNSIGNED", " SIGNED", " ZEROFILL"}) {
        const auto at = bare.find(word);
        if (at != std::string::npos) {
            bare = trimmed(std::string_view(bare).substr(0, at));
        }
    }
    for (const ranged& entry : integers) {
        if (bare == entry.name) {
            kind_ = kind::integer;
            const std::uint64_t span = entry.bits == 64 ? std::numeric_limits<std::uint64_t>::max()
                                                        : (std::uint64_t{1} << entry.bits) - 1;
            low_ = is_unsigned ? 0 : span / 2 + 1;
            high_ = is_unsigned ? span : span / 2;
            return;
        }
    }
    if (bare == "DECIMAL" || bare == "NUMERIC" || bare == "DEC" || bare == "FIXED") {
        kind_ = kind::decimal;
        // As the server reads DECIMAL, DECIMAL(p) and DECIMAL(0,0).
        precision_ = first > 0 ? static_cast<int>(first) : 10;
        scale_ = second > 0 ? static_cast<int>(second) : 0;
        low_ = is_unsigned ? 0 : 1;
        return;
    }
    if ((bare == "FLOAT" || bare == "DOUBLE" || bare == "REAL" || bare == "DOUBLE PRECISION") &&
        open == std::string::npos) {
        kind_ = kind::real;
        single_float_ = bare == "FLOAT";
        low_ = is_unsigned ? 0 : 1;
        return;
    }
    if (bare == "YEAR" && (open == std::string::npos || first == 4)) {
        kind_ = kind::year;
        return;
    }
    if (bare == "TIME") {
        kind_ = kind::time;
        return;
    }
    if (bare == "JSON") {
        kind_ = kind::json;
        return;
    }
    if ((bare == "DATE" && open == std::string::npos) || bare == "DATETIME") {
        kind_ = kind::date;
        return;
    }
    kind_ = kind::unjudged;
}

std::string sql_value_limit::too_long(std::uint64_t count, const char* unit) const {
    return "is " + std::to_string(count) + " " + unit + " long, more than the column's type " +
           type_ + " holds (" + std::to_string(length_) + ")";
}

std::uint64_t sql_value_limit::character_bytes(char byte) const {
    const auto c = static_cast<unsigned char>(byte);
    if ((c & 0xC0) == 0x80) {
        return 0;
    }
    const bool ascii = c < 0x80;
    const bool astral = c >= 0xF0;
    switch (width_) {
    case width::utf8:
        return ascii ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
    case width::utf16:
        return astral ? 4 : 2;
    case width::utf32:
        return 4;
    case width::fixed:
        break;
    }
    return static_cast<std::uint64_t>(ascii ? ascii_bytes_ : other_bytes_);
}

namespace {

// A number in exponent form (the way floating-point values are written: "1.2500000000000000e+02")
// as plain digits ("125.00000000000000"), for the types that are judged on plain digits; nullopt
// when the text is no such number. A very small one is 0; a very large one keeps 400 digits,
// more than any type holds.
std::optional<std::string> plain_of_exponent(std::string_view number) {
    const std::size_t e = number.find_first_of("eE");
    if (e == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view mantissa = number.substr(0, e);
    std::string_view exponent = number.substr(e + 1);
    std::string sign;
    if (!mantissa.empty() && (mantissa[0] == '-' || mantissa[0] == '+')) {
        sign = mantissa[0] == '-' ? "-" : "";
        mantissa.remove_prefix(1);
    }
    const std::size_t point = mantissa.find('.');
    std::string digits(mantissa.substr(0, point));
    std::size_t whole = digits.size();
    if (point != std::string_view::npos) {
        digits += mantissa.substr(point + 1);
    }
    bool negative_exponent = false;
    if (!exponent.empty() && (exponent[0] == '-' || exponent[0] == '+')) {
        negative_exponent = exponent[0] == '-';
        exponent.remove_prefix(1);
    }
    if (digits.empty() || exponent.empty() ||
        digits.find_first_not_of("0123456789") != std::string::npos ||
        exponent.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    long shift = 0;
    for (const char c : exponent) {
        shift = std::min(shift * 10 + (c - '0'), 1000L);
    }
    if (digits.find_first_not_of('0') == std::string::npos) {
        return std::string("0");
    }
    const long at = static_cast<long>(whole) + (negative_exponent ? -shift : shift);
    if (at > 400) {
        return sign + std::string(400, '9');
    }
    if (at <= 0) {
        return sign + "0." + std::string(static_cast<std::size_t>(std::min(-at, 400L)), '0') +
               digits;
    }
    if (static_cast<std::size_t>(at) >= digits.size()) {
        return sign + digits + std::string(static_cast<std::size_t>(at) - digits.size(), '0');
    }
    return sign + digits.substr(0, static_cast<std::size_t>(at)) + "." +
           digits.substr(static_cast<std::size_t>(at));
}

} // namespace

std::string sql_value_limit::refusal(std::string_view literal) const {
    if (!judges() || literal == "NULL") {
        return {};
    }
    const bool quoted = literal.size() >= 2 && literal.front() == '\'' && literal.back() == '\'';
    const bool hex = literal.size() >= 2 && literal[0] == '0' && literal[1] == 'x';
    const std::string unreadable = "is written as " + std::string(literal.substr(0, 40)) +
                                   ", which cannot be judged against the column's type " + type_;
    const std::string_view inside = quoted ? literal.substr(1, literal.size() - 2) : literal;
    if (quoted && !unescape(inside, [](char) {})) {
        return unreadable;
    }
    if (kind_ == kind::integer || kind_ == kind::decimal || kind_ == kind::real) {
        if (hex) {
            return "is bytes, which the column's type " + type_ + " cannot be judged to take";
        }
        if (!quoted && (kind_ == kind::integer || kind_ == kind::decimal)) {
            // Rounding a floating-point value can only take it below a decimal edge (99.995 as
            // a double is 99.99499...), so judging its decimal digits refuses no more than the
            // edge. (A quoted text in that form is read otherwise, and stays refused.)
            if (const std::optional<std::string> plain = plain_of_exponent(inside)) {
                return judge_number(*plain);
            }
        }
        return judge_number(inside);
    }
    if (kind_ == kind::date) {
        return judge_date(literal);
    }
    if (kind_ == kind::year) {
        return judge_year(literal);
    }
    if (kind_ == kind::time) {
        return judge_time(literal);
    }
    if (kind_ == kind::json) {
        if (!quoted) {
            return unreadable;
        }
        std::string text;
        text.reserve(inside.size());
        unescape(inside, [&text](char c) { text += c; });
        return judge_json(text);
    }
    if (hex) {
        const std::string_view digits = literal.substr(2);
        if (kind_ != kind::bytes || !hex_digits(digits)) {
            // Bytes go into a text column as a text in its set, valid or not as only the server
            // tells.
            return "is bytes, which the column's type " + type_ + " cannot be judged to take";
        }
        // An odd count of digits has a 0 put before it.
        const std::uint64_t bytes = (digits.size() + 1) / 2;
        return bytes > length_ ? too_long(bytes, "bytes") : std::string();
    }
    if (!quoted && !plain_number(literal)) {
        return unreadable;
    }
    // A bare number counts as its own text: the server's text of it is never longer.
    const auto each = [&inside, quoted](auto&& take) {
        if (quoted) {
            unescape(inside, take);
        } else {
            for (const char c : inside) {
                take(c);
            }
        }
    };
    switch (kind_) {
    case kind::characters: {
        // Blanks past the length (spaces, tabs, line breaks, form feeds) are cut with a note in
        // a set whose ASCII takes one byte; in ucs2, UTF-16 and UTF-32 they are refused too.
        const bool blanks_cut =
            width_ == width::utf8 || (width_ == width::fixed && ascii_bytes_ == 1);
        std::uint64_t characters = 0;
        std::uint64_t kept = 0;
        each([&](char c) {
            if (is_utf8_lead(c)) {
                ++characters;
                const bool blank =
                    blanks_cut && std::string_view(" \t\n\v\f\r").find(c) != std::string_view::npos;
                kept = blank ? kept : characters;
            }
        });
        return kept > length_ ? too_long(characters, "characters") : std::string();
    }
    case kind::text_bytes: {
        std::uint64_t bytes = 0;
        each([&](char c) { bytes += character_bytes(c); });
        return bytes > length_ ? too_long(bytes, "bytes") : std::string();
    }
    case kind::bytes: {
        std::uint64_t bytes = 0;
        each([&bytes](char) { ++bytes; });
        return bytes > length_ ? too_long(bytes, "bytes") : std::string();
    }
    default:
        return {};
    }
}

std::string sql_value_limit::refusal_of_bytes(std::uint64_t count) const {
    if (!judges()) {
        return {};
    }
    if (kind_ != kind::characters && kind_ != kind::text_bytes && kind_ != kind::bytes) {
        return "is a value of more than 1 MiB, more than the column's type " + type_ + " holds";
    }
    return count > length_ ? too_long(count, "bytes") : std::string();
}

std::string sql_value_limit::refusal_of_value(std::string_view text) const {
    if (!judges()) {
        return {};
    }
    if (kind_ == kind::json) {
        return judge_json(text);
    }
    if (kind_ != kind::characters && kind_ != kind::text_bytes && kind_ != kind::bytes) {
        return "is a value of more than 1 MiB, more than the column's type " + type_ + " holds";
    }
    if (kind_ == kind::characters) {
        std::uint64_t characters = 0;
        for (const char c : text) {
            characters += is_utf8_lead(c) ? 1 : 0;
        }
        return characters > length_ ? too_long(characters, "characters") : std::string();
    }
    std::uint64_t bytes = text.size();
    if (kind_ != kind::bytes) {
        bytes = 0;
        for (const char c : text) {
            bytes += character_bytes(c);
        }
    }
    return bytes > length_ ? too_long(bytes, "bytes") : std::string();
}

std::string sql_value_limit::judge_number(std::string_view number) const {
    const std::string refused =
        "is '" + std::string(number.substr(0, 40)) + "', which the column's type " + type_;
    std::size_t at = 0;
    const bool negative = !number.empty() && number[0] == '-';
    if (!number.empty() && (number[0] == '-' || number[0] == '+')) {
        ++at;
    }
    const std::size_t digits_at = at;
    while (at < number.size() && number[at] >= '0' && number[at] <= '9') {
        ++at;
    }
    std::string_view whole = number.substr(digits_at, at - digits_at);
    std::string_view fraction;
    if (at < number.size() && number[at] == '.') {
        const std::size_t fraction_at = ++at;
        while (at < number.size() && number[at] >= '0' && number[at] <= '9') {
            ++at;
        }
        fraction = number.substr(fraction_at, at - fraction_at);
    }
    if (kind_ == kind::real) {
        // Exponents are the form of these types; the C library reads the number as they do.
        // The C library also reads hexadecimal, inf, nan and leading blanks, which the servers
        // refuse for FLOAT and DOUBLE.
        if (!sql_is_number_text(number)) {
            return refused + " does not take as a number";
        }
        std::string copy(number);
        char* end = nullptr;
        const double value = std::strtod(copy.c_str(), &end);
        const double most =
            single_float_ ? std::numeric_limits<float>::max() : std::numeric_limits<double>::max();
        if (copy.empty() || end != copy.c_str() + copy.size() || !(value <= most) ||
            !(value >= -most) || (low_ == 0 && value < 0)) {
            return refused + " does not take as a number";
        }
        return {};
    }
    if (at != number.size() || (whole.empty() && fraction.empty())) {
        return refused + " does not take as a number";
    }
    while (!whole.empty() && whole.front() == '0') {
        whole.remove_prefix(1);
    }
    const bool nonzero = whole.find_first_not_of('0') != std::string_view::npos ||
                         fraction.find_first_not_of('0') != std::string_view::npos;
    if (negative && low_ == 0 && nonzero) {
        // An unsigned type refuses a negative number, also one that rounds to 0.
        return refused + " cannot hold";
    }
    if (kind_ == kind::integer) {
        // The server rounds a fraction half away from zero.
        const bool up = !fraction.empty() && fraction[0] >= '5';
        if (whole.size() > 20) {
            return refused + " cannot hold";
        }
        unsigned __int128 magnitude = 0;
        for (const char c : whole) {
            magnitude = magnitude * 10 + static_cast<unsigned>(c - '0');
        }
        magnitude += up ? 1 : 0;
        const unsigned __int128 limit = negative ? low_ : high_;
        return magnitude > limit ? refused + " cannot hold" : std::string();
    }
    // DECIMAL(p,s): p - s digits before the point, after the fraction is rounded to s digits.
    if (negative && low_ == 0 &&
        (!whole.empty() || fraction.find_first_not_of('0') != std::string_view::npos)) {
        return refused + " cannot hold";
    }
    const std::size_t room = static_cast<std::size_t>(precision_ - scale_);
    if (whole.size() > room) {
        return refused + " cannot hold";
    }
    const std::size_t kept = static_cast<std::size_t>(scale_);
    const bool rounds_up = fraction.size() > kept && fraction[kept] >= '5';
    const bool carries =
        rounds_up && fraction.substr(0, kept).find_first_not_of('9') == std::string_view::npos;
    const bool all_nines = whole.find_first_not_of('9') == std::string_view::npos;
    if (carries && all_nines && whole.size() == room) {
        return refused + " cannot hold";
    }
    return {};
}

std::string sql_value_limit::judge_date(std::string_view literal) const {
    // Only the form the script writes for a date: 'YYYY-MM-DD', optionally followed by
    // ' hh:mm:ss' and up to six fractional digits.
    const std::string refused = "is " + std::string(literal.substr(0, 40)) +
                                ", which is no date of the years 1000 to 9999 that the column's "
                                "type " +
                                type_ + " is judged to take";
    const std::string_view text =
        literal.size() >= 2 && literal.front() == '\'' && literal.back() == '\''
            ? literal.substr(1, literal.size() - 2)
            : std::string_view();
    const auto number = [&text](std::size_t at, std::size_t digits, int& value) {
        value = 0;
        if (at + digits > text.size()) {
            return false;
        }
        for (std::size_t i = at; i < at + digits; ++i) {
            if (text[i] < '0' || text[i] > '9') {
                return false;
            }
            value = value * 10 + (text[i] - '0');
        }
        return true;
    };
    int year = 0;
    int month = 0;
    int day = 0;
    if (!number(0, 4, year) || text.size() < 10 || text[4] != '-' || !number(5, 2, month) ||
        text[7] != '-' || !number(8, 2, day)) {
        return refused;
    }
    static const int days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (year < 1000 || month < 1 || month > 12 || day < 1 || day > days[month - 1] ||
        (month == 2 && day == 29 && !leap)) {
        return refused;
    }
    if (text.size() == 10) {
        return {};
    }
    int hour = 0;
    int minute = 0;
    int second = 0;
    if (text.size() < 19 || text[10] != ' ' || !number(11, 2, hour) || text[13] != ':' ||
        !number(14, 2, minute) || text[16] != ':' || !number(17, 2, second) || hour > 23 ||
        minute > 59 || second > 59) {
        return refused;
    }
    if (text.size() == 19) {
        return {};
    }
    const std::string_view fraction = text.substr(20);
    if (text[19] != '.' || fraction.empty() || fraction.size() > 6 ||
        fraction.find_first_not_of("0123456789") != std::string_view::npos) {
        return refused;
    }
    // A server that rounds fractions would carry the last second of 9999 past the range.
    const bool last_second =
        year == 9999 && month == 12 && day == 31 && hour == 23 && minute == 59 && second == 59;
    return last_second && fraction.find_first_not_of('0') != std::string_view::npos ? refused
                                                                                    : std::string();
}

namespace {

// A reader of JSON text (RFC 8259) that takes only what every server takes: at most 31 levels of
// nesting (MariaDB refuses a 32nd; MySQL's limit is 100), no escaped surrogate outside a pair, and
// numbers of at most 15 significant digits with an exponent of at most two digits, so that none is
// out of a double's range (MySQL refuses those).
class json_reader {
public:
    explicit json_reader(std::string_view text) : text_(text) {}

    bool whole() {
        blanks();
        if (!value(0)) {
            return false;
        }
        blanks();
        return at_ == text_.size();
    }

private:
    void blanks() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' ||
                                      text_[at_] == '\n' || text_[at_] == '\r')) {
            ++at_;
        }
    }
    bool take(char c) {
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool word(std::string_view w) {
        if (text_.substr(at_, w.size()) == w) {
            at_ += w.size();
            return true;
        }
        return false;
    }
    bool value(int depth) {
        if (at_ >= text_.size()) {
            return false;
        }
        switch (text_[at_]) {
        case '{':
            return depth < 31 && members(depth + 1);
        case '[':
            return depth < 31 && elements(depth + 1);
        case '"':
            return string();
        case 't':
            return word("true");
        case 'f':
            return word("false");
        case 'n':
            return word("null");
        default:
            return number();
        }
    }
    bool members(int depth) {
        ++at_;
        blanks();
        if (take('}')) {
            return true;
        }
        for (;;) {
            blanks();
            if (at_ >= text_.size() || text_[at_] != '"' || !string()) {
                return false;
            }
            blanks();
            if (!take(':')) {
                return false;
            }
            blanks();
            if (!value(depth)) {
                return false;
            }
            blanks();
            if (take('}')) {
                return true;
            }
            if (!take(',')) {
                return false;
            }
        }
    }
    bool elements(int depth) {
        ++at_;
        blanks();
        if (take(']')) {
            return true;
        }
        for (;;) {
            blanks();
            if (!value(depth)) {
                return false;
            }
            blanks();
            if (take(']')) {
                return true;
            }
            if (!take(',')) {
                return false;
            }
        }
    }
    bool hex4(unsigned& code) {
        code = 0;
        for (int i = 0; i < 4; ++i, ++at_) {
            if (at_ >= text_.size()) {
                return false;
            }
            const char c = text_[at_];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0) {
                return false;
            }
            code = code * 16 + static_cast<unsigned>(digit);
        }
        return true;
    }
    bool string() {
        ++at_;
        while (at_ < text_.size()) {
            const auto c = static_cast<unsigned char>(text_[at_++]);
            if (c == '"') {
                return true;
            }
            if (c < 0x20) {
                return false;
            }
            if (c != '\\') {
                continue;
            }
            if (at_ >= text_.size()) {
                return false;
            }
            const char e = text_[at_++];
            if (e == 'u') {
                unsigned code = 0;
                if (!hex4(code) || (code >= 0xDC00 && code <= 0xDFFF)) {
                    return false;
                }
                if (code >= 0xD800 && code <= 0xDBFF) {
                    unsigned low = 0;
                    if (!take('\\') || !take('u') || !hex4(low) || low < 0xDC00 || low > 0xDFFF) {
                        return false;
                    }
                }
            } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
                return false;
            }
        }
        return false;
    }
    bool number() {
        take('-');
        std::size_t digits = 0;
        std::size_t significant = 0;
        const auto run = [&](bool count) {
            std::size_t n = 0;
            while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
                if (count && (significant > 0 || text_[at_] != '0')) {
                    ++significant;
                }
                ++at_;
                ++n;
            }
            return n;
        };
        if (take('0')) {
            digits = 1;
        } else {
            digits = run(true);
            if (digits == 0) {
                return false;
            }
        }
        if (take('.') && run(true) == 0) {
            return false;
        }
        if (take('e') || take('E')) {
            if (!take('+')) {
                take('-');
            }
            const std::size_t exponent = run(false);
            if (exponent == 0 || exponent > 2) {
                return false;
            }
        }
        return significant <= 15;
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

} // namespace

std::string sql_value_limit::judge_json(std::string_view text) const {
    if (json_reader(text).whole()) {
        return {};
    }
    return "is no JSON text as every server reads one (nested at most 31 levels deep, numbers "
           "of at most 15 digits)";
}

std::string sql_value_limit::judge_year(std::string_view literal) const {
    // A number the servers take as it is (0, 1 to 99 for 2001 to 2069 and 1970 to 1999, 1901 to
    // 2155), or a quoted year of four digits; a text of other digits means other years on other
    // servers, and a date is cut with an error.
    const bool quoted = literal.size() >= 2 && literal.front() == '\'' && literal.back() == '\'';
    const std::string_view digits = quoted ? literal.substr(1, literal.size() - 2) : literal;
    const bool all_digits = !digits.empty() && digits.size() <= 4 &&
                            digits.find_first_not_of("0123456789") == std::string_view::npos;
    int year = -1;
    if (all_digits) {
        year = 0;
        for (const char c : digits) {
            year = year * 10 + (c - '0');
        }
    }
    const bool in_range = year >= 1901 && year <= 2155;
    const bool taken = quoted ? digits.size() == 4 && in_range
                              : year == 0 || (year >= 1 && year <= 99) || in_range;
    return taken ? std::string()
                 : "is " + std::string(literal.substr(0, 40)) +
                       ", which is no year the column's type " + type_ + " is judged to take";
}

std::string sql_value_limit::judge_time(std::string_view literal) const {
    // Only 'h:mm:ss' with up to three digits of hours (at most 838) and up to six fractional
    // digits: a date before the time is cut by MariaDB with a note, but not taken alike by every
    // server.
    const std::string refused = "is " + std::string(literal.substr(0, 40)) +
                                ", which is no time that the column's type " + type_ +
                                " is judged to take";
    if (literal.size() < 2 || literal.front() != '\'' || literal.back() != '\'') {
        return refused;
    }
    const std::string_view text = literal.substr(1, literal.size() - 2);
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 3 || text.size() < colon + 6 ||
        text[colon + 3] != ':') {
        return refused;
    }
    const auto digits = [](std::string_view part) {
        int value = 0;
        for (const char c : part) {
            if (c < '0' || c > '9') {
                return -1;
            }
            value = value * 10 + (c - '0');
        }
        return value;
    };
    const int hours = digits(text.substr(0, colon));
    const int minutes = digits(text.substr(colon + 1, 2));
    const int seconds = digits(text.substr(colon + 4, 2));
    if (hours < 0 || hours > 838 || minutes < 0 || minutes > 59 || seconds < 0 || seconds > 59) {
        return refused;
    }
    const std::string_view rest = text.substr(colon + 6);
    if (rest.empty()) {
        return {};
    }
    const std::string_view fraction = rest.substr(1);
    if (rest[0] != '.' || fraction.empty() || fraction.size() > 6 || digits(fraction) < 0) {
        return refused;
    }
    // A server that rounds fractions would carry the last second past the range.
    const bool last = hours == 838 && minutes == 59 && seconds == 59;
    return last && fraction.find_first_not_of('0') != std::string_view::npos ? refused
                                                                             : std::string();
}
