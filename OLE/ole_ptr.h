// The holder of one COM interface pointer.
#pragma once

#include "TK/tk_excep.h"
#include "TK/tk_log.h"
#include "platform/com/unknown.h"

#include <utility>

// Owns one reference to an interface: a pointer given at construction gets its own AddRef, and
// the destructor releases it. Member access on an empty holder is an internal error. The
// address of the held pointer serves as the out-parameter of QueryInterface, CreateSession and
// the like: whatever the callee stores there belongs to the holder, and the pointer held before
// is released first, so a holder can be filled again without leaking.
template <class I> class ole_com_ptr {
public:
    ole_com_ptr() = default;
    explicit ole_com_ptr(I* pointer) : p_(pointer) {
        if (p_ != nullptr) {
            p_->AddRef();
        }
    }
    ole_com_ptr(const ole_com_ptr& other) : ole_com_ptr(other.p_) {}
    ole_com_ptr(ole_com_ptr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ole_com_ptr& operator=(ole_com_ptr other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    virtual ~ole_com_ptr() {
        if (p_ != nullptr) {
            const int left = static_cast<int>(p_->Release());
            tk_log_message(1, "ole_com_ptr<T>::~ole_com_ptr() - %d refs left", left);
        }
    }

    I* operator->() const {
        if (p_ == nullptr) {
            throw tk_mail_assertion("..\\OLE/ole_ptr", 94);
        }
        return p_;
    }

    // The pointer without the null check (null when empty); the holder keeps its reference.
    I* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

    // Releases the held pointer and gives its address for a callee to fill.
    I** operator&() {
        reset();
        return &p_;
    }
    // The same, typed for the void** and IUnknown** out-parameters of COM calls.
    void** out_void() { return reinterpret_cast<void**>(&*this); }
    IUnknown** out_unknown() { return reinterpret_cast<IUnknown**>(&*this); }

    // Releases the held pointer; the holder is empty afterwards.
    void reset() {
        if (I* old = std::exchange(p_, nullptr)) {
            old->Release();
        }
    }

private:
    I* p_ = nullptr;
};
