// Registry key: one open key under which settings are stored and loaded by name.
#include "TK/tk_regk.h"

#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "TK/tk_utils.h"

#include <cstring>
#include <cwchar>
#include <vector>

namespace {

constexpr const char* module = "tk_regk";

bool is_text_type(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ;
}

} // namespace

tk_reg_key::tk_reg_key(const char* path) : path(path ? path : "") {
}

tk_reg_key::~tk_reg_key() {
    release();
}

long tk_reg_key::create(HKEY root, const char* subkey, char* key_class, unsigned options,
                        REGSAM access, SECURITY_ATTRIBUTES* security, unsigned* disposition) {
    tk_check(root != nullptr, module, 64);
    HKEY opened = nullptr;
    DWORD how = 0;
    LONG rc = RegCreateKeyExA(root, subkey, 0, key_class, options, access, security, &opened,
                              disposition ? &how : nullptr);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (disposition)
        *disposition = how;
    long closed = close();
    key = opened;
    return closed;
}

void tk_reg_key::release() {
    close();
}

long tk_reg_key::close() {
    if (!key)
        return 0;
    long rc = RegCloseKey(key);
    key = nullptr;
    return rc;
}

long tk_reg_key::get_value(unsigned* data, const char* name) {
    tk_check(name != nullptr, module, 98);
    tk_log_message(2, "tk_reg_key::get_value(ulong, %s)", name);
    DWORD type = 0;
    DWORD size = sizeof(unsigned);
    LONG rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    tk_log_message(1, "type=%d, size=%d", static_cast<int>(type), static_cast<int>(size));
    return rc;
}

long tk_reg_key::get_value(char* buffer, const char* name, unsigned* size) {
    tk_check(size != nullptr, module, 115);
    tk_check(name != nullptr, module, 116);
    tk_log_message(2, "tk_reg_key::get_value(LPSTR, %s)", name);
    DWORD type = 0;
    DWORD bytes = *size;
    LONG rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes);
    *size = bytes;
    tk_log_message(1, "type=%d, size=%d", static_cast<int>(type), static_cast<int>(bytes));
    return rc;
}

long tk_reg_key::get_value(wchar_t* buffer, const wchar_t* name, unsigned* size) {
    tk_check(size != nullptr, module, 132);
    tk_check(name != nullptr, module, 133);
    tk_log_wmessage(2, L"tk_reg_key::get_value(LPWSTR, %ls)", name);

    // The registry holds UTF-16; the caller's buffer takes wchar_t, so the value is read whole
    // and converted before its size is known.
    const std::u16string wide_name = tk_to_utf16(name);
    DWORD type = 0;
    DWORD stored = 0;
    LONG rc = RegQueryValueExW(key, wide_name.c_str(), nullptr, &type, nullptr, &stored);
    std::vector<BYTE> data(stored);
    if (rc == ERROR_SUCCESS && stored > 0)
        rc = RegQueryValueExW(key, wide_name.c_str(), nullptr, &type, data.data(), &stored);
    if (rc != ERROR_SUCCESS) {
        tk_log_message(1, "type=%d, size=%d", static_cast<int>(type), static_cast<int>(stored));
        return rc;
    }
    data.resize(stored);

    std::wstring text;
    const BYTE* bytes = data.data();
    std::size_t length = data.size();
    if (is_text_type(type)) {
        std::u16string units(data.size() / 2, u'\0');
        if (!units.empty())
            std::memcpy(units.data(), data.data(), units.size() * 2);
        text = tk_utf16_to_wstring(units);
        bytes = reinterpret_cast<const BYTE*>(text.data());
        length = text.size() * sizeof(wchar_t);
    }
    tk_log_message(1, "type=%d, size=%d", static_cast<int>(type), static_cast<int>(length));
    if (buffer && *size < length) {
        *size = static_cast<unsigned>(length);
        return ERROR_MORE_DATA;
    }
    if (buffer && length > 0)
        std::memcpy(buffer, bytes, length);
    *size = static_cast<unsigned>(length);
    return ERROR_SUCCESS;
}

long tk_reg_key::set_value(unsigned value, const char* name) {
    tk_check(key != nullptr, module, 149);
    const DWORD number = value;
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                          sizeof number);
}

long tk_reg_key::set_value(const char* value, const char* name) {
    tk_check(value != nullptr, module, 156);
    tk_check(key != nullptr, module, 157);
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                          static_cast<DWORD>(std::strlen(value) + 1));
}

long tk_reg_key::set_value(const wchar_t* value, const wchar_t* name) {
    tk_check(value != nullptr, module, 164);
    tk_check(key != nullptr, module, 165);
    const std::u16string text = tk_to_utf16(value);
    const std::u16string wide_name = name ? tk_to_utf16(name) : std::u16string();
    return RegSetValueExW(key, name ? wide_name.c_str() : nullptr, 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(2 * text.size() + 2));
}

bool tk_reg_key::serialize_value(const char* name, bool& value, bool store) {
    if (!key)
        return false;
    if (store)
        return set_value(value ? 1u : 0u, name) == ERROR_SUCCESS;
    unsigned number = 0;
    if (get_value(&number, name) != ERROR_SUCCESS)
        return false;
    value = number != 0;
    return true;
}

bool tk_reg_key::serialize_value(const char* name, int& value, bool store) {
    if (!key)
        return false;
    if (store)
        return set_value(static_cast<unsigned>(value), name) == ERROR_SUCCESS;
    unsigned number = 0;
    if (get_value(&number, name) != ERROR_SUCCESS)
        return false;
    value = static_cast<int>(number);
    return true;
}

bool tk_reg_key::serialize_value(const char* name, std::string& value, bool store) {
    if (!key)
        return false;
    if (store)
        return set_value(value.c_str(), name) == ERROR_SUCCESS;
    unsigned size = 0;
    if (get_value(static_cast<char*>(nullptr), name, &size) != ERROR_SUCCESS || size == 0)
        return false;
    std::vector<char> buffer(size);
    unsigned got = size;
    if (get_value(buffer.data(), name, &got) != ERROR_SUCCESS)
        return false;
    // A value stored without its NUL must not be read past its end.
    value.assign(buffer.data(), strnlen(buffer.data(), got));
    return true;
}

bool tk_reg_key::serialize_value(const wchar_t* name, std::wstring& value, bool store) {
    if (!key)
        return false;
    if (store)
        return set_value(value.c_str(), name) == ERROR_SUCCESS;
    unsigned size = 0;
    if (get_value(static_cast<wchar_t*>(nullptr), name, &size) != ERROR_SUCCESS || size == 0)
        return false;
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
    unsigned got = static_cast<unsigned>(buffer.size() * sizeof(wchar_t));
    if (get_value(buffer.data(), name, &got) != ERROR_SUCCESS)
        return false;
    value.assign(buffer.data(), wcsnlen(buffer.data(), got / sizeof(wchar_t)));
    return true;
}
