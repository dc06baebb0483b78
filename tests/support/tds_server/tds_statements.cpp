// tds_statements: recognises the statements the TDS test server is sent and answers them from
// the fixture databases, as SQL Server would (result sets, row counts, server errors).
#include "tests/support/tds_server/tds_statements.h"

#include "tests/support/tds_server/tds_catalogue.h"
#include "tests/support/tds_server/tds_schema_rowsets.h"
#include "tests/support/tds_server/tds_tokens.h"
#include "tests/support/tds_server/tds_ddl.h"
#include "tests/support/tds_server/tds_writes.h"
#include "tests/support/tds_server/tds_wire.h"

#include <cctype>
#include <memory>
#include <span>
#include <stdexcept>

tds_message tds_reply::message(std::int32_t number, std::uint8_t severity, std::uint8_t state,
                               std::string text) {
    tds_message m;
    m.number = number;
    m.severity = severity;
    m.state = state;
    m.text = std::move(text);
    return m;
}

tds_answer tds_reply::error_answer(tds_message m) {
    tds_answer a;
    a.error = std::move(m);
    return a;
}

namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

using token = tds_token;
using token_kind = tds_token_kind;
using parser = tds_parser;

// SQL Server's names are at most 128 characters; a longer one is refused before anything else.
const token* too_long_identifier(std::span<const token> tokens) {
    constexpr std::size_t longest = 128;
    for (const token& t : tokens)
        if ((t.kind == token_kind::name || t.kind == token_kind::word) &&
            tds_utf16_units(t.text) > longest)
            return &t;
    return nullptr;
}

// SQL Server's limit on the items of a select list.
constexpr std::size_t max_select_items = 4096;

// ---- answers ----

tds_message error(std::int32_t number, std::string text, std::uint8_t severity = 16) {
    tds_message m;
    m.number = number;
    m.severity = severity;
    m.text = std::move(text);
    return m;
}

tds_answer error_answer(std::int32_t number, std::string text, std::uint8_t severity = 16) {
    tds_answer a;
    a.error = error(number, std::move(text), severity);
    return a;
}

tds_result_column column(std::string name, const char* type, bool nullable = true) {
    return {
        std::move(name), tds_parse_type(type, tds_default_collation()), nullable, false, false, {}};
}

tds_answer single_value(tds_result_column col, tds_value value) {
    tds_answer a;
    tds_result_set r;
    r.columns.push_back(std::move(col));
    r.row_count = 1;
    r.row = [value = std::move(value)](std::uint64_t, std::vector<tds_value>& row) {
        row.assign(1, value);
    };
    a.result = std::move(r);
    return a;
}

struct resolved {
    const tds_fixture_database* database = nullptr;
    const tds_fixture_table* table = nullptr;
    const tds_fixture_view* view = nullptr;
};

bool system_object(const std::vector<std::string>& parts) {
    for (const auto& part : parts)
        if (tds_same_name(part, "sys") || tds_same_name(part, "INFORMATION_SCHEMA") ||
            tds_same_name(part, "master") || tds_same_name(part, "msdb"))
            return true;
    return false;
}

resolved resolve(const tds_statement_context& ctx, const std::vector<std::string>& parts) {
    resolved r;
    std::string schema = "dbo", object = parts.back();
    r.database = &ctx.database;
    if (parts.size() >= 2 && !parts[parts.size() - 2].empty())
        schema = parts[parts.size() - 2];
    if (parts.size() >= 3 && !parts[parts.size() - 3].empty())
        r.database = ctx.catalogue.find(parts[parts.size() - 3]);
    if (parts.size() == 4 && !parts[0].empty())
        r.database = nullptr; // linked servers do not exist here
    if (!r.database)
        return r;
    r.table = r.database->find_table(schema, object);
    if (!r.table)
        r.view = r.database->find_view(schema, object);
    return r;
}

tds_answer invalid_object(const std::string& written) {
    return error_answer(208, "Invalid object name '" + written + "'.");
}

