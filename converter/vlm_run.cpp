// The conversion run: one MS SQL database into MySQL, object by object.
#include "converter/vlm_conv.h"

#include "converter/vlm_batch.h"
#include "converter/vlm_errh.h"
#include "converter/vlm_mutap.h"
#include "converter/vlm_stopw.h"
#include "converter/vlm_ui.h"
#include "converter/vlm_vnam.h"
#include "MSS/mss_db.h"
#include "MSS/mss_engi.h"
#include "MSS/mss_tnam.h"
#include "SQL/sql_engi.h"
#include "SQL/sql_ffnd.h"
#include "SQL/sql_tab.h"
#include "TK/tk_exitc.h"
#include "TK/tk_log.h"
#include "TK/tk_stop.h"
#include "TK/tk_utils.h"
#include "UDB/udb_util.h"
#include "UDB/udb_vali.h"
#include "platform/com/com_api.h"

#include <algorithm>
#include <cinttypes>
#include <csignal>
#include <ctime>
#include <cwchar>
#include <cwctype>
#include <optional>
#include <unordered_map>

namespace {

void log_time(const char* what) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    tk_log_message(3, "Conversion %s on %02d/%02d/%04d at %02d:%02d:%02d", what, local.tm_mday,
                   local.tm_mon + 1, local.tm_year + 1900, local.tm_hour, local.tm_min,
                   local.tm_sec);
}

// The line that starts an object's rows; a count the source could not take is no total.
std::wstring converting_line(const std::wstring& name, std::uint64_t records) {
    if (records == udb_recordset::unknown_count) {
        return L"Converting table " + name + L" (number of records unknown)\r\n";
    }
    return L"Converting table " + name + L" (" + std::to_wstring(records) + L" records)\r\n";
}

// A progress line: to the trace log and to the front end's log.
void progress_line(const std::wstring& line) {
    tk_log_wmessage(3, L"%ls", line.c_str());
    tk_singleton<vlm_ui>::ref().write_log(line);
}

constexpr const char* no_script_text = "No script was written.";

// What a server's table holds of a source whose rows stopped after record `records`.
std::string rows_kept_text(std::uint64_t records) {
    return records == 0 ? "No row of this table was copied."
                        : "The rows up to record #" + std::to_string(records) +
                              " are in the table; later ones were not copied.";
}

// A stop request ends the run the way Abort does: what was reported done stays done.
void stop_if_requested() {
    if (tk_stop_requested()) {
        throw tk_final_exception();
    }
}

} // namespace

std::string vlm_stop_text() {
    switch (tk_stop_signal()) {
    case 0:
        return "The conversion was stopped by the user.";
    case SIGINT:
        return "The conversion was interrupted (SIGINT).";
    case SIGTERM:
        return "The conversion was interrupted (SIGTERM).";
    case SIGHUP:
        return "The conversion was interrupted (SIGHUP).";
    default:
        return "The conversion was interrupted (signal " + std::to_string(tk_stop_signal()) + ").";
    }
}

