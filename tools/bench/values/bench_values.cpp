// Benchmark of the value type on the row path: building, copying and rendering a few million
// mixed values as text, beside a baseline that formats the same values directly (std::to_chars
// and snprintf for numbers and dates, memcpy for text and bytes). Run on demand:
//   bench_values [count]
#include "OLE/ole_var.h"

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

// Counting allocations shows that values of fixed-size types never touch the heap.
static std::atomic<std::size_t> allocations{0};

void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
// The library's operator delete releases with free(), which matches.

namespace {

using bench_clock = std::chrono::steady_clock;

// One source value in plain form, for the baseline, and its kind.
struct plain_value {
    int kind; // 0 int, 1 int64, 2 double, 3 float, 4 decimal text, 5 money, 6 date, 7 text, 8 bytes
    int64_t integer = 0;
    double real = 0;
    std::string text;
    SYSTEMTIME time{};
    uint32_t micro = 0;
};

constexpr int kinds = 9;

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
        v.real = static_cast<float>(n) / 3.0f;
        break;
    case 4:
        v.text = std::to_string(n) + "." + std::to_string(n % 10000);
        break;
    case 5:
        v.integer = n * 10000 + n % 10000;
        break;
    case 6:
        v.time = SYSTEMTIME{static_cast<uint16_t>(1900 + n % 200),
                            static_cast<uint16_t>(1 + n % 12),
                            0,
                            static_cast<uint16_t>(1 + n % 28),
                            static_cast<uint16_t>(n % 24),
                            static_cast<uint16_t>(n % 60),
                            static_cast<uint16_t>(n / 60 % 60),
                            0};
        v.micro = static_cast<uint32_t>(n % 1000000);
        break;
    case 7:
        v.text = "customer name " + std::to_string(n);
        break;
    default:
        v.text.assign(16, '\0');
        std::memcpy(v.text.data(), &n, sizeof n);
        break;
    }
    return v;
}

ole_variant make_value(const plain_value& p) {
    char buffer[64];
    switch (p.kind) {
    case 0:
        return ole_variant::from_string(std::to_string(p.integer), VT_I4);
    case 1:
        return ole_variant::from_string(std::to_string(p.integer), VT_I8);
    case 2:
        return ole_variant(p.real);
    case 3:
        std::snprintf(buffer, sizeof buffer, "%.9g", p.real);
        return ole_variant::from_string(buffer, VT_R4);
    case 4:
        return ole_variant::from_string(p.text, VT_DECIMAL);
    case 5: {
        std::snprintf(buffer, sizeof buffer, "%" PRId64 ".%04d", p.integer / 10000,
                      static_cast<int>(p.integer % 10000));
        return ole_variant::from_string(buffer, VT_CY);
    }
    case 6: {
        ole_date date(p.time);
        date.microseconds = p.micro;
        date.kind = ole_date::kind_date_time;
        return ole_variant(date);
    }
    case 7:
        return ole_variant::from_string(p.text, VT_BSTR);
    default:
        return ole_variant(static_cast<unsigned>(p.text.size()), p.text.data());
    }
}

// The baseline: the same texts made directly.
void append_plain(std::string& out, const plain_value& p) {
    char buffer[64];
    switch (p.kind) {
    case 0:
    case 1: {
        const auto r = std::to_chars(buffer, buffer + sizeof buffer, p.integer);
        out.append(buffer, r.ptr);
        return;
    }
    case 2:
    case 3: {
        const auto r = std::to_chars(buffer, buffer + sizeof buffer, p.real,
                                     std::chars_format::scientific, p.kind == 2 ? 16 : 8);
        out.append(buffer, r.ptr);
        return;
    }
    case 4:
        out.append(p.text);
        return;
    case 5: {
        const int n = std::snprintf(buffer, sizeof buffer, "%" PRId64 ".%04d", p.integer / 10000,
                                    static_cast<int>(p.integer % 10000));
        out.append(buffer, static_cast<std::size_t>(n));
        return;
    }
    case 6: {
        const SYSTEMTIME& t = p.time;
        const int n =
            std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d.%06u", t.wYear,
                          t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, p.micro);
        out.append(buffer, static_cast<std::size_t>(n));
        return;
    }
    default: {
        const std::size_t at = out.size();
        out.resize(at + p.text.size());
        std::memcpy(out.data() + at, p.text.data(), p.text.size());
        return;
    }
    }
}

double seconds_since(bench_clock::time_point start) {
    return std::chrono::duration<double>(bench_clock::now() - start).count();
}

void report(const char* what, std::size_t count, double seconds, std::size_t bytes) {
    std::printf("%-44s %12.0f values/s", what, static_cast<double>(count) / seconds);
    if (bytes != 0) {
        std::printf(" %10.1f MB/s", static_cast<double>(bytes) / seconds / 1e6);
    }
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 3000000;
    std::vector<plain_value> plain;
    plain.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        plain.push_back(make_plain(i));
    }
    std::vector<ole_variant> values;
    values.reserve(count);
    auto start = bench_clock::now();
    for (const plain_value& p : plain) {
        values.push_back(make_value(p));
    }
    report("build from text (from_string etc.)", count, seconds_since(start), 0);

    // Copies, and the heap allocations they make for fixed-size types.
    std::vector<ole_variant> copies;
    copies.reserve(count);
    std::size_t fixed = 0;
    std::size_t fixed_allocations = 0;
    start = bench_clock::now();
    for (const ole_variant& v : values) {
        const VARTYPE vt = v.get_type();
        const bool is_fixed = vt != VT_BSTR && vt != ole_variant::vt_byte_array && vt != VT_DECIMAL;
        const std::size_t before = allocations.load(std::memory_order_relaxed);
        copies.push_back(v);
        if (is_fixed) {
            ++fixed;
            fixed_allocations += allocations.load(std::memory_order_relaxed) - before;
        }
    }
    report("copy", count, seconds_since(start), 0);
    std::printf("%-44s %12zu of %zu fixed-size copies\n", "heap allocations", fixed_allocations,
                fixed);

    // Rendering into one reused buffer, as a statement builder does.
    std::string buffer;
    buffer.reserve(1 << 20);
    std::size_t bytes = 0;
    start = bench_clock::now();
    for (const ole_variant& v : values) {
        buffer.clear();
        v.append_string(buffer);
        bytes += buffer.size();
    }
    const double ole_seconds = seconds_since(start);

    std::size_t base_bytes = 0;
    start = bench_clock::now();
    for (const plain_value& p : plain) {
        buffer.clear();
        append_plain(buffer, p);
        base_bytes += buffer.size();
    }
    const double base_seconds = seconds_since(start);

    std::size_t string_bytes = 0;
    start = bench_clock::now();
    for (const ole_variant& v : values) {
        string_bytes += v.to_string().size();
    }
    const double string_seconds = seconds_since(start);

    report("ole_variant::append_string (reused buffer)", count, ole_seconds, bytes);
    report("ole_variant::to_string", count, string_seconds, string_bytes);
    report("baseline (to_chars, snprintf, memcpy)", count, base_seconds, base_bytes);
    std::printf("%-44s %12.2f x baseline time\n", "append_string", ole_seconds / base_seconds);
    return fixed_allocations == 0 ? 0 : 1;
}