// SELECT * | item, ... FROM object, where an item is col, [col] or
// [col].STAsText() as [alias] (the text form of a geometry or geography column).
std::optional<tds_answer> select_from_table(const tds_statement_context& ctx,
                                            std::span<const token> tokens) {
    struct item {
        std::string column;
        bool as_text = false;
        std::string alias;
    };
    parser p{tokens};
    if (!p.accept("select"))
        return std::nullopt;
    bool star = false;
    std::vector<item> wanted;
    if (p.accept("*")) {
        star = true;
    } else {
        do {
            if (!p.identifier())
                return std::nullopt;
            item it;
            it.column = p.t[p.at++].text;
            it.alias = it.column;
            if (p.accept(".")) {
                if (!(p.accept("stastext") && p.accept("(") && p.accept(")")))
                    return std::nullopt;
                it.as_text = true;
            }
            if (p.accept("as")) {
                if (!p.identifier())
                    return std::nullopt;
                it.alias = p.t[p.at++].text;
            }
            wanted.push_back(std::move(it));
        } while (p.accept(","));
        if (wanted.size() > max_select_items)
            return error_answer(1056,
                                "The number of elements in the select list exceeds the maximum "
                                "allowed number of 4096 elements.",
                                15);
    }
    if (!p.accept("from"))
        return std::nullopt;
    std::vector<std::string> parts;
    std::string written;
    if (!p.object_name(parts, written))
        return std::nullopt;
    if (!p.done() || system_object(parts))
        return std::nullopt;
    resolved r = resolve(ctx, parts);
    if (r.view)
        return error_answer(50000, "The TDS test server holds no rows for view '" + written + "'.");
    if (!r.table)
        return invalid_object(written);
    const tds_fixture_table& table = *r.table;
    if (star) {
        for (const auto& c : table.columns)
            wanted.push_back({c.name, false, c.name});
    }
    std::vector<std::size_t> picks;
    std::vector<bool> as_text;
    tds_result_set rs;
    for (const auto& it : wanted) {
        std::size_t i = 0;
        while (i < table.columns.size() && !tds_same_name(table.columns[i].name, it.column))
            ++i;
        if (i == table.columns.size())
            return error_answer(207, "Invalid column name '" + it.column + "'.");
        const auto& c = table.columns[i];
        if (it.as_text && c.type.kind != tds_type_kind::geometry &&
            c.type.kind != tds_type_kind::geography)
            return error_answer(258, "Cannot call methods on " + c.type.base_name() + ".");
        picks.push_back(i);
        as_text.push_back(it.as_text);
        if (it.as_text)
            rs.columns.push_back({it.alias,
                                  tds_parse_type("nvarchar(max)", tds_default_collation()), true,
                                  false, false, table.name});
        else
            rs.columns.push_back({it.alias, c.type, c.nullable, c.identity,
                                  !c.computed_definition.empty(), table.name});
    }
    rs.row_count = table.row_count();
    if (star) {
        rs.row = [&table](std::uint64_t index, std::vector<tds_value>& row) {
            if (index >= table.row_count())
                throw std::invalid_argument("rows were deleted while the table was read");
            table.row(index, row);
        };
    } else {
        auto full = std::make_shared<std::vector<tds_value>>();
        rs.row = [&table, picks, as_text, full](std::uint64_t index, std::vector<tds_value>& row) {
            if (index >= table.row_count())
                throw std::invalid_argument("rows were deleted while the table was read");
            table.row(index, *full);
            row.resize(picks.size());
            for (std::size_t k = 0; k < picks.size(); ++k) {
                const tds_value& v = (*full)[picks[k]];
                if (!as_text[k]) {
                    row[k] = v;
                    continue;
                }
                if (!v.null && v.wkt.empty())
                    throw std::invalid_argument("no well-known text for column " +
                                                table.columns[picks[k]].name);
                row[k] = {v.null, v.wkt, {}, {}};
            }
        };
    }
    tds_answer a;
    a.result = std::move(rs);
    return a;
}

std::optional<tds_answer> answer_tokens(const tds_statement_context& ctx,
                                        std::span<const token> tokens);

// Whether a query has an ORDER BY of its own (outside parentheses) without TOP, OFFSET or
// FOR XML: SQL Server refuses such a query inside a derived table.
bool ordered_without_limit(std::span<const token> query) {
    bool ordered = false, limited = false;
    int depth = 0;
    for (std::size_t i = 0; i < query.size(); ++i) {
        const token& t = query[i];
        if (t.is("("))
            ++depth;
        else if (t.is(")"))
            --depth;
        if (depth != 0)
            continue;
        const bool next_is_by = i + 1 < query.size() && query[i + 1].is("by");
        const bool next_is_xml = i + 1 < query.size() && query[i + 1].is("xml");
        ordered |= t.is("order") && next_is_by;
        limited |= t.is("top") || t.is("offset") || (t.is("for") && next_is_xml);
    }
    return ordered && !limited;
}

