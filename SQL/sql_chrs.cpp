// The character sets and storage engines that the settings page offers.
#include "SQL/sql_engi.h"

#include "TK/tk_log.h"
#include "TK/tk_utils.h"

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
