// OLE Automation dates: days since 1899-12-30 with the time of day as the fraction, from
// 100-01-01 to 9999-12-31, to the second. Text in the en-US forms.
#include "platform/oleaut/oleaut_internal.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

using namespace oleaut;

namespace {

const int64_t epoch = days_from_civil(1899, 12, 30);
// 100-01-01 is day -657434; its times of day lie between it and -657435.
constexpr double min_date = -657434.9999999999;
constexpr double max_date = 2958465.9999999998; // 9999-12-31 23:59:59.999...
constexpr int64_t seconds_per_day = 86400;

// `civil_days` counts from 1970-01-01.
bool encode_days(int64_t civil_days, int64_t seconds, DATE* out) {
    const int64_t days = civil_days - epoch;
    const double fraction = static_cast<double>(seconds) / seconds_per_day;
    // Before the epoch the integer part counts days back and the fraction still adds time.
    const double value =
        days < 0 ? static_cast<double>(days) - fraction : static_cast<double>(days) + fraction;
    if (value < min_date || value > max_date) {
        return false;
    }
    *out = value;
    return true;
}

bool encode(int64_t year, unsigned month, unsigned day, int64_t seconds, DATE* out) {
    return encode_days(days_from_civil(year, month, day), seconds, out);
}

} // namespace

int SystemTimeToVariantTime(const SYSTEMTIME* st, DATE* date) {
    if (st == nullptr || date == nullptr) {
        return 0;
    }
    if (st->wMonth < 1 || st->wMonth > 12 || st->wDay > 31 || st->wHour > 23 || st->wMinute > 59 ||
        st->wSecond > 59 || st->wYear < 100 || st->wYear > 9999) {
        return 0;
    }
    // A day past the end of its month moves into the next month and day 0 is the last day of
    // the month before, as OLE Automation documents it.
    const int64_t days = days_from_civil(st->wYear, st->wMonth, 1) + st->wDay - 1;
    const int64_t seconds = st->wHour * 3600 + st->wMinute * 60 + st->wSecond;
    if (st->wDay >= 1 && st->wDay <= days_in_month(st->wYear, st->wMonth)) {
        // The usual day within its month: `days` is that date already, no need to go round.
        return encode_days(days, seconds, date) ? 1 : 0;
    }
    int64_t year = 0;
    unsigned month = 0;
    unsigned day = 0;
    civil_from_days(days, year, month, day);
    return encode(year, month, day, seconds, date) ? 1 : 0;
}

int VariantTimeToSystemTime(DATE date, SYSTEMTIME* st) {
    if (st == nullptr || std::isnan(date) || date < min_date || date > max_date) {
        return 0;
    }
    const double whole = std::trunc(date);
    int64_t days = static_cast<int64_t>(whole) + epoch;
    int64_t seconds = std::llround(std::fabs(date - whole) * seconds_per_day);
    if (seconds >= seconds_per_day) {
        seconds -= seconds_per_day;
        ++days;
    }
    int64_t year = 0;
    unsigned month = 0;
    unsigned day = 0;
    civil_from_days(days, year, month, day);
    if (year > 9999) {
        return 0;
    }
    st->wYear = static_cast<uint16_t>(year);
    st->wMonth = static_cast<uint16_t>(month);
    st->wDay = static_cast<uint16_t>(day);
    // 1970-01-01 was a Thursday.
    st->wDayOfWeek = static_cast<uint16_t>(((days % 7) + 7 + 4) % 7);
    st->wHour = static_cast<uint16_t>(seconds / 3600);
    st->wMinute = static_cast<uint16_t>(seconds / 60 % 60);
    st->wSecond = static_cast<uint16_t>(seconds % 60);
    st->wMilliseconds = 0;
    return 1;
}

