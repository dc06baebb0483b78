// tds_types: the SQL Server column types the test server serves, their TYPE_INFO and the wire
// encoding of values, as the TDS protocol documentation gives them.
#include "tests/support/tds_server/tds_types.h"

#include "tests/support/tds_server/tds_wire.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <iconv.h>
#include <vector>

namespace {

using tds_bytes::u16;
using tds_bytes::u32;
using tds_bytes::u64;
using tds_bytes::u8;

[[noreturn]] void bad(const std::string& what) {
    throw std::invalid_argument(what);
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

// ---- collations ----

struct collation_entry {
    const char* name;
    std::uint32_t lcid;
    std::uint8_t flags; // ignore case 0x01, accent 0x02, kana 0x04, width 0x08, UTF-8 0x40
    std::uint8_t version;
    std::uint8_t sort_id;
    int code_page;
};

constexpr collation_entry collations[] = {
    {"SQL_Latin1_General_CP1_CI_AS", 0x0409, 0x0D, 0, 52, 1252},
    {"SQL_Latin1_General_CP1_CS_AS", 0x0409, 0x0C, 0, 51, 1252},
    {"Latin1_General_CI_AS", 0x0409, 0x0D, 0, 0, 1252},
    {"Latin1_General_CS_AS", 0x0409, 0x0C, 0, 0, 1252},
    {"Latin1_General_100_CI_AS_SC_UTF8", 0x0409, 0x4D, 2, 0, 65001},
    {"Cyrillic_General_CI_AS", 0x0419, 0x0D, 0, 0, 1251},
    {"Polish_CI_AS", 0x0415, 0x0D, 0, 0, 1250},
    {"Greek_CI_AS", 0x0408, 0x0D, 0, 0, 1253},
    {"Turkish_CI_AS", 0x041F, 0x0D, 0, 0, 1254},
    {"Hebrew_CI_AS", 0x040D, 0x0D, 0, 0, 1255},
    {"Arabic_CI_AS", 0x0401, 0x0D, 0, 0, 1256},
    {"Japanese_CI_AS", 0x0411, 0x0D, 0, 0, 932},
    {"Chinese_PRC_CI_AS", 0x0804, 0x0D, 0, 0, 936},
    {"Korean_Wansung_CI_AS", 0x0412, 0x0D, 0, 0, 949},
};

// ---- text in a column's code page ----

std::string to_code_page(std::string_view utf8, int code_page) {
    if (code_page == 65001)
        return std::string(utf8);
    std::string name = "CP" + std::to_string(code_page);
    iconv_t cd = ::iconv_open(name.c_str(), "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        bad("code page " + std::to_string(code_page) + " is not available");
    std::string out(utf8.size() * 2 + 4, '\0');
    char* in = const_cast<char*>(utf8.data());
    std::size_t in_left = utf8.size();
    char* to = out.data();
    std::size_t to_left = out.size();
    std::size_t r = ::iconv(cd, &in, &in_left, &to, &to_left);
    ::iconv_close(cd);
    if (r == static_cast<std::size_t>(-1))
        bad("text cannot be stored in code page " + std::to_string(code_page));
    out.resize(out.size() - to_left);
    return out;
}

// ---- numbers ----

std::int64_t parse_int(std::string_view text, std::int64_t lo, std::int64_t hi) {
    text = trim(text);
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    std::int64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty())
        bad("not an integer: '" + std::string(text) + "'");
    if (v < lo || v > hi)
        bad("integer out of range: " + std::string(text));
    return v;
}

struct scaled {
    bool negative = false;
    unsigned __int128 magnitude = 0;
    int digits = 0; // significant digits of the unscaled value
};

// Reads a decimal literal as an integer scaled by 10^scale; more fractional digits than the
// scale allows are refused so fixtures say exactly what they mean.
scaled parse_scaled(std::string_view text, int scale, int max_digits) {
    text = trim(text);
    scaled out;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        out.negative = text.front() == '-';
        text.remove_prefix(1);
    }
    std::string_view whole = text, frac;
    if (auto dot = text.find('.'); dot != std::string_view::npos) {
        whole = text.substr(0, dot);
        frac = text.substr(dot + 1);
    }
    if (whole.empty() && frac.empty())
        bad("not a number: '" + std::string(text) + "'");
    if (static_cast<int>(frac.size()) > scale)
        bad("more than " + std::to_string(scale) + " decimals: '" + std::string(text) + "'");
    std::string all(whole);
    all.append(frac);
    all.append(static_cast<std::size_t>(scale) - frac.size(), '0');
    bool started = false;
    for (char c : all) {
        if (c < '0' || c > '9')
            bad("not a number: '" + std::string(text) + "'");
        if (c != '0')
            started = true;
        if (started)
            ++out.digits;
        if (out.digits > max_digits)
            bad("more than " + std::to_string(max_digits) + " digits: '" + std::string(text) + "'");
        out.magnitude = out.magnitude * 10 + static_cast<unsigned>(c - '0');
    }
    if (out.magnitude == 0)
        out.negative = false;
    return out;
}

int decimal_bytes(int precision) {
    if (precision <= 9)
        return 5;
    if (precision <= 19)
        return 9;
    if (precision <= 28)
        return 13;
    return 17;
}

std::string raw_decimal(const tds_type& t, std::string_view text) {
    scaled v = parse_scaled(text, t.scale, t.precision);
    std::string out;
    u8(out, v.negative ? 0 : 1);
    int n = decimal_bytes(t.precision) - 1;
    for (int i = 0; i < n; ++i) {
        u8(out, static_cast<std::uint8_t>(v.magnitude & 0xFF));
        v.magnitude >>= 8;
    }
    return out;
}

std::string raw_money(std::string_view text, bool small) {
    scaled v = parse_scaled(text, 4, 19);
    const unsigned __int128 limit = small ? 2147483647u : static_cast<unsigned __int128>(INT64_MAX);
    if (v.magnitude > limit + (v.negative ? 1 : 0))
        bad("money out of range: " + std::string(text));
    std::int64_t value = v.negative ? static_cast<std::int64_t>(-static_cast<__int128>(v.magnitude))
                                    : static_cast<std::int64_t>(v.magnitude);
    std::string out;
    if (small) {
        u32(out, static_cast<std::uint32_t>(static_cast<std::int32_t>(value)));
        return out;
    }
    auto bits = static_cast<std::uint64_t>(value);
    u32(out, static_cast<std::uint32_t>(bits >> 32));
    u32(out, static_cast<std::uint32_t>(bits & 0xFFFFFFFFu));
    return out;
}

std::string raw_float(std::string_view text, bool single) {
    std::string s(trim(text));
    char* end = nullptr;
    errno = 0;
    std::string out;
    if (single) {
        float f = std::strtof(s.c_str(), &end);
        if (s.empty() || *end != '\0' || !std::isfinite(f))
            bad("not a real: '" + s + "'");
        std::uint32_t bits;
        std::memcpy(&bits, &f, 4);
        u32(out, bits);
        return out;
    }
    double d = std::strtod(s.c_str(), &end);
    if (s.empty() || *end != '\0' || !std::isfinite(d))
        bad("not a float: '" + s + "'");
    std::uint64_t bits;
    std::memcpy(&bits, &d, 8);
    u64(out, bits);
    return out;
}

// ---- dates and times ----

bool leap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int month_days(int y, int m) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap(y) ? 29 : days[m - 1];
}

