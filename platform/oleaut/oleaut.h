// OLE Automation stand-in: VARIANT, BSTR, SAFEARRAY, DECIMAL, CY, DATE and their conversions.
#pragma once

#include "platform/win32/localtime.h" // SYSTEMTIME
#include "platform/win32/types.h"

#include <cstddef>
#include <cstdint>

// Result codes. This layer sits below platform/com, which takes them from here and adds its own.
#ifndef VELMORA_HRESULT_DEFINED
#define VELMORA_HRESULT_DEFINED
typedef int32_t HRESULT;
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)
#endif

inline constexpr HRESULT DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005u);
inline constexpr HRESULT DISP_E_BADVARTYPE = static_cast<HRESULT>(0x80020008u);
inline constexpr HRESULT DISP_E_OVERFLOW = static_cast<HRESULT>(0x8002000Au);
inline constexpr HRESULT DISP_E_BADINDEX = static_cast<HRESULT>(0x8002000Bu);
inline constexpr HRESULT DISP_E_ARRAYISLOCKED = static_cast<HRESULT>(0x8002000Du);
inline constexpr HRESULT DISP_E_DIVBYZERO = static_cast<HRESULT>(0x80020012u);

// The 16-bit character of OLE (a UTF-16 unit) and the length-prefixed string built of it.
typedef char16_t OLECHAR;
typedef OLECHAR* BSTR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;

typedef uint16_t VARTYPE;
typedef int16_t VARIANT_BOOL;
typedef double DATE; // days since 1899-12-30; the fraction is the time of day

inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

enum : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_DECIMAL = 14,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_CARRAY = 27,
    VT_BLOB = 65,
    VT_BLOB_OBJECT = 70,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
    VT_TYPEMASK = 0x0FFF,
};

// Flags of VariantChangeType (accepted, and ignored where noted in oleaut.cpp).
inline constexpr uint16_t VARIANT_NOVALUEPROP = 0x01;
inline constexpr uint16_t VARIANT_ALPHABOOL = 0x02;

// Locale identifiers are accepted everywhere and ignored: every conversion here follows English
// (United States), 1033, whatever the process locale: "." as the decimal point, "," as the
// thousands separator.

// Currency: the amount times 10 000 in a signed 64-bit integer.
union CY {
    struct {
        uint32_t Lo;
        int32_t Hi;
    };
    int64_t int64;
};

// DECIMAL: value = (-1 if sign has DECIMAL_NEG) * (Hi32:Mid32:Lo32) / 10^scale, scale 0 to 28.
// Its first two bytes overlap the VARIANT's type code.
inline constexpr uint8_t DECIMAL_NEG = 0x80;
inline constexpr uint8_t DECIMAL_MAX_SCALE = 28;
struct DECIMAL {
    uint16_t wReserved;
    union {
        struct {
            uint8_t scale;
            uint8_t sign;
        };
        uint16_t signscale;
    };
    uint32_t Hi32;
    union {
        struct {
            uint32_t Lo32;
            uint32_t Mid32;
        };
        uint64_t Lo64;
    };
};
static_assert(sizeof(DECIMAL) == 16);

struct SAFEARRAYBOUND {
    uint32_t cElements;
    int32_t lLbound;
};

// Arrays of fixed-size elements. rgsabound holds cDims entries, the last dimension first.
struct SAFEARRAY {
    uint16_t cDims;
    uint16_t fFeatures;
    uint32_t cbElements;
    uint32_t cLocks;
    void* pvData;
    SAFEARRAYBOUND rgsabound[1];
};

