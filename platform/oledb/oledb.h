// The OLE DB interfaces, structures and constants that the MS SQL source calls on: data sources,
// sessions, commands, rowsets, accessors, column information, schema rowsets, the service
// components (IDataInitialize) and the conversion library (IDataConvert).
#pragma once

#include "platform/com/com_api.h"
#include "platform/com/error_info.h"

#include <cstdint>

// Sizes as on 64-bit Windows: lengths, ordinals, counts and handles are pointer-sized.
using DBTYPE = WORD;
using DBLENGTH = std::uint64_t;
using DBORDINAL = std::uint64_t;
using DBCOUNTITEM = std::uint64_t;
using DBROWCOUNT = std::int64_t;
using DBROWOFFSET = std::int64_t;
using DBBYTEOFFSET = std::uint64_t;
using DBREFCOUNT = ULONG;
using HROW = std::uint64_t;
using HACCESSOR = std::uint64_t;
using HCHAPTER = std::uint64_t;
using DBSTATUS = DWORD;
using DBPART = DWORD;
using DBMEMOWNER = DWORD;
using DBPARAMIO = DWORD;
using DBCOLUMNFLAGS = DWORD;
using DBPROPID = DWORD;
using DBPROPOPTIONS = DWORD;
using DBPROPSTATUS = DWORD;
using DBKIND = DWORD;
using DBBINDSTATUS = DWORD;
using DBACCESSORFLAGS = DWORD;
using DBROWSTATUS = DWORD;
using DBROWOPTIONS = DWORD;
using DBDATACONVERT = DWORD;

inline constexpr HCHAPTER DB_NULL_HCHAPTER = 0;
inline constexpr HACCESSOR DB_NULL_HACCESSOR = 0;
inline constexpr HROW DB_NULL_HROW = 0;

// Result codes.
inline constexpr HRESULT DB_S_ENDOFROWSET = 0x00040EC6;
inline constexpr HRESULT DB_S_ERRORSOCCURRED = 0x00040EDA;
inline constexpr HRESULT DB_E_BADACCESSORHANDLE = make_hresult(0x80040E00);
inline constexpr HRESULT DB_E_BADROWHANDLE = make_hresult(0x80040E04);
inline constexpr HRESULT DB_E_CANTCONVERTVALUE = make_hresult(0x80040E07);
inline constexpr HRESULT DB_E_NOCOMMAND = make_hresult(0x80040E0C);
inline constexpr HRESULT DB_E_ERRORSINCOMMAND = make_hresult(0x80040E14);
inline constexpr HRESULT DB_E_CANTFETCHBACKWARDS = make_hresult(0x80040E24);
inline constexpr HRESULT DB_E_ROWSNOTRELEASED = make_hresult(0x80040E25);
inline constexpr HRESULT DB_E_UNSUPPORTEDCONVERSION = make_hresult(0x80040E1D);
inline constexpr HRESULT DB_E_ERRORSOCCURRED = make_hresult(0x80040E21);
inline constexpr HRESULT DB_E_NOTABLE = make_hresult(0x80040E37);
inline constexpr HRESULT DB_E_BADACCESSORFLAGS = make_hresult(0x80040E46);
inline constexpr HRESULT DB_SEC_E_AUTH_FAILED = make_hresult(0x80040E4D);
inline constexpr HRESULT DB_E_ALREADYINITIALIZED = make_hresult(0x80040E52);
inline constexpr HRESULT DB_E_NOTSUPPORTED = make_hresult(0x80040E53);
inline constexpr HRESULT DB_E_DATAOVERFLOW = make_hresult(0x80040E57);
inline constexpr HRESULT DB_E_INTEGRITYVIOLATION = make_hresult(0x80040E2F);
inline constexpr HRESULT DB_E_BADCOLUMNID = make_hresult(0x80040E11);
inline constexpr HRESULT DB_E_OBJECTOPEN = make_hresult(0x80040E05);
// Storage results, as streams return them.
inline constexpr HRESULT STG_E_INVALIDPOINTER = make_hresult(0x80030009);
inline constexpr HRESULT STG_E_MEDIUMFULL = make_hresult(0x80030070);

