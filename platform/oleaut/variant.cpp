// VARIANT life cycle and the general type conversion.
#include "platform/oleaut/oleaut_internal.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

using namespace oleaut;

void VariantInit(VARIANT* v) {
    if (v == nullptr) {
        return;
    }
    std::memset(v, 0, sizeof *v);
    v->vt = VT_EMPTY;
}

namespace {

bool holds_array(VARTYPE vt) {
    return (vt & VT_ARRAY) != 0 || vt == VT_BLOB || vt == VT_CARRAY;
}

} // namespace

HRESULT VariantClear(VARIANT* v) {
    if (v == nullptr) {
        return E_INVALIDARG;
    }
    if ((v->vt & VT_BYREF) == 0) {
        if (v->vt == VT_BSTR) {
            SysFreeString(v->bstrVal);
        } else if (holds_array(v->vt) && v->parray != nullptr) {
            if (v->parray->cLocks != 0) {
                return DISP_E_ARRAYISLOCKED;
            }
            SafeArrayDestroy(v->parray);
        }
    }
    std::memset(v, 0, sizeof *v);
    v->vt = VT_EMPTY;
    return S_OK;
}

HRESULT VariantCopy(VARIANT* destination, const VARIANT* source) {
    if (destination == nullptr || source == nullptr) {
        return E_INVALIDARG;
    }
    if (destination == source) {
        return S_OK;
    }
    // The copy is made before the destination is released, so a failure leaves it intact.
    VARIANT copy;
    std::memcpy(&copy, source, sizeof copy);
    if ((source->vt & VT_BYREF) == 0) {
        if (source->vt == VT_BSTR && source->bstrVal != nullptr) {
            copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<const char*>(source->bstrVal),
                                                 SysStringByteLen(source->bstrVal));
            if (copy.bstrVal == nullptr) {
                return E_OUTOFMEMORY;
            }
        } else if (holds_array(source->vt) && source->parray != nullptr) {
            HRESULT hr = SafeArrayCopy(source->parray, &copy.parray);
            if (FAILED(hr)) {
                return hr;
            }
        }
    }
    HRESULT hr = VariantClear(destination);
    if (FAILED(hr)) {
        VariantClear(&copy);
        return hr;
    }
    std::memcpy(destination, &copy, sizeof copy);
    return S_OK;
}

