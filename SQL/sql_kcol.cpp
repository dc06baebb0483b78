// Text keys as the servers' default collations compare them, and the rows that repeat one.
#include "SQL/sql_kcol.h"

#include "UDB/udb_field.h"

#include <unicode/coleitr.h>
#include <unicode/coll.h>
#include <unicode/tblcoll.h>
#include <unicode/uniset.h>
#include <unicode/usetiter.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/ucol.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <array>
#include <stdexcept>

namespace {

std::uint64_t mix(std::uint64_t h, std::uint64_t value) {
    // splitmix64's finaliser over the running state: every input bit reaches every output bit.
    h ^= value + 0x9E3779B97F4A7C15ULL;
    h = (h ^ (h >> 30)) * 0xBF58476D1CE4E5B9ULL;
    h = (h ^ (h >> 27)) * 0x94D049BB133111EBULL;
    return h ^ (h >> 31);
}

std::uint64_t mix_bytes(std::uint64_t h, const std::uint8_t* bytes, std::size_t size) {
    std::uint64_t word = 0;
    std::size_t filled = 0;
    for (std::size_t i = 0; i < size; ++i) {
        word = (word << 8) | bytes[i];
        if (++filled == 8) {
            h = mix(h, word);
            word = 0;
            filled = 0;
        }
    }
    return mix(h, (word << 8) | (filled + 1));
}

// The base letter of a character that decomposes into one letter and accents; else itself.
char32_t base_letter(char32_t c, const icu::Normalizer2& nfd) {
    icu::UnicodeString decomposed;
    if (!nfd.getDecomposition(static_cast<UChar32>(c), decomposed) || decomposed.isEmpty()) {
        return c;
    }
    const UChar32 base = decomposed.char32At(0);
    for (std::int32_t i = U16_LENGTH(base); i < decomposed.length();) {
        const UChar32 mark = decomposed.char32At(i);
        if (u_charType(mark) != U_NON_SPACING_MARK) {
            return c;
        }
        i += U16_LENGTH(mark);
    }
    return static_cast<char32_t>(base);
}

// The weights of the Basic Multilingual Plane under `general`, made once per process.
const std::array<char16_t, 0x10000>& general_weights() {
    static const std::array<char16_t, 0x10000> weights = [] {
        std::array<char16_t, 0x10000> table{};
        UErrorCode status = U_ZERO_ERROR;
        const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
        if (U_FAILURE(status) || nfd == nullptr) {
            throw std::runtime_error("ICU has no Unicode decomposition data");
        }
        for (char32_t c = 0; c < 0x10000; ++c) {
            // A surrogate outside a pair is written as U+FFFD (see append_escaped).
            char32_t weight = c >= 0xD800 && c < 0xE000 ? U'\uFFFD' : base_letter(c, *nfd);
            // The two letters whose weight is not the upper case of their base letter.
            if (weight == U'\u00DF') {
                weight = U'S';
            } else if (weight == U'\u03F2') {
                weight = U'\u03A3';
            } else {
                weight = static_cast<char32_t>(u_toupper(static_cast<UChar32>(weight)));
            }
            table[c] = weight < 0x10000 ? static_cast<char16_t>(weight) : u'\uFFFD';
        }
        return table;
    }();
    return weights;
}

bool is_surrogate(char16_t unit) {
    return unit >= 0xD800 && unit < 0xE000;
}

// Whether the surrogate at `at` and the one after it form a pair.
bool is_pair_at(std::u16string_view text, std::size_t at) {
    return text[at] >= 0xD800 && text[at] < 0xDC00 && at + 1 < text.size() &&
           text[at + 1] >= 0xDC00 && text[at + 1] < 0xE000;
}

// The position of the first surrogate outside a pair, or npos: the script writes U+FFFD there.
std::size_t unpaired_surrogate(std::u16string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (is_surrogate(text[i])) {
            if (!is_pair_at(text, i)) {
                return i;
            }
            ++i;
        }
    }
    return std::u16string_view::npos;
}

// Without the blanks at its end: the collations compare texts as if padded with blanks.
std::u16string_view without_trailing_blanks(std::u16string_view text) {
    while (!text.empty() && text.back() == u' ') {
        text.remove_suffix(1);
    }
    return text;
}

} // namespace