// Data types (DBTYPE).
enum : DBTYPE {
    DBTYPE_EMPTY = 0,
    DBTYPE_NULL = 1,
    DBTYPE_I2 = 2,
    DBTYPE_I4 = 3,
    DBTYPE_R4 = 4,
    DBTYPE_R8 = 5,
    DBTYPE_CY = 6,
    DBTYPE_DATE = 7,
    DBTYPE_BSTR = 8,
    DBTYPE_IDISPATCH = 9,
    DBTYPE_ERROR = 10,
    DBTYPE_BOOL = 11,
    DBTYPE_VARIANT = 12,
    DBTYPE_IUNKNOWN = 13,
    DBTYPE_DECIMAL = 14,
    DBTYPE_I1 = 16,
    DBTYPE_UI1 = 17,
    DBTYPE_UI2 = 18,
    DBTYPE_UI4 = 19,
    DBTYPE_I8 = 20,
    DBTYPE_UI8 = 21,
    DBTYPE_GUID = 72,
    DBTYPE_BYTES = 128,
    DBTYPE_STR = 129,
    DBTYPE_WSTR = 130,
    DBTYPE_NUMERIC = 131,
    DBTYPE_UDT = 132,
    DBTYPE_DBDATE = 133,
    DBTYPE_DBTIME = 134,
    DBTYPE_DBTIMESTAMP = 135,
    DBTYPE_XML = 141,
    DBTYPE_SQLVARIANT = 144,
    DBTYPE_DBTIME2 = 145,
    DBTYPE_DBTIMESTAMPOFFSET = 146,
    DBTYPE_BYREF = 0x4000,
};

// Status of one value in a row buffer.
enum : DBSTATUS {
    DBSTATUS_S_OK = 0,
    DBSTATUS_E_BADACCESSOR = 1,
    DBSTATUS_E_CANTCONVERTVALUE = 2,
    DBSTATUS_S_ISNULL = 3,
    DBSTATUS_S_TRUNCATED = 4,
    DBSTATUS_E_SIGNMISMATCH = 5,
    DBSTATUS_E_DATAOVERFLOW = 6,
    DBSTATUS_E_CANTCREATE = 7,
    DBSTATUS_E_UNAVAILABLE = 8,
    DBSTATUS_E_PERMISSIONDENIED = 9,
    DBSTATUS_E_INTEGRITYVIOLATION = 10,
    DBSTATUS_E_SCHEMAVIOLATION = 11,
    DBSTATUS_E_BADSTATUS = 12,
    DBSTATUS_S_DEFAULT = 13,
};

enum : DBROWSTATUS { DBROWSTATUS_S_OK = 0, DBROWSTATUS_E_INVALID = 12 };

enum : DBPART { DBPART_INVALID = 0, DBPART_VALUE = 1, DBPART_LENGTH = 2, DBPART_STATUS = 4 };
enum : DBMEMOWNER { DBMEMOWNER_CLIENTOWNED = 0, DBMEMOWNER_PROVIDEROWNED = 1 };
enum : DBPARAMIO { DBPARAMIO_NOTPARAM = 0, DBPARAMIO_INPUT = 1, DBPARAMIO_OUTPUT = 2 };
enum : DBACCESSORFLAGS {
    DBACCESSOR_INVALID = 0,
    DBACCESSOR_PASSBYREF = 1,
    DBACCESSOR_ROWDATA = 2,
    DBACCESSOR_PARAMETERDATA = 4,
    DBACCESSOR_OPTIMIZED = 8,
};
enum : DBBINDSTATUS {
    DBBINDSTATUS_OK = 0,
    DBBINDSTATUS_BADORDINAL = 1,
    DBBINDSTATUS_UNSUPPORTEDCONVERSION = 2,
    DBBINDSTATUS_BADBINDINFO = 3,
    DBBINDSTATUS_BADSTORAGEFLAGS = 4,
    DBBINDSTATUS_NOINTERFACE = 5,
};
enum : DBCOLUMNFLAGS {
    DBCOLUMNFLAGS_ISBOOKMARK = 0x1,
    DBCOLUMNFLAGS_MAYDEFER = 0x2,
    DBCOLUMNFLAGS_WRITE = 0x4,
    DBCOLUMNFLAGS_WRITEUNKNOWN = 0x8,
    DBCOLUMNFLAGS_ISFIXEDLENGTH = 0x10,
    DBCOLUMNFLAGS_ISNULLABLE = 0x20,
    DBCOLUMNFLAGS_MAYBENULL = 0x40,
    DBCOLUMNFLAGS_ISLONG = 0x80,
    DBCOLUMNFLAGS_ISROWID = 0x100,
    DBCOLUMNFLAGS_ISROWVER = 0x200,
    DBCOLUMNFLAGS_CACHEDEFERRED = 0x1000,
};

