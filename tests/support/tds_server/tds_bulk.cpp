// tds_bulk: reads a BULKLOAD message (COLMETADATA, then ROW tokens, then DONE) into the table
// that the session's INSERT BULK named, as SQL Server takes a bulk-copy batch.
#include "tests/support/tds_server/tds_bulk.h"

#include "tests/support/tds_server/tds_wire.h"
#include "tests/support/tds_server/tds_writes.h"

#include <cstdio>
#include <cstring>
#include <iconv.h>

namespace {

// A fault in the stream itself: the batch is refused with SQL Server's error for a bad stream.
struct bad_stream {
    std::string what;
};

struct reader {
    std::string_view p;
    std::size_t at = 0;

    std::uint8_t u8() {
        if (at >= p.size())
            throw bad_stream{"the stream ends inside a token"};
        return static_cast<std::uint8_t>(p[at++]);
    }
    std::uint16_t u16() {
        std::uint16_t lo = u8();
        return static_cast<std::uint16_t>(lo | (u8() << 8));
    }
    std::uint32_t u32() {
        std::uint32_t lo = u16();
        return lo | (static_cast<std::uint32_t>(u16()) << 16);
    }
    std::uint64_t u64() {
        std::uint64_t lo = u32();
        return lo | (static_cast<std::uint64_t>(u32()) << 32);
    }
    std::string_view take(std::size_t n) {
        if (n > p.size() - at)
            throw bad_stream{"the stream ends inside a value"};
        std::string_view v = p.substr(at, n);
        at += n;
        return v;
    }
    std::string b_varchar() { return tds_utf8(take(u8() * 2u)); }
    std::string us_varchar() { return tds_utf8(take(u16() * 2u)); }
};

// The wire form of one stream column, as its TYPE_INFO gives it.
struct stream_column {
    std::uint8_t type = 0;
    std::uint32_t max_length = 0; // bytes; 0xFFFF for the (max) types
    std::uint8_t precision = 0;
    std::uint8_t scale = 0;
    int code_page = 1252;
    bool plp = false;
    std::string name;
};

std::string hex_byte(std::uint8_t b) {
    static const char digits[] = "0123456789ABCDEF";
    return std::string("0x") + digits[b >> 4] + digits[b & 15];
}

int code_page_of(std::string_view collation) {
    // The server's own collations are looked up; anything else is taken as Latin-1.
    for (const char* name :
         {"SQL_Latin1_General_CP1_CI_AS", "SQL_Latin1_General_CP1_CS_AS", "Latin1_General_CI_AS",
          "Latin1_General_CS_AS", "Latin1_General_100_CI_AS_SC_UTF8", "Cyrillic_General_CI_AS",
          "Polish_CI_AS", "Greek_CI_AS", "Turkish_CI_AS", "Hebrew_CI_AS", "Arabic_CI_AS",
          "Japanese_CI_AS", "Chinese_PRC_CI_AS", "Korean_Wansung_CI_AS"}) {
        tds_collation c = tds_find_collation(name);
        if (std::memcmp(c.bytes.data(), collation.data(), 5) == 0)
            return c.code_page;
    }
    return 1252;
}

stream_column read_type_info(reader& r) {
    stream_column c;
    c.type = r.u8();
    switch (c.type) {
    case 0x30:
    case 0x32:
        c.max_length = 1;
        break; // tinyint, bit
    case 0x34:
        c.max_length = 2;
        break; // smallint
    case 0x38:
    case 0x3B:
    case 0x7A:
    case 0x3A:
        c.max_length = 4;
        break;
    case 0x7F:
    case 0x3E:
    case 0x3C:
    case 0x3D:
        c.max_length = 8;
        break;
    case 0x26:
    case 0x68:
    case 0x6D:
    case 0x6E:
    case 0x6F:
    case 0x24: // INTN .. GUID
        c.max_length = r.u8();
        break;
    case 0x6A:
    case 0x6C: // DECIMALN, NUMERICN
        c.max_length = r.u8();
        c.precision = r.u8();
        c.scale = r.u8();
        break;
    case 0x28: // DATEN
        c.max_length = 3;
        break;
    case 0x29:
    case 0x2A:
    case 0x2B: // TIMEN, DATETIME2N, DATETIMEOFFSETN
        c.scale = r.u8();
        break;
    case 0xA5:
    case 0xAD: // BIGVARBINARY, BIGBINARY
        c.max_length = r.u16();
        c.plp = c.max_length == 0xFFFF;
        break;
    case 0xA7:
    case 0xAF:
    case 0xE7:
    case 0xEF: // BIGVARCHAR, BIGCHAR, NVARCHAR, NCHAR
        c.max_length = r.u16();
        c.plp = c.max_length == 0xFFFF;
        c.code_page = code_page_of(r.take(5));
        break;
    case 0x23:
    case 0x63: // TEXT, NTEXT
        c.max_length = r.u32();
        c.code_page = code_page_of(r.take(5));
        break;
    case 0x22: // IMAGE
        c.max_length = r.u32();
        break;
    case 0xF1: // XML
        c.plp = true;
        if (r.u8() == 1) {
            r.b_varchar();
            r.b_varchar();
            r.us_varchar();
        }
        break;
    case 0xF0: // UDT
        c.max_length = r.u16();
        c.plp = true;
        r.b_varchar();
        r.b_varchar();
        r.b_varchar();
        r.us_varchar();
        break;
    case 0x62: // SSVARIANT
        c.max_length = r.u32();
        break;
    default:
        throw bad_stream{"column type " + hex_byte(c.type) + " is not known"};
    }
    return c;
}

// The table name that text, ntext and image columns carry: clients (FreeTDS, tedious) send one
// US_VARCHAR here, not the name parts of the server's own COLMETADATA.
void skip_table_name(reader& r, const stream_column& c) {
    if (c.type == 0x23 || c.type == 0x63 || c.type == 0x22)
        r.us_varchar();
}

// ---- values ----

std::int64_t signed_le(std::string_view b) {
    std::uint64_t v = 0;
    for (std::size_t i = b.size(); i > 0; --i)
        v = (v << 8) | static_cast<std::uint8_t>(b[i - 1]);
    if (!b.empty() && b.size() < 8 && (static_cast<std::uint8_t>(b.back()) & 0x80))
        v |= ~0ULL << (8 * b.size());
    return static_cast<std::int64_t>(v);
}

std::uint64_t unsigned_le(std::string_view b) {
    std::uint64_t v = 0;
    for (std::size_t i = b.size(); i > 0; --i)
        v = (v << 8) | static_cast<std::uint8_t>(b[i - 1]);
    return v;
}

std::string scaled_text(bool negative, unsigned __int128 magnitude, int scale) {
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(magnitude % 10)));
        magnitude /= 10;
    } while (magnitude > 0);
    while (digits.size() < static_cast<std::size_t>(scale) + 1)
        digits.insert(digits.begin(), '0');
    std::string out = negative ? "-" : "";
    out += digits.substr(0, digits.size() - static_cast<std::size_t>(scale));
    if (scale > 0)
        out += "." + digits.substr(digits.size() - static_cast<std::size_t>(scale));
    return out;
}