namespace {

// How a failure that ended the MySQL connection starts, in every message that reports one.
constexpr const char* connection_gone = "The connection to the MySQL server is gone: ";

// Table and owner of a name in any of its forms, for telling whether two names mean one table.
bool same_table(const std::wstring& a, const std::wstring& b) {
    std::wstring table_a;
    std::wstring owner_a;
    std::wstring table_b;
    std::wstring owner_b;
    mss_split_tab_name(a, table_a, owner_a);
    mss_split_tab_name(b, table_b, owner_b);
    if (!udb_equal_no_case(table_a, table_b)) {
        return false;
    }
    return owner_a.empty() || owner_b.empty() || udb_equal_no_case(owner_a, owner_b);
}

// Owner and table of a name as the run holds it; a text that is no table name is the table.
void split_pair(const std::wstring& name, std::wstring& owner, std::wstring& table) {
    if (!mss_parse_tab_name(name, owner, table)) {
        owner.clear();
        table = name;
    }
}

// The one text form of the table a name means, by which the run keys its plans.
std::wstring canonical_of(const std::wstring& name) {
    std::wstring owner;
    std::wstring table;
    split_pair(name, owner, table);
    return mss_format_tab_name(owner, table);
}

// The source table that a listed name means, in the text form the run carries (owner and table
// as a pair), or empty when the name cannot be read. A name without an owner means the table in
// the chosen schema or, without one, in the login's default schema; a source that lists tables
// without owners is asked for the bare name too.
std::wstring source_table(udb_database& source, const std::wstring& name,
                          const std::wstring& schema) {
    std::wstring owner;
    std::wstring table;
    if (!mss_parse_tab_name(name, owner, table)) {
        return {};
    }
    if (!owner.empty()) {
        return mss_format_tab_name(owner, table);
    }
    std::vector<std::wstring> candidates;
    if (!schema.empty()) {
        candidates.push_back(mss_format_tab_name(schema, table));
    } else if (mss_engine::pointer() != nullptr) {
        candidates.push_back(mss_engine::ref().get_safe_tname(mss_format_tab_name({}, table)));
    }
    candidates.push_back(mss_list_tab_name({}, table));
    for (const std::wstring& candidate : candidates) {
        if (source.is_table_exist(candidate)) {
            return candidate;
        }
    }
    return candidates.front();
}

// The destination's name for a source table before the validator sees it: "owner.table", or
// the table alone when a schema was chosen (its tables all come from that one schema).
std::wstring destination_base(const std::wstring& source_name, bool drop_owner) {
    std::wstring owner;
    std::wstring table;
    split_pair(source_name, owner, table);
    return drop_owner || owner.empty() ? table : owner + L"." + table;
}

// A destination name as a key that ignores case, as a server may. ASCII letters fold alone, as
// MySQL folds them whatever the client's locale (a Turkish one would lower 'I' to U+0131 and keep
// "ID" and "id" apart); other letters by Unicode's own lower case.
std::wstring folded_name(const std::wstring& name) {
    std::wstring folded(name);
    for (wchar_t& c : folded) {
        c = c < 0x80 ? tk_ascii_lower(c)
                     : static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    }
    return folded;
}

// Whether rows can be matched against the table's rows: a primary key or a unique index.
bool has_row_key(const udb_indexes& indexes) {
    for (const udb_index& index : indexes) {
        if (index.b_primary || index.b_unique) {
            return true;
        }
    }
    return false;
}

// The columns of a key under the names the table's mutator gives them; false when one of them
// was left out of the table.
bool renamed_columns(const sql_table_mutator* mutator, std::vector<std::wstring>& columns) {
    if (mutator == nullptr) {
        return true;
    }
    for (std::wstring& column : columns) {
        const auto it = mutator->field_mutators.find(column);
        if (it == mutator->field_mutators.end()) {
            continue;
        }
        if (it->second->status == udb_mutators::deleted) {
            return false;
        }
        column = it->second->new_name;
    }
    return true;
}

// The primary key and unique indexes that the type mapping takes a column from, each as the
// error that says so: such a key no longer tells the source's rows apart, so rows that differ
// only in the columns left out are refused as duplicates (or, matched in synchronize, merged).
std::vector<std::wstring> keys_narrowed_by(const sql_table_mutator& mutator,
                                           const udb_indexes& indexes) {
    std::vector<std::wstring> errors;
    for (const udb_index& index : indexes) {
        if (!index.b_primary && !index.b_unique) {
            continue;
        }
        std::wstring lost;
        std::wstring kept;
        std::size_t lost_count = 0;
        for (const std::wstring& column : index.columns) {
            const auto it = mutator.field_mutators.find(column);
            const bool deleted =
                it != mutator.field_mutators.end() && it->second->status == udb_mutators::deleted;
            lost_count += deleted ? 1 : 0;
            std::wstring& list = deleted ? lost : kept;
            list += (list.empty() ? L"'" : L", '") + column + L"'";
        }
        if (lost.empty()) {
            continue;
        }
        const std::wstring key =
            (index.b_primary ? L"The primary key '" : L"The unique index '") + index.name + L"'";
        errors.push_back(
            kept.empty()
                ? key + L" loses every column to the type mapping (" + lost +
                      L") and is not created."
                : key + (lost_count == 1 ? L" loses the column " : L" loses the columns ") + lost +
                      L" to the type mapping and holds only " + kept +
                      L": rows that differ only in what it lost are "
                      L"refused as duplicates.");
    }
    return errors;
}

// The source still lists the table, or cannot say: a failure to read it was not its absence.
bool still_in_source(udb_database& source, const std::wstring& name) {
    try {
        return !name.empty() && source.is_table_exist(name);
    } catch (const tk_exception&) {
        return true;
    }
}

// The names of views, as a list for a message.
std::wstring view_names(const std::vector<udb_view>& views) {
    std::wstring names;
    for (const udb_view& view : views) {
        names += (names.empty() ? L"" : L", ") + view.first;
    }
    return names;
}

// A run with no table, query or view to convert would still prepare its destination (mode 0
// drops the database) and write an empty script, and end as if it had converted something.
// A console run's list of tables (a file's, a profile's, which keeps its tables among the queries
// without a text) none of which the source has selects nothing either; its names are reported
// missing as the run would report them. Views a profile selects are a selection even where the
// run leaves them out: they never widen it to every table.
void refuse_empty_run(const velmora_convertor& converter, udb_database& source) {
    std::vector<std::wstring> listed_tables = converter.selected_tables;
    for (const vlm_query& query : converter.selected_queries) {
        if (!query.second.empty()) {
            return;
        }
        listed_tables.push_back(query.first);
    }
    if (converter.convert_views && !converter.selected_views.empty()) {
        return;
    }
    vlm_ui* ui = tk_singleton<vlm_ui>::pointer();
    const bool console = ui != nullptr && ui->console_run();
    const std::wstring database = L"database '" + converter.src + L"'";
    if (!listed_tables.empty()) {
        const auto in_source = [&](const std::wstring& listed) {
            const std::wstring name = source_table(source, listed, converter.mss_schema);
            return !name.empty() && source.is_table_exist(name);
        };
        if (!console || std::any_of(listed_tables.begin(), listed_tables.end(), in_source)) {
            return;
        }
        for (const std::wstring& listed : listed_tables) {
            ui->table_missing(listed);
        }
        throw tk_exception(L"There is nothing to convert: no table listed is in " + database +
                               L", and no query or view is selected.",
                           1);
    }
    if (!converter.selected_views.empty()) {
        const std::wstring why =
            console ? L"they are converted only with --views" : L"'Convert views' is off";
        throw tk_exception(L"There is nothing to convert: no table or query of " + database +
                               L" is selected, and the selected views (" +
                               view_names(converter.selected_views) + L") are left out: " + why +
                               L".",
                           1);
    }
    const bool every_table = console;
    if (every_table && !source.get_tables().empty()) {
        return;
    }
    if (!every_table) {
        throw tk_exception(L"There is nothing to convert: no table, query or view of " + database +
                               L" is selected.",
                           1);
    }
    const std::wstring where = converter.mss_schema.empty()
                                   ? L" of the login's own schema"
                                   : L" in the schema '" + converter.mss_schema + L"'";
    throw tk_exception(L"There is nothing to convert: " + database + L" has no table" + where +
                           L", and no query or view is selected.",
                       1);
}

} // namespace

init_conversion::init_conversion(std::atomic<bool>& finished, int no_com)
    : finished_(finished), no_com_(no_com) {
    tk_log_message(2, "init_conversion::ctor");
    log_time("started");
    if (no_com_ == 0) {
        CoInitialize(nullptr);
    }
    tk_singleton<vlm_ui>::instance()->start_timer(200);
}

