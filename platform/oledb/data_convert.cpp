// The conversion library.
#include "platform/oledb/data_convert.h"

#include "platform/win32/unicode.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

namespace {

const std::u16string convert_source = u"OLE DB Conversion Library";

bool supported(DBTYPE type) {
    switch (type) {
    case DBTYPE_I1:
    case DBTYPE_I2:
    case DBTYPE_I4:
    case DBTYPE_I8:
    case DBTYPE_UI1:
    case DBTYPE_UI2:
    case DBTYPE_UI4:
    case DBTYPE_UI8:
    case DBTYPE_R4:
    case DBTYPE_R8:
    case DBTYPE_BOOL:
    case DBTYPE_STR:
    case DBTYPE_WSTR:
    case DBTYPE_BYTES:
        return true;
    default:
        return false;
    }
}

// A value between the source and the target.
struct scalar {
    enum class kind { signed_int, unsigned_int, real, boolean, text, bytes } what;
    std::int64_t i = 0;
    std::uint64_t u = 0;
    double d = 0;
    bool b = false;
    std::string text; // UTF-8
    std::string bytes;
};

scalar of_signed(std::int64_t value) {
    scalar s{};
    s.what = scalar::kind::signed_int;
    s.i = value;
    return s;
}

template <class T> T load(const void* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

template <class T> void store(void* p, T value) {
    std::memcpy(p, &value, sizeof value);
}

scalar read_value(DBTYPE type, const void* p, DBLENGTH length) {
    scalar s{};
    switch (type) {
    case DBTYPE_I1:
        s = of_signed(load<std::int8_t>(p));
        break;
    case DBTYPE_I2:
        s = of_signed(load<std::int16_t>(p));
        break;
    case DBTYPE_I4:
        s = of_signed(load<std::int32_t>(p));
        break;
    case DBTYPE_I8:
        s = of_signed(load<std::int64_t>(p));
        break;
    case DBTYPE_UI1:
        s.what = scalar::kind::unsigned_int, s.u = load<std::uint8_t>(p);
        break;
    case DBTYPE_UI2:
        s.what = scalar::kind::unsigned_int, s.u = load<std::uint16_t>(p);
        break;
    case DBTYPE_UI4:
        s.what = scalar::kind::unsigned_int, s.u = load<std::uint32_t>(p);
        break;
    case DBTYPE_UI8:
        s.what = scalar::kind::unsigned_int, s.u = load<std::uint64_t>(p);
        break;
    case DBTYPE_R4:
        s.what = scalar::kind::real, s.d = load<float>(p);
        break;
    case DBTYPE_R8:
        s.what = scalar::kind::real, s.d = load<double>(p);
        break;
    case DBTYPE_BOOL:
        s.what = scalar::kind::boolean, s.b = load<std::int16_t>(p) != 0;
        break;
    case DBTYPE_STR:
        s.what = scalar::kind::text, s.text.assign(static_cast<const char*>(p), length);
        break;
    case DBTYPE_WSTR:
        s.what = scalar::kind::text;
        s.text = win32::to_utf8(
            std::u16string_view(static_cast<const char16_t*>(p), length / sizeof(char16_t)));
        break;
    default: // DBTYPE_BYTES
        s.what = scalar::kind::bytes, s.bytes.assign(static_cast<const char*>(p), length);
        break;
    }
    return s;
}

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string as_text(const scalar& s) {
    char buffer[64];
    switch (s.what) {
    case scalar::kind::signed_int:
        return std::to_string(s.i);
    case scalar::kind::unsigned_int:
        return std::to_string(s.u);
    case scalar::kind::real:
        std::snprintf(buffer, sizeof buffer, "%.17g", s.d);
        return buffer;
    case scalar::kind::boolean:
        return s.b ? "True" : "False";
    case scalar::kind::text:
        return s.text;
    case scalar::kind::bytes: {
        static const char digits[] = "0123456789ABCDEF";
        std::string hex;
        for (unsigned char c : s.bytes) {
            hex.push_back(digits[c >> 4]);
            hex.push_back(digits[c & 0x0F]);
        }
        return hex;
    }
    }
    return {};
}

// The value as a number: signed, unsigned or real; false when the text is no number.
bool as_number(const scalar& s, scalar& number) {
    if (s.what != scalar::kind::text) {
        number = s;
        if (s.what == scalar::kind::boolean) {
            number = of_signed(s.b ? -1 : 0);
        }
        return s.what != scalar::kind::bytes;
    }
    const std::string text = trim(s.text);
    if (text.empty()) {
        return false;
    }
    const char* first = text.data();
    const char* last = first + text.size();
    std::int64_t i = 0;
    if (auto [end, ec] = std::from_chars(first, last, i); ec == std::errc() && end == last) {
        number = of_signed(i);
        return true;
    }
    std::uint64_t u = 0;
    if (auto [end, ec] = std::from_chars(first, last, u); ec == std::errc() && end == last) {
        number.what = scalar::kind::unsigned_int;
        number.u = u;
        return true;
    }
    double d = 0;
    if (auto [end, ec] = std::from_chars(first, last, d); ec == std::errc() && end == last) {
        number.what = scalar::kind::real;
        number.d = d;
        return true;
    }
    return false;
}

// Converts a number into the integer range [low, high]; false on overflow or a fraction-free
// failure.
bool to_integer(const scalar& n, long double low, long double high, long double& out) {
    long double v = 0;
    switch (n.what) {
    case scalar::kind::signed_int:
        v = n.i;
        break;
    case scalar::kind::unsigned_int:
        v = n.u;
        break;
    default:
        if (!std::isfinite(n.d)) {
            return false;
        }
        v = std::nearbyint(static_cast<long double>(n.d));
        break;
    }
    if (v < low || v > high) {
        return false;
    }
    out = v;
    return true;
}

struct outcome {
    HRESULT hr;
    DBSTATUS status;
    DBLENGTH length;
};

template <class T> outcome put_integer(const scalar& s, void* target) {
    scalar n;
    if (!as_number(s, n)) {
        return {DB_E_CANTCONVERTVALUE, DBSTATUS_E_CANTCONVERTVALUE, 0};
    }
    long double v = 0;
    if (!to_integer(n, std::numeric_limits<T>::min(), std::numeric_limits<T>::max(), v)) {
        return {DB_E_DATAOVERFLOW, DBSTATUS_E_DATAOVERFLOW, 0};
    }
    if (target != nullptr) {
        if (n.what == scalar::kind::unsigned_int) {
            store<T>(target, static_cast<T>(n.u));
        } else if (n.what == scalar::kind::signed_int) {
            store<T>(target, static_cast<T>(n.i));
        } else {
            store<T>(target, static_cast<T>(v));
        }
    }
    return {S_OK, DBSTATUS_S_OK, sizeof(T)};
}

template <class T> outcome put_real(const scalar& s, void* target) {
    scalar n;
    if (!as_number(s, n)) {
        return {DB_E_CANTCONVERTVALUE, DBSTATUS_E_CANTCONVERTVALUE, 0};
    }
    const double d = n.what == scalar::kind::signed_int     ? static_cast<double>(n.i)
                     : n.what == scalar::kind::unsigned_int ? static_cast<double>(n.u)
                                                            : n.d;
    if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<T>::max()) {
        return {DB_E_DATAOVERFLOW, DBSTATUS_E_DATAOVERFLOW, 0};
    }
    if (target != nullptr) {
        store<T>(target, static_cast<T>(d));
    }
    return {S_OK, DBSTATUS_S_OK, sizeof(T)};
}

outcome put_bool(const scalar& s, void* target) {
    bool value = false;
    if (s.what == scalar::kind::text) {
        const std::string text = trim(s.text);
        std::string lower;
        for (char c : text) {
            lower.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
        }
        scalar n;
        if (lower == "true") {
            value = true;
        } else if (lower == "false") {
            value = false;
        } else if (as_number(s, n)) {
            value = n.what == scalar::kind::real ? n.d != 0 : (n.i != 0 || n.u != 0);
        } else {
            return {DB_E_CANTCONVERTVALUE, DBSTATUS_E_CANTCONVERTVALUE, 0};
        }
    } else if (s.what == scalar::kind::bytes) {
        return {DB_E_CANTCONVERTVALUE, DBSTATUS_E_CANTCONVERTVALUE, 0};
    } else if (s.what == scalar::kind::boolean) {
        value = s.b;
    } else {
        value = s.what == scalar::kind::real ? s.d != 0 : (s.i != 0 || s.u != 0);
    }
    if (target != nullptr) {
        store<std::int16_t>(target, value ? -1 : 0);
    }
    return {S_OK, DBSTATUS_S_OK, sizeof(std::int16_t)};
}

outcome put_bytes(const scalar& s, void* target, DBLENGTH max) {
    std::string bytes;
    if (s.what == scalar::kind::bytes) {
        bytes = s.bytes;
    } else if (s.what == scalar::kind::text) {
        const std::string text = trim(s.text);
        if (text.size() % 2 != 0) {
            return {DB_E_CANTCONVERTVALUE, DBSTATUS_E_CANTCONVERTVALUE, 0};
        }
        for (std::size_t i = 0; i < text.size(); i += 2) {
            unsigned value = 0;
            const auto [end, ec] = std::from_chars(text.data() + i, text.data() + i + 2, value, 16);
            if (ec != std::errc() || end != text.data() + i + 2) {
                return {DB_E_CANTCONVERTVALUE, DBSTATUS_E_CANTCONVERTVALUE, 0};
            }
            bytes.push_back(static_cast<char>(value));
        }
    } else {
        return {DB_E_UNSUPPORTEDCONVERSION, DBSTATUS_E_CANTCONVERTVALUE, 0};
    }
    const DBLENGTH copied = std::min<DBLENGTH>(bytes.size(), max);
    if (target != nullptr) {
        std::memcpy(target, bytes.data(), copied);
    }
    return {S_OK, copied < bytes.size() ? DBSTATUS_S_TRUNCATED : DBSTATUS_S_OK, bytes.size()};
}

template <class Char>
outcome put_text(const std::basic_string<Char>& text, void* target, DBLENGTH max) {
    const DBLENGTH length = text.size() * sizeof(Char);
    if (target == nullptr) {
        return {S_OK, DBSTATUS_S_OK, length};
    }
    if (max < sizeof(Char)) {
        return {S_OK, DBSTATUS_S_TRUNCATED, length};
    }
    std::size_t units = std::min<std::size_t>(text.size(), max / sizeof(Char) - 1);
    if constexpr (sizeof(Char) == 2) {
        if (units > 0 && units < text.size() && text[units - 1] >= 0xD800 &&
            text[units - 1] <= 0xDBFF) {
            --units;
        }
    } else {
        while (units > 0 && units < text.size() &&
               (static_cast<unsigned char>(text[units]) & 0xC0) == 0x80) {
            --units;
        }
    }
    std::memcpy(target, text.data(), units * sizeof(Char));
    std::memset(static_cast<char*>(target) + units * sizeof(Char), 0, sizeof(Char));
    return {S_OK, units < text.size() ? DBSTATUS_S_TRUNCATED : DBSTATUS_S_OK, length};
}

outcome convert(const scalar& s, DBTYPE type, void* target, DBLENGTH max) {
    switch (type) {
    case DBTYPE_I1:
        return put_integer<std::int8_t>(s, target);
    case DBTYPE_I2:
        return put_integer<std::int16_t>(s, target);
    case DBTYPE_I4:
        return put_integer<std::int32_t>(s, target);
    case DBTYPE_I8:
        return put_integer<std::int64_t>(s, target);
    case DBTYPE_UI1:
        return put_integer<std::uint8_t>(s, target);
    case DBTYPE_UI2:
        return put_integer<std::uint16_t>(s, target);
    case DBTYPE_UI4:
        return put_integer<std::uint32_t>(s, target);
    case DBTYPE_UI8:
        return put_integer<std::uint64_t>(s, target);
    case DBTYPE_R4:
        return put_real<float>(s, target);
    case DBTYPE_R8:
        return put_real<double>(s, target);
    case DBTYPE_BOOL:
        return put_bool(s, target);
    case DBTYPE_STR:
        return put_text(as_text(s), target, max);
    case DBTYPE_WSTR:
        return put_text(win32::to_utf16(std::string_view(as_text(s))), target, max);
    default: // DBTYPE_BYTES
        return put_bytes(s, target, max);
    }
}

} // namespace

