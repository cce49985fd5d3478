// The mapping, sequence and iterator tests, with the abstract classes they fall back on.
// Flags decide for dict, list and tuple; other objects ask isinstance, whose errors are
// reported as unraisable and count as a failed test.
#include "engine/calls.h"

#include <atomic>

namespace corvane {
namespace {

// One collections.abc class, imported on first need and kept for the life of the process.
class CachedAbc {
public:
    explicit constexpr CachedAbc(const char* name) : name_(name) {}

    PyObject* get() {
        if (PyObject* cls = cls_.load(std::memory_order_acquire)) {
            return cls;
        }
        Ref module = check(PyImport_ImportModule("collections.abc"));
        Ref cls = check(PyObject_GetAttrString(module.get(), name_));
        PyObject* expected = nullptr;
        // Two threads may race here; the first stored class wins and the other is dropped.
        if (cls_.compare_exchange_strong(expected, cls.get(), std::memory_order_acq_rel)) {
            return cls.release();
        }
        return expected;
    }

private:
    const char* name_;
    std::atomic<PyObject*> cls_{nullptr};
};

CachedAbc g_mapping("Mapping");
CachedAbc g_sequence("Sequence");
CachedAbc g_iterator("Iterator");

bool is_instance(PyObject* x, CachedAbc& abc) {
    int r = PyObject_IsInstance(x, abc.get());
    if (r < 0) {
        report_unraisable(x);
        return false;
    }
    return r == 1;
}

}  // namespace

bool is_mapping(PyObject* x) { return PyDict_Check(x) || is_instance(x, g_mapping); }

bool is_sequence(PyObject* x) {
    return PyList_Check(x) || PyTuple_Check(x) || is_instance(x, g_sequence);
}

bool is_iterator(PyObject* x) {
    if (PyIter_Check(x)) {
        return true;
    }
    g_iterator.get();  // a failed test still needs the class that it describes
    return false;
}

}  // namespace corvane
