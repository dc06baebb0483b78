// tds_writes: the statements that change the test server's model and the row checks they share
// with the bulk-load stream, answered as SQL Server answers them.
#include "tests/support/tds_server/tds_writes.h"

#include "tests/support/tds_server/tds_ddl.h"
#include "tests/support/tds_server/tds_wire.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <iconv.h>
#include <random>
#include <unordered_set>

// The writes' own bookkeeping of a table: the identity's current value and, per unique index,
// the keys present (built when first needed, dropped when an update or delete changes rows).
struct tds_table_state {
    bool identity_known = false;
    std::int64_t identity_current = 0;
    bool identity_used = false; // a row was ever given an identity value
    bool keys_valid = false;
    std::vector<std::unordered_set<std::string>> keys; // one per unique index, in index order
};

namespace {

using token = tds_token;
using token_kind = tds_token_kind;
using parser = tds_parser;

using tds_reply::error_answer;
using tds_reply::message;

bool reserved(const token& t) {
    static const char* const words[] = {
        "add",    "all",        "alter",   "and",        "as",      "by",     "check", "collate",
        "column", "constraint", "convert", "create",     "default", "delete", "drop",  "exec",
        "from",   "identity",   "insert",  "into",       "is",      "key",    "not",   "null",
        "on",     "or",         "primary", "references", "select",  "set",    "table", "unique",
        "update", "values",     "where",   "with"};
    if (t.kind != token_kind::word)
        return false;
    for (const char* w : words)
        if (tds_same_name(t.text, w))
            return true;
    return false;
}

// SQL Server's syntax errors: 156 near a keyword, 102 near anything else (the statement's last
// token when it ends too early).
tds_answer syntax_error(std::span<const token> tokens, std::size_t at) {
    if (tokens.empty())
        return error_answer(message(102, 15, 1, "Incorrect syntax near ''."));
    const token& t = tokens[std::min(at, tokens.size() - 1)];
    if (at < tokens.size() && reserved(t))
        return error_answer(
            message(156, 15, 1, "Incorrect syntax near the keyword '" + t.text + "'."));
    return error_answer(message(102, 15, 1, "Incorrect syntax near '" + t.text + "'."));
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// ---- names ----

struct target {
    tds_fixture_database* database = nullptr;
    std::string schema = "dbo";
    std::string name;
    std::string written;
    tds_fixture_table* table = nullptr;
};

std::optional<target> read_target(const tds_statement_context& ctx, parser& p) {
    std::vector<std::string> parts;
    target t;
    if (!p.object_name(parts, t.written) || parts.size() > 3)
        return std::nullopt;
    t.name = parts.back();
    t.database = &ctx.database;
    if (parts.size() >= 2 && !parts[parts.size() - 2].empty())
        t.schema = parts[parts.size() - 2];
    if (parts.size() == 3 && !parts[0].empty())
        t.database = ctx.catalogue.find(parts[0]);
    if (t.database)
        t.table = t.database->find_table(t.schema, t.name);
    return t;
}

tds_message invalid_object(const std::string& written) {
    return message(208, 16, 1, "Invalid object name '" + written + "'.");
}

tds_message invalid_column(const std::string& name) {
    return message(207, 16, 1, "Invalid column name '" + name + "'.");
}

std::string full_name(const tds_fixture_database& db, const tds_fixture_table& t) {
    return db.name + "." + t.schema + "." + t.name;
}

std::optional<std::size_t> column_index(const tds_fixture_table& t, std::string_view name) {
    for (std::size_t i = 0; i < t.columns.size(); ++i)
        if (tds_same_name(t.columns[i].name, name))
            return i;
    return std::nullopt;
}

// ---- text in code pages ----

// UTF-8 in a code page; a character the code page lacks becomes '?', as SQL Server stores it.
std::string encode_code_page(std::string_view utf8, int code_page) {
    bool ascii = true;
    for (char c : utf8)
        ascii &= static_cast<unsigned char>(c) < 0x80;
    if (ascii || code_page == 65001)
        return std::string(utf8);
    std::string name = "CP" + std::to_string(code_page);
    iconv_t cd = ::iconv_open(name.c_str(), "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        throw std::invalid_argument("code page " + std::to_string(code_page) + " is missing");
    std::string out;
    std::size_t at = 0;
    while (at < utf8.size()) {
        std::size_t n = 1;
        const auto lead = static_cast<unsigned char>(utf8[at]);
        if (lead >= 0xF0)
            n = 4;
        else if (lead >= 0xE0)
            n = 3;
        else if (lead >= 0xC0)
            n = 2;
        n = std::min(n, utf8.size() - at);
        char buffer[8];
        char* in = const_cast<char*>(utf8.data() + at);
        std::size_t in_left = n;
        char* to = buffer;
        std::size_t to_left = sizeof buffer;
        if (::iconv(cd, &in, &in_left, &to, &to_left) == static_cast<std::size_t>(-1)) {
            ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
            out.push_back('?');
        } else {
            out.append(buffer, sizeof buffer - to_left);
        }
        at += n;
    }
    ::iconv_close(cd);
    return out;
}

std::string decode_code_page(std::string_view bytes, int code_page) {
    if (code_page == 65001)
        return std::string(bytes);
    std::string name = "CP" + std::to_string(code_page);
    iconv_t cd = ::iconv_open("UTF-8", name.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1))
        throw std::invalid_argument("code page " + std::to_string(code_page) + " is missing");
    std::string out(bytes.size() * 4 + 4, '\0');
    char* in = const_cast<char*>(bytes.data());
    std::size_t in_left = bytes.size();
    char* to = out.data();
    std::size_t to_left = out.size();
    while (in_left > 0) {
        if (::iconv(cd, &in, &in_left, &to, &to_left) != static_cast<std::size_t>(-1))
            break;
        // A byte the code page does not define: '?' and on.
        *to++ = '?';
        --to_left;
        ++in;
        --in_left;
    }
    ::iconv_close(cd);
    out.resize(out.size() - to_left);
    return out;
}

// Text stored in a column: its UTF-8 form after passing the column's code page.
std::string text_for_column(const tds_type& type, std::string_view utf8) {
    if (type.kind == tds_type_kind::char_ || type.kind == tds_type_kind::varchar ||
        type.kind == tds_type_kind::text) {
        if (type.collation.code_page == 65001)
            return std::string(utf8);
        return decode_code_page(encode_code_page(utf8, type.collation.code_page),
                                type.collation.code_page);
    }
    return std::string(utf8);
}

// ---- fitting a value to its column ----

std::string hex_text(std::string_view bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out = "0x";
    for (unsigned char b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

bool is_integer_kind(tds_type_kind k) {
    return k == tds_type_kind::tinyint || k == tds_type_kind::smallint ||
           k == tds_type_kind::int_ || k == tds_type_kind::bigint;
}

bool is_exact_kind(tds_type_kind k) {
    return k == tds_type_kind::decimal || k == tds_type_kind::numeric ||
           k == tds_type_kind::money || k == tds_type_kind::smallmoney;
}

bool is_moment_kind(tds_type_kind k) {
    return k == tds_type_kind::date || k == tds_type_kind::time || k == tds_type_kind::datetime ||
           k == tds_type_kind::smalldatetime || k == tds_type_kind::datetime2 ||
           k == tds_type_kind::datetimeoffset;
}

bool is_binary_kind(tds_type_kind k) {
    return k == tds_type_kind::binary || k == tds_type_kind::varbinary ||
           k == tds_type_kind::image || k == tds_type_kind::geometry ||
           k == tds_type_kind::geography || k == tds_type_kind::hierarchyid ||
           k == tds_type_kind::rowversion;
}

bool is_char_kind(tds_type_kind k) {
    return k == tds_type_kind::char_ || k == tds_type_kind::varchar || k == tds_type_kind::text;
}

bool is_nchar_kind(tds_type_kind k) {
    return k == tds_type_kind::nchar || k == tds_type_kind::nvarchar || k == tds_type_kind::ntext ||
           k == tds_type_kind::xml;
}

// A decimal number's text ("-12.5", "1e3", ".5") as sign, digits and scale; false when it is
// none.
struct decimal_text {
    bool negative = false;
    std::string digits; // without leading zeros, at least "0"
    int scale = 0;      // digits after the point
};

bool read_decimal(std::string_view text, decimal_text& out) {
    std::string_view s = text;
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    out = {};
    if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
        out.negative = s.front() == '-';
        s.remove_prefix(1);
    }
    int exponent = 0;
    if (auto e = s.find_first_of("eE"); e != std::string_view::npos) {
        std::string_view ex = s.substr(e + 1);
        if (!ex.empty() && ex.front() == '+')
            ex.remove_prefix(1);
        auto [end, ec] = std::from_chars(ex.data(), ex.data() + ex.size(), exponent);
        if (ec != std::errc() || end != ex.data() + ex.size() || ex.empty() ||
            std::abs(exponent) > 400)
            return false;
        s = s.substr(0, e);
    }
    std::string digits;
    bool point = false, any = false;
    for (char c : s) {
        if (c == '.' && !point) {
            point = true;
            continue;
        }
        if (c < '0' || c > '9')
            return false;
        any = true;
        digits.push_back(c);
        if (point)
            ++out.scale;
    }
    if (!any)
        return false;
    out.scale -= exponent;
    if (out.scale < 0) {
        digits.append(static_cast<std::size_t>(-out.scale), '0');
        out.scale = 0;
    }
    // A negative exponent can leave fewer digits than the fraction holds ('1E-6'); every reader
    // of the digits counts on a whole part of at least one.
    if (digits.size() < static_cast<std::size_t>(out.scale) + 1)
        digits.insert(0, static_cast<std::size_t>(out.scale) + 1 - digits.size(), '0');
    std::size_t lead = 0;
    while (lead + 1 < digits.size() - static_cast<std::size_t>(std::min<int>(
                                          out.scale, static_cast<int>(digits.size()) - 1)) &&
           digits[lead] == '0')
        ++lead;
    out.digits = digits.substr(lead);
    return true;
}

// Rounds (half away from zero) or pads to `scale` digits after the point; the text form that
// tds_append_value reads.
std::string decimal_at_scale(decimal_text d, int scale) {
    std::string digits = d.digits;
    if (d.scale > scale) {
        const std::size_t cut = digits.size() - static_cast<std::size_t>(d.scale - scale);
        const bool up = cut < digits.size() && digits[cut] >= '5';
        digits.resize(cut);
        if (digits.empty())
            digits = "0";
        if (up) {
            std::size_t i = digits.size();
            while (i > 0) {
                --i;
                if (digits[i] == '9') {
                    digits[i] = '0';
                    if (i == 0)
                        digits.insert(digits.begin(), '1');
                    continue;
                }
                ++digits[i];
                break;
            }
        }
    } else {
        digits.append(static_cast<std::size_t>(scale - d.scale), '0');
    }
    while (digits.size() < static_cast<std::size_t>(scale) + 1)
        digits.insert(digits.begin(), '0');
    std::string whole = digits.substr(0, digits.size() - static_cast<std::size_t>(scale));
    std::size_t lead = 0;
    while (lead + 1 < whole.size() && whole[lead] == '0')
        ++lead;
    whole = whole.substr(lead);
    std::string out;
    bool zero = true;
    for (char c : digits)
        zero &= c == '0';
    if (d.negative && !zero)
        out.push_back('-');
    out += whole;
    if (scale > 0)
        out += "." + digits.substr(digits.size() - static_cast<std::size_t>(scale));
    return out;
}

// Adds one second to the "[Y-MM-DD ]hh:mm:ss" text that ends at `end`, carrying into the
// minutes, hours and the date (a time alone wraps at midnight); false when it cannot.
bool next_second(std::string& text, std::size_t end) {
    if (end < 8 || text[end - 3] != ':' || text[end - 6] != ':')
        return false;
    const std::size_t at = end - 8;
    int h = 0, m = 0, sec = 0;
    if (std::sscanf(text.c_str() + at, "%2d:%2d:%2d", &h, &m, &sec) != 3)
        return false;
    bool next_day = false;
    if (++sec == 60) {
        sec = 0;
        if (++m == 60) {
            m = 0;
            if (++h == 24) {
                h = 0;
                next_day = true;
            }
        }
    }
    char clock[16];
    std::snprintf(clock, sizeof clock, "%02d:%02d:%02d", h, m, sec);
    text.replace(at, 8, clock);
    if (!next_day || at == 0)
        return true;
    // the date before the blank: "Y-MM-DD"
    const std::size_t date_end = at - 1;
    const std::size_t first_dash = text.find('-', 1);
    if (first_dash == std::string::npos || first_dash >= date_end)
        return false;
    int y = 0, mo = 0, d = 0;
    if (std::sscanf(text.c_str(), "%d-%2d-%2d", &y, &mo, &d) != 3)
        return false;
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (mo < 1 || mo > 12)
        return false;
    if (++d > days[mo - 1] + (mo == 2 && leap ? 1 : 0)) {
        d = 1;
        if (++mo > 12) {
            mo = 1;
            if (++y > 9999)
                return false;
        }
    }
    char date[16];
    std::snprintf(date, sizeof date, "%04d-%02d-%02d", y, mo, d);
    text.replace(0, date_end, date);
    return true;
}

// Rounds a date/time text's fraction of seconds (half up) to the column's scale, carrying into
// the seconds and on as far as needed.
std::string fraction_at_scale(std::string text, int scale) {
    std::size_t colon = text.find(':'); // the time's (an offset's colon comes after the dot)
    if (colon == std::string::npos)
        return text;
    std::size_t dot = text.find('.', colon);
    if (dot == std::string::npos)
        return text;
    std::size_t end = dot + 1;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])))
        ++end;
    const std::size_t digits = end - dot - 1;
    if (digits <= static_cast<std::size_t>(scale))
        return text;
    std::string kept = text.substr(dot + 1, static_cast<std::size_t>(scale));
    bool carry = text[dot + 1 + static_cast<std::size_t>(scale)] >= '5';
    for (std::size_t i = kept.size(); carry && i > 0;) {
        --i;
        if (kept[i] == '9') {
            kept[i] = '0';
        } else {
            ++kept[i];
            carry = false;
        }
    }
    std::string out = text.substr(0, dot);
    if (carry) {
        std::string later = out;
        if (next_second(later, later.size()))
            out = later;
        else
            kept = text.substr(dot + 1, static_cast<std::size_t>(scale)); // the last second: cut
    }
    if (scale > 0)
        out += "." + kept;
    return out + text.substr(end);
}

