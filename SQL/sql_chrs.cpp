// The character sets and storage engines that the settings page offers, and which characters
// each set stores.
#include "SQL/sql_engi.h"

#include "TK/tk_log.h"
#include "TK/tk_utils.h"

#include <iconv.h>

#include <algorithm>
#include <bitset>
#include <cstdint>
#include <map>
#include <mutex>
#include <span>

namespace {

const wchar_t* const fixed_charsets[] = {
    L"big5 - Big5 Traditional Chinese",
    L"dec8 - DEC West European",
    L"cp850 - DOS West European",
    L"hp8 - HP West European",
    L"koi8r - KOI8-R Relcom Russian",
    L"latin1 - cp1252 West European",
    L"latin2 - ISO 8859-2 Central European",
    L"swe7 - 7bit Swedish",
    L"ascii - US ASCII",
    L"ujis - EUC-JP Japanese",
    L"sjis - Shift-JIS Japanese",
    L"hebrew - ISO 8859-8 Hebrew",
    L"tis620 - TIS620 Thai",
    L"euckr - EUC-KR Korean",
    L"koi8u - KOI8-U Ukrainian",
    L"gb2312 - GB2312 Simplified Chinese",
    L"greek - ISO 8859-7 Greek",
    L"cp1250 - Windows Central European",
    L"gbk - GBK Simplified Chinese",
    L"latin5 - ISO 8859-9 Turkish",
    L"armscii8 - ARMSCII-8 Armenian",
    L"utf8 - UTF-8 Unicode",
    L"utf8mb4 - UTF-8 Unicode",
    L"ucs2 - UCS-2 Unicode",
    L"cp866 - DOS Russian",
    L"keybcs2 - DOS Kamenicky Czech-Slovak",
    L"macce - Mac Central European",
    L"macroman - Mac West European",
    L"cp852 - DOS Central European",
    L"latin7 - ISO 8859-13 Baltic",
    L"cp1251 - Windows Cyrillic",
    L"cp1256 - Windows Arabic",
    L"cp1257 - Windows Baltic",
    L"binary - Binary pseudo charset",
    L"geostd8 - GEOSTD8 Georgian",
    L"cp932 - SJIS for Windows Japanese",
    L"eucjpms - UJIS for Windows Japanese",
};

const wchar_t* const fixed_engines[] = {
    L"MyISAM",  L"MEMORY", L"InnoDB",     L"BerkeleyDB", L"BLACKHOLE",  L"EXAMPLE",
    L"ARCHIVE", L"CSV",    L"ndbcluster", L"FEDERATED",  L"MRG_MYISAM", L"ISAM",
};

std::wstring cell_text(MYSQL_ROW row, const unsigned long* lengths, int column) {
    if (row[column] == nullptr) {
        return {};
    }
    return tk_utf8_to_wstring(std::string(row[column], lengths[column]));
}

// Appends one entry per row of `statement`'s result; `describe` makes the entry of a row.
template <class Describe>
void read_list(sql_engine& engine, const char* statement, std::vector<std::wstring>& list,
               Describe describe) {
    engine.run(statement);
    MYSQL_RES* result = mysql_use_result(engine.connection());
    if (result == nullptr) {
        return;
    }
    const unsigned fields = mysql_num_fields(result);
    while (MYSQL_ROW row = mysql_fetch_row(result)) {
        const unsigned long* lengths = mysql_fetch_lengths(result);
        list.push_back(describe(row, lengths, fields));
    }
    mysql_free_result(result);
}

} // namespace

const std::vector<std::wstring>& sql_engine::get_charsets() {
    static std::vector<std::wstring> list;
    tk_log_message(2, "sql_engine::get_charsets");
    if (!list.empty()) {
        return list;
    }
    if (!connected) {
        tk_log_message(1, "MySQL is NOT connected");
        list.assign(std::begin(fixed_charsets), std::end(fixed_charsets));
        return list;
    }
    tk_log_message(1, "MySQL is connected");
    read_list(*this, "SHOW CHARACTER SET", list,
              [](MYSQL_ROW row, const unsigned long* lengths, unsigned fields) {
                  std::wstring entry = cell_text(row, lengths, 0);
                  entry += L" - ";
                  if (fields > 1) {
                      entry += cell_text(row, lengths, 1);
                  }
                  tk_log_wmessage(2, L"name=%ls", entry.c_str());
                  return entry;
              });
    return list;
}

