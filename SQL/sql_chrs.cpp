// The character sets and storage engines that the settings page offers.
#include "SQL/sql_engi.h"

#include "TK/tk_log.h"
#include "TK/tk_utils.h"

#include <iconv.h>

#include <algorithm>
#include <cwctype>

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

bool same_name(const std::wstring& a, const wchar_t* b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i] != L'\0'; ++i) {
        if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i]))) {
            return false;
        }
    }
    return i == a.size() && b[i] == L'\0';
}

// The characters of MySQL's latin1 above 0x7F: cp1252 with its five unassigned bytes taken as
// the C1 controls of the same number.
constexpr char32_t latin1_upper[] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// Single-byte sets whose upper half the C library's tables give as the server has it (each is
// checked against a server by the tests), by the server's name and the C library's.
struct single_byte_set {
    const wchar_t* server;
    const char* library;
};
// Left out: greek, hebrew, cp1256, cp866 and koi8u, whose tables differ between the server
// and the C library in a few characters each.
constexpr single_byte_set single_byte_sets[] = {
    {L"latin2", "ISO-8859-2"}, {L"latin5", "ISO-8859-9"}, {L"latin7", "ISO-8859-13"},
    {L"cp1250", "CP1250"},     {L"cp1251", "CP1251"},     {L"cp1257", "CP1257"},
    {L"koi8r", "KOI8-R"},      {L"cp850", "CP850"},       {L"cp852", "CP852"},
};

// The code points of the bytes 0x80 to 0xFF of a single-byte set, sorted; empty when the C
// library does not know the set.
std::vector<char32_t> decoded_upper_half(const char* library_name) {
    std::vector<char32_t> points;
    iconv_t cd = iconv_open("UTF-32LE", library_name);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return points;
    }
    for (int byte = 0x80; byte <= 0xFF; ++byte) {
        char in = static_cast<char>(byte);
        unsigned char out[4] = {};
        char* in_at = &in;
        std::size_t in_left = 1;
        char* out_at = reinterpret_cast<char*>(out);
        std::size_t out_left = sizeof out;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd, &in_at, &in_left, &out_at, &out_left) != static_cast<std::size_t>(-1) &&
            out_left == 0) {
            points.push_back(static_cast<char32_t>(out[0] | out[1] << 8 | out[2] << 16 |
                                                   static_cast<char32_t>(out[3]) << 24));
        }
    }
    iconv_close(cd);
    std::sort(points.begin(), points.end());
    return points;
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
    // "utf8" stands for full Unicode in this system (utf8mb4 where the server has it).
    for (const wchar_t* name : {L"utf8", L"utf8mb4", L"utf16", L"utf16le", L"utf32", L"binary"}) {
        if (same_name(charset, name)) {
            kind_ = kind::everything;
            return;
        }
    }
    if (same_name(charset, L"utf8mb3") || same_name(charset, L"ucs2")) {
        kind_ = kind::bmp;
    } else if (same_name(charset, L"ascii")) {
        kind_ = kind::ascii;
    } else if (same_name(charset, L"latin1")) {
        kind_ = kind::latin1;
        upper_half_.assign(std::begin(latin1_upper), std::end(latin1_upper));
        for (char32_t c = 0xA0; c <= 0xFF; ++c) {
            upper_half_.push_back(c);
        }
        std::sort(upper_half_.begin(), upper_half_.end());
    } else {
        for (const single_byte_set& set : single_byte_sets) {
            if (same_name(charset, set.server)) {
                upper_half_ = decoded_upper_half(set.library);
                kind_ = upper_half_.empty() ? kind::unknown : kind::table;
                break;
            }
        }
    }
}

sql_charset_repertoire::~sql_charset_repertoire() = default;

long sql_charset_repertoire::first_unstorable(std::string_view text) const {
    if (!checks()) {
        return -1;
    }
    for (std::size_t at = 0; at < text.size();) {
        if (static_cast<unsigned char>(text[at]) < 0x80) {
            ++at;
            continue;
        }
        const long point = next_code_point(text, at);
        if (point < 0) {
            return -1;
        }
        bool storable = false;
        switch (kind_) {
        case kind::bmp:
            storable = point <= 0xFFFF;
            break;
        case kind::ascii:
            break;
        default:
            storable = std::binary_search(upper_half_.begin(), upper_half_.end(),
                                          static_cast<char32_t>(point));
            break;
        }
        if (!storable) {
            return point;
        }
    }
    return -1;
}