// Days from 0001-01-01 in the proleptic Gregorian calendar.
std::int64_t day_number(int y, int m, int d) {
    std::int64_t p = y - 1;
    std::int64_t n = p * 365 + p / 4 - p / 100 + p / 400;
    for (int k = 1; k < m; ++k)
        n += month_days(y, k);
    return n + d - 1;
}

constexpr std::int64_t day_1900 = 693595; // day_number(1900, 1, 1)

struct moment {
    std::int64_t day = 0;   // days from 0001-01-01
    std::int64_t ticks = 0; // 100 ns units since midnight
    int fraction_digits = 0;
    int offset_minutes = 0;
};

int digits_at(std::string_view s, std::size_t at, std::size_t count) {
    if (at + count > s.size())
        bad("malformed date or time: '" + std::string(s) + "'");
    int v = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (s[i] < '0' || s[i] > '9')
            bad("malformed date or time: '" + std::string(s) + "'");
        v = v * 10 + (s[i] - '0');
    }
    return v;
}

// "YYYY-MM-DD", at the start of s; returns the characters used.
std::size_t parse_date_part(std::string_view s, std::int64_t& day) {
    std::size_t dash = s.find('-', 1);
    if (dash == std::string_view::npos || dash > 4)
        bad("malformed date: '" + std::string(s) + "'");
    int y = digits_at(s, 0, dash);
    int m = digits_at(s, dash + 1, 2);
    if (dash + 3 >= s.size() || s[dash + 3] != '-')
        bad("malformed date: '" + std::string(s) + "'");
    int d = digits_at(s, dash + 4, 2);
    if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1 || d > month_days(y, m))
        bad("date out of range: '" + std::string(s) + "'");
    day = day_number(y, m, d);
    return dash + 6;
}