const std::vector<std::wstring>& sql_engine::get_storage_engines() {
    static std::vector<std::wstring> list;
    tk_log_message(2, "sql_engine::get_storage_engines");
    if (!list.empty()) {
        return list;
    }
    if (!connected) {
        tk_log_message(1, "MySQL is NOT connected");
        list.assign(std::begin(fixed_engines), std::end(fixed_engines));
        return list;
    }
    tk_log_message(1, "MySQL is connected");
    read_list(*this, "SHOW ENGINES", list,
              [](MYSQL_ROW row, const unsigned long* lengths, unsigned) {
                  return cell_text(row, lengths, 0);
              });
    return list;
}

namespace {

// Set names are ASCII words that servers match without regard to case; the locale's case (a
// Turkish 'I' lower-cases to a dotless i) must not make a known set unknown.
bool same_name(const std::wstring& a, const wchar_t* b) {
    return tk_equal_ascii_no_case(a, b);
}

} // namespace

struct sql_charset_repertoire::plane {
    std::bitset<0x10000> stored;
};

namespace {

using plane = sql_charset_repertoire::plane;

// The characters of MySQL's latin1 above 0x7F: cp1252 with its five unassigned bytes taken as
// the C1 controls of the same number.
constexpr char32_t latin1_upper[] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

struct code_range {
    char32_t first;
    char32_t last;
};
// A run of byte sequences of one length, each read as a big-endian number.
struct byte_range {
    std::uint32_t first;
    std::uint32_t last;
};

// A set of the server that the C library knows under `library`. The library's table gives the
// candidates: the characters that some sequence of the set decodes to (its round-trip
// repertoire, without the one-way mappings an encoder may add). Where the server's table is
// another edition, the library's characters it lacks are refused, by character or by the
// sequences that carry them; the characters the server has beyond the library's are refused
// too, which costs rows, never a replay.
struct library_set {
    const wchar_t* server;
    const char* library;
    // The longest sequence: 1, 2 or 3 (EUC's three-byte sequences, which begin with 0x8F).
    int longest;
    std::span<const code_range> refused_points;
    std::span<const byte_range> refused_bytes;
    // The ASCII part comes from the table too (a national ISO 646 variant); every other set
    // stores all of ASCII, whatever the library reads its bytes 0x00 to 0x7F as.
    bool national_ascii;
};

// ISO 8859-7 before its 2003 edition (no euro, drachma or ypogegrammeni), with the early mapping
// of 0xA1 and 0xA2 to the modifier letters U+02BD and U+02BC rather than quotation marks.
constexpr code_range greek_refused[] = {
    {0x037A, 0x037A}, {0x2018, 0x2019}, {0x20AC, 0x20AC}, {0x20AF, 0x20AF}};
// ISO 8859-8 before 1999: 0xAF is the overline, not the macron.
constexpr code_range hebrew_refused[] = {{0x00AF, 0x00AF}};
// The server's 0xFC and 0xFD are CP437's superscripts, not the numero and currency signs.
constexpr code_range cp866_refused[] = {{0x00A4, 0x00A4}, {0x2116, 0x2116}};
// The server's 0x95 is the bullet U+2022, not the bullet operator.
constexpr code_range koi8u_refused[] = {{0x2219, 0x2219}};
// Three punctuation marks that the two tables of ARMSCII-8 place differently.
constexpr code_range armscii8_refused[] = {{0x055A, 0x055A}, {0x0587, 0x0587}, {0x058A, 0x058A}};
// Windows-1256 before eight of its free bytes took Urdu letters.
constexpr code_range cp1256_refused[] = {{0x0679, 0x0679}, {0x0688, 0x0688}, {0x0691, 0x0691},
                                         {0x06A9, 0x06A9}, {0x06BA, 0x06BA}, {0x06BE, 0x06BE},
                                         {0x06C1, 0x06C1}, {0x06D2, 0x06D2}};
// The server's 0xC6 is the increment U+2206 and its 0xF0 (Apple's logo) U+F8FF, where the
// library has U+0394 and U+E01E.
constexpr code_range macroman_refused[] = {{0x0394, 0x0394}, {0xE01E, 0xE01E}};
// GEOSTD8 keeps the Georgian letters, Latin-1's 0xA0 to 0xBF and cp1252's punctuation, and
// none of the Latin letters that the C library's Georgian-PS table has around them.
constexpr code_range geostd8_refused[] = {{0x0080, 0x009F}, {0x00C0, 0x02FF}, {0x2122, 0x2122}};
// The Swedish ISO 646 variant, with the dollar sign of ASCII at 0x24 and without DEL.
constexpr code_range swe7_refused[] = {{0x007F, 0x007F}, {0x00A4, 0x00A4}};
// GBK before the euro sign took the byte 0x80.
constexpr code_range gbk_refused[] = {{0x20AC, 0x20AC}};
// JIS X 0201 Roman's yen sign and overline (where the server keeps 0x5C and 0x7E ASCII), and the
// fullwidth reverse solidus that the library reads 0x815F as (the server: the backslash).
constexpr code_range sjis_refused[] = {{0x00A5, 0x00A5}, {0x203E, 0x203E}, {0xFF3C, 0xFF3C}};
// The fullwidth reverse solidus and tilde, which the two tables give different sequences.
constexpr code_range ujis_refused[] = {{0xFF3C, 0xFF3C}, {0xFF5E, 0xFF5E}};
// Fifteen symbols of the rows 0xA1 to 0xA3 that the library's Big5 maps as later tables do
// (the euro sign among them).
constexpr code_range big5_refused[] = {
    {0x00AF, 0x00AF}, {0x02CD, 0x02CD}, {0x2027, 0x2027}, {0x20AC, 0x20AC}, {0x2215, 0x2215},
    {0x2295, 0x2295}, {0x2299, 0x2299}, {0x2574, 0x2574}, {0xFE51, 0xFE51}, {0xFE68, 0xFE68},
    {0xFF5E, 0xFF5E}, {0xFFE0, 0xFFE1}, {0xFFE3, 0xFFE3}, {0xFFE5, 0xFFE5}};
// ETEN's extensions: kana, Cyrillic and circled numbers at 0xC6A1 to 0xC8FE (the library has
// them in the Private Use Area) and the box drawings at 0xF9DD to 0xF9FE (not in the server's).
constexpr byte_range big5_refused_bytes[] = {{0xC6A1, 0xC8FE}, {0xF9DD, 0xF9FE}};
// Kamenicky is CP437 with the Czech and Slovak letters in 0x80 to 0xAF; the C library has no
// table of it, so those bytes' characters are all in doubt.
constexpr byte_range keybcs2_refused_bytes[] = {{0x80, 0xAF}};

constexpr library_set library_sets[] = {
    {L"latin2", "ISO-8859-2", 1, {}, {}, false},
    {L"latin5", "ISO-8859-9", 1, {}, {}, false},
    {L"latin7", "ISO-8859-13", 1, {}, {}, false},
    {L"cp1250", "CP1250", 1, {}, {}, false},
    {L"cp1251", "CP1251", 1, {}, {}, false},
    {L"cp1257", "CP1257", 1, {}, {}, false},
    {L"koi8r", "KOI8-R", 1, {}, {}, false},
    {L"cp850", "CP850", 1, {}, {}, false},
    {L"cp852", "CP852", 1, {}, {}, false},
    {L"dec8", "DEC-MCS", 1, {}, {}, false},
    {L"hp8", "HP-ROMAN8", 1, {}, {}, false},
    {L"macce", "MAC-CENTRALEUROPE", 1, {}, {}, false},
    {L"tis620", "TIS-620", 1, {}, {}, false},
    {L"greek", "ISO-8859-7", 1, greek_refused, {}, false},
    {L"hebrew", "ISO-8859-8", 1, hebrew_refused, {}, false},
    {L"cp866", "CP866", 1, cp866_refused, {}, false},
    {L"koi8u", "KOI8-U", 1, koi8u_refused, {}, false},
    {L"armscii8", "ARMSCII-8", 1, armscii8_refused, {}, false},
    {L"cp1256", "CP1256", 1, cp1256_refused, {}, false},
    {L"macroman", "MACINTOSH", 1, macroman_refused, {}, false},
    {L"geostd8", "GEORGIAN-PS", 1, geostd8_refused, {}, false},
    {L"keybcs2", "CP437", 1, {}, keybcs2_refused_bytes, false},
    {L"swe7", "ISO646-SE2", 1, swe7_refused, {}, true},
    {L"sjis", "SJIS", 2, sjis_refused, {}, false},
    {L"cp932", "CP932", 2, {}, {}, false},
    {L"ujis", "EUC-JP", 3, ujis_refused, {}, false},
    {L"eucjpms", "EUC-JP-MS", 3, {}, {}, false},
    {L"euckr", "CP949", 2, {}, {}, false},
    {L"gb2312", "EUC-CN", 2, {}, {}, false},
    {L"gbk", "GBK", 2, gbk_refused, {}, false},
    {L"big5", "BIG5", 2, big5_refused, big5_refused_bytes, false},
};

template <class Range> bool within(std::span<const Range> ranges, std::uint32_t value) {
    return std::any_of(ranges.begin(), ranges.end(),
                       [value](const Range& r) { return value >= r.first && value <= r.last; });
}

// The one code point that `bytes` decode to as a whole, or -1.
long decode_one(iconv_t cd, const unsigned char* bytes, std::size_t size) {
    unsigned char out[8] = {};
    char* in_at = reinterpret_cast<char*>(const_cast<unsigned char*>(bytes));
    std::size_t in_left = size;
    char* out_at = reinterpret_cast<char*>(out);
    std::size_t out_left = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &in_at, &in_left, &out_at, &out_left) == static_cast<std::size_t>(-1) ||
        in_left != 0 || out_left != sizeof out - 4) {
        return -1;
    }
    return static_cast<long>(out[0] | out[1] << 8 | out[2] << 16 |
                             static_cast<std::uint32_t>(out[3]) << 24);
}