tds_answer order_by_in_derived_table() {
    tds_answer a = error_answer(1033,
                                "The ORDER BY clause is invalid in views, inline functions, "
                                "derived tables, subqueries, and common table expressions, "
                                "unless TOP, OFFSET or FOR XML is also specified.",
                                15);
    a.error->state = 1;
    return a;
}

// SQL Server's limit on nested subqueries; deeper nesting gets its error 191.
constexpr std::size_t max_nesting = 32;

// The query inside "SELECT COUNT_BIG(*) FROM (query) [as] alias", found from both ends so that
// peeling one level costs the same at any depth; nullopt for any other statement.
std::optional<std::span<const token>> counted_subquery(std::span<const token> tokens) {
    parser p{tokens};
    if (!(p.accept("select") && p.accept("count_big") && p.accept("(") && p.accept("*") &&
          p.accept(")") && p.accept("from") && p.accept("(")))
        return std::nullopt;
    std::size_t end = tokens.size();
    if (end <= p.at || !parser{tokens, end - 1}.identifier())
        return std::nullopt;
    --end;
    if (end > p.at && tokens[end - 1].is("as"))
        --end;
    if (end <= p.at || !tokens[end - 1].is(")"))
        return std::nullopt;
    return tokens.subspan(p.at, end - 1 - p.at);
}

// Whether the parentheses of a token run pair up without closing more than they open.
bool balanced(std::span<const token> tokens) {
    std::size_t depth = 0;
    for (const token& t : tokens) {
        if (t.is("("))
            ++depth;
        else if (t.is(")") && depth-- == 0)
            return false;
    }
    return depth == 0;
}

// SELECT COUNT_BIG(*) FROM object | FROM (query) [as] alias, nested to any depth up to SQL
// Server's limit. The levels are peeled in a loop; only the innermost query is answered.
std::optional<tds_answer> count_big(const tds_statement_context& ctx,
                                    std::span<const token> tokens) {
    std::span<const token> inner = tokens;
    std::size_t levels = 0;
    while (auto sub = counted_subquery(inner)) {
        if (++levels > max_nesting)
            return error_answer(191,
                                "Some part of your SQL statement is nested too deeply. Rewrite "
                                "the query or break it up into smaller queries.",
                                15);
        if (!balanced(*sub))
            return std::nullopt;
        inner = *sub;
    }
    std::uint64_t count = 0;
    if (levels > 0) {
        if (ordered_without_limit(inner))
            return order_by_in_derived_table();
        std::optional<tds_answer> a = answer_tokens(ctx, inner);
        if (!a)
            return std::nullopt;
        if (a->error || !a->result)
            return a;
        // A count of a count is one row.
        count = levels == 1 ? a->result->row_count : 1;
    } else {
        parser p{tokens};
        if (!(p.accept("select") && p.accept("count_big") && p.accept("(") && p.accept("*") &&
              p.accept(")") && p.accept("from")))
            return std::nullopt;
        std::vector<std::string> parts;
        std::string written;
        if (!p.object_name(parts, written) || !p.done() || system_object(parts))
            return std::nullopt;
        resolved r = resolve(ctx, parts);
        if (!r.table)
            return invalid_object(written);
        count = r.table->row_count();
    }
    return single_value(column("", "bigint"), {false, std::to_string(count), {}, {}});
}

std::optional<tds_answer> version(const tds_statement_context& ctx, std::span<const token> tokens) {
    parser p{tokens};
    if (!(p.accept("select") && p.accept("@@version") && p.done()))
        return std::nullopt;
    std::string text = ctx.database.version.empty() ? ctx.catalogue.version : ctx.database.version;
    return single_value(column("", "nvarchar(300)"), {false, text, {}, {}});
}

