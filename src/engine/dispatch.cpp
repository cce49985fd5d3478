// The recursive comparison: the fixed chain of type tests, the native comparison of strings,
// integers and floats, and the hand-off of mappings, sequences and iterators to the walks.
#include "engine/calls.h"
#include "engine/engine.h"

#include <cstring>

namespace corvane {
namespace {

// A lone surrogate cannot be encoded as UTF-8: let the encoder raise its own error for it.
void require_encodable(PyObject* s) {
    int kind = PyUnicode_KIND(s);
    if (kind == PyUnicode_1BYTE_KIND) {
        return;
    }
    const void* data = PyUnicode_DATA(s);
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 0xD800 && c <= 0xDFFF) {
            Py_ssize_t size = 0;
            if (PyUnicode_AsUTF8AndSize(s, &size) == nullptr) {
                fail_with_pending();
            }
            return;
        }
    }
}

// Equal UTF-8 encodings are exactly equal code point sequences, so compare those directly
// and leave no cached UTF-8 copy behind.
bool strings_equal(PyObject* a, PyObject* b) {
    require_encodable(a);
    require_encodable(b);
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b)) {
        return false;
    }
    int kind = PyUnicode_KIND(a);
    if (kind == PyUnicode_KIND(b)) {
        return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * kind) == 0;
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

bool is_compact_int(PyObject* x) {
    return PyLong_CheckExact(x) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(x));
}

bool ints_equal(PyObject* a, PyObject* b) {
    if (is_compact_int(a) && is_compact_int(b)) {
        return PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(a)) ==
               PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(b));
    }
    __int128 va = to_int128(a);
    return va == to_int128(b);
}

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

bool floats_equal(PyObject* a, PyObject* b) {
    double va = to_double(a);
    return va == to_double(b);
}

template <class Change>
void add_change(PyObject* a, PyObject* b, const PathFrame* path, DiffList& out) {
    out.emplace_back(std::in_place_type<Change>, materialize(path), Ref::borrow(a), Ref::borrow(b));
}

// Sequences are walked through fresh iterators, taken from a first.
void compare_sequences(PyObject* a, PyObject* b, const PathFrame* path, DiffList& out) {
    Ref iter_a = get_iter(a);
    Ref iter_b = get_iter(b);
    corvane_iter(iter_a.get(), iter_b.get(), path, out);
}

// Each test runs on a, then on b, always both: the tests can run Python code.
template <class Test>
bool both_pass(Test test, PyObject* a, PyObject* b) {
    bool pass_a = test(a);
    bool pass_b = test(b);
    return pass_a && pass_b;
}

}  // namespace

void corvane_dispatch(PyObject* a, PyObject* b, const PathFrame* path, DiffList& out) {
    if (PyUnicode_Check(a) && PyUnicode_Check(b)) {
        if (!strings_equal(a, b)) {
            add_change<ValChange>(a, b, path, out);
        }
        return;
    }
    if (PyLong_Check(a) && PyLong_Check(b)) {
        if (!ints_equal(a, b)) {
            add_change<ValChange>(a, b, path, out);
        }
        return;
    }
    if (PyFloat_Check(a) && PyFloat_Check(b)) {
        if (!floats_equal(a, b)) {
            add_change<ValChange>(a, b, path, out);
        }
        return;
    }
    if (both_pass(is_mapping, a, b)) {
        RecursionGuard guard;
        corvane_map(a, b, path, out);
        return;
    }
    if (both_pass(is_sequence, a, b)) {
        RecursionGuard guard;
        compare_sequences(a, b, path, out);
        return;
    }
    if (both_pass(is_iterator, a, b)) {
        RecursionGuard guard;
        corvane_iter(a, b, path, out);
        return;
    }
    if (a == Py_None && b == Py_None) {
        return;
    }
    add_change<TypeAndValChange>(a, b, path, out);
}

}  // namespace corvane
