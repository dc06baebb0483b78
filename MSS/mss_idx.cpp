// Index and foreign-key reading of an MS SQL table.
#include "MSS/mss_db.h"
#include "MSS/mss_engi.h"
#include "MSS/mss_gap.h"
#include "MSS/mss_tab.h"
#include "MSS/mss_tnam.h"
#include "MSS/odb_exce.h"
#include "MSS/odb_mdat.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "UDB/udb_util.h"

namespace {

std::wstring rule_text(const std::wstring& update_rule, const std::wstring& delete_rule) {
    std::wstring text;
    if (!update_rule.empty()) {
        text += L" ON UPDATE " + update_rule;
    }
    if (!delete_rule.empty()) {
        text += L" ON DELETE " + delete_rule;
    }
    return text;
}

udb_index* find_index(udb_indexes& list, const std::wstring& name) {
    for (udb_index& index : list) {
        if (udb_equal_no_case(index.name, name)) {
            return &index;
        }
    }
    return nullptr;
}

} // namespace

namespace {

// Adds the foreign keys that `keys` lists to `relationships`, the columns of a key of several
// columns to one relationship.
void mss_add_foreign_keys(odb_fk_meta_data& keys, udb_relationships& relationships) {
    namespace col = odb_schema_column;
    const bool view_owned = mss_engine::ref().is_view_owned();
    for (keys.reset(); !keys.is_eof(); keys.next()) {
        const udb_record& row = *keys.get_item();
        const std::wstring fk_name = row[col::fk_name]->to_wstring();
        const std::wstring pk_table = view_owned ? row[col::fk_pk_table]->to_wstring()
                                                 : row[col::fk_pk_schema]->to_wstring() + L"." +
                                                       row[col::fk_pk_table]->to_wstring();
        const std::wstring fk_table = view_owned ? row[col::fk_fk_table]->to_wstring()
                                                 : row[col::fk_fk_schema]->to_wstring() + L"." +
                                                       row[col::fk_fk_table]->to_wstring();
        tk_log_wmessage(2, L"fk_name=%ls, pk_table=%ls, fk_table=%ls", fk_name.c_str(),
                        pk_table.c_str(), fk_table.c_str());
        const std::wstring parent = row[col::fk_pk_column]->to_wstring();
        const std::wstring child = row[col::fk_fk_column]->to_wstring();
        if (relationships.find(fk_name, pk_table, fk_table)) {
            tk_log_wmessage(2, L"GOT EXISTING FOREIGN KEY: %ls", fk_name.c_str());
            udb_relationship& existing = relationships.get(fk_name, pk_table, fk_table);
            const bool known = std::find(existing.pk_flds.begin(), existing.pk_flds.end(),
                                         parent) != existing.pk_flds.end() ||
                               std::find(existing.fk_flds.begin(), existing.fk_flds.end(), child) !=
                                   existing.fk_flds.end();
            if (known) {
                tk_log_wmessage(2, L"Column %ls->%ls already exists in FK, skip it", parent.c_str(),
                                child.c_str());
            } else {
                existing.pk_flds.push_back(parent);
                existing.fk_flds.push_back(child);
                tk_log_wmessage(2, L"Add FK column (2): %ls->%ls", parent.c_str(), child.c_str());
            }
            continue;
        }
        tk_log_wmessage(2, L"GOT NEW FOREIGN KEY: %ls", fk_name.c_str());
        const std::wstring update_rule = row[col::fk_update_rule]->to_wstring();
        const std::wstring delete_rule = row[col::fk_delete_rule]->to_wstring();
        tk_log_wmessage(1, L"update rule=%ls, delete_rule=%ls", update_rule.c_str(),
                        delete_rule.c_str());
        tk_log_wmessage(2, L"Add FK column (1): %ls->%ls", parent.c_str(), child.c_str());
        relationships.push_back(udb_relationship(fk_name, row[col::fk_pk_name]->to_wstring(),
                                                 fk_table, pk_table, {child}, {parent},
                                                 rule_text(update_rule, delete_rule)));
    }
}

} // namespace

