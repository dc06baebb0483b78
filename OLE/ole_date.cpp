// Dates: reading the text forms, validation and the canonical texts.
#include "OLE/ole_date.h"

#include "TK/tk_excep.h"
#include "OLE/ole_trace.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "platform/win32/nls.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// A small scanf of the patterns used here, without its undefined overflow: "%Nd" reads an int of
// at most N characters, "%hd" a 16-bit number (wrapped like glibc does), "%s" a word of at most
// 63 characters; a blank matches any run of blanks; other characters match themselves. Returns
// the number of fields stored.
struct scan_result {
    int fields = 0;
    long long numbers[6] = {};
    std::string word;
};

scan_result scan(const std::string& text, const char* pattern) {
    scan_result result;
    std::size_t i = 0;
    int number_index = 0;
    for (const char* p = pattern; *p != 0; ++p) {
        if (*p == ' ') {
            while (i < text.size() && is_space(text[i])) {
                ++i;
            }
            continue;
        }
        if (*p != '%') {
            if (i >= text.size() || text[i] != *p) {
                return result;
            }
            ++i;
            continue;
        }
        ++p;
        std::size_t width = SIZE_MAX;
        if (*p >= '0' && *p <= '9') {
            width = 0;
            while (*p >= '0' && *p <= '9') {
                width = width * 10 + static_cast<std::size_t>(*p - '0');
                ++p;
            }
        }
        const bool is_short = *p == 'h';
        if (is_short) {
            ++p;
        }
        while (i < text.size() && is_space(text[i])) {
            ++i;
        }
        if (*p == 's') {
            std::size_t start = i;
            while (i < text.size() && !is_space(text[i]) && text[i] != 0 && i - start < 63) {
                ++i;
            }
            if (i == start) {
                return result;
            }
            result.word = text.substr(start, i - start);
            ++result.fields;
            continue;
        }
        // 'd'
        std::size_t used = 0;
        bool negative = false;
        if (i < text.size() && used < width && (text[i] == '-' || text[i] == '+')) {
            negative = text[i] == '-';
            ++i;
            ++used;
        }
        long long value = 0;
        std::size_t digits = 0;
        while (i < text.size() && used < width && text[i] >= '0' && text[i] <= '9') {
            if (value < LLONG_MAX / 100) {
                value = value * 10 + (text[i] - '0');
            }
            ++i;
            ++used;
            ++digits;
        }
        if (digits == 0) {
            return result;
        }
        value = negative ? -value : value;
        if (is_short) {
            value =
                static_cast<int16_t>(static_cast<uint16_t>(static_cast<unsigned long long>(value)));
        } else {
            value = value > INT_MAX ? INT_MAX : (value < INT_MIN ? INT_MIN : value);
        }
        result.numbers[number_index++] = value;
        ++result.fields;
    }
    return result;
}

uint16_t word_of(long long value) {
    return static_cast<uint16_t>(static_cast<unsigned long long>(value));
}

// The day-year exchange: a day above 31 with a year below 32 means the year came last.
void swap_day_and_year(SYSTEMTIME& t) {
    if (t.wDay > 31 && t.wYear < 32) {
        std::swap(t.wDay, t.wYear);
        OLE_TRACE(2, "Swap day and year: day=%d, year=%d", t.wDay, t.wYear);
    }
}

char* put2(char* out, unsigned value) {
    if (value >= 100) {
        // Wider fields print all their digits, as "%02d" does.
        char digits[8];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (n > 0) {
            *out++ = digits[--n];
        }
        return out;
    }
    *out++ = static_cast<char>('0' + value / 10);
    *out++ = static_cast<char>('0' + value % 10);
    return out;
}

char* put_fixed(char* out, unsigned value, int width) {
    for (int k = width - 1; k >= 0; --k) {
        out[k] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return out + width;
}

char* put_year(char* out, unsigned year) {
    return year >= 10000 ? put2(out, year) : put_fixed(out, year, 4);
}

} // namespace

