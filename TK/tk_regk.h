// Registry key: one open key under which settings are stored and loaded by name.
#pragma once

#include "platform/win32/registry.h"

#include <string>

// Holds one open registry key. Registry errors are returned, never thrown: the get and set
// operations give the system's code, the exchanges give false. Misuse (a null root, name,
// buffer, size or value, or writing without an open key) is an internal error.
class tk_reg_key {
public:
    // No key open yet; `path` is the subkey the owner later passes to create.
    explicit tk_reg_key(const char* path);
    ~tk_reg_key();

    tk_reg_key(const tk_reg_key&) = delete;
    tk_reg_key& operator=(const tk_reg_key&) = delete;

    // Creates or opens root\subkey (RegCreateKeyExA). On failure the system's code comes back
    // and the key open before stays; on success that key is closed and the result of closing it
    // (0 when none was open) is returned.
    long create(HKEY root, const char* subkey, char* key_class, unsigned options, REGSAM access,
                SECURITY_ATTRIBUTES* security, unsigned* disposition);

    // Closes the key when one is open.
    void release();
    // The same, with the result of the close (0 when no key was open).
    long close();

    // Reads up to 4 bytes of the named value, whatever its type.
    long get_value(unsigned* data, const char* name);
    // Reads the named value into `buffer`; `size` is the buffer's size in bytes on entry and the
    // value's size on return. A null buffer asks for the size alone.
    long get_value(char* buffer, const char* name, unsigned* size);
    // The wide form: the value as wide characters, its size counted in bytes of wchar_t.
    long get_value(wchar_t* buffer, const wchar_t* name, unsigned* size);

    // A REG_DWORD (pass an unsigned: a literal 0 would be ambiguous with the text forms).
    long set_value(unsigned value, const char* name);
    // A REG_SZ of length+1 bytes.
    long set_value(const char* value, const char* name);
    // A REG_SZ of UTF-16 text, 2 bytes per unit plus the terminator.
    long set_value(const wchar_t* value, const wchar_t* name);

    // Stores the variable into the named value (`store` true) or loads it from there. False,
    // with the variable unchanged, when no key is open or the value is missing or unreadable
    // (for texts also when it is empty of bytes). A bool is stored as 0 or 1 and loads as true
    // from any number but 0; a loaded text ends at its first NUL.
    bool serialize_value(const char* name, bool& value, bool store);
    bool serialize_value(const char* name, int& value, bool store);
    bool serialize_value(const char* name, std::string& value, bool store);
    bool serialize_value(const wchar_t* name, std::wstring& value, bool store);

    HKEY key = nullptr; // null while no key is open
    std::string path;
};

// Base of a class that keeps its settings in the registry under one subkey; the derived class
// runs its own sequence of exchanges.
class tk_serializer {
public:
    explicit tk_serializer(const char* path) : reg_key(path) {}

protected:
    tk_reg_key reg_key;
};