init_conversion::~init_conversion() {
    tk_log_message(2, "init_conversion::dtor");
    if (no_com_ == 0) {
        CoUninitialize();
    }
    log_time("ended");
    finished_ = true;
}

struct velmora_convertor::run_state {
    std::unique_ptr<udb_database> source;
    std::unique_ptr<udb_database> destination;
    std::unique_ptr<udb_validator> validator;
    bool fast_insert = false;
    // The source names of the tables this run created, as the names map knows them.
    std::vector<std::wstring> created;
    // What fills a destination table: a table or query as listed, and for a table its source
    // name folded to lower case (empty for a query).
    struct filler {
        std::wstring listed;
        std::wstring source;
        std::wstring object() const {
            return (source.empty() ? L"the query '" : L"the table '") + listed + L"'";
        }
    };
    // The destination tables this run has written to, by their names folded to lower case.
    std::unordered_map<std::wstring, filler> filled;
    // The planned source names by their folded form; empty where several source tables fold
    // alike (a case-sensitive collation), so that only an unambiguous name is found this way.
    std::unordered_map<std::wstring, std::wstring> planned_folded;
    // The source names of every table this run converted or left in place (mode 2), with their
    // destination names, for the view texts.
    std::vector<vlm_table_rename> converted;
    // The destination name of every table of the source, fixed before the first table.
    // Keyed by the source name's one text form: the plain name the plan started from, and the
    // name it gave.
    std::map<std::wstring, std::pair<std::wstring, std::wstring>, udb_utf16_less> planned;
    // The object whose rows a stop request or Abort cut short, with its records done, unless a
    // failed commit already said how far it got.
    std::optional<std::pair<std::wstring, std::uint64_t>> cut_short;

    // Released in this order on every path: the validator, the destination, the source.
    ~run_state() {
        validator.reset();
        destination.reset();
        source.reset();
    }
};

std::unique_ptr<udb_database> velmora_convertor::open_source() {
    return mss->open_db(src, 1, mss_schema);
}

void velmora_convertor::prepare_source() {
    tk_log_message(2, "velmora_convertor::prepare_source");
    prepared_source_.reset();
    std::unique_ptr<udb_database> source = open_source();
    check_source_schema(*source);
    refuse_empty_run(*this, *source);
    prepared_source_ = std::move(source);
}

void velmora_convertor::check_schema_of_source() {
    if (!mss_schema.empty()) {
        check_source_schema(*open_source());
    }
}

void velmora_convertor::check_source_schema(udb_database& source) {
    auto* db = dynamic_cast<mss_database*>(&source);
    if (mss_schema.empty() || db == nullptr) {
        return;
    }
    // sys.schemas itself: the wizard's schema list answers "dbo" when it cannot be read.
    std::vector<std::wstring> schemas;
    try {
        schemas = db->read_schema_names();
    } catch (const tk_exception& error) {
        throw tk_exception(L"The schemas of database '" + src + L"' could not be read: " +
                               vlm_display_wide(error.what()),
                           1);
    }
    for (const std::wstring& schema : schemas) {
        if (udb_equal_no_case(schema, mss_schema)) {
            return;
        }
    }
    throw tk_exception(
        L"The schema '" + mss_schema + L"' does not exist in database '" + src + L"'.", 1);
}

void velmora_convertor::operator()() {
    tk_log_message(2, "velmora_convertor::operator()");
    init_conversion guard(finished, 0);
    sql->fast_insert = false;
    vlm_ui& ui = tk_singleton<vlm_ui>::ref();

    run_state run;
    const vlm_stop_watchdog watchdog(sql.get(), vlm_stop_watchdog::default_grace);
    // A script is written only by a run that ends well; an error that ends the process inside
    // the error handler still says so (the script file itself removes its temporary file).
    bool script_written = false;
    bool completed = false;
    const tk_exit_cleanup no_script_note([&] {
        if (!direct && !script_written) {
            ui.error_narrow(no_script_text);
        }
    });
    try {
        if (!prepared_source_) {
            prepare_source();
        }
        run.source = std::move(prepared_source_);
        run.destination = get_dest_base();
        tk_log_message(2, "After initializing DBs");

        // The work list is the run's own: the selection stays as it was given, so that the
        // same converter run again converts the same objects, and a store after the run saves
        // what was selected, not what the run made of it.
        const std::vector<vlm_query> work = work_list(*run.source);
        object_count = static_cast<std::int32_t>(work.size());
        std::wstring line(512 + src.size(), L'\0');
        line.resize(std::swprintf(line.data(), line.size(),
                                  L"Converting database '%ls' (%d tables)\r\n", src.c_str(),
                                  object_count.load()));
        progress_line(line);

        tk_log_message(1, "sql_engine::create_tn_validator");
        // Existing destination tables do not count as taken in modes 1 to 4: a name made safe
        // in an earlier run must come out the same, so that the run finds that table again.
        std::vector<std::wstring> existing;
        if (mode == 0) {
            existing = run.destination->get_tables();
        }
        run.validator.reset(sql->create_tn_validator({}, existing));

        plan_table_names(run);

        if (direct) {
            // The raise is the session's alone; a server value that could not be set back
            // afterwards is the user's to know, and the run goes on.
            const std::string unrestored = sql->set_max_allowed_packet(0xC800000);
            if (!unrestored.empty()) {
                tk_singleton<error_handler>::ref().handle(tk_exception(unrestored, 0), false);
            }
        }
        run.fast_insert = sql->fast_insert;

        for (const vlm_query& entry : work) {
            stop_if_requested();
            convert_object(run, entry);
            ++object_index;
        }

        stop_if_requested();
        tk_singleton<error_handler>::instance()->set_context(L"");
        create_keys_and_views(run);
        object_index = 0;
        object_count = 0;
        run.validator.reset();
        // A script file reports here whether everything reached the disk, and only then takes
        // the place of the destination.
        if (auto* script = dynamic_cast<dmp_database*>(run.destination.get())) {
            stop_if_requested();
            script->close();
            script_written = true;
        }
        completed = true;
    } catch (const tk_final_exception&) {
        // Abort: the user has seen the question; nothing more to say. A stop request ends the
        // run the same way and is reported below.
    } catch (const tk_exception& error) {
        tk_singleton<error_handler>::ref().handle(error, true);
    } catch (const std::exception& error) {
        ui.error_narrow(error.what());
    }
    // A request that came after the last step stopped nothing.
    if (!completed && tk_stop_requested()) {
        std::string text = vlm_stop_text();
        // A server keeps the rows done; a script is given up whole (said below).
        if (direct && run.cut_short) {
            text += "\n" + vlm_display_narrow(run.cut_short->first) + ": " +
                    rows_kept_text(run.cut_short->second);
        }
        ui.error_narrow(text);
    }
    if (!direct && !script_written) {
        if (auto* script = dynamic_cast<dmp_database*>(run.destination.get())) {
            script->discard();
        }
        ui.error_narrow(no_script_text);
    }
}