// Identifier of a table, an index or a column.
enum : DBKIND {
    DBKIND_GUID_NAME = 0,
    DBKIND_GUID_PROPID = 1,
    DBKIND_NAME = 2,
    DBKIND_PGUID_NAME = 3,
    DBKIND_PGUID_PROPID = 4,
    DBKIND_PROPID = 5,
    DBKIND_GUID = 6,
};

struct DBID {
    union {
        GUID guid;
        GUID* pguid;
    } uGuid;
    DBKIND eKind;
    union {
        LPOLESTR pwszName;
        ULONG ulPropid;
    } uName;
};

// The empty identifier: kind DBKIND_GUID_PROPID, null GUID, property 0.
inline constexpr DBID DB_NULLID = {{GUID_NULL}, DBKIND_GUID_PROPID, {nullptr}};

// Properties.
enum : DBPROPOPTIONS { DBPROPOPTIONS_REQUIRED = 0, DBPROPOPTIONS_OPTIONAL = 1 };
enum : DBPROPSTATUS {
    DBPROPSTATUS_OK = 0,
    DBPROPSTATUS_NOTSUPPORTED = 1,
    DBPROPSTATUS_BADVALUE = 2,
    DBPROPSTATUS_BADOPTION = 3,
    DBPROPSTATUS_BADCOLUMN = 4,
    DBPROPSTATUS_NOTALLSETTABLE = 5,
    DBPROPSTATUS_NOTSETTABLE = 6,
    DBPROPSTATUS_NOTSET = 7,
    DBPROPSTATUS_CONFLICTING = 8,
};

struct DBPROP {
    DBPROPID dwPropertyID;
    DBPROPOPTIONS dwOptions;
    DBPROPSTATUS dwStatus;
    DBID colid;
    VARIANT vValue;
};

struct DBPROPSET {
    DBPROP* rgProperties;
    ULONG cProperties;
    GUID guidPropertySet;
};

// The properties of one set to ask for.
struct DBPROPIDSET {
    DBPROPID* rgPropertyIDs;
    ULONG cPropertyIDs;
    GUID guidPropertySet;
};

// Initialisation properties (DBPROPSET_DBINIT).
inline constexpr DBPROPID DBPROP_AUTH_INTEGRATED = 0x07;
inline constexpr DBPROPID DBPROP_AUTH_PASSWORD = 0x09;
inline constexpr DBPROPID DBPROP_AUTH_USERID = 0x0C;
inline constexpr DBPROPID DBPROP_INIT_DATASOURCE = 0x3B;
inline constexpr DBPROPID DBPROP_INIT_TIMEOUT = 0x42;
inline constexpr DBPROPID DBPROP_INIT_PROVIDERSTRING = 0xA0;
inline constexpr DBPROPID DBPROP_INIT_CATALOG = 0xE9;
// Rowset properties (DBPROPSET_ROWSET).
inline constexpr DBPROPID DBPROP_UPDATABILITY = 0x75;
inline constexpr DBPROPID DBPROP_IRowsetChange = 0x7F;
inline constexpr LONG DBPROPVAL_UP_CHANGE = 1;
inline constexpr LONG DBPROPVAL_UP_DELETE = 2;
inline constexpr LONG DBPROPVAL_UP_INSERT = 4;
inline constexpr DBPROPID DBPROP_ISequentialStream = 0x89;
inline constexpr DBPROPID DBPROP_IStream = 0x8B;
// SQL Server data-source properties (DBPROPSET_SQLSERVERDATASOURCE).
inline constexpr DBPROPID SSPROP_ENABLEFASTLOAD = 2;
// SQL Server rowset properties (DBPROPSET_SQLSERVERROWSET): a bulk-copy rowset, keeping the
// identity values the rows carry.
inline constexpr DBPROPID SSPROP_FASTLOADKEEPIDENTITY = 11;
inline constexpr DBPROPID SSPROP_IRowsetFastLoad = 14;
// Column properties (DBPROPSET_COLUMN) of ITableDefinition.
inline constexpr DBPROPID DBPROP_COL_AUTOINCREMENT = 0x1A;
inline constexpr DBPROPID DBPROP_COL_DEFAULT = 0x1B;
inline constexpr DBPROPID DBPROP_COL_NULLABLE = 0x1D;

