// The process environment as FreeTDS reads it.
#include "platform/tds/tds_environment.h"

#include <cstdlib>
#include <initializer_list>

void tds_remove_overriding_environment() {
    for (const char* name : {"TDSPORT", "TDSVER"}) {
        ::unsetenv(name);
    }
}
