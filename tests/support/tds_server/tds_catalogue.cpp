// tds_catalogue: answers the catalogue statements of the MS SQL source (system views, stored
// procedures) from the fixture model, as SQL Server would.
#include "tests/support/tds_server/tds_catalogue.h"

#include <algorithm>
#include <cctype>
#include <memory>

namespace {

using rows_t = std::vector<std::vector<tds_value>>;

tds_value text(std::string s) {
    return {false, std::move(s), {}, {}};
}
tds_value number(std::int64_t v) {
    return {false, std::to_string(v), {}, {}};
}
tds_value null() {
    return {true, {}, {}, {}};
}
tds_value flag(bool b) {
    return {false, b ? "1" : "0", {}, {}};
}

tds_result_column column(std::string name, const char* type, bool nullable = false) {
    return {
        std::move(name), tds_parse_type(type, tds_default_collation()), nullable, false, false, {}};
}

tds_answer rows_answer(std::vector<tds_result_column> columns, rows_t rows) {
    auto shared = std::make_shared<rows_t>(std::move(rows));
    tds_result_set rs;
    rs.columns = std::move(columns);
    rs.row_count = shared->size();
    rs.row = [shared](std::uint64_t index, std::vector<tds_value>& row) { row = (*shared)[index]; };
    tds_answer a;
    a.result = std::move(rs);
    return a;
}

bool same(std::string_view a, std::string_view b) {
    return tds_same_name(a, b);
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// ---- the answers ----

using captures = std::vector<std::string>;

tds_answer databases(const tds_statement_context& ctx, const captures&) {
    std::vector<std::string> names = {"master", "model", "msdb", "tempdb"};
    for (const auto& db : ctx.catalogue.databases)
        names.push_back(db.name);
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return lower(a) < lower(b); });
    rows_t rows;
    for (auto& n : names)
        rows.push_back({text(n)});
    return rows_answer({column("name", "nvarchar(128)")}, std::move(rows));
}

tds_answer helpsort(const tds_statement_context& ctx, const captures&) {
    const tds_collation& c = ctx.database.collation;
    bool ci = (c.bytes[2] >> 4) & 0x01;
    bool ai = (c.bytes[2] >> 4) & 0x02;
    std::string family = c.name.substr(0, c.name.find("_C"));
    if (family.rfind("SQL_", 0) == 0)
        family = family.substr(4, family.find("_CP") - 4);
    std::replace(family.begin(), family.end(), '_', '-');
    std::string description = family + (ci ? ", case-insensitive" : ", case-sensitive") +
                              (ai ? ", accent-insensitive" : ", accent-sensitive") +
                              ", kanatype-insensitive, width-insensitive";
    if (c.bytes[4] != 0)
        description += " for Unicode Data, SQL Server Sort Order " + std::to_string(c.bytes[4]) +
                       " on Code Page " + std::to_string(c.code_page) + " for non-Unicode Data";
    return rows_answer({column("Server default collation", "nvarchar(512)", true)},
                       {{text(description)}});
}

tds_answer tables(const tds_statement_context& ctx, const captures& values) {
    rows_t rows;
    for (const auto& t : ctx.database.tables) {
        if (!values.empty() && !same(t.schema, values[0]))
            continue;
        rows.push_back(
            {text(ctx.database.name), text(t.schema), text(t.name), text("TABLE"), null()});
    }
    return rows_answer(
        {column("TABLE_QUALIFIER", "nvarchar(128)", true),
         column("TABLE_OWNER", "nvarchar(128)", true), column("TABLE_NAME", "nvarchar(128)", true),
         column("TABLE_TYPE", "varchar(32)", true), column("REMARKS", "varchar(254)", true)},
        std::move(rows));
}

tds_answer information_schema_columns(const tds_statement_context& ctx, const captures& values,
                                      bool with_schema) {
    rows_t rows;
    for (const auto& t : ctx.database.tables) {
        if (!values.empty() && !same(t.schema, values[0]))
            continue;
        for (const auto& c : t.columns) {
            rows.push_back({text(t.name), text(c.name), text(c.type.base_name())});
            if (with_schema)
                rows.back().push_back(text(t.schema));
        }
    }
    std::vector<tds_result_column> columns = {column("TABLE_NAME", "nvarchar(128)"),
                                              column("COLUMN_NAME", "nvarchar(128)"),
                                              column("DATA_TYPE", "nvarchar(128)", true)};
    if (with_schema)
        columns.push_back(column("TABLE_SCHEMA", "nvarchar(128)", true));
    return rows_answer(std::move(columns), std::move(rows));
}

