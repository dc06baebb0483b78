// Command-line reader.
#include "TK/tk_cmdli.h"

#include "TK/tk_excep.h"

#include <cstring>

TCmdLine::~TCmdLine() = default;

std::int32_t TCmdLine::get_option_id() const {
    tk_check(has_more(), "tk_cmdli", 140);
    return option_id_;
}

const char* TCmdLine::get_value() const {
    tk_check(has_more(), "tk_cmdli", 147);
    return value_;
}

void TCmdLine::match(const char* argument) {
    if (argument == nullptr) {
        argument = "";
    }
    // The closing row's empty text begins every argument, so the walk always ends on a row.
    const cmd_option* row = options_;
    while (row->text[0] != '\0' && std::strncmp(argument, row->text, std::strlen(row->text)) != 0) {
        ++row;
    }
    value_ = argument + std::strlen(row->text);
    if (row->text[0] != '\0') {
        option_id_ = row->id;
        return;
    }
    option_id_ = -1;
    // Any unrecognised argument ends in the usage text, so the first ones are enough to keep.
    if (unrecognised_count_ < max_unrecognised) {
        unrecognised_[unrecognised_count_] = argument;
    }
    ++unrecognised_count_;
}

ansi_cmd_line::ansi_cmd_line(int argc, char** argv, const cmd_option* options)
    : TCmdLine(options), cursor_(argc > 0 ? argv + 1 : argv), remaining_(argc > 0 ? argc - 1 : 0) {
    if (remaining_ > 0) {
        parse_current(*cursor_);
    }
}

void ansi_cmd_line::next() {
    tk_check(has_more(), "tk_cmdli", 60);
    ++cursor_;
    --remaining_;
    if (remaining_ > 0) {
        parse_current(*cursor_);
    }
}

void ansi_cmd_line::parse_current(const char* argument) {
    tk_check(has_more(), "tk_cmdli", 19);
    match(argument);
}
