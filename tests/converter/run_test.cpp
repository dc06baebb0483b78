// The conversion run over databases in memory: the steps, the modes, and every failure by level.
#include "tests/converter/converter_test_support.h"
#include "tests/converter/fake_db.h"

#include "SQL/sql_engi.h"
#include "TK/tk_stop.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/resource.h>

#include <algorithm>

using converter_test::dest_record;
using converter_test::driver_env;
using converter_test::fake_destination;
using converter_test::fake_source;
using converter_test::fake_table;

namespace {

// A converter whose run reads and writes the fakes it is given.
class fake_run_converter : public velmora_convertor {
public:
    fake_run_converter() {
        direct = false;
        convert_views = false;
        sql->version = 0x50700;
        source = std::make_unique<fake_source>();
        destination = std::make_unique<fake_destination>();
        record = destination->rec;
    }
    std::unique_ptr<udb_database> open_source() override {
        if (fail_open) {
            fail_open();
        }
        return std::move(source);
    }
    std::unique_ptr<udb_database> get_dest_base() override { return std::move(destination); }

    std::unique_ptr<fake_source> source;
    std::unique_ptr<fake_destination> destination;
    std::shared_ptr<dest_record> record;
    std::function<void()> fail_open;
};

fake_table table_of(int rows, const std::wstring& prefix = L"r") {
    fake_table table;
    table.columns = {L"id", L"name"};
    for (int i = 1; i <= rows; ++i) {
        table.rows.push_back({std::to_wstring(i), prefix + std::to_wstring(i)});
    }
    udb_index key(L"PK", true, true);
    key.columns = {L"id"};
    table.indexes.push_back(key);
    return table;
}

sql_exception duplicate_key() {
    sql_exception error;
    error.code = 0x400426;
    error.message = "Duplicate entry";
    return error;
}

std::vector<std::string> ui_errors(const driver_env& env) {
    return env.ui.errors;
}

TEST(Run, TablesAndQueriesInOrderWithProgress) {
    driver_env env;
    fake_run_converter converter;
    converter.src = L"Shop";
    converter.source->add(L"Orders", table_of(3));
    converter.source->add(L"Items", table_of(0));
    converter.source->content[L"select top 2"] = table_of(2, L"q");
    converter.selected_queries = {{L"Top", L"select top 2"}};
    converter.selected_tables = {L"Orders", L"Items"};
    converter.convert_views = true;
    converter.selected_views = {{L"V", L"select * from Orders"}};
    converter();

    EXPECT_TRUE(converter.finished);
    EXPECT_EQ(env.ui.timer_periods, std::vector<unsigned>{200});
    const std::vector<std::wstring> lines = {
        L"Converting database 'Shop' (3 tables)\r\n", L"Converting table Top (2 records)\r\n",
        L"Converting table Orders (3 records)\r\n", L"Converting table Items (0 records)\r\n"};
    EXPECT_EQ(env.ui.log_lines, lines);
    const dest_record& rec = *converter.record;
    EXPECT_TRUE(rec.deleted) << "the run releases the destination";
    EXPECT_EQ(rec.created, (std::vector<std::wstring>{L"Top", L"Orders", L"Items"}));
    EXPECT_EQ(rec.rows.at(L"Orders"), (std::vector<std::wstring>{L"1|r1", L"2|r2", L"3|r3"}));
    EXPECT_EQ(rec.rows.at(L"Top").size(), 2u);
    EXPECT_EQ(rec.rows.count(L"Items"), 0u);
    EXPECT_EQ(rec.created_indexes.at(L"Orders").size(), 1u);
    EXPECT_EQ(rec.views.size(), 1u);
    EXPECT_TRUE(rec.table_names.empty()) << "no name changed";
    EXPECT_EQ(converter.object_count, 0);
    EXPECT_EQ(converter.object_index, 0);
    EXPECT_EQ(converter.selected_queries, (std::vector<vlm_query>{{L"Top", L"select top 2"}}))
        << "the run's work list is its own";
    EXPECT_EQ(converter.selected_tables, (std::vector<std::wstring>{L"Orders", L"Items"}));
    EXPECT_TRUE(env.ui.errors.empty());
}

// Nothing selected is nothing to convert: refused before the destination is opened.
TEST(Run, NothingSelectedIsRefusedBeforeTheDestination) {
    driver_env env;
    fake_run_converter converter;
    converter.src = L"Empty";
    converter();
    EXPECT_TRUE(env.ui.log_lines.empty());
    EXPECT_EQ(env.ui.errors, std::vector<std::string>{"There is nothing to convert: no table, "
                                                      "query or view of database 'Empty' is "
                                                      "selected."});
    EXPECT_TRUE(converter.finished);
}

TEST(Run, DefinitionsOnlyAndSkippedIndexes) {
    driver_env env;
    fake_run_converter converter;
    converter.source->add(L"Orders", table_of(3));
    converter.selected_tables = {L"Orders"};
    converter.tab_def = true;
    converter.skip_idx = true;
    converter();
    EXPECT_EQ(env.ui.log_lines.back(), L"Converting table Orders (3 records)\r\n");
    EXPECT_EQ(converter.record->rows.count(L"Orders"), 0u);
    EXPECT_TRUE(converter.record->created_indexes.at(L"Orders").empty());
}

// One bad row is that row's failure; the rows after it still arrive.
TEST(Run, RowFailuresAreReportedPerRecordAndTheCopyGoesOn) {
    driver_env env;
    fake_run_converter converter;
    converter.source->add(L"Orders", table_of(6));
    converter.selected_tables = {L"Orders"};
    converter.destination->fail_append = [](const std::wstring&, int number) {
        if (number == 2) {
            throw sql_prep_stmt_failed_exception();
        }
        if (number == 4) {
            sql_exception error;
            error.code = 0x400000 + 1366;
            error.message = "Incorrect string value";
            throw error;
        }
        if (number == 5) {
            throw tk_exception("Row size too large", 1);
        }
    };
    converter();
    EXPECT_EQ(converter.record->rows.at(L"Orders"),
              (std::vector<std::wstring>{L"1|r1", L"3|r3", L"6|r6"}));
    EXPECT_EQ(ui_errors(env),
              (std::vector<std::string>{"Orders, record #2: Failed to execute prepared statement",
                                        "Orders, record #4: Incorrect string value",
                                        "Orders, record #5: Row size too large"}));
    EXPECT_EQ(env.ui.questions.size(), 1u) << "level 0 asks";
    EXPECT_EQ(env.ui.error_boxes.size(), 2u) << "level 1 shows a box";
    EXPECT_EQ(converter.records_done, 6u);
}

// A source that could not count its rows is copied whole, its count shown as unknown; only a
// counted 0 skips the copy.
TEST(Run, UncountedSourcesAreCopiedWithoutATotal) {
    driver_env env;
    fake_run_converter converter;
    fake_table uncounted = table_of(3);
    uncounted.counted = false;
    converter.source->add(L"Ordered", uncounted);
    converter.source->add(L"Empty", table_of(0));
    converter.selected_tables = {L"Empty", L"Ordered"};
    converter();
    EXPECT_EQ(converter.record->rows.at(L"Ordered"),
              (std::vector<std::wstring>{L"1|r1", L"2|r2", L"3|r3"}));
    EXPECT_EQ(converter.record->rows.count(L"Empty"), 0u);
    EXPECT_EQ(converter.object_records, udb_recordset::unknown_count);
    EXPECT_EQ(converter.records_done, 3u);
    const auto& lines = env.ui.log_lines;
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        L"Converting table Ordered (number of records unknown)\r\n"),
              lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), L"Converting table Empty (0 records)\r\n"),
              lines.end());
}

