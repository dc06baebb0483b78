// The OLE DB provider that reaches MS SQL Server and Azure SQL over FreeTDS's ODBC driver. It
// is registered under the class identifiers of both SQL Server Native Client providers and of
// SQLOLEDB (program identifier "SQLOLEDB", which the service components' "Provider=sqloledb"
// connection string names), so the consumer's provider order works unchanged.
//
// Objects: the data source (IDBInitialize, IDBProperties, IDBCreateSession), sessions
// (IOpenRowset, IDBCreateCommand, IDBSchemaRowset), commands (ICommandText) and rowsets
// (IRowset, IAccessor, IColumnsInfo). Every failure posts error records with the server's text,
// SQLSTATE and native number.
#pragma once

#include "platform/oledb/oledb.h"

// The class of the SQLOLEDB provider.
inline constexpr CLSID CLSID_SQLOLEDB = {
    0x0C7FF16C, 0x38E3, 0x11D0, {0x97, 0xAB, 0x00, 0xC0, 0x4F, 0xC2, 0xAD, 0x98}};

// Registers the provider's classes and program identifiers. Idempotent; a program that includes
// this header has them registered before main.
bool tds_register_provider();
inline const bool tds_provider_registered = tds_register_provider();

// Creates a data source of the provider directly, as the class factory does.
HRESULT tds_create_data_source(const CLSID& clsid, IUnknown* outer, REFIID riid, void** object);
