// tds_schema_rowsets: the provider's schema-rowset queries answered from the fixture model.
#include "tests/support/tds_server/tds_schema_rowsets.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

struct column_spec {
    const char* name;
    const char* type;
};

struct rowset_spec {
    const char* name;
    std::vector<column_spec> columns;
};

const std::vector<rowset_spec>& specs() {
    static const std::vector<rowset_spec> all = {
        {"TABLES",
         {{"TABLE_CATALOG", "nvarchar(128)"},
          {"TABLE_SCHEMA", "nvarchar(128)"},
          {"TABLE_NAME", "nvarchar(128)"},
          {"TABLE_TYPE", "nvarchar(20)"},
          {"TABLE_GUID", "uniqueidentifier"},
          {"DESCRIPTION", "nvarchar(1)"},
          {"TABLE_PROPID", "int"},
          {"DATE_CREATED", "datetime"},
          {"DATE_MODIFIED", "datetime"}}},
        {"PRIMARY_KEYS",
         {{"TABLE_CATALOG", "nvarchar(128)"},
          {"TABLE_SCHEMA", "nvarchar(128)"},
          {"TABLE_NAME", "nvarchar(128)"},
          {"COLUMN_NAME", "nvarchar(128)"},
          {"COLUMN_GUID", "uniqueidentifier"},
          {"COLUMN_PROPID", "int"},
          {"ORDINAL", "int"},
          {"PK_NAME", "nvarchar(128)"}}},
        {"INDEXES",
         {{"TABLE_CATALOG", "nvarchar(128)"},
          {"TABLE_SCHEMA", "nvarchar(128)"},
          {"TABLE_NAME", "nvarchar(128)"},
          {"INDEX_CATALOG", "nvarchar(128)"},
          {"INDEX_SCHEMA", "nvarchar(128)"},
          {"INDEX_NAME", "nvarchar(128)"},
          {"PRIMARY_KEY", "bit"},
          {"UNIQUE", "bit"},
          {"CLUSTERED", "bit"},
          {"TYPE", "smallint"},
          {"FILL_FACTOR", "int"},
          {"INITIAL_SIZE", "int"},
          {"NULLS", "int"},
          {"SORT_BOOKMARKS", "bit"},
          {"AUTO_UPDATE", "bit"},
          {"NULL_COLLATION", "int"},
          {"ORDINAL_POSITION", "int"},
          {"COLUMN_NAME", "nvarchar(128)"},
          {"COLUMN_GUID", "uniqueidentifier"},
          {"COLUMN_PROPID", "int"},
          {"COLLATION", "smallint"},
          {"CARDINALITY", "bigint"},
          {"PAGES", "int"},
          {"FILTER_CONDITION", "nvarchar(4000)"},
          {"INTEGRATED", "bit"}}},
        {"FOREIGN_KEYS",
         {{"PK_TABLE_CATALOG", "nvarchar(128)"},
          {"PK_TABLE_SCHEMA", "nvarchar(128)"},
          {"PK_TABLE_NAME", "nvarchar(128)"},
          {"PK_COLUMN_NAME", "nvarchar(128)"},
          {"PK_COLUMN_GUID", "uniqueidentifier"},
          {"PK_COLUMN_PROPID", "int"},
          {"FK_TABLE_CATALOG", "nvarchar(128)"},
          {"FK_TABLE_SCHEMA", "nvarchar(128)"},
          {"FK_TABLE_NAME", "nvarchar(128)"},
          {"FK_COLUMN_NAME", "nvarchar(128)"},
          {"FK_COLUMN_GUID", "uniqueidentifier"},
          {"FK_COLUMN_PROPID", "int"},
          {"ORDINAL", "int"},
          {"UPDATE_RULE", "nvarchar(20)"},
          {"DELETE_RULE", "nvarchar(20)"},
          {"PK_NAME", "nvarchar(128)"},
          {"FK_NAME", "nvarchar(128)"},
          {"DEFERRABILITY", "smallint"}}},
    };
    return all;
}

using row = std::vector<tds_value>;

tds_value text(std::string s) {
    tds_value v;
    v.data = std::move(s);
    return v;
}
tds_value number(long long n) {
    return text(std::to_string(n));
}
tds_value flag(bool b) {
    return text(b ? "1" : "0");
}
tds_value null() {
    tds_value v;
    v.null = true;
    return v;
}

