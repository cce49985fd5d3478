// The native comparisons that the inline ones of values.h leave out: strings of two-byte and
// four-byte kinds (with the surrogate check), integers beyond one machine word, float subclasses.
#include "engine/values.h"

#include <cstdint>

namespace corvane {
namespace {

// Whether the code unit is a surrogate, which UTF-8 cannot encode.
template <class Unit>
bool is_surrogate(Unit u) {
    return static_cast<uint32_t>(u) - 0xD800u < 0x800u;
}

// Whether any code unit is a surrogate; a loop without early exit, which the compiler turns
// into vector instructions.
template <class Unit>
bool has_surrogate(const Unit* units, Py_ssize_t n) {
    bool found = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        found |= is_surrogate(units[i]);
    }
    return found;
}

// One pass over two strings of one kind and length: whether they differ, and whether the first
// holds a surrogate.
template <class Unit>
void scan_pair(const Unit* a, const Unit* b, Py_ssize_t n, bool& differ, bool& surrogate_a) {
    uint32_t diff = 0;
    bool found = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        diff |= static_cast<uint32_t>(a[i] ^ b[i]);
        found |= is_surrogate(a[i]);
    }
    differ = diff != 0;
    surrogate_a = found;
}

uint64_t load64(const unsigned char* p) {
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// Word-at-a-time constants for code units of one width: a unit is a surrogate when
// (unit & kMask) ^ kSurrogate is a zero lane, which (t - kOnes) & ~t & kHigh detects.
template <class Unit>
struct Lanes;
template <>
struct Lanes<Py_UCS2> {
    static constexpr uint64_t kMask = 0xF800F800F800F800ull;
    static constexpr uint64_t kSurrogate = 0xD800D800D800D800ull;
    static constexpr uint64_t kOnes = 0x0001000100010001ull;
    static constexpr uint64_t kHigh = 0x8000800080008000ull;
};
template <>
struct Lanes<Py_UCS4> {
    static constexpr uint64_t kMask = 0xFFFFF800FFFFF800ull;
    static constexpr uint64_t kSurrogate = 0x0000D8000000D800ull;
    static constexpr uint64_t kOnes = 0x0000000100000001ull;
    static constexpr uint64_t kHigh = 0x8000000080000000ull;
};

// The same a word (eight bytes) at a time, for strings of at least one word.
template <class Unit>
void scan_pair_words(const Unit* a, const Unit* b, Py_ssize_t n, bool& differ, bool& surrogate_a) {
    using L = Lanes<Unit>;
    size_t bytes = static_cast<size_t>(n) * sizeof(Unit);
    if (bytes < 8) {
        scan_pair(a, b, n, differ, surrogate_a);
        return;
    }
    const auto* pa = reinterpret_cast<const unsigned char*>(a);
    const auto* pb = reinterpret_cast<const unsigned char*>(b);
    uint64_t diff = 0;
    uint64_t zero_lanes = 0;
    auto word = [&](size_t at) {
        uint64_t x = load64(pa + at);
        diff |= x ^ load64(pb + at);
        uint64_t t = (x & L::kMask) ^ L::kSurrogate;
        zero_lanes |= (t - L::kOnes) & ~t & L::kHigh;
    };
    size_t at = 0;
    for (; at + 8 <= bytes; at += 8) {
        word(at);
    }
    if (at < bytes) {
        word(bytes - 8);  // the last word again, overlapping: a unit read twice changes nothing
    }
    differ = diff != 0;
    surrogate_a = zero_lanes != 0;
}

bool has_surrogate(PyObject* s) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    switch (PyUnicode_KIND(s)) {
    case PyUnicode_2BYTE_KIND: return has_surrogate(PyUnicode_2BYTE_DATA(s), n);
    case PyUnicode_4BYTE_KIND: return has_surrogate(PyUnicode_4BYTE_DATA(s), n);
    default: return false;
    }
}

// A string holding a lone surrogate cannot be encoded as UTF-8: the encoder raises its error.
void fail_unencodable(PyObject* s) {
    Py_ssize_t size = 0;
    if (PyUnicode_AsUTF8AndSize(s, &size) == nullptr) {
        fail_with_pending();
    }
}

void require_encodable(PyObject* s) {
    if (has_surrogate(s)) {
        fail_unencodable(s);
    }
}

}  // namespace

