// The text of a checked query on its way to the source: the check's own text without comments,
// which FreeTDS's ODBC driver passes on unchanged and the server reads as the check did.
#include "TK/tk_utils.h"
#include "UDB/udb_qchk.h"
#include "tests/UDB/udb_qchk_cases.h"
#include "tests/support/tds_server/tds_server.h"

#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

// SQLNativeSql of FreeTDS's driver on a connection to the TDS test server: the driver's own
// rewriting of a statement's text (escapes, parameter markers), which its SQLExecDirect applies
// too, whatever SQL_NOSCAN says.
class driver_rewriting {
public:
    explicit driver_rewriting(const std::string& connection_string) {
        SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
        SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
        std::u16string in = tk_utf8_to_utf16(connection_string);
        connected_ = SQL_SUCCEEDED(SQLDriverConnectW(
            dbc_, nullptr, reinterpret_cast<SQLWCHAR*>(in.data()),
            static_cast<SQLSMALLINT>(in.size()), nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT));
    }
    ~driver_rewriting() {
        if (connected_)
            SQLDisconnect(dbc_);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
        SQLFreeHandle(SQL_HANDLE_ENV, env_);
    }
    driver_rewriting(const driver_rewriting&) = delete;
    driver_rewriting& operator=(const driver_rewriting&) = delete;

    bool connected() const { return connected_; }

    // What the driver makes of `text`; "<failed>" when it refuses it.
    std::wstring operator()(const std::wstring& text) const {
        std::u16string in = tk_to_utf16(text);
        std::u16string out(in.size() * 2 + 64, u'\0');
        SQLINTEGER length = 0;
        const SQLRETURN rc = SQLNativeSqlW(
            dbc_, reinterpret_cast<SQLWCHAR*>(in.data()), static_cast<SQLINTEGER>(in.size()),
            reinterpret_cast<SQLWCHAR*>(out.data()), static_cast<SQLINTEGER>(out.size()), &length);
        if (!SQL_SUCCEEDED(rc) || length < 0 || static_cast<std::size_t>(length) >= out.size())
            return L"<failed>";
        out.resize(static_cast<std::size_t>(length));
        return tk_utf16_to_wstring(out);
    }

private:
    SQLHENV env_ = SQL_NULL_HENV;
    SQLHDBC dbc_ = SQL_NULL_HDBC;
    bool connected_ = false;
};

// Pieces that each reader may take differently: nested and unclosed comments, ODBC escapes and
// lone braces, parameter markers, every kind of quote (doubled, unclosed, N'...'), brackets and
// line ends of each kind.
const std::wstring_view pieces[] = {
    L" ",         L"\t",
    L"\r",        L"\n",
    L"\r\n",      L"a",
    L"t.x",       L"1",
    L",",         L"(",
    L")",         L"*",
    L"/",         L"-",
    L".",         L"=",
    L"AS b",      L" FROM t",
    L"/*",        L"*/",
    L"/* c */",   L"--",
    L"-- x\n",    L"*{x }/",
    L"/{x }*",    L"{",
    L"}",         L"{fn user()}",
    L"{call p}",  L"{d '2020-01-01'}",
    L"{oj t}",    L"{escape '\\'}",
    L"?",         L"{?=call p}",
    L"'",         L"''",
    L"'a'",       L"'it''s'",
    L"N'x'",      L"N'{call p}'",
    L"\"",        L"\"q\"",
    L"\"\"",      L"[",
    L"]",         L"[n]",
    L"[a]]b]",    L"[{?}]",
    L"'{fn x}?'", L"EXEC xp_cmdshell 'id'",
    L"\\",        L"$",
    L"@v",        L"#t",
    L"\u00e9",    L"\u3000",
    L"N",         L"0x1F",
    L"1e5",       L"\"{fn x}?\"",
    L"N'a''{x}'", L"[a--b]",
};

std::wstring generated_text(std::mt19937& random) {
    std::uniform_int_distribution<std::size_t> piece(0, std::size(pieces) - 1);
    std::uniform_int_distribution<int> count(1, 14);
    std::wstring text = L"SELECT a";
    for (int n = count(random); n > 0; --n)
        text += pieces[piece(random)];
    return text;
}

class QueryText : public testing::Test {
protected:
    void SetUp() override {
        server =
            std::make_unique<tds_server>(std::vector<std::string>{tds_fixture_dir() + "/shop.tds"});
        server->start();
        rewriting = std::make_unique<driver_rewriting>(
            server->odbc_connection_string("sa", "Velmora-Pw1", "velmora_shop"));
        ASSERT_TRUE(rewriting->connected());
    }

    // The oracle for one text: when the check accepts it, what is sent is a fixed point of the
    // check and of comment removal, and the driver passes it on unchanged.
    void expect_sent_unchanged(const std::wstring& text) {
        if (!udb_single_select_fault(text).empty())
            return;
        SCOPED_TRACE(testing::PrintToString(text));
        const std::wstring sent = udb_select_to_send(L"Query", L"q", text);
        EXPECT_EQ(udb_single_select_fault(sent), L"");
        EXPECT_EQ(udb_without_comments(sent), sent);
        EXPECT_EQ((*rewriting)(sent), sent);
    }

    std::unique_ptr<tds_server> server;
    std::unique_ptr<driver_rewriting> rewriting;
};

TEST_F(QueryText, TheDriverSendsEveryCheckedCaseAsItIs) {
    for (const udb_qchk_cases::check_case& c : udb_qchk_cases::cases)
        expect_sent_unchanged(c.text);
}

// The same over generated texts, with a fixed seed so that a failure can be replayed.
TEST_F(QueryText, TheDriverSendsEveryCheckedGeneratedTextAsItIs) {
    std::mt19937 random(20261211);
    std::size_t accepted_with_comment = 0;
    std::size_t accepted_with_brace = 0;
    for (int i = 0; i < 20000 && !HasFailure(); ++i) {
        const std::wstring text = generated_text(random);
        if (udb_single_select_fault(text).empty()) {
            accepted_with_comment += udb_without_comments(text) != text ? 1 : 0;
            accepted_with_brace += text.find_first_of(L"{}?") != std::wstring::npos ? 1 : 0;
        }
        expect_sent_unchanged(text);
    }
    // The corpus reaches the cases that matter: comments taken out, braces kept in literals.
    EXPECT_GT(accepted_with_comment, 0u);
    EXPECT_GT(accepted_with_brace, 0u);
}

} // namespace