// Column information, as IColumnsInfo::GetColumnInfo returns it.
struct DBCOLUMNINFO {
    LPOLESTR pwszName;
    void* pTypeInfo; // ITypeInfo, always null here
    DBORDINAL iOrdinal;
    DBCOLUMNFLAGS dwFlags;
    DBLENGTH ulColumnSize;
    DBTYPE wType;
    BYTE bPrecision;
    BYTE bScale;
    DBID columnid;
};

// How a consumer binds long values (the dynamic accessor's choice).
enum DBBLOBHANDLINGENUM {
    DBBLOBHANDLING_DEFAULT = 0,
    DBBLOBHANDLING_NOSTREAMS = 1,
    DBBLOBHANDLING_SKIP = 2
};

// Storage modes of a storage object.
inline constexpr DWORD STGM_READ = 0;

// A column for ITableDefinition::CreateTable.
struct DBCOLUMNDESC {
    LPOLESTR pwszTypeName;
    void* pTypeInfo; // ITypeInfo, unused
    DBPROPSET* rgPropertySets;
    CLSID* pclsid;
    ULONG cPropertySets;
    DBLENGTH ulColumnSize;
    DBID dbcid;
    DBTYPE wType;
    BYTE bPrecision;
    BYTE bScale;
};

// The value structures of the date and time types, as a row buffer holds them.
struct DBDATE {
    std::int16_t year;
    std::uint16_t month;
    std::uint16_t day;
};
struct DBTIME2 {
    std::uint16_t hour;
    std::uint16_t minute;
    std::uint16_t second;
    ULONG fraction; // nanoseconds
};
struct DBTIMESTAMP {
    std::int16_t year;
    std::uint16_t month;
    std::uint16_t day;
    std::uint16_t hour;
    std::uint16_t minute;
    std::uint16_t second;
    ULONG fraction; // nanoseconds
};
// An exact number: precision, scale, sign (1 positive, 0 negative) and a 16-byte little-endian
// magnitude; 19 bytes without padding.
inline constexpr int DB_NUMERIC_VAL_LEN = 16;
#pragma pack(push, 1)
struct DB_NUMERIC {
    BYTE precision;
    BYTE scale;
    BYTE sign;
    BYTE val[DB_NUMERIC_VAL_LEN];
};
#pragma pack(pop)
static_assert(sizeof(DB_NUMERIC) == 19);
static_assert(sizeof(DBTIMESTAMP) == 16);
static_assert(sizeof(DBTIME2) == 12);
static_assert(sizeof(DBDATE) == 6);

// A storage object a column can be bound to (ISequentialStream).
struct DBOBJECT {
    DWORD dwFlags;
    IID iid;
};

// Where one column's status, length and value go in a consumer's buffer.
struct DBBINDING {
    DBORDINAL iOrdinal;
    DBBYTEOFFSET obValue;
    DBBYTEOFFSET obLength;
    DBBYTEOFFSET obStatus;
    void* pTypeInfo; // ITypeInfo, unused
    DBOBJECT* pObject;
    void* pBindExt; // DBBINDEXT, unused
    DBPART dwPart;
    DBMEMOWNER dwMemOwner;
    DBPARAMIO eParamIO;
    DBLENGTH cbMaxLen;
    DWORD dwFlags;
    DBTYPE wType;
    BYTE bPrecision;
    BYTE bScale;
};

