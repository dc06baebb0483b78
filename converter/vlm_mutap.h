// Applying the user's table and column edits (the mutators) to a source table's columns, indexes
// and records during a run.
#pragma once

#include "SQL/sql_mut.h"
#include "UDB/udb_field.h"
#include "UDB/udb_idx.h"
#include "UDB/udb_schema.h"

#include <memory>
#include <string>

// Field mutator: a copy of the column with the new full type text (null stays null).
std::shared_ptr<t_ftd> udb_field_mutator_create2(const sql_field_mutator& mutator,
                                                 const t_ftd* column);
// Field mutator: the column takes the new name, value type, type text, size, subtype, default
// and (when either is not 0) precision and scale; nullability and auto-number stay.
void udb_field_mutator_modify1(const sql_field_mutator& mutator, t_ftd& column);
// Field mutator: the value takes the new name, is converted to the new value type and takes the
// new size. A value that cannot be converted: tk_exception level 0 "Data conversion is not
// supported for given type mapping".
void udb_field_mutator_modify2(const sql_field_mutator& mutator, udb_field& field);

// Table mutator, on the index list (before modify1): deleted columns leave the indexes, the
// other edited columns take their new names. No index is removed.
void udb_table_mutator_modify3(sql_table_mutator& mutator, udb_indexes& indexes);
// Table mutator, on the column list: rebuilt without the deleted columns and with the edits
// applied; the descriptors are shared with the mutator's modified_schema. Returns the table's
// new name, also given in `name`.
std::wstring udb_table_mutator_modify1(sql_table_mutator& mutator, std::wstring& name,
                                       udb_schema& schema);
// Table mutator, per record: the record itself when the mutator has no field mutators, else
// the mutator's modified_record rebuilt from it (valid until the next call).
const udb_record& udb_table_mutator_modify2(sql_table_mutator& mutator, const udb_record& record);

udb_schema& udb_table_mutator_create_modified_copy2(sql_table_mutator& mutator,
                                                    const udb_schema& schema);
udb_record& udb_table_mutator_create_modified_copy1(sql_table_mutator& mutator,
                                                    const udb_record& record);