TEST(Run, AbortAtTheThirdQuestionEndsTheRun) {
    driver_env env;
    env.ui.abort_at_question = 3;
    fake_run_converter converter;
    converter.source->add(L"A", table_of(5));
    converter.source->add(L"B", table_of(5));
    converter.selected_tables = {L"A", L"B"};
    converter.convert_views = true;
    converter.selected_views = {{L"V", L"select 1"}};
    converter.destination->fail_append = [](const std::wstring&, int number) {
        if (number % 2 == 0) {
            throw tk_exception("refused", 0);
        }
    };
    converter();
    EXPECT_EQ(env.ui.questions.size(), 3u);
    EXPECT_EQ(converter.record->rows.at(L"A").size(), 3u);
    EXPECT_EQ(converter.record->rows.at(L"B").size(), 1u) << "B's row 3 is never offered";
    EXPECT_TRUE(converter.record->views.empty());
    EXPECT_TRUE(converter.record->deleted);
    EXPECT_TRUE(converter.finished);
}

// A stop request (the wizard's close, a signal) is answered at the next row: the rows done
// stay, nothing further is converted, and the run says why it ended.
TEST(Run, StopRequestEndsTheRunAfterTheRowsDone) {
    driver_env env;
    fake_run_converter converter;
    converter.source->add(L"A", table_of(5));
    converter.source->add(L"B", table_of(5));
    converter.selected_tables = {L"A", L"B"};
    converter.destination->fail_append = [](const std::wstring&, int number) {
        if (number == 3) {
            tk_request_stop();
        }
    };
    converter();
    tk_clear_stop();
    EXPECT_EQ(converter.record->rows.at(L"A").size(), 3u);
    EXPECT_EQ(converter.record->created, std::vector<std::wstring>{L"A"});
    EXPECT_EQ(env.ui.narrow_errors,
              (std::vector<std::string>{"The conversion was stopped by the user.",
                                        "No script was written."}));
    EXPECT_TRUE(converter.finished);
}

