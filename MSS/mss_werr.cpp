// Statements of the MS SQL writer that the server refused.
#include "MSS/mss_werr.h"

#include "MSS/odb_exce.h"
#include "TK/tk_log.h"
#include "UDB/udb_services.h"

std::string mss_server_text(const tk_exception& cause) {
    const auto* server = dynamic_cast<const odb_exception*>(&cause);
    if (server != nullptr && server->native_error != 0) {
        return "Error " + std::to_string(server->native_error) + ": " + cause.what();
    }
    return cause.what();
}

tk_exception mss_writer_error(const std::string& what, const tk_exception& cause, int level) {
    tk_exception error(what + "\n" + mss_server_text(cause), level);
    error.code = cause.code;
    return error;
}

void mss_report_writer_error(const std::string& context, const tk_exception& error) {
    tk_log_message(3, "%s: %s", context.c_str(), error.what());
    udb_error_handler* handler = tk_singleton<udb_error_handler>::pointer();
    if (handler == nullptr) {
        return;
    }
    handler->context = context;
    handler->handle(error, false);
    handler->context.clear();
}
