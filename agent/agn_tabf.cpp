// The table-list file.
#include "agent/agn_tabf.h"

#include "agent/agn_cons.h"
#include "converter/vlm_conv.h"
#include "TK/tk_log.h"
#include "TK/tk_rtext.h"
#include "TK/tk_utils.h"

#include <sstream>

std::vector<std::wstring> read_table_list(std::istream& in) {
    static const std::string bom = "\xEF\xBB\xBF";
    std::vector<std::wstring> names;
    bool utf8 = false;
    std::string line;
    while (std::getline(in, line)) {
        // Files written on Windows end their lines with CR LF; the CR is no part of the name.
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty()) {
            continue;
        }
        std::string_view text = line;
        if (names.empty()) {
            utf8 = line.compare(0, bom.size(), bom) == 0;
            if (utf8) {
                text.remove_prefix(bom.size());
            }
        }
        names.push_back(utf8 ? tk_utf8_to_wstring(std::string(text))
                             : tk_to_wstring(std::string(text)));
    }
    return names;
}

void process_tab_file(const std::string& path) {
    tk_log_message(1, "process_tab_file(%s)", path.c_str());
    // The log empties its file when it starts: it must not be the list.
    if (tk_logger* logger = tk_singleton<tk_logger>::pointer()) {
        logger->note_input(path, "table-list");
    }
    std::string bytes;
    const tk_read_result read = tk_read_text_file(path, tk_text_file_limit, bytes);
    if (read == tk_read_result::missing) {
        report_fatal_and_exit(
            "Table names file does not exist.\nPlease verify the correct path/name was given.");
    }
    if (read != tk_read_result::ok) {
        report_fatal_and_exit("Table names file cannot be read: " + path + ": " +
                              tk_read_result_text(read));
    }
    std::istringstream in(std::move(bytes));
    std::vector<std::wstring> names = read_table_list(in);
    // An empty selection means every table of the source: a list that came out empty must not.
    if (names.empty()) {
        report_fatal_and_exit("Table names file lists no table: " + path);
    }
    tk_singleton<velmora_convertor>::ref().selected_tables = std::move(names);
}