// "hh:mm[:ss[.fffffff]]" at the start of s; returns the characters used.
std::size_t parse_time_part(std::string_view s, std::int64_t& ticks, int& fraction_digits) {
    int h = digits_at(s, 0, 2);
    if (s.size() < 5 || s[2] != ':')
        bad("malformed time: '" + std::string(s) + "'");
    int mi = digits_at(s, 3, 2);
    std::size_t at = 5;
    int sec = 0;
    if (at < s.size() && s[at] == ':') {
        sec = digits_at(s, at + 1, 2);
        at += 3;
    }
    std::int64_t frac = 0;
    fraction_digits = 0;
    if (at < s.size() && s[at] == '.') {
        ++at;
        while (at < s.size() && std::isdigit(static_cast<unsigned char>(s[at]))) {
            if (++fraction_digits > 7)
                bad("more than 7 fractional digits: '" + std::string(s) + "'");
            frac = frac * 10 + (s[at] - '0');
            ++at;
        }
    }
    for (int k = fraction_digits; k < 7; ++k)
        frac *= 10;
    if (h > 23 || mi > 59 || sec > 59)
        bad("time out of range: '" + std::string(s) + "'");
    ticks = ((h * 60 + mi) * 60 + sec) * 10000000LL + frac;
    return at;
}

moment parse_moment(std::string_view text, bool want_date, bool want_time, bool want_offset) {
    std::string_view s = trim(text);
    moment m;
    std::size_t at = 0;
    if (want_date) {
        at = parse_date_part(s, m.day);
        if (want_time && at < s.size() && (s[at] == ' ' || s[at] == 'T'))
            ++at;
        else if (want_time && at == s.size())
            return m;
    }
    if (want_time)
        at += parse_time_part(s.substr(at), m.ticks, m.fraction_digits);
    if (want_offset) {
        while (at < s.size() && s[at] == ' ')
            ++at;
        if (at < s.size() && (s[at] == '+' || s[at] == '-')) {
            int sign = s[at] == '-' ? -1 : 1;
            int oh = digits_at(s, at + 1, 2);
            if (at + 3 >= s.size() || s[at + 3] != ':')
                bad("malformed offset: '" + std::string(s) + "'");
            int om = digits_at(s, at + 4, 2);
            if (oh > 14 || om > 59 || oh * 60 + om > 14 * 60)
                bad("offset out of range: '" + std::string(s) + "'");
            m.offset_minutes = sign * (oh * 60 + om);
            at += 6;
        } else if (at < s.size() && s[at] == 'Z') {
            ++at;
        }
    }
    if (at != s.size())
        bad("malformed date or time: '" + std::string(s) + "'");
    return m;
}

std::int64_t pow10(int n) {
    std::int64_t v = 1;
    while (n-- > 0)
        v *= 10;
    return v;
}

int time_bytes(int scale) {
    return scale <= 2 ? 3 : scale <= 4 ? 4 : 5;
}

void put_le(std::string& out, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        u8(out, static_cast<std::uint8_t>(v & 0xFF));
        v >>= 8;
    }
}

std::string raw_time(std::int64_t ticks, int fraction_digits, int scale, std::string_view text) {
    if (fraction_digits > scale)
        bad("more fractional digits than scale " + std::to_string(scale) + ": '" +
            std::string(text) + "'");
    std::string out;
    put_le(out, static_cast<std::uint64_t>(ticks / pow10(7 - scale)), time_bytes(scale));
    return out;
}

std::string raw_datetime(std::string_view text, bool small) {
    moment m = parse_moment(text, true, true, false);
    std::int64_t days = m.day - day_1900;
    std::string out;
    if (small) {
        // Whole milliseconds; 29.998 seconds round down, 29.999 up.
        const std::int64_t ms = m.ticks / 10000;
        std::int64_t minutes = ms / 60000 + (ms % 60000 >= 29999 ? 1 : 0);
        if (minutes == 1440) {
            minutes = 0;
            ++days;
        }
        if (days < 0 || days > 65535)
            bad("smalldatetime out of range: '" + std::string(text) + "'");
        u16(out, static_cast<std::uint16_t>(days));
        u16(out, static_cast<std::uint16_t>(minutes));
        return out;
    }
    if (m.fraction_digits > 3)
        bad("datetime has at most 3 fractional digits: '" + std::string(text) + "'");
    // 1/300 second ticks, rounded as SQL Server rounds milliseconds to .000/.003/.007.
    std::int64_t ms = m.ticks / 10000;
    std::int64_t ticks300 = (ms * 3 + 5) / 10;
    if (ticks300 == 300LL * 86400) {
        ticks300 = 0;
        ++days;
    }
    // The last day's 23:59:59.999 rounds into a year the type does not hold.
    if (m.day < day_number(1753, 1, 1) || day_1900 + days > day_number(9999, 12, 31))
        bad("datetime out of range: '" + std::string(text) + "'");
    u32(out, static_cast<std::uint32_t>(static_cast<std::int32_t>(days)));
    u32(out, static_cast<std::uint32_t>(ticks300));
    return out;
}