struct VARIANT {
    union {
        struct {
            VARTYPE vt;
            uint16_t wReserved1;
            uint16_t wReserved2;
            uint16_t wReserved3;
            union {
                int64_t llVal;
                int32_t lVal;
                uint8_t bVal;
                int16_t iVal;
                float fltVal;
                double dblVal;
                VARIANT_BOOL boolVal;
                int32_t scode;
                CY cyVal;
                DATE date;
                BSTR bstrVal;
                SAFEARRAY* parray;
                void* byref;
                char cVal;
                uint16_t uiVal;
                uint32_t ulVal;
                uint64_t ullVal;
                int intVal;
                unsigned int uintVal;
                struct {
                    void* pvRecord;
                    void* pRecInfo;
                } brecVal;
            };
        };
        DECIMAL decVal;
    };
};
typedef VARIANT VARIANTARG;
static_assert(sizeof(VARIANT) == 24);

#define V_VT(v) ((v)->vt)

// BSTR: a 32-bit byte count before the text, a NUL after it. A null BSTR is the empty text.
BSTR SysAllocString(const OLECHAR* text);
BSTR SysAllocStringLen(const OLECHAR* text, unsigned int length); // text may be null: zeroed
BSTR SysAllocStringByteLen(const char* bytes, unsigned int byte_length);
void SysFreeString(BSTR text);
unsigned int SysStringLen(BSTR text);
unsigned int SysStringByteLen(BSTR text);
int SysReAllocStringLen(BSTR* text, const OLECHAR* source, unsigned int length);

// SAFEARRAY of fixed-size element types (VT_UI1, VT_I1, VT_I2, VT_UI2, VT_I4, VT_UI4, VT_INT,
// VT_UINT, VT_R4, VT_R8, VT_CY, VT_DATE, VT_BOOL, VT_I8, VT_UI8, VT_DECIMAL).
SAFEARRAY* SafeArrayCreate(VARTYPE element_type, unsigned int dims, const SAFEARRAYBOUND* bounds);
SAFEARRAY* SafeArrayCreateVector(VARTYPE element_type, int32_t lower_bound, uint32_t count);
HRESULT SafeArrayDestroy(SAFEARRAY* array);
HRESULT SafeArrayRedim(SAFEARRAY* array, const SAFEARRAYBOUND* new_bound);
unsigned int SafeArrayGetDim(SAFEARRAY* array);
unsigned int SafeArrayGetElemsize(SAFEARRAY* array);
HRESULT SafeArrayGetLBound(SAFEARRAY* array, unsigned int dim, int32_t* lower);
HRESULT SafeArrayGetUBound(SAFEARRAY* array, unsigned int dim, int32_t* upper);
HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data);
HRESULT SafeArrayUnaccessData(SAFEARRAY* array);
HRESULT SafeArrayCopy(SAFEARRAY* source, SAFEARRAY** copy);

// VARIANT life cycle. VariantClear frees a BSTR or an array (VT_ARRAY|x, VT_BLOB, VT_CARRAY).
void VariantInit(VARIANT* v);
HRESULT VariantClear(VARIANT* v);
HRESULT VariantCopy(VARIANT* destination, const VARIANT* source);
// Converts source (which may be destination) to type vt. lcid is accepted and ignored (en-US).
HRESULT VariantChangeType(VARIANT* destination, const VARIANT* source, uint16_t flags, VARTYPE vt);
HRESULT VariantChangeTypeEx(VARIANT* destination, const VARIANT* source, LCID lcid, uint16_t flags,
                            VARTYPE vt);

// Dates. SystemTimeToVariantTime returns 1 on success and 0 for a date it cannot represent
// (month or day 0, years outside 100..9999 after the two-digit-year rule); milliseconds are
// ignored.
int SystemTimeToVariantTime(const SYSTEMTIME* st, DATE* date);
int VariantTimeToSystemTime(DATE date, SYSTEMTIME* st);
HRESULT VarDateFromStr(LPCOLESTR text, LCID lcid, uint32_t flags, DATE* out);
HRESULT VarBstrFromDate(DATE date, LCID lcid, uint32_t flags, BSTR* out);

