// Schema rowsets.
#include "MSS/odb_mdat.h"

#include "MSS/odb_exce.h"
#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"

template <unsigned N>
odb_meta_data<N>::odb_meta_data(IOpenRowset* session) : odb_recordset(std::wstring()) {
    tk_log_message(1, "odb_meta_data::ctor");
    for (VARIANT& v : restrictions) {
        VariantInit(&v);
    }
    tk_check(session != nullptr, "..\\MSS/odb_mdat", 38);
    odb_check(session->QueryInterface(IID_IDBSchemaRowset, schema_rowset.out_void()));
}

template <unsigned N> odb_meta_data<N>::~odb_meta_data() {
    for (VARIANT& v : restrictions) {
        VariantClear(&v);
    }
    schema_rowset.reset();
}

template <unsigned N>
void odb_meta_data<N>::set_restriction(unsigned position, const std::wstring& value) {
    VariantClear(&restrictions[position]);
    const std::u16string text = tk_to_utf16(value);
    restrictions[position].vt = VT_BSTR;
    restrictions[position].bstrVal = SysAllocString(text.c_str());
}

template <unsigned N> void odb_meta_data<N>::internal_initialize(const GUID& schema) {
    tk_log_message(1, "odb_meta_data::internal_initialize");
    tk_check(static_cast<bool>(schema_rowset), "..\\MSS/odb_mdat", 62);
    odb_check(schema_rowset->GetRowset(nullptr, schema, N, restrictions.data(), IID_IRowset, 0,
                                       nullptr, rowset.out_unknown()));
    initialize(true);
}

template class odb_meta_data<3>;
template class odb_meta_data<4>;
template class odb_meta_data<5>;
template class odb_meta_data<6>;

odb_pk_meta_data::odb_pk_meta_data(IOpenRowset* session, const std::wstring& table,
                                   const std::wstring& schema)
    : odb_meta_data<3>(session) {
    tk_log_wmessage(1, L"odb_pk_meta_data::ctor(%ls)", table.c_str());
    if (!schema.empty()) {
        set_restriction(1, schema);
    }
    set_restriction(2, table);
    internal_initialize(DBSCHEMA_PRIMARY_KEYS);
}

odb_tl_meta_data::odb_tl_meta_data(IOpenRowset* session, const std::wstring& schema)
    : odb_meta_data<4>(session) {
    tk_log_message(1, "odb_tl_meta_data::ctor");
    if (!schema.empty()) {
        set_restriction(1, schema);
    }
    set_restriction(3, L"TABLE");
    internal_initialize(DBSCHEMA_TABLES);
}

odb_id_meta_data::odb_id_meta_data(IOpenRowset* session, const std::wstring& table,
                                   const std::wstring& schema)
    : odb_meta_data<5>(session) {
    tk_log_wmessage(1, L"odb_id_meta_data::ctor(%ls)", table.c_str());
    if (!schema.empty()) {
        set_restriction(1, schema);
    }
    set_restriction(4, table);
    internal_initialize(DBSCHEMA_INDEXES);
}

odb_fk_meta_data::odb_fk_meta_data(IOpenRowset* session, const std::wstring& table,
                                   const std::wstring& schema, bool referencing)
    : odb_meta_data<6>(session) {
    tk_log_wmessage(1, L"odb_fk_meta_data::ctor(%ls)", table.c_str());
    // The referenced side's schema and table come first among the restrictions, then the
    // referencing side's.
    const unsigned first = referencing ? 4 : 1;
    if (!schema.empty()) {
        set_restriction(first, schema);
    }
    set_restriction(first + 1, table);
    internal_initialize(DBSCHEMA_FOREIGN_KEYS);
}
