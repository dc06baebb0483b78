// Text keys as the script judges them without a server, against the MariaDB test server's own
// collations: whatever utf8mb4_general_ci or utf8mb4_uca1400_ai_ci takes for equal, the folds
// take for equal too (a fold may be coarser, never finer); then the judge of a table's keys.
#include "SQL/sql_kcol.h"
#include "SQL/sql_util.h"
#include "TK/tk_utils.h"
#include "UDB/udb_field.h"

#include "tests/SQL/sql_test_fixture.h"
#include "tests/support/text_codes.h"

#include <gtest/gtest.h>
#include <mysql.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using test_support::hex;
using test_support::utf8;

std::u16string utf16(const std::u32string& text) {
    std::u16string out;
    for (const char32_t c : text) {
        if (c < 0x10000) {
            out += static_cast<char16_t>(c);
        } else {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        }
    }
    return out;
}

constexpr const char* collations[] = {"utf8mb4_general_ci", "utf8mb4_uca1400_ai_ci"};

std::uint64_t folded(sql_key_fold& fold, int collation, const std::u32string& text) {
    const std::u16string units = utf16(text);
    return collation == 0 ? fold.general(units, 0) : fold.uca(units, 0);
}

class KeyFold : public sql_test::plain_client_test {
protected:
    // The server's weight of each text under `collation`: equal weights, equal texts.
    std::vector<std::string> weights(const std::vector<std::u32string>& texts,
                                     const std::string& collation) {
        std::vector<std::string> utf8_texts;
        for (const std::u32string& text : texts) {
            utf8_texts.push_back(utf8(text));
        }
        return utf8_weights(utf8_texts, collation);
    }

    // The same for texts in UTF-8, converted to `charset` (that of the collation); `padded`
    // pads the weights with a blank's to that many characters, as a comparison pads the shorter
    // text (the weights of a simple collation keep the text's own blanks).
    std::vector<std::string> utf8_weights(const std::vector<std::string>& texts,
                                          const std::string& collation,
                                          const std::string& charset = "utf8mb4", int padded = 0) {
        const std::string pad =
            padded > 0 ? " AS CHAR(" + std::to_string(padded) + ")" : std::string();
        std::vector<std::string> out;
        constexpr std::size_t chunk = 500;
        for (std::size_t from = 0; from < texts.size(); from += chunk) {
            const std::size_t to = std::min(texts.size(), from + chunk);
            std::string select = "SELECT ";
            for (std::size_t i = from; i < to; ++i) {
                select += (i > from ? ", " : "") +
                          std::string("HEX(WEIGHT_STRING(CONVERT(_utf8mb4 X'") + hex(texts[i]) +
                          "' USING " + charset + ") COLLATE " + collation + pad + "))";
            }
            EXPECT_EQ(mysql_query(&mysql_, select.c_str()), 0) << mysql_error(&mysql_);
            MYSQL_RES* result = mysql_store_result(&mysql_);
            if (result == nullptr) {
                return out;
            }
            MYSQL_ROW row = mysql_fetch_row(result);
            for (std::size_t i = 0; i < to - from; ++i) {
                out.push_back(row[i] != nullptr ? row[i] : "NULL");
            }
            mysql_free_result(result);
        }
        return out;
    }

    // Every two texts the server weighs alike fold alike; `allowed` lists the pairs (by the
    // texts' first characters) where the fold's Unicode tables and the server's differ.
    void expect_coarser(const std::vector<std::u32string>& texts, int collation,
                        const std::set<std::pair<char32_t, char32_t>>& allowed = {}) {
        SCOPED_TRACE(collations[collation]);
        const std::vector<std::string> server = weights(texts, collations[collation]);
        ASSERT_EQ(server.size(), texts.size());
        sql_key_fold fold;
        std::map<std::string, std::size_t> first_of;
        int misses = 0;
        for (std::size_t i = 0; i < texts.size() && misses < 10; ++i) {
            const auto [at, fresh] = first_of.emplace(server[i], i);
            if (fresh) {
                continue;
            }
            const std::u32string& a = texts[at->second];
            const std::u32string& b = texts[i];
            if (folded(fold, collation, a) == folded(fold, collation, b) ||
                (a.size() == 1 && b.size() == 1 && allowed.contains({a[0], b[0]}))) {
                continue;
            }
            ++misses;
            ADD_FAILURE() << "the server takes '" << utf8(a) << "' (" << hex(utf8(a)) << ") and '"
                          << utf8(b) << "' (" << hex(utf8(b)) << ") for equal; the fold does not";
        }
    }
};