TEST(Run, ObjectFailuresReportTheNameAndTheNextObjectFollows) {
    driver_env env;
    fake_run_converter converter;
    converter.source->add(L"B", table_of(1));
    converter.selected_tables = {L"Missing", L"B"};
    converter();
    EXPECT_EQ(ui_errors(env),
              std::vector<std::string>{"Missing: The specified table does not exist."});
    EXPECT_EQ(converter.record->rows.at(L"B").size(), 1u);
}

TEST(Run, ModesAgainstAnExistingTable) {
    struct row {
        int mode;
        std::vector<std::wstring> dropped;
        std::size_t rows;
        std::size_t lines;
        std::vector<std::string> errors;
    };
    // The existing table has no key: merge appends its rows and says so once.
    const std::vector<std::string> unmatched = {
        "Orders: The table has no primary key or unique index: its rows cannot be matched with "
        "the rows already there and are all appended."};
    for (const row& r :
         {row{1, {L"Orders"}, 2, 2, {}}, row{2, {}, 0, 1, {}}, row{3, {}, 2, 2, unmatched}}) {
        SCOPED_TRACE(r.mode);
        driver_env env;
        fake_run_converter converter;
        converter.mode = r.mode;
        converter.source->add(L"Orders", table_of(2));
        converter.selected_tables = {L"Orders"};
        converter.destination->tables = {L"Orders"};
        converter();
        EXPECT_EQ(converter.record->dropped, r.dropped);
        EXPECT_EQ(converter.record->rows[L"Orders"].size(), r.rows);
        EXPECT_EQ(env.ui.log_lines.size(), r.lines);
        EXPECT_EQ(ui_errors(env), r.errors);
    }
}

// Only a table that was there before the run holds rows to match; what merge skipped and
// synchronize replaced there is counted once per table. In a table the run created, a duplicate
// key means two source rows collide: reported with the record, as in every mode.
TEST(Run, MergeSkipsAndSynchronizeUpdatesOnlyRowsOfAnExistingTable) {
    struct case_t {
        int mode;
        bool existing;
        std::size_t updates;
        std::vector<std::string> errors;
        std::wstring said;
    };
    const std::string reported =
        "Orders, record #2: Duplicate field values being used for an unique index were found. "
        "See 'Troubleshooting' article of the product documentation for solution. Duplicate "
        "entry";
    const std::vector<case_t> cases = {
        {3,
         true,
         0,
         {},
         L"Orders: 1 row was not copied: the table already held a row with its key.\r\n"},
        {4,
         true,
         1,
         {},
         L"Orders: 1 row already in the table was replaced by a copied row with the same key.\r\n"},
        {3, false, 0, {reported}, L""},
        {4, false, 0, {reported}, L""},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(std::to_string(c.mode) + (c.existing ? " existing" : " created"));
        driver_env env;
        fake_run_converter converter;
        converter.mode = c.mode;
        converter.source->add(L"Orders", table_of(3));
        converter.selected_tables = {L"Orders"};
        if (c.existing) {
            converter.destination->tables = {L"Orders"};
            converter.destination->existing_indexes[L"Orders"] = table_of(0).indexes;
        }
        converter.destination->fail_append = [](const std::wstring&, int number) {
            if (number == 2) {
                throw duplicate_key();
            }
        };
        converter();
        EXPECT_EQ(converter.record->rows.at(L"Orders").size(), 2u);
        EXPECT_EQ(converter.record->updates[L"Orders"].size(), c.updates);
        EXPECT_EQ(ui_errors(env), c.errors);
        const auto said = std::find_if(
            env.ui.log_lines.begin(), env.ui.log_lines.end(),
            [](const std::wstring& line) { return line.find(L"already") != std::wstring::npos; });
        EXPECT_EQ(said == env.ui.log_lines.end() ? L"" : *said, c.said);
    }
}