// What every set stores, for a set whose table the C library cannot give here: the C0 controls
// and ISO 646's invariant characters.
void set_invariant(plane& p) {
    for (char32_t c = 0; c < 0x20; ++c) {
        p.stored.set(c);
    }
    for (const char c : std::string_view(" !\"%&'()*+,-./:;<=>?_")) {
        p.stored.set(static_cast<unsigned char>(c));
    }
    for (char32_t c = 0; c < 26; ++c) {
        p.stored.set(U'A' + c);
        p.stored.set(U'a' + c);
    }
    for (char32_t c = U'0'; c <= U'9'; ++c) {
        p.stored.set(c);
    }
}

std::shared_ptr<const plane> build_plane(const library_set& set) {
    auto result = std::make_shared<plane>();
    iconv_t cd = iconv_open("UTF-32LE", set.library);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        tk_log_message(3,
                       "The C library has no table of %s: only the characters every set "
                       "stores are judged storable in it.",
                       set.library);
        set_invariant(*result);
        return result;
    }
    // In the multi-byte sets the bytes 0x80 to 0x9F begin sequences: no C1 control is stored.
    const char32_t c1_last = set.longest > 1 ? 0x9F : 0x7F;
    const auto take = [&](const unsigned char* bytes, std::size_t size) {
        std::uint32_t number = 0;
        for (std::size_t i = 0; i < size; ++i) {
            number = number << 8 | bytes[i];
        }
        if (within(set.refused_bytes, number)) {
            return;
        }
        const long point = decode_one(cd, bytes, size);
        if (point < 0 || point > 0xFFFF || (point >= 0x80 && point <= c1_last) ||
            within(set.refused_points, static_cast<std::uint32_t>(point))) {
            return;
        }
        result->stored.set(static_cast<std::size_t>(point));
    };
    unsigned char bytes[3] = {};
    for (int first = 0; first <= 0xFF; ++first) {
        bytes[0] = static_cast<unsigned char>(first);
        take(bytes, 1);
        for (int second = 0; first >= 0x80 && set.longest >= 2 && second <= 0xFF; ++second) {
            bytes[1] = static_cast<unsigned char>(second);
            take(bytes, 2);
            for (int third = 0xA1; first == 0x8F && set.longest == 3 && third <= 0xFE; ++third) {
                bytes[2] = static_cast<unsigned char>(third);
                take(bytes, 3);
            }
        }
    }
    iconv_close(cd);
    if (!set.national_ascii) {
        for (char32_t c = 0; c < 0x80; ++c) {
            result->stored.set(c);
        }
    }
    return result;
}

