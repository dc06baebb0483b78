// Tests of the script's rows: INSERT statements, long values in pieces, multi-row statements.
#include "SQL/sql_dmprs.h"

#include "tests/SQL_dump/dmp_test_fixture.h"

#include "SQL/sql_util.h"
#include "TK/tk_excep.h"
#include "TK/tk_utils.h"

namespace {

using namespace dmp_test;
using namespace std::string_literals;

class rows_test : public dump_test {
protected:
    // The rows part of a script (after the LOCK TABLES of the last table) for tables whose
    // rows `body` appends.
    template <class F> std::string rows(F&& body, bool new_version = true) {
        dump_options options;
        options.comments = false;
        options.create_tables = false;
        options.lock_tables = true;
        options.new_version = new_version;
        {
            dmp_database db(wpath("r.sql"), options);
            body(db);
            db.close();
        }
        const std::string text = without_completion_line(script_text("r.sql"), "\r\n");
        const std::size_t lock = text.find("LOCK TABLES");
        return text.substr(text.find("\r\n", lock) + 2);
    }

    udb_schema abc(VARTYPE vt = VT_I4) {
        return schema_of({column(L"a", vt, 0), column(L"b", vt, 0), column(L"c", vt, 0)});
    }
};

TEST_F(rows_test, OneStatementOnTwoLinesPerRow) {
    const std::string text = rows([&](dmp_database& db) {
        auto t = db.create_table(L"t", abc(), {});
        t->append_record(record_of(
            {{L"a", typed("1", VT_I4)}, {L"b", ole_variant()}, {L"c", typed("-3", VT_I4)}}));
        // Fields in another order and letter case still find their columns; a carriage return
        // in a literal is escaped, since the mysql client drops one that ends a line.
        t->append_record(record_of(
            {{L"C", typed("6", VT_I4)}, {L"a", typed("4", VT_I4)}, {L"B", typed("5", VT_I4)}}));
        auto u = db.create_table(L"u", schema_of({column(L"s", VT_BSTR, 10)}), {});
        u->append_record(record_of({{L"s", ole_variant(std::wstring(L"a\r\n'\r"))}}));
    });
    EXPECT_EQ(text, "INSERT INTO `t`(`a`, `b`, `c`) \nVALUES (1, NULL, -3);\r\n"
                    "INSERT INTO `t`(`a`, `b`, `c`) \nVALUES (4, 5, 6);\r\n"
                    "UNLOCK TABLES;\r\nLOCK TABLES `u` WRITE;\r\n"
                    "INSERT INTO `u`(`s`) \nVALUES ('a\\r\n\\'\\r');\r\n"
                    "UNLOCK TABLES;\r\n");
}

TEST_F(rows_test, OldServerNamesAreBare) {
    const std::string text = rows(
        [&](dmp_database& db) {
            auto t = db.create_table(L"t", schema_of({column(L"a", VT_I4, 4)}), {});
            t->append_record(record_of({{L"a", typed("1", VT_I4)}}));
        },
        false);
    EXPECT_EQ(text, "INSERT INTO t(a) \nVALUES (1);\r\nUNLOCK TABLES;\r\n");
}

TEST_F(rows_test, ShortRecordsAreMatchedByNameAndMismatchesWriteNothing) {
    const std::string text = rows([&](dmp_database& db) {
        auto t = db.create_table(L"t", abc(), {});
        t->append_record(record_of({{L"c", typed("3", VT_I4)}, {L"a", typed("1", VT_I4)}}));
        for (const wchar_t* name : {L"x", L"b;"}) {
            try {
                t->append_record(record_of({{name, typed("9", VT_I4)}}));
                ADD_FAILURE() << "no exception";
            } catch (const tk_exception& e) {
                EXPECT_EQ(e.level, 0);
                EXPECT_EQ(e.message,
                          "The structure of data source does not conform to the destination "
                          "table. For more information see Troubleshooting article of the "
                          "product documentation.");
            }
        }
        // A record with all columns but a foreign field name lacks a column.
        EXPECT_THROW(
            t->append_record(record_of(
                {{L"a", typed("1", VT_I4)}, {L"b", typed("2", VT_I4)}, {L"d", typed("3", VT_I4)}})),
            tk_exception);
        // After the failures, and whenever the names change, the statement names the columns
        // of the record at hand.
        t->append_record(record_of({{L"b", typed("2", VT_I4)}}));
        t->append_record(record_of({{L"b", typed("5", VT_I4)}}));
        t->append_record(record_of({{L"c", typed("6", VT_I4)}, {L"a", typed("4", VT_I4)}}));
    });
    EXPECT_EQ(text, "INSERT INTO `t`(`c`, `a`) \nVALUES (3, 1);\r\n"
                    "INSERT INTO `t`(`b`) \nVALUES (2);\r\n"
                    "INSERT INTO `t`(`b`) \nVALUES (5);\r\n"
                    "INSERT INTO `t`(`c`, `a`) \nVALUES (6, 4);\r\nUNLOCK TABLES;\r\n");
}

std::string hex_of(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text = "0x";
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

TEST_F(rows_test, LongByteValueIsWrittenInSlices) {
    std::vector<uint8_t> big(2097152);
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<uint8_t>(i * 7 + (i >> 13));
    }
    const std::vector<uint8_t> small{0x00, 0xFF};
    const std::string text = rows([&](dmp_database& db) {
        auto t = db.create_table(L"t", abc(ole_variant::vt_byte_array), {});
        t->append_record(record_of(
            {{L"a", ole_variant(small)}, {L"b", ole_variant(big)}, {L"c", ole_variant(small)}}));
    });
    EXPECT_TRUE(text == "INSERT INTO `t`(`a`, `b`, `c`) \nVALUES (0x00FF, " + hex_of(big) +
                            ", 0x00FF);\r\nUNLOCK TABLES;\r\n");
}

// Long text is the escaped UTF-8 literal, NUL characters and all, however the slices cut it.
TEST_F(rows_test, LongTextIsTheEscapedLiteralInPieces) {
    std::u16string big;
    const std::u16string unit = u"a'b\\c\0\U0001F600\u00e9\u4e2d\r\n"s;
    while (big.size() <= sql_engine::max_field_size + 5) {
        big += unit;
    }
    ole_variant value;
    value.attach_u16string(big);
    const std::string text = rows([&](dmp_database& db) {
        auto t = db.create_table(L"t", abc(VT_BSTR), {});
        t->append_record(record_of({{L"a", ole_variant(std::wstring(L"x"))},
                                    {L"b", std::move(value)},
                                    {L"c", ole_variant()}}));
    });
    std::string literal = "'";
    append_escaped(literal, std::u16string_view(big));
    literal += "'";
    dmp_escape_carriage_returns(literal, 0);
    EXPECT_TRUE(text == "INSERT INTO `t`(`a`, `b`, `c`) \nVALUES ('x', " + literal +
                            ", NULL);\r\nUNLOCK TABLES;\r\n");
    EXPECT_EQ(text.find(std::string(1, '\0')), std::string::npos);
}

TEST(rows_literals, CarriageReturnsAreEscapedOnlyInLiteralsFromThePositionOn) {
    const struct {
        std::string text;
        std::size_t from;
        std::string expected;
    } cases[] = {
        {"'a\rb'", 0, "'a\\rb'"},
        // The text before the position is a statement's head: its line breaks stay.
        {"INSERT\r\nINTO t VALUES ('x\r', ", 0, "INSERT\r\nINTO t VALUES ('x\\r', "},
        {"INSERT\r\nVALUES ('x\r'), ('y\r\n')", 20, "INSERT\r\nVALUES ('x\r'), ('y\\r\n')"},
        {"head\r\n`c\r`, 'v\\'\r'", 6, "head\r\n`c\r`, 'v\\'\\r'"},
        {"no carriage return", 3, "no carriage return"},
        {"'\r'", 4, "'\r'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string text = c.text;
        dmp_escape_carriage_returns(text, c.from);
        EXPECT_EQ(text, c.expected);
    }
}

udb_record text_row(std::size_t size, std::vector<const wchar_t*> names = {L"a", L"b"}) {
    std::vector<std::pair<std::wstring, ole_variant>> fields;
    for (const wchar_t* name : names) {
        fields.emplace_back(name, ole_variant(std::wstring(size, L'x')));
    }
    return record_of(std::move(fields));
}

TEST_F(rows_test, FastPathGathersRowsUpToTheBatchLimit) {
    engine_.fast_insert = true;
    const udb_schema ab = schema_of({column(L"a", VT_BSTR, 0), column(L"b", VT_BSTR, 0)});
    const std::string text = rows([&](dmp_database& db) {
        auto t = db.create_table(L"t", ab, {});
        for (int i = 0; i < 4; ++i) {
            t->append_record(text_row(200000));
        }
    });
    // Three rows of 400000 bytes pass the limit; the fourth opens a statement of its own,
    // written when the table's writer goes.
    const std::string row =
        "('" + std::string(200000, 'x') + "', '" + std::string(200000, 'x') + "')";
    EXPECT_TRUE(text == "INSERT INTO `t`(`a`, `b`) VALUES" + row + ", " + row + ", " + row +
                            ";\r\nINSERT INTO `t`(`a`, `b`) VALUES" + row +
                            ";\r\nUNLOCK TABLES;\r\n");
    EXPECT_TRUE(engine_.fast_insert);
}

TEST_F(rows_test, RowAboveTheBatchLimitEndsTheFastPathForTheRun) {
    engine_.fast_insert = true;
    const udb_schema ab = schema_of({column(L"a", VT_BSTR, 0), column(L"b", VT_BSTR, 0)});
    const std::string text = rows([&](dmp_database& db) {
        {
            auto t = db.create_table(L"t", ab, {});
            t->append_record(text_row(1));
            t->append_record(text_row(500001)); // 1000002 characters
            t->append_record(text_row(2));
        }
        auto u = db.create_table(L"u", ab, {});
        u->append_record(text_row(3));
    });
    EXPECT_FALSE(engine_.fast_insert);
    const std::size_t pending = text.find("INSERT INTO `t`(`a`, `b`) VALUES('x', 'x');\r\n");
    const std::size_t big = text.find("INSERT INTO `t`(`a`, `b`) \nVALUES ('xxx");
    const std::size_t later = text.find("INSERT INTO `t`(`a`, `b`) \nVALUES ('xx', 'xx');\r\n");
    const std::size_t other = text.find("INSERT INTO `u`(`a`, `b`) \nVALUES ('xxx', 'xxx');\r\n");
    EXPECT_EQ(pending, 0u);
    EXPECT_LT(pending, big);
    EXPECT_LT(big, later);
    EXPECT_LT(later, other);
    EXPECT_NE(other, std::string::npos);
}

TEST_F(rows_test, FastPathStatementKeepsTheColumnsOfItsFirstRow) {
    engine_.fast_insert = true;
    const std::string text = rows([&](dmp_database& db) {
        auto t = db.create_table(L"t", abc(), {});
        // Fields paired by name, whatever their order.
        t->append_record(record_of({{L"c", typed("3", VT_I4)}, {L"a", typed("1", VT_I4)}}));
        t->append_record(record_of(
            {{L"a", typed("4", VT_I4)}, {L"b", typed("5", VT_I4)}, {L"c", typed("6", VT_I4)}}));
        try {
            t->append_record(record_of({{L"c", typed("9", VT_I4)}}));
            ADD_FAILURE() << "no exception";
        } catch (const tk_exception& e) {
            EXPECT_EQ(e.message, "Generic error occurred while migrating the data.");
            EXPECT_EQ(e.level, 0);
        }
    });
    EXPECT_EQ(text, "INSERT INTO `t`(`a`, `c`) VALUES(1, 3), (4, 6);\r\nUNLOCK TABLES;\r\n");
}

// Records that carry a naming keep their pairing without their names compared; a record of
// another naming, or of none, is paired by its names again.
TEST_F(rows_test, ARecordOfAnotherNamingIsPairedAgain) {
    const std::uint64_t first = udb_record::new_naming();
    const std::uint64_t second = udb_record::new_naming();
    auto named = [](std::uint64_t naming, const wchar_t* order, int from) {
        std::vector<std::pair<std::wstring, ole_variant>> fields;
        for (const wchar_t* name = order; *name != 0; ++name) {
            fields.emplace_back(std::wstring(1, *name),
                                typed(std::to_string(from + (*name - L'a')), VT_I4));
        }
        udb_record record = record_of(std::move(fields));
        record.naming = naming;
        return record;
    };
    struct path_case {
        bool fast;
        std::string expected;
    };
    const std::string head = "INSERT INTO `t`(`a`, `b`, `c`) ";
    const path_case cases[] = {
        {false, head + "\nVALUES (1, 2, 3);\r\n" + head + "\nVALUES (4, 5, 6);\r\n" + head +
                    "\nVALUES (7, 8, 9);\r\n" + head + "\nVALUES (10, 11, 12);\r\n"},
        {true, head.substr(0, head.size() - 1) +
                   " VALUES(1, 2, 3), (4, 5, 6), (7, 8, 9), (10, 11, 12);\r\n"},
    };
    for (const path_case& c : cases) {
        SCOPED_TRACE(c.fast);
        engine_.fast_insert = c.fast;
        const std::string text = rows([&](dmp_database& db) {
            auto t = db.create_table(L"t", abc(), {});
            t->append_record(named(first, L"abc", 1));
            t->append_record(named(second, L"cab", 4));
            t->append_record(named(first, L"abc", 7));
            t->append_record(named(0, L"bca", 10));
        });
        EXPECT_EQ(text, c.expected + "UNLOCK TABLES;\r\n");
    }
}

} // namespace

// The write calls this process has made so far (Linux's I/O accounting), or -1.
long long write_calls() {
    std::ifstream io("/proc/self/io");
    std::string key;
    long long value = 0;
    while (io >> key >> value) {
        if (key == "syscw:") {
            return value;
        }
    }
    return -1;
}

TEST_F(rows_test, RowsOfAKilobyteAndMoreAreWrittenInLargePieces) {
    // A stream writes a piece of 1 KiB or more at once; the script must gather such rows too,
    // or a table of wide rows costs a write call per row.
    const long long before = write_calls();
    if (before < 0) {
        GTEST_SKIP() << "no I/O accounting";
    }
    constexpr int count = 600;
    const udb_schema ab = schema_of({column(L"a", VT_BSTR, 0), column(L"b", VT_BSTR, 0)});
    const std::string text = rows([&](dmp_database& db) {
        auto t = db.create_table(L"t", ab, {});
        for (int i = 0; i < count; ++i) {
            t->append_record(text_row(1000));
        }
    });
    const long long calls = write_calls() - before;
    // About 1.2 MB of script: a few pieces. The count is the whole process's, and a sanitizer's
    // runtime adds writes of its own, so the bound only tells pieces from a write per row.
    EXPECT_LT(calls, count / 6);
    const std::string row = "INSERT INTO `t`(`a`, `b`) \nVALUES ('" + std::string(1000, 'x') +
                            "', '" + std::string(1000, 'x') + "');\r\n";
    std::string expected;
    for (int i = 0; i < count; ++i) {
        expected += row;
    }
    EXPECT_TRUE(text == expected + "UNLOCK TABLES;\r\n");
}

namespace {

// A table in a character set that lacks a value's character: that row is refused before any of
// it is written, on both paths and for a value written in slices; the other rows stay, and a
// number column is not judged as text.
TEST_F(rows_test, RowsTheTableCharacterSetCannotStoreAreRefused) {
    engine_.charset = L"latin1";
    const std::wstring long_text = std::wstring(sql_engine::max_field_size + 10, L'x') + L"\u03A9";
    const std::vector<std::pair<std::wstring, std::wstring>> values = {{L"caf\u00e9", L"1"},
                                                                       {L"\u03A9mega", L"2"},
                                                                       {L"\u20ACuro", L"3"},
                                                                       {long_text, L"4"},
                                                                       {L"plain", L"5"}};
    for (const bool fast : {false, true}) {
        SCOPED_TRACE(fast ? "fast path" : "one row per statement");
        engine_.fast_insert = fast;
        dump_options options;
        options.comments = false;
        options.lock_tables = false;
        std::vector<std::string> refused;
        {
            dmp_database db(wpath("cs.sql"), options);
            auto t = db.create_table(
                L"t", schema_of({column(L"w", VT_BSTR, 0), column(L"n", VT_I4, 4)}), {});
            for (const auto& [text, number] : values) {
                try {
                    t->append_record(record_of(
                        {{L"w", ole_variant(text)}, {L"n", typed(tk_to_utf8(number), VT_I4)}}));
                } catch (const tk_exception& error) {
                    EXPECT_EQ(error.level, 0);
                    refused.push_back(error.what());
                }
            }
            t.reset();
            db.close();
        }
        EXPECT_EQ(refused,
                  (std::vector<std::string>{
                      "The value of column 'w' holds the character U+03A9, which the "
                      "character set latin1 cannot store; the row is not in the script.",
                      "The value of column 'w' holds the character U+03A9, which the "
                      "character set latin1 cannot store; the row is not in the script."}));
        const std::string text = script_text("cs.sql");
        EXPECT_NE(text.find("caf\xC3\xA9"), std::string::npos);
        EXPECT_NE(text.find("\xE2\x82\xAC"
                            "uro"),
                  std::string::npos);
        EXPECT_NE(text.find("'plain'"), std::string::npos);
        EXPECT_EQ(text.find("mega"), std::string::npos);
        EXPECT_EQ(text.find("xxxxxxxx"), std::string::npos);
    }
}

} // namespace

// Fields whose names differ in letter case only ('Col' and 'col', from a case-sensitive source)
// each fill their own column, on both paths, in whatever order the record holds them.
TEST_F(rows_test, FieldsThatDifferInLetterCaseOnlyFillTheirOwnColumns) {
    for (const bool fast : {false, true}) {
        SCOPED_TRACE(fast ? "fast path" : "slow path");
        engine_.fast_insert = fast;
        const std::string text = rows([&](dmp_database& db) {
            auto t = db.create_table(
                L"t", schema_of({column(L"Col", VT_I4, 4), column(L"col", VT_I4, 4)}), {});
            t->append_record(record_of({{L"Col", typed("1", VT_I4)}, {L"col", typed("2", VT_I4)}}));
            t->append_record(record_of({{L"col", typed("4", VT_I4)}, {L"Col", typed("3", VT_I4)}}));
        });
        EXPECT_EQ(text, fast ? "INSERT INTO `t`(`Col`, `col00000`) VALUES(1, 2), (3, 4);\r\n"
                               "UNLOCK TABLES;\r\n"
                             : "INSERT INTO `t`(`Col`, `col00000`) \nVALUES (1, 2);\r\n"
                               "INSERT INTO `t`(`Col`, `col00000`) \nVALUES (3, 4);\r\n"
                               "UNLOCK TABLES;\r\n");
    }
}
