// Tests of dates: the text forms, validation, the canonical texts and the fraction of seconds.
#include "OLE/ole_date.h"

#include "TK/tk_excep.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct date_case {
    const char* text;
    int kind;
    const char* six;   // to_string(6)
    const char* three; // to_string(3)
    const char* zero;  // to_string(0)
};

} // namespace

TEST(OleDate, ReadsTheTextFormsAndPrintsCanonically) {
    const date_case cases[] = {
        {"2020-01-02 10:20:30.1234567", 1, "2020-01-02 10:20:30.123457", "2020-01-02 10:20:30.123",
         "2020-01-02 10:20:30"},
        {"2020-01-02 00:00:00", 2, "2020-01-02", "2020-01-02", "2020-01-02"},
        {"20200102", 2, "2020-01-02", "2020-01-02", "2020-01-02"},
        {"20200102103000", 1, "2020-01-02 10:30:00", "2020-01-02 10:30:00", "2020-01-02 10:30:00"},
        {"02.01.2020 10:20:30", 1, "2020-01-02 10:20:30", "2020-01-02 10:20:30",
         "2020-01-02 10:20:30"},
        {"02/01/2020 10:20:30", 1, "2020-01-02 10:20:30", "2020-01-02 10:20:30",
         "2020-01-02 10:20:30"},
        {"  2020-01-02  ", 2, "2020-01-02", "2020-01-02", "2020-01-02"},
        {"10:20", 3, "0000-00-00 10:20:00", "0000-00-00 10:20:00", "0000-00-00 10:20:00"},
        {"10:20:59.9999999", 3, "0000-00-00 10:21:00", "0000-00-00 10:21:00",
         "0000-00-00 10:21:00"},
        {"10:20:30.9996", 3, "0000-00-00 10:20:30.999600", "0000-00-00 10:20:30.999",
         "0000-00-00 10:20:30"},
        {"10:20:30.0005", 3, "0000-00-00 10:20:30.000500", "0000-00-00 10:20:30.001",
         "0000-00-00 10:20:30"},
        {"10:20:30.00001", 3, "0000-00-00 10:20:30.000010", "0000-00-00 10:20:30.000",
         "0000-00-00 10:20:30"},
        {"01:30 PM", 3, "0000-00-00 13:30:00", "0000-00-00 13:30:00", "0000-00-00 13:30:00"},
        {"12:30 PM", 3, "0000-00-00 12:30:00", "0000-00-00 12:30:00", "0000-00-00 12:30:00"},
        {"12:30 AM", 3, "0000-00-00 12:30:00", "0000-00-00 12:30:00", "0000-00-00 12:30:00"},
        {"0000-00-00 00:00:00", 3, "0000-00-00 00:00:00", "0000-00-00 00:00:00",
         "0000-00-00 00:00:00"},
        {"2020-01-02 10:60:00", 1, "2020-01-02 10:60:00", "2020-01-02 10:60:00",
         "2020-01-02 10:60:00"},
        {"2020-02-29", 2, "2020-02-29", "2020-02-29", "2020-02-29"},
        {"2000-02-29", 2, "2000-02-29", "2000-02-29", "2000-02-29"},
        {"0001-01-01 00:00:00.000001", 1, "0001-01-01 00:00:00.000001", "0001-01-01 00:00:00.000",
         "0001-01-01 00:00:00"},
        {"9999-12-31 23:59:59.999999", 1, "9999-12-31 23:59:59.999999", "9999-12-31 23:59:59.999",
         "9999-12-31 23:59:59"},
        {"Jan  1 2000 12:00AM", 1, "2000-01-01 12:00:00", "2000-01-01 12:00:00",
         "2000-01-01 12:00:00"},
        {"Mar 15 2021", 2, "2021-03-15", "2021-03-15", "2021-03-15"},
    };
    for (const date_case& c : cases) {
        SCOPED_TRACE(c.text);
        const ole_date date(c.text);
        ASSERT_TRUE(date.is_valid());
        EXPECT_EQ(date.kind, c.kind);
        EXPECT_EQ(date.to_string(6), c.six);
        EXPECT_EQ(date.to_string(3), c.three);
        EXPECT_EQ(date.to_string(0), c.zero);
        std::string appended = "x";
        date.append_string(appended, 6);
        EXPECT_EQ(appended, std::string("x") + c.six);
    }
}

TEST(OleDate, RejectsWhatNoFormReads) {
    for (const char* text : {"2019-02-29", "1900-02-29", "1:30 PM", "abcd", "2020-13-01",
                             "2020-04-31", "", "     ", "hello world", "12345678901234567890",
                             "99999-99999-99999 99999:99999:99999", "2020-01-00"}) {
        SCOPED_TRACE(text);
        const ole_date date(text);
        EXPECT_FALSE(date.is_valid());
        EXPECT_EQ(date.to_string(6), "");
    }
}