// A failed update in synchronize mode is that row's error, never silently lost.
TEST(Run, FailedSynchronizeUpdateIsReportedAndTheCopyGoesOn) {
    driver_env env;
    fake_run_converter converter;
    converter.mode = 4;
    converter.source->add(L"Orders", table_of(3));
    converter.selected_tables = {L"Orders"};
    converter.destination->tables = {L"Orders"};
    converter.destination->existing_indexes[L"Orders"] = table_of(0).indexes;
    converter.destination->fail_append = [](const std::wstring&, int number) {
        if (number == 1) {
            throw duplicate_key();
        }
    };
    converter.destination->fail_update = [](const std::wstring&) {
        throw tk_exception("The row to update was not found", 0);
    };
    converter();
    EXPECT_EQ(ui_errors(env),
              std::vector<std::string>{"Orders, record #1: The row to update was not found"});
    EXPECT_EQ(converter.record->rows.at(L"Orders").size(), 2u);
}

TEST(Run, DuplicateOutsideMergeIsAskedWithTheRecord) {
    driver_env env;
    fake_run_converter converter;
    converter.source->add(L"Orders", table_of(2));
    converter.selected_tables = {L"Orders"};
    converter.destination->fail_append = [](const std::wstring&, int number) {
        if (number == 2) {
            throw duplicate_key();
        }
    };
    converter();
    ASSERT_EQ(env.ui.questions.size(), 1u);
    EXPECT_EQ(tk_to_utf8(env.ui.questions[0]),
              "Orders, record #2: Duplicate field values being used for an unique index were "
              "found. See 'Troubleshooting' article of the product documentation for solution. "
              "Duplicate entry");
}

TEST(Run, StructureMismatchInMergeIsALevelZeroObjectError) {
    driver_env env;
    env.ui.abort_at_question = 1;
    fake_run_converter converter;
    converter.mode = 3;
    converter.source->add(L"Orders", table_of(2));
    converter.source->add(L"Other", table_of(2));
    converter.selected_tables = {L"Orders", L"Other"};
    converter.destination->tables = {L"Orders"};
    udb_schema other{true};
    other.push_back(std::make_shared<t_ftd>(4, L"x", VT_I4, false, false, ole_variant(), 0, L""));
    converter.destination->existing_schemas[L"Orders"] = other;
    converter();
    ASSERT_EQ(env.ui.questions.size(), 1u);
    EXPECT_EQ(tk_to_utf8(env.ui.questions[0]),
              "Orders: The structure of data source does not conform to the destination table.");
    EXPECT_EQ(converter.record->rows.count(L"Other"), 0u) << "Abort ends the run";
}

TEST(Run, SameDestinationNameGetsASafeNameAndTheNamesMapRecordsIt) {
    driver_env env;
    fake_run_converter converter;
    converter.mss_schema = L"dbo";
    converter.source->add(L"[dbo].[T]", table_of(1));
    converter.source->add(L"[sales].[T]", table_of(1));
    converter.selected_tables = {L"[dbo].[T]", L"[sales].[T]"};
    converter();
    const dest_record& rec = *converter.record;
    ASSERT_EQ(rec.created.size(), 2u);
    EXPECT_NE(rec.created[0], rec.created[1]);
    EXPECT_EQ(rec.table_names.at(L"[sales].[T]"), rec.created[1]);
}

// A name made safe in one run is found again by the next run into the same destination.
TEST(Run, SafeNamesStayStableAcrossRunsIntoAnExistingDestination) {
    const std::wstring long_name(70, L'x');
    for (int mode : {1, 3}) {
        SCOPED_TRACE(mode);
        std::wstring first_name;
        for (int pass = 0; pass < 2; ++pass) {
            driver_env env;
            fake_run_converter converter;
            converter.mode = mode;
            converter.source->add(long_name, table_of(1));
            converter.selected_tables = {long_name};
            if (pass == 1) {
                converter.destination->tables = {first_name};
            }
            converter();
            ASSERT_EQ(converter.record->created.size(), 1u);
            if (pass == 0) {
                first_name = converter.record->created[0];
                EXPECT_NE(first_name, long_name);
            } else {
                EXPECT_EQ(converter.record->created[0], first_name);
            }
        }
    }
}

