// tds_fixture: the fixture database model that the TDS test server answers from, and the reader
// of its fixture files (format: docs/tds-test-server.md).
#include "tests/support/tds_server/tds_fixture.h"

#include <cctype>
#include <charconv>
#include <fstream>
#include <sstream>

#ifndef TDS_SERVER_FIXTURE_DIR
#define TDS_SERVER_FIXTURE_DIR "tests/support/tds_server/fixtures"
#endif

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

[[noreturn]] void bad(const std::string& what) {
    throw std::invalid_argument(what);
}

// A cursor over one line of fixture text.
class cursor {
public:
    explicit cursor(std::string_view text) : s_(text) {}

    void skip_space() {
        while (at_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[at_])))
            ++at_;
    }
    bool done() {
        skip_space();
        return at_ >= s_.size();
    }
    char peek() {
        skip_space();
        return at_ < s_.size() ? s_[at_] : '\0';
    }
    std::string_view rest() {
        skip_space();
        return trim(s_.substr(at_));
    }
    void skip_rest() { at_ = s_.size(); }
    void expect(char c) {
        if (peek() != c)
            bad(std::string("expected '") + c + "' at: " + std::string(rest()));
        ++at_;
    }
    bool accept(char c) {
        if (peek() != c)
            return false;
        ++at_;
        return true;
    }
    // Accepts a keyword (case-insensitive, whole word).
    bool keyword(std::string_view word) {
        skip_space();
        if (at_ + word.size() > s_.size() || lower(s_.substr(at_, word.size())) != word)
            return false;
        std::size_t end = at_ + word.size();
        if (end < s_.size() &&
            (std::isalnum(static_cast<unsigned char>(s_[end])) || s_[end] == '_'))
            return false;
        at_ = end;
        return true;
    }
    // A bare word or a [bracketed] name; dots are not part of it.
    std::string name() {
        skip_space();
        if (accept('[')) {
            std::string out;
            for (;;) {
                if (at_ >= s_.size())
                    bad("unterminated [name]");
                char c = s_[at_++];
                if (c == ']') {
                    if (at_ < s_.size() && s_[at_] == ']') {
                        out.push_back(']');
                        ++at_;
                        continue;
                    }
                    return out;
                }
                out.push_back(c);
            }
        }
        std::size_t start = at_;
        while (at_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[at_])) ||
                                   s_[at_] == '_' || s_[at_] == '@' || s_[at_] == '#' ||
                                   s_[at_] == '$' || static_cast<unsigned char>(s_[at_]) >= 0x80))
            ++at_;
        if (start == at_)
            bad("expected a name at: " + std::string(rest()));
        return std::string(s_.substr(start, at_ - start));
    }
    // schema.name or name (schema dbo).
    void qualified_name(std::string& schema, std::string& object) {
        object = name();
        schema = "dbo";
        if (peek() == '.') {
            ++at_;
            schema = object;
            object = name();
        }
    }
    // "(a, b desc, c)"
    std::vector<std::string> name_list(std::vector<bool>* descending = nullptr) {
        std::vector<std::string> out;
        expect('(');
        do {
            out.push_back(name());
            bool desc = keyword("desc");
            if (!desc)
                keyword("asc");
            if (descending)
                descending->push_back(desc);
        } while (accept(','));
        expect(')');
        return out;
    }
    std::int64_t integer() {
        skip_space();
        std::size_t start = at_;
        if (at_ < s_.size() && (s_[at_] == '-' || s_[at_] == '+'))
            ++at_;
        while (at_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[at_])))
            ++at_;
        std::string_view digits = s_.substr(start, at_ - start);
        if (!digits.empty() && digits.front() == '+')
            digits.remove_prefix(1);
        std::int64_t v = 0;
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
        if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty())
            bad("expected a number at: " + std::string(s_.substr(start)));
        return v;
    }
    // Text up to the matching close parenthesis, the parentheses included: "((0))".
    std::string parenthesised() {
        skip_space();
        if (peek() != '(')
            bad("expected '(' at: " + std::string(rest()));
        std::size_t start = at_;
        int depth = 0;
        bool quoted = false;
        for (; at_ < s_.size(); ++at_) {
            char c = s_[at_];
            if (quoted) {
                if (c == '\'')
                    quoted = false;
                continue;
            }
            if (c == '\'')
                quoted = true;
            else if (c == '(')
                ++depth;
            else if (c == ')' && --depth == 0) {
                ++at_;
                return std::string(s_.substr(start, at_ - start));
            }
        }
        bad("unbalanced parentheses in: " + std::string(s_.substr(start)));
    }
    std::string quoted() {
        expect('\'');
        std::string out;
        for (;;) {
            if (at_ >= s_.size())
                bad("unterminated string literal");
            char c = s_[at_++];
            if (c == '\'') {
                if (at_ < s_.size() && s_[at_] == '\'') {
                    out.push_back('\'');
                    ++at_;
                    continue;
                }
                return out;
            }
            out.push_back(c);
        }
    }
    // One value literal (see the fixture format).
    tds_value value() {
        tds_value v;
        char c = peek();
        if (c == '\'') {
            v.data = quoted();
            return v;
        }
        if ((c == 'N' || c == 'n') && at_ + 1 < s_.size() && s_[at_ + 1] == '\'') {
            ++at_;
            v.data = quoted();
            return v;
        }
        if (keyword("null")) {
            v.null = true;
            return v;
        }
        if (keyword("repeat")) {
            expect('(');
            tds_value part = value();
            expect(',');
            std::int64_t count = integer();
            expect(')');
            if (part.null || count < 0 || count > 64 * 1024 * 1024)
                bad("repeat() needs a value and a count up to 67108864");
            v.data.reserve(part.data.size() * static_cast<std::size_t>(count));
            for (std::int64_t i = 0; i < count; ++i)
                v.data += part.data;
            return v;
        }
        if (keyword("spatial")) {
            expect('(');
            tds_value bytes = value();
            expect(',');
            tds_value wkt = value();
            expect(')');
            if (bytes.null || wkt.null)
                bad("spatial() needs the bytes and the well-known text");
            v.data = bytes.data;
            v.wkt = wkt.data;
            return v;
        }
        if (keyword("variant")) {
            expect('(');
            std::size_t start = at_;
            int depth = 0;
            while (at_ < s_.size() && !(depth == 0 && s_[at_] == ',')) {
                depth += s_[at_] == '(' ? 1 : s_[at_] == ')' ? -1 : 0;
                ++at_;
            }
            v.variant_type = std::string(trim(s_.substr(start, at_ - start)));
            expect(',');
            tds_value inner = value();
            expect(')');
            v.data = inner.data;
            v.null = inner.null;
            return v;
        }
        if (c == '0' && at_ + 1 < s_.size() && (s_[at_ + 1] == 'x' || s_[at_ + 1] == 'X')) {
            at_ += 2;
            std::size_t start = at_;
            while (at_ < s_.size() && std::isxdigit(static_cast<unsigned char>(s_[at_])))
                ++at_;
            std::string_view hex = s_.substr(start, at_ - start);
            if (hex.size() % 2 != 0)
                bad("odd number of hex digits in 0x" + std::string(hex));
            for (std::size_t i = 0; i < hex.size(); i += 2) {
                unsigned b = 0;
                std::from_chars(hex.data() + i, hex.data() + i + 2, b, 16);
                v.data.push_back(static_cast<char>(b));
            }
            return v;
        }
        // A bare literal: a number, a date, a {n} placeholder, true or false.
        std::size_t start = at_;
        while (at_ < s_.size() && s_[at_] != ',' && s_[at_] != ')')
            ++at_;
        v.data = std::string(trim(s_.substr(start, at_ - start)));
        if (v.data.empty())
            bad("expected a value at: " + std::string(s_.substr(start)));
        return v;
    }
    std::vector<tds_value> value_list() {
        std::vector<tds_value> out;
        if (done())
            return out;
        do {
            out.push_back(value());
        } while (accept(','));
        if (!done())
            bad("unexpected text after the values: " + std::string(rest()));
        return out;
    }