namespace {

// The plan of the source table `name`: by its text, or else by its text ignoring case where
// that names one source table only.
auto find_planned(auto& run, const std::wstring& name) {
    const std::wstring canonical = canonical_of(name);
    auto planned = run.planned.find(canonical);
    if (planned != run.planned.end()) {
        return planned;
    }
    const auto folded = run.planned_folded.find(folded_name(canonical));
    return folded == run.planned_folded.end() || folded->second.empty()
               ? run.planned.end()
               : run.planned.find(folded->second);
}

// The error of an object (`second`) whose destination table an earlier one (`first`) fills.
[[noreturn]] void refuse_shared_table(const std::wstring& table, const auto& first,
                                      const auto& second) {
    if (!second.source.empty() && second.source == first.source) {
        throw tk_exception(L"The table '" + second.listed +
                               L"' was listed before in this run, as '" + first.listed +
                               L"'; it was not copied again.",
                           0);
    }
    throw tk_exception(L"The destination table '" + table + L"' already holds the rows of " +
                           first.object() + L" in this run; " + second.object() +
                           L" was not copied. Give one of them another name.",
                       0);
}

} // namespace

std::vector<vlm_query> velmora_convertor::work_list(udb_database& source) const {
    std::vector<vlm_query> work = selected_queries;
    // Only a console run that was given no selection at all (no table list, no profile's
    // tables, queries or views) converts every table of the source.
    const bool nothing_selected =
        selected_tables.empty() && selected_queries.empty() && selected_views.empty();
    const vlm_ui* ui = tk_singleton<vlm_ui>::pointer();
    const std::vector<std::wstring> tables = ui != nullptr && ui->console_run() && nothing_selected
                                                 ? source.get_tables()
                                                 : selected_tables;
    work.reserve(work.size() + tables.size());
    for (const std::wstring& table : tables) {
        work.emplace_back(table, std::wstring());
    }
    return work;
}

// The same source gives the same destination names on every run, whatever the selection: the
// plain names of all source tables are claimed first, then the tables whose plain name is not
// usable (or taken by an earlier one) get generated names, both in the order of the source names.
void velmora_convertor::plan_table_names(run_state& run) {
    std::vector<std::wstring> sources = run.source->get_tables();
    std::sort(sources.begin(), sources.end(), udb_utf16_less());
    std::vector<std::pair<const std::wstring*, std::wstring>> pending;
    for (const std::wstring& source : sources) {
        const auto [folded, first] =
            run.planned_folded.emplace(folded_name(canonical_of(source)), canonical_of(source));
        if (!first) {
            folded->second.clear();
        }
        const std::wstring base = destination_base(source, !mss_schema.empty());
        if (run.validator->is_acceptable(base) && !run.validator->is_duplicated(base)) {
            run.validator->add_existing_name(base);
            run.planned.emplace(canonical_of(source), std::make_pair(base, base));
        } else {
            pending.emplace_back(&source, base);
        }
    }
    for (const auto& [source, base] : pending) {
        const std::wstring safe = run.validator->get_safe_name(base);
        run.validator->add_existing_name(safe);
        run.planned.emplace(canonical_of(*source), std::make_pair(base, safe));
    }
}

// A view text names a table as owner.table, [owner].[table], by its bare name in the default
// schema, or with a column behind it; each becomes the destination's name before the
// destination converts the text.
std::vector<udb_view> velmora_convertor::views_for_names_map(const run_state& run) const {
    std::wstring default_owner = mss_schema;
    if (default_owner.empty() && mss_engine::pointer() != nullptr) {
        std::wstring table;
        mss_parse_tab_name(mss_engine::ref().get_safe_tname(L"[x]"), default_owner, table);
    }
    std::vector<udb_view> views = selected_views;
    for (udb_view& view : views) {
        view.second = vlm_rename_view_tables(view.second, run.converted, default_owner);
    }
    return views;
}