TEST(Run, ForeignKeysOnlyBetweenTablesThisRunCreated) {
    driver_env env;
    fake_run_converter converter;
    converter.source->add(L"[dbo].[Orders]", table_of(1));
    converter.source->add(L"[dbo].[Items]", table_of(1));
    converter.source->relationships.push_back(udb_relationship(
        L"FK_Items_Orders", L"PK", L"Items", L"Orders", {L"order_id"}, {L"id"}, L""));
    converter.source->relationships.push_back(udb_relationship(
        L"FK_Items_Stock", L"PK", L"Items", L"Stock", {L"stock_id"}, {L"id"}, L""));
    converter.selected_tables = {L"[dbo].[Orders]", L"[dbo].[Items]"};
    converter();
    const dest_record& rec = *converter.record;
    ASSERT_EQ(rec.relationships.size(), 1u);
    EXPECT_EQ(rec.relationships[0].fk_table, L"[dbo].[Items]");
    EXPECT_EQ(rec.relationships[0].pk_table, L"[dbo].[Orders]");
    EXPECT_EQ(env.ui.log_lines.back(), L"Converting table relationships\r\n");

    driver_env env2;
    fake_run_converter skipped;
    skipped.skip_idx = true;
    skipped.source->add(L"Orders", table_of(1));
    skipped.source->add(L"Items", table_of(1));
    skipped.source->relationships.push_back(udb_relationship(
        L"FK_Items_Orders", L"PK", L"Items", L"Orders", {L"order_id"}, {L"id"}, L""));
    skipped.selected_tables = {L"Orders", L"Items"};
    skipped();
    EXPECT_TRUE(skipped.record->relationships.empty());
}

TEST(Run, ConsoleConvertsAllTablesAndSkipsMissingOnes) {
    driver_env env;
    env.ui.console = true;
    fake_run_converter converter;
    converter.source->add(L"A", table_of(1));
    converter.source->add(L"B", table_of(1));
    converter();
    EXPECT_EQ(converter.record->created, (std::vector<std::wstring>{L"A", L"B"}));
}

// Views a selection holds keep a console run from widening to every table: with the views
// converted they are all it creates, without them there is nothing to convert (refused before
// the destination is prepared; a console run's handler would end the process).
TEST(Run, ConsoleSelectionOfViewsOnlyConvertsNoTable) {
    for (const bool views : {true, false}) {
        SCOPED_TRACE(views);
        driver_env env;
        env.ui.console = true;
        fake_run_converter converter;
        converter.src = L"Shop";
        converter.source->add(L"A", table_of(1));
        converter.selected_views = {{L"V1", L"select 1 as a"}, {L"V2", L"select 2 as a"}};
        converter.convert_views = views;
        if (views) {
            converter();
            EXPECT_TRUE(converter.record->created.empty());
            EXPECT_TRUE(env.ui.errors.empty());
            EXPECT_EQ(converter.record->views.size(), 2u);
            continue;
        }
        try {
            converter.prepare_source();
            ADD_FAILURE() << "not refused";
        } catch (const tk_exception& error) {
            EXPECT_EQ(error.level, 1);
            EXPECT_STREQ(error.what(), "There is nothing to convert: no table or query of "
                                       "database 'Shop' is selected, and the selected views "
                                       "(V1, V2) are left out: they are converted only with "
                                       "--views.");
        }
    }
}