std::string raw_guid(std::string_view text) {
    std::string s(trim(text));
    if (s.size() == 38 && s.front() == '{' && s.back() == '}')
        s = s.substr(1, 36);
    if (s.size() != 36 || s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-')
        bad("malformed uniqueidentifier: '" + s + "'");
    std::string hex;
    for (char c : s)
        if (c != '-')
            hex.push_back(c);
    std::vector<std::uint8_t> b;
    for (std::size_t i = 0; i < 32; i += 2) {
        unsigned v = 0;
        auto [end, ec] = std::from_chars(hex.data() + i, hex.data() + i + 2, v, 16);
        if (ec != std::errc() || end != hex.data() + i + 2)
            bad("malformed uniqueidentifier: '" + s + "'");
        b.push_back(static_cast<std::uint8_t>(v));
    }
    static constexpr int order[] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    std::string out;
    for (int i : order)
        u8(out, b[i]);
    return out;
}

std::string raw_bit(std::string_view text) {
    std::string s = lower(trim(text));
    if (s == "1" || s == "true")
        return std::string(1, '\1');
    if (s == "0" || s == "false")
        return std::string(1, '\0');
    bad("not a bit: '" + s + "'");
}

// The value's bytes without any length prefix, for every type that has a fixed or short form.
std::string raw_bytes(const tds_type& t, const tds_value& v) {
    std::string out;
    switch (t.kind) {
    case tds_type_kind::bit:
        return raw_bit(v.data);
    case tds_type_kind::tinyint:
        u8(out, static_cast<std::uint8_t>(parse_int(v.data, 0, 255)));
        return out;
    case tds_type_kind::smallint:
        u16(out, static_cast<std::uint16_t>(parse_int(v.data, -32768, 32767)));
        return out;
    case tds_type_kind::int_:
        u32(out, static_cast<std::uint32_t>(parse_int(v.data, INT32_MIN, INT32_MAX)));
        return out;
    case tds_type_kind::bigint:
        u64(out, static_cast<std::uint64_t>(parse_int(v.data, INT64_MIN, INT64_MAX)));
        return out;
    case tds_type_kind::decimal:
    case tds_type_kind::numeric:
        return raw_decimal(t, v.data);
    case tds_type_kind::money:
        return raw_money(v.data, false);
    case tds_type_kind::smallmoney:
        return raw_money(v.data, true);
    case tds_type_kind::real:
        return raw_float(v.data, true);
    case tds_type_kind::float_:
        return raw_float(v.data, false);
    case tds_type_kind::date: {
        moment m = parse_moment(v.data, true, false, false);
        put_le(out, static_cast<std::uint64_t>(m.day), 3);
        return out;
    }
    case tds_type_kind::time: {
        moment m = parse_moment(v.data, false, true, false);
        return raw_time(m.ticks, m.fraction_digits, t.scale, v.data);
    }
    case tds_type_kind::datetime2: {
        moment m = parse_moment(v.data, true, true, false);
        out = raw_time(m.ticks, m.fraction_digits, t.scale, v.data);
        put_le(out, static_cast<std::uint64_t>(m.day), 3);
        return out;
    }
    case tds_type_kind::datetimeoffset: {
        moment m = parse_moment(v.data, true, true, true);
        // The wire carries UTC and the offset; the client adds the offset back.
        std::int64_t utc = m.day * 864000000000LL + m.ticks - m.offset_minutes * 600000000LL;
        if (utc < 0)
            bad("datetimeoffset out of range: '" + v.data + "'");
        out = raw_time(utc % 864000000000LL, m.fraction_digits, t.scale, v.data);
        put_le(out, static_cast<std::uint64_t>(utc / 864000000000LL), 3);
        u16(out, static_cast<std::uint16_t>(static_cast<std::int16_t>(m.offset_minutes)));
        return out;
    }
    case tds_type_kind::smalldatetime:
        return raw_datetime(v.data, true);
    case tds_type_kind::datetime:
        return raw_datetime(v.data, false);
    case tds_type_kind::uniqueidentifier:
        return raw_guid(v.data);
    case tds_type_kind::char_:
    case tds_type_kind::varchar:
    case tds_type_kind::text:
        out = to_code_page(v.data, t.collation.code_page);
        break;
    case tds_type_kind::nchar:
    case tds_type_kind::nvarchar:
    case tds_type_kind::ntext:
    case tds_type_kind::xml:
        out = tds_utf16le(v.data);
        break;
    case tds_type_kind::binary:
    case tds_type_kind::varbinary:
    case tds_type_kind::image:
    case tds_type_kind::geometry:
    case tds_type_kind::geography:
    case tds_type_kind::hierarchyid:
    case tds_type_kind::rowversion:
        out = v.data;
        break;
    case tds_type_kind::sql_variant:
        bad("sql_variant cannot be nested");
    }
    // Fixed-length text and binary are padded the way SQL Server stores them.
    std::size_t unit =
        (t.kind == tds_type_kind::nchar || t.kind == tds_type_kind::nvarchar) ? 2 : 1;
    if (t.length > 0 && out.size() > static_cast<std::size_t>(t.length) * unit)
        bad("value longer than " + t.sql_name() + " allows");
    if (t.kind == tds_type_kind::char_)
        out.append(t.length - out.size(), ' ');
    if (t.kind == tds_type_kind::nchar)
        while (out.size() < static_cast<std::size_t>(t.length) * 2)
            out.append(std::string("\x20\x00", 2));
    if (t.kind == tds_type_kind::binary)
        out.append(t.length - out.size(), '\0');
    if (t.kind == tds_type_kind::rowversion && out.size() != 8)
        bad("rowversion values are 8 bytes");
    return out;
}

void append_plp(std::string& out, std::string_view data) {
    u64(out, data.size());
    // Chunks of the size SQL Server tends to use; clients must join them.
    constexpr std::size_t chunk = 8000;
    for (std::size_t at = 0; at < data.size(); at += chunk) {
        std::size_t n = std::min(chunk, data.size() - at);
        u32(out, static_cast<std::uint32_t>(n));
        out.append(data.substr(at, n));
    }
    u32(out, 0);
}

std::uint8_t variant_base_type(const tds_type& t) {
    switch (t.kind) {
    case tds_type_kind::bit:
        return 0x32;
    case tds_type_kind::tinyint:
        return 0x30;
    case tds_type_kind::smallint:
        return 0x34;
    case tds_type_kind::int_:
        return 0x38;
    case tds_type_kind::bigint:
        return 0x7F;
    case tds_type_kind::decimal:
        return 0x6A;
    case tds_type_kind::numeric:
        return 0x6C;
    case tds_type_kind::money:
        return 0x3C;
    case tds_type_kind::smallmoney:
        return 0x7A;
    case tds_type_kind::real:
        return 0x3B;
    case tds_type_kind::float_:
        return 0x3E;
    case tds_type_kind::date:
        return 0x28;
    case tds_type_kind::time:
        return 0x29;
    case tds_type_kind::smalldatetime:
        return 0x3A;
    case tds_type_kind::datetime:
        return 0x3D;
    case tds_type_kind::datetime2:
        return 0x2A;
    case tds_type_kind::datetimeoffset:
        return 0x2B;
    case tds_type_kind::char_:
        return 0xAF;
    case tds_type_kind::varchar:
        return 0xA7;
    case tds_type_kind::nchar:
        return 0xEF;
    case tds_type_kind::nvarchar:
        return 0xE7;
    case tds_type_kind::binary:
        return 0xAD;
    case tds_type_kind::varbinary:
        return 0xA5;
    case tds_type_kind::uniqueidentifier:
        return 0x24;
    case tds_type_kind::text:
    case tds_type_kind::ntext:
    case tds_type_kind::image:
    case tds_type_kind::xml:
    case tds_type_kind::geometry:
    case tds_type_kind::geography:
    case tds_type_kind::hierarchyid:
    case tds_type_kind::sql_variant:
    case tds_type_kind::rowversion:
        break;
    }
    bad("a sql_variant cannot hold " + t.sql_name());
}

void append_variant(std::string& out, const tds_value& v) {
    if (v.null) {
        u32(out, 0);
        return;
    }
    tds_type base = tds_parse_type(v.variant_type, tds_default_collation());
    if (base.length < 0 || base.length > 8000)
        bad("a sql_variant cannot hold " + base.sql_name());
    std::uint8_t code = variant_base_type(base);
    std::string props;
    switch (base.kind) {
    case tds_type_kind::decimal:
    case tds_type_kind::numeric:
        u8(props, static_cast<std::uint8_t>(base.precision));
        u8(props, static_cast<std::uint8_t>(base.scale));
        break;
    case tds_type_kind::time:
    case tds_type_kind::datetime2:
    case tds_type_kind::datetimeoffset:
        u8(props, static_cast<std::uint8_t>(base.scale));
        break;
    case tds_type_kind::char_:
    case tds_type_kind::varchar:
    case tds_type_kind::nchar:
    case tds_type_kind::nvarchar:
        props.append(reinterpret_cast<const char*>(base.collation.bytes.data()), 5);
        u16(props,
            static_cast<std::uint16_t>(base.length * (base.kind == tds_type_kind::nchar ||
                                                              base.kind == tds_type_kind::nvarchar
                                                          ? 2
                                                          : 1)));
        break;
    case tds_type_kind::binary:
    case tds_type_kind::varbinary:
        u16(props, static_cast<std::uint16_t>(base.length));
        break;
    default:
        break;
    }
    tds_value inner{false, v.data, {}, {}};
    std::string data = raw_bytes(base, inner);
    u32(out, static_cast<std::uint32_t>(2 + props.size() + data.size()));
    u8(out, code);
    u8(out, static_cast<std::uint8_t>(props.size()));
    out += props;
    out += data;
}

struct udt_info {
    const char* name;
    const char* assembly;
};

udt_info udt_of(tds_type_kind kind) {
    static constexpr const char* types_assembly =
        "Microsoft.SqlServer.Types, Version=11.0.0.0, Culture=neutral, "
        "PublicKeyToken=89845dcd8080cc91";
    static const std::string geometry =
        std::string("Microsoft.SqlServer.Types.SqlGeometry, ") + types_assembly;
    static const std::string geography =
        std::string("Microsoft.SqlServer.Types.SqlGeography, ") + types_assembly;
    static const std::string hierarchyid =
        std::string("Microsoft.SqlServer.Types.SqlHierarchyId, ") + types_assembly;
    if (kind == tds_type_kind::geometry)
        return {"geometry", geometry.c_str()};
    if (kind == tds_type_kind::geography)
        return {"geography", geography.c_str()};
    return {"hierarchyid", hierarchyid.c_str()};
}

struct type_name_entry {
    const char* name;
    tds_type_kind kind;
};

constexpr type_name_entry type_names[] = {
    {"bit", tds_type_kind::bit},
    {"tinyint", tds_type_kind::tinyint},
    {"smallint", tds_type_kind::smallint},
    {"int", tds_type_kind::int_},
    {"bigint", tds_type_kind::bigint},
    {"decimal", tds_type_kind::decimal},
    {"numeric", tds_type_kind::numeric},
    {"money", tds_type_kind::money},
    {"smallmoney", tds_type_kind::smallmoney},
    {"real", tds_type_kind::real},
    {"float", tds_type_kind::float_},
    {"date", tds_type_kind::date},
    {"time", tds_type_kind::time},
    {"smalldatetime", tds_type_kind::smalldatetime},
    {"datetime", tds_type_kind::datetime},
    {"datetime2", tds_type_kind::datetime2},
    {"datetimeoffset", tds_type_kind::datetimeoffset},
    {"char", tds_type_kind::char_},
    {"varchar", tds_type_kind::varchar},
    {"nchar", tds_type_kind::nchar},
    {"nvarchar", tds_type_kind::nvarchar},
    {"text", tds_type_kind::text},
    {"ntext", tds_type_kind::ntext},
    {"binary", tds_type_kind::binary},
    {"varbinary", tds_type_kind::varbinary},
    {"image", tds_type_kind::image},
    {"uniqueidentifier", tds_type_kind::uniqueidentifier},
    {"xml", tds_type_kind::xml},
    {"geometry", tds_type_kind::geometry},
    {"geography", tds_type_kind::geography},
    {"hierarchyid", tds_type_kind::hierarchyid},
    {"sql_variant", tds_type_kind::sql_variant},
    {"rowversion", tds_type_kind::rowversion},
    {"timestamp", tds_type_kind::rowversion},
};

} // namespace

