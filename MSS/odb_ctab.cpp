// Table creation through OLE DB's ITableDefinition: the base class's way to create a table, with
// its columns' properties and defaults, and the ALTER COLUMN refinements SQL Server needs after it.
#include "MSS/mss_db.h"

#include "MSS/mss_engi.h"
#include "MSS/mss_tnam.h"
#include "MSS/mss_util.h"
#include "MSS/mss_vali.h"
#include "MSS/mss_werr.h"
#include "MSS/odb_cmd.h"
#include "MSS/odb_exce.h"
#include "MSS/odb_rec.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "UDB/udb_idx.h"
#include "UDB/udb_util.h"

#include <cwctype>
#include <list>

odb_column_props::~odb_column_props() {
    for (DBPROP& p : properties) {
        VariantClear(&p.vValue);
    }
}

void odb_column_props::add(DBPROPID id, const VARIANT& value) {
    DBPROP p{};
    p.dwPropertyID = id;
    p.dwOptions = DBPROPOPTIONS_REQUIRED;
    p.colid = DB_NULLID;
    VariantInit(&p.vValue);
    VariantCopy(&p.vValue, &value);
    properties.push_back(p);
}

void odb_column_props::add_bool(DBPROPID id, bool value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BOOL;
    v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    add(id, v);
}

void odb_column_props::add_text(DBPROPID id, const std::wstring& text) {
    const std::u16string wide = tk_to_utf16(text);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocStringLen(wide.data(), static_cast<unsigned>(wide.size()));
    add(id, v);
    VariantClear(&v);
}

namespace {

bool ends_no_case(const std::wstring& text, std::wstring_view tail) {
    return text.size() >= tail.size() &&
           udb_equal_no_case(std::wstring_view(text).substr(text.size() - tail.size()), tail);
}

// The type codes an identity may have (bit i of the mask stands for type code i).
bool may_auto_increment(VARTYPE type) {
    return type < 32 && ((0xFF080Cu >> type) & 1u) != 0;
}

} // namespace

void odb_database::set_def_value(const t_ftd* column, odb_column_props* set) {
    tk_log_message(1, "odb_database::set_def_value");
    tk_check(column != nullptr, "odb_db", 524);
    tk_check(set != nullptr, "odb_db", 525);
    const std::wstring text = column->default_value.to_wstring();
    tk_log_wmessage(1, L"Got default value: '%ls', type=%d", text.c_str(), column->type);
    const bool is_date = column->type == VT_DATE;
    if (is_date && (udb_equal_no_case(text, L"CURRENT_TIMESTAMP") ||
                    udb_equal_no_case(text, L"now()") || column->dw_reserved == 9)) {
        tk_log_message(2, "Special processing for CURRENT_TIMESTAMP");
        set->add_text(DBPROP_COL_DEFAULT, L"CURRENT_TIMESTAMP");
        return;
    }
    if (is_date && (udb_equal_no_case(text, L"GETDATE()") || column->dw_reserved == 10 ||
                    column->dw_reserved == 11)) {
        tk_log_message(2, "Got getdate() def.value");
        set->add_text(DBPROP_COL_DEFAULT, L"GETDATE()");
        return;
    }
    if (text.empty()) {
        return;
    }
    if (column->type == VT_BOOL) {
        tk_log_message(2, "Special processing for VT_BOOL def.values");
        set->add_text(DBPROP_COL_DEFAULT, column->default_value.to_long() != 0 ? L"1" : L"0");
        return;
    }
    if (column->type == VT_BSTR && text == L"to_char(sysdate,'yyyy-mm-dd hh24:mi:ss')") {
        tk_log_message(2, "Special processing for sysdate def.value");
        set->add_text(DBPROP_COL_DEFAULT, L"CONVERT(VARCHAR(19), GETDATE(), 120)");
        return;
    }
    try {
        const ole_variant safe =
            mssql_get_safe_variant(ole_variant::from_wstring(text, column->type));
        std::wstring value = safe.to_wstring();
        const bool quotable = ole_variant::is_date_or_string(column->type);
        if (quotable && column->size > 0 && static_cast<std::size_t>(column->size) < value.size()) {
            value.resize(static_cast<std::size_t>(column->size - 1));
            tk_log_wmessage(2, L"Truncate def.value to %d bytes: '%ls'", column->size - 1,
                            value.c_str());
        }
        if (is_date && (column->dw_reserved & 3) == 3) {
            tk_log_message(1, "Def.value for pure time");
            const std::size_t zero = value.find(L"0000-00-00 ");
            if (value.size() > 10 && zero != std::wstring::npos) {
                value.erase(zero, 11);
                tk_log_message(2, "odb_database::set_def_value: Null date has been found");
            }
        }
        tk_log_wmessage(2, L"Got safe default value: %ls", value.c_str());
        if (quotable) {
            tk_log_message(1, "Def.value is quotable");
            set->add_text(DBPROP_COL_DEFAULT, L"'" + mss_escape_literal(value) + L"'");
            return;
        }
        tk_log_message(1, "Def.value NOT quotable");
        VARIANT v;
        VariantInit(&v);
        if (safe.get_type() == VT_I8) {
            v.vt = VT_I8;
            v.llVal = safe.hyper;
        } else if (safe.get_type() == VT_UI8) {
            v.vt = VT_UI8;
            v.ullVal = safe.uhyper;
        } else {
            VariantCopy(&v, &safe.var);
        }
        set->add(DBPROP_COL_DEFAULT, v);
        VariantClear(&v);
    } catch (const ole_type_exception&) {
        tk_log_message(2, "Invalid default value");
    }
}