// Objects of the fixture have no history; one date stands for their creation.
const char fixture_date[] = "2024-01-01 00:00:00.000";

std::string rule(std::string action) {
    std::replace(action.begin(), action.end(), '_', ' ');
    return action;
}

const tds_fixture_index* primary_key(const tds_fixture_table& t) {
    for (const auto& i : t.indexes)
        if (i.primary_key)
            return &i;
    return nullptr;
}

// The unique index a foreign key refers to: the primary key or a unique index on its columns.
std::string referenced_key(const tds_fixture_database& db, const tds_fixture_foreign_key& fk) {
    const tds_fixture_table* t = db.find_table(fk.referenced_schema, fk.referenced_table);
    if (!t)
        return {};
    for (const auto& i : t->indexes) {
        if (!(i.primary_key || i.unique) || i.columns.size() != fk.referenced_columns.size())
            continue;
        bool same = true;
        for (std::size_t k = 0; k < i.columns.size(); ++k)
            same = same && tds_same_name(i.columns[k], fk.referenced_columns[k]);
        if (same)
            return i.name;
    }
    return {};
}

std::vector<row> build(const std::string& kind, const tds_fixture_database& db) {
    std::vector<row> rows;
    if (kind == "TABLES") {
        for (const auto& t : db.tables)
            rows.push_back({text(db.name), text(t.schema), text(t.name), text("TABLE"), null(),
                            null(), null(), text(fixture_date), text(fixture_date)});
        for (const auto& v : db.views)
            rows.push_back({text(db.name), text(v.schema), text(v.name), text("VIEW"), null(),
                            null(), null(), text(fixture_date), text(fixture_date)});
    } else if (kind == "PRIMARY_KEYS") {
        for (const auto& t : db.tables) {
            const tds_fixture_index* pk = primary_key(t);
            if (!pk)
                continue;
            for (std::size_t k = 0; k < pk->columns.size(); ++k)
                rows.push_back({text(db.name), text(t.schema), text(t.name), text(pk->columns[k]),
                                null(), null(), number(static_cast<long long>(k + 1)),
                                text(pk->name)});
        }
    } else if (kind == "INDEXES") {
        for (const auto& t : db.tables) {
            for (const auto& i : t.indexes) {
                // The primary key is the clustered index of a fixture table.
                const bool clustered = i.primary_key;
                for (std::size_t k = 0; k < i.columns.size(); ++k) {
                    const bool descending = k < i.descending.size() && i.descending[k];
                    rows.push_back({text(db.name),
                                    text(t.schema),
                                    text(t.name),
                                    text(db.name),
                                    text(t.schema),
                                    text(i.name),
                                    flag(i.primary_key),
                                    flag(i.primary_key || i.unique),
                                    flag(clustered),
                                    number(1),
                                    number(0),
                                    null(),
                                    null(),
                                    flag(false),
                                    flag(true),
                                    number(4),
                                    number(static_cast<long long>(k + 1)),
                                    text(i.columns[k]),
                                    null(),
                                    null(),
                                    number(descending ? 2 : 1),
                                    null(),
                                    null(),
                                    null(),
                                    flag(clustered)});
                }
            }
        }
    } else if (kind == "FOREIGN_KEYS") {
        for (const auto& t : db.tables) {
            for (const auto& fk : t.foreign_keys) {
                const std::string key = referenced_key(db, fk);
                for (std::size_t k = 0; k < fk.columns.size(); ++k)
                    rows.push_back(
                        {text(db.name), text(fk.referenced_schema), text(fk.referenced_table),
                         text(k < fk.referenced_columns.size() ? fk.referenced_columns[k]
                                                               : std::string()),
                         null(), null(), text(db.name), text(t.schema), text(t.name),
                         text(fk.columns[k]), null(), null(), number(static_cast<long long>(k + 1)),
                         text(rule(fk.update_action)), text(rule(fk.delete_action)),
                         key.empty() ? null() : text(key), text(fk.name), number(3)});
            }
        }
    }
    return rows;
}

bool numeric_type(const char* type) {
    const std::string t = type;
    return t == "int" || t == "smallint" || t == "bigint" || t == "bit";
}