// Y-M-D of a day number counted from 0001-01-01.
std::string date_text(std::int64_t day) {
    // days from 1970-01-01, then the civil-from-days conversion
    std::int64_t z = day - 719162 + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    std::int64_t y = yoe + era * 400;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
    if (m <= 2)
        ++y;
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", static_cast<int>(y), static_cast<int>(m),
                  static_cast<int>(d));
    return buffer;
}

// hh:mm:ss[.f] of a count of 10^-scale seconds since midnight.
std::string time_text(std::uint64_t units, int scale) {
    std::uint64_t per_second = 1;
    for (int i = 0; i < scale; ++i)
        per_second *= 10;
    const std::uint64_t seconds = units / per_second;
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d", static_cast<int>(seconds / 3600),
                  static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
    std::string out = buffer;
    if (scale > 0) {
        std::string fraction = std::to_string(units % per_second);
        fraction.insert(0, static_cast<std::size_t>(scale) - fraction.size(), '0');
        out += "." + fraction;
    }
    return out;
}

constexpr std::int64_t day_1900 = 693595;

std::string read_plp(reader& r, bool& null) {
    const std::uint64_t total = r.u64();
    null = total == ~0ULL;
    std::string data;
    if (null)
        return data;
    for (;;) {
        const std::uint32_t chunk = r.u32();
        if (chunk == 0)
            return data;
        data.append(r.take(chunk));
    }
}

tds_literal number(std::string text) {
    return {tds_literal::kind::number, std::move(text), false};
}

tds_literal string(std::string text) {
    return {tds_literal::kind::string, std::move(text), true};
}

