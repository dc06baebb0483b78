// Tests of the registry stand-in: typed values in a per-user file, shared by processes.
#include "platform/win32/registry.h"

#include "tests/support/unprivileged.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr const char* settings_key = "Software\\Quintaro\\Velmora";

std::string read_all(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_all(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// Points XDG_CONFIG_HOME at a fresh folder for each test.
class registry_test : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/registry_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        const char* old = std::getenv("XDG_CONFIG_HOME");
        if (old)
            saved_ = old;
        setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
    }
    void TearDown() override {
        if (saved_)
            setenv("XDG_CONFIG_HOME", saved_->c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    fs::path file() const { return win32::registry_file(); }

    HKEY open_settings(REGSAM access = KEY_ALL_ACCESS) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, settings_key, 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, access, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        return key;
    }

    std::string dir_;
    std::optional<std::string> saved_;
};

// Runs `body` in a child process and returns its exit status (the body's result).
int in_child(const std::function<int()>& body) {
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

LONG set_dword(HKEY key, const char* name, DWORD value) {
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
}

LONG set_text(HKEY key, const char* name, const std::string& text) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
}

LONG set_wtext(HKEY key, const char16_t* name, const std::u16string& text) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(2 * text.size() + 2));
}

std::optional<DWORD> get_dword(HKEY key, const char* name) {
    DWORD value = 0, type = 0, size = sizeof value;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != 4)
        return std::nullopt;
    return value;
}

std::optional<std::string> get_text(HKEY key, const char* name) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return std::nullopt;
    std::string data(size, '\0');
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return std::nullopt;
    return data;
}

std::optional<std::u16string> get_wtext(HKEY key, const char16_t* name) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || size % 2)
        return std::nullopt;
    std::u16string data(size / 2, u'\0');
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return std::nullopt;
    return data;
}