HRESULT data_convert::DataConvert(DBTYPE source_type, DBTYPE target_type, DBLENGTH source_length,
                                  DBLENGTH* target_length, void* source, void* target,
                                  DBLENGTH target_max_length, DBSTATUS source_status,
                                  DBSTATUS* target_status, BYTE, BYTE, DBDATACONVERT) {
    const auto finish = [&](HRESULT hr, DBSTATUS status, DBLENGTH length) {
        if (target_status != nullptr) {
            *target_status = status;
        }
        if (target_length != nullptr) {
            *target_length = length;
        }
        return FAILED(hr) ? com_post_error(hr, u"The value could not be converted.", convert_source)
                          : com_succeed(hr);
    };
    if (!supported(source_type) || !supported(target_type)) {
        return finish(DB_E_UNSUPPORTEDCONVERSION, DBSTATUS_E_CANTCONVERTVALUE, 0);
    }
    if (source_status == DBSTATUS_S_ISNULL) {
        return finish(S_OK, DBSTATUS_S_ISNULL, 0);
    }
    if (source == nullptr || target == nullptr) {
        return finish(E_INVALIDARG, DBSTATUS_E_BADSTATUS, 0);
    }
    const scalar value = read_value(source_type, source, source_length);
    const outcome result = convert(value, target_type, target, target_max_length);
    return finish(result.hr, result.status, result.length);
}

