// The table-list file of the console agent: the source tables to convert, one name per line.
#pragma once

#include <istream>
#include <string>
#include <vector>

// The names of a table list, in file order. The file is UTF-8 when its first non-empty line
// begins with a byte-order mark (which is not part of the name), else every line is in the ANSI
// code page. Lines are read whole whatever their length; a CR before the LF is dropped, empty
// lines are skipped, and nothing else is removed: blanks belong to the name. A line that cannot
// be converted raises the conversion's tk_exception.
std::vector<std::wstring> read_table_list(std::istream& in);

// Reads the file at `path` (as typed, in the ANSI code page) into the converter's
// selected_tables, replacing what they held. A missing file, a folder, a file larger than
// tk_text_file_limit or an unreadable file ends the program with its message; a line that cannot be converted leaves the list unchanged and
// passes the conversion's tk_exception on.
void process_tab_file(const std::string& path);
