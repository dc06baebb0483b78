// A command on a session: runs complete SQL text and hands back its rowset.
#pragma once

#include "OLE/ole_ptr.h"
#include "platform/oledb/oledb.h"

#include <string>

class odb_command {
public:
    // Opens a session on the (initialised) data source, then creates the command.
    explicit odb_command(IUnknown* data_source);
    // Takes its own reference to an open session, then creates the command.
    explicit odb_command(IOpenRowset* session);
    odb_command(const odb_command&) = delete;
    odb_command& operator=(const odb_command&) = delete;

    // Runs `sql` once. With `rowset` the result goes there (a holder's address: the holder owns
    // it; a statement without rows leaves it null); without it no rowset is asked for.
    // Failures are odb_exception.
    void execute(const std::wstring& sql, IRowset** rowset = nullptr);

    IOpenRowset* session() const { return session_.get(); }

private:
    void create_command();

    ole_com_ptr<IOpenRowset> session_;
    ole_com_ptr<ICommandText> command_;
};