// Every character of the Basic Multilingual Plane and a few beyond it, one at a time.
TEST_F(KeyFold, TakesEveryCharacterTheServerEquatesForEqual) {
    std::vector<std::u32string> texts;
    for (char32_t c = 0x20; c < 0x10000; ++c) {
        if (c < 0xD800 || c > 0xDFFF) {
            texts.push_back(std::u32string(1, c));
        }
    }
    for (const char32_t c : {0x1F600, 0x1F601, 0x10400, 0x10428, 0x1D400, 0x20000}) {
        texts.push_back(std::u32string(1, c));
    }
    expect_coarser(texts, 0);
    // The Unicode Collation Algorithm's tables of MariaDB and of ICU weigh these apart.
    expect_coarser(texts, 1,
                   {{U'_', U'\u0640'},
                    {U'\u00AD', U'\u3030'},
                    {U'\u0F3E', U'\u2768'},
                    {U'\u0F3F', U'\u2769'}});
}

// Short texts over letters that the collations fold together in various ways: case, accents as
// one character or as a combining mark, sharp s against "ss", ligatures, dotless i, full-width
// forms, ignorable characters, characters beyond the Basic Multilingual Plane, trailing blanks.
TEST_F(KeyFold, TakesEveryGeneratedTextTheServerEquatesForEqual) {
    const std::u32string pool = U"aAáÁäsSßeEé\u0301 \u00e6iIıİ\u200b\uff21\U0001F600\U0001F601"
                                U"\u10d0\u1c90\u01c5xX";
    std::mt19937 random(20261211);
    std::uniform_int_distribution<std::size_t> pick(0, pool.size() - 1);
    std::uniform_int_distribution<int> length(0, 4);
    std::vector<std::u32string> texts;
    for (int i = 0; i < 6000; ++i) {
        std::u32string text;
        for (int n = length(random); n > 0; --n) {
            text += pool[pick(random)];
        }
        texts.push_back(text);
    }
    for (const char32_t* pair : {U"ss", U"sß", U"ae"}) {
        texts.push_back(pair);
    }
    expect_coarser(texts, 0);
    expect_coarser(texts, 1);
}

// Texts whose characters the server weighs alike one by one, or as their canonical or
// compatibility decomposition ('ﬁ' and "fi", 'é' and "e" with a combining accent), with ignorable
// characters and blanks of other kinds put in: a wider pool than the letters above, drawn from
// the server's own classes of equal characters.
TEST_F(KeyFold, TakesTextsOfCharactersTheServerEquatesForEqual) {
    std::vector<std::u32string> singles;
    for (char32_t c = 1; c < 0x10000; ++c) {
        if (c < 0xD800 || c > 0xDFFF) {
            singles.push_back(std::u32string(1, c));
        }
    }
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* decompositions[] = {icu::Normalizer2::getNFDInstance(status),
                                                icu::Normalizer2::getNFKDInstance(status)};
    ASSERT_TRUE(U_SUCCESS(status));
    const char32_t blanks[] = {U' ', 0xA0, 0x2002, 0x3000, 0x200B, U'\t'};
    for (int collation = 0; collation < 2; ++collation) {
        SCOPED_TRACE(collations[collation]);
        const std::vector<std::string> single_weights = weights(singles, collations[collation]);
        ASSERT_EQ(single_weights.size(), singles.size());
        std::map<std::string, std::vector<char32_t>> classes;
        for (std::size_t i = 0; i < singles.size(); ++i) {
            classes[single_weights[i]].push_back(singles[i][0]);
        }
        std::vector<char32_t> ignorable;
        std::map<char32_t, const std::vector<char32_t>*> mates;
        for (const auto& [weight, members] : classes) {
            if (weight.empty()) {
                ignorable = members;
            } else if (members.size() > 1) {
                for (const char32_t c : members) {
                    mates[c] = &members;
                }
            }
        }
        ASSERT_FALSE(mates.empty());
        std::mt19937 random(20261213 + collation);
        const auto any = [&](const auto& list) { return list[random() % std::size(list)]; };
        std::vector<char32_t> pooled;
        for (const auto& entry : mates) {
            pooled.push_back(entry.first);
        }
        std::vector<std::u32string> texts;
        for (int i = 0; i < 20000; ++i) {
            std::u32string a;
            std::u32string b;
            for (int n = 1 + static_cast<int>(random() % 5); n > 0; --n) {
                const char32_t c = random() % 5 == 0 ? any(singles)[0] : any(pooled);
                a += c;
                const int how = static_cast<int>(random() % 10);
                icu::UnicodeString parts;
                if (how < 6 && mates.contains(c)) {
                    b += any(*mates[c]);
                } else if (how >= 6 && how < 8 &&
                           decompositions[how - 6]->getDecomposition(static_cast<UChar32>(c),
                                                                     parts)) {
                    for (std::int32_t at = 0; at < parts.length();) {
                        const UChar32 part = parts.char32At(at);
                        b += static_cast<char32_t>(part);
                        at += U16_LENGTH(part);
                    }
                } else {
                    b += c;
                }
                if (random() % 6 == 0 && !ignorable.empty()) {
                    b += any(ignorable);
                }
            }
            if (random() % 4 == 0) {
                b += any(blanks);
            }
            texts.push_back(a);
            texts.push_back(b);
        }
        const std::vector<std::string> server = weights(texts, collations[collation]);
        ASSERT_EQ(server.size(), texts.size());
        sql_key_fold fold;
        int equal = 0;
        int misses = 0;
        for (std::size_t i = 0; i + 1 < texts.size() && misses < 10; i += 2) {
            if (server[i] != server[i + 1]) {
                continue;
            }
            ++equal;
            if (folded(fold, collation, texts[i]) != folded(fold, collation, texts[i + 1])) {
                ++misses;
                ADD_FAILURE() << "the server takes " << hex(utf8(texts[i])) << " and "
                              << hex(utf8(texts[i + 1])) << " for equal; the fold does not";
            }
        }
        // The pairs are made to be equal mostly: the check is not left with nothing to check.
        EXPECT_GT(equal, 5000);
    }
}

