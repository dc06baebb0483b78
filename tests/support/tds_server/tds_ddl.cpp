// tds_ddl: schemas, keys, constraints, indexes, sequences, views and the writer's probes.
#include "tests/support/tds_server/tds_ddl.h"

#include "tests/support/tds_server/tds_writes.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>
#include <set>

namespace {

using token = tds_token;
using parser = tds_parser;

using tds_reply::message;
constexpr auto fails = tds_reply::error_answer;

tds_answer done() {
    return {};
}

tds_answer syntax_near(std::span<const token> tokens, std::size_t at) {
    if (at >= tokens.size())
        return fails(message(102, 15, 1, "Incorrect syntax near ')'."));
    const token& t = tokens[at];
    static const char* const keywords[] = {"where",   "on",     "references", "foreign",
                                           "primary", "unique", "constraint", "add",
                                           "as",      "end"};
    for (const char* k : keywords)
        if (t.is(k)) {
            std::string upper = k;
            for (char& c : upper)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            return fails(message(156, 15, 1, "Incorrect syntax near the keyword '" + upper + "'."));
        }
    return fails(message(102, 15, 1, "Incorrect syntax near '" + t.text + "'."));
}

tds_message already_exists(const std::string& name) {
    return message(2714, 16, 6, "There is already an object named '" + name + "' in the database.");
}

// ---- names ----

struct object_ref {
    std::string schema = "dbo";
    std::string name;
    std::string written;
};

bool read_object(parser& p, object_ref& out) {
    std::vector<std::string> parts;
    if (!p.object_name(parts, out.written) || parts.size() > 3)
        return false;
    out.name = parts.back();
    if (parts.size() >= 2 && !parts[parts.size() - 2].empty())
        out.schema = parts[parts.size() - 2];
    return true;
}

// An object name given as text, as OBJECT_ID reads it.
bool split_object(const std::string& text, object_ref& out) {
    try {
        std::vector<std::string> parts = tds_split_name(text);
        if (parts.empty())
            return false;
        out.name = parts.back();
        if (parts.size() >= 2 && !parts[parts.size() - 2].empty())
            out.schema = parts[parts.size() - 2];
        out.written = text;
        return true;
    } catch (const std::invalid_argument&) {
        return false;
    }
}

std::optional<std::size_t> column_at(const tds_fixture_table& t, std::string_view name) {
    for (std::size_t i = 0; i < t.columns.size(); ++i)
        if (tds_same_name(t.columns[i].name, name))
            return i;
    return std::nullopt;
}

bool is_constraint(const tds_fixture_index& i) {
    return i.primary_key || i.constraint;
}

// Whether a schema-scoped object (table, view, sequence, constraint) has the name.
bool object_exists(const tds_fixture_database& db, const std::string& schema,
                   const std::string& name) {
    for (const auto& t : db.tables) {
        if (!tds_same_name(t.schema, schema))
            continue;
        if (tds_same_name(t.name, name))
            return true;
        for (const auto& i : t.indexes)
            if (is_constraint(i) && tds_same_name(i.name, name))
                return true;
        for (const auto& k : t.foreign_keys)
            if (tds_same_name(k.name, name))
                return true;
    }
    for (const auto& v : db.views)
        if (tds_same_name(v.schema, schema) && tds_same_name(v.name, name))
            return true;
    for (const auto& s : db.sequences)
        if (tds_same_name(s.schema, schema) && tds_same_name(s.name, name))
            return true;
    return false;
}

bool schema_exists(const tds_fixture_database& db, const std::string& schema) {
    for (const auto& s : db.schemas)
        if (tds_same_name(s, schema))
            return true;
    return false;
}

tds_message no_schema(const std::string& schema, const char* what = "object") {
    (void)what;
    return message(2760, 16, 1,
                   "The specified schema name \"" + schema +
                       "\" either does not exist or you do not have permission to use it.");
}

// ---- key lengths ----

struct width {
    bool key_type = true; // may stand in an index key
    bool variable = false;
    int bytes = 0;
};

width width_of(const tds_type& t) {
    using k = tds_type_kind;
    switch (t.kind) {
    case k::bit:
    case k::tinyint:
        return {true, false, 1};
    case k::smallint:
        return {true, false, 2};
    case k::int_:
    case k::smallmoney:
    case k::real:
    case k::smalldatetime:
        return {true, false, 4};
    case k::bigint:
    case k::money:
    case k::float_:
    case k::datetime:
    case k::datetime2:
    case k::rowversion:
        return {true, false, 8};
    case k::decimal:
    case k::numeric:
        return {true, false,
                t.precision <= 9    ? 5
                : t.precision <= 19 ? 9
                : t.precision <= 28 ? 13
                                    : 17};
    case k::date:
        return {true, false, 3};
    case k::time:
        return {true, false, 5};
    case k::datetimeoffset:
        return {true, false, 10};
    case k::uniqueidentifier:
        return {true, false, 16};
    case k::char_:
    case k::binary:
        return {true, false, t.length};
    case k::nchar:
        return {true, false, 2 * t.length};
    case k::varchar:
    case k::varbinary:
        return {t.length >= 0, true, t.length};
    case k::nvarchar:
        return {t.length >= 0, true, 2 * t.length};
    case k::sql_variant:
        return {true, true, 8016};
    case k::hierarchyid:
        return {true, true, 892};
    default:
        return {false, true, 0};
    }
}

int limit_of(const tds_fixture_index& index) {
    return index.clustered ? 900 : 1700;
}

// The bytes a value takes in an index entry.
std::size_t entry_bytes(const tds_type& type, const tds_value& v) {
    if (v.null)
        return 0;
    using k = tds_type_kind;
    switch (type.kind) {
    case k::varchar:
        return v.data.size();
    case k::nvarchar: {
        std::size_t units = 0;
        for (unsigned char c : v.data) {
            if ((c & 0xC0) != 0x80)
                units += c >= 0xF0 ? 2 : 1;
        }
        return 2 * units;
    }
    case k::varbinary:
        return v.data.size();
    default:
        return static_cast<std::size_t>(std::max(width_of(type).bytes, 0));
    }
}

// Checks a new index's columns: they exist and may be keys, and the key fits. Fills `warning`
// for a key over the limit that only variable-length columns make possible.
std::optional<tds_message> check_key(const tds_fixture_table& t, const tds_fixture_index& index,
                                     std::optional<tds_message>& warning) {
    int fixed = 0;
    int most = 0;
    for (const auto& name : index.columns) {
        auto at = column_at(t, name);
        if (!at)
            return message(1911, 16, 1,
                           "Column name '" + name +
                               "' does not exist in the target table or view.");
        const width w = width_of(t.columns[*at].type);
        if (!w.key_type)
            return message(1919, 16, 1,
                           "Column '" + t.columns[*at].name + "' in table '" + t.schema + "." +
                               t.name +
                               "' is of a type that is invalid for use as a key column in "
                               "an index.");
        most += w.bytes;
        if (!w.variable)
            fixed += w.bytes;
    }
    const int limit = limit_of(index);
    if (fixed > limit)
        return message(1944, 16, 1,
                       "Index '" + index.name +
                           "' was not created. This index has a key length "
                           "of at least " +
                           std::to_string(fixed) +
                           " bytes. The maximum permissible key length is " +
                           std::to_string(limit) + " bytes.");
    if (most > limit)
        warning = message(1945, 10, 1,
                          "Warning! The maximum key length for a " +
                              std::string(index.clustered ? "clustered" : "nonclustered") +
                              " index is " + std::to_string(limit) + " bytes. The index '" +
                              index.name + "' has maximum length of " + std::to_string(most) +
                              " bytes. For some combination of large values, the insert/update "
                              "operation will fail.");
    return std::nullopt;
}

std::string folded(const tds_type& type, const tds_value& v) {
    if (v.null)
        return "\x01";
    std::string s = v.data;
    if (type.is_text()) {
        for (char& c : s)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        while (!s.empty() && s.back() == ' ')
            s.pop_back();
    }
    return "\x02" + s;
}

std::string key_of(const tds_fixture_table& t, const std::vector<std::string>& columns,
                   const std::vector<tds_value>& row) {
    std::string key;
    for (const auto& name : columns) {
        auto at = column_at(t, name);
        const std::string part = at ? folded(t.columns[*at].type, row[*at]) : std::string("\x01");
        key += std::to_string(part.size()) + ":" + part;
    }
    return key;
}

std::string shown_key(const tds_fixture_table& t, const std::vector<std::string>& columns,
                      const std::vector<tds_value>& row) {
    std::string out;
    for (const auto& name : columns) {
        auto at = column_at(t, name);
        if (!out.empty())
            out += ", ";
        out += !at || row[*at].null ? "<NULL>" : row[*at].data;
    }
    return out;
}

// Error 1505 when the rows already hold a key twice.
std::optional<tds_message> check_unique_rows(const tds_fixture_table& t,
                                             const tds_fixture_index& index) {
    std::set<std::string> seen;
    std::vector<tds_value> row;
    for (std::uint64_t r = 0; r < t.row_count(); ++r) {
        t.row(r, row);
        if (!tds_row_in_index(t, index, row))
            continue;
        if (!seen.insert(key_of(t, index.columns, row)).second)
            return message(1505, 16, 1,
                           "The CREATE UNIQUE INDEX statement terminated because a duplicate key "
                           "was found for the object name '" +
                               t.schema + "." + t.name + "' and the index name '" + index.name +
                               "'. The duplicate key value is (" +
                               shown_key(t, index.columns, row) + ").");
    }
    return std::nullopt;
}

// Error 1946 when `row`'s entry in `index` is longer than the index allows.
std::optional<tds_message> check_entry(const tds_fixture_table& t, const tds_fixture_index& index,
                                       const std::vector<tds_value>& row) {
    std::size_t bytes = 0;
    for (const auto& name : index.columns)
        if (auto at = column_at(t, name))
            bytes += entry_bytes(t.columns[*at].type, row[*at]);
    if (bytes > static_cast<std::size_t>(limit_of(index)))
        return message(1946, 16, 3,
                       "Operation failed. The index entry of length " + std::to_string(bytes) +
                           " bytes for the index '" + index.name +
                           "' exceeds the maximum length of " + std::to_string(limit_of(index)) +
                           " bytes for " + (index.clustered ? "clustered" : "nonclustered") +
                           " indexes.");
    return std::nullopt;
}

std::optional<tds_message> check_entries(const tds_fixture_table& t,
                                         const tds_fixture_index& index) {
    std::vector<tds_value> row;
    for (std::uint64_t r = 0; r < t.row_count(); ++r) {
        t.row(r, row);
        if (auto e = check_entry(t, index, row))
            return e;
    }
    return std::nullopt;
}

// Adds the index after the checks SQL Server makes; `infos` receives a warning.
std::optional<tds_message> add_index(tds_fixture_table& t, tds_fixture_index index,
                                     std::vector<tds_message>& infos) {
    for (const auto& i : t.indexes) {
        if (index.clustered && i.clustered)
            return message(1902, 16, 3,
                           "Cannot create more than one clustered index on table '" + t.schema +
                               "." + t.name + "'. Drop the existing clustered index '" + i.name +
                               "' before creating another.");
    }
    std::optional<tds_message> warning;
    if (auto e = check_key(t, index, warning))
        return e;
    if (index.primary_key) {
        for (const auto& name : index.columns)
            if (t.columns[*column_at(t, name)].nullable)
                return message(
                    8111, 16, 1,
                    "Cannot define PRIMARY KEY constraint on nullable column in table '" + t.name +
                        "'.");
    }
    if (index.unique || index.primary_key) {
        if (auto e = check_unique_rows(t, index))
            return e;
    }
    if (auto e = check_entries(t, index))
        return e;
    if (warning)
        infos.push_back(*warning);
    for (auto& name : index.columns)
        name = t.columns[*column_at(t, name)].name;
    index.descending.resize(index.columns.size(), false);
    t.indexes.push_back(std::move(index));
    tds_forget_keys(t);
    return std::nullopt;
}

bool column_list(parser& p, std::vector<std::string>& out) {
    if (!p.accept("("))
        return false;
    do {
        if (!p.identifier())
            return false;
        out.push_back(p.t[p.at++].text);
        if (!p.accept("asc"))
            p.accept("desc");
    } while (p.accept(","));
    return p.accept(")");
}

// ---- foreign keys ----

bool same_column_set(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    if (a.size() != b.size())
        return false;
    for (const auto& x : a) {
        bool found = false;
        for (const auto& y : b)
            found = found || tds_same_name(x, y);
        if (!found)
            return false;
    }
    return true;
}

bool cascading(const std::string& action) {
    return action != "NO_ACTION";
}

std::string node_of(const std::string& schema, const std::string& table) {
    std::string s = schema + "." + table;
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Whether the cascading keys of one action (delete or update) form a cycle or reach a table by
// two paths.
bool cascade_conflict(const std::multimap<std::string, std::string>& edges) {
    std::set<std::string> nodes;
    for (const auto& [from, to] : edges) {
        nodes.insert(from);
        nodes.insert(to);
    }
    for (const auto& start : nodes) {
        std::map<std::string, int> paths;
        std::vector<std::pair<std::string, int>> stack{{start, 0}};
        while (!stack.empty()) {
            auto [node, depth] = stack.back();
            stack.pop_back();
            if (depth > static_cast<int>(nodes.size()))
                return true; // a cycle
            auto range = edges.equal_range(node);
            for (auto it = range.first; it != range.second; ++it) {
                if (it->second == start || ++paths[it->second] > 1)
                    return true;
                stack.push_back({it->second, depth + 1});
            }
        }
    }
    return false;
}

std::optional<tds_message> add_foreign_key(const tds_statement_context& ctx,
                                           tds_fixture_table& child, tds_fixture_foreign_key key) {
    tds_fixture_database& db = ctx.database;
    tds_fixture_table* parent = db.find_table(key.referenced_schema, key.referenced_table);
    if (!parent)
        return message(1767, 16, 0,
                       "Foreign key '" + key.name + "' references invalid table '" +
                           key.referenced_table + "'.");
    for (auto& c : key.columns) {
        auto at = column_at(child, c);
        if (!at)
            return message(1769, 16, 1,
                           "Foreign key '" + key.name + "' references invalid column '" + c +
                               "' in referencing table '" + child.name + "'.");
        c = child.columns[*at].name;
    }
    for (auto& c : key.referenced_columns) {
        auto at = column_at(*parent, c);
        if (!at)
            return message(1770, 16, 0,
                           "Foreign key '" + key.name + "' references invalid column '" + c +
                               "' in referenced table '" + parent->name + "'.");
        c = parent->columns[*at].name;
    }
    if (key.columns.size() != key.referenced_columns.size())
        return message(8139, 16, 0,
                       "Number of referencing columns in foreign key differs from number of "
                       "referenced columns, table '" +
                           child.name + "'.");
    bool candidate = false;
    for (const auto& i : parent->indexes)
        candidate = candidate || ((i.primary_key || i.unique) && i.filter_columns.empty() &&
                                  same_column_set(i.columns, key.referenced_columns));
    if (!candidate)
        return message(1776, 16, 0,
                       "There are no primary or candidate keys in the referenced table '" +
                           parent->schema + "." + parent->name +
                           "' that match the referencing column list in the foreign key '" +
                           key.name + "'.");
    for (const bool on_delete : {true, false}) {
        const std::string& action = on_delete ? key.delete_action : key.update_action;
        if (!cascading(action))
            continue;
        std::multimap<std::string, std::string> edges;
        for (const auto& t : db.tables)
            for (const auto& k : t.foreign_keys)
                if (cascading(on_delete ? k.delete_action : k.update_action))
                    edges.emplace(node_of(k.referenced_schema, k.referenced_table),
                                  node_of(t.schema, t.name));
        edges.emplace(node_of(parent->schema, parent->name), node_of(child.schema, child.name));
        if (cascade_conflict(edges))
            return message(1785, 16, 0,
                           "Introducing FOREIGN KEY constraint '" + key.name + "' on table '" +
                               child.name +
                               "' may cause cycles or multiple cascade paths. Specify ON DELETE "
                               "NO ACTION or ON UPDATE NO ACTION, or modify other FOREIGN KEY "
                               "constraints.");
    }
    // Existing rows must find their parent row.
    std::set<std::string> parents;
    std::vector<tds_value> row;
    for (std::uint64_t r = 0; r < parent->row_count(); ++r) {
        parent->row(r, row);
        parents.insert(key_of(*parent, key.referenced_columns, row));
    }
    for (std::uint64_t r = 0; r < child.row_count(); ++r) {
        child.row(r, row);
        bool any_null = false;
        for (const auto& c : key.columns)
            any_null = any_null || row[*column_at(child, c)].null;
        if (any_null)
            continue;
        // Parent and child columns compare by their own types: fold the child's key with the
        // parent's column types.
        std::string k;
        for (std::size_t i = 0; i < key.columns.size(); ++i) {
            const auto& v = row[*column_at(child, key.columns[i])];
            const std::string part =
                folded(parent->columns[*column_at(*parent, key.referenced_columns[i])].type, v);
            k += std::to_string(part.size()) + ":" + part;
        }
        if (!parents.count(k))
            return message(
                547, 16, 0,
                "The ALTER TABLE statement conflicted with the FOREIGN KEY constraint \"" +
                    key.name + "\". The conflict occurred in database \"" + db.name +
                    "\", table \"" + parent->schema + "." + parent->name + "\", column '" +
                    key.referenced_columns.front() + "'.");
    }
    child.foreign_keys.push_back(std::move(key));
    return std::nullopt;
}

std::string generated_name(const char* prefix, const tds_fixture_table& t) {
    static unsigned counter = 0x5E0A1B2C;
    counter += 0x10307;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%08X", counter);
    return std::string(prefix) + "__" + t.name.substr(0, 8) + "__" + suffix;
}

bool read_action(parser& p, std::string& action) {
    if (p.accept("cascade")) {
        action = "CASCADE";
        return true;
    }
    if (p.accept("no") && p.accept("action")) {
        action = "NO_ACTION";
        return true;
    }
    if (p.accept("set")) {
        if (p.accept("null")) {
            action = "SET_NULL";
            return true;
        }
        if (p.accept("default")) {
            action = "SET_DEFAULT";
            return true;
        }
    }
    return false;
}

// ALTER TABLE t ADD [CONSTRAINT n] PRIMARY KEY | UNIQUE | FOREIGN KEY ...
std::optional<tds_answer> alter_table(const tds_statement_context& ctx,
                                      std::span<const token> tokens) {
    parser p{tokens};
    if (!(p.accept("alter") && p.accept("table")))
        return std::nullopt;
    object_ref ref;
    if (!read_object(p, ref))
        return syntax_near(tokens, p.at);
    tds_fixture_table* t = ctx.database.find_table(ref.schema, ref.name);
    if (!t)
        return fails(message(4902, 16, 6,
                             "Cannot find the object \"" + ref.written +
                                 "\" because it does not exist or you do not have permissions."));
    if (!p.accept("add"))
        return std::nullopt; // ALTER COLUMN and the rest: not modelled
    std::string name;
    if (p.accept("constraint")) {
        if (!p.identifier())
            return syntax_near(tokens, p.at);
        name = p.t[p.at++].text;
    }
    tds_answer answer;
    if (p.accept("primary") || (!p.done() && p.t[p.at].is("unique"))) {
        const bool primary = !p.accept("unique");
        if (primary && !p.accept("key"))
            return syntax_near(tokens, p.at);
        tds_fixture_index index;
        index.primary_key = primary;
        index.unique = true;
        index.constraint = !primary;
        index.clustered = primary;
        if (p.accept("clustered"))
            index.clustered = true;
        else if (p.accept("nonclustered"))
            index.clustered = false;
        if (!column_list(p, index.columns))
            return syntax_near(tokens, p.at);
        if (!p.done())
            return syntax_near(tokens, p.at);
        if (primary) {
            for (const auto& i : t->indexes)
                if (i.primary_key)
                    return fails(message(1779, 16, 0,
                                         "Table '" + t->name +
                                             "' already has a primary key defined on it."));
        }
        index.name = name.empty() ? generated_name(primary ? "PK" : "UQ", *t) : name;
        if (object_exists(ctx.database, t->schema, index.name))
            return fails(already_exists(index.name));
        if (auto e = add_index(*t, std::move(index), answer.infos))
            return fails(*e);
        return answer;
    }
    if (p.accept("foreign")) {
        tds_fixture_foreign_key key;
        if (!p.accept("key") || !column_list(p, key.columns) || !p.accept("references"))
            return syntax_near(tokens, p.at);
        object_ref parent;
        if (!read_object(p, parent))
            return syntax_near(tokens, p.at);
        key.referenced_schema = parent.schema;
        key.referenced_table = parent.name;
        if (p.t.size() > p.at && p.t[p.at].is("(")) {
            if (!column_list(p, key.referenced_columns))
                return syntax_near(tokens, p.at);
        }
        while (p.accept("on")) {
            const bool on_delete = p.accept("delete");
            if (!on_delete && !p.accept("update"))
                return syntax_near(tokens, p.at);
            if (!read_action(p, on_delete ? key.delete_action : key.update_action))
                return syntax_near(tokens, p.at);
        }
        if (!p.done())
            return syntax_near(tokens, p.at);
        key.name = name.empty() ? generated_name("FK", *t) : name;
        if (object_exists(ctx.database, t->schema, key.name))
            return fails(already_exists(key.name));
        if (key.referenced_columns.empty()) {
            if (tds_fixture_table* pt = ctx.database.find_table(parent.schema, parent.name))
                for (const auto& i : pt->indexes)
                    if (i.primary_key)
                        key.referenced_columns = i.columns;
        }
        if (auto e = add_foreign_key(ctx, *t, std::move(key)))
            return fails(*e);
        return answer;
    }
    return syntax_near(tokens, p.at);
}

// CREATE [UNIQUE] [CLUSTERED | NONCLUSTERED] INDEX n ON t (columns) [WHERE c IS NOT NULL AND ...]
std::optional<tds_answer> create_index(const tds_statement_context& ctx,
                                       std::span<const token> tokens) {
    parser p{tokens};
    if (!p.accept("create"))
        return std::nullopt;
    tds_fixture_index index;
    index.unique = p.accept("unique");
    if (p.accept("clustered"))
        index.clustered = true;
    else
        p.accept("nonclustered");
    if (!p.accept("index"))
        return std::nullopt;
    if (!p.identifier())
        return syntax_near(tokens, p.at);
    index.name = p.t[p.at++].text;
    object_ref ref;
    if (!p.accept("on") || !read_object(p, ref))
        return syntax_near(tokens, p.at);
    if (!column_list(p, index.columns))
        return syntax_near(tokens, p.at);
    if (p.accept("where")) {
        do {
            if (!p.identifier())
                return syntax_near(tokens, p.at);
            index.filter_columns.push_back(p.t[p.at++].text);
            if (!(p.accept("is") && p.accept("not") && p.accept("null")))
                return fails(message(50000, 16, 1,
                                     "The TDS test server cannot answer this statement: filters "
                                     "other than IS NOT NULL"));
        } while (p.accept("and"));
    }
    if (!p.done())
        return syntax_near(tokens, p.at);
    tds_fixture_table* t = ctx.database.find_table(ref.schema, ref.name);
    if (!t)
        return fails(message(1088, 16, 12,
                             "Cannot find the object \"" + ref.written +
                                 "\" because it does not exist or you do not have permissions."));
    for (const auto& c : index.filter_columns)
        if (!column_at(*t, c))
            return fails(message(207, 16, 1, "Invalid column name '" + c + "'."));
    // SQL Server builds a filtered index only under QUOTED_IDENTIFIER ON.
    if (!index.filter_columns.empty() && ctx.session && !ctx.session->quoted_identifier)
        return fails(message(
            1934, 16, 1,
            "CREATE INDEX failed because the following SET options have incorrect settings: "
            "'QUOTED_IDENTIFIER'. Verify that SET options are correct for use with indexed "
            "views and/or indexes on computed columns and/or filtered indexes and/or query "
            "notifications and/or XML data type methods and/or spatial index operations."));
    for (const auto& i : t->indexes)
        if (tds_same_name(i.name, index.name))
            return fails(message(1913, 16, 1,
                                 "The operation failed because an index or statistics with name '" +
                                     index.name + "' already exists on table '" + t->schema + "." +
                                     t->name + "'."));
    tds_answer answer;
    if (auto e = add_index(*t, std::move(index), answer.infos))
        return fails(*e);
    return answer;
}

// CREATE SCHEMA n, and the writer's form: IF NOT EXISTS (SELECT ... SCHEMA_NAME = 'n') BEGIN EXEC
// sp_executesql N'CREATE SCHEMA [n]' END
std::optional<tds_answer> create_schema_text(const tds_statement_context& ctx,
                                             std::string_view text);

std::optional<tds_answer> create_schema(const tds_statement_context& ctx,
                                        std::span<const token> tokens) {
    parser p{tokens};
    if (p.accept("create") && p.accept("schema")) {
        if (!p.identifier())
            return syntax_near(tokens, p.at);
        const std::string name = p.t[p.at++].text;
        if (!p.done())
            return syntax_near(tokens, p.at);
        if (schema_exists(ctx.database, name))
            return fails(already_exists(name));
        ctx.database.schemas.push_back(name);
        return done();
    }
    p.at = 0;
    if (!(p.accept("if") && p.accept("not") && p.accept("exists") && p.accept("(") &&
          p.accept("select") && p.accept("schema_name") && p.accept("from") &&
          p.accept("information_schema") && p.accept(".") && p.accept("schemata") &&
          p.accept("where") && p.accept("schema_name") && p.accept("=")))
        return std::nullopt;
    if (p.done() || p.t[p.at].kind != tds_token_kind::string)
        return syntax_near(tokens, p.at);
    const std::string tested = p.t[p.at++].text;
    if (!(p.accept(")") && p.accept("begin") && p.accept("exec") && p.accept("sp_executesql")) ||
        p.done() || p.t[p.at].kind != tds_token_kind::string)
        return syntax_near(tokens, p.at);
    const std::string inner = p.t[p.at++].text;
    if (!p.accept("end") || !p.done())
        return syntax_near(tokens, p.at);
    if (schema_exists(ctx.database, tested))
        return done();
    return create_schema_text(ctx, inner);
}

std::optional<tds_answer> create_schema_text(const tds_statement_context& ctx,
                                             std::string_view text) {
    std::vector<token> inner;
    if (!tds_tokenise(text, inner))
        return fails(message(105, 15, 1, "Unclosed quotation mark after the character string ''."));
    auto a = create_schema(ctx, inner);
    if (!a)
        return fails(
            message(50000, 16, 1,
                    "The TDS test server cannot answer this statement: " + std::string(text)));
    return a;
}

// DROP SEQUENCE [IF EXISTS] q; CREATE SEQUENCE q [AS type] START WITH s INCREMENT BY i MINVALUE m
// MAXVALUE M [CYCLE | NO CYCLE]
bool read_number(parser& p, std::int64_t& out) {
    const bool negative = p.accept("-");
    if (!negative)
        p.accept("+");
    if (p.done() || p.t[p.at].kind != tds_token_kind::number)
        return false;
    const std::string& s = p.t[p.at++].text;
    std::int64_t v = 0;
    auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    if (r.ec != std::errc() || r.ptr != s.data() + s.size())
        return false;
    out = negative ? -v : v;
    return true;
}

std::optional<tds_answer> sequences(const tds_statement_context& ctx,
                                    std::span<const token> tokens) {
    parser p{tokens};
    auto& list = ctx.database.sequences;
    auto find = [&](const object_ref& ref) {
        return std::find_if(list.begin(), list.end(), [&](const tds_fixture_sequence& s) {
            return tds_same_name(s.schema, ref.schema) && tds_same_name(s.name, ref.name);
        });
    };
    if (p.accept("drop") && p.accept("sequence")) {
        const bool if_exists = p.accept("if") && p.accept("exists");
        object_ref ref;
        if (!read_object(p, ref) || !p.done())
            return syntax_near(tokens, p.at);
        auto it = find(ref);
        if (it == list.end())
            return if_exists ? done()
                             : fails(message(3701, 11, 5,
                                             "Cannot drop the sequence '" + ref.written +
                                                 "', because it does not exist or you do not "
                                                 "have permission."));
        list.erase(it);
        return done();
    }
    p.at = 0;
    if (!(p.accept("create") && p.accept("sequence")))
        return std::nullopt;
    object_ref ref;
    if (!read_object(p, ref))
        return syntax_near(tokens, p.at);
    tds_fixture_sequence s;
    s.schema = ref.schema;
    s.name = ref.name;
    std::string type = "bigint";
    if (p.accept("as")) {
        if (!p.identifier())
            return syntax_near(tokens, p.at);
        type = p.t[p.at++].text;
    }
    s.type = tds_parse_type(type, ctx.database.collation);
    bool has_min = false, has_max = false, has_start = false;
    s.minimum = INT64_MIN;
    s.maximum = INT64_MAX;
    while (!p.done()) {
        if (p.accept("start")) {
            if (!p.accept("with") || !read_number(p, s.start))
                return syntax_near(tokens, p.at);
            has_start = true;
        } else if (p.accept("increment")) {
            if (!p.accept("by") || !read_number(p, s.increment))
                return syntax_near(tokens, p.at);
        } else if (p.accept("minvalue")) {
            if (!read_number(p, s.minimum))
                return syntax_near(tokens, p.at);
            has_min = true;
        } else if (p.accept("maxvalue")) {
            if (!read_number(p, s.maximum))
                return syntax_near(tokens, p.at);
            has_max = true;
        } else if (p.accept("cycle")) {
            s.cycling = true;
        } else if (p.accept("no")) {
            if (!p.accept("cycle"))
                return syntax_near(tokens, p.at);
        } else {
            return syntax_near(tokens, p.at);
        }
    }
    (void)has_max;
    if (!has_start)
        s.start = s.increment > 0 ? (has_min ? s.minimum : s.start) : s.maximum;
    if (s.increment == 0)
        return fails(
            message(11700, 16, 1,
                    "The increment for sequence object '" + ref.written + "' cannot be zero."));
    if (s.minimum >= s.maximum)
        return fails(message(11705, 16, 1,
                             "The minimum value for sequence object '" + ref.written +
                                 "' must be less than its maximum value."));
    if (s.start < s.minimum || s.start > s.maximum)
        return fails(message(11703, 16, 1,
                             "The start value for sequence object '" + ref.written +
                                 "' must be between the minimum and maximum value of the sequence "
                                 "object."));
    if (!schema_exists(ctx.database, s.schema))
        return fails(no_schema(s.schema));
    if (object_exists(ctx.database, s.schema, s.name))
        return fails(already_exists(s.name));
    list.push_back(std::move(s));
    return done();
}

// [IF OBJECT_ID(N'q') IS NOT NULL] DROP VIEW q; CREATE VIEW q AS select
std::optional<tds_answer> views(const tds_statement_context& ctx, std::span<const token> tokens,
                                std::string_view text) {
    parser p{tokens};
    auto& list = ctx.database.views;
    auto find = [&](const object_ref& ref) {
        return std::find_if(list.begin(), list.end(), [&](const tds_fixture_view& v) {
            return tds_same_name(v.schema, ref.schema) && tds_same_name(v.name, ref.name);
        });
    };
    bool guarded = false;
    if (p.accept("if")) {
        object_ref tested;
        if (!(p.accept("object_id") && p.accept("(")) || p.done() ||
            p.t[p.at].kind != tds_token_kind::string)
            return std::nullopt;
        const bool parsed = split_object(p.t[p.at++].text, tested);
        if (!(p.accept(")") && p.accept("is") && p.accept("not") && p.accept("null")))
            return syntax_near(tokens, p.at);
        if (!parsed || !object_exists(ctx.database, tested.schema, tested.name))
            return done();
        guarded = true;
    }
    if (p.accept("drop")) {
        if (!p.accept("view"))
            return guarded ? std::optional<tds_answer>(fails(message(
                                 50000, 16, 1, "The TDS test server cannot answer this statement")))
                           : std::nullopt;
        object_ref ref;
        if (!read_object(p, ref) || !p.done())
            return syntax_near(tokens, p.at);
        auto it = find(ref);
        if (it == list.end()) {
            if (ctx.database.find_table(ref.schema, ref.name))
                return fails(message(3705, 16, 1,
                                     "Cannot use DROP VIEW with '" + ref.written + "' because '" +
                                         ref.written + "' is a table. Use DROP TABLE."));
            return fails(message(3701, 11, 5,
                                 "Cannot drop the view '" + ref.written +
                                     "', because it does not exist or you do not have "
                                     "permission."));
        }
        list.erase(it);
        return done();
    }
    if (guarded)
        return syntax_near(tokens, p.at);
    p.at = 0;
    if (!(p.accept("create") && p.accept("view")))
        return std::nullopt;
    object_ref ref;
    if (!read_object(p, ref) || !p.accept("as") || p.done())
        return syntax_near(tokens, p.at);
    if (!p.t[p.at].is("select"))
        return syntax_near(tokens, p.at);
    if (!schema_exists(ctx.database, ref.schema))
        return fails(no_schema(ref.schema));
    if (object_exists(ctx.database, ref.schema, ref.name))
        return fails(already_exists(ref.name));
    // The objects read must exist (their columns are not checked).
    for (std::size_t i = p.at; i < tokens.size(); ++i) {
        if (!tokens[i].is("from") && !tokens[i].is("join"))
            continue;
        parser from{tokens, i + 1};
        object_ref read;
        if (!read_object(from, read))
            continue;
        const bool known =
            ctx.database.find_table(read.schema, read.name) != nullptr ||
            std::any_of(list.begin(), list.end(), [&](const tds_fixture_view& v) {
                return tds_same_name(v.schema, read.schema) && tds_same_name(v.name, read.name);
            });
        if (!known)
            return fails(message(208, 16, 1, "Invalid object name '" + read.written + "'."));
    }
    tds_fixture_view v;
    v.schema = ref.schema;
    v.name = ref.name;
    v.definition = std::string(text);
    list.push_back(std::move(v));
    return done();
}

// SELECT COUNT(*) FROM INFORMATION_SCHEMA.TABLE_CONSTRAINTS WHERE CONSTRAINT_NAME='n' and
// SELECT COUNT(*) FROM SYS.INDEXES WHERE NAME='n'
std::optional<tds_answer> probes(const tds_statement_context& ctx, std::span<const token> tokens) {
    parser p{tokens};
    if (!(p.accept("select") && p.accept("count") && p.accept("(") && p.accept("*") &&
          p.accept(")") && p.accept("from")))
        return std::nullopt;
    bool constraints = false;
    if (p.accept("information_schema") && p.accept(".") && p.accept("table_constraints") &&
        p.accept("where") && p.accept("constraint_name"))
        constraints = true;
    else if (!(p.at = 6, p.accept("sys") && p.accept(".") && p.accept("indexes") &&
                             p.accept("where") && p.accept("name")))
        return std::nullopt;
    if (!p.accept("=") || p.done() || p.t[p.at].kind != tds_token_kind::string)
        return std::nullopt;
    const std::string name = p.t[p.at++].text;
    if (!p.done())
        return std::nullopt;
    std::int64_t count = 0;
    for (const auto& t : ctx.database.tables) {
        for (const auto& i : t.indexes)
            if ((!constraints || is_constraint(i)) && tds_same_name(i.name, name))
                ++count;
        if (constraints)
            for (const auto& k : t.foreign_keys)
                if (tds_same_name(k.name, name))
                    ++count;
    }
    tds_result_set r;
    tds_result_column c;
    c.type = tds_parse_type("int", ctx.database.collation);
    c.nullable = true;
    r.columns.push_back(c);
    r.row_count = 1;
    r.row = [count](std::uint64_t, std::vector<tds_value>& row) {
        row.assign(1, tds_value{false, std::to_string(count), {}, {}});
    };
    tds_answer a;
    a.result = std::move(r);
    return a;
}

} // namespace

bool tds_row_in_index(const tds_fixture_table& table, const tds_fixture_index& index,
                      const std::vector<tds_value>& row) {
    for (const auto& c : index.filter_columns)
        if (auto at = column_at(table, c); at && row[*at].null)
            return false;
    return true;
}

std::optional<tds_message> tds_check_index_entries(const tds_fixture_table& table,
                                                   const std::vector<tds_value>& row) {
    for (const auto& index : table.indexes) {
        if (auto e = check_entry(table, index, row))
            return e;
    }
    return std::nullopt;
}

std::optional<tds_answer> tds_answer_ddl(const tds_statement_context& context,
                                         std::span<const tds_token> tokens, std::string_view text) {
    if (auto a = probes(context, tokens))
        return a;
    if (auto a = create_schema(context, tokens))
        return a;
    if (auto a = alter_table(context, tokens))
        return a;
    if (auto a = create_index(context, tokens))
        return a;
    if (auto a = sequences(context, tokens))
        return a;
    return views(context, tokens, text);
}