// "SET FMTONLY ON <query> SET FMTONLY OFF", as a bulk copy asks for a table's columns: the
// query's columns without its rows.
std::optional<tds_answer> format_only(const tds_statement_context& ctx,
                                      std::span<const token> tokens) {
    parser p{tokens};
    if (!(p.accept("set") && p.accept("fmtonly")))
        return std::nullopt;
    const bool on = p.accept("on");
    if (!on && !p.accept("off"))
        return std::nullopt;
    if (ctx.session)
        ctx.session->format_only = on;
    std::span<const token> query = tokens.subspan(p.at);
    if (!on || query.empty())
        return tds_answer{};
    const bool off_after = query.size() >= 3 && query[query.size() - 3].is("set") &&
                           query[query.size() - 2].is("fmtonly") && query.back().is("off");
    if (off_after)
        query = query.first(query.size() - 3);
    std::optional<tds_answer> a = query.empty() ? tds_answer{} : answer_tokens(ctx, query);
    // An error ends the batch before its SET FMTONLY OFF: the setting stays on.
    if (ctx.session && off_after && !(a && a->error))
        ctx.session->format_only = false;
    if (a && a->result)
        a->result->row_count = 0;
    return a;
}

std::optional<tds_answer> set_option(const tds_statement_context&, std::span<const token> tokens) {
    parser p{tokens};
    if (!p.accept("set"))
        return std::nullopt;
    return tds_answer{};
}

std::optional<tds_answer> use_database(const tds_statement_context& ctx,
                                       std::span<const token> tokens) {
    parser p{tokens};
    if (!p.accept("use") || !p.identifier())
        return std::nullopt;
    std::string name = p.t[p.at++].text;
    if (!p.done())
        return std::nullopt;
    const tds_fixture_database* db = ctx.catalogue.find(name);
    if (!db)
        return error_answer(911, "Database '" + name +
                                     "' does not exist. Make sure that the name is entered "
                                     "correctly.");
    tds_answer a;
    a.new_database = db->name;
    a.infos.push_back(error(5701, "Changed database context to '" + db->name + "'.", 0));
    return a;
}

// The error for a statement nothing here recognises: SQL Server's own where the statement names
// something that does not exist, otherwise an error that says the test server cannot answer it
// (rather than a wrong answer).
tds_answer unknown_statement(const tds_statement_context& ctx, std::span<const token> tokens,
                             std::string_view text) {
    if (tokens.empty())
        return tds_answer{};
    tds_answer cannot = error_answer(50000, "The TDS test server cannot answer this statement: " +
                                                std::string(text));
    parser p{tokens};
    bool exec = p.accept("exec") || p.accept("execute");
    if (exec || (tokens[0].kind == token_kind::word &&
                 (tokens[0].text.rfind("sp_", 0) == 0 || tokens[0].text.rfind("xp_", 0) == 0))) {
        std::vector<std::string> parts;
        std::string written;
        if (p.object_name(parts, written))
            return error_answer(2812, "Could not find stored procedure '" + written + "'.");
    }
    bool names_objects = false;
    for (std::size_t i = 0; i + 1 < tokens.size(); ++i) {
        if (!tokens[i].is("from") && !tokens[i].is("join") && !tokens[i].is("into") &&
            !tokens[i].is("update"))
            continue;
        parser q{tokens, i + 1};
        std::vector<std::string> parts;
        std::string written;
        if (!q.object_name(parts, written))
            continue;
        names_objects = true;
        if (system_object(parts))
            continue;
        resolved r = resolve(ctx, parts);
        if (!r.table && !r.view)
            return invalid_object(written);
    }
    if (names_objects)
        return cannot;
    return error_answer(102, "Incorrect syntax near '" + tokens.back().text + "'.", 15);
}

using token_handler = std::optional<tds_answer> (*)(const tds_statement_context&,
                                                    std::span<const token>);

constexpr token_handler handlers[] = {version,     count_big,  select_from_table,
                                      format_only, set_option, use_database};

std::optional<tds_answer> answer_tokens(const tds_statement_context& ctx,
                                        std::span<const token> tokens) {
    for (token_handler h : handlers)
        if (auto a = h(ctx, tokens))
            return a;
    return std::nullopt;
}