// A surrogate outside a pair reaches the script as U+FFFD: its key is that text's, which the
// server weighs as every other character beyond the Basic Multilingual Plane under
// utf8mb4_general_ci.
TEST_F(KeyFold, TakesUnpairedSurrogatesForTheCharacterTheScriptWrites) {
    const std::vector<std::u16string> texts = {
        u"a\xD800",
        u"a\uFFFD",
        u"a\xDC00",
        u"a\U0001F600",
        u"\xDBFF\xDBFFx",
        u"\uFFFD\uFFFDx",
        u"\U0001F600\xDC00x",
        u"\U0001F600\uFFFDx",
        u"\xDC00\xD800",
        u"\uFFFD\uFFFD",
        u"a",
        u"\U0001F601\U0001F600x",
    };
    std::vector<std::string> written;
    for (const std::u16string& text : texts) {
        std::string literal;
        append_escaped(literal, std::u16string_view(text));
        written.push_back(literal);
    }
    sql_key_fold fold;
    for (int collation = 0; collation < 2; ++collation) {
        SCOPED_TRACE(collations[collation]);
        const std::vector<std::string> server = utf8_weights(written, collations[collation]);
        ASSERT_EQ(server.size(), texts.size());
        for (std::size_t i = 0; i < texts.size(); ++i) {
            for (std::size_t j = 0; j < i; ++j) {
                if (server[i] != server[j]) {
                    continue;
                }
                const auto digest = [&](const std::u16string& text) {
                    return collation == 0 ? fold.general(text, 0) : fold.uca(text, 0);
                };
                EXPECT_EQ(digest(texts[i]), digest(texts[j]))
                    << "the server takes " << hex(written[i]) << " and " << hex(written[j])
                    << " for equal";
            }
        }
    }
}

