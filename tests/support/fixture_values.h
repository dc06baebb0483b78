// How the tests that compare values read from the TDS test server's fixtures bring both sides
// to one form.
#pragma once

#include "UDB/udb_field.h"

#include <cstdint>
#include <string>

namespace test_support {

// A decimal text without "+", trailing fraction zeros or a trailing point.
inline std::string plain_decimal(std::string text) {
    if (!text.empty() && text[0] == '+') {
        text.erase(0, 1);
    }
    if (text.find('.') != std::string::npos) {
        while (text.back() == '0') {
            text.pop_back();
        }
        if (text.back() == '.') {
            text.pop_back();
        }
    }
    return text == "-0" ? "0" : text;
}

// The bytes a binary field holds.
inline std::string bytes_of(const udb_field& field) {
    std::uint8_t* data = nullptr;
    const unsigned n = field.get_bytes(&data);
    return n == 0 ? std::string() : std::string(reinterpret_cast<const char*>(data), n);
}

} // namespace test_support