TEST_F(registry_test, ValuesOfEveryKindSurviveTheWritingProcess) {
    const std::u16string wide = u"Zürich \u20AC \U0001D11E \"quoted\" back\\slash\nline";
    const std::vector<BYTE> bytes = {0x00, 0xFF, 0x0A, 0x22, 0x5C};
    ASSERT_EQ(in_child([&] {
                  HKEY key = open_settings();
                  int failures = 0;
                  failures += set_dword(key, "as_dbo", 1) != ERROR_SUCCESS;
                  failures += set_dword(key, "dmp_line_br", 0xFFFFFFFF) != ERROR_SUCCESS;
                  failures += set_text(key, "host", "db.example.org") != ERROR_SUCCESS;
                  failures += set_text(key, "pswd", "") != ERROR_SUCCESS;
                  failures += set_wtext(key, u"mssqlh", wide) != ERROR_SUCCESS;
                  failures += RegSetValueExA(key, "blob", 0, REG_BINARY, bytes.data(),
                                             static_cast<DWORD>(bytes.size())) != ERROR_SUCCESS;
                  failures +=
                      RegSetValueExA(key, "nothing", 0, REG_BINARY, nullptr, 0) != ERROR_SUCCESS;
                  failures += RegCloseKey(key) != ERROR_SUCCESS;
                  return failures;
              }),
              0);

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, settings_key, 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(get_dword(key, "as_dbo"), 1u);
    EXPECT_EQ(get_dword(key, "dmp_line_br"), 0xFFFFFFFFu);
    EXPECT_EQ(get_text(key, "host"), std::string("db.example.org", 15));
    EXPECT_EQ(get_text(key, "pswd"), std::string(1, '\0'));
    EXPECT_EQ(get_wtext(key, u"mssqlh"), wide + u'\0');

    DWORD type = 0, size = 0;
    std::vector<BYTE> read(16);
    size = static_cast<DWORD>(read.size());
    ASSERT_EQ(RegQueryValueExA(key, "blob", nullptr, &type, read.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_BINARY);
    read.resize(size);
    EXPECT_EQ(read, bytes);
    size = 99;
    ASSERT_EQ(RegQueryValueExA(key, "nothing", nullptr, &type, read.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(registry_test, NarrowAndWideFunctionsSeeTheSameTextWithTheirOwnSizes) {
    HKEY key = open_settings();
    ASSERT_EQ(set_text(key, "port", "3306"), ERROR_SUCCESS);
    ASSERT_EQ(set_wtext(key, u"src", u"Sales"), ERROR_SUCCESS);

    DWORD size = 0;
    ASSERT_EQ(RegQueryValueExW(key, u"port", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 10u); // 2 * 4 + 2
    EXPECT_EQ(get_wtext(key, u"port"), std::u16string(u"3306", 5));
    ASSERT_EQ(RegQueryValueExA(key, "src", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 6u); // 5 + 1
    EXPECT_EQ(get_text(key, "src"), std::string("Sales", 6));
    RegCloseKey(key);
}

TEST_F(registry_test, MissingKeysAndValuesAndShortBuffersGiveTheWin32Codes) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, settings_key, 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);

    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, settings_key, 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    EXPECT_EQ(get_dword(key, "absent"), std::nullopt);
    DWORD size = 4;
    DWORD value = 0;
    EXPECT_EQ(
        RegQueryValueExA(key, "absent", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
        ERROR_FILE_NOT_FOUND);

    ASSERT_EQ(set_text(key, "host", "localhost"), ERROR_SUCCESS);
    value = 0x12345678;
    size = 4;
    EXPECT_EQ(
        RegQueryValueExA(key, "host", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
        ERROR_MORE_DATA);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(value, 0x12345678u) << "a short buffer is left as it was";
    RegCloseKey(key);

    // The second create opens what the first made; names compare without regard to case.
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\quintaro\\velmora", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(get_text(key, "HOST"), std::string("localhost", 10));
    RegCloseKey(key);
}

TEST_F(registry_test, HandlesAndPathsAreChecked) {
    HKEY key = open_settings(KEY_READ);
    EXPECT_EQ(set_dword(key, "x", 1), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(set_dword(key, "x", 1), ERROR_INVALID_HANDLE);
    EXPECT_EQ(set_dword(nullptr, "x", 1), ERROR_INVALID_HANDLE);

    HKEY other = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "\\Software", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &other, nullptr),
              ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "a\\\\b", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &other, nullptr),
              ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "a\nb", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &other, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "a", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              nullptr, nullptr),
              ERROR_INVALID_PARAMETER);
}

TEST_F(registry_test, WritersInSeveralProcessesKeepEachOthersValues) {
    constexpr int writers = 6;
    constexpr int values_each = 15;
    std::vector<pid_t> children;
    for (int w = 0; w < writers; ++w) {
        pid_t pid = fork();
        if (pid == 0) {
            HKEY key = nullptr;
            if (RegCreateKeyExA(HKEY_CURRENT_USER, settings_key, 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &key, nullptr) != ERROR_SUCCESS)
                _exit(1);
            for (int v = 0; v < values_each; ++v) {
                std::string name = "w" + std::to_string(w) + "_" + std::to_string(v);
                if (set_dword(key, name.c_str(), static_cast<DWORD>(w * 100 + v)) !=
                        ERROR_SUCCESS ||
                    set_text(key, ("t" + name).c_str(), name) != ERROR_SUCCESS)
                    _exit(2);
            }
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }

    HKEY key = open_settings(KEY_READ);
    for (int w = 0; w < writers; ++w)
        for (int v = 0; v < values_each; ++v) {
            std::string name = "w" + std::to_string(w) + "_" + std::to_string(v);
            SCOPED_TRACE(name);
            EXPECT_EQ(get_dword(key, name.c_str()), static_cast<DWORD>(w * 100 + v));
            EXPECT_EQ(get_text(key, ("t" + name).c_str()), name + '\0');
        }
    RegCloseKey(key);
    for (const auto& entry : fs::directory_iterator(file().parent_path()))
        EXPECT_EQ(entry.path().filename().string().find("damaged"), std::string::npos)
            << entry.path();
}

TEST_F(registry_test, ThreadsOfOneProcessWriteSafely) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            HKEY key = nullptr;
            RegCreateKeyExA(HKEY_CURRENT_USER, settings_key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &key, nullptr);
            for (int v = 0; v < 10; ++v)
                set_dword(key, ("t" + std::to_string(t) + "_" + std::to_string(v)).c_str(), v);
            RegCloseKey(key);
        });
    for (std::thread& thread : threads)
        thread.join();
    HKEY key = open_settings(KEY_READ);
    for (int t = 0; t < 4; ++t)
        for (int v = 0; v < 10; ++v)
            EXPECT_EQ(get_dword(key, ("t" + std::to_string(t) + "_" + std::to_string(v)).c_str()),
                      static_cast<DWORD>(v));
    RegCloseKey(key);
}

// A file cut short anywhere yields only values that are whole: each one reads back exactly as
// written or not at all, and nothing crashes.
TEST_F(registry_test, FileCutAtAnyByteGivesOnlyWholeValues) {
    HKEY key = open_settings();
    const std::vector<BYTE> bytes = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(set_dword(key, "port_number", 0xA1B2C3D4), ERROR_SUCCESS);
    ASSERT_EQ(set_text(key, "host", "server.example"), ERROR_SUCCESS);
    ASSERT_EQ(set_wtext(key, u"dest", u"C:\\dump\\\u00e9t\u00e9.sql"), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "bytes", 0, REG_BINARY, bytes.data(), 8), ERROR_SUCCESS);
    RegCloseKey(key);
    const std::string whole = read_all(file());

    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        write_all(file(), whole.substr(0, cut));
        HKEY read = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, settings_key, 0, KEY_READ, &read) != ERROR_SUCCESS)
            continue;
        if (auto v = get_dword(read, "port_number")) {
            EXPECT_EQ(*v, 0xA1B2C3D4u);
        }
        if (auto v = get_text(read, "host")) {
            EXPECT_EQ(*v, std::string("server.example", 15));
        }
        if (auto v = get_wtext(read, u"dest")) {
            EXPECT_EQ(*v, std::u16string(u"C:\\dump\\\u00e9t\u00e9.sql", 16));
        }
        std::vector<BYTE> got(8);
        DWORD size = 8;
        if (RegQueryValueExA(read, "bytes", nullptr, nullptr, got.data(), &size) == ERROR_SUCCESS) {
            got.resize(size);
            EXPECT_EQ(got, bytes);
        }
        RegCloseKey(read);
    }
}

