// GUID text: recognises a GUID in a short text and hands it out as text or as 16 bytes.
#pragma once

#include <cstdint>
#include <string>

class ole_guid_extractor {
public:
    // The narrow text is read as UTF-8.
    explicit ole_guid_extractor(const std::string& text);
    explicit ole_guid_extractor(const std::wstring& text);

    // The 36-character GUID text; empty when not valid.
    std::string get_str() const;
    std::wstring get_wstr() const;
    // The 32 hexadecimal digits in text order, without dashes or braces; empty when not valid.
    std::wstring get_guid_wstr() const;
    // The 16 bytes in the in-memory order of a GUID (first three groups little-endian).
    // An internal error when the text is not a GUID.
    void get_bytes(uint8_t* bytes) const;

    int32_t pos = -1;
    std::wstring text;
    bool valid = false;

private:
    void parse(const std::wstring& source);
};
