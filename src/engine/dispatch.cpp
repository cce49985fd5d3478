// The fixed chain of type tests, run where the type of a pair alone does not decide its
// branch, and the records of the value branches.
#include "engine/dispatch.h"

namespace corvane {
namespace {

bool is_float(PyObject* x) {
    return PyFloat_CheckExact(x) || PyType_IsSubtype(Py_TYPE(x), &PyFloat_Type);
}

// Each test runs on a, then on b, always both: the tests can run Python code.
bool both(bool (*test)(Walk&, PyObject*), Walk& walk, PyObject* a, PyObject* b) {
    bool pass_a = test(walk, a);
    bool pass_b = test(walk, b);
    return pass_a && pass_b;
}

template <class Change>
void add_change(Walk& walk, PyObject* a, PyObject* b, const PathFrame* path) {
    walk.out.emplace_back(std::in_place_type<Change>, materialize(path), Ref::borrow(a), Ref::borrow(b));
}

}  // namespace

template <class Rules>
Branch classify_by_tests(Walk& walk, PyObject* a, PyObject* b) {
    if constexpr (!Rules::kData) {  // the data rules have decided every pair of values already
        if (PyUnicode_Check(a) && PyUnicode_Check(b)) {
            return Branch::Strings;
        }
        if (PyLong_Check(a) && PyLong_Check(b)) {
            return Branch::Integers;
        }
        if (is_float(a) && is_float(b)) {
            return Branch::Floats;
        }
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

template Branch classify_by_tests<PythonRules>(Walk& walk, PyObject* a, PyObject* b);
template Branch classify_by_tests<DataRules>(Walk& walk, PyObject* a, PyObject* b);

void compare_scalar_pair(Walk& walk, PyObject* a, PyObject* b, const PathFrame* path) {
    switch (compare_scalars(walk, a, b, value_kind(a))) {
    case ScalarVerdict::Equal:
        return;
    case ScalarVerdict::Differ:
        add_change<ValChange>(walk, a, b, path);
        return;
    case ScalarVerdict::OtherKind:
        add_change<TypeAndValChange>(walk, a, b, path);
        return;
    }
}

void add_value_change(Walk& walk, PyObject* a, PyObject* b, const PathFrame* path) {
    add_change<ValChange>(walk, a, b, path);
}

void add_type_change(Walk& walk, PyObject* a, PyObject* b, const PathFrame* path) {
    add_change<TypeAndValChange>(walk, a, b, path);
}

}  // namespace corvane