TEST_F(registry_test, DamagedFileIsReadAsFarAsSoundAndKeptBeforeItIsReplaced) {
    struct damaged_case {
        const char* what;
        std::string text;
    };
    const std::string good = "; velmora registry: HKEY_CURRENT_USER\n\n"
                             "[Software]\n"
                             "[Software\\Quintaro]\n"
                             "[Software\\Quintaro\\Velmora]\n"
                             "\"host\"=\"db\"\n";
    const std::vector<damaged_case> cases = {
        {"garbage line", good + "\x01\x02garbage\xff\xfe\n\"port\"=\"5000\"\n; end\n"},
        {"NUL bytes", good + std::string("\"x\"=\0\0\0\n", 8) + "\"port\"=\"5000\"\n; end\n"},
        {"bad escape and bad UTF-8",
         good + "\"a\"=\"\\q\"\n\"b\"=\"\xc3\x28\"\n" + "\"port\"=\"5000\"\n; end\n"},
        {"no trailer", good + "\"port\"=\"5000\"\n"},
        {"value before any key", "\"lost\"=dword:00000001\n" + good + "\"port\"=\"5000\"\n; end\n"},
        {"truncated line", good + "\"port\"=\"5000\"\n\"user\"=\"ro"},
    };
    for (const damaged_case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(file().parent_path());
        write_all(file(), c.text);

        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, settings_key, 0, KEY_ALL_ACCESS, &key),
                  ERROR_SUCCESS);
        EXPECT_EQ(get_text(key, "host"), std::string("db", 3));
        EXPECT_EQ(get_text(key, "port"), std::string("5000", 5));

        ASSERT_EQ(set_text(key, "user", "root"), ERROR_SUCCESS);
        RegCloseKey(key);
        fs::path kept = file();
        kept += ".damaged";
        ASSERT_TRUE(fs::exists(kept));
        EXPECT_EQ(read_all(kept), c.text);

        key = open_settings(KEY_READ);
        EXPECT_EQ(get_text(key, "host"), std::string("db", 3));
        EXPECT_EQ(get_text(key, "port"), std::string("5000", 5));
        EXPECT_EQ(get_text(key, "user"), std::string("root", 5));
        RegCloseKey(key);

        // Once rewritten the file is sound again: a further write keeps no second copy.
        key = open_settings();
        ASSERT_EQ(set_dword(key, "again", 1), ERROR_SUCCESS);
        RegCloseKey(key);
        fs::path second = file();
        second += ".damaged.1";
        EXPECT_FALSE(fs::exists(second));
    }
}

