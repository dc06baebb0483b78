// The value type: a thin owner of an OLE Automation VARIANT, the value of every field.
#pragma once

#include "OLE/ole_date.h"
#include "TK/tk_excep.h"
#include "platform/oleaut/oleaut.h"

#include <cstdint>
#include <string>
#include <vector>

// A conversion between type codes was refused or failed (level 0).
class ole_cast_exception : public tk_exception {
public:
    ole_cast_exception();
    ole_cast_exception(const ole_cast_exception&) = default;
};

// A text could not be converted to the requested type by the platform (level 1).
class ole_type_exception : public tk_exception {
public:
    ole_type_exception();
    ole_type_exception(const ole_type_exception&) = default;
};

// Which part holds the value: `hyper` for VT_I8, `uhyper` for VT_UI8, `date` for VT_DATE (the
// VARIANT's DATE is recomputed from it), `var` for every other type code. Byte values are
// VT_ARRAY|VT_UI1 (8209) one-dimensional SAFEARRAYs; texts are BSTRs (UTF-16) and keep embedded
// NUL characters. A VT_DECIMAL whose digits do not fit the 96-bit DECIMAL keeps its exact text
// in `exact_decimal` (see to_string).
class ole_variant {
public:
    static constexpr VARTYPE vt_byte_array = VT_ARRAY | VT_UI1; // 8209

    ole_variant();
    explicit ole_variant(const SYSTEMTIME& time);
    ole_variant(const ole_variant& other);
    ole_variant(ole_variant&& other) noexcept;
    // VT_BSTR of the whole text, embedded NULs included.
    explicit ole_variant(const std::wstring& text);
    explicit ole_variant(const std::u16string& text);
    // VT_ARRAY|VT_UI1; an empty vector gives VT_EMPTY.
    explicit ole_variant(const std::vector<uint8_t>& bytes);
    // VT_DATE; the date's kind is kept as it is.
    explicit ole_variant(const ole_date& date);
    // VT_ARRAY|VT_UI1 of `size` bytes copied from `bytes`. Size 0 gives an array of no
    // elements (`bytes` may then be null): a zero-length value, kept apart from VT_EMPTY.
    ole_variant(unsigned size, const void* bytes);
    explicit ole_variant(double value);
    // VT_BSTR of the text up to its first NUL.
    explicit ole_variant(const OLECHAR* text);
    explicit ole_variant(bool value);
    virtual ~ole_variant();

    ole_variant& operator=(const ole_variant& other);
    ole_variant& operator=(ole_variant&& other) noexcept;
    ole_variant& operator=(const std::wstring& text);
    ole_variant& operator=(const std::vector<uint8_t>& bytes);
    ole_variant& operator=(const OLECHAR* text);

    // Storage.
    void attach_wstring(const std::wstring& text);
    void attach_u16string(const std::u16string& text);
    // The narrow text is UTF-8.
    void attach_string(const std::string& text);
    void attach_binary(const std::vector<uint8_t>& bytes);
    // Makes the value a one-dimensional byte array of exactly `size` elements.
    void allocate_safe_array(unsigned size);
    // Releases the content; the value becomes VT_EMPTY.
    void clear();

    // Accessors.
    VARTYPE get_type() const { return var.vt; }
    void get_date(SYSTEMTIME* time) const;
    static bool is_numeric(VARTYPE vt);
    static bool is_date_or_string(VARTYPE vt);
    static bool is_byte_array(VARTYPE vt) { return vt == VT_BLOB || vt == vt_byte_array; }
    static unsigned get_safe_array_size(const SAFEARRAY* array);
    static void convert_to_byte_array(const uint8_t* bytes, unsigned count,
                                      std::vector<uint8_t>& out);
    // The value's bytes. Byte arrays: `*bytes` borrows the array's own bytes (valid while the
    // value is unchanged) and the count is returned. Text: `*bytes` receives a new[] buffer,
    // which the caller releases with delete[], holding the UTF-8 text and a NUL; the byte count
    // (without the NUL) is returned. Empty or null values: 0, `*bytes` untouched. Any other
    // type is an internal error.
    unsigned get_bytes(uint8_t** bytes) const;
    // One slice of the value as narrow text, for writers that emit long values in pieces; the
    // caller advances `start` by the result until it is 0.
    // Text: the bytes [start, start + length) of the text's UTF-8 form (characters may be cut
    // between slices, never lost or repeated); `buffer` holds length + 1 bytes; returns the
    // bytes written (a NUL follows). Byte arrays: the bytes [start, start + length) as 2 upper-
    // case hexadecimal digits each; `buffer` holds 2 * length + 1 bytes; returns the bytes
    // covered. Any other type: 0. It moves a cursor kept inside the value: one value is not
    // sliced from two threads at once.
    int get_at(char* buffer, unsigned start, unsigned length) const;

    // Text forms. Numbers: plain decimal with "." (VT_R4 in "%.8e", or with 17 digits where a
    // reader that goes through double would otherwise get another float; VT_R8 in "%.16e": each
    // reads back as the same value); dates: the canonical form with 6 fraction
    // digits; texts: the whole text (UTF-8 in to_string), NULs included; byte arrays: "0x" and
    // upper-case hexadecimal digits.
    virtual std::string to_string() const;
    virtual std::wstring to_wstring() const;
    // Appends to_string's text to `out`; no allocation beyond growing `out`.
    void append_string(std::string& out) const;

    // Builds a value of type code vt from text (narrow text is UTF-8).
    static ole_variant from_string(const std::string& text, VARTYPE vt);
    static ole_variant from_wstring(const std::wstring& text, VARTYPE vt);
    // Converts the value in place; throws ole_cast_exception when refused.
    void change_type(VARTYPE vt);

    bool to_bool() const;
    int32_t to_long() const;
    int64_t to_i8() const;
    uint64_t to_ui8() const;
    double to_double() const;
    float to_float() const;
    void to_decimal(DECIMAL* out) const;

    int64_t hyper = 0;
    uint64_t uhyper = 0;
    ole_date date;
    VARIANT var;
    // The exact decimal text ("-123.45", no exponent) of a VT_DECIMAL too wide for DECIMAL;
    // empty otherwise. `var.decVal` then holds the value rounded to 28 places, or zero when
    // even that does not fit.
    std::string exact_decimal;

private:
    void copy_from(const ole_variant& other);
    void set_date(const ole_date& value);
    // Cursor of get_at over a text: the UTF-16 index and UTF-8 offset of a character boundary,
    // so that consecutive slices of a long text cost their own length only.
    struct text_cursor {
        const OLECHAR* text = nullptr;
        std::size_t unit = 0;
        std::size_t byte = 0;
    };
    mutable text_cursor cursor_;
};