namespace {

// A value on its way between two types: an exact integer, an exact decimal, a double, a text
// or a date.
struct interim {
    enum kind_t { none, integer, decimal, real, text, date } kind = none;
    i128 whole = 0;
    exact_decimal dec;
    double real_value = 0;
    std::u16string text_value;
    bool from_bool = false;
};

HRESULT read_source(const VARIANT& v, interim& out) {
    switch (v.vt) {
    case VT_EMPTY:
        out.kind = interim::integer;
        return S_OK;
    case VT_I1:
        out.kind = interim::integer;
        out.whole = static_cast<signed char>(v.cVal);
        return S_OK;
    case VT_UI1:
        out.kind = interim::integer;
        out.whole = v.bVal;
        return S_OK;
    case VT_I2:
        out.kind = interim::integer;
        out.whole = v.iVal;
        return S_OK;
    case VT_UI2:
        out.kind = interim::integer;
        out.whole = v.uiVal;
        return S_OK;
    case VT_I4:
    case VT_INT:
        out.kind = interim::integer;
        out.whole = v.lVal;
        return S_OK;
    case VT_UI4:
    case VT_UINT:
        out.kind = interim::integer;
        out.whole = v.ulVal;
        return S_OK;
    case VT_I8:
        out.kind = interim::integer;
        out.whole = v.llVal;
        return S_OK;
    case VT_UI8:
        out.kind = interim::integer;
        out.whole = v.ullVal;
        return S_OK;
    case VT_BOOL:
        out.kind = interim::integer;
        out.whole = v.boolVal != 0 ? -1 : 0;
        out.from_bool = true;
        return S_OK;
    case VT_R4:
        out.kind = interim::real;
        out.real_value = v.fltVal;
        return S_OK;
    case VT_R8:
        out.kind = interim::real;
        out.real_value = v.dblVal;
        return S_OK;
    case VT_DATE:
        out.kind = interim::date;
        out.real_value = v.date;
        return S_OK;
    case VT_CY: {
        out.kind = interim::decimal;
        const bool negative = v.cyVal.int64 < 0;
        out.dec.negative = negative;
        out.dec.magnitude = negative ? static_cast<u128>(-static_cast<i128>(v.cyVal.int64))
                                     : static_cast<u128>(v.cyVal.int64);
        out.dec.scale = 4;
        return S_OK;
    }
    case VT_DECIMAL:
        out.kind = interim::decimal;
        return decimal_unpack(v.decVal, out.dec) ? S_OK : E_INVALIDARG;
    case VT_BSTR:
        out.kind = interim::text;
        if (v.bstrVal != nullptr) {
            out.text_value.assign(v.bstrVal, SysStringLen(v.bstrVal));
        }
        return S_OK;
    default:
        return DISP_E_TYPEMISMATCH;
    }
}

// The interim as an exact decimal where it is one (integers, decimals, numeric text).
HRESULT as_number(const interim& in, bool& is_real, double& real, exact_decimal& dec) {
    is_real = false;
    switch (in.kind) {
    case interim::integer:
        dec.negative = in.whole < 0;
        dec.magnitude = in.whole < 0 ? static_cast<u128>(-in.whole) : static_cast<u128>(in.whole);
        dec.scale = 0;
        return S_OK;
    case interim::decimal:
        dec = in.dec;
        return S_OK;
    case interim::real:
    case interim::date:
        is_real = true;
        real = in.real_value;
        return S_OK;
    case interim::text: {
        parsed_number number;
        if (!parse_number(in.text_value, number)) {
            return DISP_E_TYPEMISMATCH;
        }
        // Integral text stays exact; other text is read as a double, as OLE does.
        if (number.exponent >= 0 && number.digits.size() + number.exponent <= 36) {
            dec.negative = number.negative;
            dec.magnitude = 0;
            for (char c : number.digits) {
                dec.magnitude = dec.magnitude * 10 + static_cast<unsigned>(c - '0');
            }
            dec.magnitude *= pow10(number.exponent);
            dec.scale = 0;
            return S_OK;
        }
        HRESULT hr = VarR8FromStr(in.text_value.c_str(), 1033, 0, &real);
        is_real = true;
        return hr;
    }
    case interim::none:
        break;
    }
    return DISP_E_TYPEMISMATCH;
}

template <typename T> HRESULT to_integer(const interim& in, T* out) {
    bool is_real = false;
    double real = 0;
    exact_decimal dec;
    HRESULT hr = as_number(in, is_real, real, dec);
    if (FAILED(hr)) {
        return hr;
    }
    if (is_real) {
        if (std::numeric_limits<T>::is_signed) {
            int64_t value = 0;
            hr = VarI8FromR8(real, &value);
            if (FAILED(hr)) {
                return hr;
            }
            if (value < static_cast<int64_t>(std::numeric_limits<T>::min()) ||
                value > static_cast<int64_t>(std::numeric_limits<T>::max())) {
                return DISP_E_OVERFLOW;
            }
            *out = static_cast<T>(value);
            return S_OK;
        }
        uint64_t value = 0;
        hr = VarUI8FromR8(real, &value);
        if (FAILED(hr)) {
            return hr;
        }
        if (value > static_cast<uint64_t>(std::numeric_limits<T>::max())) {
            return DISP_E_OVERFLOW;
        }
        *out = static_cast<T>(value);
        return S_OK;
    }
    const u128 magnitude = round_to_integer(dec);
    if (magnitude > (static_cast<u128>(1) << 100)) {
        return DISP_E_OVERFLOW;
    }
    const i128 value = dec.negative ? -static_cast<i128>(magnitude) : static_cast<i128>(magnitude);
    if (value < static_cast<i128>(std::numeric_limits<T>::min()) ||
        value > static_cast<i128>(std::numeric_limits<T>::max())) {
        return DISP_E_OVERFLOW;
    }
    *out = static_cast<T>(value);
    return S_OK;
}

HRESULT to_double(const interim& in, double* out) {
    bool is_real = false;
    double real = 0;
    exact_decimal dec;
    HRESULT hr = as_number(in, is_real, real, dec);
    if (FAILED(hr)) {
        return hr;
    }
    *out = is_real ? real : decimal_to_double(dec);
    return S_OK;
}

// A number that is not text, as a DECIMAL when it is exact, else as the double it is.
HRESULT number_as_decimal(const interim& in, bool& is_real, double& real, DECIMAL* out) {
    exact_decimal dec;
    const HRESULT hr = as_number(in, is_real, real, dec);
    if (FAILED(hr) || is_real) {
        return hr;
    }
    if (dec.magnitude >= decimal_limit) {
        return DISP_E_OVERFLOW;
    }
    decimal_pack(dec, out);
    return S_OK;
}

HRESULT to_decimal(const interim& in, DECIMAL* out) {
    if (in.kind == interim::text) {
        return VarDecFromStr(in.text_value.c_str(), 1033, 0, out);
    }
    bool is_real = false;
    double real = 0;
    const HRESULT hr = number_as_decimal(in, is_real, real, out);
    if (FAILED(hr)) {
        return hr;
    }
    return is_real ? VarDecFromR8(real, out) : S_OK;
}

HRESULT to_currency(const interim& in, CY* out) {
    if (in.kind == interim::text) {
        return VarCyFromStr(in.text_value.c_str(), 1033, 0, out);
    }
    bool is_real = false;
    double real = 0;
    DECIMAL d{};
    const HRESULT hr = number_as_decimal(in, is_real, real, &d);
    if (FAILED(hr)) {
        return hr;
    }
    return is_real ? VarCyFromR8(real, out) : VarCyFromDec(&d, out);
}

HRESULT to_text(const VARIANT& source, const interim& in, uint16_t flags, BSTR* out) {
    switch (source.vt) {
    case VT_EMPTY:
        *out = SysAllocStringLen(nullptr, 0);
        return *out == nullptr ? E_OUTOFMEMORY : S_OK;
    case VT_BOOL:
        return VarBstrFromBool(source.boolVal, 1033, flags, out);
    case VT_R4:
        return VarBstrFromR4(source.fltVal, 1033, 0, out);
    case VT_R8:
        return VarBstrFromR8(source.dblVal, 1033, 0, out);
    case VT_CY:
        return VarBstrFromCy(source.cyVal, 1033, 0, out);
    case VT_DECIMAL:
        return VarBstrFromDec(&source.decVal, 1033, 0, out);
    case VT_DATE:
        return VarBstrFromDate(source.date, 1033, 0, out);
    case VT_BSTR:
        *out = SysAllocStringLen(in.text_value.data(), static_cast<unsigned>(in.text_value.size()));
        return *out == nullptr ? E_OUTOFMEMORY : S_OK;
    default:
        break;
    }
    if (in.kind != interim::integer) {
        return DISP_E_TYPEMISMATCH;
    }
    std::string text = in.whole < 0 ? "-" + u128_to_string(static_cast<u128>(-in.whole))
                                    : u128_to_string(static_cast<u128>(in.whole));
    *out = bstr_from_ascii(text);
    return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

HRESULT convert(const VARIANT& source, uint16_t flags, VARTYPE vt, VARIANT& result) {
    VariantInit(&result);
    if (source.vt == VT_NULL) {
        if (vt == VT_NULL || vt == VT_EMPTY) {
            result.vt = vt;
            return S_OK;
        }
        return DISP_E_TYPEMISMATCH;
    }
    interim in;
    HRESULT hr = read_source(source, in);
    if (FAILED(hr)) {
        return hr;
    }
    switch (vt) {
    case VT_EMPTY:
        return S_OK;
    case VT_NULL:
        result.vt = VT_NULL;
        return S_OK;
    case VT_I1: {
        signed char value = 0;
        hr = to_integer(in, &value);
        result.cVal = static_cast<char>(value);
        break;
    }
    case VT_UI1:
        hr = to_integer(in, &result.bVal);
        break;
    case VT_I2:
        hr = to_integer(in, &result.iVal);
        break;
    case VT_UI2:
        hr = to_integer(in, &result.uiVal);
        break;
    case VT_I4:
    case VT_INT:
        hr = to_integer(in, &result.lVal);
        break;
    case VT_UI4:
    case VT_UINT:
        hr = to_integer(in, &result.ulVal);
        break;
    case VT_I8:
        hr = to_integer(in, &result.llVal);
        break;
    case VT_UI8:
        hr = to_integer(in, &result.ullVal);
        break;
    case VT_BOOL:
        if (in.kind == interim::text) {
            hr = VarBoolFromStr(in.text_value.c_str(), 1033, 0, &result.boolVal);
            break;
        }
        if (in.kind == interim::date || in.kind == interim::real) {
            result.boolVal = in.real_value != 0 ? VARIANT_TRUE : VARIANT_FALSE;
            break;
        }
        if (in.kind == interim::decimal) {
            result.boolVal = in.dec.magnitude != 0 ? VARIANT_TRUE : VARIANT_FALSE;
            break;
        }
        result.boolVal = in.whole != 0 ? VARIANT_TRUE : VARIANT_FALSE;
        break;
    case VT_R4: {
        double value = 0;
        hr = to_double(in, &value);
        if (SUCCEEDED(hr) && std::isfinite(value) && std::fabs(value) > FLT_MAX) {
            hr = DISP_E_OVERFLOW;
        }
        result.fltVal = static_cast<float>(value);
        break;
    }
    case VT_R8:
        hr = to_double(in, &result.dblVal);
        break;
    case VT_CY:
        hr = to_currency(in, &result.cyVal);
        break;
    case VT_DECIMAL:
        hr = to_decimal(in, &result.decVal);
        break;
    case VT_DATE:
        if (in.kind == interim::text) {
            hr = VarDateFromStr(in.text_value.c_str(), 1033, 0, &result.date);
            break;
        }
        hr = to_double(in, &result.date);
        if (SUCCEEDED(hr)) {
            SYSTEMTIME check{};
            if (!VariantTimeToSystemTime(result.date, &check)) {
                hr = DISP_E_OVERFLOW;
            }
        }
        break;
    case VT_BSTR:
        hr = to_text(source, in, flags, &result.bstrVal);
        break;
    default:
        return DISP_E_TYPEMISMATCH;
    }
    if (FAILED(hr)) {
        VariantInit(&result);
        return hr;
    }
    result.vt = vt;
    return S_OK;
}

} // namespace

HRESULT VariantChangeTypeEx(VARIANT* destination, const VARIANT* source, LCID, uint16_t flags,
                            VARTYPE vt) {
    if (destination == nullptr || source == nullptr) {
        return E_INVALIDARG;
    }
    if (source->vt == vt) {
        return destination == source ? S_OK : VariantCopy(destination, source);
    }
    VARIANT result;
    HRESULT hr = convert(*source, flags, vt, result);
    if (FAILED(hr)) {
        return hr;
    }
    // VT_DECIMAL's record covers the type code, so it is written again after the payload.
    if (vt == VT_DECIMAL) {
        result.vt = VT_DECIMAL;
    }
    hr = VariantClear(destination);
    if (FAILED(hr)) {
        VariantClear(&result);
        return hr;
    }
    std::memcpy(destination, &result, sizeof result);
    return S_OK;
}

HRESULT VariantChangeType(VARIANT* destination, const VARIANT* source, uint16_t flags, VARTYPE vt) {
    return VariantChangeTypeEx(destination, source, 1033, flags, vt);
}
