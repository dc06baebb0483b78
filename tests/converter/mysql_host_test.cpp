// The MySQL connection texts checked before the client library sees them.
#include "converter/vlm_inchk.h"

#include "TK/tk_excep.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(MysqlHost, OneHostNameOrAddressOnly) {
    using namespace std::string_literals;
    const struct {
        std::string host;
        bool accepted;
    } cases[] = {
        {"", true},
        {"localhost", true},
        {"db-1.example.com", true},
        {"db.example.com.", true},
        {"my_server", true},
        {"127.0.0.1", true},
        {"::1", true},
        {"2001:db8::8a2e:370:7334", true},
        {"::ffff:192.0.2.1", true},
        {std::string(63, 'a') + ".com", true},
        // What the client library would read as more than one host or as options.
        {"host=127.0.0.1;init-command=DROP DATABASE x", false},
        {"abc;", false},
        {"a,b", false},
        {"127.0.0.1:3306", false},
        {"[::1]", false},
        {"a b", false},
        {"a\tb", false},
        {"a\0b"s, false},
        {"-a", false},
        {"a-", false},
        {"a..b", false},
        {".", false},
        {"a/b", false},
        {"a@b", false},
        {std::string(64, 'a') + ".com", false},
        {std::string(127, 'a') + "." + std::string(126, 'a'), false},
        {"h\xC3\xA9", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        EXPECT_EQ(vlm_is_mysql_host(c.host), c.accepted);
    }
}

TEST(MysqlHost, UserAndPasswordRefuseOnlyNul) {
    using namespace std::string_literals;
    EXPECT_NO_THROW(vlm_check_mysql_connection("", "u;s=e,r", "p;a=s,s 'w\"d\\"));
    const struct {
        std::string host, user, password, message;
    } refused[] = {
        {"a;b", "u", "p",
         "Invalid MySQL host: 'a;b'.\nGive a host name, an IPv4 or IPv6 address, or nothing for "
         "the local server."},
        {"", "u\0x"s, "p", "Invalid MySQL user name: it holds a NUL character."},
        {"", "u", "p\0x"s, "Invalid MySQL password: it holds a NUL character."},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.message);
        try {
            vlm_check_mysql_connection(c.host, c.user, c.password);
            ADD_FAILURE() << "accepted";
        } catch (const tk_exception& e) {
            EXPECT_EQ(e.what(), c.message);
            EXPECT_EQ(e.level, 1);
        }
    }
}

} // namespace