// Compares two values of a column as SQL Server orders them: NULL first, names ignoring case.
int compare(const tds_value& a, const tds_value& b, bool numeric) {
    if (a.null || b.null)
        return a.null == b.null ? 0 : (a.null ? -1 : 1);
    if (numeric) {
        const long long x = std::stoll(a.data), y = std::stoll(b.data);
        return x < y ? -1 : x > y ? 1 : 0;
    }
    for (std::size_t i = 0; i < a.data.size() && i < b.data.size(); ++i) {
        const int x = std::tolower(static_cast<unsigned char>(a.data[i]));
        const int y = std::tolower(static_cast<unsigned char>(b.data[i]));
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.data.size() < b.data.size() ? -1 : a.data.size() > b.data.size() ? 1 : 0;
}

// Where the parenthesis opened just before `start` closes, skipping literals and names.
std::size_t closing(const std::string& s, std::size_t start) {
    int depth = 1;
    for (std::size_t i = start; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '\'' || c == '[') {
            const char close = c == '[' ? ']' : '\'';
            for (++i; i < s.size(); ++i) {
                if (s[i] == close) {
                    if (i + 1 < s.size() && s[i + 1] == close) {
                        ++i;
                        continue;
                    }
                    break;
                }
            }
            continue;
        }
        if (c == '(')
            ++depth;
        else if (c == ')' && --depth == 0)
            return i;
    }
    return std::string::npos;
}

// A forward-only read position over the normalised text of a schema-rowset query. Every step
// reads ahead from `at` and moves past what it accepted (or stays put), so a statement of any
// length costs one pass and no recursion; a new piece of syntax is a new step.
struct text_cursor {
    std::string_view s;
    std::size_t at = 0;

    bool done() const { return at >= s.size(); }
    // The exact text, ignoring case.
    bool accept(std::string_view text) {
        if (s.size() - at < text.size())
            return false;
        for (std::size_t i = 0; i < text.size(); ++i)
            if (std::tolower(static_cast<unsigned char>(s[at + i])) !=
                std::tolower(static_cast<unsigned char>(text[i])))
                return false;
        at += text.size();
        return true;
    }
    // [name] with a name of letters and underscores, the provider's column names.
    bool bracketed_name(std::string& name) {
        std::size_t end = at + 1;
        if (done() || s[at] != '[')
            return false;
        while (end < s.size() &&
               (std::isalpha(static_cast<unsigned char>(s[end])) || s[end] == '_'))
            ++end;
        if (end == at + 1 || end >= s.size() || s[end] != ']')
            return false;
        name.assign(s.substr(at + 1, end - at - 1));
        at = end + 1;
        return true;
    }
    // N'text' with '' standing for a quote; `value` gets the text unquoted.
    bool unicode_literal(std::string& value) {
        if (!accept("N'"))
            return false;
        value.clear();
        for (std::size_t i = at; i < s.size(); ++i) {
            if (s[i] != '\'')
                continue;
            value.append(s.substr(at, i - at));
            if (i + 1 < s.size() && s[i + 1] == '\'') {
                value.push_back('\'');
                at = i + 2;
                i = at - 1;
                continue;
            }
            at = i + 1;
            return true;
        }
        at -= 2;
        return false;
    }
    // An optionally negative run of digits.
    bool integer(std::string& digits) {
        std::size_t end = at + (at < s.size() && s[at] == '-' ? 1 : 0);
        const std::size_t first = end;
        while (end < s.size() && std::isdigit(static_cast<unsigned char>(s[end])))
            ++end;
        if (end == first)
            return false;
        digits.assign(s.substr(at, end - at));
        at = end;
        return true;
    }
};

// The names of the inner query's columns: every "[NAME] = " in it.
std::vector<std::string> column_aliases(std::string_view inner) {
    std::vector<std::string> names;
    text_cursor c{inner};
    std::string name;
    while (!c.done()) {
        const std::size_t from = c.at;
        if (c.bracketed_name(name) && c.accept(" = "))
            names.push_back(name);
        else
            c.at = from + 1;
    }
    return names;
}

// One " AND [COLUMN] = N'value' | number" of the outer WHERE.
struct condition {
    std::string column;
    tds_value value;
};