// A money text without its currency symbol (after an optional sign) and without the commas of
// its whole part; anything else is left for the number reader to refuse.
std::string plain_money(std::string_view text) {
    static constexpr std::string_view symbols[] = {"$", "\xC2\xA3", "\xC2\xA5", "\xE2\x82\xAC"};
    std::string s(text);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.pop_back();
    s.erase(0, std::min(s.find_first_not_of(" \t\r\n"), s.size()));
    const std::size_t sign = !s.empty() && (s[0] == '-' || s[0] == '+') ? 1 : 0;
    for (std::string_view symbol : symbols) {
        if (s.compare(sign, symbol.size(), symbol) == 0) {
            s.erase(sign, symbol.size());
            break;
        }
    }
    const std::size_t dot = std::min(s.find('.'), s.size());
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i)
        if (!(i < dot && s[i] == ',' && i > sign))
            out += s[i];
    return out;
}

struct fitted {
    tds_value value;
    std::optional<tds_message> error;
};

tds_message conversion_failed(const tds_type& type, const tds_literal& v) {
    const std::string from = v.unicode ? "nvarchar" : "varchar";
    const tds_type_kind k = type.kind;
    if (is_moment_kind(k))
        return message(241, 16, 1,
                       "Conversion failed when converting date and/or time from character "
                       "string.");
    if (k == tds_type_kind::uniqueidentifier)
        return message(8169, 16, 2,
                       "Conversion failed when converting from a character string to "
                       "uniqueidentifier.");
    if (is_integer_kind(k) || k == tds_type_kind::bit)
        return message(245, 16, 1,
                       "Conversion failed when converting the " + from + " value '" + v.text +
                           "' to data type " + type.base_name() + ".");
    return message(8114, 16, 5,
                   "Error converting data type " + from + " to " + type.base_name() + ".");
}

tds_message overflow(const tds_type& type) {
    return message(8115, 16, 2,
                   "Arithmetic overflow error converting expression to data type " +
                       type.base_name() + ".");
}

tds_message clash(const std::string& from, const tds_type& type) {
    return message(206, 16, 2,
                   "Operand type clash: " + from + " is incompatible with " + type.base_name());
}

