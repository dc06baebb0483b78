// Benchmark of the MySQL literal writer on the row path: a few million mixed field values turned
// into the literal text of an INSERT, appended to one statement buffer, beside a peer in the same
// run: a hand-written writer of the same literals from plain C++ values (integers and doubles by
// std::to_chars, dates digit by digit, texts from UTF-16 to UTF-8 with MySQL's escapes, bytes as
// hexadecimal), the least work the literals can cost. Run on demand:
//   bench_literals [count]
#include "SQL/sql_engi.h"
#include "SQL/sql_util.h"
#include "UDB/udb_field.h"
#include "UDB/udb_schema.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using bench_clock = std::chrono::steady_clock;

constexpr int kinds = 7; // int, bigint, double, decimal, date, text, bytes

struct plain_value {
    int kind = 0;
    int64_t integer = 0;
    double real = 0;
    std::string text;
    std::u16string wide; // the text as a value holds it
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, micro = 0;
    std::vector<uint8_t> bytes;
};

plain_value make_plain(std::size_t i) {
    plain_value v;
    v.kind = static_cast<int>(i % kinds);
    const int64_t n = static_cast<int64_t>(i * 2654435761u % 1000000007u);
    switch (v.kind) {
    case 0:
        v.integer = n - 500000000;
        break;
    case 1:
        v.integer = n * 1000003 - (int64_t(1) << 40);
        break;
    case 2:
        v.real = static_cast<double>(n) / 7.0;
        break;
    case 3:
        v.text = std::to_string(n) + "." + std::to_string(n % 10000);
        break;
    case 4:
        v.year = static_cast<int>(1900 + n % 200);
        v.month = static_cast<int>(1 + n % 12);
        v.day = static_cast<int>(1 + n % 28);
        v.hour = static_cast<int>(n % 24);
        v.minute = static_cast<int>(n % 60);
        v.second = static_cast<int>(n / 60 % 60);
        v.micro = static_cast<int>(n % 1000000);
        break;
    case 5: {
        const std::string tail = std::to_string(n) + " \\ done";
        v.text = "O'Brien \xC3\xA9t\xC3\xA9 " + tail;
        v.wide = u"O'Brien \u00E9t\u00E9 " + std::u16string(tail.begin(), tail.end());
        break;
    }
    default:
        for (int k = 0; k < 16; ++k) {
            v.bytes.push_back(static_cast<uint8_t>(n >> (k % 8)));
        }
        break;
    }
    return v;
}

ole_variant make_value(const plain_value& p) {
    switch (p.kind) {
    case 0:
        return ole_variant::from_string(std::to_string(p.integer), VT_I4);
    case 1:
        return ole_variant::from_string(std::to_string(p.integer), VT_I8);
    case 2:
        return ole_variant(p.real);
    case 3:
        return ole_variant::from_string(p.text, VT_DECIMAL);
    case 4: {
        char text[64];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%06d", p.year, p.month,
                      p.day, p.hour, p.minute, p.second, p.micro);
        return ole_variant(ole_date(std::string(text)));
    }
    case 5: {
        ole_variant v;
        v.attach_string(p.text);
        return v;
    }
    default:
        return ole_variant(p.bytes);
    }
}

std::shared_ptr<t_ftd> make_column(int kind) {
    static const VARTYPE types[kinds] = {
        VT_I4, VT_I8, VT_R8, VT_DECIMAL, VT_DATE, VT_BSTR, ole_variant::vt_byte_array};
    auto c = std::make_shared<t_ftd>(100, L"c", types[kind], false, false, ole_variant(),
                                     kind == 4 ? 1 : 0, L"");
    c->prec = 38;
    c->scale = 6;
    return c;
}

