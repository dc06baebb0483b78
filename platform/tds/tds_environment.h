// The process environment as FreeTDS reads it.
#pragma once

// FreeTDS lets the environment variables TDSPORT and TDSVER override the port and the TDS
// version that the connection string gives, silently. The programs' own settings must win, so
// both are removed from the process environment. Each program calls this first thing in main,
// before any thread starts: changing the environment is not safe beside threads that read it.
void tds_remove_overriding_environment();
