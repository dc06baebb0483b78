// Opening an initialised OLE DB data source: the SQL Server Native Client providers first, then
// the SQLOLEDB provider by connection string.
#pragma once

#include "OLE/ole_ptr.h"
#include "platform/oledb/oledb.h"

#include <string>

class odb_initializer {
public:
    odb_initializer();

    // Leaves an initialised data source in `holder`: SQLNCLI11, else SQLNCLI10, else the
    // connection string through the service components. A provider that cannot be created is
    // skipped; any other failure (a refused login among them) is an odb_exception and no
    // further provider is tried. Neither Native Client nor the service components: tk_exception
    // (level 1). An empty `user` means Windows authentication, an empty `database` none.
    void test_connection(ole_com_ptr<IDBInitialize>& holder, const std::wstring& server,
                         const std::wstring& user, const std::wstring& password,
                         const std::wstring& database);
    // False when `provider` cannot be created; true once its data source is initialised.
    bool test_native_connection(ole_com_ptr<IDBInitialize>& holder, const CLSID& provider,
                                const std::wstring& server, const std::wstring& user,
                                const std::wstring& password, const std::wstring& database);
    // False when the service components cannot be created; true once the data source is
    // initialised.
    bool test_generic_connection(ole_com_ptr<IDBInitialize>& holder,
                                 const std::wstring& connection_string);

    // The SQLOLEDB connection string for a login. Values that the connection-string syntax
    // would misread (";", "=", quotes, outer blanks) are quoted; others go in as they are.
    static std::wstring connection_string(const std::wstring& server, const std::wstring& user,
                                          const std::wstring& password,
                                          const std::wstring& database);

    // Whether a Native Client provider made the current data source.
    bool is_native() const { return native_; }

private:
    bool native_ = false;
};
