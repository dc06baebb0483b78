// Registry settings and the converter object's own answers.
#include "tests/converter/converter_test_support.h"

#include "TK/tk_regk.h"

#include <sys/stat.h>

using converter_test::driver_env;

namespace {

const char* const key_path = "Software\\Quintaro\\Velmora";

// The settings key, opened on its own.
struct settings_key {
    settings_key() {
        EXPECT_EQ(key.create(HKEY_CURRENT_USER, key_path, nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_ALL_ACCESS, nullptr, nullptr),
                  0);
    }
    unsigned dword(const char* name) {
        unsigned value = 0xDEAD;
        EXPECT_EQ(key.get_value(&value, name), 0) << name;
        return value;
    }
    std::string text(const char* name) {
        std::string value = "<missing>";
        key.serialize_value(name, value, false);
        return value;
    }
    tk_reg_key key{key_path};
};

TEST(RegistrySettings, FirstStartTakesDefaultsAndWritesAllValuesAtExit) {
    driver_env env;
    {
        velmora_convertor converter;
        EXPECT_EQ(converter.port, "3306");
        EXPECT_TRUE(converter.sec_log);
        EXPECT_TRUE(converter.view_owned);
        EXPECT_TRUE(converter.as_dbo);
        EXPECT_TRUE(converter.convert_views);
        EXPECT_TRUE(converter.direct);
        EXPECT_EQ(converter.dump_opts.line_breaks, 0);
        EXPECT_TRUE(converter.dump_opts.new_version);
        EXPECT_TRUE(converter.dump_opts.lock_tables);
        EXPECT_TRUE(converter.dump_opts.comments);
        EXPECT_FALSE(converter.dump_opts.create_database);
        EXPECT_TRUE(converter.dump_opts.create_tables);
        EXPECT_FALSE(converter.skip_idx);
        EXPECT_FALSE(converter.tab_def);
        EXPECT_EQ(converter.sql->charset, L"utf8");
        EXPECT_EQ(converter.sql->storage_engine, L"InnoDB");
        EXPECT_FALSE(converter.serialize(false)) << "the texts are missing yet";
        converter.host = "db.example";
        converter.pswd = "secret";
        converter.mssqlh = L"mss\u00E9";
    }
    settings_key key;
    for (const char* name :
         {"dmp_line_br", "dmp_new_ver", "dmp_loc_wri", "dmp_ins_com", "dmp_ins_db", "dmp_ins_tab",
          "as_dbo", "convert_views", "direct", "sec_log", "skip_idx", "tab_def", "view_owned"}) {
        SCOPED_TRACE(name);
        key.dword(name);
    }
    EXPECT_EQ(key.dword("dmp_ins_db"), 0u);
    EXPECT_EQ(key.dword("view_owned"), 1u);
    EXPECT_EQ(key.text("host"), "db.example");
    EXPECT_EQ(key.text("port"), "3306");
    EXPECT_EQ(key.text("pswd"), "secret");
    std::wstring server;
    EXPECT_TRUE(key.key.serialize_value(L"mssqlh", server, false));
    EXPECT_EQ(server, L"mss\u00E9");
    for (const wchar_t* name :
         {L"char_set", L"dest", L"mss_schema", L"mssqlp", L"mssqlu", L"src", L"tab_type"}) {
        std::wstring value = L"<missing>";
        key.key.serialize_value(name, value, false);
        EXPECT_NE(value, L"<missing>") << tk_to_utf8(name);
    }
    for (const char* name : {"log_file", "user"}) {
        unsigned size = 0;
        EXPECT_EQ(key.key.get_value(static_cast<char*>(nullptr), name, &size), 0) << name;
    }
    // The settings hold passwords: the file is the user's alone.
    struct stat st {};
    ASSERT_EQ(stat(env.home.registry_file().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(RegistrySettings, StoredValuesComeBackAndOddNumbersAreRead) {
    driver_env env;
    {
        settings_key key;
        std::string port = "5000";
        key.key.serialize_value("port", port, true);
        key.key.set_value(2u, "skip_idx");
        key.key.set_value(7u, "dmp_line_br");
        key.key.set_value(0u, "direct");
        std::wstring empty;
        key.key.set_value(L"", L"src");
        std::wstring dest = L"target";
        key.key.serialize_value(L"dest", dest, true);
    }
    {
        velmora_convertor converter;
        EXPECT_EQ(converter.port, "5000");
        EXPECT_TRUE(converter.skip_idx);
        EXPECT_EQ(converter.dump_opts.line_breaks, 7);
        EXPECT_FALSE(converter.direct);
        EXPECT_EQ(converter.src, L"");
        EXPECT_EQ(converter.dest, L"target");
        EXPECT_TRUE(converter.sec_log);
        EXPECT_EQ(converter.host, "");
    }
    settings_key key;
    EXPECT_EQ(key.dword("skip_idx"), 1u);
    EXPECT_EQ(key.dword("dmp_line_br"), 7u);
}

TEST(RegistrySettings, ConsoleReadsOnlyTheScriptOptionsAndWritesNothing) {
    driver_env env;
    {
        settings_key key;
        key.key.set_value(0u, "direct");
        key.key.set_value(1u, "convert_views");
        key.key.set_value(1u, "dmp_ins_db");
        key.key.set_value(1u, "dmp_line_br");
        std::string host = "stored-host";
        key.key.serialize_value("host", host, true);
    }
    {
        velmora_convertor converter(vlm_program::console);
        EXPECT_TRUE(converter.direct);
        EXPECT_FALSE(converter.convert_views);
        EXPECT_TRUE(converter.dump_opts.create_database);
        EXPECT_EQ(converter.dump_opts.line_breaks, 1);
        EXPECT_EQ(converter.host, "");
        converter.host = "changed";
        converter.skip_idx = true;
    }
    settings_key key;
    EXPECT_EQ(key.text("host"), "stored-host");
    unsigned value = 0;
    EXPECT_NE(key.key.get_value(&value, "skip_idx"), 0) << "nothing is written";
}

TEST(ConverterObject, ViewsByDestinationAndVersion) {
    driver_env env;
    velmora_convertor converter;
    converter.direct = false;
    converter.sql->version = 0x40000;
    EXPECT_TRUE(converter.can_create_views());
    converter.direct = true;
    converter.sql->version = 0x50000;
    EXPECT_FALSE(converter.can_create_views());
    converter.sql->version = 0x50001;
    EXPECT_TRUE(converter.can_create_views());
    EXPECT_EQ(wizard_title(), L"Velmora 8.3");
}

TEST(ConverterObject, MySqlSettingsAreTrimmedAndThePortDefaults) {
    driver_env env;
    velmora_convertor converter;
    converter.store_mysql_settings("  host ", " user", "pw  ", "  ");
    EXPECT_EQ(converter.host, "host");
    EXPECT_EQ(converter.user, "user");
    EXPECT_EQ(converter.pswd, "pw");
    EXPECT_EQ(converter.port, "3306");
}

TEST(ConverterObject, OneInstanceRegisteredFirstWins) {
    driver_env env;
    velmora_convertor first;
    EXPECT_EQ(tk_singleton<velmora_convertor>::instance(), &first);
    {
        velmora_convertor second(vlm_program::console);
        EXPECT_EQ(tk_singleton<velmora_convertor>::instance(), &first);
    }
}

} // namespace
