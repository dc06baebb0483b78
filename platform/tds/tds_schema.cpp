// Schema rowsets of the SQL Server provider.
#include "platform/tds/tds_schema.h"

#include "platform/oledb/memory_rowset.h"

#include <string_view>

namespace {

// Each inner query yields the schema rowset's standard columns, in order, under their standard
// names; the outer query narrows and sorts by those names.
const char16_t tables_query[] =
    u"SELECT [TABLE_CATALOG] = CONVERT(nvarchar(128), DB_NAME()), [TABLE_SCHEMA] = s.name, "
    u"[TABLE_NAME] = o.name, [TABLE_TYPE] = CONVERT(nvarchar(20), CASE WHEN o.type = 'V' THEN "
    u"CASE WHEN o.is_ms_shipped = 1 THEN N'SYSTEM VIEW' ELSE N'VIEW' END WHEN o.type = 'S' OR "
    u"o.is_ms_shipped = 1 THEN N'SYSTEM TABLE' ELSE N'TABLE' END), [TABLE_GUID] = "
    u"CONVERT(uniqueidentifier, NULL), [DESCRIPTION] = CONVERT(nvarchar(1), NULL), "
    u"[TABLE_PROPID] = CONVERT(int, NULL), [DATE_CREATED] = o.create_date, [DATE_MODIFIED] = "
    u"o.modify_date FROM sys.all_objects o INNER JOIN sys.schemas s ON s.schema_id = "
    u"o.schema_id WHERE o.type IN ('U', 'V', 'S')";
const char16_t tables_order[] = u"[TABLE_TYPE], [TABLE_CATALOG], [TABLE_SCHEMA], [TABLE_NAME]";

const char16_t primary_keys_query[] =
    u"SELECT [TABLE_CATALOG] = CONVERT(nvarchar(128), DB_NAME()), [TABLE_SCHEMA] = s.name, "
    u"[TABLE_NAME] = t.name, [COLUMN_NAME] = c.name, [COLUMN_GUID] = CONVERT(uniqueidentifier, "
    u"NULL), [COLUMN_PROPID] = CONVERT(int, NULL), [ORDINAL] = CONVERT(int, ic.key_ordinal), "
    u"[PK_NAME] = i.name FROM sys.indexes i INNER JOIN sys.index_columns ic ON ic.object_id = "
    u"i.object_id AND ic.index_id = i.index_id INNER JOIN sys.columns c ON c.object_id = "
    u"ic.object_id AND c.column_id = ic.column_id INNER JOIN sys.objects t ON t.object_id = "
    u"i.object_id INNER JOIN sys.schemas s ON s.schema_id = t.schema_id WHERE i.is_primary_key = 1";
const char16_t primary_keys_order[] = u"[TABLE_CATALOG], [TABLE_SCHEMA], [TABLE_NAME], [ORDINAL]";

const char16_t indexes_query[] =
    u"SELECT [TABLE_CATALOG] = CONVERT(nvarchar(128), DB_NAME()), [TABLE_SCHEMA] = s.name, "
    u"[TABLE_NAME] = t.name, [INDEX_CATALOG] = CONVERT(nvarchar(128), DB_NAME()), "
    u"[INDEX_SCHEMA] = s.name, [INDEX_NAME] = i.name, [PRIMARY_KEY] = i.is_primary_key, "
    u"[UNIQUE] = i.is_unique, [CLUSTERED] = CONVERT(bit, CASE WHEN i.type = 1 THEN 1 ELSE 0 END), "
    u"[TYPE] = CONVERT(smallint, 1), [FILL_FACTOR] = CONVERT(int, i.fill_factor), "
    u"[INITIAL_SIZE] = CONVERT(int, NULL), [NULLS] = CONVERT(int, NULL), [SORT_BOOKMARKS] = "
    u"CONVERT(bit, 0), [AUTO_UPDATE] = CONVERT(bit, 1), [NULL_COLLATION] = CONVERT(int, 4), "
    u"[ORDINAL_POSITION] = CONVERT(int, ic.key_ordinal), [COLUMN_NAME] = c.name, [COLUMN_GUID] = "
    u"CONVERT(uniqueidentifier, NULL), [COLUMN_PROPID] = CONVERT(int, NULL), [COLLATION] = "
    u"CONVERT(smallint, CASE WHEN ic.is_descending_key = 1 THEN 2 ELSE 1 END), [CARDINALITY] = "
    u"CONVERT(bigint, NULL), [PAGES] = CONVERT(int, NULL), [FILTER_CONDITION] = "
    u"CONVERT(nvarchar(4000), i.filter_definition), [INTEGRATED] = CONVERT(bit, CASE WHEN "
    u"i.type = 1 THEN 1 ELSE 0 END) FROM sys.indexes i INNER JOIN sys.index_columns ic ON "
    u"ic.object_id = i.object_id AND ic.index_id = i.index_id INNER JOIN sys.columns c ON "
    u"c.object_id = ic.object_id AND c.column_id = ic.column_id INNER JOIN sys.objects t ON "
    u"t.object_id = i.object_id INNER JOIN sys.schemas s ON s.schema_id = t.schema_id WHERE "
    u"i.type IN (1, 2) AND ic.key_ordinal > 0 AND t.type IN ('U', 'V')";
// The table before the ordinal keeps the columns of one index together even when two tables
// have indexes of the same name.
const char16_t indexes_order[] = u"[UNIQUE] DESC, [TYPE], [INDEX_CATALOG], [INDEX_SCHEMA], "
                                 u"[INDEX_NAME], [TABLE_NAME], [ORDINAL_POSITION]";

const char16_t foreign_keys_query[] =
    u"SELECT [PK_TABLE_CATALOG] = CONVERT(nvarchar(128), DB_NAME()), [PK_TABLE_SCHEMA] = "
    u"ps.name, [PK_TABLE_NAME] = pt.name, [PK_COLUMN_NAME] = pc.name, [PK_COLUMN_GUID] = "
    u"CONVERT(uniqueidentifier, NULL), [PK_COLUMN_PROPID] = CONVERT(int, NULL), "
    u"[FK_TABLE_CATALOG] = CONVERT(nvarchar(128), DB_NAME()), [FK_TABLE_SCHEMA] = fs.name, "
    u"[FK_TABLE_NAME] = ft.name, [FK_COLUMN_NAME] = fc.name, [FK_COLUMN_GUID] = "
    u"CONVERT(uniqueidentifier, NULL), [FK_COLUMN_PROPID] = CONVERT(int, NULL), [ORDINAL] = "
    u"CONVERT(int, fkc.constraint_column_id), [UPDATE_RULE] = CONVERT(nvarchar(20), "
    u"REPLACE(fk.update_referential_action_desc, N'_', N' ')), [DELETE_RULE] = "
    u"CONVERT(nvarchar(20), REPLACE(fk.delete_referential_action_desc, N'_', N' ')), [PK_NAME] = "
    u"ki.name, [FK_NAME] = fk.name, [DEFERRABILITY] = CONVERT(smallint, 3) FROM "
    u"sys.foreign_keys fk INNER JOIN sys.foreign_key_columns fkc ON fkc.constraint_object_id = "
    u"fk.object_id INNER JOIN sys.objects pt ON pt.object_id = fk.referenced_object_id INNER "
    u"JOIN sys.schemas ps ON ps.schema_id = pt.schema_id INNER JOIN sys.columns pc ON "
    u"pc.object_id = fkc.referenced_object_id AND pc.column_id = fkc.referenced_column_id INNER "
    u"JOIN sys.objects ft ON ft.object_id = fk.parent_object_id INNER JOIN sys.schemas fs ON "
    u"fs.schema_id = ft.schema_id INNER JOIN sys.columns fc ON fc.object_id = "
    u"fkc.parent_object_id AND fc.column_id = fkc.parent_column_id LEFT JOIN sys.indexes ki ON "
    u"ki.object_id = fk.referenced_object_id AND ki.index_id = fk.key_index_id";
const char16_t foreign_keys_order[] =
    u"[FK_TABLE_CATALOG], [FK_TABLE_SCHEMA], [FK_TABLE_NAME], [FK_NAME], [ORDINAL]";

struct schema_query {
    const GUID* schema;
    const char16_t* query;
    const char16_t* order;
};

const schema_query queries[] = {
    {&DBSCHEMA_TABLES, tables_query, tables_order},
    {&DBSCHEMA_PRIMARY_KEYS, primary_keys_query, primary_keys_order},
    {&DBSCHEMA_INDEXES, indexes_query, indexes_order},
    {&DBSCHEMA_FOREIGN_KEYS, foreign_keys_query, foreign_keys_order},
};

std::u16string literal(std::u16string_view text) {
    std::u16string out = u"N'";
    for (char16_t c : text) {
        out.push_back(c);
        if (c == u'\'') {
            out.push_back(u'\'');
        }
    }
    out.push_back(u'\'');
    return out;
}

bool number_of(const VARIANT& v, long long& out) {
    switch (v.vt) {
    case VT_I2:
        out = v.iVal;
        return true;
    case VT_UI2:
        out = v.uiVal;
        return true;
    case VT_I4:
        out = v.lVal;
        return true;
    case VT_UI4:
        out = v.ulVal;
        return true;
    default:
        return false;
    }
}

// Text of a BOOL column as the provider gives bit values.
std::u16string bool_text(const std::u16string& text) {
    if (text == u"1") {
        return u"True";
    }
    if (text == u"0") {
        return u"False";
    }
    return text;
}

} // namespace

