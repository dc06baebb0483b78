// Schema rowsets of the SQL Server provider (TABLES, PRIMARY_KEYS, INDEXES, FOREIGN_KEYS): one
// catalogue query on the sys views per request, with the restrictions as conditions on the
// standard columns, so the server compares names by its own collation.
#pragma once

#include "platform/tds/tds_link.h"

#include <string>

// The catalogue query of `schema` narrowed by the restrictions. E_INVALIDARG for more
// restrictions than the schema has or a restriction that is neither VT_EMPTY, VT_BSTR nor (for
// the numeric INDEXES TYPE) a number; DB_E_NOTSUPPORTED for another schema.
HRESULT tds_schema_query(REFGUID schema, ULONG restrictions, const VARIANT restriction_values[],
                         std::u16string& sql);

// Runs the query and answers the rows as an in-memory rowset with the schema's standard columns.
HRESULT tds_schema_rowset(tds_link& link, REFGUID schema, ULONG restrictions,
                          const VARIANT restriction_values[], REFIID riid, IUnknown** rowset);