bool is_leap_year(int year) {
    if (year == 0) {
        year = 1;
    }
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

namespace {

void read_seconds(ole_date& date, std::string_view seconds);

// The form every provider writes, "YYYY-MM-DD" or "YYYY-MM-DD hh:mm:ss[.fffffffff]" with
// nothing around it, read directly into `date`: it is what the general reading arrives at for
// that text, without its scanning for other forms. False (and `date` to be read again) for any
// other text or a value that is not valid.
bool read_canonical(ole_date& date, const std::string& t) {
    const std::size_t n = t.size();
    if (n != 10 && (n < 19 || n == 20 || n > 29)) {
        return false;
    }
    auto digit = [&t](std::size_t i) { return t[i] >= '0' && t[i] <= '9'; };
    auto number = [&t](std::size_t at, std::size_t width) {
        uint16_t value = 0;
        for (std::size_t i = at; i < at + width; ++i) {
            value = static_cast<uint16_t>(value * 10 + (t[i] - '0'));
        }
        return value;
    };
    static const char date_shape[] = "dddd-dd-dd";
    static const char time_shape[] = " dd:dd:dd";
    for (std::size_t i = 0; i < 10; ++i) {
        if (date_shape[i] == 'd' ? !digit(i) : t[i] != date_shape[i]) {
            return false;
        }
    }
    SYSTEMTIME& st = date.sys_time;
    st = SYSTEMTIME{};
    st.wYear = number(0, 4);
    st.wMonth = number(5, 2);
    st.wDay = number(8, 2);
    if (n == 10) {
        date.kind = ole_date::kind_date;
        return date.is_valid();
    }
    for (std::size_t i = 0; i < 9; ++i) {
        if (time_shape[i] == 'd' ? !digit(10 + i) : t[10 + i] != time_shape[i]) {
            return false;
        }
    }
    if (n > 19) {
        if (t[19] != '.') {
            return false;
        }
        for (std::size_t i = 20; i < n; ++i) {
            if (!digit(i)) {
                return false;
            }
        }
    }
    st.wHour = number(11, 2);
    st.wMinute = number(14, 2);
    date.kind = ole_date::kind_date_time;
    if (!date.is_valid()) {
        return false;
    }
    read_seconds(date, std::string_view(t).substr(17));
    date.refine_type();
    return true;
}

} // namespace

ole_date::ole_date() {
    OLE_TRACE(1, "ole_date::ole_date()");
}

ole_date::ole_date(const SYSTEMTIME& time) : kind(kind_date_time), sys_time(time) {
    OLE_TRACE(1, "ole_date::ole_date(SYSTEMTIME)");
    refine_type();
}

ole_date::ole_date(const VARIANT& value) {
    OLE_TRACE(1, "ole_date::ole_date(VARIANT, vt=%d)", value.vt);
    if (value.vt == VT_EMPTY || value.vt == VT_NULL) {
        return;
    }
    if (value.vt != VT_DATE) {
        throw tk_mail_assertion("ole_date", 90);
    }
    if (!VariantTimeToSystemTime(value.date, &sys_time)) {
        sys_time = SYSTEMTIME{};
        tk_log_message(2, "Failed to convert VARIANT->SYSTEMTIME");
        return;
    }
    kind = kind_date_time;
    refine_type();
}

ole_date::ole_date(const char* text) : ole_date(std::string(text == nullptr ? "" : text)) {
}

ole_date::ole_date(const std::wstring& text) : ole_date(tk_to_utf8(text)) {
}

ole_date::ole_date(const std::string& text) {
    OLE_TRACE(1, "ole_date::ole_date('%s')", text.c_str());
    if (read_canonical(*this, text)) {
        return;
    }
    sys_time = SYSTEMTIME{};
    kind = kind_invalid;
    microseconds = 0;
    std::string t = tk_trim(text);
    OLE_TRACE(1, "After tk_trim: %s", t.c_str());
    std::size_t marker = std::string::npos;
    for (const char* word : {"AM", "PM", "am", "pm"}) {
        marker = t.find(word);
        if (marker != std::string::npos) {
            break;
        }
    }
    if (marker != std::string::npos) {
        t = tk_trim(t.substr(0, marker));
    }
    if (t.size() < 5) {
        tk_log_message(2, "Invalid date/time format: '%s'", t.c_str());
        return;
    }
    import_from_string(t);
    const bool pm = text.find("PM") != std::string::npos || text.find("pm") != std::string::npos;
    if (pm && sys_time.wHour < 12) {
        sys_time.wHour += 12;
    }
}

bool ole_date::is_valid() const {
    if (kind == kind_invalid) {
        return false;
    }
    const SYSTEMTIME& t = sys_time;
    if (t.wYear == 0 && t.wMonth == 0 && t.wDay == 0) {
        OLE_TRACE(1, "DATETIME is a pute time");
        return t.wMinute <= 60 && t.wSecond <= 60;
    }
    if (t.wMonth < 1 || t.wMonth > 12) {
        OLE_TRACE(1, "Invalid month");
        return false;
    }
    if (t.wDay > 31) {
        OLE_TRACE(1, "Invalid day (1)");
        return false;
    }
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const int limit = t.wMonth == 2 && is_leap_year(t.wYear) ? 29 : days[t.wMonth - 1];
    if (t.wDay > limit) {
        OLE_TRACE(1, "Invalid day (2)");
        return false;
    }
    if (t.wYear == 0 || t.wMonth == 0 || t.wDay == 0) {
        OLE_TRACE(1, "Got zero day/month/year");
        return false;
    }
    if (t.wMinute > 60 || t.wSecond > 60) {
        tk_log_message(2, "Invalid time");
        return false;
    }
    return true;
}

void ole_date::refine_type() {
    const SYSTEMTIME& t = sys_time;
    OLE_TRACE(1, "ole_date::refine_type(%d,%d,%d,%d,%d,%d)", t.wYear, t.wMonth, t.wDay, t.wHour,
              t.wMinute, t.wSecond);
    if (t.wYear == 0 && t.wMonth == 0 && t.wDay == 0) {
        OLE_TRACE(1, "Switch to 'pure' time");
        kind = kind_time;
        return;
    }
    // A fraction below the millisecond is part of the time too: such a value is not a date
    // only.
    if (t.wHour == 0 && t.wMinute == 0 && t.wSecond == 0 && t.wMilliseconds == 0 &&
        microseconds == 0 && t.wYear != 0 && t.wMonth != 0 && t.wDay != 0) {
        OLE_TRACE(1, "Switch to 'pure' date");
        kind = kind_date;
    }
}

void ole_date::import_from_string(const std::string& t) {
    SYSTEMTIME& st = sys_time;
    if (t.size() == 14) {
        OLE_TRACE(1, "Trying timestamp format (1)...");
        const scan_result r = scan(t, "%4d%2d%2d%2d%2d%2d");
        if (r.fields == 6) {
            st.wYear = word_of(r.numbers[0]);
            st.wMonth = word_of(r.numbers[1]);
            st.wDay = word_of(r.numbers[2]);
            st.wHour = word_of(r.numbers[3]);
            st.wMinute = word_of(r.numbers[4]);
            st.wSecond = word_of(r.numbers[5]);
            swap_day_and_year(st);
            kind = kind_date_time;
            if (is_valid()) {
                return;
            }
        }
    } else if (t.size() == 8) {
        OLE_TRACE(1, "Trying timestamp format (2)...");
        const scan_result r = scan(t, "%4d%2d%2d");
        if (r.fields == 3) {
            st.wYear = word_of(r.numbers[0]);
            st.wMonth = word_of(r.numbers[1]);
            st.wDay = word_of(r.numbers[2]);
            kind = kind_date;
            if (is_valid()) {
                return;
            }
        }
    }

    st = SYSTEMTIME{};
    kind = kind_invalid;
    OLE_TRACE(1, "Trying pure time format...");
    {
        const scan_result r = scan(t, "%hd:%hd:%s");
        if (r.fields == 3 || r.fields == 2) {
            st.wHour = word_of(r.numbers[0]);
            st.wMinute = word_of(r.numbers[1]);
            kind = kind_time;
            if (is_valid()) {
                if (r.fields == 3) {
                    process_milliseconds(r.word);
                }
                return;
            }
        }
    }

    st = SYSTEMTIME{};
    kind = kind_invalid;
    static const char* const forms[] = {"%hd-%hd-%hd %hd:%hd:%s", "%hd/%hd/%hd %hd:%hd:%s",
                                        "%hd.%hd.%hd %hd:%hd:%s"};
    for (int form = 0; form < 3; ++form) {
        OLE_TRACE(1, "Trying datetime format #%d", form);
        const scan_result r = scan(t, forms[form]);
        const long long* n = r.numbers;
        // Fields read are stored even when the form fails, as the scan writes them.
        if (r.fields >= 1) {
            st.wYear = word_of(n[0]);
        }
        if (r.fields >= 2) {
            st.wMonth = word_of(n[1]);
        }
        if (r.fields >= 3) {
            st.wDay = word_of(n[2]);
        }
        if (r.fields >= 4) {
            st.wHour = word_of(n[3]);
        }
        if (r.fields >= 5) {
            st.wMinute = word_of(n[4]);
        }
        if (r.fields != 3 && r.fields != 6) {
            continue;
        }
        swap_day_and_year(st);
        if (r.fields == 3) {
            OLE_TRACE(1, "Format #%d succeeded (3 items)", form);
            kind = kind_date;
            if (is_valid()) {
                return;
            }
            continue;
        }
        OLE_TRACE(1, "Format #%d succeeded (6 items)", form);
        kind = kind_date_time;
        if (is_valid()) {
            process_milliseconds(r.word);
            refine_type();
            return;
        }
    }

    // Whatever the platform's date reader accepts.
    st = SYSTEMTIME{};
    const std::u16string wide = tk_utf8_to_utf16(t);
    DATE date = 0;
    LCID lcid = GetSystemDefaultLCID();
    if (lcid == 0) {
        lcid = 1033;
    }
    if (SUCCEEDED(VarDateFromStr(wide.c_str(), lcid, 0, &date)) &&
        VariantTimeToSystemTime(date, &st)) {
        OLE_TRACE(1, "Got datetime using Microsoft API");
        kind = kind_date_time;
        microseconds = 0;
        refine_type();
        return;
    }
    st = SYSTEMTIME{};
    kind = kind_invalid;
    tk_log_message(2, "Invalid date/time format: '%s'", t.c_str());
}

void ole_date::process_milliseconds(const std::string& seconds) {
    read_seconds(*this, seconds);
}

namespace {

// The body of process_milliseconds, on a view: the canonical reader passes the tail of its text
// without copying it. Reading stops at a NUL, as it would in a C string.
void read_seconds(ole_date& date, std::string_view seconds) {
    OLE_TRACE(1, "ole_date::process_milliseconds");
    OLE_TRACE(1, "Got row sec: '%.*s'",
              static_cast<int>(std::min(seconds.size(), seconds.find('\0'))), seconds.data());
    SYSTEMTIME& st = date.sys_time;
    long long whole = 0;
    uint32_t micro = 0;
    uint32_t milli = 0;

    // Plain "ss" or "ss.fffffff" is read digit by digit, so that no binary rounding can move
    // the fraction; anything else goes through the C library's reading of a number.
    std::size_t i = 0;
    while (i < seconds.size() && is_space(seconds[i])) {
        ++i;
    }
    std::size_t digits_start = i;
    while (i < seconds.size() && seconds[i] >= '0' && seconds[i] <= '9') {
        if (whole < 1000000000) {
            whole = whole * 10 + (seconds[i] - '0');
        }
        ++i;
    }
    bool plain = i > digits_start;
    std::string_view fraction;
    if (plain && i < seconds.size() && seconds[i] == '.') {
        ++i;
        const std::size_t fraction_start = i;
        while (i < seconds.size() && seconds[i] >= '0' && seconds[i] <= '9') {
            ++i;
        }
        fraction = seconds.substr(fraction_start, i - fraction_start);
    }
    if (plain && i < seconds.size() && (seconds[i] == 'e' || seconds[i] == 'E')) {
        plain = false;
    }
    if (plain) {
        auto first_digits = [&](std::size_t n) {
            uint32_t value = 0;
            for (std::size_t k = 0; k < n; ++k) {
                value = value * 10 +
                        (k < fraction.size() ? static_cast<uint32_t>(fraction[k] - '0') : 0);
            }
            return value;
        };
        // Half away from zero: the first dropped digit decides.
        micro = first_digits(6) + (fraction.size() > 6 && fraction[6] >= '5' ? 1 : 0);
        milli = first_digits(3) + (fraction.size() > 3 && fraction[3] >= '5' ? 1 : 0);
    } else {
        double s = std::strtod(std::string(seconds).c_str(), nullptr);
        if (!(s >= 0)) {
            s = 0;
        }
        if (s > 65535) {
            s = 65535;
        }
        whole = static_cast<long long>(s);
        const double f = s - static_cast<double>(whole);
        micro = static_cast<uint32_t>(std::floor(f * 1000000 + 0.5));
        milli = static_cast<uint32_t>(std::floor(f * 1000 + 0.5));
    }
    st.wSecond = word_of(whole);
    OLE_TRACE(1, "Got sec: %d", st.wSecond);
    if (micro >= 1000000) {
        // The fraction rounds up to a whole second. Carry it into the minute and the hour, but
        // never past the end of the day: there the fraction is cut to the last microsecond, so
        // the value keeps its day and never moves backwards.
        unsigned second = st.wSecond + 1u;
        unsigned minute = st.wMinute;
        unsigned hour = st.wHour;
        if (second >= 60) {
            second -= 60;
            ++minute;
        }
        if (minute >= 60) {
            minute -= 60;
            ++hour;
        }
        if (hour >= 24) {
            micro = 999999;
            milli = 999;
        } else {
            micro = 0;
            milli = 0;
            st.wSecond = static_cast<uint16_t>(second);
            st.wMinute = static_cast<uint16_t>(minute);
            st.wHour = static_cast<uint16_t>(hour);
        }
    }
    if (milli > 999) {
        // .9995 to .9999994 rounds to a whole second in milliseconds only.
        milli = 999;
    }
    st.wMilliseconds = static_cast<uint16_t>(milli);
    date.microseconds = micro;
    OLE_TRACE(1, "Got msec: %d", st.wMilliseconds);
    OLE_TRACE(1, "Got microseconds: %d", date.microseconds);
}

} // namespace

namespace {

// The canonical text; `narrow` chooses the time-only form with the zero date.
std::size_t format_date(const ole_date& date, char* out, int digits, bool narrow) {
    const SYSTEMTIME& t = date.sys_time;
    char* p = out;
    bool with_time = false;
    switch (date.kind) {
    case ole_date::kind_date_time:
        p = put_year(p, t.wYear);
        *p++ = '-';
        p = put2(p, t.wMonth);
        *p++ = '-';
        p = put2(p, t.wDay);
        with_time = t.wHour != 0 || t.wMinute != 0 || t.wSecond != 0 || t.wMilliseconds != 0 ||
                    date.microseconds != 0;
        if (with_time) {
            *p++ = ' ';
        }
        break;
    case ole_date::kind_date:
        p = put_year(p, t.wYear);
        *p++ = '-';
        p = put2(p, t.wMonth);
        *p++ = '-';
        p = put2(p, t.wDay);
        break;
    case ole_date::kind_time:
        if (narrow) {
            std::memcpy(p, "0000-00-00 ", 11);
            p += 11;
        }
        with_time = true;
        break;
    default:
        return 0;
    }
    if (!with_time) {
        return static_cast<std::size_t>(p - out);
    }
    p = put2(p, t.wHour % 24u);
    *p++ = ':';
    p = put2(p, t.wMinute);
    *p++ = ':';
    p = put2(p, t.wSecond);
    if (digits == 0 || (date.microseconds == 0 && t.wMilliseconds == 0)) {
        return static_cast<std::size_t>(p - out);
    }
    *p++ = '.';
    if (digits == 6 && date.microseconds != 0) {
        p = put_fixed(p, date.microseconds % 1000000u, 6);
    } else {
        p = put_fixed(p, t.wMilliseconds % 1000u, 3);
    }
    return static_cast<std::size_t>(p - out);
}

} // namespace

std::size_t ole_date::write_string(char* out, int digits) const {
    return format_date(*this, out, digits, true);
}

std::size_t ole_date::append_string(std::string& out, int digits) const {
    char buffer[max_text];
    const std::size_t n = format_date(*this, buffer, digits, true);
    out.append(buffer, n);
    return n;
}

std::string ole_date::to_string(int digits) const {
    OLE_TRACE(1, "ole_date::to_string(%d)", digits);
    char buffer[max_text];
    const std::size_t n = format_date(*this, buffer, digits, true);
    OLE_TRACE(1, "buf=%.*s", static_cast<int>(n), buffer);
    return std::string(buffer, n);
}

std::wstring ole_date::to_wstring(int digits) const {
    OLE_TRACE(1, "ole_date::to_wstring(%d)", digits);
    char buffer[max_text];
    const std::size_t n = format_date(*this, buffer, digits, false);
    return std::wstring(buffer, buffer + n);
}
