// What the mysql client would take for its own commands in a script statement: backslashes
// anywhere and lines that begin with a client command, in any letter case.
#include "SQL/sql_dump.h"

#include <gtest/gtest.h>

namespace {

struct client_case {
    const char* statement;
    const char* fault; // empty: the client only sends it
};

TEST(DmpClientCommands, RefusesBackslashesAndLinesBeginningWithClientCommands) {
    const client_case cases[] = {
        {"CREATE OR REPLACE VIEW `v` AS SELECT 1 AS x;", ""},
        {"CREATE OR REPLACE VIEW `v` AS SELECT 'a\nsources' AS x, 'b\n used' AS y;", ""},
        {"CREATE OR REPLACE VIEW `v` AS SELECT `source`, `system` FROM `t`;", ""},
        {"CREATE OR REPLACE VIEW `v` AS SELECT 'C:\\' AS p, '; DROP DATABASE victim; -- ';",
         "it holds a backslash, which the mysql client reads as a command or an escape"},
        {"CREATE OR REPLACE VIEW `v` AS SELECT 1 \\! touch pwned",
         "it holds a backslash, which the mysql client reads as a command or an escape"},
        {"CREATE OR REPLACE VIEW `v` AS SELECT 'x\nsource /tmp/evil.sql' AS y;",
         "a line begins with the mysql client's command source"},
        {"CREATE OR REPLACE VIEW `v` AS SELECT 'x\r  SYSTEM rm -rf ~' AS y;",
         "a line begins with the mysql client's command system"},
        {"CREATE OR REPLACE VIEW `v` AS SELECT 'x\n\tDelimiter //' AS y;",
         "a line begins with the mysql client's command delimiter"},
        {"CREATE OR REPLACE VIEW `v` AS SELECT 'x\nuse mysql' AS y;",
         "a line begins with the mysql client's command use"},
        {"CREATE OR REPLACE VIEW `v` AS SELECT 'x\nconnect other 10.0.0.1' AS y;",
         "a line begins with the mysql client's command connect"},
    };
    for (const client_case& c : cases) {
        SCOPED_TRACE(c.statement);
        EXPECT_EQ(dmp_client_command_fault(c.statement), c.fault);
    }
}

} // namespace
