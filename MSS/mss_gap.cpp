// Catalogue statements of the source that failed.
#include "MSS/mss_gap.h"

#include "TK/tk_log.h"
#include "TK/tk_utils.h"
#include "UDB/udb_services.h"

tk_exception mss_catalogue_gap(const char* missing, const tk_exception& cause) {
    return tk_exception(std::string(missing) + " could not be read: " + cause.what(), 0);
}

namespace {

void report(const std::wstring& object, const tk_exception& error) {
    tk_log_wmessage(3, L"%ls:", object.c_str());
    tk_log_message(3, "%s", error.what());
    udb_error_handler* handler = tk_singleton<udb_error_handler>::pointer();
    if (handler == nullptr) {
        return;
    }
    handler->context = tk_to_utf8(object);
    handler->handle(error, false);
    handler->context.clear();
}

} // namespace

void mss_report_catalogue_gap(const std::wstring& object, const char* missing,
                              const tk_exception& cause) {
    report(object, mss_catalogue_gap(missing, cause));
}

void mss_report_lost_default(const std::wstring& object, const std::wstring& column,
                             const std::wstring& definition, const wchar_t* why) {
    report(object, tk_exception(L"The default value " + definition + L" of column '" + column +
                                    L"' is left out: " + why,
                                0));
}
