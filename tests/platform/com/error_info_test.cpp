// The thread's error object and the records that providers post.
#include "platform/com/com_api.h"
#include "platform/com/error_info.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

std::u16string take(BSTR text) {
    std::u16string result = text ? std::u16string(text, SysStringLen(text)) : u"";
    SysFreeString(text);
    return result;
}

class error_fixture : public ::testing::Test {
protected:
    void SetUp() override { CoInitialize(nullptr); }
    void TearDown() override { CoUninitialize(); }
};

} // namespace

TEST_F(error_fixture, get_error_info_hands_over_and_clears) {
    IErrorInfo* info = reinterpret_cast<IErrorInfo*>(1);
    EXPECT_EQ(GetErrorInfo(0, &info), S_FALSE);
    EXPECT_EQ(info, nullptr);

    EXPECT_EQ(com_post_error(E_FAIL, u"it broke", u"stub"), E_FAIL);
    ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
    ASSERT_NE(info, nullptr);
    BSTR text = nullptr;
    ASSERT_EQ(info->GetDescription(&text), S_OK);
    EXPECT_EQ(take(text), u"it broke");
    ASSERT_EQ(info->GetSource(&text), S_OK);
    EXPECT_EQ(take(text), u"stub");
    info->Release();

    IErrorInfo* again = nullptr;
    EXPECT_EQ(GetErrorInfo(0, &again), S_FALSE);
    EXPECT_EQ(again, nullptr);
}

TEST_F(error_fixture, success_clears_an_earlier_error) {
    com_post_error(E_FAIL, u"old failure", u"stub");
    EXPECT_EQ(com_succeed(), S_OK);
    IErrorInfo* info = nullptr;
    EXPECT_EQ(GetErrorInfo(0, &info), S_FALSE);
}

TEST_F(error_fixture, error_object_belongs_to_its_thread) {
    com_post_error(E_FAIL, u"main thread", u"stub");
    std::thread([] {
        IErrorInfo* info = nullptr;
        EXPECT_EQ(GetErrorInfo(0, &info), S_FALSE);
        com_post_error(E_FAIL, u"other thread", u"stub"); // released when the thread ends
    }).join();
    IErrorInfo* info = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
    BSTR text = nullptr;
    info->GetDescription(&text);
    EXPECT_EQ(take(text), u"main thread");
    info->Release();
}

TEST_F(error_fixture, records_give_basic_sql_and_text_information) {
    com_error_record silent;
    silent.result = make_hresult(0x80040E4D);
    com_error_record server;
    server.result = make_hresult(0x80040E4D);
    server.description = u"Login failed for user 'sa'.";
    server.source = u"Microsoft OLE DB Provider for SQL Server";
    server.sqlstate = u"28000";
    server.native_error = 18456;
    EXPECT_EQ(com_post_error({silent, server}), make_hresult(0x80040E4D));

    IErrorInfo* info = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
    IErrorRecords* records = nullptr;
    ASSERT_EQ(info->QueryInterface(IID_IErrorRecords, reinterpret_cast<void**>(&records)), S_OK);
    ULONG count = 0;
    ASSERT_EQ(records->GetRecordCount(&count), S_OK);
    EXPECT_EQ(count, 2u);

    ERRORINFO basic{};
    ASSERT_EQ(records->GetBasicErrorInfo(1, &basic), S_OK);
    EXPECT_EQ(basic.hrError, make_hresult(0x80040E4D));
    EXPECT_EQ(records->GetBasicErrorInfo(2, &basic), DB_E_BADRECORDNUM);

    // The first record has neither text nor SQL information.
    IUnknown* custom = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(records->GetCustomErrorObject(0, IID_ISQLErrorInfo, &custom), S_OK);
    EXPECT_EQ(custom, nullptr);
    IErrorInfo* record_info = reinterpret_cast<IErrorInfo*>(1);
    EXPECT_TRUE(FAILED(records->GetErrorInfo(0, 1033, &record_info)));
    EXPECT_EQ(record_info, nullptr);

    ASSERT_EQ(records->GetCustomErrorObject(1, IID_ISQLErrorInfo, &custom), S_OK);
    ASSERT_NE(custom, nullptr);
    BSTR sqlstate = nullptr;
    LONG native = 0;
    ASSERT_EQ(static_cast<ISQLErrorInfo*>(custom)->GetSQLInfo(&sqlstate, &native), S_OK);
    EXPECT_EQ(take(sqlstate), u"28000");
    EXPECT_EQ(native, 18456);
    custom->Release();

    ASSERT_EQ(records->GetErrorInfo(1, 1033, &record_info), S_OK);
    BSTR text = nullptr;
    record_info->GetDescription(&text);
    EXPECT_EQ(take(text), u"Login failed for user 'sa'.");
    record_info->GetSource(&text);
    EXPECT_EQ(take(text), u"Microsoft OLE DB Provider for SQL Server");
    record_info->Release();

    records->Release();
    info->Release();
}

TEST_F(error_fixture, plain_error_object_has_no_records) {
    auto* plain = new com_simple_error_info(GUID_NULL, u"src", u"plain text");
    SetErrorInfo(0, plain);
    plain->Release();
    IErrorInfo* info = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
    void* records = reinterpret_cast<void*>(1);
    EXPECT_EQ(info->QueryInterface(IID_IErrorRecords, &records), E_NOINTERFACE);
    EXPECT_EQ(records, nullptr);
    info->Release();
}

TEST(error_info, last_uninitialize_releases_the_error_object) {
    CoInitialize(nullptr);
    auto* plain = new com_simple_error_info(GUID_NULL, u"src", u"text");
    SetErrorInfo(0, plain);
    CoUninitialize();
    EXPECT_EQ(plain->Release(), 0u);
}
