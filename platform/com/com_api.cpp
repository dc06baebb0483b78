// COM library calls over a process-wide class table and per-thread state.
#include "platform/com/com_api.h"

#include "platform/com/error_info.h"

#include <cstdlib>
#include <map>
#include <mutex>

namespace {

struct class_table {
    std::mutex lock;
    std::map<CLSID, com_class_factory, guid_less> classes;
    std::map<std::u16string, CLSID> progids; // keys in ASCII lower case
};

// Built on first use, so classes registered from static initialisers of other libraries find
// it ready.
class_table& table() {
    static class_table the_table;
    return the_table;
}

std::u16string fold_ascii(std::u16string text) {
    for (auto& c : text) {
        if (c >= u'A' && c <= u'Z') {
            c = static_cast<char16_t>(c - u'A' + u'a');
        }
    }
    return text;
}

int& init_count() {
    thread_local int count = 0;
    return count;
}

} // namespace

HRESULT CoInitialize(void* reserved) {
    if (reserved != nullptr) {
        return E_INVALIDARG;
    }
    return init_count()++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() {
    int& count = init_count();
    if (count == 0) {
        return;
    }
    if (--count == 0) {
        SetErrorInfo(0, nullptr);
    }
}

bool com_is_initialized() {
    return init_count() > 0;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid,
                         void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    if (!com_is_initialized()) {
        return CO_E_NOTINITIALIZED;
    }
    if ((context & CLSCTX_INPROC_SERVER) == 0) {
        return REGDB_E_CLASSNOTREG;
    }
    const std::optional<com_class_factory> factory = com_registered_class(clsid);
    if (!factory) {
        return REGDB_E_CLASSNOTREG;
    }
    const HRESULT hr = (*factory)(outer, riid, object);
    if (FAILED(hr)) {
        *object = nullptr;
    }
    return hr;
}

void com_register_class(REFCLSID clsid, com_class_factory factory) {
    std::lock_guard guard(table().lock);
    table().classes[clsid] = std::move(factory);
}

bool com_unregister_class(REFCLSID clsid) {
    std::lock_guard guard(table().lock);
    return table().classes.erase(clsid) != 0;
}

std::optional<com_class_factory> com_registered_class(REFCLSID clsid) {
    std::lock_guard guard(table().lock);
    const auto found = table().classes.find(clsid);
    if (found == table().classes.end()) {
        return std::nullopt;
    }
    return found->second;
}

com_class_scope::com_class_scope(REFCLSID clsid, com_class_factory factory)
    : clsid_(clsid), previous_(com_registered_class(clsid)) {
    if (factory) {
        com_register_class(clsid, std::move(factory));
    } else {
        com_unregister_class(clsid);
    }
}

com_class_scope::~com_class_scope() {
    if (previous_) {
        com_register_class(clsid_, std::move(*previous_));
    } else {
        com_unregister_class(clsid_);
    }
}

void com_register_progid(const std::u16string& progid, REFCLSID clsid) {
    std::lock_guard guard(table().lock);
    table().progids[fold_ascii(progid)] = clsid;
}

bool com_unregister_progid(const std::u16string& progid) {
    std::lock_guard guard(table().lock);
    return table().progids.erase(fold_ascii(progid)) != 0;
}

HRESULT CLSIDFromProgID(LPCOLESTR progid, CLSID* clsid) {
    if (progid == nullptr || clsid == nullptr) {
        return E_INVALIDARG;
    }
    std::lock_guard guard(table().lock);
    const auto found = table().progids.find(fold_ascii(progid));
    if (found == table().progids.end()) {
        *clsid = GUID_NULL;
        return CO_E_CLASSSTRING;
    }
    *clsid = found->second;
    return S_OK;
}

void* CoTaskMemAlloc(std::size_t size) {
    // malloc(0) may give null, which callers would take for a failure.
    return std::malloc(size == 0 ? 1 : size);
}

void* CoTaskMemRealloc(void* memory, std::size_t size) {
    return std::realloc(memory, size == 0 ? 1 : size);
}

void CoTaskMemFree(void* memory) {
    std::free(memory);
}