HRESULT data_convert::CanConvert(DBTYPE source_type, DBTYPE target_type) {
    const bool can = supported(source_type) && supported(target_type) &&
                     !(source_type == DBTYPE_BYTES && target_type != DBTYPE_BYTES &&
                       target_type != DBTYPE_STR && target_type != DBTYPE_WSTR);
    return com_succeed(can ? S_OK : S_FALSE);
}

HRESULT data_convert::GetConversionSize(DBTYPE source_type, DBTYPE target_type,
                                        DBLENGTH* source_length, DBLENGTH* target_length,
                                        void* source) {
    if (target_length == nullptr) {
        return com_post_error(E_INVALIDARG, u"No place for the size was given.", convert_source);
    }
    if (!supported(source_type) || !supported(target_type)) {
        return com_post_error(DB_E_UNSUPPORTEDCONVERSION, u"The conversion is not supported.",
                              convert_source);
    }
    if (source == nullptr) {
        return com_post_error(E_INVALIDARG, u"No source value was given.", convert_source);
    }
    const scalar value = read_value(source_type, source, source_length ? *source_length : 0);
    const outcome result = convert(value, target_type, nullptr, 0);
    if (FAILED(result.hr)) {
        return com_post_error(result.hr, u"The value could not be converted.", convert_source);
    }
    DBLENGTH size = result.length;
    if (target_type == DBTYPE_STR) {
        size += 1;
    } else if (target_type == DBTYPE_WSTR) {
        size += 2;
    }
    *target_length = size;
    return com_succeed();
}
