// Schema rowsets: the provider's catalogue (tables, primary keys, indexes, foreign keys) read
// as recordsets, narrowed by restriction values.
#pragma once

#include "MSS/odb_recs.h"
#include "OLE/ole_ptr.h"
#include "platform/oledb/oledb.h"

#include <array>
#include <string>

// A schema rowset with N restriction values; an unset restriction (VT_EMPTY) narrows nothing.
template <unsigned N> class odb_meta_data : public odb_recordset {
public:
    explicit odb_meta_data(IOpenRowset* session);
    ~odb_meta_data() override;

    // Opens the schema rowset `schema` with the restrictions set so far.
    void internal_initialize(const GUID& schema);

    std::array<VARIANT, N> restrictions;
    ole_com_ptr<IDBSchemaRowset> schema_rowset;

protected:
    void set_restriction(unsigned position, const std::wstring& value);
};

extern template class odb_meta_data<3>;
extern template class odb_meta_data<4>;
extern template class odb_meta_data<5>;
extern template class odb_meta_data<6>;

// The columns of a table's primary key.
class odb_pk_meta_data : public odb_meta_data<3> {
public:
    odb_pk_meta_data(IOpenRowset* session, const std::wstring& table, const std::wstring& schema);
};

// The tables (type "TABLE") of a schema, or of every schema when it is empty.
class odb_tl_meta_data : public odb_meta_data<4> {
public:
    odb_tl_meta_data(IOpenRowset* session, const std::wstring& schema);
};

// The index columns of a table.
class odb_id_meta_data : public odb_meta_data<5> {
public:
    odb_id_meta_data(IOpenRowset* session, const std::wstring& table, const std::wstring& schema);
};

// The foreign-key columns that refer to a table, or with `referencing` those of the table's own
// foreign keys.
class odb_fk_meta_data : public odb_meta_data<6> {
public:
    odb_fk_meta_data(IOpenRowset* session, const std::wstring& table, const std::wstring& schema,
                     bool referencing = false);
};

// Ordinals (0-based) of the schema-rowset columns the readers use.
namespace odb_schema_column {
inline constexpr unsigned tables_schema = 1, tables_name = 2;
inline constexpr unsigned pk_column = 3, pk_ordinal = 6, pk_name = 7;
inline constexpr unsigned idx_name = 5, idx_primary = 6, idx_unique = 7, idx_column = 17;
inline constexpr unsigned fk_pk_schema = 1, fk_pk_table = 2, fk_pk_column = 3, fk_fk_schema = 7,
                          fk_fk_table = 8, fk_fk_column = 9, fk_update_rule = 13,
                          fk_delete_rule = 14, fk_pk_name = 15, fk_name = 16;
} // namespace odb_schema_column