tds_answer table_columns(const tds_statement_context& ctx, const captures& values) {
    return information_schema_columns(ctx, values, false);
}

tds_answer table_columns_with_schema(const tds_statement_context& ctx, const captures& values) {
    return information_schema_columns(ctx, values, true);
}

tds_answer sequences(const tds_statement_context& ctx, const captures&) {
    rows_t rows;
    for (const auto& s : ctx.database.sequences) {
        for (std::int64_t v : {s.start, s.increment})
            if (v < INT32_MIN || v > INT32_MAX) {
                tds_answer a;
                a.error = tds_message{8115, 2, 16,
                                      "Arithmetic overflow error converting expression to data "
                                      "type int."};
                return a;
            }
        rows.push_back({text(s.name.substr(0, 30)), number(s.start), number(s.increment),
                        number(s.minimum), number(s.maximum), flag(s.cycling)});
    }
    return rows_answer({column("", "varchar(30)", true), column("", "int", true),
                        column("", "int", true), column("", "bigint", true),
                        column("", "bigint", true), column("is_cycling", "bit")},
                       std::move(rows));
}

tds_answer views(const tds_statement_context& ctx, const captures&) {
    rows_t rows;
    for (const auto& v : ctx.database.views)
        rows.push_back({text(v.name), text(v.definition)});
    return rows_answer(
        {column("name", "nvarchar(128)"), column("definition", "nvarchar(max)", true)},
        std::move(rows));
}

tds_answer schemas(const tds_statement_context& ctx, const captures& values) {
    std::string name = values.at(0);
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
        // A bracketed name, "]]" standing for "]".
        std::string inner;
        for (std::size_t i = 1; i + 1 < name.size(); ++i) {
            inner.push_back(name[i]);
            if (name[i] == ']' && name[i + 1] == ']')
                ++i;
        }
        name = inner;
    }
    const tds_fixture_database* db = ctx.catalogue.find(name);
    if (!db) {
        tds_answer a;
        a.error = tds_message{208, 1, 16, "Invalid object name '" + name + ".sys.schemas'."};
        return a;
    }
    // The built-in schemas below 16384 that every database has; sys is filtered out.
    rows_t rows = {{text("dbo")}, {text("guest")}, {text("INFORMATION_SCHEMA")}};
    for (const auto& s : db->schemas)
        if (!same(s, "dbo"))
            rows.push_back({text(s)});
    return rows_answer({column("name", "nvarchar(128)")}, std::move(rows));
}

bool table_matches(const tds_fixture_table& t, const captures& values, std::size_t table_at,
                   std::optional<std::size_t> owner_at) {
    if (!same(t.name, values.at(table_at)))
        return false;
    return !owner_at || same(t.schema, values.at(*owner_at));
}

tds_answer identity(const tds_statement_context& ctx, const captures& values,
                    std::optional<std::size_t> owner_at) {
    rows_t rows;
    std::vector<tds_value> row;
    for (const auto& t : ctx.database.tables) {
        if (!table_matches(t, values, 0, owner_at))
            continue;
        for (std::size_t i = 0; i < t.columns.size(); ++i) {
            const auto& c = t.columns[i];
            if (!c.identity)
                continue;
            // The last value handed out: the identity of the table's last row.
            tds_value last = null();
            if (t.row_count() > 0) {
                t.row(t.row_count() - 1, row);
                last = row[i];
            }
            rows.push_back({text(c.name), last, number(c.identity_increment)});
        }
    }
    return rows_answer(
        {column("COLUMNNAME", "nvarchar(128)"), column("", "int", true), column("", "int", true)},
        std::move(rows));
}

tds_answer identity_of_table(const tds_statement_context& ctx, const captures& values) {
    return identity(ctx, values, std::nullopt);
}

tds_answer identity_of_owner_table(const tds_statement_context& ctx, const captures& values) {
    return identity(ctx, values, 1);
}

tds_answer included_columns(const tds_statement_context& ctx, const captures& values) {
    rows_t rows;
    for (const auto& t : ctx.database.tables) {
        if (!table_matches(t, values, 1, 0))
            continue;
        for (const auto& ix : t.indexes)
            if (same(ix.name, values.at(2)))
                for (const auto& c : ix.included)
                    rows.push_back({text(c)});
    }
    return rows_answer({column("name", "nvarchar(128)")}, std::move(rows));
}

