// The recursive comparison: the decision table for one pair and what each of its branches
// does, for either rule set (rules.h). Inline, so that the walks' loops decide the common pairs
// without a call.
#pragma once

#include "engine/rules.h"
#include "engine/scalars.h"
#include "engine/type_tests.h"
#include "engine/values.h"
#include "engine/walk.h"

namespace corvane {

// The branches of the decision table, in their fixed order; two of them again where the pair is
// known to be of exact built-in types (two exact dicts, two exact lists or tuples), whose walks
// read them in place; the data rules' own value branches; and Unknown for a pair whose branch
// only the tests can tell.
enum class Branch : uint8_t {
    Strings, Integers, Floats, Mappings, Sequences, Iterators, Other, ExactDicts, ExactSequences,
    Bools, Scalars, Equal, Unknown
};

// The chain of tests in its fixed order, each applied to a, then to b.
template <class Rules>
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

// The data rules: values of two kinds are a change of kind; values of one kind are compared by
// that kind's rule; only a pair of containers (or objects of no kind) reaches the type tests, and
// dicts, lists and tuples are known by their flags.
inline Branch classify_data(Walk& walk, PyObject* a, PyObject* b) {
    ValueKind ka = value_kind(a);
    ValueKind kb = value_kind(b);
    if (ka != ValueKind::Container || kb != ValueKind::Container) {
        if (ka != kb) {
            return Branch::Other;
        }
        switch (ka) {
        case ValueKind::Str: return Branch::Strings;
        case ValueKind::Int: return Branch::Integers;
        case ValueKind::Float: return Branch::Floats;
        case ValueKind::Bool: return Branch::Bools;
        case ValueKind::None: return Branch::Equal;
        case ValueKind::Bytes:
        case ValueKind::Date:
        case ValueKind::DateTime:
        case ValueKind::Time: return Branch::Scalars;
        case ValueKind::Container: break;
        }
    }
    PyTypeObject* ta = Py_TYPE(a);
    PyTypeObject* tb = Py_TYPE(b);
    if (ta == &PyDict_Type && tb == &PyDict_Type) {
        return Branch::ExactDicts;
    }
    if ((ta == &PyList_Type || ta == &PyTuple_Type) && (tb == &PyList_Type || tb == &PyTuple_Type)) {
        return Branch::ExactSequences;
    }
    return classify_by_tests<DataRules>(walk, a, b);
}

template <class Rules>
inline Branch classify(Walk& walk, PyObject* a, PyObject* b) {
    if constexpr (Rules::kData) {
        return classify_data(walk, a, b);
    }
    PyTypeObject* type = Py_TYPE(a);
    if (type == Py_TYPE(b)) {
        Branch known = classify_same_type(walk, type, a);
        if (known != Branch::Unknown) {
            return known;
        }
    } else if (exact_sequences(walk, type, Py_TYPE(b))) {
        return Branch::ExactSequences;
    }
    return classify_by_tests<Rules>(walk, a, b);
}

// The records of the value branches, out of the loops' way.
void add_value_change(Walk& walk, PyObject* a, PyObject* b, const PathFrame* path);
void add_type_change(Walk& walk, PyObject* a, PyObject* b, const PathFrame* path);
// Two bytes, dates, datetimes or times of one kind (the data rules).
void compare_scalar_pair(Walk& walk, PyObject* a, PyObject* b, const PathFrame* path);

// Two values of one kind under the rules.
template <class Rules>
inline bool strings_same(PyObject* x, PyObject* y) {
    if constexpr (Rules::kData) {
        return data_strings_equal(x, y);
    }
    return strings_equal(x, y);
}
template <class Rules>
inline bool ints_same(PyObject* x, PyObject* y) {
    if constexpr (Rules::kData) {
        return data_ints_equal(x, y);
    }
    return ints_equal(x, y);
}
template <class Rules>
inline bool floats_same(Walk& walk, PyObject* x, PyObject* y) {
    if constexpr (Rules::kData) {
        return data_floats_equal(x, y, walk.data().nan_equal);
    }
    return floats_equal(x, y);
}

// Compares a with b at `path` and appends the differences found there and below.
template <class Rules>
[[gnu::always_inline]] inline void corvane_dispatch(Walk& walk, Operand a, Operand b, const PathFrame* path) {
    PyObject* x = a.get();
    PyObject* y = b.get();
    switch (classify<Rules>(walk, x, y)) {
    case Branch::Strings:
        if (!strings_same<Rules>(x, y)) {
            add_value_change(walk, x, y, path);
        }
        return;
    case Branch::Integers:
        if (!ints_same<Rules>(x, y)) {
            add_value_change(walk, x, y, path);
        }
        return;
    case Branch::Floats:
        if (!floats_same<Rules>(walk, x, y)) {
            add_value_change(walk, x, y, path);
        }
        return;
    case Branch::ExactDicts: {
        RecursionGuard guard(path);
        compare_exact_dicts<Rules>(walk, a, b, path);
        return;
    }
    case Branch::ExactSequences: {
        RecursionGuard guard(path);
        compare_in_place<Rules>(walk, a, b, path);
        return;
    }
    case Branch::Mappings: {
        RecursionGuard guard(path);
        corvane_map<Rules>(walk, a, b, path);
        return;
    }
    case Branch::Sequences: {
        RecursionGuard guard(path);
        compare_sequences<Rules>(walk, a, b, path);
        return;
    }
    case Branch::Iterators: {
        RecursionGuard guard(path);
        corvane_iter<Rules>(walk, a, b, path);
        return;
    }
    case Branch::Bools:  // the data rules only, as the next two
        if (x != y) {
            add_value_change(walk, x, y, path);
        }
        return;
    case Branch::Scalars:
        compare_scalar_pair(walk, x, y, path);
        return;
    case Branch::Equal:
        return;
    case Branch::Other:
    case Branch::Unknown:
        if (x != Py_None || y != Py_None) {
            add_type_change(walk, x, y, path);
        }
        return;
    }
}

}  // namespace corvane
