// The database, engine and property-bag interfaces and their base behaviour.
#include "UDB/udb_db.h"

#include "TK/tk_excep.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

class test_database : public udb_database {
public:
    explicit test_database(std::int32_t case_sensitive) : udb_database(L"db", 0, case_sensitive) {}

    std::unique_ptr<udb_recordset> create_table(const std::wstring&, const udb_schema&,
                                                const udb_indexes&) override {
        return nullptr;
    }
    std::unique_ptr<udb_recordset> get_query(const std::wstring&, const std::wstring&,
                                             std::int32_t) override {
        return nullptr;
    }
    std::unique_ptr<udb_recordset> get_table(const std::wstring&, std::int32_t) override {
        return nullptr;
    }
    bool test_query(const std::wstring&) override { return true; }
    using udb_database::create_table;
};

// Records what the base operations pass on to the overridable ones.
class recording_database : public test_database {
public:
    recording_database() : test_database(0) {}
    std::unique_ptr<udb_recordset> query(const std::wstring& statement) override {
        statements.push_back(statement);
        return nullptr;
    }
    void create_index(const std::wstring& table, const udb_schema&,
                      const udb_index& index) override {
        statements.push_back(table + L":" + index.name);
    }
    std::vector<std::wstring> statements;
};

TEST(UdbDatabase, TableListHonoursTheCaseFlag) {
    test_database ignoring(0);
    EXPECT_FALSE(ignoring.is_table_exist(L"orders"));
    ignoring.tables = {L"ORDERS", L"Items"};
    EXPECT_TRUE(ignoring.is_table_exist(L"orders"));
    EXPECT_EQ(&ignoring.get_tables(), &ignoring.tables);

    test_database exact(1);
    exact.tables = {L"ORDERS"};
    EXPECT_FALSE(exact.is_table_exist(L"orders"));
    EXPECT_TRUE(exact.is_table_exist(L"ORDERS"));
    EXPECT_FALSE(exact.delete_tab(L"orders"));
}

TEST(UdbDatabase, DeleteTabRemovesOnlyTheFirstMatch) {
    test_database db(0);
    db.tables = {L"a", L"T", L"b", L"t", L"c"};
    EXPECT_TRUE(db.delete_tab(L"t"));
    EXPECT_EQ(db.tables, (std::vector<std::wstring>{L"a", L"b", L"t", L"c"}));
    EXPECT_FALSE(db.delete_tab(L"x"));
}

TEST(UdbDatabase, BaseOperationsPassOnOrRefuse) {
    recording_database db;
    db.empty_table(L"Order Details");
    udb_indexes indexes;
    indexes.push_back(udb_index(L"i1", false, false));
    indexes.push_back(udb_index(L"i2", true, false));
    db.create_indexes(L"t", udb_schema(), indexes);
    EXPECT_EQ(db.statements,
              (std::vector<std::wstring>{L"delete from Order Details", L"t:i1", L"t:i2"}));

    std::vector<std::wstring> names = {L"dbo", L"sales"};
    db.get_schema_info(names);
    EXPECT_TRUE(names.empty());

    db.add_tn_mapping(L"Orders", L"orders");
    EXPECT_EQ(db.names_map.get_tn_mapped_name(L"Orders", true), L"orders");

    test_database plain(0);
    try {
        plain.query(L"select 1");
        FAIL() << "no exception";
    } catch (const tk_mail_assertion& e) {
        EXPECT_EQ(e.message, make_err_meggase("udb_db", 111));
    }
    try {
        plain.create_table();
        FAIL() << "no exception";
    } catch (const tk_mail_assertion& e) {
        EXPECT_EQ(e.message, make_err_meggase("udb_db", 50));
    }
}

class test_engine : public udb_engine {
public:
    std::unique_ptr<udb_database> create_db(const std::wstring&) override { return nullptr; }
    std::unique_ptr<udb_database> open_db(const std::wstring&, std::int32_t,
                                          const std::wstring&) override {
        return nullptr;
    }
};

class test_properties : public udb_properties {
public:
    udb_properties* find_by_name(const std::wstring&) override { return nullptr; }
    udb_properties* find_by_new_name(const std::wstring&) override { return nullptr; }
};

TEST(UdbEngine, FileDatabasesAndProperties) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("udb_engine_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto file = dir / "db.sql";
    std::ofstream(file) << "x";

    test_engine engine;
    EXPECT_TRUE(engine.is_db_exist(file.wstring()));
    EXPECT_FALSE(engine.is_db_exist(dir.wstring()));
    engine.db_delete(file.wstring());
    EXPECT_FALSE(engine.is_db_exist(file.wstring()));
    try {
        engine.db_delete(file.wstring());
        FAIL() << "no exception";
    } catch (const tk_exception_ex& e) {
        EXPECT_EQ(e.level, 1);
        EXPECT_NE(e.code, 0);
    }
    std::filesystem::remove_all(dir);

    EXPECT_EQ(engine.properties, nullptr);
    test_properties props;
    props.get_properties()[L"engine"] = L"InnoDB";
    engine.set_properties(&props);
    ASSERT_EQ(engine.properties, &props);
    EXPECT_EQ(engine.properties->get_properties()[L"engine"], L"InnoDB");
    EXPECT_EQ(engine.properties->get_properties()[L"character set"], L"");
    EXPECT_EQ(props.properties.size(), 2u);
}

} // namespace
