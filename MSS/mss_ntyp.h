// MS SQL column types of neutral column descriptors: the T-SQL type text of the CREATE TABLE
// statement and the OLE DB type code of a column description.
#pragma once

#include "UDB/udb_schema.h"

#include <string>

// The T-SQL type of the column. A non-empty native type text is returned as it stands; the
// sized text and binary types end with a blank and the GUID and spatial types begin with one,
// which the statement keeps.
std::wstring mss_get_native_type(const t_ftd& column);

// The DEFAULT clause of the column in the CREATE TABLE statement of `table`, or empty. A default
// is either a literal (quoted for text and dates, a plain number or byte string otherwise) or
// one of SQL Server's current-time and GUID functions, never a mix; a text that is neither is
// left out and reported.
std::wstring mss_default_clause(const std::wstring& table, const t_ftd& column);
