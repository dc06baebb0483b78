// pontrel: the console agent that converts an MS SQL database into MySQL unattended.
#include "agent/agn_main.h"
#include "platform/tds/tds_environment.h"
#include "platform/tds/tds_provider.h"

int main(int argc, char** argv) {
    tds_remove_overriding_environment();
    // The SQL Server provider must be in the class table before the engine asks for it.
    tds_register_provider();
    return pontrel_main(argc, argv);
}
