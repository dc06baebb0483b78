// tds_bulk: the BULKLOAD message of a bulk copy (COLMETADATA, ROW tokens, DONE), read into the
// table that the session's INSERT BULK named.
#pragma once

#include "tests/support/tds_server/tds_statements.h"

#include <string_view>

// Adds the message's rows to the table, all or none: the first refused row (or a fault in the
// stream) leaves the table as it was and answers SQL Server's error; otherwise the row count.
tds_answer tds_bulk_load(const tds_statement_context& context, std::string_view payload);