// " AS r WHERE 1 = 1" [conditions] " ORDER BY " keys; false for any other text.
bool read_frame(std::string_view rest, std::vector<condition>& conditions,
                std::vector<std::pair<std::string, bool>>& order) {
    text_cursor c{rest};
    if (!c.accept(" AS r WHERE 1 = 1"))
        return false;
    while (c.accept(" AND ")) {
        condition k;
        std::string v;
        if (!c.bracketed_name(k.column) || !c.accept(" = "))
            return false;
        if (!c.unicode_literal(v) && !c.integer(v))
            return false;
        k.value = text(std::move(v));
        conditions.push_back(std::move(k));
    }
    if (!c.accept(" ORDER BY "))
        return false;
    do {
        std::string name;
        if (!c.bracketed_name(name))
            return false;
        const bool descending = c.accept(" DESC");
        if (!descending)
            c.accept(" ASC");
        order.emplace_back(std::move(name), descending);
    } while (c.accept(", "));
    return c.done();
}

} // namespace

std::optional<tds_answer> tds_answer_schema_rowset(const tds_statement_context& context,
                                                   std::string_view statement) {
    const std::string s = tds_normalise(statement);
    static const std::string opening = "select * from (select [";
    if (s.size() < opening.size())
        return std::nullopt;
    for (std::size_t i = 0; i < opening.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(s[i])) != opening[i])
            return std::nullopt;
    const std::size_t inner_start = opening.size() - std::string("select [").size();
    const std::size_t inner_end = closing(s, inner_start);
    if (inner_end == std::string::npos)
        return std::nullopt;
    const std::string_view inner = std::string_view(s).substr(inner_start, inner_end - inner_start);

    // The inner query's column list names the schema rowset.
    const std::vector<std::string> names = column_aliases(inner);
    const rowset_spec* spec = nullptr;
    for (const auto& candidate : specs()) {
        if (candidate.columns.size() != names.size())
            continue;
        bool same = true;
        for (std::size_t i = 0; i < names.size(); ++i)
            same = same && tds_same_name(names[i], candidate.columns[i].name);
        if (same)
            spec = &candidate;
    }
    if (!spec)
        return std::nullopt;

    std::vector<condition> conditions;
    std::vector<std::pair<std::string, bool>> order;
    if (!read_frame(std::string_view(s).substr(inner_end + 1), conditions, order))
        return std::nullopt;

    const auto column_of = [&](const std::string& name) -> int {
        for (std::size_t i = 0; i < spec->columns.size(); ++i)
            if (tds_same_name(spec->columns[i].name, name))
                return static_cast<int>(i);
        return -1;
    };

    std::vector<row> rows = build(spec->name, context.database);
    for (const condition& k : conditions) {
        const int c = column_of(k.column);
        if (c < 0)
            return std::nullopt;
        const bool numeric = numeric_type(spec->columns[static_cast<std::size_t>(c)].type);
        std::erase_if(rows, [&](const row& r) {
            const tds_value& v = r[static_cast<std::size_t>(c)];
            return v.null || compare(v, k.value, numeric) != 0;
        });
    }

    struct key {
        int column;
        bool descending;
    };
    std::vector<key> keys;
    for (const auto& [name, descending] : order) {
        const int c = column_of(name);
        if (c < 0)
            return std::nullopt;
        keys.push_back({c, descending});
    }
    std::stable_sort(rows.begin(), rows.end(), [&](const row& a, const row& b) {
        for (const key& k : keys) {
            const auto c = static_cast<std::size_t>(k.column);
            const int r = compare(a[c], b[c], numeric_type(spec->columns[c].type));
            if (r != 0)
                return k.descending ? r > 0 : r < 0;
        }
        return false;
    });

    tds_answer answer;
    tds_result_set result;
    for (const column_spec& c : spec->columns) {
        tds_result_column column;
        column.name = c.name;
        column.type = tds_parse_type(c.type, tds_default_collation());
        result.columns.push_back(std::move(column));
    }
    auto shared = std::make_shared<std::vector<row>>(std::move(rows));
    result.row_count = shared->size();
    result.row = [shared](std::uint64_t index, std::vector<tds_value>& out) {
        out = (*shared)[index];
    };
    answer.result = std::move(result);
    return answer;
}