tds_collation tds_find_collation(std::string_view name) {
    for (const auto& c : collations) {
        if (lower(c.name) != lower(trim(name)))
            continue;
        tds_collation out;
        out.name = c.name;
        std::uint32_t info = c.lcid | (static_cast<std::uint32_t>(c.flags) << 20) |
                             (static_cast<std::uint32_t>(c.version) << 28);
        out.bytes = {static_cast<std::uint8_t>(info & 0xFF),
                     static_cast<std::uint8_t>((info >> 8) & 0xFF),
                     static_cast<std::uint8_t>((info >> 16) & 0xFF),
                     static_cast<std::uint8_t>(info >> 24), c.sort_id};
        out.code_page = c.code_page;
        return out;
    }
    bad("unknown collation '" + std::string(name) + "'");
}

tds_collation tds_default_collation() {
    return tds_find_collation("SQL_Latin1_General_CP1_CI_AS");
}

std::string tds_type::base_name() const {
    if (kind == tds_type_kind::rowversion)
        return "timestamp";
    for (const auto& e : type_names)
        if (e.kind == kind)
            return e.name;
    return "?";
}

std::string tds_type::sql_name() const {
    std::string name = base_name();
    switch (kind) {
    case tds_type_kind::decimal:
    case tds_type_kind::numeric:
        return name + "(" + std::to_string(precision) + "," + std::to_string(scale) + ")";
    case tds_type_kind::time:
    case tds_type_kind::datetime2:
    case tds_type_kind::datetimeoffset:
        return name + "(" + std::to_string(scale) + ")";
    case tds_type_kind::char_:
    case tds_type_kind::varchar:
    case tds_type_kind::nchar:
    case tds_type_kind::nvarchar:
    case tds_type_kind::binary:
    case tds_type_kind::varbinary:
        return name + "(" + (length < 0 ? std::string("max") : std::to_string(length)) + ")";
    default:
        return name;
    }
}

