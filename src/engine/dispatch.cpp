// The recursive comparison: the fixed chain of type tests, the native comparison of strings,
// integers and floats, and the hand-off of mappings, sequences and iterators to the walks.
#include "engine/calls.h"
#include "engine/engine.h"

#include <cstring>

namespace corvane {
namespace {

// Whether any code unit is a surrogate; a loop without early exit, which the compiler
// turns into vector instructions.
template <class Unit>
bool has_surrogate(const Unit* units, Py_ssize_t n) {
    bool found = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        found |= static_cast<uint32_t>(units[i]) - 0xD800u < 0x800u;
    }
    return found;
}

// A lone surrogate cannot be encoded as UTF-8: let the encoder raise its own error for it.
void require_encodable(PyObject* s) {
    int kind = PyUnicode_KIND(s);
    if (kind == PyUnicode_1BYTE_KIND) {
        return;
    }
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    bool surrogate = kind == PyUnicode_2BYTE_KIND
                         ? has_surrogate(PyUnicode_2BYTE_DATA(s), n)
                         : has_surrogate(PyUnicode_4BYTE_DATA(s), n);
    Py_ssize_t size = 0;
    if (surrogate && PyUnicode_AsUTF8AndSize(s, &size) == nullptr) {
        fail_with_pending();
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

// Any int, bool and subclasses included, small enough for one machine word.
bool is_compact_int(PyObject* x) {
    return PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(x));
}

bool ints_equal(PyObject* a, PyObject* b) {
    if (is_compact_int(a) && is_compact_int(b)) {
        return PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(a)) ==
               PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(b));
    }
    // Exact ints within 64 bits: read directly (no error is possible, and none is made).
    if (PyLong_CheckExact(a) && PyLong_CheckExact(b)) {
        int overflow_a = 0;
        int overflow_b = 0;
        long long va = PyLong_AsLongLongAndOverflow(a, &overflow_a);
        long long vb = PyLong_AsLongLongAndOverflow(b, &overflow_b);
        if (overflow_a == 0 && overflow_b == 0) {
            return va == vb;
        }
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
void add_change(Walk& walk, PyObject* a, PyObject* b, const PathFrame* path) {
    walk.out.emplace_back(std::in_place_type<Change>, materialize(path), Ref::borrow(a), Ref::borrow(b));
}

// Each test runs on a, then on b, always both: the tests can run Python code.
bool both(bool (*test)(Walk&, PyObject*), Walk& walk, PyObject* a, PyObject* b) {
    bool pass_a = test(walk, a);
    bool pass_b = test(walk, b);
    return pass_a && pass_b;
}

// A value change for a pair of strings, integers or floats unless they are equal.
void change_unless(bool equal, Walk& walk, PyObject* a, PyObject* b, const PathFrame* path) {
    if (!equal) {
        add_change<ValChange>(walk, a, b, path);
    }
}

// The end of the decision table for a pair that is no string, integer, float or mapping.
void dispatch_rest(Walk& walk, PyObject* a, PyObject* b, const PathFrame* path, bool sequences) {
    if (sequences) {
        RecursionGuard guard;
        compare_sequences(walk, a, b, path);
        return;
    }
    if (both(is_iterator, walk, a, b)) {
        RecursionGuard guard;
        corvane_iter(walk, a, b, path);
        return;
    }
    if (a == Py_None && b == Py_None) {
        return;
    }
    add_change<TypeAndValChange>(walk, a, b, path);
}

// Two operands of the same exact built-in type, the commonest pairs: decided by type alone,
// and, for the tests that ask collections.abc, by the answers this walk already has (nothing
// has run since they were given, so asking again would give them again). False when an
// answer is missing: the full decision table then asks.
bool dispatch_same_builtin(Walk& walk, PyObject* a, PyObject* b, const PathFrame* path) {
    PyTypeObject* type = Py_TYPE(a);
    if (type == &PyUnicode_Type) {
        change_unless(strings_equal(a, b), walk, a, b, path);
        return true;
    }
    if (type == &PyLong_Type) {
        change_unless(ints_equal(a, b), walk, a, b, path);
        return true;
    }
    if (type == &PyBool_Type) {
        change_unless(a == b, walk, a, b, path);  // the two bools are singletons
        return true;
    }
    if (type == &PyFloat_Type) {
        change_unless(PyFloat_AS_DOUBLE(a) == PyFloat_AS_DOUBLE(b), walk, a, b, path);
        return true;
    }
    if (type == &PyDict_Type) {
        RecursionGuard guard;
        corvane_map(walk, a, b, path);
        return true;
    }
    if (type != &PyList_Type && type != &PyTuple_Type && a != Py_None) {
        return false;
    }
    const int8_t* known = walk.abc.answers(type, walk.python_calls);
    if (known == nullptr || known[AbcMemo::kMapping] != 0) {
        return false;
    }
    if (a != Py_None) {
        RecursionGuard guard;
        compare_sequences(walk, a, b, path);
        return true;
    }
    // Two Nones, neither a mapping nor a sequence: they fail the iterator test (None has no
    // __next__), which needs the Iterator class, already fetched in this walk; they are equal.
    return known[AbcMemo::kSequence] == 0 && walk.have_iterator_class;
}

}  // namespace

void corvane_dispatch(Walk& walk, PyObject* a, PyObject* b, const PathFrame* path) {
    if (Py_TYPE(a) == Py_TYPE(b) && dispatch_same_builtin(walk, a, b, path)) {
        return;
    }
    if (PyUnicode_Check(a) && PyUnicode_Check(b)) {
        change_unless(strings_equal(a, b), walk, a, b, path);
        return;
    }
    if (PyLong_Check(a) && PyLong_Check(b)) {
        change_unless(ints_equal(a, b), walk, a, b, path);
        return;
    }
    if (PyFloat_Check(a) && PyFloat_Check(b)) {
        change_unless(floats_equal(a, b), walk, a, b, path);
        return;
    }
    if (both(is_mapping, walk, a, b)) {
        RecursionGuard guard;
        corvane_map(walk, a, b, path);
        return;
    }
    dispatch_rest(walk, a, b, path, both(is_sequence, walk, a, b));
}

}  // namespace corvane