std::unique_ptr<udb_recordset> odb_database::create_table(const std::wstring& table,
                                                          const udb_schema& schema,
                                                          const udb_indexes& indexes) {
    tk_log_wmessage(2, L"odb_database::create_table(%ls, n_indexes=%d)", table.c_str(),
                    static_cast<int>(indexes.size()));
    ole_com_ptr<IDBCreateSession> creator;
    data_source->QueryInterface(IID_IDBCreateSession, creator.out_void());
    tk_check(creator.get() != nullptr, "odb_db", 38);
    ole_com_ptr<IUnknown> own_session;
    odb_check(creator->CreateSession(nullptr, IID_IUnknown, own_session.out_unknown()));

    // Every name handed to the provider lives until the call ends.
    std::list<std::u16string> names;
    const std::wstring enclosed = mss_enclose_name(table);
    tk_log_wmessage(2, L"Got safe table name: %ls", enclosed.c_str());
    names.push_back(tk_to_utf16(enclosed));
    DBID table_id{};
    table_id.eKind = DBKIND_NAME;
    table_id.uName.pwszName = names.back().data();

    ole_com_ptr<ITableDefinition> definition;
    own_session->QueryInterface(IID_ITableDefinition, definition.out_void());
    tk_check(definition.get() != nullptr, "odb_db", 57);

    mss_fn_validator validator(schema);
    mss_engine& engine = mss_engine::ref();
    const bool modern = engine.is_connected() && engine.is_native() && engine.version() >= 5;
    std::vector<DBCOLUMNDESC> columns(schema.size());
    std::vector<odb_column_props> properties(schema.size());
    std::vector<DBPROPSET> sets(schema.size());
    for (std::size_t i = 0; i < schema.size(); ++i) {
        const t_ftd& c = *schema[i];
        tk_log_wmessage(1, L"Creating column '%ls', type=%d, size=%d, native_type=%ls",
                        c.name.c_str(), c.type, c.size, c.native_type.c_str());
        DBCOLUMNDESC& d = columns[i];
        d = DBCOLUMNDESC{};
        odb_column_props& props = properties[i];
        const bool auto_increment = c.b_auto_num && may_auto_increment(c.type);
        props.add_bool(DBPROP_COL_AUTOINCREMENT, auto_increment);
        bool nullable = !auto_increment && !c.b_not_null;
        if (indexes.is_idx_field(c.name, true)) {
            tk_log_message(2, "Field is a part of Primary Key");
            nullable = false;
        }
        props.add_bool(DBPROP_COL_NULLABLE, nullable);
        names.push_back(tk_to_utf16(mss_enclose_name(c.name)));
        d.dbcid.eKind = DBKIND_NAME;
        d.dbcid.uName.pwszName = names.back().data();
        d.wType = odb_record::get_oledb_type(c);
        d.ulColumnSize = static_cast<DBLENGTH>(static_cast<std::uint32_t>(c.size));
        if (ends_no_case(c.native_type, L"text") || (c.size == 0 && c.type == VT_BSTR)) {
            tk_log_message(2, "Setting flag for text/ntext column, old size=%d", c.size);
            d.ulColumnSize = ~DBLENGTH(0);
        }
        if (c.type == VT_DATE && modern) {
            tk_log_message(1, "Got VT_DATE, cols[i].wType=%d", d.wType);
            if (d.wType == DBTYPE_DBTIMESTAMP) {
                d.bScale = 6;
            } else if (d.wType == DBTYPE_DATE) {
                names.push_back(u"DATE");
                d.pwszTypeName = names.back().data();
                d.ulColumnSize = 0;
            } else if (d.wType == DBTYPE_DBTIME2) {
                names.push_back(u"TIME");
                d.pwszTypeName = names.back().data();
                d.ulColumnSize = 0;
                d.bScale = 4;
            }
        }
        if (c.type == VT_DECIMAL) {
            tk_log_message(2, "Scale/precision for decimal column: (%d, %d)", c.scale, c.prec);
            if (c.prec < 39) {
                d.bPrecision = static_cast<BYTE>(c.prec);
                d.bScale = static_cast<BYTE>(c.scale);
            } else {
                d.wType = DBTYPE_R8;
            }
        }
        if (d.ulColumnSize == 0 && d.wType == DBTYPE_BYTES) {
            tk_log_message(2, "Got BLOB field, set size=-1");
            d.ulColumnSize = ~DBLENGTH(0);
        } else if (!c.b_auto_num && d.wType != DBTYPE_BYTES) {
            set_def_value(&c, &props);
        }
        sets[i] = DBPROPSET{props.properties.data(), static_cast<ULONG>(props.properties.size()),
                            DBPROPSET_COLUMN};
        d.rgPropertySets = &sets[i];
        d.cPropertySets = 1;
    }
    tk_log_message(2, "Right before creating the table");
    ole_com_ptr<IUnknown> rowset;
    odb_check(definition->CreateTable(nullptr, &table_id, columns.size(), columns.data(),
                                      IID_IUnknown, 0, nullptr, nullptr, rowset.out_unknown()));
    rowset.reset();
    tk_log_message(2, "Right after CreateTable");
    names_map.add_fn_map(enclosed, validator.mapped_pairs);

    tk_log_message(2, "Refining types for decimal & uniqueidentifier");
    for (const auto& column : schema) {
        const t_ftd& c = *column;
        tk_log_message(1, "MSS: vt=%d, dw_reserved=%d", c.type, c.dw_reserved);
        std::wstring type;
        if (c.type == VT_BSTR && c.dw_reserved == 1) {
            if (modern) {
                tk_log_message(2, "GOT MS SQL UUID");
                type = L" uniqueidentifier";
            }
        } else if (c.type == VT_R8 && c.dw_reserved == 1) {
            tk_log_message(1, "GOT MS SQL REAL");
            type = L" REAL";
        } else if (c.type == VT_DATE && (c.dw_reserved & 0x10) != 0) {
            tk_log_message(2, "GOT MS SQL DBTIMESTAMPOFFSET");
            type = L" DATETIMEOFFSET";
        } else if (c.type == VT_DECIMAL && !c.native_type.empty()) {
            type = L" " + c.native_type;
        }
        if (type.empty()) {
            continue;
        }
        std::wstring sql =
            L"ALTER TABLE " + enclosed + L" ALTER COLUMN " + mss_enclose_name(c.name) + type;
        if (c.b_not_null) {
            sql += L" NOT NULL";
        }
        tk_log_wmessage(2, L"Alter type query: %ls", sql.c_str());
        try {
            odb_command command(session.get());
            command.execute(sql);
        } catch (const ole_type_exception&) {
            tk_log_wmessage(3, L"Invalid default value: %ls", c.default_value.to_wstring().c_str());
        } catch (const tk_exception& e) {
            tk_log_message(3, "ERROR: %s", e.what());
            // The column keeps the provider's type: the user must know which one.
            mss_report_writer_error(
                tk_to_utf8(table),
                mss_writer_error("Can't change the type of column '" + tk_to_utf8(c.name) + "'.",
                                 e));
        }
    }
    return nullptr;
}
