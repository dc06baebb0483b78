// One row of a MySQL result as a record of MySQL fields.
#pragma once

#include "UDB/udb_field.h"

#include <mysql.h>

class udb_schema;

// A row of `n_fields` cells; the record owns its fields.
class sql_record : public udb_record {
public:
    // Built along the result's field descriptions: text cells (text and BLOB kinds without the
    // BINARY flag, or any of them while the engine reads BLOBs as text) as text, every other
    // cell as raw bytes. A null field array is an internal error (sql_rec, 20).
    sql_record(unsigned n_fields, const MYSQL_FIELD* fields, const unsigned long* lengths,
               MYSQL_ROW row);
    // Built along the schema's column descriptors, which must number at least `n_fields`.
    sql_record(unsigned n_fields, const udb_schema& schema, const unsigned long* lengths,
               MYSQL_ROW row);
};