void velmora_convertor::convert_object(run_state& run, const vlm_query& entry) {
    const bool is_table = entry.second.empty();
    vlm_ui& ui = tk_singleton<vlm_ui>::ref();
    // A table travels as its (owner, table) pair from here on; messages show it as listed.
    const std::wstring name =
        is_table ? source_table(*run.source, entry.first, mss_schema) : entry.first;
    set_current_object(entry.first);
    object_records = 0;
    records_done = 0;

    std::unique_ptr<udb_recordset> source;
    std::unique_ptr<udb_recordset> destination;
    bool opening_table = false;
    bool copying = false;
    try {
        if (is_table && ui.console_run() && (name.empty() || !run.source->is_table_exist(name))) {
            ui.table_missing(entry.first);
            return;
        }
        opening_table = is_table;
        source = is_table ? run.source->get_table(name, 1)
                          : run.source->get_query(name, entry.second, 1);
        opening_table = false;

        tk_log_wmessage(2, L"udb_db_mutator::modify1(%ls)", name.c_str());
        std::wstring new_name = name;
        sql_table_mutator* mutator = get_table_mutator3(name);
        if (mutator == nullptr && is_table) {
            mutator = get_table_mutator3(entry.first); // changes kept under a bare name
        }
        std::vector<std::wstring> narrowed_keys;
        if (mutator != nullptr) {
            narrowed_keys = keys_narrowed_by(*mutator, source->indexes);
            udb_table_mutator_modify3(*mutator, source->indexes);
            udb_table_mutator_modify1(*mutator, new_name, source->schema);
        }
        // The plan holds for a table named as the source lists it, in any letter case where
        // that names one table; a bare name keeps giving a bare destination name, as it always
        // did.
        auto planned = is_table ? find_planned(run, name) : run.planned.end();
        if (is_table && new_name == name) {
            new_name = destination_base(entry.first, !mss_schema.empty());
            if (planned != run.planned.end() &&
                udb_equal_no_case(planned->second.first, new_name)) {
                new_name = planned->second.second;
            } else {
                planned = run.planned.end();
            }
            tk_log_wmessage(2, L"Generate safe full name: %ls", new_name.c_str());
        } else {
            planned = run.planned.end();
            if (!mss_schema.empty()) {
                new_name = destination_base(new_name, true);
                tk_log_wmessage(2, L"Generate safe full name: %ls", new_name.c_str());
            }
        }
        // Two objects of one run never share a destination table: the second would add its
        // rows to the first's or, in mode 1, drop them. A query's name, like a table's own or
        // the one its type mapping gives, is its destination: one that an earlier object of
        // the run took is refused, not given another name.
        const run_state::filler filling{entry.first,
                                        is_table ? folded_name(canonical_of(name)) : L""};
        const auto refuse_if_filled = [&] {
            if (const auto filled = run.filled.find(folded_name(new_name));
                filled != run.filled.end()) {
                refuse_shared_table(new_name, filled->second, filling);
            }
        };
        refuse_if_filled();
        if (planned == run.planned.end() && !run.validator->is_acceptable(new_name)) {
            new_name = run.validator->get_safe_name(new_name);
        }
        refuse_if_filled();
        const std::wstring filled_key = folded_name(new_name);

        sql->fast_insert = run.fast_insert;
        bool created = true;
        if (run.destination->is_table_exist(new_name)) {
            switch (mode) {
            case 2:
                // The table left in place is still the one the selected views read.
                if (is_table) {
                    run.converted.emplace_back(name, new_name);
                }
                return;
            case 1:
                run.destination->delete_tab(new_name);
                break;
            case 3:
            case 4:
                sql->fast_insert = false;
                created = false;
                break;
            default:
                break;
            }
        }

        run.filled.emplace(filled_key, filling);
        const udb_indexes no_indexes;
        destination = run.destination->create_table(new_name, source->schema,
                                                    skip_idx ? no_indexes : source->indexes);
        if ((mode == 3 || mode == 4) && !sql_columns_hold(source->schema, destination->schema)) {
            throw tk_exception(std::wstring(tk_wmessage(tk_msg_structure_mismatch)), 0);
        }

        if (new_name != name) {
            tk_log_wmessage(2, L"Store generated table name '%ls'", new_name.c_str());
            tk_log_wmessage(1, L"udb_validator::add_existing_name(%ls)", new_name.c_str());
            run.validator->add_existing_name(new_name);
            tk_log_wmessage(2, L"udb_database::add_tn_mapping(%ls->%ls)", name.c_str(),
                            new_name.c_str());
            tk_log_wmessage(2, L"udb_names_map::add_tn_mapping(%ls,%ls)", name.c_str(),
                            new_name.c_str());
            run.destination->add_tn_mapping(name, new_name);
        }
        run.validator->restricted_words.push_back(new_name);
        if (is_table) {
            run.converted.emplace_back(name, new_name);
        }
        if (created && is_table) {
            run.created.push_back(name);
        }

        object_records = source->rec_count;
        progress_line(converting_line(current_object(), object_records));
        if (created && !skip_idx) {
            for (const std::wstring& narrowed : narrowed_keys) {
                error_handler& handler = tk_singleton<error_handler>::ref();
                handler.set_context(current_object());
                handler.handle(tk_exception(narrowed, 0), false);
            }
        }

        if (object_records == 0 || tab_def) {
            return;
        }
        if (!created && (mode == 3 || mode == 4) && !has_row_key(destination->indexes)) {
            report_unmatched_rows(current_object());
        }
        copying = true;
        copy_rows(run, *source, *destination, mutator, !created);
    } catch (const tk_exception& error) {
        destination.reset();
        source.reset();
        error_handler& handler = tk_singleton<error_handler>::ref();
        handler.set_context(current_object());
        const sql_failure_reach reach = sql_failure_reach_of(error.code);
        if (reach == sql_failure_reach::server) {
            // Out of disk or memory on the server: every later table would fail alike.
            handler.handle(error, false);
            throw tk_final_exception();
        }
        if (reach != sql_failure_reach::connection) {
            handler.handle(error, false);
            // A script that lacks a table's rows (the rest of them, or all of a table the source
            // has but could not be read, as when the source was lost while counting it) would
            // replay as a whole one: the run ends here and gives the script up.
            if (!direct && (copying || (opening_table && still_in_source(*run.source, name)))) {
                throw tk_final_exception();
            }
            return;
        }
        // Every later statement would fail alike: one error, and the run ends here. The
        // client's own text says how it ended; the advice kept for its code (a row too large
        // for the server's packet limit ends the connection too) follows.
        std::string text = connection_gone + std::string(error.what());
        const std::string advice = handler.map.convert(error.code);
        if (!advice.empty()) {
            text += "\n" + advice;
        }
        handler.handle(tk_exception(text, 0), false);
        throw tk_final_exception();
    }
}

