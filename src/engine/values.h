// The native comparison of two strings, two integers or two floats. The common cases are
// inline, for the walks' loops; conversions that can fail and rarer representations are not.
#pragma once

#include "ref.h"

#include <cstring>

namespace corvane {

// The cases that the inline comparisons below leave out.
bool strings_equal_general(PyObject* a, PyObject* b);
bool ints_equal_general(PyObject* a, PyObject* b);
bool floats_equal_general(PyObject* a, PyObject* b);

// Two ints (or int subclasses) of any size with the same value.
bool ints_equal_any_size(PyObject* a, PyObject* b) noexcept;

// The data rules' comparisons, which never fail: strings by their code points (lone surrogates
// too), ints of any size, floats with NaN equal to NaN where asked.
bool strings_equal_by_code_points(PyObject* a, PyObject* b) noexcept;
double float_value(PyObject* x) noexcept;

// Equal UTF-8 encodings are exactly equal code point sequences, so those are compared
// directly; a string holding a lone surrogate (which UTF-8 cannot encode) fails, a's first.
// One-byte strings hold no surrogates.
inline bool strings_equal(PyObject* a, PyObject* b) {
    if (PyUnicode_KIND(a) == PyUnicode_1BYTE_KIND && PyUnicode_KIND(b) == PyUnicode_1BYTE_KIND) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(a);
        return n == PyUnicode_GET_LENGTH(b) &&
               std::memcmp(PyUnicode_1BYTE_DATA(a), PyUnicode_1BYTE_DATA(b), static_cast<size_t>(n)) == 0;
    }
    return strings_equal_general(a, b);
}

// As signed 128-bit values; ints (bools and subclasses too) small enough for one machine word
// are read directly, and so are exact ints of a few digits, in the representation that
// PyUnstable_Long_IsCompact reads: a normalized int's digit count and sign (lv_tag) and its
// digits are the same for equal values. Four digits are at most 120 bits, so no int that the
// rules refuse (beyond 128 bits) is decided here.
inline bool ints_equal(PyObject* a, PyObject* b) {
    auto* x = reinterpret_cast<PyLongObject*>(a);
    auto* y = reinterpret_cast<PyLongObject*>(b);
    if (PyUnstable_Long_IsCompact(x) && PyUnstable_Long_IsCompact(y)) {
        return PyUnstable_Long_CompactValue(x) == PyUnstable_Long_CompactValue(y);
    }
    constexpr uintptr_t kFiveDigits = uintptr_t{5} << _PyLong_NON_SIZE_BITS;
    uintptr_t tag_a = x->long_value.lv_tag;
    uintptr_t tag_b = y->long_value.lv_tag;
    if (PyLong_CheckExact(a) && PyLong_CheckExact(b) && tag_a < kFiveDigits && tag_b < kFiveDigits) {
        return tag_a == tag_b && std::memcmp(x->long_value.ob_digit, y->long_value.ob_digit,
                                             (tag_a >> _PyLong_NON_SIZE_BITS) * sizeof(digit)) == 0;
    }
    return ints_equal_general(a, b);
}

// IEEE equality: NaN differs from everything, 0.0 equals -0.0.
inline bool floats_equal(PyObject* a, PyObject* b) {
    if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) {
        return PyFloat_AS_DOUBLE(a) == PyFloat_AS_DOUBLE(b);
    }
    return floats_equal_general(a, b);
}

inline bool data_strings_equal(PyObject* a, PyObject* b) noexcept {
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b)) {
        return false;
    }
    int kind = PyUnicode_KIND(a);
    if (kind == PyUnicode_KIND(b)) {
        return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * kind) == 0;
    }
    return strings_equal_by_code_points(a, b);
}

inline bool data_ints_equal(PyObject* a, PyObject* b) noexcept {
    auto* x = reinterpret_cast<PyLongObject*>(a);
    auto* y = reinterpret_cast<PyLongObject*>(b);
    if (PyUnstable_Long_IsCompact(x) && PyUnstable_Long_IsCompact(y)) {
        return PyUnstable_Long_CompactValue(x) == PyUnstable_Long_CompactValue(y);
    }
    return ints_equal_any_size(a, b);
}

inline bool data_floats_equal(PyObject* a, PyObject* b, bool nan_equal) noexcept {
    double x = PyFloat_CheckExact(a) ? PyFloat_AS_DOUBLE(a) : float_value(a);
    double y = PyFloat_CheckExact(b) ? PyFloat_AS_DOUBLE(b) : float_value(b);
    return x == y || (nan_equal && x != x && y != y);
}

}  // namespace corvane