private:
    std::string_view s_;
    std::size_t at_ = 0;
};

// The column clause: name type [collate x] [null | not null] [identity(seed, step)]
// [default (...)] [computed (...)].
tds_fixture_column parse_column(cursor& c, const tds_collation& collation) {
    tds_fixture_column col;
    col.name = c.name();
    std::string rest(c.rest());
    c.skip_rest();
    // The type runs up to the first clause keyword outside parentheses.
    static const char* clauses[] = {" not null", " null", " identity", " default", " computed"};
    std::string low = " " + lower(rest);
    std::size_t end = low.size();
    int depth = 0;
    for (std::size_t i = 0; i < low.size(); ++i) {
        depth += low[i] == '(' ? 1 : low[i] == ')' ? -1 : 0;
        if (depth != 0)
            continue;
        for (const char* k : clauses) {
            std::string_view key(k);
            if (low.compare(i, key.size(), key) == 0 &&
                (i + key.size() == low.size() ||
                 !std::isalnum(static_cast<unsigned char>(low[i + key.size()])))) {
                end = i;
                break;
            }
        }
        if (end != low.size())
            break;
    }
    std::string type_text = rest.substr(0, end == 0 ? 0 : end - 1);
    col.type = tds_parse_type(type_text, collation);
    cursor tail(std::string_view(rest).substr(type_text.size()));
    while (!tail.done()) {
        if (tail.keyword("not")) {
            if (!tail.keyword("null"))
                bad("expected NULL after NOT");
            col.nullable = false;
        } else if (tail.keyword("null")) {
            col.nullable = true;
        } else if (tail.keyword("identity")) {
            col.identity = true;
            col.nullable = false;
            if (tail.accept('(')) {
                col.identity_seed = tail.integer();
                tail.expect(',');
                col.identity_increment = tail.integer();
                tail.expect(')');
            }
        } else if (tail.keyword("default")) {
            col.default_definition = tail.parenthesised();
        } else if (tail.keyword("computed")) {
            col.computed_definition = tail.parenthesised();
        } else {
            bad("unknown column clause: " + std::string(tail.rest()));
        }
    }
    if (col.type.kind == tds_type_kind::rowversion)
        col.nullable = false;
    return col;
}

