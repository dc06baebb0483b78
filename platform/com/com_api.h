// The COM library calls: per-thread initialisation, object creation over a table of registered
// classes, program identifiers and task memory.
#pragma once

#include "platform/com/unknown.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

// Class contexts. The table serves in-process classes; CLSCTX_ALL and the context 23 that some
// callers pass include CLSCTX_INPROC_SERVER.
inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
inline constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
inline constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
inline constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
inline constexpr DWORD CLSCTX_ALL =
    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

// Initialises COM for the calling thread. The calls are counted per thread: the first gives
// S_OK, each further one S_FALSE, and each needs its CoUninitialize. `reserved` must be null.
HRESULT CoInitialize(void* reserved);
// Undoes one CoInitialize of the calling thread; the last one also releases the thread's error
// object. A call without a matching CoInitialize does nothing.
void CoUninitialize();
// Whether COM is initialised on the calling thread (not a Windows call; for checks and tests).
bool com_is_initialized();

// Creates an object of the registered class `clsid` and returns its `riid` interface in
// `*object` (null on failure). Fails with CO_E_NOTINITIALIZED when the calling thread has not
// initialised COM, REGDB_E_CLASSNOTREG when the class is not registered for `context`, and
// otherwise with whatever the class's factory answers (CLASS_E_NOAGGREGATION, E_NOINTERFACE...).
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid,
                         void** object);

// The class table. A factory creates one object and answers its `riid` interface the way
// CoCreateInstance does; it is called without any lock held, from any thread.
using com_class_factory = std::function<HRESULT(IUnknown* outer, REFIID riid, void** object)>;

// Registers (or replaces) the factory of `clsid`. Thread-safe.
void com_register_class(REFCLSID clsid, com_class_factory factory);
// Removes `clsid`; false when it was not registered.
bool com_unregister_class(REFCLSID clsid);
// The factory registered for `clsid`, if any.
std::optional<com_class_factory> com_registered_class(REFCLSID clsid);

// Puts a factory in place of whatever `clsid` had (or removes the class, with an empty factory)
// for the life of the object, then puts the earlier state back. Tests use it to install stub
// providers and to hide the built-in classes.
class com_class_scope {
public:
    com_class_scope(REFCLSID clsid, com_class_factory factory);
    ~com_class_scope();
    com_class_scope(const com_class_scope&) = delete;
    com_class_scope& operator=(const com_class_scope&) = delete;

private:
    CLSID clsid_;
    std::optional<com_class_factory> previous_;
};

// Program identifiers ("SQLOLEDB"), compared without regard to ASCII letter case.
void com_register_progid(const std::u16string& progid, REFCLSID clsid);
bool com_unregister_progid(const std::u16string& progid);
// The class of `progid`: S_OK, or CO_E_CLASSSTRING when no class has that name.
HRESULT CLSIDFromProgID(LPCOLESTR progid, CLSID* clsid);

// The factory for a class whose objects take no outer object: creates T with `args` and answers
// `riid` from it.
template <class T, class... Args> com_class_factory com_simple_factory(Args... args) {
    return [=](IUnknown* outer, REFIID riid, void** object) -> HRESULT {
        if (object == nullptr) {
            return E_POINTER;
        }
        *object = nullptr;
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        T* created = new T(args...);
        const HRESULT hr = created->QueryInterface(riid, object);
        created->Release();
        return hr;
    };
}

// Task memory: memory that crosses an interface and is freed by the other side.
// CoTaskMemAlloc gives null when out of memory; CoTaskMemFree accepts null.
void* CoTaskMemAlloc(std::size_t size);
void* CoTaskMemRealloc(void* memory, std::size_t size);
void CoTaskMemFree(void* memory);