// A wizard run that leaves out selected views says which, and why; the console agent said so
// when it read its profile.
TEST(Run, SelectedViewsLeftOutAreNamed) {
    struct row {
        const char* name;
        bool console;
        bool convert;
        std::uint32_t version;
        std::vector<std::string> errors;
    };
    const std::vector<row> rows = {
        {"box off",
         false,
         false,
         0x50700,
         {"The selected views V were not converted: 'Convert views' is off."}},
        {"old server",
         false,
         true,
         0x50000,
         {"The selected views V were not converted: the MySQL server cannot create views (5.0.1 "
          "or later can)."}},
        {"old server, console",
         true,
         true,
         0x50000,
         {"The selected views V were not converted: the MySQL server cannot create views (5.0.1 "
          "or later can)."}},
        {"console without --views", true, false, 0x50700, {}},
        {"converted", false, true, 0x50700, {}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        driver_env env;
        env.ui.console = r.console;
        fake_run_converter converter;
        converter.direct = true;
        converter.sql->version = r.version;
        converter.source->add(L"A", table_of(0)); // no rows: no statement for the server
        converter.selected_tables = {L"A"};
        converter.selected_views = {{L"V", L"select 1 as a"}};
        converter.convert_views = r.convert;
        converter();
        EXPECT_EQ(converter.record->created, std::vector<std::wstring>{L"A"});
        EXPECT_EQ(env.ui.narrow_errors, r.errors);
        EXPECT_TRUE(env.ui.errors.empty()) << env.ui.errors.front();
        EXPECT_EQ(converter.record->views.size(), r.errors.empty() && r.convert ? 1u : 0u);
    }
}

TEST(Run, ConsoleSkipsAListedTableTheSourceLacks) {
    driver_env env;
    env.ui.console = true;
    fake_run_converter listed;
    listed.source->add(L"A", table_of(1));
    listed.selected_tables = {L"Nope", L"A"};
    listed();
    EXPECT_EQ(env.ui.missing_tables, std::vector<std::wstring>{L"Nope"});
    EXPECT_TRUE(env.ui.errors.empty());
    EXPECT_EQ(listed.record->created, std::vector<std::wstring>{L"A"});
}

TEST(Run, UserMutatorsRenameRetypeAndDrop) {
    driver_env env;
    fake_run_converter converter;
    converter.source->add(L"Orders", table_of(2));
    converter.selected_tables = {L"Orders"};
    sql_table_mutator* table = converter.get_table_mutator2(L"Orders", L"orders_renamed");
    sql_native_type type;
    type.type = L"VARCHAR";
    type.length = 10;
    table->update_field(L"name", L"label", type);
    converter();
    EXPECT_EQ(converter.record->created, std::vector<std::wstring>{L"orders_renamed"});
    EXPECT_EQ(converter.record->rows.at(L"orders_renamed"),
              (std::vector<std::wstring>{L"1|r1", L"2|r2"}));
    EXPECT_EQ(converter.record->table_names.at(L"Orders"), L"orders_renamed");
}

// A type mapping that deletes a key column narrows the key the run creates: said per key with
// what it lost and what it keeps, only where the table is created with its indexes.
TEST(Run, AKeyNarrowedByTheTypeMappingIsSaid) {
    struct case_t {
        const char* what;
        std::vector<std::wstring> deleted;
        bool existing;
        bool skip_idx;
        std::vector<std::string> errors;
    };
    const std::vector<case_t> cases = {
        {"one column of the primary key",
         {L"name"},
         false,
         false,
         {"Orders: The primary key 'PK' loses the column 'name' to the type mapping and holds "
          "only 'id': rows that differ only in what it lost are refused as duplicates."}},
        {"every column",
         {L"name", L"id"},
         false,
         false,
         {"Orders: The primary key 'PK' loses every column to the type mapping ('id', 'name') "
          "and is not created."}},
        {"a column of no key", {L"note"}, false, false, {}},
        {"an existing table keeps its own keys", {L"name"}, true, false, {}},
        {"no indexes are created", {L"name"}, false, true, {}},
    };
    for (const case_t& c : cases) {
        SCOPED_TRACE(c.what);
        driver_env env;
        fake_run_converter converter;
        fake_table orders = table_of(0);
        orders.columns.push_back(L"note");
        orders.indexes[0].columns = {L"id", L"name"};
        converter.source->add(L"Orders", orders);
        converter.selected_tables = {L"Orders"};
        converter.skip_idx = c.skip_idx;
        if (c.existing) {
            converter.mode = 3;
            converter.destination->tables = {L"Orders"};
        }
        sql_table_mutator* table = converter.get_table_mutator2(L"Orders", L"Orders");
        sql_native_type type;
        type.type = L"VARCHAR";
        type.length = 10;
        for (const std::wstring& column : c.deleted) {
            table->update_field(column, column, type)->status = udb_mutators::deleted;
        }
        converter();
        EXPECT_EQ(ui_errors(env), c.errors);
    }
}

TEST(Run, FailuresOfTheWholeRunAreReportedAndTheRunCloses) {
    driver_env env;
    {
        fake_run_converter converter;
        converter.fail_open = [] { throw tk_exception("Cannot open the source", 1); };
        converter();
        EXPECT_EQ(env.ui.error_boxes, std::vector<std::wstring>{L"Cannot open the source"});
        EXPECT_EQ(env.ui.narrow_errors, std::vector<std::string>{"No script was written."});
        EXPECT_TRUE(converter.finished);
    }
    env.ui.narrow_errors.clear();
    {
        fake_run_converter converter;
        converter.fail_open = [] { throw std::runtime_error("out of luck"); };
        converter();
        EXPECT_EQ(env.ui.narrow_errors,
                  (std::vector<std::string>{"out of luck", "No script was written."}));
        EXPECT_TRUE(converter.finished);
    }
}

TEST(Run, ForeignKeysFollowTheUsersColumnChanges) {
    driver_env env;
    fake_run_converter converter;
    converter.source->add(L"Orders", table_of(1));
    converter.source->add(L"Items", table_of(1));
    converter.source->relationships.push_back(
        udb_relationship(L"FK_renamed", L"PK", L"Items", L"Orders", {L"name"}, {L"id"}, L""));
    converter.source->relationships.push_back(
        udb_relationship(L"FK_deleted", L"PK", L"Orders", L"Items", {L"id"}, {L"id"}, L""));
    converter.selected_tables = {L"Orders", L"Items"};
    sql_native_type type;
    type.type = L"VARCHAR";
    type.length = 10;
    sql_table_mutator* items = converter.get_table_mutator2(L"Items", L"Items");
    items->update_field(L"name", L"label", type);
    items->update_field(L"id", L"id", type)->status = udb_mutators::deleted;
    converter();
    ASSERT_EQ(converter.record->relationships.size(), 1u);
    EXPECT_EQ(converter.record->relationships[0].name, L"FK_renamed");
    EXPECT_EQ(converter.record->relationships[0].fk_flds, std::vector<std::wstring>{L"label"});
}

// A script file that cannot be written is a failure of the run, never a silent success.
// A write that fails (here at a file-size limit, met when the file is closed) is the run's
// error; no script is put in place, and the one that stood at the path stays.
TEST(Run, ScriptWriteFailureIsReportedAndLeavesNoScript) {
    driver_env env;
    class script_run : public fake_run_converter {
    public:
        std::unique_ptr<udb_database> get_dest_base() override {
            return velmora_convertor::get_dest_base();
        }
    } converter;
    converter.source->add(L"Orders", table_of(400));
    converter.selected_tables = {L"Orders"};
    converter_test::temp_dir dir;
    std::ofstream(dir.file("out.sql")) << "old";
    converter.dest = dir.wfile("out.sql");

    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit lowered{8192, saved.rlim_max};
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &lowered);
    converter();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    EXPECT_TRUE(converter.finished);
    ASSERT_FALSE(env.ui.errors.empty());
    EXPECT_NE(env.ui.errors.back().find("File too large"), std::string::npos)
        << env.ui.errors.back();
    EXPECT_EQ(env.ui.narrow_errors, std::vector<std::string>{"No script was written."});
    std::ifstream in(dir.file("out.sql"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "old");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path),
                            std::filesystem::directory_iterator()),
              1)
        << "no temporary or lock file is left";
}

} // namespace

// A table that the type mapping renames to the name of a query copied before it is refused as
// the query would be, not sent to a generated name beside the query's table.
TEST(Run, TableRenamedToAQuerysNameIsRefused) {
    driver_env env;
    fake_run_converter converter;
    converter.source->add(L"Orders", table_of(2));
    converter.source->add(L"Items", table_of(1));
    converter.selected_queries = {{L"Sales", L"Items"}};
    converter.selected_tables = {L"Orders"};
    converter.get_table_mutator2(L"Orders", L"Sales");
    converter();
    EXPECT_EQ(ui_errors(env),
              std::vector<std::string>{
                  "Orders: The destination table 'Sales' already holds the rows of the query "
                  "'Sales' in this run; the table 'Orders' was not copied. Give one of them "
                  "another name."});
    std::vector<std::wstring> filled;
    for (const auto& [name, rows] : converter.record->rows) {
        filled.push_back(name);
    }
    EXPECT_EQ(filled, std::vector<std::wstring>{L"Sales"});
    EXPECT_EQ(converter.record->rows.at(L"Sales").size(), 1u);
}