sql_key_fold::sql_key_fold() {
    UErrorCode status = U_ZERO_ERROR;
    collator_.reset(icu::Collator::createInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !collator_) {
        throw std::runtime_error("ICU's root collator cannot be made");
    }
    collator_->setStrength(icu::Collator::PRIMARY);
    auto* rules = dynamic_cast<icu::RuleBasedCollator*>(collator_.get());
    if (rules == nullptr) {
        throw std::runtime_error("ICU's root collator has no collation elements");
    }
    const icu::UnicodeString blank(u' ');
    elements_.reset(rules->createCollationElementIterator(blank));
    const std::int32_t element = elements_->next(status);
    blank_primary_ = static_cast<std::uint32_t>(element) >> 16;
    elements_by_character_ = &plain_elements(*rules);
}

// The primary weights of each character of the first blocks (up to the Hangul letters) that
// weighs the same wherever it stands: not a combining mark (marks reorder and merge with what
// precedes them) and in none of the root collation's contractions or prefixes. Made once.
const sql_key_fold::element_table& sql_key_fold::plain_elements(icu::RuleBasedCollator& rules) {
    static const element_table table = [&] {
        element_table out;
        UErrorCode status = U_ZERO_ERROR;
        icu::UnicodeSet contractions;
        ucol_getContractionsAndExpansions(rules.toUCollator(), contractions.toUSet(), nullptr, true,
                                          &status);
        icu::UnicodeSet in_context;
        if (U_SUCCESS(status)) {
            for (std::int32_t i = 0; i < contractions.getRangeCount(); ++i) {
                in_context.add(contractions.getRangeStart(i), contractions.getRangeEnd(i));
            }
            icu::UnicodeSetIterator strings(contractions);
            while (strings.next()) {
                if (strings.isString()) {
                    in_context.addAll(strings.getString());
                }
            }
        }
        std::unique_ptr<icu::CollationElementIterator> elements(
            rules.createCollationElementIterator(icu::UnicodeString()));
        out.first.assign(element_table::characters, 0);
        out.count.assign(element_table::characters, element_table::not_plain);
        for (char16_t c = 0; c < element_table::characters; ++c) {
            if (U_FAILURE(status) || in_context.contains(c) || u_getCombiningClass(c) != 0 ||
                u_getIntPropertyValue(c, UCHAR_LEAD_CANONICAL_COMBINING_CLASS) != 0 ||
                u_getIntPropertyValue(c, UCHAR_TRAIL_CANONICAL_COMBINING_CLASS) != 0) {
                continue;
            }
            out.first[c] = static_cast<std::uint16_t>(out.primaries.size());
            elements->setText(icu::UnicodeString(c), status);
            for (std::int32_t e = elements->next(status);
                 e != icu::CollationElementIterator::NULLORDER && U_SUCCESS(status);
                 e = elements->next(status)) {
                if (const auto primary = static_cast<std::uint32_t>(e) >> 16; primary != 0) {
                    out.primaries.push_back(primary);
                }
            }
            const std::size_t count = out.primaries.size() - out.first[c];
            if (U_SUCCESS(status) && count < element_table::not_plain) {
                out.count[c] = static_cast<std::uint8_t>(count);
            }
        }
        return out;
    }();
    return table;
}

sql_key_fold::~sql_key_fold() = default;

char32_t sql_key_fold::general_weight(char32_t c) {
    return c < 0x10000 ? general_weights()[c] : U'\uFFFD';
}

char32_t sql_key_fold::latin1_weight(char32_t c) {
    switch (c) {
    case U'\u00C5': // Å å
    case U'\u00E5':
        return U'[';
    case U'\u00C4': // Ä ä Æ æ
    case U'\u00E4':
    case U'\u00C6':
    case U'\u00E6':
        return U'\\';
    case U'\u00D6': // Ö ö
    case U'\u00F6':
        return U']';
    case U'\u00DC': // Ü ü
    case U'\u00FC':
        return U'Y';
    case U'\u00D0': // Ð ð
    case U'\u00F0':
        return U'D';
    case U'\u00DF': // ß ÿ Š š Ž ž Œ œ Ÿ
    case U'\u00FF':
    case U'\u0160':
    case U'\u0161':
    case U'\u017D':
    case U'\u017E':
    case U'\u0152':
    case U'\u0153':
    case U'\u0178':
        return c;
    default:
        return general_weight(c);
    }
}

