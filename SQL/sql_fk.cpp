// Foreign keys added to the converted tables of a MySQL server database.
#include "SQL/sql_db.h"

#include "SQL/sql_engi.h"
#include "TK/tk_log.h"
#include "TK/tk_stop.h"
#include "TK/tk_utils.h"
#include "UDB/udb_idx.h"
#include "UDB/udb_services.h"
#include "UDB/udb_util.h"
#include "UDB/udb_vali.h"

#include <memory>

namespace {

sql_engine& engine() {
    return tk_singleton<sql_engine>::ref();
}

// The destination name of a source table, the first pair of the names map that matches
// without regard to case; the name itself when none does.
std::wstring mapped_table(const udb_names_map& map, const std::wstring& table) {
    tk_log_wmessage(1, L"udb_names_map::get_tn_mapped_name(%ls)", table.c_str());
    for (const auto& pair : map.tn_map) {
        tk_log_wmessage(1, L"Comparing with (%ls,%ls)", pair.first.c_str(), pair.second.c_str());
        if (udb_equal_no_case(pair.first, table)) {
            tk_log_wmessage(1, L"Got mapped name: %ls", pair.second.c_str());
            return pair.second;
        }
    }
    return table;
}

// The destination name of a source column of destination table `table`, exact lookups.
std::wstring mapped_column(const udb_names_map& map, const std::wstring& table,
                           const std::wstring& column) {
    tk_log_wmessage(1, L"udb_names_map::get_fn_mapped_name(%ls,%ls)", table.c_str(),
                    column.c_str());
    const auto t = map.fn_maps.find(table);
    if (t == map.fn_maps.end()) {
        tk_log_wmessage(1, L"Table '%ls' not found", table.c_str());
        return column;
    }
    const auto c = t->second.find(column);
    if (c == t->second.end()) {
        return column;
    }
    tk_log_wmessage(1, L"Got mapped name: %ls", c->second.c_str());
    return c->second;
}

std::wstring column_list(const udb_names_map& map, const std::wstring& table,
                         const std::vector<std::wstring>& columns) {
    std::wstring text;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (i > 0) {
            text += L", ";
        }
        text += engine().get_safe_name(mapped_column(map, table, columns[i]));
    }
    return text;
}

// Runs a statement whose result is not wanted; a server error raises sql_exception.
void run(sql_database& db, const std::wstring& statement) {
    std::unique_ptr<udb_recordset> rows = db.query(statement);
}

// Holds the LOCK TABLES of one foreign key and releases it on every way out, so that later
// statements of the run (views, other tables) are not refused.
class table_lock {
public:
    table_lock(sql_database& db, const std::wstring& statement) : db_(db) {
        tk_log_wmessage(3, L"Locking query: '%ls'", statement.c_str());
        run(db_, statement);
        locked_ = true;
    }
    ~table_lock() {
        if (!locked_) {
            return;
        }
        try {
            run(db_, L"UNLOCK TABLES");
        } catch (const tk_exception& e) {
            tk_log_message(2, "Cannot unlock tables: %s", e.what());
        }
    }
    table_lock(const table_lock&) = delete;
    table_lock& operator=(const table_lock&) = delete;

private:
    sql_database& db_;
    bool locked_ = false;
};

} // namespace