// Brings a literal to the column's stored form (tds_value), converting as SQL Server converts
// implicitly; the error is SQL Server's when it cannot.
fitted fit(const tds_fixture_database& db, const tds_type& type, const tds_literal& v) {
    fitted out;
    const tds_type_kind k = type.kind;
    std::string& data = out.value.data;
    if (v.type == tds_literal::kind::null) {
        out.value.null = true;
        return out;
    }
    const bool text_in = v.type == tds_literal::kind::string;
    // A literal without N is text of the database's code page before anything else.
    std::string text = v.text;
    if (text_in && !v.unicode)
        text = decode_code_page(encode_code_page(text, db.collation.code_page),
                                db.collation.code_page);
    if (v.type == tds_literal::kind::binary) {
        if (is_binary_kind(k)) {
            data = v.text;
            return out;
        }
        if (is_char_kind(k)) {
            data = decode_code_page(v.text, type.collation.code_page);
            return out;
        }
        if (is_nchar_kind(k)) {
            data = tds_utf8(v.text.size() % 2 ? v.text + '\0' : v.text);
            return out;
        }
        if (k == tds_type_kind::uniqueidentifier && v.text.size() == 16) {
            static constexpr int order[] = {3,  2, 1, 0,  -1, 5,  4,  -1, 7,  6,
                                            -1, 8, 9, -1, 10, 11, 12, 13, 14, 15};
            static const char digits[] = "0123456789ABCDEF";
            for (int i : order) {
                if (i < 0) {
                    data.push_back('-');
                    continue;
                }
                auto b = static_cast<unsigned char>(v.text[static_cast<std::size_t>(i)]);
                data.push_back(digits[b >> 4]);
                data.push_back(digits[b & 15]);
            }
            return out;
        }
        out.error = message(257, 16, 3,
                            "Implicit conversion from data type varbinary to " + type.base_name() +
                                " is not allowed. Use the CONVERT function to run this query.");
        return out;
    }
    if (is_char_kind(k) || is_nchar_kind(k)) {
        data = text_for_column(type, text);
        return out;
    }
    if (is_binary_kind(k)) {
        out.error = message(
            257, 16, 3,
            "Implicit conversion from data type " +
                std::string(text_in ? (v.unicode ? "nvarchar" : "varchar") : "numeric") + " to " +
                type.base_name() + " is not allowed. Use the CONVERT function to run this query.");
        return out;
    }
    if (k == tds_type_kind::sql_variant) {
        if (text_in) {
            const std::size_t units = std::max<std::size_t>(1, tds_utf16_units(text));
            if (units > 4000) {
                out.error = message(8152, 16, 14, "String or binary data would be truncated.");
                return out;
            }
            out.value.variant_type =
                (v.unicode ? "nvarchar(" : "varchar(") + std::to_string(units) + ")";
            data = text;
            return out;
        }
        decimal_text d;
        if (!read_decimal(v.text, d)) {
            out.error = conversion_failed(type, v);
            return out;
        }
        if (v.text.find_first_of("eE") != std::string::npos) {
            out.value.variant_type = "float";
        } else if (d.scale == 0 && d.digits.size() <= 10 &&
                   std::stoll(d.digits) <= (d.negative ? 2147483648LL : 2147483647LL)) {
            out.value.variant_type = "int";
        } else {
            const int precision = std::max<int>(static_cast<int>(d.digits.size()), d.scale);
            out.value.variant_type = "numeric(" + std::to_string(std::min(precision, 38)) + "," +
                                     std::to_string(d.scale) + ")";
        }
        data = v.text;
        return out;
    }
    if (is_moment_kind(k)) {
        if (!text_in) {
            out.error = clash(v.text.find('.') == std::string::npos ? "int" : "numeric", type);
            return out;
        }
        std::string s = text;
        while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
            s.pop_back();
        while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
            s.erase(s.begin());
        // Only the old types read an empty text, as their base date; date, time, datetime2 and
        // datetimeoffset refuse it.
        if (s.empty() && k != tds_type_kind::datetime && k != tds_type_kind::smalldatetime) {
            out.error = conversion_failed(type, v);
            return out;
        }
        // The unseparated ISO form yyyymmdd, alone or before a time.
        if (s.size() >= 8 && (s.size() == 8 || s[8] == ' ' || s[8] == 'T') &&
            std::all_of(s.begin(), s.begin() + 8,
                        [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
            s = s.substr(0, 4) + "-" + s.substr(4, 2) + "-" + s.substr(6);
        const std::size_t space = s.find_first_of(" T");
        const bool has_date = s.size() >= 8 && s.find('-') != std::string::npos &&
                              (space == std::string::npos || s.find('-') < space);
        if (k == tds_type_kind::date && has_date && space != std::string::npos)
            s = s.substr(0, space); // a date column keeps the date part
        if (k == tds_type_kind::time && has_date) {
            if (space == std::string::npos)
                s = "00:00:00";
            else
                s = s.substr(space + 1);
        }
        // An empty text is the base date's midnight; a time alone falls on the base date.
        if (s.empty())
            s = k == tds_type_kind::time ? "00:00:00" : "1900-01-01";
        else if (!has_date && k != tds_type_kind::time && k != tds_type_kind::date &&
                 s.find(':') != std::string::npos)
            s = "1900-01-01 " + s;
        int scale = type.scale;
        if (k == tds_type_kind::datetime)
            scale = 3;
        if (k == tds_type_kind::smalldatetime)
            scale = 7;
        if (k != tds_type_kind::date)
            s = fraction_at_scale(s, scale);
        data = s;
        return out;
    }
    if (k == tds_type_kind::uniqueidentifier) {
        if (!text_in) {
            out.error = clash("int", type);
            return out;
        }
        std::string s = text;
        if (s.empty()) {
            out.error = conversion_failed(type, v);
            return out;
        }
        if (s.size() == 38 && s.front() == '{' && s.back() == '}')
            s = s.substr(1, 36);
        data = s;
        return out;
    }
    // A money text may carry a currency symbol and thousands separators.
    if (text_in && (k == tds_type_kind::money || k == tds_type_kind::smallmoney))
        text = plain_money(text);
    // Numbers. An empty text is 0 for the types SQL Server converts it for.
    if (text_in && text.find_first_not_of(" \t\r\n") == std::string::npos) {
        if (k == tds_type_kind::decimal || k == tds_type_kind::numeric) {
            out.error = conversion_failed(type, v);
            return out;
        }
        data = "0";
        return out;
    }
    decimal_text d;
    if (!read_decimal(text, d)) {
        if (k == tds_type_kind::bit && text_in &&
            (tds_same_name(text, "true") || tds_same_name(text, "false"))) {
            data = tds_same_name(text, "true") ? "1" : "0";
            return out;
        }
        out.error = conversion_failed(type, v);
        return out;
    }
    if (text_in && is_integer_kind(k) && d.scale > 0) {
        out.error = conversion_failed(type, v);
        return out;
    }
    switch (k) {
    case tds_type_kind::bit: {
        bool zero = true;
        for (char c : d.digits)
            zero &= c == '0';
        data = zero ? "0" : "1";
        return out;
    }
    case tds_type_kind::real:
    case tds_type_kind::float_: {
        const double x = std::strtod(text.c_str(), nullptr);
        const double limit = k == tds_type_kind::real ? 3.40282347e38 : 1.7976931348623157e308;
        if (!std::isfinite(x) || std::fabs(x) > limit) {
            out.error = overflow(type);
            return out;
        }
        data = text;
        return out;
    }
    default:
        break;
    }
    if (is_integer_kind(k)) {
        // numeric to integer conversion cuts the fraction
        decimal_text whole = d;
        if (whole.scale > 0) {
            whole.digits.resize(whole.digits.size() - static_cast<std::size_t>(whole.scale));
            if (whole.digits.empty())
                whole.digits = "0";
            whole.scale = 0;
        }
        data = decimal_at_scale(whole, 0);
        if (data.size() > 20) {
            out.error = overflow(type);
            return out;
        }
    } else {
        const int scale =
            is_exact_kind(k) && (k == tds_type_kind::money || k == tds_type_kind::smallmoney)
                ? 4
                : type.scale;
        data = decimal_at_scale(d, scale);
    }
    std::string scratch;
    try {
        tds_append_value(scratch, type, out.value);
    } catch (const std::invalid_argument&) {
        out.error = overflow(type);
    }
    return out;
}

// ---- defaults ----

std::string now_text() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm tm{};
    ::localtime_r(&t, &tm);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    char buffer[80];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms));
    return buffer;
}

std::string new_guid() {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (int i = 0; i < 32; ++i) {
        if (i == 8 || i == 12 || i == 16 || i == 20)
            out.push_back('-');
        out.push_back(digits[random() & 15]);
    }
    return out;
}

std::optional<tds_literal> read_literal(parser& p, int depth = 0);

// The value of a column's default definition ("((0))", "(getdate())", "(N'x')").
std::optional<tds_literal> evaluate_default(const std::string& definition) {
    std::vector<token> tokens;
    if (!tds_tokenise(definition, tokens))
        return std::nullopt;
    std::span<const token> inner = tokens;
    while (inner.size() >= 2 && inner.front().is("(") && inner.back().is(")"))
        inner = inner.subspan(1, inner.size() - 2);
    parser p{inner};
    auto v = read_literal(p);
    if (!v || !p.done())
        return std::nullopt;
    return v;
}

// ---- literals in statements ----

std::optional<tds_literal> read_term(parser& p, int depth);

// CHAR(n) (n below 128) and NCHAR(n) (a character of the Basic Multilingual Plane): the text of
// that one character, NUL included.
std::optional<tds_literal> read_char_function(parser& p) {
    const std::size_t start = p.at;
    const bool wide = p.accept("nchar");
    if ((!wide && !p.accept("char")) || !p.accept("(") || p.done() ||
        p.t[p.at].kind != token_kind::number) {
        p.at = start;
        return std::nullopt;
    }
    unsigned code = 0;
    const std::string& digits = p.t[p.at++].text;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), code);
    if (ec != std::errc() || end != digits.data() + digits.size() || code > (wide ? 0xFFFFu : 127u) ||
        (code >= 0xD800 && code <= 0xDFFF) || !p.accept(")")) {
        p.at = start;
        return std::nullopt;
    }
    tds_literal v;
    v.type = tds_literal::kind::string;
    v.unicode = wide;
    if (code < 0x80) {
        v.text.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        v.text.push_back(static_cast<char>(0xC0 | (code >> 6)));
        v.text.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        v.text.push_back(static_cast<char>(0xE0 | (code >> 12)));
        v.text.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        v.text.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
    return v;
}

// A term, or texts joined with "+" ('a' + CHAR(0) + 'b'), as SQL Server concatenates them: the
// result is Unicode when one of its parts is.
std::optional<tds_literal> read_literal(parser& p, int depth) {
    auto v = read_term(p, depth);
    while (v && v->type == tds_literal::kind::string && !p.done() && p.t[p.at].is("+")) {
        const std::size_t plus = p.at++;
        auto next = read_term(p, depth);
        if (!next || next->type != tds_literal::kind::string) {
            p.at = plus;
            return next ? std::nullopt : v;
        }
        v->text += next->text;
        v->unicode = v->unicode || next->unicode;
    }
    return v;
}