std::optional<tds_answer> canned(const tds_statement_context& ctx, std::string_view statement) {
    std::string wanted = lower(tds_normalise(statement));
    for (const auto& ans : ctx.database.answers) {
        if (lower(tds_normalise(ans.statement)) != wanted)
            continue;
        tds_answer a;
        tds_result_set rs;
        rs.columns = ans.columns;
        rs.row_count = ans.rows.size();
        rs.row = [&ans](std::uint64_t index, std::vector<tds_value>& row) {
            row = ans.rows[index];
        };
        a.result = std::move(rs);
        return a;
    }
    return std::nullopt;
}

// Whether a "/*" outside literals and names opens a comment that never ends: tds_split_batch
// takes out every closed comment and leaves an unclosed one in its statement.
bool holds_open_comment(std::string_view statement) {
    char close = 0;
    for (std::size_t i = 0; i < statement.size(); ++i) {
        const char c = statement[i];
        if (close != 0) {
            if (c == close && i + 1 < statement.size() && statement[i + 1] == close)
                ++i; // a doubled closing character stays inside
            else if (c == close)
                close = 0;
        } else if (c == '\'' || c == '"') {
            close = c;
        } else if (c == '[') {
            close = ']';
        } else if (c == '/' && i + 1 < statement.size() && statement[i + 1] == '*') {
            return true;
        }
    }
    return false;
}

} // namespace

const tds_fixture_database* tds_catalogue::find(std::string_view database) const {
    for (const auto& db : databases)
        if (tds_same_name(db.name, database))
            return &db;
    return nullptr;
}

tds_fixture_database* tds_catalogue::find(std::string_view database) {
    for (auto& db : databases)
        if (tds_same_name(db.name, database))
            return &db;
    return nullptr;
}

tds_answer tds_answer_statement(const tds_statement_context& context, std::string_view statement) {
    // Bulk rows must follow their INSERT BULK at once; any other statement abandons it.
    if (context.session)
        context.session->bulk.reset();
    if (auto a = canned(context, statement))
        return *a;
    if (auto a = tds_answer_catalogue(context, statement))
        return *a;
    if (auto a = tds_answer_schema_rowset(context, statement))
        return *a;
    if (holds_open_comment(statement))
        return error_answer(113, "Missing end comment mark '*/'.", 15);
    std::vector<token> tokens;
    const bool quoted_identifier = !context.session || context.session->quoted_identifier;
    if (!tds_tokenise(statement, tokens, quoted_identifier))
        return error_answer(105,
                            "Unclosed quotation mark after the character string '" +
                                std::string(statement) + "'.",
                            15);
    if (const token* name = too_long_identifier(tokens))
        return error_answer(103,
                            "The identifier that starts with '" + name->text.substr(0, 128) +
                                "' is too long. Maximum length is 128.",
                            15);
    for (const token& t : tokens)
        if (t.kind == token_kind::name && t.text.empty())
            return error_answer(1038,
                                "An object or column name is missing or empty. For SELECT INTO "
                                "statements, verify each column has a name. For other "
                                "statements, look for empty alias names. Aliases defined as \"\" "
                                "or [] are not allowed. Change the alias to a valid name.",
                                15);
    if (context.session && context.session->format_only && !tokens.empty() &&
        !tokens[0].is("set")) {
        if (!tokens[0].is("select"))
            return tds_answer{};
        std::optional<tds_answer> a = answer_tokens(context, tokens);
        if (a && a->result)
            a->result->row_count = 0;
        return a ? *a : unknown_statement(context, tokens, statement);
    }
    if (auto a = tds_answer_write(context, tokens, statement))
        return *a;
    if (auto a = tds_answer_ddl(context, tokens, statement))
        return *a;
    if (auto a = answer_tokens(context, tokens))
        return *a;
    return unknown_statement(context, tokens, statement);
}