tds_answer indexes(const tds_statement_context& ctx, const captures& values,
                   std::optional<std::size_t> owner_at, std::size_t table_at,
                   bool with_included = false) {
    struct entry {
        std::string table, index;
        std::size_t index_id, column_id;
        std::vector<tds_value> row;
    };
    std::vector<entry> entries;
    for (const auto& t : ctx.database.tables) {
        if (!table_matches(t, values, table_at, owner_at))
            continue;
        for (std::size_t i = 0; i < t.indexes.size(); ++i) {
            const auto& ix = t.indexes[i];
            // sys.index_columns lists the key columns, then the included ones.
            std::vector<std::string> all = ix.columns;
            all.insert(all.end(), ix.included.begin(), ix.included.end());
            for (std::size_t k = 0; k < all.size(); ++k) {
                entries.push_back(
                    {lower(t.name),
                     lower(ix.name),
                     i,
                     k,
                     {text(ix.name), text(all[k]), flag(ix.primary_key), flag(ix.unique)}});
                if (with_included)
                    entries.back().row.push_back(flag(k >= ix.columns.size()));
            }
        }
    }
    std::stable_sort(entries.begin(), entries.end(), [](const entry& a, const entry& b) {
        return std::tie(a.table, a.index, a.index_id, a.column_id) <
               std::tie(b.table, b.index, b.index_id, b.column_id);
    });
    rows_t rows;
    for (auto& e : entries)
        rows.push_back(std::move(e.row));
    std::vector<tds_result_column> columns = {
        column("name", "nvarchar(128)", true), column("name", "nvarchar(128)", true),
        column("is_primary_key", "bit", true), column("is_unique", "bit", true)};
    if (with_included)
        columns.push_back(column("is_included_column", "bit", true));
    return rows_answer(std::move(columns), std::move(rows));
}

tds_answer indexes_of_owner_table(const tds_statement_context& ctx, const captures& values) {
    return indexes(ctx, values, 0, 1);
}

tds_answer indexes_of_table(const tds_statement_context& ctx, const captures& values) {
    return indexes(ctx, values, std::nullopt, 0);
}

tds_answer index_columns_of_owner_table(const tds_statement_context& ctx, const captures& values) {
    return indexes(ctx, values, 0, 1, true);
}

tds_answer index_columns_of_table(const tds_statement_context& ctx, const captures& values) {
    return indexes(ctx, values, std::nullopt, 0, true);
}

