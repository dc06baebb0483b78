// Tests of the registry key and its exchange of settings.
#include "TK/tk_regk.h"

#include "TK/tk_excep.h"
#include "tests/TK/tk_config_fixture.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr const char* settings_key = "Software\\Quintaro\\Velmora";

class tk_regk_test : public ::testing::Test {
protected:
    // Opens the settings key as the converter does.
    static long open(tk_reg_key& key, unsigned* disposition = nullptr) {
        return key.create(HKEY_CURRENT_USER, key.path.c_str(), nullptr, 0, KEY_ALL_ACCESS, nullptr,
                          disposition);
    }

    static void put_raw(const char* name, DWORD type, const std::vector<BYTE>& bytes) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, settings_key, 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(
            RegSetValueExA(key, name, 0, type, bytes.data(), static_cast<DWORD>(bytes.size())),
            ERROR_SUCCESS);
        RegCloseKey(key);
    }

    static void put_raw_wide(const char16_t* name, const std::u16string& units) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Quintaro\\Velmora", 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(units.data()),
                                 static_cast<DWORD>(2 * units.size())),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

    tk_config_test::private_config config_;
};

// Runs `body` in a child process, as a second run of the program would, and gives its result.
int in_child(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

TEST_F(tk_regk_test, SettingsOfEveryKindSurviveTheProcessThatStoredThem) {
    ASSERT_EQ(in_child([] {
                  tk_reg_key key(settings_key);
                  if (open(key) != 0)
                      return 1;
                  bool flag = true;
                  bool off = false;
                  int number = -5;
                  std::string host = "db.example.org";
                  std::string empty;
                  std::wstring server = L"Z\u00fcrich \u20ac \U0001D11E";
                  const bool all = key.serialize_value("sec_log", flag, true) &&
                                   key.serialize_value("skip_idx", off, true) &&
                                   key.serialize_value("dmp_line_br", number, true) &&
                                   key.serialize_value("host", host, true) &&
                                   key.serialize_value("pswd", empty, true) &&
                                   key.serialize_value(L"mssqlh", server, true);
                  return all ? 0 : 2;
              }),
              0);

    tk_reg_key key(settings_key);
    unsigned disposition = 0;
    ASSERT_EQ(open(key, &disposition), 0);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    bool flag = false;
    bool off = true;
    int number = 0;
    std::string host = "default";
    std::string empty = "default";
    std::wstring server = L"default";
    EXPECT_TRUE(key.serialize_value("sec_log", flag, false));
    EXPECT_TRUE(key.serialize_value("skip_idx", off, false));
    EXPECT_TRUE(key.serialize_value("dmp_line_br", number, false));
    EXPECT_TRUE(key.serialize_value("host", host, false));
    EXPECT_TRUE(key.serialize_value("pswd", empty, false));
    EXPECT_TRUE(key.serialize_value(L"mssqlh", server, false));
    EXPECT_TRUE(flag);
    EXPECT_FALSE(off);
    EXPECT_EQ(number, -5);
    EXPECT_EQ(host, "db.example.org");
    EXPECT_EQ(empty, "");
    EXPECT_EQ(server, L"Z\u00fcrich \u20ac \U0001D11E");
}

TEST_F(tk_regk_test, MissingValuesLeaveTheVariablesAsTheyWere) {
    tk_reg_key key(settings_key);
    unsigned disposition = 0;
    ASSERT_EQ(open(key, &disposition), 0);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    bool flag = true;
    int number = 3306;
    std::string text = "3306";
    std::wstring wide = L"InnoDB";
    EXPECT_FALSE(key.serialize_value("absent", flag, false));
    EXPECT_FALSE(key.serialize_value("absent", number, false));
    EXPECT_FALSE(key.serialize_value("absent", text, false));
    EXPECT_FALSE(key.serialize_value(L"absent", wide, false));
    EXPECT_TRUE(flag);
    EXPECT_EQ(number, 3306);
    EXPECT_EQ(text, "3306");
    EXPECT_EQ(wide, L"InnoDB");
}

TEST_F(tk_regk_test, WithoutAnOpenKeyEveryExchangeFailsAndChangesNothing) {
    tk_reg_key key(settings_key);
    for (bool store : {false, true}) {
        SCOPED_TRACE(store ? "store" : "load");
        bool flag = true;
        int number = 7;
        std::string text = "x";
        std::wstring wide = L"y";
        EXPECT_FALSE(key.serialize_value("a", flag, store));
        EXPECT_FALSE(key.serialize_value("b", number, store));
        EXPECT_FALSE(key.serialize_value("c", text, store));
        EXPECT_FALSE(key.serialize_value(L"d", wide, store));
        EXPECT_TRUE(flag);
        EXPECT_EQ(number, 7);
        EXPECT_EQ(text, "x");
        EXPECT_EQ(wide, L"y");
    }
    EXPECT_FALSE(std::filesystem::exists(win32::registry_file()));
}

TEST_F(tk_regk_test, FlagsLoadFromAnyNonZeroNumberAndStoreAsOneOrZero) {
    put_raw("convert_views", REG_DWORD, {2, 0, 0, 0});
    tk_reg_key key(settings_key);
    ASSERT_EQ(open(key), 0);
    bool flag = false;
    ASSERT_TRUE(key.serialize_value("convert_views", flag, false));
    EXPECT_TRUE(flag);
    ASSERT_TRUE(key.serialize_value("convert_views", flag, true));
    unsigned stored = 99;
    ASSERT_EQ(key.get_value(&stored, "convert_views"), 0);
    EXPECT_EQ(stored, 1u);
    flag = false;
    ASSERT_TRUE(key.serialize_value("convert_views", flag, true));
    ASSERT_EQ(key.get_value(&stored, "convert_views"), 0);
    EXPECT_EQ(stored, 0u);
}

TEST_F(tk_regk_test, NumbersAreTakenFromTheStoredBytesOfAnyShortValue) {
    struct number_case {
        const char* what;
        DWORD type;
        std::vector<BYTE> bytes;
        bool loads;
        int expected;
    };
    const std::vector<number_case> cases = {
        {"dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12}, true, 0x12345678},
        {"two binary bytes", REG_BINARY, {0x34, 0x12}, true, 0x1234},
        {"narrow text of three bytes", REG_SZ, {'a', 'b', 0}, true, 0x6261},
        {"five binary bytes", REG_BINARY, {1, 2, 3, 4, 5}, false, -1},
        {"narrow text of six bytes", REG_SZ, {'5', '0', '0', '0', '0', 0}, false, -1},
    };
    tk_reg_key key(settings_key);
    ASSERT_EQ(open(key), 0);
    for (const number_case& c : cases) {
        SCOPED_TRACE(c.what);
        put_raw("value", c.type, c.bytes);
        int number = -1;
        EXPECT_EQ(key.serialize_value("value", number, false), c.loads);
        EXPECT_EQ(number, c.expected);
    }
}

TEST_F(tk_regk_test, TextsLoadUpToTheirFirstNulAndNeverPastTheirSize) {
    struct text_case {
        const char* what;
        std::vector<BYTE> bytes;
        bool loads;
        std::string expected;
    };
    const std::vector<text_case> cases = {
        {"a lone terminator", {0}, true, ""},
        {"no bytes at all", {}, false, "before"},
        {"no terminator", {'a', 'b', 'c'}, true, "abc"},
        {"a NUL inside", {'a', 'b', 0, 'c', 'd', 0}, true, "ab"},
    };
    tk_reg_key key(settings_key);
    ASSERT_EQ(open(key), 0);
    for (const text_case& c : cases) {
        SCOPED_TRACE(c.what);
        put_raw("host", REG_SZ, c.bytes);
        std::string text = "before";
        EXPECT_EQ(key.serialize_value("host", text, false), c.loads);
        EXPECT_EQ(text, c.expected);
    }

    const std::vector<std::pair<std::u16string, std::wstring>> wide_cases = {
        {std::u16string(1, u'\0'), L""},
        {u"ab", L"ab"},
        {std::u16string(u"ab\0cd", 5), L"ab"},
        {u"\xD83D\xDE00 ok", L"\U0001F600 ok"},
    };
    for (const auto& [units, expected] : wide_cases) {
        SCOPED_TRACE(testing::PrintToString(expected));
        put_raw_wide(u"src", units);
        std::wstring text = L"before";
        EXPECT_TRUE(key.serialize_value(L"src", text, false));
        EXPECT_EQ(text, expected);
    }
    put_raw_wide(u"src", u"");
    std::wstring text = L"before";
    EXPECT_FALSE(key.serialize_value(L"src", text, false));
    EXPECT_EQ(text, L"before");
}

TEST_F(tk_regk_test, TextsAreStoredWithTheirTerminatorInBothWidths) {
    tk_reg_key key(settings_key);
    ASSERT_EQ(open(key), 0);
    std::string host = "abc";
    std::wstring server = L"x\U0001F600";
    ASSERT_TRUE(key.serialize_value("host", host, true));
    ASSERT_TRUE(key.serialize_value(L"mssqlh", server, true));

    unsigned size = 0;
    ASSERT_EQ(key.get_value(static_cast<char*>(nullptr), "host", &size), 0);
    EXPECT_EQ(size, 4u);
    DWORD bytes = 0;
    ASSERT_EQ(RegQueryValueExW(key.key, u"mssqlh", nullptr, nullptr, nullptr, &bytes), 0);
    EXPECT_EQ(bytes, 8u) << "three UTF-16 units and the terminator";

    char small[2] = {'?', '?'};
    size = sizeof small;
    EXPECT_EQ(key.get_value(small, "host", &size), static_cast<long>(ERROR_MORE_DATA));
    EXPECT_EQ(size, 4u);
    wchar_t wide[8] = {};
    size = sizeof wide;
    ASSERT_EQ(key.get_value(wide, L"mssqlh", &size), 0);
    EXPECT_EQ(size, 3 * sizeof(wchar_t));
    EXPECT_EQ(std::wstring(wide), L"x\U0001F600");
}

TEST_F(tk_regk_test, CreateKeepsTheOpenKeyWhenItFails) {
    tk_reg_key key(settings_key);
    ASSERT_EQ(open(key), 0);
    HKEY before = key.key;
    EXPECT_EQ(key.create(HKEY_CURRENT_USER, "\\bad", nullptr, 0, KEY_ALL_ACCESS, nullptr, nullptr),
              static_cast<long>(ERROR_BAD_PATHNAME));
    EXPECT_EQ(key.key, before);
    int number = 1;
    EXPECT_TRUE(key.serialize_value("still_open", number, true));

    // A second successful create replaces the key and reports the close of the first.
    EXPECT_EQ(open(key), 0);
    EXPECT_NE(key.key, nullptr);
    EXPECT_EQ(key.close(), 0);
    EXPECT_EQ(key.key, nullptr);
    EXPECT_EQ(key.close(), 0);
}

TEST_F(tk_regk_test, MisuseIsAnInternalErrorAtItsPlace) {
    tk_reg_key closed(settings_key);
    tk_reg_key key(settings_key);
    ASSERT_EQ(open(key), 0);
    unsigned number = 0;
    unsigned size = 0;
    char buffer[4];
    wchar_t wide[4];
    const std::vector<std::pair<int, std::function<void()>>> cases = {
        {64, [&] { key.create(nullptr, "x", nullptr, 0, KEY_ALL_ACCESS, nullptr, nullptr); }},
        {98, [&] { key.get_value(&number, nullptr); }},
        {115, [&] { key.get_value(buffer, "x", nullptr); }},
        {116, [&] { key.get_value(buffer, nullptr, &size); }},
        {132, [&] { key.get_value(wide, L"x", nullptr); }},
        {133, [&] { key.get_value(wide, nullptr, &size); }},
        {149, [&] { closed.set_value(1u, "x"); }},
        {156, [&] { key.set_value(static_cast<const char*>(nullptr), "x"); }},
        {157, [&] { closed.set_value("v", "x"); }},
        {164, [&] { key.set_value(static_cast<const wchar_t*>(nullptr), L"x"); }},
        {165, [&] { closed.set_value(L"v", L"x"); }},
    };
    for (const auto& [line, call] : cases) {
        SCOPED_TRACE(line);
        try {
            call();
            ADD_FAILURE() << "no internal error";
        } catch (const tk_mail_assertion& error) {
            EXPECT_EQ(error.message, make_err_meggase("tk_regk", line));
            EXPECT_EQ(error.level, 2);
        }
    }
}

TEST_F(tk_regk_test, ReadsAreTraced) {
    tk_config_test::log_capture log;
    tk_reg_key key(settings_key);
    ASSERT_EQ(open(key), 0);
    ASSERT_EQ(key.set_value(3306u, "port_number"), 0);
    unsigned number = 0;
    ASSERT_EQ(key.get_value(&number, "port_number"), 0);
    ASSERT_EQ(key.set_value(L"Sales", L"src"), 0);
    unsigned size = 0;
    ASSERT_EQ(key.get_value(static_cast<wchar_t*>(nullptr), L"src", &size), 0);
    EXPECT_TRUE(log.contains("tk_reg_key::get_value(ulong, port_number)")) << log.text();
    EXPECT_TRUE(log.contains("type=4, size=4")) << log.text();
    EXPECT_TRUE(log.contains("tk_reg_key::get_value(LPWSTR, src)")) << log.text();
}

} // namespace