// A latin1 table compares its text with latin1_swedish_ci: the fold takes for equal exactly the
// texts that collation takes for equal, every character of the set and generated texts over it.
TEST_F(KeyFold, Latin1FoldIsTheServersLatin1Collation) {
    // The characters of the server's latin1, as the server converts its bytes.
    std::string select = "SELECT ";
    for (int byte = 0; byte < 256; ++byte) {
        char code[8];
        std::snprintf(code, sizeof code, "%02X", byte);
        select += std::string(byte > 0 ? ", " : "") + "HEX(CONVERT(CONVERT(X'" + code +
                  "' USING latin1) USING utf8mb4))";
    }
    ASSERT_EQ(mysql_query(&mysql_, select.c_str()), 0) << mysql_error(&mysql_);
    MYSQL_RES* result = mysql_store_result(&mysql_);
    ASSERT_NE(result, nullptr);
    MYSQL_ROW characters = mysql_fetch_row(result);
    std::vector<std::string> letters;
    for (int byte = 0; byte < 256; ++byte) {
        std::string bytes;
        for (const char* h = characters[byte]; h[0] != 0 && h[1] != 0; h += 2) {
            bytes += static_cast<char>(std::stoi(std::string(h, 2), nullptr, 16));
        }
        letters.push_back(bytes);
    }
    mysql_free_result(result);

    // Every other character from letters that the collation weighs alike, or nearly so, so
    // that equal texts come up.
    const char* const alike[] = {"a",        "A",        "\xC3\x85", "[",        "\xC3\xA4", "\\",
                                 "y",        "\xC3\xBC", "s",        "\xC3\x9F", "\xC5\xA0", " ",
                                 "\xC3\x90", "d",        "\xC3\x98", "o"};
    std::vector<std::string> texts = letters;
    std::mt19937 random(20261212);
    std::uniform_int_distribution<std::size_t> pick(0, letters.size() - 1);
    std::uniform_int_distribution<int> length(0, 3);
    for (int i = 0; i < 3000; ++i) {
        std::string text;
        for (int n = length(random); n > 0; --n) {
            text += n % 2 == 0 ? letters[pick(random)] : alike[pick(random) % std::size(alike)];
        }
        texts.push_back(text);
    }
    const std::vector<std::string> server = utf8_weights(texts, "latin1_swedish_ci", "latin1", 8);
    ASSERT_EQ(server.size(), texts.size());
    sql_key_fold fold;
    std::map<std::string, std::size_t> first_by_server;
    std::map<std::uint64_t, std::size_t> first_by_fold;
    int misses = 0;
    for (std::size_t i = 0; i < texts.size() && misses < 10; ++i) {
        const icu::UnicodeString text = icu::UnicodeString::fromUTF8(texts[i]);
        const std::uint64_t folded_text =
            fold.latin1(std::u16string_view(reinterpret_cast<const char16_t*>(text.getBuffer()),
                                            static_cast<std::size_t>(text.length())),
                        0);
        const std::size_t by_server = first_by_server.emplace(server[i], i).first->second;
        const std::size_t by_fold = first_by_fold.emplace(folded_text, i).first->second;
        if (by_server != by_fold) {
            ++misses;
            ADD_FAILURE() << hex(texts[i]) << " equals " << hex(texts[by_server])
                          << " on the server and " << hex(texts[by_fold]) << " by the fold";
        }
    }
}

// Texts of characters looked up one by one weigh as ICU's collation elements weigh the whole
// text: generated texts over the looked-up blocks, their combining marks and contractions (Thai
// vowels, Devanagari nukta, Cyrillic breve) included, and a few characters beyond them.
TEST(KeyFoldOffline, LooksUpCharactersAsTheWholeTextWeighs) {
    sql_key_fold fold;
    std::mt19937 random(20261211);
    std::uniform_int_distribution<int> block(0, 0x10FF);
    std::uniform_int_distribution<int> length(0, 6);
    const std::u16string special = u"\u0e40\u0e01\u0e32\u093c\u0915\u0306\u0438\u0301"
                                   u"\u00df\u00a0 \u1100\u3042\u30fc\uff21";
    std::uniform_int_distribution<std::size_t> pick(0, special.size() - 1);
    for (int i = 0; i < 200000; ++i) {
        std::u16string text;
        for (int n = length(random); n > 0; --n) {
            text +=
                random() % 3 == 0 ? special[pick(random)] : static_cast<char16_t>(block(random));
        }
        if (fold.uca(text, 7) != fold.uca_by_elements(text, 7)) {
            std::u32string wide(text.begin(), text.end());
            FAIL() << "'" << utf8(wide) << "' (" << hex(utf8(wide)) << ") weighs otherwise";
        }
    }
}

// Every two characters of the looked-up blocks, whether looked up or not, weigh together as
// ICU's collation elements weigh them: no character of the table changes its weight beside
// another.
TEST(KeyFoldOffline, EveryTwoCharactersWeighAsTheirCollationElements) {
    sql_key_fold fold;
    int misses = 0;
    for (char16_t a = 0; a < 0x1100 && misses < 10; ++a) {
        for (char16_t b = 0; b < 0x1100; ++b) {
            const char16_t pair[] = {a, b};
            const std::u16string_view text(pair, 2);
            if (fold.uca(text, 7) != fold.uca_by_elements(text, 7) && ++misses <= 10) {
                ADD_FAILURE() << "U+" << std::hex << static_cast<unsigned>(a) << " U+"
                              << static_cast<unsigned>(b) << " weighs otherwise";
            }
        }
    }
}