bool tds_type::is_text() const {
    switch (kind) {
    case tds_type_kind::char_:
    case tds_type_kind::varchar:
    case tds_type_kind::nchar:
    case tds_type_kind::nvarchar:
    case tds_type_kind::text:
    case tds_type_kind::ntext:
        return true;
    default:
        return false;
    }
}

bool tds_type::is_plp() const {
    switch (kind) {
    case tds_type_kind::varchar:
    case tds_type_kind::nvarchar:
    case tds_type_kind::varbinary:
        return length < 0;
    case tds_type_kind::xml:
    case tds_type_kind::geometry:
    case tds_type_kind::geography:
    case tds_type_kind::hierarchyid:
        return true;
    default:
        return false;
    }
}

bool tds_type::is_legacy_lob() const {
    return kind == tds_type_kind::text || kind == tds_type_kind::ntext ||
           kind == tds_type_kind::image;
}

tds_type tds_parse_type(std::string_view spec, const tds_collation& default_collation) {
    std::string_view s = trim(spec);
    std::string_view collate;
    std::string low = lower(s);
    if (auto at = low.find(" collate "); at != std::string::npos) {
        collate = trim(s.substr(at + 9));
        s = trim(s.substr(0, at));
    }
    std::string_view name = s, args;
    if (auto open = s.find('('); open != std::string_view::npos) {
        if (s.back() != ')')
            bad("malformed type '" + std::string(spec) + "'");
        name = trim(s.substr(0, open));
        args = trim(s.substr(open + 1, s.size() - open - 2));
    }
    tds_type t;
    bool found = false;
    for (const auto& e : type_names) {
        if (lower(name) == e.name) {
            t.kind = e.kind;
            found = true;
            break;
        }
    }
    if (!found)
        bad("unknown type '" + std::string(spec) + "'");

    std::vector<std::string> parts;
    if (!args.empty()) {
        std::size_t at = 0;
        while (at <= args.size()) {
            std::size_t comma = args.find(',', at);
            if (comma == std::string_view::npos)
                comma = args.size();
            parts.emplace_back(trim(args.substr(at, comma - at)));
            at = comma + 1;
        }
    }
    auto number = [&](std::size_t i, int lo, int hi) {
        return static_cast<int>(parse_int(parts.at(i), lo, hi));
    };
    switch (t.kind) {
    case tds_type_kind::decimal:
    case tds_type_kind::numeric:
        if (parts.size() > 2)
            bad("malformed type '" + std::string(spec) + "'");
        t.precision = parts.empty() ? 18 : number(0, 1, 38);
        t.scale = parts.size() < 2 ? 0 : number(1, 0, t.precision);
        break;
    case tds_type_kind::time:
    case tds_type_kind::datetime2:
    case tds_type_kind::datetimeoffset:
        if (parts.size() > 1)
            bad("malformed type '" + std::string(spec) + "'");
        t.scale = parts.empty() ? 7 : number(0, 0, 7);
        break;
    case tds_type_kind::char_:
    case tds_type_kind::varchar:
    case tds_type_kind::binary:
    case tds_type_kind::varbinary:
    case tds_type_kind::nchar:
    case tds_type_kind::nvarchar: {
        bool wide = t.kind == tds_type_kind::nchar || t.kind == tds_type_kind::nvarchar;
        bool fixed = t.kind == tds_type_kind::char_ || t.kind == tds_type_kind::nchar ||
                     t.kind == tds_type_kind::binary;
        if (parts.size() > 1)
            bad("malformed type '" + std::string(spec) + "'");
        if (!parts.empty() && lower(parts[0]) == "max") {
            if (fixed)
                bad("malformed type '" + std::string(spec) + "'");
            t.length = -1;
        } else {
            t.length = parts.empty() ? 1 : number(0, 1, wide ? 4000 : 8000);
        }
        break;
    }
    case tds_type_kind::float_:
        // float(n) up to 24 is real, as in T-SQL.
        if (parts.size() == 1 && number(0, 1, 53) <= 24)
            t.kind = tds_type_kind::real;
        else if (parts.size() > 1)
            bad("malformed type '" + std::string(spec) + "'");
        break;
    default:
        if (!parts.empty())
            bad("type '" + std::string(name) + "' takes no arguments");
        break;
    }
    if (t.kind == tds_type_kind::rowversion)
        t.length = 8;
    if (t.is_text())
        t.collation = collate.empty() ? default_collation : tds_find_collation(collate);
    else if (!collate.empty())
        bad("COLLATE on a type that holds no text: '" + std::string(spec) + "'");
    return t;
}

