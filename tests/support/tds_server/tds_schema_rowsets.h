// tds_schema_rowsets: answers the schema-rowset queries of the platform/tds OLE DB provider
// (TABLES, PRIMARY_KEYS, INDEXES, FOREIGN_KEYS) from the fixture model.
//
// The provider sends "SELECT * FROM (<query on the sys views>) AS r WHERE 1 = 1 [AND [COLUMN] =
// N'value' | number]... ORDER BY [COLUMN] [DESC], ...", where the inner query yields the schema
// rowset's standard columns under their standard names. The inner query is recognised by that
// column list; the conditions and the order are applied to rows built from the fixture.
#pragma once

#include "tests/support/tds_server/tds_statements.h"

#include <optional>
#include <string_view>

std::optional<tds_answer> tds_answer_schema_rowset(const tds_statement_context& context,
                                                   std::string_view statement);