void odb_table::init_indexes(const std::wstring& table, const std::wstring& owner) {
    namespace col = odb_schema_column;
    tk_log_wmessage(2, L"odb_table::init_indexes(%ls,%ls)", table.c_str(), owner.c_str());

    // Each catalogue statement that fails costs the table only what that statement gives.
    tk_log_message(2, "Initializing primary key");
    try {
        odb_pk_meta_data keys(session.get(), table, owner);
        std::wstring key_name;
        std::vector<std::wstring> key_columns;
        for (keys.reset(); !keys.is_eof(); keys.next()) {
            const udb_record& row = *keys.get_item();
            const std::wstring pk_name = row[col::pk_name]->to_wstring();
            if (key_name.empty()) {
                key_name = pk_name;
                tk_log_wmessage(2, L"Got pr.key: %ls", key_name.c_str());
            } else {
                tk_check(pk_name == key_name, "mss_tab", 165);
            }
            const std::int32_t ordinal = row[col::pk_ordinal]->to_long();
            const std::wstring column = row[col::pk_column]->to_wstring();
            tk_log_wmessage(2, L"Got pk column #%d: '%ls'", ordinal, column.c_str());
            // ORDINAL counts from 1; a row outside that range places nothing.
            if (ordinal < 1) {
                continue;
            }
            if (key_columns.size() < static_cast<std::size_t>(ordinal)) {
                key_columns.resize(ordinal);
            }
            key_columns[ordinal - 1] = column;
        }
        if (key_columns.empty()) {
            tk_log_message(2, "Primary key was NOT found");
        } else {
            udb_index key(key_name, true, true);
            key.columns = key_columns;
            add_index(key);
        }
    } catch (const odb_exception& e) {
        mss_report_catalogue_gap(name, "The primary key", e);
    }

    tk_log_message(2, "Initializing foreign keys");
    try {
        odb_fk_meta_data keys(session.get(), table, owner);
        mss_add_foreign_keys(keys, *relationships);
    } catch (const odb_exception& e) {
        mss_report_catalogue_gap(name, "The foreign keys", e);
    }

    tk_log_message(2, "Initializing other indexes");
    udb_indexes local;
    try {
        odb_id_meta_data list(session.get(), table, owner);
        for (list.reset(); !list.is_eof(); list.next()) {
            const udb_record& row = *list.get_item();
            const std::wstring index_name = row[col::idx_name]->to_wstring();
            const std::wstring column = row[col::idx_column]->to_wstring();
            tk_log_wmessage(1, L"udb_indexes::is_acceptable_name(%ls)", index_name.c_str());
            udb_index* known = find_index(local, index_name);
            if (known == nullptr) {
                const bool unique = row[col::idx_unique]->to_bool();
                const bool primary = row[col::idx_primary]->to_bool();
                tk_log_wmessage(2, L"Got index: %ls (%d,%d)", index_name.c_str(), unique, primary);
                tk_log_wmessage(2, L"Add idx.column: '%ls'", column.c_str());
                udb_index index(index_name, unique, primary);
                index.columns.push_back(column);
                local.push_back_direct(index);
            } else {
                tk_log_wmessage(1, L"udb_indexes::get_index(%ls)", index_name.c_str());
                if (known->b_primary) {
                    tk_log_message(2, "Skip Primary Key DoubleInitialization");
                    continue;
                }
                known->columns.push_back(column);
                tk_log_wmessage(2, L"Add idx.column: '%ls'", column.c_str());
            }
        }
    } catch (const odb_exception& e) {
        mss_report_catalogue_gap(name, "The indexes", e);
        return;
    }

    tk_log_message(2, "Right before copying indexes (size=%d)", static_cast<int>(local.size()));
    for (udb_index& index : local) {
        std::wstring split_table;
        std::wstring split_owner;
        mss_split_tab_name(name, split_table, split_owner);
        const std::wstring sql =
            L"SELECT col.name FROM sys.indexes ind INNER JOIN      sys.index_columns ic ON  "
            L"ind.object_id = ic.object_id and ind.index_id = ic.index_id INNER JOIN      "
            L"sys.columns col ON ic.object_id = col.object_id and ic.column_id = col.column_id "
            L"INNER JOIN      sys.tables t ON ind.object_id = t.object_id INNER JOIN      "
            L"sys.schemas sch ON t.schema_id = sch.schema_id WHERE      ic.is_included_column=1 "
            L"AND sch.name='" +
            mss_escape_literal(split_owner) + L"' AND t.name='" + mss_escape_literal(split_table) +
            L"' AND ind.name='" + mss_escape_literal(index.name) + L"'";
        tk_log_wmessage(2, L"list_inc_idx_col_qry=%ls", sql.c_str());
        try {
            auto included = run_query(sql);
            for (included->reset(); !included->is_eof(); included->next()) {
                const std::wstring column = (*included->get_item())[0]->to_wstring();
                index.extra_columns.push_back(column);
                tk_log_wmessage(1, L"Got included column for index '%ls': '%ls'",
                                index.name.c_str(), column.c_str());
            }
        } catch (const odb_exception& e) {
            mss_report_catalogue_gap(name, "The included columns of an index", e);
        }
        add_index(index);
    }
}