namespace {

struct token {
    enum kind_t { number, word, separator } kind;
    std::u16string text;
    int value = 0;
    int digits = 0;
};

std::vector<token> tokenize(std::u16string_view text, bool& ok) {
    std::vector<token> tokens;
    ok = true;
    std::size_t i = 0;
    while (i < text.size()) {
        const char16_t c = text[i];
        if (c == u' ' || c == u'\t' || c == u',') {
            ++i;
            continue;
        }
        if (c >= u'0' && c <= u'9') {
            token t{token::number, {}, 0, 0};
            while (i < text.size() && text[i] >= u'0' && text[i] <= u'9') {
                if (t.digits < 9) {
                    t.value = t.value * 10 + (text[i] - u'0');
                }
                ++t.digits;
                t.text.push_back(text[i]);
                ++i;
            }
            tokens.push_back(t);
            continue;
        }
        if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z')) {
            token t{token::word, {}, 0, 0};
            while (i < text.size() &&
                   ((text[i] >= u'a' && text[i] <= u'z') || (text[i] >= u'A' && text[i] <= u'Z'))) {
                char16_t l = text[i];
                if (l >= u'A' && l <= u'Z') {
                    l = static_cast<char16_t>(l - u'A' + u'a');
                }
                t.text.push_back(l);
                ++i;
            }
            tokens.push_back(t);
            continue;
        }
        if (c == u'/' || c == u'-' || c == u':' || c == u'.') {
            tokens.push_back(token{token::separator, std::u16string(1, c), 0, 0});
            ++i;
            continue;
        }
        ok = false;
        return tokens;
    }
    return tokens;
}

int month_of_word(const std::u16string& word) {
    static const char16_t* const names[] = {u"january",   u"february", u"march",    u"april",
                                            u"may",       u"june",     u"july",     u"august",
                                            u"september", u"october",  u"november", u"december"};
    if (word.size() < 3) {
        return 0;
    }
    for (int m = 0; m < 12; ++m) {
        const std::u16string_view name(names[m]);
        if (word.size() <= name.size() && name.substr(0, word.size()) == word) {
            return m + 1;
        }
    }
    return 0;
}

int expand_year(const token& t) {
    if (t.digits <= 2) {
        // Two-digit years fall in 1930 to 2029.
        return t.value < 30 ? 2000 + t.value : 1900 + t.value;
    }
    return t.value;
}

} // namespace

