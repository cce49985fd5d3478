// The recursive comparison: the fixed chain of type tests, the native comparison of strings,
// integers and floats, and the hand-off of mappings, sequences and iterators to the walks.
#include "engine/type_tests.h"
#include "engine/walk.h"

#include <cstring>
#include <optional>

namespace corvane {
namespace {

// The branches of the decision table, in their fixed order.
enum class Branch : uint8_t { Strings, Integers, Floats, Mappings, Sequences, Iterators, Other };

// --- strings ---------------------------------------------------------------------------------

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

// Equal UTF-8 encodings are exactly equal code point sequences, so those are compared
// directly, a's encodability checked before b's, and no UTF-8 copy is left behind.
bool strings_equal(PyObject* a, PyObject* b) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    int kind = PyUnicode_KIND(a);
    if (kind == PyUnicode_KIND(b) && n == PyUnicode_GET_LENGTH(b)) {
        if (kind == PyUnicode_1BYTE_KIND) {
            return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n)) == 0;
        }
        bool differ = false;
        bool surrogate_a = false;
        if (kind == PyUnicode_2BYTE_KIND) {
            scan_pair(PyUnicode_2BYTE_DATA(a), PyUnicode_2BYTE_DATA(b), n, differ, surrogate_a);
        } else {
            scan_pair(PyUnicode_4BYTE_DATA(a), PyUnicode_4BYTE_DATA(b), n, differ, surrogate_a);
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

// --- integers and floats -----------------------------------------------------------------------

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

bool floats_equal(PyObject* a, PyObject* b) {
    double va = to_double(a);
    return va == to_double(b);  // IEEE: NaN differs from everything, 0.0 equals -0.0
}

bool is_float(PyObject* x) {
    return PyFloat_CheckExact(x) || PyType_IsSubtype(Py_TYPE(x), &PyFloat_Type);
}

// --- the decision table ------------------------------------------------------------------------

// Each test runs on a, then on b, always both: the tests can run Python code.
bool both(bool (*test)(Walk&, PyObject*), Walk& walk, PyObject* a, PyObject* b) {
    bool pass_a = test(walk, a);
    bool pass_b = test(walk, b);
    return pass_a && pass_b;
}

// The chain of tests in its fixed order, each applied to a, then to b.
Branch classify_by_tests(Walk& walk, PyObject* a, PyObject* b) {
    if (PyUnicode_Check(a) && PyUnicode_Check(b)) {
        return Branch::Strings;
    }
    if (PyLong_Check(a) && PyLong_Check(b)) {
        return Branch::Integers;
    }
    if (is_float(a) && is_float(b)) {
        return Branch::Floats;
    }
    if (both(is_mapping, walk, a, b)) {
        return Branch::Mappings;
    }
    if (both(is_sequence, walk, a, b)) {
        return Branch::Sequences;
    }
    if (both(is_iterator, walk, a, b)) {
        return Branch::Iterators;
    }
    return Branch::Other;
}

// The branch that the tests would choose for two operands of one exact built-in type, where it
// is known without running them: from the type alone, or from the answers the abc tests gave
// in this epoch (asking again would give them again and run nothing else). Nothing when an
// answer is missing.
std::optional<Branch> classify_same_type(Walk& walk, PyTypeObject* type, PyObject* a) {
    if (type == &PyUnicode_Type) {
        return Branch::Strings;
    }
    if (type == &PyLong_Type || type == &PyBool_Type) {
        return Branch::Integers;
    }
    if (type == &PyFloat_Type) {
        return Branch::Floats;
    }
    if (type == &PyDict_Type) {
        return Branch::Mappings;
    }
    if (type == &PyList_Type || type == &PyTuple_Type) {
        if (known_answer(walk, type, AbcTest::Mapping) == 0) {
            return Branch::Sequences;
        }
        return std::nullopt;
    }
    // Two Nones: neither a mapping nor a sequence by the remembered answers, and not iterators
    // (None has no __next__), a test that needs the Iterator class fetched.
    if (a == Py_None && known_answer(walk, type, AbcTest::Mapping) == 0 &&
        known_answer(walk, type, AbcTest::Sequence) == 0 && iterator_class_fetched()) {
        return Branch::Other;
    }
    return std::nullopt;
}

Branch classify(Walk& walk, PyObject* a, PyObject* b) {
    PyTypeObject* type = Py_TYPE(a);
    if (type == Py_TYPE(b)) {
        if (std::optional<Branch> known = classify_same_type(walk, type, a)) {
            return *known;
        }
    }
    return classify_by_tests(walk, a, b);
}

template <class Change>
void add_change(Walk& walk, PyObject* a, PyObject* b, const PathFrame* path) {
    walk.out.emplace_back(std::in_place_type<Change>, materialize(path), Ref::borrow(a), Ref::borrow(b));
}

// A value change for a pair of strings, integers or floats unless they are equal.
void change_unless(bool equal, Walk& walk, PyObject* a, PyObject* b, const PathFrame* path) {
    if (!equal) {
        add_change<ValChange>(walk, a, b, path);
    }
}

}  // namespace

void corvane_dispatch(Walk& walk, Operand a, Operand b, const PathFrame* path) {
    PyObject* x = a.get();
    PyObject* y = b.get();
    switch (classify(walk, x, y)) {
    case Branch::Strings:
        change_unless(strings_equal(x, y), walk, x, y, path);
        return;
    case Branch::Integers:
        change_unless(ints_equal(x, y), walk, x, y, path);
        return;
    case Branch::Floats:
        change_unless(floats_equal(x, y), walk, x, y, path);
        return;
    case Branch::Mappings: {
        RecursionGuard guard;
        corvane_map(walk, a, b, path);
        return;
    }
    case Branch::Sequences: {
        RecursionGuard guard;
        compare_sequences(walk, a, b, path);
        return;
    }
    case Branch::Iterators: {
        RecursionGuard guard;
        corvane_iter(walk, a, b, path);
        return;
    }
    case Branch::Other:
        if (x != Py_None || y != Py_None) {
            add_change<TypeAndValChange>(walk, x, y, path);
        }
        return;
    }
}

}  // namespace corvane