TEST_F(registry_test, UnchangedWritesLeaveTheFileAlone) {
    HKEY key = open_settings();
    ASSERT_EQ(set_dword(key, "as_dbo", 1), ERROR_SUCCESS);
    struct stat before {};
    ASSERT_EQ(stat(file().c_str(), &before), 0);
    ASSERT_EQ(set_dword(key, "AS_DBO", 1), ERROR_SUCCESS);
    struct stat after {};
    ASSERT_EQ(stat(file().c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
    RegCloseKey(key);
}

// A file the process may not read is never replaced by what little it could see.
TEST_F(registry_test, UnreadableFileIsNotOverwritten) {
    HKEY key = open_settings();
    ASSERT_EQ(set_text(key, "host", "db"), ERROR_SUCCESS);
    RegCloseKey(key);
    const std::string before = read_all(file());
    ASSERT_EQ(chmod(file().c_str(), 0), 0);
    ASSERT_EQ(chmod(file().parent_path().c_str(), 0777), 0);
    ASSERT_EQ(chmod((file().parent_path() / "registry.lock").c_str(), 0666), 0);
    ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);

    int result = in_child([] {
        // Root reads everything: drop to an unprivileged user first.
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            return 100;
        HKEY key = nullptr;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Other", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr) != ERROR_ACCESS_DENIED)
            return 1;
        if (set_text(HKEY_CURRENT_USER, "host", "other") != ERROR_ACCESS_DENIED)
            return 2;
        return 0;
    });
    EXPECT_EQ(result, 0);
    ASSERT_EQ(chmod(file().c_str(), 0600), 0);
    EXPECT_EQ(read_all(file()), before);
}

// What another user may do to root's settings: files of a root-only folder, as root sees them,
// so that a test can tell that nothing of them changed.
struct file_state {
    std::string text;
    uid_t owner;
    mode_t mode;
    ino_t inode;
    bool operator==(const file_state&) const = default;
};

std::map<std::string, file_state> snapshot(const fs::path& folder) {
    std::map<std::string, file_state> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        struct stat st {};
        if (lstat(entry.path().c_str(), &st) == 0)
            files[entry.path().string()] = {S_ISREG(st.st_mode) ? read_all(entry.path()) : "",
                                            st.st_uid, st.st_mode, st.st_ino};
    }
    return files;
}

// Root's settings written while another user has planted links in a shared sticky folder on the
// way to them: a link there is followed only as the kernel's protected-symlinks rule allows,
// at every step of the path, so root's write fails and the root-only files it would have reached
// stay as they were.
class registry_attack_test : public registry_test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root, to be the victim of another user";
        registry_test::SetUp();
        ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
        victim_ = fs::path(dir_) / "rootonly";
        fs::create_directories(victim_ / "velmora");
        ASSERT_EQ(chmod(victim_.c_str(), 0700), 0);
        write_all(victim_ / "velmora" / "registry", "root's own\n");
        write_all(victim_ / "velmora" / "registry.lock", "");
        write_all(victim_ / "velmora" / "registry.new", "root's too\n");
        for (const char* name : {"registry", "registry.lock", "registry.new"})
            ASSERT_EQ(chmod((victim_ / "velmora" / name).c_str(), 0600), 0);
        fs::create_directories(fs::path(dir_) / "a" / "shared" / "plain");
        fs::create_directories(fs::path(dir_) / "shared" / "plain");
        for (const char* shared : {"shared", "a/shared"})
            ASSERT_EQ(chmod((fs::path(dir_) / shared).c_str(), 01777), 0);
    }

    // Plants a link as the other user, who may write in the shared folders only.
    void plant_link(const std::string& target, const std::string& link) {
        ASSERT_TRUE(test_support::run_unprivileged([&] {
            return symlink(target.c_str(), link.c_str()) == 0 ? std::string()
                                                              : "symlink " + link + " failed";
        }));
    }

    fs::path victim_;
};