HRESULT tds_schema_query(REFGUID schema, ULONG restrictions, const VARIANT restriction_values[],
                         std::u16string& sql) {
    const schema_query* found = nullptr;
    for (const schema_query& q : queries) {
        if (*q.schema == schema) {
            found = &q;
        }
    }
    const std::vector<oledb_column>* columns = oledb_schema_columns(schema);
    const std::vector<std::size_t>* restricted = oledb_schema_restrictions(schema);
    if (found == nullptr || columns == nullptr || restricted == nullptr) {
        return DB_E_NOTSUPPORTED;
    }
    if (restrictions > restricted->size() || (restrictions > 0 && restriction_values == nullptr)) {
        return E_INVALIDARG;
    }
    std::u16string conditions;
    for (ULONG i = 0; i < restrictions; ++i) {
        const VARIANT& v = restriction_values[i];
        const oledb_column& column = (*columns)[(*restricted)[i]];
        long long number = 0;
        if (v.vt == VT_EMPTY) {
            continue;
        }
        conditions += u" AND [" + column.name + u"] = ";
        if (v.vt == VT_BSTR) {
            if (column.type != DBTYPE_WSTR) {
                return E_INVALIDARG;
            }
            conditions += literal(std::u16string_view(v.bstrVal ? v.bstrVal : u"",
                                                      v.bstrVal ? SysStringLen(v.bstrVal) : 0));
        } else if (number_of(v, number) && column.type != DBTYPE_WSTR) {
            const std::string digits = std::to_string(number);
            conditions.append(digits.begin(), digits.end());
        } else {
            return E_INVALIDARG;
        }
    }
    sql = u"SELECT * FROM (";
    sql += found->query;
    sql += u") AS r WHERE 1 = 1" + conditions + u" ORDER BY " + found->order;
    return S_OK;
}

