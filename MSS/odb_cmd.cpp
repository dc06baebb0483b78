// Sessions and commands.
#include "MSS/odb_cmd.h"

#include "MSS/odb_exce.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"

#include <cstdint>

odb_command::odb_command(IUnknown* data_source) {
    tk_log_message(1, "odb_command::ctor(2)");
    tk_check(data_source != nullptr, "odb_cmd", __LINE__);
    ole_com_ptr<IDBCreateSession> creator;
    odb_check(data_source->QueryInterface(IID_IDBCreateSession, creator.out_void()));
    odb_check(creator->CreateSession(nullptr, IID_IOpenRowset, session_.out_unknown()));
    create_command();
}

odb_command::odb_command(IOpenRowset* session) : session_(session) {
    tk_log_message(1, "odb_command::ctor(1)");
    create_command();
}

void odb_command::create_command() {
    ole_com_ptr<IDBCreateCommand> creator;
    odb_check(session_->QueryInterface(IID_IDBCreateCommand, creator.out_void()));
    ole_com_ptr<ICommand> command;
    odb_check(creator->CreateCommand(nullptr, IID_ICommand, command.out_unknown()));
    odb_check(command->QueryInterface(IID_ICommandText, command_.out_void()));
}

void odb_command::execute(const std::wstring& sql, IRowset** rowset) {
    tk_log_wmessage(2, L"odb_command::execute(%ls)", sql.c_str());
    const std::u16string text = tk_to_utf16(sql);
    odb_check(command_->SetCommandText(DBGUID_DBSQL, text.c_str()));
    tk_log_message(2, "Step #1, dest=%08X",
                   static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(rowset)));
    odb_check(command_->Execute(nullptr, rowset != nullptr ? IID_IRowset : IID_NULL, nullptr,
                                nullptr, reinterpret_cast<IUnknown**>(rowset)));
    tk_log_message(2, "Step #2");
}
