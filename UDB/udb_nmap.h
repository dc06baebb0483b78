// Source-to-destination names of tables and columns, and their rewriting in view text.
#pragma once

#include "UDB/udb_util.h"

#include <cstdint>
#include <map>
#include <string>

// Source name to destination name, in UTF-16 ordinal order of the source names.
class t_names_map : public std::map<std::wstring, std::wstring, udb_utf16_less> {
public:
    // Records the pair; a source name already present keeps its first destination name.
    void add(const std::wstring& source, const std::wstring& dest);
};

// The names a conversion gave to one destination database's tables and columns. Lookups by map
// key are exact; the operations with a case flag walk the entries in key order instead.
class udb_names_map {
public:
    // Records a table's destination name; a source name already present keeps its first one.
    void add_tn_mapping(const std::wstring& source, const std::wstring& dest);

    // Records the column names of destination table `table` (source column to destination
    // column); an entry already present for that table stays.
    void add_fn_map(const std::wstring& table, const t_names_map& columns);

    // The destination name of a source table, or `name` unchanged when none was recorded.
    std::wstring get_tn_mapped_name(const std::wstring& name, bool case_sensitive) const;

    // The destination name of source column `column` of destination table `table` (the table
    // is looked up exactly), or `column` unchanged.
    std::wstring get_fn_mapped_name(const std::wstring& table, const std::wstring& column,
                                    bool case_sensitive) const;

    // The source name of destination column `column` of destination table `table`, or
    // `column` unchanged.
    std::wstring get_fn_orig_name(const std::wstring& table, const std::wstring& column,
                                  bool case_sensitive) const;

    // Rewrites view or query text for the destination: every source table name and every
    // source column name (of every table) becomes its destination name enclosed in
    // `open_quote` and `close_quote`. See do_global_replace2 for the matching rules; when a
    // name is recorded more than once, a table name comes before column names and the tables'
    // column maps count in key order.
    std::wstring do_global_replace1(const std::wstring& text, const std::wstring& open_quote,
                                    const std::wstring& close_quote) const;

    // Rewrites `text` with the pairs of `map`, in one pass from left to right that never looks
    // at text it has inserted. A source name matches, ignoring case, only as a whole: the
    // characters around it must not continue a word (letters, digits, "_", "$" and every
    // character from U+0080 on form words), so a name of several words matches only the whole
    // sequence; where several names match, the longest wins. A quoted identifier ("...", `...`
    // or [...]) whose whole content is a source name is replaced as one token. String literals
    // ('...', N'...') and comments (-- and /* */) are copied unchanged. A destination name is
    // enclosed in the quotes unless it already is; a closing quote inside it is doubled.
    std::wstring do_global_replace2(const std::wstring& text, const t_names_map& map,
                                    const std::wstring& open_quote,
                                    const std::wstring& close_quote) const;

    // Position of the first occurrence of `pattern` (length m) in `text` (length n) at or after
    // `start`, comparing A-Z without regard to case; npos when there is none. An empty pattern
    // is found at `start`.
    static std::uint64_t find_no_case(const wchar_t* text, std::uint64_t n, std::uint64_t start,
                                      const wchar_t* pattern, std::uint64_t m);
    static constexpr std::uint64_t npos = static_cast<std::uint64_t>(-1);

    t_names_map tn_map; // source table name -> destination table name
    // destination table name -> (source column name -> destination column name)
    std::map<std::wstring, t_names_map, udb_utf16_less> fn_maps;
};