void sql_database::create_relationships(const udb_relationships& list) {
    tk_log_message(2, "sql_database::create_relationships");
    tk_log_message(3, "Converting foreign keys");
    sql_engine& e = engine();
    if (e.version < 0x3172C) {
        tk_log_message(3, "This version of MySQL doesn't support Foreign Keys");
        return;
    }
    if (mode == 8) {
        tk_log_message(3, "Foreign keys are not converted in append mode");
        return;
    }
    try {
        run(*this, L"SET FOREIGN_KEY_CHECKS = 0");
    } catch (const tk_exception& error) {
        tk_log_message(2, "Cannot turn OFF foreign key check: %s", error.what());
    }
    const std::unique_ptr<udb_validator> validator(e.create_in_validator(udb_indexes()));
    for (const udb_relationship& rel : list) {
        if (tk_stop_requested()) {
            throw tk_final_exception();
        }
        try {
            tk_log_wmessage(3, L"Processing '%ls'", rel.name.c_str());
            const std::wstring fk_table = mapped_table(names_map, rel.fk_table);
            tk_log_wmessage(1, L"fk_table_name=%ls", fk_table.c_str());
            if (!is_table_exist(fk_table)) {
                throw tk_exception("Table '" + tk_to_utf8(fk_table) + "' not exists", 0);
            }
            const std::wstring pk_table = names_map.get_tn_mapped_name(rel.pk_table, false);
            tk_log_wmessage(1, L"pk_table_name=%ls", pk_table.c_str());
            if (!is_table_exist(pk_table)) {
                throw tk_exception("Table '" + tk_to_utf8(pk_table) + "' not exists", 0);
            }
            // A table that references itself is locked once: naming it twice is refused.
            std::wstring locking = L"LOCK TABLES " + e.get_safe_name(pk_table) + L" WRITE";
            if (fk_table != pk_table) {
                locking += L", " + e.get_safe_name(fk_table) + L" WRITE";
            }
            const table_lock lock(*this, locking);
            create_fk_index_if(fk_table, rel.fk_flds);
            create_fk_index_if(pk_table, rel.pk_flds);

            std::wstring constraint = rel.name;
            if (!validator->is_acceptable(constraint)) {
                constraint = validator->get_safe_name(rel.name);
                tk_log_wmessage(2, L"Store generated index name '%ls'", constraint.c_str());
                tk_log_wmessage(1, L"udb_validator::add_existing_name(%ls)", constraint.c_str());
                validator->add_existing_name(constraint);
            }
            validator->restricted_words.push_back(constraint);

            std::wstring statement = L"ALTER TABLE " + e.get_safe_name(fk_table) +
                                     L" ADD CONSTRAINT " + e.get_safe_name(constraint) +
                                     L" FOREIGN KEY(" +
                                     column_list(names_map, fk_table, rel.fk_flds) +
                                     L") REFERENCES " + e.get_safe_name(pk_table) + L"(" +
                                     column_list(names_map, pk_table, rel.pk_flds) + L")";
            if (!rel.properties.empty()) {
                statement += L" " + rel.properties;
            }
            tk_log_wmessage(3, L"Foreign key query: '%ls'", statement.c_str());
            run(*this, statement);
        } catch (const tk_exception& error) {
            tk_log_message(3, "Error while creating FK:\n%s\n", error.what());
            if (sql_ends_object_list(error)) {
                throw;
            }
            udb_error_handler& handler = tk_singleton<udb_error_handler>::ref();
            handler.context = rel.name.empty() ? tk_to_utf8(rel.fk_table)
                                               : "Foreign key '" + tk_to_utf8(rel.name) + "'";
            // The server's reason is what tells the user what to change.
            handler.handle(
                tk_exception(std::string("Cannot create foreign key. ") + error.what(), 0), false);
        }
    }
    try {
        run(*this, L"SET FOREIGN_KEY_CHECKS = 1");
    } catch (const tk_exception& error) {
        tk_log_message(2, "Cannot turn ON foreign key check: %s", error.what());
    }
}

void sql_database::create_fk_index_if(const std::wstring& table,
                                      const std::vector<std::wstring>& columns) {
    tk_log_wmessage(2, L"sql_database::create_fk_index_if(%ls)", table.c_str());
    std::unique_ptr<udb_recordset> opened = get_table(table, 0x61);
    if (!opened) {
        throw tk_mail_assertion("sql_db", 292);
    }
    tk_log_message(1, "udb_indexes::has_index_on_fields");
    for (const udb_index& index : opened->indexes) {
        if (index.starts_with_fields(columns)) {
            tk_log_wmessage(2, L"Index for table '%ls' exists", table.c_str());
            return;
        }
    }
    opened.reset();
    tk_log_wmessage(2, L"Index for table '%ls' does NOT exist", table.c_str());
    const std::wstring statement = L"ALTER TABLE " + engine().get_safe_name(table) +
                                   L" ADD INDEX (" + column_list(names_map, table, columns) + L")";
    try {
        run(*this, statement);
    } catch (const sql_exception& error) {
        tk_log_message(2, "Error while creating index for FK:\n%s\n", error.what());
    }
}
