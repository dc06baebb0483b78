// Rows of a script's table that the replaying server would refuse as a duplicate key: text keys
// compared as the default collations of MySQL and MariaDB compare them.
#pragma once

#include <unicode/uversion.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

U_NAMESPACE_BEGIN
class Collator;
class CollationElementIterator;
class RuleBasedCollator;
U_NAMESPACE_END
class udb_field;

// The two ways the servers' default collations of the Unicode character sets compare text, as
// digests: equal texts give equal digests. Both ignore letter case, accents and trailing blanks.
// - `general`: utf8mb4_general_ci / utf8_general_ci (MariaDB up to 11.4, MySQL 5): one weight
//   per character, the character's base letter in upper case; every character beyond the Basic
//   Multilingual Plane weighs the same.
// - `uca`: the collations of the Unicode Collation Algorithm (MySQL 8's utf8mb4_0900_ai_ci,
//   MariaDB's utf8mb4_uca1400_ai_ci), their primary weights as ICU's root collator gives them:
//   "ß" is "ss", ignorable characters count for nothing, and whatever weighs as a blank (a
//   no-break space) is a blank.
// A third way, for the tables of the character set latin1 (Windows-1252 on the servers):
// - `latin1`: latin1_swedish_ci, its default collation on every server: one weight per
//   character, mostly as `general` weighs it, but Å, Ä (with Æ) and Ö weigh as the letters after
//   Z, Ü as Y, Ð as D, and ß, ÿ and the letters beyond ISO 8859-1 (Š, Ž, Œ, Ÿ, in either case)
//   each as itself.
class sql_key_fold {
public:
    sql_key_fold();
    ~sql_key_fold();
    sql_key_fold(const sql_key_fold&) = delete;
    sql_key_fold& operator=(const sql_key_fold&) = delete;

    std::uint64_t general(std::u16string_view text, std::uint64_t seed) const;
    std::uint64_t uca(std::u16string_view text, std::uint64_t seed);
    // `uca` by ICU's collation elements over the whole text, the way every text other than one
    // of plain characters takes (exposed for the tests, as the reference of the plain way).
    std::uint64_t uca_by_elements(std::u16string_view text, std::uint64_t seed);
    std::uint64_t latin1(std::u16string_view text, std::uint64_t seed) const;

    // The weight of one character under `general` and under `latin1` (exposed for the tests).
    static char32_t general_weight(char32_t c);
    static char32_t latin1_weight(char32_t c);

private:
    // The primary weights of the characters that weigh alike in any text, looked up instead of
    // iterated: most key texts are made of them.
    struct element_table {
        static constexpr char16_t characters = 0x1100;
        static constexpr std::uint8_t not_plain = 0xFF;
        std::vector<std::uint16_t> first; // per character: where its weights begin
        std::vector<std::uint8_t> count;  // per character: how many, or not_plain
        std::vector<std::uint32_t> primaries;
    };
    static const element_table& plain_elements(icu::RuleBasedCollator& rules);
    std::uint64_t digest_of_primaries(std::uint64_t seed, std::size_t kept) const;

    const element_table* elements_by_character_ = nullptr;
    std::unique_ptr<icu::Collator> collator_;
    std::unique_ptr<icu::CollationElementIterator> elements_;
    std::uint32_t blank_primary_ = 0;
    std::vector<std::uint32_t> primaries_;
    // A text whose unpaired surrogates are U+FFFD, as the script writes them.
    std::u16string repaired_;
};

// The primary key and unique indexes of one table, with the digests of the rows written so far.
// Only keys with a text column, or a column that holds less than the source tells apart, are
// judged: the source's own key keeps numbers and bytes apart, while its collation may tell apart
// texts that the destination's does not. Memory is bounded: past `max_digests` the table's
// remaining rows are no longer judged.
class sql_key_judge {
public:
    struct key {
        std::wstring name;
        std::vector<std::size_t> columns; // positions in the table's columns
        std::vector<bool> text;           // per column: compared by collation
        // Whether values that the source keeps apart may meet in a column compared exactly:
        // times that differ in their seventh fractional digit or their offset alone (compared
        // as the script writes them), a variant's number and its text in a column of the
        // binary character set. Such a key is judged without a text column too.
        bool narrowed = false;
    };

    // How the replaying server compares the table's text: by the default collations of the
    // Unicode character sets (any of them), or by latin1's.
    enum class collations { unicode, latin1 };

    explicit sql_key_judge(std::vector<key> keys, collations text = collations::unicode,
                           std::size_t max_digests = default_max_digests);
    ~sql_key_judge();

    bool empty() const { return keys_.empty(); }
    // The key whose value the row repeats (an earlier row's under any collation judged), if any.
    // `values[column]` is the row's field of a table column (nullptr: none). The row's digests
    // are kept only by keep(), once the row is written.
    const key* repeated(const std::vector<const udb_field*>& values);
    void keep();
    // Whether judging stopped for lack of memory, and at which row (1-based).
    bool exhausted() const { return exhausted_at_ != 0; }
    std::uint64_t exhausted_at() const { return exhausted_at_; }

    // The row's value of a key as MySQL names it in a duplicate-key message: 'a-b'.
    static std::string describe(const key& k, const std::vector<const udb_field*>& values);

    // 2^25 digests take 512 MiB at most: 16 million rows of a table with one text key.
    static constexpr std::size_t default_max_digests = std::size_t(1) << 25;

private:
    class digest_set;

    std::vector<key> keys_;
    collations collations_;
    std::unique_ptr<sql_key_fold> fold_;
    std::unique_ptr<digest_set> digests_;
    // The row's digests, each with its key and the slot find() gave it.
    struct pending_digest {
        std::uint64_t digest = 0;
        std::size_t key_index = 0;
        std::size_t slot = 0;
    };
    std::vector<pending_digest> pending_;
    std::uint64_t rows_ = 0;
    std::uint64_t exhausted_at_ = 0;
};