void velmora_convertor::report_views_left_out() {
    if (selected_views.empty()) {
        return;
    }
    vlm_ui& ui = tk_singleton<vlm_ui>::ref();
    std::wstring why;
    if (convert_views) {
        why = L"the MySQL server cannot create views (5.0.1 or later can)";
    } else if (ui.console_run()) {
        // The console agent named them when it read the profile: without --views, leaving
        // them out is what its user asked for.
        return;
    } else {
        why = L"'Convert views' is off";
    }
    ui.error_narrow(vlm_display_narrow(L"The selected views " + view_names(selected_views) +
                                       L" were not converted: " + why + L"."));
}

void velmora_convertor::report_unmatched_rows(const std::wstring& name) {
    error_handler& handler = tk_singleton<error_handler>::ref();
    handler.set_context(name);
    handler.handle(tk_exception("The table has no primary key or unique index: its rows cannot "
                                "be matched with the rows already there and are all appended.",
                                0),
                   false);
}

namespace {

// Rows per transaction on a server destination: large enough that the server's log flush per
// commit no longer counts, small enough that a lost connection loses little work.
constexpr std::uint64_t rows_per_commit = 2000;

// Commits the open batch before every report while a table's rows are copied.
class commit_before_reports {
public:
    commit_before_reports(error_handler& handler, vlm_row_batch& batch) : handler_(handler) {
        handler_.before_report = [&batch] { batch.commit_before_report(); };
    }
    ~commit_before_reports() { handler_.before_report = nullptr; }
    commit_before_reports(const commit_before_reports&) = delete;
    commit_before_reports& operator=(const commit_before_reports&) = delete;

private:
    error_handler& handler_;
};

// The kept failure of a commit made before a report, as the user sees it: the table's, not the
// row's that was being reported. The code's mapped advice is left out, as it would replace the
// count of rows surely in the table.
std::string kept_failure_text(const std::wstring& table, const tk_exception& failure) {
    std::string text = vlm_display_narrow(table) + ": ";
    if (sql_failure_reach_of(failure.code) == sql_failure_reach::connection) {
        text += connection_gone;
    }
    return text + failure.what();
}

// What merge and synchronize did with rows whose key the existing table held, said once the
// copy ends, also when it ends early: there the table is not what the source holds.
class matched_rows_note {
public:
    matched_rows_note(const std::wstring& table, udb_recordset& destination,
                      const velmora_convertor::matched_rows& matched)
        : table_(table), destination_(destination), matched_(matched) {}
    // Said also while an error leaves the copy; a front end that cannot show it loses only it.
    ~matched_rows_note() {
        try {
            say();
        } catch (const std::exception& error) {
            tk_log_message(3, "The count of matched rows could not be shown: %s", error.what());
        }
    }
    matched_rows_note(const matched_rows_note&) = delete;
    matched_rows_note& operator=(const matched_rows_note&) = delete;

private:
    void say() const {
        const auto* server_table = dynamic_cast<const sql_table*>(&destination_);
        const std::uint64_t replaced =
            matched_.replaced + (server_table != nullptr ? server_table->rows_replaced : 0);
        if (matched_.skipped == 1) {
            progress_line(table_ + L": 1 row was not copied: the table already held a row with "
                                   L"its key.\r\n");
        } else if (matched_.skipped > 1) {
            progress_line(table_ + L": " + std::to_wstring(matched_.skipped) +
                          L" rows were not copied: the table already held rows with their "
                          L"keys.\r\n");
        }
        if (replaced == 1) {
            progress_line(table_ + L": 1 row already in the table was replaced by a copied row "
                                   L"with the same key.\r\n");
        } else if (replaced > 1) {
            progress_line(table_ + L": " + std::to_wstring(replaced) +
                          L" rows already in the table were replaced by copied rows with the "
                          L"same keys.\r\n");
        }
    }

    const std::wstring& table_;
    udb_recordset& destination_;
    const velmora_convertor::matched_rows& matched_;
};

// A failure that ends a table on a server, with how far the table got: the rows before it are
// in the table, unless the table itself is gone.
tk_exception with_rows_kept(const tk_exception& failure, std::uint64_t records, bool gone) {
    tk_exception annotated(failure);
    annotated.message =
        std::string(failure.what()) + " " + (gone ? vlm_table_gone_text : rows_kept_text(records));
    return annotated;
}

// Whether the server says the table, or its database, no longer exists. Any other answer (the
// connection lost as well) is no proof of it.
bool table_gone(sql_engine& engine, const std::wstring& database,
                const std::wstring& table) noexcept try {
    const std::string probe = "DO (SELECT 1 FROM " + tk_to_utf8(sql_quote_identifier(database)) +
                              "." + tk_to_utf8(sql_quote_identifier(table)) + " LIMIT 0)";
    if (engine.run(probe) == 0) {
        return false;
    }
    const unsigned int code = mysql_errno(engine.connection());
    return code == 1146 || code == 1049; // no such table, no such database
} catch (const std::exception&) {
    return false;
}

} // namespace