std::uint32_t tds_user_type(const tds_type& type) {
    return type.kind == tds_type_kind::rowversion ? 80 : 0;
}

void tds_append_type_info(std::string& out, const tds_type& t) {
    auto collation = [&] {
        out.append(reinterpret_cast<const char*>(t.collation.bytes.data()), 5);
    };
    auto u16_length = [&](int unit) {
        u16(out, t.length < 0 ? 0xFFFF : static_cast<std::uint16_t>(t.length * unit));
    };
    switch (t.kind) {
    case tds_type_kind::bit:
        u8(out, 0x68);
        u8(out, 1);
        return;
    case tds_type_kind::tinyint:
    case tds_type_kind::smallint:
    case tds_type_kind::int_:
    case tds_type_kind::bigint:
        u8(out, 0x26);
        u8(out, t.kind == tds_type_kind::tinyint    ? 1
                : t.kind == tds_type_kind::smallint ? 2
                : t.kind == tds_type_kind::int_     ? 4
                                                    : 8);
        return;
    case tds_type_kind::decimal:
    case tds_type_kind::numeric:
        u8(out, t.kind == tds_type_kind::decimal ? 0x6A : 0x6C);
        u8(out, static_cast<std::uint8_t>(decimal_bytes(t.precision)));
        u8(out, static_cast<std::uint8_t>(t.precision));
        u8(out, static_cast<std::uint8_t>(t.scale));
        return;
    case tds_type_kind::money:
    case tds_type_kind::smallmoney:
        u8(out, 0x6E);
        u8(out, t.kind == tds_type_kind::money ? 8 : 4);
        return;
    case tds_type_kind::real:
    case tds_type_kind::float_:
        u8(out, 0x6D);
        u8(out, t.kind == tds_type_kind::float_ ? 8 : 4);
        return;
    case tds_type_kind::date:
        u8(out, 0x28);
        return;
    case tds_type_kind::time:
    case tds_type_kind::datetime2:
    case tds_type_kind::datetimeoffset:
        u8(out, t.kind == tds_type_kind::time        ? 0x29
                : t.kind == tds_type_kind::datetime2 ? 0x2A
                                                     : 0x2B);
        u8(out, static_cast<std::uint8_t>(t.scale));
        return;
    case tds_type_kind::smalldatetime:
    case tds_type_kind::datetime:
        u8(out, 0x6F);
        u8(out, t.kind == tds_type_kind::datetime ? 8 : 4);
        return;
    case tds_type_kind::char_:
        u8(out, 0xAF);
        u16_length(1);
        collation();
        return;
    case tds_type_kind::varchar:
        u8(out, 0xA7);
        u16_length(1);
        collation();
        return;
    case tds_type_kind::nchar:
        u8(out, 0xEF);
        u16_length(2);
        collation();
        return;
    case tds_type_kind::nvarchar:
        u8(out, 0xE7);
        u16_length(2);
        collation();
        return;
    case tds_type_kind::text:
        u8(out, 0x23);
        u32(out, 0x7FFFFFFF);
        collation();
        return;
    case tds_type_kind::ntext:
        u8(out, 0x63);
        u32(out, 0x7FFFFFFE);
        collation();
        return;
    case tds_type_kind::image:
        u8(out, 0x22);
        u32(out, 0x7FFFFFFF);
        return;
    case tds_type_kind::binary:
        u8(out, 0xAD);
        u16_length(1);
        return;
    case tds_type_kind::varbinary:
        u8(out, 0xA5);
        u16_length(1);
        return;
    case tds_type_kind::rowversion:
        u8(out, 0xAD);
        u16(out, 8);
        return;
    case tds_type_kind::uniqueidentifier:
        u8(out, 0x24);
        u8(out, 16);
        return;
    case tds_type_kind::xml:
        u8(out, 0xF1);
        u8(out, 0); // no schema collection
        return;
    case tds_type_kind::geometry:
    case tds_type_kind::geography:
    case tds_type_kind::hierarchyid: {
        udt_info udt = udt_of(t.kind);
        u8(out, 0xF0);
        u16(out, 0xFFFF);
        tds_b_varchar(out, "");
        tds_b_varchar(out, "sys");
        tds_b_varchar(out, udt.name);
        tds_us_varchar(out, udt.assembly);
        return;
    }
    case tds_type_kind::sql_variant:
        u8(out, 0x62);
        u32(out, 8016);
        return;
    }
}