TEST_F(registry_attack_test, LinksOfAnotherUserOnTheWayAreNotFollowed) {
    struct attack {
        std::string link;   // planted, relative to the test's folder
        std::string target; // what it names
        std::string config; // XDG_CONFIG_HOME, relative to the test's folder
    };
    const std::vector<attack> attacks = {
        {"shared/d", "../rootonly", "shared/d"},                 // the config folder itself
        {"shared/velmora", "../rootonly/velmora", "shared"},     // the settings folder
        {"shared/d", "../rootonly/velmora", "shared/d/.."},      // left again with ".."
        {"shared/d", "..", "shared/d/rootonly"},                 // in the middle of the path
        {"shared/d", "../rootonly", "shared/d/fresh/er"},        // folders that would be made
        {"a/shared/d", "../../rootonly", "a/shared/plain/../d"}, // deeper, after ".."
        {"a/shared/d", "/", "a/shared/d" + victim_.string()},    // absolute, to the root
    };
    for (const attack& a : attacks) {
        SCOPED_TRACE(a.config);
        const fs::path link = fs::path(dir_) / a.link;
        plant_link(a.target, link.string());
        const auto before = snapshot(victim_);
        setenv("XDG_CONFIG_HOME", (dir_ + "/" + a.config).c_str(), 1);
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, settings_key, 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_ACCESS_DENIED);
        EXPECT_NE(set_text(HKEY_CURRENT_USER, "host", "root's secret"), ERROR_SUCCESS);
        EXPECT_EQ(snapshot(victim_), before);
        fs::remove(link);
    }
}

// The same links planted by root, or in a folder that is not shared, are followed as before.
TEST_F(registry_attack_test, LinksTheRuleAllowsAreFollowed) {
    const fs::path link = fs::path(dir_) / "shared" / "mine";
    fs::create_symlink("../rootonly", link);
    setenv("XDG_CONFIG_HOME", link.c_str(), 1);
    ASSERT_EQ(set_text(HKEY_CURRENT_USER, "host", "db"), ERROR_SUCCESS);
    EXPECT_NE(read_all(victim_ / "velmora" / "registry").find("db"), std::string::npos);
    EXPECT_FALSE(fs::exists(victim_ / "velmora" / "registry.new"))
        << "a file of root's own under the name of the new file is a leftover and is replaced";
}

// In a settings folder others may write into, the files root's write creates or locks are
// never another user's file nor a link: such a name makes the write fail, and neither what the
// link names nor the other user's file changes.
TEST_F(registry_attack_test, PlantedNewFileOrLockIsNeverWrittenThrough) {
    const fs::path settings = fs::path(dir_) / "shared" / "plain" / "velmora";
    fs::create_directories(settings);
    ASSERT_EQ(chmod(settings.c_str(), 01777), 0);
    setenv("XDG_CONFIG_HOME", settings.parent_path().c_str(), 1);
    ASSERT_EQ(set_text(HKEY_CURRENT_USER, "host", "db"), ERROR_SUCCESS);
    const std::string saved = read_all(settings / "registry");

    for (const char* name : {"registry.new", "registry.lock"}) {
        for (const bool as_link : {true, false}) {
            SCOPED_TRACE(std::string(name) + (as_link ? " as a link" : " as a file"));
            const fs::path planted = settings / name;
            fs::remove(settings / "registry.lock"); // root's, from the write before
            const std::string victim = (victim_ / "velmora" / name).string();
            ASSERT_TRUE(test_support::run_unprivileged([&] {
                if (as_link)
                    return symlink(victim.c_str(), planted.c_str()) == 0 ? std::string()
                                                                         : "symlink failed";
                std::ofstream(planted) << "theirs";
                return chmod(planted.c_str(), 0666) == 0 ? std::string() : "chmod failed";
            }));
            const auto before = snapshot(victim_);
            struct stat planted_before {};
            ASSERT_EQ(lstat(planted.c_str(), &planted_before), 0);

            EXPECT_NE(set_text(HKEY_CURRENT_USER, "host", "root's secret"), ERROR_SUCCESS);
            EXPECT_EQ(snapshot(victim_), before);
            EXPECT_EQ(read_all(settings / "registry"), saved);
            struct stat planted_after {};
            ASSERT_EQ(lstat(planted.c_str(), &planted_after), 0);
            EXPECT_EQ(planted_after.st_ino, planted_before.st_ino);
            EXPECT_EQ(planted_after.st_uid, test_support::unprivileged_uid);
            EXPECT_EQ(planted_after.st_mode, planted_before.st_mode);
            if (!as_link) {
                EXPECT_EQ(read_all(planted), "theirs");
            }
            fs::remove(planted);
        }
    }
    ASSERT_EQ(set_text(HKEY_CURRENT_USER, "host", "db2"), ERROR_SUCCESS);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, nullptr, 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(get_text(HKEY_CURRENT_USER, "host"), std::string("db2", 4));
}

} // namespace