// Text to numbers and back (en-US). Failures: DISP_E_TYPEMISMATCH for text that is no number,
// DISP_E_OVERFLOW for a number outside the target's range. Conversions to integer types and to
// currency round half to even.
HRESULT VarCyFromStr(LPCOLESTR text, LCID lcid, uint32_t flags, CY* out);
HRESULT VarDecFromStr(LPCOLESTR text, LCID lcid, uint32_t flags, DECIMAL* out);
HRESULT VarR8FromStr(LPCOLESTR text, LCID lcid, uint32_t flags, double* out);
HRESULT VarR4FromStr(LPCOLESTR text, LCID lcid, uint32_t flags, float* out);
HRESULT VarI4FromStr(LPCOLESTR text, LCID lcid, uint32_t flags, int32_t* out);
HRESULT VarI8FromStr(LPCOLESTR text, LCID lcid, uint32_t flags, int64_t* out);
HRESULT VarBoolFromStr(LPCOLESTR text, LCID lcid, uint32_t flags, VARIANT_BOOL* out);
HRESULT VarBstrFromDec(const DECIMAL* in, LCID lcid, uint32_t flags, BSTR* out);
HRESULT VarBstrFromCy(CY in, LCID lcid, uint32_t flags, BSTR* out);
HRESULT VarBstrFromR8(double in, LCID lcid, uint32_t flags, BSTR* out);
HRESULT VarBstrFromR4(float in, LCID lcid, uint32_t flags, BSTR* out);
HRESULT VarBstrFromI8(int64_t in, LCID lcid, uint32_t flags, BSTR* out);
HRESULT VarBstrFromUI8(uint64_t in, LCID lcid, uint32_t flags, BSTR* out);
HRESULT VarBstrFromBool(VARIANT_BOOL in, LCID lcid, uint32_t flags, BSTR* out);

// Numbers to DECIMAL. R8 keeps 15 significant digits and R4 7, as OLE Automation does.
HRESULT VarDecFromI2(int16_t in, DECIMAL* out);
HRESULT VarDecFromI4(int32_t in, DECIMAL* out);
HRESULT VarDecFromI8(int64_t in, DECIMAL* out);
HRESULT VarDecFromUI2(uint16_t in, DECIMAL* out);
HRESULT VarDecFromUI4(uint32_t in, DECIMAL* out);
HRESULT VarDecFromUI8(uint64_t in, DECIMAL* out);
HRESULT VarDecFromR4(float in, DECIMAL* out);
HRESULT VarDecFromR8(double in, DECIMAL* out);
HRESULT VarDecFromCy(CY in, DECIMAL* out);

// DECIMAL to numbers.
HRESULT VarI1FromDec(const DECIMAL* in, char* out);
HRESULT VarI2FromDec(const DECIMAL* in, int16_t* out);
HRESULT VarUI2FromDec(const DECIMAL* in, uint16_t* out);
HRESULT VarI4FromDec(const DECIMAL* in, int32_t* out);
HRESULT VarUI4FromDec(const DECIMAL* in, uint32_t* out);
HRESULT VarI8FromDec(const DECIMAL* in, int64_t* out);
HRESULT VarUI8FromDec(const DECIMAL* in, uint64_t* out);
HRESULT VarR4FromDec(const DECIMAL* in, float* out);
HRESULT VarR8FromDec(const DECIMAL* in, double* out);
HRESULT VarCyFromDec(const DECIMAL* in, CY* out);

// Currency to numbers and numbers to currency.
HRESULT VarI4FromCy(CY in, int32_t* out);
HRESULT VarI8FromCy(CY in, int64_t* out);
HRESULT VarUI8FromCy(CY in, uint64_t* out);
HRESULT VarR4FromCy(CY in, float* out);
HRESULT VarR8FromCy(CY in, double* out);
HRESULT VarCyFromR8(double in, CY* out);
HRESULT VarCyFromI8(int64_t in, CY* out);

// Floating point to 64-bit integers.
HRESULT VarI8FromR4(float in, int64_t* out);
HRESULT VarI8FromR8(double in, int64_t* out);
HRESULT VarUI8FromR4(float in, uint64_t* out);
HRESULT VarUI8FromR8(double in, uint64_t* out);