void tds_append_value(std::string& out, const tds_type& t, const tds_value& v) {
    if (t.kind == tds_type_kind::sql_variant) {
        append_variant(out, v);
        return;
    }
    if (t.is_plp()) {
        if (v.null) {
            u64(out, ~0ULL);
            return;
        }
        append_plp(out, raw_bytes(t, v));
        return;
    }
    if (t.is_legacy_lob()) {
        if (v.null) {
            u8(out, 0);
            return;
        }
        std::string data = raw_bytes(t, v);
        u8(out, 16);
        out.append(16, '\x11'); // text pointer; the client only hands it back, never reads it
        out.append(8, '\x22');  // text timestamp
        u32(out, static_cast<std::uint32_t>(data.size()));
        out += data;
        return;
    }
    switch (t.kind) {
    case tds_type_kind::char_:
    case tds_type_kind::varchar:
    case tds_type_kind::nchar:
    case tds_type_kind::nvarchar:
    case tds_type_kind::binary:
    case tds_type_kind::varbinary:
    case tds_type_kind::rowversion: {
        if (v.null) {
            u16(out, 0xFFFF);
            return;
        }
        std::string data = raw_bytes(t, v);
        u16(out, static_cast<std::uint16_t>(data.size()));
        out += data;
        return;
    }
    default:
        break;
    }
    if (v.null) {
        u8(out, 0);
        return;
    }
    std::string data = raw_bytes(t, v);
    u8(out, static_cast<std::uint8_t>(data.size()));
    out += data;
}