tds_answer foreign_keys(const tds_statement_context& ctx, const captures& values,
                        std::optional<std::size_t> owner_at, std::size_t table_at,
                        bool with_referenced_schema = false) {
    std::vector<std::pair<std::string, std::vector<tds_value>>> entries;
    for (const auto& t : ctx.database.tables) {
        if (!table_matches(t, values, table_at, owner_at))
            continue;
        for (const auto& fk : t.foreign_keys)
            for (std::size_t k = 0; k < fk.columns.size(); ++k) {
                entries.push_back({lower(fk.name),
                                   {text(fk.name), text(fk.columns[k]), text(fk.referenced_table),
                                    text(fk.referenced_columns[k]), text(fk.delete_action),
                                    text(fk.update_action)}});
                if (with_referenced_schema)
                    entries.back().second.push_back(text(fk.referenced_schema));
            }
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    rows_t rows;
    for (auto& e : entries)
        rows.push_back(std::move(e.second));
    std::vector<tds_result_column> columns = {
        column("name", "nvarchar(128)"),
        column("name", "nvarchar(128)", true),
        column("name", "nvarchar(128)"),
        column("name", "nvarchar(128)", true),
        column("delete_referential_action_desc", "nvarchar(60)", true),
        column("update_referential_action_desc", "nvarchar(60)", true)};
    if (with_referenced_schema)
        columns.push_back(column("", "nvarchar(128)", true));
    return rows_answer(std::move(columns), std::move(rows));
}

tds_answer foreign_keys_of_owner_table(const tds_statement_context& ctx, const captures& values) {
    return foreign_keys(ctx, values, 0, 1);
}

tds_answer foreign_keys_of_table(const tds_statement_context& ctx, const captures& values) {
    return foreign_keys(ctx, values, std::nullopt, 0);
}

tds_answer references_of_owner_table(const tds_statement_context& ctx, const captures& values) {
    return foreign_keys(ctx, values, 0, 1, true);
}

tds_answer references_of_table(const tds_statement_context& ctx, const captures& values) {
    return foreign_keys(ctx, values, std::nullopt, 0, true);
}

// sys.columns' precision and scale of a type.
std::pair<int, int> precision_scale(const tds_type& t) {
    switch (t.kind) {
    case tds_type_kind::bit:
        return {1, 0};
    case tds_type_kind::tinyint:
        return {3, 0};
    case tds_type_kind::smallint:
        return {5, 0};
    case tds_type_kind::int_:
        return {10, 0};
    case tds_type_kind::bigint:
        return {19, 0};
    case tds_type_kind::decimal:
    case tds_type_kind::numeric:
        return {t.precision, t.scale};
    case tds_type_kind::money:
        return {19, 4};
    case tds_type_kind::smallmoney:
        return {10, 4};
    case tds_type_kind::real:
        return {24, 0};
    case tds_type_kind::float_:
        return {53, 0};
    case tds_type_kind::date:
        return {10, 0};
    case tds_type_kind::time:
        return {t.scale == 0 ? 8 : 9 + t.scale, t.scale};
    case tds_type_kind::smalldatetime:
        return {16, 0};
    case tds_type_kind::datetime:
        return {23, 3};
    case tds_type_kind::datetime2:
        return {t.scale == 0 ? 19 : 20 + t.scale, t.scale};
    case tds_type_kind::datetimeoffset:
        return {t.scale == 0 ? 26 : 27 + t.scale, t.scale};
    case tds_type_kind::char_:
    case tds_type_kind::varchar:
    case tds_type_kind::nchar:
    case tds_type_kind::nvarchar:
    case tds_type_kind::text:
    case tds_type_kind::ntext:
    case tds_type_kind::binary:
    case tds_type_kind::varbinary:
    case tds_type_kind::image:
    case tds_type_kind::uniqueidentifier:
    case tds_type_kind::xml:
    case tds_type_kind::geometry:
    case tds_type_kind::geography:
    case tds_type_kind::hierarchyid:
    case tds_type_kind::sql_variant:
    case tds_type_kind::rowversion:
        return {0, 0};
    }
    return {0, 0};
}

tds_answer table_schema(const tds_statement_context& ctx, const captures& values,
                        std::optional<std::size_t> owner_at) {
    rows_t rows;
    for (const auto& t : ctx.database.tables) {
        if (!table_matches(t, values, 0, owner_at))
            continue;
        for (const auto& c : t.columns) {
            auto [precision, scale] = precision_scale(c.type);
            rows.push_back({text(c.name), text(c.type.base_name()),
                            c.default_definition.empty() ? null() : text(c.default_definition),
                            number(precision), number(scale), flag(c.nullable), flag(c.identity)});
        }
    }
    return rows_answer({column("name", "nvarchar(128)", true), column("type_name", "nvarchar(128)"),
                        column("definition", "nvarchar(max)", true), column("precision", "tinyint"),
                        column("scale", "tinyint"), column("is_nullable", "bit", true),
                        column("is_identity", "bit", true)},
                       std::move(rows));
}

tds_answer schema_of_table(const tds_statement_context& ctx, const captures& values) {
    return table_schema(ctx, values, std::nullopt);
}

tds_answer schema_of_owner_table(const tds_statement_context& ctx, const captures& values) {
    return table_schema(ctx, values, 1);
}

using answer_fn = tds_answer (*)(const tds_statement_context&, const captures&);

struct catalogue_statement {
    const char* text;
    answer_fn answer;
};

#define INDEX_JOINS                                                                                \
    "FROM sys.indexes ind INNER JOIN sys.index_columns ic ON ind.object_id = ic.object_id and "    \
    "ind.index_id = ic.index_id INNER JOIN sys.columns col ON ic.object_id = col.object_id and "   \
    "ic.column_id = col.column_id INNER JOIN sys.tables t ON ind.object_id = t.object_id "

#define FOREIGN_KEY_COLUMNS                                                                        \
    "SELECT obj.name, col1.name, tab2.name, col2.name, fks.delete_referential_action_desc, "       \
    "fks.update_referential_action_desc"

#define FOREIGN_KEY_JOINS                                                                          \
    " FROM sys.foreign_keys fks INNER JOIN "                                                       \
    "sys.foreign_key_columns fkc ON fks.object_id = fkc.constraint_object_id INNER JOIN "          \
    "sys.objects obj ON obj.object_id = fkc.constraint_object_id INNER JOIN sys.tables tab1 ON "   \
    "tab1.object_id = fkc.parent_object_id INNER JOIN sys.columns col1 ON col1.column_id = "       \
    "parent_column_id AND col1.object_id = tab1.object_id INNER JOIN sys.tables tab2 ON "          \
    "tab2.object_id = fkc.referenced_object_id INNER JOIN sys.columns col2 ON col2.column_id = "   \
    "referenced_column_id AND col2.object_id = tab2.object_id "

#define TABLE_SCHEMA_JOINS                                                                         \
    "SELECT SC.name, t.name as type_name, SD.definition, SC.precision, SC.scale, "                 \
    "SC.is_nullable, SC.is_identity FROM sys.tables ST INNER JOIN sys.columns SC ON "              \
    "ST.object_id = SC.object_id INNER JOIN sys.types t ON t.user_type_id = SC.user_type_id "      \
    "LEFT JOIN sys.default_constraints SD ON ST.object_id = SD.parent_object_id AND "              \
    "SC.column_id = SD.parent_column_id "

const catalogue_statement statements[] = {
    {"SELECT name from master.sys.databases ORDER BY name", databases},
    {"SELECT name from master.sys.sysdatabases ORDER BY name", databases},
    {"SELECT name from master.dbo.sysdatabases ORDER BY name", databases},
    {"exec sp_helpsort", helpsort},
    {"exec sp_tables @table_type=\"'TABLE'\"", tables},
    {"exec sp_tables @table_owner='%s', @table_type=\"'TABLE'\"", tables},
    {"select TABLE_NAME, COLUMN_NAME, DATA_TYPE from INFORMATION_SCHEMA.COLUMNS where "
     "TABLE_NAME not in ('sysalternates','sysconstraints','syssegments')",
     table_columns},
    {"select TABLE_NAME, COLUMN_NAME, DATA_TYPE from INFORMATION_SCHEMA.COLUMNS where "
     "TABLE_SCHEMA='%s' and TABLE_NAME not in ('sysalternates','sysconstraints','syssegments')",
     table_columns},
    // The forms the MS SQL source sends: the table's schema as a fourth column.
    {"select TABLE_NAME, COLUMN_NAME, DATA_TYPE, TABLE_SCHEMA from INFORMATION_SCHEMA.COLUMNS "
     "where TABLE_NAME not in ('sysalternates','sysconstraints','syssegments')",
     table_columns_with_schema},
    {"select TABLE_NAME, COLUMN_NAME, DATA_TYPE, TABLE_SCHEMA from INFORMATION_SCHEMA.COLUMNS "
     "where TABLE_SCHEMA='%s' and TABLE_NAME not in ('sysalternates','sysconstraints',"
     "'syssegments')",
     table_columns_with_schema},
    {"SELECT CAST(name AS varchar), CAST(start_value AS int), CAST(increment AS int), "
     "CAST(minimum_value AS bigint), CAST(maximum_value AS bigint), is_cycling FROM SYS.SEQUENCES",
     sequences},
    {"select name, definition from sys.objects o join sys.sql_modules m on m.object_id = "
     "o.object_id where o.type = 'V'",
     views},
    {"SELECT name FROM %s.sys.schemas where name <> 'sys' and principal_id < 16384", schemas},
    {"SELECT NAME AS COLUMNNAME,CAST(LAST_VALUE AS INT),CAST(INCREMENT_VALUE AS INT) FROM "
     "SYS.IDENTITY_COLUMNS WHERE OBJECT_NAME(OBJECT_ID)='%s'",
     identity_of_table},
    {"SELECT NAME AS COLUMNNAME,CAST(LAST_VALUE AS INT),CAST(INCREMENT_VALUE AS INT) FROM "
     "SYS.IDENTITY_COLUMNS WHERE OBJECT_NAME(OBJECT_ID)='%s' AND "
     "OBJECT_SCHEMA_NAME(OBJECT_ID)='%s'",
     identity_of_owner_table},
    {"SELECT col.name " INDEX_JOINS "INNER JOIN sys.schemas sch ON t.schema_id = sch.schema_id "
     "WHERE ic.is_included_column=1 AND sch.name='%s' AND t.name='%s' AND ind.name='%s'",
     included_columns},
    {"SELECT ind.name, col.name, ind.is_primary_key, ind.is_unique " INDEX_JOINS
     "WHERE SCHEMA_NAME(t.schema_id)='%s' AND t.name='%s' AND t.is_ms_shipped=0 ORDER BY t.name, "
     "ind.name, ind.index_id, ic.index_column_id",
     indexes_of_owner_table},
    {"SELECT ind.name, col.name, ind.is_primary_key, ind.is_unique " INDEX_JOINS
     "WHERE t.name = '%s' AND t.is_ms_shipped = 0 ORDER BY t.name, ind.name, ind.index_id, "
     "ic.index_column_id",
     indexes_of_table},
    // The forms the MS SQL source sends: whether a column is an included one as a fifth column.
    {"SELECT ind.name, col.name, ind.is_primary_key, ind.is_unique, "
     "ic.is_included_column " INDEX_JOINS
     "WHERE SCHEMA_NAME(t.schema_id)='%s' AND t.name='%s' AND t.is_ms_shipped=0 "
     "ORDER BY t.name, ind.name, ind.index_id, ic.index_column_id",
     index_columns_of_owner_table},
    {"SELECT ind.name, col.name, ind.is_primary_key, ind.is_unique, "
     "ic.is_included_column " INDEX_JOINS
     "WHERE t.name = '%s' AND t.is_ms_shipped = 0 ORDER BY t.name, ind.name, "
     "ind.index_id, ic.index_column_id",
     index_columns_of_table},
    {FOREIGN_KEY_COLUMNS FOREIGN_KEY_JOINS
     "WHERE SCHEMA_NAME(tab1.schema_id)='%s' AND tab1.name = '%s' ORDER BY obj.name",
     foreign_keys_of_owner_table},
    {FOREIGN_KEY_COLUMNS FOREIGN_KEY_JOINS "WHERE tab1.name = '%s' ORDER BY obj.name",
     foreign_keys_of_table},
    // The forms the MS SQL source sends: the referenced table's schema as a seventh column.
    {FOREIGN_KEY_COLUMNS
     ", SCHEMA_NAME(tab2.schema_id)" FOREIGN_KEY_JOINS
     "WHERE SCHEMA_NAME(tab1.schema_id)='%s' AND tab1.name = '%s' ORDER BY obj.name",
     references_of_owner_table},
    {FOREIGN_KEY_COLUMNS ", SCHEMA_NAME(tab2.schema_id)" FOREIGN_KEY_JOINS
                         "WHERE tab1.name = '%s' ORDER BY obj.name",
     references_of_table},
    {TABLE_SCHEMA_JOINS "WHERE ST.name='%s'", schema_of_table},
    {TABLE_SCHEMA_JOINS "WHERE ST.name='%s' and SCHEMA_NAME(ST.schema_id)='%s'",
     schema_of_owner_table},
};

} // namespace

