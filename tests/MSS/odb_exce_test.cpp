// OLE DB errors: the exception's code, text, source and native error from the error objects.
#include "MSS/odb_exce.h"

#include "mss_test_support.h"
#include "platform/oledb/oledb.h"

#include <functional>

namespace {

using odb_exce_test = mss_fixture;

com_error_record record(std::optional<std::u16string> description, std::u16string source,
                        std::optional<std::u16string> sqlstate = {}, LONG native = 0) {
    com_error_record r;
    r.result = E_FAIL;
    r.description = std::move(description);
    r.source = std::move(source);
    r.sqlstate = std::move(sqlstate);
    r.native_error = native;
    return r;
}

} // namespace

TEST_F(odb_exce_test, text_source_and_native_error_for_each_kind_of_error_object) {
    struct error_case {
        const char* name;
        std::function<void()> post; // leaves the thread's error object, or none
        std::string message;
        std::wstring source;
        std::int32_t native;
    };
    const error_case cases[] = {
        {"no error object", [] { SetErrorInfo(0, nullptr); }, "Unknown exception", L"", 0},
        {"error object without records",
         [] {
             auto* info = new com_simple_error_info(GUID_NULL, u"Plain", u"Plain description");
             SetErrorInfo(0, info);
             info->Release();
         },
         "Plain description", L"Plain", 0},
        {"error object without records or description",
         [] {
             auto* info = new com_simple_error_info(GUID_NULL, u"Plain", std::nullopt);
             SetErrorInfo(0, info);
             info->Release();
         },
         "", L"Plain", 0},
        {"records: first description empty, second given",
         [] {
             com_post_error({record(u"", u"First", u"01000", 5701),
                             record(u"Login failed for user 'bob'.", u"Second", u"28000", 18456),
                             record(u"Third text", u"Third")});
         },
         "Login failed for user 'bob'.", L"Second", 18456},
        {"records with empty descriptions only",
         [] {
             com_post_error({record(u"", u"First"), record(u"", u"Second")});
         },
         "Generic error occurred while migrating the data.", L"Second", 0},
        {"records that yield no error object",
         [] {
             com_post_error(
                 {record(std::nullopt, u"First", u"42000", 1), record(std::nullopt, u"Second")});
         },
         "Unknown exception", L"", 1},
        {"no records", [] { com_post_error(std::vector<com_error_record>{}); }, "Unknown exception",
         L"", 0},
    };
    for (const error_case& c : cases) {
        SCOPED_TRACE(c.name);
        c.post();
        const odb_exception e(DB_SEC_E_AUTH_FAILED, true);
        EXPECT_EQ(e.message, c.message);
        EXPECT_STREQ(e.what(), c.message.c_str());
        EXPECT_EQ(e.source, c.source);
        EXPECT_EQ(e.native_error, c.native);
        EXPECT_EQ(e.code, 0x80E4D);
        EXPECT_EQ(e.level, 0);
        IErrorInfo* left = nullptr;
        EXPECT_EQ(GetErrorInfo(0, &left), S_FALSE); // the error object was taken
    }
}

TEST_F(odb_exce_test, code_is_0x80000_plus_the_low_word) {
    const std::pair<HRESULT, int> codes[] = {
        {DB_SEC_E_AUTH_FAILED, 0x80E4D},
        {DB_E_NOTABLE, 0x80E37},
        {E_FAIL, 0x84005},
        {DB_E_ERRORSINCOMMAND, 0x80E14},
    };
    for (const auto& [hr, code] : codes) {
        SCOPED_TRACE(code);
        EXPECT_EQ(odb_exception(hr, true).code, code);
    }
}

TEST_F(odb_exce_test, records_are_traced) {
    com_post_error({record(u"Bad login", u"Stub", u"28000", 18456)});
    const odb_exception e(DB_SEC_E_AUTH_FAILED, true);
    EXPECT_EQ(trace_count("Got IErrorRecords"), 1);
    EXPECT_EQ(trace_count("Got 1 record(s)"), 1);
    EXPECT_EQ(trace_count("HRESULT:\t0x80004005"), 1);
    EXPECT_EQ(trace_count("SQLSTATE:\t28000"), 1);
    EXPECT_EQ(trace_count("Native Error:\t18456"), 1);
    EXPECT_EQ(trace_count("Error message:\tBad login"), 1);
}

TEST_F(odb_exce_test, odb_check_traces_and_throws_only_failures) {
    EXPECT_NO_THROW(odb_check(S_OK));
    EXPECT_NO_THROW(odb_check(DB_S_ENDOFROWSET));
    com_post_error(DB_E_NOTABLE, u"Invalid object name 'x'.", u"Stub");
    try {
        odb_check(DB_E_NOTABLE);
        FAIL() << "no exception";
    } catch (const odb_exception& e) {
        EXPECT_EQ(e.code, 0x80E37);
        EXPECT_EQ(e.message, "Invalid object name 'x'.");
    }
    EXPECT_EQ(trace_count("Error code: 80040E37"), 1);
}

TEST_F(odb_exce_test, message_constructors) {
    const odb_exception plain(std::wstring(L"Bulk copy failed"));
    EXPECT_EQ(plain.message, "Bulk copy failed");
    EXPECT_EQ(plain.code, 0);
    EXPECT_EQ(plain.level, 0);
    EXPECT_TRUE(plain.source.empty());

    const mss_no_perm_exception perm(L"bob", L"Sales");
    EXPECT_EQ(perm.message, "User 'bob' does not have permission to access database 'Sales'");
    EXPECT_EQ(perm.code, 0);
    EXPECT_EQ(perm.level, 0);
    // Names far beyond the original 256-character buffer are kept whole.
    const std::wstring long_name(600, L'x');
    EXPECT_EQ(mss_no_perm_exception(long_name, long_name).message,
              "User '" + std::string(600, 'x') + "' does not have permission to access database '" +
                  std::string(600, 'x') + "'");
}
