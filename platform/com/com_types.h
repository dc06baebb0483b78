// COM base types: result codes, GUIDs and the constants every COM stand-in shares.
#pragma once

#include "platform/oleaut/oleaut.h"
#include "platform/win32/types.h"

#include <cstdint>
#include <cstring>

// HRESULT, S_OK, the common E_ codes and SUCCEEDED/FAILED come with the OLE Automation
// stand-in, which sits below this layer; the codes of COM itself follow.

// A result from its unsigned 32-bit form, as the Windows headers write them.
constexpr HRESULT make_hresult(std::uint32_t value) {
    return static_cast<HRESULT>(value);
}

inline constexpr HRESULT E_ABORT = make_hresult(0x80004004);
inline constexpr HRESULT E_ACCESSDENIED = make_hresult(0x80070005);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = make_hresult(0x80040110);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = make_hresult(0x80040154);
inline constexpr HRESULT CO_E_NOTINITIALIZED = make_hresult(0x800401F0);
inline constexpr HRESULT CO_E_CLASSSTRING = make_hresult(0x800401F3);

// A 128-bit identifier of an interface, a class or a property set.
struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};

using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

constexpr bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) {
        return false;
    }
    for (int i = 0; i < 8; ++i) {
        if (a.Data4[i] != b.Data4[i]) {
            return false;
        }
    }
    return true;
}

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
    return a == b;
}

// A strict order, so GUIDs can key ordered containers.
struct guid_less {
    bool operator()(const GUID& a, const GUID& b) const {
        if (a.Data1 != b.Data1) {
            return a.Data1 < b.Data1;
        }
        if (a.Data2 != b.Data2) {
            return a.Data2 < b.Data2;
        }
        if (a.Data3 != b.Data3) {
            return a.Data3 < b.Data3;
        }
        return std::memcmp(a.Data4, b.Data4, sizeof a.Data4) < 0;
    }
};

inline constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
inline constexpr IID IID_NULL = GUID_NULL;