// No UTF-8 copy is made, or left behind.
bool strings_equal_general(PyObject* a, PyObject* b) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    int kind = PyUnicode_KIND(a);
    if (kind == PyUnicode_KIND(b) && n == PyUnicode_GET_LENGTH(b)) {
        if (kind == PyUnicode_1BYTE_KIND) {
            return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n)) == 0;
        }
        bool differ = false;
        bool surrogate_a = false;
        if (kind == PyUnicode_2BYTE_KIND) {
            scan_pair_words(PyUnicode_2BYTE_DATA(a), PyUnicode_2BYTE_DATA(b), n, differ, surrogate_a);
        } else {
            scan_pair_words(PyUnicode_4BYTE_DATA(a), PyUnicode_4BYTE_DATA(b), n, differ, surrogate_a);
        }
        if (surrogate_a) {
            fail_unencodable(a);
        }
        if (differ) {
            require_encodable(b);
        }
        return !differ;
    }
    require_encodable(a);
    require_encodable(b);
    if (n != PyUnicode_GET_LENGTH(b)) {
        return false;
    }
    // Strings are normally stored in their narrowest kind, but nothing forces a C extension to.
    const void* da = PyUnicode_DATA(a);
    const void* db = PyUnicode_DATA(b);
    int kind_b = PyUnicode_KIND(b);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyUnicode_READ(kind, da, i) != PyUnicode_READ(kind_b, db, i)) {
            return false;
        }
    }
    return true;
}

namespace {


__int128 to_int128(PyObject* x) {
    Ref index = check(PyNumber_Index(x));
    __int128 value = 0;
    Py_ssize_t needed = PyLong_AsNativeBytes(index.get(), &value, sizeof value,
                                             Py_ASNATIVEBYTES_NATIVE_ENDIAN);
    if (needed < 0) {
        fail_with_pending();
    }
    if (static_cast<size_t>(needed) > sizeof value) {
        PyErr_SetString(PyExc_OverflowError, "Python int larger than 128 bits");
        fail_with_pending();
    }
    return value;
}

}  // namespace

bool ints_equal_general(PyObject* a, PyObject* b) {
    __int128 va = to_int128(a);
    return va == to_int128(b);
}

namespace {

// A float subclass is read through PyFloat_AsDouble, which for it runs no Python code.
double to_double(PyObject* x) {
    if (PyFloat_CheckExact(x)) {
        return PyFloat_AS_DOUBLE(x);
    }
    double value = PyFloat_AsDouble(x);
    if (value == -1.0 && PyErr_Occurred()) {
        fail_with_pending();
    }
    return value;
}

}  // namespace

bool floats_equal_general(PyObject* a, PyObject* b) {
    double va = to_double(a);
    return va == to_double(b);
}


bool ints_equal_any_size(PyObject* a, PyObject* b) noexcept {
    PyLongExport ea;
    PyLongExport eb;
    if (PyLong_Export(a, &ea) < 0) {
        return false;  // cannot happen for an int
    }
    if (PyLong_Export(b, &eb) < 0) {
        PyLong_FreeExport(&ea);
        return false;
    }
    // A normalized int has one representation: equal values have equal digits.
    bool same = ea.digits == nullptr || eb.digits == nullptr
                    ? ea.digits == eb.digits && ea.value == eb.value
                    : ea.negative == eb.negative && ea.ndigits == eb.ndigits &&
                          std::memcmp(ea.digits, eb.digits,
                                      static_cast<size_t>(ea.ndigits) * PyLong_GetNativeLayout()->digit_size) == 0;
    PyLong_FreeExport(&eb);
    PyLong_FreeExport(&ea);
    return same;
}

// Strings stored in different kinds (a C extension may store one wider than it needs).
bool strings_equal_by_code_points(PyObject* a, PyObject* b) noexcept {
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    const void* da = PyUnicode_DATA(a);
    const void* db = PyUnicode_DATA(b);
    int ka = PyUnicode_KIND(a);
    int kb = PyUnicode_KIND(b);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyUnicode_READ(ka, da, i) != PyUnicode_READ(kb, db, i)) {
            return false;
        }
    }
    return true;
}

// A float subclass's stored value (PyFloat_AsDouble reads it without calling __float__).
double float_value(PyObject* x) noexcept { return PyFloat_AsDouble(x); }

}  // namespace corvane