// Built on first use and kept for the process: every table of a run shares its set's plane.
std::shared_ptr<const plane> shared_plane(const library_set& set) {
    static std::mutex mutex;
    static std::map<const library_set*, std::shared_ptr<const plane>> planes;
    const std::lock_guard<std::mutex> lock(mutex);
    std::shared_ptr<const plane>& built = planes[&set];
    if (!built) {
        built = build_plane(set);
    }
    return built;
}

std::shared_ptr<const plane> ascii_plane() {
    static const std::shared_ptr<const plane> built = [] {
        auto p = std::make_shared<plane>();
        for (char32_t c = 0; c < 0x80; ++c) {
            p->stored.set(c);
        }
        return p;
    }();
    return built;
}

std::shared_ptr<const plane> latin1_plane() {
    static const std::shared_ptr<const plane> built = [] {
        auto p = std::make_shared<plane>();
        for (char32_t c = 0; c < 0x80; ++c) {
            p->stored.set(c);
        }
        for (char32_t c = 0xA0; c <= 0xFF; ++c) {
            p->stored.set(c);
        }
        for (const char32_t c : latin1_upper) {
            p->stored.set(c);
        }
        return p;
    }();
    return built;
}

// The character that a backslash escape of a MySQL string literal stands for; \% and \_ keep
// their backslash, which is then the character to judge.
long unescaped(char escaped) {
    switch (escaped) {
    case '0':
        return 0;
    case 'b':
        return '\b';
    case 'n':
        return '\n';
    case 'r':
        return '\r';
    case 't':
        return '\t';
    case 'Z':
        return 0x1A;
    case '%':
    case '_':
        return '\\';
    default:
        return static_cast<unsigned char>(escaped);
    }
}