HRESULT tds_schema_rowset(tds_link& link, REFGUID schema, ULONG restrictions,
                          const VARIANT restriction_values[], REFIID riid, IUnknown** rowset) {
    if (rowset == nullptr) {
        return tds_post(E_INVALIDARG, link.clsid(), IID_IDBSchemaRowset, {},
                        u"No place for the rowset was given.");
    }
    *rowset = nullptr;
    std::u16string sql;
    const HRESULT built = tds_schema_query(schema, restrictions, restriction_values, sql);
    if (built == DB_E_NOTSUPPORTED) {
        return tds_post(E_INVALIDARG, link.clsid(), IID_IDBSchemaRowset, {},
                        u"The schema rowset is not supported by this provider.");
    }
    if (FAILED(built)) {
        return tds_post(built, link.clsid(), IID_IDBSchemaRowset, {},
                        u"A restriction of the schema rowset is not valid.");
    }
    const std::vector<oledb_column>& columns = *oledb_schema_columns(schema);

    tds_execution run;
    if (!tds_execute(link, sql, true, run)) {
        return tds_post(E_FAIL, link.clsid(), IID_IDBSchemaRowset, run.diagnostics,
                        u"The catalogue could not be read.");
    }
    std::vector<oledb_row> rows;
    if (run.statement) {
        if (run.columns.size() != columns.size()) {
            run.statement->close();
            run.statement.reset();
            link.release(std::move(run.connection));
            return tds_post(E_FAIL, link.clsid(), IID_IDBSchemaRowset, {},
                            u"The catalogue query returned unexpected columns.");
        }
        odbc::statement& st = *run.statement;
        // A failed read fails the schema rowset: a value must never turn into NULL.
        const auto failed = [&] {
            std::vector<odbc::diagnostic> d = st.diagnostics();
            run.statement.reset();
            link.release(std::move(run.connection));
            return tds_post(E_FAIL, link.clsid(), IID_IDBSchemaRowset, d,
                            u"The catalogue could not be read.");
        };
        std::u16string buffer(4096, u'\0');
        for (;;) {
            const odbc::outcome o = st.fetch();
            if (o == odbc::outcome::no_data) {
                break;
            }
            if (o == odbc::outcome::error) {
                return failed();
            }
            oledb_row row;
            row.reserve(columns.size());
            for (std::size_t i = 0; i < columns.size(); ++i) {
                odbc::sql_len length = 0;
                const odbc::outcome r = st.get_data(
                    static_cast<int>(i + 1), odbc::c_wchar, buffer.data(),
                    static_cast<odbc::sql_len>(buffer.size() * sizeof(char16_t)), &length);
                if (!odbc::succeeded(r)) {
                    return failed();
                }
                if (length == odbc::null_data) {
                    row.push_back(oledb_value::null());
                    continue;
                }
                const std::size_t units = std::min<std::size_t>(
                    static_cast<std::size_t>(length) / sizeof(char16_t), buffer.size() - 1);
                std::u16string text(buffer.data(), units);
                row.push_back(oledb_value::of_text(
                    columns[i].type == DBTYPE_BOOL ? bool_text(text) : std::move(text)));
            }
            rows.push_back(std::move(row));
        }
        if (!tds_drain(st, nullptr)) {
            return failed();
        }
        run.statement.reset();
        link.release(std::move(run.connection));
    }
    const HRESULT hr = oledb_make_memory_rowset(columns, std::move(rows), riid, rowset);
    if (FAILED(hr)) {
        return tds_post(hr, link.clsid(), IID_IDBSchemaRowset, {},
                        u"The schema rowset could not be made.");
    }
    return com_succeed();
}
