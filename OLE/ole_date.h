// Dates: a broken-down date and time with its kind and microseconds, read from the many text
// forms the readers meet and printed in the canonical forms SQL text uses.
#pragma once

#include "platform/oleaut/oleaut.h"

#include <cstdint>
#include <string>

// Gregorian leap year; year 0 counts as year 1 (not a leap year).
bool is_leap_year(int year);

class ole_date {
public:
    enum : int32_t {
        kind_invalid = 0,
        kind_date_time = 1,
        kind_date = 2,
        kind_time = 3,
    };

    static constexpr std::size_t max_text = 64;

    // Invalid, all fields zero.
    ole_date();
    // Kind date and time, refined to date only or time only where the fields allow.
    explicit ole_date(const SYSTEMTIME& time);
    // A VT_DATE converted through VariantTimeToSystemTime; VT_EMPTY and VT_NULL give an invalid
    // date; any other type is an internal error.
    explicit ole_date(const VARIANT& value);
    // Parses the text; a text no form reads leaves the date invalid (nothing is thrown).
    explicit ole_date(const std::string& text);
    explicit ole_date(const char* text);
    // The wide text is read through its UTF-8 form (every form it can match is ASCII).
    explicit ole_date(const std::wstring& text);

    bool is_valid() const;
    // Date only for a midnight value with a date, time only for a value without a date.
    void refine_type();
    // Fills the fields and `kind` from the first text form that reads and validates.
    void import_from_string(const std::string& text);
    // Sets the second, the milliseconds and the microseconds from a seconds text such as
    // "30.1234567". The 7th fractional digit is rounded; a rounding that would reach the next
    // day is truncated to 23:59:59.999999 instead.
    void process_milliseconds(const std::string& seconds);

    // Canonical text with 0, 3 or 6 fraction digits: "YYYY-MM-DD", "YYYY-MM-DD hh:mm:ss[.fff]"
    // or, for a time only, "0000-00-00 hh:mm:ss[.fff]" (narrow) and "hh:mm:ss[.fff]" (wide).
    std::string to_string(int digits) const;
    std::wstring to_wstring(int digits) const;
    // Appends the narrow text to `out` without any other allocation; returns the characters
    // added. For writers that build statements in one buffer.
    std::size_t append_string(std::string& out, int digits) const;
    // Writes the narrow text to `out` (at least ole_date::max_text bytes), without a
    // terminator; returns its length.
    std::size_t write_string(char* out, int digits) const;

    int32_t kind = kind_invalid;
    uint32_t microseconds = 0;
    SYSTEMTIME sys_time{};
};
