// Tests of GUID text: the bare, braced and located forms, and the 16 bytes.
#include "OLE/ole_guid.h"

#include "TK/tk_excep.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {
const std::wstring guid = L"12345678-9abc-DEF0-1234-56789abcdef0";
}

TEST(OleGuid, RecognisesTheForms) {
    struct row {
        std::wstring text;
        bool valid;
        std::wstring value;
    };
    const row rows[] = {
        {guid, true, guid},
        {L"{" + guid + L"}", true, guid},
        {L"  " + guid + L"  ", true, guid},
        {L"guid{" + guid + L"}", true, guid},
        {L"GUID = {" + guid + L"}", true, guid},
        {L"------------------------------------", true, L"------------------------------------"},
        {guid.substr(0, 35), false, L""},
        {guid + L"0123456789", false, L""},
        {L"12345678-9abc-DEF0-1234-56789abcdefg", false, L""},
        {L"[" + guid + L"]", false, L""},
        {L"{" + guid.substr(0, 35) + L"x}", false, L""},
        // The located form hands out only what a GUID holds: SQL text quotes it bare.
        {L"guid={1234'); DROP TABLE t; --abcdefghij}", false, L""},
        {L"guid:{" + guid.substr(0, 35), false, L""},
        {L"guid{x}{" + guid + L"}", true, guid},
        {std::wstring(91, L'a'), false, L""},
        {L"", false, L""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::string(r.text.begin(), r.text.end()));
        const ole_guid_extractor extractor(r.text);
        EXPECT_EQ(extractor.valid, r.valid);
        EXPECT_EQ(extractor.get_wstr(), r.value);
        EXPECT_EQ(extractor.get_str(), std::string(r.value.begin(), r.value.end()));
    }
}

TEST(OleGuid, DigitsAndBytes) {
    const ole_guid_extractor bare(guid);
    EXPECT_EQ(bare.get_guid_wstr(), L"123456789abcDEF0123456789abcdef0");
    uint8_t bytes[16] = {};
    bare.get_bytes(bytes);
    const uint8_t expected[16] = {0x78, 0x56, 0x34, 0x12, 0xBC, 0x9A, 0xF0, 0xDE,
                                  0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
    EXPECT_EQ(std::memcmp(bytes, expected, 16), 0);

    const ole_guid_extractor located(std::string("guid:{12345678-9abc-DEF0-1234-56789abcdef0}"));
    ASSERT_TRUE(located.valid);
    uint8_t again[16] = {};
    located.get_bytes(again);
    EXPECT_EQ(std::memcmp(again, expected, 16), 0);

    const ole_guid_extractor not_guid(std::string("hello"));
    EXPECT_EQ(not_guid.get_guid_wstr(), L"");
    EXPECT_THROW(not_guid.get_bytes(bytes), tk_mail_assertion);
}