std::string action(cursor& c) {
    if (c.keyword("cascade"))
        return "CASCADE";
    if (c.keyword("no")) {
        if (!c.keyword("action"))
            bad("expected NO ACTION");
        return "NO_ACTION";
    }
    if (c.keyword("set")) {
        if (c.keyword("null"))
            return "SET_NULL";
        if (c.keyword("default"))
            return "SET_DEFAULT";
    }
    bad("expected CASCADE, NO ACTION, SET NULL or SET DEFAULT at: " + std::string(c.rest()));
}

void check_row(const tds_fixture_table& t, const std::vector<tds_value>& row) {
    if (row.size() != t.columns.size())
        bad("row has " + std::to_string(row.size()) + " values for " +
            std::to_string(t.columns.size()) + " columns");
    std::string scratch;
    for (std::size_t i = 0; i < row.size(); ++i) {
        const auto& col = t.columns[i];
        if (row[i].null && !col.nullable)
            bad("NULL in NOT NULL column " + col.name);
        if (!row[i].variant_type.empty() && col.type.kind != tds_type_kind::sql_variant)
            bad("variant() value in column " + col.name + " of type " + col.type.sql_name());
        if (!row[i].wkt.empty() && col.type.kind != tds_type_kind::geometry &&
            col.type.kind != tds_type_kind::geography)
            bad("spatial() value in column " + col.name + " of type " + col.type.sql_name());
        try {
            scratch.clear();
            tds_append_value(scratch, col.type, row[i]);
        } catch (const std::invalid_argument& e) {
            bad("column " + col.name + ": " + e.what());
        }
    }
}

void substitute(std::string& data, const std::string& number) {
    for (std::size_t at = data.find("{n}"); at != std::string::npos;
         at = data.find("{n}", at + number.size()))
        data.replace(at, 3, number);
}

} // namespace

bool tds_same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::vector<std::string> tds_split_name(std::string_view name) {
    cursor c(name);
    std::vector<std::string> parts;
    parts.push_back(c.name());
    while (c.accept('.'))
        parts.push_back(c.name());
    if (!c.done() || parts.size() > 4)
        bad("malformed object name '" + std::string(name) + "'");
    return parts;
}

void tds_fixture_table::row(std::uint64_t index, std::vector<tds_value>& out) const {
    if (index < rows.size()) {
        out = rows[index];
        return;
    }
    out = row_template;
    std::string number = std::to_string(index - rows.size() + 1);
    for (auto& v : out)
        substitute(v.data, number);
}

const tds_fixture_column* tds_fixture_table::find_column(std::string_view column) const {
    for (const auto& c : columns)
        if (tds_same_name(c.name, column))
            return &c;
    return nullptr;
}

const tds_fixture_table* tds_fixture_database::find_table(std::string_view schema,
                                                          std::string_view table) const {
    for (const auto& t : tables)
        if (tds_same_name(t.schema, schema) && tds_same_name(t.name, table))
            return &t;
    return nullptr;
}

tds_fixture_table* tds_fixture_database::find_table(std::string_view schema,
                                                    std::string_view table) {
    for (auto& t : tables)
        if (tds_same_name(t.schema, schema) && tds_same_name(t.name, table))
            return &t;
    return nullptr;
}