// NULL, DEFAULT, 'text', N'text', numbers with a sign, 0x..., CONVERT(type, value[, style]),
// CAST(value AS type), (value), CHAR(n), NCHAR(n), and the functions getdate(), sysdatetime(),
// CURRENT_TIMESTAMP and newid(). Nesting is bounded, so no statement can exhaust the stack.
std::optional<tds_literal> read_term(parser& p, int depth) {
    constexpr int deepest = 32;
    if (p.done() || depth > deepest)
        return std::nullopt;
    tds_literal v;
    const token& t = p.t[p.at];
    switch (t.kind) {
    case token_kind::string:
        ++p.at;
        v.type = tds_literal::kind::string;
        v.text = t.text;
        v.unicode = t.unicode;
        return v;
    case token_kind::number:
        ++p.at;
        v.type = tds_literal::kind::number;
        v.text = t.text;
        return v;
    case token_kind::binary: {
        ++p.at;
        v.type = tds_literal::kind::binary;
        std::string_view hex = std::string_view(t.text).substr(2);
        if (hex.size() % 2) {
            v.text.push_back(
                static_cast<char>(std::stoi(std::string(hex.substr(0, 1)), nullptr, 16)));
            hex.remove_prefix(1);
        }
        v.text.reserve(hex.size() / 2);
        for (std::size_t i = 0; i < hex.size(); i += 2) {
            unsigned b = 0;
            std::from_chars(hex.data() + i, hex.data() + i + 2, b, 16);
            v.text.push_back(static_cast<char>(b));
        }
        return v;
    }
    case token_kind::punct:
        if (t.is("-") || t.is("+")) {
            ++p.at;
            if (p.done() || p.t[p.at].kind != token_kind::number)
                return std::nullopt;
            v.type = tds_literal::kind::number;
            v.text = (t.is("-") ? "-" : "") + p.t[p.at++].text;
            return v;
        }
        if (t.is("(")) {
            ++p.at;
            auto inner = read_literal(p, depth + 1);
            if (!inner || !p.accept(")"))
                return std::nullopt;
            return inner;
        }
        return std::nullopt;
    case token_kind::word:
        break;
    default:
        return std::nullopt;
    }
    if (p.accept("null")) {
        v.type = tds_literal::kind::null;
        return v;
    }
    if (p.accept("default")) {
        v.type = tds_literal::kind::default_value;
        return v;
    }
    if (auto c = read_char_function(p)) {
        return c;
    }
    if (p.accept("current_timestamp")) {
        v.type = tds_literal::kind::string;
        v.text = now_text();
        return v;
    }
    for (const char* function : {"getdate", "sysdatetime", "getutcdate", "newid"}) {
        const std::size_t start = p.at;
        if (p.accept(function) && p.accept("(") && p.accept(")")) {
            v.type = tds_literal::kind::string;
            v.text = std::string(function) == "newid" ? new_guid() : now_text();
            return v;
        }
        p.at = start;
    }
    // CONVERT(type, value[, style]) and CAST(value AS type): the value keeps its own form; the
    // column's type decides, except that text turned into binary becomes its bytes.
    const bool convert = p.accept("convert");
    if (convert || p.accept("cast")) {
        if (!p.accept("("))
            return std::nullopt;
        std::string type_text;
        auto read_type = [&]() {
            if (!p.identifier())
                return false;
            type_text = p.t[p.at++].text;
            if (p.accept("(")) {
                type_text += "(";
                while (!p.done() && !p.t[p.at].is(")"))
                    type_text += p.t[p.at++].text;
                if (!p.accept(")"))
                    return false;
                type_text += ")";
            }
            return true;
        };
        std::optional<tds_literal> inner;
        if (convert) {
            if (!read_type() || !p.accept(","))
                return std::nullopt;
            inner = read_literal(p, depth + 1);
            if (inner && p.accept(",") && !(p.done() || p.t[p.at++].kind == token_kind::number))
                return std::nullopt;
        } else {
            inner = read_literal(p, depth + 1);
            if (!inner || !p.accept("as") || !read_type())
                return std::nullopt;
        }
        if (!inner || !p.accept(")"))
            return std::nullopt;
        tds_type to;
        try {
            to = tds_parse_type(type_text, tds_default_collation());
        } catch (const std::invalid_argument&) {
            return std::nullopt;
        }
        if (inner->type == tds_literal::kind::string && is_binary_kind(to.kind)) {
            inner->type = tds_literal::kind::binary;
            if (inner->unicode)
                inner->text = tds_utf16le(inner->text);
        } else if (inner->type == tds_literal::kind::string &&
                   (to.kind == tds_type_kind::nvarchar || to.kind == tds_type_kind::nchar)) {
            inner->unicode = true;
        } else if (inner->type == tds_literal::kind::number &&
                   (is_char_kind(to.kind) || is_nchar_kind(to.kind))) {
            inner->type = tds_literal::kind::string;
        }
        return inner;
    }
    return std::nullopt;
}

// ---- the table's state ----

tds_table_state& state_of(tds_fixture_table& t) {
    if (!t.state)
        t.state = std::make_shared<tds_table_state>();
    return *t.state;
}

std::optional<std::size_t> identity_column(const tds_fixture_table& t) {
    for (std::size_t i = 0; i < t.columns.size(); ++i)
        if (t.columns[i].identity)
            return i;
    return std::nullopt;
}

std::optional<std::size_t> rowversion_column(const tds_fixture_table& t) {
    for (std::size_t i = 0; i < t.columns.size(); ++i)
        if (t.columns[i].type.kind == tds_type_kind::rowversion)
            return i;
    return std::nullopt;
}

void learn_identity(tds_fixture_table& t) {
    tds_table_state& s = state_of(t);
    if (s.identity_known)
        return;
    s.identity_known = true;
    auto id = identity_column(t);
    if (!id)
        return;
    const tds_fixture_column& c = t.columns[*id];
    std::vector<tds_value> row;
    for (std::uint64_t i = 0; i < t.row_count(); ++i) {
        if (i == t.rows.size() && t.generated_rows > 1)
            i = t.row_count() - 1; // generated rows rise: the last is the highest
        t.row(i, row);
        if (row[*id].null)
            continue;
        std::int64_t v = 0;
        std::from_chars(row[*id].data.data(), row[*id].data.data() + row[*id].data.size(), v);
        if (!s.identity_used ||
            (c.identity_increment > 0 ? v > s.identity_current : v < s.identity_current))
            s.identity_current = v;
        s.identity_used = true;
    }
}

// The unique indexes of a table, primary key first as SQL Server checks them.
std::vector<const tds_fixture_index*> unique_indexes(const tds_fixture_table& t) {
    std::vector<const tds_fixture_index*> out;
    for (const auto& i : t.indexes)
        if (i.primary_key)
            out.push_back(&i);
    for (const auto& i : t.indexes)
        if (!i.primary_key && i.unique)
            out.push_back(&i);
    return out;
}

// A key's comparable form: text folded for the case-insensitive collations and without trailing
// blanks; other values in their wire form.
std::string key_of(const tds_fixture_table& t, const tds_fixture_index& index,
                   const std::vector<tds_value>& row) {
    std::string key;
    for (const auto& name : index.columns) {
        auto at = column_index(t, name);
        if (!at)
            continue;
        const tds_value& v = row[*at];
        const tds_type& type = t.columns[*at].type;
        std::string part;
        if (v.null) {
            part = "\x01";
        } else if (type.is_text() || type.kind == tds_type_kind::xml) {
            part = "\x02" + lower(v.data);
            while (!part.empty() && part.back() == ' ')
                part.pop_back();
        } else {
            part = "\x03";
            tds_append_value(part, type, v);
        }
        key += std::to_string(part.size()) + ":" + part;
    }
    return key;
}

std::string key_text(const tds_fixture_table& t, const tds_fixture_index& index,
                     const std::vector<tds_value>& row) {
    std::string out;
    for (const auto& name : index.columns) {
        auto at = column_index(t, name);
        if (!at)
            continue;
        if (!out.empty())
            out += ", ";
        const tds_value& v = row[*at];
        if (v.null)
            out += "<NULL>";
        else if (t.columns[*at].type.kind == tds_type_kind::binary ||
                 t.columns[*at].type.kind == tds_type_kind::varbinary)
            out += hex_text(v.data);
        else
            out += v.data;
    }
    return out;
}

void build_keys(tds_fixture_table& t) {
    tds_table_state& s = state_of(t);
    if (s.keys_valid)
        return;
    auto indexes = unique_indexes(t);
    s.keys.assign(indexes.size(), {});
    std::vector<tds_value> row;
    for (std::uint64_t r = 0; r < t.row_count(); ++r) {
        t.row(r, row);
        for (std::size_t i = 0; i < indexes.size(); ++i)
            if (tds_row_in_index(t, *indexes[i], row))
                s.keys[i].insert(key_of(t, *indexes[i], row));
    }
    s.keys_valid = true;
}

tds_message duplicate(const tds_fixture_table& t, const tds_fixture_index& index,
                      const std::vector<tds_value>& row) {
    const std::string object = t.schema + "." + t.name;
    const std::string value = key_text(t, index, row);
    if (index.primary_key || index.constraint)
        return message(2627, 14, 1,
                       "Violation of " + std::string(index.primary_key ? "PRIMARY" : "UNIQUE") +
                           " KEY constraint '" + index.name +
                           "'. Cannot insert duplicate key in object '" + object +
                           "'. The duplicate key value is (" + value + ").");
    return message(2601, 14, 1,
                   "Cannot insert duplicate key row in object '" + object +
                       "' with unique index '" + index.name + "'. The duplicate key value is (" +
                       value + ").");
}

// SQL Server 2019 and later name the table, column and value of a string cut short; earlier
// versions give the bare error 8152.
bool names_truncation(const tds_statement_context& ctx) {
    const std::string& v =
        ctx.database.version.empty() ? ctx.catalogue.version : ctx.database.version;
    for (const char* old : {"SQL Server 2017", "SQL Server 2016", "SQL Server 2014",
                            "SQL Server 2012", "SQL Server 2008", "SQL Server 2005"})
        if (v.find(old) != std::string::npos)
            return false;
    return true;
}

// A value longer than its column: the statement path's error (trailing blanks of text are cut
// silently, as SQL Server cuts them).
std::optional<tds_message> check_length(const tds_statement_context& ctx,
                                        const tds_fixture_database& db, const tds_fixture_table& t,
                                        std::size_t column, tds_value& v, tds_write_path path,
                                        std::size_t bulk_column) {
    const tds_type& type = t.columns[column].type;
    if (v.null || type.length <= 0 || type.kind == tds_type_kind::rowversion)
        return std::nullopt;
    const auto limit = static_cast<std::size_t>(type.length);
    std::size_t size = 0;
    const bool wide = type.kind == tds_type_kind::nchar || type.kind == tds_type_kind::nvarchar;
    const bool narrow = type.kind == tds_type_kind::char_ || type.kind == tds_type_kind::varchar;
    if (wide)
        size = tds_utf16_units(v.data);
    else if (narrow)
        size = encode_code_page(v.data, type.collation.code_page).size();
    else
        size = v.data.size();
    if (size <= limit)
        return std::nullopt;
    if (wide || narrow) {
        std::string trimmed = v.data;
        while (!trimmed.empty() && trimmed.back() == ' ')
            trimmed.pop_back();
        const std::size_t kept = wide ? tds_utf16_units(trimmed)
                                      : encode_code_page(trimmed, type.collation.code_page).size();
        if (kept <= limit) {
            // Only blanks beyond the column's length: they go. A blank is one byte, one UTF-16
            // unit and one byte of every code page, so the excess is a count of blanks.
            const std::size_t cut = v.data.size() - (size - limit);
            v.data.resize(cut);
            return std::nullopt;
        }
    }
    if (path == tds_write_path::bulk)
        return message(4815, 16, 1,
                       "Received an invalid column length from the bcp client for colid " +
                           std::to_string(bulk_column + 1) + ".");
    if (!names_truncation(ctx))
        return message(8152, 16, 14, "String or binary data would be truncated.");
    std::string shown;
    if (wide || narrow) {
        // the value cut to the column's length, in characters
        std::size_t at = 0, units = 0;
        while (at < v.data.size()) {
            const auto lead = static_cast<unsigned char>(v.data[at]);
            const std::size_t n = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
            const std::size_t u = wide && n == 4 ? 2 : 1;
            if (units + u > limit)
                break;
            units += u;
            at += n;
        }
        shown = v.data.substr(0, at);
    } else {
        shown = hex_text(std::string_view(v.data).substr(0, limit));
    }
    return message(2628, 16, 1,
                   "String or binary data would be truncated in table '" + full_name(db, t) +
                       "', column '" + t.columns[column].name + "'. Truncated value: '" + shown +
                       "'.");
}