void velmora_convertor::copy_rows(run_state& run, udb_recordset& source, udb_recordset& destination,
                                  sql_table_mutator* mutator, bool existing) {
    // Merge and synchronize keep their row-by-row handling; a script has no transactions.
    const bool batched = direct && mode != 3 && mode != 4;
    vlm_row_batch batch(batched ? sql.get() : nullptr, rows_per_commit);
    const auto gone = [this, &destination] {
        return direct && table_gone(*sql, dest, destination.name);
    };
    batch.table_gone = gone;
    error_handler& handler = tk_singleton<error_handler>::ref();
    const commit_before_reports hook(handler, batch);
    const std::wstring table = current_object();
    // A failed commit before a report is thrown by the next row or the table's end; a run that
    // ends before either (Abort, a stop request, a report that ends the process) says it here,
    // once.
    bool kept_shown = false;
    const auto show_kept_failure = [&] {
        const tk_exception* kept = batch.kept_failure();
        if (kept != nullptr && !kept_shown) {
            kept_shown = true;
            tk_singleton<vlm_ui>::ref().error_narrow(kept_failure_text(table, *kept));
        }
    };
    const tk_exit_cleanup kept_note(show_kept_failure);
    matched_rows matched;
    const matched_rows_note note(table, destination, matched);
    try {
        copy_rows_in(source, destination, mutator, batch, existing, matched);
        batch.commit();
    } catch (const tk_exception& error) {
        // Rows counted as done must be in the table: when the open batch cannot be committed,
        // the count goes back to the last commit and the error says how far the table got.
        if (batch.has_uncommitted()) {
            try {
                batch.commit();
            } catch (const tk_exception&) {
                records_done = batch.committed();
                throw batch.with_committed_count(error);
            }
        }
        if (batch.lost()) {
            records_done = batch.committed();
        }
        // A script cut short is given up whole; a server's table keeps the rows done so far.
        if (batch.count_told() || !direct) {
            throw;
        }
        throw with_rows_kept(error, records_done, gone());
    } catch (const tk_final_exception&) {
        // Abort or a stop request: what was reported done stays done.
        batch.commit_before_report();
        if (batch.lost()) {
            records_done = batch.committed();
        }
        // A failed commit says itself how far the table got.
        if (batch.kept_failure() == nullptr) {
            run.cut_short.emplace(table, records_done.load());
        }
        show_kept_failure();
        throw;
    }
}

void velmora_convertor::copy_rows_in(udb_recordset& source, udb_recordset& destination,
                                     sql_table_mutator* mutator, vlm_row_batch& batch,
                                     bool existing, matched_rows& matched) {
    // Only rows already in a table that was there before the run are matched: in a table this
    // run created, a duplicate key means two source rows collide under the destination's rules
    // (its collation, a shortened key), which is reported as in every mode.
    const bool match_existing = existing && (mode == 3 || mode == 4);
    const bool mutate = mutator != nullptr && !mutator->field_mutators.empty();
    const std::wstring name = current_object();
    const bool traced = tk_log_wanted(2);
    // A row counts as done before the next one is fetched: a source lost while fetching it
    // leaves the count at the rows that reached the destination.
    for (source.reset(); !source.is_eof(); ++records_done, source.next()) {
        stop_if_requested();
        const udb_record* record = source.get_item();
        if (traced) {
            tk_log_message(2, "Converting %d record", static_cast<int>(records_done.load()));
            tk_log_wmessage(2, L"udb_db_mutator::modify2(%ls)", name.c_str());
        }
        if (record == nullptr) {
            continue;
        }
        if (mutate) {
            record = &udb_table_mutator_modify2(*mutator, *record);
        } else if (traced) {
            tk_log_wmessage(2, L"Not found: '%ls'", name.c_str());
        }

        // A failure of one row is that row's: it is reported with the record's number and the
        // next row follows (unless the user aborts). Internal errors end the work.
        batch.before_row();
        try {
            try {
                destination.append_record(*record);
            } catch (const sql_exception& error) {
                tk_log_message(2, "MODE=%d", mode);
                if (error.code != 0x400426 || !match_existing) {
                    throw;
                }
                if (mode == 4) {
                    destination.update1(*record);
                    ++matched.replaced;
                } else {
                    ++matched.skipped;
                }
            }
        } catch (const tk_exception& error) {
            // A failure that every row would repeat (the table or the connection is gone, no
            // room is left) is the table's, reported once.
            const sql_failure_reach reach = sql_failure_reach_of(error.code);
            if (error.level == 2 || reach == sql_failure_reach::connection ||
                dynamic_cast<const udb_structure_exception*>(&error) != nullptr) {
                throw;
            }
            if (reach != sql_failure_reach::row) {
                // The rows before this one are in the table, unless the server dropped them
                // with it or they cannot be committed: copy_rows says how far it surely got.
                batch.check_transaction_kept(error);
                throw;
            }
            // A deadlock rolls back the rows sent before it as well: that ends the table.
            batch.check_transaction_kept(error);
            handler_for_row(name, error);
        }
        batch.after_row(records_done + 1);
    }
}

void velmora_convertor::handler_for_row(const std::wstring& name, const tk_exception& error) {
    error_handler& handler = tk_singleton<error_handler>::ref();
    handler.set_record_context(name, static_cast<int>(records_done + 1));
    handler.handle(error, false);
}

namespace {

// The first column of a key that the user's changes left out of its table, or none; the others
// take the names the changes gave them.
std::optional<std::wstring> left_out_column(const sql_table_mutator* mutator,
                                            std::vector<std::wstring>& columns) {
    std::vector<std::wstring> renamed = columns;
    if (!renamed_columns(mutator, renamed)) {
        for (const std::wstring& column : columns) {
            std::vector<std::wstring> one{column};
            if (!renamed_columns(mutator, one)) {
                return column;
            }
        }
    }
    columns = std::move(renamed);
    return std::nullopt;
}

std::wstring joined(const std::vector<std::wstring>& names) {
    std::wstring text;
    for (const std::wstring& name : names) {
        text += (text.empty() ? L"" : L", ") + name;
    }
    return text;
}

// Whether the destination table has a primary key or unique index on exactly `columns`: the
// key a foreign key refers to. A table the run did not create is not altered to get one.
bool has_referenced_key(udb_database& destination, const std::wstring& table,
                        const std::vector<std::wstring>& columns) {
    const std::unique_ptr<udb_recordset> opened = destination.get_table(table, 8);
    if (!opened) {
        return false;
    }
    return std::any_of(opened->indexes.begin(), opened->indexes.end(), [&](const udb_index& i) {
        return (i.b_primary || i.b_unique) && i.columns.size() == columns.size() &&
               i.starts_with_fields(columns);
    });
}

} // namespace

