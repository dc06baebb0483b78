// Benchmark of the MS SQL source's row path: records built from a prepared row buffer of mixed
// columns (integers, decimals, dates, GUIDs, short and long texts, bytes) through odb_record, as
// odb_accessor lays the buffer out, beside a baseline that only copies the same value bytes and
// parses the numbers with std::from_chars. No server or provider is involved. Run on demand:
//   bench_mss_records [rows]
#include "MSS/odb_acc.h"
#include "MSS/odb_rec.h"
#include "TK/tk_log.h"
#include "platform/oledb/memory_rowset.h"

#include <atomic>
#include <chrono>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

// Counting allocations shows what each value costs the heap. Only operator new is counted:
// the BSTRs and byte arrays of the values themselves come from the platform's allocator.
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

// The prepared rows differ, so that every branch sees changing values.
constexpr std::size_t distinct_rows = 16;

std::vector<oledb_column> make_columns() {
    return {
        {u"id", DBTYPE_I4, 4},
        {u"big_number", DBTYPE_I8, 8},
        {u"amount", DBTYPE_NUMERIC, 19, 19, 4},
        {u"ratio", DBTYPE_R8, 8},
        {u"created_at", DBTYPE_DBTIMESTAMP, 16, 27, 7},
        {u"row_guid", DBTYPE_GUID, 16},
        {u"code", DBTYPE_WSTR, 20},
        {u"description", DBTYPE_WSTR, 4000},
        {u"payload", DBTYPE_BYTES, 64},
    };
}

