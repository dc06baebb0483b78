// One registered instance per class, reached from anywhere.
#pragma once

#include "TK/tk_excep.h"

// A class T that derives from tk_singleton<T> registers its first live object as the instance
// of T. The registration never owns the object; destroying any object of T clears it. No lock:
// objects are registered and unregistered on the main thread while no worker thread runs.
template <class T> class tk_singleton {
public:
    // The registered object; internal error (tk_singl, 64) when there is none.
    static T* instance() {
        if (the_instance == nullptr) {
            throw tk_mail_assertion("tk_singl", 64);
        }
        return static_cast<T*>(the_instance);
    }

    // The registered object; internal error (tk_singl, 71) when there is none.
    static T& ref() {
        if (the_instance == nullptr) {
            throw tk_mail_assertion("tk_singl", 71);
        }
        return *static_cast<T*>(the_instance);
    }

    // The registered object or null, for callers that test before use.
    static T* pointer() noexcept { return static_cast<T*>(the_instance); }

    tk_singleton(const tk_singleton&) = delete;
    tk_singleton& operator=(const tk_singleton&) = delete;

protected:
    tk_singleton() {
        if (the_instance == nullptr) {
            the_instance = this;
        }
    }
    virtual ~tk_singleton() { the_instance = nullptr; }

private:
    // Kept as the base: the object is turned into a T only when asked for, once its T part has
    // been constructed (not yet so while this constructor runs).
    static inline tk_singleton* the_instance = nullptr;
};
