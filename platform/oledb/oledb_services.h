// The OLE DB service components (IDataInitialize) and the conversion library (IDataConvert),
// registered in the COM class table, and the connection-string syntax they read.
#pragma once

#include "platform/oledb/oledb.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Registers the service components (CLSID_MSDAINITIALIZE) and the conversion library
// (CLSID_OLEDB_CONVERSIONLIBRARY) in the class table. Idempotent; every program that includes
// this header registers them before main, so tests hide them with com_class_scope.
bool oledb_register_services();
inline const bool oledb_services_registered = oledb_register_services();

// One keyword and its value from a connection string.
using oledb_keyword = std::pair<std::u16string, std::u16string>;

// Reads "keyword=value;keyword=value" as OLE DB defines it: blanks around keywords and unquoted
// values are dropped; a value may be enclosed in double or single quotes, inside which ";" and
// "=" are plain characters and the enclosing quote is written twice; "==" in a keyword stands
// for "=". Pairs come back in order, keywords as written. False, with a reason in `error`, for
// text that does not follow the syntax (a pair without "=", an unclosed quote, text after a
// closing quote).
bool oledb_parse_connection_string(std::u16string_view text, std::vector<oledb_keyword>& pairs,
                                   std::u16string& error);

// The value written so that oledb_parse_connection_string reads it back unchanged: as it is
// when it needs no quotes, else in double quotes with every double quote doubled.
std::u16string oledb_quote_value(std::u16string_view value);
