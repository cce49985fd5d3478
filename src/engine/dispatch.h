// The recursive comparison: the decision table for one pair and what each of its branches
// does. Inline, so that the walks' loops decide the common pairs without a call.
#pragma once

#include "engine/type_tests.h"
#include "engine/values.h"
#include "engine/walk.h"

namespace corvane {

// The branches of the decision table, in their fixed order; two of them again where the pair is
// known to be of exact built-in types (two exact dicts, two exact lists or tuples), whose walks
// read them in place; and Unknown for a pair whose branch only the tests can tell.
enum class Branch : uint8_t {
    Strings, Integers, Floats, Mappings, Sequences, Iterators, Other, ExactDicts, ExactSequences, Unknown
};

// The chain of tests in its fixed order, each applied to a, then to b.
Branch classify_by_tests(Walk& walk, PyObject* a, PyObject* b);

// The branch that the tests would choose for two operands of one exact built-in type, where it
// is known without running them: from the type alone, or from the answers that the abc tests
// gave in this epoch (asking again would give them again and run nothing else).
inline Branch classify_same_type(Walk& walk, PyTypeObject* type, PyObject* a) {
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
        return Branch::ExactDicts;
    }
    if (type == &PyList_Type || type == &PyTuple_Type) {
        return walk.abc().not_a_mapping(type, walk.epoch()) ? Branch::ExactSequences : Branch::Unknown;
    }
    // Two Nones: neither a mapping nor a sequence by the remembered answers, and not iterators
    // (None has no __next__), a test that needs the Iterator class fetched.
    if (a == Py_None && known_answer(walk, type, AbcTest::Mapping) == 0 &&
        known_answer(walk, type, AbcTest::Sequence) == 0 && iterator_class_fetched()) {
        return Branch::Other;
    }
    return Branch::Unknown;
}

// A list against a tuple: both sequences read in place once neither is a mapping.
inline bool exact_sequences(Walk& walk, PyTypeObject* ta, PyTypeObject* tb) {
    return (ta == &PyList_Type || ta == &PyTuple_Type) && (tb == &PyList_Type || tb == &PyTuple_Type) &&
           walk.abc().not_a_mapping(ta, walk.epoch()) && walk.abc().not_a_mapping(tb, walk.epoch());
}

inline Branch classify(Walk& walk, PyObject* a, PyObject* b) {
    PyTypeObject* type = Py_TYPE(a);
    if (type == Py_TYPE(b)) {
        Branch known = classify_same_type(walk, type, a);
        if (known != Branch::Unknown) {
            return known;
        }
    } else if (exact_sequences(walk, type, Py_TYPE(b))) {
        return Branch::ExactSequences;
    }
    return classify_by_tests(walk, a, b);
}

// The records of the value branches, out of the loops' way.
void add_value_change(Walk& walk, PyObject* a, PyObject* b, const PathFrame* path);
void add_type_change(Walk& walk, PyObject* a, PyObject* b, const PathFrame* path);

// Compares a with b at `path` and appends the differences found there and below.
[[gnu::always_inline]] inline void corvane_dispatch(Walk& walk, Operand a, Operand b, const PathFrame* path) {
    PyObject* x = a.get();
    PyObject* y = b.get();
    switch (classify(walk, x, y)) {
    case Branch::Strings:
        if (!strings_equal(x, y)) {
            add_value_change(walk, x, y, path);
        }
        return;
    case Branch::Integers:
        if (!ints_equal(x, y)) {
            add_value_change(walk, x, y, path);
        }
        return;
    case Branch::Floats:
        if (!floats_equal(x, y)) {
            add_value_change(walk, x, y, path);
        }
        return;
    case Branch::ExactDicts: {
        RecursionGuard guard(path);
        compare_exact_dicts(walk, a, b, path);
        return;
    }
    case Branch::ExactSequences: {
        RecursionGuard guard(path);
        compare_in_place(walk, a, b, path);
        return;
    }
    case Branch::Mappings: {
        RecursionGuard guard(path);
        corvane_map(walk, a, b, path);
        return;
    }
    case Branch::Sequences: {
        RecursionGuard guard(path);
        compare_sequences(walk, a, b, path);
        return;
    }
    case Branch::Iterators: {
        RecursionGuard guard(path);
        corvane_iter(walk, a, b, path);
        return;
    }
    case Branch::Other:
    case Branch::Unknown:
        if (x != Py_None || y != Py_None) {
            add_type_change(walk, x, y, path);
        }
        return;
    }
}

}  // namespace corvane
