// The conversion library, as the MS SQL engine creates it.
#include "platform/oledb/oledb_services.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

class convert_fixture : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitialize(nullptr);
        ASSERT_EQ(CoCreateInstance(CLSID_OLEDB_CONVERSIONLIBRARY, nullptr, 23, IID_IDataConvert,
                                   reinterpret_cast<void**>(&convert)),
                  S_OK);
    }
    void TearDown() override {
        convert->Release();
        CoUninitialize();
    }
    IDataConvert* convert = nullptr;
};

} // namespace

TEST_F(convert_fixture, numbers_and_text) {
    struct to_text {
        const char* name;
        DBTYPE type;
        std::int64_t bits;
        std::u16string text;
    };
    double half = -2.5;
    std::int64_t half_bits;
    std::memcpy(&half_bits, &half, 8);
    const to_text cases[] = {
        {"int", DBTYPE_I4, -42, u"-42"},
        {"bigint", DBTYPE_I8, INT64_MIN, u"-9223372036854775808"},
        {"bool", DBTYPE_BOOL, -1, u"True"},
        {"double", DBTYPE_R8, half_bits, u"-2.5"},
    };
    for (const to_text& c : cases) {
        SCOPED_TRACE(c.name);
        char16_t out[40];
        DBLENGTH length = 0;
        DBSTATUS status = 99;
        std::int64_t source = c.bits;
        ASSERT_EQ(convert->DataConvert(c.type, DBTYPE_WSTR, 0, &length, &source, out, sizeof out,
                                       DBSTATUS_S_OK, &status, 0, 0, 0),
                  S_OK);
        EXPECT_EQ(status, DBSTATUS_S_OK);
        EXPECT_EQ(std::u16string(out), c.text);
        EXPECT_EQ(length, c.text.size() * 2);
    }

    std::u16string text = u" 300 ";
    unsigned char byte = 0;
    DBSTATUS status = 0;
    EXPECT_EQ(convert->DataConvert(DBTYPE_WSTR, DBTYPE_UI1, text.size() * 2, nullptr, text.data(),
                                   &byte, 1, DBSTATUS_S_OK, &status, 0, 0, 0),
              DB_E_DATAOVERFLOW);
    EXPECT_EQ(status, DBSTATUS_E_DATAOVERFLOW);
    text = u"12x";
    std::int32_t number = 0;
    EXPECT_EQ(convert->DataConvert(DBTYPE_WSTR, DBTYPE_I4, text.size() * 2, nullptr, text.data(),
                                   &number, 4, DBSTATUS_S_OK, &status, 0, 0, 0),
              DB_E_CANTCONVERTVALUE);
    text = u"1234";
    EXPECT_EQ(convert->DataConvert(DBTYPE_WSTR, DBTYPE_I4, text.size() * 2, nullptr, text.data(),
                                   &number, 4, DBSTATUS_S_OK, &status, 0, 0, 0),
              S_OK);
    EXPECT_EQ(number, 1234);
}

TEST_F(convert_fixture, bytes_nulls_truncation_and_support) {
    const char raw[] = {'\x00', '\xAB'};
    char16_t hex[3];
    DBLENGTH length = 0;
    DBSTATUS status = 0;
    EXPECT_EQ(convert->DataConvert(DBTYPE_BYTES, DBTYPE_WSTR, 2, &length, const_cast<char*>(raw),
                                   hex, sizeof hex, DBSTATUS_S_OK, &status, 0, 0, 0),
              S_OK);
    EXPECT_EQ(status, DBSTATUS_S_TRUNCATED);
    EXPECT_EQ(length, 8u);
    EXPECT_EQ(std::u16string(hex), u"00");

    std::int32_t out = 7;
    EXPECT_EQ(convert->DataConvert(DBTYPE_I4, DBTYPE_I8, 0, &length, &out, &out, 8,
                                   DBSTATUS_S_ISNULL, &status, 0, 0, 0),
              S_OK);
    EXPECT_EQ(status, DBSTATUS_S_ISNULL);

    EXPECT_EQ(convert->CanConvert(DBTYPE_I4, DBTYPE_WSTR), S_OK);
    EXPECT_EQ(convert->CanConvert(DBTYPE_BYTES, DBTYPE_I4), S_FALSE);
    EXPECT_EQ(convert->CanConvert(DBTYPE_GUID, DBTYPE_WSTR), S_FALSE);

    std::int64_t big = 123456;
    DBLENGTH need = 0;
    EXPECT_EQ(convert->GetConversionSize(DBTYPE_I8, DBTYPE_WSTR, nullptr, &need, &big), S_OK);
    EXPECT_EQ(need, 14u); // six characters and the terminator
}