// The folds keep apart what every collation keeps apart.
TEST(KeyFoldOffline, KeepsDistinctLettersApart) {
    sql_key_fold fold;
    const std::pair<std::u32string, std::u32string> apart[] = {
        {U"a", U"b"},    {U"résumé", U"resume1"}, {U"1", U"2"}, {U"ab", U"ba"},
        {U"a b", U"ab"}, {U"x", U"xx"},           {U"", U"a"},  {U"Ω", U"O"},
    };
    for (const auto& [a, b] : apart) {
        SCOPED_TRACE(utf8(a) + " / " + utf8(b));
        EXPECT_NE(folded(fold, 0, a), folded(fold, 0, b));
        EXPECT_NE(folded(fold, 1, a), folded(fold, 1, b));
    }
}

// ---- The judge of a table's keys ------------------------------------------------------------

struct row_values {
    std::vector<std::unique_ptr<udb_field>> fields;
    std::vector<const udb_field*> view() const {
        std::vector<const udb_field*> out;
        for (const auto& f : fields) {
            out.push_back(f.get());
        }
        return out;
    }
};

std::unique_ptr<udb_field> text(const std::u16string& value) {
    return std::make_unique<udb_field>(L"c", 0, ole_variant(value), false, false);
}
std::unique_ptr<udb_field> number(int value) {
    return std::make_unique<udb_field>(
        L"n", 0, ole_variant::from_string(std::to_string(value), VT_I4), false, false);
}

row_values row(std::unique_ptr<udb_field> a, std::unique_ptr<udb_field> b) {
    row_values r;
    r.fields.push_back(std::move(a));
    r.fields.push_back(std::move(b));
    return r;
}

// Columns: 0 a number, 1 a text. Keys: PRIMARY (0, 1) and UNIQUE u (1); a key of numbers alone
// is never judged.
std::vector<sql_key_judge::key> keys() {
    return {{L"PRIMARY", {0, 1}, {false, true}}, {L"u", {1}, {true}}, {L"n", {0}, {false}}};
}

TEST(KeyJudge, RefusesTheRowsThatRepeatAKeyAndKeepsOnlyWrittenRows) {
    sql_key_judge judge(keys());
    const auto accept = [&](row_values r) {
        const auto values = r.view();
        const sql_key_judge::key* repeated = judge.repeated(values);
        if (repeated == nullptr) {
            judge.keep();
            return std::string();
        }
        return tk_to_utf8(repeated->name) + " " + sql_key_judge::describe(*repeated, values);
    };
    EXPECT_EQ(accept(row(number(1), text(u"Straße"))), "");
    // The same number again does not matter: only keys with text are judged.
    EXPECT_EQ(accept(row(number(1), text(u"other"))), "");
    EXPECT_EQ(accept(row(number(2), text(u"STRASSE  "))), "u STRASSE  ");
    EXPECT_EQ(accept(row(number(1), text(u"straße"))), "PRIMARY 1-straße");
    // A unique index takes any number of NULLs.
    EXPECT_EQ(accept(row(number(3), nullptr)), "");
    EXPECT_EQ(accept(row(number(4), nullptr)), "");
    // A row refused for another reason after the judge let it pass leaves no trace.
    row_values refused = row(number(5), text(u"lone"));
    EXPECT_EQ(judge.repeated(refused.view()), nullptr);
    EXPECT_EQ(accept(row(number(6), text(u"LONE"))), "");
    EXPECT_FALSE(judge.exhausted());
}

TEST(KeyJudge, SaysWhereItStopsJudgingForLackOfMemory) {
    sql_key_judge judge({{L"u", {1}, {true}}}, sql_key_judge::collations::unicode, 600);
    std::uint64_t n = 0;
    while (!judge.exhausted() && n < 10000) {
        row_values r = row(number(static_cast<int>(n)),
                           text(u"v" + std::u16string(1, static_cast<char16_t>(0x4E00 + n))));
        ASSERT_EQ(judge.repeated(r.view()), nullptr);
        judge.keep();
        ++n;
    }
    ASSERT_TRUE(judge.exhausted());
    EXPECT_EQ(judge.exhausted_at(), n);
    // Past that point rows are no longer compared.
    row_values again = row(number(0), text(u"v\u4E00"));
    EXPECT_EQ(judge.repeated(again.view()), nullptr);
}

} // namespace
