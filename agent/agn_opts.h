// The command-line options of the console agent.
#pragma once

#include <string>

// The program's version, shown in the usage text.
inline constexpr int pontrel_version_major = 8;
inline constexpr int pontrel_version_minor = 3;

// The usage text with the version filled in.
std::string pontrel_usage();

// Applies the options from left to right to the converter, its engines and the error handler;
// a profile is applied where its --profile= stands and a table list where its --tab_file=
// stands. After the walk it checks the source and destination names and, unless the last
// --profile= loaded its file, stores the connection options. False when an argument matched no
// option. Ends the program itself for --help, a refused option value, a missing name, a missing
// table list or a profile that cannot be applied; errors of the log file and the profile reader
// pass on as tk_exception.
bool parse_cmd_line(int argc, char** argv);

// The test of --mode=: the value is the plain decimal text of a number from 0 to 4.
bool parse_mode(const std::string& value, int& mode);

// Names of character sets and storage engines that a server can know: letters, digits and
// underscores, at least one of them.
bool is_server_word(const std::string& value);