std::u16string ascii(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

oledb_row make_row(std::size_t i) {
    char buffer[128];
    oledb_row row;
    const long long n = static_cast<long long>(i * 2654435761u % 1000000007u);
    row.push_back(oledb_value::of_text(ascii(std::to_string(n - 500000000))));
    row.push_back(oledb_value::of_text(ascii(std::to_string(n * 1000003 - (1LL << 40)))));
    std::snprintf(buffer, sizeof buffer, "%lld.%04lld", n / 10000 - 50000, n % 10000);
    row.push_back(oledb_value::of_text(ascii(buffer)));
    std::snprintf(buffer, sizeof buffer, "%.17g", static_cast<double>(n) / 7.0);
    row.push_back(oledb_value::of_text(ascii(buffer)));
    std::snprintf(buffer, sizeof buffer, "20%02lld-%02lld-%02lld %02lld:%02lld:%02lld.%07lld",
                  n % 30, n % 12 + 1, n % 28 + 1, n % 24, n % 60, n / 60 % 60, n % 10000000);
    row.push_back(oledb_value::of_text(ascii(buffer)));
    std::snprintf(buffer, sizeof buffer, "{%08llX-8B86-D011-B42D-00C04FC9%04llX}", n, n % 65536);
    row.push_back(oledb_value::of_text(ascii(buffer)));
    row.push_back(oledb_value::of_text(ascii("AB-" + std::to_string(n % 100000))));
    std::u16string long_text;
    while (long_text.size() < 600) {
        long_text += u"Größe und Gewicht der Lieferung " + ascii(std::to_string(n)) + u"; ";
    }
    row.push_back(oledb_value::of_text(long_text));
    std::string bytes(32, '\0');
    for (std::size_t k = 0; k < bytes.size(); ++k) {
        bytes[k] = static_cast<char>((n >> (k % 8)) + static_cast<long long>(k));
    }
    row.push_back(oledb_value::of_bytes(bytes));
    return row;
}

DBLENGTH read_length(const BYTE* row, const DBBINDING& binding) {
    DBLENGTH length;
    std::memcpy(&length, row + binding.obLength, sizeof length);
    return length;
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t rows = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 400000;
    // Both programs create their logger disabled; lines of every level are then dropped.
    tk_logger logger(nullptr, false, 3, false);

    const std::vector<oledb_column> columns = make_columns();
    const auto count = static_cast<unsigned>(columns.size());
    std::vector<DBCOLUMNINFO> info(count);
    for (unsigned i = 0; i < count; ++i) {
        info[i] = DBCOLUMNINFO{};
        info[i].pwszName = const_cast<char16_t*>(columns[i].name.c_str());
        info[i].iOrdinal = i + 1;
        info[i].dwFlags = columns[i].flags;
        info[i].ulColumnSize = columns[i].size;
        info[i].wType = columns[i].type;
        info[i].bPrecision = columns[i].precision;
        info[i].bScale = columns[i].scale;
    }

    // The accessor's own sizes and layout: status, length, value, one column after another.
    odb_accessor sizes;
    sizes.info = info.data();
    sizes.columns = count;
    std::vector<std::wstring> names;
    std::vector<DBBINDING> bindings(count);
    const unsigned cap = odb_accessor::column_cap(count);
    std::size_t offset = 0;
    for (unsigned i = 0; i < count; ++i) {
        names.emplace_back(columns[i].name.begin(), columns[i].name.end());
        DBBINDING& b = bindings[i];
        b = DBBINDING{};
        const unsigned size = std::min(sizes.get_bind_size(i), cap);
        b.iOrdinal = i + 1;
        b.obStatus = offset;
        b.obLength = offset + 4;
        b.obValue = offset + 12;
        b.dwPart = DBPART_VALUE | DBPART_LENGTH | DBPART_STATUS;
        b.dwMemOwner = DBMEMOWNER_CLIENTOWNED;
        b.eParamIO = DBPARAMIO_NOTPARAM;
        b.cbMaxLen = size;
        b.wType = info[i].wType == DBTYPE_BYTES ? DBTYPE_BYTES : DBTYPE_WSTR;
        offset += 12 + size;
    }
    sizes.info = nullptr;
    std::vector<std::vector<BYTE>> buffers(distinct_rows, std::vector<BYTE>(offset));
    for (std::size_t r = 0; r < distinct_rows; ++r) {
        const oledb_row row = make_row(r);
        for (unsigned i = 0; i < count; ++i) {
            if (oledb_put_value(bindings[i], buffers[r].data(), row[i]) != DBSTATUS_S_OK) {
                std::fprintf(stderr, "value %u of row %zu does not fit\n", i, r);
                return 1;
            }
        }
    }
    const double values = static_cast<double>(rows) * count;

    // Baseline: copy every value's bytes; parse the integers and reals from their text.
    std::vector<BYTE> scratch(offset);
    long long checksum = 0;
    auto start = bench_clock::now();
    for (std::size_t r = 0; r < rows; ++r) {
        const BYTE* row = buffers[r % distinct_rows].data();
        for (unsigned i = 0; i < count; ++i) {
            const DBLENGTH length = read_length(row, bindings[i]);
            std::memcpy(scratch.data(), row + bindings[i].obValue, length);
            const DBTYPE type = info[i].wType;
            if (type == DBTYPE_I4 || type == DBTYPE_I8 || type == DBTYPE_NUMERIC ||
                type == DBTYPE_R8) {
                char digits[64];
                const std::size_t n = std::min<std::size_t>(length / 2, sizeof digits);
                for (std::size_t k = 0; k < n; ++k) {
                    digits[k] = static_cast<char>(scratch[2 * k]);
                }
                if (type == DBTYPE_I4 || type == DBTYPE_I8) {
                    long long v = 0;
                    std::from_chars(digits, digits + n, v);
                    checksum += v;
                } else {
                    double v = 0;
                    std::from_chars(digits, digits + n, v);
                    checksum += static_cast<long long>(v);
                }
            } else {
                checksum += scratch[0];
            }
        }
    }
    const double baseline_seconds =
        std::chrono::duration<double>(bench_clock::now() - start).count();

    // The row path: one odb_record per row.
    const std::size_t allocations_before = allocations.load();
    std::size_t fields = 0;
    start = bench_clock::now();
    for (std::size_t r = 0; r < rows; ++r) {
        const odb_record record(count, buffers[r % distinct_rows].data(), info.data(),
                                bindings.data(), &names);
        fields += record.size();
    }
    const double record_seconds = std::chrono::duration<double>(bench_clock::now() - start).count();
    const double per_value = static_cast<double>(allocations.load() - allocations_before) / values;

    std::printf("rows %zu, columns %u, values %.0f (checksum %lld, fields %zu)\n", rows, count,
                values, checksum, fields);
    std::printf("baseline (memcpy + from_chars): %12.0f values/s\n", values / baseline_seconds);
    std::printf(
        "odb_record:                     %12.0f values/s  (%.2f operator-new calls per value)\n",
        values / record_seconds, per_value);
    std::printf("odb_record / baseline:          %12.1f times slower\n",
                record_seconds / baseline_seconds);

    // Each column alone, as a record of one field, to show where the time goes.
    const std::size_t column_rows = rows / 4 + 1;
    for (unsigned i = 0; i < count; ++i) {
        const std::vector<std::wstring> name{names[i]};
        const std::size_t before = allocations.load();
        start = bench_clock::now();
        for (std::size_t r = 0; r < column_rows; ++r) {
            const odb_record record(1, buffers[r % distinct_rows].data(), &info[i], &bindings[i],
                                    &name);
            fields += record.size();
        }
        const double seconds = std::chrono::duration<double>(bench_clock::now() - start).count();
        std::printf("  %-12ls %12.0f values/s  (%.2f operator-new calls per value)\n",
                    name[0].c_str(), static_cast<double>(column_rows) / seconds,
                    static_cast<double>(allocations.load() - before) /
                        static_cast<double>(column_rows));
    }
    return 0;
}
