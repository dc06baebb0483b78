// Error-code map: the message a user is shown for an error code.
#pragma once

#include <map>
#include <string>

// Filled from static tables of code and text pairs, then asked for the text of a code. When a
// code occurs more than once, its first text counts.
class tk_error_converter {
public:
    // One entry of a static table. A null text counts as the empty text.
    struct item {
        int code;
        const char* text;
    };

    tk_error_converter(unsigned size, const item* table);

    // Adds the table's `size` entries in table order; codes already held keep their text.
    // A null table is an internal error.
    void load_map(unsigned size, const item* table);

    // The text of the code, or the empty text when the map has none (the caller then falls back
    // to the error's own message).
    std::string convert(int code) const;

    std::map<int, std::string> map;
};