// Command parameters; the system binds none, so Execute is always given null.
struct DBPARAMS {
    void* pData;
    std::uint64_t cParamSets;
    HACCESSOR hAccessor;
};

// Property sets, command dialects and schema rowsets.
inline constexpr GUID DBPROPSET_DBINIT = {
    0xC8B522BC, 0x5CF3, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
inline constexpr GUID DBPROPSET_ROWSET = {
    0xC8B522BE, 0x5CF3, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
inline constexpr GUID DBPROPSET_SQLSERVERDATASOURCE = {
    0x28EFAEE4, 0x2D2C, 0x11D1, {0x98, 0x07, 0x00, 0xC0, 0x4F, 0xC2, 0xAD, 0x98}};
inline constexpr GUID DBPROPSET_SQLSERVERROWSET = {
    0x5CF4CA10, 0xEF21, 0x11D0, {0x97, 0xE7, 0x00, 0xC0, 0x4F, 0xC2, 0xAD, 0x98}};
inline constexpr GUID DBPROPSET_COLUMN = {
    0xC8B522B9, 0x5CF3, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
inline constexpr GUID DBGUID_DBSQL = {
    0xC8B521FB, 0x5CF3, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
inline constexpr GUID DBSCHEMA_TABLES = {
    0xC8B52229, 0x5CF3, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
inline constexpr GUID DBSCHEMA_PRIMARY_KEYS = {
    0xC8B522C5, 0x5CF3, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
inline constexpr GUID DBSCHEMA_INDEXES = {
    0xC8B5221E, 0x5CF3, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};
inline constexpr GUID DBSCHEMA_FOREIGN_KEYS = {
    0xC8B522C4, 0x5CF3, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};

// Provider classes: the two SQL Server Native Client providers (served by platform/tds), the
// service components and the conversion library.
inline constexpr CLSID CLSID_SQLNCLI11 = {
    0x397C2819, 0x8272, 0x4532, {0xAD, 0x3A, 0xFB, 0x5E, 0x43, 0xBE, 0xAA, 0x39}};
inline constexpr CLSID CLSID_SQLNCLI10 = {
    0x8F4A6B68, 0x4F36, 0x4E3C, {0xBE, 0x81, 0xBC, 0x7C, 0xA4, 0xE9, 0xC4, 0x5C}};
inline constexpr CLSID CLSID_MSDAINITIALIZE = {
    0x2206CDB0, 0x19C1, 0x11D1, {0x89, 0xE0, 0x00, 0xC0, 0x4F, 0xD7, 0xA8, 0x29}};
inline constexpr CLSID CLSID_OLEDB_CONVERSIONLIBRARY = {
    0xC8B522D1, 0x5CF3, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}};

// Interface identifiers.
#define VELMORA_OLEDB_IID(name, first)                                                             \
    inline constexpr IID name = {                                                                  \
        first, 0x2A1C, 0x11CE, {0xAD, 0xE5, 0x00, 0xAA, 0x00, 0x44, 0x77, 0x3D}}
VELMORA_OLEDB_IID(IID_IColumnsInfo, 0x0C733A11);
VELMORA_OLEDB_IID(IID_IDBCreateCommand, 0x0C733A1D);
VELMORA_OLEDB_IID(IID_ICommandText, 0x0C733A27);
VELMORA_OLEDB_IID(IID_ISequentialStream, 0x0C733A30);
VELMORA_OLEDB_IID(IID_IDBCreateSession, 0x0C733A5D);
VELMORA_OLEDB_IID(IID_ICommand, 0x0C733A63);
VELMORA_OLEDB_IID(IID_IOpenRowset, 0x0C733A69);
VELMORA_OLEDB_IID(IID_IDBSchemaRowset, 0x0C733A7B);
VELMORA_OLEDB_IID(IID_IRowset, 0x0C733A7C);
VELMORA_OLEDB_IID(IID_IDBProperties, 0x0C733A8A);
VELMORA_OLEDB_IID(IID_IDBInitialize, 0x0C733A8B);
VELMORA_OLEDB_IID(IID_IAccessor, 0x0C733A8C);
VELMORA_OLEDB_IID(IID_IDataConvert, 0x0C733A8D);
VELMORA_OLEDB_IID(IID_IRowsetChange, 0x0C733A05);
VELMORA_OLEDB_IID(IID_IRowsetInfo, 0x0C733A55);
VELMORA_OLEDB_IID(IID_ITableDefinition, 0x0C733A86);
#undef VELMORA_OLEDB_IID
inline constexpr IID IID_IStream = {
    0x0000000C, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IRowsetFastLoad = {
    0x5CF4CA13, 0xEF21, 0x11D0, {0x97, 0xE7, 0x00, 0xC0, 0x4F, 0xC2, 0xAD, 0x98}};
inline constexpr IID IID_IDataInitialize = {
    0x2206CCB1, 0x19C1, 0x11D1, {0x89, 0xE0, 0x00, 0xC0, 0x4F, 0xD7, 0xA8, 0x29}};

// Declares the identity of an interface for com_object.
#define VELMORA_COM_INTERFACE(base, id)                                                            \
    using com_base = base;                                                                         \
    static constexpr const IID& iid() {                                                            \
        return id;                                                                                 \
    }

// Data source: initialisation and its properties.
class IDBInitialize : public IUnknown {
public:
    VELMORA_COM_INTERFACE(IUnknown, IID_IDBInitialize)
    // Connects with the initialisation properties set so far; DB_E_ALREADYINITIALIZED when
    // already initialised.
    virtual HRESULT Initialize() = 0;
    virtual HRESULT Uninitialize() = 0;
};

class IDBProperties : public IUnknown {
public:
    VELMORA_COM_INTERFACE(IUnknown, IID_IDBProperties)
    // Sets each property and its dwStatus. Returns S_OK, DB_S_ERRORSOCCURRED when some were
    // refused, DB_E_ERRORSOCCURRED when all were.
    virtual HRESULT SetProperties(ULONG property_sets, DBPROPSET sets[]) = 0;
};

class IDBCreateSession : public IUnknown {
public:
    VELMORA_COM_INTERFACE(IUnknown, IID_IDBCreateSession)
    // A new session on an initialised data source (E_UNEXPECTED when not initialised).
    virtual HRESULT CreateSession(IUnknown* outer, REFIID riid, IUnknown** session) = 0;
};

// Session: tables by name, commands, schema rowsets.
class IOpenRowset : public IUnknown {
public:
    VELMORA_COM_INTERFACE(IUnknown, IID_IOpenRowset)
    // Opens the table named by `table_id` (DBKIND_NAME; "[owner].[table]" or "table"); a table
    // that does not exist is DB_E_NOTABLE.
    virtual HRESULT OpenRowset(IUnknown* outer, DBID* table_id, DBID* index_id, REFIID riid,
                               ULONG property_sets, DBPROPSET sets[], IUnknown** rowset) = 0;
};

class IDBCreateCommand : public IUnknown {
public:
    VELMORA_COM_INTERFACE(IUnknown, IID_IDBCreateCommand)
    virtual HRESULT CreateCommand(IUnknown* outer, REFIID riid, IUnknown** command) = 0;
};

class ICommand : public IUnknown {
public:
    VELMORA_COM_INTERFACE(IUnknown, IID_ICommand)
    virtual HRESULT Cancel() = 0;
    // Runs the command text. With `riid` IID_NULL no rowset is made and `*rowset` is null;
    // a statement that yields no rows also leaves it null. `rows_affected` may be null.
    virtual HRESULT Execute(IUnknown* outer, REFIID riid, DBPARAMS* params,
                            DBROWCOUNT* rows_affected, IUnknown** rowset) = 0;
    virtual HRESULT GetDBSession(REFIID riid, IUnknown** session) = 0;
};

class ICommandText : public ICommand {
public:
    VELMORA_COM_INTERFACE(ICommand, IID_ICommandText)
    // The text as a new task-memory string (CoTaskMemFree); DB_E_NOCOMMAND when none is set.
    virtual HRESULT GetCommandText(GUID* dialect, LPOLESTR* text) = 0;
    // Sets the text in `dialect` (DBGUID_DBSQL); null clears it.
    virtual HRESULT SetCommandText(REFGUID dialect, LPCOLESTR text) = 0;
};

class IDBSchemaRowset : public IUnknown {
public:
    VELMORA_COM_INTERFACE(IUnknown, IID_IDBSchemaRowset)
    // The rows of the schema rowset `schema` that match the restrictions: restriction i narrows
    // the i-th restriction column of that schema; VT_EMPTY means no restriction, a VT_BSTR must
    // match exactly.
    virtual HRESULT GetRowset(IUnknown* outer, REFGUID schema, ULONG restrictions,
                              const VARIANT restriction_values[], REFIID riid, ULONG property_sets,
                              DBPROPSET sets[], IUnknown** rowset) = 0;
};

// Rowset: forward reading with row handles, an accessor per binding set, column information.
class IRowset : public IUnknown {
public:
    VELMORA_COM_INTERFACE(IUnknown, IID_IRowset)
    virtual HRESULT AddRefRows(DBCOUNTITEM rows, const HROW handles[], DBREFCOUNT ref_counts[],
                               DBROWSTATUS statuses[]) = 0;
    // Copies one row into `data` through the accessor. A value that does not fit is cut and
    // flagged DBSTATUS_S_TRUNCATED, with the length word holding its whole length: that is not
    // a failure. Returns DB_S_ERRORSOCCURRED when some value failed (its status tells why).
    virtual HRESULT GetData(HROW row, HACCESSOR accessor, void* data) = 0;
    // Fetches up to `rows` rows after skipping `offset`. Handles go to `*handles`: the caller's
    // array when not null, else a task-memory array the caller frees. At the end it returns
    // DB_S_ENDOFROWSET with fewer rows than asked, or none. Rows must be released before the
    // next fetch (DB_E_ROWSNOTRELEASED).
    virtual HRESULT GetNextRows(HCHAPTER chapter, DBROWOFFSET offset, DBROWCOUNT rows,
                                DBCOUNTITEM* obtained, HROW** handles) = 0;
    virtual HRESULT ReleaseRows(DBCOUNTITEM rows, const HROW handles[], DBROWOPTIONS options[],
                                DBREFCOUNT ref_counts[], DBROWSTATUS statuses[]) = 0;
    // Goes back before the first row; the next fetch starts there.
    virtual HRESULT RestartPosition(HCHAPTER chapter) = 0;
};

class IAccessor : public IUnknown {
public:
    VELMORA_COM_INTERFACE(IUnknown, IID_IAccessor)
    virtual HRESULT AddRefAccessor(HACCESSOR accessor, DBREFCOUNT* ref_count) = 0;
    // Validates every binding into `statuses` (may be null); any bad binding fails the call
    // with DB_E_ERRORSOCCURRED and no accessor.
    virtual HRESULT CreateAccessor(DBACCESSORFLAGS flags, DBCOUNTITEM bindings,
                                   const DBBINDING binding_array[], DBLENGTH row_size,
                                   HACCESSOR* accessor, DBBINDSTATUS statuses[]) = 0;
    virtual HRESULT ReleaseAccessor(HACCESSOR accessor, DBREFCOUNT* ref_count) = 0;
};

class IColumnsInfo : public IUnknown {
public:
    VELMORA_COM_INTERFACE(IUnknown, IID_IColumnsInfo)
    // The columns in order. `*info` and `*strings` (which holds the names that the array points
    // to) are task memory for the caller to free.
    virtual HRESULT GetColumnInfo(DBORDINAL* columns, DBCOLUMNINFO** info, OLECHAR** strings) = 0;
};

// A stream of bytes (a long value bound as a storage object).
class ISequentialStream : public IUnknown {
public:
    VELMORA_COM_INTERFACE(IUnknown, IID_ISequentialStream)
    virtual HRESULT Read(void* buffer, ULONG size, ULONG* read) = 0;
    virtual HRESULT Write(const void* buffer, ULONG size, ULONG* written) = 0;
};

// Rowset properties and the object that made the rowset.
class IRowsetInfo : public IUnknown {
public:
    VELMORA_COM_INTERFACE(IUnknown, IID_IRowsetInfo)
    // The values of the properties asked for (all of every set when `id_sets` is 0) as a
    // task-memory array of sets, each with a task-memory property array, for the caller to free.
    // A property the rowset does not know comes back with DBPROPSTATUS_NOTSUPPORTED and
    // DB_S_ERRORSOCCURRED (DB_E_ERRORSOCCURRED when none is known).
    virtual HRESULT GetProperties(ULONG id_sets, const DBPROPIDSET id_set_array[], ULONG* sets,
                                  DBPROPSET** set_array) = 0;
    virtual HRESULT GetReferencedRowset(DBORDINAL ordinal, REFIID riid, IUnknown** rowset) = 0;
    virtual HRESULT GetSpecification(REFIID riid, IUnknown** specification) = 0;
};

// Changing a rowset's rows through an accessor.
class IRowsetChange : public IUnknown {
public:
    VELMORA_COM_INTERFACE(IUnknown, IID_IRowsetChange)
    virtual HRESULT DeleteRows(HCHAPTER chapter, DBCOUNTITEM rows, const HROW handles[],
                               DBROWSTATUS statuses[]) = 0;
    virtual HRESULT SetData(HROW row, HACCESSOR accessor, void* data) = 0;
    virtual HRESULT InsertRow(HCHAPTER chapter, HACCESSOR accessor, void* data, HROW* row) = 0;
};

// SQL Server's bulk-copy rowset: rows go to the table in batches, each made durable by Commit.
class IRowsetFastLoad : public IUnknown {
public:
    VELMORA_COM_INTERFACE(IUnknown, IID_IRowsetFastLoad)
    // Sends one row read through the accessor. A value that does not fit its column fails the
    // row; nothing is cut.
    virtual HRESULT InsertRow(HACCESSOR accessor, void* data) = 0;
    // Makes the rows sent so far durable; with `done` the rowset takes no further rows.
    virtual HRESULT Commit(BOOL done) = 0;
};

// Table creation on a session.
class ITableDefinition : public IUnknown {
public:
    VELMORA_COM_INTERFACE(IUnknown, IID_ITableDefinition)
    virtual HRESULT CreateTable(IUnknown* outer, DBID* table_id, DBORDINAL columns,
                                const DBCOLUMNDESC column_descs[], REFIID riid, ULONG property_sets,
                                DBPROPSET sets[], DBID** new_table_id, IUnknown** rowset) = 0;
    virtual HRESULT DropTable(DBID* table_id) = 0;
    virtual HRESULT AddColumn(DBID* table_id, DBCOLUMNDESC* column_desc, DBID** column_id) = 0;
    virtual HRESULT DropColumn(DBID* table_id, DBID* column_id) = 0;
};

// The service components: a data source from a connection string.
class IDataInitialize : public IUnknown {
public:
    VELMORA_COM_INTERFACE(IUnknown, IID_IDataInitialize)
    // "Provider=<program id>;<keyword>=<value>;..." gives the provider's data source, not yet
    // initialised, with the string's initialisation properties set. See oledb_services.h.
    virtual HRESULT GetDataSource(IUnknown* outer, DWORD context, LPCOLESTR init_string,
                                  REFIID riid, IUnknown** data_source) = 0;
};

// The conversion library.
class IDataConvert : public IUnknown {
public:
    VELMORA_COM_INTERFACE(IUnknown, IID_IDataConvert)
    virtual HRESULT DataConvert(DBTYPE source_type, DBTYPE target_type, DBLENGTH source_length,
                                DBLENGTH* target_length, void* source, void* target,
                                DBLENGTH target_max_length, DBSTATUS source_status,
                                DBSTATUS* target_status, BYTE precision, BYTE scale,
                                DBDATACONVERT flags) = 0;
    // S_OK when the conversion is supported, S_FALSE when not.
    virtual HRESULT CanConvert(DBTYPE source_type, DBTYPE target_type) = 0;
    virtual HRESULT GetConversionSize(DBTYPE source_type, DBTYPE target_type,
                                      DBLENGTH* source_length, DBLENGTH* target_length,
                                      void* source) = 0;
};