namespace {

// The catalogue's shape without its rows: what a batch is compiled against. Tables are empty (and
// writable), so making it costs the size of the definitions, not of the data.
tds_catalogue shape_of(const tds_catalogue& catalogue) {
    tds_catalogue out;
    out.version = catalogue.version;
    out.databases.reserve(catalogue.databases.size());
    for (const tds_fixture_database& db : catalogue.databases) {
        tds_fixture_database& copy = out.databases.emplace_back();
        copy.name = db.name;
        copy.collation = db.collation;
        copy.schemas = db.schemas;
        copy.views = db.views;
        copy.sequences = db.sequences;
        copy.answers = db.answers;
        copy.logins = db.logins;
        copy.version = db.version;
        for (const tds_fixture_table& t : db.tables) {
            tds_fixture_table& table = copy.tables.emplace_back();
            table.schema = t.schema;
            table.name = t.name;
            table.columns = t.columns;
            table.indexes = t.indexes;
            table.foreign_keys = t.foreign_keys;
        }
    }
    return out;
}

// The errors SQL Server's parser raises, so that the batch gets no execution plan.
bool compile_error(const tds_message& m) {
    return m.number == 102 || m.number == 103 || m.number == 105 || m.number == 113 ||
           m.number == 156;
}

} // namespace

std::optional<tds_message> tds_compile_batch(const tds_catalogue& catalogue,
                                             const tds_fixture_database& database,
                                             const tds_session_state& session,
                                             const std::vector<std::string>& statements) {
    // The statements run against a row-less copy of the model, each regardless of how the one
    // before it ended: a statement that fails at run time does not hide a syntax error after it.
    tds_catalogue shape = shape_of(catalogue);
    tds_fixture_database* current = shape.find(database.name);
    tds_session_state state;
    state.quoted_identifier = session.quoted_identifier;
    for (const std::string& statement : statements) {
        tds_answer a = tds_answer_statement({shape, *current, &state}, statement);
        if (a.error && compile_error(*a.error))
            return a.error;
        if (!a.error && !a.new_database.empty())
            current = shape.find(a.new_database);
    }
    return std::nullopt;
}

std::vector<std::string> tds_split_batch(std::string_view batch) {
    std::vector<std::string> out;
    std::string current;
    auto finish = [&] {
        std::string s = tds_normalise(current);
        if (!s.empty())
            out.push_back(current);
        current.clear();
    };
    for (std::size_t i = 0; i < batch.size(); ++i) {
        char c = batch[i];
        if (c == '\'' || c == '[' || c == '"') {
            char close = c == '[' ? ']' : c;
            std::size_t end = i + 1;
            while (end < batch.size()) {
                if (batch[end] == close) {
                    if (end + 1 < batch.size() && batch[end + 1] == close) {
                        end += 2;
                        continue;
                    }
                    break;
                }
                ++end;
            }
            end = std::min(end, batch.size() - 1);
            current.append(batch.substr(i, end - i + 1));
            i = end;
            continue;
        }
        if (c == '-' && i + 1 < batch.size() && batch[i + 1] == '-') {
            while (i < batch.size() && batch[i] != '\n')
                ++i;
            current.push_back(' ');
            continue;
        }
        if (c == '/' && i + 1 < batch.size() && batch[i + 1] == '*') {
            // Block comments nest, as SQL Server reads them; quotes inside one mean nothing.
            std::size_t end = i;
            std::size_t depth = 0;
            while (end + 1 < batch.size()) {
                if (batch[end] == '/' && batch[end + 1] == '*') {
                    ++depth;
                    end += 2;
                } else if (batch[end] == '*' && batch[end + 1] == '/') {
                    end += 2;
                    if (--depth == 0)
                        break;
                } else {
                    ++end;
                }
            }
            if (depth != 0) {
                // Left in the statement, whose answer is then the missing end mark's error.
                current.append(batch.substr(i));
                break;
            }
            current.push_back(' ');
            i = end - 1;
            continue;
        }
        if (c == ';') {
            finish();
            continue;
        }
        current.push_back(c);
    }
    finish();
    return out;
}

std::string tds_normalise(std::string_view statement) {
    std::string out;
    bool space = false;
    char quote = 0;
    for (char c : statement) {
        if (quote) {
            out.push_back(c);
            if (c == quote)
                quote = 0;
            continue;
        }
        if (std::isspace(static_cast<unsigned char>(c))) {
            space = !out.empty();
            continue;
        }
        if (space)
            out.push_back(' ');
        space = false;
        if (c == '\'' || c == '"')
            quote = c;
        else if (c == '[')
            quote = ']';
        out.push_back(c);
    }
    while (!out.empty() && out.back() == ';')
        out.pop_back();
    return out;
}

bool tds_contains(std::string_view haystack, std::string_view needle) {
    return lower(haystack).find(lower(needle)) != std::string::npos;
}