// One value of a fixed or short type from its bytes.
// Whether `size` is a length the type's values have (a crafted stream may say anything).
bool valid_size(std::uint8_t type, std::size_t size) {
    auto one_of = [size](std::initializer_list<std::size_t> sizes) {
        for (std::size_t s : sizes)
            if (s == size)
                return true;
        return false;
    };
    switch (type) {
    case 0x30:
    case 0x32:
    case 0x68:
        return size == 1;
    case 0x34:
        return size == 2;
    case 0x38:
    case 0x3B:
    case 0x7A:
    case 0x3A:
        return size == 4;
    case 0x7F:
    case 0x3E:
    case 0x3C:
    case 0x3D:
        return size == 8;
    case 0x26:
        return one_of({1, 2, 4, 8});
    case 0x6D:
    case 0x6E:
    case 0x6F:
        return one_of({4, 8});
    case 0x24:
        return size == 16;
    case 0x6A:
    case 0x6C:
        return size >= 2 && size <= 17; // FreeTDS sends the bytes the precision needs
    case 0x28:
        return size == 3;
    case 0x29:
        return size >= 3 && size <= 5;
    case 0x2A:
        return size >= 6 && size <= 8;
    case 0x2B:
        return size >= 8 && size <= 10;
    default:
        return true;
    }
}

tds_literal decode(std::uint8_t type, const stream_column& c, std::string_view b) {
    char buffer[64];
    if (!valid_size(type, b.size()))
        throw bad_stream{"a value of " + std::to_string(b.size()) + " bytes for type " +
                         hex_byte(type)};
    switch (type) {
    case 0x30: // tinyint is unsigned
        return number(std::to_string(unsigned_le(b)));
    case 0x34:
    case 0x38:
    case 0x7F:
        return number(std::to_string(signed_le(b)));
    case 0x26: // INTN: tinyint is the one-byte form
        return number(b.size() == 1 ? std::to_string(unsigned_le(b))
                                    : std::to_string(signed_le(b)));
    case 0x32:
    case 0x68:
        return number(b[0] ? "1" : "0");
    case 0x3B:
    case 0x3E:
    case 0x6D:
        if (b.size() == 4) {
            float f;
            std::memcpy(&f, b.data(), 4);
            std::snprintf(buffer, sizeof buffer, "%.9g", static_cast<double>(f));
        } else {
            double d;
            std::memcpy(&d, b.data(), 8);
            std::snprintf(buffer, sizeof buffer, "%.17g", d);
        }
        return number(buffer);
    case 0x3C:
    case 0x7A:
    case 0x6E: {
        std::int64_t v = 0;
        if (b.size() == 4)
            v = signed_le(b);
        else
            v = static_cast<std::int64_t>((unsigned_le(b.substr(0, 4)) << 32) |
                                          unsigned_le(b.substr(4, 4)));
        const bool negative = v < 0;
        const unsigned __int128 magnitude =
            negative ? static_cast<unsigned __int128>(-static_cast<__int128>(v))
                     : static_cast<unsigned __int128>(v);
        return number(scaled_text(negative, magnitude, 4));
    }
    case 0x6A:
    case 0x6C: {
        unsigned __int128 magnitude = 0;
        for (std::size_t i = b.size(); i > 1; --i)
            magnitude = (magnitude << 8) | static_cast<std::uint8_t>(b[i - 1]);
        return number(scaled_text(b[0] == 0 && magnitude != 0, magnitude, c.scale));
    }
    case 0x3D:
    case 0x3A:
    case 0x6F: {
        if (b.size() == 4) {
            const std::int64_t days = static_cast<std::int64_t>(unsigned_le(b.substr(0, 2)));
            const std::uint64_t minutes = unsigned_le(b.substr(2, 2));
            return string(date_text(day_1900 + days) + " " + time_text(minutes * 60, 0));
        }
        const std::int64_t days = signed_le(b.substr(0, 4));
        const std::uint64_t ticks = unsigned_le(b.substr(4, 4));
        const std::uint64_t ms = (ticks * 10 + 1) / 3;
        return string(date_text(day_1900 + days) + " " + time_text(ms, 3));
    }
    case 0x28:
        return string(date_text(static_cast<std::int64_t>(unsigned_le(b))));
    case 0x29:
        return string(time_text(unsigned_le(b), c.scale));
    case 0x2A: {
        const std::size_t n = b.size() - 3;
        return string(date_text(static_cast<std::int64_t>(unsigned_le(b.substr(n)))) + " " +
                      time_text(unsigned_le(b.substr(0, n)), c.scale));
    }
    case 0x2B: {
        const std::size_t n = b.size() - 5;
        std::uint64_t per_second = 1;
        for (int i = 0; i < c.scale; ++i)
            per_second *= 10;
        const std::int64_t offset = signed_le(b.substr(n + 3, 2));
        // the wire holds UTC: add the offset back for the local time
        __int128 local = static_cast<__int128>(unsigned_le(b.substr(n, 3))) * 86400 * per_second +
                         unsigned_le(b.substr(0, n)) +
                         static_cast<__int128>(offset) * 60 * per_second;
        const auto per_day = static_cast<__int128>(86400 * per_second);
        const auto day = static_cast<std::int64_t>(local / per_day);
        const auto units = static_cast<std::uint64_t>(local % per_day);
        std::snprintf(buffer, sizeof buffer, " %c%02d:%02d", offset < 0 ? '-' : '+',
                      static_cast<int>(std::abs(offset) / 60),
                      static_cast<int>(std::abs(offset) % 60));
        return string(date_text(day) + " " + time_text(units, c.scale) + buffer);
    }
    case 0x24: {
        static constexpr int order[] = {3,  2, 1, 0,  -1, 5,  4,  -1, 7,  6,
                                        -1, 8, 9, -1, 10, 11, 12, 13, 14, 15};
        static const char digits[] = "0123456789ABCDEF";
        std::string out;
        for (int i : order) {
            if (i < 0) {
                out.push_back('-');
                continue;
            }
            auto v = static_cast<unsigned char>(b[static_cast<std::size_t>(i)]);
            out.push_back(digits[v >> 4]);
            out.push_back(digits[v & 15]);
        }
        return string(out);
    }
    default:
        break;
    }
    throw bad_stream{"a value of type " + hex_byte(type) + " cannot be read"};
}

