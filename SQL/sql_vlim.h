// What a column of a hand-mapped type takes, for a writer that has no server to ask (the script
// file): a value the server would refuse under a strict sql_mode (too long for a length, out of
// the range of a narrower number) is found before it is written.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class sql_value_limit {
public:
    enum class kind {
        none,       // every value goes in (LONGTEXT, LONGBLOB)
        characters, // CHAR(n), VARCHAR(n) and their national forms: n characters
        text_bytes, // TINYTEXT, TEXT, MEDIUMTEXT: bytes in the column's character set
        bytes,      // BINARY(n), VARBINARY(n), the BLOBs: bytes
        integer,    // the whole-number types: a range
        decimal,    // DECIMAL(p,s): p - s digits before the point
        real,       // FLOAT, DOUBLE: a number within the type's range
        date,       // DATE, DATETIME: a date of the years 1000 to 9999, as the servers document
        json,       // JSON: a text every server reads as JSON
        year,       // YEAR: 0, 1 to 99, or 1901 to 2155
        time,       // TIME: a time of day or a duration up to 838 hours
        unjudged,   // a type whose refusals are the server's to tell (JSON, dates, ENUM, ...)
    };

    // The limit of a column of the (upper-case, full) type text `type`, such as "VARCHAR(2)",
    // "DECIMAL(4,2)" or "TINYINT UNSIGNED", in the character set `charset`.
    sql_value_limit(const std::wstring& type, const std::wstring& charset);

    kind what() const { return kind_; }
    // Whether values need judging at all.
    bool judges() const { return kind_ != kind::none && kind_ != kind::unjudged; }
    // Whether the type is a national one (NCHAR, NVARCHAR, NATIONAL ...), which the servers keep
    // in utf8mb3 and which takes no character-set clause.
    bool national() const { return national_; }

    // Why the server would refuse the literal the script writes for a value (NULL, a quoted
    // text with backslash escapes, 0x and hexadecimal digits, or a bare number); empty when it
    // takes it. A literal of another form is refused: it cannot be judged here.
    std::string refusal(std::string_view literal) const;
    // The same for a value that is written in slices: its UTF-8 text, or the count of its bytes.
    std::string refusal_of_value(std::string_view text) const;
    std::string refusal_of_bytes(std::uint64_t count) const;

private:
    std::string too_long(std::uint64_t count, const char* unit) const;
    std::string judge_number(std::string_view number) const;
    std::string judge_date(std::string_view literal) const;
    std::string judge_json(std::string_view text) const;
    std::string judge_year(std::string_view literal) const;
    std::string judge_time(std::string_view literal) const;
    // The bytes in the column's set of the character that the UTF-8 byte `byte` leads (0 for a
    // byte that leads none).
    std::uint64_t character_bytes(char byte) const;

    kind kind_ = kind::none;
    bool national_ = false;
    std::string type_;
    std::uint64_t length_ = 0;
    // integer: the lowest value's magnitude and the highest value.
    std::uint64_t low_ = 0;
    std::uint64_t high_ = 0;
    bool single_float_ = false;
    int precision_ = 0;
    int scale_ = 0;
    // How the column's set counts bytes: exactly as UTF-8, UTF-16 or UTF-32 do, or with ASCII
    // at one byte and every other character at the set's most bytes.
    enum class width { utf8, utf16, utf32, fixed } width_ = width::fixed;
    int ascii_bytes_ = 1;
    int other_bytes_ = 1;
};
