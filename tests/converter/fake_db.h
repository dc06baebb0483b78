// Source and destination databases in memory, for runs without servers.
#pragma once

#include "UDB/udb_db.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace converter_test {

// One table of text columns; its rows are lists of texts.
struct fake_table {
    std::vector<std::wstring> columns;
    std::vector<std::vector<std::wstring>> rows;
    udb_indexes indexes;
    bool counted = true; // false: the source could not count the rows
};

// A source table or query: a cursor over fake rows.
class fake_source_recordset : public udb_recordset {
public:
    fake_source_recordset(udb_database* db, const std::wstring& name, const fake_table& table)
        : udb_recordset(db, name, true), table_(table) {
        for (const std::wstring& column : table.columns) {
            schema.push_back(
                std::make_shared<t_ftd>(50, column, VT_BSTR, false, false, ole_variant(), 0, L""));
        }
        indexes = table.indexes;
        rec_count = table.counted ? table.rows.size() : unknown_count;
    }
    void append_record(const udb_record&) override {}
    void reset() override {
        position_ = 0;
        load();
    }
    bool is_eof() override { return position_ >= table_.rows.size(); }
    void next() override {
        ++position_;
        load();
    }
    udb_record* get_item() override { return &current_; }

private:
    void load() {
        current_.clear();
        if (position_ >= table_.rows.size()) {
            return;
        }
        const auto& row = table_.rows[position_];
        for (std::size_t i = 0; i < row.size(); ++i) {
            current_.push_back(std::make_unique<udb_field>(table_.columns[i], 50,
                                                           ole_variant(row[i]), false, false));
        }
    }

    fake_table table_;
    std::size_t position_ = 0;
    udb_record current_;
};

class fake_source : public udb_database {
public:
    fake_source() : udb_database(L"source", 1, 0) {}

    void add(const std::wstring& name, fake_table table) {
        tables.push_back(name);
        content[name] = std::move(table);
    }
    std::unique_ptr<udb_recordset> create_table(const std::wstring&, const udb_schema&,
                                                const udb_indexes&) override {
        return nullptr;
    }
    std::unique_ptr<udb_recordset> get_query(const std::wstring& name, const std::wstring& select,
                                             std::int32_t) override {
        return std::make_unique<fake_source_recordset>(this, name, content.at(select));
    }
    std::unique_ptr<udb_recordset> get_table(const std::wstring& name, std::int32_t) override {
        const auto it = content.find(name);
        if (it == content.end()) {
            throw tk_exception("The specified table does not exist.", 0);
        }
        return std::make_unique<fake_source_recordset>(this, name, it->second);
    }
    bool test_query(const std::wstring&) override { return true; }

    std::map<std::wstring, fake_table> content;
};

class fake_destination;

// A destination table: records what reaches it; `fail` may throw for a record (1-based).
class fake_dest_recordset : public udb_recordset {
public:
    fake_dest_recordset(fake_destination* db, const std::wstring& name, const udb_schema& source);
    void append_record(const udb_record& record) override;
    void update1(const udb_record& record) override;

private:
    fake_destination* owner_;
    int count_ = 0;
};

// What a destination received; it outlives the destination, which the run deletes.
struct dest_record {
    // What each table received: its rows as "v1|v2|...".
    std::map<std::wstring, std::vector<std::wstring>> rows;
    std::map<std::wstring, std::vector<std::wstring>> updates;
    std::vector<std::wstring> created;
    std::vector<std::wstring> dropped;
    std::map<std::wstring, udb_indexes> created_indexes;
    std::vector<udb_view> views;
    udb_relationships relationships;
    t_names_map table_names;
    bool deleted = false;
};

class fake_destination : public udb_database {
public:
    fake_destination() : udb_database(L"dest", 0xA8, 0) {}
    ~fake_destination() override {
        rec->table_names = names_map.tn_map;
        rec->deleted = true;
    }

    std::unique_ptr<udb_recordset> create_table(const std::wstring& name, const udb_schema& schema,
                                                const udb_indexes& indexes) override {
        rec->created.push_back(name);
        rec->created_indexes[name] = indexes;
        if (!is_table_exist(name)) {
            tables.push_back(name);
        }
        auto table = std::make_unique<fake_dest_recordset>(this, name, schema);
        const auto other = existing_schemas.find(name);
        if (other != existing_schemas.end()) {
            table->schema = other->second;
        }
        if (const auto keys = existing_indexes.find(name); keys != existing_indexes.end()) {
            table->indexes = keys->second;
        }
        return table;
    }
    bool delete_tab(const std::wstring& name) override {
        rec->dropped.push_back(name);
        return udb_database::delete_tab(name);
    }
    std::unique_ptr<udb_recordset> get_query(const std::wstring&, const std::wstring&,
                                             std::int32_t) override {
        return nullptr;
    }
    std::unique_ptr<udb_recordset> get_table(const std::wstring&, std::int32_t) override {
        return nullptr;
    }
    bool test_query(const std::wstring&) override { return true; }
    void create_views(const std::vector<udb_view>& list) override { rec->views = list; }
    void create_relationships(const udb_relationships& list) override { rec->relationships = list; }

    std::shared_ptr<dest_record> rec = std::make_shared<dest_record>();
    std::map<std::wstring, udb_schema> existing_schemas;
    // The indexes an existing table reads back with (none unless given).
    std::map<std::wstring, udb_indexes> existing_indexes;
    // Called before a record is appended (table, 1-based number); may throw.
    std::function<void(const std::wstring&, int)> fail_append;
    std::function<void(const std::wstring&)> fail_update;
};

inline std::wstring joined(const udb_record& record) {
    std::wstring text;
    for (const auto& field : record) {
        if (!text.empty()) {
            text += L"|";
        }
        text += field->to_wstring();
    }
    return text;
}

inline fake_dest_recordset::fake_dest_recordset(fake_destination* db, const std::wstring& name,
                                                const udb_schema& source)
    : udb_recordset(db, name, true), owner_(db) {
    for (const auto& column : source) {
        schema.push_back(std::make_shared<t_ftd>(*column));
    }
}

inline void fake_dest_recordset::append_record(const udb_record& record) {
    ++count_;
    if (owner_->fail_append) {
        owner_->fail_append(name, count_);
    }
    owner_->rec->rows[name].push_back(joined(record));
}

inline void fake_dest_recordset::update1(const udb_record& record) {
    if (owner_->fail_update) {
        owner_->fail_update(name);
    }
    owner_->rec->updates[name].push_back(joined(record));
}

} // namespace converter_test
