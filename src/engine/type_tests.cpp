// The mapping, sequence and iterator tests, with the abstract classes they fall back on.
// Flags decide for dict, list and tuple; other objects ask isinstance, whose errors are
// reported as unraisable and count as a failed test. For built-in types, the answer is read
// from the abstract classes' own caches where that can be done exactly (abc_answers.h).
#include "engine/type_tests.h"

#include "engine/python_calls.h"

#include <atomic>

namespace corvane {
namespace {

// A class of collections.abc, imported through the gate on first need and kept for the life of
// the process.
class AbcClass {
public:
    constexpr explicit AbcClass(const char* name) : name_(name) {}

    PyObject* get(Walk& walk) {
        if (PyObject* cls = cls_.load(std::memory_order_acquire)) {
            return cls;
        }
        Ref cls = import_attr(walk, "collections.abc", name_);
        // Two threads may race here; the first one stored is kept, the other one leaked rather
        // than released outside the gate (it is a class that the module holds anyway).
        PyObject* expected = nullptr;
        if (cls_.compare_exchange_strong(expected, cls.get(), std::memory_order_acq_rel)) {
            return cls.release();
        }
        cls.release();
        return expected;
    }

    bool fetched() const noexcept { return cls_.load(std::memory_order_acquire) != nullptr; }

private:
    const char* name_;
    std::atomic<PyObject*> cls_{nullptr};
};

AbcClass g_mapping("Mapping");
AbcClass g_sequence("Sequence");
AbcClass g_iterator("Iterator");

// A type whose instances answer isinstance by their type alone: a static type with the
// generic attribute lookup cannot pretend to another __class__.
bool answer_depends_on_type_only(PyTypeObject* type) {
    return !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) && type->tp_getattro == PyObject_GenericGetAttr;
}

// isinstance(x, cls), read from the abc caches where it can be, or asked through the gate.
// An error in the test is reported and counts as a failed test, except running out of stack:
// that is this walk's own recursion ending, and answering "no" would report a false difference.
bool passes(Walk& walk, PyObject* x, AbcTest test, AbcClass& cls_of) {
    PyTypeObject* type = Py_TYPE(x);
    bool by_type = answer_depends_on_type_only(type);
    if (by_type) {
        int known = known_answer(walk, type, test);
        if (known >= 0) {
            return known == 1;
        }
    }
    PyObject* cls = cls_of.get(walk);
    if (by_type) {
        int read = walk.abc().read(walk, type, test, cls);
        if (read >= 0) {
            return read == 1;
        }
    }
    int r = is_instance(walk, x, cls);
    if (r < 0) {
        if (stack_exhausted()) {
            fail_with_pending();
        }
        report_unraisable(walk, x);
        return false;
    }
    return r == 1;
}

}  // namespace

bool is_mapping(Walk& walk, PyObject* x) {
    return PyDict_Check(x) || passes(walk, x, AbcTest::Mapping, g_mapping);
}

bool is_sequence(Walk& walk, PyObject* x) {
    return PyList_Check(x) || PyTuple_Check(x) || passes(walk, x, AbcTest::Sequence, g_sequence);
}

bool is_iterator(Walk& walk, PyObject* x) {
    if (Py_TYPE(x)->tp_iternext != nullptr && PyIter_Check(x)) {
        return true;
    }
    g_iterator.get(walk);  // a failed test still needs the class that it describes
    return false;
}

bool iterator_class_fetched() noexcept { return g_iterator.fetched(); }

}  // namespace corvane