std::string next_rowversion() {
    static std::atomic<std::uint64_t> counter{0x100000};
    const std::uint64_t v = ++counter;
    std::string out(8, '\0');
    for (int i = 0; i < 8; ++i)
        out[static_cast<std::size_t>(7 - i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return out;
}

bool writable(const tds_fixture_table& t) {
    return t.generated_rows == 0;
}

tds_message cannot_write(const tds_fixture_table& t) {
    return message(50000, 16, 1,
                   "The TDS test server cannot change the generated rows of '" + t.schema + "." +
                       t.name + "'.");
}

// Checks a complete new row against the unique indexes; `skip` is the row being replaced.
std::optional<tds_message> check_keys(tds_fixture_table& t, const std::vector<tds_value>& row) {
    build_keys(t);
    auto indexes = unique_indexes(t);
    tds_table_state& s = state_of(t);
    for (std::size_t i = 0; i < indexes.size(); ++i)
        if (tds_row_in_index(t, *indexes[i], row) && s.keys[i].count(key_of(t, *indexes[i], row)))
            return duplicate(t, *indexes[i], row);
    return std::nullopt;
}

void add_keys(tds_fixture_table& t, const std::vector<tds_value>& row) {
    auto indexes = unique_indexes(t);
    tds_table_state& s = state_of(t);
    for (std::size_t i = 0; i < indexes.size(); ++i)
        if (tds_row_in_index(t, *indexes[i], row))
            s.keys[i].insert(key_of(t, *indexes[i], row));
}

} // namespace

void tds_forget_keys(tds_fixture_table& t) {
    state_of(t).keys_valid = false;
}

std::optional<tds_message> tds_insert_row(const tds_statement_context& ctx,
                                          tds_fixture_database& db, tds_fixture_table& t,
                                          const std::vector<std::size_t>& columns,
                                          std::vector<tds_literal>& values, tds_write_path path,
                                          bool keep_identity) {
    if (!writable(t))
        return cannot_write(t);
    learn_identity(t);
    tds_table_state& s = state_of(t);
    std::vector<tds_value> row(t.columns.size());
    std::vector<bool> given(t.columns.size(), false);
    const auto id = identity_column(t);
    bool identity_given = false;
    for (std::size_t k = 0; k < columns.size(); ++k) {
        const std::size_t i = columns[k];
        const tds_fixture_column& c = t.columns[i];
        tds_literal& v = values[k];
        if (v.type == tds_literal::kind::default_value)
            continue;
        if (c.type.kind == tds_type_kind::rowversion) {
            if (path == tds_write_path::bulk)
                continue;
            return message(273, 16, 1,
                           "Cannot insert an explicit value into a timestamp column. Use INSERT "
                           "with a column list to exclude the timestamp column, or insert a "
                           "DEFAULT into the timestamp column.");
        }
        if (!c.computed_definition.empty()) {
            if (path == tds_write_path::bulk)
                continue; // a bulk load ignores values for computed columns
            return message(271, 16, 1,
                           "The column \"" + c.name +
                               "\" cannot be modified because it is either a computed column or "
                               "is the result of a UNION operator.");
        }
        if (c.identity) {
            if (path == tds_write_path::bulk && !keep_identity)
                continue; // a bulk load without KEEP_IDENTITY numbers the rows itself
            if (path == tds_write_path::statement && !keep_identity)
                return message(544, 16, 1,
                               "Cannot insert explicit value for identity column in table '" +
                                   t.name + "' when IDENTITY_INSERT is set to OFF.");
            identity_given = true;
        }
        fitted f = fit(db, c.type, v);
        if (f.error)
            return f.error;
        row[i] = std::move(f.value);
        given[i] = true;
        if (auto e = check_length(ctx, db, t, i, row[i], path, k))
            return e;
    }
    if (id && !identity_given && keep_identity && path == tds_write_path::statement)
        return message(545, 16, 1,
                       "Explicit value must be specified for identity column in table '" + t.name +
                           "' either when IDENTITY_INSERT is set to ON or when a replication "
                           "user is inserting into a NOT FOR REPLICATION identity column.");
    std::optional<std::int64_t> new_identity;
    for (std::size_t i = 0; i < t.columns.size(); ++i) {
        const tds_fixture_column& c = t.columns[i];
        if (given[i])
            continue;
        if (c.type.kind == tds_type_kind::rowversion) {
            row[i].data = next_rowversion();
            continue;
        }
        if (c.identity) {
            const tds_message overflow_message =
                message(8115, 16, 1,
                        "Arithmetic overflow error converting IDENTITY to data type " +
                            c.type.base_name() + ".");
            std::int64_t next = c.identity_seed;
            if (s.identity_used &&
                __builtin_add_overflow(s.identity_current, c.identity_increment, &next))
                return overflow_message;
            new_identity = next;
            row[i].data = std::to_string(next);
            std::string scratch;
            try {
                tds_append_value(scratch, c.type, row[i]);
            } catch (const std::invalid_argument&) {
                return overflow_message;
            }
            continue;
        }
        if (!c.computed_definition.empty()) {
            row[i].null = true; // computed values of written rows are not evaluated
            continue;
        }
        if (!c.default_definition.empty()) {
            auto d = evaluate_default(c.default_definition);
            if (!d)
                return message(50000, 16, 1,
                               "The TDS test server cannot evaluate the default " +
                                   c.default_definition + " of column '" + c.name + "'.");
            fitted f = fit(db, c.type, *d);
            if (f.error)
                return f.error;
            row[i] = std::move(f.value);
            continue;
        }
        row[i].null = true;
    }
    for (std::size_t i = 0; i < t.columns.size(); ++i)
        if (row[i].null && !t.columns[i].nullable && t.columns[i].computed_definition.empty())
            return message(515, 16, 2,
                           "Cannot insert the value NULL into column '" + t.columns[i].name +
                               "', table '" + full_name(db, t) +
                               "'; column does not allow nulls. INSERT fails.");
    std::string scratch;
    for (std::size_t i = 0; i < t.columns.size(); ++i) {
        try {
            scratch.clear();
            tds_append_value(scratch, t.columns[i].type, row[i]);
        } catch (const std::invalid_argument& e) {
            tds_literal shown{tds_literal::kind::string, row[i].data, false};
            const tds_type& type = t.columns[i].type;
            if (is_exact_kind(type.kind) || is_integer_kind(type.kind))
                return overflow(type);
            // A date SQL Server can read but the type cannot hold is a range error of its own.
            const bool out_of_range =
                std::string_view(e.what()).find("out of range") != std::string_view::npos;
            if (out_of_range &&
                (type.kind == tds_type_kind::datetime || type.kind == tds_type_kind::smalldatetime))
                return message(type.kind == tds_type_kind::datetime ? 242 : 296, 16, 3,
                               "The conversion of a varchar data type to a " + type.base_name() +
                                   " data type resulted in an out-of-range value.");
            return conversion_failed(type, shown);
        }
    }
    if (auto e = tds_check_index_entries(t, row))
        return e;
    if (auto e = check_keys(t, row))
        return e;
    add_keys(t, row);
    if (id) {
        std::int64_t v = 0;
        const std::string& text = row[*id].data;
        std::from_chars(text.data(), text.data() + text.size(), v);
        const std::int64_t step = t.columns[*id].identity_increment;
        if (!s.identity_used || (step > 0 ? v > s.identity_current : v < s.identity_current))
            s.identity_current = v;
        s.identity_used = true;
    }
    if (ctx.catalogue.discard_written_rows)
        ++ctx.catalogue.discarded_rows;
    else
        t.rows.push_back(std::move(row));
    return std::nullopt;
}

void tds_truncate_rows(tds_fixture_table& t, std::uint64_t count) {
    if (count >= t.rows.size())
        return;
    t.rows.resize(count);
    state_of(t).keys_valid = false;
}

namespace {

// ---- statements ----

// SET IDENTITY_INSERT name ON|OFF
std::optional<tds_answer> set_identity_insert(const tds_statement_context& ctx,
                                              std::span<const token> tokens) {
    parser p{tokens};
    if (!(p.accept("set") && p.accept("identity_insert")))
        return std::nullopt;
    auto target = read_target(ctx, p);
    if (!target)
        return syntax_error(tokens, p.at);
    const bool on = p.accept("on");
    if (!on && !p.accept("off"))
        return syntax_error(tokens, p.at);
    if (!p.done())
        return syntax_error(tokens, p.at);
    if (!target->table)
        return error_answer(invalid_object(target->written));
    if (!identity_column(*target->table))
        return error_answer(message(8106, 16, 1,
                                    "Table '" + target->written +
                                        "' does not have the identity property. Cannot perform "
                                        "SET operation."));
    tds_session_state* s = ctx.session;
    if (!s)
        return tds_answer{};
    if (on) {
        if (s->identity_insert && s->identity_insert != target->table)
            return error_answer(message(
                8107, 16, 1,
                "IDENTITY_INSERT is already ON for table '" + s->identity_insert_name +
                    "'. Cannot perform SET operation for table '" + target->written + "'."));
        s->identity_insert = target->table;
        s->identity_insert_name = full_name(*target->database, *target->table);
    } else if (s->identity_insert == target->table) {
        s->identity_insert = nullptr;
        s->identity_insert_name.clear();
    }
    return tds_answer{};
}

// SET QUOTED_IDENTIFIER ON|OFF
std::optional<tds_answer> set_quoted_identifier(const tds_statement_context& ctx,
                                                std::span<const token> tokens) {
    parser p{tokens};
    if (!(p.accept("set") && p.accept("quoted_identifier")))
        return std::nullopt;
    const bool on = p.accept("on");
    if ((!on && !p.accept("off")) || !p.done())
        return syntax_error(tokens, p.at);
    if (ctx.session)
        ctx.session->quoted_identifier = on;
    return tds_answer{};
}

// Reads "(a, [b], ...)" of column names.
bool column_list(parser& p, std::vector<std::string>& names) {
    if (!p.accept("("))
        return false;
    do {
        if (!p.identifier())
            return false;
        names.push_back(p.t[p.at++].text);
    } while (p.accept(","));
    return p.accept(")");
}

// INSERT [INTO] name [(cols)] VALUES (v, ...)[, (v, ...)]
std::optional<tds_answer> insert_values(const tds_statement_context& ctx,
                                        std::span<const token> tokens) {
    parser p{tokens};
    if (!p.accept("insert") || (!p.done() && p.t[p.at].is("bulk")))
        return std::nullopt;
    p.accept("into");
    auto target = read_target(ctx, p);
    if (!target)
        return syntax_error(tokens, p.at);
    std::vector<std::string> names;
    const bool listed = !p.done() && p.t[p.at].is("(");
    if (listed && !column_list(p, names))
        return syntax_error(tokens, p.at);
    if (!p.accept("values"))
        return syntax_error(tokens, p.at);
    std::vector<std::vector<tds_literal>> rows;
    do {
        if (!p.accept("("))
            return syntax_error(tokens, p.at);
        std::vector<tds_literal> values;
        do {
            const std::size_t at = p.at;
            auto v = read_literal(p);
            if (!v && at < tokens.size() && p.identifier() && !reserved(tokens[at]) &&
                !(at + 1 < tokens.size() && tokens[at + 1].is("(")))
                return error_answer(message(128, 15, 1,
                                            "The name \"" + tokens[at].text +
                                                "\" is not permitted in this context. Valid "
                                                "expressions are constants, constant expressions, "
                                                "and (in some contexts) variables. Column names "
                                                "are not permitted."));
            if (!v)
                return syntax_error(tokens, p.at);
            values.push_back(std::move(*v));
        } while (p.accept(","));
        if (!p.accept(")"))
            return syntax_error(tokens, p.at);
        rows.push_back(std::move(values));
    } while (p.accept(","));
    if (!p.done())
        return syntax_error(tokens, p.at);
    constexpr std::size_t most_rows = 1000; // SQL Server's limit on a VALUES list
    if (rows.size() > most_rows)
        return error_answer(message(10738, 15, 1,
                                    "The number of row value expressions in the INSERT statement "
                                    "exceeds the maximum allowed number of 1000 row values."));
    if (!target->table)
        return error_answer(invalid_object(target->written));
    tds_fixture_table& t = *target->table;
    std::vector<std::size_t> columns;
    for (const auto& n : names) {
        auto at = column_index(t, n);
        if (!at)
            return error_answer(invalid_column(n));
        columns.push_back(*at);
    }
    const bool keep_identity = ctx.session && ctx.session->identity_insert == &t;
    if (!listed) {
        // Without a column list the values fill the columns that take values.
        for (std::size_t i = 0; i < t.columns.size(); ++i)
            if (!(t.columns[i].identity && !keep_identity) &&
                t.columns[i].computed_definition.empty() &&
                t.columns[i].type.kind != tds_type_kind::rowversion)
                columns.push_back(i);
        if (keep_identity && identity_column(t))
            return error_answer(message(8101, 16, 1,
                                        "An explicit value for the identity column in table '" +
                                            target->written +
                                            "' can only be specified when a column list is used "
                                            "and IDENTITY_INSERT is ON."));
    }
    for (const auto& values : rows) {
        if (values.size() != columns.size()) {
            if (!listed)
                return error_answer(message(213, 16, 1,
                                            "Column name or number of supplied values does not "
                                            "match table definition."));
            return error_answer(message(
                values.size() < columns.size() ? 109 : 110, 15, 1,
                std::string(values.size() < columns.size() ? "There are more" : "There are fewer") +
                    " columns in the INSERT statement than values specified in the VALUES clause. "
                    "The number of values in the VALUES clause must match the number of columns "
                    "specified in the INSERT statement."));
        }
    }
    const std::uint64_t before = t.rows.size();
    for (auto& values : rows) {
        if (auto e = tds_insert_row(ctx, *target->database, t, columns, values,
                                    tds_write_path::statement, keep_identity)) {
            tds_truncate_rows(t, before); // a statement is all or nothing
            return error_answer(*e);
        }
    }
    tds_answer a;
    a.affected = rows.size();
    return a;
}

// ---- WHERE conditions: col = value [AND ...], col IS [NOT] NULL ----

struct operand {
    std::optional<std::size_t> column;
    tds_literal literal;
};

struct comparison {
    operand left, right;
    bool is_null = false, not_null = false;
};

std::optional<operand> read_operand(const tds_fixture_table& t, parser& p,
                                    std::optional<tds_message>& error) {
    operand o;
    if (p.identifier() && !p.t[p.at].is("null") && !p.t[p.at].is("default") &&
        !(p.at + 1 < p.t.size() && p.t[p.at + 1].is("("))) {
        std::string name = p.t[p.at++].text;
        // a qualified column: keep its last part
        while (p.accept(".")) {
            if (!p.identifier())
                return std::nullopt;
            name = p.t[p.at++].text;
        }
        o.column = column_index(t, name);
        if (!o.column)
            error = invalid_column(name);
        return o;
    }
    auto v = read_literal(p);
    if (!v || v->type == tds_literal::kind::default_value)
        return std::nullopt;
    o.literal = std::move(*v);
    return o;
}

// Reads a WHERE condition; the error is a syntax error or an unknown column.
std::optional<tds_answer> read_condition(const tds_fixture_table& t, std::span<const token> tokens,
                                         parser& p, std::vector<comparison>& out) {
    do {
        comparison c;
        std::optional<tds_message> error;
        const bool bracket = p.accept("(");
        auto left = read_operand(t, p, error);
        if (!left)
            return syntax_error(tokens, p.at);
        if (error)
            return error_answer(*error);
        c.left = *left;
        if (p.accept("is")) {
            c.not_null = p.accept("not");
            if (!p.accept("null"))
                return syntax_error(tokens, p.at);
            c.is_null = !c.not_null;
        } else {
            if (!p.accept("="))
                return syntax_error(tokens, p.at);
            auto right = read_operand(t, p, error);
            if (!right)
                return syntax_error(tokens, p.at);
            if (error)
                return error_answer(*error);
            c.right = *right;
        }
        if (bracket && !p.accept(")"))
            return syntax_error(tokens, p.at);
        out.push_back(std::move(c));
    } while (p.accept("and"));
    if (!p.done())
        return syntax_error(tokens, p.at);
    return std::nullopt;
}

// Compares two values of a column's type as the column's collation compares them.
bool same_value(const tds_fixture_table& t, std::size_t column, const tds_value& a,
                const tds_value& b) {
    if (a.null || b.null)
        return false;
    tds_fixture_index one;
    one.columns.push_back(t.columns[column].name);
    std::vector<tds_value> ra(t.columns.size()), rb(t.columns.size());
    ra[column] = a;
    rb[column] = b;
    return key_of(t, one, ra) == key_of(t, one, rb);
}

// Whether a row meets every comparison; an error when a literal cannot be compared.
std::optional<tds_message> matches(const tds_statement_context& ctx, const tds_fixture_table& t,
                                   const std::vector<tds_value>& row,
                                   const std::vector<comparison>& where, bool& result) {
    result = true;
    for (const auto& c : where) {
        if (c.is_null || c.not_null) {
            const bool null = c.left.column ? row[*c.left.column].null
                                            : c.left.literal.type == tds_literal::kind::null;
            if (null != c.is_null)
                result = false;
            continue;
        }
        const operand* col = c.left.column ? &c.left : c.right.column ? &c.right : nullptr;
        const operand* other = col == &c.left ? &c.right : &c.left;
        if (!col) {
            // Two constants, as "a"='x' becomes with QUOTED_IDENTIFIER OFF.
            const tds_literal& a = c.left.literal;
            const tds_literal& b = c.right.literal;
            if (a.type == tds_literal::kind::null || b.type == tds_literal::kind::null) {
                result = false;
                continue;
            }
            if ((a.type == tds_literal::kind::string) != (b.type == tds_literal::kind::string)) {
                const tds_literal& s = a.type == tds_literal::kind::string ? a : b;
                decimal_text d;
                if (!read_decimal(s.text, d))
                    return message(245, 16, 1,
                                   "Conversion failed when converting the " +
                                       std::string(s.unicode ? "nvarchar" : "varchar") +
                                       " value '" + s.text + "' to data type int.");
            }
            if (lower(a.text) != lower(b.text))
                result = false;
            continue;
        }
        if (other->column) {
            if (!same_value(t, *col->column, row[*col->column], row[*other->column]))
                result = false;
            continue;
        }
        fitted f = fit(ctx.database, t.columns[*col->column].type, other->literal);
        if (f.error)
            return f.error;
        if (!same_value(t, *col->column, row[*col->column], f.value))
            result = false;
    }
    return std::nullopt;
}

// [WITH (ROWLOCK)] after a table name
bool table_hints(parser& p) {
    if (!p.accept("with"))
        return true;
    if (!p.accept("("))
        return false;
    while (!p.done() && !p.t[p.at].is(")"))
        ++p.at;
    return p.accept(")");
}

// DELETE [FROM] name [WITH (...)] [WHERE condition]; TRUNCATE TABLE name
std::optional<tds_answer> delete_rows(const tds_statement_context& ctx,
                                      std::span<const token> tokens) {
    parser p{tokens};
    const bool truncate = p.accept("truncate");
    if (truncate) {
        if (!p.accept("table"))
            return std::nullopt;
    } else if (!p.accept("delete")) {
        return std::nullopt;
    } else {
        p.accept("from");
    }
    auto target = read_target(ctx, p);
    if (!target)
        return syntax_error(tokens, p.at);
    if (!truncate && !table_hints(p))
        return syntax_error(tokens, p.at);
    std::vector<comparison> where;
    const bool filtered = !truncate && p.accept("where");
    if (!filtered && !p.done())
        return syntax_error(tokens, p.at);
    if (filtered && p.done())
        return syntax_error(tokens, p.at);
    if (!target->table)
        return error_answer(invalid_object(target->written));
    tds_fixture_table& t = *target->table;
    if (filtered)
        if (auto e = read_condition(t, tokens, p, where))
            return e;
    if (!writable(t))
        return error_answer(cannot_write(t));
    std::vector<std::vector<tds_value>> kept;
    std::uint64_t removed = 0;
    for (auto& row : t.rows) {
        bool hit = true;
        if (auto e = matches(ctx, t, row, where, hit))
            return error_answer(*e);
        if (hit)
            ++removed;
        else
            kept.push_back(std::move(row));
    }
    t.rows = std::move(kept);
    state_of(t).keys_valid = false;
    tds_answer a;
    if (!truncate)
        a.affected = removed;
    return a;
}

// UPDATE name SET col = value, ... [WHERE condition]
std::optional<tds_answer> update_rows(const tds_statement_context& ctx,
                                      std::span<const token> tokens) {
    parser p{tokens};
    if (!p.accept("update"))
        return std::nullopt;
    auto target = read_target(ctx, p);
    if (!target || !table_hints(p) || !p.accept("set"))
        return syntax_error(tokens, p.at);
    struct assignment {
        std::string name;
        tds_literal value;
    };
    std::vector<assignment> sets;
    do {
        if (!p.identifier() || p.t[p.at].is("where"))
            return syntax_error(tokens, p.at);
        assignment a;
        a.name = p.t[p.at++].text;
        if (!p.accept("="))
            return syntax_error(tokens, p.at);
        auto v = read_literal(p);
        if (!v)
            return syntax_error(tokens, p.at);
        a.value = std::move(*v);
        sets.push_back(std::move(a));
    } while (p.accept(","));
    std::vector<comparison> where;
    const bool filtered = p.accept("where");
    if (filtered && p.done())
        return syntax_error(tokens, p.at);
    if (!filtered && !p.done())
        return syntax_error(tokens, p.at);
    if (!target->table)
        return error_answer(invalid_object(target->written));
    tds_fixture_table& t = *target->table;
    std::vector<std::size_t> columns;
    for (const auto& s : sets) {
        auto at = column_index(t, s.name);
        if (!at)
            return error_answer(invalid_column(s.name));
        const tds_fixture_column& c = t.columns[*at];
        if (c.identity)
            return error_answer(
                message(8102, 16, 1, "Cannot update identity column '" + c.name + "'."));
        if (c.type.kind == tds_type_kind::rowversion)
            return error_answer(message(272, 16, 1, "Cannot update a timestamp column."));
        if (!c.computed_definition.empty())
            return error_answer(message(271, 16, 1,
                                        "The column \"" + c.name +
                                            "\" cannot be modified because it is either a "
                                            "computed column or is the result of a UNION "
                                            "operator."));
        columns.push_back(*at);
    }
    if (filtered)
        if (auto e = read_condition(t, tokens, p, where))
            return e;
    if (!writable(t))
        return error_answer(cannot_write(t));
    std::vector<std::vector<tds_value>> rows = t.rows;
    std::uint64_t changed = 0;
    const auto version = rowversion_column(t);
    for (auto& row : rows) {
        bool hit = true;
        if (auto e = matches(ctx, t, row, where, hit))
            return error_answer(*e);
        if (!hit)
            continue;
        ++changed;
        for (std::size_t k = 0; k < sets.size(); ++k) {
            const std::size_t i = columns[k];
            tds_literal value = sets[k].value;
            if (value.type == tds_literal::kind::default_value) {
                auto d = t.columns[i].default_definition.empty()
                             ? std::optional<tds_literal>(tds_literal{})
                             : evaluate_default(t.columns[i].default_definition);
                if (!d)
                    return error_answer(message(50000, 16, 1,
                                                "The TDS test server cannot evaluate the default "
                                                "of column '" +
                                                    t.columns[i].name + "'."));
                value = *d;
            }
            fitted f = fit(ctx.database, t.columns[i].type, value);
            if (f.error)
                return error_answer(*f.error);
            if (f.value.null && !t.columns[i].nullable)
                return error_answer(message(515, 16, 2,
                                            "Cannot insert the value NULL into column '" +
                                                t.columns[i].name + "', table '" +
                                                full_name(*target->database, t) +
                                                "'; column does not allow nulls. UPDATE fails."));
            if (auto e = check_length(ctx, *target->database, t, i, f.value,
                                      tds_write_path::statement, k))
                return error_answer(*e);
            std::string scratch;
            try {
                tds_append_value(scratch, t.columns[i].type, f.value);
            } catch (const std::invalid_argument&) {
                return error_answer(overflow(t.columns[i].type));
            }
            row[i] = std::move(f.value);
        }
        if (version)
            row[*version].data = next_rowversion();
    }
    // The new rows must keep every unique index unique.
    auto indexes = unique_indexes(t);
    for (const auto* index : indexes) {
        std::unordered_set<std::string> seen;
        for (const auto& row : rows)
            if (!seen.insert(key_of(t, *index, row)).second)
                return error_answer(duplicate(t, *index, row));
    }
    t.rows = std::move(rows);
    state_of(t).keys_valid = false;
    tds_answer a;
    a.affected = changed;
    return a;
}

// ---- CREATE TABLE and DROP TABLE ----

bool ends_definition(const token& t) {
    return t.is(",") || t.is(")") || t.is("not") || t.is("null") || t.is("constraint") ||
           t.is("primary") || t.is("unique") || t.is("identity") || t.is("collate") ||
           t.is("default") || t.is("check") || t.is("references") || t.is("foreign") ||
           t.is("rowguidcol") || t.is("persisted");
}

// The text of tokens [from, to) as the statement wrote them.
std::string source_text(std::string_view statement, std::span<const token> tokens, std::size_t from,
                        std::size_t to) {
    if (from >= to)
        return {};
    return std::string(
        statement.substr(tokens[from].begin, tokens[to - 1].end - tokens[from].begin));
}

// A parenthesised expression or a token run up to the next clause; returns its end.
std::size_t expression_end(std::span<const token> tokens, std::size_t at) {
    int depth = 0;
    std::size_t i = at;
    for (; i < tokens.size(); ++i) {
        if (tokens[i].is("("))
            ++depth;
        else if (tokens[i].is(")")) {
            if (depth == 0)
                break;
            --depth;
        } else if (depth == 0 && i > at && ends_definition(tokens[i]))
            break;
        else if (depth == 0 && tokens[i].is(","))
            break;
    }
    return i;
}

// The key columns of "PRIMARY KEY [CLUSTERED|NONCLUSTERED] (a [ASC|DESC], ...)".
bool key_columns(parser& p, tds_fixture_index& index) {
    p.accept("clustered") || p.accept("nonclustered");
    if (!p.accept("("))
        return false;
    do {
        if (!p.identifier())
            return false;
        index.columns.push_back(p.t[p.at++].text);
        const bool descending = p.accept("desc");
        if (!descending)
            p.accept("asc");
        index.descending.push_back(descending);
    } while (p.accept(","));
    return p.accept(")");
}

std::string constraint_name(const std::string& given, const char* prefix,
                            const tds_fixture_table& t) {
    if (!given.empty())
        return given;
    static std::atomic<unsigned> counter{0x1A2B3C4D};
    char suffix[20];
    std::snprintf(suffix, sizeof suffix, "%08X", counter.fetch_add(0x10203));
    return std::string(prefix) + "__" + t.name.substr(0, 8) + "__" + suffix;
}

// CREATE TABLE name (column definitions and table constraints)
std::optional<tds_answer> create_table(const tds_statement_context& ctx,
                                       std::span<const token> tokens, std::string_view text) {
    parser p{tokens};
    if (!(p.accept("create") && p.accept("table")))
        return std::nullopt;
    auto target = read_target(ctx, p);
    if (!target)
        return syntax_error(tokens, p.at);
    if (!p.accept("("))
        return syntax_error(tokens, p.at);
    if (!target->database)
        return error_answer(
            message(2702, 16, 2,
                    "Database '" + tds_split_name(target->written).front() + "' does not exist."));
    tds_fixture_database& db = *target->database;
    if (target->table || db.find_view(target->schema, target->name))
        return error_answer(
            message(2714, 16, 6,
                    "There is already an object named '" + target->name + "' in the database."));
    bool schema_known = false;
    for (const auto& s : db.schemas)
        schema_known |= tds_same_name(s, target->schema);
    if (!schema_known)
        return error_answer(message(2760, 16, 1,
                                    "The specified schema name \"" + target->schema +
                                        "\" either does not exist or you do not have permission "
                                        "to use it."));
    tds_fixture_table t;
    t.schema = target->schema;
    t.name = target->name;
    for (const auto& s : db.schemas)
        if (tds_same_name(s, t.schema))
            t.schema = s;
    do {
        std::string constraint;
        if (p.accept("constraint")) {
            if (!p.identifier())
                return syntax_error(tokens, p.at);
            constraint = p.t[p.at++].text;
        }
        const bool primary = p.accept("primary");
        if (primary || p.accept("unique")) {
            tds_fixture_index index;
            index.primary_key = primary;
            index.unique = true;
            index.constraint = true;
            if ((primary && !p.accept("key")) || !key_columns(p, index))
                return syntax_error(tokens, p.at);
            index.name = constraint_name(constraint, primary ? "PK" : "UQ", t);
            t.indexes.push_back(std::move(index));
            continue;
        }
        if (!constraint.empty() || !p.identifier())
            return syntax_error(tokens, p.at);
        tds_fixture_column c;
        c.name = p.t[p.at++].text;
        for (const auto& other : t.columns)
            if (tds_same_name(other.name, c.name))
                return error_answer(message(2705, 16, 3,
                                            "Column names in each table must be unique. Column "
                                            "name '" +
                                                c.name + "' in table '" + target->written +
                                                "' is specified more than once."));
        if (p.accept("as")) {
            // A computed column: AS expression [PERSISTED]
            const std::size_t from = p.at;
            const std::size_t to = expression_end(tokens, from);
            if (to == from)
                return syntax_error(tokens, p.at);
            std::string expression = source_text(text, tokens, from, to);
            c.computed_definition = expression.front() == '(' ? expression : "(" + expression + ")";
            c.type = tds_parse_type("int", db.collation);
            p.at = to;
            p.accept("persisted");
            t.columns.push_back(std::move(c));
            continue;
        }
        std::string type_text;
        if (!p.identifier())
            return syntax_error(tokens, p.at);
        type_text = p.t[p.at++].text;
        if (p.accept("(")) {
            type_text += "(";
            while (!p.done() && !p.t[p.at].is(")"))
                type_text += p.t[p.at++].text;
            if (!p.accept(")"))
                return syntax_error(tokens, p.at);
            type_text += ")";
        }
        std::string collation;
        bool explicit_null = false;
        for (;;) {
            if (p.accept("collate")) {
                if (!p.identifier())
                    return syntax_error(tokens, p.at);
                collation = p.t[p.at++].text;
            } else if (p.accept("not")) {
                if (!p.accept("null"))
                    return syntax_error(tokens, p.at);
                c.nullable = false;
            } else if (p.accept("null")) {
                explicit_null = true;
            } else if (p.accept("identity")) {
                c.identity = true;
                c.nullable = false;
                if (p.accept("(")) {
                    auto seed = read_literal(p);
                    if (!seed || !p.accept(","))
                        return syntax_error(tokens, p.at);
                    auto step = read_literal(p);
                    if (!step || !p.accept(")"))
                        return syntax_error(tokens, p.at);
                    try {
                        c.identity_seed = std::stoll(seed->text);
                        c.identity_increment = std::stoll(step->text);
                    } catch (const std::exception&) {
                        return syntax_error(tokens, p.at);
                    }
                }
            } else if (p.accept("default")) {
                const std::size_t from = p.at;
                const std::size_t to = expression_end(tokens, from);
                if (to == from)
                    return syntax_error(tokens, p.at);
                std::string expression = source_text(text, tokens, from, to);
                parser probe{tokens.subspan(from, to - from)};
                auto number = read_literal(probe);
                if (tds_same_name(expression, "current_timestamp"))
                    expression = "getdate()";
                const bool numeric =
                    number && probe.done() && number->type == tds_literal::kind::number;
                c.default_definition = numeric ? "((" + expression + "))" : "(" + expression + ")";
                p.at = to;
            } else if (p.accept("constraint")) {
                if (!p.identifier())
                    return syntax_error(tokens, p.at);
                constraint = p.t[p.at++].text;
            } else if (p.accept("primary") || (!p.done() && p.t[p.at].is("unique"))) {
                const bool primary_key = !p.accept("unique");
                if (primary_key && !p.accept("key"))
                    return syntax_error(tokens, p.at);
                p.accept("clustered") || p.accept("nonclustered");
                tds_fixture_index index;
                index.primary_key = primary_key;
                index.unique = true;
                index.constraint = true;
                index.columns.push_back(c.name);
                index.descending.push_back(false);
                index.name = constraint_name(constraint, primary_key ? "PK" : "UQ", t);
                constraint.clear();
                if (primary_key)
                    c.nullable = false;
                t.indexes.push_back(std::move(index));
            } else if (p.accept("rowguidcol")) {
            } else {
                break;
            }
        }
        try {
            c.type = tds_parse_type(
                collation.empty() ? type_text : type_text + " collate " + collation, db.collation);
        } catch (const std::invalid_argument&) {
            return error_answer(message(2715, 16, 6,
                                        "Column, parameter, or variable #" +
                                            std::to_string(t.columns.size() + 1) +
                                            ": Cannot find data type " + type_text + "."));
        }
        if (c.type.kind == tds_type_kind::rowversion) {
            if (rowversion_column(t))
                return error_answer(message(2738, 16, 2,
                                            "A table can only have one timestamp column. Because "
                                            "table '" +
                                                t.name + "' already has one, the column '" +
                                                c.name + "' cannot be added."));
            c.nullable = explicit_null;
        }
        if (c.identity && identity_column(t))
            return error_answer(message(2744, 16, 2,
                                        "Multiple identity columns specified for table '" + t.name +
                                            "'. Only one identity column per table is "
                                            "allowed."));
        t.columns.push_back(std::move(c));
    } while (p.accept(","));
    if (!p.accept(")") || !p.done())
        return syntax_error(tokens, p.at);
    for (auto& index : t.indexes) {
        for (const auto& name : index.columns) {
            auto at = column_index(t, name);
            if (!at)
                return error_answer(message(1911, 16, 1,
                                            "Column name '" + name +
                                                "' does not exist in the target table or view."));
            if (index.primary_key)
                t.columns[*at].nullable = false;
        }
    }
    db.tables.push_back(std::move(t));
    return tds_answer{};
}

// DROP TABLE [IF EXISTS] name[, name]
std::optional<tds_answer> drop_table(const tds_statement_context& ctx,
                                     std::span<const token> tokens) {
    parser p{tokens};
    if (!(p.accept("drop") && p.accept("table")))
        return std::nullopt;
    const std::size_t start = p.at;
    const bool if_exists = p.accept("if") && p.accept("exists");
    if (!if_exists)
        p.at = start;
    std::vector<target> targets;
    do {
        auto target = read_target(ctx, p);
        if (!target)
            return syntax_error(tokens, p.at);
        targets.push_back(std::move(*target));
    } while (p.accept(","));
    if (!p.done())
        return syntax_error(tokens, p.at);
    for (auto& target : targets) {
        if (!target.table) {
            if (if_exists)
                continue;
            return error_answer(message(3701, 11, 5,
                                        "Cannot drop the table '" + target.written +
                                            "', because it does not exist or you do not have "
                                            "permission."));
        }
        tds_fixture_database& db = *target.database;
        for (auto it = db.tables.begin(); it != db.tables.end(); ++it) {
            if (&*it != target.table)
                continue;
            if (ctx.session && ctx.session->identity_insert == target.table) {
                ctx.session->identity_insert = nullptr;
                ctx.session->identity_insert_name.clear();
            }
            // Kept alive: a result may still be streaming from it.
            db.dropped_tables.splice(db.dropped_tables.end(), db.tables, it);
            break;
        }
    }
    return tds_answer{};
}

// INSERT BULK name (col type, ...) [WITH (options)]: the BULKLOAD message that follows brings
// the rows.
std::optional<tds_answer> insert_bulk(const tds_statement_context& ctx,
                                      std::span<const token> tokens) {
    parser p{tokens};
    if (!(p.accept("insert") && p.accept("bulk")))
        return std::nullopt;
    auto target = read_target(ctx, p);
    if (!target)
        return syntax_error(tokens, p.at);
    std::vector<std::string> names;
    if (p.accept("(")) {
        do {
            if (!p.identifier())
                return syntax_error(tokens, p.at);
            names.push_back(p.t[p.at++].text);
            // the column's type, up to the next comma outside parentheses
            int depth = 0;
            while (!p.done() && !(depth == 0 && (p.t[p.at].is(",") || p.t[p.at].is(")")))) {
                if (p.t[p.at].is("("))
                    ++depth;
                else if (p.t[p.at].is(")"))
                    --depth;
                ++p.at;
            }
        } while (p.accept(","));
        if (!p.accept(")"))
            return syntax_error(tokens, p.at);
    }
    tds_session_state::bulk_target bulk;
    if (p.accept("with")) {
        if (!p.accept("("))
            return syntax_error(tokens, p.at);
        int depth = 0;
        while (!p.done() && !(depth == 0 && p.t[p.at].is(")"))) {
            if (p.t[p.at].is("("))
                ++depth;
            else if (p.t[p.at].is(")"))
                --depth;
            bulk.keep_identity |= p.t[p.at].is("keep_identity") || p.t[p.at].is("keepidentity");
            bulk.keep_nulls |= p.t[p.at].is("keep_nulls") || p.t[p.at].is("keepnulls");
            ++p.at;
        }
        if (!p.accept(")"))
            return syntax_error(tokens, p.at);
    }
    if (!p.done())
        return syntax_error(tokens, p.at);
    if (!target->table)
        return error_answer(invalid_object(target->written));
    for (const auto& n : names) {
        auto at = column_index(*target->table, n);
        if (!at)
            return error_answer(invalid_column(n));
        bulk.columns.push_back(*at);
    }
    if (names.empty())
        for (std::size_t i = 0; i < target->table->columns.size(); ++i)
            if (target->table->columns[i].computed_definition.empty() &&
                target->table->columns[i].type.kind != tds_type_kind::rowversion)
                bulk.columns.push_back(i);
    bulk.database = target->database;
    bulk.table = target->table;
    bulk.written = target->written;
    // A session's IDENTITY_INSERT does not reach a bulk load: only the KEEP_IDENTITY hint keeps
    // the stream's identity values.
    if (ctx.session)
        ctx.session->bulk = bulk;
    return tds_answer{};
}

} // namespace

std::optional<tds_answer> tds_answer_write(const tds_statement_context& ctx,
                                           std::span<const tds_token> tokens,
                                           std::string_view text) {
    if (tokens.empty())
        return std::nullopt;
    if (auto a = create_table(ctx, tokens, text))
        return a;
    if (auto a = set_identity_insert(ctx, tokens))
        return a;
    if (auto a = set_quoted_identifier(ctx, tokens))
        return a;
    if (auto a = insert_bulk(ctx, tokens))
        return a;
    if (auto a = insert_values(ctx, tokens))
        return a;
    if (auto a = update_rows(ctx, tokens))
        return a;
    if (auto a = delete_rows(ctx, tokens))
        return a;
    if (auto a = drop_table(ctx, tokens))
        return a;
    return std::nullopt;
}