const tds_fixture_view* tds_fixture_database::find_view(std::string_view schema,
                                                        std::string_view view) const {
    for (const auto& v : views)
        if (tds_same_name(v.schema, schema) && tds_same_name(v.name, view))
            return &v;
    return nullptr;
}

std::string tds_fixture_dir() {
    return TDS_SERVER_FIXTURE_DIR;
}

tds_fixture_database tds_load_fixture(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw tds_fixture_error(path + ": cannot open the fixture file");
    std::ostringstream text;
    text << in.rdbuf();
    return tds_parse_fixture(text.str(), path);
}

tds_fixture_database tds_parse_fixture(std::string_view text, const std::string& origin) {
    tds_fixture_database db;
    db.schemas.push_back("dbo");
    enum class block { none, table, view, answer } open = block::none;
    std::size_t line_no = 0;
    std::size_t block_line = 0;
    auto add_schema = [&](const std::string& schema) {
        for (const auto& s : db.schemas)
            if (tds_same_name(s, schema))
                return;
        db.schemas.push_back(schema);
    };
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t eol = text.find('\n', at);
        if (eol == std::string_view::npos)
            eol = text.size();
        std::string_view raw = text.substr(at, eol - at);
        at = eol + 1;
        ++line_no;
        if (!raw.empty() && raw.back() == '\r')
            raw.remove_suffix(1);
        std::string_view line = trim(raw);
        try {
            if (open == block::view) {
                if (lower(line) == "end") {
                    open = block::none;
                    continue;
                }
                auto& def = db.views.back().definition;
                if (!def.empty())
                    def += "\n";
                def += raw;
                continue;
            }
            if (line.empty() || line.front() == '#')
                continue;
            cursor c(line);
            if (c.keyword("end")) {
                if (open == block::none)
                    bad("'end' without a block");
                open = block::none;
                continue;
            }
            if (open == block::table) {
                auto& t = db.tables.back();
                if (c.keyword("column")) {
                    if (t.row_count() > 0)
                        bad("columns must come before rows");
                    t.columns.push_back(parse_column(c, db.collation));
                } else if (c.keyword("primary")) {
                    if (!c.keyword("key"))
                        bad("expected PRIMARY KEY");
                    tds_fixture_index ix;
                    ix.name = c.name();
                    ix.primary_key = ix.unique = true;
                    ix.columns = c.name_list(&ix.descending);
                    t.indexes.push_back(std::move(ix));
                } else if (c.keyword("unique") || c.keyword("index")) {
                    tds_fixture_index ix;
                    ix.unique = lower(line.substr(0, 6)) == "unique";
                    if (ix.unique && !c.keyword("index"))
                        bad("expected UNIQUE INDEX");
                    ix.name = c.name();
                    ix.columns = c.name_list(&ix.descending);
                    if (c.keyword("include"))
                        ix.included = c.name_list();
                    t.indexes.push_back(std::move(ix));
                } else if (c.keyword("foreign")) {
                    if (!c.keyword("key"))
                        bad("expected FOREIGN KEY");
                    tds_fixture_foreign_key fk;
                    fk.name = c.name();
                    fk.columns = c.name_list();
                    if (!c.keyword("references"))
                        bad("expected REFERENCES");
                    c.qualified_name(fk.referenced_schema, fk.referenced_table);
                    fk.referenced_columns = c.name_list();
                    if (fk.columns.size() != fk.referenced_columns.size())
                        bad("foreign key column counts differ");
                    while (c.keyword("on")) {
                        if (c.keyword("delete"))
                            fk.delete_action = action(c);
                        else if (c.keyword("update"))
                            fk.update_action = action(c);
                        else
                            bad("expected ON DELETE or ON UPDATE");
                    }
                    t.foreign_keys.push_back(std::move(fk));
                } else if (c.keyword("row")) {
                    if (t.generated_rows > 0)
                        bad("listed rows must come before generated ones");
                    auto row = c.value_list();
                    check_row(t, row);
                    t.rows.push_back(std::move(row));
                } else if (c.keyword("generate")) {
                    std::int64_t count = c.integer();
                    if (count <= 0 || t.generated_rows > 0)
                        bad("one generate line with a positive count per table");
                    if (!c.keyword("row"))
                        bad("expected: generate COUNT row VALUES");
                    t.row_template = c.value_list();
                    auto first = t.row_template;
                    for (auto& v : first)
                        substitute(v.data, "1");
                    check_row(t, first);
                    t.generated_rows = static_cast<std::uint64_t>(count);
                } else {
                    bad("unknown table line: " + std::string(line));
                }
                if (!c.done())
                    bad("unexpected text: " + std::string(c.rest()));
                continue;
            }
            if (open == block::answer) {
                auto& a = db.answers.back();
                if (c.keyword("column")) {
                    if (!a.rows.empty())
                        bad("columns must come before rows");
                    tds_fixture_column col = parse_column(c, db.collation);
                    a.columns.push_back({col.name, col.type, col.nullable, false, false, {}});
                } else if (c.keyword("row")) {
                    auto row = c.value_list();
                    tds_fixture_table shape;
                    for (const auto& col : a.columns) {
                        tds_fixture_column shape_column;
                        shape_column.name = col.name;
                        shape_column.type = col.type;
                        shape_column.nullable = col.nullable;
                        shape.columns.push_back(std::move(shape_column));
                    }
                    check_row(shape, row);
                    a.rows.push_back(std::move(row));
                } else {
                    bad("unknown answer line: " + std::string(line));
                }
                continue;
            }
            if (c.keyword("database")) {
                db.name = c.name();
            } else if (c.keyword("collation")) {
                if (!db.tables.empty())
                    bad("the collation must come before the tables");
                db.collation = tds_find_collation(c.rest());
                continue;
            } else if (c.keyword("login")) {
                tds_fixture_login login;
                login.user = c.name();
                login.password = std::string(c.rest());
                db.logins.push_back(std::move(login));
                continue;
            } else if (c.keyword("version")) {
                db.version = std::string(c.rest());
                continue;
            } else if (c.keyword("schema")) {
                add_schema(c.name());
            } else if (c.keyword("table")) {
                tds_fixture_table t;
                c.qualified_name(t.schema, t.name);
                if (db.find_table(t.schema, t.name))
                    bad("table " + t.schema + "." + t.name + " defined twice");
                add_schema(t.schema);
                db.tables.push_back(std::move(t));
                open = block::table;
                block_line = line_no;
            } else if (c.keyword("view")) {
                tds_fixture_view v;
                c.qualified_name(v.schema, v.name);
                add_schema(v.schema);
                db.views.push_back(std::move(v));
                open = block::view;
                block_line = line_no;
            } else if (c.keyword("sequence")) {
                tds_fixture_sequence s;
                c.qualified_name(s.schema, s.name);
                add_schema(s.schema);
                std::string type = c.name();
                s.type = tds_parse_type(type, db.collation);
                // Without MIN and MAX a sequence spans its type, as in SQL Server.
                switch (s.type.kind) {
                case tds_type_kind::tinyint:
                    s.minimum = 0;
                    s.maximum = 255;
                    break;
                case tds_type_kind::smallint:
                    s.minimum = INT16_MIN;
                    s.maximum = INT16_MAX;
                    break;
                case tds_type_kind::int_:
                    s.minimum = INT32_MIN;
                    s.maximum = INT32_MAX;
                    break;
                case tds_type_kind::bigint:
                    s.minimum = INT64_MIN;
                    s.maximum = INT64_MAX;
                    break;
                default:
                    bad("sequences here are tinyint, smallint, int or bigint");
                }
                while (!c.done()) {
                    if (c.keyword("start"))
                        s.start = c.integer();
                    else if (c.keyword("increment"))
                        s.increment = c.integer();
                    else if (c.keyword("min"))
                        s.minimum = c.integer();
                    else if (c.keyword("max"))
                        s.maximum = c.integer();
                    else if (c.keyword("cycle"))
                        s.cycling = true;
                    else
                        bad("unknown sequence clause: " + std::string(c.rest()));
                }
                if (s.minimum > s.maximum || s.start < s.minimum || s.start > s.maximum ||
                    s.increment == 0)
                    bad("sequence " + s.name + ": start, min, max or increment out of order");
                db.sequences.push_back(std::move(s));
            } else if (c.keyword("answer")) {
                tds_fixture_answer a;
                a.statement = std::string(c.rest());
                if (a.statement.empty())
                    bad("answer needs the statement it answers");
                db.answers.push_back(std::move(a));
                open = block::answer;
                block_line = line_no;
                continue;
            } else {
                bad("unknown line: " + std::string(line));
            }
            if (!c.done())
                bad("unexpected text: " + std::string(c.rest()));
        } catch (const std::invalid_argument& e) {
            throw tds_fixture_error(origin + ":" + std::to_string(line_no) + ": " + e.what());
        }
    }
    if (open != block::none)
        throw tds_fixture_error(origin + ":" + std::to_string(block_line) + ": block has no 'end'");
    if (db.name.empty())
        throw tds_fixture_error(origin + ": no 'database' line");
    return db;
}
