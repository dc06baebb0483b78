// Catalogue statements of the source that failed.
#include "MSS/mss_gap.h"

#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "UDB/udb_services.h"

tk_exception mss_catalogue_gap(const char* missing, const tk_exception& cause) {
    return tk_exception(std::string(missing) + " could not be read: " + cause.what(), 0);
}

void mss_report_catalogue_gap(const std::wstring& object, const char* missing,
                              const tk_exception& cause) {
    const tk_exception gap = mss_catalogue_gap(missing, cause);
    tk_log_wmessage(3, L"%ls:", object.c_str());
    tk_log_message(3, "%s", gap.what());
    udb_error_handler* handler = tk_singleton<udb_error_handler>::pointer();
    if (handler == nullptr) {
        return;
    }
    handler->context = tk_to_utf8(object);
    handler->handle(gap, false);
    handler->context.clear();
}
