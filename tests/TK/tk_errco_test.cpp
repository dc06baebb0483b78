// Tests of the error-code map.
#include "TK/tk_errco.h"

#include "TK/tk_excep.h"
#include "tests/TK/tk_config_fixture.h"

#include <gtest/gtest.h>

namespace {

TEST(tk_errco_test, FirstTextOfACodeWinsAndUnknownCodesGiveTheEmptyText) {
    const tk_error_converter::item table[] = {
        {1045, "Access denied"},
        {2003, "Cannot reach the server"},
        {1045, "Second text of 1045"},
        {-1, "Negative code"},
        {0, nullptr},
    };
    tk_error_converter map(5, table);
    EXPECT_EQ(map.map.size(), 4u);
    EXPECT_EQ(map.convert(1045), "Access denied");
    EXPECT_EQ(map.convert(2003), "Cannot reach the server");
    EXPECT_EQ(map.convert(-1), "Negative code");
    EXPECT_EQ(map.convert(0), "");
    EXPECT_EQ(map.convert(42), "");

    // A further table adds its codes; those already held keep their text.
    const tk_error_converter::item more[] = {{2003, "Replaced?"}, {1146, "No such table"}};
    map.load_map(2, more);
    EXPECT_EQ(map.convert(2003), "Cannot reach the server");
    EXPECT_EQ(map.convert(1146), "No such table");
}

TEST(tk_errco_test, EmptyTableGivesAnEmptyMap) {
    const tk_error_converter::item table[] = {{1, "not read"}};
    tk_error_converter map(0, table);
    EXPECT_TRUE(map.map.empty());
    EXPECT_EQ(map.convert(1), "");
}

TEST(tk_errco_test, NullTableIsAnInternalError) {
    try {
        tk_error_converter map(3, nullptr);
        ADD_FAILURE() << "no internal error";
    } catch (const tk_mail_assertion& error) {
        EXPECT_EQ(error.message, make_err_meggase("tk_errco", 43));
    }
    const tk_error_converter::item table[] = {{1, "one"}};
    tk_error_converter map(1, table);
    EXPECT_THROW(map.load_map(0, nullptr), tk_mail_assertion);
    EXPECT_EQ(map.convert(1), "one");
}

TEST(tk_errco_test, LookupsAreTraced) {
    tk_config_test::log_capture log;
    const tk_error_converter::item table[] = {{7, "seven"}};
    tk_error_converter map(1, table);
    map.convert(7);
    map.convert(8);
    EXPECT_TRUE(log.contains("tk_error_converter::ctor (map size=1)")) << log.text();
    EXPECT_TRUE(log.contains("tk_error_converter::load_map (map size=1)")) << log.text();
    EXPECT_TRUE(log.contains("tk_error_converter::convert(7)")) << log.text();
    EXPECT_TRUE(log.contains("Error message has been found: seven")) << log.text();
    EXPECT_TRUE(log.contains("Error message not found!")) << log.text();
}

} // namespace