std::string from_code_page(std::string_view bytes, int code_page) {
    if (code_page == 65001)
        return std::string(bytes);
    const std::string name = "CP" + std::to_string(code_page);
    iconv_t cd = ::iconv_open("UTF-8", name.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1))
        throw bad_stream{"code page " + std::to_string(code_page) + " is missing"};
    std::string out(bytes.size() * 4 + 4, '\0');
    char* in = const_cast<char*>(bytes.data());
    std::size_t in_left = bytes.size();
    char* to = out.data();
    std::size_t to_left = out.size();
    const std::size_t r = ::iconv(cd, &in, &in_left, &to, &to_left);
    ::iconv_close(cd);
    if (r == static_cast<std::size_t>(-1))
        throw bad_stream{"text that is not in code page " + std::to_string(code_page)};
    out.resize(out.size() - to_left);
    return out;
}

// Text, binary and the long types from their bytes.
tds_literal decode_bytes(const stream_column& c, std::string_view b) {
    switch (c.type) {
    case 0xA7:
    case 0xAF:
    case 0x23:
        return string(from_code_page(b, c.code_page));
    case 0xE7:
    case 0xEF:
    case 0x63:
    case 0xF1:
        if (b.size() % 2)
            throw bad_stream{"UTF-16 text of an odd length"};
        return string(tds_utf8(b));
    default:
        return {tds_literal::kind::binary, std::string(b), false};
    }
}

tds_literal read_value(reader& r, const stream_column& c) {
    tds_literal null;
    switch (c.type) {
    case 0x30:
    case 0x32:
    case 0x34:
    case 0x38:
    case 0x7F:
    case 0x3B:
    case 0x3E:
    case 0x3C:
    case 0x7A:
    case 0x3D:
    case 0x3A:
        return decode(c.type, c, r.take(c.max_length));
    case 0x26:
    case 0x68:
    case 0x6D:
    case 0x6E:
    case 0x6F:
    case 0x24:
    case 0x6A:
    case 0x6C:
    case 0x28:
    case 0x29:
    case 0x2A:
    case 0x2B: {
        const std::uint8_t n = r.u8();
        if (n == 0)
            return null;
        return decode(c.type, c, r.take(n));
    }
    case 0xA5:
    case 0xAD:
    case 0xA7:
    case 0xAF:
    case 0xE7:
    case 0xEF: {
        if (c.plp) {
            bool is_null = false;
            std::string data = read_plp(r, is_null);
            return is_null ? null : decode_bytes(c, data);
        }
        const std::uint16_t n = r.u16();
        if (n == 0xFFFF)
            return null;
        return decode_bytes(c, r.take(n));
    }
    case 0xF1:
    case 0xF0: {
        bool is_null = false;
        std::string data = read_plp(r, is_null);
        return is_null ? null : decode_bytes(c, data);
    }
    case 0x23:
    case 0x63:
    case 0x22: {
        const std::uint8_t pointer = r.u8();
        if (pointer == 0)
            return null;
        r.take(pointer);
        r.take(8); // the text timestamp
        const std::uint32_t n = r.u32();
        return decode_bytes(c, r.take(n));
    }
    case 0x62: {
        const std::uint32_t n = r.u32();
        if (n == 0)
            return null;
        reader v{r.take(n)};
        stream_column base;
        base.type = v.u8();
        const std::uint8_t props = v.u8();
        std::string_view p = v.take(props);
        if ((base.type == 0x6A || base.type == 0x6C) && props >= 2)
            base.scale = static_cast<std::uint8_t>(p[1]);
        if ((base.type == 0x29 || base.type == 0x2A || base.type == 0x2B) && props >= 1)
            base.scale = static_cast<std::uint8_t>(p[0]);
        if ((base.type == 0xA7 || base.type == 0xAF) && props >= 5)
            base.code_page = code_page_of(p.substr(0, 5));
        std::string_view data = v.p.substr(v.at);
        if (base.type == 0xA7 || base.type == 0xAF || base.type == 0xE7 || base.type == 0xEF ||
            base.type == 0xA5 || base.type == 0xAD)
            return decode_bytes(base, data);
        return decode(base.type, base, data);
    }
    default:
        break;
    }
    throw bad_stream{"a value of type " + hex_byte(c.type) + " cannot be read"};
}