void odb_table::init_indexes2(const std::wstring& table, const std::wstring& owner) {
    tk_log_wmessage(2, L"odb_table::init_indexes2(%ls,%ls)", table.c_str(), owner.c_str());
    const std::wstring table_literal = mss_escape_literal(table);
    const std::wstring owner_literal = mss_escape_literal(owner);
    // The fifth column tells included columns apart: they are not key columns.
    std::wstring sql =
        L"SELECT      ind.name, col.name, ind.is_primary_key, ind.is_unique, "
        L"ic.is_included_column FROM      sys.indexes ind INNER JOIN      sys.index_columns ic "
        L"ON  ind.object_id = ic.object_id and ind.index_id = ic.index_id INNER JOIN      "
        L"sys.columns col ON ic.object_id = col.object_id and ic.column_id = col.column_id "
        L"INNER JOIN      sys.tables t ON ind.object_id = t.object_id WHERE      ";
    if (!owner.empty()) {
        sql += L"SCHEMA_NAME(t.schema_id)='" + owner_literal + L"' AND t.name='" + table_literal +
               L"' AND t.is_ms_shipped=0";
    } else {
        sql += L"t.name = '" + table_literal + L"' AND t.is_ms_shipped = 0";
    }
    sql += L" ORDER BY      t.name, ind.name, ind.index_id, ic.index_column_id";
    tk_log_wmessage(2, L"Index query: %ls", sql.c_str());
    try {
        auto rows = run_query(sql);
        for (rows->reset(); !rows->is_eof(); rows->next()) {
            const udb_record& row = *rows->get_item();
            const std::wstring index_name = row[0]->to_wstring();
            const std::wstring column = row[1]->to_wstring();
            const bool included = row[4]->to_bool();
            tk_log_wmessage(1, L"udb_indexes::is_acceptable_name(%ls)", index_name.c_str());
            udb_index* known = find_index(indexes, index_name);
            if (known == nullptr) {
                tk_log_wmessage(2, L"Got index: %ls", index_name.c_str());
                udb_index index(index_name, row[3]->to_bool(), row[2]->to_bool());
                (included ? index.extra_columns : index.columns).push_back(column);
                add_index(index);
            } else {
                tk_log_wmessage(1, L"udb_indexes::get_index(%ls)", index_name.c_str());
                (included ? known->extra_columns : known->columns).push_back(column);
            }
        }
    } catch (const odb_exception& e) {
        mss_report_catalogue_gap(name, "The primary key and indexes", e);
    }

    // The sixth column names the referenced table's own schema.
    sql = L"SELECT       obj.name, col1.name, tab2.name, col2.name,      "
          L"fks.delete_referential_action_desc, fks.update_referential_action_desc, "
          L"SCHEMA_NAME(tab2.schema_id) FROM      sys.foreign_keys fks INNER JOIN "
          L"sys.foreign_key_columns fkc      ON fks.object_id = fkc.constraint_object_id INNER "
          L"JOIN sys.objects obj     ON obj.object_id = fkc.constraint_object_id INNER JOIN "
          L"sys.tables tab1     ON tab1.object_id = fkc.parent_object_id INNER JOIN sys.columns "
          L"col1     ON col1.column_id = parent_column_id AND col1.object_id = tab1.object_id "
          L"INNER JOIN sys.tables tab2     ON tab2.object_id = fkc.referenced_object_id INNER "
          L"JOIN sys.columns col2     ON col2.column_id = referenced_column_id AND "
          L"col2.object_id = tab2.object_id WHERE      ";
    if (!owner.empty()) {
        sql += L"SCHEMA_NAME(tab1.schema_id)='" + owner_literal + L"' AND ";
    }
    sql += L"tab1.name = '" + table_literal + L"' ORDER BY obj.name";
    tk_log_wmessage(2, L"FK query: %ls", sql.c_str());
    try {
        read_foreign_keys2(sql, table, owner);
    } catch (const odb_exception& e) {
        mss_report_catalogue_gap(name, "The foreign keys", e);
    }
}

void odb_table::read_foreign_keys2(const std::wstring& sql, const std::wstring& table,
                                   const std::wstring& owner) {
    auto rows = run_query(sql);
    for (rows->reset(); !rows->is_eof(); rows->next()) {
        const udb_record& row = *rows->get_item();
        const std::wstring fk_name = row[0]->to_wstring();
        if (relationships->is_acceptable_name(fk_name)) {
            tk_log_wmessage(2, L"GOT FOREIGN KEY: %ls", fk_name.c_str());
            std::wstring fk_table = table;
            std::wstring pk_table = row[2]->to_wstring();
            if (!owner.empty()) {
                const std::wstring pk_owner = row[6]->to_wstring();
                fk_table = owner + L"." + fk_table;
                pk_table = (pk_owner.empty() ? owner : pk_owner) + L"." + pk_table;
            }
            std::wstring delete_rule = row[4]->to_wstring();
            std::wstring update_rule = row[5]->to_wstring();
            tk_wstring::replace_all(delete_rule, L"_", L" ");
            tk_wstring::replace_all(update_rule, L"_", L" ");
            tk_log_wmessage(1, L"update rule=%ls, delete_rule=%ls", update_rule.c_str(),
                            delete_rule.c_str());
            relationships->push_back(udb_relationship(
                fk_name, std::wstring(), fk_table, pk_table, {row[1]->to_wstring()},
                {row[3]->to_wstring()}, rule_text(update_rule, delete_rule)));
        } else {
            udb_relationship& existing = relationships->get_index(fk_name);
            existing.pk_flds.push_back(row[3]->to_wstring());
            existing.fk_flds.push_back(row[1]->to_wstring());
        }
    }
}

void mss_database::add_referencing_keys(const std::wstring& table_name) {
    std::wstring owner;
    std::wstring table;
    if (!mss_parse_tab_name(table_name, owner, table)) {
        return;
    }
    odb_fk_meta_data keys(session.get(), table, owner, true);
    mss_add_foreign_keys(keys, relationships);
}