// The peer: the same literals written by hand, with no checks beyond what MySQL needs.
void append_digits(std::string& out, unsigned value, int width) {
    char buffer[8];
    for (int i = width - 1; i >= 0; --i) {
        buffer[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    out.append(buffer, static_cast<std::size_t>(width));
}

void append_escaped_utf8(std::string& out, std::u16string_view text) {
    out += '\'';
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        }
        if (c < 0x80) {
            switch (c) {
            case 0:
                out += "\\0";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case 0x1A:
                out += "\\Z";
                break;
            case '\'':
            case '\\':
                out += '\\';
                out += static_cast<char>(c);
                break;
            default:
                out += static_cast<char>(c);
            }
        } else if (c < 0x800) {
            const char b[2] = {static_cast<char>(0xC0 | (c >> 6)),
                               static_cast<char>(0x80 | (c & 0x3F))};
            out.append(b, 2);
        } else if (c < 0x10000) {
            const char b[3] = {static_cast<char>(0xE0 | (c >> 12)),
                               static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
                               static_cast<char>(0x80 | (c & 0x3F))};
            out.append(b, 3);
        } else {
            const char b[4] = {
                static_cast<char>(0xF0 | (c >> 18)), static_cast<char>(0x80 | ((c >> 12) & 0x3F)),
                static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
            out.append(b, 4);
        }
    }
    out += '\'';
}

void append_plain(std::string& out, const plain_value& p) {
    char buffer[64];
    switch (p.kind) {
    case 0:
    case 1:
        out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, p.integer).ptr);
        return;
    case 2:
        out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, p.real).ptr);
        return;
    case 3:
        out += p.text;
        return;
    case 4:
        out += '\'';
        append_digits(out, static_cast<unsigned>(p.year), 4);
        out += '-';
        append_digits(out, static_cast<unsigned>(p.month), 2);
        out += '-';
        append_digits(out, static_cast<unsigned>(p.day), 2);
        out += ' ';
        append_digits(out, static_cast<unsigned>(p.hour), 2);
        out += ':';
        append_digits(out, static_cast<unsigned>(p.minute), 2);
        out += ':';
        append_digits(out, static_cast<unsigned>(p.second), 2);
        out += '.';
        append_digits(out, static_cast<unsigned>(p.micro), 6);
        out += '\'';
        return;
    case 5:
        append_escaped_utf8(out, p.wide);
        return;
    default: {
        static const char hex[] = "0123456789ABCDEF";
        out += "0x";
        for (uint8_t b : p.bytes) {
            const char pair[2] = {hex[b >> 4], hex[b & 0xF]};
            out.append(pair, 2);
        }
        return;
    }
    }
}

double seconds_since(bench_clock::time_point start) {
    return std::chrono::duration<double>(bench_clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2000000;
    sql_engine engine;
    engine.version = 0x0A0B13;
    engine.server_info = "10.11.19-MariaDB";

    std::vector<plain_value> plain;
    std::vector<udb_field> fields;
    plain.reserve(count);
    fields.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        plain.push_back(make_plain(i));
        fields.emplace_back(L"c", 0, make_value(plain.back()), false, false);
    }
    std::vector<std::shared_ptr<t_ftd>> columns;
    for (int k = 0; k < kinds; ++k) {
        columns.push_back(make_column(k));
    }

    // Rows of 50 values, each row's statement built in one reused buffer.
    constexpr std::size_t row = 50;
    std::string statement;
    statement.reserve(64 * 1024);
    std::size_t literal_bytes = 0;
    auto start = bench_clock::now();
    for (std::size_t i = 0; i < count; ++i) {
        if (i % row == 0) {
            literal_bytes += statement.size();
            statement.assign("INSERT INTO t VALUES (");
        } else {
            statement += ',';
        }
        append_fld_str(statement, fields[i], *columns[i % kinds], true);
    }
    literal_bytes += statement.size();
    const double literal_seconds = seconds_since(start);

    std::size_t plain_bytes = 0;
    start = bench_clock::now();
    for (std::size_t i = 0; i < count; ++i) {
        if (i % row == 0) {
            plain_bytes += statement.size();
            statement.assign("INSERT INTO t VALUES (");
        } else {
            statement += ',';
        }
        append_plain(statement, plain[i]);
    }
    plain_bytes += statement.size();
    const double plain_seconds = seconds_since(start);

    std::printf("values: %zu (int, bigint, double, decimal, datetime(6), text, 16 bytes)\n", count);
    std::printf("literal writer: %.0f literals/s, %.1f MB/s\n", count / literal_seconds,
                literal_bytes / literal_seconds / 1e6);
    std::printf("hand-written:   %.0f literals/s, %.1f MB/s\n", count / plain_seconds,
                plain_bytes / plain_seconds / 1e6);
    std::printf("ratio (literal writer time / hand-written time): %.2f\n",
                literal_seconds / plain_seconds);
    return 0;
}