void velmora_convertor::create_keys_and_views(run_state& run) {
    try {
        if (!skip_idx) {
            create_relationships(run);
        }
        if (convert_views && can_create_views()) {
            run.destination->create_views(views_for_names_map(run));
        } else {
            report_views_left_out();
        }
    } catch (const tk_exception& error) {
        // The destination stops each key or view only for these two; the run's own end says a
        // stop, a lost connection is said here, once.
        if (tk_stop_requested()) {
            throw tk_final_exception();
        }
        if (sql_failure_reach_of(error.code) != sql_failure_reach::connection) {
            throw;
        }
        error_handler& handler = tk_singleton<error_handler>::ref();
        handler.set_context(L"");
        handler.handle(tk_exception(connection_gone + std::string(error.what()), 0), false);
        throw tk_final_exception();
    }
}

// The destination's name of a source table that this run did not convert: a user's rename, or
// the name the plan gives every source table (the name an earlier run gave it).
std::wstring velmora_convertor::unconverted_table_name(run_state& run, const std::wstring& table) {
    if (const sql_table_mutator* mutator = get_table_mutator3(table);
        mutator != nullptr && !mutator->new_name.empty() && mutator->new_name != table) {
        return mutator->new_name;
    }
    // The source may name the referenced table without its owner.
    const std::wstring source_name = source_table(*run.source, table, mss_schema);
    const auto planned = find_planned(run, source_name.empty() ? table : source_name);
    return planned != run.planned.end() ? planned->second.second
                                        : destination_base(table, !mss_schema.empty());
}

// Every foreign key of a table this run created is created, or reported with the reason it is
// not: its parent may be another table of the run, or one the destination already holds with
// the referenced key (modes 1 to 4, a parent left out of the selection). Keys of tables the run
// did not create are theirs as they stand.
void velmora_convertor::create_relationships(run_state& run) {
    // The source lists a key when its referenced table is opened, and that table may not be
    // part of the run: each created table's own keys are read.
    if (auto* source = dynamic_cast<mss_database*>(run.source.get())) {
        for (const std::wstring& table : run.created) {
            try {
                source->add_referencing_keys(table);
            } catch (const tk_exception& error) {
                error_handler& handler = tk_singleton<error_handler>::ref();
                handler.set_context(table);
                handler.handle(tk_exception("The foreign keys of the table could not be read: " +
                                                std::string(error.what()),
                                            0),
                               false);
            }
        }
    }
    udb_relationships wanted;
    udb_relationships seen;
    std::vector<std::pair<const udb_relationship*, std::wstring>> left_out;
    const auto leave_out = [&](const udb_relationship& relationship, const std::wstring& why) {
        left_out.emplace_back(&relationship, why);
    };
    for (const udb_relationship& relationship : run.source->relationships) {
        const auto created = [&](const std::wstring& source_name) -> const std::wstring* {
            for (const std::wstring& table : run.created) {
                if (same_table(table, source_name)) {
                    return &table;
                }
            }
            return nullptr;
        };
        const std::wstring* child = created(relationship.fk_table);
        if (child == nullptr) {
            continue;
        }
        // The tables under the names the run gave them to the names map, the columns under the
        // names the user's changes gave them.
        udb_relationship copy(relationship);
        copy.fk_table = *child;
        if (seen.find(copy.name, copy.pk_table, copy.fk_table)) {
            continue;
        }
        seen.push_back(copy);
        const std::wstring* parent = created(relationship.pk_table);
        if (const auto column = left_out_column(get_table_mutator3(*child), copy.fk_flds)) {
            leave_out(relationship, L"Its column '" + *column + L"' is left out of the table '" +
                                        relationship.fk_table + L"'.");
            continue;
        }
        const std::wstring parent_source = parent != nullptr ? *parent : relationship.pk_table;
        if (const auto column = left_out_column(get_table_mutator3(parent_source), copy.pk_flds)) {
            leave_out(relationship, L"Its referenced column '" + *column +
                                        L"' is left out of the table '" + relationship.pk_table +
                                        L"'.");
            continue;
        }
        if (parent != nullptr) {
            copy.pk_table = *parent;
        } else {
            copy.pk_table = unconverted_table_name(run, relationship.pk_table);
            if (!direct || !run.destination->is_table_exist(copy.pk_table)) {
                leave_out(relationship, L"Its referenced table '" + relationship.pk_table +
                                            L"' was not converted and is not in the " +
                                            (direct ? L"destination." : L"script."));
                continue;
            }
            if (!has_referenced_key(*run.destination, copy.pk_table, copy.pk_flds)) {
                leave_out(relationship, L"The table '" + copy.pk_table +
                                            L"' in the destination has no primary key or unique "
                                            L"index on (" +
                                            joined(copy.pk_flds) + L").");
                continue;
            }
        }
        wanted.push_back(copy);
    }
    if (wanted.empty() && left_out.empty()) {
        return;
    }
    progress_line(L"Converting table relationships\r\n");
    error_handler& handler = tk_singleton<error_handler>::ref();
    for (const auto& [relationship, why] : left_out) {
        handler.set_context(relationship->name.empty()
                                ? relationship->fk_table
                                : L"Foreign key '" + relationship->name + L"'");
        handler.handle(tk_exception(L"Cannot create foreign key. " + why, 0), false);
    }
    if (!wanted.empty()) {
        run.destination->create_relationships(wanted);
    }
}
