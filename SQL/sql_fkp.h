// Foreign keys read out of the text that a MySQL server gives for SHOW CREATE TABLE.
#pragma once

#include <string>
#include <vector>

class udb_relationships;

// Finds, line by line, the constraints of the form
//   CONSTRAINT `name` FOREIGN KEY (`a`, `b`) REFERENCES `table` (`x`, `y`) rule
// and adds each as a relationship of the parser's table.
class sql_fk_parser {
public:
    // `text` is the CREATE TABLE text as the server sent it (UTF-8); it is split at each line
    // feed.
    sql_fk_parser(const std::wstring& table, const std::string& text);

    // Appends one relationship per constraint line, in line order; lines without the three key
    // words are skipped.
    void do_parse(udb_relationships& relationships);

    // The backquoted names of `text`, in order; a doubled backquote inside a name is one
    // backquote of the name. Text outside backquotes and an unclosed last name are dropped.
    static void get_columns(const std::wstring& text, std::vector<std::wstring>& names);

    std::wstring table;
    std::vector<std::string> lines;
};
