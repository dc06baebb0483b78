// The MS SQL writer: foreign keys and the unique indexes they need.
#include "MSS/mss_db.h"

#include "MSS/mss_engi.h"
#include "MSS/mss_tnam.h"
#include "MSS/mss_werr.h"
#include "MSS/odb_cmd.h"
#include "MSS/odb_exce.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "UDB/udb_util.h"

namespace {

constexpr const wchar_t* delete_rules[] = {L"ON DELETE CASCADE", L"ON DELETE NO ACTION",
                                           L"ON DELETE SET NULL", L"ON DELETE SET DEFAULT"};
constexpr const wchar_t* update_rules[] = {L"ON UPDATE CASCADE", L"ON UPDATE NO ACTION",
                                           L"ON UPDATE SET NULL", L"ON UPDATE SET DEFAULT"};

// The orphaned rows of a key: the low word of DB_E_INTEGRITYVIOLATION.
constexpr int integrity_violation = 0x0E2F;

// The enclosed destination names of `columns` of `table`, separated by ", ".
std::wstring column_list(const udb_names_map& map, const std::wstring& table,
                         const std::vector<std::wstring>& columns) {
    std::wstring list;
    for (const std::wstring& column : columns) {
        if (!list.empty()) {
            list += L", ";
        }
        list += mss_enclose_name(map.get_fn_mapped_name(table, column, true));
    }
    return list;
}

} // namespace

bool mss_engine::is_valid_fk_props(const std::wstring& text) {
    tk_log_wmessage(2, L"mss_engine::is_valid_fk_props(%ls)", text.c_str());
    for (int d = 0; d < 4; ++d) {
        for (int u = 0; u < 4; ++u) {
            tk_log_message(1, "Processing pattern #%i-%i", d, u);
            if (udb_equal_no_case(text, std::wstring(delete_rules[d]) + L" " + update_rules[u])) {
                tk_log_message(2, "At the end - TRUE(1)");
                return true;
            }
            if (udb_equal_no_case(text, std::wstring(update_rules[u]) + L" " + delete_rules[d])) {
                tk_log_message(2, "At the end - TRUE(2)");
                return true;
            }
        }
    }
    tk_log_message(1, "At the end - FALSE");
    return false;
}

void mss_database::create_relationships(const udb_relationships& list) {
    tk_log_message(2, "mss_database::create_relationships");
    if (mode == 8) {
        tk_log_message(3, "Foreign keys are not converted in append mode");
        return;
    }
    mss_engine& engine = mss_engine::ref();
    // A table created without a schema is listed without one, whether or not the key names
    // the default schema.
    auto exists = [&](const std::wstring& table) {
        std::wstring owner;
        std::wstring plain;
        mss_read_dest_name(table, owner, plain);
        const std::wstring default_owner = engine.default_owner();
        return is_table_exist(mss_list_tab_name(owner, plain)) ||
               (owner.empty() && is_table_exist(mss_list_tab_name(default_owner, plain))) ||
               (udb_equal_no_case(owner, default_owner) &&
                is_table_exist(mss_list_tab_name({}, plain)));
    };
    for (const udb_relationship& rel : list) {
        try {
            tk_log_wmessage(3, L"Processing '%ls', properties=%ls", rel.name.c_str(),
                            rel.properties.c_str());
            const std::wstring child = names_map.get_tn_mapped_name(rel.fk_table, true);
            tk_log_wmessage(1, L"fk_table_name=%ls", child.c_str());
            if (!exists(child)) {
                throw tk_exception("Table '" + tk_to_utf8(child) + "' not exists", 0);
            }
            const std::wstring parent = names_map.get_tn_mapped_name(rel.pk_table, true);
            tk_log_wmessage(1, L"pk_table_name=%ls", parent.c_str());
            if (!exists(parent)) {
                throw tk_exception("Table '" + tk_to_utf8(parent) + "' not exists", 0);
            }
            create_fk_index_if(parent, rel.pk_flds);
            std::wstring sql = L"ALTER TABLE " + engine.get_dest_tname(child) + L" ADD";
            if (!rel.name.empty()) {
                sql += L" CONSTRAINT " + mss_enclose_name(rel.name);
            }
            sql += L" FOREIGN KEY (" + column_list(names_map, child, rel.fk_flds) +
                   L") REFERENCES " + engine.get_dest_tname(parent) + L"(" +
                   column_list(names_map, parent, rel.pk_flds) + L")";
            if (!rel.properties.empty() &&
                mss_engine::is_valid_fk_props(tk_wtrim(rel.properties))) {
                sql += L" " + rel.properties;
            }
            tk_log_wmessage(2, L"Foreign key query: '%ls'", sql.c_str());
            odb_command command(session.get());
            command.execute(sql);
        } catch (const tk_exception& e) {
            tk_log_message(3, "Error while creating FK:\n%s\n", e.what());
            const std::string context = rel.name.empty()
                                            ? tk_to_utf8(rel.fk_table)
                                            : "Foreign key '" + tk_to_utf8(rel.name) + "'";
            // SQL Server's 547 is the same refusal, whatever result code the provider gives it.
            const auto* server = dynamic_cast<const odb_exception*>(&e);
            const bool orphans = (e.code & 0xFFFF) == integrity_violation ||
                                 (server != nullptr && server->native_error == 547);
            const char* what =
                orphans ? "There are orphaned records that prevent from creating foreign key. For "
                          "more\ninformation see Troubleshooting article of the product "
                          "documentation."
                        : "Can't create foreign key.";
            mss_report_writer_error(context, mss_writer_error(what, e));
        }
    }
}

void mss_database::create_fk_index_if(const std::wstring& table,
                                      const std::vector<std::wstring>& columns) {
    tk_log_wmessage(2, L"mss_database::create_fk_index_if(%ls)", table.c_str());
    try {
        const std::wstring qualified = mss_engine::ref().get_dest_tname(table);
        std::unique_ptr<udb_recordset> opened = get_table(qualified, 1);
        tk_log_message(1, "udb_indexes::has_index_on_fields");
        // A unique index the writer filtered (one over a nullable column) cannot be a
        // foreign key's candidate key: it does not count.
        const bool filters = mss_engine::ref().version() >= 5;
        auto filtered = [&](const udb_index& index) {
            if (!filters || index.b_primary) {
                return false;
            }
            for (const std::wstring& column : index.columns) {
                if (mss_may_be_null(opened->schema, column)) {
                    return true;
                }
            }
            return false;
        };
        for (const udb_index& index : opened->indexes) {
            if (index.starts_with_fields(columns)) {
                // Only a key over exactly these columns is a candidate key: a unique index on
                // (a, b, c) does not make (a, b) unique.
                if (index.b_unique && !filtered(index) && index.columns.size() == columns.size()) {
                    tk_log_wmessage(2, L"Child index for table '%ls' exists", table.c_str());
                    return;
                }
                break;
            }
        }
        tk_log_wmessage(2, L"Child index for table '%ls' does NOT exist", table.c_str());
        const std::wstring sql = L"CREATE UNIQUE INDEX " +
                                 mss_enclose_name(gen_idx_name(opened.get(), columns)) + L" ON " +
                                 qualified + L"(" + column_list(names_map, table, columns) + L")";
        tk_log_wmessage(2, L"%ls", sql.c_str());
        odb_command command(session.get());
        command.execute(sql);
    } catch (const odb_exception& e) {
        tk_log_message(3, "Error while creating index for FK:\n%s\n", e.what());
    }
}