HRESULT VarDateFromStr(LPCOLESTR text, LCID, uint32_t, DATE* out) {
    if (text == nullptr || out == nullptr) {
        return E_INVALIDARG;
    }
    bool ok = true;
    std::vector<token> tokens = tokenize(std::u16string_view(text), ok);
    if (!ok || tokens.empty()) {
        return DISP_E_TYPEMISMATCH;
    }
    // The time: number ':' number [':' number ['.' digits]] [am|pm].
    int hour = 0, minute = 0, second = 0;
    bool has_time = false;
    int pm = -1; // -1 none, 0 am, 1 pm
    std::vector<token> date_part;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const token& t = tokens[i];
        if (t.kind == token::number && i + 2 < tokens.size() && tokens[i + 1].text == u":" &&
            tokens[i + 2].kind == token::number && !has_time) {
            has_time = true;
            hour = t.value;
            minute = tokens[i + 2].value;
            i += 2;
            if (i + 2 < tokens.size() && tokens[i + 1].text == u":" &&
                tokens[i + 2].kind == token::number) {
                second = tokens[i + 2].value;
                i += 2;
                if (i + 2 < tokens.size() && tokens[i + 1].text == u"." &&
                    tokens[i + 2].kind == token::number) {
                    // Fractions of a second below the DATE's resolution are rounded.
                    if (tokens[i + 2].text[0] >= u'5') {
                        ++second;
                    }
                    i += 2;
                }
            }
            continue;
        }
        if (t.kind == token::word &&
            (t.text == u"am" || t.text == u"pm" || t.text == u"a" || t.text == u"p")) {
            pm = t.text[0] == u'p' ? 1 : 0;
            continue;
        }
        date_part.push_back(t);
    }
    if (pm >= 0) {
        if (!has_time && !date_part.empty() && date_part.back().kind == token::number) {
            // "3 PM": an hour alone.
            has_time = true;
            hour = date_part.back().value;
            date_part.pop_back();
        }
        if (!has_time || hour < 1 || hour > 12) {
            return DISP_E_TYPEMISMATCH;
        }
        hour = pm == 1 ? (hour % 12) + 12 : hour % 12;
    }
    if (hour > 23 || minute > 59 || second > 60) {
        return DISP_E_TYPEMISMATCH;
    }
    std::vector<token> numbers;
    int named_month = 0;
    for (const token& t : date_part) {
        if (t.kind == token::separator) {
            continue;
        }
        if (t.kind == token::word) {
            const int m = month_of_word(t.text);
            if (m == 0 || named_month != 0) {
                // Day names are allowed and ignored; anything else is not a date.
                static const char16_t* const days[] = {u"sun", u"mon", u"tue", u"wed",
                                                       u"thu", u"fri", u"sat"};
                bool day_name = false;
                for (const char16_t* d : days) {
                    if (t.text.compare(0, 3, d) == 0) {
                        day_name = true;
                    }
                }
                if (!day_name) {
                    return DISP_E_TYPEMISMATCH;
                }
                continue;
            }
            named_month = m;
            continue;
        }
        numbers.push_back(t);
    }
    int year = 1899, month = 12, day = 30;
    if (named_month != 0) {
        if (numbers.size() != 2) {
            return DISP_E_TYPEMISMATCH;
        }
        // "Jan 1 2000", "1 Jan 2000", "2000 Jan 1": the number of more than two digits or
        // above 31 is the year.
        const bool first_is_year = numbers[0].digits > 2 || numbers[0].value > 31;
        const token& y = first_is_year ? numbers[0] : numbers[1];
        const token& d = first_is_year ? numbers[1] : numbers[0];
        year = expand_year(y);
        month = named_month;
        day = d.value;
    } else if (numbers.size() == 3) {
        if (numbers[0].digits > 2) {
            year = numbers[0].value;
            month = numbers[1].value;
            day = numbers[2].value;
        } else {
            month = numbers[0].value;
            day = numbers[1].value;
            year = expand_year(numbers[2]);
        }
    } else if (!numbers.empty() || !has_time) {
        return DISP_E_TYPEMISMATCH;
    }
    if (month < 1 || month > 12 || day < 1 ||
        day > static_cast<int>(days_in_month(year, static_cast<unsigned>(month)))) {
        return DISP_E_TYPEMISMATCH;
    }
    int64_t seconds = hour * 3600 + minute * 60 + second;
    int64_t days = days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    if (seconds >= seconds_per_day) {
        seconds -= seconds_per_day;
        ++days;
    }
    int64_t y = 0;
    unsigned m = 0, d = 0;
    civil_from_days(days, y, m, d);
    if (!encode(y, m, d, seconds, out)) {
        return DISP_E_OVERFLOW;
    }
    return S_OK;
}

HRESULT VarBstrFromDate(DATE date, LCID, uint32_t, BSTR* out) {
    if (out == nullptr) {
        return E_INVALIDARG;
    }
    SYSTEMTIME st{};
    if (!VariantTimeToSystemTime(date, &st)) {
        return DISP_E_OVERFLOW;
    }
    const bool has_date = !(st.wYear == 1899 && st.wMonth == 12 && st.wDay == 30);
    const bool has_time = st.wHour != 0 || st.wMinute != 0 || st.wSecond != 0;
    char buffer[64];
    std::string text;
    if (has_date || !has_time) {
        std::snprintf(buffer, sizeof buffer, "%u/%u/%u", st.wMonth, st.wDay, st.wYear);
        text = buffer;
    }
    if (has_time) {
        const unsigned hour12 = st.wHour % 12 == 0 ? 12 : st.wHour % 12;
        std::snprintf(buffer, sizeof buffer, "%u:%02u:%02u %s", hour12, st.wMinute, st.wSecond,
                      st.wHour < 12 ? "AM" : "PM");
        if (!text.empty()) {
            text += ' ';
        }
        text += buffer;
    }
    *out = bstr_from_ascii(text);
    return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}
