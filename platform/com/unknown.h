// IUnknown, the root of every COM interface, and a helper that implements it.
#pragma once

#include "platform/com/com_types.h"

#include <atomic>
#include <tuple>
#include <type_traits>

inline constexpr IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// Every interface derives from IUnknown. Each interface class names its identifier (`iid`) and
// the interface it extends (`com_base`), which lets com_object answer QueryInterface for the
// whole chain.
class IUnknown {
public:
    using com_base = IUnknown;
    static constexpr const IID& iid() { return IID_IUnknown; }

    // Stores the object's pointer for `riid` in `*object` with a new reference, or null with
    // E_NOINTERFACE. A null `object` is E_POINTER.
    virtual HRESULT QueryInterface(REFIID riid, void** object) = 0;
    // Both return the new reference count, for tracing only.
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    // Objects are destroyed through Release only.
    ~IUnknown() = default;
};

namespace com_detail {

// The pointer to `p` as the interface `riid` names, walking I's chain of base interfaces.
template <class I> void* cast_to(I* p, REFIID riid) {
    if (riid == I::iid()) {
        return static_cast<void*>(p);
    }
    if constexpr (std::is_same_v<typename I::com_base, IUnknown>) {
        return nullptr;
    } else {
        return cast_to<typename I::com_base>(static_cast<typename I::com_base*>(p), riid);
    }
}

} // namespace com_detail

// Reference counting and QueryInterface for an object that implements `Interfaces...`. A new
// object holds one reference, owned by its creator; it is deleted when its last reference goes.
// IUnknown is answered with the first interface, so an object has one identity. A class with
// further interfaces to answer overrides query_extra.
template <class... Interfaces> class com_object : public Interfaces... {
public:
    com_object() = default;
    com_object(const com_object&) = delete;
    com_object& operator=(const com_object&) = delete;

    HRESULT QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        *object = find(riid);
        if (*object == nullptr) {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }

    ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }

    ULONG Release() override {
        const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) {
            delete this;
        }
        return left;
    }

    // The first interface, as IUnknown.
    IUnknown* unknown() { return static_cast<first_interface*>(this); }

protected:
    virtual ~com_object() = default;
    // Answers interfaces not in the list; null when the object has none.
    virtual void* query_extra(REFIID) { return nullptr; }

private:
    using first_interface = std::tuple_element_t<0, std::tuple<Interfaces...>>;

    void* find(REFIID riid) {
        if (riid == IID_IUnknown) {
            return unknown();
        }
        void* found = nullptr;
        ((found = found ? found : com_detail::cast_to<Interfaces>(this, riid)), ...);
        return found ? found : query_extra(riid);
    }

    std::atomic<ULONG> refs_{1};
};