namespace {

// The digest of one weight per character (a surrogate pair weighs as one character), without
// the blanks at the end.
template <class Weigh>
std::uint64_t fold_by_character(std::u16string_view text, std::uint64_t seed, Weigh weigh) {
    text = without_trailing_blanks(text);
    std::uint64_t h = seed;
    std::uint64_t word = 0;
    unsigned filled = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        char16_t weight;
        if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            weight = u'\uFFFD';
            ++i;
        } else {
            weight = weigh(unit);
        }
        word = (word << 16) | weight;
        if (++filled == 4) {
            h = mix(h, word);
            word = 0;
            filled = 0;
        }
    }
    return mix(h, (word << 16) | (filled + 1));
}

} // namespace

std::uint64_t sql_key_fold::general(std::u16string_view text, std::uint64_t seed) const {
    const auto& weights = general_weights();
    return fold_by_character(text, seed, [&](char16_t unit) { return weights[unit]; });
}

std::uint64_t sql_key_fold::latin1(std::u16string_view text, std::uint64_t seed) const {
    // Only the characters of Windows-1252 reach a latin1 table: the others refuse their row.
    return fold_by_character(text, seed, [](char16_t unit) {
        const char32_t weight = latin1_weight(unit);
        return weight < 0x10000 ? static_cast<char16_t>(weight) : u'\uFFFD';
    });
}

std::uint64_t sql_key_fold::uca(std::u16string_view text, std::uint64_t seed) {
    const element_table& table = *elements_by_character_;
    const bool plain = std::all_of(text.begin(), text.end(), [&](char16_t unit) {
        return unit < element_table::characters && table.count[unit] != element_table::not_plain;
    });
    if (!plain) {
        return uca_by_elements(text, seed);
    }
    // Characters that stand alone weigh in a text as they weigh on their own.
    primaries_.clear();
    std::size_t kept = 0;
    for (const char16_t unit : text) {
        const std::size_t end = table.first[unit] + std::size_t{table.count[unit]};
        for (std::size_t i = table.first[unit]; i < end; ++i) {
            primaries_.push_back(table.primaries[i]);
            if (table.primaries[i] != blank_primary_) {
                kept = primaries_.size();
            }
        }
    }
    return digest_of_primaries(seed, kept);
}

std::uint64_t sql_key_fold::digest_of_primaries(std::uint64_t seed, std::size_t kept) const {
    std::uint64_t h = seed;
    for (std::size_t i = 0; i < kept; ++i) {
        h = mix(h, primaries_[i]);
    }
    return mix(h, kept);
}

std::uint64_t sql_key_fold::uca_by_elements(std::u16string_view text, std::uint64_t seed) {
    // The primary weights, without the ignorable characters' (none) and without those at the
    // end that weigh as a blank: the collations pad the shorter text with blanks, and other
    // characters (a no-break space) weigh as much as one.
    if (std::size_t at = unpaired_surrogate(text); at != std::u16string_view::npos) {
        repaired_.assign(text);
        for (; at < repaired_.size(); ++at) {
            if (is_pair_at(repaired_, at)) {
                ++at;
            } else if (is_surrogate(repaired_[at])) {
                repaired_[at] = u'\uFFFD';
            }
        }
        text = repaired_;
    }
    const icu::UnicodeString alias(false, text.data(), static_cast<std::int32_t>(text.size()));
    UErrorCode status = U_ZERO_ERROR;
    elements_->setText(alias, status);
    primaries_.clear();
    std::size_t kept = 0;
    for (std::int32_t element = elements_->next(status);
         element != icu::CollationElementIterator::NULLORDER && U_SUCCESS(status);
         element = elements_->next(status)) {
        const auto primary = static_cast<std::uint32_t>(element) >> 16;
        if (primary == 0) {
            continue;
        }
        primaries_.push_back(primary);
        if (primary != blank_primary_) {
            kept = primaries_.size();
        }
    }
    return digest_of_primaries(seed, kept);
}

// Digests in an open-addressing table; 0 marks a free slot.
class sql_key_judge::digest_set {
public:
    explicit digest_set(std::size_t max_count) : max_count_(max_count), slots_(1024, 0) {}