bool tds_match_template(std::string_view templ, std::string_view statement,
                        std::vector<std::string>& values) {
    std::string t = tds_normalise(templ);
    std::string s = tds_normalise(statement);
    std::vector<std::string> found;
    std::size_t i = 0, j = 0;
    while (i < t.size()) {
        if (t.compare(i, 2, "%s") == 0) {
            char stop = i + 2 < t.size() ? t[i + 2] : '\0';
            std::string value;
            while (j < s.size()) {
                if (s[j] == '\'' && j + 1 < s.size() && s[j + 1] == '\'') {
                    value.push_back('\'');
                    j += 2;
                    continue;
                }
                if (s[j] == stop)
                    break;
                value.push_back(s[j++]);
            }
            found.push_back(std::move(value));
            i += 2;
            continue;
        }
        if (j >= s.size() || std::tolower(static_cast<unsigned char>(t[i])) !=
                                 std::tolower(static_cast<unsigned char>(s[j])))
            return false;
        ++i;
        ++j;
    }
    if (j != s.size())
        return false;
    values = std::move(found);
    return true;
}

std::optional<tds_answer> tds_answer_catalogue(const tds_statement_context& context,
                                               std::string_view statement) {
    std::vector<std::string> values;
    for (const auto& s : statements)
        if (tds_match_template(s.text, statement, values))
            return s.answer(context, values);
    return std::nullopt;
}