TEST(OleDate, TimeOnlyHasItsOwnWideForm) {
    const ole_date time(std::wstring(L"10:20"));
    EXPECT_EQ(time.to_wstring(6), L"10:20:00");
    EXPECT_EQ(time.to_string(6), "0000-00-00 10:20:00");
    const ole_date with_fraction("10:20:30.5");
    EXPECT_EQ(with_fraction.to_wstring(6), L"10:20:30.500000");
    EXPECT_EQ(with_fraction.to_wstring(3), L"10:20:30.500");
}

// Rounding the 7th fractional digit never moves a value back to the start of its day.
TEST(OleDate, RoundingTheSeventhDigitKeepsTheDay) {
    const ole_date time("23:59:59.9999999");
    EXPECT_EQ(time.to_string(6), "0000-00-00 23:59:59.999999");
    EXPECT_EQ(time.to_string(3), "0000-00-00 23:59:59.999");
    const ole_date last("9999-12-31 23:59:59.9999995");
    EXPECT_EQ(last.to_string(6), "9999-12-31 23:59:59.999999");
    const ole_date before_midnight("2020-01-02 23:59:59.99999951");
    EXPECT_EQ(before_midnight.to_string(6), "2020-01-02 23:59:59.999999");
    const ole_date carried("2020-01-02 22:59:59.9999999");
    EXPECT_EQ(carried.to_string(6), "2020-01-02 23:00:00");
}

TEST(OleDate, ConstructorsFromSystemTimeAndVariant) {
    const ole_date midnight(SYSTEMTIME{2020, 5, 0, 17, 0, 0, 0, 0});
    EXPECT_EQ(midnight.kind, ole_date::kind_date);
    const ole_date noon(SYSTEMTIME{2020, 5, 0, 17, 12, 0, 0, 0});
    EXPECT_EQ(noon.kind, ole_date::kind_date_time);
    const ole_date time(SYSTEMTIME{0, 0, 0, 0, 8, 15, 0, 0});
    EXPECT_EQ(time.kind, ole_date::kind_time);

    VARIANT v;
    VariantInit(&v);
    v.vt = VT_DATE;
    v.date = 2.5;
    const ole_date from_variant(v);
    EXPECT_EQ(from_variant.to_string(6), "1900-01-01 12:00:00");
    v.vt = VT_NULL;
    EXPECT_FALSE(ole_date(v).is_valid());
    v.vt = VT_DATE;
    v.date = 1e10;
    EXPECT_FALSE(ole_date(v).is_valid());
    v.vt = VT_I4;
    EXPECT_THROW(ole_date{v}, tk_mail_assertion);
}

TEST(OleDate, LeapYears) {
    EXPECT_TRUE(is_leap_year(2000));
    EXPECT_TRUE(is_leap_year(2020));
    EXPECT_FALSE(is_leap_year(1900));
    EXPECT_FALSE(is_leap_year(2019));
    EXPECT_FALSE(is_leap_year(0));
}

TEST(OleDate, TheProvidersFormReadsAsTheGeneralReadingDoes) {
    // The usual form is read by a short way; these texts, in that form and just beside it, must
    // come out exactly as the general reading makes them.
    const char* const texts[] = {"2024-01-02 03:04:05.678",
                                 "2024-01-02 03:04:05",
                                 "2024-01-02 00:00:00",
                                 "2024-01-02 00:00:00.0000001",
                                 "2024-01-02",
                                 "0000-00-00",
                                 "0000-00-00 00:00:00",
                                 "1999-12-31 23:59:59.9999999",
                                 "1999-12-31 23:59:59.999999999",
                                 "2024-02-29 10:00:00",
                                 "2023-02-29 10:00:00",
                                 "2023-02-29",
                                 "2024-13-01 10:00:00",
                                 "2024-01-32",
                                 "2024-01-02 24:00:00",
                                 "2024-01-02 10:60:60",
                                 "2024-01-02 10:61:00",
                                 "2024-01-02 10:00:61",
                                 "2024-01-02 10:00:00.",
                                 "2024-01-02T10:00:00",
                                 "2024-01-02 10:00:00.12a",
                                 "2024-1-02",
                                 "0001-01-01 00:00:00.1234567",
                                 "9999-12-31 23:59:59.9999995",
                                 "2024-01-02 10:00:05.5e1"};
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        const ole_date fast{std::string(text)};
        ole_date general;
        general.import_from_string(text);
        EXPECT_EQ(fast.kind, general.kind);
        EXPECT_EQ(fast.microseconds, general.microseconds);
        const SYSTEMTIME& a = fast.sys_time;
        const SYSTEMTIME& b = general.sys_time;
        EXPECT_EQ(std::vector<int>({a.wYear, a.wMonth, a.wDay, a.wHour, a.wMinute, a.wSecond,
                                    a.wMilliseconds, a.wDayOfWeek}),
                  std::vector<int>({b.wYear, b.wMonth, b.wDay, b.wHour, b.wMinute, b.wSecond,
                                    b.wMilliseconds, b.wDayOfWeek}));
    }
}