    // Where the digest is, or where it would go; a slot of its own is found once per digest,
    // so that a row costs one walk of the table per digest (the table outgrows every cache).
    std::size_t find(std::uint64_t digest) const {
        const std::size_t mask = slots_.size() - 1;
        std::size_t at = static_cast<std::size_t>(digest) & mask;
        while (slots_[at] != 0 && slots_[at] != digest) {
            at = (at + 1) & mask;
        }
        return at;
    }
    bool holds_at(std::size_t at, std::uint64_t digest) const { return slots_[at] == digest; }
    void prefetch(std::uint64_t digest) const {
        __builtin_prefetch(&slots_[static_cast<std::size_t>(digest) & (slots_.size() - 1)]);
    }
    // Puts the digest in, at `at` when find() gave it and nothing has moved since; false when
    // the set is full.
    bool insert(std::uint64_t digest, std::size_t at) {
        if (2 * (count_ + 1) > slots_.size()) {
            if (count_ + 1 > max_count_) {
                return false;
            }
            grow();
            at = find(digest);
        } else if (slots_[at] != 0) {
            at = find(digest);
        }
        if (slots_[at] == 0) {
            slots_[at] = digest;
            ++count_;
        }
        return true;
    }

private:
    void grow() {
        std::vector<std::uint64_t> old(2 * slots_.size(), 0);
        old.swap(slots_);
        for (const std::uint64_t digest : old) {
            if (digest != 0) {
                slots_[find(digest)] = digest;
            }
        }
    }

    std::size_t max_count_;
    std::size_t count_ = 0;
    std::vector<std::uint64_t> slots_;
};

sql_key_judge::sql_key_judge(std::vector<key> keys, collations text, std::size_t max_digests)
    : collations_(text) {
    for (key& k : keys) {
        if (k.narrowed || std::find(k.text.begin(), k.text.end(), true) != k.text.end()) {
            keys_.push_back(std::move(k));
        }
    }
    // Most tables have no key to judge: they make no collator and no table of digests.
    if (!keys_.empty()) {
        fold_ = std::make_unique<sql_key_fold>();
        digests_ = std::make_unique<digest_set>(max_digests);
    }
}

sql_key_judge::~sql_key_judge() = default;

const sql_key_judge::key* sql_key_judge::repeated(const std::vector<const udb_field*>& values) {
    pending_.clear();
    if (exhausted()) {
        return nullptr;
    }
    const bool unicode = collations_ == collations::unicode;
    for (std::size_t k = 0; k < keys_.size(); ++k) {
        const key& judged = keys_[k];
        // `general` holds the digest of latin1's collation for a latin1 table.
        std::uint64_t general = mix(0, 2 * k);
        std::uint64_t uca = mix(0, 2 * k + 1);
        bool has_null = false;
        for (std::size_t part = 0; part < judged.columns.size() && !has_null; ++part) {
            const udb_field* field = values[judged.columns[part]];
            const VARTYPE vt = field != nullptr ? field->get_type() : static_cast<VARTYPE>(VT_NULL);
            if (vt == VT_EMPTY || vt == VT_NULL) {
                // A unique index takes any number of rows with a NULL in it.
                has_null = true;
            } else if (judged.text[part] && vt == VT_BSTR) {
                const BSTR text = field->var.bstrVal;
                const std::u16string_view view(text, text != nullptr ? SysStringLen(text) : 0);
                if (unicode) {
                    general = fold_->general(view, general);
                    uca = fold_->uca(view, uca);
                } else {
                    general = fold_->latin1(view, general);
                }
            } else {
                const std::string exact = field->to_string();
                const auto* bytes = reinterpret_cast<const std::uint8_t*>(exact.data());
                general = mix_bytes(general, bytes, exact.size());
                uca = mix_bytes(uca, bytes, exact.size());
            }
        }
        if (has_null) {
            continue;
        }
        general += general == 0;
        uca += uca == 0;
        pending_.push_back({general, k});
        if (unicode) {
            pending_.push_back({uca, k});
        }
    }
    // The misses of all digests at once, then one walk each.
    for (const pending_digest& digest : pending_) {
        digests_->prefetch(digest.digest);
    }
    for (pending_digest& digest : pending_) {
        digest.slot = digests_->find(digest.digest);
        if (digests_->holds_at(digest.slot, digest.digest)) {
            const key* repeating = &keys_[digest.key_index];
            pending_.clear();
            return repeating;
        }
    }
    return nullptr;
}

void sql_key_judge::keep() {
    ++rows_;
    for (const pending_digest& digest : pending_) {
        if (!digests_->insert(digest.digest, digest.slot)) {
            exhausted_at_ = rows_;
            digests_.reset(new digest_set(0));
            break;
        }
    }
    pending_.clear();
}

std::string sql_key_judge::describe(const key& k, const std::vector<const udb_field*>& values) {
    std::string out;
    for (std::size_t part = 0; part < k.columns.size(); ++part) {
        if (part > 0) {
            out += '-';
        }
        const udb_field* field = values[k.columns[part]];
        if (field != nullptr) {
            out += field->to_string();
        }
    }
    return out;
}