tds_message stream_error(const std::string& what) {
    tds_message m;
    m.number = 4804;
    m.severity = 16;
    m.state = 1;
    m.text = "While reading current row from host, a premature end-of-message was encountered--an "
             "incoming data stream was interrupted when the server expected to see more data. "
             "The host program may have terminated. Ensure that you are using a supported "
             "client application programming interface (API). (" +
             what + ")";
    return m;
}

} // namespace

tds_answer tds_bulk_load(const tds_statement_context& ctx, std::string_view payload) {
    tds_answer a;
    if (!ctx.session || !ctx.session->bulk) {
        a.error = stream_error("no INSERT BULK came before the rows");
        return a;
    }
    tds_session_state::bulk_target bulk = *ctx.session->bulk;
    ctx.session->bulk.reset();
    tds_fixture_table& table = *bulk.table;
    bool table_alive = false;
    for (const auto& t : bulk.database->tables)
        table_alive |= &t == &table;
    if (!table_alive) {
        a.error = tds_message{208, 1, 16, "Invalid object name '" + bulk.written + "'."};
        return a;
    }
    const std::uint64_t before = table.rows.size();
    std::uint64_t rows = 0;
    try {
        reader r{payload};
        std::vector<stream_column> columns;
        std::vector<std::size_t> targets;
        std::vector<tds_literal> values;
        while (r.at < r.p.size()) {
            const std::uint8_t token = r.u8();
            if (token == 0x81) {
                const std::uint16_t count = r.u16();
                columns.clear();
                targets.clear();
                if (count == 0xFFFF)
                    continue;
                for (std::uint16_t i = 0; i < count; ++i) {
                    r.u32(); // user type
                    r.u16(); // flags
                    stream_column c = read_type_info(r);
                    skip_table_name(r, c);
                    c.name = r.b_varchar();
                    columns.push_back(std::move(c));
                }
                if (columns.size() != bulk.columns.size())
                    throw bad_stream{"the stream has " + std::to_string(columns.size()) +
                                     " columns, INSERT BULK named " +
                                     std::to_string(bulk.columns.size())};
                targets = bulk.columns;
                continue;
            }
            if (token == 0xD1) {
                if (columns.empty())
                    throw bad_stream{"a row before the column description"};
                values.clear();
                for (const auto& c : columns)
                    values.push_back(read_value(r, c));
                if (auto e = tds_insert_row(ctx, *bulk.database, table, targets, values,
                                            tds_write_path::bulk, bulk.keep_identity)) {
                    tds_truncate_rows(table, before);
                    a.error = *e;
                    return a;
                }
                ++rows;
                continue;
            }
            if (token == 0xFD) {
                r.take(12); // DONE: status, command, row count
                continue;
            }
            throw bad_stream{"token " + hex_byte(token) + " is not expected"};
        }
    } catch (const bad_stream& e) {
        tds_truncate_rows(table, before);
        a.error = stream_error(e.what);
        return a;
    } catch (const std::exception& e) {
        // a value the stream's types cannot hold (bad UTF-16, a date out of range, ...)
        tds_truncate_rows(table, before);
        a.error = stream_error(e.what());
        return a;
    }
    a.affected = rows;
    return a;
}