// The code point at `at` of UTF-8 text, moving `at` past it; -1 for a malformed sequence.
long next_code_point(std::string_view text, std::size_t& at) {
    const auto lead = static_cast<unsigned char>(text[at++]);
    if (lead < 0x80) {
        return lead;
    }
    int more = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
    if (more < 0 || lead > 0xF4 || at + static_cast<std::size_t>(more) > text.size()) {
        return -1;
    }
    long point = lead & (0x3F >> more);
    for (; more > 0; --more) {
        const auto next = static_cast<unsigned char>(text[at++]);
        if ((next & 0xC0) != 0x80) {
            return -1;
        }
        point = point << 6 | (next & 0x3F);
    }
    return point;
}

} // namespace

sql_charset_repertoire::sql_charset_repertoire(const std::wstring& charset) {
    // "utf8" stands for full Unicode in this system (utf8mb4 where the server has it); MySQL's
    // gb18030 maps every code point, as its manual states.
    for (const wchar_t* name :
         {L"utf8", L"utf8mb4", L"utf16", L"utf16le", L"utf32", L"binary", L"gb18030"}) {
        if (same_name(charset, name)) {
            kind_ = kind::everything;
            return;
        }
    }
    if (same_name(charset, L"utf8mb3") || same_name(charset, L"ucs2")) {
        kind_ = kind::bmp;
        return;
    }
    if (same_name(charset, L"ascii")) {
        plane_ = ascii_plane();
    } else if (same_name(charset, L"latin1")) {
        plane_ = latin1_plane();
    } else {
        for (const library_set& set : library_sets) {
            if (same_name(charset, set.server)) {
                plane_ = shared_plane(set);
                break;
            }
        }
    }
    if (!plane_) {
        return;
    }
    kind_ = kind::table;
    for (char32_t c = 0; c < 0x80; ++c) {
        all_ascii_ = all_ascii_ && plane_->stored[c];
    }
}

sql_charset_repertoire::~sql_charset_repertoire() = default;

bool sql_charset_repertoire::stores(long point) const {
    if (point > 0xFFFF) {
        return false;
    }
    return kind_ == kind::bmp || plane_->stored[static_cast<std::size_t>(point)];
}

long sql_charset_repertoire::first_unstorable(std::string_view text, form as) const {
    if (!checks()) {
        return -1;
    }
    for (std::size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        long point = byte;
        if (byte < 0x80) {
            ++at;
            if (all_ascii_) {
                continue;
            }
            if (as == form::literal && byte == '\\' && at < text.size()) {
                point = unescaped(text[at++]);
            }
        } else {
            point = next_code_point(text, at);
            if (point < 0) {
                return -1;
            }
        }
        if (!stores(point)) {
            return point;
        }
    }
    return -1;
}
